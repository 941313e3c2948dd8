#include "store/SharedFolderInfo.h"

bool SharedFolderInfo::Read(InputStream& io_stream)
{
    m_files.clear();
    quint32 l_count = 0;
    if (!io_stream.ReadU32(l_count) || l_count > MAX_FILES)
        return false;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        FileInfo l_file;
        if (!l_file.Read(io_stream))
            return false;
        m_files.insert(std::move(l_file));
    }
    return true;
}

bool SharedFolderInfo::Write(OutputStream& io_stream) const
{
    if (!io_stream.WriteU32(quint32(m_files.size())))
        return false;
    for (FileInfo const& l_file : m_files)
        if (!l_file.Write(io_stream))
            return false;
    return io_stream.WriteU32(0);
}
