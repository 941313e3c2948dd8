// Values, item handles and item sets (store/Data.h).
#include "store/StoreInternals.h"

#include <atomic>
#include <charconv>
#include <functional>
#include <iterator>

namespace {

// Set on the GUI thread; read by stream reads on worker threads too.
std::atomic<CodePageDecoder> g_codePageDecoder{nullptr};

// A whole decimal number, or false (so "12abc" reads as no number).
template <class Number>
bool ParseDecimal(std::string_view i_text, Number& o_value)
{
    char const* lp_begin = i_text.data();
    char const* lp_end = lp_begin + i_text.size();
    if (lp_begin != lp_end && *lp_begin == '+')
        ++lp_begin;
    auto l_result = std::from_chars(lp_begin, lp_end, o_value);
    return l_result.ec == std::errc() && l_result.ptr == lp_end && lp_begin != lp_end;
}

bool IsValidUtf8(std::string_view i_bytes)
{
    std::size_t l_index = 0;
    std::size_t const l_size = i_bytes.size();
    while (l_index < l_size) {
        unsigned char l_c = static_cast<unsigned char>(i_bytes[l_index]);
        if (l_c < 0x80) {
            ++l_index;
            continue;
        }
        int l_extra;
        std::uint32_t l_code;
        if ((l_c & 0xE0) == 0xC0) {
            l_extra = 1;
            l_code = l_c & 0x1F;
        } else if ((l_c & 0xF0) == 0xE0) {
            l_extra = 2;
            l_code = l_c & 0x0F;
        } else if ((l_c & 0xF8) == 0xF0) {
            l_extra = 3;
            l_code = l_c & 0x07;
        } else {
            return false;
        }
        if (l_index + std::size_t(l_extra) >= l_size)
            return false;
        for (int l_k = 1; l_k <= l_extra; ++l_k) {
            unsigned char l_next = static_cast<unsigned char>(i_bytes[l_index + std::size_t(l_k)]);
            if ((l_next & 0xC0) != 0x80)
                return false;
            l_code = (l_code << 6) | (l_next & 0x3F);
        }
        static const std::uint32_t s_minimum[4] = {0, 0x80, 0x800, 0x10000};
        if (l_code < s_minimum[l_extra] || l_code > 0x10FFFF || (l_code >= 0xD800 && l_code <= 0xDFFF))
            return false;
        l_index += std::size_t(l_extra) + 1;
    }
    return true;
}

Type* TypeByName(char const* ip_type)
{
    return d.GetType(ip_type);
}

} // namespace

// ------------------------------------------------------------------- Value

Value::Value(QString const& i_text) : m_bytes(i_text.toUtf8().toStdString()) {}

QString Value::AsQString() const
{
    return DecodeStoredText(m_bytes);
}

void SetCodePageDecoder(CodePageDecoder i_decoder)
{
    g_codePageDecoder.store(i_decoder);
}

QString DecodeStoredText(std::string_view i_bytes)
{
    bool l_ascii = true;
    for (char l_c : i_bytes)
        if (static_cast<unsigned char>(l_c) >= 0x80) {
            l_ascii = false;
            break;
        }
    if (l_ascii)
        return QString::fromLatin1(i_bytes.data(), int(i_bytes.size()));
    if (IsValidUtf8(i_bytes))
        return QString::fromUtf8(i_bytes.data(), int(i_bytes.size()));
    if (CodePageDecoder l_decoder = g_codePageDecoder.load())
        return l_decoder(i_bytes);
    return QString::fromLatin1(i_bytes.data(), int(i_bytes.size()));
}

// -------------------------------------------------------------------- Item

Item::Item(ItemBody* ip_body) : mp_body(ip_body)
{
    if (mp_body)
        Retain(mp_body);
}

Item::Item(char const* ip_type, Value const& i_key) : Item(TypeByName(ip_type)->GetItem(i_key)) {}

Item::Item(Item const& i_other) : mp_body(i_other.mp_body)
{
    if (mp_body)
        Retain(mp_body);
}

