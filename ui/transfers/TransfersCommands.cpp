// The command side of the Transfers page: tool-bar actions, context menus,
// the Delete key, the double click, the limit and slot controls, the
// completion alerts and the half-minute clean-up of uploads.

#include "ui/transfers/TransfersForm.h"

#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/DownloadMenuOptions.h"
#include "ui/transfers/TransferRows.h"
#include "ui/transfers/UploadMenuOptions.h"

#include "ui_TransfersForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/TreeWidget.h"
#include "ui/widgets/UserPageHooks.h"
#include "store/Settings.h"
#include "store/Utilities.h"
#include "transfers/TransferItems.h"
#include "transfers/TransferQueueManager.h"

#include <QDesktopServices>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <unordered_set>

using namespace TransferRows;

namespace {

char const* const DOWNLOADS_SET = "downloads";
char const* const UPLOADS_SET = "uploads";

// Whole seconds from a stored time to now above this, and a finished upload
// or an offline user's queued one has waited long enough.
constexpr qint64 IDLE_SECONDS = 299;

bool IsLongIdle(QDateTime const& i_since, QDateTime const& i_now)
{
    return i_since.isValid() && i_since.secsTo(i_now) > IDLE_SECONDS;
}

// The user is offline and went offline long enough ago.
bool IsLongOffline(Item const& i_user, QDateTime const& i_now)
{
    if (i_user.IsConnected("is_online") || !d.HasType("last_online_status_change"))
        return false;
    return IsLongIdle(TransferItems::StoredTime(i_user["last_online_status_change"].AsString(), i_now), i_now);
}

// The half-minute clean-up's choice: an upload that ended, or is queued by
// a user long offline, or runs without a report, and whose last change
// (status, or report) is long past.
bool IsIdleUpload(Item const& i_entry, QDateTime const& i_now)
{
    if (i_entry["upload_entry_status"].AsString() == "queued" && !IsLongOffline(i_entry["user"], i_now))
        return false;
    QDateTime l_last = TransferItems::StoredTime(i_entry["last_status_change_time"].AsString(), i_now);
    if (auto const* lp_receipt = TransferItems::ObjectAt<QDateTime>(i_entry["last_receipt_time"]);
        lp_receipt && lp_receipt->isValid() && (!l_last.isValid() || lp_receipt->toUTC() > l_last))
        l_last = lp_receipt->toUTC();
    return IsLongIdle(l_last, i_now);
}

Item DownloadStatus(char const* ip_status)
{
    return d["download_entry_status"]->HasItem(Value(ip_status));
}

} // namespace

void TransfersForm::RegisterToolBarActions()
{
    if (!actionBar)
        return;
    actionBar->AddSetActions({
        {DOWNLOADS_SET, "expand_download_folders", "Expand Folders", ":/icons/folder_icon"},
        {DOWNLOADS_SET, "expand_download_users", "Expand Users", ":/icons/users_icon"},
        {DOWNLOADS_SET, "clear_complete_downloads", "Clear Complete", ":/icons/wipe_icon"},
        {DOWNLOADS_SET, "open_download_folder", "Open Download Folder", ":/icons/folder_icon"},
        {DOWNLOADS_SET, "complete_downloads", "Completed Downloads", ":/icons/complete_icon"},
        {UPLOADS_SET, "expand_upload_folders", "Expand Folders", ":/icons/folder_icon"},
        {UPLOADS_SET, "expand_upload_users", "Expand Users", ":/icons/users_icon"},
        {UPLOADS_SET, "clear_complete_and_aborted_uploads", "Clear Complete and Aborted", ":/icons/wipe_icon"},
        {UPLOADS_SET, "finish_uploads_and_quit", "Finish Uploads and Quit [off]", ":/icons/shutdown_icon"},
    });
    actionBar->RegisterWidget(mp_ui->downloadsList, DOWNLOADS_SET);
    actionBar->RegisterWidget(mp_ui->uploadsList, UPLOADS_SET);
    actionBar->SetWidgetActionText(mp_ui->downloadsList, "expand_download_folders", "Expand Folders [on]");
    actionBar->SetWidgetActionText(mp_ui->downloadsList, "expand_download_users", "Expand Users [on]");
    actionBar->SetWidgetActionText(mp_ui->uploadsList, "expand_upload_folders", "Expand Folders [on]");
    actionBar->SetWidgetActionText(mp_ui->uploadsList, "expand_upload_users", "Expand Users [on]");
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &TransfersForm::OnActionBarTriggered);
}

