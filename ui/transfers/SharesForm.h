#ifndef QUILLMAR_UI_TRANSFERS_SHARESFORM_H
#define QUILLMAR_UI_TRANSFERS_SHARESFORM_H

#include <QWidget>

// The Browse page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);

    void Init();
};

// The one instance, set by the constructor.
extern SharesForm* sharesForm;

#endif
