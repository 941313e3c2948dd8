#ifndef QUILLMAR_TESTS_UI_NOLOAD_H
#define QUILLMAR_TESTS_UI_NOLOAD_H

// Whether a view that shows text from outside loads what the text names.
// Red bait pictures and style sheets lie in a folder that is the working
// folder meanwhile, among the program's resources (baits.qrc, which the
// test adds to its sources) and in data addresses. The kernel reports every
// open of a bait file (inotify), whoever makes it (a text document, Qt's
// image reader, a tool tip), and a bait that was drawn shows as red pixels
// in the view; a test looks at both. A test may also watch the opens of
// files of its own there.

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>

#include <sys/inotify.h>
#include <unistd.h>

class BaitFolder
{
public:
    BaitFolder()
    {
        for (char const* lp_name : {"abs.png", "rel.png", "url.png", "noext.png", "bare.png", "bg.png", "tip.png"})
            Write(lp_name, RedPng());
        for (char const* lp_name : {"style.css", "imported.css"})
            Write(lp_name, RedStyle());
        Write("link.html", "<p>followed</p>");
        m_previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        m_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(m_watch, QFile::encodeName(m_dir.path()).constData(), IN_OPEN);
    }
    ~BaitFolder()
    {
        close(m_watch);
        QDir::setCurrent(m_previous);
    }

    QString Path(QString const& i_name) const { return m_dir.filePath(i_name); }

    // The files of the folder opened since the last call, once for each
    // open (but the kernel reports opens of one file in a row once until
    // they are read).
    QStringList Opened()
    {
        QStringList l_names;
        alignas(inotify_event) char l_buffer[8192];
        for (;;) {
            ssize_t const l_read = read(m_watch, l_buffer, sizeof l_buffer);
            if (l_read <= 0)
                break;
            for (char* lp_at = l_buffer; lp_at < l_buffer + l_read;) {
                auto const* lp_event = reinterpret_cast<inotify_event const*>(lp_at);
                QString const l_name = lp_event->len ? QFile::decodeName(lp_event->name) : QString();
                if (!l_name.isEmpty())
                    l_names << l_name;
                lp_at += sizeof(inotify_event) + lp_event->len;
            }
        }
        return l_names;
    }

    // Every way a text can name a picture: an absolute and a relative path,
    // file addresses (one without its extension, which the image reader
    // completes), the program's resources and a data address.
    QStringList PictureNames() const
    {
        return {Path("abs.png"),
                "rel.png",
                "bare",
                QUrl::fromLocalFile(Path("url.png")).toString(),
                "file://" + Path("noext"),
                "file:rel.png",
                ":/bait/red.png",
                "qrc:/bait/red.png",
                "qrc:///bait/red.png",
                "data:image/png;base64," + RedPng().toBase64()};
    }
    QStringList StyleNames() const
    {
        return {Path("style.css"), "style.css", QUrl::fromLocalFile(Path("style.css")).toString(),
                "data:text/css;base64," + RedStyle().toBase64()};
    }

    // Each place in markup that names a picture or a style sheet, with each
    // name.
    QStringList HostileTexts() const
    {
        QStringList l_texts;
        for (QString const& l_name : PictureNames())
            for (char const* lp_place : {"<img src=\"%1\">", "<img src=\"%1\" width=\"30\" height=\"30\">",
                                         "<table background=\"%1\"><tr><td>x</td></tr></table>",
                                         "<body background=\"%1\">x</body>",
                                         "<p style=\"background-image: url(%1)\">x</p>"})
                l_texts << QString(lp_place).arg(l_name);
        for (QString const& l_name : StyleNames())
            l_texts << QString("<link rel=\"stylesheet\" type=\"text/css\" href=\"%1\">x").arg(l_name);
        l_texts << QString("<style>@import url(%1);</style>x").arg(Path("imported.css"));
        return l_texts;
    }

    static QByteArray RedPng()
    {
        QImage l_image(24, 24, QImage::Format_RGB32);
        l_image.fill(Qt::red);
        QByteArray l_bytes;
        QBuffer l_buffer(&l_bytes);
        l_buffer.open(QIODevice::WriteOnly);
        l_image.save(&l_buffer, "PNG");
        return l_bytes;
    }
    static QByteArray RedStyle() { return "* { background-color: #ff0000; color: #ff0000; }"; }

private:
    void Write(QString const& i_name, QByteArray const& i_bytes)
    {
        QFile l_file(Path(i_name));
        if (!l_file.open(QIODevice::WriteOnly) || l_file.write(i_bytes) != i_bytes.size())
            qFatal("cannot write a bait");
    }

    QTemporaryDir m_dir;
    QString m_previous;
    int m_watch = -1;
};

// The red pixels of the widget as it shows: a bait drawn.
inline int RedPixels(QWidget* ip_widget)
{
    QImage const l_shown = ip_widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int l_red = 0;
    for (int l_y = 0; l_y < l_shown.height(); ++l_y)
        for (int l_x = 0; l_x < l_shown.width(); ++l_x) {
            QRgb const l_pixel = l_shown.pixel(l_x, l_y);
            l_red += qRed(l_pixel) > 200 && qGreen(l_pixel) < 60 && qBlue(l_pixel) < 60;
        }
    return l_red;
}

#endif
