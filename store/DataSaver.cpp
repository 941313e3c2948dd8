#include "store/DataSaver.h"

#include "store/BlockPool.h"
#include "store/BodyTable.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

namespace {

char const* const LOG_CATEGORY = "Configuration Data";
char const MAGIC[8] = {'Q', 'M', 'A', 'R', 'D', 'A', 'T', 'A'};
quint32 const FORMAT_VERSION = 1;
int const HEADER_SIZE = 8 + 4 + 8 + 4;

quint32 Checksum(char const* ip_data, quint64 i_length)
{
    uLong l_crc = crc32(0L, Z_NULL, 0);
    while (i_length > 0) {
        uInt const l_step = static_cast<uInt>(qMin<quint64>(i_length, 1u << 30));
        l_crc = crc32(l_crc, reinterpret_cast<Bytef const*>(ip_data), l_step);
        ip_data += l_step;
        i_length -= l_step;
    }
    return static_cast<quint32>(l_crc);
}

// Writes a file image to <path>.saving, then renames it over <path>. Only
// system calls, so that a forked copy of the process can use it too. The
// reason of a failure, or nothing; a failure leaves no file behind.
std::string WriteImage(std::string const& i_path, char const* ip_data, std::size_t i_size)
{
    std::string const l_temporary = i_path + ".saving";
    // Owner only, from the first byte: the file holds the account password.
    int const l_fd = ::open(l_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (l_fd < 0)
        return "cannot create " + i_path + ": " + std::strerror(errno);
    std::string l_error;
    if (::fchmod(l_fd, 0600) != 0)
        l_error = "cannot protect " + i_path + ": " + std::strerror(errno);
    for (std::size_t l_done = 0; l_done < i_size && l_error.empty();) {
        ssize_t const l_wrote = ::write(l_fd, ip_data + l_done, std::min<std::size_t>(i_size - l_done, 1u << 30));
        if (l_wrote < 0 && errno == EINTR)
            continue;
        if (l_wrote <= 0)
            l_error = "cannot write " + i_path + ": " + (l_wrote < 0 ? std::strerror(errno) : "disk full");
        else
            l_done += std::size_t(l_wrote);
    }
    // A full disk may only show when the data reaches it.
    if (l_error.empty() && ::fsync(l_fd) != 0)
        l_error = "cannot write " + i_path + ": " + std::strerror(errno);
    if (::close(l_fd) != 0 && l_error.empty())
        l_error = "cannot write " + i_path + ": " + std::strerror(errno);
    if (l_error.empty() && ::rename(l_temporary.c_str(), i_path.c_str()) != 0)
        l_error = "cannot write " + i_path + ": " + std::strerror(errno);
    if (!l_error.empty())
        ::unlink(l_temporary.c_str());
    return l_error;
}

bool Fail(QString& o_error, QString const& i_text)
{
    o_error = i_text;
    return false;
}

bool ReadFile(QString const& i_path, MemStream& o_image, QString& o_error)
{
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::ReadOnly))
        return Fail(o_error, "cannot be opened: " + l_file.errorString());
    qint64 const l_size = l_file.size();
    if (l_size > qint64(std::numeric_limits<int>::max()))
        return Fail(o_error, "too large");
    // Read straight into the stream that parses it: a large file is held
    // once, not twice.
    o_image.Reserve(quint64(l_size));
    if (!QFileStreamer(&l_file).ReadBuffer(o_image.mp_buffer->m_bytes.data(), static_cast<unsigned long>(l_size)))
        return Fail(o_error, "read error: " + l_file.errorString());
    o_image.mp_buffer->m_writeIndex = quint64(l_size);
    return true;
}

} // namespace

