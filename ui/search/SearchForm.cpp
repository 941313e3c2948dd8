#include "ui/search/SearchForm.h"

#include "ui/search/ReceivedSearchesForm.h"
#include "ui/search/ResultRows.h"
#include "ui/search/ResultsTakeDown.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchStoreTypes.h"

#include "ui_SearchForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/StoreCollector.h"
#include "store/windows/FocusWidget.h"

#include <QCheckBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

SearchForm* searchForm = nullptr;

namespace {

QString const s_roomPrefix = QStringLiteral("Room: ");

QString RoomTarget(Item const& i_room)
{
    return s_roomPrefix + i_room.AsString();
}

// Results tabs are found from the store by their address; only an address
// whose widget item still exists is a live tab.
SearchResultsForm* WidgetForm(Item const& i_widget)
{
    if (i_widget.IsNull())
        return nullptr;
    return reinterpret_cast<SearchResultsForm*>(static_cast<std::uintptr_t>(i_widget.AsUInt64()));
}

Item FormWidgetItem(QWidget* ip_widget)
{
    SearchResultsForm* lp_form = qobject_cast<SearchResultsForm*>(ip_widget);
    if (!lp_form)
        return Item();
    return d["search_results_widget"]->HasItem(Value(lp_form));
}

Item WishListItemOf(QString const& i_text)
{
    return d["wish_list_item"]->HasItem(Value(i_text));
}

} // namespace

SearchForm::SearchForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_SearchForm)
{
    mp_ui->setupUi(this);
    searchForm = this;
    mp_ui->wishList->setHeaderLabels({QStringLiteral("Wish List Item")});
    mp_ui->horizontalLayout_2->setContentsMargins(0, 0, 0, 0);
    connect(mp_ui->searchEdit->lineEdit(), &QLineEdit::returnPressed, this, &SearchForm::OnSearchEntered);
    connect(mp_ui->searchButton, &QPushButton::clicked, this, &SearchForm::OnSearchEntered);
}

SearchForm::~SearchForm()
{
    // The rows of closed tabs still going are bound in the store, which may
    // go after the page.
    if (g_showIsOver)
        ResultsTakeDown::DeleteAll();
    else
        ResultsTakeDown::FinishAll();
    delete mp_ui;
    if (searchForm == this)
        searchForm = nullptr;
}

// ------------------------------------------------------------------- start

void SearchForm::Init()
{
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::SearchResults, this, &SearchForm::OnUserSearchResults);
    DeclareSearchPageTypes();
    RegisterSearchPageTypeSaving();
    d["wish_list_item"]->AddRemovedItemEventHandler(
        new EventHandler<SearchForm, Item>(this, &SearchForm::OnWishListItemRemoved));

    connect(mp_ui->searchTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnTabCloseRequested);
    connect(mp_ui->wishListTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnWishTabCloseRequested);
    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SearchForm::OnActionBarTriggered);
    RegisterToolBarActions();

    QTreeWidget* lp_wishList = mp_ui->wishList;
    lp_wishList->setColumnCount(2);
    lp_wishList->setHeaderLabels({QString(), QStringLiteral("Wish List Search")});
    lp_wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    lp_wishList->header()->setMinimumSectionSize(20);
    lp_wishList->setColumnWidth(0, 20);
    if (actionBar)
        actionBar->RegisterWidget(lp_wishList, QStringLiteral("wish_list"));
    lp_wishList->setSortingEnabled(true);
    lp_wishList->sortByColumn(1, Qt::AscendingOrder);
    connect(lp_wishList, &QWidget::customContextMenuRequested, this, &SearchForm::OnWishListContextMenuRequested);

    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);
    RegisterWidgetForTabFocus(lp_wishList, 1);

    mp_ui->searchTargetBox->addItem(QStringLiteral("All"));
    mp_ui->searchTargetBox->addItem(QStringLiteral("User List"));
    if (d.HasType("room") && d.HasType("in_room")) {
        PathNode* lp_entered = new PathNode(&d, "room");
        new PathNode(lp_entered, "in_room", PATH_CONNECTED_FIRES);
        d.AddPathEventHandler(lp_entered, new EventHandler<SearchForm, Item>(this, &SearchForm::OnEnteredRoom));
        PathNode* lp_left = new PathNode(&d, "room");
        new PathNode(lp_left, "in_room", PATH_DISCONNECTED_FIRES);
        d.AddPathEventHandler(lp_left, new EventHandler<SearchForm, Item>(this, &SearchForm::OnLeftRoom));
    }

    if (receivedSearchesForm)
        receivedSearchesForm->Init();

    connect(lp_wishList, &QTreeWidget::itemChanged, this, &SearchForm::OnWishListItemChanged);
    qRegisterMetaType<QTreeWidgetItem*>("QTreeWidgetItem*");

    d["search_record"]->AddRemovedItemEventHandler(
        new EventHandler<SearchForm, Item>(this, &SearchForm::OnSearchRecordItemRemoved));
}

