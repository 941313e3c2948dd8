#ifndef QUILLMAR_UI_SEARCH_RESULTSTAKEDOWN_H
#define QUILLMAR_UI_SEARCH_RESULTSTAKEDOWN_H

// The rows of a closed search tab (SearchResultsForm.h), taken down with
// their bindings (ResultRows.h) in slices once the tab is gone. Deleting a
// tree of 250,000 answers' rows with the tab held the window 1.4 s: the
// model's reset goes through every open row's persistent index, and every
// row is freed in one go. Here the hidden tree's rows are first closed and
// shown again, parents first (an open or hidden row is a persistent index,
// which each removal from the model visits), then each top row is taken
// out and its rows deleted from the bottom, a few a step, the pages freed
// given back as they go; meanwhile no one else walks the heaps, which are
// full of holes (store/FreePages.h). At the end the store collects what the
// rows held and the C library gives its free pages back. The application
// owns the take-downs, so that they go with it at the latest.

#include "store/SlicedWork.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <utility>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

class ResultsTakeDown : public QObject
{
public:
    // Rows one step deletes, and steps deleting rows between two walks
    // that give the freed pages back (store/FreePages.h): each walk then
    // held the window's heap 3-4 ms at most.
    static constexpr int ROWS_PER_STEP = 64;
    static constexpr int STEPS_A_WALK = 16;

    // Takes the tree (out of its window already), the rows that never
    // went into it, each the top of rows of its own, and the tab's counts
    // of shown rows by row; the first slice runs here.
    ResultsTakeDown(QTreeWidget* ip_tree, QList<QTreeWidgetItem*> i_loose, QHash<QTreeWidgetItem const*, int> i_shown);
    ~ResultsTakeDown() override;

    // Take-downs under way.
    static int Running();
    // The most rows one step deleted or closed, or counts of shown rows it
    // let go of, since the program began.
    static int LongestStep();
    // The counts of shown rows let go of, since the program began.
    static std::size_t ShownCountsLetGo();
    // Runs every take-down to its end, here and now: the search page does
    // so when it goes, before the store may.
    static void FinishAll();
    // Deletes every take-down with its rows, their bindings left as they
    // are: at the end of the show, when the store goes with the rest.
    static void DeleteAll();

private:
    bool Step();
    // Removes the row's bindings and deletes it; it has no children left.
    static void Bury(QTreeWidgetItem* ip_row);
    void LetHeapWalksGo();

    QTreeWidget* mp_tree;
    QList<QTreeWidgetItem*> m_loose;
    SlicedWork m_work;
    bool m_walking = true;
    std::vector<std::pair<QTreeWidgetItem*, int>> m_walk; // row (null: the top), next child
    QTreeWidgetItem* mp_top = nullptr; // out of the tree, its rows going
    // A node for each user's and folder's row: a quarter of a million,
    // freed at once, held the window for 80 ms.
    QHash<QTreeWidgetItem const*, int> m_shown;
    QHash<QTreeWidgetItem const*, int>::iterator m_shownAt;
    // Walks of the heaps are held while the rows go (store/FreePages.h).
    bool m_holdingWalks = true;
    int m_stepsSinceWalk = 0;
};

#endif
