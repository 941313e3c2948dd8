#ifndef QUILLMAR_STORE_DATA_H
#define QUILLMAR_STORE_DATA_H

// The item store: every piece of the client's state is an item of a named
// type, linked to items of related types. See docs/architecture.md.
//
// One header, one section per class; the code is in files named by concern:
// Item.cpp (Value, Item, ItemSet), Type.cpp (Type and its key index),
// Links.cpp (connecting, disconnecting, removing, and the events they fire),
// PathPatterns.cpp (PathNode and path subscriptions), Collection.cpp
// (RemoveDisconnectedItems), Data.cpp (the store, its handler registry,
// DataHandler), ItemBodies.cpp (the pools); StoreInternals.h is what they
// share.

#include "store/Event.h"

#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Data;
struct CollectionRun;
class Type;
class Item;
class ItemSet;
class PathNode;
struct ItemBody;

enum Primacy { ROOT = 0, INTERMEDIATE = 1, LEAF = 2 };
enum OneOrMany { ONE = 0, MANY = 1 };
enum PathNodeRelation {
    PATH_CONNECTED_FIRES = 0,    // must be linked; making the link fires
    PATH_CONNECTED = 1,          // must be linked; never fires
    PATH_ON_CONNECT = 2,         // making the link fires; no standing condition
    PATH_DISCONNECTED_FIRES = 3, // must not be linked; breaking the link fires
    PATH_DISCONNECTED = 4,       // must not be linked; never fires
    PATH_ON_DISCONNECT = 5       // breaking the link fires; no standing condition
};

// ---------------------------------------------------------------- exceptions

class StoreException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
class TypeNotFoundException : public StoreException { public: using StoreException::StoreException; };
class NotRelatedException : public StoreException { public: using StoreException::StoreException; };
class AlreadyRelatedException : public StoreException { public: using StoreException::StoreException; };
class NullTypeException : public StoreException { public: using StoreException::StoreException; };
class TypeAlreadyExistsException : public StoreException { public: using StoreException::StoreException; };

// --------------------------------------------------------------------- Value

// An item's key: always one byte string. Numbers and object addresses are
// kept as decimal text.
class Value
{
public:
    Value() = default;
    Value(QString const& i_text);
    Value(char const* ip_bytes) : m_bytes(ip_bytes ? ip_bytes : "") {}
    // Text in a writable buffer (a char array, std::string::data()) is text
    // too; without this the object-address constructor below would take it.
    Value(char* ip_bytes) : Value(static_cast<char const*>(ip_bytes)) {}
    Value(std::nullptr_t) {}
    Value(std::string i_bytes) : m_bytes(std::move(i_bytes)) {}
    Value(int i_number) : m_bytes(std::to_string(i_number)) {}
    Value(unsigned int i_number) : m_bytes(std::to_string(i_number)) {}
    Value(long i_number) : m_bytes(std::to_string(i_number)) {}
    Value(unsigned long i_number) : m_bytes(std::to_string(i_number)) {}
    Value(long long i_number) : m_bytes(std::to_string(i_number)) {}
    Value(unsigned long long i_number) : m_bytes(std::to_string(i_number)) {}
    // The object key of a live object: its address as unsigned decimal text.
    template <class T>
    Value(T* ip_object)
        : m_bytes(std::to_string(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(ip_object))))
    {
    }

    std::string const& Bytes() const { return m_bytes; }
    QString AsQString() const;
    bool operator<(Value const& i_other) const { return m_bytes < i_other.m_bytes; }
    bool operator==(Value const& i_other) const { return m_bytes == i_other.m_bytes; }
    bool operator!=(Value const& i_other) const { return m_bytes != i_other.m_bytes; }

private:
    std::string m_bytes;
};

// Decodes stored bytes: UTF-8 when valid, otherwise through the chosen 8-bit
// code page. The code-page translator installs its decoder here; until it
// does, Latin-1 is used so that no byte is lost.
typedef QString (*CodePageDecoder)(std::string_view i_bytes);
void SetCodePageDecoder(CodePageDecoder i_decoder);
QString DecodeStoredText(std::string_view i_bytes);

