#ifndef QUILLMAR_TESTS_UI_TRANSFERS_TRANSFERSPAGEFIXTURE_H
#define QUILLMAR_TESTS_UI_TRANSFERS_TRANSFERSPAGEFIXTURE_H

// A transfers page over a fresh store, inside a tab of its own, with the
// managers it talks to; entries are made as the engine makes them. The
// page's benchmark uses it too.

#include "../PageManagers.h"

#include "ui/transfers/TransferRows.h"
#include "ui/transfers/TransfersForm.h"
#include "ui_TransfersForm.h"

#include "ui/widgets/Globals.h"

#include <QTabWidget>

class PageFixture : public PageManagers
{
protected:
    // The page as it stands after Init, before the saved queue is loaded.
    void StartPage()
    {
        StartManagers();
        mp_tabs = std::make_unique<QTabWidget>();
        mp_page = new TransfersForm;
        mp_tabs->addTab(mp_page, "Transfers");
        mp_page->Init();
        m_balloons.clear();
        MainWindowHooks l_hooks;
        l_hooks.m_popupAlert = [this](QString const& i_text) { m_balloons << i_text; };
        SetMainWindowHooks(l_hooks);
    }

    // The saved queue loaded: the page's controls show the settings and the download rows are built.
    void LoadPage()
    {
        mp_page->DataLoaded();
        mp_transfers->DataLoaded();
        Settle();
    }

    void StopPage()
    {
        mp_tabs.reset();
        // The cells Report made, freed as the engine frees its own: by the
        // removal of their items while the engine is there to hear it.
        for (char const* lp_cell : {"write_position", "read_position", "bytes_per_second", "last_receipt_time"})
            d[lp_cell]->GetItems().Remove();
        StopManagers();
        SetMainWindowHooks(MainWindowHooks());
    }

    // Group rows and the tab title follow in the next pass of the loop.
    static void Settle() { QCoreApplication::processEvents(); }

    Item Download(char const* ip_user, char const* ip_folder, char const* ip_file, qint64 i_size = 1000,
                  char const* ip_status = nullptr)
    {
        Item const l_entry = mp_transfers->AddDownload(ip_user, ip_file, ip_folder, i_size, false, 0);
        if (ip_status)
            mp_transfers->SetDownloadEntryStatus(l_entry, ip_status);
        return l_entry;
    }

    // An upload of a shared file, linked as the engine links it.
    static Item Upload(char const* ip_user, char const* ip_folder, char const* ip_name, qint64 i_size = 1000,
                       char const* ip_status = "queued")
    {
        Item const l_file = d["shared_file"]->NewItem();
        l_file += d["shared_file_folder"]->GetItem(Value(ip_folder));
        l_file += d["shared_file_name"]->GetItem(Value(ip_name));
        l_file += d["shared_file_size"]->GetItem(Value(static_cast<long long>(i_size)));
        Item const l_entry = d["upload_entry"]->NewItem();
        l_entry += d["user"]->GetItem(Value(ip_user));
        l_entry += l_file;
        transferQueueManager->SetUploadEntryStatus(l_entry, ip_status);
        return l_entry;
    }

    // A progress report of a running transfer, its cells made as the engine makes them.
    static void Report(Item const& i_entry, qint64 i_position, int i_speed)
    {
        bool const l_download = i_entry.GetTypeName() == "download_entry";
        char const* lp_position = l_download ? "write_position" : "read_position";
        if (i_entry[lp_position].IsNull()) {
            i_entry += d[lp_position]->GetItem(Value(new qint64(0)));
            i_entry += d["bytes_per_second"]->GetItem(Value(new int(0)));
        }
        *reinterpret_cast<qint64*>(i_entry[lp_position].AsUInt64()) = i_position;
        *reinterpret_cast<int*>(i_entry["bytes_per_second"].AsUInt64()) = i_speed;
        if (l_download)
            emit transferQueueManager->DownloadProgressed(i_entry);
        else
            emit transferQueueManager->UploadProgressed(i_entry);
    }

    static QTreeWidgetItem* Row(Item const& i_entry)
    {
        char const* lp_node = i_entry.GetTypeName() == "download_entry" ? "download_list_node" : "upload_list_node";
        return TransferRows::NodeRow(i_entry[lp_node]);
    }

    // The tree row by row, depth first: two blanks per level, then the
    // non-empty cells of the row joined by "|".
    static QStringList Dump(QTreeWidget* ip_tree, QList<int> const& i_columns = {0, 1, 2, 3, 7})
    {
        QStringList l_rows;
        for (QTreeWidgetItemIterator l_it(ip_tree); *l_it; ++l_it) {
            QStringList l_cells;
            for (int l_column : i_columns)
                if (!(*l_it)->text(l_column).isEmpty())
                    l_cells << (*l_it)->text(l_column);
            int l_depth = 0;
            for (QTreeWidgetItem* lp_up = (*l_it)->parent(); lp_up; lp_up = lp_up->parent())
                ++l_depth;
            l_rows << QString(2 * l_depth, ' ') + l_cells.join('|');
        }
        return l_rows;
    }

    QTreeWidget* Downloads() const { return mp_page->Form()->downloadsList; }
    QTreeWidget* Uploads() const { return mp_page->Form()->uploadsList; }

    std::unique_ptr<QTabWidget> mp_tabs;
    TransfersForm* mp_page = nullptr;
    QStringList m_balloons;
};

#endif
