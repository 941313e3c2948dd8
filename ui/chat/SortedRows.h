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
// Here a row's key is read from the store when the row comes or is placed
// again, and for every row when a header is clicked; the rows compare by
// the keys read then. Rows that come, go, or whose key may have changed
// wait and are dealt with together: each one that comes is put in its place
// by binary search, or, when many come at once (a member list arriving with
// the join answer, a room list refresh), the whole list is sorted once. Rows
// that go leave the tree with the batch: found in one walk over it, or,
// when many go, sorted to its end by the same sort and deleted from there
// (Qt finds a row deleted in its tree by looking at every row before it,
// so a busy room's leaves each cost a walk over its members). The tree lays
// out all its rows again after any row comes or goes, so the waiting rows
// are dealt with at the next turn of the event loop, but no sooner than
// BatchMs() after the last time: a busy room's joins and leaves cost the
// tree one layout and one paint per batch, not one per user.
//
// A batch of thousands (a room list of 20,000) reads the store and deletes
// rows in slices (SlicedWork), so that it never holds the window; only the
// placing itself, which works on keys already read, is one step.

#include "store/SlicedWork.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QTreeWidgetItem>

#include <functional>
#include <vector>

class QTreeWidget;
class QWidget;

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

// A row of a list that SortedRows keeps: it carries its key and what the
// list has still to do with it.
class SortedRow : public QTreeWidgetItem
{
public:
    static constexpr int ROW_TYPE = QTreeWidgetItem::UserType + 1;

    SortedRow() : QTreeWidgetItem(ROW_TYPE) {}

    // By the place the list gave the row last; Qt's sort of the whole list
    // calls it.
    bool operator<(QTreeWidgetItem const& i_other) const override;

private:
    friend class SortedRows;

    RowKey m_key;
    // The list's key round the key was read in: a header click starts a
    // new one.
    quint64 m_keyRound = 0;
    // The row's place in the order of the last sort of the whole list; -1
    // marks a row that moves.
    int m_rank = 0;
    // What waits for the row; a row that went is deleted once nothing
    // does.
    bool m_toPrepare = false;
    bool m_toPlace = false;
    bool m_toDelete = false;
    // Leaves the tree with the batch under way.
    bool m_leaving = false;
    bool m_gone = false;
};

// Deletes rows that belong to no tree any more, a slice at a time, from
// the next turn of the event loop on; what is left when ip_window (the
// window they were shown in) goes is deleted then. Without a window, at
// once.
void DeleteRowsInSlices(QList<QTreeWidgetItem*> i_rows, QWidget* ip_window);
// The same for a list whose page goes: the list leaves the page, hidden,
// and its rows leave it from its end, a slice at a time, before it is
// deleted; i_then, when given, runs as further steps before that, until it
// returns false (the page's own table of its rows going, say). A member
// list of 50,000 rows deleted with its page held the window for a tenth of
// a second, and taking them out of it in one call still for 15 to 30 ms.
// Whatever sorts the list's rows must be gone first.
void DeleteListInSlices(QTreeWidget* ip_tree, QWidget* ip_window, std::function<bool()> i_then = {});
// The rows handed over either way and not deleted yet.
std::size_t RowsAwaitingDeletion();

class SortedRows : public QObject
{
    Q_OBJECT

public:
    using KeyFunction = RowKey (*)(QTreeWidgetItem const& i_row, int i_column);
    // Sets a row's cells from the store.
    using RefreshFunction = void (*)(QTreeWidgetItem& io_row);
    static constexpr int BATCH_MS = 100;
    // What a batch costs beyond its own rows grows with the list: the
    // tree lays out every row after it, and a whole sort ranks them all (at
    // 40,000 rows some 25 ms together). A long list takes its batches
    // further apart, so that they keep to a share of the window's time
    // whatever its length: the pause after a batch, in milliseconds.
    static constexpr int BATCH_US_PER_ROW = 5;
    static qint64 BatchMs(int i_rows);