// ---------------------------------------------------------------------- Item

// A handle to a stored item. Handles keep the item's body alive, so a handle
// never dangles: once the item is removed it reads as a null item.
class Item
{
public:
    Item() = default;
    explicit Item(ItemBody* ip_body);
    // The item of that type and key (created when the type auto-creates).
    Item(char const* ip_type, Value const& i_key);
    Item(Item const& i_other);
    Item(Item&& i_other) noexcept : mp_body(i_other.mp_body) { i_other.mp_body = nullptr; }
    Item& operator=(Item const& i_other);
    Item& operator=(Item&& i_other) noexcept;
    ~Item();

    bool IsNull() const;
    bool IsValid() const { return !IsNull(); }
    Type* GetType() const;
    std::string const& GetTypeName() const;
    Value GetValue() const;

    // The first linked item of that type, or a null item; never creates.
    Item operator[](char const* ip_type) const;
    Item HasItem(char const* ip_type) const { return (*this)[ip_type]; }
    Item GetItem(char const* ip_type) const { return (*this)[ip_type]; }
    ItemSet GetItems(char const* ip_type) const;
    void GetItems(char const* ip_type, ItemSet& io_set) const;
    // At most i_count of them, those made at serial i_from or later, in
    // creation order: a reader of thousands of links goes through them a
    // batch at a time (the next from the serial after the last it was
    // given), since taking a handle to each touches each item, and a
    // share's hundred thousand folders took 10 to 30 ms in one step.
    std::vector<Item> GetItemsFrom(char const* ip_type, std::uint64_t i_from, std::size_t i_count) const;
    std::size_t CountItems(char const* ip_type) const;
    // The same, but counting stops at i_limit: whether an item holds more
    // than so many, at the cost of so many.
    std::size_t CountItemsUpTo(char const* ip_type, std::size_t i_limit) const;

    bool IsConnected(char const* ip_type) const;
    bool IsConnected(Item const& i_other) const;
    bool IsDisconnectedFromAll() const;

    Item NewItem(char const* ip_type) const;

    Item operator+=(Item const& i_other) const { return Connect(i_other); }
    Item Connect(Item const& i_other) const;
    void operator+=(ItemSet const& i_set) const;
    void operator-=(Item const& i_other) const { Disconnect(i_other); }
    void Disconnect(Item const& i_other) const;
    void Disconnect(char const* ip_type) const;
    void Remove() const;

    QString AsString() const;
    std::string AsStdString() const;
    int AsInt() const;
    qint64 AsInt64() const;
    quint64 AsUInt64() const;

    // Creation order, the same on every run; items and item sets iterate in it.
    std::uint64_t Serial() const;
    ItemBody* Body() const { return mp_body; }
    // Asks the processor for the end of this item's links, where the next
    // link will most likely go; for bulk linking, a few links ahead.
    void PrefetchLinks() const;

    bool operator==(Item const& i_other) const;
    bool operator!=(Item const& i_other) const { return !(*this == i_other); }
    bool operator<(Item const& i_other) const { return Serial() < i_other.Serial(); }

private:
    ItemBody* mp_body = nullptr;
};

typedef std::vector<Item> ItemList;

// -------------------------------------------------------------------- ItemSet

// A set of items in creation order.
class ItemSet
{
public:
    typedef std::vector<Item>::const_iterator iterator;
    typedef std::vector<Item>::const_iterator const_iterator;

    ItemSet() = default;
    ItemSet(Item const& i_item);

    iterator begin() const { return m_items.begin(); }
    iterator end() const { return m_items.end(); }
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    // Both keep the set in order at each call, which moves what follows
    // the place of what comes: a set grown a member or a set at a time,
    // out of order, costs the square of its size (a selection of 20,000
    // rows held the window two seconds). ItemSetBuilder grows one in time
    // that follows its size.
    bool insert(Item const& i_item);
    void erase(Item const& i_item);
    bool contains(Item const& i_item) const;
    void clear() { m_items.clear(); }
    void Add(ItemSet const& i_other);
    operator Item() const;

