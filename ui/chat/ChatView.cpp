#include "ui/chat/ChatView.h"

#include "store/Settings.h"
#include "store/TimerManager.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/OutsideText.h"

#include <QDir>
#include <QMouseEvent>
#include <QPlainTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>

namespace {

// How long the lines that follow a line may go unpainted; while a flood
// lasts, each burst after the first waits twice as long: laying out and
// painting the view was a third of what a thousand lines a second cost.
int const REFRESH_MS = 100;
int const FLOOD_REFRESH_MS = 200;

// The local time, without asking the system's time zone at every line (it
// reads its zone file each time): the offset is read again once a second, so
// a change of the clock shows within one.
QDateTime LocalNow()
{
    static qint64 s_offsetReadAt = 0;
    static bool s_read = false;
    static int s_offset = 0;
    qint64 const l_now = QDateTime::currentMSecsSinceEpoch();
    if (!s_read || l_now < s_offsetReadAt || l_now - s_offsetReadAt >= 1000) {
        s_read = true;
        s_offset = QDateTime::fromMSecsSinceEpoch(l_now).offsetFromUtc();
        s_offsetReadAt = l_now;
    }
    return QDateTime::fromMSecsSinceEpoch(l_now, Qt::OffsetFromUTC, s_offset);
}

// Read at every line: a changed colour applies from the next one.
ChatColors CurrentChatColors()
{
    return {ColorSettingName("chat_timestamp"), ColorSettingName("chat_username"), ColorSettingName("chat_status"),
            ColorSettingName("chat_own_messages")};
}

QTextCharFormat RunFormat(ChatRole i_role, ChatColors const& i_colors)
{
    QTextCharFormat l_format;
    if (QString const l_color = ChatRoleColor(i_role, i_colors); !l_color.isEmpty())
        l_format.setForeground(QColor(l_color));
    if (i_role == ChatRole::OWN_MESSAGE)
        l_format.setFontWeight(QFont::Bold);
    return l_format;
}

// A run as plain text in its format, its web addresses (as ChatWebAddresses
// finds them) as links, which leave out the places to break shown in them.
void InsertRun(QTextCursor& io_cursor, QString const& i_text, ChatAddresses const& i_addresses,
               QTextCharFormat const& i_format, QColor const& i_link)
{
    int l_at = 0;
    for (std::pair<int, int> const& l_address : i_addresses) {
        io_cursor.insertText(i_text.mid(l_at, l_address.first - l_at), i_format);
        QString const l_shown = i_text.mid(l_address.first, l_address.second);
        QTextCharFormat l_link = i_format;
        l_link.setAnchor(true);
        l_link.setAnchorHref(QString(l_shown).remove(QChar(0x200B)));
        l_link.setForeground(i_link);
        l_link.setFontUnderline(true);
        io_cursor.insertText(l_shown, l_link);
        l_at = l_address.first + l_address.second;
    }
    io_cursor.insertText(i_text.mid(l_at), i_format);
}

} // namespace

// The view's layout, which counts the passes it makes over what changed:
// each pass lays each changed paragraph out whole.
class ChatView::Layout : public QPlainTextDocumentLayout
{
public:
    using QPlainTextDocumentLayout::QPlainTextDocumentLayout;
    int m_passes = 0;

protected:
    void documentChanged(int i_from, int i_removed, int i_added) override
    {
        ++m_passes;
        QPlainTextDocumentLayout::documentChanged(i_from, i_removed, i_added);
    }
};

ChatView::ChatView(QWidget* ip_parent)
    : QPlainTextEdit(ip_parent)
{
    QTextDocument* lp_document = new QTextDocument(this);
    mp_layout = new Layout(lp_document);
    lp_document->setDocumentLayout(mp_layout);
    setDocument(lp_document);
    setReadOnly(true);
    // Lines that were cut back must not live on in an undo history.
    setUndoRedoEnabled(false);
    viewport()->setMouseTracking(true);
    m_writer = QTextCursor(document());
    m_lastChatTime = Now();
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &ChatView::CheckChatInactivity);
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &ChatView::Refresh);
}

