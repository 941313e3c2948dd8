// A whole message of a messaging connection, code first, as the dispatcher
// decodes it: the compressed ones inflate within their caps.

#include "peers/PeerCodec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    MemStream l_in(ip_data, static_cast<unsigned long>(i_size));
    PeerCodec::Message l_message;
    PeerCodec::Status l_status = PeerCodec::Decode(l_in, l_message);
    // A record is handed on only with its code's shape.
    if (l_status.Ok() && l_message.m_code == PeerCodec::TRANSFER_REQUEST &&
        std::get<PeerCodec::TransferRequest>(l_message.m_record).m_size < 0)
        __builtin_trap();
    return 0;
}
