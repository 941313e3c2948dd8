#ifndef QUILLMAR_STORE_RCPTR_H
#define QUILLMAR_STORE_RCPTR_H

// A reference-counted pointer for the stream buffers: copies share one
// object, which is deleted with the last copy. The count is atomic because a
// message buffer may be handed to a worker thread through a queued signal.

#include <atomic>
#include <cstddef>
#include <utility>

template <class T>
class rcptr
{
public:
    rcptr() = default;
    explicit rcptr(T* ip_object) : mp_object(ip_object), mp_count(ip_object ? new std::atomic<long>(1) : nullptr) {}
    rcptr(rcptr const& i_other) : mp_object(i_other.mp_object), mp_count(i_other.mp_count) { Retain(); }
    rcptr(rcptr&& i_other) noexcept : mp_object(i_other.mp_object), mp_count(i_other.mp_count)
    {
        i_other.mp_object = nullptr;
        i_other.mp_count = nullptr;
    }
    ~rcptr() { Release(); }

    rcptr& operator=(rcptr const& i_other)
    {
        rcptr l_copy(i_other);
        Swap(l_copy);
        return *this;
    }
    rcptr& operator=(rcptr&& i_other) noexcept
    {
        rcptr l_moved(std::move(i_other));
        Swap(l_moved);
        return *this;
    }

    void Swap(rcptr& io_other) noexcept
    {
        std::swap(mp_object, io_other.mp_object);
        std::swap(mp_count, io_other.mp_count);
    }

    // Drops this reference (and the object when it was the last one).
    void Reset() { rcptr().Swap(*this); }

    T* get() const { return mp_object; }
    T* operator->() const { return mp_object; }
    T& operator*() const { return *mp_object; }
    explicit operator bool() const { return mp_object != nullptr; }
    bool operator==(rcptr const& i_other) const { return mp_object == i_other.mp_object; }
    bool operator!=(rcptr const& i_other) const { return mp_object != i_other.mp_object; }

    long UseCount() const { return mp_count ? mp_count->load() : 0; }

private:
    void Retain()
    {
        if (mp_count)
            mp_count->fetch_add(1, std::memory_order_relaxed);
    }
    void Release()
    {
        if (mp_count && mp_count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete mp_object;
            delete mp_count;
        }
        mp_object = nullptr;
        mp_count = nullptr;
    }

    T* mp_object = nullptr;
    std::atomic<long>* mp_count = nullptr;
};

template <class T, class... Args>
rcptr<T> MakeRc(Args&&... i_args)
{
    return rcptr<T>(new T(std::forward<Args>(i_args)...));
}

#endif
