#ifndef QUILLMAR_TESTS_SHARES_LOOPWATCH_H
#define QUILLMAR_TESTS_SHARES_LOOPWATCH_H

// How long this thread's event loop goes without turning while the share
// index works, for the benchmarks of the shares: a 1 ms timer notes every
// turn. (The tests count the work between turns instead.) A share command
// is run to the end of its job as the window runs it: the call returns at
// once and the job goes on in the loop (RunShareJob, for tests as well).

#include "shares/SharedFoldersManager.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <functional>

class LoopWatch
{
public:
    LoopWatch()
    {
        m_clock.start();
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Turn(); });
        m_timer.start(1);
        Restart();
    }

    // Forgets the gaps seen so far.
    void Restart()
    {
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = ThreadCpuNs();
        m_longest = 0;
        m_longestCpu = 0;
        m_longestWork = 0;
    }

    // A turn of the loop; also to be called when the work watched has
    // ended, which closes its last slice.
    void Turn()
    {
        qint64 const l_now = m_clock.nsecsElapsed();
        qint64 const l_cpu = ThreadCpuNs();
        if (l_now - m_last > m_longest) {
            m_longest = l_now - m_last;
            m_longestCpu = l_cpu - m_lastCpu;
            m_longestEnd = MonotonicNs();
        }
        if (l_cpu - m_lastCpu > m_longestWork) {
            m_longestWork = l_cpu - m_lastCpu;
            m_longestWorkEnd = MonotonicNs();
        }
        m_last = l_now;
        m_lastCpu = l_cpu;
    }

    // The longest gap, and the processor time this thread used in it: on a
    // busy machine the rest is time the system gave to other processes.
    double LongestMs() const { return m_longest / 1e6; }
    double LongestCpuMs() const { return m_longestCpu / 1e6; }
    // The most processor time this thread used between two turns, in any
    // gap: its longest piece of work, which the load of other processes
    // does not lengthen as it lengthens the gaps.
    double LongestWorkMs() const { return m_longestWork / 1e6; }
    qint64 Elapsed() const { return m_clock.elapsed(); }
    // When the longest gap and the longest work ended, on the system's
    // monotonic clock (what "perf record -k CLOCK_MONOTONIC" stamps its
    // samples with), so that a profile shows what the thread did in them.
    qint64 LongestEndNs() const { return m_longestEnd; }
    qint64 LongestWorkEndNs() const { return m_longestWorkEnd; }

private:
    static qint64 MonotonicNs()
    {
        timespec l_time;
        clock_gettime(CLOCK_MONOTONIC, &l_time);
        return qint64(l_time.tv_sec) * 1000000000 + l_time.tv_nsec;
    }
    static qint64 ThreadCpuNs()
    {
        timespec l_time;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &l_time);
        return qint64(l_time.tv_sec) * 1000000000 + l_time.tv_nsec;
    }

    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_last = 0, m_lastCpu = 0, m_longest = 0, m_longestCpu = 0, m_longestEnd = 0, m_longestWork = 0, m_longestWorkEnd = 0;
};

// Runs a share command (AddSharedFolder, RescanShares, UnshareFolder) and
// the event loop until its job has ended, that is until ShareProgress
// gives an empty text, at most i_timeoutMs. The progress texts go to
// op_progress. False when the job had not ended in time.
inline bool RunShareJob(SharedFoldersManager& io_manager, std::function<void()> const& i_command,
                        int i_timeoutMs = 120000, QStringList* op_progress = nullptr)
{
    QEventLoop l_loop;
    bool l_ended = false;
    QObject::connect(&io_manager, &SharedFoldersManager::ShareProgress, &l_loop, [&](QString i_text) {
        if (op_progress)
            *op_progress << i_text;
        if (i_text.isEmpty()) {
            l_ended = true;
            l_loop.quit();
        }
    });
    QTimer::singleShot(i_timeoutMs, &l_loop, &QEventLoop::quit);
    i_command();
    if (!l_ended)
        l_loop.exec();
    return l_ended && !io_manager.IsBusy();
}

#endif
