#include "ui/search/SearchResultsForm.h"

#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"
#include "ui/search/ResultRows.h"
#include "ui/search/ResultsTakeDown.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchResultMenuOptions.h"

#include "ui_SearchResultsForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/UserPageHooks.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/SlicedWork.h"
#include "store/Utilities.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSignalBlocker>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

typedef SearchResultListItem Row;

// Rows whose order none of their columns can change, whatever the column:
// they are not sorted.
bool AllEqualUnder(int i_depth, int i_column, bool i_flat)
{
    if (i_flat)
        return false;
    switch (i_depth) {
    case 0: // users: their name, free slot and speed
        return i_column != Row::USER && i_column != Row::FREE && i_column != Row::SPEED;
    case 1: // folders: their path only
        return i_column != Row::FOLDER;
    default: // files: their name, size and attributes (and "Free" ties by name)
        return i_column != Row::FREE && i_column != Row::FILE && i_column != Row::SIZE &&
               i_column != Row::ATTRIBUTES;
    }
}

QString SpeedText(qint64 i_bytesPerSecond)
{
    double const l_kib = static_cast<double>(i_bytesPerSecond) / 1024.0;
    return l_kib == 0 ? QString() : QString::number(l_kib, 'f', 1);
}

// "Y" with a free upload slot, else the length of the user's queue.
QString FreeText(Item const& i_response)
{
    if (i_response["search_results_user_available"].AsStdString() == "yes")
        return QStringLiteral("Y");
    return i_response["search_results_uploads_in_queue"].AsString();
}

void SetUserCells(QTreeWidgetItem* ip_row, Item const& i_response)
{
    ip_row->setText(Row::USER, i_response["user"].AsString());
    ip_row->setText(Row::FREE, FreeText(i_response));
    ip_row->setText(Row::SPEED, SpeedText(i_response["search_results_user_speed"].AsInt64()));
}

// The text a flat row is filtered by: the folder path as the peer sent it,
// a backslash and the file name.
QString FlatRowText(Item const& i_result)
{
    return i_result["search_result_file_folder"].AsString() + QLatin1Char('\\') +
           i_result["search_result_file_name"].AsString();
}

QString FilterKey(QString const& i_text)
{
    return i_text.simplified().toLower();
}

QString const s_saveFilter = QStringLiteral("Save Filter");
QString const s_removeFilter = QStringLiteral("Remove Filter");

} // namespace

SearchResultsForm::SearchResultsForm(unsigned int i_token, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_SearchResultsForm), m_token(i_token)
{
    mp_ui->setupUi(this);
    QTreeWidget* lp_tree = mp_ui->searchResultsTreeWidget;
    lp_tree->setSortingEnabled(false);
    // The rows, their sort and the messenger's reading can all fall into
    // one turn of the event loop, with the view's layout of the tree.
    mp_rowWork = new SlicedWork(this);
    mp_rowWork->SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
    mp_sortWork = new SlicedWork(this);
    mp_sortWork->SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
    m_putInTimer.setSingleShot(true);
    connect(&m_putInTimer, &QTimer::timeout, this, &SearchResultsForm::PutRowsIn);

    Item const l_request = d["search_request"]->HasItem(Value(i_token));
    m_searchText = l_request["search_request_text"].AsString();
    m_isWishList = l_request.IsConnected("wish_list_item");
    m_alerted = !m_isWishList;

    mp_ui->correlationsWidget->hide();
    mp_ui->correlationsWidget->setHeaderLabels({QStringLiteral("related searches")});

    if (!m_isWishList) {
        PopulateCorrelations();
        if (gp_server)
            connect(gp_server, &Server::SearchCorrelations, this, &SearchResultsForm::OnSearchCorrelations);
        mp_ui->discardRepeatedResultsBox->hide();
    } else {
        // The tab shares its page with the wish list: in one row the bar
        // would not fit beside it and would widen the window, so the check
        // boxes take a row of their own.
        auto* lp_row = new QHBoxLayout;
        lp_row->addStretch();
        lp_row->addWidget(mp_ui->discardRepeatedResultsBox);
        lp_row->addWidget(mp_ui->defaultFilterBox);
        mp_ui->verticalLayout->addLayout(lp_row);
        Item const l_wish = l_request["wish_list_item"];
        mp_ui->discardRepeatedResultsBox->setChecked(l_wish.IsConnected("discard_repeated_results"));
        connect(mp_ui->discardRepeatedResultsBox, &QCheckBox::toggled, this,
                &SearchResultsForm::OnDiscardRepeatedResultsToggled);
        PathNode* lp_on = new PathNode(l_wish);
        new PathNode(lp_on, "discard_repeated_results", PATH_CONNECTED_FIRES);
        d.AddPathEventHandler(lp_on, new EventHandler<SearchResultsForm, Item>(
                                         this, &SearchResultsForm::OnDiscardRepeatedResultsEnabled));
        PathNode* lp_off = new PathNode(l_wish);
        new PathNode(lp_off, "discard_repeated_results", PATH_DISCONNECTED_FIRES);
        d.AddPathEventHandler(lp_off, new EventHandler<SearchResultsForm, Item>(
                                          this, &SearchResultsForm::OnDiscardRepeatedResultsDisabled));
    }

    m_useOldStyle = IsSettingYes("use_old_style_search_results");
    if (actionBar)
        actionBar->RegisterWidget(this, m_useOldStyle ? QStringLiteral("search_results_old")
                                                      : QStringLiteral("search_results"));
    if (m_useOldStyle) {
        lp_tree->header()->setSectionsClickable(true);
        lp_tree->header()->setSortIndicatorShown(true);
        connect(lp_tree->header(), &QHeaderView::sectionClicked, this, &SearchResultsForm::OnSectionClicked);
    } else {
        lp_tree->header()->setSectionsClickable(false);
    }

    lp_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lp_tree, &QWidget::customContextMenuRequested, this, &SearchResultsForm::OnContextMenuRequested);
    connect(lp_tree, &QTreeWidget::itemDoubleClicked, this, &SearchResultsForm::OnResultDoubleClicked);
    connect(lp_tree, &QTreeWidget::itemExpanded, this, &SearchResultsForm::OnRowOpened);

    Item const l_setting = GetSettingItem("download_folders_on_double_click");
    PathNode* lp_setting = new PathNode(l_setting);
    new PathNode(lp_setting, "global_value", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_setting, new EventHandler<SearchResultsForm, Item>(
                                          this, &SearchResultsForm::OnDownloadFoldersOnDoubleClickToggled));
    OnDownloadFoldersOnDoubleClickToggled(l_setting);
}

