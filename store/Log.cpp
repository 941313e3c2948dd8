#include "store/Log.h"

#include "store/DiagnosticsForm.h"
#include "store/Settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QThread>

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

// Opened for each line, so that a log folder removed or rotated while the
// program runs is simply made again.
void AppendToFile(QString const& i_category, QString const& i_line)
{
    QDir const l_folder(LogFolder());
    if (!l_folder.exists()) {
        if (!QDir().mkpath(l_folder.path()))
            return;
        QFile::setPermissions(l_folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QFile l_file(l_folder.filePath(FileNameFor(i_category)));
    if (l_file.open(QIODevice::WriteOnly | QIODevice::Append))
        l_file.write(i_line.toUtf8() + '\n');
}

void AttachToItem(QString const& i_category, QString const& i_line, Item const& i_item)
{
    if (i_item.IsNull() || !IsSettingYes("user_level_logging") || !d.HasType(ITEM_LOG))
        return;
    Type* lp_log = d.GetType(ITEM_LOG);
    if (!i_item.GetType()->IsRelatedTo(lp_log))
        return;
    Item l_entry = lp_log->NewItem();
    l_entry += d.GetType(ITEM_LOG_AREA)->GetItem(Value(i_category));
    l_entry += d.GetType(ITEM_LOG_TEXT)->GetItem(Value(i_line));
    i_item += l_entry;
}

void LogHere(QString const& i_category, int i_level, QString const& i_text, Item const& i_item)
{
    try {
        if (!IsSettingYes("show_diagnostics"))
            return;
        QString const l_line = FormatLogLine(i_level, i_text);
        if (diagnosticsForm)
            diagnosticsForm->AddLine(i_category, l_line);
        AppendToFile(i_category, l_line);
        AttachToItem(i_category, l_line, i_item);
    } catch (...) {
        // The log is an observer: a failure here must not change what the
        // caller was doing.
    }
}

} // namespace

QString FormatLogLine(int i_level, QString const& i_text)
{
    int const l_indent = i_level > 1 ? 3 * qMin(i_level - 1, 100) : 0;
    return "[" + QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss") + "] " + QString(l_indent, ' ')
           + i_text;
}

QString LogFolder() { return QDir::homePath() + "/qmar-client-logs"; }

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
