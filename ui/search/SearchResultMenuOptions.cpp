#include "ui/search/SearchResultMenuOptions.h"

#include "ui/search/ResultRows.h"
#include "ui/widgets/TreeWidget.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidget>

#include <cstdint>
#include <set>
#include <utility>

namespace {

SearchResultMenuOptions::BrowseFolderHook s_browseFolder;

} // namespace

void SearchResultMenuOptions::SetBrowseFolderHook(BrowseFolderHook i_hook)
{
    s_browseFolder = std::move(i_hook);
}

SearchResultMenuOptions::SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_item, QObject* ip_parent)
    : QObject(ip_parent), mp_item(ip_item)
{
    Item const l_result = RowResult(ip_item);
    Item const l_folderNode = RowNode("search_results_folder_node", ip_item);
    Item l_response;
    if (l_result.IsValid()) {
        ip_menu->addAction(QIcon(QStringLiteral(":/icons/download_icon")), QStringLiteral("Download File(s)"), this,
                           &SearchResultMenuOptions::OnDownloadFile);
        l_response = ResultResponse(l_result);
        m_folder = l_result["search_result_file_folder"].AsString();
    } else if (l_folderNode.IsValid()) {
        // The folder's item is shared by every user and search with that
        // path; the row's own results say whose folder it is.
        l_response = ResultResponse(l_folderNode.GetItems("search_result_node").GetItems("search_result"));
        m_folder = l_folderNode["search_result_file_folder"].AsString();
    } else {
        return;
    }
    m_searchText = l_response["search_request"]["search_request_text"].AsString();
    m_user = l_response["user"].AsString();
    ip_menu->addAction(QIcon(QStringLiteral(":/icons/downloads_icon")), QStringLiteral("Download Folder(s)"), this,
                       &SearchResultMenuOptions::OnDownloadFolder);
    ip_menu->addAction(QIcon(QStringLiteral(":/icons/browse_icon")), QStringLiteral("Browse Folder"), this,
                       &SearchResultMenuOptions::OnBrowseFolder);
}

SearchResultMenuOptions::~SearchResultMenuOptions() = default;

void SearchResultMenuOptions::OnDownloadFile()
{
    QList<QTreeWidgetItem*> const l_selected = SelectedRows(mp_item->treeWidget());
    bool const l_single = l_selected.size() == 1;
    for (QTreeWidgetItem* lp_row : l_selected)
        QueueResultDownload(RowResult(lp_row), l_single, m_searchText);
}

void SearchResultMenuOptions::OnDownloadFolder()
{
    // A peer's answer may hold thousands of files, all of them selected:
    // each folder of an answer is looked up once, and the set grown in time
    // that follows what it is given.
    ItemSetBuilder l_results;
    std::set<std::pair<std::uint64_t, std::uint64_t>> l_folders;
    for (QTreeWidgetItem* lp_row : SelectedRows(mp_item->treeWidget())) {
        if (Item const l_folderNode = RowNode("search_results_folder_node", lp_row); l_folderNode.IsValid()) {
            l_results.Add(l_folderNode.GetItems("search_result_node").GetItems("search_result"));
        } else if (Item const l_result = RowResult(lp_row); l_result.IsValid()) {
            Item const l_response = ResultResponse(l_result);
            Item const l_folder = l_result["search_result_file_folder"];
            if (l_folders.emplace(l_response.Serial(), l_folder.Serial()).second)
                l_results.Add(d.GetItems(l_response, l_folder, "search_result"));
        }
    }
    for (Item const& l_result : l_results.Take().SortAlphabeticBy("search_result_file_name", true, true))
        if (!HasExcludedDownloadExtension(l_result))
            QueueResultDownload(l_result, false, m_searchText);
}

void SearchResultMenuOptions::OnBrowseFolder()
{
    if (s_browseFolder && !m_user.isEmpty())
        s_browseFolder(m_user, m_folder);
}
