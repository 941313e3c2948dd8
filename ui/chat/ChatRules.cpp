#include "ui/chat/ChatRules.h"

#include "store/Utilities.h"
#include "ui/widgets/OutsideMarkup.h"
#include "ui/widgets/OutsideText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // Every line of a flood is stamped within the same second: the text is
    // made once a second (and again when the offset from UTC changes).
    static qint64 s_second = std::numeric_limits<qint64>::min();
    static int s_offset = 0;
    static QString s_text;
    qint64 const l_second = i_time.toSecsSinceEpoch();
    int const l_offset = i_time.offsetFromUtc();
    if (l_second != s_second || l_offset != s_offset || s_text.isEmpty()) {
        s_text = QLocale::c().toString(i_time, QStringLiteral("MMM d h:mm:ss ap"));
        s_second = l_second;
        s_offset = l_offset;
    }
    return s_text;
}

QString ChatShortTime(QDateTime const& i_time)
{
    return QLocale::c().toString(i_time, QStringLiteral("h:mm:ss"));
}

ChatLine ChatStatusLine(QString const& i_text)
{
    return {{ChatRole::PLAIN, QStringLiteral("* ")}, {ChatRole::STATUS, i_text}};
}

ChatLine ChatTextLine(ChatTimestamps i_mode, QDateTime const& i_time, QString const& i_user, QString const& i_text,
                      bool i_own)
{
    ChatLine l_line;
    if (i_mode == ChatTimestamps::PER_MESSAGE_SHORT || i_mode == ChatTimestamps::PER_MESSAGE_LONG) {
        l_line.push_back({ChatRole::PLAIN, QStringLiteral("[")});
        l_line.push_back({ChatRole::TIMESTAMP, i_mode == ChatTimestamps::PER_MESSAGE_SHORT ? ChatShortTime(i_time)
                                                                                        : ChatLongTime(i_time)});
        l_line.push_back({ChatRole::PLAIN, QStringLiteral("]")});
    }
    l_line.push_back({ChatRole::PLAIN, QStringLiteral("[")});
    l_line.push_back({ChatRole::USERNAME, Isolated(i_user)});
    l_line.push_back({ChatRole::PLAIN, QStringLiteral("] ")});
    l_line.push_back({i_own ? ChatRole::OWN_MESSAGE : ChatRole::PLAIN, i_text});
    return l_line;
}

QString ChatRoleColor(ChatRole i_role, ChatColors const& i_colors)
{
    switch (i_role) {
    case ChatRole::PLAIN: break;
    case ChatRole::TIMESTAMP: return i_colors.m_timestamp;
    case ChatRole::USERNAME: return i_colors.m_username;
    case ChatRole::STATUS: return i_colors.m_status;
    case ChatRole::OWN_MESSAGE: return i_colors.m_ownMessages;
    }
    return QString();
}

QString ChatLineHtml(ChatLine const& i_line, ChatColors const& i_colors)
{
    QString l_html;
    for (ChatRun const& l_run : i_line) {
        QString l_runHtml = EscapeHTML(l_run.m_text);
        if (l_run.m_role != ChatRole::PLAIN)
            l_runHtml = QStringLiteral("<font color=\"%1\">%2</font>").arg(ChatRoleColor(l_run.m_role, i_colors), l_runHtml);
        l_html += l_run.m_role == ChatRole::OWN_MESSAGE ? "<b>" + l_runHtml + "</b>" : l_runHtml;
    }
    return ConvertLinks(l_html);
}

