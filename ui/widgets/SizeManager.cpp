#include "ui/widgets/SizeManager.h"

#include "store/DataSaver.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTreeWidget>

SizeManager* sizeManager = nullptr;

namespace {

char const* const s_savedTypes[] = {
    "sizer_window",      "sizer_tree",         "sizer_tree_column_number", "sizer_tree_column",
    "sizer_splitter",    "sizer_splitter_index_number", "sizer_splitter_index", "sizer_x",
    "sizer_y",           "sizer_width",        "sizer_height",             "sizer_size",
};

void DeclareSizeTypes()
{
    // A manager made again in the same process (tests) finds its types there.
    if (!d.HasType("sizer_window")) {
        struct Declaration
        {
            char const* mp_name;
            Primacy m_primacy;
            bool m_isNull;
        };
        static Declaration const s_types[] = {
            {"sizer_window", ROOT, false},          {"sizer_window_widget", ROOT, false},
            {"sizer_x", LEAF, false},               {"sizer_y", LEAF, false},
            {"sizer_width", LEAF, false},           {"sizer_height", LEAF, false},
            {"sizer_size", LEAF, false},            {"sizer_tree", ROOT, false},
            {"sizer_tree_widget", ROOT, false},     {"sizer_tree_column_number", LEAF, false},
            {"sizer_tree_column", INTERMEDIATE, true}, {"sizer_splitter", ROOT, false},
            {"sizer_splitter_widget", ROOT, false}, {"sizer_splitter_index_number", LEAF, false},
            {"sizer_splitter_index", INTERMEDIATE, true},
        };
        for (Declaration const& l_type : s_types)
            d.NewType(l_type.mp_name, l_type.m_primacy, l_type.m_isNull, true);
        struct Relation
        {
            char const* mp_first;
            char const* mp_second;
            OneOrMany m_a;
            OneOrMany m_b;
        };
        static Relation const s_relations[] = {
            {"sizer_window", "sizer_window_widget", ONE, ONE},
            {"sizer_window", "sizer_x", MANY, ONE},
            {"sizer_window", "sizer_y", MANY, ONE},
            {"sizer_window", "sizer_width", MANY, ONE},
            {"sizer_window", "sizer_height", MANY, ONE},
            {"sizer_tree", "sizer_tree_widget", ONE, MANY},
            {"sizer_tree_column", "sizer_tree", MANY, ONE},
            {"sizer_tree_column", "sizer_tree_column_number", MANY, ONE},
            {"sizer_tree_column", "sizer_size", MANY, ONE},
            {"sizer_splitter", "sizer_splitter_widget", ONE, MANY},
            {"sizer_splitter_index", "sizer_splitter", MANY, ONE},
            {"sizer_splitter_index", "sizer_splitter_index_number", MANY, ONE},
            {"sizer_splitter_index", "sizer_size", MANY, ONE},
        };
        for (Relation const& l_relation : s_relations)
            d[l_relation.mp_first]->RelateToType(d[l_relation.mp_second], l_relation.m_a, l_relation.m_b, false);
    }
    if (dataSaver)
        for (char const* lp_type : s_savedTypes)
            dataSaver->AddSavedType(lp_type);
}

Value KeyOf(QObject const* ip_object)
{
    return Value(ip_object);
}

template <class T>
T* ObjectOf(Item const& i_item)
{
    return reinterpret_cast<T*>(static_cast<quintptr>(i_item.AsUInt64()));
}

// A pane or column size from the data file, which may hold anything: bounded
// so that a hostile number cannot make a widget absurdly large.
int StoredSize(Item const& i_record)
{
    return qBound(0, i_record["sizer_size"].AsInt(), 32767);
}

// The items of a record ("sizer_tree_column" or "sizer_splitter_index") in
// the order of their numbers, each with its stored size.
QList<QPair<int, int>> NumberedSizes(Item const& i_record, char const* ip_type, char const* ip_numberType)
{
    QList<QPair<int, int>> l_sizes;
    for (Item const& l_entry : i_record.GetItems(ip_type).SortNumericBy(ip_numberType, true))
        l_sizes.append(qMakePair(l_entry[ip_numberType].AsInt(), StoredSize(l_entry)));
    return l_sizes;
}

// The entry of a record for one number, made when missing.
Item NumberedEntry(Item const& i_record, char const* ip_type, char const* ip_numberType, int i_number)
{
    Item const l_number = d[ip_numberType]->GetItem(Value(i_number));
    Item l_entry = d.GetItem(i_record, l_number, ip_type);
    if (l_entry.IsNull()) {
        l_entry = d[ip_type]->NewItem();
        l_entry += i_record;
        l_entry += l_number;
    }
    return l_entry;
}

// The columns a tree's record covers: a stretched last section follows the
// window, so it is neither recorded nor restored.
int RecordedColumns(QHeaderView const* ip_header)
{
    return ip_header->count() - (ip_header->stretchLastSection() ? 1 : 0);
}

} // namespace

