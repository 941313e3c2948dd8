#ifndef QUILLMAR_UI_WIDGETS_TREEWIDGETITEM_H
#define QUILLMAR_UI_WIDGETS_TREEWIDGETITEM_H

#include <QTreeWidgetItem>

#include <map>

// How each column of a tree sorts: as text (the default) or as a number, and
// whether the order is turned round. A form configures its model once and
// keeps it alive for as long as its rows exist.
class ColumnSortingModel
{
public:
    enum SortKind { TEXT = 0, NUMERIC = 1 };

    struct ColumnSortingInfo
    {
        int m_kind = TEXT;
        bool m_reversed = false;
    };

    // Never adds the column; an unknown column reads as text, not reversed.
    ColumnSortingInfo GetColumnInfo(int i_column) const;
    bool IsSortingReversed(int i_column) const;
    bool IsSortingNumeric(int i_column) const;
    // Adds the column (text, not reversed) when it is new.
    ColumnSortingInfo& GetColumnInfoReference(int i_column);
    void SetColumnSortingNumeric(int i_column);
    void SetColumnSortingReversed(int i_column);

private:
    std::map<int, ColumnSortingInfo> m_columns;
};

// A row whose order in its tree follows a ColumnSortingModel.
class TreeWidgetItem : public QTreeWidgetItem
{
public:
    explicit TreeWidgetItem(QTreeWidget* ip_tree);

    void SetSortingModel(ColumnSortingModel* ip_model) { mp_sortingModel = ip_model; }
    bool operator<(QTreeWidgetItem const& i_other) const override;

    // The number a numeric column reads from a cell: its digits only, as a
    // signed 64-bit decimal; no digits, or too many, read as 0.
    static qint64 NumericValue(QString const& i_text);

private:
    ColumnSortingModel* mp_sortingModel = nullptr;
};

#endif
