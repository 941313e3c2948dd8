#include "ui/transfers/ShareTree.h"

#include "ui/transfers/ShareModel.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "shares/SharedFoldersManager.h"
#include "store/FreePages.h"
#include "store/Settings.h"
#include "store/Utilities.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>

namespace {

enum FileColumn { FILE_NAME, FILE_SIZE, FILE_ATTRIBUTES };

// Rows put into the list at once once they are sorted: each insertion
// stays cheap.
int const FILE_ROW_BATCH = 256;
// Files the filter tests in one step; a folder's step stays short whatever
// it holds.
int const FILES_PER_FILTER_STEP = 64;
// Folders read from the store in one step.
std::size_t const FOLDERS_PER_READ = 256;
// Rows that take their state under the filter in one step.
int const ROWS_PER_STATE_STEP = 64;

// A folder's row. It holds its folder and its text: the filter reads both
// for every row at each change of its text (reading the text from the store
// made a change a quarter slower). The view asks the row for its text
// rather than the row keeping a copy for it (a tenth of what a row of
// 2,000,000 cost). A long text is read from the folder's path when asked
// for instead: the store holds the path already, and 20,000 names of a
// kilobyte would be held twice again, as wide characters.
class FolderRowItem : public QTreeWidgetItem
{
public:
    static int const TYPE = QTreeWidgetItem::UserType + 1;
    static int const MAX_KEPT_TEXT = 128;
    explicit FolderRowItem(Item const& i_folder) : FolderRowItem(i_folder, ReadText(i_folder)) {}
    QString Text() const { return m_kept ? m_text : ReadText(m_folder); }
    QVariant data(int i_column, int i_role) const override
    {
        if (i_column == 0 && (i_role == Qt::DisplayRole || i_role == Qt::EditRole))
            return Text();
        return QTreeWidgetItem::data(i_column, i_role);
    }
    Item const m_folder;

private:
    FolderRowItem(Item const& i_folder, QString const& i_text)
        : QTreeWidgetItem(TYPE),
          m_folder(i_folder),
          m_kept(i_text.size() <= MAX_KEPT_TEXT),
          m_text(m_kept ? i_text : QString())
    {
    }
    static QString ReadText(Item const& i_folder)
    {
        return ShareModel::FolderRowText(ShareModel::FolderPath(i_folder));
    }
    bool const m_kept;
    QString const m_text;
};

QString RowText(QTreeWidgetItem* ip_row)
{
    return ip_row->type() == FolderRowItem::TYPE ? static_cast<FolderRowItem*>(ip_row)->Text() : QString();
}

// What orders a folder among its siblings on the browse tab: its whole
// path without regard to case. Siblings share their parent's path, so what
// follows it orders them alike.
QByteArray OrderText(Item const& i_folder)
{
    std::string const l_path = ShareModel::FolderPath(i_folder);
    Item const l_parent = ShareModel::ParentFolder(i_folder);
    std::size_t const l_from = l_parent.IsValid() ? ShareModel::FolderPath(l_parent).size() : 0;
    return ToQString(l_path.substr(std::min(l_from, l_path.size()))).toLower().toUtf8();
}

} // namespace

ShareTree::OrderKey::OrderKey(Item const& i_folder, bool i_ordered) : m_folder(i_folder)
{
    if (!i_ordered)
        return;
    m_head = OrderText(i_folder);
    m_whole = m_head.size() <= HEAD;
    m_head.truncate(HEAD);
    m_head.squeeze();
}

bool ShareTree::OrderKey::operator<(OrderKey const& i_other) const
{
    // Only the start of the text is kept (a list of 20,000 names of a
    // kilobyte would hold them all again for the sort); the rest is read
    // again when two starts are the same.
    if (int const l_order = m_head.compare(i_other.m_head); l_order != 0 || (m_whole && i_other.m_whole))
        return l_order < 0;
    return OrderText(m_folder) < OrderText(i_other.m_folder);
}

namespace {

template <class T> T* ObjectOf(Item const& i_node)
{
    return reinterpret_cast<T*>(static_cast<quintptr>(i_node.AsUInt64()));
}

} // namespace

