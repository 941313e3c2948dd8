#ifndef QUILLMAR_UI_TRANSFERS_SLICEDWORK_H
#define QUILLMAR_UI_TRANSFERS_SLICEDWORK_H

// Work that the window's thread does in slices, so that a share of any size
// never holds the window: a step function runs again and again for about
// SliceMs() milliseconds, then the event loop takes its turn (input, paint,
// timers) before the next slice. The share browser's pages (ShareTree.h,
// SharesForm.h) run every walk over a share through it.

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

    // Drops what ran before (without its end) and starts the step: its
    // first slice runs at once, so that a small job ends before Start
    // returns. i_done runs once the step says it is through; it may start
    // new work here.
    void Start(Step i_step, std::function<void()> i_done = {});
    // Drops the running work without its end.
    void Stop();
    bool IsRunning() const { return mp_step != nullptr; }
    // Runs the work to its end here and now.
    void Finish();

    // How long one slice may hold the event loop; tests make it 0 (one step
    // per slice), a negative value runs every job at once.
    static void SetSliceMs(qint64 i_ms);
    static qint64 SliceMs();

private:
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
};

#endif