void SearchForm::RegisterToolBarActions()
{
    if (!actionBar)
        return;
    actionBar->AddSetActions({
        {"search_results", "order_by_available", "Order by Available", ":/icons/search_icon"},
        {"search_results", "order_by_fastest", "Order by Fastest", ":/icons/search_icon"},
        {"search_results", "expand_folders", "Expand Folders", ":/icons/search_icon"},
        {"search_results", "expand_users", "Expand Users", ":/icons/search_icon"},
        {"search_results", "add_remove_wishlist", "Add to Wishlist", ":/icons/wishlist_icon"},
        {"search_results", "reenter_search", "Re-enter Search", ":/icons/circular_arrow_icon"},
        {"search_results", "stop_search", "Stop Search", ":/icons/stop_icon"},
        {"search_results_old", "add_remove_wishlist", "Add to Wishlist", ":/icons/wishlist_icon"},
        {"search_results_old", "reenter_search", "Re-enter Search", ":/icons/circular_arrow_icon"},
        {"search_results_old", "stop_search", "Stop Search", ":/icons/stop_icon"},
        {"wish_list", "enable_all_wish_list_items", "Enable All Wish List Searches", ":/icons/wishlist_icon"},
        {"wish_list", "disable_all_wish_list_items", "Disable All Wish List Searches", ":/icons/wishlist_icon"},
    });
}

void SearchForm::DataLoaded()
{
    // These types are keyed by the addresses of this run's tabs, rows and
    // boxes and are never saved; any that a data file brings would lead to
    // whatever lies at those addresses now.
    for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_results_folder_node",
                                "search_result_node", "wish_list_node", "wish_list_node_checkbox"})
        d[lp_type]->RemoveAllItems();
    for (Item const& l_wish : d["wish_list_item"]->GetItems())
        OnWishListItemAdded(l_wish);

    int const l_listWidth = 200;
    QList<int> const l_sizes = {width() - l_listWidth, l_listWidth};
    mp_ui->searchSplitter->setSizes(l_sizes);
    if (sizeManager)
        sizeManager->RegisterSplitter(QStringLiteral("wish_list_splitter"), mp_ui->searchSplitter, l_sizes);

    for (Item const& l_record : d["search_record"]->GetItems().SortNumericBy("search_time", false))
        mp_ui->searchEdit->addItem(l_record.AsString());
    mp_ui->searchEdit->lineEdit()->clear();
}

// ---------------------------------------------------------------- searches

void SearchForm::SearchEveryone(QString const& i_text)
{
    if (!gp_server)
        return;
    unsigned int const l_token = gp_server->FileSearch(i_text, QString());
    gp_server->GetSearchCorrelations(i_text);
    CreateSearchForm(l_token, i_text, SEARCH_EVERYONE);
}