SearchResultsForm::~SearchResultsForm()
{
    if (!g_showIsOver && !m_rowsHandedOver)
        ForgetRows();
    // Rows that never went into the tree are not the tree's to delete.
    if (!m_rowsHandedOver)
        qDeleteAll(WaitingRows());
    delete mp_ui;
}

void SearchResultsForm::ShowNote(QString const& i_text)
{
    auto* lp_note = findChild<QLabel*>(QStringLiteral("searchNote"));
    if (!lp_note) {
        lp_note = new QLabel(this);
        lp_note->setObjectName(QStringLiteral("searchNote"));
        lp_note->setTextFormat(Qt::PlainText);
        lp_note->setWordWrap(true);
        mp_ui->verticalLayout->insertWidget(0, lp_note);
    }
    lp_note->setText(i_text);
}

void SearchResultsForm::ForgetRows()
{
    // A later tab or row made at one of these addresses must find nothing.
    Item const l_widget = WidgetItem();
    if (l_widget.IsValid())
        l_widget.Remove();
    for (QTreeWidgetItemIterator l_row(mp_ui->searchResultsTreeWidget); *l_row; ++l_row)
        UnbindRow(*l_row);
    QList<QTreeWidgetItem*> l_waiting = WaitingRows();
    while (!l_waiting.isEmpty()) {
        QTreeWidgetItem* const lp_row = l_waiting.takeLast();
        UnbindRow(lp_row);
        for (int l_child = 0; l_child < lp_row->childCount(); ++l_child)
            l_waiting << lp_row->child(l_child);
    }
}

QList<QTreeWidgetItem*> SearchResultsForm::WaitingRows() const
{
    QList<QTreeWidgetItem*> l_rows = m_waitingTop;
    for (auto const& l_children : m_waitingChildren)
        l_rows += l_children.second;
    return l_rows;
}

void SearchResultsForm::HandRowsOver()
{
    if (m_rowsHandedOver)
        return;
    m_rowsHandedOver = true;
    mp_rowWork->Stop();
    mp_sortWork->Stop();
    m_putInTimer.stop();
    m_pending.clear();
    Item const l_widget = WidgetItem();
    if (l_widget.IsValid())
        l_widget.Remove();
    QList<QTreeWidgetItem*> l_loose = WaitingRows();
    m_waitingTop.clear();
    m_waitingChildren.clear();
    m_waitingParents.clear();
    m_unsorted.clear();
    m_foldersToOpen.clear();
    QHash<QTreeWidgetItem const*, int> l_shown;
    l_shown.swap(m_shownRows);
    mp_lastFolder = nullptr;
    QTreeWidget* const lp_tree = mp_ui->searchResultsTreeWidget;
    lp_tree->setParent(nullptr);
    mp_ui->searchResultsTreeWidget = nullptr;
    new ResultsTakeDown(lp_tree, std::move(l_loose), std::move(l_shown));
}

void SearchResultsForm::Init()
{
    RegisterWidgetForTabFocus(mp_ui->searchResultsTreeWidget, 2);
    for (Item const& l_filter : d["saved_filter"]->GetItems())
        mp_ui->savedFiltersBox->addItem(l_filter.AsString());
    Type* lp_filters = d["saved_filter"];
    lp_filters->AddNewItemEventHandler(
        new EventHandler<SearchResultsForm, Item>(this, &SearchResultsForm::OnSavedFilterAdded));
    lp_filters->AddRemovedItemEventHandler(
        new EventHandler<SearchResultsForm, Item>(this, &SearchResultsForm::OnSavedFilterRemoved));
}

QTreeWidget* SearchResultsForm::searchResults() const
{
    return mp_ui->searchResultsTreeWidget;
}

QLineEdit* SearchResultsForm::filterEdit() const
{
    return mp_ui->filterEdit;
}

QTreeWidget* SearchResultsForm::CorrelationsWidget() const
{
    return mp_ui->correlationsWidget;
}

