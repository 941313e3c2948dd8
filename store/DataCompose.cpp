// Composing: the file of what was gathered (DataGather.cpp), its indexes,
// its bytes, the order of its links and its checksum, from what was
// gathered alone, never the store, so that any thread may do it. It is
// written in DataFileWrite.cpp.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/BodyTable.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

using namespace DataSaverInternals;

namespace {

struct BodyPairHash
{
    std::size_t operator()(BodyPair const& i_pair) const
    {
        std::uint64_t const l_a = reinterpret_cast<std::uintptr_t>(i_pair.first);
        std::uint64_t const l_b = reinterpret_cast<std::uintptr_t>(i_pair.second);
        return std::size_t((l_a * 0x9E3779B97F4A7C15ull) ^ (l_b * 0xC2B2AE3D27D4EB4Full) ^ (l_b >> 29));
    }
};

char* PutU32(char* ip_at, quint32 i_value)
{
    qToLittleEndian(i_value, ip_at);
    return ip_at + 4;
}

char* PutBytes(char* ip_at, char const* ip_bytes, std::size_t i_size)
{
    ip_at = PutU32(ip_at, quint32(i_size));
    if (i_size > 0)
        std::memcpy(ip_at, ip_bytes, i_size);
    return ip_at + i_size;
}

} // namespace

