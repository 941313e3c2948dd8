#ifndef QUILLMAR_UI_SEARCH_SEARCHRESULTSFORM_H
#define QUILLMAR_UI_SEARCH_SEARCHRESULTSFORM_H

#include "ui/search/FilterParser.h"
#include "store/Data.h"

#include <QHash>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <optional>
#include <unordered_set>
#include <vector>

class SlicedWork;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;
class Ui_SearchResultsForm;

// One tab of the search page: the answers to one search (a wish-list tab:
// to every search of its text while it is open), as user, folder and file
// rows (or flat rows in the old style), with a filter bar and the related
// searches the server suggests.
//
// The rows are bound to the store by node items keyed by their address
// (see ResultRows.h); the tab's own item is the "search_results_widget"
// keyed by its address, made by the search page. Rows are only appended and
// sorted by Sort(), which each answer asks for a second later.
//
// The view lays the whole tree out again in every turn of the event loop in
// which rows came, moved or closed, in one go (500,000 rows shown: 200 ms), so
// that a tab of many rows costs more for each row that comes. Rows are made
// apart from the view and go in together (see ROWS_IN_AT_ONCE), a sort
// moves only the rows whose order can change, and a closed tab's rows are
// taken down in slices (HandRowsOver).
class SearchResultsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Files one user may show in one tab, so that a peer who answers again
    // and again cannot fill the memory. Of an answer that goes beyond it
    // only the files that still fit are kept; once the bound is reached,
    // further answers are refused whole.
    static constexpr std::size_t MAX_FILES_PER_USER = 10000;
    // Rows sorted at once; a larger tree (grouped) is sorted in slices,
    // since 100,000 rows took 40-160 ms.
    static constexpr std::size_t SORT_AT_ONCE_ROWS = 5000;
    // Groups that got rows one step of a later sort looks at.
    static constexpr int GROUPS_EXAMINED_AT_ONCE = 256;
    // Rows of an answer shown at once when no other waits; a larger one
    // comes in slices.
    static constexpr std::size_t ROWS_AT_ONCE = 100;
    // File rows a tab takes into its tree as each is made. Beyond, new rows
    // wait apart and go in together: once those waiting are a quarter of
    // those in, or ROWS_IN_WAIT_MS after the first of them waited (that
    // long again for every further ROWS_PER_WAIT rows in the tree), so that
    // the layouts they cost grow as the rows do.
    static constexpr std::size_t ROWS_IN_AT_ONCE = 1000;
    static constexpr int ROWS_IN_WAIT_MS = 250;
    static constexpr std::size_t ROWS_PER_WAIT = 50000;
    // Rows the tab's own openings ("Expand Users") may show: a layout of
    // 500,000 rows took 200 ms. A new user row opens only while the rows
    // under the users it opened stay within this, and the users it opened
    // last close again when more rows come into them.
    static constexpr std::size_t MAX_OPENED_ROWS = 100000;

    SearchResultsForm(unsigned int i_token, QWidget* ip_parent = nullptr);
    ~SearchResultsForm() override;

    // Focus rank, the saved filters and their events.
    void Init();

    QTreeWidget* searchResults() const;
    QLineEdit* filterEdit() const;
    QTreeWidget* CorrelationsWidget() const;

    // Stores the order Sort() uses; nothing is sorted here.
    void SetSortingParamters(int i_column, Qt::SortOrder i_order);

    // One user's answer ("search_results"): rows added and filtered, a
    // wish-list tab's first visible answer announced, a sort scheduled.
    // False when the answer was refused (see MAX_FILES_PER_USER); the files
    // beyond the bound of one that is taken leave the store. The rows come
    // in slices, answers in the order they came; RowsToAdd() says how many
    // are still to come into the tree.
    bool AddUserSearchResults(Item i_searchResults);
    std::size_t RowsToAdd() const { return m_rowsToAdd + m_rowsWaiting; }
    // Times rows went into the tree since the tab opened, and groups of
    // rows sorted: the view lays the tree out again after each.
    quint64 RowBatches() const { return m_rowBatches; }
    quint64 GroupsSorted() const { return m_groupsSorted; }
    // The most groups one step of a sort looked at, sorted or passed over.
    int MostGroupsExaminedInAStep() const { return m_mostGroupsExamined; }
    // Folder rows the tab opened ("Expand Folders"): those of a user it
    // did not open wait until he is opened.
    quint64 FoldersOpened() const { return m_foldersOpened; }
    bool IsSorting() const;
    // Rows the filter has tested since the tab opened: an arriving row is
    // tested once, whatever came before it; a change of the filter tests
    // every row again.
    quint64 RowsFiltered() const { return m_rowsFiltered; }
    // By folder path, then by file name, exactly.
    static bool CompareSearchResults(Item const& i_a, Item const& i_b);
    // The user row above a grouped row (the row itself for a user row).
    QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* ip_row) const;
    void PopulateCorrelations();
    // A line above the results (plain text), such as why none will come.
    void ShowNote(QString const& i_text);

    // A search text as a tab title or button text, which would take "&" for
    // a shortcut mark: "R&B" must not show as "RB".
    static QString ButtonText(QString const& i_text);

    unsigned int Token() const { return m_token; }
    QString SearchText() const { return m_searchText; }
    bool IsOldStyle() const { return m_useOldStyle; }

    // The tab is being closed: its rows, those in the tree and those
    // waiting, go to a ResultsTakeDown (ResultsTakeDown.h) with the tree,
    // which takes them down with their bindings in slices once the form is
    // gone; its first slice runs here.
    void HandRowsOver();