void SearchResultsForm::SetSortingParamters(int i_column, Qt::SortOrder i_order)
{
    m_sortColumn = i_column;
    m_sortOrder = i_order;
}

Item SearchResultsForm::WidgetItem() const
{
    return d["search_results_widget"]->HasItem(Value(this));
}

Item SearchResultsForm::WishListItem() const
{
    return WidgetItem()["wish_list_item"];
}

QString SearchResultsForm::CurrentFilterText() const
{
    return mp_ui->filterEdit->text();
}

// ------------------------------------------------------------------ answers

bool SearchResultsForm::AddUserSearchResults(Item i_searchResults)
{
    ItemSet const l_results = i_searchResults.GetItems("search_result");
    QString const l_user = i_searchResults["user"].AsString();
    std::size_t const l_earlier = m_userFiles.value(l_user);
    if (l_earlier >= MAX_FILES_PER_USER) {
        Log(QStringLiteral("Search"), 1,
            QStringLiteral("Search results from %1 refused: more than %2 files for one search")
                .arg(Isolated(l_user), QString::number(MAX_FILES_PER_USER)));
        return false;
    }
    // A user who shares many matching files shows as many as fit, not none.
    std::size_t const l_room = MAX_FILES_PER_USER - l_earlier;
    if (l_results.size() > l_room)
        Log(QStringLiteral("Search"), 1,
            QStringLiteral("Search results from %1: %2 of %3 files shown, %4 at most for one search")
                .arg(Isolated(l_user), QString::number(l_room), QString::number(l_results.size()),
                     QString::number(MAX_FILES_PER_USER)));
    PendingAnswer l_answer;
    l_answer.m_answer = i_searchResults;
    l_answer.m_results.reserve(std::min(l_room, l_results.size()));
    for (Item l_result : l_results) {
        if (l_answer.m_results.size() == l_room)
            l_result.Remove();
        else
            l_answer.m_results.push_back(l_result);
    }
    m_userFiles[l_user] = l_earlier + l_answer.m_results.size();
    m_rowsToAdd += l_answer.m_results.size();
    bool const l_small = l_answer.m_results.size() <= ROWS_AT_ONCE;
    m_pending.push_back(std::move(l_answer));
    if (mp_rowWork->IsRunning())
        return true;
    // A small answer with none before it shows at once, as it did when
    // every answer did.
    if (l_small) {
        while (AddNextRow()) {
        }
        return true;
    }
    mp_rowWork->Start([this]() { return AddNextRow(); });
    return true;
}

bool SearchResultsForm::AddNextRow()
{
    if (m_pending.empty())
        return false;
    PendingAnswer& l_answer = m_pending.front();
    if (l_answer.m_next < l_answer.m_results.size()) {
        --m_rowsToAdd;
        Item const& l_result = l_answer.m_results[l_answer.m_next++];
        // A result that left the store meanwhile (its user or search gone)
        // has no row to show.
        QTreeWidgetItem* lp_folder = nullptr;
        QTreeWidgetItem* lp_user = nullptr;
        QTreeWidgetItem* const lp_row = l_result.IsValid() ? AddResultRow(l_result, &lp_folder, &lp_user) : nullptr;
        if (!lp_row)
            return true;
        ++m_fileRows;
        bool const l_shown =
            m_useOldStyle ? FilterFlatRow(lp_row, m_filter) : FilterNewFileRow(lp_row, lp_folder, lp_user);
        if (l_shown && !m_alerted)
            AlertFirstVisibleAnswer();
        ++m_rowsWaiting;
        if (m_rowsIn < ROWS_IN_AT_ONCE || m_rowsWaiting * 4 >= m_rowsIn)
            PutRowsIn();
        else if (!m_putInTimer.isActive())
            m_putInTimer.start(ROWS_IN_WAIT_MS * int(std::max<std::size_t>(1, m_rowsIn / ROWS_PER_WAIT)));
        return true;
    }
    m_pending.pop_front();
    if (delayedInvoker)
        delayedInvoker->Invoke(this, QString::fromLatin1(SLOT(Sort())), 1000);
    return !m_pending.empty();
}

void SearchResultsForm::AlertFirstVisibleAnswer()
{
    Item const l_widget = WidgetItem();
    Item const l_wish = l_widget["wish_list_item"];
    m_alerted = l_wish.IsNull() || l_widget.IsConnected("search_results_widget_alerted");
    if (m_alerted)
        return;
    if (eventToolBar)
        eventToolBar->AddEvent(l_wish.AsString(), QStringLiteral(":/icons/wishlist_icon"), this, QString(),
                               QStringLiteral("wishlist"), false);
    SetFlag(l_widget, "search_results_widget_alerted", true);
    m_alerted = true;
}

