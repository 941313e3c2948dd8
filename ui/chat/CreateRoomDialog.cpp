#include "ui/chat/CreateRoomDialog.h"

#include "ui_CreateRoomDialog.h"

#include "server/Server.h"

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_CreateRoomDialog)
{
    mp_ui->setupUi(this);
    createRoomDialog = this;
}

CreateRoomDialog::~CreateRoomDialog()
{
    delete mp_ui;
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
}

void CreateRoomDialog::OnButtonClicked()
{
    QString const l_name = mp_ui->roomNameEdit->text().trimmed();
    if (l_name.isEmpty())
        return;
    if (gp_server)
        gp_server->EnterRoom(l_name, mp_ui->createPrivateCheckBox->isChecked());
    // Gone at once for the next command, which builds a fresh dialog; the
    // object itself goes once the button's click has returned.
    createRoomDialog = nullptr;
    hide();
    deleteLater();
}