ShareTree::ShareTree(QTreeWidget* ip_folders, QTreeWidget* ip_files, QLineEdit* ip_filter, QPushButton* ip_filterHelp,
                     FolderOrder i_order, QWidget* ip_page)
    : QObject(ip_page),
      mp_fileNodeType(d["user_share_file_node"]),
      mp_page(ip_page),
      mp_folders(ip_folders),
      mp_files(ip_files),
      mp_filter(ip_filter),
      mp_filterHelp(ip_filterHelp),
      m_order(i_order)
{
    for (QWidget* lp_widget : Widgets())
        lp_widget->hide();
    mp_folders->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_files->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_folders->setSortingEnabled(false);
    mp_folders->setUniformRowHeights(true);
    mp_files->setUniformRowHeights(true);
    mp_folders->setHeaderLabels({QStringLiteral("Folder")});
    mp_files->setColumnCount(3);
    mp_files->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Size"), QStringLiteral("Attributes")});
    mp_files->setColumnWidth(FILE_NAME, 200);
    mp_files->setColumnWidth(FILE_SIZE, 70);
    mp_files->header()->setStretchLastSection(true);
    mp_files->setSortingEnabled(false);
    mp_files->header()->setSortIndicatorShown(true);
    mp_files->header()->setSectionsClickable(true);
    mp_files->header()->setSortIndicator(FILE_NAME, Qt::AscendingOrder);
    connect(mp_files->header(), &QHeaderView::sortIndicatorChanged, this, &ShareTree::OnFileSortChanged);
    m_sortingModel.SetColumnSortingNumeric(FILE_SIZE);
    m_sortingModel.SetColumnSortingNumeric(FILE_ATTRIBUTES);
}

ShareTree::~ShareTree()
{
    for (QTreeWidgetItem* lp_row : m_buried)
        delete lp_row;
    qDeleteAll(m_newFileRows.mid(m_nextNewRow));
    qDeleteAll(m_taken);
}

std::vector<QWidget*> ShareTree::Widgets() const
{
    return {mp_folders, mp_files, mp_filter, mp_filterHelp};
}

// ------------------------------------------------------------------ rows

void ShareTree::SetShare(Item const& i_share)
{
    if (m_takenDown) {
        if (sharedFoldersManager)
            sharedFoldersManager->RemoveShare(i_share);
        return;
    }
    m_share = i_share;
    m_built = false;
    m_maxDepth = 0;
    m_expandLevel = 0;
    m_children.clear();
    m_made.clear();
    // The folders are read a batch at a time: taking a handle to each of
    // 2,000,000 at once held the window 190 ms, and so did the table of
    // rows growing.
    m_folders.clear();
    m_nextFolder = 0;
    m_nextSerial = 0;
    m_rowOfFolder.reserve(i_share.CountItems("user_share_folder"));
    m_opening = IsSettingYes("expand_new_shares");
    m_buildWork.Start([this]() { return BuildStep(); }, [this]() { AttachRows(); });
}

void ShareTree::AddRow(QTreeWidgetItem* ip_parent, QTreeWidgetItem* ip_row)
{
    // The view is hidden until the rows are built, and lays out its rows
    // only once it shows: a row it takes now costs it little, and one that
    // opens only notes that it is open.
    if (ip_parent)
        ip_parent->addChild(ip_row);
    else
        mp_folders->addTopLevelItem(ip_row);
}