QTreeWidgetItem* SearchResultsForm::AddResultRow(Item const& i_searchResult, QTreeWidgetItem** op_folder,
                                                 QTreeWidgetItem** op_user)
{
    Item const l_widget = WidgetItem();
    Item const l_response = ResultResponse(i_searchResult);
    Item const l_user = l_response["user"];
    if (l_widget.IsNull() || l_user.IsNull())
        return nullptr;

    if (m_useOldStyle) {
        QTreeWidgetItem* lp_row = new SearchResultFileRow(i_searchResult);
        SetUserCells(lp_row, l_response);
        lp_row->setText(Row::FOLDER, ReversePathname(i_searchResult["search_result_file_folder"].AsString()));
        AddTopRow(lp_row);
        d["search_result_node"]->GetItem(Value(lp_row)) += i_searchResult;
        return lp_row;
    }

    Item l_userNode = d.GetItem(l_widget, l_user, "search_results_user_node");
    QTreeWidgetItem* lp_userRow = NodeRow(l_userNode);
    if (!lp_userRow) {
        lp_userRow = new Row(static_cast<QTreeWidgetItem*>(nullptr));
        AddTopRow(lp_userRow);
        SetUserCells(lp_userRow, l_response);
        lp_userRow->setTextAlignment(Row::FREE, Qt::AlignCenter);
        l_userNode = d["search_results_user_node"]->GetItem(Value(lp_userRow));
        l_userNode += l_widget;
        l_userNode += l_user;
    }

    Item const l_folder = i_searchResult["search_result_file_folder"];
    Item l_folderNode = d.GetItem(l_userNode, l_folder, "search_results_folder_node");
    QTreeWidgetItem* lp_folderRow = NodeRow(l_folderNode);
    if (!lp_folderRow) {
        lp_folderRow = new Row(static_cast<QTreeWidgetItem*>(nullptr));
        AddChildRow(lp_userRow, lp_folderRow);
        lp_folderRow->setText(Row::FOLDER, ReversePathname(l_folder.AsString()));
        l_folderNode = d["search_results_folder_node"]->GetItem(Value(lp_folderRow));
        l_folderNode += l_userNode;
        l_folderNode += l_folder;
    }

    QTreeWidgetItem* lp_fileRow = new SearchResultFileRow(i_searchResult);
    AddChildRow(lp_folderRow, lp_fileRow);
    Item const l_fileNode = d["search_result_node"]->GetItem(Value(lp_fileRow));
    l_fileNode += i_searchResult;
    l_fileNode += l_folderNode;
    if (op_folder)
        *op_folder = lp_folderRow;
    if (op_user)
        *op_user = lp_userRow;
    return lp_fileRow;
}

void SearchResultsForm::AddTopRow(QTreeWidgetItem* ip_row)
{
    m_waitingTop << ip_row;
}

void SearchResultsForm::AddChildRow(QTreeWidgetItem* ip_parent, QTreeWidgetItem* ip_child)
{
    m_unsorted.insert(ip_parent);
    // Under a row that waits itself, the row goes in with it.
    if (!ip_parent->treeWidget()) {
        ip_parent->addChild(ip_child);
        return;
    }
    auto l_at = m_waitingParents.constFind(ip_parent);
    if (l_at == m_waitingParents.constEnd()) {
        l_at = m_waitingParents.insert(ip_parent, m_waitingChildren.size());
        m_waitingChildren.emplace_back(ip_parent, QList<QTreeWidgetItem*>());
    }
    m_waitingChildren[*l_at].second << ip_child;
}

void SearchResultsForm::PutRowsIn()
{
    m_putInTimer.stop();
    m_rowsIn += m_rowsWaiting;
    m_rowsWaiting = 0;
    if (m_waitingTop.isEmpty() && m_waitingChildren.empty())
        return;
    ++m_rowBatches;
    QTreeWidget* const lp_tree = mp_ui->searchResultsTreeWidget;
    Item const l_widget = WidgetItem();
    bool const l_openUsers = !m_useOldStyle && l_widget["expand_users"].AsStdString() == "yes";
    bool const l_openFolders = !m_useOldStyle && l_widget["expand_folders"].AsStdString() == "yes";
    QList<QTreeWidgetItem*> const l_top = std::move(m_waitingTop);
    auto const l_children = std::move(m_waitingChildren);
    m_waitingTop.clear();
    m_waitingChildren.clear();
    m_waitingParents.clear();
    // One insertion a parent: the view lays the tree out once for all.
    if (!l_top.isEmpty()) {
        lp_tree->addTopLevelItems(l_top);
        m_unsorted.insert(lp_tree->invisibleRootItem());
    }
    for (auto const& [lp_parent, l_rows] : l_children)
        lp_parent->addChildren(l_rows);
    // The view lays the tree out at its next turn in any case; told so
    // now, it takes the rows hidden and opened below as notes, instead of
    // looking for each among the rows it shows.
    QTreeWidgetItem* const lp_first = lp_tree->topLevelItem(0);
    lp_first->setHidden(lp_first->isHidden());
    for (QTreeWidgetItem* lp_row : m_hiddenWhenIn)
        lp_row->setHidden(true);
    m_hiddenWhenIn.clear();
    if (!m_useOldStyle) {
        // The rows under each user, and under those the tab opened.
        auto const l_count = [this](QTreeWidgetItem* ip_user, std::size_t i_rows) {
            std::size_t& l_rows = m_userRows[ip_user];
            l_rows += i_rows;
            if (m_opened.count(ip_user) > 0)
                m_openedRows += i_rows;
        };
        for (auto const& [lp_parent, l_rows] : l_children) {
            std::size_t l_added = 0;
            for (QTreeWidgetItem* lp_row : l_rows)
                l_added += 1 + std::size_t(lp_row->childCount());
            l_count(lp_parent->parent() ? lp_parent->parent() : lp_parent, l_added);
        }
        for (QTreeWidgetItem* lp_user : l_top) {
            std::size_t l_rows = std::size_t(lp_user->childCount());
            for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
                l_rows += std::size_t(lp_user->child(l_folder)->childCount());
            m_userRows[lp_user] += l_rows;
            if (l_openUsers && m_openedRows + l_rows <= MAX_OPENED_ROWS) {
                lp_user->setExpanded(true);
                m_openedUsers.push_back(lp_user);
                m_opened.insert(lp_user);
                m_openedRows += l_rows;
            }
        }
        while (m_openedRows > MAX_OPENED_ROWS && !m_openedUsers.empty()) {
            QTreeWidgetItem* const lp_user = m_openedUsers.back();
            m_openedUsers.pop_back();
            m_opened.erase(lp_user);
            lp_user->setExpanded(false);
            m_openedRows -= m_userRows.value(lp_user);
        }
        // Folders open with their user: an open row is a persistent index
        // that each layout of the view looks up and each insertion keeps,
        // and those of the users the tab did not open made every batch
        // cost more (12,000 folders opened in one: 36 ms).
        if (l_openFolders) {
            auto const l_open = [this](QTreeWidgetItem* ip_user, auto const& i_folders) {
                if (m_opened.count(ip_user) == 0 && !ip_user->isExpanded()) {
                    m_foldersToOpen.insert(ip_user);
                    return;
                }
                for (QTreeWidgetItem* lp_folder : i_folders) {
                    lp_folder->setExpanded(true);
                    ++m_foldersOpened;
                }
            };
            for (QTreeWidgetItem* lp_user : l_top) {
                QList<QTreeWidgetItem*> l_folders;
                for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
                    l_folders << lp_user->child(l_folder);
                l_open(lp_user, l_folders);
            }
            for (auto const& [lp_parent, l_rows] : l_children)
                if (!lp_parent->parent())
                    l_open(lp_parent, l_rows);
        }
    }
    // Rows that came after the last sort are sorted a second later.
    if (delayedInvoker)
        delayedInvoker->Invoke(this, QString::fromLatin1(SLOT(Sort())), 1000);
}