bool ParseDataFile(MemStream& io_in, DataFileContents& o_file, QString& o_error)
{
    quint64 const l_size = io_in.BytesAvailable();
    if (l_size < quint64(HEADER_SIZE))
        return Fail(o_error, "too short");
    char const* lp_bytes = io_in.Data() + io_in.ReadIndex();
    char l_magic[8];
    quint32 l_version = 0;
    quint64 l_length = 0;
    quint32 l_checksum = 0;
    io_in.ReadBuffer(l_magic, 8);
    io_in.ReadU32(l_version);
    io_in.ReadU64(l_length);
    io_in.ReadU32(l_checksum);
    if (std::memcmp(l_magic, MAGIC, 8) != 0)
        return Fail(o_error, "not a data file");
    if (l_version != FORMAT_VERSION)
        return Fail(o_error, QString("unknown format version %1").arg(l_version));
    if (l_length != l_size - HEADER_SIZE)
        return Fail(o_error, "truncated or extended");
    if (Checksum(lp_bytes + HEADER_SIZE, l_length) != l_checksum)
        return Fail(o_error, "checksum mismatch");
    io_in.SetStringLimit(DataSaver::STRING_LIMIT);

    quint32 l_typeCount = 0;
    if (!io_in.ReadU32(l_typeCount) || quint64(l_typeCount) * 9 > io_in.BytesAvailable())
        return Fail(o_error, "bad type table");
    quint64 l_total = 0;
    quint64 l_leastBytes = 0;
    o_file.m_types.resize(l_typeCount);
    for (DataFileContents::FileType& l_type : o_file.m_types) {
        if (!io_in.ReadRaw(l_type.m_name) || !io_in.ReadBool(l_type.m_isNull) || !io_in.ReadU32(l_type.m_count))
            return Fail(o_error, "bad type table");
        l_total += l_type.m_count;
        // A flag byte per valueless item, at least a length per valued one.
        l_leastBytes += quint64(l_type.m_count) * (l_type.m_isNull ? 1 : 4);
    }
    // Counts the rest of the file cannot hold are a lie, refused before the
    // per-item tables (tens of bytes per item) are allocated for them.
    if (l_leastBytes > io_in.BytesAvailable() || l_total > std::numeric_limits<quint32>::max())
        return Fail(o_error, "bad item count");
    o_file.m_values.resize(std::size_t(l_total));
    o_file.m_sharedNull.assign(std::size_t(l_total), 0);
    std::size_t l_index = 0;
    for (DataFileContents::FileType const& l_type : o_file.m_types) {
        for (quint32 l_item = 0; l_item < l_type.m_count; ++l_item, ++l_index) {
            bool const l_ok = l_type.m_isNull ? io_in.ReadU8(o_file.m_sharedNull[l_index])
                                              : io_in.ReadRaw(o_file.m_values[l_index]);
            if (!l_ok)
                return Fail(o_error, "bad item");
        }
    }
    quint64 l_linkCount = 0;
    if (!io_in.ReadU64(l_linkCount) || l_linkCount > io_in.BytesAvailable() / 8)
        return Fail(o_error, "bad link count");
    o_file.m_links.resize(std::size_t(l_linkCount));
    for (auto& l_link : o_file.m_links) {
        if (!io_in.ReadU32(l_link.first) || !io_in.ReadU32(l_link.second) || l_link.first >= l_total
            || l_link.second >= l_total)
            return Fail(o_error, "bad link");
    }
    if (io_in.BytesAvailable() != 0)
        return Fail(o_error, "unexpected bytes at the end");
    return true;
}

namespace {

std::size_t const PREFETCH_DISTANCE = 32;

// What applying a file does to the store, so that a file failing half-way
// (memory for a huge file, an observer that throws) can be taken out again:
// the next older file must start from the store as it was, not on top of
// half of this one. Items made since the journal began are told by their
// serial; links between items that were there before are written down as
// they are made, or dropped by a One side.
class LoadJournal
{
public:
    LoadJournal() : m_firstNew(d.NextSerial()) {}

    bool IsOld(Item const& i_item) const { return i_item.Serial() < m_firstNew; }

    // Before i_a += i_b.
    void BeforeLink(Item const& i_a, Item const& i_b)
    {
        bool const l_oldA = IsOld(i_a);
        bool const l_oldB = IsOld(i_b);
        if ((!l_oldA && !l_oldB) || i_a.IsConnected(i_b))
            return;
        if (l_oldA && l_oldB)
            m_links.push_back({i_a, i_b, true});
        if (l_oldA)
            NoteReplaced(i_a, i_b);
        if (l_oldB)
            NoteReplaced(i_b, i_a);
    }

    // Removes the items made since, newest first, and puts the links of the
    // older ones back as they were. A handler that throws again stops
    // nothing but its own step.
    void Undo()
    {
        std::vector<Item> l_new;
        for (Type* lp_type : d.GetTypes())
            for (Item const& l_item : lp_type->GetItems())
                if (!IsOld(l_item))
                    l_new.push_back(l_item);
        std::sort(l_new.begin(), l_new.end(),
                  [](Item const& i_a, Item const& i_b) { return i_b.Serial() < i_a.Serial(); });
        std::size_t l_failures = 0;
        auto const l_step = [&l_failures](auto i_step) {
            try {
                i_step();
            } catch (std::exception const&) {
                ++l_failures;
            }
        };
        for (Item const& l_item : l_new)
            l_step([&l_item] { l_item.Remove(); });
        for (auto l_link = m_links.rbegin(); l_link != m_links.rend(); ++l_link)
            l_step([&l_link] {
                if (l_link->m_made)
                    l_link->m_a.Disconnect(l_link->m_b);
                else
                    l_link->m_a += l_link->m_b;
            });
        if (l_failures > 0)
            Log(LOG_CATEGORY, 1, QString("%1 steps of taking a failed file out of the store failed.").arg(l_failures));
    }

private:
    // i_holder, on a One side, is about to give up its link of i_new's type.
    void NoteReplaced(Item const& i_holder, Item const& i_new)
    {
        Type::Relation const* lp_relation = i_holder.GetType()->FindRelation(i_new.GetType());
        if (!lp_relation || lp_relation->m_holds != ONE)
            return;
        Item const l_former = i_holder[i_new.GetTypeName().c_str()];
        if (l_former.IsValid() && IsOld(l_former))
            m_links.push_back({i_holder, l_former, false});
    }

