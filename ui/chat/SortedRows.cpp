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

SortedRows::SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key)
    : QObject(ip_tree), mp_tree(ip_tree), mp_key(ip_key)
{
    mp_tree->setSortingEnabled(false);
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

void SortedRows::Place(QTreeWidgetItem* ip_row)
{
    m_waiting.push_back(ip_row);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void SortedRows::Forget(QTreeWidgetItem* ip_row)
{
    m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), ip_row), m_waiting.end());
}

void SortedRows::Flush()
{
    m_flushTimer.stop();
    std::vector<QTreeWidgetItem*> l_waiting;
    l_waiting.swap(m_waiting);
    std::sort(l_waiting.begin(), l_waiting.end());
    l_waiting.erase(std::unique(l_waiting.begin(), l_waiting.end()), l_waiting.end());
    if (l_waiting.empty())
        return;
    if (l_waiting.size() * ROWS_PER_WAITING_ROW > std::size_t(mp_tree->topLevelItemCount())) {
        SortAll();
        return;
    }
    // The waiting rows leave first, so that the binary search runs over
    // rows that are all in place.
    QTreeWidgetItem* lp_current = mp_tree->currentItem();
    std::vector<std::pair<QTreeWidgetItem*, bool>> l_taken;
    for (QTreeWidgetItem* lp_row : l_waiting) {
        int const l_index = mp_tree->indexOfTopLevelItem(lp_row);
        if (l_index < 0)
            continue;
        bool const l_selected = lp_row->isSelected();
        mp_tree->takeTopLevelItem(l_index);
        l_taken.emplace_back(lp_row, l_selected);
    }
    for (auto const& l_row : l_taken) {
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
    m_waiting.clear();
    m_flushTimer.stop();
    QHeaderView const* lp_header = mp_tree->header();
    int const l_column = lp_header->sortIndicatorSection();
    std::unordered_map<QTreeWidgetItem const*, RowKey> l_keys;
    int const l_rows = mp_tree->topLevelItemCount();
    l_keys.reserve(std::size_t(l_rows));
    for (int l_index = 0; l_index < l_rows; ++l_index) {
        QTreeWidgetItem const* lp_row = mp_tree->topLevelItem(l_index);
        l_keys.emplace(lp_row, mp_key(*lp_row, l_column));
    }
    // The model's own sort keeps the selection and the current row; it
    // compares through the rows' operator<, which reads these keys.
    sp_sortKeys = &l_keys;
    mp_tree->model()->sort(l_column, lp_header->sortIndicatorOrder());
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
