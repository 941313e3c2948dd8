// What arrives before a connection is open: frames (plain or obfuscated, as
// the first byte says) read one by one, each parsed as a handshake.

#include "peers/PeerWire.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    bool l_obfuscated = ip_data[0] & 1;
    QByteArray l_bytes(reinterpret_cast<char const*>(ip_data + 1), int(i_size - 1));
    QBuffer l_device(&l_bytes);
    l_device.open(QIODevice::ReadOnly);
    QByteArray l_payload;
    while (PeerWire::ReadFrame(l_device, l_obfuscated, PeerWire::MAX_HANDSHAKE_LENGTH, l_payload) ==
           PeerWire::ReadResult::Complete) {
        if (l_payload.size() > int(PeerWire::MAX_HANDSHAKE_LENGTH))
            __builtin_trap();
        PeerWire::Handshake l_handshake;
        if (PeerWire::ParseHandshake(l_payload, l_handshake) && l_handshake.m_user.isEmpty())
            __builtin_trap();
    }
    return 0;
}
