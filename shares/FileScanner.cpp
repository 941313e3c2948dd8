#include "shares/FileScanner.h"

#include "store/Log.h"
#include "store/Utilities.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FileScanner::FileScanner(QObject* ip_parent) : QObject(ip_parent) {}

void FileScanner::Quit()
{
    QMutexLocker l_lock(&m_mutex);
    m_quit = true;
}

bool FileScanner::IsQuitting() const
{
    QMutexLocker l_lock(&m_mutex);
    return m_quit;
}

FileScanner::ScanResult FileScanner::TakeResult(std::size_t* op_files)
{
    ScanResult l_result;
    QMutexLocker l_lock(&m_mutex);
    l_result.swap(m_result);
    if (op_files)
        *op_files = m_resultFiles;
    m_resultFiles = 0;
    return l_result;
}

// ------------------------------------------------------------------ walking

bool FileScanner::VisitedFolders::Insert(quint64 i_device, quint64 i_inode)
{
    if (i_device == 0 && i_inode == 0) {
        bool const l_new = !m_hasZero;
        m_hasZero = true;
        return l_new;
    }
    if (2 * (m_used + 1) > m_slots.size()) {
        std::vector<Id> l_old(std::max<std::size_t>(64, 2 * m_slots.size()));
        l_old.swap(m_slots);
        m_used = 0;
        for (Id const& l_id : l_old)
            if (l_id != Id())
                Insert(l_id.first, l_id.second);
    }
    std::size_t const l_mask = m_slots.size() - 1;
    for (std::size_t l_at = std::size_t((i_inode * 0x9E3779B97F4A7C15ull ^ i_device) >> 20);; ++l_at) {
        Id& l_slot = m_slots[l_at & l_mask];
        if (l_slot == Id()) {
            l_slot = {i_device, i_inode};
            ++m_used;
            return true;
        }
        if (l_slot.first == i_device && l_slot.second == i_inode)
            return false;
    }
}

void FileScanner::VisitedFolders::Exclude(QString const& i_folder)
{
    struct stat l_stat;
    if (!i_folder.isEmpty() && ::stat(QFile::encodeName(i_folder).constData(), &l_stat) == 0 &&
        S_ISDIR(l_stat.st_mode))
        Insert(quint64(l_stat.st_dev), quint64(l_stat.st_ino));
}

namespace {

// Closes a POSIX file descriptor when it goes out of scope.
class ScopedFd
{
public:
    explicit ScopedFd(int i_fd) : m_fd(i_fd) {}
    ScopedFd(ScopedFd const&) = delete;
    ScopedFd& operator=(ScopedFd const&) = delete;
    ~ScopedFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }
    int Release()
    {
        int const l_fd = m_fd;
        m_fd = -1;
        return l_fd;
    }

private:
    int m_fd;
};

QString AbsoluteFolder(QString const& i_folder)
{
    if (i_folder.startsWith(QLatin1Char('/')))
        return i_folder;
    return QDir::cleanPath(QDir::current().absoluteFilePath(i_folder));
}

int OpenFolder(int i_parentFd, QByteArray const& i_name)
{
    int const l_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (i_parentFd < 0)
        return ::open(i_name.constData(), l_flags);
    // O_NOFOLLOW: an entry listed as a folder and swapped for a link since
    // must not lead the walk out of the share.
    return ::openat(i_parentFd, i_name.constData(), l_flags | O_NOFOLLOW);
}

bool SystemIsUtf8()
{
    static bool const s_utf8 = QTextCodec::codecForLocale()->mibEnum() == 106;
    return s_utf8;
}

// QFile::decodeName, without the detour through the locale's codec object
// when the system's encoding is UTF-8 (a million names on a large share).
QString DecodeName(char const* ip_name)
{
    return SystemIsUtf8() ? QString::fromUtf8(ip_name) : QFile::decodeName(ip_name);
}

