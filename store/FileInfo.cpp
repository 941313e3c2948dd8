#include "store/FileInfo.h"

#include "store/Data.h"

bool AttributeMap::Read(InputStream& io_stream)
{
    m_attributes.clear();
    quint32 l_count = 0;
    if (!io_stream.ReadRaw(m_extension) || !io_stream.ReadU32(l_count))
        return false;
    // Eight bytes per pair: a count the stream cannot hold is refused at once
    // instead of looping over a hostile number.
    if (l_count > MAX_PAIRS || quint64(l_count) * 8 > io_stream.BytesAvailable())
        return false;
    m_attributes.reserve(l_count);
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        quint32 l_code = 0;
        quint32 l_value = 0;
        if (!io_stream.ReadU32(l_code) || !io_stream.ReadU32(l_value))
            return false;
        m_attributes.emplace_back(l_code, l_value);
    }
    return true;
}

bool AttributeMap::Write(OutputStream& io_stream) const
{
    if (!io_stream.WriteRaw(m_extension) || !io_stream.WriteU32(quint32(m_attributes.size())))
        return false;
    for (auto const& l_pair : m_attributes)
        if (!io_stream.WriteU32(l_pair.first) || !io_stream.WriteU32(l_pair.second))
            return false;
    return true;
}

bool AttributeMap::Find(quint32 i_code, quint32& o_value) const
{
    for (auto const& l_pair : m_attributes)
        if (l_pair.first == i_code) {
            o_value = l_pair.second;
            return true;
        }
    return false;
}

bool FileInfo::Read(InputStream& io_stream)
{
    quint8 l_present = 0;
    return io_stream.ReadU8(l_present) && io_stream.ReadRaw(m_name) && io_stream.ReadU64(m_size)
           && m_attributes.Read(io_stream);
}

bool FileInfo::Write(OutputStream& io_stream) const
{
    return io_stream.WriteU8(1) && io_stream.WriteRaw(m_name) && io_stream.WriteU64(m_size)
           && m_attributes.Write(io_stream);
}

bool FileInfo::operator<(FileInfo const& i_other) const
{
    int const l_order = m_name.compare(i_other.m_name);
    if (l_order != 0)
        return l_order < 0;
    return qint64(m_size) < qint64(i_other.m_size);
}

QString FileInfo::Name() const { return DecodeStoredText(m_name); }
