// The user list of the classic client, as the import reads it.

#include "store/ConfigurationImporter.h"
#include "store/MemStream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    MemStream l_in(ip_data, static_cast<unsigned long>(i_size));
    std::vector<std::string> l_names;
    QString l_error;
    if (DecodeUserList(l_in, l_names, l_error)) {
        for (std::string const& l_name : l_names)
            if (l_name.size() > NETWORK_STRING_LIMIT || l_name.find('\0') != std::string::npos)
                __builtin_trap();
    }
    return 0;
}