ChatView::~ChatView()
{
    if (m_bursting)
        m_writer.endEditBlock();
}

int ChatView::LayoutPasses() const
{
    return mp_layout->m_passes;
}

void ChatView::SetLog(ChatLogKind i_kind, QString const& i_name)
{
    m_logKind = i_kind;
    m_logName = i_name;
    m_logPath = ChatLogPath(m_logKind, m_logName, QDir::homePath());
}

void ChatView::SetClock(std::function<QDateTime()> i_clock)
{
    m_clock = std::move(i_clock);
    if (!m_chatActive)
        m_lastChatTime = Now();
}

QDateTime ChatView::Now() const
{
    return m_clock ? m_clock() : LocalNow();
}

ChatView::LineKind ChatView::AddChat(QString const& i_user, QString const& i_text)
{
    QString l_action;
    if (ChatAction(i_text, &l_action)) {
        QString const l_status = ChatActionStatus(Isolated(i_user), Isolated(l_action));
        AddStatusMessage(l_status);
        LogChat(ChatLogEntry(Now(), i_user, i_text));
        return ACTION_LINE;
    }
    ChatTimestamps const l_mode = ChatTimestampsFrom(GetSetting("chat_timestamps"));
    QDateTime const l_now = Now();
    m_lastChatTime = l_now;
    if (!m_chatActive) {
        m_chatActive = true;
        if (l_mode == ChatTimestamps::ACTIVITY_BASED)
            AddStatusMessage(ChatStartedText(l_now));
    }
    AppendLine(ChatTextLine(l_mode, l_now, i_user, i_text, i_user == GetSetting("username")), true);
    LogChat(ChatLogEntry(l_now, i_user, i_text));
    return ORDINARY_LINE;
}

void ChatView::AddStatusMessage(QString const& i_text)
{
    AppendLine(ChatStatusLine(i_text), false);
}

void ChatView::LogChat(QString const& i_line)
{
    if (m_logName.isEmpty() || !IsSettingYes(ChatLogSwitch(m_logKind)))
        return;
    // A line that cannot be written still reaches the open viewer.
    AppendChatLog(m_logPath, i_line);
    if (ChatLogForm* lp_viewer = ChatLogForm::Find(m_logKind, m_logName))
        lp_viewer->AddLine(i_line);
}

void ChatView::CheckChatInactivity()
{
    if (!m_chatActive || !ChatHasEnded(m_lastChatTime, Now()))
        return;
    m_chatActive = false;
    if (ChatTimestampsFrom(GetSetting("chat_timestamps")) == ChatTimestamps::ACTIVITY_BASED)
        AddStatusMessage(ChatEndedText(m_lastChatTime));
}

