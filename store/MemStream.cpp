#include "store/MemStream.h"

#include <zlib.h>

#include <cstring>
#include <limits>

MemStream::MemStream() : mp_buffer(new MemBuffer)
{
    // Keeps Data() a valid pointer even while nothing is written.
    mp_buffer->m_bytes.reserve(64);
}

MemStream::MemStream(QByteArray const& i_bytes) : MemStream()
{
    WriteBuffer(i_bytes.constData(), static_cast<unsigned long>(i_bytes.size()));
}

MemStream::MemStream(void const* ip_bytes, unsigned long i_length) : MemStream()
{
    WriteBuffer(ip_bytes, i_length);
}

bool MemStream::WriteBuffer(void const* ip_buffer, unsigned long i_length)
{
    if (i_length == 0)
        return true;
    MemBuffer& l_buffer = *mp_buffer;
    if (i_length > l_buffer.m_bytes.max_size() - l_buffer.m_writeIndex)
        return false;
    quint64 const l_end = l_buffer.m_writeIndex + i_length;
    if (l_end > l_buffer.m_bytes.size()) {
        // Grow geometrically so that appending many small fields stays linear.
        quint64 l_capacity = qMax<quint64>(l_end, qMax<quint64>(64, l_buffer.m_bytes.size() * 2));
        l_buffer.m_bytes.resize(static_cast<std::size_t>(l_capacity));
    }
    std::memcpy(l_buffer.m_bytes.data() + l_buffer.m_writeIndex, ip_buffer, i_length);
    l_buffer.m_writeIndex = l_end;
    return true;
}

bool MemStream::ReadBuffer(void* op_buffer, unsigned long i_length)
{
    if (i_length > BytesAvailable())
        return false;
    if (i_length > 0) {
        std::memcpy(op_buffer, mp_buffer->m_bytes.data() + mp_buffer->m_readIndex, i_length);
        mp_buffer->m_readIndex += i_length;
    }
    return true;
}

quint64 MemStream::BytesAvailable() const { return mp_buffer->m_writeIndex - mp_buffer->m_readIndex; }

bool MemStream::Skip(quint64 i_length)
{
    if (i_length > BytesAvailable())
        return false;
    mp_buffer->m_readIndex += i_length;
    return true;
}

char const* MemStream::Data() const { return mp_buffer->m_bytes.data(); }
quint64 MemStream::Size() const { return mp_buffer->m_writeIndex; }
quint64 MemStream::ReadIndex() const { return mp_buffer->m_readIndex; }

bool MemStream::SetReadIndex(quint64 i_index)
{
    if (i_index > mp_buffer->m_writeIndex)
        return false;
    mp_buffer->m_readIndex = i_index;
    return true;
}

void MemStream::Reserve(quint64 i_bytes)
{
    if (i_bytes > mp_buffer->m_bytes.size())
        mp_buffer->m_bytes.resize(static_cast<std::size_t>(i_bytes));
}

void MemStream::Clear()
{
    mp_buffer->m_bytes.clear();
    mp_buffer->m_writeIndex = 0;
    mp_buffer->m_readIndex = 0;
}

QByteArray MemStream::ToByteArray() const { return ToByteArray(0); }

QByteArray MemStream::ToByteArray(quint64 i_from) const
{
    if (i_from >= Size())
        return QByteArray();
    return QByteArray(Data() + i_from, static_cast<int>(Size() - i_from));
}

MemStream MemStream::Clone() const
{
    MemStream l_copy(Data(), static_cast<unsigned long>(Size()));
    l_copy.mp_buffer->m_readIndex = ReadIndex();
    l_copy.SetReadStringLimit(ReadStringLimit());
    l_copy.SetWriteStringLimit(WriteStringLimit());
    return l_copy;
}

// ------------------------------------------------------------------------ zlib

bool ZlibCompress(char const* ip_data, quint64 i_length, QByteArray& o_compressed)
{
    o_compressed.clear();
    // 2 x L + 12 always holds a level-9 stream, whatever the input.
    quint64 const l_bound = 2 * i_length + 12;
    if (i_length > std::numeric_limits<uLong>::max() / 2 - 12
        || l_bound > quint64(std::numeric_limits<int>::max()))
        return false;
    QByteArray l_out(static_cast<int>(l_bound), Qt::Uninitialized);
    uLongf l_outLength = static_cast<uLongf>(l_bound);
    int const l_result = compress2(reinterpret_cast<Bytef*>(l_out.data()), &l_outLength,
                                   reinterpret_cast<Bytef const*>(ip_data), static_cast<uLong>(i_length), 9);
    if (l_result != Z_OK)
        return false;
    l_out.truncate(static_cast<int>(l_outLength));
    o_compressed.swap(l_out);
    return true;
}