// QString's own order (UTF-16 code units), without a call into the library
// for each of the hundred comparisons that sorting a folder takes.
bool NameLess(QString const& i_a, QString const& i_b)
{
    int const l_common = std::min(i_a.size(), i_b.size());
    QChar const* const lp_a = i_a.constData();
    QChar const* const lp_b = i_b.constData();
    for (int l_at = 0; l_at < l_common; ++l_at)
        if (lp_a[l_at] != lp_b[l_at])
            return lp_a[l_at].unicode() < lp_b[l_at].unicode();
    return i_a.size() < i_b.size();
}

// Pairs by name first, as std::pair orders them.
template <class Pair>
bool PairLess(Pair const& i_a, Pair const& i_b)
{
    if (NameLess(i_a.first, i_b.first))
        return true;
    return !NameLess(i_b.first, i_a.first) && i_a.second < i_b.second;
}

// A name that does not decode in the system's encoding comes back with
// replacement characters: it could be neither opened again (for analysis,
// upload or listing) nor told apart from its look-alikes. Plain ASCII names,
// which always decode, are not brought here.
bool Decodes(QString const& i_name, char const* ip_bytes)
{
    return !i_name.contains(QChar::ReplacementCharacter) || QFile::encodeName(i_name) == ip_bytes;
}

class Walk
{
public:
    Walk(FileScanner::VisitedFolders& io_visited, FileScanner::FolderVisitor const& i_visit)
        : m_visited(io_visited), m_visit(i_visit)
    {
    }

    // False once the visitor has asked to stop.
    bool Folder(int i_parentFd, QByteArray const& i_name, QString i_path)
    {
        ScopedFd l_fd(OpenFolder(i_parentFd, i_name));
        FileScanner::FileSizes l_files;
        if (l_fd.Get() < 0) {
            // No longer a folder (a link or a file now): not part of the share.
            if (i_parentFd >= 0 && (errno == ELOOP || errno == ENOTDIR))
                return true;
            return m_visit(i_path, l_files);
        }
        struct stat l_stat;
        if (fstat(l_fd.Get(), &l_stat) != 0)
            return m_visit(i_path, l_files);
        if (!m_visited.Insert(quint64(l_stat.st_dev), quint64(l_stat.st_ino)))
            return true;
        int const l_dirFd = l_fd.Get();

        QString l_base = i_parentFd < 0 ? AbsoluteFolder(i_path) : i_path;
        if (!l_base.endsWith(QLatin1Char('/')))
            l_base += QLatin1Char('/');
        std::vector<std::pair<QString, QByteArray>> l_subfolders;
        // The entries come straight from getdents64 into a buffer kept from
        // folder to folder: a DIR stream would cost an allocation of 32 KB
        // and a system call more (fdopendir's fcntl) for each folder. An
        // error ends the listing, as it ends readdir().
        for (;;) {
            ssize_t const l_filled = getdents64(l_dirFd, m_entries.get(), ENTRIES_SIZE);
            if (l_filled <= 0)
                break;
            for (ssize_t l_at = 0; l_at < l_filled;) {
                auto const* lp_entry = reinterpret_cast<dirent64 const*>(m_entries.get() + l_at);
                l_at += lp_entry->d_reclen;
                Entry(l_dirFd, lp_entry->d_name, lp_entry->d_type, l_base, l_subfolders);
            }
        }
        // Gathered in a list kept from folder to folder, then moved into one
        // block of the right size: no growth steps for each of ten thousand
        // folders.
        std::sort(m_listing.begin(), m_listing.end(), PairLess<std::pair<QString, qint64>>);
        l_files.reserve(m_listing.size());
        std::move(m_listing.begin(), m_listing.end(), std::back_inserter(l_files));
        m_listing.clear();
        if (!m_visit(i_path, l_files))
            return false;
        std::sort(l_subfolders.begin(), l_subfolders.end(), PairLess<std::pair<QString, QByteArray>>);
        for (auto const& l_subfolder : l_subfolders)
            if (!Folder(l_dirFd, l_subfolder.second, l_base + l_subfolder.first))
                return false;
        return true;
    }

private:
    // Enough for a few hundred entries in one system call.
    static constexpr std::size_t ENTRIES_SIZE = 32768;

