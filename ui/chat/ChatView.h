#ifndef QUILLMAR_UI_CHAT_CHATVIEW_H
#define QUILLMAR_UI_CHAT_CHATVIEW_H

// The chat view of every chat page: the room page (RoomForm) and the private
// chat page (ChatForm) each hold one, named "chatView" in their forms. It
// applies the rules of ChatRules.h: it shows ordinary, action and status
// lines, keeps the conversation's activity (start and end markers, checked
// on the shared 30-second timer), cuts itself back when it grows past its
// limit, writes each line to the log of its room or user and feeds that
// log's open viewer (ChatLogForm). It knows nothing of what a page does
// around a line (which lines a room takes, notifications, sending): the
// page decides that and calls AddChat or AddStatusMessage.
//
// Lines come from other people: the view shows them as runs of plain text
// in the colours of their roles, never as markup, so nothing in a line can
// change how it is shown or make the view load anything; and only as much
// of a line as ChatShownLine keeps, so that no line holds the window while
// it is laid out (the log keeps the whole line). Web addresses are
// the only links; the view follows none itself: a click on one comes out as
// anchorClicked for the page. A line after a quiet spell shows at once; the
// lines of a flood are laid out and painted together, the first burst after
// 100 ms, then five times a second, while the document holds each one at
// once.

#include "ui/chat/ChatRules.h"

#include <QDateTime>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <functional>

class ChatView : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ChatView(QWidget* ip_parent = nullptr);
    ~ChatView() override;

    // The log this view writes: the kind (room or user) and the room's or
    // user's name. Until it is set the view logs nothing.
    void SetLog(ChatLogKind i_kind, QString const& i_name);

    enum LineKind
    {
        ORDINARY_LINE,
        ACTION_LINE
    };
    // One line from i_user, shown and logged. The text is shown and logged
    // as given (a page that trims does so first); the "/me " test reads it
    // trimmed. An ordinary line is a page's cue for its notification.
    LineKind AddChat(QString const& i_user, QString const& i_text);
    // A status line: shown only, never logged, never activity.
    void AddStatusMessage(QString const& i_text);
    // Writes one log line, when the kind's log switch is on, and hands it to
    // the open viewer of the room or user.
    void LogChat(QString const& i_line);

    // The clock of the activity rules (the local time by default).
    void SetClock(std::function<QDateTime()> i_clock);
    bool IsChatActive() const { return m_chatActive; }
    QDateTime LastChatTime() const { return m_lastChatTime; }
    // The characters of rich text the shown lines count for the size limit.
    qint64 ShownLength() const { return m_shownLength; }
    // The passes the view's layout has made over changed text: one for
    // each line, or each burst of lines.
    int LayoutPasses() const;

signals:
    void anchorClicked(QUrl i_link);

public slots:
    // Ends a conversation after five minutes without ordinary lines.
    void CheckChatInactivity();

protected:
    void mousePressEvent(QMouseEvent* ip_event) override;
    void mouseMoveEvent(QMouseEvent* ip_event) override;
    void mouseReleaseEvent(QMouseEvent* ip_event) override;

private:
    class Layout;

    QDateTime Now() const;
    // Appends one line, as ChatShownLine shows it, as a new paragraph;
    // i_mayCut first cuts the view back when it is past its limit.
    void AppendLine(ChatLine const& i_line, bool i_mayCut);
    void CutBack();
    // Ends a burst of lines: lays them out and paints them.
    void Refresh();
    // Shows the end when the view stood at its end before the line or
    // burst.
    void FollowEnd();

    Layout* mp_layout = nullptr; // owned by the document
    ChatLogKind m_logKind = ChatLogKind::USER;
    QString m_logName;
    QString m_logPath;
    bool m_chatActive = false;
    QDateTime m_lastChatTime;
    std::function<QDateTime()> m_clock;
    // The counted characters of each shown line, oldest first.
    std::deque<int> m_shownLengths;
    qint64 m_shownLength = 0;
    QTimer m_refreshTimer;
    QTextCursor m_writer; // holds a burst's edit block open
    bool m_bursting = false;
    bool m_followEnd = true;
    QString m_pressedAnchor;
};

#endif
