#include "ui/users/UserNoteDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

UserNoteDialog::UserNoteDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
{
    setWindowTitle(tr("User note"));
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    lp_layout->addWidget(new QLabel(tr("This dialog is not built yet."), this));
    QDialogButtonBox* lp_buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(lp_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    lp_layout->addWidget(lp_buttons);
}

void UserNoteDialog::Init()
{
}
