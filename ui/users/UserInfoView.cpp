#include "ui/users/UserInfoView.h"

#include "ui/users/UserDescription.h"
#include "ui/widgets/OutsideMarkup.h"

#include <QImage>

UserInfoView::UserInfoView(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    OutsideMarkup::SealView(this);
}

void UserInfoView::Show(QString const& i_html, QImage const& i_picture)
{
    // A new document each time: a document keeps what it was given, and the
    // picture of the last reply must not stand in for this one's.
    // The view deletes a document of its own making; one of ours goes here.
    QTextDocument* lp_old = document()->parent() == this ? document() : nullptr;
    QTextDocument* lp_document = new OutsideMarkup::SealedDocument(this);
    if (!i_picture.isNull())
        lp_document->addResource(QTextDocument::ImageResource, QUrl(QLatin1String(UserDescription::PICTURE_RESOURCE)),
                                 i_picture);
    lp_document->setHtml(i_html);
    setDocument(lp_document);
    delete lp_old;
    moveCursor(QTextCursor::Start);
}
