#ifndef QUILLMAR_STORE_BODYTABLE_H
#define QUILLMAR_STORE_BODYTABLE_H

// Item bodies to small values, by address: open addressing over one flat
// table, since a node-based map spends most of its time on cache misses once
// it holds a share's million items. Used inside the store only.

#include <cstddef>
#include <cstdint>
#include <vector>

struct ItemBody;

template <class T>
class BodyTable
{
public:
    explicit BodyTable(std::size_t i_count)
    {
        int l_bits = 4;
        while ((std::size_t(1) << l_bits) < i_count * 2)
            ++l_bits;
        m_shift = 64 - l_bits;
        m_mask = (std::size_t(1) << l_bits) - 1;
        m_slots.assign(m_mask + 1, Slot{nullptr, T()});
    }

    void Insert(ItemBody* ip_body, T i_value)
    {
        std::size_t l_slot = Hash(ip_body);
        while (m_slots[l_slot].mp_body && m_slots[l_slot].mp_body != ip_body)
            l_slot = (l_slot + 1) & m_mask;
        m_slots[l_slot] = Slot{ip_body, i_value};
    }

    // False when the body is not in the table.
    bool Find(ItemBody* ip_body, T& o_value) const
    {
        for (std::size_t l_slot = Hash(ip_body); m_slots[l_slot].mp_body; l_slot = (l_slot + 1) & m_mask)
            if (m_slots[l_slot].mp_body == ip_body) {
                o_value = m_slots[l_slot].m_value;
                return true;
            }
        return false;
    }

    // Starts fetching the body's first slot: a table of a share's million
    // items is far larger than the cache.
    void Prefetch(ItemBody* ip_body) const { __builtin_prefetch(&m_slots[Hash(ip_body)]); }

    bool Contains(ItemBody* ip_body) const
    {
        T l_ignored;
        return Find(ip_body, l_ignored);
    }

private:
    struct Slot
    {
        ItemBody* mp_body;
        T m_value;
    };

    std::size_t Hash(ItemBody* ip_body) const
    {
        return std::size_t(((std::uint64_t(reinterpret_cast<std::uintptr_t>(ip_body)) >> 4) * 0x9E3779B97F4A7C15ULL) >>
                           m_shift);
    }

    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    int m_shift = 60;
};

#endif
