#ifndef QUILLMAR_UI_USERS_USERINFOREPLY_H
#define QUILLMAR_UI_USERS_USERINFOREPLY_H

// Our answer when another user's client asks for our information (peer
// message 16, docs/protocol.md): the description and picture of the options
// page "User Info", the upload slots, the queued uploads and whether a slot
// is free. The users page (UserListForm) sends it for every request.

#include "store/MemStream.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class UserInfoReply
{
public:
    // A larger picture file is sent as none.
    static constexpr qint64 MAX_PICTURE_BYTES = 8 * 1024 * 1024;

    // The whole message, from the settings and the upload queue as they are.
    MemStream Build();

    // The description as it goes: line feeds as CR LF, UTF-8, up to its
    // first NUL, cut (at a character) where a peer would refuse it as too
    // long.
    static QByteArray DescriptionBytes(QString const& i_description);

private:
    // The picture file's bytes, or null for none (no file set, or one that
    // is missing, unreadable, shorter than its size or over the bound).
    // The file is read once for each change of the setting or of the file,
    // not at every request.
    QByteArray const* Picture();

    struct PictureFile
    {
        QString m_path;
        bool m_exists = false;
        qint64 m_size = 0;
        QDateTime m_modified;
        QDateTime m_changed;
        bool operator==(PictureFile const& i_other) const;
    };
    PictureFile m_read;
    bool m_haveRead = false;
    bool m_hasPicture = false;
    QByteArray m_picture;
};

#endif