int ChatLineHtmlLength(ChatLine const& i_line, ChatColors const& i_colors,
                       std::vector<ChatAddresses> const* ip_addresses)
{
    // Tags and links never cross runs (a link stops at the "<" of a tag, and
    // a run that a link could start in follows a blank or a tag), so each
    // run counts on its own: its text escaped ("&" +4, "<" and ">" +3, each
    // pair of blanks, from the left, +5), its font and bold tags, and for
    // each web address of the escaped text its anchor tags and the address
    // once more. Only text holding "http" can hold an address.
    int l_length = 0;
    for (std::size_t l_index = 0; l_index < i_line.size(); ++l_index) {
        ChatRun const& l_run = i_line[l_index];
        QString const& l_text = l_run.m_text;
        int l_escaped = l_text.size();
        int l_blanks = 0;
        for (QChar const l_char : l_text) {
            ushort const l_code = l_char.unicode();
            if (l_code == '&')
                l_escaped += 4;
            else if (l_code == '<' || l_code == '>')
                l_escaped += 3;
            l_blanks = l_code == ' ' ? l_blanks + 1 : 0;
            if (l_blanks == 2) {
                l_escaped += 5;
                l_blanks = 0;
            }
        }
        l_length += l_escaped;
        if (l_run.m_role != ChatRole::PLAIN)
            l_length += int(sizeof("<font color=\"\"></font>")) - 1 + ChatRoleColor(l_run.m_role, i_colors).size();
        if (l_run.m_role == ChatRole::OWN_MESSAGE)
            l_length += int(sizeof("<b></b>")) - 1;
        int const l_anchor = int(sizeof("<a href=\"\"></a>")) - 1;
        if (ip_addresses && l_index < ip_addresses->size() && l_escaped == l_text.size()) {
            for (std::pair<int, int> const& l_address : (*ip_addresses)[l_index])
                l_length += l_anchor + l_address.second;
            continue;
        }
        if (!l_text.contains(QLatin1String("http")))
            continue;
        for (QRegularExpressionMatchIterator l_match = WebAddressPattern().globalMatch(EscapeHTML(l_text));
             l_match.hasNext();)
            l_length += l_anchor + l_match.next().capturedLength();
    }
    return l_length;
}

ChatAddresses ChatWebAddresses(QString const& i_text)
{
    ChatAddresses l_addresses;
    QChar const l_break(0x200B);
    if (!i_text.contains(l_break)) {
        // The pattern begins with "http": most runs need no match at all.
        if (!i_text.contains(QLatin1String("http")))
            return l_addresses;
        for (QRegularExpressionMatchIterator l_match = WebAddressPattern().globalMatch(i_text); l_match.hasNext();) {
            QRegularExpressionMatch const l_next = l_match.next();
            l_addresses.emplace_back(l_next.capturedStart(), l_next.capturedLength());
        }
        return l_addresses;
    }
    // Found in the text without its breaks, then placed back in it.
    QString l_joined;
    std::vector<int> l_at;
    l_joined.reserve(i_text.size());
    l_at.reserve(std::size_t(i_text.size()));
    for (int l_pos = 0; l_pos < i_text.size(); ++l_pos)
        if (i_text[l_pos] != l_break) {
            l_joined += i_text[l_pos];
            l_at.push_back(l_pos);
        }
    for (std::pair<int, int> const& l_address : ChatWebAddresses(l_joined)) {
        int const l_start = l_at[std::size_t(l_address.first)];
        l_addresses.emplace_back(l_start, l_at[std::size_t(l_address.first + l_address.second - 1)] + 1 - l_start);
    }
    return l_addresses;
}

QString ChatOneParagraph(QString i_text)
{
    // Every character the bidirectional algorithm ends a paragraph at (the
    // breaks, U+001C to U+001E, U+0085, U+2029), not only those we type: an
    // isolate is closed and opened again at each, so that a cut line of
    // them would show three times its bound.
    for (QChar& l_char : i_text)
        if (l_char.direction() == QChar::DirB || l_char == QChar::LineSeparator || l_char == QChar(0xfdd0) ||
            l_char == QChar(0xfdd1))
            l_char = ' ';
    return i_text;
}

ChatLine ChatShownLine(ChatLine const& i_line)
{
    ChatLine l_shown;
    int l_left = CHAT_LINE_SHOWN;
    for (ChatRun const& l_run : i_line) {
        OutsideMarkup::ShownText l_text = OutsideMarkup::BoundedText(ChatOneParagraph(l_run.m_text), l_left);
        l_left -= l_text.m_counted;
        // What the cut run opened (an override, the name's own isolate) is
        // closed before our note.
        l_shown.push_back({l_run.m_role, l_text.m_cut ? Isolated(l_text.m_text) : std::move(l_text.m_text)});
        if (l_text.m_cut) {
            l_shown.push_back({ChatRole::STATUS, ' ' + OutsideMarkup::CutNote()});
            break;
        }
    }
    return l_shown;
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
    return QStringLiteral("[%1][%2] %3").arg(ChatLongTime(i_time), Isolated(i_user), i_text);
}

