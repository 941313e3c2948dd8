#include "ui/transfers/TransferRows.h"

#include "ui/widgets/OutsideText.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/Utilities.h"
#include "transfers/TransferItems.h"
#include "transfers/TransferQueueManager.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace TransferRows {

Item RowNode(char const* ip_nodeType, QTreeWidgetItem const* ip_row)
{
    if (!ip_row || !d.HasType(ip_nodeType))
        return Item();
    return d[ip_nodeType]->HasItem(Value(ip_row));
}

QTreeWidgetItem* NodeRow(Item const& i_node)
{
    // Node items are made only by the page, keyed by rows that are alive
    // for as long as the node is.
    return reinterpret_cast<QTreeWidgetItem*>(static_cast<std::uintptr_t>(i_node.AsUInt64()));
}

QString TimeLeftText(long long i_seconds)
{
    long long const l_seconds = std::max(0LL, i_seconds);
    QString l_text = QString("%1s").arg(l_seconds % 60);
    if (l_seconds >= 60)
        l_text.prepend(QString("%1m:").arg(l_seconds / 60 % 60));
    if (l_seconds > 3599)
        l_text.prepend(QString("%1h:").arg(l_seconds / 3600));
    return "   " + l_text;
}

double Percent(long long i_done, long long i_total, bool i_complete)
{
    if (i_total <= 0)
        return i_complete ? 100.0 : 0.0;
    return std::clamp(double(i_done) * 100.0 / double(i_total), 0.0, 100.0);
}

QString ProgressText(long long i_done, double i_percent)
{
    return QString("%1 (%2%)").arg(CommafyNumber(i_done), QString::number(i_percent, 'f', 1));
}

QString SpeedText(long long i_bytesPerSecond)
{
    return QString::number(double(i_bytesPerSecond) / 1024.0, 'f', 1);
}

namespace {

// "60.0 MiB": the largest binary unit in which the size is at least one.
QString ShortSize(long long i_bytes)
{
    static char const* const s_units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double l_value = double(i_bytes);
    int l_unit = -1;
    while (l_value >= 1024.0 && l_unit + 1 < int(std::size(s_units))) {
        l_value /= 1024.0;
        ++l_unit;
    }
    return l_unit < 0 ? QString("%1 B").arg(i_bytes)
                      : QString("%1 %2").arg(QString::number(l_value, 'f', 1), s_units[l_unit]);
}

} // namespace

int BarTextRoom(int i_barWidth)
{
    // Four pixels a side: a frame of one or two, and what some styles
    // keep between it and the text.
    return i_barWidth - 8;
}

QString FittingBarText(QString const& i_text, int i_width, QFontMetrics const& i_metrics)
{
    auto const l_fits = [&](QString const& i_form) { return i_metrics.horizontalAdvance(i_form) <= i_width; };
    QChar const l_blank(QChar::Nbsp);
    int const l_open = i_text.lastIndexOf(QLatin1String(" ("));
    if (l_open < 0)
        return l_fits(i_text) ? i_text : QString();
    QString const l_percent = i_text.mid(l_open + 1);
    QString const l_done = i_text.left(l_open);
    if (!l_done.isEmpty()) {
        if (QString const l_whole = l_done + l_blank + l_percent; l_fits(l_whole))
            return l_whole;
        long long l_bytes = 0;
        for (QChar const l_char : l_done)
            if (l_char.isDigit())
                l_bytes = l_bytes * 10 + l_char.digitValue();
        if (QString const l_short = ShortSize(l_bytes).replace(' ', l_blank) + l_blank + l_percent; l_fits(l_short))
            return l_short;
    }
    QString const l_alone = l_percent.mid(1, l_percent.size() - 2);
    return l_fits(l_alone) ? l_alone : QString();
}

QString RetryTime(Item const& i_entry)
{
    if (!d.HasType("download_retry_time"))
        return QString();
    QString const l_text = i_entry["download_retry_time"].AsString();
    if (l_text.isEmpty())
        return QString();
    QDateTime const l_now = TransferItems::CurrentTime();
    QDateTime const l_due = TransferItems::StoredTime(l_text, l_now);
    return l_due.isValid() ? l_due.toLocalTime().toString("HH:mm") : QString();
}

