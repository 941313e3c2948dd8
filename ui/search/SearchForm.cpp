#include "ui/search/SearchForm.h"

#include "app/Placeholder.h"

SearchForm* searchForm = nullptr;

SearchForm::SearchForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    searchForm = this;
    ShowPageNotBuiltYet(this, tr("The Search page is not built yet."));
}

void SearchForm::Init()
{
}