void SearchForm::OnSearchEntered()
{
    QString const l_text = mp_ui->searchEdit->lineEdit()->text().trimmed();
    if (l_text.isEmpty())
        return;
    QString const l_target = mp_ui->searchTargetBox->currentText();
    if (l_target == QLatin1String("All")) {
        SearchEveryone(l_text);
    } else if (l_target == QLatin1String("User List")) {
        if (gp_server)
            CreateSearchForm(gp_server->SearchUserList(l_text), l_text, SEARCH_USER_LIST);
    } else if (l_target.startsWith(s_roomPrefix)) {
        if (gp_server)
            CreateSearchForm(gp_server->SearchRoom(l_target.mid(s_roomPrefix.size()), l_text), l_text, SEARCH_ROOM);
    }
    RecordSearch(l_text);
    mp_ui->searchEdit->lineEdit()->clear();
}

SearchResultsForm* SearchForm::CreateSearchForm(unsigned int i_token, QString const& i_text, SearchType i_type)
{
    Item const l_request = d["search_request"]->HasItem(Value(i_token));
    Item l_wish;
    if (i_type == SEARCH_WISH_LIST) {
        l_wish = WishListItemOf(i_text);
        if (l_wish.IsNull())
            return nullptr;
        Item const l_openWidget = l_wish["search_results_widget"];
        if (l_openWidget.IsValid()) {
            // While the text's tab is open, every later search of it feeds
            // that tab.
            if (l_request.IsValid())
                l_openWidget += l_request;
            return WidgetForm(l_openWidget);
        }
    }

    SearchResultsForm* lp_form = new SearchResultsForm(i_token, this);
    QTreeWidget* lp_tree = lp_form->searchResults();
    lp_tree->setColumnCount(7);
    lp_tree->header()->setStretchLastSection(false);
    int const l_widths[] = {100, 40, 40, 150, 170, 70};
    for (int l_column = 0; l_column < 6; ++l_column)
        lp_tree->setColumnWidth(l_column, l_widths[l_column]);
    lp_tree->header()->setSectionsMovable(false);
    lp_tree->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Free"), QStringLiteral("K/s"),
                              QStringLiteral("Folder"), QStringLiteral("File"), QStringLiteral("Size"),
                              QStringLiteral("Attributes")});
    lp_tree->expandAll();

    QString const l_title = SearchResultsForm::ButtonText(i_text);
    switch (i_type) {
    case SEARCH_USER_LIST:
        mp_ui->searchTabControl->addTab(lp_form, QIcon(QStringLiteral(":/icons/users_icon")), l_title);
        break;
    case SEARCH_ROOM:
        mp_ui->searchTabControl->addTab(lp_form, QIcon(QStringLiteral(":/icons/room_icon")), l_title);
        break;
    case SEARCH_WISH_LIST:
        mp_ui->wishListTabControl->addTab(lp_form, QIcon(QStringLiteral(":/icons/wishlist_icon")), l_title);
        break;
    default:
        mp_ui->searchTabControl->addTab(lp_form, QIcon(QStringLiteral(":/icons/search_icon")), l_title);
        break;
    }
    QTabWidget* const lp_tabs = i_type == SEARCH_WISH_LIST ? mp_ui->wishListTabControl : mp_ui->searchTabControl;
    lp_tabs->setTabToolTip(lp_tabs->indexOf(lp_form), LiteralToolTip(Isolated(i_text)));

    Item const l_widget = d["search_results_widget"]->GetItem(Value(lp_form));
    if (l_request.IsValid())
        l_widget += l_request;
    if (l_wish.IsValid()) {
        l_widget += l_wish;
        Item const l_filterText = l_wish["wish_list_item_filter_text"];
        if (l_filterText.IsValid())
            lp_form->filterEdit()->setText(l_filterText.AsString());
    }
    QString const l_defaultFilter = GetSetting("default_search_filter");
    if (!l_defaultFilter.isEmpty() && lp_form->filterEdit()->text().isEmpty())
        lp_form->filterEdit()->setText(l_defaultFilter);

    // Every text and mark of the tab is set here, so that no tab inherits
    // one from an earlier tab.
    if (actionBar) {
        bool const l_wishTab = i_type == SEARCH_WISH_LIST;
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("add_remove_wishlist"),
                                       l_wishTab ? QStringLiteral("Remove from Wish List")
                                                 : QStringLiteral("Add to Wishlist"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("stop_search"), QStringLiteral("Stop Search"));
        actionBar->SetWidgetActionHidden(lp_form, QStringLiteral("stop_search"), l_wishTab);
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_available"),
                                       QStringLiteral("Order by Available [on]"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_fastest"), QStringLiteral("Order by Fastest"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("expand_folders"), QStringLiteral("Expand Folders [on]"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("expand_users"), QStringLiteral("Expand Users [on]"));
    }
    SetAttribute(l_widget, "expand_folders", Value("yes"));
    SetAttribute(l_widget, "expand_users", Value("yes"));
    lp_form->SetSortingParamters(1, Qt::DescendingOrder);
    if (i_type != SEARCH_WISH_LIST)
        FocusWidget(lp_tree);

    // The server link drops requests while it is not logged in.
    if (i_type != SEARCH_WISH_LIST && gp_server && !gp_server->IsConnected())
        lp_form->ShowNote(tr("Not connected to the server: this search was not sent. Search again once connected."));
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("search_results"), lp_tree);
    lp_form->Init();
    connect(lp_form->CorrelationsWidget(), &QTreeWidget::itemClicked, this, &SearchForm::OnCorrelationClicked);
    connect(lp_form->CorrelationsWidget(), &QTreeWidget::itemDoubleClicked, this,
            &SearchForm::OnCorrelationDoubleClicked);
    return lp_form;
}

