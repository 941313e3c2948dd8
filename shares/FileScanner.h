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

#include <map>
#include <set>
#include <vector>

// One entry of a folder listing, as every scan sees it: hidden entries,
// symbolic links, special files and names that do not decode in the
// system's encoding are left out.
struct FolderEntry
{
    QString m_name;
    QString m_path;      // absolute: the listed folder's path as given, "/", the name
    bool m_isFolder = false;
    qint64 m_size = 0;   // files only
};

class FileScanner : public QObject
{
    Q_OBJECT
public:
    // File name to size in bytes.
    typedef std::map<QString, qint64> FileSizes;
    // Folder path to its files; a folder without files still has its entry.
    typedef std::map<QString, FileSizes> FolderFiles;
    // Root folder to the folders found under it (the root included).
    typedef std::map<QString, FolderFiles> ScanResult;

    explicit FileScanner(QObject* ip_parent = nullptr);

    // GUI thread: makes any scan or analysis stop at its next check.
    void Quit();
    bool IsQuitting() const;

    // GUI thread, after FoldersScanned(): hands over the result of the scan
    // and leaves the scanner's copy empty.
    ScanResult TakeResult();

    // The listing used by both kinds of scan, in name order. A folder that
    // cannot be read lists nothing.
    static std::vector<FolderEntry> ListFolder(QString const& i_folder);
    // The same listing split into its files and the paths of its subfolders.
    static FileSizes ListFolderFiles(QString const& i_folder, std::vector<QString>& o_subfolders);

    // Scanner thread: walks one folder of a root, depth first, into the result.
    void ScanFolder(QString const& i_root, QString const& i_folder, std::set<QString>& io_visited);

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
    void ScanFolders(QStringList i_folders);
    void OnMP3ScanRequired(QString i_file);
    // The files of one scan pass, analysed in order (one queued call rather
    // than one per file: a large share holds tens of thousands of MP3 files).
    void OnMP3ScansRequired(QStringList i_files);

private:
    ScanResult m_result;
    bool m_quit = false;
    // Guards the quit flag, and the result while it is handed over.
    mutable QMutex m_mutex;
};

#endif
