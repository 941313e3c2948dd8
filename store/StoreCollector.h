#ifndef QUILLMAR_STORE_STORECOLLECTOR_H
#define QUILLMAR_STORE_STORECOLLECTOR_H

// The store's collection as the window runs it: in slices (SlicedWork), so
// that removing what a closed tab or an unshared folder left, however much,
// never holds the event loop. Data::RemoveDisconnectedItems collects here
// and now instead (the save at the end does).

#include "store/SlicedWork.h"

#include <QObject>

#include <functional>
#include <vector>

class StoreCollector : public QObject
{
    Q_OBJECT

public:
    // The single collector, made on first use.
    static StoreCollector* Obj();
    // Deletes it (shutdown); what waited for a collection is dropped.
    static void Destroy();

    explicit StoreCollector(QObject* ip_parent = nullptr);
    ~StoreCollector() override;

    // Collects the store in slices, the first at once. Asked while one
    // runs, another follows it (the one under way took its lists at its
    // start). i_then runs once a collection that began after this call has
    // ended: the store then holds nothing that was unreached at the call.
    void Collect(std::function<void()> i_then = {});
    // Ends here and now whatever was asked, with what waited for it.
    void Finish();
    bool IsRunning() const { return m_work.IsRunning(); }
    // Whether what was asked has yet to end: a collection, or the calls
    // after one, which wait while the freed memory goes back.
    bool IsBusy() const { return IsRunning() || m_callsWaiting > 0; }

private:
    void Start();
    void Ended();
    void RunWhenMemoryReturned(std::vector<std::function<void()>> i_calls);

    SlicedWork m_work;
    bool m_again = false;
    bool m_begun = false;
    quint64 m_resets = 0;
    // What waits for the collection under way, and for the next.
    std::vector<std::function<void()>> m_then;
    std::vector<std::function<void()>> m_thenNext;
    int m_callsWaiting = 0;
};

#endif
