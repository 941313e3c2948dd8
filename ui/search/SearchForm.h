#ifndef QUILLMAR_UI_SEARCH_SEARCHFORM_H
#define QUILLMAR_UI_SEARCH_SEARCHFORM_H

#include "store/Data.h"
#include "store/DataSaver.h"

#include <QPoint>
#include <QString>
#include <QWidget>

class QTabWidget;
class QTreeWidgetItem;
class SearchResultsForm;
class Ui_SearchForm;

// What a results tab shows the answers to.
enum SearchType { SEARCH_EVERYONE = 0, SEARCH_WISH_LIST = 1, SEARCH_USER_LIST = 2, SEARCH_ROOM = 3 };

// The Search page: the search box and its target (everyone, the user list
// or a joined room), one results tab per search, the history of the last
// HISTORY_SIZE search texts, the wish list with its tabs, and the searches
// others send us. It routes each arriving answer to the tab of its search
// and carries out the results tabs' tool-bar commands.
//
// A tab and its searches meet in the store: the tab's
// "search_results_widget" item (keyed by its address) is linked to every
// "search_request" whose answers it shows, and for a wish-list tab to its
// "wish_list_item". A wish-list row is bound by a "wish_list_node" keyed by
// the row's address, and its check box by a "wish_list_node_checkbox".
class SearchForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    static constexpr int HISTORY_SIZE = 20;

    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Types, subscriptions and tool-bar actions; before the saved data is
    // loaded.
    void Init();
    void DataLoaded() override;

    // Opens the results tab of a search (a wish-list search joins its
    // text's open tab). Null when no tab was opened or joined.
    SearchResultsForm* CreateSearchForm(unsigned int i_token, QString const& i_text, SearchType i_type);
    void RecordSearch(QString const& i_text);
    // The results tab in front, if any.
    SearchResultsForm* GetCurrentSearchResultsForm() const;

    Ui_SearchForm* Form() const { return mp_ui; }

public slots:
    void OnSearchEntered();
    void OnUserSearchResults(Item i_searchResults);
    void OnTabCloseRequested(int i_tabIndex);
    void OnWishTabCloseRequested(int i_tabIndex);
    void OnCorrelationClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);

    // The wish list.
    void OnWishListItemCheckStateChanged(int i_state);
    void OnWishListItemChanged(QTreeWidgetItem* ip_item, int i_column);
    void OnWishListContextMenuRequested(QPoint i_point);
    void OnManualSearch();
    void OnDiscardRepeatedResultsClicked();
    void OnRemoveWishListItemRequested();
    void OnAddToWishListClicked();
    void DeleteNode(QTreeWidgetItem* ip_item);

public:
    void OnWishListItemAdded(Item i_wish);
    void OnWishListItemRemoved(Item i_wish);
    void OnWishListItemEnabled(Item i_wish);
    void OnWishListItemDisabled(Item i_wish);
    void OnEnteredRoom(Item i_room);
    void OnLeftRoom(Item i_room);
    void OnSearchRecordItemRemoved(Item i_record);

private:
    void RegisterToolBarActions();
    void SearchEveryone(QString const& i_text);
    void CloseResultsTab(QTabWidget* ip_tabs, int i_tabIndex);
    // Adds a text to the wish list, enabled; nothing when it is blank or
    // there already.
    void AddWishListText(QString const& i_text);
    Item WishListRowItem(QTreeWidgetItem* ip_row) const;
    Item FirstSelectedWishListItem() const;
    // The row's text is the item's key: the row shows it trimmed.
    void ShowWishListText(QTreeWidgetItem* ip_row, QString const& i_text);
    void QueueRowDeletion(QTreeWidgetItem* ip_row);
    void SetAllWishListBoxes(bool i_checked);
    void ToggleExpansion(QWidget* ip_widget, char const* ip_type, QString const& i_action, QString const& i_text,
                         bool i_folders);

    Ui_SearchForm* mp_ui;
    bool m_addingWishListItem = false;
    qint64 m_lastSearchTime = 0;
};

extern SearchForm* searchForm;

#endif
