#ifndef QUILLMAR_SHARES_FILESCANNER_H
#define QUILLMAR_SHARES_FILESCANNER_H

// The disk side of the share index. A FileScanner lives on the scanner
// thread: it walks folders for the start-up scan and analyses MP3 files, and
// it never touches the store. Its results go back to the GUI thread by
// queued signals.

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <vector>

class FileScanner : public QObject
{
    Q_OBJECT
public:
    // A folder's files, in name order, with their sizes in bytes. A sorted
    // list rather than a map: a large share has a million of them, and the
    // walk costs little more than the system calls it makes.
    typedef std::vector<std::pair<QString, qint64>> FileSizes;
    // Folder path to its files; a folder without files still has its entry.
    typedef std::map<QString, FileSizes> FolderFiles;
    // Root folder to the folders found under it (the root included).
    typedef std::map<QString, FolderFiles> ScanResult;

    explicit FileScanner(QObject* ip_parent = nullptr);

    // GUI thread: makes any scan or analysis stop at its next check.
    void Quit();
    bool IsQuitting() const;

    // GUI thread, after FoldersScanned(): hands over the result of the scan
    // and leaves the scanner's copy empty; op_files: how many files it holds
    // (counted as the walk went: a million files' folders took 40 ms to
    // count on the GUI thread).
    ScanResult TakeResult(std::size_t* op_files = nullptr);

    // Any thread: the MP3 analyses asked for and neither made nor dropped.
    std::size_t PendingMP3Count() const { return m_mp3Pending.load(std::memory_order_relaxed); }

    // Folders by (device, inode): how a walk knows a folder it has met
    // already, under whatever path (a bind mount of a folder inside itself
    // would otherwise be walked for ever). One flat table: the nodes of a
    // hash set lie scattered among the names the walk allocates, a cache
    // miss or two for every folder.
    class VisitedFolders
    {
    public:
        // False when the folder was met already.
        bool Insert(quint64 i_device, quint64 i_inode);
        // Counts the folder as met, so that no walk enters it under any path
        // (the folder of partial downloads). A path that leads to no folder
        // (the empty one included) counts nothing.
        void Exclude(QString const& i_folder);

    private:
        typedef std::pair<quint64, quint64> Id;
        std::vector<Id> m_slots; // (0, 0): free
        std::size_t m_used = 0;
        bool m_hasZero = false; // (0, 0) itself, which marks free slots
    };
    // Called for every folder of a walk with its path and its files (which
    // it may take); false ends the walk.
    typedef std::function<bool(QString const& i_folder, FileSizes& io_files)> FolderVisitor;

    // The walk of both kinds of scan: i_start and every folder under it,
    // each before its subfolders, subfolders in name order. Only regular
    // files and folders count; hidden entries, symbolic links, special
    // files and names that do not decode in the system's encoding are left
    // out. Folders are opened by descriptor relative to their parent and
    // never through a symbolic link, so a folder swapped for a link while
    // the walk runs leads nowhere (and is left out); i_start itself is
    // opened by its path. A folder met already in io_visited is skipped.
    // A folder that cannot be read is visited with no files. A path is the
    // parent's path as given, "/", the name (a relative start is made
    // absolute first): a subfolder is scanned only when its path begins
    // with its root's, so "/a//b" or "/a/./b" must not be cleaned into "/a/b".
    static void WalkFolders(QString const& i_start, VisitedFolders& io_visited, FolderVisitor const& i_visit);

    // Scanner thread: walks one folder of a root, depth first, into the result.
    void ScanFolder(QString const& i_root, QString const& i_folder, VisitedFolders& io_visited);

    // Counts the MPEG audio frame headers of a file and derives its version,
    // channel mode, sampling-frequency index and (average) bitrate. False
    // when the file gives no usable Layer III result; the outputs other than
    // the bitrate (set to -1 on entry) are written only on success.
    bool ScanMP3(QString const& i_path, int& o_mpegVersion, QString& o_channelMode, int& o_frequency, bool& o_isVBR,
                 int& o_bitrate);

signals:
    void FoldersScanned();
    void MP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                    int i_bitrate);

public slots:
    // Walks each root into the result, then emits FoldersScanned. Neither
    // walk enters i_notShared (see VisitedFolders::Exclude).
    void ScanFolders(QStringList i_folders, QString i_notShared = QString());
    // Walks one folder of a root (and its subfolders) into the result, then
    // emits FoldersScanned.
    void ScanFolderOfRoot(QString i_root, QString i_folder, QString i_notShared = QString());
    void OnMP3ScanRequired(QString i_file);
    // Files of a scan pass, analysed in order: their paths in the system's
    // encoding (QFile::encodeName), each ended by a NUL byte. One queued
    // call for many rather than one per file (a large share holds tens of
    // thousands of MP3 files), and one block rather than a string each: a
    // million strings made on the GUI thread and freed here piled up in the
    // GUI thread's heap, whose small allocations then held it for 40 ms at
    // a time.
    void OnMP3ScansRequired(QByteArray i_files);
    // Drops the analyses still due of the files directly in these folders
    // (a file's folder is its path up to its last "/"), given as the paths
    // above are: they are shared no more, and a share's queue holds a
    // hundred megabytes of paths.
    void OnMP3ScansDropped(QByteArray i_folders);

private:
    // Analyses the files due for about MP3_RUN_MS, then goes on in a queued
    // call of its own.
    void AnalyseDueMP3s();
    static constexpr qint64 MP3_RUN_MS = 100;

    ScanResult m_result;
    std::size_t m_resultFiles = 0;
    // Blocks of paths as OnMP3ScansRequired takes them; the next path
    // starts at m_mp3DueAt of the first block.
    std::deque<QByteArray> m_mp3Due;
    int m_mp3DueAt = 0;
    std::atomic<std::size_t> m_mp3Pending{0};
    bool m_mp3RunQueued = false;
    bool m_quit = false;
    // Guards the quit flag, and the result while it is handed over.
    mutable QMutex m_mutex;
};

#endif
