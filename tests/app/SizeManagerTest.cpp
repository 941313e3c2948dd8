#include "app/SizeManager.h"
#include "store/DataSaver.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace {

// A window that records what the size manager asks of it.
class FakeWindow : public ResizableWindow
{
public:
    int GetX() override { return m_x; }
    int GetY() override { return m_y; }
    int GetWidth() override { return m_width; }
    int GetHeight() override { return m_height; }
    void SetPosition(int i_x, int i_y) override
    {
        m_calls << QString("position %1 %2").arg(i_x).arg(i_y);
        m_x = i_x;
        m_y = i_y;
    }
    void SetSize(int i_width, int i_height) override
    {
        m_calls << QString("size %1 %2").arg(i_width).arg(i_height);
        m_width = i_width;
        m_height = i_height;
    }

    int m_x = 10, m_y = 20, m_width = 800, m_height = 600;
    QStringList m_calls;
};

// A shown page with one tree of three columns (the last one stretched) and
// one splitter of two panes.
struct Page
{
    Page()
    {
        mp_tree = new QTreeWidget(&m_widget);
        mp_tree->setColumnCount(3);
        mp_tree->header()->setStretchLastSection(true);
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

    QWidget m_widget;
    QTreeWidget* mp_tree;
    QSplitter* mp_splitter;
};

QList<int> Recorded(char const* ip_type, char const* ip_name, char const* ip_entry, char const* ip_number)
{
    QList<int> l_sizes;
    Item const l_record = d[ip_type]->HasItem(Value(ip_name));
    for (Item const& l_entry : l_record.GetItems(ip_entry).SortNumericBy(ip_number, true))
        l_sizes << l_entry["sizer_size"].AsInt();
    return l_sizes;
}

QList<int> RecordedColumns(char const* ip_name)
{
    return Recorded("sizer_tree", ip_name, "sizer_tree_column", "sizer_tree_column_number");
}

QList<int> RecordedPanes(char const* ip_name)
{
    return Recorded("sizer_splitter", ip_name, "sizer_splitter_index", "sizer_splitter_index_number");
}

// One process of the restart test: "save" records widths and sizes and
// writes the data file; "load" reads it and checks that a new page takes
// them. The exit code tells the parent what happened.
int RunPhase(QString const& i_phase, QString const& i_stem)
{
    DataSaver l_saver;
    SizeManager l_manager;
    FakeWindow l_window;
    Page l_page;
    if (i_phase == "save") {
        l_saver.Load(i_stem);
        l_manager.RegisterTreeWidget("list", l_page.mp_tree);
        l_manager.RegisterSplitter("split", l_page.mp_splitter, {});
        l_manager.RegisterResizableWindow("main_window", &l_window);
        l_page.mp_tree->header()->resizeSection(1, 170);
        l_page.mp_splitter->setSizes({350, 150});
        emit l_page.mp_splitter->splitterMoved(350, 1);
        emit l_window.WindowMoved(33, 44);
        emit l_window.WindowResized(640, 480);
        return l_saver.Save(i_stem) ? 0 : 1;
    }
    l_saver.Load(i_stem);
    l_manager.RegisterTreeWidget("list", l_page.mp_tree);
    l_manager.RegisterSplitter("split", l_page.mp_splitter, {});
    l_manager.RegisterResizableWindow("main_window", &l_window);
    if (l_page.Width(1) != 170)
        return 2;
    QList<int> const l_panes = l_page.mp_splitter->sizes();
    if (l_panes != RecordedPanes("split") || l_panes[0] <= l_panes[1])
        return 3;
    if (l_window.m_calls != QStringList({"position 33 44", "size 640 480"}))
        return 4;
    return 0;
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
        QCOMPARE(sizeManager, mp_manager.get());
    }

    void cleanup()
    {
        mp_manager.reset();
        mp_saver.reset();
    }

    // Trees of one name share a record: a new tree takes the record, and a
    // column dragged in one is resized in the others; the stretched last
    // column is left alone.
    void TreesOfOneNameFollowEachOther()
    {
        Page l_first, l_second;
        mp_manager->RegisterTreeWidget("search_results", l_first.mp_tree);
        QCOMPARE(RecordedColumns("search_results"), QList<int>({100, 100}));

        l_second.mp_tree->header()->resizeSection(0, 50);
        mp_manager->RegisterTreeWidget("search_results", l_second.mp_tree);
        QCOMPARE(l_second.Width(0), 100);

        l_first.mp_tree->header()->resizeSection(1, 150);
        QCOMPARE(l_second.Width(1), 150);
        QCOMPARE(RecordedColumns("search_results"), QList<int>({100, 150}));
        l_second.mp_tree->header()->resizeSection(0, 80);
        QCOMPARE(l_first.Width(0), 80);

        Page l_third;
        mp_manager->RegisterTreeWidget("search_results", l_third.mp_tree);
        QCOMPARE(l_third.Width(0), 80);
        QCOMPARE(l_third.Width(1), 150);
    }

