#include "ui/chat/SortedRows.h"

#include <QHash>
#include <QHeaderView>
#include <QSet>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// Placing rows one by one costs a binary search and two moves each; past
// one waiting row in this many, one sort of the whole list is cheaper.
constexpr std::size_t ROWS_PER_WAITING_ROW = 32;
// The rows of a whole sort are sorted this many at a step, then merged.
constexpr std::size_t SORT_RUN = 512;
// Rows that went leave the end of the tree this many at a step.
constexpr std::size_t ROWS_DROPPED_A_STEP = 256;
// Placing the rows of a whole sort (in a list of 20,000, a few
// milliseconds) waits for a slice of its own unless the slice has only
// just begun.
constexpr qint64 FRESH_SLICE_NS = 500000;

SortedRow* RowAt(QTreeWidget const* ip_tree, int i_index)
{
    return static_cast<SortedRow*>(ip_tree->topLevelItem(i_index));
}

// The next row of a walk over a list of waiting rows (io_done of them
// done), or null at its end, which empties the list.
SortedRow* Next(std::vector<SortedRow*>& io_rows, std::size_t& io_done)
{
    if (io_done < io_rows.size())
        return io_rows[io_done++];
    io_rows.clear();
    io_done = 0;
    return nullptr;
}

std::size_t s_rowsAwaitingDeletion = 0;
std::size_t s_mostRowsLookedAt = 0;

void NoteRowsLookedAt(std::size_t i_rows)
{
    s_mostRowsLookedAt = std::max(s_mostRowsLookedAt, i_rows);
}

// The rows of DeleteRowsInSlices, and the list that holds them, owned by
// the window they were shown in, so that they go with it at the latest
// (widgets cannot outlive the application object).
class RowDisposal : public QObject
{
public:
    RowDisposal(QObject* ip_owner, QTreeWidget* ip_tree, QList<QTreeWidgetItem*> i_rows, std::function<bool()> i_then)
        : QObject(ip_owner), mp_tree(ip_tree), m_rows(std::move(i_rows)), m_then(std::move(i_then)), m_work(this)
    {
        m_waiting = std::size_t(m_rows.size()) + (mp_tree ? std::size_t(mp_tree->topLevelItemCount()) : 0);
        s_rowsAwaitingDeletion += m_waiting;
        // The first slice waits for the next turn: the caller is often in
        // the middle of one already.
        m_work.StartNextTurn([this]() { return Step(); },
            [this]() { deleteLater(); });
    }
    ~RowDisposal() override
    {
        s_rowsAwaitingDeletion -= m_waiting;
        qDeleteAll(m_rows);
        delete mp_tree;
    }

private:
    bool Step()
    {
        // A row from a list's end leaves it without moving the others.
        QTreeWidgetItem* lp_row = nullptr;
        if (!m_rows.isEmpty())
            lp_row = m_rows.takeLast();
        else if (mp_tree && mp_tree->topLevelItemCount() > 0)
            lp_row = mp_tree->takeTopLevelItem(mp_tree->topLevelItemCount() - 1);
        if (lp_row) {
            delete lp_row;
            --m_waiting;
            --s_rowsAwaitingDeletion;
            return true;
        }
        return m_then && m_then();
    }

    QTreeWidget* mp_tree;
    QList<QTreeWidgetItem*> m_rows;
    std::function<bool()> m_then;
    SlicedWork m_work;
    std::size_t m_waiting = 0;
};

} // namespace

void DeleteRowsInSlices(QList<QTreeWidgetItem*> i_rows, QWidget* ip_window)
{
    if (i_rows.isEmpty())
        return;
    if (!ip_window) {
        qDeleteAll(i_rows);
        return;
    }
    new RowDisposal(ip_window, nullptr, std::move(i_rows), {});
}

void DeleteListInSlices(QTreeWidget* ip_tree, QWidget* ip_window, std::function<bool()> i_then)
{
    if (!ip_window) {
        while (i_then && i_then()) {
        }
        delete ip_tree;
        return;
    }
    ip_tree->hide();
    ip_tree->setParent(nullptr);
    // Nobody sees the list any more: its view need not follow each row that
    // leaves (laying out what is left, 30 ms at the first of 50,000).
    ip_tree->model()->blockSignals(true);
    new RowDisposal(ip_window, ip_tree, {}, std::move(i_then));
}

std::size_t RowsAwaitingDeletion()
{
    return s_rowsAwaitingDeletion;
}

bool SortedRow::operator<(QTreeWidgetItem const& i_other) const
{
    if (i_other.type() != ROW_TYPE)
        return QTreeWidgetItem::operator<(i_other);
    return m_rank < static_cast<SortedRow const&>(i_other).m_rank;
}

