#ifndef QUILLMAR_UI_TRANSFERS_SHAREFORM_H
#define QUILLMAR_UI_TRANSFERS_SHAREFORM_H

// One tab of the Browse page (SharesForm.h): another user's shared files as
// his client sent them. The folder tree, the file list and the filter are
// ShareTree's (ShareTree.h), shared with the upload tab; this tab adds the
// message area, downloads of files and folder trees, the XML export and
// the jump to a folder named by a search result. Design notes:
// docs/share-browser.md.

#include "store/Data.h"

#include <QPoint>
#include <QSaveFile>
#include <QString>
#include <QWidget>
#include <QXmlStreamWriter>

#include <memory>
#include <vector>

class FilterParser;
class QShowEvent;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class ShareTree;
class SlicedWork;
class Ui_ShareForm;

class ShareForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Creates the tab's "user_share_tab" item linked to the user and shows
    // that the list is being requested; the host sends the request.
    ShareForm(QString i_user, QWidget* ip_parent = nullptr);
    ~ShareForm() override;

    // Shows the received share, once: while the tab shows a share (or is
    // building its rows), a further one is left alone.
    void SetShare(Item i_share);
    // Selects the folder of exactly that path; before the list is shown the
    // folder is kept for then (a later call replacing it). A path that is
    // not in the share changes nothing.
    void BrowseToFolder(QString i_folder);
    // The tab closes: forgets its share, has the shares manager remove it,
    // removes its tab item and schedules its deletion.
    void Delete();

    // Queues the folder's files (single download off, save level 0 for
    // the chosen folder, 1 below it) and, in turn, its subfolders' trees;
    // files with an excluded extension are left out. Runs in slices.
    void DownloadFolder(Item i_folder, bool i_subfolder);
    bool FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_filter);
    // Writes the whole share, hidden rows included, as XML (in slices;
    // Exported once the file is in place or has failed, the failure shown
    // in a message box).
    void ExportToFile(QString i_fileName);
    void ExpandLevel();
    void CollapseAll();
    void ExpandAll();

    QString User() const { return m_user; }
    Item Share() const;
    ShareTree* Tree() const { return mp_tree; }
    QTreeWidget* FolderTree() const;
    QTreeWidget* FileList() const;
    QTextBrowser* MessageArea() const;
    // No download or export left to run.
    bool IsIdle() const;

signals:
    void Exported(QString i_fileName, bool i_saved);

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFileItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();
    void OnConnectionToUserFailed(QString i_user, QString i_connectionType);
    void OnFileDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFolderContextMenuRequested(QPoint i_point);
    void OnFileContextMenuRequested(QPoint i_point);
    void OnDownloadFolder();
    void OnDownloadFile();
    void OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int i_column);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnDownloadFoldersOnDoubleClickToggled(Item i_setting);
    void OnUserShareItemRemoved(Item i_share);
    void OnTreeBuilt();
    void DownloadFiles(std::vector<Item> const& i_files);
    void MarkQueued(Item const& i_file);
    // The export's walk: one folder's start, one file or one folder's end
    // per step.
    bool ExportStep();
    void EndExport();
    void ShowExportFailure(QString const& i_reason);

    Ui_ShareForm* mp_ui;
    ShareTree* mp_tree;
    QString m_user;
    bool m_responded = false;
    bool m_shareSet = false;
    QString m_pendingFolder;

    struct ExportFrame
    {
        QTreeWidgetItem* mp_row; // null: the "user" element
        bool m_started;
        int m_nextChild;
        std::vector<Item> m_files;
        std::size_t m_nextFile;
    };
    SlicedWork* mp_exportWork;
    std::unique_ptr<QSaveFile> mp_exportFile;
    QXmlStreamWriter m_writer;
    std::vector<ExportFrame> m_exportStack;
};

#endif
