#ifndef QUILLMAR_STORE_EVENT_H
#define QUILLMAR_STORE_EVENT_H

#include <vector>

class DataHandler;

// Every store observer derives from this root. Handlers are owned by the
// event (or path subscription) they were inserted into; the object that made
// them (a DataHandler) only marks them removed when it dies, and the store
// deletes them lazily, outside any dispatch that may still be running over
// them. That is what lets a handler delete its own owner.
class EventHandlerRoot
{
public:
    EventHandlerRoot() = default;
    EventHandlerRoot(EventHandlerRoot const&) = delete;
    EventHandlerRoot& operator=(EventHandlerRoot const&) = delete;
    virtual ~EventHandlerRoot();

    bool IsRemoved() const { return m_removed; }
    void MarkRemoved() { m_removed = true; }

    // Called by the store as it takes the handler. It takes each handler
    // once, and deletes it once: a handler handed over a second time (to a
    // second event, say) is refused with a StoreException.
    void Adopt();

protected:
    void AttachTo(DataHandler* ip_owner);

private:
    friend class DataHandler;
    bool m_removed = false;
    bool m_adopted = false;
    DataHandler* mp_dataHandler = nullptr;
};

template <class Arg>
class EventHandlerBase : public EventHandlerRoot
{
public:
    virtual void Handle(Arg i_arg) = 0;
};

// Base class of every class that registers store observers.
class DataHandler
{
public:
    DataHandler() = default;
    DataHandler(DataHandler const&) = delete;
    DataHandler& operator=(DataHandler const&) = delete;
    virtual ~DataHandler();

    void RegisterHandler(EventHandlerRoot* ip_handler);
    void ForgetHandler(EventHandlerRoot* ip_handler);

private:
    std::vector<EventHandlerRoot*> m_handlers;
};

// Calls one member function of its owner. The owner must derive from
// DataHandler; the handler registers itself there.
template <class Owner, class Arg>
class EventHandler : public EventHandlerBase<Arg>
{
public:
    typedef void (Owner::*Function)(Arg);

    EventHandler(Owner* ip_owner, Function i_function)
        : mp_owner(ip_owner), m_function(i_function)
    {
        this->AttachTo(static_cast<DataHandler*>(ip_owner));
    }

    void Handle(Arg i_arg) override
    {
        if (!this->IsRemoved())
            (mp_owner->*m_function)(i_arg);
    }

private:
    Owner* mp_owner;
    Function m_function;
};

// A set of handlers of one kind of event. Dispatch runs over a copy, so
// handlers may add or remove handlers (and items) while it runs; removed
// handlers are deleted once no dispatch of this event is in progress.
template <class Arg>
class Event
{
public:
    Event() = default;
    Event(Event const&) = delete;
    Event& operator=(Event const&) = delete;
    ~Event() { Clear(); }

    void Insert(EventHandlerBase<Arg>* ip_handler)
    {
        ip_handler->Adopt();
        Purge();
        m_handlers.push_back(ip_handler);
    }

    bool IsEmpty() const { return m_handlers.empty(); }

    template <class A>
    void Fire(A&& i_arg)
    {
        if (m_handlers.empty())
            return;
        std::vector<EventHandlerBase<Arg>*> l_copy(m_handlers);
        ++m_depth;
        for (EventHandlerBase<Arg>* lp_handler : l_copy)
            if (!lp_handler->IsRemoved())
                lp_handler->Handle(i_arg);
        --m_depth;
        Purge();
    }

    void Clear()
    {
        std::vector<EventHandlerBase<Arg>*> l_handlers;
        l_handlers.swap(m_handlers);
        for (EventHandlerBase<Arg>* lp_handler : l_handlers)
            delete lp_handler;
    }

private:
    void Purge()
    {
        if (m_depth > 0)
            return;
        std::size_t l_kept = 0;
        for (std::size_t l_index = 0; l_index < m_handlers.size(); ++l_index) {
            if (m_handlers[l_index]->IsRemoved())
                delete m_handlers[l_index];
            else
                m_handlers[l_kept++] = m_handlers[l_index];
        }
        m_handlers.resize(l_kept);
    }

    std::vector<EventHandlerBase<Arg>*> m_handlers;
    int m_depth = 0;
};

#endif
