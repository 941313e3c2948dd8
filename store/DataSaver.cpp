#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/BlockPool.h"
#include "store/BodyTable.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/SlicedWork.h"
#include "store/StoreInternals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

using namespace DataSaverInternals;

namespace {

struct BodyPairHash
{
    std::size_t operator()(BodyPair const& i_pair) const
    {
        std::uint64_t const l_a = reinterpret_cast<std::uintptr_t>(i_pair.first);
        std::uint64_t const l_b = reinterpret_cast<std::uintptr_t>(i_pair.second);
        return std::size_t((l_a * 0x9E3779B97F4A7C15ull) ^ (l_b * 0xC2B2AE3D27D4EB4Full) ^ (l_b >> 29));
    }
};

struct FileImage
{
    LargeVector<char> m_items; // the header, the type table and the items
    LargeVector<char> m_links; // the link count and the links
};

char* PutU32(char* ip_at, quint32 i_value)
{
    qToLittleEndian(i_value, ip_at);
    return ip_at + 4;
}

char* PutBytes(char* ip_at, char const* ip_bytes, std::size_t i_size)
{
    ip_at = PutU32(ip_at, quint32(i_size));
    if (i_size > 0)
        std::memcpy(ip_at, ip_bytes, i_size);
    return ip_at + i_size;
}

// The file of what was gathered; io_gathered is used up on the way. Each
// link is written as the index of its item of the type with more items
// (the later type on a tie, the higher index for a type linked to itself),
// then that of the other, sorted by both: a type's items lie in memory in
// creation order, so the load, which touches both ends of every link,
// reads the many in sequence while the few stay in the cache.
FileImage ComposeImage(Gathered& io_gathered, std::size_t& o_oversize)
{
    std::size_t const l_typeCount = io_gathered.m_types.size();
    // The last word on each item that changed.
    std::unordered_map<std::uint64_t, Gathered::ItemChange> l_itemChanges;
    for (LargeVector<Gathered::ItemChange>& l_part : io_gathered.m_itemChanges.Parts()) {
        for (Gathered::ItemChange const& l_change : l_part)
            l_itemChanges[l_change.m_item.m_key] = l_change;
        LargeVector<Gathered::ItemChange>().swap(l_part);
    }
    // The items of each type at the end: those gathered that did not leave,
    // and those that joined, in creation order.
    std::vector<LargeVector<GatheredItem>> l_joined(l_typeCount);
    for (auto const& l_change : l_itemChanges)
        if (l_change.second.m_inFile)
            l_joined[l_change.second.m_type].push_back(l_change.second.m_item);
    auto const l_left = [&l_itemChanges](std::uint64_t i_key) {
        if (l_itemChanges.empty())
            return false;
        auto const l_found = l_itemChanges.find(i_key);
        return l_found != l_itemChanges.end() && !l_found->second.m_inFile;
    };
    auto const l_byKey = [](GatheredItem const& i_a, GatheredItem const& i_b) { return i_a.m_key < i_b.m_key; };
    std::size_t l_oversize = 0;
    quint64 l_total = 0;
    quint64 l_bytes = HEADER_SIZE + 4;
    std::vector<quint32> l_counts(l_typeCount);
    for (std::size_t l_type = 0; l_type < l_typeCount; ++l_type) {
        Gathered::FileType& l_fileType = io_gathered.m_types[l_type];
        LargeVector<GatheredItem>& l_new = l_joined[l_type];
        std::sort(l_new.begin(), l_new.end(), l_byKey);
        LargeVector<GatheredItem>& l_listed = l_fileType.m_items;
        // A value above the file's string limit would make the file
        // unreadable: it is left out (and logged) instead.
        auto const l_keep = [&l_oversize](GatheredItem const& i_item) {
            l_oversize += i_item.m_oversize ? 1 : 0;
            return !i_item.m_oversize;
        };
        if (l_new.empty()) {
            // Nothing joined: the list is thinned where it is.
            std::size_t l_kept = 0;
            for (GatheredItem const& l_item : l_listed)
                if (!l_left(l_item.m_key) && l_keep(l_item))
                    l_listed[l_kept++] = l_item;
            l_listed.resize(l_kept);
        } else {
            LargeVector<GatheredItem> l_items;
            l_items.reserve(l_listed.size() + l_new.size());
            std::size_t l_old = 0;
            std::size_t l_added = 0;
            while (l_old < l_listed.size() || l_added < l_new.size()) {
                if (l_added == l_new.size() ||
                    (l_old < l_listed.size() && l_listed[l_old].m_key < l_new[l_added].m_key)) {
                    if (!l_left(l_listed[l_old].m_key) && l_keep(l_listed[l_old]))
                        l_items.push_back(l_listed[l_old]);
                    ++l_old;
                } else {
                    // Gathered, gone and back: once.
                    if (l_old < l_listed.size() && l_listed[l_old].m_key == l_new[l_added].m_key)
                        ++l_old;
                    if (l_keep(l_new[l_added]))
                        l_items.push_back(l_new[l_added]);
                    ++l_added;
                }
            }
            l_listed.swap(l_items);
        }
        LargeVector<GatheredItem>().swap(l_new);
        l_counts[l_type] = quint32(l_fileType.m_items.size());
        l_total += l_fileType.m_items.size();
        l_bytes += 4 + l_fileType.m_name.size() + 1 + 4;
        for (GatheredItem const& l_item : l_fileType.m_items)
            l_bytes += l_fileType.m_isNull ? 1 : 4 + quint64(l_item.m_length);
    }
    decltype(l_itemChanges)().swap(l_itemChanges);
    o_oversize = l_oversize;
    if (l_total > std::numeric_limits<quint32>::max())
        throw DataSaveFailure("too many items");

    FileImage l_image;
    l_image.m_items.resize(std::size_t(l_bytes));
    char* lp_at = l_image.m_items.data();
    std::memset(lp_at, 0, HEADER_SIZE); // filled in at the end
    lp_at = PutU32(lp_at + HEADER_SIZE, quint32(l_typeCount));
    for (Gathered::FileType const& l_fileType : io_gathered.m_types) {
        lp_at = PutBytes(lp_at, l_fileType.m_name.data(), l_fileType.m_name.size());
        *lp_at++ = l_fileType.m_isNull ? 1 : 0;
        lp_at = PutU32(lp_at, quint32(l_fileType.m_items.size()));
    }
    BodyTable<quint32> l_indexes{std::size_t(l_total)};
    LargeVector<std::uint16_t> l_typeOf(static_cast<std::size_t>(l_total));
    quint32 l_next = 0;
    for (std::size_t l_type = 0; l_type < l_typeCount; ++l_type) {
        Gathered::FileType& l_fileType = io_gathered.m_types[l_type];
        std::size_t const l_count = l_fileType.m_items.size();
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            GatheredItem const& l_item = l_fileType.m_items[l_at];
            if (l_at + PREFETCH_DISTANCE < l_count)
                l_indexes.Prefetch(l_fileType.m_items[l_at + PREFETCH_DISTANCE].mp_body);
            l_typeOf[l_next] = std::uint16_t(l_type);
            l_indexes.Insert(l_item.mp_body, l_next++);
            if (l_fileType.m_isNull)
                *lp_at++ = l_item.mp_body == l_fileType.mp_flag ? 1 : 0;
            else
                lp_at = PutBytes(lp_at, l_item.mp_value, l_item.m_length);
        }
        LargeVector<GatheredItem>().swap(l_fileType.m_items);
    }
    io_gathered.m_values = ValueArena();

