#include "ui/users/UserDescription.h"

#include "ui/widgets/OutsideMarkup.h"

#include <QBuffer>
#include <QImageReader>

#include <set>

namespace UserDescription {

QString PageHtml(QString const& i_description, bool i_hasPicture, bool i_pictureShown)
{
    QString l_html;
    if (i_pictureShown)
        l_html = QStringLiteral("<img src=\"%1\" /><p>").arg(QLatin1String(PICTURE_RESOURCE));
    if (i_description.isEmpty() && !i_hasPicture)
        l_html += QLatin1String("No user info.");
    else
        l_html += OutsideMarkup::SafeHtml(i_description);
    return l_html;
}

QImage DecodePicture(QByteArray const& i_bytes)
{
    QByteArray l_bytes = i_bytes;
    QBuffer l_buffer(&l_bytes);
    if (!l_buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader l_reader(&l_buffer);
    l_reader.setDecideFormatFromContent(true);
    static std::set<QByteArray> const s_formats = {"png", "jpeg", "jpg", "gif", "bmp"};
    if (!s_formats.count(l_reader.format().toLower()))
        return QImage();
    // The header's size, before a pixel is decoded.
    QSize const l_size = l_reader.size();
    if (!l_size.isValid() || l_size.width() > MAX_DECODED_SIDE || l_size.height() > MAX_DECODED_SIDE ||
        qint64(l_size.width()) * l_size.height() > MAX_DECODED_PIXELS)
        return QImage();
    QImage l_image;
    if (!l_reader.read(&l_image) || l_image.size() != l_size)
        return QImage();
    if (l_image.width() > SHOWN_WIDTH || l_image.height() > SHOWN_HEIGHT)
        l_image = l_image.scaled(SHOWN_WIDTH, SHOWN_HEIGHT, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return l_image;
}

} // namespace UserDescription