SizeManager::SizeManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    DeclareSizeTypes();
    sizeManager = this;
}

SizeManager::~SizeManager()
{
    if (sizeManager == this)
        sizeManager = nullptr;
}

void SizeManager::ReplaceNumber(Item const& i_record, char const* ip_numberType, int i_number)
{
    Item const l_old = i_record[ip_numberType];
    Item const l_new = d[ip_numberType]->GetItem(Value(i_number));
    if (l_old == l_new)
        return;
    i_record += l_new;
    if (l_old.IsValid() && l_old.IsDisconnectedFromAll())
        l_old.Remove();
}

void SizeManager::RegisterResizableWindow(QString const& i_name, ResizableWindow* ip_window)
{
    if (!ip_window)
        return;
    Item l_record = d["sizer_window"]->HasItem(Value(i_name));
    if (l_record.IsNull()) {
        l_record = d["sizer_window"]->GetItem(Value(i_name));
        ReplaceNumber(l_record, "sizer_x", ip_window->GetX());
        ReplaceNumber(l_record, "sizer_y", ip_window->GetY());
        ReplaceNumber(l_record, "sizer_width", ip_window->GetWidth());
        ReplaceNumber(l_record, "sizer_height", ip_window->GetHeight());
    } else {
        ip_window->SetPosition(l_record["sizer_x"].AsInt(), l_record["sizer_y"].AsInt());
        ip_window->SetSize(l_record["sizer_width"].AsInt(), l_record["sizer_height"].AsInt());
    }
    l_record += d["sizer_window_widget"]->GetItem(KeyOf(ip_window));
    connect(ip_window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved, Qt::UniqueConnection);
    connect(ip_window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized, Qt::UniqueConnection);
}

Item SizeManager::SenderWindowRecord() const
{
    return d["sizer_window_widget"]->HasItem(KeyOf(sender()))["sizer_window"];
}

void SizeManager::OnWindowMoved(int i_x, int i_y)
{
    Item const l_record = SenderWindowRecord();
    if (l_record.IsNull())
        return;
    ReplaceNumber(l_record, "sizer_x", i_x);
    ReplaceNumber(l_record, "sizer_y", i_y);
}

void SizeManager::OnWindowResized(int i_width, int i_height)
{
    Item const l_record = SenderWindowRecord();
    if (l_record.IsNull())
        return;
    ReplaceNumber(l_record, "sizer_width", i_width);
    ReplaceNumber(l_record, "sizer_height", i_height);
}

void SizeManager::RegisterSplitter(QString const& i_name, QSplitter* ip_splitter, QList<int> const& i_defaultSizes)
{
    if (!ip_splitter)
        return;
    Item l_record = d["sizer_splitter"]->HasItem(Value(i_name));
    if (l_record.IsNull()) {
        l_record = d["sizer_splitter"]->GetItem(Value(i_name));
        QList<int> const l_sizes = i_defaultSizes.isEmpty() ? ip_splitter->sizes() : i_defaultSizes;
        for (int l_pane = 0; l_pane < l_sizes.size(); ++l_pane) {
            Item l_index = d["sizer_splitter_index"]->NewItem();
            l_index += l_record;
            l_index += d["sizer_splitter_index_number"]->GetItem(Value(l_pane));
            ReplaceNumber(l_index, "sizer_size", l_sizes[l_pane]);
        }
    } else {
        QList<int> l_sizes;
        for (auto const& l_pane : NumberedSizes(l_record, "sizer_splitter_index", "sizer_splitter_index_number"))
            l_sizes.append(l_pane.second);
        ip_splitter->setSizes(l_sizes);
    }
    l_record += d["sizer_splitter_widget"]->GetItem(KeyOf(ip_splitter));
    connect(ip_splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved, Qt::UniqueConnection);
    connect(ip_splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed, Qt::UniqueConnection);
}