QFont BarFont(QFont i_font, int i_barHeight)
{
    i_font.setBold(true);
    // One pixel of frame above the text and one below.
    int const l_room = std::max(1, i_barHeight - 2);
    QFontMetrics l_metrics(i_font);
    if (l_metrics.height() <= l_room)
        return i_font;
    int l_pixels = i_font.pixelSize() > 0 ? i_font.pixelSize() : QFontInfo(i_font).pixelSize();
    l_pixels = std::max(1, l_pixels * l_room / l_metrics.height());
    for (;;) {
        i_font.setPixelSize(l_pixels);
        if (l_pixels == 1 || QFontMetrics(i_font).height() <= l_room)
            return i_font;
        --l_pixels;
    }
}

QString AggregateStatus(ItemSet const& i_entries, char const* ip_statusType, bool i_downloads)
{
    StatusTally l_tally(ip_statusType, i_downloads);
    for (Item const& l_entry : i_entries)
        l_tally.Add(l_entry);
    return l_tally.Status();
}

StatusTally::StatusTally(char const* ip_statusType, bool i_downloads)
    : mp_statusType(ip_statusType), m_downloads(i_downloads)
{
    Type* lp_statuses = d[ip_statusType];
    char const* const lp_names[KINDS] = {i_downloads ? "downloading" : "uploading", "queued", "complete", "paused",
                                         "denied", "aborted", "local error"};
    for (int l_kind = 0; l_kind < KINDS; ++l_kind)
        m_status[l_kind] = lp_statuses->HasItem(Value(lp_names[l_kind]));
}

void StatusTally::Add(Item const& i_entry)
{
    ++m_all;
    Item const l_entryStatus = i_entry[mp_statusType];
    for (int l_kind = 0; l_kind < KINDS; ++l_kind)
        if (m_status[l_kind].IsValid() && l_entryStatus == m_status[l_kind]) {
            ++m_counts[l_kind];
            return;
        }
}

QString StatusTally::Status() const
{
    if (m_counts[ACTIVE] > 0)
        return m_downloads ? "downloading" : "uploading";
    if (m_counts[QUEUED] > 0)
        return "queued";
    if (m_counts[COMPLETE] == m_all)
        return "complete";
    if (m_downloads && m_counts[PAUSED] == m_all)
        return "paused";
    if (m_counts[DENIED] > 0)
        return "denied";
    if (m_counts[ABORTED] > 0)
        return "aborted";
    // A folder whose one file could not be written would otherwise show no
    // status at all, and look as if it waited.
    if (m_counts[LOCAL_ERROR] > 0)
        return "local error";
    return QString();
}

QString DenialToolTip(QString const& i_reason, QString const& i_user, bool i_downloads)
{
    if (!i_downloads && i_reason == QLatin1String("Cancelled"))
        return QString("%1 did not take the file (\"Cancelled\"): it is not among the downloads %1 asked for, or "
                       "it is paused there.")
            .arg(Isolated(i_user));
    if (!i_downloads && i_reason == QLatin1String("Complete"))
        return QString("%1 has the whole file already (\"Complete\").").arg(Isolated(i_user));
    return QString("%1 refused: %2").arg(Isolated(i_user), Isolated(i_reason));
}

void SetRowToolTip(QTreeWidgetItem* ip_row, QString const& i_reason)
{
    QString const l_tip = i_reason.isEmpty() ? QString() : LiteralToolTip(i_reason);
    int const l_columns = ip_row->treeWidget() ? ip_row->treeWidget()->columnCount() : ip_row->columnCount();
    for (int l_column = 0; l_column < l_columns; ++l_column)
        ip_row->setToolTip(l_column, l_tip);
}