bool ShareTree::BuildStep()
{
    if (m_nextFolder == m_folders.size() && m_made.empty() && m_nextSerial != READ) {
        m_folders = m_share.GetItemsFrom("user_share_folder", m_nextSerial, FOLDERS_PER_READ);
        m_nextFolder = 0;
        if (m_folders.empty()) {
            m_nextSerial = READ;
            std::size_t const l_top = m_children[Item()].size();
            m_made.push_back(Making{nullptr, Item(), l_top, 0, nullptr, 0, true});
            m_openRows = std::min<std::size_t>(l_top, MAX_SIBLING_ROWS);
            return true;
        }
        m_nextSerial = m_folders.back().Serial() + 1;
    }
    if (m_nextFolder < m_folders.size()) {
        // First each folder joins its siblings, in their order: the browse
        // tab's is their whole paths' without regard to case, the upload
        // tab's the list's (equal keys keep it).
        Item const& l_folder = m_folders[m_nextFolder++];
        m_children[ShareModel::ParentFolder(l_folder)].emplace(OrderKey(l_folder, m_order == CASE_INSENSITIVE),
                                                               l_folder);
        return true;
    }
    // Then the rows are made depth first, each after its parent and the
    // siblings before it: in the order the filter and the view walk them,
    // which keeps them close together in memory (made in the list's order
    // and sorted after, they made a filter change a fifth slower).
    if (m_made.empty())
        return false;
    Making& l_making = m_made.back();
    auto const l_group = m_children.find(l_making.m_folder);
    if (l_group == m_children.end() || l_group->second.empty()) {
        if (l_group != m_children.end())
            m_children.erase(l_group);
        m_made.pop_back();
        return !m_made.empty();
    }
    Item const l_folder = l_group->second.begin()->second;
    l_group->second.erase(l_group->second.begin());
    QTreeWidgetItem* lp_parent = l_making.mp_row;
    int l_depth = l_making.m_depth;
    bool l_shown = l_making.m_shown;
    if (l_making.m_count > std::size_t(MAX_SIBLING_ROWS)) {
        // The groups stay closed.
        if (l_making.m_made % MAX_SIBLING_ROWS == 0) {
            std::size_t const l_last = std::min(l_making.m_made + MAX_SIBLING_ROWS, l_making.m_count);
            l_making.mp_group = new QTreeWidgetItem(QStringList(QStringLiteral("Folders %1 to %2 of %3")
                                                                    .arg(CommafyNumber(qint64(l_making.m_made + 1)),
                                                                         CommafyNumber(qint64(l_last)),
                                                                         CommafyNumber(qint64(l_making.m_count)))));
            AddRow(lp_parent, l_making.mp_group);
        }
        lp_parent = l_making.mp_group;
        ++l_depth;
        l_shown = false;
    }
    ++l_making.m_made;
    auto* lp_row = new FolderRowItem(l_folder);
    AddRow(lp_parent, lp_row);
    m_rowOfFolder.emplace(l_folder.Body(), lp_row);
    m_maxDepth = std::max(m_maxDepth, l_depth);
    auto const l_below = m_children.find(l_folder);
    std::size_t const l_count = l_below == m_children.end() ? 0 : l_below->second.size();
    // An open row costs the view's layout its rows, and a step for each
    // row above it (some sixteen to a row): 50 chains of folders 2,048
    // deep, opened, took 650 ms to lay out.
    std::size_t const l_cost = std::min<std::size_t>(l_count, MAX_SIBLING_ROWS) + std::size_t(l_depth) / 16;
    bool const l_open = m_opening && l_shown && l_count > 0 && m_openRows + l_cost <= std::size_t(MAX_OPENED_ROWS);
    if (l_open) {
        lp_row->setExpanded(true);
        m_openRows += l_cost;
    }
    m_made.push_back(Making{lp_row, l_folder, l_count, 0, nullptr, l_depth + 1, l_open});
    return true;
}

void ShareTree::AttachRows()
{
    m_folders = std::vector<Item>();
    m_rowOfFolder.rehash(0);
    m_built = true;
    for (QWidget* lp_widget : Widgets())
        lp_widget->show();
    emit Built();
}

Item ShareTree::RowFolder(QTreeWidgetItem* ip_row) const
{
    return ip_row && ip_row->type() == FolderRowItem::TYPE ? static_cast<FolderRowItem*>(ip_row)->m_folder : Item();
}

Item ShareTree::RowFile(QTreeWidgetItem* ip_row) const
{
    return ip_row ? mp_fileNodeType->HasItem(Value(ip_row))["user_share_file"] : Item();
}

QTreeWidgetItem* ShareTree::FolderRow(Item const& i_folder) const
{
    auto const l_row = m_rowOfFolder.find(i_folder.Body());
    return i_folder.IsNull() || l_row == m_rowOfFolder.end() ? nullptr : l_row->second;
}

QTreeWidgetItem* ShareTree::FileRow(Item const& i_file) const
{
    return ObjectOf<QTreeWidgetItem>(i_file["user_share_file_node"]);
}

std::vector<Item> ShareTree::SelectedFiles() const
{
    std::vector<Item> l_files;
    for (QTreeWidgetItem* lp_row : mp_files->selectedItems())
        if (Item const l_file = RowFile(lp_row); l_file.IsValid())
            l_files.push_back(l_file);
    return l_files;
}

bool ShareTree::SelectFolder(std::string const& i_path)
{
    QTreeWidgetItem* lp_row = m_built ? FolderRow(ShareModel::FindFolder(m_share, i_path)) : nullptr;
    if (!lp_row)
        return false;
    mp_folders->scrollToItem(lp_row, QAbstractItemView::PositionAtTop);
    mp_folders->setCurrentItem(lp_row);
    return true;
}

// ------------------------------------------------------------ expanding