    // The last word on each link that changed.
    std::unordered_map<BodyPair, bool, BodyPairHash> l_changes;
    for (LargeVector<Gathered::LinkChange>& l_part : io_gathered.m_linkChanges.Parts()) {
        for (Gathered::LinkChange const& l_change : l_part)
            l_changes[l_change.m_link] = l_change.m_made;
        LargeVector<Gathered::LinkChange>().swap(l_part);
    }
    // Each link by its two indexes, the end of the larger type first.
    LargeVector<std::pair<quint32, quint32>> l_found;
    l_found.reserve(io_gathered.m_links.Size() + l_changes.size());
    auto const l_add = [&](ItemBody* ip_a, ItemBody* ip_b) {
        quint32 l_a = 0;
        quint32 l_b = 0;
        if (!l_indexes.Find(ip_a, l_a) || !l_indexes.Find(ip_b, l_b))
            return; // not both in the file
        std::uint16_t const l_typeA = l_typeOf[l_a];
        std::uint16_t const l_typeB = l_typeOf[l_b];
        bool l_aFirst = l_a > l_b;
        if (l_typeA != l_typeB)
            l_aFirst = l_counts[l_typeA] > l_counts[l_typeB] ||
                       (l_counts[l_typeA] == l_counts[l_typeB] && l_typeA > l_typeB);
        l_found.emplace_back(l_aFirst ? l_a : l_b, l_aFirst ? l_b : l_a);
    };
    for (LargeVector<BodyPair>& l_block : io_gathered.m_links.Parts()) {
        std::size_t const l_size = l_block.size();
        for (std::size_t l_at = 0; l_at < l_size; ++l_at) {
            if (l_at + PREFETCH_DISTANCE < l_size) {
                l_indexes.Prefetch(l_block[l_at + PREFETCH_DISTANCE].first);
                l_indexes.Prefetch(l_block[l_at + PREFETCH_DISTANCE].second);
            }
            BodyPair const& l_pair = l_block[l_at];
            if (!l_changes.empty() &&
                l_changes.count(l_pair.first < l_pair.second ? l_pair : BodyPair(l_pair.second, l_pair.first)))
                continue; // changed since: the change has the last word
            l_add(l_pair.first, l_pair.second);
        }
        LargeVector<BodyPair>().swap(l_block);
    }
    for (auto const& l_change : l_changes)
        if (l_change.second)
            l_add(l_change.first.first, l_change.first.second);
    io_gathered = Gathered();
    decltype(l_changes)().swap(l_changes);
    LargeVector<std::uint16_t>().swap(l_typeOf);

