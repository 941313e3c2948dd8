#ifndef QUILLMAR_UI_USERS_USERGROUPCONFIGDIALOG_H
#define QUILLMAR_UI_USERS_USERGROUPCONFIGDIALOG_H

// "Configure User Groups": every group, and for the selected one its
// download priority and whether uploads its users offer unasked are
// accepted, or its deletion. At most one is open (userGroupConfigDialog);
// the users page's command "configure_user_groups" opens it. Changes are
// made in the store at once.

#include "store/Data.h"

#include <QDialog>

class Ui_UserGroupConfigDialog;
class QListWidgetItem;

class UserGroupConfigDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupConfigDialog(QWidget* ip_parent = nullptr);
    ~UserGroupConfigDialog() override;

    Ui_UserGroupConfigDialog* Form() const { return mp_ui; }

private slots:
    void OnCurrentGroupItemChanged(QListWidgetItem* ip_currentItem, QListWidgetItem* ip_lastItem);
    void OnPrioritySpinValueChanged(int i_value);
    void OnAcceptUploadsCheckboxToggled(bool i_toggled);
    void OnDeleteClicked();

private:
    void OnUserGroupAdded(Item i_group);
    void OnUserGroupRemoved(Item i_group);
    // The group of the current row; null when there is none (never creates).
    Item CurrentGroup() const;
    void EnableEditors(bool i_enabled);

    Ui_UserGroupConfigDialog* mp_ui;
};

// The open dialog, or null.
extern UserGroupConfigDialog* userGroupConfigDialog;

#endif