SortedRows::SortedRows(QTreeWidget* ip_tree, KeyFunction ip_key, RefreshFunction ip_refresh)
    : QObject(ip_tree), mp_tree(ip_tree), mp_key(ip_key), mp_refresh(ip_refresh), m_batch(this)
{
    mp_tree->setSortingEnabled(false);
    // Rows of one line each: the view need not measure every row again
    // when one comes or goes.
    mp_tree->setUniformRowHeights(true);
    QHeaderView* lp_header = mp_tree->header();
    lp_header->setSectionsClickable(true);
    lp_header->setSortIndicatorShown(true);
    connect(lp_header, &QHeaderView::sortIndicatorChanged, this, &SortedRows::OnSortIndicatorChanged);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &SortedRows::StartBatch);
    // A join answer fills the member list while the server link applies it.
    m_batch.SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
}

// The rows still outside the tree are those of m_outside and m_entering;
// those in it went with the tree, which is destroyed before its child
// objects, or were taken from it before (RoomForm's).
SortedRows::~SortedRows()
{
    QWidget* lp_window = mp_tree->window();
    DeleteRowsInSlices(m_outside.takeChildren() + m_entering.takeChildren(),
                       lp_window != mp_tree ? lp_window : nullptr);
}

int SortedRows::SortColumn() const
{
    return mp_tree->header()->sortIndicatorSection();
}

bool SortedRows::Before(SortedRow const* ip_a, SortedRow const* ip_b) const
{
    return m_ascending ? ip_a->m_key < ip_b->m_key : ip_b->m_key < ip_a->m_key;
}

void SortedRows::SortBy(int i_column, Qt::SortOrder i_order)
{
    {
        QSignalBlocker const l_quiet(mp_tree->header());
        mp_tree->header()->setSortIndicator(i_column, i_order);
    }
    OnSortIndicatorChanged(i_column, i_order);
    Flush();
}

void SortedRows::OnSortIndicatorChanged(int, Qt::SortOrder)
{
    // Every key is read again, also in the column shown before: the values
    // may have changed in the store since.
    ++m_keyRound;
    m_rekeyed = 0;
    m_sortAll = true;
    m_flushTimer.stop();
    StartBatch();
}

void SortedRows::Schedule()
{
    if (m_batch.IsRunning() || m_flushTimer.isActive())
        return;
    qint64 const l_pause = BatchMs(mp_tree->topLevelItemCount());
    qint64 const l_since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : l_pause;
    m_flushTimer.start(int(qMax<qint64>(0, l_pause - l_since)));
}

qint64 SortedRows::BatchMs(int i_rows)
{
    return qMax<qint64>(BATCH_MS, qint64(i_rows) * BATCH_US_PER_ROW / 1000);
}

void SortedRows::StartBatch()
{
    if (m_batch.IsRunning())
        return;
    m_phase = PREPARE;
    m_batch.Start([this]() { return Step(); }, [this]() {
        m_sinceFlush.start();
        NoteRowsLookedAt(std::exchange(m_rowsLookedAt, 0));
        if (!IsSettled())
            Schedule();
    });
}

void SortedRows::Flush()
{
    // A batch under way leaves what came after it gathered its rows to the
    // next one.
    do {
        StartBatch();
        m_batch.Finish();
    } while (!IsSettled());
    m_flushTimer.stop();
}

bool SortedRows::IsSettled() const
{
    return !m_batch.IsRunning() && m_prepared == m_preparing.size() && m_placing.empty() && m_deleting.empty() &&
           !m_sortAll;
}

void SortedRows::Add(SortedRow* ip_row)
{
    // The tree lays out every row after any change, reading each row's
    // flags; without this it also reads whether the row has children,
    // another place in memory per row.
    ip_row->setFlags(ip_row->flags() | Qt::ItemNeverHasChildren);
    m_outside.addChild(ip_row);
    Place(ip_row);
}

void SortedRows::Place(SortedRow* ip_row)
{
    if (ip_row->m_gone || ip_row->m_toPrepare)
        return;
    ip_row->m_toPrepare = true;
    m_preparing.push_back(ip_row);
    Schedule();
}

void SortedRows::Remove(SortedRow* ip_row)
{
    if (ip_row->m_gone)
        return;
    ip_row->m_gone = true;
    if (ip_row->treeWidget() == mp_tree) {
        ip_row->m_toDelete = true;
        m_deleting.push_back(ip_row);
        Schedule();
        return;
    }
    Release(ip_row);
}

