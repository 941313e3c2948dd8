#include "ui/chat/ChatLogForm.h"

#include "ui_ChatLogForm.h"

#include "store/Data.h"
#include "store/Utilities.h"
#include "store/windows/FocusWidget.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/TabWidget.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBlock>
#include <QUrl>

qint64 ChatLogForm::s_mostBytesShown = 100 * 1000 * 1000;

namespace {

// A line longer than this many bytes shows in pieces, each a paragraph of
// its own, cut between characters: a paragraph is laid out in one piece, in
// time that grows faster than its length (one word of 65,535 letters held
// the window for seconds), and the viewer shows lines as they were logged,
// with no places to break of its own. A piece of 2,048 bytes is laid out in
// a few milliseconds, whatever scripts it holds.
int const MAX_PIECE = 2048;
// A slice reads this much of the file at most, and stops once it has run
// for SLICE_MS, so the window is never held for long.
qint64 const READ_CHUNK = 256 * 1024;
qint64 const SLICE_MS = 8;

// The longest start of the bytes, at most MAX_PIECE long, that does not cut
// a UTF-8 sequence (a piece of a long line must not lose the character on
// its edge).
int PieceLength(QByteArray const& i_bytes, int i_from)
{
    int l_length = qMin(MAX_PIECE, i_bytes.size() - i_from);
    if (l_length < MAX_PIECE)
        return l_length;
    int l_cut = l_length;
    while (l_cut > l_length - 3 && (uchar(i_bytes.at(i_from + l_cut)) & 0xC0) == 0x80)
        --l_cut;
    return (uchar(i_bytes.at(i_from + l_cut)) & 0xC0) == 0x80 ? l_length : l_cut;
}

// Cuts the complete lines (or pieces of at most MAX_PIECE bytes) off the
// front of io_pending; at the end of what there is, the rest too.
void TakeLinesFrom(QByteArray& io_pending, QStringList& o_lines, bool i_atEnd)
{
    int l_from = 0;
    for (;;) {
        int const l_end = io_pending.indexOf('\n', l_from);
        int l_length = l_end < 0 ? io_pending.size() - l_from : l_end - l_from;
        bool l_wholeLine = l_end >= 0;
        if (l_length > MAX_PIECE) {
            l_length = PieceLength(io_pending, l_from);
            l_wholeLine = false;
        } else if (!l_wholeLine && (!i_atEnd || l_length == 0)) {
            break;
        }
        o_lines << QString::fromUtf8(io_pending.constData() + l_from, l_length).trimmed();
        l_from += l_length + (l_wholeLine ? 1 : 0);
    }
    io_pending.remove(0, l_from);
}

// One character on, but never past the document's end.
int PositionAfter(int i_position, QTextDocument const* ip_document)
{
    return qMin(i_position + 1, ip_document->characterCount() - 1);
}

// Updates of the view held back while it changes a lot, so that it is laid
// out once.
class HeldUpdates
{
public:
    explicit HeldUpdates(QWidget* ip_widget) : mp_widget(ip_widget) { mp_widget->setUpdatesEnabled(false); }
    ~HeldUpdates() { mp_widget->setUpdatesEnabled(true); }

private:
    QWidget* mp_widget;
};

} // namespace

ChatLogForm::ChatLogForm(QString const& i_path, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ChatLogForm)
{
    mp_ui->setupUi(this);
    mp_ui->searchBackButton->setIcon(QIcon(QStringLiteral(":/icons/back_icon")));
    mp_ui->searchForwardButton->setIcon(QIcon(QStringLiteral(":/icons/forward_icon")));
    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);
    m_loadTimer.setInterval(0);
    connect(&m_loadTimer, &QTimer::timeout, this, &ChatLogForm::LoadSlice);

    m_file.setFileName(i_path);
    if (i_path.isEmpty() || !m_file.open(QIODevice::ReadOnly))
        return;
    // Lines logged from now on come through AddLine: the file is read only
    // as far as it reached when it was opened.
    m_loadEnd = m_file.size();
    m_path = i_path;
    // A log that has grown without end (years of a busy room, or a flood)
    // is shown from its last bytes, so that the viewer's memory stays
    // bounded; a line cut by that start is left out (reading from the byte
    // before it finds the line feed that ends the line before).
    if (m_loadEnd > s_mostBytesShown) {
        m_file.seek(m_loadEnd - s_mostBytesShown - 1);
        m_skipToLineStart = true;
        AppendParagraphs({tr("[Only the last %1 bytes of this log are shown.]").arg(CommafyNumber(s_mostBytesShown))});
    }
    if (actionBar) {
        actionBar->RegisterWidget(this, QStringLiteral("chat_log"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ChatLogForm::OnActionTriggered);
    }
    LoadSlice();
}

