#include "server/dialogs/ChangeUsernamePasswordDialog.h"

#include "store/Settings.h"
#include "ui_ChangeUsernamePasswordDialog.h"

#include <QPushButton>

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstTime, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeUsernamePasswordDialog)
{
    mp_ui->setupUi(this);
    setModal(true);
    if (i_firstTime) {
        setWindowTitle(tr("Choose Your Username and Password"));
    } else {
        setWindowTitle(tr("Change Username/Password"));
        setAttribute(Qt::WA_DeleteOnClose);
    }
    mp_ui->usernameEdit->setText(GetSetting("username"));
    mp_ui->passwordEdit->setText(GetSetting("password"));
    connect(mp_ui->usernameEdit, &QLineEdit::textChanged, this, &ChangeUsernamePasswordDialog::OnTextChanged);
    OnTextChanged();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog()
{
    delete mp_ui;
}

void ChangeUsernamePasswordDialog::OnTextChanged()
{
    // A name of blanks only would be stored as no name at all.
    bool const l_valid = !mp_ui->usernameEdit->text().trimmed().isEmpty();
    mp_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(l_valid);
}

void ChangeUsernamePasswordDialog::accept()
{
    QString const l_name = mp_ui->usernameEdit->text().trimmed();
    if (l_name.isEmpty())
        return;
    SetSetting("username", l_name);
    SetSetting("password", mp_ui->passwordEdit->text().trimmed());
    QDialog::accept();
}