void SearchForm::OnUserSearchResults(Item i_searchResults)
{
    Item const l_request = i_searchResults["search_request"];
    if (l_request.IsValid() && !l_request.IsConnected("search_results_widget") && l_request.IsConnected("wish_list_item")) {
        QString const l_text = l_request["search_request_text"].AsString();
        Item const l_wish = WishListItemOf(l_text);
        if (l_wish.IsValid() && l_wish.IsConnected("wish_list_item_enabled"))
            CreateSearchForm(static_cast<unsigned int>(l_request.GetValue().AsQString().toUInt()), l_text,
                             SEARCH_WISH_LIST);
    }
    SearchResultsForm* lp_form = WidgetForm(l_request["search_results_widget"]);
    if (lp_form && lp_form->AddUserSearchResults(i_searchResults))
        return;
    // No tab wants it (a disabled wish-list text, or a user beyond his share
    // of the tab): kept, it would only pile up in memory.
    i_searchResults.GetItems("search_result").Remove();
    i_searchResults.Remove();
}

void SearchForm::RecordSearch(QString const& i_text)
{
    QString const l_text = i_text.trimmed();
    if (l_text.isEmpty())
        return;
    Type* lp_records = d["search_record"];
    lp_records->HasItem(Value(l_text)).Remove();
    Item const l_record = lp_records->NewItem(Value(l_text));
    mp_ui->searchEdit->insertItem(0, l_text);
    // Two searches in one millisecond must still be told apart by their time.
    qint64 const l_now = qMax(QDateTime::currentMSecsSinceEpoch(), m_lastSearchTime + 1);
    m_lastSearchTime = l_now;
    l_record += d["search_time"]->GetItem(Value(static_cast<long long>(l_now)));

    ItemList const l_records = lp_records->GetItems().SortNumericBy("search_time", true);
    for (std::size_t l_index = 0; l_index + HISTORY_SIZE < l_records.size(); ++l_index)
        l_records[l_index].Remove();
}

