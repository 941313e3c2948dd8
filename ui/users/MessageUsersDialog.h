#ifndef QUILLMAR_UI_USERS_MESSAGEUSERSDIALOG_H
#define QUILLMAR_UI_USERS_MESSAGEUSERSDIALOG_H

// "Message Multiple Users": one private message to many users in a single
// server request. The target is every user of the user list, the online
// users with an upload queued here, or one group of the user list. At most
// one is open (messageUsersDialog); the users page's command
// "message_users" opens it.

#include "store/Data.h"

#include <QDialog>

class Ui_MessageUsersDialog;

class MessageUsersDialog : public QDialog
{
    Q_OBJECT

public:
    explicit MessageUsersDialog(QWidget* ip_parent = nullptr);
    ~MessageUsersDialog() override;

    // The recipients of the chosen target, as the store holds them now.
    ItemSet GetUsers() const;
    void PopulateUserList();

    Ui_MessageUsersDialog* Form() const { return mp_ui; }

private slots:
    void OnTargetIndexChanged(int i_index);
    void OnSendMessageClicked();

private:
    Ui_MessageUsersDialog* mp_ui;
};

// The open dialog, or null.
extern MessageUsersDialog* messageUsersDialog;

#endif
