#ifndef QUILLMAR_BENCH_SEARCHPAGE_H
#define QUILLMAR_BENCH_SEARCHPAGE_H

// The search page over the managers the window makes, shown at a size a
// user's window has, so that its rows are laid out and painted as they are
// there. Needs tests/ui on the include path.

#include "PageManagers.h"
#include "ui/search/SearchForm.h"

#include <memory>

namespace bench {

template <class Managers = PageManagers>
struct SearchPageOver : Managers
{
    using Managers::mp_server;

    SearchPageOver()
    {
        this->StartManagers();
        mp_form = std::make_unique<SearchForm>();
        mp_form->resize(1200, 800);
        mp_form->Init();
        mp_form->DataLoaded();
        mp_form->show();
    }
    ~SearchPageOver()
    {
        mp_form.reset();
        this->StopManagers();
    }
    SearchPageOver(SearchPageOver const&) = delete;
    SearchPageOver& operator=(SearchPageOver const&) = delete;

    std::unique_ptr<SearchForm> mp_form;
};

using SearchPage = SearchPageOver<>;

} // namespace bench

#endif
