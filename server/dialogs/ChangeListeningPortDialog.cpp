#include "server/dialogs/ChangeListeningPortDialog.h"

#include "store/Settings.h"
#include "ui_ChangeListeningPortDialog.h"

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeListeningPortDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    mp_ui->portSpinBox->setRange(1, MAX_LISTENING_PORT);
    // The pending port if one was chosen, else the one in use.
    int l_port = GetSettingInt("new_listening_port");
    if (l_port < 1 || l_port > MAX_LISTENING_PORT)
        l_port = GetSettingInt("listening_port");
    if (l_port >= 1 && l_port <= MAX_LISTENING_PORT)
        mp_ui->portSpinBox->setValue(l_port);
}

ChangeListeningPortDialog::~ChangeListeningPortDialog()
{
    delete mp_ui;
}

void ChangeListeningPortDialog::accept()
{
    mp_ui->portSpinBox->interpretText();
    int const l_port = mp_ui->portSpinBox->value();
    if (l_port < 1 || l_port > MAX_LISTENING_PORT)
        return;
    SetSetting("new_listening_port", qint64(l_port));
    QDialog::accept();
}
