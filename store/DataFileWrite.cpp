// Writing a file: its image written to a temporary file, flushed and
// renamed over, with system calls alone so that any thread may do it; and
// the descriptors kept for the saves alone, so that a save never fails for
// want of one. What is written is composed in DataCompose.cpp.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace DataSaverInternals;

namespace DataSaverInternals {

std::string WriteImage(std::string const& i_path, FileImage const& i_image, int& io_spare)
{
    std::string const l_temporary = i_path + ".saving";
    // Owner only, from the first byte: the file holds the account password.
    auto const l_open = [&l_temporary] {
        return ::open(l_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    };
    int l_fd = l_open();
    if (l_fd < 0 && (errno == EMFILE || errno == ENFILE) && io_spare >= 0) {
        ::close(io_spare);
        io_spare = -1;
        l_fd = l_open();
    }
    if (l_fd < 0)
        return std::string("cannot create (") + std::strerror(errno) + "): " + i_path;
    std::string l_error;
    if (::fchmod(l_fd, 0600) != 0)
        l_error = std::string("cannot protect (") + std::strerror(errno) + "): " + i_path;
    std::pair<char const*, std::size_t> const l_pieces[] = {{i_image.m_items.data(), i_image.m_items.size()},
                                                            {i_image.m_links.data(), i_image.m_links.size()}};
    for (auto const& l_piece : l_pieces) {
        for (std::size_t l_done = 0; l_done < l_piece.second && l_error.empty();) {
            ssize_t const l_wrote =
                ::write(l_fd, l_piece.first + l_done, std::min<std::size_t>(l_piece.second - l_done, 1u << 30));
            if (l_wrote < 0 && errno == EINTR)
                continue;
            if (l_wrote <= 0)
                l_error = std::string("cannot write (") + (l_wrote < 0 ? std::strerror(errno) : "disk full") +
                          "): " + i_path;
            else
                l_done += std::size_t(l_wrote);
        }
    }
    // A full disk may only show when the data reaches it.
    if (l_error.empty() && ::fsync(l_fd) != 0)
        l_error = std::string("cannot write (") + std::strerror(errno) + "): " + i_path;
    if (::close(l_fd) != 0 && l_error.empty())
        l_error = std::string("cannot write (") + std::strerror(errno) + "): " + i_path;
    if (l_error.empty() && ::rename(l_temporary.c_str(), i_path.c_str()) != 0)
        l_error = std::string("cannot write (") + std::strerror(errno) + "): " + i_path;
    if (!l_error.empty())
        ::unlink(l_temporary.c_str());
    return l_error;
}

} // namespace DataSaverInternals

// A few descriptors are kept open (on /dev/null) for the saves alone and
// given back just before one: whatever else has used up the process's
// descriptors, a save can still list the folder, write its file and log
// its line. The exit save above all must never fail for want of one.
void DataSaver::ReleaseReserve()
{
    for (int l_fd : m_reserve)
        ::close(l_fd);
    m_reserve.clear();
}

void DataSaver::TakeReserve()
{
    while (m_reserve.size() < std::size_t(RESERVED_DESCRIPTORS)) {
        int const l_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (l_fd < 0)
            return; // taken again at the next save
        m_reserve.push_back(l_fd);
    }
}
