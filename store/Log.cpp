#include "store/Log.h"

#include "store/FreePages.h"
#include "store/Settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include <sys/stat.h>

namespace {

char const* const ITEM_LOG = "item_log";
char const* const ITEM_LOG_AREA = "item_log_area";
char const* const ITEM_LOG_TEXT = "item_log_text";

// A category becomes one file name: separators and leading dots cannot lead
// the file out of the log folder.
QString FileNameFor(QString i_category)
{
    i_category.replace('/', '_').replace('\\', '_').replace(QChar(0), '_');
    while (i_category.startsWith('.'))
        i_category[0] = '_';
    if (i_category.isEmpty())
        i_category = "_";
    return i_category + ".log";
}

// A peer can make lines as fast as he sends messages (a flood once wrote
// 400,000): a file that would pass the cap is renamed to "<name>.1",
// replacing the one before, and begun anew, so that a category never keeps
// more than twice the cap on the disk. The lines of a flood are written in
// batches, each within one file.
qint64& FileCap()
{
    static qint64 s_cap = 5 * 1024 * 1024;
    return s_cap;
}

// Counts the turns of the event loop that wrote lines (and the flushes):
// the files are checked against their paths once a turn, not once a line.
quint64& WriteTurn()
{
    static quint64 s_turn = 1;
    return s_turn;
}

// A category's file stays open between lines: opening it, checking its
// folder and closing it again for every line took 80 us, far more than the
// line (a room join of 100,000 members logs a line each). Before the first
// write of a turn it is checked against its path, which costs a stat: a
// file removed or renamed under us (by the user, or by another program
// rotating it) and a folder removed are made anew at the path, as after a
// failed write.
struct LogFile
{
    QFile m_file;
    qint64 m_size = 0;
    quint64 m_checkedTurn = 0;
    quint64 m_lastWrite = 0;
};

// Only the program names categories, a dozen of them; should more write,
// the file written longest ago is closed.
constexpr std::size_t MAX_OPEN_FILES = 16;

std::map<QString, LogFile>& LogFiles()
{
    static std::map<QString, LogFile> s_files;
    return s_files;
}

bool OpenLogFile(LogFile& io_file, QString const& i_path)
{
    io_file.m_file.close();
    io_file.m_file.setFileName(i_path);
    QString const l_folder = QFileInfo(i_path).path();
    if (!QFileInfo::exists(l_folder)) {
        if (!QDir().mkpath(l_folder))
            return false;
        QFile::setPermissions(l_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!io_file.m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    io_file.m_size = io_file.m_file.size();
    return true;
}

// Whether the open file is still the one at the path; its size is taken
// again, as another instance may write to it too.
bool IsStillAtPath(LogFile& io_file)
{
    struct stat l_open;
    struct stat l_atPath;
    if (!io_file.m_file.isOpen() || ::fstat(io_file.m_file.handle(), &l_open) != 0 ||
        ::stat(QFile::encodeName(io_file.m_file.fileName()).constData(), &l_atPath) != 0 ||
        l_open.st_dev != l_atPath.st_dev || l_open.st_ino != l_atPath.st_ino)
        return false;
    io_file.m_size = qint64(l_open.st_size);
    return true;
}

LogFile* FileFor(QString const& i_category)
{
    std::map<QString, LogFile>& l_files = LogFiles();
    auto l_found = l_files.find(i_category);
    if (l_found == l_files.end()) {
        if (l_files.size() >= MAX_OPEN_FILES)
            l_files.erase(std::min_element(l_files.begin(), l_files.end(), [](auto const& i_a, auto const& i_b) {
                return i_a.second.m_lastWrite < i_b.second.m_lastWrite;
            }));
        l_found = l_files.emplace(std::piecewise_construct, std::forward_as_tuple(i_category), std::tuple<>()).first;
    }
    LogFile& l_file = l_found->second;
    l_file.m_lastWrite = WriteTurn();
    // A file that cannot be opened is tried again next turn, not next line.
    // Without an event loop there are no turns: every line checks.
    if (l_file.m_checkedTurn == WriteTurn() && QCoreApplication::instance())
        return l_file.m_file.isOpen() ? &l_file : nullptr;
    l_file.m_checkedTurn = WriteTurn();
    // The home folder is read again as well: the tests move it.
    QString const l_path = QDir(LogFolder()).filePath(FileNameFor(i_category));
    if (l_file.m_file.fileName() == l_path && IsStillAtPath(l_file))
        return &l_file;
    return OpenLogFile(l_file, l_path) ? &l_file : nullptr;
}

// Writes a batch of lines in one write. Without an application object
// (before it is made, after it is gone) any thread writes here itself.
void AppendToFile(QString const& i_category, QString const& i_lines)
{
    static std::mutex s_files;
    std::lock_guard<std::mutex> const l_lock(s_files);
    QByteArray l_bytes = i_lines.toUtf8() + '\n';
    // A batch larger than the cap keeps its newest lines.
    if (l_bytes.size() > FileCap()) {
        int const l_cut = l_bytes.indexOf('\n', l_bytes.size() - int(FileCap()));
        l_bytes.remove(0, l_cut < 0 ? l_bytes.size() - int(FileCap()) : l_cut + 1);
    }
    LogFile* lp_file = FileFor(i_category);
    if (!lp_file)
        return;
    QString const l_path = lp_file->m_file.fileName();
    if (lp_file->m_size > 0 && lp_file->m_size + l_bytes.size() > FileCap()) {
        lp_file->m_file.close();
        QFile::remove(l_path + ".1");
        QFile::rename(l_path, l_path + ".1");
        if (!OpenLogFile(*lp_file, l_path))
            return;
    }
    // What a write failed to write is tried once more on the file opened
    // anew; if that fails too, the file waits for the next turn.
    qint64 const l_written = std::max<qint64>(0, lp_file->m_file.write(l_bytes));
    if (l_written < l_bytes.size()) {
        QByteArray const l_rest = l_bytes.mid(int(l_written));
        if (!OpenLogFile(*lp_file, l_path) || lp_file->m_file.write(l_rest) != l_rest.size()) {
            lp_file->m_file.close();
            return;
        }
    }
    lp_file->m_size += l_bytes.size();
}

// A peer can make lines about his user as fast as he sends messages: an
// item keeps its latest entries only.
constexpr std::size_t MAX_ITEM_LOG_ENTRIES = 1000;

void AttachToItem(QString const& i_category, QString const& i_line, Item const& i_item)
{
    if (i_item.IsNull() || !IsSettingYes("user_level_logging") || !d.HasType(ITEM_LOG))
        return;
    Type* lp_log = d.GetType(ITEM_LOG);
    if (!i_item.GetType()->IsRelatedTo(lp_log))
        return;
    if (i_item.CountItems(ITEM_LOG) >= MAX_ITEM_LOG_ENTRIES) {
        Item const l_oldest = i_item[ITEM_LOG];
        Item const l_text = l_oldest[ITEM_LOG_TEXT];
        l_oldest.Remove();
        if (l_text.IsDisconnectedFromAll())
            l_text.Remove();
    }
    Item l_entry = lp_log->NewItem();
    l_entry += d.GetType(ITEM_LOG_AREA)->GetItem(Value(i_category));
    l_entry += d.GetType(ITEM_LOG_TEXT)->GetItem(Value(i_line));
    i_item += l_entry;
}

// A flood of lines (a peer or server sending thousands of bad messages)
// must not freeze the program: lines are written at once only while this
// turn of the event loop has spent less than WRITE_BUDGET_MS on them; later
// ones wait in a queue, which a zero timer drains in slices of about
// WRITE_BUDGET_MS, one file write and one hand-over to the view per batch of
// at most LINES_PER_BATCH lines of a category.
// At most MAX_QUEUED lines and MAX_QUEUED_BYTES wait; the rest are counted
// and reported. The bytes count too: 100,000 lines naming a peer who gave
// himself a name of 4,000 bytes held a gigabyte.
constexpr qint64 WRITE_BUDGET_MS = 10;
constexpr std::size_t MAX_QUEUED = 100000;
constexpr std::size_t MAX_QUEUED_BYTES = std::size_t(16) << 20;
constexpr int LINES_PER_BATCH = 500;
// A queue that held this much gives the memory back once it is written.
constexpr std::size_t TRIM_AFTER_BYTES = std::size_t(4) << 20;
// Lines of this many bytes in all, written at once or queued, are a flood
// too, however fast the disk took them: their copies (the window's among
// them) were freed between the blocks that live on, and the C library kept
// those pages (80 MiB after a peer's 400,000 lines, for good). Once no line
// has come for QUIET_MS the memory goes back.
constexpr std::size_t FLOOD_BYTES = std::size_t(16) << 20;
constexpr int QUIET_MS = 1000;

// What a queued line holds in memory: its two texts, their headers and its
// place in the queue.
std::size_t QueuedCost(QString const& i_category, QString const& i_line)
{
    return std::size_t(i_category.size() + i_line.size()) * sizeof(QChar) + 64;
}

struct LogQueue
{
    std::deque<std::pair<QString, QString>> m_lines; // category, line
    std::size_t m_bytes = 0;
    std::size_t m_peakBytes = 0;
    // Bytes of the lines handed on since memory was last given back, and
    // their count when the quiet timer last looked.
    std::size_t m_passedBytes = 0;
    std::size_t m_passedAtLook = 0;
    bool m_quietWatched = false;
    quint64 m_givenBack = 0;
    std::map<QString, quint64> m_dropped;
    qint64 m_spentThisTurn = 0;
    bool m_turnWatched = false;
    bool m_flushScheduled = false;
    bool m_quitHooked = false;
    std::function<qint64()> m_clock;

    bool IsFull() const { return m_lines.size() >= MAX_QUEUED || m_bytes >= MAX_QUEUED_BYTES; }
};

LogQueue& Queue()
{
    static LogQueue s_queue;
    return s_queue;
}

qint64 Now()
{
    LogQueue& l_queue = Queue();
    if (l_queue.m_clock)
        return l_queue.m_clock();
    static QElapsedTimer s_timer;
    if (!s_timer.isValid())
        s_timer.start();
    return s_timer.elapsed();
}

LogViewHook& ViewHook()
{
    static LogViewHook s_hook;
    return s_hook;
}

void WriteLines(QString const& i_category, QString const& i_lines)
{
    if (LogViewHook const& l_view = ViewHook())
        l_view(i_category, i_lines);
    AppendToFile(i_category, i_lines);
}

// The queue's blocks go, and the C library gives the pages its lines held
// back to the system: without this, a flood's gigabyte stayed resident. The
// walk of the heaps runs on a thread of its own, as it can take tens of
// milliseconds after a big flood.
void GiveMemoryBack()
{
    LogQueue& l_queue = Queue();
    std::deque<std::pair<QString, QString>>().swap(l_queue.m_lines);
    l_queue.m_bytes = 0;
    l_queue.m_peakBytes = 0;
    l_queue.m_passedBytes = 0;
    ++l_queue.m_givenBack;
    GiveBackFreePages();
}

// Looks every QUIET_MS whether lines still come; once none came, the
// flood is over.
void WatchForQuiet()
{
    LogQueue& l_queue = Queue();
    if (l_queue.m_quietWatched || l_queue.m_passedBytes < FLOOD_BYTES || !QCoreApplication::instance())
        return;
    l_queue.m_quietWatched = true;
    l_queue.m_passedAtLook = l_queue.m_passedBytes;
    QTimer::singleShot(QUIET_MS, QCoreApplication::instance(), []() {
        LogQueue& l_queue = Queue();
        l_queue.m_quietWatched = false;
        if (l_queue.m_passedBytes < FLOOD_BYTES)
            return; // given back meanwhile
        if (l_queue.m_passedBytes == l_queue.m_passedAtLook && l_queue.m_lines.empty())
            GiveMemoryBack();
        else
            WatchForQuiet();
    });
}

// Writes queued lines until the queue is empty or the slice is used up; a
// slice writes one batch at least, however slow the disk.
void WriteQueued(qint64 i_budget)
{
    LogQueue& l_queue = Queue();
    qint64 const l_start = Now();
    for (bool l_first = true; !l_queue.m_lines.empty() && (l_first || Now() - l_start < i_budget); l_first = false) {
        QString const l_category = l_queue.m_lines.front().first;
        QString l_batch;
        for (int l_count = 0; l_count < LINES_PER_BATCH && !l_queue.m_lines.empty()
                              && l_queue.m_lines.front().first == l_category;
             ++l_count) {
            if (!l_batch.isEmpty())
                l_batch += '\n';
            l_batch += l_queue.m_lines.front().second;
            l_queue.m_bytes -= QueuedCost(l_category, l_queue.m_lines.front().second);
            l_queue.m_lines.pop_front();
        }
        WriteLines(l_category, l_batch);
    }
    if (l_queue.m_lines.empty() && !l_queue.m_dropped.empty()) {
        for (auto const& l_dropped : l_queue.m_dropped)
            WriteLines(l_dropped.first,
                       FormatLogLine(1, QString::number(l_dropped.second) + " lines of this log were dropped in a flood"));
        l_queue.m_dropped.clear();
    }
    if (l_queue.m_lines.empty() && l_queue.m_peakBytes >= TRIM_AFTER_BYTES)
        GiveMemoryBack();
}

void ScheduleFlush();

// Lines still waiting when the application object goes (those logged while
// the window was torn down, after the event loop had ended) are written to
// their files; the window that showed them is gone.
void FlushAtExit()
{
    ViewHook() = nullptr;
    FlushLog();
    Queue().m_quitHooked = false;
}

void OnFlushTimer()
{
    Queue().m_flushScheduled = false;
    ++WriteTurn();
    try {
        WriteQueued(WRITE_BUDGET_MS);
    } catch (...) {
    }
    if (!Queue().m_lines.empty())
        ScheduleFlush();
}

void ScheduleFlush()
{
    LogQueue& l_queue = Queue();
    if (l_queue.m_flushScheduled)
        return;
    l_queue.m_flushScheduled = true;
    QTimer::singleShot(0, QCoreApplication::instance(), &OnFlushTimer);
    if (!l_queue.m_quitHooked) {
        l_queue.m_quitHooked = true;
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &FlushLog);
        qAddPostRoutine(&FlushAtExit);
    }
}

// A line that would wait while the queue is full is only counted, before
// anything is made of it: in a flood, most lines are.
bool CountIfDropped(QString const& i_category)
{
    LogQueue& l_queue = Queue();
    if (!l_queue.IsFull() || !QCoreApplication::instance())
        return false;
    ++l_queue.m_dropped[i_category];
    ScheduleFlush();
    return true;
}

void WriteOrQueue(QString const& i_category, QString const& i_line)
{
    LogQueue& l_queue = Queue();
    l_queue.m_passedBytes += QueuedCost(i_category, i_line);
    WatchForQuiet();
    // Without an event loop there is nothing to keep responsive.
    if (!QCoreApplication::instance()) {
        WriteLines(i_category, i_line);
        return;
    }
    if (l_queue.m_lines.empty() && l_queue.m_spentThisTurn < WRITE_BUDGET_MS) {
        if (!l_queue.m_turnWatched) {
            // Runs once the event loop gets back control: a new turn.
            l_queue.m_turnWatched = true;
            QTimer::singleShot(0, QCoreApplication::instance(), []() {
                Queue().m_turnWatched = false;
                Queue().m_spentThisTurn = 0;
                ++WriteTurn();
            });
        }
        qint64 const l_start = Now();
        WriteLines(i_category, i_line);
        l_queue.m_spentThisTurn += Now() - l_start;
        return;
    }
    if (!l_queue.IsFull()) {
        l_queue.m_lines.emplace_back(i_category, i_line);
        l_queue.m_bytes += QueuedCost(i_category, i_line);
        l_queue.m_peakBytes = std::max(l_queue.m_peakBytes, l_queue.m_bytes);
    } else
        ++l_queue.m_dropped[i_category];
    ScheduleFlush();
}

// A line's text keeps its start and its end: what is cut is nearly always a
// name or a path a peer made as long as he could, and the end says what
// happened.
constexpr int MAX_TEXT_CHARS = 1024;
constexpr int KEPT_AT_EACH_END = 480;

QString CutLongText(QString const& i_text)
{
    if (i_text.size() <= MAX_TEXT_CHARS)
        return i_text;
    int l_head = KEPT_AT_EACH_END;
    if (i_text.at(l_head - 1).isHighSurrogate())
        --l_head;
    int l_tail = KEPT_AT_EACH_END;
    if (i_text.at(i_text.size() - l_tail).isLowSurrogate())
        --l_tail;
    return i_text.left(l_head) + QString(" [... %1 characters cut ...] ").arg(i_text.size() - l_head - l_tail) +
           i_text.right(l_tail);
}

void LogHere(QString const& i_category, int i_level, QString const& i_text, Item const& i_item)
{
    try {
        if (!IsSettingYes("show_diagnostics") || CountIfDropped(i_category))
            return;
        QString const l_line = FormatLogLine(i_level, CutLongText(i_text));
        WriteOrQueue(i_category, l_line);
        AttachToItem(i_category, l_line, i_item);
    } catch (...) {
        // The log is an observer: a failure here must not change what the
        // caller was doing.
    }
}

} // namespace

QString FormatLogLine(int i_level, QString const& i_text)
{
    // The local time is made once a second: converting it cost more than
    // the rest of a line. Each thread keeps its own.
    thread_local qint64 t_second = std::numeric_limits<qint64>::min();
    thread_local QString t_stamp;
    qint64 const l_second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (l_second != t_second) {
        t_second = l_second;
        t_stamp = "[" + QDateTime::fromSecsSinceEpoch(l_second).toString("yyyy-MM-dd hh:mm:ss") + "] ";
    }
    int const l_indent = i_level > 1 ? 3 * qMin(i_level - 1, 100) : 0;
    return t_stamp + QString(l_indent, ' ') + i_text;
}

void FlushLog()
{
    ++WriteTurn();
    try {
        WriteQueued(std::numeric_limits<qint64>::max());
    } catch (...) {
    }
}

std::size_t QueuedLogLines()
{
    return Queue().m_lines.size();
}

quint64 LogMemoryGivenBack()
{
    return Queue().m_givenBack;
}

void SetLogClock(std::function<qint64()> i_clock)
{
    Queue().m_clock = std::move(i_clock);
}

void SetLogFileCap(qint64 i_bytes)
{
    FileCap() = i_bytes;
}

QString LogFolder() { return QDir::homePath() + "/qmar-client-logs"; }

void SetLogViewHook(LogViewHook i_hook)
{
    ViewHook() = std::move(i_hook);
}

void Log(QString const& i_category, int i_level, QString const& i_text, Item const& i_item)
{
    QCoreApplication* lp_app = QCoreApplication::instance();
    if (!lp_app || QThread::currentThread() == lp_app->thread()) {
        LogHere(i_category, i_level, i_text, i_item);
        return;
    }
    // Another thread: the store and the widgets belong to the GUI thread.
    // The item is not carried over, as copying it here would touch the store.
    try {
        QMetaObject::invokeMethod(
            lp_app, [i_category, i_level, i_text]() { LogHere(i_category, i_level, i_text, Item()); },
            Qt::QueuedConnection);
    } catch (...) {
    }
}

void DeclareItemLogTypes()
{
    if (!d.HasType(ITEM_LOG))
        d.NewType(ITEM_LOG, INTERMEDIATE, true, false);
    if (!d.HasType(ITEM_LOG_AREA))
        d.NewType(ITEM_LOG_AREA, LEAF, false, true);
    if (!d.HasType(ITEM_LOG_TEXT))
        d.NewType(ITEM_LOG_TEXT, LEAF, false, true);
    Type* lp_log = d.GetType(ITEM_LOG);
    for (char const* lp_attribute : {ITEM_LOG_AREA, ITEM_LOG_TEXT}) {
        Type* lp_type = d.GetType(lp_attribute);
        if (!lp_log->IsRelatedTo(lp_type))
            lp_log->RelateToType(lp_type, MANY, ONE, false);
    }
}

void RegisterLoggableItemType(std::string const& i_type)
{
    DeclareItemLogTypes();
    Type* lp_type = d.GetType(i_type);
    Type* lp_log = d.GetType(ITEM_LOG);
    // An item owns its entries: they go with it at the next collection.
    if (!lp_type->IsRelatedTo(lp_log))
        lp_type->RelateToType(lp_log, ONE, MANY, true);
}

std::vector<std::pair<QString, QString>> GetItemLog(Item const& i_item)
{
    std::vector<std::pair<QString, QString>> l_entries;
    if (i_item.IsNull() || !d.HasType(ITEM_LOG) || !i_item.GetType()->IsRelatedTo(d.GetType(ITEM_LOG)))
        return l_entries;
    for (Item const& l_entry : i_item.GetItems(ITEM_LOG))
        l_entries.emplace_back(l_entry[ITEM_LOG_AREA].AsString(), l_entry[ITEM_LOG_TEXT].AsString());
    return l_entries;
}
