// Every compressed peer payload goes through this inflate: its cap must hold
// whatever the stream claims.

#include "store/MemStream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    QByteArray l_out;
    if (ZlibInflate(reinterpret_cast<char const*>(ip_data), i_size, 1 << 20, l_out) && l_out.size() > (1 << 20))
        __builtin_trap();
    return 0;
}
