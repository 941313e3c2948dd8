#ifndef QUILLMAR_STORE_DATASAVER_H
#define QUILLMAR_STORE_DATASAVER_H

// Saving the store to data files and loading it back at start-up. A data
// file is named <base>.<save time in ms since the epoch>; the three newest
// are kept. The format (versioned, with a checksum) is in docs/data-file.md.
//
// Saving writes a temporary file and renames it over (so a failed save never
// harms an existing file), with owner-only permissions, since the file holds
// the account password. Loading reads the newest file that passes its
// checks, completely, before anything in the store is changed; unreadable
// files are renamed aside with ".unreadable" appended.

#include "store/Data.h"
#include "store/MemStream.h"

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class DataLoadFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class DataSaveFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Components that must wait for the loaded data. The constructor registers
// the object with the data saver (when one exists) and the destructor takes
// it out again. DataLoaded() is called once after the start-up load; NoData()
// follows it when there was no data to load.
class DataLoadedEventHandler
{
public:
    DataLoadedEventHandler();
    DataLoadedEventHandler(DataLoadedEventHandler const&) = delete;
    DataLoadedEventHandler& operator=(DataLoadedEventHandler const&) = delete;
    virtual ~DataLoadedEventHandler();

    virtual void DataLoaded() = 0;
    virtual void NoData() {}
};

class DataSaver
{
public:
    // Longest value a data file holds; the writer and the reader share it.
    static constexpr quint32 STRING_LIMIT = 64u * 1024 * 1024;
    // Data files kept by a save.
    static constexpr int KEPT_FILES = 3;

    DataSaver();
    DataSaver(DataSaver const&) = delete;
    DataSaver& operator=(DataSaver const&) = delete;
    ~DataSaver();

    void AddSavedType(std::string const& i_type);
    void AddSavedByConnectionType(std::string const& i_type, std::string const& i_connectedType);
    // Links between items of these two types are neither written nor taken
    // from a file: what they stand for is told afresh at each start (a
    // file written before, which holds them, loads without them).
    void AddUnsavedRelation(std::string const& i_type, std::string const& i_otherType);

    // Registering twice is harmless; handlers are called in the order of
    // their first registration.
    void AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);
    void RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);

    // Loads the newest readable file <stem>.<ms>, older ones when it fails,
    // then calls the handlers (DataLoaded, and NoData when nothing was
    // loaded). Only the types registered for saving are taken from it, so
    // they must be registered before the load. When files existed and none
    // could be read, the store keeps what it held, the handlers are called
    // as on a first start, and then DataLoadFailure is thrown.
    void Load(QString const& i_stem);
    // The same without holding the event loop for long: each file is read
    // and checked on a thread of its own, then put into the store in
    // slices (SlicedWork), with the event loop between them. The store
    // ends as Load leaves it. Once the handlers have been called, i_done
    // gets false when files existed and none could be read (where Load
    // throws), else true; with no file at all, before this returns.
    void LoadInSlices(QString const& i_stem, std::function<void(bool)> i_done);
    bool IsLoading() const;
    // How much of the file being put into the store is in, from 0 to 1.
    double LoadProgress() const;
    // Ends a load in slices here and now, its handlers and i_done included.
    void FinishLoading();
    // The most handles to loaded items that one step of a load let go of
    // since the last call: a load in slices lets go of them a step's work
    // (4,096) at a time once its file is in.
    static std::size_t MostItemsLetGoInALoadStep();

    // Writes the saved types to <base>.<ms>, then keeps only the newest
    // three data files. A failure is logged and leaves every file as it was;
    // it is reported through the result only. A save still running in the
    // background is stopped first (this file is the newer), and its handler
    // gets this save's result.
    bool Save(QString const& i_base);

    // The same without holding the event loop (DataBackgroundSave.cpp): the
    // store is read in slices, and the file is written by a thread of its
    // own. The file holds the store as it stands when the last slice runs,
    // whatever changed between the slices. i_done gets the result from the
    // event loop. False, and nothing started, while one is still running.
    // One that takes longer than the limit (a minute) is given up and
    // counts as failed; the window never waits for it.
    bool SaveInBackground(QString const& i_base, std::function<void(bool)> i_done = {});
    bool IsSavingInBackground() const;
    void SetBackgroundSaveLimit(int i_msecs);
    // Whether the store has been read for the file (it is then being
    // written); false when none runs.
    bool BackgroundImageBuilt() const;
    // Why the last save failed; empty once one has succeeded.
    QString LastFailure() const;
    // The log category of the saves' lines.
    static QString LogCategory();
    // Called just before a background save's file is written, on the
    // thread that writes it (the window's, when no thread could be had):
    // tests hold the writer with it.
    static void SetWriteHook(std::function<void()> i_hook);

    // Descriptors kept for the saves alone, given back around each one.
    static constexpr int RESERVED_DESCRIPTORS = 4;

    // The data files of a stem or base, newest first.
    static std::vector<std::pair<quint64, QString>> ListDataFiles(QString const& i_stem);

private:
    struct Background;
    struct Loading;

    std::unique_ptr<Loading> BeginLoading(QString const& i_stem);
    void ReadNextFile();
    void OnFileRead();
    void EndLoading(bool i_loaded, bool i_noData);

    QString NextPath(QString const& i_base);
    void Prune(QString const& i_base, QString const& i_kept);
    static void LogOversize(std::size_t i_count);
    void LogFailure(QString const& i_reason);
    void ReleaseReserve();
    void TakeReserve();
    bool GatherStep();
    void OnGathered();
    void ReadBackgroundReport();
    void FinishBackground(QString const& i_report);
    void GiveUp();
    // Stops a background save still at work for a save made at once.
    void StopBackgroundSave();
    void CallStoppedHandler(bool i_saved);
    void CallHandlers(bool i_noData);

    std::vector<std::string> m_savedTypes;
    std::vector<std::pair<std::string, std::string>> m_savedByConnection;
    std::vector<std::pair<std::string, std::string>> m_unsavedRelations;
    std::vector<DataLoadedEventHandler*> m_handlers;
    std::unique_ptr<Background> mp_background;
    std::unique_ptr<Loading> mp_loading;
    int m_backgroundLimitMs = 60000;
    quint64 m_lastStamp = 0;
    QString m_lastFailure;
    std::vector<int> m_reserve;
    // Handlers of background saves stopped for a save made at once.
    std::vector<std::function<void(bool)>> m_stopped;
};

extern DataSaver* dataSaver;

// A data file read completely and checked, not yet applied to the store.
struct DataFileContents
{
    struct FileType
    {
        std::string m_name;
        bool m_isNull = false;
        quint32 m_count = 0;
    };
    std::vector<FileType> m_types;
    std::vector<std::string> m_values; // per item; empty for null items
    std::vector<quint8> m_sharedNull;  // per item: the type's flag item
    std::vector<std::pair<quint32, quint32>> m_links;
};

// Checks and reads a whole data file (header included) from the stream's
// read position: magic, version, exact length, checksum, then every count
// and index against the bytes that are left. False, with the reason, when a
// check fails. Touches nothing but its arguments.
bool ParseDataFile(MemStream& io_image, DataFileContents& o_contents, QString& o_error);

#endif