    // Equal numbers share one item; an item goes once nothing holds it.
    void NumberItemsAreSharedAndCollected()
    {
        Page l_page;
        mp_manager->RegisterTreeWidget("list", l_page.mp_tree);
        QCOMPARE(d["sizer_size"]->GetItemCount(), std::size_t(1));
        l_page.mp_tree->header()->resizeSection(0, 120);
        QCOMPARE(d["sizer_size"]->GetItemCount(), std::size_t(2));
        QVERIFY(d["sizer_size"]->HasItem(Value(100)).IsValid());
        l_page.mp_tree->header()->resizeSection(1, 120);
        QCOMPARE(d["sizer_size"]->GetItemCount(), std::size_t(1));
        QVERIFY(d["sizer_size"]->HasItem(Value(100)).IsNull());
    }

    void SplittersRecordDefaultsAndFollowEachOther()
    {
        Page l_first, l_second;
        mp_manager->RegisterSplitter("room_splitter", l_first.mp_splitter, {});
        QCOMPARE(RecordedPanes("room_splitter"), l_first.mp_splitter->sizes());

        // Defaults are recorded, never applied.
        mp_manager->RegisterSplitter("wish_list_splitter", l_second.mp_splitter, {10, 490});
        QCOMPARE(RecordedPanes("wish_list_splitter"), QList<int>({10, 490}));
        QVERIFY(l_second.mp_splitter->sizes() != QList<int>({10, 490}));

        Page l_third;
        mp_manager->RegisterSplitter("room_splitter", l_third.mp_splitter, {1, 1});
        QCOMPARE(l_third.mp_splitter->sizes(), l_first.mp_splitter->sizes());
        l_third.mp_splitter->setSizes({400, 100});
        emit l_third.mp_splitter->splitterMoved(400, 1);
        QList<int> const l_moved = l_third.mp_splitter->sizes();
        QVERIFY(l_moved[0] > 3 * l_moved[1]);
        QCOMPARE(l_first.mp_splitter->sizes(), l_moved);
        QCOMPARE(RecordedPanes("room_splitter"), l_moved);
    }

    void WindowIsRestoredThenFollowed()
    {
        FakeWindow l_first;
        mp_manager->RegisterResizableWindow("main_window", &l_first);
        QVERIFY(l_first.m_calls.isEmpty());
        emit l_first.WindowMoved(5, 6);
        emit l_first.WindowResized(700, 500);
        // The numbers of the first registration were replaced, not kept.
        QVERIFY(d["sizer_width"]->HasItem(Value(800)).IsNull());

        FakeWindow l_second;
        mp_manager->RegisterResizableWindow("main_window", &l_second);
        QCOMPARE(l_second.m_calls, QStringList({"position 5 6", "size 700 500"}));
    }

    // A destroyed tree leaves its record; the next tree of that name gets
    // the widths. After a reset every name starts afresh.
    void RecordsOutliveWidgetsUntilCleared()
    {
        {
            Page l_page;
            mp_manager->RegisterTreeWidget("list", l_page.mp_tree);
            mp_manager->RegisterSplitter("split", l_page.mp_splitter, {});
            l_page.mp_tree->header()->resizeSection(0, 140);
        }
        QCOMPARE(d["sizer_tree_widget"]->GetItemCount(), std::size_t(0));
        QCOMPARE(d["sizer_splitter_widget"]->GetItemCount(), std::size_t(0));
        Page l_again;
        mp_manager->RegisterTreeWidget("list", l_again.mp_tree);
        QCOMPARE(l_again.Width(0), 140);

        mp_manager->ClearSizeSettings();
        for (char const* lp_type : {"sizer_tree", "sizer_tree_column", "sizer_size", "sizer_splitter"})
            QCOMPARE(d[lp_type]->GetItemCount(), std::size_t(0));
        Page l_fresh;
        mp_manager->RegisterTreeWidget("list", l_fresh.mp_tree);
        QCOMPARE(l_fresh.Width(0), 100);
        QCOMPARE(RecordedColumns("list"), QList<int>({100, 100}));
    }

    // A data file may hold any number: column and pane sizes are bounded.
    void HostileSizesAreBounded()
    {
        Item l_tree = d["sizer_tree"]->GetItem(Value("list"));
        Item l_column = d["sizer_tree_column"]->NewItem();
        l_column += l_tree;
        l_column += d["sizer_tree_column_number"]->GetItem(Value(0));
        l_column += d["sizer_size"]->GetItem(Value("2147483647"));
        Page l_page;
        mp_manager->RegisterTreeWidget("list", l_page.mp_tree);
        QCOMPARE(l_page.Width(0), 32767);
    }

    void SizesSurviveARestart()
    {
        QTemporaryDir l_dir;
        QString const l_stem = l_dir.filePath(".Quillmar");
        for (QString const l_phase : {"save", "load"}) {
            QProcess l_process;
            l_process.setProcessChannelMode(QProcess::ForwardedChannels);
            l_process.start(QCoreApplication::applicationFilePath(), {"--phase", l_phase, l_stem});
            QVERIFY(l_process.waitForFinished(30000));
            QCOMPARE(l_process.exitStatus(), QProcess::NormalExit);
            QVERIFY2(l_process.exitCode() == 0, qPrintable(QString("%1: %2").arg(l_phase).arg(l_process.exitCode())));
        }
    }
};

int main(int argc, char** argv)
{
    QApplication l_app(argc, argv);
    if (argc == 4 && QString(argv[1]) == "--phase")
        return RunPhase(argv[2], argv[3]);
    SizeManagerTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "SizeManagerTest.moc"
