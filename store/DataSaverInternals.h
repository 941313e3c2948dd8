#ifndef QUILLMAR_STORE_DATASAVERINTERNALS_H
#define QUILLMAR_STORE_DATASAVERINTERNALS_H

// What the data file's own files share and nobody else sees: the format's
// constants and checksum, the parts that put a checked file into the store,
// what gathering reads from the store and the gatherer, the file composed
// of it and its writing, and the state of a background save and of a load.
// Included only by DataSaver.cpp and the files its header comment names;
// callers use store/DataSaver.h.

#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/SlicedWork.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <sys/mman.h>

struct ItemBody;

namespace DataSaverInternals {

char const* const LOG_CATEGORY = "Configuration Data";
char const MAGIC[8] = {'Q', 'M', 'A', 'R', 'D', 'A', 'T', 'A'};
quint32 const FORMAT_VERSION = 1;
int const HEADER_SIZE = 8 + 4 + 8 + 4;

std::size_t const PREFETCH_DISTANCE = 32;

// Frees large data of a load or a save on a thread of its own, which ends
// once that is done: the pages of tens of megabytes given back to the
// system, and millions of strings looked at, are milliseconds the window
// need not wait for. Here, when no thread can be had.
template <class Garbage>
void FreeOnAThread(Garbage&& io_garbage)
{
    auto lp_garbage = std::make_unique<Garbage>(std::move(io_garbage));
    try {
        std::thread([lp_left = std::move(lp_garbage)]() mutable { lp_left.reset(); }).detach();
    } catch (std::system_error const&) {
        // Freed here, as the thread that was not made goes.
    }
}

// i_crc: the checksum of the bytes before these.
quint32 Checksum(char const* ip_data, quint64 i_length, quint32 i_crc = 0);

// Reads the whole file into o_image, which is sized for it first
// (DataFileRead.cpp).
bool ReadFile(QString const& i_path, MemStream& o_image, QString& o_error);

// ------------------------------------------------------------ applying a file (DataFileApply.cpp)

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

    // Before i_a += i_b. Inline, as are the applier's and the gatherer's
    // steps marked so, for the one file that calls it (DataFileApply.cpp):
    // it runs for every link of a file.
    inline void BeforeLink(Item const& i_a, Item const& i_b);

    // Removes the items made since, newest first, and puts the links of the
    // older ones back as they were. A handler that throws again stops
    // nothing but its own step.
    void Undo();

private:
    // i_holder, on a One side, is about to give up its link of i_new's type.
    inline void NoteReplaced(Item const& i_holder, Item const& i_new);

    struct Change
    {
        Item m_a;
        Item m_b;
        bool m_made; // else dropped
    };
    std::uint64_t const m_firstNew;
    std::vector<Change> m_links;
};

// Puts a checked file into the store, in steps of bounded work (a start
// in slices takes a step at a time, with the event loop between) or all at
// once; the store ends the same either way. Items of undeclared types (or
// of a type whose kind changed) are skipped, and so are links of undeclared
// relations. So are items of types that are never saved: rows, sockets,
// threads and cells are keyed by the addresses of this run's objects, and a
// file that holds such items was not written by us.
class FileApplier
{
public:
    FileApplier(DataFileContents& io_file, std::vector<std::string> i_savedTypes, LoadJournal& io_journal);
    FileApplier(FileApplier const&) = delete;
    FileApplier& operator=(FileApplier const&) = delete;
    ~FileApplier();

    // Makes up to i_work items or links, then lets go of as many of its
    // handles to the items made; false once the whole file is in and none
    // is left. A failure (memory, an observer that throws) leaves the
    // journal to take out what was made.
    bool Step(std::size_t i_work);

    // Items and links put in (or skipped), against all of them.
    std::size_t Done() const { return m_index + m_linkAt; }
    std::size_t Total() const { return m_items.size() + m_file.m_links.size(); }

private:
    // Items of the current file type, up to i_work; how many.
    inline std::size_t MakeItems(std::size_t i_work);

    // Up to i_work links; how many.
    inline std::size_t MakeLinks(std::size_t i_work);
    // Up to i_work of the handles to the items made; false once none is
    // left.
    bool LetGoOfItems(std::size_t i_work);

