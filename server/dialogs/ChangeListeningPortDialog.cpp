#include "server/dialogs/ChangeListeningPortDialog.h"

#include "store/Settings.h"
#include "ui_ChangeListeningPortDialog.h"

ChangeListeningPortDialog::ChangeListeningPortDialog(quint16 i_listening, quint16 i_obfuscated, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ChangeListeningPortDialog)
{
    mp_ui->setupUi(this);
    mp_ui->hintLabel->setText(PortsText(i_listening, i_obfuscated));
    setAttribute(Qt::WA_DeleteOnClose);
    mp_ui->portSpinBox->setRange(1, MAX_LISTENING_PORT);
    // The pending port if one was chosen, else the one in use.
    int l_port = GetSettingInt("new_listening_port");
    if (l_port < 1 || l_port > MAX_LISTENING_PORT)
        l_port = GetSettingInt("listening_port");
    if (l_port >= 1 && l_port <= MAX_LISTENING_PORT)
        mp_ui->portSpinBox->setValue(l_port);
}

QString ChangeListeningPortDialog::PortsText(quint16 i_listening, quint16 i_obfuscated)
{
    QString l_now = tr("No port is in use now.");
    if (i_listening != 0 && i_obfuscated != 0)
        l_now = tr("In use now: port %1, and port %2 for obfuscated connections.").arg(i_listening).arg(i_obfuscated);
    else if (i_listening != 0)
        l_now = tr("In use now: port %1; no port for obfuscated connections.").arg(i_listening);
    else if (i_obfuscated != 0)
        l_now = tr("In use now: port %1 for obfuscated connections only.").arg(i_obfuscated);
    return l_now + QLatin1Char(' ')
           + tr("From the next start the client listens on the port chosen here, and on the port after it for "
                "obfuscated connections; where either is taken, the system picks another.");
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
