#ifndef QUILLMAR_UI_SEARCH_SEARCHRESULTLISTITEM_H
#define QUILLMAR_UI_SEARCH_SEARCHRESULTLISTITEM_H

#include "store/Data.h"

#include <QTreeWidgetItem>

// A row of a search results tree (user, folder or file row, or a flat row of
// the old style). Its order knows what each column holds:
//   1 "Free": "Y" last, then longer queues before shorter ones; ties by
//     speed, then by file name in reverse (so that "Order by Available",
//     which sorts descending, lists equal rows by ascending file name);
//   2 "K/s": by speed;
//   0, 3, 4: by text, ignoring case;
//   5, 6: by the file's size or bitrate in the store, biggest first.
// Rows never sort on insertion; the tab sorts them once in a while.
class SearchResultListItem : public QTreeWidgetItem
{
public:
    explicit SearchResultListItem(QTreeWidgetItem* ip_parent);
    explicit SearchResultListItem(QTreeWidget* ip_parent);
    ~SearchResultListItem() override;

    bool operator<(QTreeWidgetItem const& i_other) const override;

    enum Column { USER = 0, FREE = 1, SPEED = 2, FOLDER = 3, FILE = 4, SIZE = 5, ATTRIBUTES = 6 };
};

// The row of one file (grouped, or flat in the old style). Its size and
// attribute cells are read from the result when they are shown or sorted,
// rather than kept as texts of the row's own: a hundred thousand rows held
// some 30 MB of them. The name is kept, since sorting and filtering read it
// again and again.
class SearchResultFileRow : public SearchResultListItem
{
public:
    explicit SearchResultFileRow(Item const& i_result);

    QVariant data(int i_column, int i_role) const override;
    Item const& Result() const { return m_result; }

private:
    Item const m_result;
    QString const m_name;
};

#endif
