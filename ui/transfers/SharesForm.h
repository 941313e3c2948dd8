#ifndef QUILLMAR_UI_TRANSFERS_SHARESFORM_H
#define QUILLMAR_UI_TRANSFERS_SHARESFORM_H

#include <QWidget>

class ShareForm;
class UploadForm;

// The Browse page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);

    void Init();
    // PLACEHOLDERS until the share browser lands: the first asks for the
    // user's share list; both bring this page (and its note that it is not
    // built) forward, and there is no tab to return.
    ShareForm* OpenShareBrowse(QString const& i_user);
    UploadForm* OpenUploadBrowse(QString const& i_user);
};

// The one instance, set by the constructor.
extern SharesForm* sharesForm;

#endif
