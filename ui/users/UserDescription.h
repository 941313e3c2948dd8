#ifndef QUILLMAR_UI_USERS_USERDESCRIPTION_H
#define QUILLMAR_UI_USERS_USERDESCRIPTION_H

// What another user's information reply shows on his information page
// (UserInfoForm): his description as markup that the text view can lay out
// in bounded time and that names no resource (OutsideMarkup::SafeHtml), and
// his picture decoded within bounded memory. Both come from a peer and are
// hostile until made so here.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace UserDescription {

// The largest picture shown, and the largest one decoded at all (whatever
// its file size, a picture's pixels are what cost memory).
constexpr int SHOWN_WIDTH = 800;
constexpr int SHOWN_HEIGHT = 400;
constexpr int MAX_DECODED_SIDE = 16384;
constexpr qint64 MAX_DECODED_PIXELS = 16 * 1024 * 1024;
// The name under which the page's view holds the picture.
char const* const PICTURE_RESOURCE = "UserImage";

// The page: the picture (when it could be shown), then the description made
// safe, or "No user info." when the reply had neither (a reply whose
// picture cannot be shown and whose description is empty shows nothing).
QString PageHtml(QString const& i_description, bool i_hasPicture, bool i_pictureShown);

// The picture as shown: decoded when it is a PNG, JPEG, GIF or BMP image no
// larger than the bounds above, then scaled to fit 800 x 400 (smoothly,
// keeping its proportions) when it is larger than that. A null image when
// it is none of these. Runs on a worker thread.
QImage DecodePicture(QByteArray const& i_bytes);

} // namespace UserDescription

#endif
