#ifndef QUILLMAR_STORE_SLICEDWORK_H
#define QUILLMAR_STORE_SLICEDWORK_H

// Work that the window's thread does in slices, so that a share, a room or
// a list of any size never holds the window: a step function runs again and
// again for about SliceMs() milliseconds, then the event loop takes its turn
// (input, paint, timers) before the next slice. The share browser's pages
// (ShareTree.h, SharesForm.h) run every walk over a share through it, the
// server link its big answers (Server.h) and the rooms pages' lists their
// batches (SortedRows.h).

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class SlicedWork : public QObject
{
    Q_OBJECT

public:
    // One small unit of work (a folder, a file); false once nothing is left.
    typedef std::function<bool()> Step;

    explicit SlicedWork(QObject* ip_parent = nullptr);
    // The slice of a work that runs beside another, as the server link's
    // does beside the lists of the rooms pages: the slices of both can fall
    // into one turn of the event loop.
    static constexpr qint64 SIDE_BY_SIDE_MS = 5;
    // A slice shorter than SliceMs() for this work; negative: SliceMs().
    void SetOwnSliceMs(qint64 i_ms) { m_ownSliceMs = i_ms; }

    // Drops what ran before (without its end) and starts the step: its
    // first slice runs at once, so that a small job ends before Start
    // returns. i_done runs once the step says it is through; it may start
    // new work here.
    void Start(Step i_step, std::function<void()> i_done = {});
    // The same, but its first slice waits for the next turn of the event
    // loop, for a caller that is in the middle of one already (a page
    // closing); when every job runs at once (SetSliceMs), it runs here.
    void StartNextTurn(Step i_step, std::function<void()> i_done = {});
    // Drops the running work without its end.
    void Stop();
    bool IsRunning() const { return mp_step != nullptr; }
    // Runs the work to its end here and now.
    void Finish();
    // Called by a step: the slice ends after it. A step about to do a
    // unit much longer than the others yields first, so that the unit
    // starts a slice of its own.
    void EndSlice() { m_endSlice = true; }
    // How long the slice under way has run, in nanoseconds (0 between
    // slices).
    qint64 SliceNs() const { return m_slice.isValid() ? m_slice.nsecsElapsed() : 0; }
    // Slices begun since the work was made, of every job it ran.
    quint64 SlicesBegun() const { return m_slicesBegun; }

    // How long one slice may hold the event loop; tests make it 0 (one step
    // per slice), a negative value runs every job at once.
    static void SetSliceMs(qint64 i_ms);
    static qint64 SliceMs();

private:
    qint64 Budget() const;
    void RunSlice(qint64 i_sliceMs);

    // Shared, so that a step that replaces the job does not destroy the
    // function it runs in.
    std::shared_ptr<Step const> mp_step;
    std::function<void()> m_done;
    // A timer rather than a posted call, so that input and painting come
    // before the next slice.
    QTimer m_timer;
    // Bumped by every Start and Stop: a slice whose job was replaced or
    // stopped from inside one of its own steps ends there.
    quint64 m_generation = 0;
    quint64 m_slicesBegun = 0;
    qint64 m_ownSliceMs = -1;
    bool m_endSlice = false;
    QElapsedTimer m_slice;
};

#endif
