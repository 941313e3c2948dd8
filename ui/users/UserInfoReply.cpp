#include "ui/users/UserInfoReply.h"

#include "peers/PeerCodec.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/Stream.h"
#include "store/Utilities.h"
#include "transfers/TransferQueueManager.h"

#include <QFile>
#include <QFileInfo>

bool UserInfoReply::PictureFile::operator==(PictureFile const& i_other) const
{
    return m_path == i_other.m_path && m_exists == i_other.m_exists && m_size == i_other.m_size &&
           m_modified == i_other.m_modified && m_changed == i_other.m_changed;
}

QByteArray UserInfoReply::DescriptionBytes(QString const& i_description)
{
    QString l_text = i_description.left(i_description.indexOf(QChar(0)));
    l_text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    QByteArray l_bytes = l_text.toUtf8();
    if (l_bytes.size() > int(NETWORK_STRING_LIMIT)) {
        int l_end = int(NETWORK_STRING_LIMIT);
        // Back to the first byte of a character.
        while (l_end > 0 && (quint8(l_bytes[l_end]) & 0xC0) == 0x80)
            --l_end;
        l_bytes.truncate(l_end);
    }
    return l_bytes;
}

QByteArray const* UserInfoReply::Picture()
{
    PictureFile l_file;
    l_file.m_path = GetSetting("user_picture_file");
    if (l_file.m_path.isEmpty())
        return nullptr;
    QFileInfo const l_info(l_file.m_path);
    l_file.m_exists = l_info.isFile();
    if (l_file.m_exists) {
        l_file.m_size = l_info.size();
        l_file.m_modified = l_info.lastModified();
        l_file.m_changed = l_info.metadataChangeTime();
    }
    if (m_haveRead && l_file == m_read)
        return m_hasPicture ? &m_picture : nullptr;

    m_haveRead = true;
    m_read = l_file;
    m_hasPicture = false;
    m_picture.clear();
    QFile l_picture(l_file.m_path);
    if (!l_file.m_exists || l_file.m_size > MAX_PICTURE_BYTES || !l_picture.open(QIODevice::ReadOnly)) {
        Log("Users", 1, QStringLiteral("The picture %1 is missing, unreadable or over 8 MiB: it is not sent")
                            .arg(Isolated(l_file.m_path)));
        return nullptr;
    }
    m_picture = l_picture.read(l_file.m_size);
    m_hasPicture = m_picture.size() == l_file.m_size;
    if (!m_hasPicture)
        m_picture.clear();
    return m_hasPicture ? &m_picture : nullptr;
}

MemStream UserInfoReply::Build()
{
    quint32 const l_queued = transferQueueManager ? quint32(transferQueueManager->QueuedUploadCount()) : 0;
    bool const l_free = transferQueueManager && transferQueueManager->IsFreeToUpload();
    return PeerCodec::EncodeUserInfo(DescriptionBytes(GetSetting("user_description")), Picture(),
                                     quint32(GetSettingInt("upload_slots")), l_queued, l_free);
}
