#include "ui/search/ResultRows.h"

#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchStoreTypes.h"

#include <QIcon>
#include <QTreeWidgetItem>

#include "transfers/TransferQueueManager.h"

Item RowNode(char const* ip_nodeType, QTreeWidgetItem const* ip_row)
{
    if (!ip_row)
        return Item();
    return d[ip_nodeType]->HasItem(Value(ip_row));
}

void UnbindRow(QTreeWidgetItem const* ip_row)
{
    if (dynamic_cast<SearchResultFileRow const*>(ip_row)) {
        RowNode("search_result_node", ip_row).Remove();
    } else {
        RowNode("search_results_user_node", ip_row).Remove();
        RowNode("search_results_folder_node", ip_row).Remove();
    }
}

Item RowResult(QTreeWidgetItem const* ip_row)
{
    // A file row knows its result: no lookup for each row a filter or a
    // sort looks at.
    if (auto const* lp_file = dynamic_cast<SearchResultFileRow const*>(ip_row))
        return lp_file->Result();
    return RowNode("search_result_node", ip_row)["search_result"];
}

QTreeWidgetItem* NodeRow(Item const& i_node)
{
    if (i_node.IsNull())
        return nullptr;
    return reinterpret_cast<QTreeWidgetItem*>(static_cast<std::uintptr_t>(i_node.AsUInt64()));
}

Item ResultResponse(Item const& i_result)
{
    return i_result["search_results"];
}

QString ResultUser(Item const& i_result)
{
    return ResultResponse(i_result)["user"].AsString();
}

QString ResultSearchText(Item const& i_result)
{
    return ResultResponse(i_result)["search_request"]["search_request_text"].AsString();
}

Item QueueResultDownload(Item const& i_result, bool i_singleDownload, QString const& i_searchText)
{
    if (i_result.IsNull() || !transferQueueManager)
        return Item();
    Item const l_entry = transferQueueManager->AddDownload(
        ResultUser(i_result), i_result["search_result_file_name"].AsStdString(),
        i_result["search_result_file_folder"].AsStdString(), i_result["file_size"].AsInt64(), i_singleDownload, 0);
    LinkDownloadToSearchText(l_entry, i_searchText);
    if (QTreeWidgetItem* lp_row = NodeRow(i_result["search_result_node"]))
        lp_row->setIcon(SearchResultListItem::FILE, QIcon(QStringLiteral(":/icons/download_icon")));
    return l_entry;
}

bool HasExcludedDownloadExtension(Item const& i_result)
{
    return transferQueueManager &&
           transferQueueManager->HasExcludedDownloadExtension(i_result["search_result_file_name"].AsString());
}