void TransfersForm::DataLoaded()
{
    if (m_controlsConnected)
        return;
    Ui_TransfersForm& l_ui = *mp_ui;
    l_ui.uploadLimitSpinBox->setValue(GetSettingInt("upload_speed_limit"));
    l_ui.uploadSlotsSpinBox->setValue(GetSettingInt("upload_slots"));
    l_ui.uploadLimitCheckBox->setChecked(IsSettingYes("upload_speed_limit_enabled"));
    l_ui.downloadLimitSpinBox->setValue(GetSettingInt("download_speed_limit"));
    l_ui.downloadLimitCheckBox->setChecked(IsSettingYes("download_speed_limit_enabled"));
    l_ui.clearDownloadsCheckBox->setChecked(IsSettingYes("clear_complete_downloads"));
    l_ui.clearUploadsCheckBox->setChecked(IsSettingYes("clear_complete_aborted_uploads"));

    // Only now: showing the stored values must call nothing in the manager,
    // which applies them itself.
    m_controlsConnected = true;
    auto const l_valueChanged = QOverload<int>::of(&QSpinBox::valueChanged);
    connect(l_ui.downloadLimitSpinBox, l_valueChanged, this, &TransfersForm::OnDownloadSpeedLimitSpinValueChanged);
    connect(l_ui.downloadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnDownloadSpeedLimitCheckStateChanged);
    connect(l_ui.uploadLimitSpinBox, l_valueChanged, this, &TransfersForm::OnUploadSpeedLimitSpinValueChanged);
    connect(l_ui.uploadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged);
    connect(l_ui.uploadSlotsSpinBox, l_valueChanged, this, &TransfersForm::OnUploadSlotsSpinValueChanged);
    connect(l_ui.clearDownloadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged);
    connect(l_ui.clearUploadsCheckBox, &QCheckBox::stateChanged, this, &TransfersForm::OnClearUploadsCheckStateChanged);

    if (sizeManager) {
        sizeManager->RegisterTreeWidget("download_list", l_ui.downloadsList);
        sizeManager->RegisterTreeWidget("upload_list", l_ui.uploadsList);
    }
}

void TransfersForm::OnTransfersLoaded()
{
    // Gathered and ordered in steps too: reading the order of 40,000
    // entries and sorting them in one go held the window 22-25 ms.
    ItemSet const l_entries = d["download_entry"]->GetItems();
    m_loadedEntries.assign(l_entries.begin(), l_entries.end());
    m_loadedOrders.clear();
    m_nextLoaded = 0;
    m_loadedSorted = false;
    m_loadWork.Start(
        [this]() {
            if (!m_loadedSorted)
                return GatherLoadedEntry();
            if (m_nextLoaded >= m_loadedEntries.size())
                return false;
            // One removed meanwhile has no row to get.
            Item const l_entry = std::move(m_loadedEntries[m_nextLoaded++]);
            if (l_entry.IsValid())
                AddEntryRow(m_downloads, l_entry);
            return m_nextLoaded < m_loadedEntries.size();
        },
        [this]() {
            m_loadedEntries.clear();
            m_loadedOrders = std::vector<std::pair<qint64, std::size_t>>();
            m_nextLoaded = 0;
            m_transfersLoaded = true;
            if (!m_groupRefreshQueued && !m_staleGroups.empty()) {
                m_groupRefreshQueued = true;
                QMetaObject::invokeMethod(this, &TransfersForm::RefreshGroups, Qt::QueuedConnection);
            }
        });
}

