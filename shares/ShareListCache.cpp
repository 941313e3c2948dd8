#include "shares/ShareListCache.h"

#include <algorithm>

void ShareListCache::DropStale(quint64 i_generation)
{
    m_lists.remove_if([i_generation](Entry const& i_entry) { return i_entry.m_generation != i_generation; });
}

QByteArray ShareListCache::Find(Key const& i_key, quint64 i_generation)
{
    DropStale(i_generation);
    auto const l_found =
        std::find_if(m_lists.begin(), m_lists.end(), [&](Entry const& i_entry) { return i_entry.m_key == i_key; });
    if (l_found == m_lists.end())
        return QByteArray();
    m_lists.splice(m_lists.begin(), m_lists, l_found);
    return l_found->m_message;
}

void ShareListCache::Keep(Key const& i_key, quint64 i_generation, QByteArray const& i_message)
{
    DropStale(i_generation);
    m_lists.remove_if([&](Entry const& i_entry) { return i_entry.m_key == i_key; });
    if (i_message.isEmpty() || quint64(i_message.size()) > MAX_BYTES)
        return;
    m_lists.push_front({i_key, i_generation, i_message});
    // The newest first; older lists go once the count or the bytes are full.
    quint64 l_bytes = 0;
    std::size_t l_count = 0;
    for (auto l_it = m_lists.begin(); l_it != m_lists.end();) {
        quint64 const l_size = quint64(l_it->m_message.size());
        if (l_count == MAX_LISTS || l_bytes + l_size > MAX_BYTES) {
            l_it = m_lists.erase(l_it);
            continue;
        }
        l_bytes += l_size;
        ++l_count;
        ++l_it;
    }
}

void ShareListCache::StartMaking(Key const& i_key, Waiter i_first)
{
    std::vector<Waiter>& l_waiters = m_making[i_key];
    l_waiters.push_back(std::move(i_first));
}

bool ShareListCache::Wait(Key const& i_key, Waiter i_waiter)
{
    std::vector<Waiter>& l_waiters = m_making[i_key];
    for (Waiter const& l_waiter : l_waiters)
        if (l_waiter.m_user == i_waiter.m_user)
            return false;
    l_waiters.push_back(std::move(i_waiter));
    return true;
}

std::vector<ShareListCache::Waiter> ShareListCache::EndMaking(Key const& i_key)
{
    std::vector<Waiter> l_waiters;
    auto const l_found = m_making.find(i_key);
    if (l_found != m_making.end()) {
        l_waiters = std::move(l_found->second);
        m_making.erase(l_found);
    }
    return l_waiters;
}

void ShareListCache::Clear()
{
    m_lists.clear();
    m_making.clear();
}
