#ifndef QUILLMAR_STORE_USERSTATS_H
#define QUILLMAR_STORE_USERSTATS_H

// A user's statistics as the server reports them. Wire form: u32 average
// upload speed (bytes per second), u64 upload count, u32 shared file count,
// u32 shared folder count.

#include "store/Stream.h"

#include <QMetaType>

class UserStats : public Persistent
{
public:
    bool Read(InputStream& io_stream) override;
    bool Write(OutputStream& io_stream) const override;

    bool operator==(UserStats const& i_other) const
    {
        return m_averageSpeed == i_other.m_averageSpeed && m_uploadCount == i_other.m_uploadCount
               && m_fileCount == i_other.m_fileCount && m_folderCount == i_other.m_folderCount;
    }

    quint32 m_averageSpeed = 0;
    quint64 m_uploadCount = 0;
    quint32 m_fileCount = 0;
    quint32 m_folderCount = 0;
};

Q_DECLARE_METATYPE(UserStats)

#endif