void ShareTree::SetExpandLevel(int i_level)
{
    m_expandLevel = i_level;
    if (actionBar)
        actionBar->SetWidgetActionText(mp_page, QStringLiteral("expand_level"),
                                       i_level == 0 ? QStringLiteral("Expand Level")
                                                    : QStringLiteral("Expand Level [%1]").arg(i_level));
}

void ShareTree::ExpandLevel()
{
    // Each step opens the rows of one more level; once the deepest rows
    // show, nothing is left to open.
    if (m_expandLevel >= m_maxDepth)
        return;
    mp_folders->expandToDepth(m_expandLevel);
    SetExpandLevel(m_expandLevel + 1);
}

void ShareTree::CollapseAll()
{
    mp_folders->collapseAll();
    SetExpandLevel(0);
}

void ShareTree::ExpandAll()
{
    mp_folders->expandAll();
    SetExpandLevel(0);
}

bool ShareTree::RunTreeAction(QString const& i_action)
{
    if (i_action == QLatin1String("expand_level"))
        ExpandLevel();
    else if (i_action == QLatin1String("collapse_all"))
        CollapseAll();
    else if (i_action == QLatin1String("expand_all"))
        ExpandAll();
    else
        return false;
    return true;
}

// ---------------------------------------------------------------- filter

int ShareTree::ChildCount(QTreeWidgetItem* ip_row) const
{
    return ip_row ? ip_row->childCount() : mp_folders->topLevelItemCount();
}

QTreeWidgetItem* ShareTree::Child(QTreeWidgetItem* ip_row, int i_index) const
{
    return ip_row ? ip_row->child(i_index) : mp_folders->topLevelItem(i_index);
}

int ShareTree::TestFolderRow(QTreeWidgetItem* ip_row, FilterParser const& i_filter, FilterFrame& o_frame) const
{
    o_frame = FilterFrame{ip_row, FilterParser(), false, 0, {}, 0, 0, 0};
    // A group of subfolders is no folder: it shows when one of them does.
    if (ip_row && ip_row->type() != FolderRowItem::TYPE) {
        o_frame.m_filter = i_filter;
        return FilterParser::INCOMPLETE;
    }
    int const l_result = i_filter.IsMatching(RowText(ip_row), &o_frame.m_filter, Item());
    if (l_result == FilterParser::REJECTED)
        return l_result;
    FilterParser const& l_remainder = o_frame.m_filter;
    if (l_result == FilterParser::MATCH && !l_remainder.HasAttributes() && l_remainder.MinFilesInFolder() == 0) {
        o_frame.m_visible = true;
        return l_result;
    }
    // Otherwise the folder shows by itself only with enough files of its
    // own that pass what its name left of the filter; they are counted in
    // the steps that follow, since one folder may hold a million.
    o_frame.m_needed = std::max(1, l_remainder.MinFilesInFolder());
    o_frame.m_files = RowFolder(ip_row).GetItems("user_share_file");
    return l_result;
}

void ShareTree::StartFilter(FilterFrame i_frame)
{
    m_filterStack.clear();
    m_filterStates.clear();
    m_nextState = 0;
    if (i_frame.mp_row) {
        i_frame.m_state = m_filterStates.size();
        m_filterStates.emplace_back(i_frame.mp_row, false);
    }
    m_filterStack.push_back(std::move(i_frame));
}

bool ShareTree::FilterStep()
{
    if (m_filterStack.empty()) {
        // The walk is through: the rows take their states, parents first,
        // so that the layouts in between soon skip what a hidden parent
        // holds.
        for (int l_count = 0; l_count < ROWS_PER_STATE_STEP && m_nextState < m_filterStates.size(); ++l_count) {
            auto const& l_state = m_filterStates[m_nextState++];
            SetRowHidden(l_state.first, l_state.second);
        }
        if (m_nextState < m_filterStates.size())
            return true;
        m_filterStates.clear();
        m_nextState = 0;
        return false;
    }
    FilterFrame& l_top = m_filterStack.back();
    if (l_top.m_nextFile < l_top.m_files.size()) {
        for (int l_count = 0; l_count < FILES_PER_FILTER_STEP && l_top.m_nextFile < l_top.m_files.size(); ++l_count) {
            Item const& l_file = *(l_top.m_files.begin() + std::ptrdiff_t(l_top.m_nextFile++));
            if (l_top.m_filter.IsMatching(l_file["user_share_file_name"].AsString(), nullptr, l_file) ==
                    FilterParser::MATCH &&
                ++l_top.m_matching >= l_top.m_needed) {
                l_top.m_visible = true;
                l_top.m_nextFile = l_top.m_files.size();
            }
        }
        if (l_top.m_nextFile >= l_top.m_files.size())
            l_top.m_files = ItemSet();
        return true;
    }
    if (l_top.m_nextChild < ChildCount(l_top.mp_row)) {
        QTreeWidgetItem* lp_child = Child(l_top.mp_row, l_top.m_nextChild++);
        FilterFrame l_frame;
        // A rejected folder goes with everything under it, unvisited.
        bool const l_rejected = TestFolderRow(lp_child, l_top.m_filter, l_frame) == FilterParser::REJECTED;
        l_frame.m_state = m_filterStates.size();
        m_filterStates.emplace_back(lp_child, l_rejected);
        if (!l_rejected)
            m_filterStack.push_back(std::move(l_frame));
        return true;
    }
    // Every subfolder is through: a shown one shows its parent too.
    FilterFrame const l_done = std::move(m_filterStack.back());
    m_filterStack.pop_back();
    m_lastFilterResult = l_done.m_visible;
    if (l_done.mp_row)
        m_filterStates[l_done.m_state].second = !l_done.m_visible;
    if (l_done.m_visible && !m_filterStack.empty())
        m_filterStack.back().m_visible = true;
    return true;
}

