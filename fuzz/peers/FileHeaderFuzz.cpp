// The start of a file connection as it arrives: the handshake frame, the
// uploader's token, then the downloader's offset, which the uploader checks
// against its file. The first 8 bytes give that file's size; the rest is
// what the connection delivers.

#include "peers/PeerWire.h"

#include <QBuffer>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size < 8)
        return 0;
    qint64 const l_fileSize = qFromLittleEndian<qint64>(ip_data) & std::numeric_limits<qint64>::max();
    QByteArray l_bytes(reinterpret_cast<char const*>(ip_data + 8), int(i_size - 8));
    QBuffer l_device(&l_bytes);
    l_device.open(QIODevice::ReadOnly);
    QByteArray l_frame;
    PeerWire::Handshake l_handshake;
    if (PeerWire::ReadFrame(l_device, false, PeerWire::MAX_HANDSHAKE_LENGTH, l_frame) != PeerWire::ReadResult::Complete
        || !PeerWire::ParseHandshake(l_frame, l_handshake))
        return 0;
    // The token is taken whole or not at all, and nothing after it: the
    // offset and the file's bytes belong to the transfer thread.
    qint64 const l_before = l_device.pos();
    quint32 l_token = 0;
    bool const l_read = PeerWire::ReadFileToken(l_device, l_token);
    if (l_device.pos() - l_before != (l_read ? PeerWire::FILE_TOKEN_BYTES : 0))
        __builtin_trap();
    char l_offsetBytes[PeerWire::FILE_OFFSET_BYTES];
    if (!l_read || l_device.read(l_offsetBytes, sizeof l_offsetBytes) != qint64(sizeof l_offsetBytes))
        return 0;
    qint64 l_offset = -1;
    if (PeerWire::DecodeFileOffset(l_offsetBytes, l_fileSize, l_offset) && (l_offset < 0 || l_offset > l_fileSize))
        __builtin_trap();
    return 0;
}
