#ifndef QUILLMAR_UI_USERS_USERINFOVIEW_H
#define QUILLMAR_UI_USERS_USERINFOVIEW_H

// The text view of an information page (UserInfoForm): it shows another
// user's description and picture, and loads nothing else. A text view left
// to itself reads the local files and program resources that markup names
// (an image, a style sheet, a link followed), decodes data: addresses on the
// window's thread and follows clicked links; this one is sealed
// (OutsideMarkup::SealView): its one resource is the picture, and a clicked
// link does nothing.

#include <QTextBrowser>

class QImage;

class UserInfoView : public QTextBrowser
{
    Q_OBJECT

public:
    explicit UserInfoView(QWidget* ip_parent = nullptr);

    // Shows the markup with this picture as its one resource (a null image
    // for none).
    void Show(QString const& i_html, QImage const& i_picture);
};

#endif