    // Grouped by the first index (a counting sort), each group by the
    // second; the same link noted twice is written once.
    LargeVector<quint32> l_starts(std::size_t(l_total) + 1, 0);
    for (auto const& l_link : l_found)
        ++l_starts[l_link.first + 1];
    for (std::size_t l_index = 1; l_index < l_starts.size(); ++l_index)
        l_starts[l_index] += l_starts[l_index - 1];
    LargeVector<quint32> l_seconds(l_found.size());
    {
        LargeVector<quint32> l_fill(l_starts.begin(), l_starts.end() - 1);
        for (auto const& l_link : l_found)
            l_seconds[l_fill[l_link.first]++] = l_link.second;
    }
    LargeVector<std::pair<quint32, quint32>>().swap(l_found);
    std::size_t l_linkCount = 0;
    for (std::size_t l_group = 0; l_group + 1 < l_starts.size(); ++l_group) {
        auto const l_begin = l_seconds.begin() + l_starts[l_group];
        auto const l_end = l_seconds.begin() + l_starts[l_group + 1];
        // Gathered in the order of the walk, a group is in order already
        // unless something changed meanwhile.
        if (!std::is_sorted(l_begin, l_end))
            std::sort(l_begin, l_end);
        for (auto l_at = l_begin; l_at != l_end; ++l_at)
            l_linkCount += l_at == l_begin || *l_at != *(l_at - 1) ? 1 : 0;
    }
    l_image.m_links.resize(8 + 8 * l_linkCount);
    char* lp_link = l_image.m_links.data();
    qToLittleEndian(quint64(l_linkCount), lp_link);
    lp_link += 8;
    for (std::size_t l_group = 0; l_group + 1 < l_starts.size(); ++l_group) {
        quint32 l_last = 0;
        for (quint32 l_at = l_starts[l_group]; l_at < l_starts[l_group + 1]; ++l_at) {
            if (l_at > l_starts[l_group] && l_seconds[l_at] == l_last)
                continue;
            l_last = l_seconds[l_at];
            lp_link = PutU32(PutU32(lp_link, quint32(l_group)), l_last);
        }
    }

