#include "ui/users/GiftPrivilegesDialog.h"

#include "ui_GiftPrivilegesDialog.h"

#include "server/Server.h"
#include "ui/widgets/OutsideText.h"

GiftPrivilegesDialog::GiftPrivilegesDialog(QString const& i_user, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_GiftPrivilegesDialog), m_user(i_user)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Gift Privileges to " + LiteralWindowTitle(i_user));
    // Up to four digits, none required: at most 9,999 days.
    mp_ui->daysEdit->setInputMask(QStringLiteral("0000"));
    connect(mp_ui->giftButton, &QPushButton::clicked, this, &GiftPrivilegesDialog::OnGiftClicked);
}

GiftPrivilegesDialog::~GiftPrivilegesDialog()
{
    delete mp_ui;
}

void GiftPrivilegesDialog::OnGiftClicked()
{
    int const l_days = mp_ui->daysEdit->text().toInt();
    if (l_days <= 0)
        return;
    if (gp_server)
        gp_server->GiftPrivileges(m_user, l_days);
    deleteLater();
}