void SearchForm::OnSearchRecordItemRemoved(Item i_record)
{
    // Exactly this text: two searches that differ only in case are two
    // entries.
    int const l_index = mp_ui->searchEdit->findText(i_record.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (l_index >= 0)
        mp_ui->searchEdit->removeItem(l_index);
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item)
        mp_ui->searchEdit->lineEdit()->setText(ip_item->text(0));
}

void SearchForm::OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (!ip_item)
        return;
    SearchEveryone(ip_item->text(0));
    mp_ui->searchEdit->lineEdit()->clear();
}

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm() const
{
    QTabWidget* lp_tabs = nullptr;
    if (mp_ui->searchTabControl->isVisible())
        lp_tabs = mp_ui->searchTabControl;
    else if (mp_ui->wishListTabControl->isVisible())
        lp_tabs = mp_ui->wishListTabControl;
    return lp_tabs ? qobject_cast<SearchResultsForm*>(lp_tabs->currentWidget()) : nullptr;
}

// ------------------------------------------------------------- closing tabs

void SearchForm::OnTabCloseRequested(int i_tabIndex)
{
    CloseResultsTab(mp_ui->searchTabControl, i_tabIndex);
}

void SearchForm::OnWishTabCloseRequested(int i_tabIndex)
{
    CloseResultsTab(mp_ui->wishListTabControl, i_tabIndex);
}

void SearchForm::CloseResultsTab(QTabWidget* ip_tabs, int i_tabIndex)
{
    QWidget* lp_page = ip_tabs->widget(i_tabIndex);
    Item const l_widget = FormWidgetItem(lp_page);
    if (l_widget.IsNull())
        return;
    ItemSet const l_requests = l_widget.GetItems("search_request");
    l_widget.Remove();
    ip_tabs->removeTab(i_tabIndex);
    // Its rows go in slices after it (ResultsTakeDown.h).
    if (auto* lp_form = qobject_cast<SearchResultsForm*>(lp_page))
        lp_form->HandRowsOver();
    delete lp_page;
    // The answers, owned by their request, go with it: the collection takes
    // them in slices, where removing them here held the window 0.2 s for a
    // search that a quarter of a million files answered.
    for (Item const& l_request : l_requests)
        l_request.Remove();
    // The rest of the tab's items go with a collection in slices: one in
    // one go marked the whole store, 0.3 s with a million shared files.
    StoreCollector::Obj()->Collect();
}

// ------------------------------------------------------------------ rooms

void SearchForm::OnEnteredRoom(Item i_room)
{
    mp_ui->searchTargetBox->addItem(RoomTarget(i_room));
}

