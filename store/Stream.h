#ifndef QUILLMAR_STORE_STREAM_H
#define QUILLMAR_STORE_STREAM_H

// The byte-stream encoding shared by the data file and every network
// message: integers little-endian, strings as a u32 byte length followed by
// the UTF-8 bytes. Reads never trust a length: it is checked against the
// stream's string limit and against the bytes actually left before anything
// is allocated. Every read and write returns a success flag; a failed read
// leaves the value unspecified and should end the handling of the message.

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <string>

// Largest string a network read accepts.
constexpr quint32 NETWORK_STRING_LIMIT = 0x20000;
// No limit beyond what a u32 length can express.
constexpr quint32 UNLIMITED_STRING = 0xFFFFFFFFu;

class Stream
{
public:
    Stream() = default;
    Stream(Stream const&) = default;
    Stream& operator=(Stream const&) = default;
    virtual ~Stream();

    // Longest string (in bytes) a read accepts; NETWORK_STRING_LIMIT unless
    // changed. The data file raises it.
    quint32 ReadStringLimit() const { return m_readStringLimit; }
    // Longest string a write accepts; unlimited unless changed.
    quint32 WriteStringLimit() const { return m_writeStringLimit; }
    // Sets both limits, so that whatever is written can be read back.
    void SetStringLimit(quint32 i_limit)
    {
        m_readStringLimit = i_limit;
        m_writeStringLimit = i_limit;
    }
    void SetReadStringLimit(quint32 i_limit) { m_readStringLimit = i_limit; }
    void SetWriteStringLimit(quint32 i_limit) { m_writeStringLimit = i_limit; }

private:
    quint32 m_readStringLimit = NETWORK_STRING_LIMIT;
    quint32 m_writeStringLimit = UNLIMITED_STRING;
};

class InputStream : public virtual Stream
{
public:
    // Reads exactly i_length bytes or fails without consuming a partial read.
    virtual bool ReadBuffer(void* op_buffer, unsigned long i_length) = 0;
    // Bytes that can still be read (an upper bound used to refuse lengths
    // before allocating).
    virtual quint64 BytesAvailable() const = 0;
    // Skips i_length bytes; false when fewer are left.
    virtual bool Skip(quint64 i_length);

    bool ReadU8(quint8& o_value);
    bool ReadBool(bool& o_value); // one byte, non-zero is true
    bool ReadU32(quint32& o_value);
    bool ReadI32(qint32& o_value);
    bool ReadU64(quint64& o_value);
    bool ReadI64(qint64& o_value);
    // The raw bytes of a string, unchanged.
    bool ReadRaw(std::string& o_bytes);
    bool ReadRaw(QByteArray& o_bytes);
    // A string as text: UTF-8, or the chosen 8-bit code page when the bytes
    // are not valid UTF-8.
    bool ReadString(QString& o_text);

    bool Read(quint8& o_value) { return ReadU8(o_value); }
    bool Read(bool& o_value) { return ReadBool(o_value); }
    bool Read(quint32& o_value) { return ReadU32(o_value); }
    bool Read(qint32& o_value) { return ReadI32(o_value); }
    bool Read(quint64& o_value) { return ReadU64(o_value); }
    bool Read(qint64& o_value) { return ReadI64(o_value); }
    bool Read(std::string& o_bytes) { return ReadRaw(o_bytes); }
    bool Read(QByteArray& o_bytes) { return ReadRaw(o_bytes); }
    bool Read(QString& o_text) { return ReadString(o_text); }

private:
    bool ReadLength(quint32& o_length);
};

class OutputStream : public virtual Stream
{
public:
    // Appends i_length bytes; false when they cannot all be written.
    virtual bool WriteBuffer(void const* ip_buffer, unsigned long i_length) = 0;

    bool WriteU8(quint8 i_value);
    bool WriteBool(bool i_value);
    bool WriteU32(quint32 i_value);
    bool WriteI32(qint32 i_value);
    bool WriteU64(quint64 i_value);
    bool WriteI64(qint64 i_value);
    // A u32 byte length, then the bytes; false above the write limit.
    bool WriteRaw(char const* ip_bytes, quint64 i_length);
    bool WriteRaw(std::string const& i_bytes) { return WriteRaw(i_bytes.data(), i_bytes.size()); }
    bool WriteRaw(QByteArray const& i_bytes) { return WriteRaw(i_bytes.constData(), quint64(i_bytes.size())); }
    bool WriteString(QString const& i_text);

    bool Write(quint8 i_value) { return WriteU8(i_value); }
    bool Write(bool i_value) { return WriteBool(i_value); }
    bool Write(quint32 i_value) { return WriteU32(i_value); }
    bool Write(qint32 i_value) { return WriteI32(i_value); }
    bool Write(quint64 i_value) { return WriteU64(i_value); }
    bool Write(qint64 i_value) { return WriteI64(i_value); }
    bool Write(std::string const& i_bytes) { return WriteRaw(i_bytes); }
    bool Write(QByteArray const& i_bytes) { return WriteRaw(i_bytes); }
    bool Write(QString const& i_text) { return WriteString(i_text); }
    bool Write(char const* ip_text) { return WriteString(QString::fromUtf8(ip_text)); }
};

// Records that read themselves from a stream.
class StreamReadable
{
public:
    virtual ~StreamReadable();
    virtual bool Read(InputStream& io_stream) = 0;
};

// Records that write themselves to a stream.
class StreamWritable
{
public:
    virtual ~StreamWritable();
    virtual bool Write(OutputStream& io_stream) const = 0;
};

class Persistent : public StreamReadable, public StreamWritable
{
};

#endif
