#include "store/UserStats.h"

bool UserStats::Read(InputStream& io_stream)
{
    return io_stream.ReadU32(m_averageSpeed) && io_stream.ReadU64(m_uploadCount) && io_stream.ReadU32(m_fileCount)
           && io_stream.ReadU32(m_folderCount);
}

bool UserStats::Write(OutputStream& io_stream) const
{
    return io_stream.WriteU32(m_averageSpeed) && io_stream.WriteU64(m_uploadCount) && io_stream.WriteU32(m_fileCount)
           && io_stream.WriteU32(m_folderCount);
}
