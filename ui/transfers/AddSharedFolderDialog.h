#ifndef QUILLMAR_UI_TRANSFERS_ADDSHAREDFOLDERDIALOG_H
#define QUILLMAR_UI_TRANSFERS_ADDSHAREDFOLDERDIALOG_H

#include "store/Data.h"

#include <QDialog>

class Ui_AddSharedFolderDialog;

// Adds a folder to the shared folders, or edits who may see one that is
// shared already: everyone, every user of the user list, or the members of
// chosen user-list groups. The access is kept as links of the folder's
// "shared_folder" item. The dialog deletes itself when it closes.
class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    // A null item: a new folder.
    explicit AddSharedFolderDialog(Item const& i_folder, QWidget* ip_parent = nullptr);
    ~AddSharedFolderDialog() override;

    Ui_AddSharedFolderDialog* Form() const { return mp_ui; }

public slots:
    void accept() override;
    void OnSelectFolderClicked();
    void OnAccessibleToEveryoneCheckStateChanged(int i_checkState);
    void OnAccessibleToUserListCheckStateChanged(int i_checkState);

private:
    Ui_AddSharedFolderDialog* mp_ui;
    Item m_folder;
    bool m_editing;
};

#endif
