#include "store/Stream.h"

#include "store/Data.h"

#include <QByteArray>

#include <limits>
#include <string_view>
#include <type_traits>

Stream::~Stream() = default;
StreamReadable::~StreamReadable() = default;
StreamWritable::~StreamWritable() = default;

namespace {

template <class T>
bool ReadLittleEndian(InputStream& io_stream, T& o_value)
{
    unsigned char l_bytes[sizeof(T)];
    if (!io_stream.ReadBuffer(l_bytes, sizeof(T)))
        return false;
    typename std::make_unsigned<T>::type l_value = 0;
    for (std::size_t l_index = sizeof(T); l_index-- > 0;)
        l_value = (l_value << 8) | l_bytes[l_index];
    o_value = static_cast<T>(l_value);
    return true;
}

template <class T>
bool WriteLittleEndian(OutputStream& io_stream, T i_value)
{
    unsigned char l_bytes[sizeof(T)];
    auto l_value = static_cast<typename std::make_unsigned<T>::type>(i_value);
    for (std::size_t l_index = 0; l_index < sizeof(T); ++l_index) {
        l_bytes[l_index] = static_cast<unsigned char>(l_value & 0xFF);
        l_value = static_cast<decltype(l_value)>(l_value >> 8);
    }
    return io_stream.WriteBuffer(l_bytes, sizeof(T));
}

} // namespace

// ---------------------------------------------------------------- InputStream

bool InputStream::Skip(quint64 i_length)
{
    if (i_length > BytesAvailable())
        return false;
    char l_chunk[4096];
    while (i_length > 0) {
        unsigned long l_step = static_cast<unsigned long>(qMin<quint64>(i_length, sizeof(l_chunk)));
        if (!ReadBuffer(l_chunk, l_step))
            return false;
        i_length -= l_step;
    }
    return true;
}

bool InputStream::ReadU8(quint8& o_value) { return ReadBuffer(&o_value, 1); }

bool InputStream::ReadBool(bool& o_value)
{
    quint8 l_byte = 0;
    if (!ReadU8(l_byte))
        return false;
    o_value = l_byte != 0;
    return true;
}

bool InputStream::ReadU32(quint32& o_value) { return ReadLittleEndian(*this, o_value); }
bool InputStream::ReadI32(qint32& o_value) { return ReadLittleEndian(*this, o_value); }
bool InputStream::ReadU64(quint64& o_value) { return ReadLittleEndian(*this, o_value); }
bool InputStream::ReadI64(qint64& o_value) { return ReadLittleEndian(*this, o_value); }

bool InputStream::ReadLength(quint32& o_length)
{
    // The length is checked before any allocation: a hostile peer must not be
    // able to make us reserve memory for bytes that it never sends.
    if (!ReadU32(o_length))
        return false;
    return o_length <= ReadStringLimit() && o_length <= BytesAvailable();
}

bool InputStream::ReadRaw(std::string& o_bytes)
{
    quint32 l_length = 0;
    if (!ReadLength(l_length))
        return false;
    std::string l_bytes(l_length, '\0');
    if (l_length > 0 && !ReadBuffer(&l_bytes[0], l_length))
        return false;
    o_bytes.swap(l_bytes);
    return true;
}

bool InputStream::ReadRaw(QByteArray& o_bytes)
{
    quint32 l_length = 0;
    if (!ReadLength(l_length) || l_length > quint32(std::numeric_limits<int>::max()))
        return false;
    QByteArray l_bytes(int(l_length), Qt::Uninitialized);
    if (l_length > 0 && !ReadBuffer(l_bytes.data(), l_length))
        return false;
    o_bytes.swap(l_bytes);
    return true;
}

bool InputStream::ReadString(QString& o_text)
{
    std::string l_bytes;
    if (!ReadRaw(l_bytes))
        return false;
    o_text = DecodeStoredText(std::string_view(l_bytes));
    return true;
}

// --------------------------------------------------------------- OutputStream

bool OutputStream::WriteU8(quint8 i_value) { return WriteBuffer(&i_value, 1); }
bool OutputStream::WriteBool(bool i_value) { return WriteU8(i_value ? 1 : 0); }
bool OutputStream::WriteU32(quint32 i_value) { return WriteLittleEndian(*this, i_value); }
bool OutputStream::WriteI32(qint32 i_value) { return WriteLittleEndian(*this, i_value); }
bool OutputStream::WriteU64(quint64 i_value) { return WriteLittleEndian(*this, i_value); }
bool OutputStream::WriteI64(qint64 i_value) { return WriteLittleEndian(*this, i_value); }

bool OutputStream::WriteRaw(char const* ip_bytes, quint64 i_length)
{
    if (i_length > WriteStringLimit())
        return false;
    if (!WriteU32(static_cast<quint32>(i_length)))
        return false;
    return i_length == 0 || WriteBuffer(ip_bytes, static_cast<unsigned long>(i_length));
}

bool OutputStream::WriteString(QString const& i_text)
{
    QByteArray const l_bytes = i_text.toUtf8();
    return WriteRaw(l_bytes.constData(), quint64(l_bytes.size()));
}
