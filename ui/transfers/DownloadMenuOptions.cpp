#include "ui/transfers/DownloadMenuOptions.h"

#include "ui/transfers/TransferRows.h"

#include "server/Server.h"
#include "store/Utilities.h"
#include "transfers/TransferQueueManager.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/search/SearchForm.h"
#include "ui/widgets/TabWidget.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidgetItem>

using namespace TransferRows;

namespace {

char const* const STATUS = "download_entry_status";
char const* const ALERT = "complete_download_alert";

Item Status(char const* ip_name)
{
    return d[STATUS]->HasItem(Value(ip_name));
}

QString Plural(QString const& i_text, std::size_t i_count)
{
    return i_count < 2 ? i_text : i_text + "s";
}

// The one item of that type the entries share, or null.
Item Single(ItemSet const& i_entries, char const* ip_type)
{
    ItemSet const l_items = i_entries.GetItems(ip_type);
    return l_items.size() == 1 ? Item(l_items) : Item();
}

void MarkAlert(QTreeWidgetItem* ip_row, int i_column)
{
    if (ip_row)
        ip_row->setData(i_column, Qt::DecorationRole, QIcon(QStringLiteral(":/icons/alert_icon")));
}

} // namespace

DownloadMenuOptions::DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent)
    : QObject(ip_parent)
{
    if (i_entries.empty())
        return;
    m_entries = i_entries;

    Item const l_complete = Status("complete");
    Item const l_paused = Status("paused");
    Item const l_first = FirstEntry();
    Item const l_firstStatus = l_first[STATUS];
    bool const l_single = m_entries.size() == 1;

    AddOpenCommands(ip_menu, this, l_single && l_firstStatus.AsString() == "complete");
    if (!l_single || (l_firstStatus.AsString() != "complete" && !l_firstStatus.IsConnected("is_active")))
        ip_menu->addAction(QIcon(":/icons/transfer_icon"), Plural("Retry download", m_entries.size()), this,
                           &DownloadMenuOptions::OnRetryDownloads);
    std::size_t const l_pausable = m_entries.NotConnected(l_complete).NotConnected(l_paused).size();
    if (l_pausable > 0)
        ip_menu->addAction(QIcon(":/icons/pause_icon"), Plural("Pause download", l_pausable), this,
                           &DownloadMenuOptions::OnPauseDownloads);
    std::size_t const l_resumable = m_entries.Connected(l_paused).size();
    if (l_resumable > 0)
        ip_menu->addAction(QIcon(":/icons/pause_icon"), Plural("Resume download", l_resumable), this,
                           &DownloadMenuOptions::OnResumeDownloads);
    ip_menu->addSeparator();
    ip_menu->addAction(QIcon(":/icons/transfer_icon"), Plural("Remove download", m_entries.size()), this,
                       &DownloadMenuOptions::OnRemoveDownloads);

    m_user = Single(m_entries, "user");
    m_remoteFolder = Single(m_entries, "remote_folder");
    QMenu* lp_notify = ip_menu->addMenu(QIcon(":/icons/alert_icon"), "Notify me when...");
    if (l_single && !l_first.IsConnected(ALERT) && !l_first.IsConnected(l_complete))
        lp_notify->addAction("File download completes", this, &DownloadMenuOptions::OnSetFileDownloadAlert);
    // Without a single user nothing is connected to it, so neither group
    // alert is offered.
    if (m_remoteFolder.IsValid() && m_remoteFolder.GetItems(ALERT).Connected(m_user).empty() &&
        !m_remoteFolder.GetItems("download_entry").Connected(m_user).NotConnected(l_complete).empty())
        lp_notify->addAction("Folder download completes", this, &DownloadMenuOptions::OnSetFolderDownloadAlert);
    if (m_user.IsValid() && m_user["download_list_user_node"].CountItems("download_list_folder_node") >= 2 &&
        m_user.GetItems(ALERT).NotConnected("remote_folder").empty() &&
        !m_user.GetItems("download_entry").NotConnected(l_complete).empty())
        lp_notify->addAction("All downloads from user complete", this, &DownloadMenuOptions::OnSetUserDownloadAlert);
    if (lp_notify->actions().isEmpty())
        delete lp_notify;

    if (Item const l_search = l_first["search_request_text"]; l_search.IsValid()) {
        m_searchText = l_search.AsString();
        ip_menu->addAction(QIcon(":/icons/search_icon"), "Re-run Search: " + LiteralTitle(m_searchText), this,
                           &DownloadMenuOptions::OnRerunSearch);
    }
}

