#ifndef QUILLMAR_UI_TRANSFERS_TRANSFERSFORM_H
#define QUILLMAR_UI_TRANSFERS_TRANSFERSFORM_H

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/SlicedWork.h"
#include "ui/transfers/TransferRows.h"

#include <QKeyEvent>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class QTreeWidgetItem;
class TreeWidget;
class Ui_TransfersForm;

// The Transfers page: the engine's downloads and uploads as two trees,
// each grouped user > folder > file, with status, progress, time left and
// speed; the commands on them (tool bar, context menus, Delete key, double
// click, limits and slots), the completion alerts, and the half-minute
// clean-up of finished uploads.
//
// The page keeps no transfer state: each row is bound to its store item by
// a node item keyed by the row's address ("download_list_user_node",
// "download_list_folder_node", "download_list_node" and their upload
// twins), and every change reaches it as a store event or a signal of the
// transfer queue manager. Group rows (users and folders) are refreshed in
// one pass after the events that touched them, so that bulk changes (the
// start-up replay, a pause of thousands) cost one walk per group; and a
// group's progress figures are kept between reports until a status below it
// changes, so that a report reads only the counters that move.
class TransfersForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Types, observers and tool-bar actions; after the transfer queue
    // manager exists, before the saved data is loaded.
    void Init();
    // Shows the stored limits, then connects the controls.
    void DataLoaded() override;

    Ui_TransfersForm* Form() const { return mp_ui; }

    // Store observers.
    void OnDownloadEntryAdded(Item i_entry);
    void OnUploadEntryAdded(Item i_entry);
    void OnDownloadEntryRemoved(Item i_entry);
    void OnUploadEntryRemoved(Item i_entry);
    void OnDownloadEntryStatusChange(ConnectionInfo& i_info);
    void OnUploadEntryStatusChange(ConnectionInfo& i_info);
    void OnDownloadPlaceInLine(Item i_entry);
    // Why a transfer ended, for its row.
    void OnTransferEnded(Item i_entry, QString i_reason);

    // The user row of any row of that tree.
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* ip_row);
    // Every entry at or below a row.
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row);
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* ip_row);
    void SetItemColorByStatus(QTreeWidgetItem* ip_row, QString i_status);
    QString GetDownloadEntriesAggregateStatus(ItemSet& i_entries);
    QString GetUploadEntriesAggregateStatus(ItemSet& i_entries);
    void GetDownloadsProgressStats(ItemSet& i_entries, long long& o_done, long long& o_remaining, long long& o_total);
    void GetUploadsProgressStats(ItemSet& i_entries, long long& o_done, long long& o_remaining, long long& o_total);
    void DeleteSelectedDownloads();
    void DeleteSelectedUploads();
    // Removes the entries through the transfer queue manager in slices, as
    // the Delete key does (the context menus' "Remove").
    void RemoveDownloads(ItemSet const& i_entries);
    void RemoveUploads(ItemSet const& i_entries);
    // Carries out here and now the removals the user asked for that are
    // still under way, so that a save made at once (the one at the end)
    // leaves out what he removed.
    void FinishRemovals();
    // The entries a context menu of that tree acts on, and the user names
    // of the selected rows.
    ItemSet GetDownloadMenuEntries(QStringList& o_users);
    ItemSet GetUploadMenuEntries(QStringList& o_users);

    // Entries one step of the two Clear commands took in at most, since the
    // page was made.
    std::uint64_t MostGatheredInAStep() const { return m_mostGatheredInAStep; }

    bool ExpandsDownloadFolders() const { return m_downloads.m_expandFolders; }
    bool ExpandsDownloadUsers() const { return m_downloads.m_expandUsers; }
    bool ExpandsUploadFolders() const { return m_uploads.m_expandFolders; }
    bool ExpandsUploadUsers() const { return m_uploads.m_expandUsers; }

signals:
    void DownloadComplete(Item i_download);

