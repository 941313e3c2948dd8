#ifndef QUILLMAR_SERVER_FRAMEREADER_H
#define QUILLMAR_SERVER_FRAMEREADER_H

// Cuts the server's byte stream into frames (u32 length, u32 code,
// payload). Bytes may arrive in any pieces; a frame is handed out only once
// it is complete. A length outside the protocol's bounds is reported and
// nothing more is read: the caller closes the link. MakeFrame writes one.

#include "server/ServerCodes.h"
#include "store/MemStream.h"

#include <QByteArray>

class FrameReader
{
public:
    enum Result { FRAME, NEED_MORE, BAD_LENGTH };

    void Append(QByteArray const& i_bytes);

    // On FRAME: o_frame holds the whole frame (length and code included),
    // its read position just after the code; o_code is the code.
    // On BAD_LENGTH: o_badLength (when given) is the offending length.
    Result Next(MemStream& o_frame, quint32& o_code, quint32* op_badLength = nullptr);

    void Clear();
    int Pending() const { return m_buffer.size() - m_offset; }
    // The largest length taken (SERVER_FRAME_MAX unless lowered, for
    // instance before a login); a longer one is BAD_LENGTH.
    void SetMaxLength(quint32 i_max) { m_maxLength = i_max; }

private:
    QByteArray m_buffer;
    int m_offset = 0;
    bool m_broken = false;
    quint32 m_maxLength = SERVER_FRAME_MAX;
};

// The frame that carries the payload under that code; the caller keeps it
// within SERVER_FRAME_MAX.
MemStream MakeFrame(quint32 i_code, MemStream const& i_payload);

#endif