    struct Change
    {
        Item m_a;
        Item m_b;
        bool m_made; // else dropped
    };
    std::uint64_t const m_firstNew;
    std::vector<Change> m_links;
};

// Puts a checked file into the store. Items of undeclared types (or of a type
// whose kind changed) are skipped, and so are links of undeclared relations.
// So are items of types that are never saved: rows, sockets, threads and
// cells are keyed by the addresses of this run's objects, and a file that
// holds such items was not written by us.
void ApplyFile(DataFileContents& io_file, std::vector<std::string> const& i_savedTypes, LoadJournal& io_journal)
{
    std::vector<Item> l_items(io_file.m_values.size());
    std::size_t l_index = 0;
    std::size_t l_skipped = 0;
    for (DataFileContents::FileType const& l_fileType : io_file.m_types) {
        bool const l_saved =
            std::find(i_savedTypes.begin(), i_savedTypes.end(), l_fileType.m_name) != i_savedTypes.end();
        Type* lp_type = l_saved && d.HasType(l_fileType.m_name) ? d.GetType(l_fileType.m_name) : nullptr;
        if (lp_type && lp_type->IsNull() != l_fileType.m_isNull)
            lp_type = nullptr;
        if (!lp_type) {
            l_index += l_fileType.m_count;
            l_skipped += l_fileType.m_count;
            continue;
        }
        for (quint32 l_item = 0; l_item < l_fileType.m_count; ++l_item, ++l_index) {
            if (!l_fileType.m_isNull)
                l_items[l_index] = lp_type->NewItem(Value(std::move(io_file.m_values[l_index])));
            else if (io_file.m_sharedNull[l_index])
                l_items[l_index] = lp_type->GetGlobalNullItem();
            else
                l_items[l_index] = lp_type->NewItem();
        }
    }
    std::vector<std::string>().swap(io_file.m_values);
    std::size_t l_skippedLinks = 0;
    std::size_t const l_linkCount = io_file.m_links.size();
    for (std::size_t l_at = 0; l_at < l_linkCount; ++l_at) {
        // Linking touches both items, whose bodies are mostly out of the
        // cache: ask for those of a link a few steps ahead.
        if (l_at + 2 * PREFETCH_DISTANCE < l_linkCount) {
            auto const& l_further = io_file.m_links[l_at + 2 * PREFETCH_DISTANCE];
            __builtin_prefetch(&l_items[l_further.first]);
            __builtin_prefetch(&l_items[l_further.second]);
        }
        if (l_at + PREFETCH_DISTANCE < l_linkCount) {
            auto const& l_ahead = io_file.m_links[l_at + PREFETCH_DISTANCE];
            __builtin_prefetch(l_items[l_ahead.first].Body());
            __builtin_prefetch(l_items[l_ahead.second].Body());
        }
        if (l_at + PREFETCH_DISTANCE / 2 < l_linkCount) {
            auto const& l_near = io_file.m_links[l_at + PREFETCH_DISTANCE / 2];
            l_items[l_near.first].PrefetchLinks();
            l_items[l_near.second].PrefetchLinks();
        }
        auto const& l_link = io_file.m_links[l_at];
        Item const& l_first = l_items[l_link.first];
        Item const& l_second = l_items[l_link.second];
        if (l_first.IsNull() || l_second.IsNull() || !l_first.GetType()->IsRelatedTo(l_second.GetType())) {
            ++l_skippedLinks;
            continue;
        }
        try {
            io_journal.BeforeLink(l_first, l_second);
            l_first += l_second;
        } catch (StoreException const&) {
            ++l_skippedLinks;
        }
    }
    if (l_skipped > 0 || l_skippedLinks > 0)
        Log(LOG_CATEGORY, 2,
            QString("Skipped %1 items and %2 links of undeclared or unsaved types or relations.")
                .arg(QString::number(l_skipped), QString::number(l_skippedLinks)));
}

} // namespace

// --------------------------------------------------------- DataLoadedEventHandler

DataLoadedEventHandler::DataLoadedEventHandler()
{
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
}

DataLoadedEventHandler::~DataLoadedEventHandler()
{
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
}

// ------------------------------------------------------------------ DataSaver

struct DataSaver::Background
{
    pid_t m_pid = -1;
    int m_fd = -1;
    QString m_base;
    QString m_path;
    QByteArray m_report;
    std::unique_ptr<QSocketNotifier> mp_notifier;
    std::unique_ptr<QTimer> mp_limit;
    std::function<void(bool)> m_done;
    bool m_built = false;      // the copy has built its image
    QString m_stopReason;      // killed, and why
    bool m_superseded = false; // killed for a save made at once
};

DataSaver::DataSaver()
{
    dataSaver = this;
    TakeReserve();
}