void SortedRows::Release(SortedRow* ip_row)
{
    if (!ip_row->m_gone || ip_row->m_toPrepare || ip_row->m_toPlace || ip_row->m_toDelete || ip_row->m_leaving)
        return;
    // Qt finds a row deleted in its tree by looking at each row in turn.
    if (ip_row->treeWidget() == mp_tree)
        m_rowsLookedAt += std::size_t(mp_tree->topLevelItemCount());
    delete ip_row;
}

std::size_t SortedRows::MostRowsLookedAt()
{
    return std::exchange(s_mostRowsLookedAt, 0);
}

bool SortedRows::Step()
{
    switch (m_phase) {
    case PREPARE:
        if (SortedRow* lp_row = Next(m_preparing, m_prepared)) {
            lp_row->m_toPrepare = false;
            if (lp_row->m_gone)
                Release(lp_row);
            else
                Prepare(lp_row);
            return true;
        }
        m_phase = REKEY;
        return true;
    case REKEY:
        if (m_sortAll && m_rekeyed < mp_tree->topLevelItemCount()) {
            SortedRow* lp_row = RowAt(mp_tree, m_rekeyed++);
            if (lp_row->m_keyRound != m_keyRound) {
                lp_row->m_key = mp_key(*lp_row, SortColumn());
                lp_row->m_keyRound = m_keyRound;
            }
            return true;
        }
        m_phase = GATHER;
        return true;
    case GATHER:
        Gather();
        return true;
    case SORT_RUNS:
    case SORT_MERGES:
        return SortStep();
    case RANK:
        Rank();
        m_phase = PLACE;
        return true;
    case PLACE:
        break;
    case DROP:
        return DropStep();
    }
    if (m_wholeList && m_batch.SliceNs() > FRESH_SLICE_NS && m_run == 0) {
        m_run = 1;
        m_batch.EndSlice();
        return true;
    }
    if (m_wholeList)
        PlaceAll();
    else
        PlaceOneByOne();
    m_phase = m_dropping > 0 ? DROP : PREPARE;
    return m_dropping > 0;
}

bool SortedRows::DropStep()
{
    // Only rows that went, whatever happened meanwhile: Qt deletes them.
    int const l_count = mp_tree->topLevelItemCount();
    int l_rows = 0;
    while (std::size_t(l_rows) < std::min(m_dropping, ROWS_DROPPED_A_STEP) && l_rows < l_count &&
           RowAt(mp_tree, l_count - l_rows - 1)->m_leaving)
        ++l_rows;
    if (l_rows > 0)
        mp_tree->model()->removeRows(l_count - l_rows, l_rows);
    m_dropping = l_rows > 0 ? m_dropping - std::size_t(l_rows) : 0;
    if (m_dropping > 0)
        return true;
    m_phase = PREPARE;
    return false;
}

void SortedRows::Prepare(SortedRow* ip_row)
{
    if (mp_refresh)
        mp_refresh(*ip_row);
    ip_row->m_key = mp_key(*ip_row, SortColumn());
    ip_row->m_keyRound = m_keyRound;
    if (!ip_row->m_toPlace) {
        ip_row->m_toPlace = true;
        m_placing.push_back(ip_row);
    }
}

void SortedRows::Gather()
{
    // What came meanwhile is read first: every new row must be.
    if (m_prepared < m_preparing.size()) {
        m_phase = PREPARE;
        return;
    }
    // A header click may have come while the keys were read again.
    int const l_rows = mp_tree->topLevelItemCount();
    for (int l_index = 0; m_sortAll && l_index < l_rows; ++l_index)
        if (RowAt(mp_tree, l_index)->m_keyRound != m_keyRound) {
            m_rekeyed = l_index;
            m_phase = REKEY;
            return;
        }
    // From here on the batch's rows are these; the tree changes only when
    // they are placed.
    m_entering.addChildren(m_outside.takeChildren());
    m_batchRows.clear();
    m_batchRows.swap(m_placing);
    m_leaving.clear();
    for (SortedRow* lp_row : m_deleting) {
        lp_row->m_toDelete = false;
        lp_row->m_leaving = true;
        m_leaving.push_back(lp_row);
    }
    m_deleting.clear();
    bool const l_sortAll = m_sortAll;
    m_sortAll = false;
    m_rekeyed = 0;
    m_ascending = mp_tree->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    std::size_t l_new = 0;
    for (SortedRow* lp_row : m_batchRows) {
        // Read before a header click that came after.
        if (lp_row->m_keyRound != m_keyRound) {
            lp_row->m_key = mp_key(*lp_row, SortColumn());
            lp_row->m_keyRound = m_keyRound;
        }
        l_new += lp_row->treeWidget() == mp_tree ? 0 : 1;
    }
    m_wholeList = l_sortAll || l_rows == 0 ||
                  (m_batchRows.size() + m_leaving.size()) * ROWS_PER_WAITING_ROW > std::size_t(l_rows) + l_new;
    m_run = 0;
    m_coming.clear();
    if (!m_wholeList) {
        m_phase = PLACE;
        return;
    }
    // Sorting the whole list, the rows that stay keep their order: only the
    // moving and the new ones are sorted (all of them after a header
    // click), and then merged with them. The sorted ones are marked. The
    // rows that leave are sorted after all the others, to be taken from
    // the end.
    if (l_sortAll)
        for (int l_index = 0; l_index < l_rows; ++l_index)
            if (!RowAt(mp_tree, l_index)->m_leaving)
                m_coming.push_back(RowAt(mp_tree, l_index));
    for (SortedRow* lp_row : m_batchRows)
        if (!lp_row->m_leaving && (!l_sortAll || lp_row->treeWidget() != mp_tree))
            m_coming.push_back(lp_row);
    for (SortedRow* lp_row : m_coming)
        lp_row->m_rank = -1;
    m_phase = SORT_RUNS;
}