    void Entry(int i_dirFd, char const* ip_name, unsigned char i_kind, QString const& i_base,
               std::vector<std::pair<QString, QByteArray>>& io_subfolders)
    {
        // Hidden entries (and "." and "..") are never shared.
        if (ip_name[0] == '.')
            return;
        bool l_isFolder = false;
        qint64 l_size = 0;
        if (i_kind == DT_DIR) {
            l_isFolder = true;
        } else if (i_kind == DT_REG || i_kind == DT_UNKNOWN) {
            struct stat l_stat;
            if (fstatat(i_dirFd, ip_name, &l_stat, AT_SYMLINK_NOFOLLOW) != 0)
                return;
            if (S_ISDIR(l_stat.st_mode))
                l_isFolder = true;
            else if (S_ISREG(l_stat.st_mode))
                l_size = l_stat.st_size;
            else
                return;
        } else {
            // Symbolic links are neither listed nor followed; devices,
            // pipes and sockets are not files to share.
            return;
        }
        // One pass over the bytes: a plain ASCII name (nearly all of them)
        // is its own UTF-8 decoding, needs no check for undecodable bytes,
        // and holds a backslash exactly where one of its bytes is one.
        std::size_t const l_length = std::strlen(ip_name);
        unsigned char l_bits = 0;
        for (std::size_t l_at = 0; l_at < l_length; ++l_at)
            l_bits |= static_cast<unsigned char>(ip_name[l_at]);
        bool const l_ascii = l_bits < 0x80;
        QString l_name;
        bool l_backslash = false;
        if (l_ascii && SystemIsUtf8()) {
            l_name = QString::fromLatin1(ip_name, int(l_length));
            l_backslash = std::memchr(ip_name, '\\', l_length) != nullptr;
        } else {
            l_name = DecodeName(ip_name);
            if (!l_ascii && !Decodes(l_name, ip_name)) {
                Log("Shared", 1,
                    QStringLiteral("Not sharing %1: its name is not valid in the system's encoding")
                        .arg(Isolated(i_base + l_name)));
                return;
            }
            l_backslash = l_name.contains(QLatin1Char('\\'));
        }
        // Peers split paths at backslashes: such a name would be offered
        // and then asked for as another path, which is never served.
        if (l_backslash) {
            Log("Shared", 1,
                QStringLiteral("Not sharing %1: its name holds a backslash").arg(Isolated(i_base + l_name)));
            return;
        }
        if (l_isFolder)
            io_subfolders.emplace_back(std::move(l_name), QByteArray(ip_name, int(l_length)));
        else
            m_listing.emplace_back(std::move(l_name), l_size);
    }

    FileScanner::VisitedFolders& m_visited;
    FileScanner::FolderVisitor const& m_visit;
    FileScanner::FileSizes m_listing;
    std::unique_ptr<char[]> m_entries{new char[ENTRIES_SIZE]};
};

} // namespace

void FileScanner::WalkFolders(QString const& i_start, VisitedFolders& io_visited, FolderVisitor const& i_visit)
{
    Walk(io_visited, i_visit).Folder(-1, QFile::encodeName(i_start), i_start);
}

void FileScanner::ScanFolders(QStringList i_folders, QString i_notShared)
{
    VisitedFolders l_visited;
    l_visited.Exclude(i_notShared);
    for (QString const& l_folder : i_folders)
        ScanFolder(l_folder, l_folder, l_visited);
    emit FoldersScanned();
}

void FileScanner::ScanFolderOfRoot(QString i_root, QString i_folder, QString i_notShared)
{
    VisitedFolders l_visited;
    l_visited.Exclude(i_notShared);
    ScanFolder(i_root, i_folder, l_visited);
    emit FoldersScanned();
}