bool TransfersForm::GatherLoadedEntry()
{
    if (m_nextLoaded < m_loadedEntries.size()) {
        std::size_t const l_index = m_nextLoaded++;
        Item const& l_entry = m_loadedEntries[l_index];
        // One removed meanwhile has no order, and no row later.
        if (Item const l_order = l_entry.IsValid() ? l_entry["download_order"] : Item(); l_order.IsValid())
            m_loadedOrders.emplace_back(l_order.AsInt64(), l_index);
        return true;
    }
    // Integers only: tens of thousands sort within a few milliseconds. An
    // entry a damaged file left without its order is still shown, last.
    std::stable_sort(m_loadedOrders.begin(), m_loadedOrders.end(),
                     [](auto const& i_a, auto const& i_b) { return i_a.first < i_b.first; });
    std::vector<Item> l_ordered;
    l_ordered.reserve(m_loadedEntries.size());
    std::vector<bool> l_taken(m_loadedEntries.size(), false);
    for (auto const& l_keyed : m_loadedOrders) {
        l_ordered.push_back(std::move(m_loadedEntries[l_keyed.second]));
        l_taken[l_keyed.second] = true;
    }
    for (std::size_t l_k = 0; l_k < m_loadedEntries.size(); ++l_k)
        if (!l_taken[l_k])
            l_ordered.push_back(std::move(m_loadedEntries[l_k]));
    m_loadedEntries = std::move(l_ordered);
    m_loadedOrders = std::vector<std::pair<qint64, std::size_t>>();
    m_nextLoaded = 0;
    m_loadedSorted = true;
    return !m_loadedEntries.empty();
}

// ------------------------------------------------------------------ tool bar

void TransfersForm::OnActionBarTriggered(QWidget*, QString i_action)
{
    if (!m_initialised)
        return;
    if (i_action == "expand_download_folders") {
        ToggleExpansion(m_downloads, true);
    } else if (i_action == "expand_download_users") {
        ToggleExpansion(m_downloads, false);
    } else if (i_action == "expand_upload_folders") {
        ToggleExpansion(m_uploads, true);
    } else if (i_action == "expand_upload_users") {
        ToggleExpansion(m_uploads, false);
    } else if (i_action == "clear_complete_downloads") {
        ClearCompleteDownloads();
    } else if (i_action == "clear_complete_and_aborted_uploads") {
        ClearFinishedUploads();
    } else if (i_action == "finish_uploads_and_quit") {
        bool const l_on = GetVSetting("finish_uploads_and_quit") != "yes";
        SetVSetting("finish_uploads_and_quit", l_on ? "yes" : "no");
        if (actionBar)
            actionBar->SetWidgetActionText(mp_ui->uploadsList, i_action,
                                           l_on ? "Finish Uploads and Quit [on]" : "Finish Uploads and Quit [off]");
    } else if (i_action == "open_download_folder") {
        QString const l_folder = GetSetting("download_folder");
        if (!l_folder.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(l_folder));
    } else if (i_action == "complete_downloads") {
        ShowCompleteDownloads();
    }
}

void TransfersForm::ToggleExpansion(TransferTree& io_tree, bool i_folders)
{
    bool& l_flag = i_folders ? io_tree.m_expandFolders : io_tree.m_expandUsers;
    l_flag = !l_flag;
    if (actionBar) {
        QString const l_id = QString("expand_%1_%2")
                                 .arg(io_tree.m_downloads ? "download" : "upload", i_folders ? "folders" : "users");
        QString const l_text = i_folders ? "Expand Folders" : "Expand Users";
        actionBar->SetWidgetActionText(io_tree.mp_tree, l_id, l_text + (l_flag ? " [on]" : " [off]"));
    }
    for (int l_user = 0; l_user < io_tree.mp_tree->topLevelItemCount(); ++l_user) {
        QTreeWidgetItem* lp_userRow = io_tree.mp_tree->topLevelItem(l_user);
        if (!i_folders)
            lp_userRow->setExpanded(l_flag);
        else
            for (int l_folder = 0; l_folder < lp_userRow->childCount(); ++l_folder)
                lp_userRow->child(l_folder)->setExpanded(l_flag);
    }
}