Item& Item::operator=(Item const& i_other)
{
    if (i_other.mp_body)
        Retain(i_other.mp_body);
    if (mp_body)
        Release(mp_body);
    mp_body = i_other.mp_body;
    return *this;
}

Item& Item::operator=(Item&& i_other) noexcept
{
    if (this != &i_other) {
        if (mp_body)
            Release(mp_body);
        mp_body = i_other.mp_body;
        i_other.mp_body = nullptr;
    }
    return *this;
}

Item::~Item()
{
    if (mp_body)
        Release(mp_body);
}

void Item::PrefetchLinks() const
{
    if (mp_body)
        __builtin_prefetch(mp_body->m_links.data() + mp_body->m_links.size(), 1);
}

bool Item::IsNull() const
{
    return !IsLive(mp_body);
}

Type* Item::GetType() const
{
    return IsNull() ? nullptr : mp_body->mp_type;
}

std::string const& Item::GetTypeName() const
{
    static const std::string s_empty;
    return IsNull() ? s_empty : mp_body->mp_type->GetName();
}

Value Item::GetValue() const
{
    return IsNull() ? Value() : Value(std::string(mp_body->m_value.View()));
}

Item Item::operator[](char const* ip_type) const
{
    if (IsNull())
        return Item();
    return Item(StoreOps::FirstLive(mp_body, TypeByName(ip_type)));
}

ItemSet Item::GetItems(char const* ip_type) const
{
    ItemSet l_set;
    GetItems(ip_type, l_set);
    return l_set;
}

void Item::GetItems(char const* ip_type, ItemSet& io_set) const
{
    if (IsNull())
        return;
    std::vector<ItemBody*> l_bodies;
    StoreOps::LiveOfType(mp_body, TypeByName(ip_type), l_bodies);
    io_set.Add(StoreOps::SetOf(l_bodies));
}

std::vector<Item> Item::GetItemsFrom(char const* ip_type, std::uint64_t i_from, std::size_t i_count) const
{
    if (IsNull() || i_from > SERIAL_MASK)
        return {};
    Type const* lp_type = TypeByName(ip_type);
    auto const l_range = GroupRange(mp_body->m_links, lp_type->m_index);
    return StoreOps::LiveFrom(mp_body->m_links, l_range.first, l_range.second,
                              (std::uint64_t(lp_type->m_index) << 48) | i_from, i_count, lp_type->m_unlinking > 0);
}

std::size_t Item::CountItems(char const* ip_type) const
{
    return IsNull() ? 0 : StoreOps::LiveCount(mp_body, TypeByName(ip_type));
}

std::size_t Item::CountItemsUpTo(char const* ip_type, std::size_t i_limit) const
{
    return IsNull() ? 0 : StoreOps::LiveCount(mp_body, TypeByName(ip_type), i_limit);
}

bool Item::IsConnected(char const* ip_type) const
{
    return !IsNull() && StoreOps::FirstLive(mp_body, TypeByName(ip_type)) != nullptr;
}

bool Item::IsConnected(Item const& i_other) const
{
    return !IsNull() && !i_other.IsNull() && IsLinked(mp_body, i_other.mp_body);
}

bool Item::IsDisconnectedFromAll() const
{
    if (IsNull())
        return true;
    if (!mp_body->mp_type->mp_data->HasLinksOfRemoved())
        return mp_body->m_links.size() == mp_body->m_deadLinks;
    for (ItemBody* lp_entry : mp_body->m_links)
        if (!IsGone(lp_entry))
            return false;
    return true;
}