    quint64 const l_length = l_image.m_items.size() - HEADER_SIZE + l_image.m_links.size();
    quint32 const l_checksum =
        Checksum(l_image.m_links.data(), l_image.m_links.size(),
                 Checksum(l_image.m_items.data() + HEADER_SIZE, l_image.m_items.size() - HEADER_SIZE));
    char* lp_header = l_image.m_items.data();
    std::memcpy(lp_header, MAGIC, 8);
    qToLittleEndian(FORMAT_VERSION, lp_header + 8);
    qToLittleEndian(l_length, lp_header + 12);
    qToLittleEndian(l_checksum, lp_header + 20);
    return l_image;
}

// Writes a file image to <path>.saving, flushes it to the disk and renames
// it over <path>. Only system calls, so that a thread beside the window can
// do it. io_spare: a descriptor kept for this file, given up if no other is
// left for it (then -1). The reason of a failure (the path last), or nothing; a failure
// leaves no file behind.
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

void WriteAllTo(int i_fd, std::string const& i_text)
{
    for (std::size_t l_done = 0; l_done < i_text.size();) {
        ssize_t const l_wrote = ::write(i_fd, i_text.data() + l_done, i_text.size() - l_done);
        if (l_wrote < 0 && errno == EINTR)
            continue;
        if (l_wrote <= 0)
            return;
        l_done += std::size_t(l_wrote);
    }
}

std::function<void()> s_writeHook;

// Frees what a gathering left on a thread of its own: at a million files
// that takes tens of milliseconds the window need not wait for.
void FreeAside(Gathered&& io_gathered)
{
    auto lp_garbage = std::make_unique<Gathered>(std::move(io_gathered));
    try {
        std::thread([lp_left = std::move(lp_garbage)]() mutable { lp_left.reset(); }).detach();
    } catch (std::system_error const&) {
        // Freed here, as the thread that was not made goes.
    }
}

// What the thread that writes a background save's file takes with it.
struct WriterJob
{
    Gathered m_gathered;
    std::string m_path;
    int m_report = -1; // the pipe's end it reports through
    int m_spare = -1;
};

// Composes and writes the job's file; its report: "saved <values left
// out for their length>" or "failed <reason>".
std::string ComposeAndWrite(WriterJob& io_job)
{
    try {
        std::size_t l_oversize = 0;
        FileImage const l_image = ComposeImage(io_job.m_gathered, l_oversize);
        if (s_writeHook)
            s_writeHook();
        std::string const l_error = WriteImage(io_job.m_path, l_image, io_job.m_spare);
        return l_error.empty() ? "saved " + std::to_string(l_oversize) : "failed " + l_error;
    } catch (std::bad_alloc const&) {
        return "failed out of memory";
    } catch (std::exception const& i_failure) {
        return std::string("failed ") + i_failure.what();
    }
}

// The thread's whole life: compose, write, report, end. It takes no
// signal (the program's handlers run on other threads, and a report to a
// window that has gone fails instead of killing the program).
void RunWriter(std::shared_ptr<WriterJob> ip_job)
{
    sigset_t l_all;
    sigfillset(&l_all);
    ::pthread_sigmask(SIG_SETMASK, &l_all, nullptr);
    std::string const l_report = ComposeAndWrite(*ip_job);
    int const l_fd = ip_job->m_report;
    if (ip_job->m_spare >= 0)
        ::close(ip_job->m_spare);
    ip_job.reset(); // its memory goes before the window hears of the end
    WriteAllTo(l_fd, l_report);
    ::close(l_fd);
}

} // namespace

// ------------------------------------------------------------------ DataSaver

struct DataSaver::Background
{
    QString m_base;
    QString m_path;
    std::function<void(bool)> m_done;
    std::unique_ptr<QTimer> mp_limit;
    // While the store is gathered.
    std::unique_ptr<FileGatherer> mp_gatherer;
    SlicedWork m_slices;
    QString m_failure;
    // Once the thread writes the file.
    std::thread m_writer;
    int m_fd = -1; // its report
    QByteArray m_report;
    std::unique_ptr<QSocketNotifier> mp_notifier;
    // Its handler has had its answer (failed at the limit, or from a save
    // made at once) while it is still at work.
    bool m_answered = false;
};

