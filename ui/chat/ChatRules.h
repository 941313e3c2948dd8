#ifndef QUILLMAR_UI_CHAT_CHATRULES_H
#define QUILLMAR_UI_CHAT_CHATRULES_H

// The chat rules that the room page and the private chat page share, as
// functions of plain values: what a chat line, an action ("/me ") line and a
// status line are made of in a chat view, what each writes to its chat log
// (plain UTF-8 lines), when a conversation counts as ended, how far a long
// view is cut back, and where a room's or user's log file lies. ChatView
// (ChatView.h) is the one widget that applies them; the log viewer
// (ChatLogForm.h) reads the files they name. Nothing here touches the store
// or a widget, so the tables of tests/ui/chat call them directly.
//
// A line is a list of runs of plain text, each with the role that gives it
// its colour (and, for own text, its bold). Peer text thus never becomes
// markup: the view inserts runs as text, and the only links are the web
// addresses that the link rule finds in them. ChatLineHtml writes a line as
// rich text, the form in which its size is counted.

#include <QDateTime>
#include <QString>

#include <deque>
#include <utility>
#include <vector>

enum class ChatTimestamps
{
    ACTIVITY_BASED,   // "Chat started"/"Chat ended" markers, no per-line time
    PER_MESSAGE_SHORT, // "h:mm:ss" before every line
    PER_MESSAGE_LONG, // "MMM d h:mm:ss ap" before every line
    NONE
};
// The setting "chat_timestamps": any text but the first three modes' is NONE.
ChatTimestamps ChatTimestampsFrom(QString const& i_setting);

// Times in the C locale whatever the system's ("Jan 5 3:07:09 pm" and
// "15:07:09"): a log is a file format, and the view shows the same form.
QString ChatLongTime(QDateTime const& i_time);
QString ChatShortTime(QDateTime const& i_time);

// The colour-table entries a line uses, as colour names ("#rrggbb", or
// empty for none).
struct ChatColors
{
    QString m_timestamp;   // "chat_timestamp"
    QString m_username;    // "chat_username"
    QString m_status;      // "chat_status"
    QString m_ownMessages; // "chat_own_messages", shown bold
};

enum class ChatRole
{
    PLAIN,
    TIMESTAMP,
    USERNAME,
    STATUS,
    OWN_MESSAGE
};
struct ChatRun
{
    ChatRole m_role;
    QString m_text;
    bool operator==(ChatRun const& i_other) const { return m_role == i_other.m_role && m_text == i_other.m_text; }
};
using ChatLine = std::vector<ChatRun>;

// The colour of a role (empty for plain text).
QString ChatRoleColor(ChatRole i_role, ChatColors const& i_colors);

// "* " and the text in the status colour.
ChatLine ChatStatusLine(QString const& i_text);
// An ordinary line: the time by the mode, the sender in brackets, the text
// (own text when i_own).
ChatLine ChatTextLine(ChatTimestamps i_mode, QDateTime const& i_time, QString const& i_user, QString const& i_text,
                      bool i_own);
// The line as rich text: each coloured run in a font of its colour, own
// text also bold, the text escaped, then the web addresses made links.
QString ChatLineHtml(ChatLine const& i_line, ChatColors const& i_colors);
// Where the web addresses of a text are, as (start, length). The
// zero-width spaces that ChatShownLine puts into long words are passed over:
// an address runs on across them (and its link leaves them out).
using ChatAddresses = std::vector<std::pair<int, int>>;
// ChatLineHtml(...).size(), counted without writing the text: the chat view
// counts every line it shows. ip_addresses, when given, holds each run's
// ChatWebAddresses, so that a run whose text escaping leaves as it is
// needs no search of its own.
int ChatLineHtmlLength(ChatLine const& i_line, ChatColors const& i_colors,
                       std::vector<ChatAddresses> const* ip_addresses = nullptr);
ChatAddresses ChatWebAddresses(QString const& i_text);

// The text as one paragraph: the characters that would start another one
// (or a frame) become blanks.
QString ChatOneParagraph(QString i_text);

// What a chat view shows of a line: each run one paragraph, the whole
// bounded as other text from outside is (OutsideMarkup::BoundedText: a
// place to break in every long word, and no more than CHAT_LINE_SHOWN
// characters, a change of script or direction counting more). A paragraph
// is laid out in one piece, in time that grows faster than its length: a
// line of 131,000 characters held the window for seconds. A quarter of what
// a description shows: lines come many at a time, from many people, and a
// view lays out each one it shows. A cut line ends with a note in the
// status colour; the log keeps the line as it came.
int const CHAT_LINE_SHOWN = 4096;
ChatLine ChatShownLine(ChatLine const& i_line);

// True when the text, trimmed, begins with "/me " (case-sensitive); the
// action is the rest, trimmed again.
bool ChatAction(QString const& i_text, QString* op_action);
// The status text of an action line: "alice waves".
QString ChatActionStatus(QString const& i_user, QString const& i_action);
QString ChatStartedText(QDateTime const& i_time);
QString ChatEndedText(QDateTime const& i_lastLine);

// Log entries, without their line feed: "[Jan 5 3:07:09 pm][alice] hello"
// and "[Jan 5 3:07:09 pm] * alice waves". Raw text, never escaped; the
// name (and the action) isolated, as the viewer shows the lines.
QString ChatLogLine(QDateTime const& i_time, QString const& i_user, QString const& i_text);
QString ChatActionLogLine(QDateTime const& i_time, QString const& i_status);
// The entry a chat view logs for a line from i_user: the action form for a
// "/me " text, the ordinary one otherwise.
QString ChatLogEntry(QDateTime const& i_time, QString const& i_user, QString const& i_text);

// A conversation has ended when more than 299,999 ms passed since its last
// ordinary line.
bool ChatHasEnded(QDateTime const& i_lastLine, QDateTime const& i_now);

// A view is cut back once its lines hold more than CHAT_VIEW_LIMIT characters of
// rich text: the lines that start within the first CHAT_VIEW_DROP characters
// go, and the one holding that character with them. Each length counts its
// line's text and the one line break after it. Returns how many of the
// oldest lines go (0 while the view is within the limit).
int const CHAT_VIEW_LIMIT = 250000;
int const CHAT_VIEW_DROP = 50000;
int ChatLinesToDrop(std::deque<int> const& i_lengths, qint64 i_total);

// Where the logs lie, under the home folder.
enum class ChatLogKind
{
    ROOM,
    USER
};
// The setting that switches the kind's logging on ("log_room_chat",
// "log_private_chat") and the store type of its subject ("room", "user").
char const* ChatLogSwitch(ChatLogKind i_kind);
char const* ChatLogSubjectType(ChatLogKind i_kind);
// "<home>/Quillmar Chat Logs/Rooms" or ".../Users".
QString ChatLogFolder(ChatLogKind i_kind, QString const& i_home);
// A room or user name as a file name in that folder: other people choose
// these names, so "%", "/" and NUL are written "%25", "%2F" and "%00" and the
// name can never leave the folder; every other name is kept as it is, so
// older logs keep theirs. Empty for an empty name.
QString ChatLogFileName(QString const& i_name);
// The folder and the file name; empty for an empty name.
QString ChatLogPath(ChatLogKind i_kind, QString const& i_name, QString const& i_home);
// Appends the line's UTF-8 bytes and one line feed, creating the folder
// with its parents first. False when nothing could be written.
bool AppendChatLog(QString const& i_path, QString const& i_line);

#endif