QColor StatusColor(QString const& i_status)
{
    struct Role
    {
        char const* mp_key;
        QRgb m_default;
    };
    static Role const s_complete{"transfer_complete", qRgb(0, 100, 0)};
    static Role const s_inProgress{"transfer_in_progress", qRgb(0, 0, 255)};
    static Role const s_queued{"transfer_queued", qRgb(51, 102, 255)};
    static Role const s_failed{"transfer_failed", qRgb(255, 10, 71)};
    static Role const s_paused{"transfer_paused", qRgb(240, 141, 41)};
    static Role const s_other{"transfer_other", qRgb(0, 0, 0)};
    Role const* lp_role = &s_other;
    if (i_status == "complete")
        lp_role = &s_complete;
    else if (i_status == "downloading" || i_status == "uploading" || i_status == "connecting")
        lp_role = &s_inProgress;
    else if (i_status == "queued")
        lp_role = &s_queued;
    else if (i_status == "denied" || i_status == "aborted" || i_status == "local error")
        lp_role = &s_failed;
    else if (i_status == "paused")
        lp_role = &s_paused;

    if (d.HasType("color_setting") && d.HasType("color_setting_value")) {
        QColor const l_color(d["color_setting"]->HasItem(Value(lp_role->mp_key))["color_setting_value"].AsString());
        if (l_color.isValid())
            return l_color;
    }
    return QColor(lp_role->m_default);
}

void SetRowColor(QTreeWidgetItem* ip_row, QColor const& i_color)
{
    // Every column of the tree: a group row's status comes after its colour.
    QBrush const l_brush(i_color, Qt::SolidPattern);
    int const l_columns = ip_row->treeWidget() ? ip_row->treeWidget()->columnCount() : ip_row->columnCount();
    for (int l_column = 0; l_column < l_columns; ++l_column)
        ip_row->setForeground(l_column, l_brush);
}

namespace {

QString CleanSlashes(QString i_path)
{
    return QDir::cleanPath(i_path.replace(QLatin1Char('\\'), QLatin1Char('/')));
}

bool IsWithin(QString const& i_path, QString const& i_root)
{
    if (i_root.isEmpty() || !QDir::isAbsolutePath(i_root))
        return false;
    return i_path == i_root || i_path.startsWith(i_root == "/" ? i_root : i_root + "/");
}

// The path when it lies at or under one of the user's shared folders.
QString UnderSharedRoot(QString const& i_path)
{
    if (i_path.isEmpty() || !d.HasType("shared_folder"))
        return QString();
    for (Item const& l_root : d["shared_folder"]->GetItems())
        if (IsWithin(i_path, CleanSlashes(l_root.AsString())))
            return i_path;
    return QString();
}

Item UploadSharedFile(Item const& i_entry)
{
    return d.HasType("shared_file_folder") && d.HasType("shared_file_name") ? i_entry["shared_file"] : Item();
}

} // namespace

QString DownloadFilePath(Item const& i_entry)
{
    if (!transferQueueManager || i_entry.IsNull())
        return QString();
    return transferQueueManager->GetSafeDownloadPath(i_entry, true);
}

QString DownloadFolderPath(Item const& i_entry)
{
    // The safe path's last component is one clean name, so what is above it
    // is the entry's folder, and it is under the download folder too.
    QString const l_file = DownloadFilePath(i_entry);
    return l_file.isEmpty() ? QString() : QFileInfo(l_file).path();
}

QString UploadFilePath(Item const& i_entry)
{
    Item const l_file = UploadSharedFile(i_entry);
    if (l_file.IsNull())
        return QString();
    QString const l_name = l_file["shared_file_name"].AsString();
    if (l_name.isEmpty())
        return QString();
    return UnderSharedRoot(CleanSlashes(l_file["shared_file_folder"].AsString() + "/" + l_name));
}

QString UploadFolderPath(Item const& i_entry)
{
    Item const l_file = UploadSharedFile(i_entry);
    if (l_file.IsNull())
        return QString();
    return UnderSharedRoot(CleanSlashes(l_file["shared_file_folder"].AsString()));
}

void OpenLocalPath(QString const& i_path, QString const& i_what)
{
    if (i_path.isEmpty()) {
        Log("Transfers", 1, QString("Not opening %1: it lies outside the folders it may be in").arg(i_what));
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(i_path));
}

} // namespace TransferRows