    void Remove() const;
    ItemSet GetItems(char const* ip_type) const;
    ItemSet Connected(char const* ip_type) const;
    ItemSet NotConnected(char const* ip_type) const;
    ItemSet Connected(char const* ip_type, Value const& i_key) const;
    ItemSet NotConnected(char const* ip_type, Value const& i_key) const;
    ItemSet Connected(Item const& i_item) const;
    ItemSet NotConnected(Item const& i_item) const;
    ItemSet Connected(ItemSet const& i_other) const;
    ItemSet Common(ItemSet const& i_other) const;
    void Disconnect(char const* ip_type) const;

    ItemList SortNumericBy(char const* ip_attribute, bool i_ascending) const;
    ItemList SortAlphabetic(bool i_ascending, bool i_caseSensitive) const;
    ItemList SortAlphabeticBy(char const* ip_attribute, bool i_ascending, bool i_caseSensitive) const;

    // Builds a set from items already in creation order (no sorting).
    static ItemSet FromSorted(std::vector<Item>&& i_items);
    // The items in creation order, the set left empty: for a reader that
    // lets go of each handle as it passes, while its body is in cache,
    // rather than of them all at once.
    std::vector<Item> TakeItems();

    // Members read, compared or moved by what grows sets (insert, Add,
    // ItemSetBuilder) since the start: a test counts the work of building
    // a set where timing it would say nothing on a busy machine.
    static std::uint64_t GrowthWork();

private:
    friend class ItemSetBuilder;
    std::vector<Item> m_items;
};

// Grows a set from members and sets given in any order, in time that
// follows what it is given: they are kept as they come and put in order
// once, when the set is taken. A member already removed when it is given
// is left out.
class ItemSetBuilder
{
public:
    void Add(Item const& i_item);
    void Add(ItemSet const& i_set);
    bool empty() const { return m_items.empty(); }
    // The set, the builder left empty.
    ItemSet Take();

private:
    // By serial, read once here: a sort that read each from its body
    // would reach for tens of thousands of bodies again and again.
    std::vector<std::pair<std::uint64_t, Item>> m_items;
    bool m_inOrder = true;
};

// The two items of a connection event: the item on whose side the event
// fires first.
struct ConnectionInfo
{
    Item m_item1;
    Item m_item2;
};

// ---------------------------------------------------------------------- Type

// A valued type's items by their key bytes: open addressing over one flat
// table, which finds a key with fewer cache misses than a node-based map (a
// share looks up names, sizes and tokens millions of times). Store-internal.
//
// A table that grows, or is rebuilt smaller, moves its keys to the new
// table a few slots at each later insertion or erasure rather than all at
// once: at a million keys one rebuild held its caller for 30 to 100 ms, in
// whatever slice of work made the key that filled it or erased the key that
// emptied it. Until the old table is empty both are searched.
class ValueIndex
{
public:
    ItemBody* Find(std::string_view i_key) const;
    void Insert(ItemBody* ip_body); // kept as it is when the key is taken
    void Erase(ItemBody* ip_body);
    void Clear();
    // Room for that many keys without a rebuild on the way; none while an
    // old table is still being emptied.
    void Reserve(std::size_t i_keys);
    // Moves the keys of at most that many slots of the old table (the
    // collection empties one that erasures left behind); how many it
    // looked at.
    std::size_t MoveOld(std::size_t i_slots);
    bool HasOld() const { return !m_old.empty(); }
    // The most slots of an old table that one call looked at.
    std::size_t MostMovedAtOnce() const { return m_mostMoved; }

private:
    struct Slot
    {
        std::size_t m_hash;
        ItemBody* mp_body; // null: never used; TOMBSTONE: erased
    };
    // Slots that the system zeroes page by page as they are first written:
    // a table made ahead for a million keys costs nothing until it is used
    // (filling 32 MB of empty slots at once held the event loop for 16 ms).
    class Slots
    {
    public:
        Slots() = default;
        explicit Slots(std::size_t i_size);
        bool empty() const { return m_size == 0; }
        std::size_t size() const { return m_size; }
        Slot& operator[](std::size_t i_at) { return mp_slots.get()[i_at]; }
        Slot const& operator[](std::size_t i_at) const { return mp_slots.get()[i_at]; }
        Slot const* begin() const { return mp_slots.get(); }
        Slot const* end() const { return mp_slots.get() + m_size; }
        void swap(Slots& io_other);

