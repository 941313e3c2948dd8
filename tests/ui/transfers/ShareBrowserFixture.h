#ifndef QUILLMAR_TESTS_UI_TRANSFERS_SHAREBROWSERFIXTURE_H
#define QUILLMAR_TESTS_UI_TRANSFERS_SHAREBROWSERFIXTURE_H

// The Browse page in a main window of its own (its status bar is where
// refused uploads are told), over a fresh store with the managers it talks
// to; share lists are delivered as the peer messenger decodes them. The
// page's benchmark uses it too.

#include "../PageManagers.h"

#include "tests/Waits.h"
#include "ui/transfers/ShareForm.h"
#include "ui/transfers/ShareTree.h"
#include "ui/transfers/SharesForm.h"
#include "ui/transfers/UploadForm.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/TabWidget.h"

#include <QMainWindow>
#include <QTreeWidget>

#include <vector>

// One file of a share list: "folder\\name", its size and its attribute
// pairs.
struct ListedFile
{
    char const* mp_path;
    quint64 m_size = 1000;
    std::vector<std::pair<quint32, quint32>> m_attributes = {};
};

class ShareBrowserFixture : public PageManagers
{
protected:
    void StartPage()
    {
        StartManagers();
        mp_transfers->NoData(); // ".ini" is excluded
        mp_window = std::make_unique<QMainWindow>();
        mp_page = new SharesForm;
        mp_window->setCentralWidget(mp_page);
        mp_page->Init();
        mp_window->resize(900, 600);
    }

    void StopPage()
    {
        mp_window.reset();
        StopManagers();
    }

    // A list as the decoder leaves it; a path ending in "\\" is a folder
    // without files.
    static FileInfoMap List(std::vector<ListedFile> const& i_files)
    {
        FileInfoMap l_list;
        for (ListedFile const& l_file : i_files) {
            std::string const l_path(l_file.mp_path);
            std::size_t const l_cut = l_path.rfind('\\');
            std::set<FileInfo>& l_folder = l_list[l_path.substr(0, l_cut)];
            if (l_cut + 1 == l_path.size())
                continue;
            FileInfo l_info(l_path.substr(l_cut + 1), l_file.m_size);
            l_info.m_attributes.m_attributes = l_file.m_attributes;
            l_folder.insert(l_info);
        }
        return l_list;
    }

    // The list arrives from the user as the messenger hands it over.
    void Deliver(QString const& i_user, FileInfoMap i_list)
    {
        AttributeTranslationTable l_table;
        emit mp_messenger->UserShare(i_user, i_list, l_table);
    }

    // The user's tab, opened, with the list delivered and its rows built.
    ShareForm* Browse(QString const& i_user, std::vector<ListedFile> const& i_files)
    {
        ShareForm* lp_view = mp_page->OpenShareBrowse(i_user);
        Deliver(i_user, List(i_files));
        if (!WaitUntil([lp_view]() { return lp_view->Tree()->IsBuilt(); }))
            return nullptr;
        return lp_view;
    }

    // The folder rows' texts, depth first, each indented by two blanks per
    // level and marked "-" when hidden.
    static QStringList Rows(QTreeWidget* ip_tree)
    {
        QStringList l_rows;
        std::function<void(QTreeWidgetItem*, int)> l_add = [&](QTreeWidgetItem* ip_row, int i_depth) {
            l_rows << QString(i_depth * 2, ' ') + (ip_row->isHidden() ? "-" : "") + ip_row->text(0);
            for (int l_index = 0; l_index < ip_row->childCount(); ++l_index)
                l_add(ip_row->child(l_index), i_depth + 1);
        };
        for (int l_index = 0; l_index < ip_tree->topLevelItemCount(); ++l_index)
            l_add(ip_tree->topLevelItem(l_index), 0);
        return l_rows;
    }

    // The file list's rows in their order: "name|size|attributes".
    static QStringList Files(QTreeWidget* ip_list)
    {
        QStringList l_rows;
        for (int l_index = 0; l_index < ip_list->topLevelItemCount(); ++l_index) {
            QTreeWidgetItem* lp_row = ip_list->topLevelItem(l_index);
            l_rows << lp_row->text(0) + '|' + lp_row->text(1) + '|' + lp_row->text(2);
        }
        return l_rows;
    }

    // The row whose path of texts from the top is i_path ("Music/Rock").
    static QTreeWidgetItem* Row(QTreeWidget* ip_tree, QString const& i_path)
    {
        QTreeWidgetItem* lp_row = nullptr;
        for (QString const& l_text : i_path.split('/')) {
            int const l_count = lp_row ? lp_row->childCount() : ip_tree->topLevelItemCount();
            QTreeWidgetItem* lp_next = nullptr;
            for (int l_index = 0; l_index < l_count && !lp_next; ++l_index) {
                QTreeWidgetItem* lp_child = lp_row ? lp_row->child(l_index) : ip_tree->topLevelItem(l_index);
                if (lp_child->text(0) == l_text)
                    lp_next = lp_child;
            }
            if (!(lp_row = lp_next))
                return nullptr;
        }
        return lp_row;
    }

    // The queued downloads in the order they were asked for:
    // "folder|file|single|level".
    static QStringList Downloads()
    {
        QStringList l_entries;
        for (Item const& l_entry : d["download_entry"]->GetItems())
            l_entries << QStringList({l_entry["remote_folder"].AsString(), l_entry["file_name"].AsString(),
                                      l_entry.IsConnected("single_download") ? "single" : "",
                                      l_entry["subfolder_save_level"].AsString()})
                             .join('|');
        return l_entries;
    }

    static std::size_t Count(char const* ip_type) { return d[ip_type]->GetItemCount(); }

    std::unique_ptr<QMainWindow> mp_window;
    SharesForm* mp_page = nullptr;
};

#endif