void TransfersForm::ShowCompleteDownloads()
{
    if (!completeDownloadsForm) {
        auto* lp_form = new CompleteDownloadsForm(this);
        mp_ui->transfersTabControl->addTab(lp_form, "Complete");
        lp_form->Init();
    }
    // Shown as the current tab: a page made visible behind another tab
    // would be drawn over it.
    mp_ui->transfersTabControl->setCurrentWidget(completeDownloadsForm);
}

// ------------------------------------------------------- removals and menus

void TransfersForm::RemoveEntries(ItemSet const& i_entries, bool i_downloads, Item const& i_onlyIf)
{
    if (!transferQueueManager || i_entries.empty())
        return;
    for (Item const& l_entry : i_entries)
        m_removals.push_back({l_entry, i_onlyIf, i_downloads});
    StartRemovals();
}

void TransfersForm::ClearCompleteDownloads()
{
    if (!transferQueueManager)
        return;
    // Given again while the last one gathers: it gathers on from where it
    // is, and the downloads it took already wait their turn.
    if (m_clearedStatus.IsNull()) {
        m_clearedStatus = DownloadStatus("complete");
        m_clearedFrom = 0;
    }
    StartRemovals();
}

void TransfersForm::GatherUploads(UploadGather& io_gather)
{
    if (!transferQueueManager)
        return;
    // Given again while the last one gathers: it gathers on from where it
    // is.
    if (!io_gather.m_running) {
        io_gather.m_running = true;
        io_gather.m_from = 0;
        io_gather.m_until = d.NextSerial();
    }
    StartRemovals();
}

void TransfersForm::ClearFinishedUploads()
{
    GatherUploads(m_clearedUploads);
}

bool TransfersForm::GatherUploadsStep(UploadGather& io_gather)
{
    bool const l_idle = &io_gather == &m_idleUploads;
    std::vector<Item> const l_batch = d["upload_entry"]->GetItemsFrom(io_gather.m_from, CLEAR_GATHER_BATCH);
    m_mostGatheredInAStep = std::max<std::uint64_t>(m_mostGatheredInAStep, l_batch.size());
    bool l_through = l_batch.size() < CLEAR_GATHER_BATCH;
    QDateTime const l_now = TransferItems::CurrentTime();
    for (Item const& l_entry : l_batch) {
        // Those that came after the command are not its own.
        if (l_entry.Serial() >= io_gather.m_until) {
            l_through = true;
            break;
        }
        if (l_idle) {
            if (IsIdleUpload(l_entry, l_now))
                m_removals.push_back({l_entry, Item(), false});
            continue;
        }
        Item const l_status = l_entry["upload_entry_status"];
        if (l_status.AsString() != "queued" && !l_status.IsConnected("is_active"))
            m_removals.push_back({l_entry, Item(), false});
        else if (l_status.AsString() == "queued" && IsLongOffline(l_entry["user"], l_now))
            io_gather.m_later.push_back(l_entry);
    }
    if (!l_batch.empty())
        io_gather.m_from = l_batch.back().Serial() + 1;
    if (l_through) {
        // The command's finished ones first, then those of users long gone.
        for (Item& l_entry : io_gather.m_later)
            m_removals.push_back({std::move(l_entry), Item(), false});
        io_gather.m_later = std::vector<Item>();
        io_gather.m_running = false;
    }
    return true;
}

void TransfersForm::RemoveDownloads(ItemSet const& i_entries)
{
    RemoveEntries(i_entries, true);
}

void TransfersForm::RemoveUploads(ItemSet const& i_entries)
{
    RemoveEntries(i_entries, false);
}

void TransfersForm::FinishRemovals()
{
    m_removalWork.Finish();
}