bool SortedRows::SortStep()
{
    auto const l_before = [this](SortedRow const* ip_a, SortedRow const* ip_b) { return Before(ip_a, ip_b); };
    std::size_t const l_size = m_coming.size();
    auto const l_begin = m_coming.begin();
    if (m_phase == SORT_RUNS) {
        std::size_t const l_end = std::min(m_run + SORT_RUN, l_size);
        std::stable_sort(l_begin + std::ptrdiff_t(m_run), l_begin + std::ptrdiff_t(l_end), l_before);
        m_run = l_end;
        if (m_run >= l_size) {
            m_phase = SORT_MERGES;
            m_run = 0;
            m_runWidth = SORT_RUN;
        }
        return true;
    }
    if (m_runWidth >= l_size) {
        m_phase = RANK;
        m_run = 0;
        return true;
    }
    std::size_t const l_middle = std::min(m_run + m_runWidth, l_size);
    std::size_t const l_end = std::min(m_run + 2 * m_runWidth, l_size);
    if (l_middle < l_end)
        std::inplace_merge(l_begin + std::ptrdiff_t(m_run), l_begin + std::ptrdiff_t(l_middle),
                           l_begin + std::ptrdiff_t(l_end), l_before);
    m_run = l_end;
    if (m_run >= l_size) {
        m_run = 0;
        m_runWidth *= 2;
    }
    return true;
}

void SortedRows::Rank()
{
    // The rows that stay, in their order, merged with the sorted ones: each
    // row's rank is its place, by which the model's own sort then orders
    // the tree (it keeps the selection and the current row).
    std::vector<SortedRow*> l_staying;
    int const l_rows = mp_tree->topLevelItemCount();
    for (int l_index = 0; l_index < l_rows; ++l_index) {
        SortedRow* lp_row = RowAt(mp_tree, l_index);
        if (lp_row->m_rank != -1 && !lp_row->m_leaving)
            l_staying.push_back(lp_row);
    }
    m_ordered.clear();
    int l_rank = 0;
    auto l_stay = l_staying.begin();
    for (SortedRow* lp_row : m_coming) {
        if (lp_row->m_gone && lp_row->treeWidget() != mp_tree)
            continue;
        // After the staying rows with an equal key, as one by one.
        for (; l_stay != l_staying.end() && !Before(lp_row, *l_stay); ++l_stay)
            (*l_stay)->m_rank = l_rank++;
        lp_row->m_rank = l_rank++;
        if (lp_row->treeWidget() != mp_tree)
            m_ordered << lp_row;
    }
    for (; l_stay != l_staying.end(); ++l_stay)
        (*l_stay)->m_rank = l_rank++;
    for (SortedRow* lp_row : m_leaving)
        lp_row->m_rank = INT_MAX;
}

