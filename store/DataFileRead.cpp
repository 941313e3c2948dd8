// Reading and checking a data file: the file read whole into memory, then
// its header, its checksum and every count and index in it checked against
// the bytes that are left (ParseDataFile), before anything in the store is
// changed. A checked file is put into the store in DataFileApply.cpp.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/MemStream.h"
#include "store/QFileStreamer.h"

#include <QFile>

#include <zlib.h>

#include <cstring>
#include <limits>

using namespace DataSaverInternals;

namespace {

bool Fail(QString& o_error, QString const& i_text)
{
    o_error = i_text;
    return false;
}

} // namespace

namespace DataSaverInternals {

quint32 Checksum(char const* ip_data, quint64 i_length, quint32 i_crc)
{
    uLong l_crc = i_crc;
    while (i_length > 0) {
        uInt const l_step = static_cast<uInt>(qMin<quint64>(i_length, 1u << 30));
        l_crc = crc32(l_crc, reinterpret_cast<Bytef const*>(ip_data), l_step);
        ip_data += l_step;
        i_length -= l_step;
    }
    return static_cast<quint32>(l_crc);
}

bool ReadFile(QString const& i_path, MemStream& o_image, QString& o_error)
{
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::ReadOnly))
        return Fail(o_error, "cannot be opened: " + l_file.errorString());
    qint64 const l_size = l_file.size();
    if (l_size > qint64(std::numeric_limits<int>::max()))
        return Fail(o_error, "too large");
    // Read straight into the stream that parses it: a large file is held
    // once, not twice.
    o_image.Reserve(quint64(l_size));
    if (!QFileStreamer(&l_file).ReadBuffer(o_image.mp_buffer->m_bytes.data(), static_cast<unsigned long>(l_size)))
        return Fail(o_error, "read error: " + l_file.errorString());
    o_image.mp_buffer->m_writeIndex = quint64(l_size);
    return true;
}

} // namespace DataSaverInternals

bool ParseDataFile(MemStream& io_in, DataFileContents& o_file, QString& o_error)
{
    quint64 const l_size = io_in.BytesAvailable();
    if (l_size < quint64(HEADER_SIZE))
        return Fail(o_error, "too short");
    char const* lp_bytes = io_in.Data() + io_in.ReadIndex();
    char l_magic[8];
    quint32 l_version = 0;
    quint64 l_length = 0;
    quint32 l_checksum = 0;
    io_in.ReadBuffer(l_magic, 8);
    io_in.ReadU32(l_version);
    io_in.ReadU64(l_length);
    io_in.ReadU32(l_checksum);
    if (std::memcmp(l_magic, MAGIC, 8) != 0)
        return Fail(o_error, "not a data file");
    if (l_version != FORMAT_VERSION)
        return Fail(o_error, QString("unknown format version %1").arg(l_version));
    if (l_length != l_size - HEADER_SIZE)
        return Fail(o_error, "truncated or extended");
    if (Checksum(lp_bytes + HEADER_SIZE, l_length) != l_checksum)
        return Fail(o_error, "checksum mismatch");
    io_in.SetStringLimit(DataSaver::STRING_LIMIT);

    quint32 l_typeCount = 0;
    if (!io_in.ReadU32(l_typeCount) || quint64(l_typeCount) * 9 > io_in.BytesAvailable())
        return Fail(o_error, "bad type table");
    quint64 l_total = 0;
    quint64 l_leastBytes = 0;
    o_file.m_types.resize(l_typeCount);
    for (DataFileContents::FileType& l_type : o_file.m_types) {
        if (!io_in.ReadRaw(l_type.m_name) || !io_in.ReadBool(l_type.m_isNull) || !io_in.ReadU32(l_type.m_count))
            return Fail(o_error, "bad type table");
        l_total += l_type.m_count;
        // A flag byte per valueless item, at least a length per valued one.
        l_leastBytes += quint64(l_type.m_count) * (l_type.m_isNull ? 1 : 4);
    }
    // Counts the rest of the file cannot hold are a lie, refused before the
    // per-item tables (tens of bytes per item) are allocated for them.
    if (l_leastBytes > io_in.BytesAvailable() || l_total > std::numeric_limits<quint32>::max())
        return Fail(o_error, "bad item count");
    o_file.m_values.resize(std::size_t(l_total));
    o_file.m_sharedNull.assign(std::size_t(l_total), 0);
    std::size_t l_index = 0;
    for (DataFileContents::FileType const& l_type : o_file.m_types) {
        for (quint32 l_item = 0; l_item < l_type.m_count; ++l_item, ++l_index) {
            bool const l_ok = l_type.m_isNull ? io_in.ReadU8(o_file.m_sharedNull[l_index])
                                              : io_in.ReadRaw(o_file.m_values[l_index]);
            if (!l_ok)
                return Fail(o_error, "bad item");
        }
    }
    quint64 l_linkCount = 0;
    if (!io_in.ReadU64(l_linkCount) || l_linkCount > io_in.BytesAvailable() / 8)
        return Fail(o_error, "bad link count");
    o_file.m_links.resize(std::size_t(l_linkCount));
    for (auto& l_link : o_file.m_links) {
        if (!io_in.ReadU32(l_link.first) || !io_in.ReadU32(l_link.second) || l_link.first >= l_total
            || l_link.second >= l_total)
            return Fail(o_error, "bad link");
    }
    if (io_in.BytesAvailable() != 0)
        return Fail(o_error, "unexpected bytes at the end");
    return true;
}
