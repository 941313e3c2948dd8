#ifndef QUILLMAR_UI_USERS_USERGROUPSDIALOG_H
#define QUILLMAR_UI_USERS_USERGROUPSDIALOG_H

// The groups of one listed user: every group with a check box, ticked where
// the user's list entry is in it; ticking and unticking change that at once,
// and a new group can be made. Opened from the user menu ("Set user's
// groups"); any number may be open. The groups' own settings are edited in
// UserGroupConfigDialog.

#include "store/Data.h"

#include <QDialog>
#include <QString>

class Ui_UserGroupsDialog;
class QListWidgetItem;

class UserGroupsDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupsDialog(QString const& i_user, QWidget* ip_parent = nullptr);
    ~UserGroupsDialog() override;

    Ui_UserGroupsDialog* Form() const { return mp_ui; }

public slots:
    void OnNewGroupButtonClicked();
    void OnGroupItemChanged(QListWidgetItem* ip_item);

private:
    void OnUserGroupAdded(Item i_group);
    // A group deleted elsewhere loses its row here, so that no tick can make
    // it again by its name.
    void OnUserGroupRemoved(Item i_group);
    void AddRow(QString const& i_group, bool i_ticked);

    Ui_UserGroupsDialog* mp_ui;
    QString m_user;
};

#endif
