// The inflated records of the compressed messages, which random bytes would
// rarely reach through zlib: the first byte picks the record (share list,
// search answer, folder contents), the rest is the record.

#include "peers/PeerCodec.h"

#include <cstddef>
#include <cstdint>

namespace {

void CheckFiles(FileInfoMap const& i_folders)
{
    for (auto const& l_folder : i_folders)
        for (FileInfo const& l_file : l_folder.second)
            if (qint64(l_file.m_size) < 0 || l_file.m_attributes.m_attributes.size() > AttributeMap::MAX_PAIRS)
                __builtin_trap();
}

// An accepted share list holds no name and no folder past what file
// systems hold.
void CheckShareList(FileInfoMap const& i_folders)
{
    for (auto const& l_folder : i_folders) {
        std::size_t l_levels = 1;
        std::size_t l_name = 0;
        for (char const l_byte : l_folder.first) {
            bool const l_separator = l_byte == '\\' || l_byte == '/';
            l_levels += l_separator;
            l_name = l_separator ? 0 : l_name + 1;
            if (l_name > PeerCodec::MAX_NAME_BYTES)
                __builtin_trap();
        }
        if (l_levels > PeerCodec::MAX_FOLDER_DEPTH)
            __builtin_trap();
        for (FileInfo const& l_file : l_folder.second)
            if (l_file.m_name.size() > PeerCodec::MAX_NAME_BYTES ||
                l_file.m_attributes.m_extension.size() > PeerCodec::MAX_NAME_BYTES)
                __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    MemStream l_in(ip_data + 1, static_cast<unsigned long>(i_size - 1));
    switch (ip_data[0] % 3) {
    case 0: {
        PeerCodec::ShareList l_list;
        if (PeerCodec::ReadShareList(l_in, l_list).Ok()) {
            CheckFiles(l_list.m_folders);
            CheckShareList(l_list.m_folders);
        }
        break;
    }
    case 1: {
        PeerCodec::SearchAnswer l_answer;
        if (PeerCodec::ReadSearchAnswer(l_in, l_answer).Ok() && l_answer.m_files.size() > PeerCodec::MAX_ANSWER_FILES)
            __builtin_trap();
        break;
    }
    default: {
        PeerCodec::FolderContents l_contents;
        if (PeerCodec::ReadFolderContents(l_in, l_contents).Ok())
            CheckFiles(l_contents.m_folders);
        break;
    }
    }
    return 0;
}