    private:
        struct Free
        {
            void operator()(Slot* ip_slots) const;
        };
        std::unique_ptr<Slot, Free> mp_slots;
        std::size_t m_size = 0;
    };
    // The slot of that key and hash in a table, or null.
    static Slot const* FindIn(Slots const& i_slots, std::string_view i_key, std::size_t i_hash);
    // Marks the body's slot erased; false when the table does not hold it.
    static bool EraseIn(Slots& io_slots, ItemBody* ip_body, std::size_t i_hash);
    // Starts a new table, at least twice the live keys (or i_keys) and half
    // full at most; the keys follow by MoveSome.
    void Grow(std::size_t i_keys = 0);
    // Moves the keys of the next few slots of the old table: more of them
    // the larger it is against the new one, so that a table rebuilt smaller
    // gives its memory back within as many erasures as a grown one takes
    // insertions.
    void MoveSome();
    std::size_t MoveSlots(std::size_t i_slots);
    void MoveAll();

    Slots m_slots;
    std::size_t m_used = 0; // live entries and tombstones of m_slots
    std::size_t m_live = 0; // in both tables
    // The table being emptied into m_slots, and how far it has been.
    Slots m_old;
    std::size_t m_moved = 0;
    std::size_t m_mostMoved = 0;
};

class Type
{
public:
    std::string const& GetName() const { return m_name; }
    Primacy GetPrimacy() const { return m_primacy; }
    bool IsNull() const { return m_isNull; }
    bool IsAutoCreate() const { return m_autoCreate; }
    Data* GetData() const { return mp_data; }

    void RelateToType(Type* ip_other, OneOrMany i_a, OneOrMany i_b, bool i_owning);
    bool IsRelatedTo(Type const* ip_other) const;

    Item GetItem(Value const& i_key);
    Item operator[](Value const& i_key) { return GetItem(i_key); }
    Item HasItem(Value const& i_key) const;
    Item NewItem();
    Item NewItem(Value const& i_key);
    ItemSet GetItems() const;
    // The same a batch at a time, as Item::GetItemsFrom.
    std::vector<Item> GetItemsFrom(std::uint64_t i_from, std::size_t i_count) const;
    std::size_t GetItemCount() const;
    // Makes room for that many items in the type's list and, for a valued
    // type, in its key table, so that making them neither copies the one
    // (a few milliseconds at a million items) nor rebuilds the other.
    void Reserve(std::size_t i_items);
    // The most slots of its key table's old table that one insertion,
    // erasure or step of the collection looked at.
    std::size_t MostKeysMovedAtOnce() const { return m_byValue.MostMovedAtOnce(); }
    // Whether its key table still has keys to move out of an old one.
    bool MovesKeys() const { return m_byValue.HasOld(); }
    Item GetGlobalNullItem();
    // The shared item if it exists; never creates (the data saver asks this).
    Item FindGlobalNullItem() const;
    void RemoveAllItems();

