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

int const MAX_PIECE = 65535;
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
        ip_tabs->addTab(lp_viewer, QIcon(QStringLiteral(":/icons/note_icon")), LiteralTitle(i_name));
        d["chat_log_form"]->GetItem(Value(lp_viewer)) += d[ChatLogSubjectType(i_kind)]->GetItem(Value(i_name));
    }
    FocusWidgetAndParents(lp_viewer);
    return lp_viewer;
}

void ChatLogForm::AddLine(QString const& i_line)
{
    if (IsLoading())
        m_arrivedWhileLoading << i_line.trimmed();
    else
        AppendParagraphs({i_line.trimmed()});
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
    int l_from = 0;
    for (;;) {
        int const l_end = m_pending.indexOf('\n', l_from);
        int l_length = l_end < 0 ? m_pending.size() - l_from : l_end - l_from;
        bool l_wholeLine = l_end >= 0;
        if (l_length > MAX_PIECE) {
            l_length = PieceLength(m_pending, l_from);
            l_wholeLine = false;
        } else if (!l_wholeLine && (!i_atEnd || l_length == 0)) {
            break;
        }
        o_lines << QString::fromUtf8(m_pending.constData() + l_from, l_length).trimmed();
        l_from += l_length + (l_wholeLine ? 1 : 0);
    }
    m_pending.remove(0, l_from);
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
    HeldUpdates const l_held(lp_view);
    QTextCursor l_cursor = lp_view->textCursor();
    l_cursor.movePosition(QTextCursor::Start);
    lp_view->setTextCursor(l_cursor);
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    if (!i_text.isEmpty() && lp_view->find(i_text))
        MarkFind();
    else
        lp_view->setExtraSelections({});
}

void ChatLogForm::OnSearchForward()
{
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    HeldUpdates const l_held(lp_view);
    QTextCursor l_cursor = lp_view->textCursor();
    l_cursor.setPosition(PositionAfter(l_cursor.position(), lp_view->document()));
    lp_view->setTextCursor(l_cursor);
    if (lp_view->find(mp_ui->searchEdit->text()))
        MarkFind();
}

void ChatLogForm::OnSearchBack()
{
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    HeldUpdates const l_held(lp_view);
    if (lp_view->find(mp_ui->searchEdit->text(), QTextDocument::FindBackward))
        MarkFind();
}

void ChatLogForm::MarkFind()
{
    QPlainTextEdit* lp_view = mp_ui->logEdit;
    QTextCursor const l_match = lp_view->textCursor();
    int const l_start = l_match.selectionStart();

    QTextEdit::ExtraSelection l_mark;
    l_mark.cursor = l_match;
    // The input field's colours turned round: the view is painted in the
    // input background, so a match in it would not stand out.
    l_mark.format.setBackground(QBrush(ColorSetting("input_text"), Qt::SolidPattern));
    l_mark.format.setForeground(QBrush(ColorSetting("input_background"), Qt::SolidPattern));
    lp_view->setExtraSelections({l_mark});
    MarkSearchButtons();

    // To the end first, then back: the match then shows near the top edge.
    QTextCursor l_cursor = l_match;
    l_cursor.movePosition(QTextCursor::End);
    lp_view->setTextCursor(l_cursor);
    lp_view->ensureCursorVisible();
    l_cursor.setPosition(l_start);
    lp_view->setTextCursor(l_cursor);
    lp_view->ensureCursorVisible();
}

void ChatLogForm::MarkSearchButtons()
{
    QTextDocument const* lp_document = mp_ui->logEdit->document();
    QTextCursor const l_match = mp_ui->logEdit->textCursor();
    QString const l_text = mp_ui->searchEdit->text();
    // The forward probe starts where "forward" searches from, one past the
    // match's start, so an occurrence that overlaps or directly follows the
    // match counts too.
    QTextCursor l_probe(mp_ui->logEdit->document());
    l_probe.setPosition(PositionAfter(l_match.selectionStart(), lp_document));
    mp_ui->searchForwardButton->setEnabled(!lp_document->find(l_text, l_probe).isNull());
    l_probe.setPosition(l_match.selectionStart());
    mp_ui->searchBackButton->setEnabled(!lp_document->find(l_text, l_probe, QTextDocument::FindBackward).isNull());
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