bool ZlibCompress(MemStream const& i_in, MemStream& o_out)
{
    QByteArray l_compressed;
    if (!ZlibCompress(i_in.Data() + i_in.ReadIndex(), i_in.BytesAvailable(), l_compressed))
        return false;
    return o_out.WriteBuffer(l_compressed.constData(), static_cast<unsigned long>(l_compressed.size()));
}

namespace {

// The inflation behind every form, into the vector a MemStream keeps its
// bytes in, so that a share list is never held twice. With i_prefixOnly the
// cap is what is wanted: inflation stops there, successfully.
bool InflateInto(char const* ip_data, quint64 i_length, quint64 i_cap, std::vector<char>& o_inflated,
                 bool i_prefixOnly = false)
{
    if (i_cap > quint64(std::numeric_limits<int>::max()) - 1)
        i_cap = quint64(std::numeric_limits<int>::max()) - 1;

    z_stream l_stream;
    std::memset(&l_stream, 0, sizeof(l_stream));
    if (inflateInit(&l_stream) != Z_OK)
        return false;

    std::vector<char> l_out;
    char l_chunk[64 * 1024];
    quint64 l_remaining = i_length;
    Bytef const* lp_next = reinterpret_cast<Bytef const*>(ip_data);
    bool l_ok = false;
    for (;;) {
        if (l_stream.avail_in == 0 && l_remaining > 0) {
            uInt const l_feed = static_cast<uInt>(qMin<quint64>(l_remaining, 1u << 30));
            l_stream.next_in = const_cast<Bytef*>(lp_next);
            l_stream.avail_in = l_feed;
            lp_next += l_feed;
            l_remaining -= l_feed;
        }
        quint64 l_room = sizeof(l_chunk);
        if (i_prefixOnly)
            l_room = qMin<quint64>(l_room, i_cap - quint64(l_out.size()));
        l_stream.next_out = reinterpret_cast<Bytef*>(l_chunk);
        l_stream.avail_out = static_cast<uInt>(l_room);
        int const l_result = inflate(&l_stream, Z_NO_FLUSH);
        quint64 const l_produced = l_room - l_stream.avail_out;
        // The cap is checked before the bytes are kept, so a bomb never makes
        // the output grow past it.
        quint64 const l_needed = quint64(l_out.size()) + l_produced;
        if (l_needed > i_cap)
            break;
        if (l_needed > quint64(l_out.capacity())) {
            // Grown by hand so that the buffer never reserves past the cap.
            quint64 const l_grown = qMin(i_cap, qMax(l_needed, 2 * quint64(l_out.capacity())));
            l_out.reserve(static_cast<std::size_t>(l_grown));
        }
        l_out.insert(l_out.end(), l_chunk, l_chunk + l_produced);
        if (l_result == Z_STREAM_END || (i_prefixOnly && quint64(l_out.size()) == i_cap)) {
            l_ok = true;
            break;
        }
        if (l_result == Z_BUF_ERROR && l_stream.avail_in == 0 && l_remaining == 0)
            break; // truncated: the input ended inside the stream
        if (l_result != Z_OK && l_result != Z_BUF_ERROR)
            break; // corrupt data, bad header, or out of memory
    }
    inflateEnd(&l_stream);
    if (l_ok)
        o_inflated.swap(l_out);
    return l_ok;
}

bool InflateStream(MemStream const& i_in, quint64 i_cap, MemStream& o_out, bool i_prefixOnly)
{
    std::vector<char> l_inflated;
    if (!InflateInto(i_in.Data() + i_in.ReadIndex(), i_in.BytesAvailable(), i_cap, l_inflated, i_prefixOnly))
        return false;
    MemStream l_out;
    l_out.mp_buffer->m_writeIndex = l_inflated.size();
    if (!l_inflated.empty()) // an empty vector may have no storage for Data()
        l_out.mp_buffer->m_bytes.swap(l_inflated);
    o_out = l_out;
    return true;
}

} // namespace

bool ZlibInflate(char const* ip_data, quint64 i_length, quint64 i_cap, QByteArray& o_inflated)
{
    o_inflated.clear();
    std::vector<char> l_inflated;
    if (!InflateInto(ip_data, i_length, i_cap, l_inflated))
        return false;
    o_inflated = QByteArray(l_inflated.data(), int(l_inflated.size()));
    return true;
}

bool ZlibInflate(MemStream const& i_in, quint64 i_cap, MemStream& o_out)
{
    return InflateStream(i_in, i_cap, o_out, false);
}

bool ZlibInflatePrefix(MemStream const& i_in, quint64 i_bytes, MemStream& o_out)
{
    return InflateStream(i_in, i_bytes, o_out, true);
}