Item Item::NewItem(char const* ip_type) const
{
    if (IsNull())
        return Item();
    Type* lp_type = TypeByName(ip_type);
    if (!lp_type->IsNull())
        throw NullTypeException("Item::NewItem needs a null type: " + lp_type->GetName());
    Type::Relation const* lp_relation = mp_body->mp_type->FindRelation(lp_type);
    if (!lp_relation)
        throw NotRelatedException(mp_body->mp_type->GetName() + " is not related to " + lp_type->GetName());
    Type::Relation const* lp_back = lp_type->FindRelation(mp_body->mp_type);
    if (lp_relation->m_holds == ONE && lp_back && lp_back->m_holds == MANY) {
        Item l_flag = lp_type->GetGlobalNullItem();
        Connect(l_flag);
        return l_flag;
    }
    if (lp_relation->m_holds == ONE) {
        Item l_existing = (*this)[ip_type];
        if (!l_existing.IsNull())
            return l_existing;
    }
    Item l_new = lp_type->NewItem();
    Connect(l_new);
    return l_new;
}

Item Item::Connect(Item const& i_other) const
{
    if (IsNull() || i_other.IsNull())
        return i_other;
    StoreOps::Connect(mp_body, i_other.mp_body);
    return i_other;
}

void Item::operator+=(ItemSet const& i_set) const
{
    for (Item const& l_item : i_set)
        Connect(l_item);
}

void Item::Disconnect(Item const& i_other) const
{
    if (IsNull() || i_other.IsNull())
        return;
    StoreOps::Disconnect(mp_body, i_other.mp_body);
}

void Item::Disconnect(char const* ip_type) const
{
    if (IsNull())
        return;
    std::vector<ItemBody*> l_bodies;
    StoreOps::LiveOfType(mp_body, TypeByName(ip_type), l_bodies);
    ItemSet l_held = StoreOps::SetOf(l_bodies); // keeps them alive through the events
    for (Item const& l_other : l_held)
        Disconnect(l_other);
}

void Item::Remove() const
{
    if (IsNull())
        return;
    StoreOps::Remove(mp_body);
}

QString Item::AsString() const
{
    return IsNull() ? QString() : DecodeStoredText(mp_body->m_value.View());
}

std::string Item::AsStdString() const
{
    return IsNull() ? std::string() : std::string(mp_body->m_value.View());
}

int Item::AsInt() const
{
    long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    if (l_value < std::numeric_limits<int>::min() || l_value > std::numeric_limits<int>::max())
        return 0;
    return int(l_value);
}

qint64 Item::AsInt64() const
{
    long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    return l_value;
}

quint64 Item::AsUInt64() const
{
    unsigned long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    return l_value;
}

std::uint64_t Item::Serial() const
{
    return mp_body ? (mp_body->m_key & SERIAL_MASK) : 0;
}

bool Item::operator==(Item const& i_other) const
{
    bool l_null = IsNull();
    bool l_otherNull = i_other.IsNull();
    if (l_null || l_otherNull)
        return l_null == l_otherNull;
    return mp_body == i_other.mp_body;
}

// ----------------------------------------------------------------- ItemSet

namespace {
inline bool SerialLess(Item const& i_a, Item const& i_b)
{
    return i_a.Serial() < i_b.Serial();
}

std::uint64_t s_growthWork = 0;
} // namespace

std::uint64_t ItemSet::GrowthWork()
{
    return s_growthWork;
}

ItemSet::ItemSet(Item const& i_item)
{
    insert(i_item);
}

ItemSet ItemSet::FromSorted(std::vector<Item>&& i_items)
{
    ItemSet l_set;
    l_set.m_items = std::move(i_items);
    return l_set;
}

std::vector<Item> ItemSet::TakeItems()
{
    std::vector<Item> l_items;
    l_items.swap(m_items);
    return l_items;
}

bool ItemSet::insert(Item const& i_item)
{
    if (i_item.IsNull())
        return false;
    ++s_growthWork;
    if (m_items.empty() || SerialLess(m_items.back(), i_item)) {
        m_items.push_back(i_item);
        return true;
    }
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (l_it != m_items.end() && l_it->Serial() == i_item.Serial())
        return false;
    s_growthWork += std::uint64_t(m_items.end() - l_it);
    m_items.insert(l_it, i_item);
    return true;
}

void ItemSet::erase(Item const& i_item)
{
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (l_it != m_items.end() && l_it->Serial() == i_item.Serial())
        m_items.erase(l_it);
}

