#ifndef QUILLMAR_UI_TRANSFERS_SHAREFORM_H
#define QUILLMAR_UI_TRANSFERS_SHAREFORM_H

// One tab of the Browse page (SharesForm.h): another user's shared files as
// his client sent them. The folder tree, the file list and the filter are
// ShareTree's (ShareTree.h), shared with the upload tab; this tab adds the
// message area, downloads of files and folder trees, the XML export and
// the jump to a folder named by a search result. Design notes:
// docs/share-browser.md.

#include "ui/transfers/SharePage.h"

#include <QPoint>
#include <QSaveFile>
#include <QString>
#include <QXmlStreamWriter>

#include <memory>
#include <vector>

class QShowEvent;
class QTextBrowser;
class QTreeWidgetItem;
class SlicedWork;
class Ui_ShareForm;

class ShareForm : public SharePage
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
    // Writes the whole share, hidden rows included, as XML (in slices;
    // Exported once the file is in place or has failed, the failure shown
    // in a message box).
    void ExportToFile(QString i_fileName);

    QTextBrowser* MessageArea() const;
    // No download or export left to run.
    bool IsIdle() const;

signals:
    void Exported(QString i_fileName, bool i_saved);

public slots:
    void OnFileItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action) override;
    void OnConnectionToUserFailed(QString i_user, QString i_connectionType);
    void OnShareListRefused(QString i_user, QString i_reason);
    void OnDownloadFolder() { TakeSelectedFolders(); }
    void OnDownloadFile() { TakeSelectedFiles(); }

protected:
    void showEvent(QShowEvent* ip_event) override;
    void OnTreeBuilt() override;
    // Single files are queued whatever their extension.
    void TakeFiles(std::vector<Item> const& i_files) override;
    void TakeFolder(Item const& i_folder) override { DownloadFolder(i_folder, false); }
    // Only while "download_folders_on_double_click" is on; otherwise a
    // double click opens or closes the folder.
    bool TakesFolderOnDoubleClick() const override;
    QString FileMenuText() const override { return QStringLiteral("Download File(s)"); }
    QString FolderMenuText() const override { return QStringLiteral("Download Folder"); }

private:
    void OnDownloadFoldersOnDoubleClickToggled(Item i_setting);
    void MarkQueued(Item const& i_file);
    // The export's walk: one folder's start, one file or one folder's end
    // per step.
    bool ExportStep();
    void EndExport();
    void ShowExportFailure(QString const& i_reason);

    Ui_ShareForm* mp_ui;
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
