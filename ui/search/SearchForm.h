#ifndef QUILLMAR_UI_SEARCH_SEARCHFORM_H
#define QUILLMAR_UI_SEARCH_SEARCHFORM_H

#include <QWidget>

// The Search page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class SearchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);

    void Init();
};

// The one instance, set by the constructor.
extern SearchForm* searchForm;

#endif