    DataFileContents& m_file;
    std::vector<std::string> const m_savedTypes;
    LoadJournal& m_journal;
    std::vector<Item> m_items;
    std::size_t m_fileType = 0; // the file's type being made
    std::size_t m_inType = 0;   // its items made so far
    Type* mp_type = nullptr;    // its type in the store
    std::size_t m_index = 0;    // the next item
    std::size_t m_linkAt = 0;   // the next link
    std::size_t m_skipped = 0;
    std::size_t m_skippedLinks = 0;
};

// Takes out of a checked file the links between items of the named pairs of
// types, before it is applied.
void DropUnsavedLinks(DataFileContents& io_file, std::vector<std::pair<std::string, std::string>> const& i_unsaved);

// ------------------------------------------------------------ gathering (DataGather.cpp)

typedef std::pair<ItemBody*, ItemBody*> BodyPair;

// Large blocks come straight from the system and go back to it when freed.
// From the C library's allocator, the thread that composes kept some 60 MB
// at a million files for good (the top of a thread's heap is given back
// only above a threshold that the share's large blocks had raised), and the
// window's heap would keep holes.
template <class T>
struct SystemAllocator
{
    typedef T value_type;
    static constexpr std::size_t LARGE = std::size_t(256) << 10;

    SystemAllocator() = default;
    template <class U>
    SystemAllocator(SystemAllocator<U> const&)
    {
    }
    T* allocate(std::size_t i_count)
    {
        std::size_t const l_bytes = i_count * sizeof(T);
        void* lp_block = l_bytes < LARGE ? std::malloc(l_bytes)
                                         : ::mmap(nullptr, l_bytes, PROT_READ | PROT_WRITE,
                                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (!lp_block || lp_block == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T*>(lp_block);
    }
    void deallocate(T* ip_block, std::size_t i_count)
    {
        std::size_t const l_bytes = i_count * sizeof(T);
        if (l_bytes < LARGE)
            std::free(ip_block);
        else
            ::munmap(ip_block, l_bytes);
    }
    bool operator==(SystemAllocator const&) const { return true; }
    bool operator!=(SystemAllocator const&) const { return false; }
};

template <class T>
using LargeVector = std::vector<T, SystemAllocator<T>>;

// Values copied out of the store, in blocks that never move: a vector that
// grew would copy tens of megabytes in one step.
class ValueArena
{
public:
    char const* Add(std::string_view i_bytes)
    {
        if (i_bytes.empty())
            return nullptr;
        if (m_blocks.empty() || m_used + i_bytes.size() > m_blocks.back().size()) {
            m_blocks.emplace_back(std::max(BLOCK, i_bytes.size()));
            m_used = 0;
        }
        char* const lp_at = m_blocks.back().data() + m_used;
        std::memcpy(lp_at, i_bytes.data(), i_bytes.size());
        m_used += i_bytes.size();
        return lp_at;
    }

private:
    static constexpr std::size_t BLOCK = std::size_t(1) << 20;
    std::vector<LargeVector<char>> m_blocks;
    std::size_t m_used = 0;
};

// Links and changes gathered, in blocks for the same reason.
template <class T>
class Blocks
{
public:
    void Add(T const& i_entry)
    {
        if (m_blocks.empty() || m_blocks.back().size() == BLOCK) {
            m_blocks.emplace_back();
            m_blocks.back().reserve(BLOCK);
        }
        m_blocks.back().push_back(i_entry);
        ++m_size;
    }
    std::size_t Size() const { return m_size; }
    std::vector<LargeVector<T>>& Parts() { return m_blocks; }

private:
    static constexpr std::size_t BLOCK = std::size_t(1) << 16;
    std::vector<LargeVector<T>> m_blocks;
    std::size_t m_size = 0;
};

struct GatheredItem
{
    ItemBody* mp_body; // compared, never read, once gathering is over
    std::uint64_t m_key;
    char const* mp_value;
    std::uint32_t m_length;
    bool m_oversize;
};

// What gathering leaves for composing: nothing in it is read from the store.
struct Gathered
{
    struct FileType
    {
        std::string m_name;
        bool m_isNull = false;
        ItemBody* mp_flag = nullptr;       // the shared item of a valueless type
        LargeVector<GatheredItem> m_items; // in creation order
    };
    struct ItemChange
    {
        GatheredItem m_item;
        std::size_t m_type;
        bool m_inFile;
    };
    struct LinkChange
    {
        BodyPair m_link; // the lower body first
        bool m_made;
    };
    std::vector<FileType> m_types;
    ValueArena m_values;
    // Links of items of the file's types; more than once each, or of items
    // that are not in the file, is harmless.
    Blocks<BodyPair> m_links;
    // What changed while gathering, in order: the last word on each item
    // (by its key, never given twice) and on each link is the one that
    // counts. Noted as they come, sorted out by the composer.
    Blocks<ItemChange> m_itemChanges;
    Blocks<LinkChange> m_linkChanges;
};

// Reads the store for a file, a step at a time (see DataGather.cpp). Without
// watching it, its steps must follow one another with no change between.
class FileGatherer : public DataHandler
{
public:
    FileGatherer(std::vector<std::string> const& i_savedTypes,
                 std::vector<std::pair<std::string, std::string>> const& i_byConnection,
                 std::vector<std::pair<std::string, std::string>> const& i_unsaved, bool i_watch);
    FileGatherer(FileGatherer const&) = delete;
    FileGatherer& operator=(FileGatherer const&) = delete;
    ~FileGatherer() override;

    // One step; false once the gathering is over.
    bool Step();
    // The store was reset under it (a test's store; the program's never
    // is): what it gathered means nothing.
    bool StoreWasReset() const { return *mp_reset; }
    // How many changes it has noted, and how much it has gathered.
    std::size_t Changes() const
    {
        return m_gathered.m_itemChanges.Size() + m_gathered.m_linkChanges.Size() + m_removed.size();
    }
    std::size_t GatheredCount() const { return m_gatheredItems + m_gathered.m_links.Size(); }
    Gathered& Result() { return m_gathered; }

private:
    // A store event handler that notes it when the store drops it (a
    // reset) while the gatherer still listens.
    template <class Arg>
    class Watch;

    // A related type whose links an item's walk notes.
    struct Walked
    {
        std::uint16_t m_index;
        bool m_self;
    };
    struct Entry
    {
        Type* mp_type;
        std::uint16_t m_index;
        bool m_whole;                    // saved whole, else by connection
        std::vector<Type*> m_connected;  // for a type saved by connection
        std::vector<Walked> m_walked;    // the relations walked from this side
        std::vector<Walked> m_related;   // every relation to a type of the file
    };
    enum class Stage { LIST, WALK, JOINED };

    // The entry of the type of a body, or null when it is not in the file.
    inline Entry* EntryOf(ItemBody const* ip_body);
    bool InFile(Entry const& i_entry, ItemBody const* ip_body) const;
    GatheredItem Take(Entry const& i_entry, ItemBody* ip_body);
    void List();
    void PlanWalk();
    bool Note(ItemBody* ip_body, std::vector<Walked> const& i_walked, std::size_t& io_budget);
    void Walk();
    void WalkJoined();

    void OnNewItem(Item i_item);
    void OnRemovedItem(Item i_item);
    void OnLinked(ConnectionInfo& i_link) { OnLink(i_link, true); }
    void OnUnlinked(ConnectionInfo& i_link) { OnLink(i_link, false); }
    void OnLink(ConnectionInfo& i_link, bool i_made);
    void Joins(Entry& i_entry, ItemBody* ip_body, ItemBody* ip_partner, bool i_made);
    bool Unsaved(Type const* ip_a, Type const* ip_b) const
    {
        return std::any_of(m_unsaved.begin(), m_unsaved.end(), [ip_a, ip_b](auto const& i_pair) {
            return (i_pair.first == ip_a && i_pair.second == ip_b) || (i_pair.first == ip_b && i_pair.second == ip_a);
        });
    }

    std::shared_ptr<bool> mp_reset = std::make_shared<bool>(false);
    std::vector<Entry> m_entries; // in file order
    std::vector<std::pair<Type const*, Type const*>> m_unsaved; // relations whose links stay out
    std::vector<std::size_t> m_position; // by type index: entry + 1, or 0
    std::uint64_t m_firstNew;            // the serial of the first item made since the start
    Gathered m_gathered;
    std::size_t m_gatheredItems = 0;
    Stage m_stage = Stage::LIST;
    std::size_t m_entry = 0;
    std::size_t m_item = 0;
    std::size_t m_relation = 0;
    std::uint64_t m_from = 0; // the key to go on from
    // The bodies of items of the file's types removed meanwhile, kept until
    // the gathering ends: the walk may still come to them, and no new item
    // may take their place in memory (a link noted by bodies would then be
    // another's).
    std::vector<ItemBody*> m_removed;
    // Items that were there before and joined meanwhile, whose older links
    // no walk saw.
    std::vector<std::pair<std::size_t, ItemBody*>> m_joined;
    std::size_t m_joinedAt = 0;
};

// ------------------------------------------------------------ composing (DataCompose.cpp)

struct FileImage
{
    LargeVector<char> m_items; // the header, the type table and the items
    LargeVector<char> m_links; // the link count and the links
};

// The file of what was gathered; io_gathered is used up on the way. Each
// link is written as the index of its item of the type with more items
// (the later type on a tie, the higher index for a type linked to itself),
// then that of the other, sorted by both: a type's items lie in memory in
// creation order, so the load, which touches both ends of every link,
// reads the many in sequence while the few stay in the cache.
FileImage ComposeImage(Gathered& io_gathered, std::size_t& o_oversize);

// ------------------------------------------------------------ writing (DataFileWrite.cpp)

// Writes a file image to <path>.saving, flushes it to the disk and renames
// it over <path>. Only system calls, so that a thread beside the window can
// do it. io_spare: a descriptor kept for this file, given up if no other is
// left for it (then -1). The reason of a failure (the path last), or nothing; a failure
// leaves no file behind.
std::string WriteImage(std::string const& i_path, FileImage const& i_image, int& io_spare);

} // namespace DataSaverInternals

// ------------------------------------------------------------ the background save (DataBackgroundSave.cpp)

// A save in the background, from its first slice of gathering until its
// thread has reported.
struct DataSaver::Background
{
    QString m_base;
    QString m_path;
    std::function<void(bool)> m_done;
    std::unique_ptr<QTimer> mp_limit;
    // While the store is gathered.
    std::unique_ptr<DataSaverInternals::FileGatherer> mp_gatherer;
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

// ------------------------------------------------------------ the load (DataLoad.cpp)

// A load, from the stem's newest file to its oldest until one goes in:
// each file is read and checked (on a thread of its own for a load in
// slices), then put into the store step by step. A file that fails, in
// either part, is set aside and the next older one tried.
struct DataSaver::Loading
{
    // Items or links a step of a load in slices puts in: a few
    // milliseconds' worth.
    static constexpr std::size_t STEP = 4096;

    std::vector<std::pair<quint64, QString>> m_files;
    std::size_t m_at = 0;
    std::vector<std::string> m_savedTypes;
    std::vector<std::pair<std::string, std::string>> m_unsavedRelations;
    // The file being read, and what reading it found.
    DataFileContents m_parsed;
    QString m_error;
    bool m_read = false;
    std::thread m_reader;
    std::unique_ptr<QObject> mp_receiver; // where the reader says it is done
    // The file being put in.
    std::unique_ptr<DataSaverInternals::LoadJournal> mp_journal;
    std::unique_ptr<DataSaverInternals::FileApplier> mp_applier;
    bool m_failed = false; // putting it in failed
    SlicedWork m_slices;
    std::function<void(bool)> m_done;
    bool m_here = false; // finished here and now: files are read on this thread

    QString const& Path() const { return m_files[m_at].second; }
    // Reads and checks the current file; any thread.
    void Read();
    void BeginApplying();
    // A step of putting the file in; false once it is in or has failed.
    bool Apply(std::size_t i_work);
    // The current file failed: kept for inspection, but out of the
    // rotation (neither loaded again nor counted among the kept files, and
    // never deleted); the next one is current.
    void SetAside();
    void Loaded();
};

#endif
