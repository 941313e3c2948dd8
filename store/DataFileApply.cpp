// Putting a checked file into the store: its items and links made in steps
// of bounded work (FileApplier), each link the file makes or breaks between
// items that were there before written down (LoadJournal), so that a file
// failing half-way can be taken out again, and the links of relations that
// are never restored taken out of the file before. The file is read and
// checked in DataFileRead.cpp; the load that tries the files in turn is in
// DataLoad.cpp.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/Log.h"

#include <algorithm>
#include <utility>

using namespace DataSaverInternals;

namespace {
// The most handles to loaded items one step let go of
// (DataSaver::MostItemsLetGoInALoadStep).
std::size_t s_mostLetGo = 0;
} // namespace

std::size_t DataSaver::MostItemsLetGoInALoadStep()
{
    return std::exchange(s_mostLetGo, 0);
}

namespace DataSaverInternals {

void LoadJournal::BeforeLink(Item const& i_a, Item const& i_b)
{
    bool const l_oldA = IsOld(i_a);
    bool const l_oldB = IsOld(i_b);
    if ((!l_oldA && !l_oldB) || i_a.IsConnected(i_b))
        return;
    if (l_oldA && l_oldB)
        m_links.push_back({i_a, i_b, true});
    if (l_oldA)
        NoteReplaced(i_a, i_b);
    if (l_oldB)
        NoteReplaced(i_b, i_a);
}

void LoadJournal::Undo()
{
    std::vector<Item> l_new;
    for (Type* lp_type : d.GetTypes())
        for (Item const& l_item : lp_type->GetItems())
            if (!IsOld(l_item))
                l_new.push_back(l_item);
    std::sort(l_new.begin(), l_new.end(),
              [](Item const& i_a, Item const& i_b) { return i_b.Serial() < i_a.Serial(); });
    std::size_t l_failures = 0;
    auto const l_step = [&l_failures](auto i_step) {
        try {
            i_step();
        } catch (std::exception const&) {
            ++l_failures;
        }
    };
    for (Item const& l_item : l_new)
        l_step([&l_item] { l_item.Remove(); });
    for (auto l_link = m_links.rbegin(); l_link != m_links.rend(); ++l_link)
        l_step([&l_link] {
            if (l_link->m_made)
                l_link->m_a.Disconnect(l_link->m_b);
            else
                l_link->m_a += l_link->m_b;
        });
    if (l_failures > 0)
        Log(LOG_CATEGORY, 1, QString("%1 steps of taking a failed file out of the store failed.").arg(l_failures));
}

void LoadJournal::NoteReplaced(Item const& i_holder, Item const& i_new)
{
    Type::Relation const* lp_relation = i_holder.GetType()->FindRelation(i_new.GetType());
    if (!lp_relation || lp_relation->m_holds != ONE)
        return;
    Item const l_former = i_holder[i_new.GetTypeName().c_str()];
    if (l_former.IsValid() && IsOld(l_former))
        m_links.push_back({i_holder, l_former, false});
}

FileApplier::FileApplier(DataFileContents& io_file, std::vector<std::string> i_savedTypes, LoadJournal& io_journal)
    : m_file(io_file), m_savedTypes(std::move(i_savedTypes)), m_journal(io_journal),
      m_items(io_file.m_values.size())
{
}

FileApplier::~FileApplier()
{
    // A file that failed, or a load broken off: whatever is held goes now.
    s_mostLetGo = std::max(s_mostLetGo, m_items.size());
}

bool FileApplier::Step(std::size_t i_work)
{
    while (i_work > 0 && m_fileType < m_file.m_types.size())
        i_work -= MakeItems(i_work);
    if (m_fileType == m_file.m_types.size() && !m_file.m_values.empty())
        FreeOnAThread(std::move(m_file.m_values));
    if (i_work > 0)
        i_work -= MakeLinks(i_work);
    if (m_linkAt < m_file.m_links.size() || LetGoOfItems(i_work))
        return true;
    if (m_skipped > 0 || m_skippedLinks > 0)
        Log(LOG_CATEGORY, 2,
            QString("Skipped %1 items and %2 links of undeclared or unsaved types or relations.")
                .arg(QString::number(m_skipped), QString::number(m_skippedLinks)));
    return false;
}

std::size_t FileApplier::MakeItems(std::size_t i_work)
{
    DataFileContents::FileType const& l_fileType = m_file.m_types[m_fileType];
    if (m_inType == 0) {
        bool const l_saved =
            std::find(m_savedTypes.begin(), m_savedTypes.end(), l_fileType.m_name) != m_savedTypes.end();
        mp_type = l_saved && d.HasType(l_fileType.m_name) ? d.GetType(l_fileType.m_name) : nullptr;
        if (mp_type && mp_type->IsNull() != l_fileType.m_isNull)
            mp_type = nullptr;
        if (!mp_type) {
            m_index += l_fileType.m_count;
            m_skipped += l_fileType.m_count;
            ++m_fileType;
            return 1;
        }
        // Room for them all, ahead: a key table grown on the way moved its
        // keys over the next steps, and the first of those wrote to every
        // page of the new table (a step of 40 ms at two million files). The
        // count is no more than the items the checked file holds.
        mp_type->Reserve(mp_type->GetItemCount() + l_fileType.m_count);
    }
    std::size_t const l_count = std::min<std::size_t>(i_work, l_fileType.m_count - m_inType);
    for (std::size_t l_made = 0; l_made < l_count; ++l_made, ++m_inType, ++m_index) {
        if (!l_fileType.m_isNull)
            m_items[m_index] = mp_type->NewItem(Value(std::move(m_file.m_values[m_index])));
        else if (m_file.m_sharedNull[m_index])
            m_items[m_index] = mp_type->GetGlobalNullItem();
        else
            m_items[m_index] = mp_type->NewItem();
    }
    if (m_inType == l_fileType.m_count) {
        m_inType = 0;
        ++m_fileType;
    }
    return std::max<std::size_t>(l_count, 1);
}

bool FileApplier::LetGoOfItems(std::size_t i_work)
{
    // A handle to every item of the file, let go of in one go, held the
    // window for 50 to 120 ms at two million files; the last go first,
    // so that the list never moves.
    std::size_t const l_count = std::min(i_work, m_items.size());
    for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
        if (m_items.size() > PREFETCH_DISTANCE)
            __builtin_prefetch(m_items[m_items.size() - 1 - PREFETCH_DISTANCE].Body(), 1);
        m_items.pop_back();
    }
    s_mostLetGo = std::max(s_mostLetGo, l_count);
    if (!m_items.empty())
        return true;
    std::vector<Item>().swap(m_items);
    return false;
}

