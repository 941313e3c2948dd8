#include "store/windows/DiagnosticsForm.h"

#include "store/Log.h"
#include "store/windows/DataDialog.h"

#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>

DiagnosticsForm* diagnosticsForm = nullptr;

namespace {
DiagnosticsToolBarHook g_toolBarHook = nullptr;
}

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

void DiagnosticsForm::AddLine(QString const& i_category, QString const& i_line)
{
    QPlainTextEdit*& lp_view = m_views[i_category];
    if (!lp_view) {
        lp_view = new QPlainTextEdit;
        lp_view->setReadOnly(true);
        lp_view->setLineWrapMode(QPlainTextEdit::NoWrap);
        lp_view->setMaximumBlockCount(MAX_LINES_PER_TAB);
        mp_tabs->addTab(lp_view, i_category);
    }
    lp_view->appendPlainText(i_line);
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
    auto l_found = m_views.find(i_category);
    return l_found == m_views.end() ? QString() : l_found->second->toPlainText();
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
