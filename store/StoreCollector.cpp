#include "store/StoreCollector.h"

#include "store/StoreInternals.h"

namespace {
StoreCollector* gp_collector = nullptr;
}

StoreCollector* StoreCollector::Obj()
{
    if (!gp_collector)
        gp_collector = new StoreCollector;
    return gp_collector;
}

void StoreCollector::Destroy()
{
    delete gp_collector;
}

StoreCollector::StoreCollector(QObject* ip_parent) : QObject(ip_parent) {}

StoreCollector::~StoreCollector()
{
    if (gp_collector == this)
        gp_collector = nullptr;
}

void StoreCollector::Collect(std::function<void()> i_then)
{
    if (IsRunning()) {
        m_again = true;
        if (i_then)
            m_thenNext.push_back(std::move(i_then));
        return;
    }
    if (i_then)
        m_then.push_back(std::move(i_then));
    Start();
}

void StoreCollector::Finish()
{
    while (IsRunning())
        m_work.Finish();
}

void StoreCollector::Start()
{
    m_resets = d.ResetCount();
    m_begun = false;
    m_work.Start(
        [this]() {
            // Asked from a handler that a step runs: the slices go on
            // once it has returned.
            if (d.IsInCollectionStep()) {
                m_work.EndSlice();
                return true;
            }
            if (!m_begun) {
                // One under way that this collector did not start (a
                // collection here and now cut off by an exception) took
                // its lists before the call: it ends first.
                if (d.ContinueCollection())
                    return true;
                m_begun = true;
                d.BeginCollection();
            }
            return d.ContinueCollection();
        },
        [this]() { Ended(); });
}

void StoreCollector::Ended()
{
    std::vector<std::function<void()>> l_calls;
    l_calls.swap(m_then);
    // After a reset there is nothing left to follow up.
    bool const l_again = m_again && d.ResetCount() == m_resets;
    m_again = false;
    if (l_again) {
        m_then.swap(m_thenNext);
        Start();
    } else {
        for (std::function<void()>& l_call : m_thenNext)
            l_calls.push_back(std::move(l_call));
        m_thenNext.clear();
    }
    RunWhenMemoryReturned(std::move(l_calls));
}

void StoreCollector::RunWhenMemoryReturned(std::vector<std::function<void()>> i_calls)
{
    // The C library's walk of its heaps (after a large removal, on a thread
    // of its own) holds each heap's lock for a while: the hourly save's
    // gathering, which allocates on this thread, would wait for it, and the
    // window with it.
    if (!i_calls.empty() && IsReturningFreedMemory()) {
        ++m_callsWaiting;
        QTimer::singleShot(20, this, [this, l_calls = std::move(i_calls)]() mutable {
            --m_callsWaiting;
            RunWhenMemoryReturned(std::move(l_calls));
        });
        return;
    }
    for (std::function<void()> const& l_call : i_calls)
        l_call();
}
