#ifndef QUILLMAR_UI_CHAT_SORTEDROWS_H
#define QUILLMAR_UI_CHAT_SORTEDROWS_H

// Keeps the rows of a flat tree in the order its header shows (the sort
// indicator's column and direction), and adds and removes them, for the
// lists whose rows compare by looking the store up: the room list
// (RoomsForm) and the member list of each room page (RoomForm). The rows
// themselves are in RoomRows.h.
//
// The tree's own sorting stays off. With it on, Qt sorts the whole list
// again after every row that is added, so in a room of thousands of members
// each join would cost a full sort with two store look-ups per comparison.
// Here a click on a header sorts once, with each row's key computed once.
// Rows that come, go, or whose key may have changed wait and are dealt
// with together: each one that comes is put in its place by binary search,
// or, when many come at once (a member list arriving with the join answer,
// a room list refresh), the whole list is sorted once. The tree lays out
// all its rows again after any row comes or goes, so the waiting rows are
// dealt with at the next turn of the event loop, but no sooner than
// BATCH_MS after the last time: a busy room's joins and leaves cost the
// tree one layout and one paint per batch, not one per user.

#include <QObject>
#include <QString>
#include <QElapsedTimer>
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
    // Sets a row's cells from the store.
    using RefreshFunction = void (*)(QTreeWidgetItem& io_row);
    static constexpr int BATCH_MS = 100;

    // Shows the sort indicator, makes the header clickable and sorts by the
    // column and direction of each click.
    // ip_refresh, when given, sets the cells of each row that comes or
    // changes, as its batch is dealt with.
    SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key, RefreshFunction ip_refresh = nullptr);
    // Deletes the rows that have not entered the tree yet.
    ~SortedRows() override;

    // Sorts by that column now and shows it in the header.
    void SortBy(int i_column, Qt::SortOrder i_order);
    // A new row, in no tree yet: it enters the tree in its place with the
    // next batch, and belongs to it from now on.
    void Add(QTreeWidgetItem* ip_row);
    // Deletes the row: at once when it has not entered the tree yet, with
    // the next batch otherwise.
    void Remove(QTreeWidgetItem* ip_row);
    // What the row shows, or its key, may have changed: its cells are set
    // again and it moves to its place with the next batch.
    void Place(QTreeWidgetItem* ip_row);
    // Deals with the waiting rows now.
    void Flush();

    // The rows' operator<: their keys in the tree's sort column, or, while
    // a sort of the whole list runs, the keys it computed beforehand.
    static bool Less(QTreeWidgetItem const& i_row, QTreeWidgetItem const& i_other, KeyFunction ip_key);

private slots:
    void OnSortIndicatorChanged(int i_column, Qt::SortOrder i_order);

private:
    void Schedule();
    void SortAll();
    // Deletes the rows that went, sets the cells of those that came or
    // changed, and puts them in their places: one by one, or, with
    // i_sortAll or when many wait, by one sort of the whole list.
    void Settle(bool i_sortAll);
    void SortWhole(std::vector<QTreeWidgetItem*> const& i_adding);
    // The index at which the row belongs among the rows in place.
    int PlaceOf(QTreeWidgetItem const& i_row) const;

    QTreeWidget* mp_tree;
    KeyFunction mp_key;
    RefreshFunction mp_refresh;
    std::vector<QTreeWidgetItem*> m_adding;
    std::vector<QTreeWidgetItem*> m_removing;
    std::vector<QTreeWidgetItem*> m_moving;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    // The keys of the sort under way, if any (the GUI thread sorts one list
    // at a time).
    static std::unordered_map<QTreeWidgetItem const*, RowKey> const* sp_sortKeys;
};

#endif