    // Shows the sort indicator, makes the header clickable and sorts by the
    // column and direction of each click.
    // ip_refresh, when given, sets the cells of each row that comes or
    // changes, as its batch is dealt with.
    SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key, RefreshFunction ip_refresh = nullptr);
    // Deletes the rows that have not entered the tree yet (in slices).
    ~SortedRows() override;

    // Sorts by that column now and shows it in the header.
    void SortBy(int i_column, Qt::SortOrder i_order);
    // A new row, in no tree yet: it enters the tree in its place with the
    // next batch, and belongs to it from now on.
    void Add(SortedRow* ip_row);
    // Deletes the row: at once when nothing waits for it, with the next
    // batch otherwise.
    void Remove(SortedRow* ip_row);
    // What the row shows, or its key, may have changed: its cells are set
    // again and it moves to its place with the next batch.
    void Place(SortedRow* ip_row);
    // Deals with the waiting rows now, all of them.
    void Flush();
    // No row waits and no batch is under way.
    bool IsSettled() const;
    // The most rows of a tree that one batch looked at, or had Qt look at,
    // to find the rows that leave it or move in it, since the last call:
    // one walk over the tree at most.
    static std::size_t MostRowsLookedAt();

private slots:
    void OnSortIndicatorChanged(int i_column, Qt::SortOrder i_order);

private:
    // A batch goes through these in turn; rows that come, go or change
    // once its rows are gathered wait for the next one.
    enum Phase { PREPARE, REKEY, GATHER, SORT_RUNS, SORT_MERGES, RANK, PLACE, DROP };

    void Schedule();
    void StartBatch();
    // One unit of a batch: a row's cells and key, a key of a row in the
    // tree read again, a run of the sort, the ranking; the placing (rows
    // that went leaving the tree with it) last, in a slice of its own.
    // False once through.
    bool Step();
    void Prepare(SortedRow* ip_row);
    void Gather();
    bool SortStep();
    void PlaceOneByOne();
    // Takes the rows that leave the tree and those that move in it out of
    // it, in one walk over it; the moving ones with whether they were
    // selected.
    QHash<SortedRow*, bool> TakeOut(std::vector<SortedRow*> const& i_moving);
    // Deletes the rows taken out that went.
    void DeleteLeft();
    // Sorting the whole list: each row's place, then the rows placed.
    void Rank();
    void PlaceAll();
    // Deletes some of the rows that went from the end of the tree, where
    // the whole sort put them; false once none is left.
    bool DropStep();
    // Clears the batch's hold on its rows.
    void EndBatch();
    // Deletes the row when it went and nothing waits for it any more.
    void Release(SortedRow* ip_row);
    // The index at which the row belongs among the rows in place.
    int PlaceOf(SortedRow const& i_row) const;
    bool Before(SortedRow const* ip_a, SortedRow const* ip_b) const;
    int SortColumn() const;

    QTreeWidget* mp_tree;
    KeyFunction mp_key;
    RefreshFunction mp_refresh;
    // New rows wait as children of this item, which no tree holds, until a
    // batch gathers them as children of the other: so they go with the
    // list if it goes first.
    QTreeWidgetItem m_outside;
    QTreeWidgetItem m_entering;
    // Rows whose cells and key are to be read; those before m_prepared
    // are done.
    std::vector<SortedRow*> m_preparing;
    std::size_t m_prepared = 0;
    std::vector<SortedRow*> m_placing;
    std::vector<SortedRow*> m_deleting;
    // The rows in the tree that went, gathered by the batch under way: a
    // row deleted in the tree makes Qt look for it among all the rows, so
    // they leave it together when the batch places its rows.
    std::vector<SortedRow*> m_leaving;
    // Rows at the end of the tree that went, still to be deleted.
    std::size_t m_dropping = 0;
    // Rows the batch under way looked at, or had Qt look at, to find rows.
    std::size_t m_rowsLookedAt = 0;
    // A header click: every row's key is read again (from m_rekeyed on),
    // and the whole list sorted.
    quint64 m_keyRound = 1;
    int m_rekeyed = 0;
    bool m_sortAll = false;

    // The batch under way: its rows, that enter the tree or move in it;
    // sorting the whole list, those to sort (the same, or every row after
    // a header click), sorted in runs that are merged in turn.
    Phase m_phase = PREPARE;
    bool m_wholeList = false;
    bool m_ascending = true;
    std::vector<SortedRow*> m_batchRows;
    std::vector<SortedRow*> m_coming;
    // The new rows in their order, once ranked.
    QList<QTreeWidgetItem*> m_ordered;
    std::size_t m_run = 0;
    std::size_t m_runWidth = 0;

    SlicedWork m_batch;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
};

#endif