void FileScanner::ScanFolder(QString const& i_root, QString const& i_folder, VisitedFolders& io_visited)
{
    if (IsQuitting() || !i_folder.startsWith(i_root))
        return;
    WalkFolders(i_folder, io_visited, [this, &i_root](QString const& i_path, FileSizes& io_files) {
        if (IsQuitting())
            return false;
        // The result is read by the GUI thread only after FoldersScanned(),
        // but it is built under the lock so that an early TakeResult() can
        // never see a map in the middle of a change.
        QMutexLocker l_lock(&m_mutex);
        // Folders come mostly in path order: the end is the place to try first.
        FolderFiles& l_folders = m_result[i_root];
        m_resultFiles += io_files.size();
        l_folders.emplace_hint(l_folders.end(), i_path, FileSizes())->second.swap(io_files);
        return true;
    });
}

// ------------------------------------------------------------ MP3 analysis

namespace {

int const kMp3ChunkSize = 65536;

int const kMpeg1Layer3Bitrates[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
int const kMpeg2Layer3Bitrates[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};

char const* const kChannelModes[4] = {"stereo", "joint stereo", "dual mono", "mono"};

// Counts every byte pattern that reads as a Layer III frame header. The
// accepted headers are kept as counts per field combination rather than as a
// list, so memory stays constant however many patterns a file holds; the
// results are the same because only counts of combinations are ever used.
class Mp3HeaderTally
{
public:
    // Looks at the positions i of the chunk with i + 4 < i_limit: a header
    // is taken only when at least one byte follows it within the chunk.
    void Feed(unsigned char const* ip_chunk, qint64 i_limit)
    {
        if (i_limit <= 4)
            return;
        unsigned char const* lp_at = ip_chunk;
        unsigned char const* const lp_end = ip_chunk + (i_limit - 4);
        while (lp_at < lp_end) {
            lp_at = static_cast<unsigned char const*>(std::memchr(lp_at, 0xFF, static_cast<std::size_t>(lp_end - lp_at)));
            if (!lp_at)
                return;
            if ((lp_at[1] & 0xE0) == 0xE0)
                Examine(lp_at[1], lp_at[2], lp_at[3]);
            ++lp_at;
        }
    }

    bool Finish(int& o_mpegVersion, QString& o_channelMode, int& o_frequency, bool& o_isVBR, int& o_bitrate) const
    {
        int l_version;
        if (m_versions[0] > m_versions[1] && m_versions[0] > m_versions[2])
            l_version = 0;
        else if (m_versions[1] > m_versions[2])
            l_version = 1;
        else
            return false;
        int const l_protection = m_protection[1] > m_protection[0] ? 1 : 0;
        int const l_frequency = IndexOfLargest(m_frequencies, 3);
        int const l_channel = IndexOfLargest(m_channels, 4);
        if (m_accepted == 0)
            return false;

        quint64 const* const lp_counts = m_records[l_version][l_protection][l_frequency][l_channel];
        int const* const lp_table = l_version == 0 ? kMpeg1Layer3Bitrates : kMpeg2Layer3Bitrates;
        quint64 l_kept = 0;
        quint64 l_sum = 0;
        for (int l_index = 1; l_index < 15; ++l_index) {
            l_kept += lp_counts[l_index];
            l_sum += lp_counts[l_index] * static_cast<quint64>(lp_table[l_index]);
        }
        if (l_kept == 0)
            return false;

        o_mpegVersion = l_version + 1;
        o_channelMode = QString::fromLatin1(kChannelModes[l_channel]);
        o_frequency = l_frequency;
        o_bitrate = static_cast<int>(l_sum / l_kept);
        o_isVBR = true;
        // Constant bitrate: one bitrate holds at least 99 percent of the
        // kept headers. The table rises with the index, so this walks the
        // bitrates in ascending order.
        for (int l_index = 1; l_index < 15; ++l_index) {
            if (lp_counts[l_index] * 100 / l_kept > 98) {
                o_isVBR = false;
                o_bitrate = lp_table[l_index];
            }
        }
        return true;
    }

private:
    void Examine(unsigned char i_b1, unsigned char i_b2, unsigned char i_b3)
    {
        int l_version;
        switch ((i_b1 >> 3) & 3) {
        case 3: l_version = 0; break;
        case 2: l_version = 1; break;
        case 0: l_version = 2; break;
        default: return;
        }
        ++m_versions[l_version];
        if (((i_b1 >> 1) & 3) != 1)
            return;
        int const l_protection = i_b1 & 1;
        ++m_protection[l_protection];
        int const l_frequency = (i_b2 >> 2) & 3;
        if (l_frequency == 3)
            return;
        ++m_frequencies[l_frequency];
        int const l_channel = (i_b3 >> 6) & 3;
        ++m_channels[l_channel];
        int const l_bitrate = (i_b2 >> 4) & 0xF;
        if (l_bitrate != 0 && l_bitrate != 15) {
            ++m_records[l_version][l_protection][l_frequency][l_channel][l_bitrate];
            ++m_accepted;
        }
    }

    // Ties go to the higher index.
    static int IndexOfLargest(quint64 const* ip_counts, int i_size)
    {
        int l_best = 0;
        for (int l_index = 1; l_index < i_size; ++l_index)
            if (ip_counts[l_index] >= ip_counts[l_best])
                l_best = l_index;
        return l_best;
    }

    quint64 m_versions[3] = {};    // MPEG-1, MPEG-2, MPEG-2.5
    quint64 m_protection[2] = {};  // bit clear, bit set
    quint64 m_frequencies[3] = {};
    quint64 m_channels[4] = {};
    quint64 m_accepted = 0;
    quint64 m_records[3][2][3][4][16] = {};
};

} // namespace

bool FileScanner::ScanMP3(QString const& i_path, int& o_mpegVersion, QString& o_channelMode, int& o_frequency,
                          bool& o_isVBR, int& o_bitrate)
{
    if (IsQuitting())
        return false;
    o_bitrate = -1;
    // Opened without blocking and taken only when it is a regular file: a
    // path that has become a named pipe since the scan would otherwise hold
    // the scanner thread, and with it the program's shutdown, for ever.
    ScopedFd const l_file(::open(QFile::encodeName(i_path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int const l_fd = l_file.Get();
    if (l_fd < 0)
        return false;
    struct stat l_stat;
    if (fstat(l_fd, &l_stat) != 0 || !S_ISREG(l_stat.st_mode))
        return false;
    qint64 const l_size = l_stat.st_size;
    if (l_size < 1)
        return false;

    std::unique_ptr<Mp3HeaderTally> lp_tally(new Mp3HeaderTally);
    std::unique_ptr<unsigned char[]> lp_buffer(new unsigned char[kMp3ChunkSize]);
    qint64 l_offset = 0;
    while (l_offset < l_size) {
        // A large file must not hold up the shutdown that waits for us.
        if (IsQuitting())
            return false;
        // Whole chunks, even if the system hands the bytes over in smaller
        // reads: which headers are seen depends on where chunks end.
        qint64 l_filled = 0;
        while (l_filled < kMp3ChunkSize) {
            ssize_t const l_read = ::read(l_fd, lp_buffer.get() + l_filled, std::size_t(kMp3ChunkSize - l_filled));
            if (l_read < 0 && errno == EINTR)
                continue;
            if (l_read < 0)
                return false;
            if (l_read == 0)
                break;
            l_filled += l_read;
        }
        if (l_filled == 0)
            break;
        // A file that grew while it was read is taken at its size on opening.
        lp_tally->Feed(lp_buffer.get(), std::min(l_filled, l_size - l_offset));
        l_offset += l_filled;
    }
    return lp_tally->Finish(o_mpegVersion, o_channelMode, o_frequency, o_isVBR, o_bitrate);
}

void FileScanner::OnMP3ScanRequired(QString i_file)
{
    int l_version = 0;
    QString l_channel;
    int l_frequency = 0;
    bool l_isVBR = false;
    int l_bitrate = -1;
    if (ScanMP3(i_file, l_version, l_channel, l_frequency, l_isVBR, l_bitrate))
        emit MP3Scanned(i_file, l_version, l_channel, l_frequency, l_isVBR, l_bitrate);
}

void FileScanner::OnMP3ScansRequired(QByteArray i_files)
{
    if (i_files.isEmpty())
        return;
    if (!i_files.endsWith('\0'))
        i_files += '\0';
    m_mp3Pending += std::size_t(std::count(i_files.cbegin(), i_files.cend(), '\0'));
    m_mp3Due.push_back(std::move(i_files));
    // The first run comes after whatever was asked for meanwhile, a drop of
    // some of these included; a run already asked for goes on with them.
    if (!m_mp3RunQueued) {
        m_mp3RunQueued = true;
        QMetaObject::invokeMethod(this, &FileScanner::AnalyseDueMP3s, Qt::QueuedConnection);
    }
}

namespace {

// The folder of a path: up to its last "/".
QByteArray FolderOf(QByteArray const& i_path)
{
    return i_path.left(std::max(0, i_path.lastIndexOf('/')));
}

} // namespace

void FileScanner::OnMP3ScansDropped(QByteArray i_folders)
{
    if (m_mp3Due.empty() || i_folders.isEmpty())
        return;
    QSet<QByteArray> l_gone;
    for (QByteArray const& l_folder : i_folders.split('\0'))
        if (!l_folder.isEmpty())
            l_gone.insert(l_folder);
    std::deque<QByteArray> l_kept(1);
    std::size_t l_keptCount = 0, l_dropped = 0;
    for (QByteArray const& l_block : m_mp3Due) {
        for (int l_at = &l_block == &m_mp3Due.front() ? m_mp3DueAt : 0; l_at < l_block.size();) {
            int l_end = l_block.indexOf('\0', l_at);
            QByteArray const l_path = l_block.mid(l_at, l_end - l_at);
            l_at = l_end + 1;
            if (l_gone.contains(FolderOf(l_path))) {
                ++l_dropped;
                continue;
            }
            l_kept.back().append(l_path).append('\0');
            ++l_keptCount;
        }
    }
    if (l_kept.back().isEmpty())
        l_kept.clear();
    m_mp3Due.swap(l_kept);
    m_mp3DueAt = 0;
    m_mp3Pending = l_keptCount;
    if (l_dropped > 0)
        Log("MP3 Scanning", 1, QStringLiteral("Not analysing %1 files that are no longer shared").arg(l_dropped));
}

void FileScanner::AnalyseDueMP3s()
{
    // A share's analyses take minutes; a walk asked for meanwhile (a new
    // folder, a rescan) must not wait behind all of them, so the list goes
    // in runs of about 100 ms with the thread's queue served between them.
    m_mp3RunQueued = false;
    QElapsedTimer l_run;
    l_run.start();
    while (!m_mp3Due.empty() && l_run.elapsed() < MP3_RUN_MS) {
        if (IsQuitting()) {
            m_mp3Due.clear();
            m_mp3DueAt = 0;
            m_mp3Pending = 0;
            return;
        }
        QByteArray const& l_block = m_mp3Due.front();
        int const l_end = l_block.indexOf('\0', m_mp3DueAt);
        QString const l_file = QFile::decodeName(l_block.mid(m_mp3DueAt, l_end - m_mp3DueAt));
        m_mp3DueAt = l_end + 1;
        if (m_mp3DueAt >= l_block.size()) {
            m_mp3Due.pop_front();
            m_mp3DueAt = 0;
        }
        --m_mp3Pending;
        OnMP3ScanRequired(l_file);
    }
    if (!m_mp3Due.empty()) {
        m_mp3RunQueued = true;
        QMetaObject::invokeMethod(this, &FileScanner::AnalyseDueMP3s, Qt::QueuedConnection);
    }
}
