#ifndef QUILLMAR_UI_SEARCH_RESULTROWS_H
#define QUILLMAR_UI_SEARCH_RESULTROWS_H

// How the rows of a results tree are bound to the store, and what the tab
// and its menu do with a result's file.
//
// A row is bound by an item of a node type keyed by the row's address:
// "search_results_user_node", "search_results_folder_node" or, for a file
// row, "search_result_node" (linked to its "search_result"). The result
// leads back to its row through its node. Lookups here never create items.

#include "store/Data.h"

#include <QString>

class QTreeWidgetItem;

Item RowNode(char const* ip_nodeType, QTreeWidgetItem const* ip_row);
// Removes the node that binds the row, so that a later row made at its
// address finds nothing.
void UnbindRow(QTreeWidgetItem const* ip_row);
// The "search_result" of a file row; null for any other row.
Item RowResult(QTreeWidgetItem const* ip_row);
// The row a node stands for; null for a null node.
QTreeWidgetItem* NodeRow(Item const& i_node);

// A result's answer ("search_results"), its sender and its search's text.
Item ResultResponse(Item const& i_result);
QString ResultUser(Item const& i_result);
QString ResultSearchText(Item const& i_result);

// Queues the result's file (the peer's own bytes for its name and folder),
// links the download to the search text and puts the download icon on the
// result's row. The entry, or a null item when nothing could be queued.
Item QueueResultDownload(Item const& i_result, bool i_singleDownload, QString const& i_searchText);
// True when the result's file name ends with an excluded download extension;
// only downloads of whole folders and users leave such files out.
bool HasExcludedDownloadExtension(Item const& i_result);

#endif