DownloadMenuOptions::~DownloadMenuOptions() = default;

Item DownloadMenuOptions::FirstEntry() const
{
    return Item(m_entries);
}

void DownloadMenuOptions::OnOpenFile()
{
    Item const l_entry = FirstEntry();
    if (l_entry.IsValid())
        OpenLocalPath(DownloadFilePath(l_entry), "the download " + Isolated(l_entry["file_name"].AsString()));
}

void DownloadMenuOptions::OnOpenFolder()
{
    Item const l_entry = FirstEntry();
    if (l_entry.IsValid())
        OpenLocalPath(DownloadFolderPath(l_entry), "the folder of " + Isolated(l_entry["file_name"].AsString()));
}

void DownloadMenuOptions::OnRetryDownloads()
{
    for (Item const& l_entry : m_entries)
        if (l_entry.IsValid() && transferQueueManager)
            transferQueueManager->RequeueDownload(l_entry);
}

void DownloadMenuOptions::OnPauseDownloads()
{
    Item const l_complete = Status("complete");
    for (Item const& l_entry : m_entries)
        if (l_entry.IsValid() && !l_entry.IsConnected(l_complete) && transferQueueManager)
            transferQueueManager->PauseDownload(l_entry);
}

void DownloadMenuOptions::OnResumeDownloads()
{
    Item const l_paused = Status("paused");
    for (Item const& l_entry : m_entries)
        if (l_entry.IsValid() && l_entry.IsConnected(l_paused) && transferQueueManager)
            transferQueueManager->ResumeDownload(l_entry);
}

void DownloadMenuOptions::OnRemoveDownloads()
{
    // In slices, as the Delete key removes them: thousands at once held the
    // window, their rows going one by one.
    if (transfersForm) {
        transfersForm->RemoveDownloads(m_entries);
        return;
    }
    for (Item const& l_entry : m_entries)
        if (l_entry.IsValid() && transferQueueManager)
            transferQueueManager->RemoveDownload(l_entry);
}

void DownloadMenuOptions::OnRerunSearch()
{
    if (!gp_server || !searchForm || m_searchText.isEmpty())
        return;
    unsigned int const l_token = gp_server->FileSearch(m_searchText, QString());
    searchForm->CreateSearchForm(l_token, m_searchText, SEARCH_EVERYONE);
}

void DownloadMenuOptions::OnSetFileDownloadAlert()
{
    Item const l_entry = FirstEntry();
    if (l_entry.IsNull())
        return;
    MarkAlert(NodeRow(l_entry["download_list_node"]), 2);
    d[ALERT]->NewItem() += l_entry;
}

void DownloadMenuOptions::OnSetFolderDownloadAlert()
{
    if (m_user.IsNull() || m_remoteFolder.IsNull())
        return;
    MarkAlert(NodeRow(d.GetItem(m_user["download_list_user_node"], m_remoteFolder, "download_list_folder_node")), 1);
    Item const l_alert = d[ALERT]->NewItem();
    l_alert += m_user;
    l_alert += m_remoteFolder;
}

void DownloadMenuOptions::OnSetUserDownloadAlert()
{
    if (m_user.IsNull())
        return;
    MarkAlert(NodeRow(m_user["download_list_user_node"]), 0);
    d[ALERT]->NewItem() += m_user;
}
