// Share lists held as store items (the received-share model the Browse
// page shows, ui/transfers/ShareModel.h): their removal. A list of 200,000
// files is as many items again in names and sizes; removed in one go, or
// left to the store's collection, they would hold the window for a good
// part of a second.

#include "shares/SharedFoldersManager.h"
#include "store/FreePages.h"
#include "store/StoreCollector.h"

#include <QElapsedTimer>

namespace {

// The items a folder or file holds that no other list, search result or
// download may still hold; those that nothing links any more go with it,
// as the collection would take them.
char const* const kHeldTypes[] = {"user_share_folder_name", "user_share_file_name", "file_size", "bitrate",
                                  "bitrate_mode", "length_seconds"};

void RemoveWithOrphans(Item const& i_item)
{
    std::vector<Item> l_held;
    for (char const* lp_type : kHeldTypes)
        if (Item const l_value = i_item[lp_type]; l_value.IsValid())
            l_held.push_back(l_value);
    i_item.Remove();
    for (Item const& l_value : l_held)
        if (l_value.IsDisconnectedFromAll())
            l_value.Remove();
}

} // namespace

void SharedFoldersManager::RemoveShare(Item const& i_share)
{
    if (i_share.IsNull())
        return;
    // The user it was linked to can take a new one at once. The share goes
    // last: removing it with its 2,000,000 folders, or taking a handle to
    // each of them, held the window for a quarter of a second each.
    i_share.Disconnect("user");
    for (auto const& l_queued : m_removedShares)
        if (l_queued.first == i_share)
            return;
    m_removedShares.emplace_back(i_share, 0);
    RemoveSharesSlice();
}

void SharedFoldersManager::RemoveSharesSlice()
{
    QElapsedTimer l_clock;
    l_clock.start();
    while (IsRemovingShares()) {
        auto& l_share = m_removedShares.front();
        if (l_share.second != ALL_READ) {
            // The share's folders first, a batch at a time.
            std::vector<Item> const l_batch = l_share.first.GetItemsFrom("user_share_folder", l_share.second, 256);
            l_share.second = l_batch.empty() ? ALL_READ : l_batch.back().Serial() + 1;
            m_removedFolders.insert(m_removedFolders.end(), l_batch.begin(), l_batch.end());
        } else if (m_removedFiles.empty() && m_removedFolders.empty()) {
            l_share.first.Remove();
            m_removedShares.pop_front();
        } else if (!m_removedFiles.empty()) {
            Item const l_file = m_removedFiles.back();
            m_removedFiles.pop_back();
            RemoveWithOrphans(l_file);
        } else {
            Item const l_folder = m_removedFolders.back();
            m_removedFolders.pop_back();
            ItemSet const l_files = l_folder.GetItems("user_share_file");
            m_removedFiles.assign(l_files.begin(), l_files.end());
            // The link's other half, under the parent, goes with it: a
            // folder of 2,000,000 subfolders held as many halves, all
            // removed with it in one step (0.45 s).
            for (Item const& l_up : l_folder.GetItems("user_share_folder_parent"))
                l_up.GetItems("user_share_folder_child").Remove();
            l_folder.GetItems("user_share_folder_parent").Remove();
            l_folder.GetItems("user_share_folder_child").Remove();
            RemoveWithOrphans(l_folder);
        }
        if (l_clock.nsecsElapsed() >= m_shareRemovalSliceMs * 1000000) {
            MergeFreedBlocks();
            m_shareRemovalTimer.start();
            return;
        }
    }
    // What nothing above took (the rows' bindings of the pages) goes with
    // the collection, in slices: it looks at what the removals left. Then
    // the freed pages go back to the system.
    StoreCollector::Obj()->Collect([]() { GiveBackFreePages(); });
}
