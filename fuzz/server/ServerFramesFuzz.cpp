// The server's byte stream as the link reads it: cut into frames, in two
// pieces split where the first byte says, and every frame decoded.

#include "server/FrameReader.h"
#include "server/ServerMessages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    QByteArray const l_stream(reinterpret_cast<char const*>(ip_data + 1), int(i_size - 1));
    int const l_split = l_stream.isEmpty() ? 0 : ip_data[0] % (l_stream.size() + 1);
    FrameReader l_reader;
    for (QByteArray const& l_piece : {l_stream.left(l_split), l_stream.mid(l_split)}) {
        l_reader.Append(l_piece);
        MemStream l_frame;
        quint32 l_code = 0;
        while (l_reader.Next(l_frame, l_code) == FrameReader::FRAME) {
            if (l_frame.Size() < SERVER_FRAME_MIN + 4 || l_frame.Size() > SERVER_FRAME_MAX + 4)
                __builtin_trap();
            DecodeServerMessage(l_code, l_frame);
        }
    }
    return 0;
}