bool ShareTree::FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser const& i_filter)
{
    FilterFrame l_frame;
    if (TestFolderRow(ip_row, i_filter, l_frame) == FilterParser::REJECTED) {
        SetRowHidden(ip_row, true);
        return false;
    }
    // A walk of its own, so that a whole-tree walk in progress keeps its
    // place.
    std::vector<FilterFrame> l_saved;
    l_saved.swap(m_filterStack);
    std::vector<std::pair<QTreeWidgetItem*, bool>> l_savedStates;
    l_savedStates.swap(m_filterStates);
    std::size_t const l_savedNext = m_nextState;
    StartFilter(std::move(l_frame));
    while (FilterStep()) {
    }
    m_filterStack.swap(l_saved);
    m_filterStates.swap(l_savedStates);
    m_nextState = l_savedNext;
    return m_lastFilterResult;
}

void ShareTree::ApplyFilter(QString const& i_text)
{
    FilterParser l_filter;
    l_filter.Parse(i_text);
    StartFilter(FilterFrame{nullptr, l_filter, false, 0, {}, 0, 0, 0});
    m_filterWork.Start([this]() { return FilterStep(); }, [this]() { OnFilterWalked(); });
}

bool ShareTree::IsShownWithAncestors(QTreeWidgetItem* ip_row) const
{
    for (QTreeWidgetItem* lp_row = ip_row; lp_row; lp_row = lp_row->parent())
        if (m_hiddenRows.count(lp_row))
            return false;
    return true;
}

void ShareTree::SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden)
{
    // Asking the view whether a row is hidden costs about as much as
    // hiding it; the rows' states are kept here instead, and a row that
    // keeps its state costs nothing.
    if (i_hidden ? !m_hiddenRows.insert(ip_row).second : m_hiddenRows.erase(ip_row) == 0)
        return;
    ip_row->setHidden(i_hidden);
}

void ShareTree::OnFilterWalked()
{
    QTreeWidgetItem* lp_current = mp_folders->currentItem();
    if (lp_current) {
        if (IsShownWithAncestors(lp_current))
            ShowFiles(lp_current);
        else
            ClearFileList();
    }
    emit FilterApplied();
}

// ------------------------------------------------------------- file list

void ShareTree::ShowFiles(QTreeWidgetItem* ip_current)
{
    ClearFileList();
    Item const l_folder = RowFolder(ip_current);
    if (l_folder.IsNull())
        return;
    // The include words that the folder's name or a name above it holds are
    // used up; an excluded word there leaves the list empty, as the folder
    // is hidden.
    FilterParser l_filter;
    l_filter.Parse(mp_filter->text());
    for (QTreeWidgetItem* lp_row = ip_current; lp_row; lp_row = lp_row->parent()) {
        if (lp_row->type() != FolderRowItem::TYPE)
            continue;
        FilterParser l_remainder;
        if (l_filter.IsMatching(RowText(lp_row), &l_remainder, Item()) == FilterParser::REJECTED)
            return;
        l_filter = l_remainder;
    }
    m_fileFilter = l_filter;
    ItemSet const l_files = l_folder.GetItems("user_share_file");
    m_fillFiles.assign(l_files.begin(), l_files.end());
    m_nextFile = 0;
    m_fill = Fill::Make;
    m_fileKeys.clear();
    m_sortColumn = mp_files->header()->sortIndicatorSection();
    ColumnSortingModel::ColumnSortingInfo const l_info = m_sortingModel.GetColumnInfo(m_sortColumn);
    m_sortNumeric = l_info.m_kind == ColumnSortingModel::NUMERIC;
    m_sortForward = (mp_files->header()->sortIndicatorOrder() == Qt::AscendingOrder) != l_info.m_reversed;
    m_fillWork.Start([this]() { return FillStep(); }, [this]() {
        m_fillFiles.clear();
        m_newFileRows.clear();
        m_nextNewRow = 0;
        for (QTreeWidgetItem* lp_row : m_rowsToSelect)
            lp_row->setSelected(true);
        m_rowsToSelect.clear();
        m_selectedFiles.clear();
    });
}