DataSaver::DataSaver()
{
    dataSaver = this;
    TakeReserve();
}

DataSaver::~DataSaver()
{
    // A load under way is dropped; its reader ends with the file.
    if (mp_loading && mp_loading->m_reader.joinable())
        mp_loading->m_reader.join();
    mp_loading.reset();
    if (mp_background && mp_background->m_writer.joinable()) {
        // Nobody is left to hear the result. A thread that hangs (a disk
        // that stopped answering) is not waited for past a moment: it is
        // left to end with the program, with everything it uses its own.
        mp_background->mp_notifier.reset();
        mp_background->m_done = nullptr;
        bool l_ended = false;
        for (int l_round = 0; l_round < 20 && !l_ended; ++l_round) {
            pollfd l_end{mp_background->m_fd, POLLIN, 0};
            if (::poll(&l_end, 1, 100) > 0) {
                char l_buffer[512];
                ssize_t l_read = 0;
                while ((l_read = ::read(mp_background->m_fd, l_buffer, sizeof l_buffer)) > 0 ||
                       (l_read < 0 && errno == EINTR)) {
                }
                l_ended = l_read == 0;
            }
        }
        if (l_ended)
            mp_background->m_writer.join();
        else
            mp_background->m_writer.detach();
    }
    if (mp_background && mp_background->m_fd >= 0)
        ::close(mp_background->m_fd);
    mp_background.reset();
    CallStoppedHandler(false);
    ReleaseReserve();
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(std::string const& i_type)
{
    if (std::find(m_savedTypes.begin(), m_savedTypes.end(), i_type) == m_savedTypes.end())
        m_savedTypes.push_back(i_type);
}

void DataSaver::AddSavedByConnectionType(std::string const& i_type, std::string const& i_connectedType)
{
    auto const l_entry = std::make_pair(i_type, i_connectedType);
    if (std::find(m_savedByConnection.begin(), m_savedByConnection.end(), l_entry) == m_savedByConnection.end())
        m_savedByConnection.push_back(l_entry);
}

void DataSaver::AddUnsavedRelation(std::string const& i_type, std::string const& i_otherType)
{
    auto const l_entry = std::make_pair(i_type, i_otherType);
    if (std::find(m_unsavedRelations.begin(), m_unsavedRelations.end(), l_entry) == m_unsavedRelations.end())
        m_unsavedRelations.push_back(l_entry);
}

namespace {

bool IsStamp(QStringView i_text)
{
    if (i_text.isEmpty() || i_text.size() > 19)
        return false;
    for (QChar const l_c : i_text)
        if (l_c < '0' || l_c > '9')
            return false;
    return true;
}

// The stem's files in its folder, in one listing: the data files
// ("<stem>.<stamp>", newest first) and the temporary files that saves
// write them as ("<stem>.<stamp>.saving", names only).
struct StemFiles
{
    QDir m_folder;
    std::vector<std::pair<quint64, QString>> m_saved;
    QStringList m_temporary;
};

StemFiles ListStemFiles(QString const& i_stem)
{
    QFileInfo const l_stem(i_stem);
    StemFiles l_files{l_stem.absoluteDir(), {}, {}};
    QString const l_prefix = l_stem.fileName() + ".";
    QLatin1String const l_saving(".saving");
    // Matched by hand: a name filter is a pattern that Qt compiles, which
    // held the hourly save for 25 ms at times.
    for (QString const& l_name : l_files.m_folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted)) {
        if (!l_name.startsWith(l_prefix))
            continue;
        QStringView const l_suffix = QStringView(l_name).mid(l_prefix.size());
        if (IsStamp(l_suffix))
            l_files.m_saved.emplace_back(l_suffix.toULongLong(), l_files.m_folder.filePath(l_name));
        else if (l_suffix.endsWith(l_saving) && IsStamp(l_suffix.chopped(l_saving.size())))
            l_files.m_temporary << l_name;
    }
    std::sort(l_files.m_saved.begin(), l_files.m_saved.end(),
              [](auto const& i_a, auto const& i_b) { return i_a.first > i_b.first; });
    return l_files;
}

} // namespace