public slots:
    void OnTransfersLoaded();
    void OnDownloadProgress(Item i_entry);
    void OnUploadProgress(Item i_entry);
    void OnItemExpanded(QTreeWidgetItem* ip_row);
    void OnItemCollapsed(QTreeWidgetItem* ip_row);
    void UpdateActiveTransferCounts();
    void RecolorEntries();
    void OnCurrentTabChanged(int i_index);
    void OnUserOnline(Item i_user);
    void OnUserOffline(Item i_user);

    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnDownloadsContextMenuRequested(QPoint i_point);
    void OnUploadsContextMenuRequested(QPoint i_point);
    void OnKeyPressedInDownloadList(QKeyEvent* ip_event);
    void OnKeyPressedInUploadList(QKeyEvent* ip_event);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnDownloadSpeedLimitSpinValueChanged(int i_value);
    void OnDownloadSpeedLimitCheckStateChanged(int i_state);
    void OnUploadSpeedLimitSpinValueChanged(int i_value);
    void OnUploadSpeedLimitCheckStateChanged(int i_state);
    void OnUploadSlotsSpinValueChanged(int i_value);
    void OnClearDownloadsCheckStateChanged(int i_state);
    void OnClearUploadsCheckStateChanged(int i_state);
    void EveryHalfMinute();
    void OnDownloadComplete(Item i_download);

private slots:
    void RefreshGroups();