void SearchForm::OnLeftRoom(Item i_room)
{
    // Exactly this room: rooms whose names differ only in case are two
    // targets.
    int const l_index = mp_ui->searchTargetBox->findText(RoomTarget(i_room), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (l_index >= 0)
        mp_ui->searchTargetBox->removeItem(l_index);
}

// ---------------------------------------------------------------- tool bar

void SearchForm::ToggleExpansion(QWidget* ip_widget, char const* ip_type, QString const& i_action,
                                 QString const& i_text, bool i_folders)
{
    Item const l_widget = FormWidgetItem(ip_widget);
    if (l_widget.IsNull())
        return;
    bool const l_expand = l_widget[ip_type].AsStdString() == "no";
    SetAttribute(l_widget, ip_type, Value(l_expand ? "yes" : "no"));
    if (actionBar)
        actionBar->SetWidgetActionText(ip_widget, i_action, i_text + (l_expand ? " [on]" : " [off]"));
    QTreeWidget* lp_tree = WidgetForm(l_widget)->searchResults();
    for (int l_user = 0; l_user < lp_tree->topLevelItemCount(); ++l_user) {
        QTreeWidgetItem* lp_userRow = lp_tree->topLevelItem(l_user);
        if (!i_folders) {
            lp_userRow->setExpanded(l_expand);
            continue;
        }
        for (int l_folder = 0; l_folder < lp_userRow->childCount(); ++l_folder)
            lp_userRow->child(l_folder)->setExpanded(l_expand);
    }
}

void SearchForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (i_action == QLatin1String("expand_folders")) {
        ToggleExpansion(ip_widget, "expand_folders", i_action, QStringLiteral("Expand Folders"), true);
    } else if (i_action == QLatin1String("expand_users")) {
        ToggleExpansion(ip_widget, "expand_users", i_action, QStringLiteral("Expand Users"), false);
    } else if (i_action == QLatin1String("order_by_available") || i_action == QLatin1String("order_by_fastest")) {
        SearchResultsForm* lp_form = qobject_cast<SearchResultsForm*>(ip_widget);
        if (!lp_form)
            return;
        bool const l_available = i_action == QLatin1String("order_by_available");
        if (actionBar) {
            actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_available"),
                                           l_available ? QStringLiteral("Order by Available [on]")
                                                       : QStringLiteral("Order by Available"));
            actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_fastest"),
                                           l_available ? QStringLiteral("Order by Fastest")
                                                       : QStringLiteral("Order by Fastest [on]"));
        }
        lp_form->SetSortingParamters(l_available ? 1 : 2, Qt::DescendingOrder);
        lp_form->Sort();
    } else if (i_action == QLatin1String("remove_wish_list_item")) {
        OnRemoveWishListItemRequested();
    } else if (i_action == QLatin1String("enable_all_wish_list_items")) {
        SetAllWishListBoxes(true);
    } else if (i_action == QLatin1String("disable_all_wish_list_items")) {
        SetAllWishListBoxes(false);
    } else if (i_action == QLatin1String("add_remove_wishlist") || i_action == QLatin1String("stop_search") ||
               i_action == QLatin1String("reenter_search")) {
        SearchResultsForm* lp_form = GetCurrentSearchResultsForm();
        Item const l_request = static_cast<Item>(FormWidgetItem(lp_form).GetItems("search_request"));
        if (l_request.IsNull())
            return;
        QString const l_text = l_request["search_request_text"].AsString();
        if (i_action == QLatin1String("add_remove_wishlist")) {
            if (l_request.IsConnected("wish_list_item"))
                WishListItemOf(l_text).Remove();
            else
                AddWishListText(l_text);
        } else if (i_action == QLatin1String("stop_search")) {
            SetFlag(l_request, "search_stopped", true);
            if (actionBar)
                actionBar->SetWidgetActionText(lp_form, QStringLiteral("stop_search"), QStringLiteral("Search Stopped"));
        } else {
            mp_ui->searchEdit->lineEdit()->setText(l_text);
            FocusWidget(mp_ui->searchEdit);
        }
    }
}

// --------------------------------------------------------------- wish list

Item SearchForm::WishListRowItem(QTreeWidgetItem* ip_row) const
{
    if (!ip_row)
        return Item();
    return d["wish_list_node"]->HasItem(Value(ip_row))["wish_list_item"];
}

Item SearchForm::FirstSelectedWishListItem() const
{
    QList<QTreeWidgetItem*> const l_selected = mp_ui->wishList->selectedItems();
    return l_selected.isEmpty() ? Item() : WishListRowItem(l_selected.first());
}

void SearchForm::AddWishListText(QString const& i_text)
{
    QString const l_text = i_text.trimmed();
    if (l_text.isEmpty() || WishListItemOf(l_text).IsValid())
        return;
    Item const l_wish = d["wish_list_item"]->NewItem(Value(l_text));
    SetFlag(l_wish, "wish_list_item_enabled", true);
    OnWishListItemAdded(l_wish);
}

void SearchForm::OnAddToWishListClicked()
{
    AddWishListText(mp_ui->searchEdit->lineEdit()->text());
}

