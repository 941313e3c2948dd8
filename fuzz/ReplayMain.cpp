// Runs a fuzz target over every file of the folders (or files) named on the
// command line, so that the corpus is tried in ordinary builds without
// libFuzzer. A crash or a sanitizer report fails the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size);

namespace {
int Replay(std::filesystem::path const& i_file)
{
    std::ifstream l_in(i_file, std::ios::binary);
    if (!l_in) {
        std::fprintf(stderr, "cannot read %s\n", i_file.c_str());
        return 1;
    }
    std::vector<char> l_bytes((std::istreambuf_iterator<char>(l_in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<uint8_t const*>(l_bytes.data()), l_bytes.size());
    return 0;
}
}

int main(int i_argc, char** ip_argv)
{
    int l_failures = 0;
    int l_count = 0;
    for (int l_i = 1; l_i < i_argc; ++l_i) {
        std::filesystem::path l_path(ip_argv[l_i]);
        if (std::filesystem::is_directory(l_path)) {
            std::vector<std::filesystem::path> l_files;
            for (auto const& l_entry : std::filesystem::directory_iterator(l_path))
                if (l_entry.is_regular_file())
                    l_files.push_back(l_entry.path());
            std::sort(l_files.begin(), l_files.end());
            for (auto const& l_file : l_files) {
                l_failures += Replay(l_file);
                ++l_count;
            }
        } else {
            l_failures += Replay(l_path);
            ++l_count;
        }
    }
    std::printf("replayed %d inputs\n", l_count);
    return l_failures == 0 ? 0 : 1;
}
