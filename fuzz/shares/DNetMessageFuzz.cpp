// One message of a distributed connection (or of its copy inside server
// message 93), code first, as the distributed-network manager decodes it.

#include "shares/DNetWire.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    DNetWire::Message l_message;
    DNetWire::Decoded const l_decoded =
        DNetWire::Decode(reinterpret_cast<char const*>(ip_data), i_size, l_message);
    // A level or a depth is handed on only within its range.
    if (l_decoded == DNetWire::Decoded::Ok
        && ((l_message.m_code == DNetWire::LEVEL && l_message.m_number < -1)
            || (l_message.m_code == DNetWire::CHILD_DEPTH && l_message.m_number < 0)))
        __builtin_trap();
    return 0;
}