void SizeManager::OnSplitterMoved(int, int)
{
    QSplitter* lp_splitter = qobject_cast<QSplitter*>(sender());
    if (m_updating || !lp_splitter)
        return;
    Item const l_record = d["sizer_splitter_widget"]->HasItem(KeyOf(lp_splitter))["sizer_splitter"];
    if (l_record.IsNull())
        return;
    QList<int> const l_sizes = lp_splitter->sizes();
    for (int l_pane = 0; l_pane < l_sizes.size(); ++l_pane)
        ReplaceNumber(NumberedEntry(l_record, "sizer_splitter_index", "sizer_splitter_index_number", l_pane),
                      "sizer_size", l_sizes[l_pane]);
    m_updating = true;
    for (Item const& l_widget : l_record.GetItems("sizer_splitter_widget"))
        if (QSplitter* lp_other = ObjectOf<QSplitter>(l_widget); lp_other != lp_splitter)
            lp_other->setSizes(l_sizes);
    m_updating = false;
}

void SizeManager::OnSplitterDestroyed(QObject* ip_splitter)
{
    d["sizer_splitter_widget"]->HasItem(KeyOf(ip_splitter)).Remove();
}

void SizeManager::RegisterTreeWidget(QString const& i_name, QTreeWidget* ip_tree)
{
    if (!ip_tree)
        return;
    QHeaderView* lp_header = ip_tree->header();
    Item l_record = d["sizer_tree"]->HasItem(Value(i_name));
    if (l_record.IsNull()) {
        l_record = d["sizer_tree"]->GetItem(Value(i_name));
        for (int l_column = 0; l_column < RecordedColumns(lp_header); ++l_column) {
            Item l_entry = d["sizer_tree_column"]->NewItem();
            l_entry += l_record;
            l_entry += d["sizer_tree_column_number"]->GetItem(Value(l_column));
            ReplaceNumber(l_entry, "sizer_size", lp_header->sectionSize(l_column));
        }
    } else {
        for (auto const& l_column : NumberedSizes(l_record, "sizer_tree_column", "sizer_tree_column_number"))
            if (l_column.first >= 0 && l_column.first < RecordedColumns(lp_header))
                lp_header->resizeSection(l_column.first, l_column.second);
    }
    l_record += d["sizer_tree_widget"]->GetItem(KeyOf(ip_tree));
    connect(lp_header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved,
            Qt::UniqueConnection);
    connect(ip_tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed, Qt::UniqueConnection);
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int)
{
    QHeaderView* lp_header = qobject_cast<QHeaderView*>(sender());
    QTreeWidget* lp_tree = lp_header ? qobject_cast<QTreeWidget*>(lp_header->parent()) : nullptr;
    if (m_updating || !lp_tree)
        return;
    Item const l_record = d["sizer_tree_widget"]->HasItem(KeyOf(lp_tree))["sizer_tree"];
    if (l_record.IsNull())
        return;
    m_updating = true;
    ItemSet const l_widgets = l_record.GetItems("sizer_tree_widget");
    for (int l_column = 0; l_column < RecordedColumns(lp_header); ++l_column) {
        int const l_width = lp_header->sectionSize(l_column);
        ReplaceNumber(NumberedEntry(l_record, "sizer_tree_column", "sizer_tree_column_number", l_column),
                      "sizer_size", l_width);
        for (Item const& l_widget : l_widgets)
            if (QTreeWidget* lp_other = ObjectOf<QTreeWidget>(l_widget); lp_other != lp_tree)
                lp_other->header()->resizeSection(l_column, l_width);
    }
    m_updating = false;
}

void SizeManager::OnTreeDestroyed(QObject* ip_tree)
{
    d["sizer_tree_widget"]->HasItem(KeyOf(ip_tree)).Remove();
}

void SizeManager::ClearSizeSettings()
{
    for (char const* lp_type : s_savedTypes)
        d[lp_type]->RemoveAllItems();
}

void SizeManager::ForgetTreeWidget(QString const& i_name)
{
    d["sizer_tree"]->HasItem(Value(i_name)).Remove();
}
