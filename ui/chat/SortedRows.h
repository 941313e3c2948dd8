#ifndef QUILLMAR_UI_CHAT_SORTEDROWS_H
#define QUILLMAR_UI_CHAT_SORTEDROWS_H

// Keeps the rows of a flat tree in the order its header shows (the sort
// indicator's column and direction), for the lists whose rows compare by
// looking the store up: the room list (RoomsForm) and the member list of
// each room page (RoomForm). The rows themselves are in RoomRows.h.
//
// The tree's own sorting stays off. With it on, Qt sorts the whole list
// again after every row that is added, so in a room of thousands of members
// each join would cost a full sort with two store look-ups per comparison.
// Here a click on a header sorts once, with each row's key computed once; a
// row that is new, or whose key may have changed, waits for the next turn
// of the event loop and is then put in its place by binary search, or,
// when many wait at once (a member list arriving with the join answer, a
// room list refresh), the whole list is sorted once.

#include <QObject>
#include <QString>
#include <QTimer>

#include <unordered_map>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

// What a row sorts by in one column: the number first, then the text.
struct RowKey
{
    qint64 m_number = 0;
    QString m_text;

    bool operator<(RowKey const& i_other) const
    {
        return m_number != i_other.m_number ? m_number < i_other.m_number : m_text < i_other.m_text;
    }
};

class SortedRows : public QObject
{
    Q_OBJECT

public:
    using KeyFunction = RowKey (*)(QTreeWidgetItem const& i_row, int i_column);

    // Shows the sort indicator, makes the header clickable and sorts by the
    // column and direction of each click.
    SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key);

    // Sorts by that column now and shows it in the header.
    void SortBy(int i_column, Qt::SortOrder i_order);
    // The row is new, or its key may have changed: it is put in its place
    // at the next turn of the event loop.
    void Place(QTreeWidgetItem* ip_row);
    // A row about to be deleted.
    void Forget(QTreeWidgetItem* ip_row);
    // Puts the waiting rows in their places now.
    void Flush();

    // The rows' operator<: their keys in the tree's sort column, or, while
    // a sort of the whole list runs, the keys it computed beforehand.
    static bool Less(QTreeWidgetItem const& i_row, QTreeWidgetItem const& i_other, KeyFunction ip_key);

private slots:
    void OnSortIndicatorChanged(int i_column, Qt::SortOrder i_order);

private:
    void SortAll();
    // The index at which the row belongs among the rows in place.
    int PlaceOf(QTreeWidgetItem const& i_row) const;

    QTreeWidget* mp_tree;
    KeyFunction mp_key;
    std::vector<QTreeWidgetItem*> m_waiting;
    QTimer m_flushTimer;
    // The keys of the sort under way, if any (the GUI thread sorts one list
    // at a time).
    static std::unordered_map<QTreeWidgetItem const*, RowKey> const* sp_sortKeys;
};

#endif