bool ShareTree::FillStep()
{
    switch (m_fill) {
    case Fill::Make:
        if (m_nextFile < m_fillFiles.size()) {
            Item const& l_file = m_fillFiles[m_nextFile++];
            QString const l_name = l_file["user_share_file_name"].AsString();
            if (m_fileFilter.IsMatching(l_name, nullptr, l_file) == FilterParser::MATCH) {
                TreeWidgetItem* lp_row = new TreeWidgetItem(nullptr);
                lp_row->setText(FILE_NAME, l_name);
                lp_row->setText(FILE_SIZE, CommafyNumber(l_file["file_size"].AsInt64()));
                lp_row->setText(FILE_ATTRIBUTES, SharedFoldersManager::GetFileItemDisplayString(l_file));
                lp_row->SetSortingModel(&m_sortingModel);
                mp_fileNodeType->GetItem(Value(static_cast<QTreeWidgetItem*>(lp_row))) += l_file;
                m_newFileRows << lp_row;
                // The row's own order (TreeWidgetItem), on a key read once:
                // comparing the rows reads both cells through their data.
                FileKey l_key;
                l_key.mp_row = lp_row;
                if (m_sortNumeric)
                    l_key.m_number = TreeWidgetItem::NumericValue(lp_row->text(m_sortColumn));
                else if (m_sortColumn >= 0)
                    l_key.m_text = lp_row->text(m_sortColumn);
                m_fileKeys.push_back(std::move(l_key));
                if (m_selectedFiles.count(l_file.Body()) > 0)
                    m_rowsToSelect << lp_row;
            }
            return true;
        }
        StartFileSort();
        m_fill = Fill::Sort;
        return true;
    case Fill::Sort:
        if (m_fileSort.Step())
            return true;
        m_newFileRows.clear();
        for (FileKey const& l_key : m_fileSort.Take())
            m_newFileRows << l_key.mp_row;
        m_nextNewRow = 0;
        m_fill = Fill::Put;
        return true;
    case Fill::Put: {
        QList<QTreeWidgetItem*> const l_rows = m_newFileRows.mid(m_nextNewRow, FILE_ROW_BATCH);
        m_nextNewRow += l_rows.size();
        if (!l_rows.isEmpty())
            mp_files->addTopLevelItems(l_rows);
        return m_nextNewRow < m_newFileRows.size();
    }
    }
    return false;
}

void ShareTree::StartFileSort()
{
    // Equal keys keep the list's order, either way round.
    bool const l_numeric = m_sortNumeric;
    bool const l_forward = m_sortForward;
    m_fileSort.Start(std::move(m_fileKeys), [l_numeric, l_forward](FileKey const& i_a, FileKey const& i_b) {
        FileKey const& l_a = l_forward ? i_a : i_b;
        FileKey const& l_b = l_forward ? i_b : i_a;
        return l_numeric ? l_a.m_number < l_b.m_number : l_a.m_text < l_b.m_text;
    });
    m_fileKeys = {};
}

void ShareTree::OnFileSortChanged()
{
    QTreeWidgetItem* lp_current = mp_folders->currentItem();
    if (!lp_current || (mp_files->topLevelItemCount() == 0 && !m_fillWork.IsRunning()))
        return;
    m_selectedFiles.clear();
    for (QTreeWidgetItem* lp_row : mp_files->selectedItems())
        if (Item const l_file = RowFile(lp_row); l_file.IsValid())
            m_selectedFiles.insert(l_file.Body());
    ShowFiles(lp_current);
}