void SearchResultsForm::OnRowOpened(QTreeWidgetItem* ip_row)
{
    if (m_foldersToOpen.erase(ip_row) == 0 || WidgetItem()["expand_folders"].AsStdString() != "yes")
        return;
    // Told that it lays out anew, the view takes the openings as notes
    // instead of laying out each folder's rows in turn.
    ip_row->setHidden(ip_row->isHidden());
    for (int l_folder = 0; l_folder < ip_row->childCount(); ++l_folder) {
        QTreeWidgetItem* const lp_folder = ip_row->child(l_folder);
        if (!lp_folder->isExpanded()) {
            lp_folder->setExpanded(true);
            ++m_foldersOpened;
        }
    }
}

void SearchResultsForm::SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden)
{
    // A row out of the view keeps no state of its own: it is hidden once in.
    if (!ip_row->treeWidget()) {
        if (i_hidden)
            m_hiddenWhenIn.insert(ip_row);
        else
            m_hiddenWhenIn.erase(ip_row);
        return;
    }
    // Hiding goes through the view; a row that keeps its state costs nothing.
    if (ip_row->isHidden() != i_hidden)
        ip_row->setHidden(i_hidden);
}

QString SearchResultsForm::ButtonText(QString const& i_text)
{
    return TabTitle(i_text);
}

bool SearchResultsForm::CompareSearchResults(Item const& i_a, Item const& i_b)
{
    QString const l_folderA = i_a["search_result_file_folder"].AsString();
    QString const l_folderB = i_b["search_result_file_folder"].AsString();
    if (l_folderA != l_folderB)
        return l_folderA < l_folderB;
    return i_a["search_result_file_name"].AsString() < i_b["search_result_file_name"].AsString();
}

QTreeWidgetItem* SearchResultsForm::GetNodeUserNode(QTreeWidgetItem* ip_row) const
{
    if (!ip_row || RowNode("search_results_user_node", ip_row).IsValid())
        return ip_row;
    if (RowNode("search_results_folder_node", ip_row).IsValid())
        return ip_row->parent();
    if (RowNode("search_result_node", ip_row).IsValid() && ip_row->parent())
        return ip_row->parent()->parent();
    return ip_row;
}

// ------------------------------------------------------------------ filter

void SearchResultsForm::FilterUserRows(QTreeWidgetItem* ip_user, FilterParser const& i_filter)
{
    int l_foldersShown = 0;
    for (int l_folderIndex = 0; l_folderIndex < ip_user->childCount(); ++l_folderIndex) {
        QTreeWidgetItem* lp_folder = ip_user->child(l_folderIndex);
        ++m_rowsFiltered;
        FilterParser l_remainder;
        int l_shown = 0;
        if (i_filter.IsMatching(lp_folder->text(Row::FOLDER), &l_remainder, Item()) == FilterParser::REJECTED) {
            SetRowHidden(lp_folder, true);
            m_shownRows.insert(lp_folder, 0);
            continue;
        }
        for (int l_fileIndex = 0; l_fileIndex < lp_folder->childCount(); ++l_fileIndex) {
            QTreeWidgetItem* lp_file = lp_folder->child(l_fileIndex);
            bool const l_show = ShowsFile(lp_file, l_remainder);
            SetRowHidden(lp_file, !l_show);
            l_shown += l_show ? 1 : 0;
        }
        m_shownRows.insert(lp_folder, l_shown);
        bool const l_folderShown = l_shown > 0 && l_shown >= l_remainder.MinFilesInFolder();
        SetRowHidden(lp_folder, !l_folderShown);
        l_foldersShown += l_folderShown ? 1 : 0;
    }
    m_shownRows.insert(ip_user, l_foldersShown);
    SetRowHidden(ip_user, l_foldersShown == 0);
}

