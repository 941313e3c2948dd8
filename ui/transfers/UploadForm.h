#ifndef QUILLMAR_UI_TRANSFERS_UPLOADFORM_H
#define QUILLMAR_UI_TRANSFERS_UPLOADFORM_H

// The "Upload to <user>" tab of the Browse page (SharesForm.h): our own
// shared files that one user may see, from which files and whole folders
// are pushed to him as uploads. The folder tree, the file list and the
// filter are ShareTree's (ShareTree.h, through SharePage.h), shared with the
// browse tab.

#include "ui/transfers/SharePage.h"

#include <vector>

class Ui_UploadForm;

class UploadForm : public SharePage
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

public slots:
    void OnUploadFolder() { TakeSelectedFolders(); }
    void OnUploadFile() { TakeSelectedFiles(); }

protected:
    void TakeFiles(std::vector<Item> const& i_files) override;
    // Every file of the folder's tree: its own files, then each subfolder's.
    void TakeFolder(Item const& i_folder) override;
    QString FileMenuText() const override { return QStringLiteral("Upload File(s)"); }
    QString FolderMenuText() const override { return QStringLiteral("Upload Folder"); }

private:
    // One file to the user; a file the engine refuses keeps its row as it
    // was and says why in the status bar.
    void Upload(Item const& i_file);

    Ui_UploadForm* mp_ui;
};

#endif
