#ifndef QUILLMAR_UI_TRANSFERS_SHARETREE_H
#define QUILLMAR_UI_TRANSFERS_SHARETREE_H

// What the browse tab of another user's share (ShareForm.h) and the upload
// tab of our own (UploadForm.h) have in common: a share's folders as a
// tree, the current folder's files as a sortable list, the filter language
// over both (ui/search/FilterParser.h), the expand commands, and the walks
// that queue a folder tree's files. The model is ShareModel.h's.
//
// A folder row holds its folder and the tree finds it again by the folder;
// file rows are bound to the store by node items keyed by their address
// ("user_share_file_node", declared by SharesForm::Init). Every walk that
// grows with the share runs in slices (SlicedWork.h): building the rows,
// taking them down, filtering, filling the file list (its rows sorted
// before they go in), clearing it, and the commands, which queue behind
// each other in the order they were given.
//
// The view lays out every row it shows in one go, whenever rows come, go
// or change their state (some 90 ns a row: 2,000,000 rows held the window
// 180 ms). So it is shown no more than MAX_SIBLING_ROWS rows side by side
// (more subfolders of one folder go into groups of that many, which open
// like folders) and a new tree opens its folders, depth first, only as
// long as MAX_OPENED_ROWS rows show (a row deep down counting more, since
// the view's layout also goes up through its parents).

#include "store/Data.h"
#include "ui/search/FilterParser.h"
#include "store/SlicedWork.h"
#include "ui/widgets/SlicedSort.h"
#include "ui/widgets/TreeWidgetItem.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class ShareTree : public QObject
{
    Q_OBJECT

public:
    // The order of sibling folders: by their full paths compared without
    // case (the browse tab), or byte by byte as the list came (the upload
    // tab, whose list is our own index's).
    enum FolderOrder { CASE_INSENSITIVE, BY_BYTES };

    // The widgets are the page's; the tree sets up their columns and hides
    // them until its rows are built.
    ShareTree(QTreeWidget* ip_folders, QTreeWidget* ip_files, QLineEdit* ip_filter, QPushButton* ip_filterHelp,
              FolderOrder i_order, QWidget* ip_page);
    ~ShareTree() override;

    static int const MAX_SIBLING_ROWS = 10000;
    static int const MAX_OPENED_ROWS = 100000;

    // Builds the rows of the share's folders (in slices; Built once all are
    // in the tree). The filter box is not applied: a new tree shows every
    // folder until the filter text next changes. Once the tree is being
    // taken down, the share is removed instead.
    void SetShare(Item const& i_share);
    Item Share() const { return m_share; }
    bool IsBuilt() const { return m_built; }
    int MaxDepth() const { return m_maxDepth; }
    int ExpandLevelReached() const { return m_expandLevel; }

    // The commands of the action "expand_level" and its two companions;
    // each sets the text the action takes for the page.
    void ExpandLevel();
    void CollapseAll();
    void ExpandAll();
    // The page's tool-bar action, when it is one of those three.
    bool RunTreeAction(QString const& i_action);

    // The file list of the current folder under the filter box's text.
    void ShowFiles(QTreeWidgetItem* ip_current);
    // The file list is being filled (tests and benchmarks wait for its end).
    bool IsListing() const { return m_fillWork.IsRunning(); }
    // The most rows the sort of the file list placed in one step, since
    // the list was last filled.
    std::size_t LongestSortStep() const { return m_fileSort.LongestStep(); }
    // The filter over the whole tree (in slices), then the file list again;
    // FilterApplied once done.
    void ApplyFilter(QString const& i_text);
    // The filter over one row and everything under it, at once: whether the
    // row stays visible.
    bool FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser const& i_filter);

    // Makes the folder of that exact path (bytes, separators and case) the
    // current row, at the top of the view; false, changing nothing, when
    // the share has no such folder or its row is not built yet.
    bool SelectFolder(std::string const& i_path);

    Item RowFolder(QTreeWidgetItem* ip_row) const;
    Item RowFile(QTreeWidgetItem* ip_row) const;
    QTreeWidgetItem* FolderRow(Item const& i_folder) const;
    QTreeWidgetItem* FileRow(Item const& i_file) const;
    // The files of the selected file rows, in selection order.
    std::vector<Item> SelectedFiles() const;

    // A command for one file; i_depth is 0 for the chosen folder's own
    // files (and for single files), 1 one level down, and so on.
    typedef std::function<void(Item const& i_file, int i_depth)> FileCommand;
    // The folder's own files in name order (the order the list gave them),
    // then each subfolder's tree in turn, depth first.
    void ForEachFileOfTree(Item const& i_folder, FileCommand i_command);
    void ForEachFile(std::vector<Item> const& i_files, FileCommand i_command);
    // No command left to run (tests and benchmarks wait for this).
    bool IsIdle() const;
    // Runs what is left of the commands at once.
    void FinishCommands() { m_commandWork.Finish(); }
    // The tab closes with commands left: they go on without the tree, in
    // slices from the next turn of the event loop on, and i_done runs after
    // the last (the files they visit must stay until then). False, with
    // nothing kept, when none is left.
    bool FinishCommandsLater(std::function<void()> i_done);
    // Runs every command handed over that way to its end, here and now: the
    // window does so before its last save.
    static void FinishCommandsHandedOver();

    // Drops the file rows' bindings and stops every walk; the page goes.
    void Forget();
    // The page closes: stops every walk and takes the rows out of the view
    // and deletes them, in slices; i_gone runs once the last is gone.
    void TakeDown(std::function<void()> i_gone);
    bool IsTakenDown() const { return m_takenDown; }

