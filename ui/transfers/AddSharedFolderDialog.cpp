#include "ui/transfers/AddSharedFolderDialog.h"

#include "shares/SharedFoldersManager.h"
#include "ui_AddSharedFolderDialog.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QListWidget>
#include <QPushButton>

AddSharedFolderDialog::AddSharedFolderDialog(Item const& i_folder, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_AddSharedFolderDialog), m_folder(i_folder), m_editing(i_folder.IsValid())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // Connected before any state is set, so that the state below goes
    // through the enabling rules.
    connect(mp_ui->buttonBox, &QDialogButtonBox::accepted, this, &AddSharedFolderDialog::accept);
    connect(mp_ui->buttonBox, &QDialogButtonBox::rejected, this, &AddSharedFolderDialog::reject);
    connect(mp_ui->selectFolderButton, &QPushButton::clicked, this, &AddSharedFolderDialog::OnSelectFolderClicked);
    connect(mp_ui->everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(mp_ui->userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);

    if (m_editing) {
        // A shared folder keeps its path; only its access can change.
        mp_ui->selectFolderButton->setEnabled(false);
        mp_ui->selectedFolderEdit->setEnabled(false);
        mp_ui->selectedFolderEdit->setText(m_folder.AsString());
        bool const l_public = m_folder.IsConnected("shared_public");
        mp_ui->everyoneCheckBox->setChecked(l_public);
        mp_ui->userListCheckBox->setChecked(l_public || m_folder.IsConnected("shared_userlist"));
    } else {
        // The path can only be chosen, so Enter first opens the chooser
        // rather than pressing an OK that has no folder to share.
        mp_ui->selectFolderButton->setFocus();
    }
    if (d.HasType("user_list_group")) {
        for (Item const& l_group : d["user_list_group"]->GetItems()) {
            QListWidgetItem* lp_row = new QListWidgetItem(l_group.AsString(), mp_ui->groupsListWidget);
            lp_row->setFlags(lp_row->flags() | Qt::ItemIsUserCheckable);
            lp_row->setCheckState(m_editing && m_folder.IsConnected(l_group) ? Qt::Checked : Qt::Unchecked);
        }
    }
}

AddSharedFolderDialog::~AddSharedFolderDialog()
{
    delete mp_ui;
}

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked) {
        mp_ui->userListCheckBox->setEnabled(false);
        mp_ui->userListCheckBox->setChecked(true);
        mp_ui->groupsListWidget->setEnabled(false);
    } else {
        mp_ui->userListCheckBox->setEnabled(true);
        mp_ui->groupsListWidget->setEnabled(!mp_ui->userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int i_checkState)
{
    mp_ui->groupsListWidget->setEnabled(i_checkState != Qt::Checked);
}

void AddSharedFolderDialog::OnSelectFolderClicked()
{
    QString const l_folder = QDir::fromNativeSeparators(
        QFileDialog::getExistingDirectory(this, tr("Select Folder to Share"), QString(), QFileDialog::ShowDirsOnly));
    if (l_folder.isEmpty())
        return;
    mp_ui->selectedFolderEdit->setText(l_folder);
    // With the folder chosen, Enter shares it instead of opening the
    // chooser again from the button that still had the focus.
    mp_ui->buttonBox->button(QDialogButtonBox::Ok)->setFocus();
}

void AddSharedFolderDialog::accept()
{
    QString const l_path = mp_ui->selectedFolderEdit->text();
    if (l_path.isEmpty())
        return;
    Item l_folder = m_folder;
    if (!m_editing && sharedFoldersManager)
        l_folder = sharedFoldersManager->AddSharedFolder(l_path);
    // The folder stopped being shared while the dialog was open: there is
    // nothing left to give access to, and recreating it would share it
    // again behind the user's back.
    if (l_folder.IsNull()) {
        QDialog::reject();
        return;
    }
    if (mp_ui->everyoneCheckBox->isChecked()) {
        l_folder += d["shared_public"]->GetGlobalNullItem();
        QDialog::accept();
        return;
    }
    l_folder.Disconnect("shared_public");
    if (mp_ui->userListCheckBox->isChecked()) {
        l_folder += d["shared_userlist"]->GetGlobalNullItem();
        QDialog::accept();
        return;
    }
    l_folder.Disconnect("shared_userlist");
    for (int l_row = 0; l_row < mp_ui->groupsListWidget->count(); ++l_row) {
        QListWidgetItem* lp_row = mp_ui->groupsListWidget->item(l_row);
        // A group deleted while the dialog was open is not made again.
        Item const l_group = d["user_list_group"]->HasItem(Value(lp_row->text()));
        if (l_group.IsNull())
            continue;
        if (lp_row->checkState() == Qt::Checked)
            l_folder += l_group;
        else
            l_folder.Disconnect(l_group);
    }
    QDialog::accept();
}