void SortedRows::PlaceAll()
{
    // A new row that went since it was ranked never enters.
    QList<QTreeWidgetItem*> l_ordered;
    l_ordered.reserve(m_ordered.size());
    for (QTreeWidgetItem* lp_row : m_ordered)
        if (!static_cast<SortedRow*>(lp_row)->m_gone)
            l_ordered << lp_row;
    m_ordered.clear();
    int const l_rows = mp_tree->topLevelItemCount();
    m_entering.takeChildren();
    mp_tree->addTopLevelItems(l_ordered);
    // Into an empty list (a room list or member list arriving whole) the
    // rows went in their order.
    if (l_rows != 0)
        mp_tree->model()->sort(SortColumn(), Qt::AscendingOrder);
    // The rows that went are the last now. They leave the tree and are
    // deleted from its end a few hundred at a time (DropStep): one by one,
    // the tree and its selection each followed every row (20,000 of them
    // held the window 40 ms), and deleting 40,000 at once took 30 ms.
    int const l_count = mp_tree->topLevelItemCount();
    int l_first = l_count;
    while (l_first > 0 && RowAt(mp_tree, l_first - 1)->m_leaving)
        --l_first;
    if (std::size_t(l_count - l_first) == m_leaving.size() && l_first < l_count) {
        // Nothing else may hold them then: a row that went while it waited
        // to move is one of the batch's rows too.
        m_batchRows.erase(std::remove_if(m_batchRows.begin(), m_batchRows.end(),
                                         [](SortedRow const* ip_row) { return ip_row->m_leaving; }),
                          m_batchRows.end());
        m_leaving.clear();
        m_dropping = std::size_t(l_count - l_first);
    }
    DeleteLeft();
    EndBatch();
}

void SortedRows::PlaceOneByOne()
{
    // The moving rows leave first, with those that went, so that the
    // binary search runs over rows that are all in place.
    m_entering.takeChildren();
    QTreeWidgetItem* lp_current = mp_tree->currentItem();
    std::vector<SortedRow*> l_moving;
    for (SortedRow* lp_row : m_batchRows)
        // One that went after the batch gathered its rows stays until the
        // next batch.
        if (lp_row->treeWidget() == mp_tree && !lp_row->m_gone)
            l_moving.push_back(lp_row);
    QHash<SortedRow*, bool> const l_selected = TakeOut(l_moving);
    DeleteLeft();
    std::vector<std::pair<SortedRow*, bool>> l_placed;
    for (SortedRow* lp_row : m_batchRows)
        if (!lp_row->m_gone && lp_row->treeWidget() != mp_tree)
            l_placed.emplace_back(lp_row, l_selected.value(lp_row, false));
    for (auto const& l_row : l_placed) {
        mp_tree->insertTopLevelItem(PlaceOf(*l_row.first), l_row.first);
        l_row.first->setSelected(l_row.second);
        if (l_row.first == lp_current)
            mp_tree->setCurrentItem(lp_current, 0, QItemSelectionModel::NoUpdate);
    }
    EndBatch();
}

QHash<SortedRow*, bool> SortedRows::TakeOut(std::vector<SortedRow*> const& i_moving)
{
    QHash<SortedRow*, bool> l_selected;
    QSet<QTreeWidgetItem const*> l_out;
    for (SortedRow const* lp_row : m_leaving)
        l_out.insert(lp_row);
    for (SortedRow const* lp_row : i_moving)
        l_out.insert(lp_row);
    if (l_out.isEmpty())
        return l_selected;
    // Qt finds a row it is to take out or delete by looking at each row in
    // turn: one walk finds them all, and each leaves by its place.
    std::vector<int> l_places;
    int const l_rows = mp_tree->topLevelItemCount();
    int l_index = 0;
    for (; l_index < l_rows && l_places.size() < std::size_t(l_out.size()); ++l_index)
        if (l_out.contains(mp_tree->topLevelItem(l_index)))
            l_places.push_back(l_index);
    m_rowsLookedAt += std::size_t(l_index);
    for (auto l_place = l_places.rbegin(); l_place != l_places.rend(); ++l_place) {
        SortedRow* const lp_row = RowAt(mp_tree, *l_place);
        if (!lp_row->m_leaving)
            l_selected.insert(lp_row, lp_row->isSelected());
        mp_tree->takeTopLevelItem(*l_place);
    }
    return l_selected;
}

void SortedRows::DeleteLeft()
{
    for (SortedRow* lp_row : m_leaving) {
        lp_row->m_leaving = false;
        Release(lp_row);
    }
    m_leaving.clear();
}

void SortedRows::EndBatch()
{
    for (SortedRow* lp_row : m_batchRows) {
        lp_row->m_toPlace = false;
        Release(lp_row);
    }
    m_batchRows.clear();
    m_coming.clear();
}

int SortedRows::PlaceOf(SortedRow const& i_row) const
{
    // After the rows with an equal key, as a stable sort leaves them.
    int l_low = 0;
    int l_high = mp_tree->topLevelItemCount();
    while (l_low < l_high) {
        int const l_middle = l_low + (l_high - l_low) / 2;
        if (Before(&i_row, RowAt(mp_tree, l_middle)))
            l_high = l_middle;
        else
            l_low = l_middle + 1;
    }
    return l_low;
}