ChatLogForm::~ChatLogForm()
{
    delete mp_ui;
    if (d.HasType("chat_log_form"))
        d["chat_log_form"]->HasItem(Value(this)).Remove();
}

ChatLogForm* ChatLogForm::Find(ChatLogKind i_kind, QString const& i_name)
{
    if (!d.HasType("chat_log_form"))
        return nullptr;
    Item const l_subject = d[ChatLogSubjectType(i_kind)]->HasItem(Value(i_name));
    return reinterpret_cast<ChatLogForm*>(l_subject["chat_log_form"].AsUInt64());
}

ChatLogForm* ChatLogForm::Open(ChatLogKind i_kind, QString const& i_name, QTabWidget* ip_tabs)
{
    if (i_name.isEmpty())
        return nullptr;
    ChatLogForm* lp_viewer = Find(i_kind, i_name);
    if (!lp_viewer) {
        lp_viewer = new ChatLogForm(ChatLogPath(i_kind, i_name, QDir::homePath()), ip_tabs);
        AddNamedTab(ip_tabs, lp_viewer, QIcon(QStringLiteral(":/icons/note_icon")), i_name);
        d["chat_log_form"]->GetItem(Value(lp_viewer)) += d[ChatLogSubjectType(i_kind)]->GetItem(Value(i_name));
    }
    FocusWidgetAndParents(lp_viewer);
    return lp_viewer;
}

void ChatLogForm::AddLine(QString const& i_line)
{
    // In pieces, as a line read from the file.
    QByteArray l_bytes = i_line.trimmed().toUtf8();
    QStringList l_pieces;
    TakeLinesFrom(l_bytes, l_pieces, true);
    if (IsLoading())
        m_arrivedWhileLoading << l_pieces;
    else
        AppendParagraphs(l_pieces);
}

// ------------------------------------------------------------------ loading

void ChatLogForm::LoadSlice()
{
    QElapsedTimer l_clock;
    l_clock.start();
    HeldUpdates const l_held(mp_ui->logEdit);
    do {
        qint64 const l_left = m_loadEnd - m_file.pos();
        QByteArray const l_chunk = l_left > 0 ? m_file.read(qMin(l_left, READ_CHUNK)) : QByteArray();
        bool const l_atEnd = l_chunk.isEmpty();
        m_pending += l_chunk;
        QStringList l_lines;
        TakeLines(l_lines, l_atEnd);
        AppendParagraphs(l_lines);
        if (l_atEnd) {
            FinishLoading();
            return;
        }
    } while (l_clock.elapsed() < SLICE_MS);
    m_loadTimer.start();
}

void ChatLogForm::TakeLines(QStringList& o_lines, bool i_atEnd)
{
    if (m_skipToLineStart) {
        int const l_end = m_pending.indexOf('\n');
        m_pending.remove(0, l_end < 0 ? m_pending.size() : l_end + 1);
        m_skipToLineStart = l_end < 0;
    }
    TakeLinesFrom(m_pending, o_lines, i_atEnd);
}