DataSaver::~DataSaver()
{
    if (mp_background) {
        // Nobody is left to hear the result, and nobody waits for a copy
        // that hangs: it is killed, and reaped when its end comes soon
        // (its memory is given back first, a moment for a large one).
        mp_background->m_done = nullptr;
        Kill("the program ended");
        mp_background->mp_notifier.reset();
        pollfd l_end{mp_background->m_fd, POLLIN, 0};
        while (::poll(&l_end, 1, 2000) < 0 && errno == EINTR) {
        }
        if (l_end.revents != 0)
            Reap();
    }
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

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    if (ip_handler && std::find(m_handlers.begin(), m_handlers.end(), ip_handler) == m_handlers.end())
        m_handlers.push_back(ip_handler);
}

void DataSaver::RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    m_handlers.erase(std::remove(m_handlers.begin(), m_handlers.end(), ip_handler), m_handlers.end());
}

void DataSaver::CallHandlers(bool i_noData)
{
    // A handler may create or delete others; only those still registered
    // are called.
    // One handler's failure must not keep the others from starting.
    auto l_callEach = [this](void (DataLoadedEventHandler::*ip_call)()) {
        std::vector<DataLoadedEventHandler*> const l_handlers(m_handlers);
        for (DataLoadedEventHandler* lp_handler : l_handlers) {
            if (std::find(m_handlers.begin(), m_handlers.end(), lp_handler) == m_handlers.end())
                continue;
            try {
                (lp_handler->*ip_call)();
            } catch (std::exception const& i_failure) {
                Log(LOG_CATEGORY, 1, QString("A component failed to take the loaded data: %1")
                                         .arg(QString::fromLocal8Bit(i_failure.what())));
            }
        }
    };
    l_callEach(&DataLoadedEventHandler::DataLoaded);
    if (i_noData)
        l_callEach(&DataLoadedEventHandler::NoData);
}

std::vector<std::pair<quint64, QString>> DataSaver::ListDataFiles(QString const& i_stem)
{
    std::vector<std::pair<quint64, QString>> l_files;
    QFileInfo const l_stem(i_stem);
    QDir const l_folder = l_stem.absoluteDir();
    QString const l_prefix = l_stem.fileName() + ".";
    QStringList const l_names =
        l_folder.entryList(QStringList(l_prefix + "*"), QDir::Files | QDir::Hidden | QDir::System);
    for (QString const& l_name : l_names) {
        QString const l_suffix = l_name.mid(l_prefix.size());
        if (l_suffix.isEmpty() || l_suffix.size() > 19)
            continue;
        bool l_digits = true;
        for (QChar l_c : l_suffix)
            l_digits = l_digits && l_c >= '0' && l_c <= '9';
        if (!l_digits)
            continue;
        l_files.emplace_back(l_suffix.toULongLong(), l_folder.filePath(l_name));
    }
    std::sort(l_files.begin(), l_files.end(),
              [](auto const& i_a, auto const& i_b) { return i_a.first > i_b.first; });
    return l_files;
}

void DataSaver::Load(QString const& i_stem)
{
    auto const l_files = ListDataFiles(i_stem);
    if (l_files.empty()) {
        Log(LOG_CATEGORY, 1, "No configuration data found.");
        CallHandlers(true);
        return;
    }
    for (auto const& l_file : l_files) {
        DataFileContents l_parsed;
        QString l_error;
        LoadJournal l_journal;
        // Any failure (memory for a huge file, a store observer that throws)
        // counts as an unreadable file: it is set aside like one, so that the
        // next save's rotation never deletes it.
        try {
            bool l_read = false;
            {
                MemStream l_image;
                l_read = ReadFile(l_file.second, l_image, l_error) && ParseDataFile(l_image, l_parsed, l_error);
            }
            if (l_read) {
                std::vector<std::string> l_savedTypes = m_savedTypes;
                for (auto const& l_pair : m_savedByConnection)
                    l_savedTypes.push_back(l_pair.first);
                ApplyFile(l_parsed, l_savedTypes, l_journal);
                Log(LOG_CATEGORY, 1, QString("Loaded configuration data from %1.").arg(l_file.second));
                CallHandlers(false);
                return;
            }
        } catch (std::exception const& i_failure) {
            l_error = QString::fromLocal8Bit(i_failure.what());
            l_journal.Undo();
        }
        // Kept for inspection, but out of the rotation: it is neither loaded
        // again nor counted among the kept files, and never deleted.
        QString l_aside = l_file.second + ".unreadable";
        for (int l_attempt = 1; QFile::exists(l_aside); ++l_attempt)
            l_aside = l_file.second + QString(".unreadable.%1").arg(l_attempt);
        bool const l_moved = QFile::rename(l_file.second, l_aside);
        Log(LOG_CATEGORY, 1,
            QString("Configuration data file %1 is unreadable (%2)%3.")
                .arg(l_file.second, l_error, l_moved ? QString("; renamed to ") + l_aside : QString()));
    }
    CallHandlers(true);
    throw DataLoadFailure("Failure to load configuration data.");
}

