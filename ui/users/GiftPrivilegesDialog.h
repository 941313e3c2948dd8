#ifndef QUILLMAR_UI_USERS_GIFTPRIVILEGESDIALOG_H
#define QUILLMAR_UI_USERS_GIFTPRIVILEGESDIALOG_H

// Gives another user days of the own account's privileges: one server
// request, then the dialog closes. Opened from the user menu ("Gift
// Privileges") while the own account holds privileges.

#include <QDialog>
#include <QString>

class Ui_GiftPrivilegesDialog;

class GiftPrivilegesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit GiftPrivilegesDialog(QString const& i_user, QWidget* ip_parent = nullptr);
    ~GiftPrivilegesDialog() override;

    Ui_GiftPrivilegesDialog* Form() const { return mp_ui; }

public slots:
    void OnGiftClicked();

private:
    Ui_GiftPrivilegesDialog* mp_ui;
    QString m_user;
};

#endif