    void AddNewItemEventHandler(EventHandlerBase<Item>* ip_handler) { m_newItemEvent.Insert(ip_handler); }
    void AddRemovedItemEventHandler(EventHandlerBase<Item>* ip_handler) { m_removedItemEvent.Insert(ip_handler); }
    void AddConnectEventHandler(EventHandlerBase<ConnectionInfo&>* ip_handler) { m_connectEvent.Insert(ip_handler); }
    void AddDisconnectEventHandler(EventHandlerBase<ConnectionInfo&>* ip_handler) { m_disconnectEvent.Insert(ip_handler); }

    Event<Item> m_newItemEvent;
    Event<Item> m_removedItemEvent;
    Event<ConnectionInfo&> m_connectEvent;
    Event<ConnectionInfo&> m_disconnectEvent;

    // How this type stands to one related type.
    struct Relation
    {
        Type* mp_other;
        OneOrMany m_holds; // how many items of the other type one of ours holds
        bool m_owns;       // our items own theirs
        bool m_ownedBy;    // their items own ours
    };
    std::vector<Relation> const& GetRelations() const { return m_relations; }
    Relation const* FindRelation(Type const* ip_other) const;

private:
    friend class Data;
    friend class Item;
    friend struct StoreOps;
    friend struct CollectionRun;
    Type(Data* ip_data, std::string i_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate, std::uint16_t i_index);
    ~Type();

    Item CreateBody(std::string i_value);
    Item FindOrCreate(Value const& i_key, bool i_create, char const* ip_caller);

    Data* mp_data;
    std::string m_name;
    Primacy m_primacy;
    bool m_isNull;
    bool m_autoCreate;
    std::uint16_t m_index;
    std::vector<Relation> m_relations;
    // Some relation makes another type's items own ours.
    bool m_owned = false;
    // Items in creation order; removed entries are tombstones until compaction.
    std::vector<ItemBody*> m_items;
    std::uint32_t m_deadItems = 0;
    ValueIndex m_byValue;
    ItemBody* mp_globalNullItem = nullptr;
    // Its removed items whose links are still being dropped
    // (Data::m_unlinking): while there are any, readers of links to this
    // type look at each linked item.
    std::uint32_t m_unlinking = 0;
};

// ------------------------------------------------------------------ PathNode

// A path pattern: a root over every item of a type (or one fixed item), and
// steps to linked items of a type (or to one fixed item), each with its
// relation. The store owns a pattern once it is subscribed.
class PathNode
{
public:
    PathNode(Item const& i_start);
    PathNode(Data* ip_data, char const* ip_type);
    PathNode(PathNode* ip_parent, char const* ip_type, PathNodeRelation i_relation);
    PathNode(PathNode* ip_parent, Item const& i_fixed, PathNodeRelation i_relation);
    PathNode(PathNode const&) = delete;
    PathNode& operator=(PathNode const&) = delete;
    ~PathNode();

    Type* GetType() const { return mp_type; }
    bool IsFixed() const { return m_isFixed; }
    Item const& GetFixedItem() const { return m_fixed; }
    PathNodeRelation GetRelation() const { return m_relation; }
    PathNode* GetParent() const { return mp_parent; }
    std::vector<PathNode*> const& GetChildren() const { return m_children; }

private:
    Type* mp_type = nullptr;
    Item m_fixed;
    bool m_isFixed = false;
    bool m_subscribed = false;
    PathNodeRelation m_relation = PATH_CONNECTED_FIRES;
    PathNode* mp_parent = nullptr;
    std::vector<PathNode*> m_children;
    friend class Data;
};

// ---------------------------------------------------------------------- Data

class Data
{
public:
    Data();
    Data(Data const&) = delete;
    Data& operator=(Data const&) = delete;
    ~Data();

    Type* NewType(std::string const& i_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate);
    // Looked up without making a string: item["attribute"] reads are the
    // store's most frequent call.
    Type* GetType(std::string_view i_name) const;
    bool HasType(std::string_view i_name) const;
    Type* operator[](std::string_view i_name) const { return GetType(i_name); }
    std::vector<Type*> const& GetTypes() const { return m_types; }