void ShareTree::ClearFileList()
{
    m_fillWork.Stop();
    m_fillFiles.clear();
    m_fileSort.Start({}, {});
    m_fileKeys.clear();
    m_rowsToSelect.clear();
    // The rows leave the list at once and die with their bindings in
    // slices; an address is free for a new row only once its binding is
    // gone.
    for (QTreeWidgetItem* lp_row : mp_files->invisibleRootItem()->takeChildren() + m_newFileRows.mid(m_nextNewRow))
        m_buried.push_back(lp_row);
    m_newFileRows.clear();
    m_nextNewRow = 0;
    if (!m_buried.empty() && !m_buryWork.IsRunning())
        m_buryWork.Start([this]() { return BuryStep(); });
}

bool ShareTree::BuryStep()
{
    if (m_buried.empty())
        return false;
    QTreeWidgetItem* lp_row = m_buried.back();
    m_buried.pop_back();
    mp_fileNodeType->HasItem(Value(lp_row)).Remove();
    delete lp_row;
    return !m_buried.empty();
}

// -------------------------------------------------------------- commands

void ShareTree::ForEachFileOfTree(Item const& i_folder, FileCommand i_command)
{
    if (i_folder.IsValid())
        QueueCommand(Command{{Unit{i_folder, 0, true}}, std::make_shared<FileCommand const>(std::move(i_command))});
}

void ShareTree::ForEachFile(std::vector<Item> const& i_files, FileCommand i_command)
{
    Command l_command{{}, std::make_shared<FileCommand const>(std::move(i_command))};
    for (Item const& l_file : i_files)
        l_command.m_units.push_back(Unit{l_file, 0, false});
    QueueCommand(std::move(l_command));
}

void ShareTree::QueueCommand(Command i_command)
{
    m_commands.push_back(std::move(i_command));
    if (!m_commandWork.IsRunning())
        m_commandWork.Start([this]() { return CommandStep(); });
}

bool ShareTree::IsIdle() const
{
    return m_commands.empty() && !m_commandWork.IsRunning();
}

// Commands a closed tab left, going on by themselves; owned by the
// application, so that they go with it at the latest.
class ShareTree::CommandsLeft : public QObject
{
public:
    CommandsLeft(std::deque<Command> i_commands, std::function<void()> i_done)
        : QObject(QCoreApplication::instance()), m_commands(std::move(i_commands)), m_done(std::move(i_done)),
          m_work(this)
    {
        s_left.push_back(this);
        // The tab's closing has had its turn already.
        m_work.StartNextTurn([this]() { return CommandStep(m_commands); },
            [this]() { End(); });
    }
    ~CommandsLeft() override { s_left.removeOne(this); }

    void Finish() { m_work.Finish(); }

    static QList<CommandsLeft*> s_left;

private:
    void End()
    {
        s_left.removeOne(this);
        std::function<void()> const l_done = std::move(m_done);
        deleteLater();
        if (l_done)
            l_done();
    }

    std::deque<Command> m_commands;
    std::function<void()> m_done;
    SlicedWork m_work;
};

QList<ShareTree::CommandsLeft*> ShareTree::CommandsLeft::s_left;

bool ShareTree::FinishCommandsLater(std::function<void()> i_done)
{
    if (IsIdle())
        return false;
    m_commandWork.Stop();
    new CommandsLeft(std::move(m_commands), std::move(i_done));
    m_commands.clear();
    return true;
}

void ShareTree::FinishCommandsHandedOver()
{
    for (CommandsLeft* lp_left : QList<CommandsLeft*>(CommandsLeft::s_left))
        lp_left->Finish();
}

bool ShareTree::CommandStep(std::deque<Command>& io_commands)
{
    while (!io_commands.empty() && io_commands.front().m_units.empty())
        io_commands.pop_front();
    if (io_commands.empty())
        return false;
    Command& l_command = io_commands.front();
    Unit const l_unit = l_command.m_units.front();
    l_command.m_units.pop_front();
    // A file or folder removed meanwhile (its tab closed) is passed over.
    if (l_unit.m_item.IsNull())
        return true;
    if (!l_unit.m_isFolder) {
        std::shared_ptr<FileCommand const> const lp_run = l_command.mp_run;
        (*lp_run)(l_unit.m_item, l_unit.m_depth);
        return true;
    }
    // The folder's own files first, then each subfolder's tree, before
    // whatever followed the folder.
    std::vector<Item> const l_subfolders = ShareModel::Subfolders(l_unit.m_item);
    for (auto l_at = l_subfolders.rbegin(); l_at != l_subfolders.rend(); ++l_at)
        l_command.m_units.push_front(Unit{*l_at, l_unit.m_depth + 1, true});
    ItemSet const l_files = l_unit.m_item.GetItems("user_share_file");
    for (auto l_at = l_files.end(); l_at != l_files.begin();)
        l_command.m_units.push_front(Unit{*--l_at, l_unit.m_depth, false});
    return true;
}

