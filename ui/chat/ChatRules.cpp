#include "ui/chat/ChatRules.h"

#include "store/Utilities.h"

#include <QDir>
#include <QFile>
#include <QLocale>

namespace {

QString Font(QString const& i_color, QString const& i_html)
{
    return QStringLiteral("<font color=\"%1\">%2</font>").arg(i_color, i_html);
}

} // namespace

ChatTimestamps ChatTimestampsFrom(QString const& i_setting)
{
    if (i_setting == QLatin1String("activity_based"))
        return ChatTimestamps::ACTIVITY_BASED;
    if (i_setting == QLatin1String("per_message_short"))
        return ChatTimestamps::PER_MESSAGE_SHORT;
    if (i_setting == QLatin1String("per_message_long"))
        return ChatTimestamps::PER_MESSAGE_LONG;
    return ChatTimestamps::NONE;
}

QString ChatLongTime(QDateTime const& i_time)
{
    return QLocale::c().toString(i_time, QStringLiteral("MMM d h:mm:ss ap"));
}

QString ChatShortTime(QDateTime const& i_time)
{
    return QLocale::c().toString(i_time, QStringLiteral("h:mm:ss"));
}

QString ChatStatusHtml(QString const& i_text, ChatColors const& i_colors)
{
    return ConvertLinks(QStringLiteral("* ") + Font(i_colors.m_status, EscapeHTML(i_text)));
}

QString ChatLineHtml(ChatTimestamps i_mode, QDateTime const& i_time, QString const& i_user, QString const& i_text,
                     bool i_own, ChatColors const& i_colors)
{
    QString l_line;
    if (i_mode == ChatTimestamps::PER_MESSAGE_SHORT)
        l_line = '[' + Font(i_colors.m_timestamp, ChatShortTime(i_time)) + ']';
    else if (i_mode == ChatTimestamps::PER_MESSAGE_LONG)
        l_line = '[' + Font(i_colors.m_timestamp, ChatLongTime(i_time)) + ']';
    l_line += '[' + Font(i_colors.m_username, EscapeHTML(i_user)) + "] ";
    if (i_own)
        l_line += "<b>" + Font(i_colors.m_ownMessages, EscapeHTML(i_text)) + "</b>";
    else
        l_line += EscapeHTML(i_text);
    return ConvertLinks(l_line);
}

bool ChatAction(QString const& i_text, QString* op_action)
{
    QString const l_trimmed = i_text.trimmed();
    if (!l_trimmed.startsWith(QLatin1String("/me ")))
        return false;
    if (op_action)
        *op_action = l_trimmed.mid(4).trimmed();
    return true;
}

QString ChatActionStatus(QString const& i_user, QString const& i_action)
{
    return QStringLiteral("%1 %2").arg(i_user, i_action);
}

QString ChatStartedText(QDateTime const& i_time)
{
    return QStringLiteral("Chat started ") + ChatLongTime(i_time);
}

QString ChatEndedText(QDateTime const& i_lastLine)
{
    return QStringLiteral("Chat ended ") + ChatLongTime(i_lastLine);
}

QString ChatLogLine(QDateTime const& i_time, QString const& i_user, QString const& i_text)
{
    return QStringLiteral("[%1][%2] %3").arg(ChatLongTime(i_time), i_user, i_text);
}

QString ChatActionLogLine(QDateTime const& i_time, QString const& i_status)
{
    return QStringLiteral("[%1] * %2").arg(ChatLongTime(i_time), i_status);
}

bool ChatHasEnded(QDateTime const& i_lastLine, QDateTime const& i_now)
{
    return i_lastLine.msecsTo(i_now) > 299999;
}

int ChatLinesToDrop(std::deque<int> const& i_lengths, qint64 i_total)
{
    if (i_total <= CHAT_VIEW_LIMIT)
        return 0;
    qint64 l_dropped = 0;
    int l_lines = 0;
    for (int l_length : i_lengths) {
        l_dropped += l_length;
        ++l_lines;
        if (l_dropped > CHAT_VIEW_DROP)
            break;
    }
    return l_lines;
}

char const* ChatLogSwitch(ChatLogKind i_kind)
{
    return i_kind == ChatLogKind::ROOM ? "log_room_chat" : "log_private_chat";
}

char const* ChatLogSubjectType(ChatLogKind i_kind)
{
    return i_kind == ChatLogKind::ROOM ? "room" : "user";
}

QString ChatLogFolder(ChatLogKind i_kind, QString const& i_home)
{
    return i_home + (i_kind == ChatLogKind::ROOM ? QStringLiteral("/Quillmar Chat Logs/Rooms")
                                                 : QStringLiteral("/Quillmar Chat Logs/Users"));
}

QString ChatLogFileName(QString const& i_name)
{
    if (i_name.isEmpty())
        return QString();
    QString l_name = i_name;
    // "%" first, so that the escapes written for the others stay as they are.
    l_name.replace('%', QLatin1String("%25"));
    l_name.replace('/', QLatin1String("%2F"));
    l_name.replace(QChar(0), QLatin1String("%00"));
    return l_name + QStringLiteral(".log");
}

QString ChatLogPath(ChatLogKind i_kind, QString const& i_name, QString const& i_home)
{
    QString const l_file = ChatLogFileName(i_name);
    return l_file.isEmpty() ? QString() : ChatLogFolder(i_kind, i_home) + '/' + l_file;
}

bool AppendChatLog(QString const& i_path, QString const& i_line)
{
    if (i_path.isEmpty())
        return false;
    // At every line: the user may have moved or removed the folder meanwhile.
    QDir().mkpath(QFileInfo(i_path).path());
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QByteArray const l_bytes = i_line.toUtf8() + '\n';
    return l_file.write(l_bytes) == l_bytes.size();
}