    Item GetItem(Item const& i_a, Item const& i_b, char const* ip_type) const;
    ItemSet GetItems(Item const& i_a, Item const& i_b, char const* ip_type) const;
    ItemSet GetItems(ItemSet const& i_set, char const* ip_type) const;
    ItemSet GetItemSubset(ItemSet const& i_set, char const* ip_type) const;
    Item GetItem(ItemSet const& i_set, char const* ip_type) const;

    void AddConnectionEventHandler(Type* ip_a, Type* ip_b, EventHandlerBase<ConnectionInfo&>* ip_handler);
    void AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item>* ip_handler);

    // Garbage collection: owned items without an owner go (to a fixpoint),
    // then everything not reachable from the items of root types. It looks
    // only at what changed since the last collection (docs/architecture.md,
    // "Garbage collection"). This call collects here and now: a collection
    // under way in steps ends first, then a whole one follows; called from
    // a handler that the collection's own removals run, it does nothing
    // (the collection under way goes on).
    void RemoveDisconnectedItems();
    // The same collection in steps, for a caller that turns the event loop
    // between them (StoreCollector): BeginCollection starts one unless one
    // is under way; ContinueCollection does a bounded piece of it (a fraction
    // of a millisecond, besides the removal handlers it runs) and says
    // whether more is left. What changes between the steps is seen: an item
    // that something links again to what roots reach is not removed.
    void BeginCollection();
    bool ContinueCollection();
    bool IsCollecting() const { return mp_collection != nullptr; }
    // A step runs further up (this is a handler of its removals).
    bool IsInCollectionStep() const { return m_collectionDepth > 0; }
    // How much a step may do, in link entries read or items handled
    // (4096); tests make it small, so that every part of a collection
    // spans steps.
    static void SetCollectionStepWork(std::size_t i_work);
    // References that the compaction of a long link vector or item list
    // left for the collection's steps to let go of (the bodies of removed
    // items, mostly): none once a collection has ended.
    static std::size_t PendingTagReleases();
    // The most entries of a link vector or item list that one compaction
    // read (a long one is compacted a window at a time) since the last call.
    static std::size_t MostEntriesCompactedAtOnce();
    // The most link entries that one link made, one count or one look-up of
    // an item's links of a type moved or passed over beyond the binary
    // searches that found its place, since the last call: what grows with
    // the links an item already holds.
    static std::size_t MostEntriesPassedAtOnce();
    // The most owned items that one step of a collection noted, sorted or
    // looked at for an owner, since the last call.
    static std::size_t MostOwnedItemsInAStep();
    // The most entries that one step of a collection let go of (the
    // handles of its lists) or passed over (items gone since they were
    // noted or made), since the last call.
    static std::size_t MostSpentEntriesInAStep();
    // An item removed while it holds many links is gone at once for every
    // reader (its type's list, its key, the links to it, a save), and its
    // links are dropped, with their events, in the steps that follow: each
    // step of a collection drops a step's worth first, and the collection
    // goes on once none is left; a caller whose events must keep the old
    // order, the removed item's links before what follows (the shares'
    // look at which folders no root holds), drops them itself between its
    // slices. This drops one step's worth (a quarter of the step work);
    // whether any is left.
    bool DropLinksOfRemoved();
    bool HasLinksOfRemoved() const { return !m_unlinking.empty(); }
    // The most links that one removal or one step dropped since the last
    // call.
    static std::size_t MostLinksDroppedInAStep();
    void Audit() {}

    // Drops every type, item and handler. For tests and shutdown.
    void Reset();

    std::size_t ItemCount() const { return m_liveItems; }
    // How many times the store was reset: a collection in steps that a
    // reset cut off is not followed by another.
    std::uint64_t ResetCount() const { return m_resets; }
    // The serial the next new item gets: every item made from now on has a
    // Serial() at least this large, every older one a smaller one.
    std::uint64_t NextSerial() const { return m_nextSerial; }

    Event<Item> m_newItemEvent;
    Event<Item> m_removedItemEvent;
    Event<ConnectionInfo&> m_connectEvent;
    Event<ConnectionInfo&> m_disconnectEvent;

