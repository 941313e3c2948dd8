#include "ui/widgets/TreeWidget.h"

#include <QItemSelectionModel>
#include <QKeyEvent>

TreeWidget::TreeWidget(QWidget* ip_parent)
    : QTreeWidget(ip_parent)
{
}

void TreeWidget::keyPressEvent(QKeyEvent* ip_event)
{
    emit KeyPressed(ip_event);
    QTreeWidget::keyPressEvent(ip_event);
}

namespace {

QTreeWidgetItem* RowOfIndex(QTreeWidget* ip_tree, QModelIndex const& i_index)
{
    return i_index.isValid() ? RowOfIndex(ip_tree, i_index.parent())->child(i_index.row())
                             : ip_tree->invisibleRootItem();
}

} // namespace

QList<QTreeWidgetItem*> SelectedRows(QTreeWidget* ip_tree)
{
    QList<QTreeWidgetItem*> l_rows;
    for (QItemSelectionRange const& l_range : ip_tree->selectionModel()->selection()) {
        QTreeWidgetItem* const lp_parent = RowOfIndex(ip_tree, l_range.parent());
        for (int l_row = l_range.top(); l_row <= l_range.bottom(); ++l_row)
            if (QTreeWidgetItem* const lp_row = lp_parent->child(l_row))
                l_rows << lp_row;
    }
    return l_rows;
}
