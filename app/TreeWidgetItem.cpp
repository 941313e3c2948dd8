#include "app/TreeWidgetItem.h"

#include <QRegularExpression>

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
    static QRegularExpression const s_nonDigits(QStringLiteral("[^0-9]+"));
    QString l_digits = i_text;
    l_digits.remove(s_nonDigits);
    bool l_ok = false;
    qint64 l_number = l_digits.toLongLong(&l_ok);
    return l_ok ? l_number : 0;
}

bool TreeWidgetItem::operator<(QTreeWidgetItem const& i_other) const
{
    QTreeWidget* lp_tree = treeWidget();
    int l_column = lp_tree ? lp_tree->sortColumn() : 0;
    QString l_mine = data(l_column, Qt::DisplayRole).toString();
    QString l_theirs = i_other.data(l_column, Qt::DisplayRole).toString();
    if (!mp_sortingModel)
        return l_mine < l_theirs;

    if (mp_sortingModel->IsSortingReversed(l_column))
        l_mine.swap(l_theirs);
    if (mp_sortingModel->IsSortingNumeric(l_column))
        return NumericValue(l_mine) < NumericValue(l_theirs);
    return l_mine < l_theirs;
}