private:
    friend class Type;
    friend class Item;
    friend struct StoreOps;
    friend struct CollectionRun;

    struct PairHandler
    {
        Type* mp_a;
        Type* mp_b;
        EventHandlerBase<ConnectionInfo&>* mp_handler;
    };
    struct PathSubscription
    {
        PathNode* mp_root;
        EventHandlerBase<Item>* mp_handler;
    };
    struct FiringStep
    {
        PathSubscription* mp_subscription;
        PathNode* mp_node;
    };

    // An item whose links are being dropped by its removal, with the links
    // it had when the dropping began.
    struct Removal
    {
        ItemBody* mp_body;
        std::vector<Item> m_links; // in link order
    };

    void FireConnection(ItemBody* ip_a, ItemBody* ip_b, bool i_connected);
    void FirePaths(ItemBody* ip_a, ItemBody* ip_b, bool i_connected);
    void PurgeSubscriptions();
    void IndexSteps(PathSubscription* ip_subscription, PathNode* ip_node);
    bool IsInPattern(Type const* ip_type) const;
    static bool IsMarked(std::vector<bool> const& i_types, Type const* ip_type);
    static void Mark(std::vector<bool>& io_types, Type const* ip_type);

    std::vector<Type*> m_types;
    std::map<std::string, Type*, std::less<>> m_typesByName;
    std::uint64_t m_nextSerial = 1;
    std::size_t m_liveItems = 0;
    std::vector<PairHandler> m_pairHandlers;
    std::vector<PathSubscription*> m_paths;
    // Firing steps by (parent type index << 16 | child type index).
    std::unordered_map<std::uint32_t, std::vector<FiringStep>> m_firingSteps;
    // Types that some subscribed pattern names, by type index: only their
    // removals need the links they had kept (see Removal).
    std::vector<bool> m_patternTypes;
    // Types that some type-pair handler names, by type index.
    std::vector<bool> m_pairTypes;
    std::vector<Removal> m_removals; // innermost last
    // Items removed whose links are still being dropped, oldest first (see
    // DropLinksOfRemoved).
    std::vector<Item> m_unlinking;
    int m_dispatchDepth = 0;
    bool m_pathsDirty = false;

    // The collection (Collection.cpp). Items that may have lost what
    // reached or owned them since the last collection took these lists
    // (the ends of broken links); items made since then are found by
    // their serials.
    // Chunked, not grown by copies: unsharing 2,000,000 files notes
    // millions, and a vector that doubled copied itself in one step (about
    // 10 ms, page faults included).
    std::deque<Item> m_toCheck;
    std::deque<Item> m_ownedToCheck;
    std::uint64_t m_checkNewFrom = 1;
    std::uint64_t m_ownedNewFrom = 1;
    // The collection under way; shared, so that a step keeps it while a
    // removal handler resets the store.
    std::shared_ptr<CollectionRun> mp_collection;
    int m_collectionDepth = 0; // steps on the stack
    bool m_collectingHere = false; // RemoveDisconnectedItems
    // Links made or broken: a search or a check that resumes rereads the
    // links it was going through.
    std::uint64_t m_linkChanges = 0;
    // What was linked, since the last step, to an item of the search under
    // way (the other ends), and items found unreached that something was
    // linked to.
    std::vector<Item> m_linkedToSearch;
    bool m_leafLinked = false;
    std::vector<Item> m_revived;
    std::uint64_t m_resets = 0;
};

extern Data d;

// Shorthand: the set holding the item of that type and key, if it exists
// (never creates).
ItemSet i(char const* ip_type, Value const& i_key);

// Items grouped by type.
typedef std::map<Type*, ItemSet> TypeItemsMap;

// Items travel through queued signals (registered in Data.cpp).
Q_DECLARE_METATYPE(Item)
Q_DECLARE_METATYPE(ItemSet)

#endif