bool SearchResultsForm::ShowsFile(QTreeWidgetItem* ip_file, FilterParser const& i_remainder)
{
    ++m_rowsFiltered;
    Item const l_result = i_remainder.HasAttributes() ? RowResult(ip_file) : Item();
    return i_remainder.IsMatching(ip_file->text(Row::FILE), nullptr, l_result) == FilterParser::MATCH;
}

bool SearchResultsForm::FilterNewFileRow(QTreeWidgetItem* ip_file, QTreeWidgetItem* ip_folder,
                                         QTreeWidgetItem* ip_user)
{
    QTreeWidgetItem* const lp_folder = ip_folder;
    QTreeWidgetItem* const lp_user = ip_user;
    if (lp_folder != mp_lastFolder) {
        mp_lastFolder = lp_folder;
        ++m_rowsFiltered;
        FilterParser l_remainder;
        if (m_filter.IsMatching(lp_folder->text(Row::FOLDER), &l_remainder, Item()) == FilterParser::REJECTED)
            m_lastRemainder.reset();
        else
            m_lastRemainder = l_remainder;
    }
    // A folder or user row that shows stays shown as rows come: their
    // counts only grow.
    int& l_folderShows = m_shownRows[lp_folder];
    int const l_least = m_lastRemainder ? std::max(1, m_lastRemainder->MinFilesInFolder()) : 1;
    bool const l_folderWasShown = l_folderShows >= l_least;
    if (m_lastRemainder) {
        bool const l_show = ShowsFile(ip_file, *m_lastRemainder);
        SetRowHidden(ip_file, !l_show);
        l_folderShows += l_show ? 1 : 0;
    }
    bool const l_folderShown = l_folderShows >= l_least;
    SetRowHidden(lp_folder, !l_folderShown);
    int& l_userShows = m_shownRows[lp_user];
    l_userShows += l_folderShown && !l_folderWasShown ? 1 : 0;
    SetRowHidden(lp_user, l_userShows == 0);
    return l_userShows > 0;
}

bool SearchResultsForm::FilterFlatRow(QTreeWidgetItem* ip_row, FilterParser const& i_filter)
{
    ++m_rowsFiltered;
    Item const l_result = RowResult(ip_row);
    bool const l_shown = i_filter.IsMatching(FlatRowText(l_result), nullptr, l_result) == FilterParser::MATCH;
    SetRowHidden(ip_row, !l_shown);
    return l_shown;
}

void SearchResultsForm::OnFilterTextChanged(QString i_text)
{
    ApplyFilterText(i_text);
}

void SearchResultsForm::ApplyFilterText(QString const& i_text, Item const& i_leavingFilter)
{
    Item const l_wish = WishListItem();
    if (l_wish.IsValid())
        l_wish.Connect(d["wish_list_item_filter_text"]->GetItem(Value(i_text)));

    // Every row is tested where it stands.
    PutRowsIn();
    m_filter = FilterParser();
    m_filter.Parse(i_text);
    m_shownRows.clear();
    mp_lastFolder = nullptr;
    QTreeWidget* lp_tree = mp_ui->searchResultsTreeWidget;
    for (int l_index = 0; l_index < lp_tree->topLevelItemCount(); ++l_index) {
        QTreeWidgetItem* lp_row = lp_tree->topLevelItem(l_index);
        if (m_useOldStyle)
            FilterFlatRow(lp_row, m_filter);
        else
            FilterUserRows(lp_row, m_filter);
    }
    UpdateFilterBar(i_text, i_leavingFilter);
}

void SearchResultsForm::UpdateFilterBar(QString const& i_text, Item const& i_leavingFilter)
{
    Item const l_filter = d["saved_filter"]->HasItem(Value(FilterKey(i_text)));
    bool const l_saved = l_filter.IsValid() && l_filter != i_leavingFilter;
    QPushButton* lp_save = mp_ui->saveFilterButton;
    if (l_saved && lp_save->text() == s_saveFilter)
        lp_save->setText(s_removeFilter);
    else if (!l_saved && lp_save->text() == s_removeFilter)
        lp_save->setText(s_saveFilter);
    mp_ui->defaultFilterBox->setChecked(!i_text.isEmpty() && i_text == GetSetting("default_search_filter"));
}

void SearchResultsForm::OnSaveFilterClicked()
{
    QString const l_key = FilterKey(CurrentFilterText());
    Item const l_existing = d["saved_filter"]->HasItem(Value(l_key));
    if (l_existing.IsValid())
        l_existing.Remove();
    else if (!l_key.isEmpty())
        d["saved_filter"]->NewItem(Value(l_key));
}

void SearchResultsForm::OnSavedFilterAdded(Item i_filter)
{
    mp_ui->savedFiltersBox->addItem(i_filter.AsString());
    OnFilterTextChanged(CurrentFilterText());
}

