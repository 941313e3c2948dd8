#include "ui/chat/ChatView.h"

#include "ui/widgets/ColorTable.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "ui/chat/ChatLogForm.h"

#include <QDir>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocumentFragment>

namespace {

// A colour that does not read as one (the data file may hold any text) is
// left out, so no stored text ever reaches the markup.
QString ColorName(char const* ip_key)
{
    QColor const l_color = ColorSetting(ip_key);
    return l_color.isValid() ? l_color.name() : QString();
}

// Read at every line: a changed colour applies from the next one.
ChatColors CurrentChatColors()
{
    return {ColorName("chat_timestamp"), ColorName("chat_username"), ColorName("chat_status"),
            ColorName("chat_own_messages")};
}

} // namespace

ChatView::ChatView(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    // Lines that were cut back must not live on in an undo history.
    document()->setUndoRedoEnabled(false);
    m_lastChatTime = Now();
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &ChatView::CheckChatInactivity);
}

void ChatView::SetLog(ChatLogKind i_kind, QString const& i_name)
{
    m_logKind = i_kind;
    m_logName = i_name;
}

void ChatView::SetClock(std::function<QDateTime()> i_clock)
{
    m_clock = std::move(i_clock);
    if (!m_chatActive)
        m_lastChatTime = Now();
}

QDateTime ChatView::Now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

ChatView::LineKind ChatView::AddChat(QString const& i_user, QString const& i_text)
{
    QString l_action;
    if (ChatAction(i_text, &l_action)) {
        QString const l_status = ChatActionStatus(i_user, l_action);
        AddStatusMessage(l_status);
        LogChat(ChatActionLogLine(Now(), l_status));
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
    bool const l_own = i_user == GetSetting("username");
    AppendLine(ChatLineHtml(l_mode, l_now, i_user, i_text, l_own, CurrentChatColors()), true);
    LogChat(ChatLogLine(l_now, i_user, i_text));
    return ORDINARY_LINE;
}

void ChatView::AddStatusMessage(QString const& i_text)
{
    AppendLine(ChatStatusHtml(i_text, CurrentChatColors()), false);
}

void ChatView::LogChat(QString const& i_line)
{
    if (m_logName.isEmpty() || !IsSettingYes(ChatLogSwitch(m_logKind)))
        return;
    // A line that cannot be written still reaches the open viewer.
    AppendChatLog(ChatLogPath(m_logKind, m_logName, QDir::homePath()), i_line);
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

QVariant ChatView::loadResource(int, QUrl const&)
{
    return QVariant();
}

void ChatView::AppendLine(QString const& i_html, bool i_mayCut)
{
    if (i_mayCut)
        CutBack();
    QTextDocument* lp_document = document();
    QScrollBar* lp_bar = verticalScrollBar();
    bool const l_atEnd = lp_bar->value() >= lp_bar->maximum();
    int const l_blocksBefore = lp_document->isEmpty() ? 0 : lp_document->blockCount();
    QTextCursor l_cursor(lp_document);
    l_cursor.movePosition(QTextCursor::End);
    if (l_blocksBefore > 0)
        l_cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    l_cursor.insertFragment(QTextDocumentFragment::fromHtml(i_html, lp_document));
    m_shownBlocks.push_back(lp_document->blockCount() - l_blocksBefore);
    m_shownLengths.push_back(i_html.size() + 1);
    m_shownLength += m_shownLengths.back();
    if (l_atEnd)
        lp_bar->setValue(lp_bar->maximum());
}

void ChatView::CutBack()
{
    int const l_drop = ChatLinesToDrop(m_shownLengths, m_shownLength);
    if (l_drop == 0)
        return;
    int l_blocks = 0;
    for (int l_line = 0; l_line < l_drop; ++l_line) {
        l_blocks += m_shownBlocks.front();
        m_shownLength -= m_shownLengths.front();
        m_shownBlocks.pop_front();
        m_shownLengths.pop_front();
    }
    setUpdatesEnabled(false);
    QTextCursor l_cursor(document());
    if (l_blocks >= document()->blockCount())
        l_cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    else
        l_cursor.setPosition(document()->findBlockByNumber(l_blocks).position(), QTextCursor::KeepAnchor);
    l_cursor.removeSelectedText();
    setUpdatesEnabled(true);
}
