#include "ui/transfers/CompleteDownloadsForm.h"

#include "ui_CompleteDownloadsForm.h"

#include "ui/widgets/Globals.h"
#include "server/StoreTypes.h"
#include "transfers/TransferItems.h"
#include "transfers/TransferQueueManager.h"

#include <QHeaderView>

CompleteDownloadsForm* completeDownloadsForm = nullptr;

namespace {

quint64 s_nextSequence = 0;

} // namespace

CompleteDownloadItem::CompleteDownloadItem(QTreeWidget* ip_tree, QDateTime const& i_time)
    : QTreeWidgetItem(ip_tree), m_time(i_time), m_sequence(s_nextSequence++)
{
}

bool CompleteDownloadItem::operator<(QTreeWidgetItem const& i_other) const
{
    auto const* lp_other = dynamic_cast<CompleteDownloadItem const*>(&i_other);
    if (!lp_other)
        return QTreeWidgetItem::operator<(i_other);
    if (m_time != lp_other->m_time)
        return m_time < lp_other->m_time;
    return m_sequence < lp_other->m_sequence;
}

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_CompleteDownloadsForm)
{
    completeDownloadsForm = this;
    mp_ui->setupUi(this);
    QTreeWidget* lp_list = mp_ui->downloadList;
    lp_list->setColumnCount(5);
    lp_list->header()->setStretchLastSection(false);
    int l_column = 0;
    for (int l_width : {250, 250, 100, 100, 150})
        lp_list->setColumnWidth(l_column++, l_width);
    lp_list->header()->setSectionsMovable(false);
    lp_list->setHeaderLabels({"File", "Folder", "User", "Size", "Completion time"});
}

CompleteDownloadsForm::~CompleteDownloadsForm()
{
    if (!g_showIsOver && d.HasType("complete_download_node"))
        d["complete_download_node"]->RemoveAllItems();
    delete mp_ui;
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
}

QTreeWidget* CompleteDownloadsForm::List() const
{
    return mp_ui->downloadList;
}

void CompleteDownloadsForm::Init()
{
    EnsureType("complete_download_node", ROOT, false, true);
    EnsureRelation("complete_download_node", "complete_download", ONE, ONE, false);
    // The tab is made when it is first asked for: downloads that finished
    // before then are listed too.
    if (d.HasType("complete_download")) {
        for (Item const& l_download : d["complete_download"]->GetItems())
            AddRow(l_download);
        mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
    }
    if (transferQueueManager)
        connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this,
                &CompleteDownloadsForm::OnCompleteDownloadAdded);
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(Item i_download)
{
    if (i_download.IsNull())
        return;
    AddRow(i_download);
    mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}

void CompleteDownloadsForm::AddRow(Item const& i_download)
{
    QString const l_time = i_download["complete_download_completion_time"].AsString();
    QDateTime const l_now = TransferItems::CurrentTime();
    QDateTime l_parsed = TransferItems::StoredTime(l_time, l_now);
    if (!l_parsed.isValid())
        l_parsed = l_now;
    auto* lp_row = new CompleteDownloadItem(mp_ui->downloadList, l_parsed);
    lp_row->setText(0, i_download["complete_download_filename"].AsString());
    lp_row->setText(1, i_download["complete_download_relative_folder"].AsString());
    lp_row->setText(2, i_download["user"].AsString());
    lp_row->setText(3, i_download["complete_download_file_size"].AsString());
    lp_row->setText(4, l_time);
    d["complete_download_node"]->GetItem(Value(static_cast<QTreeWidgetItem*>(lp_row))) += i_download;
}