void ChatView::AppendLine(ChatLine const& i_line, bool i_mayCut)
{
    ChatLine const l_line = ChatShownLine(i_line);
    // A line after a quiet spell shows at once. The lines that follow it
    // within REFRESH_MS go into the document at once too, but are laid out,
    // painted and scrolled to together when that time is up: a flood of a
    // thousand lines a second would otherwise spend most of its time on
    // lines that are out of sight the next moment. (The cursor is only ever
    // placed, never moved: moving it lays its line out.)
    bool const l_quiet = !m_refreshTimer.isActive();
    if (l_quiet || !m_bursting) {
        QScrollBar const* lp_bar = verticalScrollBar();
        m_followEnd = lp_bar->value() >= lp_bar->maximum();
    }
    if (!l_quiet && !m_bursting) {
        setUpdatesEnabled(false);
        m_writer.beginEditBlock();
        m_bursting = true;
    }
    // A line after a quiet spell goes in as one edit as well: the layout
    // lays a paragraph out whole at the end of each edit, and a line of a
    // few hundred links is as many insertions.
    bool const l_ownEdit = !m_bursting;
    if (l_ownEdit)
        m_writer.beginEditBlock();
    if (i_mayCut)
        CutBack();
    ChatColors const l_colors = CurrentChatColors();
    m_writer.setPosition(document()->characterCount() - 1);
    if (!m_shownLengths.empty())
        m_writer.insertBlock(QTextBlockFormat(), QTextCharFormat());
    // Each run's web addresses are found once, for its links and its count.
    // Runs of one role in a row go in as one insertion (no address spans
    // two runs: a run that one could start in follows a blank or a tag).
    std::vector<ChatAddresses> l_addresses;
    l_addresses.reserve(l_line.size());
    QColor const l_link = palette().color(QPalette::Link);
    for (std::size_t l_first = 0; l_first < l_line.size();) {
        ChatRole const l_role = l_line[l_first].m_role;
        QString l_text;
        ChatAddresses l_shifted;
        std::size_t l_next = l_first;
        for (; l_next < l_line.size() && l_line[l_next].m_role == l_role; ++l_next) {
            QString const& l_run = l_line[l_next].m_text;
            l_addresses.push_back(ChatWebAddresses(l_run));
            for (std::pair<int, int> const& l_address : l_addresses.back())
                l_shifted.emplace_back(l_address.first + l_text.size(), l_address.second);
            l_text += l_run;
        }
        InsertRun(m_writer, l_text, l_shifted, RunFormat(l_role, l_colors), l_link);
        l_first = l_next;
    }
    m_shownLengths.push_back(ChatLineHtmlLength(l_line, l_colors, &l_addresses) + 1);
    m_shownLength += m_shownLengths.back();
    if (l_ownEdit)
        m_writer.endEditBlock();
    if (l_quiet) {
        FollowEnd();
        m_refreshTimer.start(REFRESH_MS);
    }
}

void ChatView::Refresh()
{
    if (!m_bursting)
        return;
    m_writer.endEditBlock();
    m_bursting = false;
    setUpdatesEnabled(true);
    FollowEnd();
    // Still a flood: the next lines are held as well.
    m_refreshTimer.start(FLOOD_REFRESH_MS);
}

void ChatView::FollowEnd()
{
    if (m_followEnd)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void ChatView::CutBack()
{
    int const l_drop = ChatLinesToDrop(m_shownLengths, m_shownLength);
    if (l_drop == 0)
        return;
    for (int l_line = 0; l_line < l_drop; ++l_line) {
        m_shownLength -= m_shownLengths.front();
        m_shownLengths.pop_front();
    }
    // One paragraph per line.
    m_writer.setPosition(0);
    if (m_shownLengths.empty())
        m_writer.setPosition(document()->characterCount() - 1, QTextCursor::KeepAnchor);
    else
        m_writer.setPosition(document()->findBlockByNumber(l_drop).position(), QTextCursor::KeepAnchor);
    m_writer.removeSelectedText();
}

void ChatView::mousePressEvent(QMouseEvent* ip_event)
{
    m_pressedAnchor = ip_event->button() == Qt::LeftButton ? anchorAt(ip_event->pos()) : QString();
    QPlainTextEdit::mousePressEvent(ip_event);
}

void ChatView::mouseMoveEvent(QMouseEvent* ip_event)
{
    viewport()->setCursor(anchorAt(ip_event->pos()).isEmpty() ? Qt::IBeamCursor : Qt::PointingHandCursor);
    QPlainTextEdit::mouseMoveEvent(ip_event);
}

void ChatView::mouseReleaseEvent(QMouseEvent* ip_event)
{
    QPlainTextEdit::mouseReleaseEvent(ip_event);
    // A click, not the end of a selection that began on a link.
    QString const l_anchor = ip_event->button() == Qt::LeftButton ? anchorAt(ip_event->pos()) : QString();
    if (!l_anchor.isEmpty() && l_anchor == m_pressedAnchor && !textCursor().hasSelection())
        emit anchorClicked(QUrl(l_anchor));
    m_pressedAnchor.clear();
}