MemStream DataSaver::BuildImage(std::size_t& o_oversize) const
{
    // Which items go into the file: every item of a saved type, and the
    // items of a by-connection type that are linked to an item of its
    // connected type. Types follow the order of registration.
    std::vector<std::pair<Type*, std::vector<Item>>> l_types;
    for (std::string const& l_name : m_savedTypes) {
        if (!d.HasType(l_name))
            continue;
        Type* lp_type = d.GetType(l_name);
        ItemSet const l_all = lp_type->GetItems();
        l_types.emplace_back(lp_type, std::vector<Item>(l_all.begin(), l_all.end()));
    }
    std::vector<std::pair<Type*, std::vector<Type*>>> l_byConnection;
    for (auto const& l_pair : m_savedByConnection) {
        if (!d.HasType(l_pair.first) || !d.HasType(l_pair.second))
            continue;
        Type* lp_type = d.GetType(l_pair.first);
        if (std::find(m_savedTypes.begin(), m_savedTypes.end(), l_pair.first) != m_savedTypes.end())
            continue; // already saved whole
        auto l_found = std::find_if(l_byConnection.begin(), l_byConnection.end(),
                                    [lp_type](auto const& i_entry) { return i_entry.first == lp_type; });
        if (l_found == l_byConnection.end()) {
            l_byConnection.emplace_back(lp_type, std::vector<Type*>());
            l_found = l_byConnection.end() - 1;
        }
        Type* lp_connected = d.GetType(l_pair.second);
        if (lp_type->IsRelatedTo(lp_connected))
            l_found->second.push_back(lp_connected);
    }
    for (auto const& l_entry : l_byConnection) {
        std::vector<Item> l_items;
        for (Item const& l_item : l_entry.first->GetItems())
            for (Type* lp_connected : l_entry.second)
                if (l_item.IsConnected(lp_connected->GetName().c_str())) {
                    l_items.push_back(l_item);
                    break;
                }
        l_types.emplace_back(l_entry.first, std::move(l_items));
    }

    // Values above the file's string limit would make the file unreadable:
    // such items are left out (and logged) rather than failing the save.
    std::size_t l_oversize = 0;
    for (auto& l_entry : l_types) {
        if (l_entry.first->IsNull())
            continue;
        auto& l_items = l_entry.second;
        auto const l_end = std::remove_if(l_items.begin(), l_items.end(), [](Item const& i_item) {
            return i_item.GetValue().Bytes().size() > DataSaver::STRING_LIMIT;
        });
        l_oversize += std::size_t(l_items.end() - l_end);
        l_items.erase(l_end, l_items.end());
    }
    o_oversize = l_oversize;

    quint64 l_total = 0;
    for (auto const& l_entry : l_types)
        l_total += l_entry.second.size();
    if (l_total > std::numeric_limits<quint32>::max())
        throw DataSaveFailure("too many items");
    BodyTable<quint32> l_indexes{std::size_t(l_total)};

    MemStream l_out;
    l_out.SetStringLimit(STRING_LIMIT);
    l_out.Reserve(HEADER_SIZE + l_total * 16);
    char l_header[HEADER_SIZE] = {};
    l_out.WriteBuffer(l_header, HEADER_SIZE); // filled in at the end
    l_out.WriteU32(quint32(l_types.size()));
    for (auto const& l_entry : l_types) {
        l_out.WriteRaw(l_entry.first->GetName());
        l_out.WriteBool(l_entry.first->IsNull());
        l_out.WriteU32(quint32(l_entry.second.size()));
    }
    quint32 l_next = 0;
    for (auto const& l_entry : l_types) {
        bool const l_null = l_entry.first->IsNull();
        Item const l_flag = l_null ? l_entry.first->FindGlobalNullItem() : Item();
        std::size_t const l_count = l_entry.second.size();
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            Item const& l_item = l_entry.second[l_at];
            if (l_at + PREFETCH_DISTANCE < l_count)
                l_indexes.Prefetch(l_entry.second[l_at + PREFETCH_DISTANCE].Body());
            l_indexes.Insert(l_item.Body(), l_next++);
            bool const l_ok = l_null ? l_out.WriteBool(!l_flag.IsNull() && l_item.Body() == l_flag.Body())
                                     : l_out.WriteRaw(l_item.GetValue().Bytes());
            if (!l_ok)
                throw DataSaveFailure("cannot write an item");
        }
    }

    // Each pair of related types is walked from one side only, the one with
    // fewer items, which is the cheaper walk (a relation of a type to itself
    // from both ends, keeping the lower index first), so that each link is
    // found once. Each link is recorded with its end of the larger type first.
    std::vector<std::pair<quint32, quint32>> l_found;
    for (std::size_t l_typeIndex = 0; l_typeIndex < l_types.size(); ++l_typeIndex) {
        auto const& l_entry = l_types[l_typeIndex];
        std::vector<std::string> l_relatedNames;
        std::vector<bool> l_selfRelated;
        for (Type::Relation const& l_relation : l_entry.first->GetRelations()) {
            auto const l_other = std::find_if(l_types.begin(), l_types.end(), [&l_relation](auto const& i_type) {
                return i_type.first == l_relation.mp_other;
            });
            if (l_other == l_types.end())
                continue; // not in the file
            bool const l_self = l_relation.mp_other == l_entry.first;
            std::size_t const l_position = std::size_t(l_other - l_types.begin());
            std::size_t const l_here = l_entry.second.size();
            std::size_t const l_there = l_other->second.size();
            // Ties go to the type that comes first in the file.
            if (l_self || l_here < l_there || (l_here == l_there && l_typeIndex < l_position)) {
                l_relatedNames.push_back(l_relation.mp_other->GetName());
                l_selfRelated.push_back(l_self);
            }
        }
        std::size_t const l_count = l_entry.second.size();
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            Item const& l_item = l_entry.second[l_at];
            if (l_at + PREFETCH_DISTANCE < l_count)
                l_indexes.Prefetch(l_entry.second[l_at + PREFETCH_DISTANCE].Body());
            quint32 l_own = 0;
            l_indexes.Find(l_item.Body(), l_own);
            for (std::size_t l_relation = 0; l_relation < l_relatedNames.size(); ++l_relation) {
                ItemSet const l_linkedItems = l_item.GetItems(l_relatedNames[l_relation].c_str());
                for (Item const& l_linked : l_linkedItems)
                    l_indexes.Prefetch(l_linked.Body());
                for (Item const& l_linked : l_linkedItems) {
                    quint32 l_other = 0;
                    if (!l_indexes.Find(l_linked.Body(), l_other))
                        continue;
                    if (l_selfRelated[l_relation] && l_other <= l_own)
                        continue;
                    l_found.emplace_back(l_other, l_own);
                }
            }
        }
    }
    // The file lists the links grouped by their end of the larger type, in
    // creation order (a counting sort). Those items lie in memory in about
    // that order, so the load, which must touch both ends of every link,
    // reads the many in sequence while the few stay in the cache.
    std::vector<quint32> l_starts(std::size_t(l_total) + 1, 0);
    for (auto const& l_link : l_found)
        ++l_starts[l_link.first + 1];
    for (std::size_t l_index = 1; l_index < l_starts.size(); ++l_index)
        l_starts[l_index] += l_starts[l_index - 1];
    l_out.WriteU64(l_found.size());
    // Scattered straight into the file image.
    quint64 const l_linkBase = l_out.Size();
    l_out.Reserve(l_linkBase + 8 * quint64(l_found.size()));
    char* lp_links = l_out.mp_buffer->m_bytes.data() + l_linkBase;
    for (auto const& l_link : l_found) {
        char* lp_slot = lp_links + 8 * std::size_t(l_starts[l_link.first]++);
        qToLittleEndian(l_link.first, lp_slot);
        qToLittleEndian(l_link.second, lp_slot + 4);
    }
    l_out.mp_buffer->m_writeIndex = l_linkBase + 8 * quint64(l_found.size());
    std::vector<std::pair<quint32, quint32>>().swap(l_found);
    std::vector<quint32>().swap(l_starts);

    quint64 const l_length = l_out.Size() - HEADER_SIZE;
    MemStream l_head;
    l_head.WriteBuffer(MAGIC, 8);
    l_head.WriteU32(FORMAT_VERSION);
    l_head.WriteU64(l_length);
    l_head.WriteU32(Checksum(l_out.Data() + HEADER_SIZE, l_length));
    std::memcpy(l_out.mp_buffer->m_bytes.data(), l_head.Data(), HEADER_SIZE);

    return l_out;
}