QString ChatActionLogLine(QDateTime const& i_time, QString const& i_status)
{
    return QStringLiteral("[%1] * %2").arg(ChatLongTime(i_time), i_status);
}

QString ChatLogEntry(QDateTime const& i_time, QString const& i_user, QString const& i_text)
{
    QString l_action;
    if (ChatAction(i_text, &l_action))
        return ChatActionLogLine(i_time, ChatActionStatus(Isolated(i_user), Isolated(l_action)));
    return ChatLogLine(i_time, i_user, i_text);
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
    // "%" first, so that the escapes written for the others stay as they
    // are. Control characters (ESC, CR, LF...) would reach a terminal that
    // lists the folder, or split the name in a listing: each is written as
    // its UTF-8 bytes in "%XX", as NUL is.
    QString l_name;
    l_name.reserve(i_name.size() + 8);
    for (QChar const l_char : i_name) {
        ushort const l_code = l_char.unicode();
        if (l_code == '%' || l_code == '/' || l_code < 0x20 || (l_code >= 0x7F && l_code < 0xA0)) {
            for (char const l_byte : QString(l_char).toUtf8())
                l_name += QStringLiteral("%%1").arg(uint(uchar(l_byte)), 2, 16, QLatin1Char('0')).toUpper();
        } else {
            l_name += l_char;
        }
    }
    return l_name + QStringLiteral(".log");
}

QString ChatLogPath(ChatLogKind i_kind, QString const& i_name, QString const& i_home)
{
    QString const l_file = ChatLogFileName(i_name);
    return l_file.isEmpty() ? QString() : ChatLogFolder(i_kind, i_home) + '/' + l_file;
}

namespace {

// The logs hold private conversations: the folders are the owner's alone,
// and so are the files. A folder made by an older version (0755) is
// tightened once a run, which also covers the files it already holds.
bool MakeLogFolder(QString const& i_folder)
{
    QByteArray const l_folder = QFile::encodeName(i_folder);
    QByteArray const l_root = QFile::encodeName(QFileInfo(i_folder).path());
    for (QByteArray const& l_path : {l_root, l_folder})
        if (::mkdir(l_path.constData(), 0700) != 0 && errno != EEXIST) {
            // The home folder itself may be missing its parents (a test's).
            if (errno != ENOENT || !QDir().mkpath(QFile::decodeName(l_path)))
                return false;
            ::chmod(l_path.constData(), 0700);
        }
    return true;
}

void TightenOnce(QString const& i_folder)
{
    static QSet<QString> s_tightened;
    if (s_tightened.contains(i_folder))
        return;
    s_tightened.insert(i_folder);
    for (QString const& l_path : {QFileInfo(i_folder).path(), i_folder}) {
        QByteArray const l_native = QFile::encodeName(l_path);
        struct stat l_stat;
        if (::lstat(l_native.constData(), &l_stat) == 0 && S_ISDIR(l_stat.st_mode) && (l_stat.st_mode & 077) != 0)
            ::chmod(l_native.constData(), l_stat.st_mode & 0700);
    }
}

} // namespace

bool AppendChatLog(QString const& i_path, QString const& i_line)
{
    if (i_path.isEmpty())
        return false;
    // Opened, written and closed by the system calls alone: a busy room
    // logs many lines a second, and the file object's checks around them
    // cost more than the write. The folder is made again whenever it is
    // missing: the user may have moved or removed it meanwhile.
    QByteArray const l_path = QFile::encodeName(i_path);
    QString const l_folder = QFileInfo(i_path).path();
    int const l_flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int l_fd = ::open(l_path.constData(), l_flags, 0600);
    if (l_fd < 0 && errno == ENOENT && MakeLogFolder(l_folder))
        l_fd = ::open(l_path.constData(), l_flags, 0600);
    if (l_fd < 0)
        return false;
    TightenOnce(l_folder);
    QByteArray const l_bytes = i_line.toUtf8() + '\n';
    qint64 l_written = 0;
    while (l_written < l_bytes.size()) {
        ssize_t const l_result = ::write(l_fd, l_bytes.constData() + l_written, size_t(l_bytes.size() - l_written));
        if (l_result < 0 && errno == EINTR)
            continue;
        if (l_result <= 0)
            break;
        l_written += l_result;
    }
    ::close(l_fd);
    return l_written == l_bytes.size();
}