void TransfersForm::StartRemovals()
{
    if (!m_removalWork.IsRunning())
        m_removalWork.Start([this]() { return RemoveNextEntry(); },
                            [this]() {
                                m_removals.clear();
                                m_nextRemoval = 0;
                                // The groups' walks waited for the last row to go.
                                if (!m_groupRefreshQueued && !m_staleGroups.empty()) {
                                    m_groupRefreshQueued = true;
                                    QMetaObject::invokeMethod(this, &TransfersForm::RefreshGroups,
                                                              Qt::QueuedConnection);
                                }
                            });
}

bool TransfersForm::RemoveNextEntry()
{
    if (m_clearedStatus.IsValid()) {
        // A download asked for again before its turn is no longer complete.
        std::vector<Item> const l_batch =
            m_clearedStatus.GetItemsFrom("download_entry", m_clearedFrom, CLEAR_GATHER_BATCH);
        m_mostGatheredInAStep = std::max<std::uint64_t>(m_mostGatheredInAStep, l_batch.size());
        for (Item const& l_entry : l_batch)
            m_removals.push_back({l_entry, m_clearedStatus, true});
        if (l_batch.empty())
            m_clearedStatus = Item();
        else
            m_clearedFrom = l_batch.back().Serial() + 1;
        return true;
    }
    if (m_clearedUploads.m_running)
        return GatherUploadsStep(m_clearedUploads);
    if (m_idleUploads.m_running)
        return GatherUploadsStep(m_idleUploads);
    if (m_nextRemoval < m_removals.size() && transferQueueManager) {
        // Each removal may take others with it (rows, and through the
        // engine's events other entries); a handle of a removed entry reads
        // as null.
        PendingRemoval const l_removal = std::move(m_removals[m_nextRemoval++]);
        Item const& l_entry = l_removal.m_entry;
        if (l_entry.IsValid() && (l_removal.m_onlyIf.IsNull() || l_entry.IsConnected(l_removal.m_onlyIf))) {
            if (l_removal.m_downloads)
                transferQueueManager->RemoveDownload(l_entry);
            else
                transferQueueManager->RemoveUpload(l_entry);
        }
        return true;
    }
    // The rows of what went leave together, in a step longer than the
    // others, which starts a slice of its own; then they are deleted in
    // batches.
    if (!m_goneRows.empty() && !m_rowsLeaveNext) {
        m_rowsLeaveNext = true;
        m_removalWork.EndSlice();
        return true;
    }
    m_rowsLeaveNext = false;
    return TakeOffGoneRows() || DeleteTakenRows();
}

void TransfersForm::DeleteSelected(TransferTree const& i_tree)
{
    // Gathered before anything goes: removing a user row's entries deletes
    // the file rows that may be selected with it. A row under a selected
    // row adds nothing (of "select all", the user rows hold every entry).
    QList<QTreeWidgetItem*> const l_rows = SelectedRows(i_tree.mp_tree);
    std::unordered_set<QTreeWidgetItem*> l_groups;
    for (QTreeWidgetItem* lp_row : l_rows)
        if (lp_row->childCount() > 0)
            l_groups.insert(lp_row);
    ItemSetBuilder l_entries;
    for (QTreeWidgetItem* lp_row : l_rows) {
        QTreeWidgetItem* lp_above = lp_row->parent();
        while (lp_above && !l_groups.count(lp_above))
            lp_above = lp_above->parent();
        if (!lp_above)
            l_entries.Add(EntriesUnder(i_tree, lp_row));
    }
    RemoveEntries(l_entries.Take(), i_tree.m_downloads);
}

void TransfersForm::DeleteSelectedDownloads()
{
    DeleteSelected(m_downloads);
}