void SearchForm::OnWishListItemAdded(Item i_wish)
{
    m_addingWishListItem = true;
    QTreeWidget* lp_list = mp_ui->wishList;
    QTreeWidgetItem* lp_row = new QTreeWidgetItem(lp_list);
    lp_row->setText(1, i_wish.AsString());
    lp_row->setFlags(lp_row->flags() | Qt::ItemIsEditable);
    QCheckBox* lp_box = new QCheckBox();
    // The box hides the cell's text, which is only there to sort by.
    lp_box->setBackgroundRole(QPalette::Base);
    lp_box->setAutoFillBackground(true);
    lp_list->setItemWidget(lp_row, 0, lp_box);
    lp_row->setTextAlignment(0, Qt::AlignHCenter);
    bool const l_enabled = i_wish.IsConnected("wish_list_item_enabled");
    lp_row->setText(0, l_enabled ? QStringLiteral("Y") : QString());
    lp_box->setChecked(l_enabled);
    Item const l_node = d["wish_list_node"]->GetItem(Value(lp_row));
    i_wish += l_node;
    l_node += d["wish_list_node_checkbox"]->GetItem(Value(lp_box));
    connect(lp_box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
    m_addingWishListItem = false;
}

void SearchForm::OnWishListItemRemoved(Item i_wish)
{
    Item const l_node = i_wish["wish_list_node"];
    if (l_node.IsNull())
        return;
    delete NodeRow(l_node);
    l_node["wish_list_node_checkbox"].Remove();
    l_node.Remove();
}

void SearchForm::OnWishListItemCheckStateChanged(int i_state)
{
    Item const l_node = d["wish_list_node_checkbox"]->HasItem(Value(sender()))["wish_list_node"];
    Item const l_wish = l_node["wish_list_item"];
    QTreeWidgetItem* lp_row = NodeRow(l_node);
    if (l_wish.IsNull() || !lp_row || i_state == Qt::PartiallyChecked)
        return;
    bool const l_enabled = i_state == Qt::Checked;
    SetFlag(l_wish, "wish_list_item_enabled", l_enabled);
    lp_row->setText(0, l_enabled ? QStringLiteral("Y") : QString());
}

void SearchForm::OnWishListItemEnabled(Item i_wish)
{
    if (QTreeWidgetItem* lp_row = NodeRow(i_wish["wish_list_node"]))
        if (QWidget* lp_box = mp_ui->wishList->itemWidget(lp_row, 0))
            lp_box->setEnabled(true);
}

void SearchForm::OnWishListItemDisabled(Item i_wish)
{
    if (QTreeWidgetItem* lp_row = NodeRow(i_wish["wish_list_node"]))
        if (QWidget* lp_box = mp_ui->wishList->itemWidget(lp_row, 0))
            lp_box->setEnabled(false);
}

void SearchForm::SetAllWishListBoxes(bool i_checked)
{
    for (Item const& l_wish : d["wish_list_item"]->GetItems())
        if (QTreeWidgetItem* lp_row = NodeRow(l_wish["wish_list_node"]))
            if (QCheckBox* lp_box = qobject_cast<QCheckBox*>(mp_ui->wishList->itemWidget(lp_row, 0)))
                lp_box->setChecked(i_checked);
}

void SearchForm::ShowWishListText(QTreeWidgetItem* ip_row, QString const& i_text)
{
    if (ip_row->text(1) == i_text)
        return;
    m_addingWishListItem = true;
    ip_row->setText(1, i_text);
    m_addingWishListItem = false;
}

void SearchForm::OnWishListItemChanged(QTreeWidgetItem* ip_item, int i_column)
{
    if (i_column != 1 || m_addingWishListItem || !ip_item)
        return;
    // Only the edited row changes: its item is found through its binding,
    // so no other row's item (with its switches, filter and tab) is touched.
    Item const l_node = d["wish_list_node"]->HasItem(Value(ip_item));
    if (l_node.IsNull())
        return;
    Item const l_old = l_node["wish_list_item"];
    QString const l_text = ip_item->text(1).trimmed();
    if (l_old.IsValid() && l_old.AsString() == l_text) {
        ShowWishListText(ip_item, l_text);
        return;
    }
    // The old text goes without its row: the row is replaced or deleted here.
    if (l_old.IsValid()) {
        l_old.Disconnect(l_node);
        l_old.Remove();
    }
    if (l_text.isEmpty() || WishListItemOf(l_text).IsValid()) {
        QueueRowDeletion(ip_item);
        return;
    }
    Item const l_wish = d["wish_list_item"]->NewItem(Value(l_text));
    QCheckBox* lp_box = qobject_cast<QCheckBox*>(mp_ui->wishList->itemWidget(ip_item, 0));
    SetFlag(l_wish, "wish_list_item_enabled", lp_box && lp_box->isChecked());
    l_wish += l_node;
    ShowWishListText(ip_item, l_text);
}

void SearchForm::QueueRowDeletion(QTreeWidgetItem* ip_row)
{
    // The change notification is still running on the row. By the time the
    // deletion runs the row may be gone: its binding item is the proof that
    // it still exists.
    Item const l_node = d["wish_list_node"]->HasItem(Value(ip_row));
    QTimer::singleShot(0, this, [this, l_node, ip_row]() {
        if (l_node.IsValid())
            DeleteNode(ip_row);
    });
}

void SearchForm::DeleteNode(QTreeWidgetItem* ip_item)
{
    Item const l_node = d["wish_list_node"]->HasItem(Value(ip_item));
    delete ip_item;
    l_node["wish_list_node_checkbox"].Remove();
    l_node.Remove();
}

void SearchForm::OnWishListContextMenuRequested(QPoint i_point)
{
    Item const l_wish = WishListRowItem(mp_ui->wishList->itemAt(i_point));
    if (l_wish.IsNull())
        return;
    QMenu l_menu;
    l_menu.addAction(QIcon(QStringLiteral(":/icons/search_icon")), QStringLiteral("Manual Search"), this,
                     &SearchForm::OnManualSearch);
    l_menu.addAction(QIcon(QStringLiteral(":/icons/duplicate_icon")),
                     l_wish.IsConnected("discard_repeated_results") ? QStringLiteral("Show Repeated Results")
                                                                    : QStringLiteral("Discard Repeated Results"),
                     this, &SearchForm::OnDiscardRepeatedResultsClicked);
    l_menu.addAction(QIcon(QStringLiteral(":/icons/wishlist_icon")), QStringLiteral("Remove Wish List Search"), this,
                     &SearchForm::OnRemoveWishListItemRequested);
    l_menu.exec(mp_ui->wishList->viewport()->mapToGlobal(i_point));
}

void SearchForm::OnManualSearch()
{
    Item const l_wish = FirstSelectedWishListItem();
    if (l_wish.IsValid() && gp_server) {
        QString const l_text = l_wish.AsString();
        CreateSearchForm(gp_server->FileSearch(l_text, QString()), l_text, SEARCH_EVERYONE);
    }
}

void SearchForm::OnDiscardRepeatedResultsClicked()
{
    Item const l_wish = FirstSelectedWishListItem();
    if (l_wish.IsNull())
        return;
    if (l_wish.IsConnected("discard_repeated_results")) {
        SetFlag(l_wish, "discard_repeated_results", false);
        l_wish["received_results_from_users"].Remove();
    } else {
        SetFlag(l_wish, "discard_repeated_results", true);
        l_wish += d["received_results_from_users"]->NewItem();
    }
}

void SearchForm::OnRemoveWishListItemRequested()
{
    std::vector<Item> l_items;
    for (QTreeWidgetItem* lp_row : mp_ui->wishList->selectedItems())
        l_items.push_back(WishListRowItem(lp_row));
    for (Item const& l_wish : l_items)
        l_wish.Remove();
}