std::size_t FileApplier::MakeLinks(std::size_t i_work)
{
    std::vector<std::pair<quint32, quint32>> const& l_links = m_file.m_links;
    std::vector<Item> const& l_items = m_items;
    std::size_t const l_linkCount = l_links.size();
    std::size_t const l_begin = m_linkAt;
    std::size_t const l_end = std::min(l_linkCount, m_linkAt + i_work);
    for (; m_linkAt < l_end; ++m_linkAt) {
        std::size_t const l_at = m_linkAt;
        // Linking touches both items, whose bodies are mostly out of the
        // cache: ask for those of a link a few steps ahead.
        if (l_at + 2 * PREFETCH_DISTANCE < l_linkCount) {
            auto const& l_further = l_links[l_at + 2 * PREFETCH_DISTANCE];
            __builtin_prefetch(&l_items[l_further.first]);
            __builtin_prefetch(&l_items[l_further.second]);
        }
        if (l_at + PREFETCH_DISTANCE < l_linkCount) {
            auto const& l_ahead = l_links[l_at + PREFETCH_DISTANCE];
            __builtin_prefetch(l_items[l_ahead.first].Body());
            __builtin_prefetch(l_items[l_ahead.second].Body());
        }
        if (l_at + PREFETCH_DISTANCE / 2 < l_linkCount) {
            auto const& l_near = l_links[l_at + PREFETCH_DISTANCE / 2];
            l_items[l_near.first].PrefetchLinks();
            l_items[l_near.second].PrefetchLinks();
        }
        auto const& l_link = l_links[l_at];
        Item const& l_first = l_items[l_link.first];
        Item const& l_second = l_items[l_link.second];
        if (l_first.IsNull() || l_second.IsNull() || !l_first.GetType()->IsRelatedTo(l_second.GetType())) {
            ++m_skippedLinks;
            continue;
        }
        try {
            m_journal.BeforeLink(l_first, l_second);
            l_first += l_second;
        } catch (StoreException const&) {
            ++m_skippedLinks;
        }
    }
    return l_end - l_begin;
}

void DropUnsavedLinks(DataFileContents& io_file, std::vector<std::pair<std::string, std::string>> const& i_unsaved)
{
    // The file's items are numbered type after type: where each type's
    // numbers end.
    std::vector<quint32> l_ends;
    quint32 l_end = 0;
    for (DataFileContents::FileType const& l_type : io_file.m_types)
        l_ends.push_back(l_end += l_type.m_count);
    std::size_t l_count = io_file.m_links.size();
    for (auto const& l_pair : i_unsaved) {
        // Per type of the file: 1 for the pair's first type, 2 for its second.
        std::vector<std::uint8_t> l_side;
        for (DataFileContents::FileType const& l_type : io_file.m_types)
            l_side.push_back(
                std::uint8_t((l_type.m_name == l_pair.first ? 1 : 0) | (l_type.m_name == l_pair.second ? 2 : 0)));
        auto const l_has = [&l_side](int i_side) {
            return std::any_of(l_side.begin(), l_side.end(), [i_side](std::uint8_t i_at) { return (i_at & i_side) != 0; });
        };
        if (!l_has(1) || !l_has(2))
            continue;
        auto const l_sideOf = [&](quint32 i_item) {
            return l_side[std::size_t(std::upper_bound(l_ends.begin(), l_ends.end(), i_item) - l_ends.begin())];
        };
        auto const l_kept = std::remove_if(io_file.m_links.begin(), io_file.m_links.end(), [&](auto const& i_link) {
            int const l_first = l_sideOf(i_link.first);
            int const l_second = l_sideOf(i_link.second);
            return ((l_first & 1) && (l_second & 2)) || ((l_first & 2) && (l_second & 1));
        });
        io_file.m_links.erase(l_kept, io_file.m_links.end());
    }
    l_count -= io_file.m_links.size();
    if (l_count > 0)
        Log(LOG_CATEGORY, 2, QString("Left out %1 links of relations that are not restored.").arg(l_count));
}

} // namespace DataSaverInternals