std::vector<std::pair<quint64, QString>> DataSaver::ListDataFiles(QString const& i_stem)
{
    return ListStemFiles(i_stem).m_saved;
}

QString DataSaver::NextPath(QString const& i_base)
{
    auto const l_existing = ListDataFiles(i_base);
    // Names must sort in save order even when the clock went back, or the
    // new file would be pruned, or an older one loaded first; and above any
    // name given before, so that the file of a background save given up or
    // answered for by a save made at once, should it still land, is older
    // than any named since.
    quint64 l_stamp = quint64(qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch()));
    if (!l_existing.empty() && l_stamp <= l_existing.front().first)
        l_stamp = l_existing.front().first + 1;
    if (l_stamp <= m_lastStamp)
        l_stamp = m_lastStamp + 1;
    m_lastStamp = l_stamp;
    return i_base + "." + QString::number(l_stamp);
}

void DataSaver::Prune(QString const& i_base, QString const& i_kept)
{
    // Only once the new file is safely in place do older ones go.
    StemFiles const l_files = ListStemFiles(i_base);
    for (std::size_t l_index = KEPT_FILES; l_index < l_files.m_saved.size(); ++l_index)
        if (l_files.m_saved[l_index].second != i_kept)
            QFile::remove(l_files.m_saved[l_index].second);
    // A temporary file left by a program killed outright, or by a save that
    // failed to remove it; not the one of a background save still at work.
    QString const l_busy = mp_background ? QFileInfo(mp_background->m_path).fileName() + ".saving" : QString();
    for (QString const& l_name : l_files.m_temporary)
        if (l_name != l_busy)
            QFile::remove(l_files.m_folder.filePath(l_name));
}

void DataSaver::LogOversize(std::size_t i_count)
{
    if (i_count > 0)
        Log(LOG_CATEGORY, 1, QString("%1 values too long to save were left out.").arg(i_count));
}

void DataSaver::LogFailure(QString const& i_reason)
{
    m_lastFailure = i_reason;
    Log(LOG_CATEGORY, 1, QString("Failure to save configuration data: %1").arg(i_reason));
}

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

bool DataSaver::Save(QString const& i_base)
{
    // A save still at work in the background is stopped: this file holds
    // the store as it stands now, and waiting for a thread that hangs would
    // hold the program. Its file, should it still land, has the older name
    // (NextPath).
    StopBackgroundSave();
    ReleaseReserve();
    bool l_saved = false;
    try {
        QString const l_path = NextPath(i_base);
        FileGatherer l_gatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, false);
        while (l_gatherer.Step()) {
        }
        std::size_t l_oversize = 0;
        FileImage const l_image = ComposeImage(l_gatherer.Result(), l_oversize);
        LogOversize(l_oversize);
        int l_noSpare = -1;
        std::string const l_error = WriteImage(QFile::encodeName(l_path).toStdString(), l_image, l_noSpare);
        if (!l_error.empty())
            throw DataSaveFailure(l_error);
        Prune(i_base, l_path);
        l_saved = true;
    } catch (DataSaveFailure const& i_failure) {
        LogFailure(QString::fromStdString(i_failure.what()));
    } catch (std::bad_alloc const&) {
        LogFailure("out of memory");
    }
    TakeReserve();
    if (l_saved)
        m_lastFailure.clear();
    CallStoppedHandler(l_saved);
    return l_saved;
}

// ------------------------------------------------------------ background
//
// The hourly save holds the window for no more than a slice: the store is
// gathered in slices (SlicedWork) with the event loop between them, and
// the file is composed and written by a thread of its own, which touches
// nothing of the store, reports through a pipe and ends; the window takes
// its report in its event loop, then prunes and logs. The window never
// waits for it: one that takes longer than its limit is given up and
// counts as failed (a thread cannot be stopped: it ends by itself, and no
// other background save starts until it has).

