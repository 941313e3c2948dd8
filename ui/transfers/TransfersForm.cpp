#include "ui/transfers/TransfersForm.h"

#include <QLabel>
#include <QVBoxLayout>

TransfersForm* transfersForm = nullptr;

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    transfersForm = this;
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    QLabel* lp_note = new QLabel(tr("The Transfers page is not built yet."), this);
    lp_note->setObjectName(QStringLiteral("notBuiltYetLabel"));
    lp_note->setAlignment(Qt::AlignCenter);
    lp_layout->addWidget(lp_note);
}

void TransfersForm::Init()
{
}