void SearchResultsForm::OnSavedFilterRemoved(Item i_filter)
{
    int const l_index = mp_ui->savedFiltersBox->findText(i_filter.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (l_index > 0)
        mp_ui->savedFiltersBox->removeItem(l_index);
    ApplyFilterText(CurrentFilterText(), i_filter);
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int i_index)
{
    if (i_index == 0)
        return;
    mp_ui->filterEdit->setText(mp_ui->savedFiltersBox->itemText(i_index));
    mp_ui->savedFiltersBox->setCurrentIndex(0);
}

void SearchResultsForm::OnClearFilterClicked()
{
    mp_ui->filterEdit->clear();
}

void SearchResultsForm::OnDefaultFilterBoxToggled(bool i_checked)
{
    if (!i_checked) {
        GetSettingItem("default_search_filter").Disconnect("global_value");
        return;
    }
    QString const l_text = CurrentFilterText();
    if (l_text.isEmpty()) {
        mp_ui->defaultFilterBox->setChecked(false);
        return;
    }
    SetSetting("default_search_filter", l_text);
}

void SearchResultsForm::OnFilterHelpClicked()
{
    FilterHelpDialog::ShowHelp(this);
}

// -------------------------------------------------------- repeated results

void SearchResultsForm::OnDiscardRepeatedResultsToggled(bool i_toggled)
{
    Item const l_wish = d["search_request"]->HasItem(Value(m_token))["wish_list_item"];
    if (l_wish.IsNull())
        return;
    if (!i_toggled) {
        SetFlag(l_wish, "discard_repeated_results", false);
        l_wish["received_results_from_users"].Remove();
        return;
    }
    if (l_wish.IsConnected("discard_repeated_results"))
        return;
    SetFlag(l_wish, "discard_repeated_results", true);
    Item const l_received = d["received_results_from_users"]->NewItem();
    l_wish += l_received;
    // Only the users who answered the search the tab was opened for count;
    // later searches of the text decide for themselves.
    Item const l_request = d["search_request"]->HasItem(Value(m_token));
    for (Item const& l_response : l_request.GetItems("search_results"))
        if (Item const l_user = l_response["user"]; l_user.IsValid())
            l_received += l_user;
}

void SearchResultsForm::OnDiscardRepeatedResultsEnabled(Item)
{
    QSignalBlocker const l_blocker(mp_ui->discardRepeatedResultsBox);
    mp_ui->discardRepeatedResultsBox->setChecked(true);
}

void SearchResultsForm::OnDiscardRepeatedResultsDisabled(Item)
{
    QSignalBlocker const l_blocker(mp_ui->discardRepeatedResultsBox);
    mp_ui->discardRepeatedResultsBox->setChecked(false);
}

// -------------------------------------------------------- related searches

void SearchResultsForm::PopulateCorrelations()
{
    QTreeWidget* lp_list = mp_ui->correlationsWidget;
    lp_list->clear();
    Item const l_text = d["search_request_text"]->HasItem(Value(m_searchText));
    ItemList const l_terms = l_text.GetItems("search_correlation").SortNumericBy("correlation_rank", false);
    for (Item const& l_term : l_terms) {
        QTreeWidgetItem* lp_row = new QTreeWidgetItem(lp_list);
        lp_row->setText(0, l_term["correlation_text"].AsString());
    }
    if (l_terms.empty())
        return;
    lp_list->show();
    QList<int> const l_sizes = {width() - 150, 150};
    mp_ui->splitter->setSizes(l_sizes);
    if (sizeManager)
        sizeManager->RegisterSplitter(QStringLiteral("correlations_splitter"), mp_ui->splitter, l_sizes);
}

void SearchResultsForm::OnSearchCorrelations(QString i_searchText)
{
    if (i_searchText == m_searchText)
        PopulateCorrelations();
}

// ------------------------------------------------------------- downloads

void SearchResultsForm::OnResultDoubleClicked(QTreeWidgetItem* ip_result, int)
{
    if (!ip_result)
        return;
    bool const l_folders = IsSettingYes("download_folders_on_double_click");
    std::vector<Item> l_results;
    bool l_single = false;
    if (Item const l_result = RowResult(ip_result); l_result.IsValid()) {
        l_results.push_back(l_result);
        l_single = true;
    } else if (!l_folders) {
        return;
    } else if (Item const l_folder = RowNode("search_results_folder_node", ip_result); l_folder.IsValid()) {
        for (Item const& l_file : l_folder.GetItems("search_result_node"))
            l_results.push_back(l_file["search_result"]);
    } else if (Item const l_user = RowNode("search_results_user_node", ip_result); l_user.IsValid()) {
        for (Item const& l_file : l_user.GetItems("search_results_folder_node").GetItems("search_result_node"))
            l_results.push_back(l_file["search_result"]);
    }
    std::stable_sort(l_results.begin(), l_results.end(), &SearchResultsForm::CompareSearchResults);
    for (Item const& l_result : l_results) {
        if (!l_single && HasExcludedDownloadExtension(l_result))
            continue;
        QueueResultDownload(l_result, l_single, ResultSearchText(l_result));
    }
}

void SearchResultsForm::OnDownloadFoldersOnDoubleClickToggled(Item)
{
    mp_ui->searchResultsTreeWidget->setExpandsOnDoubleClick(!IsSettingYes("download_folders_on_double_click"));
}

void SearchResultsForm::OnContextMenuRequested(QPoint i_point)
{
    QTreeWidget* lp_tree = mp_ui->searchResultsTreeWidget;
    QTreeWidgetItem* lp_row = lp_tree->itemAt(i_point);
    if (!lp_row)
        return;
    QMenu l_menu;
    SearchResultMenuOptions l_options(&l_menu, lp_row, this);
    Item const l_result = RowResult(lp_row);
    QString const l_user = l_result.IsValid() ? ResultUser(l_result) : GetNodeUserNode(lp_row)->text(0);
    std::unique_ptr<QObject> const lp_userOptions = l_user.isEmpty() ? nullptr : AddUserMenu(&l_menu, l_user);
    if (!l_menu.actions().isEmpty())
        l_menu.exec(lp_tree->viewport()->mapToGlobal(i_point));
}

// ------------------------------------------------------------------ order

void SearchResultsForm::Sort()
{
    // The rows waiting are sorted with the others.
    PutRowsIn();
    QTreeWidget* lp_tree = mp_ui->searchResultsTreeWidget;
    bool const l_whole = m_sortedColumn != m_sortColumn || m_sortedOrder != m_sortOrder;
    m_sortedColumn = m_sortColumn;
    m_sortedOrder = m_sortOrder;
    if (m_useOldStyle || m_fileRows <= SORT_AT_ONCE_ROWS) {
        mp_sortWork->Stop();
        m_unsorted.clear();
        lp_tree->sortItems(m_sortColumn, m_sortOrder);
        return;
    }
    lp_tree->header()->setSortIndicator(m_sortColumn, m_sortOrder);
    // The view lays the whole tree out again once per turn of the event
    // loop in which rows moved, so a step sorts one group, and groups whose
    // rows cannot differ in order under the column are passed over.
    if (!l_whole) {
        // In the same order as before: only the groups that got rows since.
        if (!mp_sortWork->IsRunning())
            mp_sortWork->Start([this, lp_tree]() {
                QTreeWidgetItem* const lp_root = lp_tree->invisibleRootItem();
                // Groups passed over count too: a quarter of a million
                // one-file folders came up in one step.
                int l_examined = 0;
                while (!m_unsorted.empty() && l_examined < GROUPS_EXAMINED_AT_ONCE) {
                    QTreeWidgetItem* const lp_group = *m_unsorted.begin();
                    m_unsorted.erase(m_unsorted.begin());
                    ++l_examined;
                    int const l_depth = lp_group == lp_root ? 0 : lp_group->parent() ? 2 : 1;
                    if (lp_group->childCount() < 2 || !OrdersRowsAt(l_depth, m_sortColumn))
                        continue;
                    lp_group->sortChildren(m_sortColumn, m_sortOrder);
                    ++m_groupsSorted;
                    break;
                }
                m_mostGroupsExamined = std::max(m_mostGroupsExamined, l_examined);
                return !m_unsorted.empty();
            });
        return;
    }
    // The users first, then each user's folders, then his folders' files a
    // few folders a step. Rows that come meanwhile are appended, so the
    // places of the groups still to sort stay where they were; the groups
    // they come into are sorted by the next sort.
    m_unsorted.clear();
    auto const lp_at = std::make_shared<std::pair<int, int>>(-1, -1); // user (-1: the users), folder (-1: his folders)
    mp_sortWork->Start([this, lp_tree, lp_at]() {
        auto& [l_user, l_folder] = *lp_at;
        if (l_user < 0) {
            if (OrdersRowsAt(0, m_sortColumn)) {
                lp_tree->invisibleRootItem()->sortChildren(m_sortColumn, m_sortOrder);
                ++m_groupsSorted;
            }
            l_user = 0;
            return l_user < lp_tree->topLevelItemCount();
        }
        QTreeWidgetItem* lp_user = lp_tree->topLevelItem(l_user);
        if (l_folder < 0) {
            if (OrdersRowsAt(1, m_sortColumn) && lp_user->childCount() > 1) {
                lp_user->sortChildren(m_sortColumn, m_sortOrder);
                ++m_groupsSorted;
            }
            l_folder = OrdersRowsAt(2, m_sortColumn) ? 0 : lp_user->childCount();
        }
        for (int l_step = 0; l_step < 64 && l_folder < lp_user->childCount(); ++l_folder) {
            QTreeWidgetItem* const lp_folder = lp_user->child(l_folder);
            if (lp_folder->childCount() < 2)
                continue;
            lp_folder->sortChildren(m_sortColumn, m_sortOrder);
            ++m_groupsSorted;
            ++l_step;
        }
        if (l_folder < lp_user->childCount())
            return true;
        l_folder = -1;
        return ++l_user < lp_tree->topLevelItemCount();
    });
}

bool SearchResultsForm::IsSorting() const
{
    return mp_sortWork->IsRunning();
}

bool SearchResultsForm::OrdersRowsAt(int i_depth, int i_column) const
{
    return !AllEqualUnder(i_depth, i_column, m_useOldStyle);
}

void SearchResultsForm::OnSectionClicked(int i_column)
{
    m_sortColumn = i_column;
    m_sortOrder = mp_ui->searchResultsTreeWidget->header()->sortIndicatorOrder();
    Sort();
}

void SearchResultsForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
}