void ChatLogForm::AppendParagraphs(QStringList const& i_lines)
{
    if (i_lines.isEmpty())
        return;
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    QScrollBar* lp_bar = lp_view->verticalScrollBar();
    bool const l_atEnd = lp_bar->value() >= lp_bar->maximum();
    // One insertion for many lines is far cheaper than one per line. The
    // paragraphs are plain text, whatever they look like.
    QTextCursor l_cursor(lp_view->document());
    l_cursor.movePosition(QTextCursor::End);
    QString l_text = i_lines.join(QChar::ParagraphSeparator);
    if (m_hasParagraphs)
        l_text.prepend(QChar::ParagraphSeparator);
    l_cursor.insertText(l_text);
    m_hasParagraphs = true;
    if (l_atEnd)
        lp_bar->setValue(lp_bar->maximum());
}

void ChatLogForm::FinishLoading()
{
    m_loadTimer.stop();
    m_file.close();
    m_pending.clear();
    AppendParagraphs(m_arrivedWhileLoading);
    m_arrivedWhileLoading.clear();
    emit Loaded();
}

// ------------------------------------------------------------------- search

void ChatLogForm::OnSearchTextChanged(QString i_text)
{
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    m_searchWork.Stop();
    {
        HeldUpdates const l_held(lp_view);
        QTextCursor l_cursor = lp_view->textCursor();
        l_cursor.movePosition(QTextCursor::Start);
        lp_view->setTextCursor(l_cursor);
    }
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    m_matchStart = -1;
    m_searchText = i_text;
    if (i_text.isEmpty())
        lp_view->setExtraSelections({});
    else
        StartSearch(FIND_FIRST, 0);
}

void ChatLogForm::OnSearchForward()
{
    m_searchText = mp_ui->searchEdit->text();
    StartSearch(FIND_NEXT, PositionAfter(mp_ui->logEdit->textCursor().position(), mp_ui->logEdit->document()));
}

void ChatLogForm::OnSearchBack()
{
    m_searchText = mp_ui->searchEdit->text();
    QTextCursor const l_cursor = mp_ui->logEdit->textCursor();
    StartSearch(FIND_PREVIOUS, l_cursor.hasSelection() ? l_cursor.selectionStart() : l_cursor.position());
}

void ChatLogForm::StartSearch(SearchGoal i_goal, int i_position)
{
    // The buttons wait for the walk: a click meanwhile would start from a
    // match that is about to change.
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    m_searchGoal = i_goal;
    m_searchFound = -1;
    QTextDocument const* lp_document = mp_ui->logEdit->document();
    bool const l_backward = i_goal == FIND_PREVIOUS || i_goal == PROBE_PREVIOUS;
    if (l_backward) {
        // Not the character at the position itself: a match that starts
        // there is the one we come from.
        int const l_position = i_position - 1;
        m_searchBlock = l_position < 0 ? QTextBlock() : lp_document->findBlock(l_position);
        m_searchOffset = l_position - m_searchBlock.position();
        if (m_searchOffset == m_searchBlock.length() - 1)
            --m_searchOffset; // the paragraph's end
    } else {
        m_searchBlock = lp_document->findBlock(i_position);
        m_searchOffset = i_position - m_searchBlock.position();
    }
    m_searchWork.Start([this]() { return SearchStep(); }, [this]() { OnSearchWalked(); });
}

bool ChatLogForm::SearchStep()
{
    // A paragraph per step, compared as the view's own find compares: any
    // case, a no-break space as a space, never across paragraphs.
    if (!m_searchBlock.isValid() || m_searchText.isEmpty())
        return false;
    bool const l_backward = m_searchGoal == FIND_PREVIOUS || m_searchGoal == PROBE_PREVIOUS;
    QString l_text = m_searchBlock.text();
    l_text.replace(QChar::Nbsp, QLatin1Char(' '));
    int l_at = -1;
    if (m_searchOffset >= 0 && m_searchOffset <= l_text.size())
        l_at = l_backward ? l_text.lastIndexOf(m_searchText, m_searchOffset, Qt::CaseInsensitive)
                          : l_text.indexOf(m_searchText, m_searchOffset, Qt::CaseInsensitive);
    if (l_at >= 0) {
        m_searchFound = m_searchBlock.position() + l_at;
        return false;
    }
    if (l_backward) {
        m_searchBlock = m_searchBlock.previous();
        m_searchOffset = m_searchBlock.length() - 2;
    } else {
        m_searchBlock = m_searchBlock.next();
        m_searchOffset = 0;
    }
    return m_searchBlock.isValid();
}

