#ifndef QUILLMAR_UI_TRANSFERS_TRANSFERSFORM_H
#define QUILLMAR_UI_TRANSFERS_TRANSFERSFORM_H

#include <QWidget>

// The Transfers page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class TransfersForm : public QWidget
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);

    void Init();
};

// The one instance, set by the constructor.
extern TransfersForm* transfersForm;

#endif
