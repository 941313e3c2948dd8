#include "ui/search/ReceivedSearchesForm.h"

#include "ui_ReceivedSearchesForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "shares/SharedFoldersManager.h"

#include <QColor>

ReceivedSearchesForm* receivedSearchesForm = nullptr;

ReceivedSearchesForm::ReceivedSearchesForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ReceivedSearchesForm)
{
    receivedSearchesForm = this;
    mp_ui->setupUi(this);
    mp_ui->searchList->setColumnCount(2);
    mp_ui->searchList->setColumnWidth(0, 320);
    mp_ui->searchList->setColumnWidth(1, 50);
    mp_ui->searchList->setHeaderLabels({QStringLiteral("Search"), QStringLiteral("Match")});
}

ReceivedSearchesForm::~ReceivedSearchesForm()
{
    delete mp_ui;
    if (receivedSearchesForm == this)
        receivedSearchesForm = nullptr;
}

void ReceivedSearchesForm::Init()
{
    if (sharedFoldersManager)
        connect(sharedFoldersManager, &SharedFoldersManager::SearchProcessed, this,
                &ReceivedSearchesForm::OnSearchProcessed);
    if (!actionBar)
        return;
    actionBar->AddSetAction(QStringLiteral("received_searches"), QStringLiteral("pause_unpause"),
                            QStringLiteral("Pause"), QStringLiteral(":/icons/pause_icon"), false);
    actionBar->RegisterWidget(this, QStringLiteral("received_searches"));
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ReceivedSearchesForm::OnActionTriggered);
}

void ReceivedSearchesForm::OnSearchProcessed(QString i_search, bool i_match)
{
    if (m_paused)
        return;
    QTreeWidget* lp_list = mp_ui->searchList;
    lp_list->setCurrentItem(nullptr);
    QTreeWidgetItem* lp_row = new QTreeWidgetItem();
    lp_row->setText(0, i_search);
    if (i_match) {
        lp_row->setForeground(1, QColor(0, 85, 0));
        lp_row->setText(1, QStringLiteral("Match"));
    }
    lp_list->insertTopLevelItem(0, lp_row);
    if (lp_list->topLevelItemCount() > MAX_ROWS)
        delete lp_list->takeTopLevelItem(MAX_ROWS);
}

void ReceivedSearchesForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this || i_action != QLatin1String("pause_unpause"))
        return;
    m_paused = !m_paused;
    actionBar->SetWidgetActionText(this, QStringLiteral("pause_unpause"),
                                   m_paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}