void ChatLogForm::OnSearchWalked()
{
    m_searchBlock = QTextBlock();
    bool const l_found = m_searchFound >= 0;
    switch (m_searchGoal) {
    case FIND_FIRST:
        if (!l_found) {
            mp_ui->logEdit->setExtraSelections({});
            return;
        }
        MarkFind(m_searchFound);
        // Nothing starts before the first match.
        MarkSearchButtons(false);
        return;
    case FIND_NEXT:
    case FIND_PREVIOUS:
        if (l_found)
            MarkFind(m_searchFound);
        // Not found (the view's cursor was put past the last match, say):
        // the buttons are those of the match shown, if any.
        if (m_matchStart >= 0)
            MarkSearchButtons(true);
        return;
    case PROBE_NEXT:
        m_nextFound = l_found;
        if (m_probePrevious) {
            StartSearch(PROBE_PREVIOUS, m_matchStart);
            return;
        }
        mp_ui->searchForwardButton->setEnabled(m_nextFound);
        return;
    case PROBE_PREVIOUS:
        mp_ui->searchForwardButton->setEnabled(m_nextFound);
        mp_ui->searchBackButton->setEnabled(l_found);
        return;
    }
}

void ChatLogForm::MarkFind(int i_start)
{
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    HeldUpdates const l_held(lp_view);
    QTextCursor l_match(lp_view->document());
    l_match.setPosition(i_start);
    l_match.setPosition(i_start + m_searchText.size(), QTextCursor::KeepAnchor);
    m_matchStart = i_start;

    QTextEdit::ExtraSelection l_mark;
    l_mark.cursor = l_match;
    // The input field's colours turned round: the view is painted in the
    // input background, so a match in it would not stand out.
    l_mark.format.setBackground(QBrush(ColorSetting("input_text"), Qt::SolidPattern));
    l_mark.format.setForeground(QBrush(ColorSetting("input_background"), Qt::SolidPattern));
    lp_view->setExtraSelections({l_mark});

    // To the end first, then back: the match then shows near the top edge.
    QTextCursor l_cursor = l_match;
    l_cursor.movePosition(QTextCursor::End);
    lp_view->setTextCursor(l_cursor);
    lp_view->ensureCursorVisible();
    l_cursor.setPosition(i_start);
    lp_view->setTextCursor(l_cursor);
    lp_view->ensureCursorVisible();
}

void ChatLogForm::MarkSearchButtons(bool i_lookBack)
{
    // The next probe starts where "forward" searches from, one past the
    // match's start, so an occurrence that overlaps or directly follows the
    // match counts too; the previous one where "back" searches from.
    m_probePrevious = i_lookBack;
    StartSearch(PROBE_NEXT, PositionAfter(m_matchStart, mp_ui->logEdit->document()));
}

// ------------------------------------------------------------------ actions

void ChatLogForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this)
        return;
    if (i_action == QLatin1String("clear_chat_log")) {
        QMessageBox::StandardButton const l_answer =
            QMessageBox::question(nullptr, tr("Clear log?"), tr("Are you sure you want to erase the contents of this log?"),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (l_answer != QMessageBox::Yes)
            return;
        // What was still to be read, or had arrived meanwhile, was in the
        // file that goes now.
        m_loadTimer.stop();
        m_searchWork.Stop();
        m_searchBlock = QTextBlock();
        m_matchStart = -1;
        mp_ui->searchBackButton->setEnabled(false);
        mp_ui->searchForwardButton->setEnabled(false);
        m_file.close();
        m_pending.clear();
        m_arrivedWhileLoading.clear();
        QFile::remove(m_path);
        mp_ui->logEdit->clear();
        mp_ui->logEdit->setExtraSelections({});
        m_hasParagraphs = false;
    } else if (i_action == QLatin1String("open_log_folder")) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_path).absolutePath()));
    }
}