// ----------------------------------------------------------------- close

void ShareTree::StopWalks()
{
    m_buildWork.Stop();
    m_filterWork.Stop();
    m_commandWork.Stop();
    m_commands.clear();
    m_children.clear();
    m_made.clear();
    m_filterStack.clear();
    m_filterStates.clear();
}

void ShareTree::Forget()
{
    StopWalks();
    m_downWork.Stop();
    ClearFileList();
    m_buryWork.Finish();
}

void ShareTree::TakeDown(std::function<void()> i_gone)
{
    if (m_takenDown)
        return;
    m_takenDown = true;
    m_gone = std::move(i_gone);
    StopWalks();
    ClearFileList();
    // The page is out of sight: the view lays out nothing until it is
    // shown again, and a row that closes or shows meanwhile only has its
    // note dropped, once the view knows it must lay out anew (which a row
    // shown again tells it).
    mp_folders->blockSignals(true);
    for (QWidget* lp_widget : Widgets())
        lp_widget->hide();
    mp_folders->clearSelection();
    mp_folders->setCurrentItem(nullptr);
    if (QTreeWidgetItem* lp_first = mp_folders->topLevelItem(0))
        lp_first->setHidden(lp_first->isHidden());
    m_down = Down::Unhide;
    m_downStack.assign(1, {nullptr, 0});
    // After the turn that closed the tab, which has work of its own.
    m_downWork.StartNextTurn([this]() { return TakeDownStep(); }, [this]() {
        std::function<void()> const l_gone = std::move(m_gone);
        if (l_gone)
            l_gone();
    });
}

bool ShareTree::TakeDownStep()
{
    switch (m_down) {
    case Down::Unhide:
        if (!m_hiddenRows.empty()) {
            QTreeWidgetItem* lp_row = *m_hiddenRows.begin();
            m_hiddenRows.erase(m_hiddenRows.begin());
            lp_row->setHidden(false);
            return true;
        }
        m_down = Down::Close;
        return true;
    case Down::Close: {
        // Every row, parents first.
        auto& l_top = m_downStack.back();
        if (l_top.second < ChildCount(l_top.first)) {
            QTreeWidgetItem* lp_child = Child(l_top.first, l_top.second++);
            if (lp_child->childCount() > 0) {
                lp_child->setExpanded(false);
                m_downStack.emplace_back(lp_child, 0);
            }
            return true;
        }
        m_downStack.pop_back();
        if (m_downStack.empty()) {
            m_down = Down::Take;
            m_downStack.assign(1, {nullptr, 0});
        }
        return true;
    }
    case Down::Take: {
        // A row's subfolders go once theirs have gone, all in one removal
        // from the model (at most MAX_SIBLING_ROWS of them).
        auto& l_top = m_downStack.back();
        if (l_top.second < ChildCount(l_top.first)) {
            QTreeWidgetItem* lp_child = Child(l_top.first, l_top.second++);
            if (lp_child->childCount() > 0)
                m_downStack.emplace_back(lp_child, 0);
            return true;
        }
        QTreeWidgetItem* lp_row = l_top.first ? l_top.first : mp_folders->invisibleRootItem();
        QList<QTreeWidgetItem*> const l_rows = lp_row->takeChildren();
        m_taken.insert(m_taken.end(), l_rows.begin(), l_rows.end());
        m_downStack.pop_back();
        if (m_downStack.empty())
            m_down = Down::Delete;
        return true;
    }
    case Down::Delete:
        for (int l_count = 0; l_count < ROWS_PER_STATE_STEP && !m_taken.empty(); ++l_count) {
            QTreeWidgetItem* lp_row = m_taken.back();
            m_taken.pop_back();
            if (lp_row->type() == FolderRowItem::TYPE)
                m_rowOfFolder.erase(static_cast<FolderRowItem*>(lp_row)->m_folder.Body());
            delete lp_row;
        }
        MergeFreedBlocks();
        if (!m_taken.empty())
            return true;
        // The file rows' bindings too, before the page may go.
        if (!m_buried.empty()) {
            BuryStep();
            return true;
        }
        m_buryWork.Stop();
        m_rowOfFolder = {};
        return false;
    }
    return false;
}
