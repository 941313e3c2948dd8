#ifndef QUILLMAR_STORE_DATASAVERINTERNALS_H
#define QUILLMAR_STORE_DATASAVERINTERNALS_H

// What the data file's own files share and nobody else sees: the format's
// constants and checksum, and the parts that put a checked file into the
// store, and the load that tries the files in turn. Included only by the files DataSaver.cpp names in its header
// comment; callers use store/DataSaver.h.

#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/SlicedWork.h"

#include <QObject>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace DataSaverInternals {

char const* const LOG_CATEGORY = "Configuration Data";
char const MAGIC[8] = {'Q', 'M', 'A', 'R', 'D', 'A', 'T', 'A'};
quint32 const FORMAT_VERSION = 1;
int const HEADER_SIZE = 8 + 4 + 8 + 4;

std::size_t const PREFETCH_DISTANCE = 32;

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

    // Before i_a += i_b.
    void BeforeLink(Item const& i_a, Item const& i_b);

    // Removes the items made since, newest first, and puts the links of the
    // older ones back as they were. A handler that throws again stops
    // nothing but its own step.
    void Undo();

private:
    // i_holder, on a One side, is about to give up its link of i_new's type.
    void NoteReplaced(Item const& i_holder, Item const& i_new);

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

    // Makes up to i_work items or links; false once the whole file is in.
    // A failure (memory, an observer that throws) leaves the journal to
    // take out what was made.
    bool Step(std::size_t i_work);

    // Items and links put in (or skipped), against all of them.
    std::size_t Done() const { return m_index + m_linkAt; }
    std::size_t Total() const { return m_items.size() + m_file.m_links.size(); }

private:
    // Items of the current file type, up to i_work; how many.
    std::size_t MakeItems(std::size_t i_work);

    void MakeLinks(std::size_t i_work);

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

} // namespace DataSaverInternals

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