void TransfersForm::DeleteSelectedUploads()
{
    DeleteSelected(m_uploads);
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* ip_event)
{
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::OnKeyPressedInUploadList(QKeyEvent* ip_event)
{
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedUploads();
}

ItemSet TransfersForm::MenuEntries(TransferTree const& i_tree, QStringList& o_users) const
{
    // One row acts on everything under it; of several, only the rows that
    // hold a single entry count, never whole groups.
    QList<QTreeWidgetItem*> const l_rows = SelectedRows(i_tree.mp_tree);
    ItemSetBuilder l_entries;
    QSet<QString> l_users;
    QTreeWidgetItem* lp_lastUser = nullptr;
    for (QTreeWidgetItem* lp_row : l_rows) {
        // Rows of one user come one after the other.
        if (QTreeWidgetItem* const lp_user = UserRowOf(lp_row); lp_user != lp_lastUser) {
            lp_lastUser = lp_user;
            // A row that went while removals run stands for no user.
            QString const l_user = RowNode(i_tree.mp_userNodeType, lp_user)["user"].AsString();
            if (!l_user.isEmpty() && !l_users.contains(l_user)) {
                l_users.insert(l_user);
                o_users << l_user;
            }
        }
        if (l_rows.size() == 1) {
            l_entries.Add(EntriesUnder(i_tree, lp_row));
        } else if (!lp_row->parent() || !lp_row->parent()->parent()) {
            // A group counts when it holds one file row (rows that went
            // while removals run are not counted).
            if (QTreeWidgetItem* const lp_folder = lp_row->parent() ? lp_row : lp_row->child(0);
                RowsStaying(lp_row) <= 1 && lp_folder && RowsStaying(lp_folder) <= 1)
                if (ItemSet const l_group = EntriesUnder(i_tree, lp_row); l_group.size() <= 1)
                    l_entries.Add(l_group);
        } else {
            l_entries.Add(RowNode(i_tree.mp_fileNodeType, lp_row)[i_tree.mp_entryType]);
        }
    }
    return l_entries.Take();
}

ItemSet TransfersForm::GetDownloadMenuEntries(QStringList& o_users)
{
    return MenuEntries(m_downloads, o_users);
}

ItemSet TransfersForm::GetUploadMenuEntries(QStringList& o_users)
{
    return MenuEntries(m_uploads, o_users);
}

void TransfersForm::OnDownloadsContextMenuRequested(QPoint i_point)
{
    QStringList l_users;
    ItemSet const l_entries = GetDownloadMenuEntries(l_users);
    QMenu l_menu;
    DownloadMenuOptions l_options(&l_menu, l_entries, nullptr);
    // The user entries follow for exactly one user among the selected rows.
    std::unique_ptr<QObject> const lp_userOptions = l_users.size() == 1 ? AddUserMenu(&l_menu, l_users.first())
                                                                        : nullptr;
    if (!l_menu.actions().isEmpty())
        l_menu.exec(mp_ui->downloadsList->viewport()->mapToGlobal(i_point));
}

void TransfersForm::OnUploadsContextMenuRequested(QPoint i_point)
{
    QStringList l_users;
    ItemSet const l_entries = GetUploadMenuEntries(l_users);
    QMenu l_menu;
    UploadMenuOptions l_options(&l_menu, l_entries, nullptr);
    std::unique_ptr<QObject> const lp_userOptions = l_users.size() == 1 ? AddUserMenu(&l_menu, l_users.first())
                                                                        : nullptr;
    if (!l_menu.actions().isEmpty())
        l_menu.exec(mp_ui->uploadsList->viewport()->mapToGlobal(i_point));
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    Item const l_entry = RowNode(m_downloads.mp_fileNodeType, ip_item)["download_entry"];
    if (l_entry.IsValid())
        OpenLocalPath(DownloadFilePath(l_entry), "the download " + Isolated(l_entry["file_name"].AsString()));
}

// ------------------------------------------------------------------ controls

void TransfersForm::OnDownloadSpeedLimitSpinValueChanged(int i_value)
{
    mp_ui->downloadLimitCheckBox->setChecked(i_value != 0);
    if (transferQueueManager)
        transferQueueManager->SetDownloadSpeedLimit(i_value);
}

void TransfersForm::OnDownloadSpeedLimitCheckStateChanged(int i_state)
{
    if (transferQueueManager)
        transferQueueManager->EnableDownloadSpeedLimit(i_state == Qt::Checked);
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int i_value)
{
    mp_ui->uploadLimitCheckBox->setChecked(i_value != 0);
    if (transferQueueManager)
        transferQueueManager->SetUploadSpeedLimit(i_value);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int i_state)
{
    if (transferQueueManager)
        transferQueueManager->EnableUploadSpeedLimit(i_state == Qt::Checked);
}

void TransfersForm::OnUploadSlotsSpinValueChanged(int i_value)
{
    if (transferQueueManager)
        transferQueueManager->SetUploadSlots(i_value);
}

namespace {

// Clear-complete switches are "yes" or unset, never "no".
void SetClearSwitch(char const* ip_key, int i_state)
{
    if (i_state == Qt::Checked)
        SetSetting(ip_key, "yes");
    else
        GetSettingItem(ip_key).Disconnect("global_value");
}

} // namespace

void TransfersForm::OnClearDownloadsCheckStateChanged(int i_state)
{
    SetClearSwitch("clear_complete_downloads", i_state);
}

void TransfersForm::OnClearUploadsCheckStateChanged(int i_state)
{
    SetClearSwitch("clear_complete_aborted_uploads", i_state);
}

// ------------------------------------------------------------------- timers

void TransfersForm::EveryHalfMinute()
{
    // Gathered in steps as "Clear Complete and Aborted" is: a queue of tens
    // of thousands read at once held the window.
    if (m_initialised && IsSettingYes("clear_complete_aborted_uploads"))
        GatherUploads(m_idleUploads);
}

// --------------------------------------------------------------- completion

void TransfersForm::OnDownloadComplete(Item i_download)
{
    // Queued: the entry may have gone, or changed, since it completed.
    Item const l_complete = DownloadStatus("complete");
    if (i_download.IsNull() || !i_download.IsConnected(l_complete))
        return;
    auto const l_alert = [this](QString const& i_text, QString const& i_balloon) {
        if (eventToolBar)
            eventToolBar->AddEvent(i_text, ":/icons/download_icon", mp_ui->downloadsList,
                                   i_balloon.arg(Isolated(i_text)), "download", false);
    };
    Item const l_user = i_download["user"];
    Item const l_folder = i_download["remote_folder"];
    Item const l_userNode = l_user["download_list_user_node"];

    if (Item const l_fileAlert = i_download["complete_download_alert"]; l_fileAlert.IsValid()) {
        l_alert(i_download["file_name"].AsString(), "Download of file %1 complete");
        if (QTreeWidgetItem* lp_row = NodeRow(i_download["download_list_node"]))
            lp_row->setData(2, Qt::DecorationRole, QVariant());
        l_fileAlert.Remove();
    }

    // The group's entries are walked only when an alert waits on them: a
    // batch of completions (a loaded queue, say) stays linear.
    if (Item const l_folderAlert = d.GetItem(l_user, l_folder, "complete_download_alert");
        l_folderAlert.IsValid() && d.GetItems(l_user, l_folder, "download_entry").NotConnected(l_complete).empty()) {
        l_alert(ToQString(GetFileName(l_folder.AsStdString())), "Download of folder %1 complete");
        if (QTreeWidgetItem* lp_row = NodeRow(d.GetItem(l_userNode, l_folder, "download_list_folder_node")))
            lp_row->setData(1, Qt::DecorationRole, QVariant());
        l_folderAlert.Remove();
    }

    if (ItemSet const l_userAlerts = l_user.GetItems("complete_download_alert").NotConnected("remote_folder");
        !l_userAlerts.empty() && l_user.GetItems("download_entry").NotConnected(l_complete).empty()) {
        l_alert(l_user.AsString(), "All download from user %1 complete");
        // The alert took the place of the online icon; it comes back.
        ShowUserIcon(l_user);
        l_userAlerts.Remove();
    }

    if (IsSettingYes("clear_complete_downloads") && transferQueueManager)
        transferQueueManager->RemoveDownload(i_download);
}