bool ItemSet::contains(Item const& i_item) const
{
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    return l_it != m_items.end() && l_it->Serial() == i_item.Serial() && !i_item.IsNull();
}

void ItemSet::Add(ItemSet const& i_other)
{
    s_growthWork += m_items.size() + i_other.m_items.size();
    if (m_items.empty()) {
        m_items = i_other.m_items;
        return;
    }
    std::vector<Item> l_merged;
    l_merged.reserve(m_items.size() + i_other.m_items.size());
    std::set_union(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                   std::back_inserter(l_merged), SerialLess);
    m_items.swap(l_merged);
}

void ItemSetBuilder::Add(Item const& i_item)
{
    ++s_growthWork;
    if (i_item.IsNull())
        return;
    std::uint64_t const l_serial = i_item.Serial();
    m_inOrder = m_inOrder && (m_items.empty() || m_items.back().first <= l_serial);
    m_items.emplace_back(l_serial, i_item);
}

void ItemSetBuilder::Add(ItemSet const& i_set)
{
    for (Item const& l_item : i_set.m_items)
        Add(l_item);
}

ItemSet ItemSetBuilder::Take()
{
    std::vector<std::pair<std::uint64_t, Item>> l_items;
    l_items.swap(m_items);
    // Sets added one after the other in creation order (the rows of one
    // folder) need no sort.
    if (!m_inOrder) {
        std::sort(l_items.begin(), l_items.end(), [](auto const& i_a, auto const& i_b) {
            ++s_growthWork;
            return i_a.first < i_b.first;
        });
    }
    m_inOrder = true;
    std::vector<Item> l_set;
    l_set.reserve(l_items.size());
    for (std::size_t l_k = 0; l_k < l_items.size(); ++l_k) {
        ++s_growthWork;
        if (l_k == 0 || l_items[l_k - 1].first != l_items[l_k].first)
            l_set.push_back(std::move(l_items[l_k].second));
    }
    return ItemSet::FromSorted(std::move(l_set));
}

ItemSet::operator Item() const
{
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            return l_item;
    return Item();
}

void ItemSet::Remove() const
{
    std::vector<Item> l_items(m_items);
    for (Item const& l_item : l_items)
        l_item.Remove();
}

ItemSet ItemSet::GetItems(char const* ip_type) const
{
    Type* lp_type = TypeByName(ip_type);
    std::vector<ItemBody*> l_bodies;
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            StoreOps::LiveOfType(l_item.Body(), lp_type, l_bodies);
    std::sort(l_bodies.begin(), l_bodies.end(),
              [](ItemBody* ip_a, ItemBody* ip_b) { return ip_a->m_key < ip_b->m_key; });
    l_bodies.erase(std::unique(l_bodies.begin(), l_bodies.end()), l_bodies.end());
    return StoreOps::SetOf(l_bodies);
}

namespace {
template <class Predicate>
ItemSet Filtered(std::vector<Item> const& i_items, Predicate i_keep)
{
    std::vector<Item> l_kept;
    for (Item const& l_item : i_items)
        if (!l_item.IsNull() && i_keep(l_item))
            l_kept.push_back(l_item);
    return ItemSet::FromSorted(std::move(l_kept));
}
} // namespace

ItemSet ItemSet::Connected(char const* ip_type) const
{
    TypeByName(ip_type);
    return Filtered(m_items, [ip_type](Item const& i_item) { return i_item.IsConnected(ip_type); });
}

ItemSet ItemSet::NotConnected(char const* ip_type) const
{
    TypeByName(ip_type);
    return Filtered(m_items, [ip_type](Item const& i_item) { return !i_item.IsConnected(ip_type); });
}

ItemSet ItemSet::Connected(char const* ip_type, Value const& i_key) const
{
    Item l_other = TypeByName(ip_type)->HasItem(i_key);
    return Connected(l_other);
}

ItemSet ItemSet::NotConnected(char const* ip_type, Value const& i_key) const
{
    Item l_other = TypeByName(ip_type)->HasItem(i_key);
    return NotConnected(l_other);
}

