#include "ui/transfers/SharesForm.h"

#include <QLabel>
#include <QVBoxLayout>

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    sharesForm = this;
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    QLabel* lp_note = new QLabel(tr("The Browse page is not built yet."), this);
    lp_note->setObjectName(QStringLiteral("notBuiltYetLabel"));
    lp_note->setAlignment(Qt::AlignCenter);
    lp_layout->addWidget(lp_note);
}

void SharesForm::Init()
{
}
