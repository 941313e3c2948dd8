#include "ui/chat/SortedRows.h"

#include <QHeaderView>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <algorithm>

std::unordered_map<QTreeWidgetItem const*, RowKey> const* SortedRows::sp_sortKeys = nullptr;

namespace {

// Placing rows one by one costs a binary search and two moves each; past
// one waiting row in this many, one sort of the whole list is cheaper.
constexpr std::size_t ROWS_PER_WAITING_ROW = 32;

} // namespace

SortedRows::SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key, RefreshFunction ip_refresh)
    : QObject(ip_tree), mp_tree(ip_tree), mp_key(ip_key), mp_refresh(ip_refresh)
{
    mp_tree->setSortingEnabled(false);
    // Rows of one line each: the view need not measure every row again
    // when one comes or goes.
    mp_tree->setUniformRowHeights(true);
    QHeaderView* lp_header = mp_tree->header();
    lp_header->setSectionsClickable(true);
    lp_header->setSortIndicatorShown(true);
    connect(lp_header, &QHeaderView::sortIndicatorChanged, this, &SortedRows::OnSortIndicatorChanged);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &SortedRows::Flush);
}

void SortedRows::SortBy(int i_column, Qt::SortOrder i_order)
{
    {
        QSignalBlocker const l_quiet(mp_tree->header());
        mp_tree->header()->setSortIndicator(i_column, i_order);
    }
    SortAll();
}

void SortedRows::OnSortIndicatorChanged(int, Qt::SortOrder)
{
    SortAll();
}

SortedRows::~SortedRows()
{
    for (QTreeWidgetItem* lp_row : m_adding)
        delete lp_row;
}

void SortedRows::Schedule()
{
    if (m_flushTimer.isActive())
        return;
    qint64 const l_since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : BATCH_MS;
    m_flushTimer.start(int(qMax<qint64>(0, BATCH_MS - l_since)));
}

namespace {

bool Take(std::vector<QTreeWidgetItem*>& io_rows, QTreeWidgetItem* ip_row)
{
    auto const l_found = std::find(io_rows.begin(), io_rows.end(), ip_row);
    if (l_found == io_rows.end())
        return false;
    io_rows.erase(l_found);
    return true;
}

} // namespace

void SortedRows::Add(QTreeWidgetItem* ip_row)
{
    m_adding.push_back(ip_row);
    Schedule();
}

void SortedRows::Remove(QTreeWidgetItem* ip_row)
{
    Take(m_moving, ip_row);
    if (Take(m_adding, ip_row)) {
        delete ip_row;
        return;
    }
    m_removing.push_back(ip_row);
    Schedule();
}

void SortedRows::Place(QTreeWidgetItem* ip_row)
{
    // A row still to come is placed as it comes.
    if (ip_row->treeWidget() != mp_tree)
        return;
    m_moving.push_back(ip_row);
    Schedule();
}

void SortedRows::Flush()
{
    Settle(false);
}

void SortedRows::Settle(bool i_sortAll)
{
    m_flushTimer.stop();
    m_sinceFlush.start();
    for (QTreeWidgetItem* lp_row : m_removing)
        delete lp_row;
    m_removing.clear();

    std::vector<QTreeWidgetItem*> l_moving;
    l_moving.swap(m_moving);
    std::sort(l_moving.begin(), l_moving.end());
    l_moving.erase(std::unique(l_moving.begin(), l_moving.end()), l_moving.end());
    std::vector<QTreeWidgetItem*> l_adding;
    l_adding.swap(m_adding);
    if (mp_refresh) {
        for (QTreeWidgetItem* lp_row : l_moving)
            mp_refresh(*lp_row);
        for (QTreeWidgetItem* lp_row : l_adding)
            mp_refresh(*lp_row);
    }
    std::size_t const l_waiting = l_moving.size() + l_adding.size();
    std::size_t const l_rows = std::size_t(mp_tree->topLevelItemCount());
    if (i_sortAll || l_waiting * ROWS_PER_WAITING_ROW > l_rows + l_adding.size()) {
        SortWhole(l_adding);
        return;
    }
    // The moving rows leave first, so that the binary search runs over rows
    // that are all in place.
    QTreeWidgetItem* lp_current = mp_tree->currentItem();
    std::vector<std::pair<QTreeWidgetItem*, bool>> l_placed;
    for (QTreeWidgetItem* lp_row : l_moving) {
        int const l_index = mp_tree->indexOfTopLevelItem(lp_row);
        if (l_index < 0)
            continue;
        bool const l_selected = lp_row->isSelected();
        mp_tree->takeTopLevelItem(l_index);
        l_placed.emplace_back(lp_row, l_selected);
    }
    for (QTreeWidgetItem* lp_row : l_adding)
        l_placed.emplace_back(lp_row, false);
    for (auto const& l_row : l_placed) {
        mp_tree->insertTopLevelItem(PlaceOf(*l_row.first), l_row.first);
        l_row.first->setSelected(l_row.second);
        if (l_row.first == lp_current)
            mp_tree->setCurrentItem(lp_current, 0, QItemSelectionModel::NoUpdate);
    }
}

