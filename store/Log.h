#ifndef QUILLMAR_STORE_LOG_H
#define QUILLMAR_STORE_LOG_H

// The diagnostic log of every subsystem. Nothing is recorded unless the
// setting "show_diagnostics" is "yes". A line is "[" + date and time + "] "
// + three blanks per level above 1 + the text; it goes to the category's tab
// of the diagnostics window (through SetLogViewHook) and is appended to
// $HOME/qmar-client-logs/<category>.log. With "user_level_logging" also
// "yes", a line given an item of a loggable type (RegisterLoggableItemType)
// is kept as an "item_log" entry of that item.
//
// A text longer than 1,024 characters keeps its first and last 480 and
// says how many were cut between them (a name a peer made as long as he
// could).
//
// A category's file stays open between lines. Before the first line of each
// turn of the event loop it is checked against its path: a file removed or
// renamed meanwhile (the folder too) is made anew at the path, as after a
// write that failed.
//
// In a flood (more than 10 ms of writing in one turn of the event loop) the
// lines wait in a queue of at most 100,000 lines and 16 MiB and are written
// in slices of 10 ms, a write per batch of lines, so that logging never
// holds the event loop; lines beyond the queue are counted in a line of
// their own, and cost nothing but the count. Once a queue that held 4 MiB
// or more is written, its memory is given back to the system. The date and
// time of a line are made once a second.
//
// A file is cut at 5 MiB: it is renamed to "<category>.log.1" (replacing
// the one before) and begun anew, so that no flood fills the disk.
//
// Log never fails towards its caller: before the settings exist, for items
// that cannot hold log entries, when files cannot be written, and from any
// thread (calls from other threads are passed to the GUI thread; their item
// is not attached, since worker threads must not touch the store).

#include "store/Data.h"

#include <QString>

#include <functional>

void Log(QString const& i_category, int i_level, QString const& i_text, Item const& i_item = Item());

// Where lines are shown besides their files: the diagnostics window, which
// lives above the store, sets it while it exists. Called on the GUI thread
// with the category and one or more lines (joined by line breaks).
typedef std::function<void(QString const& i_category, QString const& i_lines)> LogViewHook;
void SetLogViewHook(LogViewHook i_hook);

// The line as written: "[<date time>] " + indentation + text.
QString FormatLogLine(int i_level, QString const& i_text);

// Writes every line that still waits after a flood; also done when the
// application quits and when the application object goes (lines logged
// while the window is torn down). GUI thread only.
void FlushLog();
// The lines that wait to be written.
std::size_t QueuedLogLines();
// How many times the log has given memory back: after its queue held much,
// and a second after a flood of lines (16 MiB of them) ended.
quint64 LogMemoryGivenBack();
// The millisecond clock that measures the time spent writing lines; null
// for the real one. For tests.
void SetLogClock(std::function<qint64()> i_clock);

// The size at which a log file is renamed aside and begun anew. For tests.
void SetLogFileCap(qint64 i_bytes);

// The folder of the log files.
QString LogFolder();

// Declares "item_log" and its attribute types when they are not declared
// yet. Idempotent.
void DeclareItemLogTypes();
// Relates a type to "item_log" so that its items can hold log entries.
// Idempotent.
void RegisterLoggableItemType(std::string const& i_type);

// An item's log entries in order: (category, line).
std::vector<std::pair<QString, QString>> GetItemLog(Item const& i_item);

#endif
