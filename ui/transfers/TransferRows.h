#ifndef QUILLMAR_UI_TRANSFERS_TRANSFERROWS_H
#define QUILLMAR_UI_TRANSFERS_TRANSFERROWS_H

// What the transfers page and its menus share: how a row is bound to its
// node item, the texts and colours of statuses and progress, and the local
// paths that may be handed to the desktop.

#include "store/Data.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QMenu>
#include <QString>

class QTreeWidgetItem;

namespace TransferRows {

// ---- row binding: a node item keyed by its row's address

// The node of that type bound to the row; null when there is none (never
// creates).
Item RowNode(char const* ip_nodeType, QTreeWidgetItem const* ip_row);
// The row a node stands for; null for a null node.
QTreeWidgetItem* NodeRow(Item const& i_node);

// ---- texts

// "   " then "[h]h:[m]m:" as needed, then "[s]s": 3599 gives "   59m:59s".
// Negative durations read as 0.
QString TimeLeftText(long long i_seconds);
// Done of total in percent, clamped to 0..100; an empty total counts as
// done only once the transfer is complete.
double Percent(long long i_done, long long i_total, bool i_complete);
// "1,048,576 (12.5%)"; nothing before the blank while nothing is done.
QString ProgressText(long long i_done, double i_percent);
// Kibibytes per second with one decimal: 1536 gives "1.5".
QString SpeedText(long long i_bytesPerSecond);
// What a bar of that width shows of a progress text ("62,914,560
// (100.0%)"), whole or not at all: the text, then its bytes in a larger
// unit ("60.0 MiB (100.0%)"), then the percentage alone ("100.0%"), the
// first that fits; empty when none does. A number cut at the bar's edge
// or elided reads as another number. Measured in the metrics of the font
// it is painted in (BarFont, on the device painted on), with the blank
// kept from breaking.
QString FittingBarText(QString const& i_text, int i_width, QFontMetrics const& i_metrics);
// The room a bar's text has inside a bar of that width: what its frame
// and the styles' padding leave.
int BarTextRoom(int i_barWidth);
// When a download that failed here is asked for again ("10:52"); empty
// when it waits for no retry.
QString RetryTime(Item const& i_entry);

// ---- finished bars

// A finished transfer's full bar is painted from two values of its Progress
// cell rather than shown by a widget of its own: a tree looks at every row
// widget it holds each time a row comes or goes, and a queue of thousands of
// finished downloads built with a widget each took minutes.
int const FINISHED_BAR_TEXT_ROLE = Qt::UserRole + 1; // "1,000 (100.0%)"
int const FINISHED_BAR_VALUE_ROLE = Qt::UserRole + 2; // 100

// ---- bars

// Every bar is this high, painted or a widget.
int const BAR_HEIGHT = 14;
// The font of a bar's text: the given one made bold, as the client's style
// paints a label, while its lines fit inside the frame of a bar that high,
// else one of fewer pixels that does (the tree's font lost the lower part
// of its digits, and a comma read as a full stop).
QFont BarFont(QFont i_font, int i_barHeight = BAR_HEIGHT);

// ---- statuses

// The status a group row shows for its entries' statuses, by the first rule
// that holds (downloads and uploads differ in their rules).
QString AggregateStatus(ItemSet const& i_entries, char const* ip_statusType, bool i_downloads);
// The same rules over entries counted a few at a time.
class StatusTally
{
public:
    StatusTally(char const* ip_statusType, bool i_downloads);
    void Add(Item const& i_entry);
    QString Status() const;

private:
    enum { ACTIVE, QUEUED, COMPLETE, PAUSED, DENIED, ABORTED, LOCAL_ERROR, KINDS };
    char const* mp_statusType;
    bool m_downloads;
    // Statuses are shared items: counting by item spares a text per entry.
    Item m_status[KINDS];
    std::size_t m_counts[KINDS] = {};
    std::size_t m_all = 0;
};
// What a row denied by its peer says in its tool tip: the peer's words,
// explained where they say little ("Cancelled" is all a downloader answers
// to a file offered that it does not take).
QString DenialToolTip(QString const& i_reason, QString const& i_user, bool i_downloads);
// Shows a row's reason (none: empty) in each cell's tool tip.
void SetRowToolTip(QTreeWidgetItem* ip_row, QString const& i_reason);
// The colour of a status: the colour table's value for its role, or the
// role's default while the table has none.
QColor StatusColor(QString const& i_status);
void SetRowColor(QTreeWidgetItem* ip_row, QColor const& i_color);

// ---- local paths handed to the desktop

// The finished file of a download and its folder ("/" separators), only
// when they lie under the download folder; empty otherwise.
QString DownloadFilePath(Item const& i_entry);
QString DownloadFolderPath(Item const& i_entry);
// The shared file of an upload and its folder, only when they lie under
// one of the user's shared folders; empty otherwise.
QString UploadFilePath(Item const& i_entry);
QString UploadFolderPath(Item const& i_entry);
// Opens a local path with the desktop; an empty path is logged and not
// opened. i_what names it in the log, its names from outside isolated.
void OpenLocalPath(QString const& i_path, QString const& i_what);

// ---- context menus

// The first commands of the entries' part of a context menu, set apart from
// what the menu already holds: Open File (when i_withFile) and Open Folder.
template <class Options>
void AddOpenCommands(QMenu* ip_menu, Options* ip_options, bool i_withFile)
{
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    if (i_withFile)
        ip_menu->addAction(QIcon(":/icons/play_icon"), "Open File", ip_options, &Options::OnOpenFile);
    ip_menu->addAction(QIcon(":/icons/folder_icon"), "Open Folder", ip_options, &Options::OnOpenFolder);
}

} // namespace TransferRows

#endif