namespace DataSaverInternals {

FileImage ComposeImage(Gathered& io_gathered, std::size_t& o_oversize)
{
    std::size_t const l_typeCount = io_gathered.m_types.size();
    // The last word on each item that changed.
    std::unordered_map<std::uint64_t, Gathered::ItemChange> l_itemChanges;
    for (LargeVector<Gathered::ItemChange>& l_part : io_gathered.m_itemChanges.Parts()) {
        for (Gathered::ItemChange const& l_change : l_part)
            l_itemChanges[l_change.m_item.m_key] = l_change;
        LargeVector<Gathered::ItemChange>().swap(l_part);
    }
    // The items of each type at the end: those gathered that did not leave,
    // and those that joined, in creation order.
    std::vector<LargeVector<GatheredItem>> l_joined(l_typeCount);
    for (auto const& l_change : l_itemChanges)
        if (l_change.second.m_inFile)
            l_joined[l_change.second.m_type].push_back(l_change.second.m_item);
    auto const l_left = [&l_itemChanges](std::uint64_t i_key) {
        if (l_itemChanges.empty())
            return false;
        auto const l_found = l_itemChanges.find(i_key);
        return l_found != l_itemChanges.end() && !l_found->second.m_inFile;
    };
    auto const l_byKey = [](GatheredItem const& i_a, GatheredItem const& i_b) { return i_a.m_key < i_b.m_key; };
    std::size_t l_oversize = 0;
    quint64 l_total = 0;
    quint64 l_bytes = HEADER_SIZE + 4;
    std::vector<quint32> l_counts(l_typeCount);
    for (std::size_t l_type = 0; l_type < l_typeCount; ++l_type) {
        Gathered::FileType& l_fileType = io_gathered.m_types[l_type];
        LargeVector<GatheredItem>& l_new = l_joined[l_type];
        std::sort(l_new.begin(), l_new.end(), l_byKey);
        LargeVector<GatheredItem>& l_listed = l_fileType.m_items;
        // A value above the file's string limit would make the file
        // unreadable: it is left out (and logged) instead.
        auto const l_keep = [&l_oversize](GatheredItem const& i_item) {
            l_oversize += i_item.m_oversize ? 1 : 0;
            return !i_item.m_oversize;
        };
        if (l_new.empty()) {
            // Nothing joined: the list is thinned where it is.
            std::size_t l_kept = 0;
            for (GatheredItem const& l_item : l_listed)
                if (!l_left(l_item.m_key) && l_keep(l_item))
                    l_listed[l_kept++] = l_item;
            l_listed.resize(l_kept);
        } else {
            LargeVector<GatheredItem> l_items;
            l_items.reserve(l_listed.size() + l_new.size());
            std::size_t l_old = 0;
            std::size_t l_added = 0;
            while (l_old < l_listed.size() || l_added < l_new.size()) {
                if (l_added == l_new.size() ||
                    (l_old < l_listed.size() && l_listed[l_old].m_key < l_new[l_added].m_key)) {
                    if (!l_left(l_listed[l_old].m_key) && l_keep(l_listed[l_old]))
                        l_items.push_back(l_listed[l_old]);
                    ++l_old;
                } else {
                    // Gathered, gone and back: once.
                    if (l_old < l_listed.size() && l_listed[l_old].m_key == l_new[l_added].m_key)
                        ++l_old;
                    if (l_keep(l_new[l_added]))
                        l_items.push_back(l_new[l_added]);
                    ++l_added;
                }
            }
            l_listed.swap(l_items);
        }
        LargeVector<GatheredItem>().swap(l_new);
        l_counts[l_type] = quint32(l_fileType.m_items.size());
        l_total += l_fileType.m_items.size();
        l_bytes += 4 + l_fileType.m_name.size() + 1 + 4;
        for (GatheredItem const& l_item : l_fileType.m_items)
            l_bytes += l_fileType.m_isNull ? 1 : 4 + quint64(l_item.m_length);
    }
    decltype(l_itemChanges)().swap(l_itemChanges);
    o_oversize = l_oversize;
    if (l_total > std::numeric_limits<quint32>::max())
        throw DataSaveFailure("too many items");

    FileImage l_image;
    l_image.m_items.resize(std::size_t(l_bytes));
    char* lp_at = l_image.m_items.data();
    std::memset(lp_at, 0, HEADER_SIZE); // filled in at the end
    lp_at = PutU32(lp_at + HEADER_SIZE, quint32(l_typeCount));
    for (Gathered::FileType const& l_fileType : io_gathered.m_types) {
        lp_at = PutBytes(lp_at, l_fileType.m_name.data(), l_fileType.m_name.size());
        *lp_at++ = l_fileType.m_isNull ? 1 : 0;
        lp_at = PutU32(lp_at, quint32(l_fileType.m_items.size()));
    }
    BodyTable<quint32> l_indexes{std::size_t(l_total)};
    LargeVector<std::uint16_t> l_typeOf(static_cast<std::size_t>(l_total));
    quint32 l_next = 0;
    for (std::size_t l_type = 0; l_type < l_typeCount; ++l_type) {
        Gathered::FileType& l_fileType = io_gathered.m_types[l_type];
        std::size_t const l_count = l_fileType.m_items.size();
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            GatheredItem const& l_item = l_fileType.m_items[l_at];
            if (l_at + PREFETCH_DISTANCE < l_count)
                l_indexes.Prefetch(l_fileType.m_items[l_at + PREFETCH_DISTANCE].mp_body);
            l_typeOf[l_next] = std::uint16_t(l_type);
            l_indexes.Insert(l_item.mp_body, l_next++);
            if (l_fileType.m_isNull)
                *lp_at++ = l_item.mp_body == l_fileType.mp_flag ? 1 : 0;
            else
                lp_at = PutBytes(lp_at, l_item.mp_value, l_item.m_length);
        }
        LargeVector<GatheredItem>().swap(l_fileType.m_items);
    }
    io_gathered.m_values = ValueArena();

