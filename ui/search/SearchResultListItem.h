#ifndef QUILLMAR_UI_SEARCH_SEARCHRESULTLISTITEM_H
#define QUILLMAR_UI_SEARCH_SEARCHRESULTLISTITEM_H

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

#endif
