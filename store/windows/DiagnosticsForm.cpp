#include "store/windows/DiagnosticsForm.h"

#include "store/Log.h"
#include "store/SlicedWork.h"
#include "store/windows/DataDialog.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>

DiagnosticsForm* diagnosticsForm = nullptr;

namespace {
DiagnosticsToolBarHook g_toolBarHook = nullptr;

QString ShownPart(QString const& i_line)
{
    if (i_line.size() <= DiagnosticsForm::SHOWN_CHARS)
        return i_line;
    int l_cut = DiagnosticsForm::SHOWN_CHARS;
    if (i_line.at(l_cut - 1).isHighSurrogate())
        --l_cut;
    return i_line.left(l_cut) + QChar(0x2026);
}
} // namespace

void SetDiagnosticsToolBarHook(DiagnosticsToolBarHook i_hook)
{
    g_toolBarHook = i_hook;
    if (g_toolBarHook && diagnosticsForm && diagnosticsForm->m_initialised)
        g_toolBarHook(diagnosticsForm);
}

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent) : QWidget(ip_parent), mp_tabs(new QTabWidget(this))
{
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    lp_layout->setContentsMargins(0, 0, 0, 0);
    lp_layout->addWidget(mp_tabs);
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(SHOW_INTERVAL_MS);
    connect(&m_showTimer, &QTimer::timeout, this, &DiagnosticsForm::ShowPendingLines);
    connect(mp_tabs, &QTabWidget::currentChanged, this, &DiagnosticsForm::ShowLater);
    diagnosticsForm = this;
    SetLogViewHook([this](QString const& i_category, QString const& i_lines) { AddLine(i_category, i_lines); });
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (diagnosticsForm == this) {
        diagnosticsForm = nullptr;
        SetLogViewHook(nullptr);
    }
}

void DiagnosticsForm::Init()
{
    DeclareItemLogTypes();
    m_initialised = true;
    if (g_toolBarHook)
        g_toolBarHook(this);
}

void DiagnosticsForm::RegisterLoggableItemType(std::string const& i_type) { ::RegisterLoggableItemType(i_type); }

void DiagnosticsForm::AddLine(QString const& i_category, QString const& i_lines)
{
    Tab& l_tab = m_tabs[i_category];
    if (!l_tab.mp_view) {
        l_tab.mp_view = new QPlainTextEdit;
        l_tab.mp_view->setReadOnly(true);
        l_tab.mp_view->setLineWrapMode(QPlainTextEdit::NoWrap);
        l_tab.mp_view->setMaximumBlockCount(MAX_LINES_PER_TAB);
        mp_tabs->addTab(l_tab.mp_view, i_category);
    }
    // A line waits as it will be shown: a flood's 20,000 waiting lines of a
    // thousand characters held 40 MiB.
    for (QString const& l_line : i_lines.split('\n'))
        l_tab.m_pending.push_back(ShownPart(l_line));
    // One line stands for those that go unseen.
    while (l_tab.m_pending.size() >= std::size_t(MAX_LINES_PER_TAB)) {
        l_tab.m_pending.pop_front();
        ++l_tab.m_skipped;
    }
    ShowLater();
}

void DiagnosticsForm::ShowLater()
{
    if (m_showTimer.isActive())
        return;
    for (auto const& l_tab : m_tabs)
        if (!l_tab.second.m_pending.empty() && l_tab.second.mp_view->isVisible()) {
            m_showTimer.start();
            return;
        }
}

void DiagnosticsForm::ShowPendingLines()
{
    QElapsedTimer l_clock;
    l_clock.start();
    qint64 const l_sliceMs = SlicedWork::SliceMs();
    int l_room = LINES_PER_TURN;
    bool l_sliceUsed = false;
    for (auto& l_entry : m_tabs) {
        Tab& l_tab = l_entry.second;
        if (l_room == 0 || l_sliceUsed)
            break;
        if (l_tab.m_pending.empty() || !l_tab.mp_view->isVisible())
            continue;
        QStringList l_lines;
        int l_chars = 0;
        if (l_tab.m_skipped > 0) {
            l_lines << FormatLogLine(1, QStringLiteral("%1 lines came faster than they could be shown here; the "
                                                       "log file has them")
                                            .arg(l_tab.m_skipped));
            l_tab.m_skipped = 0;
            --l_room;
        }
        while (l_room > 0 && !l_tab.m_pending.empty()) {
            l_lines << l_tab.m_pending.front();
            l_chars += l_lines.back().size();
            l_tab.m_pending.pop_front();
            --l_room;
            if (l_chars < CHUNK_CHARS && l_room > 0 && !l_tab.m_pending.empty())
                continue;
            l_tab.mp_view->appendPlainText(l_lines.join('\n'));
            l_lines.clear();
            l_chars = 0;
            if (l_sliceMs >= 0 && l_clock.nsecsElapsed() >= l_sliceMs * 1000000) {
                l_sliceUsed = true;
                break;
            }
        }
    }
    ShowLater();
}

std::size_t DiagnosticsForm::PendingLines(QString const& i_category) const
{
    auto l_found = m_tabs.find(i_category);
    return l_found == m_tabs.end() ? 0 : l_found->second.m_pending.size();
}

void DiagnosticsForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    ShowLater();
}

QStringList DiagnosticsForm::Categories() const
{
    QStringList l_categories;
    for (int l_index = 0; l_index < mp_tabs->count(); ++l_index)
        l_categories << mp_tabs->tabText(l_index);
    return l_categories;
}

QString DiagnosticsForm::CategoryText(QString const& i_category) const
{
    auto l_found = m_tabs.find(i_category);
    if (l_found == m_tabs.end())
        return QString();
    QString l_text = l_found->second.mp_view->toPlainText();
    for (QString const& l_line : l_found->second.m_pending)
        l_text += (l_text.isEmpty() ? "" : "\n") + l_line;
    return l_text;
}

void DiagnosticsForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this || i_action != "dump_data")
        return;
    if (isSignalConnected(QMetaMethod::fromSignal(&DiagnosticsForm::DataBrowserRequested))) {
        emit DataBrowserRequested();
        return;
    }
    if (!dataDialog)
        new DataDialog(&d, window());
    dataDialog->show();
    dataDialog->raise();
    dataDialog->activateWindow();
}
