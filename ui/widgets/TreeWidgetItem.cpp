#include "ui/widgets/TreeWidgetItem.h"

#include <limits>

ColumnSortingModel::ColumnSortingInfo ColumnSortingModel::GetColumnInfo(int i_column) const
{
    auto l_found = m_columns.find(i_column);
    if (l_found == m_columns.end())
        return ColumnSortingInfo();
    return l_found->second;
}

bool ColumnSortingModel::IsSortingReversed(int i_column) const
{
    return GetColumnInfo(i_column).m_reversed;
}

bool ColumnSortingModel::IsSortingNumeric(int i_column) const
{
    return GetColumnInfo(i_column).m_kind == NUMERIC;
}

ColumnSortingModel::ColumnSortingInfo& ColumnSortingModel::GetColumnInfoReference(int i_column)
{
    return m_columns[i_column];
}

void ColumnSortingModel::SetColumnSortingNumeric(int i_column)
{
    GetColumnInfoReference(i_column).m_kind = NUMERIC;
}

void ColumnSortingModel::SetColumnSortingReversed(int i_column)
{
    GetColumnInfoReference(i_column).m_reversed = true;
}

TreeWidgetItem::TreeWidgetItem(QTreeWidget* ip_tree)
    : QTreeWidgetItem(ip_tree, QTreeWidgetItem::Type)
{
}

qint64 TreeWidgetItem::NumericValue(QString const& i_text)
{
    // A sort reads two cells per comparison: one pass over the text, with
    // no copy of it.
    qint64 l_number = 0;
    for (QChar const l_char : i_text) {
        ushort const l_code = l_char.unicode();
        if (l_code < '0' || l_code > '9')
            continue;
        int const l_digit = l_code - '0';
        if (l_number > (std::numeric_limits<qint64>::max() - l_digit) / 10)
            return 0;
        l_number = l_number * 10 + l_digit;
    }
    return l_number;
}

bool TreeWidgetItem::operator<(QTreeWidgetItem const& i_other) const
{
    QTreeWidget* lp_tree = treeWidget();
    int l_column = lp_tree ? lp_tree->sortColumn() : 0;
    QString l_mine = data(l_column, Qt::DisplayRole).toString();
    QString l_theirs = i_other.data(l_column, Qt::DisplayRole).toString();
    if (!mp_sortingModel)
        return l_mine < l_theirs;

    // One lookup per comparison: a sort makes many.
    ColumnSortingModel::ColumnSortingInfo const l_info = mp_sortingModel->GetColumnInfo(l_column);
    if (l_info.m_reversed)
        l_mine.swap(l_theirs);
    if (l_info.m_kind == ColumnSortingModel::NUMERIC)
        return NumericValue(l_mine) < NumericValue(l_theirs);
    return l_mine < l_theirs;
}
