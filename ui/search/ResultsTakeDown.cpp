#include "ui/search/ResultsTakeDown.h"

#include "ui/search/ResultRows.h"

#include "store/FreePages.h"
#include "store/StoreCollector.h"

#include <QCoreApplication>
#include <QTreeWidget>

#include <algorithm>

namespace {

QList<ResultsTakeDown*> s_running;
int s_longestStep = 0;
std::size_t s_shownLetGo = 0;

} // namespace

ResultsTakeDown::ResultsTakeDown(QTreeWidget* ip_tree, QList<QTreeWidgetItem*> i_loose,
                                 QHash<QTreeWidgetItem const*, int> i_shown)
    : QObject(QCoreApplication::instance()), mp_tree(ip_tree), m_loose(std::move(i_loose)), m_work(this),
      m_shown(std::move(i_shown)), m_shownAt(m_shown.begin())
{
    s_running << this;
    HoldHeapWalks();
    // Out of sight, the view lays out nothing until it is shown again, and
    // a row that closes or shows meanwhile only has its note dropped, once
    // the view knows it must lay out anew (which a row shown tells it).
    mp_tree->blockSignals(true);
    mp_tree->hide();
    mp_tree->clearSelection();
    mp_tree->setCurrentItem(nullptr);
    if (QTreeWidgetItem* lp_first = mp_tree->topLevelItem(0))
        lp_first->setHidden(lp_first->isHidden());
    m_walk.assign(1, {nullptr, 0});
    m_work.SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
    m_work.Start([this]() { return Step(); }, [this]() {
        s_running.removeOne(this);
        delete mp_tree;
        mp_tree = nullptr;
        LetHeapWalksGo();
        // The answers' items that only the rows' bindings held go now.
        StoreCollector::Obj()->Collect([]() { GiveBackFreePages(); });
        deleteLater();
    });
}

ResultsTakeDown::~ResultsTakeDown()
{
    s_running.removeOne(this);
    LetHeapWalksGo();
    delete mp_top;
    qDeleteAll(m_loose);
    delete mp_tree;
}

int ResultsTakeDown::Running()
{
    return s_running.size();
}

int ResultsTakeDown::LongestStep()
{
    return s_longestStep;
}

std::size_t ResultsTakeDown::ShownCountsLetGo()
{
    return s_shownLetGo;
}

void ResultsTakeDown::FinishAll()
{
    for (ResultsTakeDown* lp_down : QList<ResultsTakeDown*>(s_running))
        lp_down->m_work.Finish();
}

void ResultsTakeDown::DeleteAll()
{
    qDeleteAll(QList<ResultsTakeDown*>(s_running));
}

void ResultsTakeDown::LetHeapWalksGo()
{
    if (!m_holdingWalks)
        return;
    m_holdingWalks = false;
    ReleaseHeapWalks();
}

void ResultsTakeDown::Bury(QTreeWidgetItem* ip_row)
{
    // A later tab or row made at this address must find nothing.
    UnbindRow(ip_row);
    delete ip_row;
}

bool ResultsTakeDown::Step()
{
    int l_rows = 0;
    if (m_shownAt != m_shown.end()) {
        // Only the nodes go; the rows they name are not read.
        for (; l_rows < ROWS_PER_STEP && m_shownAt != m_shown.end(); ++l_rows)
            m_shownAt = m_shown.erase(m_shownAt);
        s_shownLetGo += std::size_t(l_rows);
        s_longestStep = std::max(s_longestStep, l_rows);
        return true;
    }
    if (m_walking) {
        // Every row closed and shown, parents first.
        for (; l_rows < ROWS_PER_STEP && !m_walk.empty(); ++l_rows) {
            auto& l_top = m_walk.back();
            QTreeWidgetItem* const lp_parent = l_top.first ? l_top.first : mp_tree->invisibleRootItem();
            if (l_top.second >= lp_parent->childCount()) {
                m_walk.pop_back();
                continue;
            }
            QTreeWidgetItem* const lp_row = lp_parent->child(l_top.second++);
            if (lp_row->isHidden())
                lp_row->setHidden(false);
            if (lp_row->childCount() > 0) {
                if (lp_row->isExpanded())
                    lp_row->setExpanded(false);
                m_walk.emplace_back(lp_row, 0);
            }
        }
        m_walking = !m_walk.empty();
        s_longestStep = std::max(s_longestStep, l_rows);
        return true;
    }
    for (; l_rows < ROWS_PER_STEP; ++l_rows) {
        if (!mp_top) {
            if (int const l_count = mp_tree->topLevelItemCount(); l_count > 0)
                mp_top = mp_tree->takeTopLevelItem(l_count - 1);
            else if (!m_loose.isEmpty())
                mp_top = m_loose.takeLast();
            else
                break;
        }
        // The last row at the bottom goes: taken from the end of its
        // siblings, it is found at once.
        QTreeWidgetItem* lp_row = mp_top;
        while (lp_row->childCount() > 0)
            lp_row = lp_row->child(lp_row->childCount() - 1);
        if (lp_row == mp_top)
            mp_top = nullptr;
        else
            lp_row->parent()->takeChild(lp_row->parent()->childCount() - 1);
        Bury(lp_row);
    }
    s_longestStep = std::max(s_longestStep, l_rows);
    // What the step freed is merged now, not all at once at a later large
    // free; and the pages freed are given back every few steps, while few,
    // not all at the end, when the walk that gave back 300 MB held the
    // window's heap 33-65 ms.
    MergeFreedBlocks();
    if (++m_stepsSinceWalk == STEPS_A_WALK) {
        m_stepsSinceWalk = 0;
        GiveBackFreedSoFar();
    }
    return mp_top || mp_tree->topLevelItemCount() > 0 || !m_loose.isEmpty();
}