void DataSaver::SetWriteHook(std::function<void()> i_hook)
{
    s_writeHook = std::move(i_hook);
}

bool DataSaver::SaveInBackground(QString const& i_base, std::function<void(bool)> i_done)
{
    if (mp_background)
        return false;
    ReleaseReserve();
    QString const l_path = NextPath(i_base);
    TakeReserve();
    mp_background.reset(new Background);
    Background& l_save = *mp_background;
    l_save.m_base = i_base;
    l_save.m_path = l_path;
    l_save.m_done = std::move(i_done);
    l_save.mp_limit.reset(new QTimer);
    l_save.mp_limit->setSingleShot(true);
    QObject::connect(l_save.mp_limit.get(), &QTimer::timeout, [this]() { GiveUp(); });
    l_save.mp_limit->start(m_backgroundLimitMs);
    l_save.mp_gatherer.reset(new FileGatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, true));
    // Its first slice runs now: a small store is gathered before this returns.
    l_save.m_slices.Start([this]() { return GatherStep(); }, [this]() { OnGathered(); });
    return true;
}

bool DataSaver::GatherStep()
{
    Background& l_save = *mp_background;
    FileGatherer& l_gatherer = *l_save.mp_gatherer;
    // Noting a flood of changes (a share taken down while it is gathered)
    // would soon cost more than gathering again, once it has gone by.
    std::size_t const l_changeLimit = std::max<std::size_t>(100000, l_gatherer.GatheredCount() / 4);
    if (l_gatherer.StoreWasReset() || l_gatherer.Changes() > l_changeLimit) {
        Gathered l_dropped = std::move(l_gatherer.Result());
        l_save.mp_gatherer.reset(new FileGatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, true));
        FreeAside(std::move(l_dropped));
        return true;
    }
    try {
        return l_gatherer.Step();
    } catch (std::bad_alloc const&) {
        l_save.m_failure = "out of memory";
    } catch (std::exception const& i_failure) {
        l_save.m_failure = QString::fromLocal8Bit(i_failure.what());
    }
    return false;
}

void DataSaver::OnGathered()
{
    Background& l_save = *mp_background;
    if (!l_save.m_failure.isEmpty()) {
        FinishBackground("failed " + l_save.m_failure);
        return;
    }
    auto lp_job = std::make_shared<WriterJob>();
    lp_job->m_gathered = std::move(l_save.mp_gatherer->Result());
    lp_job->m_path = QFile::encodeName(l_save.m_path).toStdString();
    l_save.mp_gatherer.reset(); // deaf to the store from here

    ReleaseReserve();
    int l_pipe[2] = {-1, -1};
    bool l_started = ::pipe2(l_pipe, O_CLOEXEC) == 0;
    int const l_pipeError = errno;
    TakeReserve();
    if (l_started) {
        // One of the saves' own descriptors goes with the thread, for its
        // file if no other is left by the time it opens it.
        if (!m_reserve.empty()) {
            lp_job->m_spare = m_reserve.back();
            m_reserve.pop_back();
        }
        lp_job->m_report = l_pipe[1];
        try {
            l_save.m_writer = std::thread(RunWriter, lp_job);
        } catch (std::system_error const&) {
            l_started = false;
        }
    }
    if (!l_started) {
        // No thread: the file is written here, as a save made at once is.
        LogFailure(QString("cannot write in the background (%1); writing at once")
                       .arg(QString::fromLocal8Bit(std::strerror(l_pipe[0] < 0 ? l_pipeError : EAGAIN))));
        for (int l_fd : {l_pipe[0], l_pipe[1], lp_job->m_spare})
            if (l_fd >= 0)
                ::close(l_fd);
        lp_job->m_spare = -1;
        FinishBackground(QString::fromStdString(ComposeAndWrite(*lp_job)));
        return;
    }
    lp_job.reset(); // the thread's alone
    l_save.m_fd = l_pipe[0];
    ::fcntl(l_pipe[0], F_SETFL, ::fcntl(l_pipe[0], F_GETFL) | O_NONBLOCK);
    l_save.mp_notifier.reset(new QSocketNotifier(l_pipe[0], QSocketNotifier::Read));
    QObject::connect(l_save.mp_notifier.get(), &QSocketNotifier::activated, [this]() { ReadBackgroundReport(); });
}