    // The last word on each link that changed.
    std::unordered_map<BodyPair, bool, BodyPairHash> l_changes;
    for (LargeVector<Gathered::LinkChange>& l_part : io_gathered.m_linkChanges.Parts()) {
        for (Gathered::LinkChange const& l_change : l_part)
            l_changes[l_change.m_link] = l_change.m_made;
        LargeVector<Gathered::LinkChange>().swap(l_part);
    }
    // Each link by its two indexes, the end of the larger type first.
    LargeVector<std::pair<quint32, quint32>> l_found;
    l_found.reserve(io_gathered.m_links.Size() + l_changes.size());
    auto const l_add = [&](ItemBody* ip_a, ItemBody* ip_b) {
        quint32 l_a = 0;
        quint32 l_b = 0;
        if (!l_indexes.Find(ip_a, l_a) || !l_indexes.Find(ip_b, l_b))
            return; // not both in the file
        std::uint16_t const l_typeA = l_typeOf[l_a];
        std::uint16_t const l_typeB = l_typeOf[l_b];
        bool l_aFirst = l_a > l_b;
        if (l_typeA != l_typeB)
            l_aFirst = l_counts[l_typeA] > l_counts[l_typeB] ||
                       (l_counts[l_typeA] == l_counts[l_typeB] && l_typeA > l_typeB);
        l_found.emplace_back(l_aFirst ? l_a : l_b, l_aFirst ? l_b : l_a);
    };
    for (LargeVector<BodyPair>& l_block : io_gathered.m_links.Parts()) {
        std::size_t const l_size = l_block.size();
        for (std::size_t l_at = 0; l_at < l_size; ++l_at) {
            if (l_at + PREFETCH_DISTANCE < l_size) {
                l_indexes.Prefetch(l_block[l_at + PREFETCH_DISTANCE].first);
                l_indexes.Prefetch(l_block[l_at + PREFETCH_DISTANCE].second);
            }
            BodyPair const& l_pair = l_block[l_at];
            if (!l_changes.empty() &&
                l_changes.count(l_pair.first < l_pair.second ? l_pair : BodyPair(l_pair.second, l_pair.first)))
                continue; // changed since: the change has the last word
            l_add(l_pair.first, l_pair.second);
        }
        LargeVector<BodyPair>().swap(l_block);
    }
    for (auto const& l_change : l_changes)
        if (l_change.second)
            l_add(l_change.first.first, l_change.first.second);
    io_gathered = Gathered();
    decltype(l_changes)().swap(l_changes);
    LargeVector<std::uint16_t>().swap(l_typeOf);

    // Grouped by the first index (a counting sort), each group by the
    // second; the same link noted twice is written once.
    LargeVector<quint32> l_starts(std::size_t(l_total) + 1, 0);
    for (auto const& l_link : l_found)
        ++l_starts[l_link.first + 1];
    for (std::size_t l_index = 1; l_index < l_starts.size(); ++l_index)
        l_starts[l_index] += l_starts[l_index - 1];
    LargeVector<quint32> l_seconds(l_found.size());
    {
        LargeVector<quint32> l_fill(l_starts.begin(), l_starts.end() - 1);
        for (auto const& l_link : l_found)
            l_seconds[l_fill[l_link.first]++] = l_link.second;
    }
    LargeVector<std::pair<quint32, quint32>>().swap(l_found);
    std::size_t l_linkCount = 0;
    for (std::size_t l_group = 0; l_group + 1 < l_starts.size(); ++l_group) {
        auto const l_begin = l_seconds.begin() + l_starts[l_group];
        auto const l_end = l_seconds.begin() + l_starts[l_group + 1];
        // Gathered in the order of the walk, a group is in order already
        // unless something changed meanwhile.
        if (!std::is_sorted(l_begin, l_end))
            std::sort(l_begin, l_end);
        for (auto l_at = l_begin; l_at != l_end; ++l_at)
            l_linkCount += l_at == l_begin || *l_at != *(l_at - 1) ? 1 : 0;
    }
    l_image.m_links.resize(8 + 8 * l_linkCount);
    char* lp_link = l_image.m_links.data();
    qToLittleEndian(quint64(l_linkCount), lp_link);
    lp_link += 8;
    for (std::size_t l_group = 0; l_group + 1 < l_starts.size(); ++l_group) {
        quint32 l_last = 0;
        for (quint32 l_at = l_starts[l_group]; l_at < l_starts[l_group + 1]; ++l_at) {
            if (l_at > l_starts[l_group] && l_seconds[l_at] == l_last)
                continue;
            l_last = l_seconds[l_at];
            lp_link = PutU32(PutU32(lp_link, quint32(l_group)), l_last);
        }
    }

    quint64 const l_length = l_image.m_items.size() - HEADER_SIZE + l_image.m_links.size();
    quint32 const l_checksum =
        Checksum(l_image.m_links.data(), l_image.m_links.size(),
                 Checksum(l_image.m_items.data() + HEADER_SIZE, l_image.m_items.size() - HEADER_SIZE));
    char* lp_header = l_image.m_items.data();
    std::memcpy(lp_header, MAGIC, 8);
    qToLittleEndian(FORMAT_VERSION, lp_header + 8);
    qToLittleEndian(l_length, lp_header + 12);
    qToLittleEndian(l_checksum, lp_header + 20);
    return l_image;
}

} // namespace DataSaverInternals
