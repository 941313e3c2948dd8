#ifndef QUILLMAR_UI_TRANSFERS_UPLOADFORM_H
#define QUILLMAR_UI_TRANSFERS_UPLOADFORM_H

// The "Upload to <user>" tab of the Browse page (SharesForm.h): our own
// shared files that one user may see, from which files and whole folders
// are pushed to him as uploads. The folder tree, the file list and the
// filter are ShareTree's (ShareTree.h), shared with the browse tab.

#include "store/Data.h"

#include <QPoint>
#include <QString>
#include <QWidget>

#include <vector>

class FilterParser;
class QTreeWidget;
class QTreeWidgetItem;
class ShareTree;
class Ui_UploadForm;

class UploadForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Creates the tab's "upload_share_tab" item linked to the user.
    UploadForm(QString i_user, QWidget* ip_parent = nullptr);
    ~UploadForm() override;

    // Shows the share the host built from our own shares; the page is its
    // only holder.
    void SetShare(Item i_share);
    // The tab closes: its tab item and its share go, then the page.
    void Delete();

    QString User() const { return m_user; }
    Item Share() const;
    ShareTree* Tree() const { return mp_tree; }
    QTreeWidget* FolderTree() const;
    QTreeWidget* FileList() const;

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFileDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFolderContextMenuRequested(QPoint i_point);
    void OnFileContextMenuRequested(QPoint i_point);
    void OnUploadFolder();
    void OnUploadFile();

private:
    void OnTreeBuilt();
    // Every file of the folder's tree: its own files, then each subfolder's.
    void UploadFolder(Item i_folder);
    void UploadFiles(std::vector<Item> const& i_files);
    // One file to the user; a file the engine refuses keeps its row as it
    // was and says why in the status bar.
    void Upload(Item const& i_file);
    bool FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_filter);

    Ui_UploadForm* mp_ui;
    ShareTree* mp_tree;
    QString m_user;
};

#endif