bool DataSaver::IsSavingInBackground() const
{
    return mp_background != nullptr;
}

bool DataSaver::BackgroundImageBuilt() const
{
    return mp_background && !mp_background->mp_gatherer;
}

void DataSaver::SetBackgroundSaveLimit(int i_msecs)
{
    m_backgroundLimitMs = i_msecs;
}

QString DataSaver::LastFailure() const
{
    return m_lastFailure;
}

void DataSaver::ReadBackgroundReport()
{
    char l_buffer[512];
    for (;;) {
        ssize_t const l_read = ::read(mp_background->m_fd, l_buffer, sizeof l_buffer);
        if (l_read > 0) {
            // A report is a line; more is no report of ours.
            if (mp_background->m_report.size() < 4096)
                mp_background->m_report.append(l_buffer, int(l_read));
            continue;
        }
        if (l_read < 0 && errno == EINTR)
            continue;
        if (l_read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // more to come
        break; // the thread has closed its end: it is ending
    }
    // What is left of its end takes microseconds.
    mp_background->m_writer.join();
    FinishBackground(QString::fromLocal8Bit(mp_background->m_report));
}

void DataSaver::FinishBackground(QString const& i_report)
{
    std::unique_ptr<Background> lp_save(mp_background.release());
    lp_save->m_slices.Stop();
    lp_save->mp_notifier.reset();
    lp_save->mp_limit.reset();
    if (lp_save->m_fd >= 0)
        ::close(lp_save->m_fd);
    bool const l_saved = i_report.startsWith("saved ");
    if (!l_saved)
        QFile::remove(lp_save->m_path + ".saving");
    if (lp_save->m_answered) {
        // Answered for already: by the save made at once, or as failed at
        // the limit. A file that still landed is whole, and older than any
        // saved since.
        TakeReserve();
        return;
    }
    if (l_saved) {
        m_lastFailure.clear();
        LogOversize(i_report.mid(6).toULongLong());
        Prune(lp_save->m_base, lp_save->m_path);
    } else {
        LogFailure(i_report.startsWith("failed ") ? i_report.mid(7) : QString("the saving thread ended abnormally"));
    }
    TakeReserve();
    if (lp_save->m_done)
        lp_save->m_done(l_saved);
}

void DataSaver::GiveUp()
{
    // One a save made at once answered for has nothing left to fail.
    if (mp_background->m_answered)
        return;
    QString const l_reason =
        QString("the save took longer than %1 s and was given up").arg(m_backgroundLimitMs / 1000.0);
    if (mp_background->mp_gatherer) {
        FinishBackground("failed " + l_reason);
        return;
    }
    Background& l_save = *mp_background;
    l_save.m_answered = true;
    LogFailure(l_reason);
    std::function<void(bool)> const l_done = std::move(l_save.m_done);
    l_save.m_done = nullptr;
    if (l_done)
        l_done(false);
}

void DataSaver::StopBackgroundSave()
{
    if (!mp_background || mp_background->m_answered)
        return;
    Background& l_save = *mp_background;
    if (l_save.mp_gatherer) {
        // Nothing written yet: the save made now answers for it.
        m_stopped.push_back(std::move(l_save.m_done));
        mp_background.reset();
        return;
    }
    // A thread that has already reported is taken as it is.
    ReadBackgroundReport();
    if (!mp_background)
        return;
    // One still at work goes on (a thread cannot be stopped), but its file,
    // should it land, has the older name (NextPath); the save made now
    // answers for it.
    mp_background->m_answered = true;
    m_stopped.push_back(std::move(mp_background->m_done));
    mp_background->m_done = nullptr;
}

void DataSaver::CallStoppedHandler(bool i_saved)
{
    std::vector<std::function<void(bool)>> l_handlers;
    l_handlers.swap(m_stopped);
    for (auto const& l_done : l_handlers)
        if (l_done)
            l_done(i_saved);
}
