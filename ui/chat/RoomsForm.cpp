#include "ui/chat/RoomsForm.h"

#include <QLabel>
#include <QVBoxLayout>

RoomsForm::RoomsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    QLabel* lp_note = new QLabel(tr("The Rooms page is not built yet."), this);
    lp_note->setObjectName(QStringLiteral("notBuiltYetLabel"));
    lp_note->setAlignment(Qt::AlignCenter);
    lp_layout->addWidget(lp_note);
}

void RoomsForm::Init()
{
}