signals:
    void Built();
    void FilterApplied();

private:
    // One queued command: its files and folders still to visit, the next
    // at the front.
    struct Unit
    {
        Item m_item;
        int m_depth;
        bool m_isFolder;
    };
    struct Command
    {
        std::deque<Unit> m_units;
        // Shared, so that a command that clears the queue does not destroy
        // the function it runs in.
        std::shared_ptr<FileCommand const> mp_run;
    };
    // A row under the filter, while the walk is inside it: its own files
    // counted first (when its name alone does not show it), then its
    // subfolders.
    struct FilterFrame
    {
        QTreeWidgetItem* mp_row = nullptr; // null: the invisible root
        FilterParser m_filter;             // what its files and subfolders are tested with
        bool m_visible = false;
        int m_nextChild = 0;
        ItemSet m_files;
        std::size_t m_nextFile = 0;
        int m_matching = 0;
        int m_needed = 0;
        std::size_t m_state = 0; // its entry in m_filterStates
    };

    bool BuildStep();
    void AttachRows();
    // The view takes a row (or a group of rows) under ip_parent (null: the
    // top).
    void AddRow(QTreeWidgetItem* ip_parent, QTreeWidgetItem* ip_row);
    bool TakeDownStep();
    void StopWalks();
    bool FilterStep();
    // The row's own name under the filter: 2 rejects it with its subtree;
    // otherwise its frame, visible already or with its files to count.
    int TestFolderRow(QTreeWidgetItem* ip_row, FilterParser const& i_filter, FilterFrame& o_frame) const;
    void StartFilter(FilterFrame i_frame);
    void OnFilterWalked();
    bool FillStep();
    // Sorts the keys of the rows made, in the order the header showed when
    // the list began.
    void StartFileSort();
    // A click on the list's header: the list is made again in that order.
    void OnFileSortChanged();
    void ClearFileList();
    bool BuryStep();
    class CommandsLeft;
    void QueueCommand(Command i_command);
    bool CommandStep() { return CommandStep(m_commands); }
    static bool CommandStep(std::deque<Command>& io_commands);
    int ChildCount(QTreeWidgetItem* ip_row) const;
    QTreeWidgetItem* Child(QTreeWidgetItem* ip_row, int i_index) const;
    bool IsShownWithAncestors(QTreeWidgetItem* ip_row) const;
    void SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden);
    void SetExpandLevel(int i_level);
    // What shows only once the rows are built.
    std::vector<QWidget*> Widgets() const;

    Type* mp_fileNodeType;
    QWidget* mp_page;
    QTreeWidget* mp_folders;
    QTreeWidget* mp_files;
    QLineEdit* mp_filter;
    QPushButton* mp_filterHelp;
    FolderOrder m_order;
    ColumnSortingModel m_sortingModel;
    Item m_share;
    bool m_built = false;
    int m_maxDepth = 0;
    int m_expandLevel = 0;

    // Building: the folders in the list's order, a batch at a time, the
    // next to join its siblings, each folder's subfolders (the top's under
    // the null item) by their order keys until their rows are made, and the
    // rows made down to the one whose subfolders are being made (the first:
    // the top). Rows go into the hidden view as they are made.
    SlicedWork m_buildWork;
    std::vector<Item> m_folders; // a batch
    std::size_t m_nextFolder = 0;
    static constexpr std::uint64_t READ = ~std::uint64_t(0);
    std::uint64_t m_nextSerial = 0; // of the next batch; READ once all are

    struct OrderKey
    {
        OrderKey(Item const& i_folder, bool i_ordered);
        bool operator<(OrderKey const& i_other) const;
        static int const HEAD = 48;
        Item m_folder;
        QByteArray m_head;   // the start of its order text (none: the list's order)
        bool m_whole = true; // the text ends there
    };
    std::map<Item, std::multimap<OrderKey, Item>> m_children;
    // A row whose subfolders' rows are being made (null: the top): how many
    // it has and has made, the group row the next goes into, the depth of
    // its subfolders' rows, and whether they show.
    struct Making
    {
        QTreeWidgetItem* mp_row;
        Item m_folder;
        std::size_t m_count;
        std::size_t m_made;
        QTreeWidgetItem* mp_group;
        int m_depth;
        bool m_shown;
    };
    std::vector<Making> m_made;
    bool m_opening = false;     // "expand_new_shares"
    std::size_t m_openRows = 0; // what the rows opened so far cost the layout
    std::unordered_map<ItemBody*, QTreeWidgetItem*> m_rowOfFolder;

    // Taking down: every row closed and shown first (an open or hidden row
    // is a persistent index, which each removal from the model visits),
    // then the rows taken out a folder's subfolders at a time, deepest
    // first, then deleted.
    SlicedWork m_downWork;
    bool m_takenDown = false;
    enum class Down { Unhide, Close, Take, Delete };
    Down m_down = Down::Unhide;
    std::vector<std::pair<QTreeWidgetItem*, int>> m_downStack; // row, next child
    std::vector<QTreeWidgetItem*> m_taken;
    std::function<void()> m_gone;

    // The filter first walks the rows, noting whether each is to be hidden,
    // top-down; then it hides and shows them in that order. Hiding a row
    // makes the view lay out its rows again at the next turn of the event
    // loop: done as the walk went, every slice was followed by a layout of
    // all 20,000 rows of a large share, two fifths of a filter change.
    SlicedWork m_filterWork;
    std::vector<FilterFrame> m_filterStack;
    std::vector<std::pair<QTreeWidgetItem*, bool>> m_filterStates; // row, hidden
    std::size_t m_nextState = 0;
    bool m_lastFilterResult = false; // of the last row the walk left
    std::unordered_set<QTreeWidgetItem*> m_hiddenRows;

    // The file list: the folder being listed, its files still to test, the
    // filter they are tested with, the rows made and not yet in the list
    // (those before m_nextNewRow are in). The view's own sort is off: it
    // sorts every row in one go, when sorting is turned on and after every
    // batch while it is on, so the rows are made, sorted here in steps and
    // put in in their order; the header shows and sets the order.
    SlicedWork m_fillWork;
    std::vector<Item> m_fillFiles;
    std::size_t m_nextFile = 0;
    FilterParser m_fileFilter;
    enum class Fill { Make, Sort, Put };
    Fill m_fill = Fill::Make;
    QList<QTreeWidgetItem*> m_newFileRows;
    int m_nextNewRow = 0;
    struct FileKey
    {
        QString m_text;
        qint64 m_number = 0;
        QTreeWidgetItem* mp_row = nullptr;
    };
    std::vector<FileKey> m_fileKeys; // of the rows made, in their order
    int m_sortColumn = 0;
    bool m_sortNumeric = false;
    bool m_sortForward = true;
    SlicedSort<FileKey> m_fileSort;
    // The files whose rows were selected when the list was made again in
    // another order, and their new rows.
    std::unordered_set<ItemBody*> m_selectedFiles;
    QList<QTreeWidgetItem*> m_rowsToSelect;
    // Rows taken out of the list, deleted with their bindings in slices.
    SlicedWork m_buryWork;
    std::vector<QTreeWidgetItem*> m_buried;

    SlicedWork m_commandWork;
    std::deque<Command> m_commands;
};

#endif