void DataSaver::WriteFile(QString const& i_path)
{
    std::size_t l_oversize = 0;
    MemStream const l_image = BuildImage(l_oversize);
    LogOversize(l_oversize);
    std::string const l_error = WriteImage(QFile::encodeName(i_path).toStdString(), l_image.Data(), l_image.Size());
    if (!l_error.empty())
        throw DataSaveFailure(l_error);
}

QString DataSaver::NextPath(QString const& i_base)
{
    auto const l_existing = ListDataFiles(i_base);
    // Names must sort in save order even when the clock went back, or the
    // new file would be pruned, or an older one loaded first; and above any
    // name given before, so that a copy stopped while it renamed its file
    // can only ever add an older one.
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
    auto const l_files = ListDataFiles(i_base);
    for (std::size_t l_index = KEPT_FILES; l_index < l_files.size(); ++l_index)
        if (l_files[l_index].second != i_kept)
            QFile::remove(l_files[l_index].second);
    // A temporary file left by a copy that was killed with the program
    // (the program itself killed) or stopped by us; not the one of a copy
    // still at work.
    QFileInfo const l_base(i_base);
    QDir const l_folder = l_base.absoluteDir();
    QString const l_busy = mp_background ? QFileInfo(mp_background->m_path).fileName() + ".saving" : QString();
    for (QString const& l_name : l_folder.entryList(QStringList(l_base.fileName() + ".*.saving"),
                                                    QDir::Files | QDir::Hidden | QDir::System)) {
        QString const l_stamp = l_name.mid(l_base.fileName().size() + 1).chopped(7);
        bool l_digits = !l_stamp.isEmpty();
        for (QChar const l_c : l_stamp)
            l_digits = l_digits && l_c >= '0' && l_c <= '9';
        if (l_digits && l_name != l_busy)
            QFile::remove(l_folder.filePath(l_name));
    }
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
    // A copy still saving in the background is stopped: this file holds
    // the store as it stands now, newer than the copy's, and waiting for a
    // copy that hangs would hold the program. The copy's file, should it
    // still land, has the older name (NextPath).
    StopBackgroundSave();
    ReleaseReserve();
    bool l_saved = false;
    try {
        QString const l_path = NextPath(i_base);
        WriteFile(l_path);
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
// The file is built and written by a copy of the process (fork): building
// it walks every saved item and link, which held the window for a third of
// a second with 200,000 shared files, and the copy sees the store as it
// stood at the fork whatever the window does meanwhile. The copy touches
// nothing but the store's memory, the allocator and plain system calls (no
// Qt, no log, no other thread's locks), reports through a pipe and ends
// with _exit, so that nothing of the program's own shutdown runs in it.
//
// The copy dies with the thread that made it (the window's, which lives as
// long as the program): a copy that hangs must not outlive a program that
// was killed. It runs with every signal at its default: the program's
// handlers write to descriptors the copy has closed, or reused for its file.
// The window never waits for it: a copy that takes longer than its limit is
// killed, and its end is taken from the event loop like a report.


namespace {

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

// In the copy, first thing: every signal back to its default and
// unblocked (they were blocked across the fork, so that none reached a
// handler of the program's in between), and death with the parent.
void BecomeSaverCopy(pid_t i_parent)
{
    struct sigaction l_default = {};
    l_default.sa_handler = SIG_DFL;
    sigemptyset(&l_default.sa_mask);
    for (int l_signal = 1; l_signal < NSIG; ++l_signal)
        if (l_signal != SIGKILL && l_signal != SIGSTOP)
            ::sigaction(l_signal, &l_default, nullptr); // fails harmlessly for the C library's own
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t l_none;
    sigemptyset(&l_none);
    ::sigprocmask(SIG_SETMASK, &l_none, nullptr);
    // The parent may have died before the signal was asked for.
    if (::getppid() != i_parent)
        ::_exit(1);
}

} // namespace

bool DataSaver::SaveInBackground(QString const& i_base, std::function<void(bool)> i_done)
{
    if (mp_background)
        return false;
    ReleaseReserve();
    QString const l_path = NextPath(i_base);
    std::string const l_nativePath = QFile::encodeName(l_path).toStdString();
    auto const l_saveAtOnce = [this, &i_base, &i_done](int i_error) {
        LogFailure(QString("cannot start saving in the background (%1); saving at once").arg(strerror(i_error)));
        bool const l_saved = Save(i_base);
        if (i_done)
            i_done(l_saved);
        return true;
    };
    int l_pipe[2];
    if (::pipe2(l_pipe, O_CLOEXEC) != 0)
        return l_saveAtOnce(errno);
    pid_t const l_parent = ::getpid();
    sigset_t l_all, l_mask;
    sigfillset(&l_all);
    ::pthread_sigmask(SIG_SETMASK, &l_all, &l_mask);
    pid_t const l_pid = ::fork();
    int const l_forkError = errno;
    if (l_pid == 0) {
        BecomeSaverCopy(l_parent);
        // The copy holds none of the program's sockets and files: a port the
        // window closes and listens on again must not stay taken by it.
        ::close_range(3, unsigned(l_pipe[1]) - 1, 0);
        ::close_range(unsigned(l_pipe[1]) + 1, ~0u, 0);
        WriteAllTo(l_pipe[1], "r"); // the window goes on from here
        std::string l_report;
        try {
            std::size_t l_oversize = 0;
            MemStream const l_image = BuildImage(l_oversize);
            // Done with the store: while the file is written and flushed,
            // the window's writes to the store's pools are no longer copies
            // of pages the copy holds.
            ForgetPooledPages();
            WriteAllTo(l_pipe[1], "b");
            std::string const l_error = WriteImage(l_nativePath, l_image.Data(), l_image.Size());
            l_report = l_error.empty() ? "saved " + std::to_string(l_oversize) : "failed " + l_error;
        } catch (std::bad_alloc const&) {
            l_report = "failed out of memory";
        } catch (std::exception const& i_failure) {
            l_report = std::string("failed ") + i_failure.what();
        }
        WriteAllTo(l_pipe[1], l_report);
        ::_exit(0);
    }
    ::pthread_sigmask(SIG_SETMASK, &l_mask, nullptr);
    ::close(l_pipe[1]);
    if (l_pid < 0) {
        ::close(l_pipe[0]);
        return l_saveAtOnce(l_forkError);
    }
    TakeReserve();
    // Until the copy has closed what it inherited, a port the window closes
    // would stay taken: it says so at once (well under a millisecond).
    pollfd l_ready{l_pipe[0], POLLIN, 0};
    char l_byte = 0;
    while (::poll(&l_ready, 1, 1000) < 0 && errno == EINTR) {
    }
    if (l_ready.revents & POLLIN)
        while (::read(l_pipe[0], &l_byte, 1) < 0 && errno == EINTR) {
        }
    mp_background.reset(new Background);
    mp_background->m_pid = l_pid;
    mp_background->m_fd = l_pipe[0];
    mp_background->m_base = i_base;
    mp_background->m_path = l_path;
    mp_background->m_done = std::move(i_done);
    ::fcntl(l_pipe[0], F_SETFL, ::fcntl(l_pipe[0], F_GETFL) | O_NONBLOCK);
    mp_background->mp_notifier.reset(new QSocketNotifier(l_pipe[0], QSocketNotifier::Read));
    QObject::connect(mp_background->mp_notifier.get(), &QSocketNotifier::activated,
                     [this]() { ReadBackgroundReport(); });
    mp_background->mp_limit.reset(new QTimer);
    mp_background->mp_limit->setSingleShot(true);
    QObject::connect(mp_background->mp_limit.get(), &QTimer::timeout, [this]() {
        Kill(QString("the saving process took longer than %1 s and was stopped").arg(m_backgroundLimitMs / 1000.0));
    });
    mp_background->mp_limit->start(m_backgroundLimitMs);
    return true;
}

bool DataSaver::IsSavingInBackground() const
{
    return mp_background != nullptr;
}

bool DataSaver::BackgroundImageBuilt()
{
    if (!mp_background)
        return false;
    if (!mp_background->m_built && mp_background->mp_notifier)
        ReadBackgroundReport();
    return mp_background && mp_background->m_built;
}

qint64 DataSaver::BackgroundSaverId() const
{
    return mp_background ? qint64(mp_background->m_pid) : -1;
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
            mp_background->m_built =
                mp_background->m_report.startsWith("b") || mp_background->m_report.startsWith("rb");
            continue;
        }
        if (l_read < 0 && errno == EINTR)
            continue;
        if (l_read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // more to come
        break; // the copy has closed its end: it is ending
    }
    mp_background->mp_notifier.reset();
    mp_background->mp_limit.reset();
    Reap();
}

void DataSaver::Reap()
{
    // The copy closes its end of the pipe only as it ends, after its memory
    // has gone: what is left of its ending takes microseconds.
    int l_status = 0;
    pid_t l_reaped = 0;
    while ((l_reaped = ::waitpid(mp_background->m_pid, &l_status, 0)) < 0 && errno == EINTR) {
    }
    // The copy's first byte, when the wait for it at the start gave up, and
    // its word that the image was built.
    while (mp_background->m_report.startsWith('r') || mp_background->m_report.startsWith('b'))
        mp_background->m_report.remove(0, 1);
    bool const l_ended = l_reaped > 0 && WIFEXITED(l_status) && WEXITSTATUS(l_status) == 0;
    FinishBackground(l_ended, mp_background->m_stopReason.isEmpty() ? QString::fromLocal8Bit(mp_background->m_report)
                                                                    : mp_background->m_stopReason);
}

void DataSaver::FinishBackground(bool i_ended, QString const& i_report)
{
    std::unique_ptr<Background> lp_background(mp_background.release());
    lp_background->mp_notifier.reset();
    lp_background->mp_limit.reset();
    ::close(lp_background->m_fd);
    bool l_saved = false;
    if (lp_background->m_superseded) {
        // Stopped for a save made at once, which said how it went.
        QFile::remove(lp_background->m_path + ".saving");
        return;
    }
    if (i_ended && i_report.startsWith("saved ")) {
        l_saved = true;
        m_lastFailure.clear();
        LogOversize(i_report.mid(6).toULongLong());
        Prune(lp_background->m_base, lp_background->m_path);
    } else {
        LogFailure(i_report.startsWith("failed ") ? i_report.mid(7)
                   : i_report.isEmpty()           ? QString("the saving process ended abnormally")
                                                  : i_report);
        QFile::remove(lp_background->m_path + ".saving");
    }
    if (lp_background->m_done)
        lp_background->m_done(l_saved);
}

void DataSaver::Kill(QString const& i_reason)
{
    if (!mp_background || !mp_background->m_stopReason.isEmpty())
        return;
    mp_background->m_stopReason = i_reason;
    mp_background->mp_limit.reset();
    // Its end comes as the end of its pipe, in the event loop.
    ::kill(mp_background->m_pid, SIGKILL);
}

void DataSaver::StopBackgroundSave()
{
    if (!mp_background || mp_background->m_superseded)
        return;
    // A copy that has already reported is taken as it is.
    if (mp_background->mp_notifier) {
        ReadBackgroundReport();
        if (!mp_background || mp_background->m_superseded)
            return;
    }
    if (mp_background->m_stopReason.isEmpty())
        Kill("stopped for a save made at once");
    // The save made now answers for it.
    mp_background->m_superseded = true;
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