public slots:
    void Sort();
    void OnFilterHelpClicked();
    void OnSearchCorrelations(QString i_searchText);
    void OnFilterTextChanged(QString i_text);
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int i_index);
    void OnClearFilterClicked();
    void OnDefaultFilterBoxToggled(bool i_checked);
    void OnContextMenuRequested(QPoint i_point);
    void OnSectionClicked(int i_column);
    void OnResultDoubleClicked(QTreeWidgetItem* ip_result, int i_column);
    void OnDiscardRepeatedResultsToggled(bool i_toggled);
    void OnRowOpened(QTreeWidgetItem* ip_row);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnDiscardRepeatedResultsEnabled(Item i_wish);
    void OnDiscardRepeatedResultsDisabled(Item i_wish);
    void OnDownloadFoldersOnDoubleClickToggled(Item i_setting);
    void OnSavedFilterAdded(Item i_filter);
    void OnSavedFilterRemoved(Item i_filter);

    Item WidgetItem() const;
    Item WishListItem() const;
    QString CurrentFilterText() const;
    // One row of the answer at the head of the queue added and filtered;
    // false once the queue is empty.
    bool AddNextRow();
    // The file row (a flat row in the old style) of one result, and its
    // folder and user rows (null in the old style). The rows may wait
    // apart from the tree (PutRowsIn).
    QTreeWidgetItem* AddResultRow(Item const& i_searchResult, QTreeWidgetItem** op_folder = nullptr,
                                  QTreeWidgetItem** op_user = nullptr);
    void AddTopRow(QTreeWidgetItem* ip_row);
    void AddChildRow(QTreeWidgetItem* ip_parent, QTreeWidgetItem* ip_child);
    // The rows waiting go into the tree, with their state.
    void PutRowsIn();
    void SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden);
    // Whether the rows at a depth (0: the users or flat rows) can differ in
    // order under the column: a folder row has no file name, user or size.
    bool OrdersRowsAt(int i_depth, int i_column) const;
    // One user's rows under the filter, when it changes. An arriving row
    // goes through FilterNewFileRow, which tests a folder and a file as
    // this does, so what shows never depends on when the filter was typed.
    void FilterUserRows(QTreeWidgetItem* ip_user, FilterParser const& i_filter);
    // Whether the row shows.
    bool FilterFlatRow(QTreeWidgetItem* ip_row, FilterParser const& i_filter);
    // A new file row under m_filter, its folder and user rows set from the
    // counts of their shown rows; whether the user row shows.
    bool FilterNewFileRow(QTreeWidgetItem* ip_file, QTreeWidgetItem* ip_folder, QTreeWidgetItem* ip_user);
    // The file of a folder not rejected, under the folder's remainder.
    bool ShowsFile(QTreeWidgetItem* ip_file, FilterParser const& i_remainder);
    void AlertFirstVisibleAnswer();
    // Filters every row and sets the filter bar; a saved filter that is
    // being removed no longer counts.
    void ApplyFilterText(QString const& i_text, Item const& i_leavingFilter = Item());
    void UpdateFilterBar(QString const& i_text, Item const& i_leavingFilter);
    // Removes the bindings of every row, so that no item keeps the address
    // of a row that is gone.
    void ForgetRows();
    // The rows made that have not gone into the tree yet, tops first.
    QList<QTreeWidgetItem*> WaitingRows() const;

    // Answers whose rows are still to come, first come first; the files of
    // each are the ones kept.
    struct PendingAnswer
    {
        Item m_answer;
        std::vector<Item> m_results;
        std::size_t m_next = 0;
    };
    std::deque<PendingAnswer> m_pending;
    std::size_t m_rowsToAdd = 0;
    SlicedWork* mp_rowWork;
    SlicedWork* mp_sortWork;
    std::size_t m_fileRows = 0;
    // Rows made and not in the tree yet: new top rows, and the new children
    // of rows in the tree (in the order they came, by parent); the rows
    // among them to hide once in (a row out of the view keeps no state);
    // the file rows among them.
    QList<QTreeWidgetItem*> m_waitingTop;
    std::vector<std::pair<QTreeWidgetItem*, QList<QTreeWidgetItem*>>> m_waitingChildren;
    QHash<QTreeWidgetItem*, std::size_t> m_waitingParents;
    std::unordered_set<QTreeWidgetItem*> m_hiddenWhenIn;
    std::size_t m_rowsWaiting = 0;
    // The users the tab opened itself, in order, the rows under each and
    // under all of them.
    std::vector<QTreeWidgetItem*> m_openedUsers;
    std::unordered_set<QTreeWidgetItem*> m_opened;
    QHash<QTreeWidgetItem*, std::size_t> m_userRows;
    std::size_t m_openedRows = 0;
    // Users whose new folders wait for them to open, and folders opened.
    std::unordered_set<QTreeWidgetItem*> m_foldersToOpen;
    quint64 m_foldersOpened = 0;
    std::size_t m_rowsIn = 0;
    QTimer m_putInTimer;
    quint64 m_rowBatches = 0;
    // Rows (the tree's root for the top rows) whose children came since
    // they were last sorted, and the order the tree was last sorted in.
    std::unordered_set<QTreeWidgetItem*> m_unsorted;
    int m_sortedColumn = -1;
    Qt::SortOrder m_sortedOrder = Qt::AscendingOrder;
    quint64 m_groupsSorted = 0;
    int m_mostGroupsExamined = 0;
    bool m_rowsHandedOver = false;
    // Files of each user in this tab, counted as answers are taken.
    QHash<QString, std::size_t> m_userFiles;
    // The filter in force, and for every folder and user row the number of
    // its rows it shows (for a folder the filter rejects: 0). Rows only
    // come while a filter is in force, so the counts only grow until it
    // changes, when they are made again.
    FilterParser m_filter;
    QHash<QTreeWidgetItem const*, int> m_shownRows;
    // The folder the last row went into and what the filter left to test
    // in it (unset: the folder is rejected).
    QTreeWidgetItem const* mp_lastFolder = nullptr;
    std::optional<FilterParser> m_lastRemainder;
    quint64 m_rowsFiltered = 0;
    bool m_alerted = false;

    Ui_SearchResultsForm* mp_ui;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    unsigned int m_token;
    QString m_searchText;
    bool m_isWishList = false;
    bool m_useOldStyle = false;
};

#endif
