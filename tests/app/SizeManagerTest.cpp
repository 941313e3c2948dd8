#include "ui/widgets/SizeManager.h"
#include "store/DataSaver.h"

#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

// The main window's geometry across a restart is tested with the real window (MainWindowTest).
namespace {

// A shown page: a tree of three columns 100 pixels wide (the last one
// stretched) and a splitter of two panes.
struct Page
{
    Page()
    {
        mp_tree = new QTreeWidget(&m_widget);
        mp_tree->setColumnCount(3);
        mp_tree->header()->resizeSection(0, 100);
        mp_tree->header()->resizeSection(1, 100);
        mp_splitter = new QSplitter(&m_widget);
        mp_splitter->addWidget(new QLabel("left"));
        mp_splitter->addWidget(new QLabel("right"));
        QVBoxLayout* lp_layout = new QVBoxLayout(&m_widget);
        lp_layout->addWidget(mp_tree);
        lp_layout->addWidget(mp_splitter);
        m_widget.resize(600, 400);
        m_widget.show();
        mp_splitter->setSizes({200, 300});
    }
    int Width(int i_column) const { return mp_tree->header()->sectionSize(i_column); }
    void Drag(QList<int> const& i_sizes)
    {
        mp_splitter->setSizes(i_sizes);
        emit mp_splitter->splitterMoved(i_sizes.first(), 1);
    }

    QWidget m_widget;
    QTreeWidget* mp_tree;
    QSplitter* mp_splitter;
};

QList<int> Recorded(char const* ip_type, char const* ip_name)
{
    bool const l_tree = QByteArray(ip_type) == "sizer_tree";
    QList<int> l_sizes;
    Item const l_record = d[ip_type]->HasItem(Value(ip_name));
    for (Item const& l_entry : l_record.GetItems(l_tree ? "sizer_tree_column" : "sizer_splitter_index")
                                   .SortNumericBy(l_tree ? "sizer_tree_column_number" : "sizer_splitter_index_number", true))
        l_sizes << l_entry["sizer_size"].AsInt();
    return l_sizes;
}

} // namespace

class SizeManagerTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<SizeManager> mp_manager;

private slots:
    void init()
    {
        d.Reset();
        mp_saver.reset(new DataSaver);
        mp_manager.reset(new SizeManager);
    }

    void cleanup()
    {
        mp_manager.reset();
        mp_saver.reset();
    }

    // Trees of one name share a record: a new tree takes it, a column
    // dragged in one follows in the others; the stretched last column is
    // never recorded. Equal widths share one number item, which goes once
    // nothing holds it. Splitters likewise.
    void WidgetsOfOneNameFollowEachOther()
    {
        Page l_first, l_second, l_third;
        mp_manager->RegisterTreeWidget("search_results", l_first.mp_tree);
        QCOMPARE(Recorded("sizer_tree", "search_results"), QList<int>({100, 100}));
        QCOMPARE(d["sizer_size"]->GetItemCount(), std::size_t(1));
        l_second.mp_tree->header()->resizeSection(0, 50);
        mp_manager->RegisterTreeWidget("search_results", l_second.mp_tree);
        QCOMPARE(l_second.Width(0), 100);

        l_first.mp_tree->header()->resizeSection(1, 150);
        QCOMPARE(l_second.Width(1), 150);
        QCOMPARE(Recorded("sizer_tree", "search_results"), QList<int>({100, 150}));
        l_second.mp_tree->header()->resizeSection(0, 150);
        QCOMPARE(l_first.Width(0), 150);
        QVERIFY(d["sizer_size"]->HasItem(Value(100)).IsNull());
        QCOMPARE(d["sizer_size"]->GetItemCount(), std::size_t(1));

        mp_manager->RegisterSplitter("room_splitter", l_first.mp_splitter, {});
        QCOMPARE(Recorded("sizer_splitter", "room_splitter"), l_first.mp_splitter->sizes());
        // Defaults are recorded, never applied.
        mp_manager->RegisterSplitter("wish_list_splitter", l_second.mp_splitter, {10, 490});
        QCOMPARE(Recorded("sizer_splitter", "wish_list_splitter"), QList<int>({10, 490}));
        QVERIFY(l_second.mp_splitter->sizes() != QList<int>({10, 490}));

        mp_manager->RegisterSplitter("room_splitter", l_third.mp_splitter, {1, 1});
        QCOMPARE(l_third.mp_splitter->sizes(), l_first.mp_splitter->sizes());
        l_third.Drag({400, 100});
        QList<int> const l_moved = l_third.mp_splitter->sizes();
        QVERIFY(l_moved[0] > 3 * l_moved[1]);
        QCOMPARE(l_first.mp_splitter->sizes(), l_moved);
        QCOMPARE(Recorded("sizer_splitter", "room_splitter"), l_moved);
    }

    // A destroyed tree leaves its record for the next one; after a reset
    // every name starts afresh. A hostile stored width is bounded.
    void RecordsOutliveWidgetsUntilCleared()
    {
        {
            Page l_page;
            mp_manager->RegisterTreeWidget("list", l_page.mp_tree);
            mp_manager->RegisterSplitter("split", l_page.mp_splitter, {});
            l_page.mp_tree->header()->resizeSection(0, 140);
        }
        QCOMPARE(d["sizer_tree_widget"]->GetItemCount() + d["sizer_splitter_widget"]->GetItemCount(), std::size_t(0));
        Page l_again;
        mp_manager->RegisterTreeWidget("list", l_again.mp_tree);
        QCOMPARE(l_again.Width(0), 140);

        mp_manager->ClearSizeSettings();
        for (char const* lp_type : {"sizer_tree", "sizer_tree_column", "sizer_size", "sizer_splitter"})
            QCOMPARE(d[lp_type]->GetItemCount(), std::size_t(0));
        Item l_column = d["sizer_tree_column"]->NewItem();
        l_column += d["sizer_tree"]->GetItem(Value("list"));
        l_column += d["sizer_tree_column_number"]->GetItem(Value(1));
        l_column += d["sizer_size"]->GetItem(Value("2147483647"));
        Page l_fresh;
        mp_manager->RegisterTreeWidget("list", l_fresh.mp_tree);
        QCOMPARE(l_fresh.Width(0), 100);
        QCOMPARE(l_fresh.Width(1), 32767);
    }
};

QTEST_MAIN(SizeManagerTest)
#include "SizeManagerTest.moc"