int SortedRows::PlaceOf(QTreeWidgetItem const& i_row) const
{
    QHeaderView const* lp_header = mp_tree->header();
    int const l_column = lp_header->sortIndicatorSection();
    bool const l_ascending = lp_header->sortIndicatorOrder() == Qt::AscendingOrder;
    RowKey const l_key = mp_key(i_row, l_column);
    // After the rows with an equal key, as a stable sort leaves them.
    int l_low = 0;
    int l_high = mp_tree->topLevelItemCount();
    while (l_low < l_high) {
        int const l_middle = l_low + (l_high - l_low) / 2;
        RowKey const l_other = mp_key(*mp_tree->topLevelItem(l_middle), l_column);
        if (l_ascending ? l_key < l_other : l_other < l_key)
            l_high = l_middle;
        else
            l_low = l_middle + 1;
    }
    return l_low;
}

void SortedRows::SortAll()
{
    Settle(true);
}

void SortedRows::SortWhole(std::vector<QTreeWidgetItem*> const& i_adding)
{
    QHeaderView const* lp_header = mp_tree->header();
    int const l_column = lp_header->sortIndicatorSection();
    Qt::SortOrder const l_order = lp_header->sortIndicatorOrder();
    std::unordered_map<QTreeWidgetItem const*, RowKey> l_keys;
    int const l_rows = mp_tree->topLevelItemCount();
    l_keys.reserve(std::size_t(l_rows) + i_adding.size());
    for (QTreeWidgetItem const* lp_row : i_adding)
        l_keys.emplace(lp_row, mp_key(*lp_row, l_column));
    auto const l_less = [&l_keys, l_order](QTreeWidgetItem const* ip_a, QTreeWidgetItem const* ip_b) {
        return l_order == Qt::AscendingOrder ? l_keys.at(ip_a) < l_keys.at(ip_b) : l_keys.at(ip_b) < l_keys.at(ip_a);
    };
    QList<QTreeWidgetItem*> l_sorted;
    l_sorted.reserve(int(i_adding.size()));
    for (QTreeWidgetItem* lp_row : i_adding)
        l_sorted << lp_row;
    // Into an empty list (a room list or member list arriving whole) the
    // rows go in their order at once.
    std::stable_sort(l_sorted.begin(), l_sorted.end(), l_less);
    mp_tree->addTopLevelItems(l_sorted);
    if (l_rows == 0)
        return;
    for (int l_index = 0; l_index < l_rows; ++l_index) {
        QTreeWidgetItem const* lp_row = mp_tree->topLevelItem(l_index);
        l_keys.emplace(lp_row, mp_key(*lp_row, l_column));
    }
    // The model's own sort keeps the selection and the current row; it
    // compares through the rows' operator<, which reads these keys.
    sp_sortKeys = &l_keys;
    mp_tree->model()->sort(l_column, l_order);
    sp_sortKeys = nullptr;
}

bool SortedRows::Less(QTreeWidgetItem const& i_row, QTreeWidgetItem const& i_other, KeyFunction ip_key)
{
    if (sp_sortKeys) {
        auto const l_row = sp_sortKeys->find(&i_row);
        auto const l_other = sp_sortKeys->find(&i_other);
        if (l_row != sp_sortKeys->end() && l_other != sp_sortKeys->end())
            return l_row->second < l_other->second;
    }
    QTreeWidget const* lp_tree = i_row.treeWidget();
    if (!lp_tree)
        return false;
    int const l_column = lp_tree->header()->sortIndicatorSection();
    return ip_key(i_row, l_column) < ip_key(i_other, l_column);
}
