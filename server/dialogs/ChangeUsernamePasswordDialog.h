#ifndef QUILLMAR_SERVER_DIALOGS_CHANGEUSERNAMEPASSWORDDIALOG_H
#define QUILLMAR_SERVER_DIALOGS_CHANGEUSERNAMEPASSWORDDIALOG_H

// Edits the "username" and "password" settings. The first-run form is run
// modally by its creator (on the stack or not); the later form is shown
// without blocking and deletes itself when closed.

#include <QDialog>

class Ui_ChangeUsernamePasswordDialog;

class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    ChangeUsernamePasswordDialog(bool i_firstTime, QWidget* ip_parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

    Ui_ChangeUsernamePasswordDialog* Form() const { return mp_ui; }

public slots:
    void accept() override;

private slots:
    void OnTextChanged();

private:
    Ui_ChangeUsernamePasswordDialog* mp_ui;
};

#endif
