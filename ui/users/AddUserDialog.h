#ifndef QUILLMAR_UI_USERS_ADDUSERDIALOG_H
#define QUILLMAR_UI_USERS_ADDUSERDIALOG_H

// "Add User": puts a user into the user list by his name, once the server
// has said that the name exists. Feedback goes to the dialog's status line.
// The users page's command "manual_add_user" opens a new one each time.

#include <QDialog>
#include <QString>

class Ui_AddUserDialog;

class AddUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddUserDialog(QWidget* ip_parent = nullptr);
    ~AddUserDialog() override;

    Ui_AddUserDialog* Form() const { return mp_ui; }

public slots:
    void OnAddUserClicked();
    // Every answer of the server to an add-user request, whoever asked.
    void OnAddUserResponse(QString i_user, bool i_exists);

private:
    void SetWaiting(bool i_waiting);

    Ui_AddUserDialog* mp_ui;
    QString m_pending; // the name asked for and not yet answered
};

#endif
