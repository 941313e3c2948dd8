#include "ui/search/SearchForm.h"

#include <QLabel>
#include <QVBoxLayout>

SearchForm* searchForm = nullptr;

SearchForm::SearchForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    searchForm = this;
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    QLabel* lp_note = new QLabel(tr("The Search page is not built yet."), this);
    lp_note->setObjectName(QStringLiteral("notBuiltYetLabel"));
    lp_note->setAlignment(Qt::AlignCenter);
    lp_layout->addWidget(lp_note);
}

void SearchForm::Init()
{
}
