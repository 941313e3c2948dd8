#include "ui/users/UserInfoView.h"

#include "ui/users/UserDescription.h"

#include <QTextDocument>

UserInfoView::UserInfoView(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

void UserInfoView::Show(QString const& i_html, QImage const& i_picture)
{
    m_picture = i_picture;
    // A new document each time: a document keeps what it loaded, and the
    // picture of the last reply must not stand in for this one's.
    // The view deletes a document of its own making; one of ours goes here.
    QTextDocument* lp_old = document()->parent() == this ? document() : nullptr;
    QTextDocument* lp_document = new QTextDocument(this);
    lp_document->setHtml(i_html);
    setDocument(lp_document);
    delete lp_old;
    moveCursor(QTextCursor::Start);
}

QVariant UserInfoView::loadResource(int i_type, QUrl const& i_name)
{
    if (i_type == QTextDocument::ImageResource) {
        if (i_name == QUrl(QLatin1String(UserDescription::PICTURE_RESOURCE)) && !m_picture.isNull())
            return m_picture;
        // Not null, or the document would look for the name itself.
        QImage l_nothing(1, 1, QImage::Format_ARGB32);
        l_nothing.fill(Qt::transparent);
        return l_nothing;
    }
    return QByteArray(" ");
}
