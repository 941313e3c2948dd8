#include "server/FrameReader.h"

#include "server/ServerCodes.h"

#include <QtEndian>

void FrameReader::Append(QByteArray const& i_bytes)
{
    if (m_broken || i_bytes.isEmpty())
        return;
    // Drop what was already handed out before growing, so that a long-lived
    // link does not keep every byte it ever received.
    if (m_offset > 0 && m_offset >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(i_bytes);
}

FrameReader::Result FrameReader::Next(MemStream& o_frame, quint32& o_code, quint32* op_badLength)
{
    if (m_broken)
        return BAD_LENGTH;
    int const l_available = m_buffer.size() - m_offset;
    if (l_available < 4)
        return NEED_MORE;
    uchar const* lp_start = reinterpret_cast<uchar const*>(m_buffer.constData() + m_offset);
    quint32 const l_length = qFromLittleEndian<quint32>(lp_start);
    if (l_length < SERVER_FRAME_MIN || l_length > m_maxLength) {
        m_broken = true;
        if (op_badLength)
            *op_badLength = l_length;
        return BAD_LENGTH;
    }
    if (quint64(l_available) < quint64(l_length) + 4)
        return NEED_MORE;
    o_code = qFromLittleEndian<quint32>(lp_start + 4);
    o_frame = MemStream(m_buffer.constData() + m_offset, l_length + 4);
    o_frame.SetReadIndex(8);
    m_offset += int(l_length) + 4;
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    return FRAME;
}

void FrameReader::Clear()
{
    m_buffer.clear();
    m_offset = 0;
    m_broken = false;
}

MemStream MakeFrame(quint32 i_code, MemStream const& i_payload)
{
    quint64 const l_size = i_payload.Size();
    MemStream l_frame;
    l_frame.Reserve(l_size + 8);
    l_frame.WriteU32(quint32(l_size + 4));
    l_frame.WriteU32(i_code);
    if (l_size > 0)
        l_frame.WriteBuffer(i_payload.Data(), l_size);
    return l_frame;
}
