#ifndef QUILLMAR_STORE_MEMSTREAM_H
#define QUILLMAR_STORE_MEMSTREAM_H

// The growable message buffer used to build and parse every network message.
// Copies of a MemStream share one buffer (through rcptr), including its read
// and write positions, so a message can be passed around by value without
// copying its bytes. Use Clone() for an independent copy.

#include "store/Stream.h"
#include "store/rcptr.h"

#include <QByteArray>

#include <vector>

struct MemBuffer
{
    std::vector<char> m_bytes;  // bytes [0, m_writeIndex) are written
    quint64 m_writeIndex = 0;
    quint64 m_readIndex = 0;
};

class MemStream : public InputStream, public OutputStream
{
public:
    MemStream();
    explicit MemStream(QByteArray const& i_bytes);
    MemStream(void const* ip_bytes, unsigned long i_length);

    // Appends at the write position.
    bool WriteBuffer(void const* ip_buffer, unsigned long i_length) override;
    // Reads at the read position.
    bool ReadBuffer(void* op_buffer, unsigned long i_length) override;
    quint64 BytesAvailable() const override;
    bool Skip(quint64 i_length) override;

    char const* Data() const;           // the start of the written bytes
    quint64 Size() const;               // bytes written
    quint64 ReadIndex() const;
    // Moves the read position; false (and unchanged) beyond the written bytes.
    bool SetReadIndex(quint64 i_index);
    void Reserve(quint64 i_bytes);
    // Empties the buffer and resets both positions.
    void Clear();

    // The written bytes; ToByteArray(from) from a position on.
    QByteArray ToByteArray() const;
    QByteArray ToByteArray(quint64 i_from) const;
    MemStream Clone() const;

    rcptr<MemBuffer> mp_buffer;
};

// zlib helpers for peer payloads. The wire format has no size field, so the
// output is grown as the stream inflates, up to a hard cap given by the
// caller; a truncated or corrupt stream, or one whose output would pass the
// cap, fails and leaves the output empty.
constexpr quint64 INFLATE_CAP_SHARE_LIST = 256ull * 1024 * 1024;
constexpr quint64 INFLATE_CAP_DEFAULT = 16ull * 1024 * 1024;

// zlib (RFC 1950) stream at level 9 into a buffer of 2 x L + 12 bytes.
bool ZlibCompress(char const* ip_data, quint64 i_length, QByteArray& o_compressed);
// Compresses the stream's bytes from its read position on and appends the
// result to o_out.
bool ZlibCompress(MemStream const& i_in, MemStream& o_out);
bool ZlibInflate(char const* ip_data, quint64 i_length, quint64 i_cap, QByteArray& o_inflated);
// Inflates the stream's unread bytes into a new stream (read position 0).
bool ZlibInflate(MemStream const& i_in, quint64 i_cap, MemStream& o_out);
// Inflates only the first i_bytes of the stream's output (all of it when it
// is shorter), so that a message can be judged by its first fields before
// the rest is inflated. False for a stream corrupt before that point.
bool ZlibInflatePrefix(MemStream const& i_in, quint64 i_bytes, MemStream& o_out);

#endif