ItemSet ItemSet::Connected(Item const& i_other) const
{
    if (i_other.IsNull())
        return ItemSet();
    return Filtered(m_items, [&i_other](Item const& i_item) { return i_item.IsConnected(i_other); });
}

ItemSet ItemSet::NotConnected(Item const& i_other) const
{
    if (i_other.IsNull())
        return Filtered(m_items, [](Item const&) { return true; });
    return Filtered(m_items, [&i_other](Item const& i_item) { return !i_item.IsConnected(i_other); });
}

ItemSet ItemSet::Connected(ItemSet const& i_other) const
{
    return Filtered(m_items, [&i_other](Item const& i_item) {
        for (Item const& l_other : i_other)
            if (i_item.IsConnected(l_other))
                return true;
        return false;
    });
}

ItemSet ItemSet::Common(ItemSet const& i_other) const
{
    std::vector<Item> l_common;
    std::set_intersection(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                          std::back_inserter(l_common), SerialLess);
    return Filtered(l_common, [](Item const&) { return true; });
}

void ItemSet::Disconnect(char const* ip_type) const
{
    std::vector<Item> l_items(m_items);
    for (Item const& l_item : l_items)
        l_item.Disconnect(ip_type);
}

namespace {

// Items in the order of their keys, stable among equal keys.
template <class Key, class Less>
ItemList SortKeyed(std::vector<std::pair<Key, Item>>& io_keyed, bool i_ascending, Less i_less)
{
    std::stable_sort(io_keyed.begin(), io_keyed.end(), [i_ascending, &i_less](auto const& i_a, auto const& i_b) {
        return i_ascending ? i_less(i_a.first, i_b.first) : i_less(i_b.first, i_a.first);
    });
    ItemList l_list;
    l_list.reserve(io_keyed.size());
    for (auto& l_pair : io_keyed)
        l_list.push_back(l_pair.second);
    return l_list;
}

ItemList SortByText(std::vector<std::pair<QString, Item>>& io_keyed, bool i_ascending, bool i_caseSensitive)
{
    if (!i_caseSensitive)
        for (auto& l_pair : io_keyed)
            l_pair.first = l_pair.first.toLower();
    return SortKeyed(io_keyed, i_ascending,
                     [](QString const& i_a, QString const& i_b) { return QString::compare(i_a, i_b) < 0; });
}

} // namespace

ItemList ItemSet::SortNumericBy(char const* ip_attribute, bool i_ascending) const
{
    TypeByName(ip_attribute);
    std::vector<std::pair<qint64, Item>> l_keyed;
    for (Item const& l_item : m_items) {
        Item l_attribute = l_item[ip_attribute];
        if (!l_attribute.IsNull())
            l_keyed.emplace_back(l_attribute.AsInt64(), l_item);
    }
    return SortKeyed(l_keyed, i_ascending, std::less<qint64>());
}

ItemList ItemSet::SortAlphabetic(bool i_ascending, bool i_caseSensitive) const
{
    std::vector<std::pair<QString, Item>> l_keyed;
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            l_keyed.emplace_back(l_item.AsString(), l_item);
    return SortByText(l_keyed, i_ascending, i_caseSensitive);
}

ItemList ItemSet::SortAlphabeticBy(char const* ip_attribute, bool i_ascending, bool i_caseSensitive) const
{
    TypeByName(ip_attribute);
    std::vector<std::pair<QString, Item>> l_keyed;
    for (Item const& l_item : m_items) {
        Item l_attribute = l_item[ip_attribute];
        if (!l_attribute.IsNull())
            l_keyed.emplace_back(l_attribute.AsString(), l_item);
    }
    return SortByText(l_keyed, i_ascending, i_caseSensitive);
}

ItemSet i(char const* ip_type, Value const& i_key)
{
    if (!d.HasType(ip_type))
        return ItemSet();
    return ItemSet(d.GetType(ip_type)->HasItem(i_key));
}
