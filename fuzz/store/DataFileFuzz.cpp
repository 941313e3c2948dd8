// The data file's parse. A checksum is no obstacle to a fuzzer only when
// the target supplies it: an input whose first byte is odd is taken as the
// payload and given a correct header, so that the type table, items and
// links are reached; otherwise the rest of the input is the whole file.

#include "store/DataSaver.h"

#include <QtEndian>

#include <zlib.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    MemStream l_image;
    if (ip_data[0] & 1) {
        char l_header[24] = {'Q', 'M', 'A', 'R', 'D', 'A', 'T', 'A'};
        qToLittleEndian<quint32>(1, l_header + 8);
        qToLittleEndian<quint64>(i_size - 1, l_header + 12);
        qToLittleEndian<quint32>(quint32(crc32(0, ip_data + 1, uInt(i_size - 1))), l_header + 20);
        l_image.WriteBuffer(l_header, sizeof(l_header));
        l_image.WriteBuffer(ip_data + 1, static_cast<unsigned long>(i_size - 1));
    } else {
        l_image.WriteBuffer(ip_data + 1, static_cast<unsigned long>(i_size - 1));
    }
    DataFileContents l_contents;
    QString l_error;
    if (ParseDataFile(l_image, l_contents, l_error)) {
        // What the loader indexes with must lie inside what was read.
        for (auto const& l_link : l_contents.m_links)
            if (l_link.first >= l_contents.m_values.size() || l_link.second >= l_contents.m_values.size())
                __builtin_trap();
    } else if (l_error.isEmpty()) {
        __builtin_trap();
    }
    return 0;
}
