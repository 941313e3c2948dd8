// Where downloads live on disk, the start of a download's thread, and what
// happens when the thread reports. Inside the engine paths use backslashes,
// as the peers write them; they become "/" right before the file system sees
// them, and only ever through GetSafeDownloadPath.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"
#include "transfers/TransferThreads.h"

#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/Utilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QtEndian>

#include <functional>

using namespace TransferItems;

namespace {

// Longest file-name component the file systems we run on accept, in bytes.
constexpr int MAX_COMPONENT_BYTES = 255;

QString ToSlashes(QString i_path)
{
    return i_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

typedef TransferQueueManager::DownloadLayout Layout;

// The download folder, backslash-separated; "\\downloading" or "\\complete"
// below it unless downloads are not split.
QString DownloadRoot(Layout const& i_layout, bool i_complete)
{
    QString l_root = QString(i_layout.m_folder).replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (i_layout.m_split)
        l_root += i_complete ? "\\complete" : "\\downloading";
    return l_root;
}

// The folder levels of the remote folder that are kept locally: the last
// subfolder_save_level + 1 components (all of them when there are fewer).
QStringList KeptRemoteComponents(Item const& i_entry)
{
    QStringList l_components = ToQString(i_entry["remote_folder"].AsStdString())
                                   .split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    int const l_keep = std::max(0, i_entry["subfolder_save_level"].AsInt()) + 1;
    if (l_components.size() > l_keep)
        l_components = l_components.mid(l_components.size() - l_keep);
    for (QString& l_component : l_components)
        l_component = TransferQueueManager::SafeLocalName(l_component);
    return l_components;
}

// A name's extension, when it has a short one (".mp3"), and the rest. A
// final dot is no extension: "_.." numbered is "_.. (1)".
void SplitExtension(QString const& i_name, QString& o_stem, QString& o_extension)
{
    int const l_dot = i_name.lastIndexOf(QLatin1Char('.'));
    bool const l_has = l_dot > 0 && l_dot < i_name.size() - 1 && i_name.size() - l_dot <= 16;
    o_extension = l_has ? i_name.mid(l_dot) : QString();
    o_stem = i_name.left(i_name.size() - o_extension.size());
}

// The stem, shortened as far as needed (never inside a surrogate pair), and
// the tail: one component the file system takes.
QString FitComponent(QString i_stem, QString const& i_tail)
{
    while (!i_stem.isEmpty() && (i_stem + i_tail).toUtf8().size() > MAX_COMPONENT_BYTES)
        i_stem.chop(i_stem.size() >= 2 && i_stem.at(i_stem.size() - 1).isLowSurrogate() ? 2 : 1);
    return i_stem + i_tail;
}

// Numbered names tried for one file or folder before giving up.
constexpr int MAX_NUMBERED_NAMES = 1000;

// "name (n)" within the length limit; a file's short extension stays at the
// end.
QString NumberedName(QString const& i_name, int i_number, bool i_file)
{
    QString l_stem = i_name;
    QString l_extension;
    if (i_file)
        SplitExtension(i_name, l_stem, l_extension);
    return FitComponent(l_stem, QString(" (%1)").arg(i_number) + l_extension);
}

// "name (n).ext" for the first n that is free in the folder and not
// i_claimed; a name already at the length limit gives up the end of its
// stem to the number, or the rename would fail and the finished file could
// never leave "downloading".
QString FreeName(QString const& i_folder, QString const& i_name, std::function<bool(QString const&)> const& i_claimed)
{
    auto const l_free = [&](QString const& i_candidate) {
        return !QFileInfo::exists(i_folder + "/" + i_candidate) && !i_claimed(i_candidate);
    };
    if (l_free(i_name))
        return i_name;
    for (int l_n = 1;; ++l_n) {
        QString const l_candidate = NumberedName(i_name, l_n, true);
        if (l_free(l_candidate))
            return l_candidate;
    }
}

bool IsStrictlyBelow(QString const& i_path, QString const& i_root)
{
    return !i_root.isEmpty() && i_path.startsWith(i_root + "/") && i_path.size() > i_root.size() + 1;
}

QString TargetFolder(Item const& i_entry, bool i_complete, Layout const& i_layout)
{
    QString l_folder = DownloadRoot(i_layout, i_complete);
    if (i_layout.m_flatSingles && i_entry.IsConnected("single_download"))
        return l_folder;
    for (QString const& l_component : KeptRemoteComponents(i_entry))
        l_folder += "\\" + l_component;
    return l_folder;
}

// The item that names where a download's file lies: the last level of its
// local folder and its local file name, "Album\\folder.jpg". Downloads whose
// files might take one path share it, and only those are compared.
char const* const LOCAL_PLACE = "local_place";

// The flag of a download whose partial file at its place is one it made:
// it opened the file there to write into it. Only such a file is resumed
// from, moved along with the download, or deleted with it.
char const* const MADE_FILE = "partial_file_made";

// Set once a data file's downloads carry that flag; data saved before it
// was kept has none.
char const* const MADE_FILES_MARKED = "partial_files_marked";

// The entry's local file name: the one it was given when it was first
// offered or started (the end of its place, read from the data file, so
// made safe again), or the remote name made safe.
QString LocalName(Item const& i_entry)
{
    Item const l_place = i_entry[LOCAL_PLACE];
    if (l_place.IsNull())
        return TransferQueueManager::SafeLocalName(i_entry["file_name"].AsString());
    QString const l_text = l_place.AsString();
    return TransferQueueManager::SafeLocalName(l_text.mid(l_text.lastIndexOf(QLatin1Char('\\')) + 1));
}

QString SafeFolderPath(Item const& i_entry, bool i_complete, Layout const& i_layout, QString const& i_name)
{
    QString const l_base = QDir::cleanPath(i_layout.m_folder);
    QString const l_path =
        QDir::cleanPath(ToSlashes(TargetFolder(i_entry, i_complete, i_layout) + "\\" + i_name));
    if (!QDir::isAbsolutePath(l_base) || !IsStrictlyBelow(l_path, l_base == "/" ? QString() : l_base))
        return QString();
    return l_path;
}

QString TargetPath(Item const& i_entry, bool i_complete, Layout const& i_layout)
{
    return TargetFolder(i_entry, i_complete, i_layout) + "\\" + LocalName(i_entry);
}

QString SafePath(Item const& i_entry, bool i_complete, Layout const& i_layout)
{
    return SafeFolderPath(i_entry, i_complete, i_layout, LocalName(i_entry));
}

// The finished file's folder: each level that a file holds (a file of the
// same remote name finished first, or the user put one there) becomes the
// first "name (n)" that is a folder or free, the same one for every file of
// that folder. Empty when there is none.
QString UsableFolder(QString const& i_folder, Layout const& i_layout)
{
    QString const l_root = QDir::cleanPath(ToSlashes(DownloadRoot(i_layout, true)));
    if (!IsStrictlyBelow(i_folder, l_root))
        return i_folder;
    QString l_usable = l_root;
    for (QString const& l_component : i_folder.mid(l_root.size() + 1).split(QLatin1Char('/'))) {
        QString l_candidate = l_component;
        for (int l_n = 1; QFileInfo::exists(l_usable + "/" + l_candidate) &&
                          !QFileInfo(l_usable + "/" + l_candidate).isDir();
             ++l_n) {
            if (l_n > MAX_NUMBERED_NAMES)
                return QString();
            l_candidate = NumberedName(l_component, l_n, false);
        }
        l_usable += "/" + l_candidate;
    }
    return l_usable;
}

// The last level of the entry's local folder ("" for the download folder
// itself): thousands of albums hold a "folder.jpg", but only those of one
// folder name can share a path.
QString LastLocalLevel(Item const& i_entry, Layout const& i_layout)
{
    if (i_layout.m_flatSingles && i_entry.IsConnected("single_download"))
        return QString();
    // Read as KeptRemoteComponents reads it, so that both agree.
    QString const l_folder = ToQString(i_entry["remote_folder"].AsStdString());
    int l_end = l_folder.size();
    while (l_end > 0 && l_folder.at(l_end - 1) == QLatin1Char('\\'))
        --l_end;
    if (l_end == 0)
        return QString();
    int const l_from = l_folder.lastIndexOf(QLatin1Char('\\'), l_end - 1) + 1;
    return TransferQueueManager::SafeLocalName(l_folder.mid(l_from, l_end - l_from));
}

QString LocalPlace(Item const& i_entry, QString const& i_name, Layout const& i_layout)
{
    return LastLocalLevel(i_entry, i_layout) + "\\" + i_name;
}

void SetLocalPlace(Item const& i_entry, QString const& i_name, Layout const& i_layout)
{
    i_entry += d.GetType(LOCAL_PLACE)->GetItem(Value(LocalPlace(i_entry, i_name, i_layout)));
}

bool IsSameRemoteFile(Item const& i_one, Item const& i_other)
{
    return i_one["file_name"] == i_other["file_name"] && i_one["remote_folder"] == i_other["remote_folder"];
}

// A download writes only into a file it made itself, so a local path is
// taken when another download of another remote file was given it (two
// remote names can make one local name: "a\\b" and "a_b", or two folders of
// one name at a low save level), a folder stands there, or any file lies
// there or where the finished file would go: an older finished file, a
// file the user put there, or the partial file of a removed download. Only
// downloads of the same remote file (from other users) share a path, and
// the file one of them made there.
bool IsLocalPathTaken(Item const& i_entry, QString const& i_name, Layout const& i_layout)
{
    QString const l_path = SafeFolderPath(i_entry, false, i_layout, i_name);
    if (l_path.isEmpty())
        return false;
    if (QFileInfo(l_path).isDir())
        return true;
    bool l_shared = false;
    if (Item const l_place = d.GetType(LOCAL_PLACE)->HasItem(Value(LocalPlace(i_entry, i_name, i_layout)));
        l_place.IsValid()) {
        // Once moved into "complete", a split download's partial path is free.
        Item const l_complete = d.GetType("download_entry_status")->HasItem(Value("complete"));
        for (Item const& l_other : l_place.GetItems("download_entry")) {
            if (l_other == i_entry || SafePath(l_other, false, i_layout) != l_path)
                continue;
            if (IsSameRemoteFile(l_other, i_entry))
                l_shared = l_shared || l_other.IsConnected(MADE_FILE);
            else if (!i_layout.m_split || l_complete.IsNull() || l_other["download_entry_status"] != l_complete)
                return true;
        }
    }
    return !l_shared &&
           (QFileInfo::exists(l_path) || QFileInfo::exists(SafeFolderPath(i_entry, true, i_layout, i_name)));
}

// Nothing lies at the download's partial path, or the file there is its
// own: it made it, or a download of the same remote file from another user
// did (they share it). A file the user put at the place of a download that
// never started is neither.
bool IsOwnPartialPath(Item const& i_entry, QString const& i_path, Layout const& i_layout)
{
    if (i_entry.IsConnected(MADE_FILE) || !QFileInfo::exists(i_path))
        return true;
    for (Item const& l_other : i_entry[LOCAL_PLACE].GetItems("download_entry"))
        if (l_other != i_entry && l_other.IsConnected(MADE_FILE) && IsSameRemoteFile(l_other, i_entry) &&
            SafePath(l_other, false, i_layout) == i_path)
            return true;
    return false;
}

// Why a folder cannot be made, when a file holds its place or its parent's
// (a file and a folder of one remote name): " (<path> is a file)".
QString FileInTheWay(QString i_folder)
{
    for (; i_folder.size() > 1 && !QFileInfo(i_folder).isDir(); i_folder = QFileInfo(i_folder).path())
        if (QFileInfo::exists(i_folder))
            return QStringLiteral(" (%1 is a file)").arg(Isolated(i_folder));
    return QString();
}

// Removes i_folder and up to i_levels - 1 folders above it, each only when
// empty, and never i_root or anything above it ('/' forms).
void RemoveEmptyFolders(QString i_folder, Layout const& i_layout, int i_levels)
{
    QString const l_root = QDir::cleanPath(ToSlashes(DownloadRoot(i_layout, false)));
    for (i_folder = QDir::cleanPath(i_folder); i_levels > 0 && IsStrictlyBelow(i_folder, l_root); --i_levels) {
        QDir().rmdir(i_folder);
        i_folder = QFileInfo(i_folder).path();
    }
}

} // namespace

QString TransferQueueManager::SafeLocalName(QString i_remote)
{
    // Each remote component becomes exactly one local component: nothing in
    // it may act as a separator, name a parent or be invisible.
    for (QChar& l_char : i_remote)
        if (l_char == QLatin1Char('/') || l_char == QLatin1Char('\\') || l_char.unicode() < 0x20 ||
            l_char.unicode() == 0x7f)
            l_char = QLatin1Char('_');
    if (i_remote.isEmpty())
        return "_";
    // Dots alone would name the folder itself or its parent, or hide: they
    // stay behind a "_", which keeps them apart from a real "_" (a file of
    // that name where the folder ".." goes would end the folder's files).
    if (i_remote.count(QLatin1Char('.')) == i_remote.size())
        i_remote.prepend(QLatin1Char('_'));
    if (i_remote.toUtf8().size() <= MAX_COMPONENT_BYTES)
        return i_remote;
    // Too long for the file system: shorten the stem, keep a short extension.
    QString l_stem;
    QString l_extension;
    SplitExtension(i_remote, l_stem, l_extension);
    return FitComponent(l_stem, l_extension);
}

bool TransferQueueManager::SettleLocalName(Item const& i_entry)
{
    Layout const l_layout = Layout::Current();
    if (Item const l_given = i_entry[LOCAL_PLACE]; l_given.IsValid()) {
        // A folder of another download's files took the place since the
        // name was given (both were offered before either started), or a
        // file it did not make lies there (the user's, put there before it
        // ever started): it is neither resumed from nor written into.
        QString const l_path = SafePath(i_entry, false, l_layout);
        if (l_path.isEmpty() || (!QFileInfo(l_path).isDir() && IsOwnPartialPath(i_entry, l_path, l_layout)))
            return true;
        i_entry.Disconnect(l_given);
    }
    QString const l_default = SafeLocalName(i_entry["file_name"].AsString());
    QString l_name = l_default;
    if (IsLocalPathTaken(i_entry, l_name, l_layout)) {
        // Numbering goes on where the last download of that place stopped:
        // from 1 each time, a thousand names that make one would try half a
        // million.
        int& l_next = m_nextLocalNumbers[LocalPlace(i_entry, l_default, l_layout)];
        int l_tried = 0;
        do {
            if (++l_tried > MAX_NUMBERED_NAMES)
                return false;
            l_next = std::max(l_next, 0) + 1;
            l_name = NumberedName(l_default, l_next, true);
        } while (IsLocalPathTaken(i_entry, l_name, l_layout));
    }
    SetLocalPlace(i_entry, l_name, l_layout);
    SetFlag(i_entry, MADE_FILE, false);
    return true;
}

void TransferQueueManager::DiscardPartialFile(Item const& i_entry)
{
    // A file it did not make (the user's, at the place of a download that
    // never started) is not its own, nor is any without a place of its own
    // (none was free); a whole file (its move into "complete" failed) is
    // the user's to keep.
    if (!i_entry.IsConnected(MADE_FILE) || !i_entry.IsConnected(LOCAL_PLACE))
        return;
    Layout const l_layout = Layout::Current();
    QString const l_path = SafePath(i_entry, false, l_layout);
    QFileInfo const l_file(l_path);
    if (l_path.isEmpty() || !l_file.isFile() || l_file.size() >= i_entry["file_size"].AsInt64())
        return;
    // The same remote file from other users goes on in it, and it becomes
    // theirs (saved so): kept for them but made by no one left, it would
    // be a stranger's file at their next offer, which would start afresh
    // under a new name and leave it behind for good.
    Item const l_complete = d.GetType("download_entry_status")->HasItem(Value("complete"));
    bool l_takenOver = false;
    for (Item const& l_other : i_entry[LOCAL_PLACE].GetItems("download_entry"))
        if (l_other != i_entry && !l_other.IsConnected(l_complete) && IsSameRemoteFile(l_other, i_entry) &&
            SafePath(l_other, false, l_layout) == l_path) {
            SetFlag(l_other, MADE_FILE, true);
            l_takenOver = true;
        }
    if (l_takenOver)
        return;
    QFile::remove(l_path);
    RemoveEmptyFolders(l_file.path(), l_layout, std::max(0, i_entry["subfolder_save_level"].AsInt()) + 1);
}

// The version that first kept places wrote at a place only as the download
// given it (or resumed from what lay there, as it would again at its next
// start): a file at a place it saved is that download's, taken so once, so
// that its progress is not lost. From then on only the flag counts, and a
// file put at a place later is not taken.
bool TransferQueueManager::IsOlderDataMarked() const
{
    return IsSettingYes(MADE_FILES_MARKED);
}

void TransferQueueManager::MarkPartialFileOfOlderData(Item const& i_entry, Layout const& i_layout)
{
    if (!i_entry.IsConnected(LOCAL_PLACE) || i_entry["download_entry_status"].AsString() == "complete")
        return;
    QFileInfo const l_file(SafePath(i_entry, false, i_layout));
    if (l_file.isFile() && l_file.size() <= i_entry["file_size"].AsInt64())
        SetFlag(i_entry, MADE_FILE, true);
}

void TransferQueueManager::NoteOlderDataMarked()
{
    SetSwitch(MADE_FILES_MARKED, true);
    m_markOlderData = false;
}

bool TransferQueueManager::IsPlaceSettled(Item const& i_entry) const
{
    return !IsLoadingQueue() || (!m_markOlderData && i_entry.IsConnected(LOCAL_PLACE));
}

TransferQueueManager::DownloadLayout TransferQueueManager::DownloadLayout::Current()
{
    return {GetSetting("download_folder"), !IsSettingYes("dont_split_downloads"),
            IsSettingYes("dont_create_subfolders_for_single_downloads")};
}

bool TransferQueueManager::DownloadLayout::operator==(DownloadLayout const& i_other) const
{
    return m_folder == i_other.m_folder && m_split == i_other.m_split && m_flatSingles == i_other.m_flatSingles;
}

QString TransferQueueManager::GetDownloadTargetFolder(Item i_entry, bool i_complete)
{
    return TargetFolder(i_entry, i_complete, Layout::Current());
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(Item i_entry)
{
    QStringList l_components = KeptRemoteComponents(i_entry);
    return l_components.isEmpty() ? QString() : l_components.join(QLatin1Char('\\'));
}

QString TransferQueueManager::GetDownloadTargetPath(Item i_entry, bool i_complete)
{
    return TargetPath(i_entry, i_complete, Layout::Current());
}

QString TransferQueueManager::GetSafeDownloadPath(Item i_entry, bool i_complete)
{
    return SafePath(i_entry, i_complete, Layout::Current());
}

QString TransferQueueManager::GetPartialDownloadFolder()
{
    Layout const l_layout = Layout::Current();
    if (!l_layout.m_split || l_layout.m_folder.isEmpty())
        return QString();
    return QDir::cleanPath(ToSlashes(DownloadRoot(l_layout, false)));
}

bool TransferQueueManager::IsDownloadFileComplete(Item i_entry)
{
    Layout const l_layout = Layout::Current();
    QString const l_path = SafePath(i_entry, true, l_layout);
    if (l_path.isEmpty())
        return false;
    // The file of another remote name that makes the same local one is not
    // this download's, whatever its size.
    Item const l_place = d.GetType(LOCAL_PLACE)->HasItem(Value(LocalPlace(i_entry, LocalName(i_entry), l_layout)));
    for (Item const& l_other : l_place.GetItems("download_entry"))
        if (!IsSameRemoteFile(l_other, i_entry))
            return false;
    QFileInfo l_file(l_path);
    return l_file.isFile() && l_file.size() >= i_entry["file_size"].AsInt64();
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(Item i_entry)
{
    // A single download's partial folder goes too (a double click in the
    // search results makes one); one kept in "downloading" itself, under
    // "dont_create_subfolders_for_single_downloads", is never reached.
    for (Item const& l_sibling : i_entry["remote_folder"].GetItems("download_entry"))
        if (l_sibling["download_entry_status"].AsString() != "complete")
            return;
    // Only folders below "downloading" go; it and what lies above it stay,
    // whatever the save level says.
    Layout const l_layout = Layout::Current();
    RemoveEmptyFolders(ToSlashes(TargetFolder(i_entry, false, l_layout)), l_layout,
                       std::max(0, i_entry["subfolder_save_level"].AsInt()) + 1);
}

void TransferQueueManager::OnDownloadLayoutChanged(Item)
{
    Layout const l_layout = Layout::Current();
    if (!m_downloadLayout || l_layout == *m_downloadLayout)
        return;
    Layout const l_old = *std::exchange(m_downloadLayout, l_layout);
    Item const l_complete = d.GetType("download_entry_status")->HasItem(Value("complete"));
    for (Item const& l_entry : d.GetType("download_entry")->GetItems()) {
        // A single download's folder level comes and goes with its switch.
        if (l_old.m_flatSingles != l_layout.m_flatSingles && l_entry.IsConnected("single_download") &&
            l_entry.IsConnected(LOCAL_PLACE))
            SetLocalPlace(l_entry, LocalName(l_entry), l_layout);
        if (l_entry["download_entry_status"] == l_complete)
            continue;
        bool const l_made = l_entry.IsConnected(MADE_FILE);
        QString const l_from = SafePath(l_entry, false, l_old);
        QString l_to = SafePath(l_entry, false, l_layout);
        // Where the new path leads to a file that is not its own (the user's,
        // an older finished one, another download's), the download takes a
        // new name rather than write into that file.
        if (l_to != l_from && l_entry.IsConnected(LOCAL_PLACE) &&
            IsLocalPathTaken(l_entry, LocalName(l_entry), l_layout)) {
            l_entry.Disconnect(l_entry[LOCAL_PLACE]);
            static_cast<void>(SettleLocalName(l_entry));
            l_to = SafePath(l_entry, false, l_layout);
        }
        if (l_from == l_to)
            continue;
        // Only a file it made goes with it (and stays its own); what the
        // user put at its old path stays there.
        SetFlag(l_entry, MADE_FILE, false);
        if (!l_made || l_from.isEmpty() || l_to.isEmpty() || !QFileInfo(l_from).isFile())
            continue;
        // Another file in the way is never overwritten.
        if (QFileInfo::exists(l_to) || !QDir().mkpath(QFileInfo(l_to).path()) || !QDir().rename(l_from, l_to)) {
            LogTransfer(1,
                        QString("Could not move the partial download %1 to %2; it stays where it is")
                            .arg(Isolated(l_from), Isolated(l_to)),
                        l_entry["user"]);
            continue;
        }
        SetFlag(l_entry, MADE_FILE, true);
        RemoveEmptyFolders(QFileInfo(l_from).path(), l_old, std::max(0, l_entry["subfolder_save_level"].AsInt()) + 1);
    }
}

// ------------------------------------------------------------ the thread

bool TransferQueueManager::StartDownload(Item i_entry, QTcpSocket* ip_socket)
{
    Item l_user = i_entry["user"];
    bool const l_named = SettleLocalName(i_entry);
    QString const l_path = GetSafeDownloadPath(i_entry, false);
    auto* lp_file = new QFile(l_path);
    QString l_reason;
    if (!l_named)
        l_reason = QStringLiteral("no local name for it is free (%1 numbers in a row are taken)")
                       .arg(MAX_NUMBERED_NAMES);
    else if (l_path.isEmpty())
        l_reason = QStringLiteral("its path would leave the download folder");
    else if (!QDir().mkpath(QFileInfo(l_path).path()))
        l_reason = QStringLiteral("the folder could not be made%1: %2")
                       .arg(FileInTheWay(QFileInfo(l_path).path()), Isolated(QFileInfo(l_path).path()));
    else if (!lp_file->open(QIODevice::WriteOnly | QIODevice::Append))
        l_reason =
            QStringLiteral("the file could not be opened (%1): %2").arg(lp_file->errorString(), Isolated(l_path));
    if (!l_reason.isEmpty()) {
        LogTransfer(2, l_path.isEmpty() ? "The file's local path would leave the download folder, aborting"
                                        : "Could not open file, aborting",
                    l_user);
        delete lp_file;
        SetDownloadEntryStatus(i_entry, "local error");
        emit DownloadLocalError(i_entry, l_reason);
        ip_socket->close();
        ip_socket->deleteLater();
        return false;
    }
    // The file is its own from now on, across restarts too.
    SetFlag(i_entry, MADE_FILE, true);
    qint64 const l_offset = lp_file->size();
    uchar l_offsetBytes[8];
    qToLittleEndian(l_offset, l_offsetBytes);
    ip_socket->write(reinterpret_cast<char const*>(l_offsetBytes), 8);
    ip_socket->flush();

    i_entry += d.GetType("download_socket")->GetItem(Value(ip_socket));
    i_entry += d.GetType("download_file")->GetItem(Value(lp_file));
    i_entry += d.GetType("write_position")->GetItem(Value(new qint64(l_offset)));
    SetDownloadEntryStatus(i_entry, "downloading");

    auto* lp_thread = new DownloadThread(ip_socket, lp_file, i_entry["file_size"].AsInt64(), l_offset,
                                         &m_downloadBudget);
    connect(lp_thread, &DownloadThread::DownloadError, this, &TransferQueueManager::OnDownloadError);
    connect(lp_thread, &DownloadThread::DownloadWriteFailed, this, &TransferQueueManager::OnDownloadWriteFailed);
    connect(lp_thread, &DownloadThread::DownloadProgress, this, &TransferQueueManager::OnDownloadProgress);
    connect(lp_thread, &DownloadThread::DownloadComplete, this, &TransferQueueManager::OnDownloadComplete);
    StartTransferThread(i_entry, "download", ip_socket, lp_thread);
    LogTransfer(2, "Downloading", l_user);
    return true;
}

void TransferQueueManager::OnDownloadProgress(qint64 i_position, int i_bytesPerSecond)
{
    Item l_entry = SenderEntry("download_thread", "download_entry");
    if (l_entry.IsNull())
        return;
    WriteProgressCells(l_entry, "write_position", i_position, i_bytesPerSecond);
    emit DownloadProgressed(l_entry);
}

void TransferQueueManager::OnDownloadError(QString i_reason)
{
    Item l_entry = SenderEntry("download_thread", "download_entry");
    if (l_entry.IsNull())
        return;
    Item l_user = l_entry["user"];
    LogTransfer(1,
                QString("Error downloading %1 from %2. %3")
                    .arg(Isolated(l_entry["file_name"].AsString()), Isolated(l_user.AsString()), i_reason),
                l_user);
    SetDownloadEntryStatus(l_entry, "aborted");
    emit TransferEnded(l_entry, i_reason);
}

void TransferQueueManager::OnDownloadComplete()
{
    Item l_entry = SenderEntry("download_thread", "download_entry");
    if (l_entry.IsNull())
        return;
    if (auto* lp_thread = qobject_cast<TransferThread*>(ObjectAt<QObject>(l_entry["download_thread"])))
        lp_thread->AwaitEnd();

    QString l_name = LocalName(l_entry);
    QString l_recordFolder = GetDownloadTargetFolder(l_entry, true);
    if (!IsSettingYes("dont_split_downloads")) {
        // A finished file is never lost or overwritten: a taken name gets a
        // number, a folder level that a file holds too, and a file that
        // cannot be moved stays where it is.
        QString const l_source = GetSafeDownloadPath(l_entry, false);
        QString const l_target = GetSafeDownloadPath(l_entry, true);
        QString const l_wanted = QFileInfo(l_target).path();
        QString const l_folder = l_target.isEmpty() ? QString() : UsableFolder(l_wanted, Layout::Current());
        bool l_moved = !l_source.isEmpty() && !l_folder.isEmpty() && QDir().mkpath(l_folder);
        if (l_moved) {
            // Nor the name where another remote file's download will
            // finish: that download would take this file for its own.
            Layout const l_layout = Layout::Current();
            l_name = FreeName(l_folder, QFileInfo(l_target).fileName(), [&](QString const& i_candidate) {
                Item const l_place =
                    d.GetType(LOCAL_PLACE)->HasItem(Value(LocalPlace(l_entry, i_candidate, l_layout)));
                for (Item const& l_other : l_place.GetItems("download_entry"))
                    if (!IsSameRemoteFile(l_other, l_entry) &&
                        SafePath(l_other, true, l_layout) == l_folder + "/" + i_candidate)
                        return true;
                return false;
            });
            l_moved = QDir().rename(l_source, l_folder + "/" + l_name);
        }
        if (l_folder != l_wanted)
            l_recordFolder = QString(l_folder).replace(QLatin1Char('/'), QLatin1Char('\\'));
        if (!l_moved) {
            LogTransfer(1,
                        QString("Could not move the finished download %1 into %2; it stays in %3")
                            .arg(Isolated(l_name), Isolated(l_wanted), Isolated(QFileInfo(l_source).path())),
                        l_entry["user"]);
            SetDownloadEntryStatus(l_entry, "local error");
            emit DownloadLocalError(l_entry,
                                    QStringLiteral("the finished file could not be moved into %1; it stays in %2")
                                        .arg(Isolated(l_wanted), Isolated(QFileInfo(l_source).path())));
            return;
        }
        SetFlag(l_entry, MADE_FILE, false); // its partial path is free again
    }
    SetDownloadEntryStatus(l_entry, "complete");
    if (!IsSettingYes("dont_split_downloads"))
        RemoveDownloadDownloadingFolderIfAppropriate(l_entry);
    RecordCompleteDownload(l_entry, l_recordFolder, l_name);
}

void TransferQueueManager::RecordCompleteDownload(Item const& i_entry, QString const& i_folder, QString const& i_name)
{
    Item l_user = i_entry["user"];
    Item l_folder = d.GetType("complete_download_folder")->GetItem(Value(i_folder));
    Item l_name = d.GetType("complete_download_filename")->GetItem(Value(i_name));
    ItemSet l_keys;
    for (Item const& l_key : {l_user, l_folder, l_name})
        l_keys.insert(l_key);
    if (d.GetItem(l_keys, "complete_download").IsValid())
        return;
    Item l_record = d.GetType("complete_download")->NewItem();
    l_record += l_user;
    l_record += l_folder;
    l_record += d.GetType("complete_download_relative_folder")
                    ->GetItem(Value(GetDownloadRelativeDownloadFolder(i_entry)));
    l_record += l_name;
    l_record += d.GetType("complete_download_file_size")->GetItem(i_entry["file_size"].GetValue());
    l_record += d.GetType("complete_download_completion_time")->GetItem(Value(NowText()));
    if (Item l_search = i_entry["search_request_text"]; l_search.IsValid())
        l_record += l_search;
    emit CompleteDownloadAdded(l_record);
}