private:
    // One of the two trees and the store types behind it.
    struct TransferTree
    {
        TreeWidget* mp_tree = nullptr;
        bool m_downloads = true;
        char const* mp_entryType;
        char const* mp_statusType;
        char const* mp_userNodeType;
        char const* mp_folderNodeType;
        char const* mp_fileNodeType;
        char const* mp_folderType;   // what a folder row stands for
        char const* mp_positionType; // the live byte counter
        bool m_expandFolders = true;
        bool m_expandUsers = true;
    };

    void DeclareNodeTypes(TransferTree const& i_tree);
    void RegisterToolBarActions();
    void AddEntryRow(TransferTree& io_tree, Item const& i_entry);
    void RemoveEntryRow(TransferTree& io_tree, Item const& i_entry);
    void ShowStatus(TransferTree& io_tree, Item const& i_entry, Item const& i_status);
    void ShowProgress(TransferTree& io_tree, Item const& i_entry);
    // The file row's bar at that position, and what its groups count of it.
    void ShowFileBar(TransferTree& io_tree, Item const& i_entry, QTreeWidgetItem* ip_row, long long i_position);
    // A stopped download's row shows the bytes of the partial file it made.
    void ShowBytesOnDisk(Item const& i_entry, QTreeWidgetItem* ip_row);
    // A group row's figures: time left at the transfer's speed (a negative
    // speed: that of all its running transfers; none without a speed) and
    // its bar; false when no row below shows a bar.
    bool ShowGroupProgress(TransferTree& io_tree, QTreeWidgetItem* ip_row, int i_speed);
    // Shows the aggregate status of the row's entries; returns it.
    QString ShowGroupStatus(TransferTree& io_tree, QTreeWidgetItem* ip_row, bool i_color);
    void MarkGroupsForRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_fileRow);
    // The folder row and its user row get their status and figures again in
    // one queued pass.
    void QueueGroupRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_folderRow);
    // The user row alone, in the same pass.
    void QueueUserRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_userRow);
    // A user or folder row, in the same pass.
    void RefreshGroupRow(TransferTree& io_tree, QTreeWidgetItem* ip_row);
    bool IsGroupRow(TransferTree const& i_tree, QTreeWidgetItem* ip_row) const;
    // What a group row's figures are made of: the sum of the rows below it,
    // every entry's size in its total and the bytes its row's bar shows in
    // what is done. The part that changes only with their statuses is kept;
    // the entries whose bars move are read at each report.
    struct GroupFigures
    {
        long long m_settled = 0;     // what the bars of finished and stopped entries show
        long long m_total = 0;       // the sizes of all entries
        long long m_waitingLeft = 0; // what queued and aborted entries still have to come
        std::vector<Item> m_moving;  // running: their bars move with their reports
        bool m_barBelow = false;     // a finished or stopped entry's row shows a bar
        bool m_allComplete = false;
    };
    GroupFigures Figures(TransferTree const& i_tree, ItemSet const& i_entries) const;
    // The statuses Figures tells apart, looked up once for many entries.
    struct FigureStatuses
    {
        Item m_complete;
        Item m_waiting[2]; // queued, aborted: what they still have to come counts
    };
    static FigureStatuses StatusesOfFigures(TransferTree const& i_tree);
    void AddToFigures(TransferTree const& i_tree, FigureStatuses const& i_statuses, Item const& i_entry,
                      GroupFigures& io_figures, std::size_t& io_complete) const;
    // The stale groups' walk (RefreshGroups), a few rows a step; false once
    // every group is shown.
    bool WalkGroups();
    void FinishGroup();
    void ProgressStats(TransferTree const& i_tree, GroupFigures const& i_figures, long long& o_done,
                       long long& o_remaining, long long& o_total) const;
    // The bytes a row's bar shows; none while it shows none.
    std::optional<long long> ShownBytes(Item const& i_entry) const;
    // Forgets the bytes an entry's row showed, with its bar.
    void ForgetShownBytes(TransferTree const& i_tree, Item const& i_entry, QTreeWidgetItem* ip_row);
    // Forgets the figures of the groups holding that row.
    void ForgetFigures(TransferTree const& i_tree, QTreeWidgetItem* ip_row);
    ItemSet EntriesUnder(TransferTree const& i_tree, QTreeWidgetItem* ip_row) const;
    ItemSet MenuEntries(TransferTree const& i_tree, QStringList& o_users) const;
    void DeleteSelected(TransferTree const& i_tree);
    void ShowUserIcon(Item const& i_user);
    void ToggleExpansion(TransferTree& io_tree, bool i_folders);
    // Queues the entries for removal through the transfer queue manager,
    // one a step (see m_removals); i_onlyIf: a status an entry must still
    // have when its turn comes, or null.
    void RemoveEntries(ItemSet const& i_entries, bool i_downloads, Item const& i_onlyIf = Item());
    void ClearCompleteDownloads();
    // "Clear Complete and Aborted": the uploads that ended, then the queued
    // ones of users long offline, gathered a batch a step.
    void ClearFinishedUploads();
    // Starts the gathering of uploads for removal (that of the command, or
    // of the half-minute clean-up), or lets the one under way go on.
    struct UploadGather;
    void GatherUploads(UploadGather& io_gather);
    bool GatherUploadsStep(UploadGather& io_gather);
    void StartRemovals();
    bool RemoveNextEntry();
    // A row that goes: deleted, or, while removals run, left for their end
    // (see m_goneRows). True when its parent row is left without a row
    // that stays.
    bool LetRowGo(QTreeWidgetItem* ip_row);
    int RowsStaying(QTreeWidgetItem* ip_row) const;
    bool IsGoneRow(QTreeWidgetItem* ip_row) const;
    // The rows that went while the removals ran leave their trees; false
    // when none did.
    bool TakeOffGoneRows();
    void TakeOffAllAndPutBack(TransferTree& io_tree);
    void PutBackStaying(QTreeWidgetItem* ip_row);
    // Of rows taken off the tree, those that stay, their own rows put back
    // the same way; those that go wait to be deleted in steps.
    QList<QTreeWidgetItem*> SortOutStaying(QList<QTreeWidgetItem*> const& i_rows);
    bool DeleteTakenRows();
    void ShowCompleteDownloads();
    TransferTree* TreeOfNode(Item const& i_node);

    static QTreeWidgetItem* UserRowOf(QTreeWidgetItem* ip_row);
    // The file row an entry shows in and the folder and user rows above it;
    // all null while the entry has no row.
    struct EntryRows
    {
        QTreeWidgetItem* mp_file = nullptr;
        QTreeWidgetItem* mp_folder = nullptr;
        QTreeWidgetItem* mp_user = nullptr;
    };
    static EntryRows RowsOf(TransferTree const& i_tree, Item const& i_entry);
    static long long EntrySize(TransferTree const& i_tree, Item const& i_entry);
    static QString EntryFileName(TransferTree const& i_tree, Item const& i_entry);
    static Item EntryFolder(TransferTree const& i_tree, Item const& i_entry);

    Ui_TransfersForm* mp_ui;
    TransferTree m_downloads;
    TransferTree m_uploads;
    // The rows of the loaded queue are made in slices, in the queue's
    // order (5,000 at once held the window for 60-120 ms); a download added
    // meanwhile waits its turn behind them. m_transfersLoaded once all are.
    // First each entry's order is read, a step each, then they are sorted
    // by it at once (GatherLoadedEntry).
    SlicedWork m_loadWork;
    std::vector<Item> m_loadedEntries;
    std::vector<std::pair<qint64, std::size_t>> m_loadedOrders;
    std::size_t m_nextLoaded = 0;
    bool m_loadedSorted = false;
    bool GatherLoadedEntry();
    bool m_transfersLoaded = false;
    // Entries the user removed (Clear Complete, the Delete key, the
    // menus' "Remove", the upload clean-ups), taken one a step: 40,000 at
    // once held the window for 300 ms. They go in the order given. An entry
    // that went another way meanwhile reads as null and is passed over;
    // until its turn an entry is an ordinary one and its row takes every
    // update.
    struct PendingRemoval
    {
        Item m_entry;
        Item m_onlyIf; // the status it must still have, or null
        bool m_downloads;
    };
    SlicedWork m_removalWork;
    std::vector<PendingRemoval> m_removals;
    // The rows of the entries that went while the removals ran, and the
    // groups they emptied: bound to nothing, they stay in their trees until
    // the removals end, and then leave together. A row that leaves a tree
    // makes the view look at every index it keeps (an expanded group, a
    // range of the selection, a bar) and, with a bar anywhere, lay out
    // every row again: one at a time, 20,000 rows in 2,000 folders took
    // minutes. Together they take one change of each tree. Held are the
    // rows that went whose group stays (a group's rows go with it), and how
    // many of each group's rows went.
    std::unordered_set<QTreeWidgetItem*> m_goneRows;
    std::unordered_map<QTreeWidgetItem*, int> m_goneChildren;
    bool m_rowsLeaveNext = false;
    // Rows taken off their trees, deleted a batch a step.
    std::vector<QTreeWidgetItem*> m_takenRows;
    // Clear Complete takes the complete downloads from their status a batch
    // at a time (a handle to each of 40,000 at once held the window for
    // 10 ms): the status, and the serial the next batch starts from.
    Item m_clearedStatus;
    std::uint64_t m_clearedFrom = 0;
    // "Clear Complete and Aborted" takes the uploads the same way, from
    // the serial m_from, those made before the command (m_until); the
    // queued ones of users long gone wait for the end of the gathering
    // (m_later). So does the half-minute clean-up, which takes the idle
    // ones in their order.
    struct UploadGather
    {
        bool m_running = false;
        std::uint64_t m_from = 0;
        std::uint64_t m_until = 0;
        std::vector<Item> m_later;
    };
    UploadGather m_clearedUploads;
    UploadGather m_idleUploads;
    static constexpr std::size_t CLEAR_GATHER_BATCH = 256;
    std::uint64_t m_mostGatheredInAStep = 0;
    std::size_t m_nextRemoval = 0;
    bool m_initialised = false;
    bool m_controlsConnected = false;
    bool m_countsQueued = false;
    bool m_groupRefreshQueued = false;
    // Group rows whose status waits for RefreshGroups, as their nodes (a row
    // that goes meanwhile leaves a null node behind), marked in any order.
    ItemSetBuilder m_staleGroups;
    // The walk of the groups RefreshGroups took, a few rows a step: the
    // status and figures of the group under way so far.
    static constexpr int GROUP_ROWS_A_STEP = 64;
    struct GroupWalk
    {
        std::vector<Item> m_groups;
        std::size_t m_next = 0;
        Item m_node;
        TransferTree* mp_tree = nullptr;
        QTreeWidgetItem* mp_row = nullptr; // null between groups
        int m_folder = 0;
        int m_file = 0;
        std::optional<TransferRows::StatusTally> m_tally;
        GroupFigures m_figures;
        std::size_t m_entries = 0;
        std::size_t m_complete = 0;
    };
    GroupWalk m_groupWalk;
    SlicedWork m_groupWork;
    // The figures of group rows, by their node's serial, kept from one
    // progress report to the next until something below the row changes.
    std::unordered_map<std::uint64_t, GroupFigures> m_groupFigures;
    // The bytes each transfer's bar shows, by the entry's serial, for as
    // long as its row shows a bar that is not a finished one: a transfer
    // that stops keeps its bar, and its groups count what it shows.
    std::unordered_map<std::uint64_t, long long> m_shownPositions;
};

// The one instance, set by the constructor.
extern TransfersForm* transfersForm;

#endif
