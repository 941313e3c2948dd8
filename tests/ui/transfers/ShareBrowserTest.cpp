// The Browse page: share lists entered and shown, the filter, the expand
// commands, downloads, the export, the tabs' lifetimes, uploads pushed to a
// user, and the two roads through the stand-in server to a headless client
// (browsing its share and downloading a folder; pushing a folder to it).

#include "ShareBrowserFixture.h"
#include "../../peers/HostileShareLists.h"
#include "../../e2e/LineProcess.h"
#include "../StandinLogIn.h"

#include "ui/search/SearchResultMenuOptions.h"
#include "ui/search/SearchStoreTypes.h"
#include "store/SlicedWork.h"
#include "store/Utilities.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QRegularExpression>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <malloc.h>

Q_DECLARE_METATYPE(std::vector<ListedFile>)

namespace {

// Music with Rock (and Live under it), Jazz and Pop, whose name ends in a
// separator; Films\Old, whose parent is not in the list.
std::vector<ListedFile> const s_music = {
    {"Music\\intro.mp3", 0},
    {"Music\\Rock\\song a.mp3", 1234, {{0, 320}, {2, 0}, {1, 200}}},
    {"Music\\Rock\\live take.mp3", 5000000, {{0, 128}, {2, 1}, {5, 7}}},
    {"Music\\Rock\\Live\\encore.mp3", 10},
    {"Music\\Jazz\\blue.mp3", 20},
    {"Music\\Jazz\\train.mp3", 30},
    {"Music\\Jazz\\smoke.ogg", 40},
    {"Music\\Pop/\\hit.mp3", 50},
    {"Films\\Old\\reel.avi", 60},
};

} // namespace

class ShareBrowserTest : public QObject, public ShareBrowserFixture
{
    Q_OBJECT

private:
    static QString ActionText(QWidget* ip_widget, char const* ip_action)
    {
        Item const l_widget = d["toolbar_action_widget"]->HasItem(Value(ip_widget));
        Item const l_id = d["toolbar_action_id"]->HasItem(Value(ip_action));
        return d.GetItem(l_widget, l_id, "widget_action_text").AsString();
    }

    bool LogIn(StandinProcess& io_standin) { return LogInToStandin(io_standin, *mp_server, *mp_messenger, "me"); }

    // A folder of ours shared with everyone, its files in the index.
    bool ShareOwnFolder(QString const& i_folder, QStringList const& i_files)
    {
        for (QString const& l_file : i_files)
            if (!WriteFile(i_folder + '/' + l_file, l_file.toUtf8().repeated(1000)))
                return false;
        mp_shares->AddSharedFolder(i_folder) += d["shared_public"]->GetGlobalNullItem();
        return WaitUntil([&]() { return mp_shares->GetExactSharedFileItem(i_folder + '/' + i_files.last()).IsValid(); });
    }

    static void AwaitIdle(ShareTree* ip_tree) { QTRY_VERIFY(ip_tree->IsIdle()); }

    // A share-list record as a peer sends it: code 5, then compressed.
    static QByteArray ListMessage(QByteArray const& i_record)
    {
        QByteArray l_compressed;
        ZlibCompress(i_record.constData(), quint64(i_record.size()), l_compressed);
        return HostileShareLists::U32(5) + l_compressed;
    }

    // One turn of the event loop, deferred deletions included.
    static void Turn()
    {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The bytes the heap has handed out and not taken back, once every list
    // has gone in or out and the store is collected.
    qint64 SettledHeapBytes()
    {
        AwaitRemovals();
        for (int l_turn = 0; l_turn < 5; ++l_turn)
            Turn();
        d.RemoveDisconnectedItems();
        struct mallinfo2 const l_info = mallinfo2();
        return qint64(l_info.uordblks + l_info.hblkhd);
    }

    void AwaitRemovals()
    {
        QTRY_VERIFY(!mp_shares->IsRemovingShares() && mp_page->PendingShareCount() == 0);
        d.RemoveDisconnectedItems();
    }

private slots:
    void init()
    {
        StartPage();
        mp_window->show();
    }

    void cleanup()
    {
        SlicedWork::SetSliceMs(10);
        StopPage();
    }

    // What a list's folder rows cost counts against the bound a list is
    // held to once shown: for each entry, what a file of an ordinary share
    // costs. A row of a folder once cost more than a file, and a list of
    // 2,000,000 folders passed the bound by 0.4 GB. First of the tests:
    // the store's blocks, once made, are used again and not counted.
    void ManyFoldersWithinTheMemoryBound()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the sanitizer's heap counts none of the overhead of small blocks, which rows are made of");
#endif
        // The page's one-time costs first.
        ShareForm* lp_first = Browse("ann", s_music);
        QVERIFY(lp_first);
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_first));
        std::vector<ListedFile> l_files;
        std::vector<std::string> l_paths;
        // Enough that the store's blocks are a small part of it.
        for (int l_folder = 0; l_folder < 5000; ++l_folder)
            for (int l_track = 0; l_track < 10; ++l_track)
                l_paths.push_back("Music\\Artist " + std::to_string(l_folder / 100) + "\\Album " +
                                  std::to_string(l_folder) + "\\Track " + std::to_string(l_track) + ".mp3");
        for (std::string const& l_path : l_paths)
            l_files.push_back({l_path.c_str(), 3000000, {{0, 192}, {2, 0}, {1, 240}}});
        qint64 const l_beforeFiles = SettledHeapBytes();
        ShareForm* lp_files = Browse("bob", l_files);
        QVERIFY(lp_files);
        double const l_perFile = double(SettledHeapBytes() - l_beforeFiles) / double(l_files.size());
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_files));

        int const l_folders = 50000;
        QByteArray const l_record = HostileShareLists::LongNames(l_folders, 12);
        qint64 const l_before = SettledHeapBytes();
        ShareForm* lp_view = mp_page->OpenShareBrowse("eve");
        mp_messenger->DispatchMessage("eve", ListMessage(l_record));
        QTRY_VERIFY_WITH_TIMEOUT(lp_view->Tree()->IsBuilt(), 60000);
        double const l_growth = double(SettledHeapBytes() - l_before);
        double const l_bound = l_folders * l_perFile;
        QVERIFY2(l_growth <= l_bound, qPrintable(QString("%1 bytes a folder, %2 a file")
                                                     .arg(l_growth / l_folders)
                                                     .arg(l_perFile)));
    }

    // The model and the tree from one list: parents linked by the one
    // parent rule (a trailing separator included), folders whose parent is
    // not in the list at the top, siblings without regard to case, the
    // attribute pairs read by their codes.
    void ListBecomesTreeAndFiles()
    {
        ShareForm* lp_view = Browse("bob", s_music);
        QVERIFY(lp_view);
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(Rows(lp_tree), QStringList({"Old", "Music", "  Jazz", "  Pop/", "  Rock", "    Live"}));
        QVERIFY(lp_tree->isVisible() && !lp_view->MessageArea()->isVisible());
        QCOMPARE(lp_view->Tree()->MaxDepth(), 2);

        lp_tree->setCurrentItem(Row(lp_tree, "Music/Rock"));
        // A folder's files are listed in slices, the first at once: a busy
        // machine may leave the rest for the next turns.
        QTRY_COMPARE(Files(lp_view->FileList()),
                     QStringList({"live take.mp3|5,000,000|128 VBR", "song a.mp3|1,234|320 CBR, 3m20s"}));
        lp_tree->setCurrentItem(Row(lp_tree, "Music"));
        QTRY_COMPARE(Files(lp_view->FileList()), QStringList({"intro.mp3||"}));
        QCOMPARE(Count("user_share_file_node"), std::size_t(1));

        // "Music\Pop/" sits under Music; so do its downloads.
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(Row(lp_tree, "Music")), false);
        AwaitIdle(lp_view->Tree());
        QCOMPARE(Downloads().filter("Pop"), QStringList({"Music\\Pop/|hit.mp3||1"}));
    }

    // Folders whose parent the list does not name. "/" is a character of
    // a remote name, and a run of "\\" one separator; a folder goes under
    // its nearest named ancestor, the levels between made, and is fetched
    // with it; one with no named ancestor is a top-level row, fetched alone.
    void FoldersWithoutTheirParent_data()
    {
        QTest::addColumn<std::vector<ListedFile>>("files");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("downloads");
        QTest::newRow("slash in a name")
            << std::vector<ListedFile>{{"Share\\s.mp3"}, {"Share\\a/b\\ab.mp3"}, {"Share\\/f\\f.mp3"}}
            << QStringList({"Share", "  /f", "  a/b"})
            << QStringList({"Share|s.mp3||0", "Share\\/f|f.mp3||1", "Share\\a/b|ab.mp3||1"});
        QTest::newRow("levels left out")
            << std::vector<ListedFile>{{"Share\\s.mp3"}, {"Share\\x\\y\\z\\z.mp3"}, {"Share\\x\\y2\\w.mp3"}}
            << QStringList({"Share", "  x", "    y", "      z", "    y2"})
            << QStringList({"Share|s.mp3||0", "Share\\x\\y2|w.mp3||1", "Share\\x\\y\\z|z.mp3||1"});
        QTest::newRow("separators in a row")
            << std::vector<ListedFile>{{"Share\\s.mp3"}, {"Share\\\\d\\d.mp3"}}
            << QStringList({"Share", "  d"}) << QStringList({"Share|s.mp3||0", "Share\\\\d|d.mp3||1"});
        QTest::newRow("no named ancestor")
            << std::vector<ListedFile>{{"Films\\Old\\reel.avi"}} << QStringList({"Old"})
            << QStringList({"Films\\Old|reel.avi||0"});
    }

    void FoldersWithoutTheirParent()
    {
        QFETCH(std::vector<ListedFile>, files);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, downloads);
        ShareForm* lp_view = Browse("bob", files);
        QVERIFY(lp_view);
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(Rows(lp_tree), rows);
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(lp_tree->topLevelItem(0)), false);
        AwaitIdle(lp_view->Tree());
        QCOMPARE(Downloads(), downloads);
    }

    // What a list makes of the levels it left out is bounded: a folder 63
    // levels below its nearest named ancestor goes under it, one 64 levels
    // below is a top-level row; and no more levels are made than the list
    // has entries and 4,096: of 100 folders that each leave 63 out, 66
    // are placed (4,158 levels), the other 34 are top-level rows.
    void MadeLevelsAreBounded()
    {
        std::vector<std::string> l_paths = {"R\\r.mp3"};
        for (int l_folder = 0; l_folder < 100; ++l_folder)
            l_paths.push_back("R\\" + QByteArray::number(l_folder).rightJustified(3, '0').toStdString() + "\\" +
                              QByteArray("l\\").repeated(63).toStdString() + "f.mp3");
        l_paths.push_back("R\\#\\" + QByteArray("m\\").repeated(63).toStdString() + "far\\f.mp3");
        std::vector<ListedFile> l_files;
        for (std::string const& l_path : l_paths)
            l_files.push_back({l_path.c_str()});
        ShareForm* lp_view = Browse("bob", l_files);
        QVERIFY(lp_view);
        QCOMPARE(Count("user_share_folder"), std::size_t(102 + 4158));
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(lp_tree->topLevelItemCount(), 36);
        QCOMPARE(lp_tree->topLevelItem(0)->text(0) + "|" + lp_tree->topLevelItem(1)->text(0), QString("R|far"));
        QCOMPARE(lp_view->Tree()->MaxDepth(), 64);
    }

    void FilterCases_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("files");
        QStringList const l_all = {"Old", "Music", "  Jazz", "  Pop/", "  Rock", "    Live"};
        QTest::newRow("none") << " " << l_all << "Music/Rock" << QStringList({"live take.mp3", "song a.mp3"});
        // Rock shows by its own name, Music above it, Live below it; the
        // word is used up, so every file of Rock is listed.
        QTest::newRow("folder by its name")
            << "rock" << QStringList({"-Old", "Music", "  -Jazz", "  -Pop/", "  Rock", "    Live"}) << "Music/Rock"
            << QStringList({"live take.mp3", "song a.mp3"});
        QTest::newRow("excluded subtree")
            << "rock -live" << QStringList({"-Old", "Music", "  -Jazz", "  -Pop/", "  Rock", "    -Live"})
            << "Music/Rock" << QStringList({"song a.mp3"});
        QTest::newRow("current folder hidden")
            << "-live" << QStringList({"Old", "Music", "  Jazz", "  Pop/", "  Rock", "    -Live"}) << "Music/Rock/Live"
            << QStringList();
        QTest::newRow("by a file") << "train" << QStringList({"-Old", "Music", "  Jazz", "  -Pop/", "  -Rock", "    -Live"})
                                   << "Music/Jazz" << QStringList({"train.mp3"});
        // Three files or a shown subfolder; a name alone is not enough.
        QTest::newRow("mfif") << "mfif:3" << QStringList({"-Old", "Music", "  Jazz", "  -Pop/", "  -Rock", "    -Live"})
                              << "Music/Jazz" << QStringList({"blue.mp3", "smoke.ogg", "train.mp3"});
        QTest::newRow("mfif and name") << "rock mfif:3" << QStringList({"-Old", "-Music", "  -Jazz", "  -Pop/", "  -Rock", "    -Live"})
                                       << "Music/Rock" << QStringList();
        QTest::newRow("attribute") << "isvbr" << QStringList({"-Old", "Music", "  -Jazz", "  -Pop/", "  Rock", "    -Live"})
                                   << "Music/Rock" << QStringList({"live take.mp3"});
    }

    void FilterCases()
    {
        QFETCH(QString, filter);
        ShareForm* lp_view = Browse("bob", s_music);
        QVERIFY(lp_view);
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QFETCH(QString, current);
        lp_tree->setCurrentItem(Row(lp_tree, current));
        SlicedWork::SetSliceMs(0);
        QSignalSpy l_applied(lp_view->Tree(), &ShareTree::FilterApplied);
        lp_view->findChild<QLineEdit*>("filterEdit")->setText(filter);
        QVERIFY(l_applied.count() == 1 || l_applied.wait(WAIT_MS));
        QTEST(Rows(lp_tree), "rows");
        QFETCH(QStringList, files);
        auto const l_names = [lp_view]() {
            QStringList l_names;
            for (QString const& l_row : Files(lp_view->FileList()))
                l_names << l_row.section('|', 0, 0);
            return l_names;
        };
        QTRY_COMPARE(l_names(), files);
        // Chosen again, the folder lists the same: a name above it that the
        // filter excludes leaves its list empty.
        lp_tree->setCurrentItem(nullptr);
        lp_tree->setCurrentItem(Row(lp_tree, current));
        QTRY_COMPARE(l_names(), files);
    }

    // A folder of many files is searched a few dozen files per step; its
    // last file alone shows it.
    void LargeFolderUnderTheFilter()
    {
        std::vector<std::string> l_names;
        for (int l_index = 0; l_index < 300; ++l_index)
            l_names.push_back("Big\\" + std::to_string(1000 + l_index) + (l_index == 299 ? " last.mp3" : ".mp3"));
        std::vector<ListedFile> l_files = {{"Small\\a.mp3"}};
        for (std::string const& l_name : l_names)
            l_files.push_back({l_name.c_str()});
        ShareForm* lp_view = Browse("bob", l_files);
        SlicedWork::SetSliceMs(0);
        QSignalSpy l_applied(lp_view->Tree(), &ShareTree::FilterApplied);
        lp_view->findChild<QLineEdit*>("filterEdit")->setText("last");
        QCOMPARE(l_applied.count(), 0);
        QVERIFY(l_applied.wait(WAIT_MS));
        QCOMPARE(Rows(lp_view->FolderTree()), QStringList({"Big", "-Small"}));
    }

    // A folder's files are made, sorted a few a step and put into the list
    // in their order, a batch at a time: the view's own sort, which sorts
    // every row in one go, never runs. The header's column and order hold,
    // and a click on it lists the files again in the new order, the
    // selection kept.
    void BigFolderIsSortedInSteps()
    {
        std::vector<std::string> l_names;
        for (int l_index = 0; l_index < 600; ++l_index)
            l_names.push_back("Big\\" + QByteArray::number(l_index * 7919 % 600).rightJustified(3, '0').toStdString() +
                              ".mp3");
        std::vector<ListedFile> l_files = {{"Small\\a.mp3"}};
        for (int l_index = 0; l_index < 600; ++l_index)
            l_files.push_back({l_names[std::size_t(l_index)].c_str(), quint64(1000 + l_index * 37 % 600)});
        ShareForm* lp_view = Browse("bob", l_files);
        QVERIFY(lp_view);
        QTreeWidget* lp_list = lp_view->FileList();
        lp_view->FolderTree()->setCurrentItem(Row(lp_view->FolderTree(), "Small"));
        QTRY_COMPARE_WITH_TIMEOUT(lp_list->topLevelItemCount(), 1, WAIT_MS);
        int l_sorts = 0;
        int l_largestBatch = 0;
        connect(lp_list->model(), &QAbstractItemModel::layoutChanged, this, [&]() { ++l_sorts; });
        connect(lp_list->model(), &QAbstractItemModel::rowsInserted, this,
                [&](QModelIndex const&, int i_first, int i_last) {
                    l_largestBatch = std::max(l_largestBatch, i_last - i_first + 1);
                });
        SlicedWork::SetSliceMs(0);
        lp_view->FolderTree()->setCurrentItem(Row(lp_view->FolderTree(), "Big"));
        QTRY_VERIFY_WITH_TIMEOUT(!lp_view->Tree()->IsListing(), WAIT_MS);
        QCOMPARE(lp_list->topLevelItemCount(), 600);
        QCOMPARE(Files(lp_list).mid(0, 2), QStringList({"000.mp3|1,000|", "001.mp3|1,323|"}));
        QCOMPARE(Files(lp_list).last(), QStringLiteral("599.mp3|1,277|"));
        lp_list->topLevelItem(3)->setSelected(true);
        lp_list->header()->setSortIndicator(1, Qt::DescendingOrder);
        QTRY_VERIFY_WITH_TIMEOUT(!lp_view->Tree()->IsListing() && lp_list->topLevelItemCount() == 600, WAIT_MS);
        SlicedWork::SetSliceMs(10);
        QCOMPARE(Files(lp_list).mid(0, 2), QStringList({"013.mp3|1,599|", "026.mp3|1,598|"}));
        QCOMPARE(Files(lp_list).last(), QStringLiteral("000.mp3|1,000|"));
        QCOMPARE(lp_list->selectedItems().size(), 1);
        QCOMPARE(lp_list->selectedItems().value(0)->text(0), QStringLiteral("003.mp3"));
        QCOMPARE(l_sorts, 0);
        QVERIFY2(l_largestBatch <= 256, qPrintable(QString::number(l_largestBatch)));
        QVERIFY(lp_view->Tree()->LongestSortStep() <= SlicedSort<int>::STEP_MOVES);
    }

    void ExpandLevels()
    {
        ShareForm* lp_view = Browse("bob", {{"Music\\"}, {"Music\\Rock\\"}, {"Music\\Rock\\Live\\a.mp3"}});
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QTreeWidgetItem* lp_music = lp_tree->topLevelItem(0);
        QTreeWidgetItem* lp_rock = lp_music->child(0);
        emit actionBar->ActionTriggered(lp_view, "expand_level");
        QVERIFY(lp_music->isExpanded() && !lp_rock->isExpanded());
        QCOMPARE(ActionText(lp_view, "expand_level"), QString("Expand Level [1]"));
        emit actionBar->ActionTriggered(lp_view, "expand_level");
        QVERIFY(lp_rock->isExpanded());
        QCOMPARE(ActionText(lp_view, "expand_level"), QString("Expand Level [2]"));
        emit actionBar->ActionTriggered(lp_view, "expand_level");
        QCOMPARE(lp_view->Tree()->ExpandLevelReached(), 2);
        emit actionBar->ActionTriggered(lp_view, "collapse_all");
        QVERIFY(!lp_music->isExpanded());
        QCOMPARE(ActionText(lp_view, "expand_level"), QString("Expand Level"));
        emit actionBar->ActionTriggered(lp_view, "expand_all");
        QVERIFY(lp_rock->isExpanded());
        QCOMPARE(lp_view->Tree()->ExpandLevelReached(), 0);

        // Another tab's action, and a tree of top-level folders only.
        ShareForm* lp_flat = Browse("ann", {{"A\\a.mp3"}, {"B\\b.mp3"}});
        emit actionBar->ActionTriggered(lp_view, "expand_level");
        emit actionBar->ActionTriggered(lp_flat, "expand_level");
        QCOMPARE(ActionText(lp_view, "expand_level"), QString("Expand Level [1]"));
        QCOMPARE(ActionText(lp_flat, "expand_level"), QString(""));
        QCOMPARE(lp_flat->Tree()->ExpandLevelReached(), 0);
    }

    // The search results' "Browse Folder" opens the tab at the folder, also
    // before the list came; a later call replaces an earlier one, and a
    // folder that is not in the share changes nothing.
    void BrowseToFolder()
    {
        DeclareSearchPageTypes();
        Item const l_answer = d["search_results"]->NewItem();
        l_answer += d["user"]->GetItem(Value("bob"));
        Item const l_result = d["search_result"]->NewItem();
        l_answer += l_result;
        l_result += d["search_result_file_folder"]->GetItem(Value("Music\\Rock"));
        QTreeWidget l_results;
        QTreeWidgetItem* lp_resultRow = new QTreeWidgetItem(&l_results);
        d["search_result_node"]->GetItem(Value(lp_resultRow)) += l_result;
        QMenu l_menu;
        SearchResultMenuOptions(&l_menu, lp_resultRow).OnBrowseFolder();
        QCOMPARE(mp_page->Tabs()->count(), 1);
        ShareForm* lp_view = mp_page->OpenShareBrowse("bob");
        QCOMPARE(mp_page->Tabs()->count(), 1);

        lp_view->BrowseToFolder("Music\\Jazz");
        lp_view->BrowseToFolder("Music\\Rock\\Live");
        QVERIFY(Browse("bob", s_music) == lp_view);
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(lp_tree->currentItem(), Row(lp_tree, "Music/Rock/Live"));
        QTRY_COMPARE(Files(lp_view->FileList()), QStringList({"encore.mp3|10|"}));

        SearchResultMenuOptions(&l_menu, lp_resultRow).OnBrowseFolder();
        QCOMPARE(lp_tree->currentItem(), Row(lp_tree, "Music/Rock"));
        for (char const* lp_unknown : {"Music\\Nothing", "music\\rock", "Music/Rock", "Old"})
            lp_view->BrowseToFolder(lp_unknown);
        QCOMPARE(lp_tree->currentItem(), Row(lp_tree, "Music/Rock"));
        QTRY_COMPARE(Files(lp_view->FileList()).size(), 2);
    }

    // A further list of the same user, while his tab shows one or enters
    // it, is dropped; a list of a user without a tab is not even entered.
    void FurtherListsAreDropped()
    {
        Deliver("carl", List(s_music));
        QCOMPARE(Count("user_share"), std::size_t(0));

        SlicedWork::SetSliceMs(0);
        ShareForm* lp_view = mp_page->OpenShareBrowse("bob");
        Deliver("bob", List(s_music));
        QCOMPARE(mp_page->PendingShareCount(), 1);
        Deliver("bob", List({{"Other\\x.mp3"}}));
        QTRY_VERIFY(lp_view->Tree()->IsBuilt());
        Item const l_shown = lp_view->Share();
        Deliver("bob", List({{"Other\\x.mp3"}}));
        QCOMPARE(Count("user_share"), std::size_t(1));
        QCOMPARE(lp_view->Share(), l_shown);
        QCOMPARE(Rows(lp_view->FolderTree()).size(), 6);

        // An empty list says so, and shows no tree.
        ShareForm* lp_empty = mp_page->OpenShareBrowse("dora");
        Deliver("dora", FileInfoMap());
        QVERIFY(lp_empty->MessageArea()->toPlainText().contains("No files returned."));
        QVERIFY(!lp_empty->Tree()->IsBuilt());
    }

    // Only a failure of the messaging connection to this tab's user is
    // shown, once, and never after the list came.
    void ConnectionFailure()
    {
        ShareForm* lp_view = mp_page->OpenShareBrowse("bob");
        emit mp_messenger->ConnectionToUserFailed("bob", "F");
        emit mp_messenger->ConnectionToUserFailed("ann", "P");
        QCOMPARE(lp_view->MessageArea()->toPlainText(), QString("Requesting file list..."));
        emit mp_messenger->ConnectionToUserFailed("bob", "P");
        emit mp_messenger->ConnectionToUserFailed("bob", "P");
        QString const l_html = lp_view->MessageArea()->toHtml();
        QCOMPARE(l_html.count("Check here"), 1);
        QVERIFY(l_html.contains(QString("href=\"http://%1/porttest.php?port=%2\"")
                                    .arg(g_webHost)
                                    .arg(GetSettingInt("listening_port"))));
        QVERIFY(Browse("bob", s_music));
    }

    // A list at the bounds is shown whole: names of 1,024 bytes as row
    // texts, 2,048 levels, and siblings whose long names differ only far
    // in, in case-blind order.
    void ListsAtTheBoundsAreShown()
    {
        using namespace HostileShareLists;
        QByteArray const l_long(1024, 'n');
        QByteArray const l_start(60, 'x');
        QByteArray l_record = DeepChain(2048);
        l_record = ListRecord(2048 + 4, l_record.mid(4, l_record.size() - 8) + Folder("b") + Folder("b\\" + l_start + "B") +
                                           Folder("b\\" + l_start + "a") + Folder(l_long, {File(l_long)}));
        SetSwitch("expand_new_shares", true);
        ShareForm* lp_view = mp_page->OpenShareBrowse("bob");
        mp_messenger->DispatchMessage("bob", ListMessage(l_record));
        QTRY_VERIFY_WITH_TIMEOUT(lp_view->Tree()->IsBuilt(), 60000);
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(lp_view->Tree()->MaxDepth(), 2047);
        // The chain opens from the top, and only as far as the view lays it
        // out quickly.
        int l_open = 0;
        for (QTreeWidgetItem* lp_row = lp_tree->topLevelItem(0); lp_row->isExpanded(); lp_row = lp_row->child(0))
            ++l_open;
        QVERIFY2(l_open > 1000 && l_open < 2047, qPrintable(QString::number(l_open)));
        QTreeWidgetItem* lp_row = lp_tree->topLevelItem(0);
        for (int l_level = 0; l_level < 2047; ++l_level, lp_row = lp_row->child(0))
            QVERIFY(!lp_row->isExpanded() || l_level < l_open);
        QStringList const l_rows = Rows(lp_tree);
        QCOMPARE(l_rows.mid(2048), QStringList({"b", "  " + l_start + "a", "  " + l_start + "B", QString(l_long)}));
        lp_tree->setCurrentItem(Row(lp_tree, l_long));
        QTRY_COMPARE(Files(lp_view->FileList()), QStringList({l_long + "|1,000|"}));
    }

    // A closed tab's folders go one a step, each with both halves of its
    // link to its parent: a folder's halves of the links to all its
    // subfolders never go in one step with it.
    void WideFolderGoesAFolderAStep()
    {
        std::vector<std::string> l_names;
        for (int l_index = 0; l_index < 300; ++l_index)
            l_names.push_back("Wide\\" + std::to_string(1000 + l_index) + "\\");
        std::vector<ListedFile> l_files = {{"Wide\\"}};
        for (std::string const& l_name : l_names)
            l_files.push_back({l_name.c_str()});
        ShareForm* lp_view = Browse("bob", l_files);
        QVERIFY(lp_view);
        QCOMPARE(Count("user_share_folder_child"), std::size_t(300));
        SlicedWork::SetSliceMs(0);
        mp_shares->SetShareRemovalSlice(0);
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_view));
        std::size_t l_left = Count("user_share_folder_child");
        std::size_t l_most = 0;
        QElapsedTimer l_deadline;
        l_deadline.start();
        while ((mp_shares->IsRemovingShares() || l_left > 0) && l_deadline.elapsed() < WAIT_MS) {
            QCoreApplication::processEvents();
            std::size_t const l_now = Count("user_share_folder_child");
            l_most = std::max(l_most, l_left - l_now);
            l_left = l_now;
        }
        QCOMPARE(l_left, std::size_t(0));
        QVERIFY2(l_most <= 1, qPrintable(QString::number(l_most)));
    }

    // A list that is refused says so on its tab, and why; another user's
    // refused list leaves the tab as it was. The lists come as over the
    // connections the tabs' requests open: those requests wait for their
    // connection throughout (no attempt may start), since without a server
    // an attempt fails at once, and on a busy machine its failure was told
    // before the list was read. The lists are read a step a turn, as there.
    void RefusedListsSayWhy()
    {
        using namespace HostileShareLists;
        auto const Message = &ListMessage;
        PeerMessenger::Limits l_limits;
        l_limits.m_maxAttempts = 0;
        mp_messenger->SetLimits(l_limits);
        SlicedWork::SetSliceMs(0);
        ShareForm* lp_bob = mp_page->OpenShareBrowse("bob");
        ShareForm* lp_ann = mp_page->OpenShareBrowse("ann");
        mp_messenger->DispatchMessage("ann", Message(ListRecord(1, Folder("a", {File(QByteArray("x\0y", 3))}))));
        QTRY_COMPARE(lp_ann->MessageArea()->toPlainText(),
                     QString("Requesting file list...\nThe file list was refused: it names a file with a NUL byte."));
        QCOMPARE(lp_bob->MessageArea()->toPlainText(), QString("Requesting file list..."));
        mp_messenger->DispatchMessage("bob", Message(LongNames(3, 131000)));
        QTRY_COMPARE(lp_bob->MessageArea()->toPlainText(),
                     QString("Requesting file list...\nThe file list was refused: it holds a name of 131,000 bytes, "
                             "longer than any file system allows (1,024)."));
        QCOMPARE(Count("user_share"), std::size_t(0));
    }

    // A list of many folders goes into the view and out of it a step at a
    // time: no turn of the event loop adds rows but those of one step, nor
    // removes more than one folder's subfolders (past 10,000 they go into
    // groups of that many, which stay closed); the page goes only after its
    // rows, and a new tab of the same user meanwhile takes a new list.
    void ManyFoldersInSlices()
    {
        SlicedWork::SetSliceMs(0);
        mp_shares->SetShareRemovalSlice(0);
        SetSwitch("expand_new_shares", true);
        int const l_folders = 12000;
        QByteArray l_entries;
        for (int l_folder = 0; l_folder < l_folders; ++l_folder)
            l_entries += HostileShareLists::Folder("F" + QByteArray::number(100000 + l_folder));
        ShareForm* lp_view = mp_page->OpenShareBrowse("eve");
        QAbstractItemModel* lp_model = lp_view->FolderTree()->model();
        int l_rows = 0, l_most = 0, l_removed = 0;
        int l_resets = -1; // the rows removed once the model was reset
        QObject::connect(lp_model, &QAbstractItemModel::rowsInserted, [&](QModelIndex, int i_first, int i_last) {
            l_rows += i_last - i_first + 1;
        });
        QObject::connect(lp_model, &QAbstractItemModel::rowsAboutToBeRemoved, [&](QModelIndex, int i_first,
                                                                                 int i_last) {
            l_rows += i_last - i_first + 1;
            l_removed += i_last - i_first + 1;
        });
        QObject::connect(lp_model, &QAbstractItemModel::modelAboutToBeReset, [&]() { l_resets = l_removed; });
        auto const l_turn = [&]() {
            l_rows = 0;
            Turn();
            l_most = std::max(l_most, l_rows);
        };
        mp_messenger->DispatchMessage("eve", ListMessage(HostileShareLists::ListRecord(l_folders, l_entries)));
        while (!lp_view->Tree()->IsBuilt())
            l_turn();
        QCOMPARE(l_most, 2); // a group's row and its first folder's
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(Rows(lp_tree).filter(QRegularExpression("^F")),
                 QStringList({"Folders 1 to 10,000 of 12,000", "Folders 10,001 to 12,000 of 12,000"}));
        QCOMPARE(lp_tree->topLevelItem(1)->child(1999)->text(0), QString("F111999"));
        QVERIFY(!lp_tree->topLevelItem(0)->isExpanded());

        QPointer<ShareForm> const lp_closed(lp_view);
        int l_turns = 0;
        l_most = 0;
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_view));
        ShareForm* lp_again = mp_page->OpenShareBrowse("eve");
        QVERIFY(lp_again != lp_view);
        while (lp_closed) {
            l_turn();
            ++l_turns;
        }
        QCOMPARE(l_most, 10000);
        QCOMPARE(l_resets, l_folders + 2);
        QVERIFY(l_turns > l_folders);
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_again));
        AwaitRemovals();
        QCOMPARE(Count("user_share_folder"), std::size_t(0));
    }

    // Folder trees are queued a folder's own files first (in name order),
    // then each subfolder's tree; excluded extensions are left out of
    // folders only; local folders stay under the download folder whatever
    // the remote names.
    void FolderAndFileDownloads()
    {
        QTemporaryDir l_downloads;
        SetSetting("download_folder", l_downloads.path());
        ShareForm* lp_view = Browse("bob", {{"Top\\b.mp3"}, {"Top\\a.ini"}, {"Top\\A.mp3"}, {"Top\\Mid\\m.mp3"},
                                            {"Top\\Mid\\Low\\l.mp3"}, {"Top\\..\\up.mp3"}, {"..\\..\\etc\\passwd"}});
        QTreeWidget* lp_tree = lp_view->FolderTree();
        lp_tree->setCurrentItem(Row(lp_tree, "Top"));
        SlicedWork::SetSliceMs(0);
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(Row(lp_tree, "Top")), false);
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(Row(lp_tree, "etc")), false);
        AwaitIdle(lp_view->Tree());
        QCOMPARE(Downloads(), QStringList({"Top|A.mp3||0", "Top|b.mp3||0", "Top\\..|up.mp3||1", "Top\\Mid|m.mp3||1",
                                           "Top\\Mid\\Low|l.mp3||1", "..\\..\\etc|passwd||0"}));
        QStringList const l_icons = {"A.mp3", "b.mp3"};
        for (int l_index = 0; l_index < lp_view->FileList()->topLevelItemCount(); ++l_index) {
            QTreeWidgetItem* lp_row = lp_view->FileList()->topLevelItem(l_index);
            QCOMPARE(!lp_row->icon(0).isNull(), l_icons.contains(lp_row->text(0)));
        }
        for (Item const& l_entry : d["download_entry"]->GetItems())
            QVERIFY2(mp_transfers->GetSafeDownloadPath(l_entry, true).startsWith(l_downloads.path() + "/complete/"),
                     qPrintable(mp_transfers->GetSafeDownloadPath(l_entry, true)));

        // A single file is queued even with an excluded extension.
        lp_view->FileList()->clearSelection();
        for (QTreeWidgetItem* lp_row : lp_view->FileList()->findItems("a.ini", Qt::MatchExactly))
            lp_row->setSelected(true);
        lp_view->OnDownloadFile();
        AwaitIdle(lp_view->Tree());
        QCOMPARE(Downloads().last(), QString("Top|a.ini|single|0"));
    }

    void Export()
    {
        ShareForm* lp_view = Browse("bob<&>", {{"Top\\z.mp3", 1234567, {{2, 1}, {0, 192}, {1, 61}}},
                                               {"Top\\a.txt", 0},
                                               {"Top\\Sub\\b\x01.mp3", 5, {{2, 0}}},
                                               {"Top\\Sub\\Deep\\c.mp3", 7}});
        lp_view->findChild<QLineEdit*>("filterEdit")->setText("-deep");
        QTemporaryDir l_dir;
        QString const l_file = l_dir.filePath("bob.xml");
        SlicedWork::SetSliceMs(0);
        QSignalSpy l_exported(lp_view, &ShareForm::Exported);
        lp_view->ExportToFile(l_file);
        QVERIFY(l_exported.wait(WAIT_MS));
        QCOMPARE(l_exported.first(), QVariantList({l_file, true}));
        QFile l_written(l_file);
        QVERIFY(l_written.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(l_written.readAll()),
                 QString::fromUtf8("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                   "<user name=\"bob&lt;&amp;&gt;\">\n"
                                   "    <folder name=\"Top\">\n"
                                   "        <folder name=\"Sub\">\n"
                                   "            <folder name=\"Deep\">\n"
                                   "                <file name=\"c.mp3\" size=\"7\"/>\n"
                                   "            </folder>\n"
                                   "            <file name=\"b\xef\xbf\xbd.mp3\" size=\"5\" bitrate_mode=\"cbr\"/>\n"
                                   "        </folder>\n"
                                   "        <file name=\"a.txt\" size=\"\"/>\n"
                                   "        <file name=\"z.mp3\" size=\"1,234,567\" bitrate_mode=\"vbr\" bitrate=\"192\"/>\n"
                                   "    </folder>\n"
                                   "</user>\n"));

        // A file that cannot be written says so, and leaves nothing.
        QString const l_nowhere = l_dir.filePath("missing/bob.xml");
        lp_view->ExportToFile(l_nowhere);
        QCOMPARE(l_exported.last(), QVariantList({l_nowhere, false}));
        QMessageBox* lp_box = lp_view->findChild<QMessageBox*>();
        QVERIFY(lp_box && lp_box->isVisible());
        QVERIFY2(lp_box->text().startsWith(QString("The share of bob<&> could not be saved to %1: ").arg(l_nowhere)),
                 qPrintable(lp_box->text()));
        QVERIFY(!QFile::exists(l_nowhere));

        // So does one whose folder goes while it is written.
        QTemporaryDir l_gone;
        QString const l_late = l_gone.filePath("bob.xml");
        lp_view->ExportToFile(l_late);
        QVERIFY(l_gone.remove());
        QVERIFY(l_exported.wait(WAIT_MS));
        QCOMPARE(l_exported.last(), QVariantList({l_late, false}));
        QCOMPARE(lp_view->findChildren<QMessageBox*>().size(), 2);
    }

    // Closing a browse tab takes the user's received share with it and
    // leaves his upload tab, with its own share, as it was; and the reverse.
    void ClosingTabs()
    {
        QTemporaryDir l_mine;
        QVERIFY(ShareOwnFolder(l_mine.filePath("pics"), {"x.jpg", "deeper/y.jpg"}));
        ShareForm* lp_view = Browse("bob", s_music);
        UploadForm* lp_upload = mp_page->OpenUploadBrowse("bob");
        QTRY_VERIFY(lp_upload->Tree()->IsBuilt());
        QCOMPARE(mp_page->Tabs()->tabText(1), QString("Upload to bob"));
        lp_view->FolderTree()->setCurrentItem(Row(lp_view->FolderTree(), "Music/Jazz"));
        QCOMPARE(Count("user_share"), std::size_t(2));
        QCOMPARE(Count("user_share_file"), std::size_t(11));
        QCOMPARE(Count("user_share_folder"), std::size_t(8));

        SlicedWork::SetSliceMs(0);
        mp_shares->SetShareRemovalSlice(0);
        // The closed tab's memory may be the new one's: it is followed by a
        // guarded pointer, not compared by address.
        QPointer<ShareForm> const lp_closed(lp_view);
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_view));
        AwaitRemovals();
        QCOMPARE(Count("user_share"), std::size_t(1));
        QCOMPARE(Count("user_share_file"), std::size_t(2));
        QCOMPARE(Count("user_share_folder"), std::size_t(2));
        QCOMPARE(Count("user_share_file_node"), std::size_t(0));
        QCOMPARE(Count("user_share_tab"), std::size_t(0));
        QCOMPARE(Count("user_share_file_name") + Count("user_share_folder_name"), std::size_t(4));
        QVERIFY(d["user"]->HasItem(Value("bob"))["user_share"].IsNull());
        QTreeWidget* lp_tree = lp_upload->FolderTree();
        lp_tree->setCurrentItem(Row(lp_tree, "pics"));
        QTRY_COMPARE(Files(lp_upload->FileList()), QStringList({QString("x.jpg|5,000|")}));

        // A new browse tab of the same user takes a new list.
        ShareForm* lp_again = Browse("bob", {{"New\\n.mp3"}});
        QVERIFY(lp_again && !lp_closed);
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_upload));
        AwaitRemovals();
        QCOMPARE(Count("user_share"), std::size_t(1));
        QCOMPARE(Count("user_share_file"), std::size_t(1));
        QCOMPARE(Count("upload_share_tab"), std::size_t(0));
        QCOMPARE(Rows(lp_again->FolderTree()), QStringList({"New"}));

        // A tab closed while a folder is being queued goes at once; the rest
        // is queued over later turns, a file a turn, and its list goes only
        // then. Meanwhile the user's new tab takes a new list.
        ShareForm* lp_busy = Browse("dora", s_music);
        lp_busy->DownloadFolder(lp_busy->Tree()->RowFolder(Row(lp_busy->FolderTree(), "Music")), false);
        QVERIFY(!lp_busy->IsIdle());
        int const l_queuedAtClose = Downloads().size();
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_busy));
        QCOMPARE(Downloads().size(), l_queuedAtClose);
        for (int l_turn = 0; l_turn < 3; ++l_turn)
            QCoreApplication::processEvents();
        QVERIFY(Downloads().size() < 8);
        ShareForm* lp_dora = Browse("dora", {{"Other\\o.mp3"}});
        QVERIFY(lp_dora);
        QCOMPARE(Rows(lp_dora->FolderTree()), QStringList({"Other"}));
        QTRY_COMPARE(Downloads().size(), 8);
        AwaitRemovals();
        QCOMPARE(Count("user_share"), std::size_t(2));
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_dora));
        AwaitRemovals();

        // A tab closed while its list goes in takes what went in.
        ShareForm* lp_third = mp_page->OpenShareBrowse("carl");
        Deliver("carl", List(s_music));
        QVERIFY(!lp_third->Tree()->IsBuilt());
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_third));
        AwaitRemovals();
        QCOMPARE(Count("user_share_file"), std::size_t(1));
    }

    // A file the engine refuses keeps its row as it was and the status bar
    // says why; a file it takes gets the upload icon.
    void RefusedUploads()
    {
        QTemporaryDir l_mine;
        QString const l_folder = l_mine.filePath("pics");
        QVERIFY(ShareOwnFolder(l_folder, {"x.jpg", "y.jpg"}));
        UploadForm* lp_upload = mp_page->OpenUploadBrowse("bob");
        QTRY_VERIFY(lp_upload->Tree()->IsBuilt());
        QTreeWidget* lp_tree = lp_upload->FolderTree();
        lp_tree->setCurrentItem(lp_tree->topLevelItem(0));
        QTreeWidgetItem* lp_x = lp_upload->FileList()->topLevelItem(0);
        QTreeWidgetItem* lp_y = lp_upload->FileList()->topLevelItem(1);
        QString const l_remote = QString(l_folder).replace('/', '\\');
        Item const l_bob = d["user"]->GetItem(Value("bob"));
        SetAttribute(l_bob, "last_online_status_change", Value("now"));

        lp_upload->OnFileDoubleClicked(lp_x, 0);
        QVERIFY(lp_x->icon(0).isNull());
        QCOMPARE(mp_window->statusBar()->currentMessage(),
                 QString("Can't upload %1\\x.jpg to bob: bob is offline.").arg(l_remote));

        SetFlag(l_bob, "is_online", true);
        mp_transfers->UnshareUser("bob");
        lp_upload->OnFileDoubleClicked(lp_x, 0);
        QCOMPARE(mp_window->statusBar()->currentMessage(),
                 QString("Can't upload %1\\x.jpg to bob: Your files are withheld from bob.").arg(l_remote));
        mp_transfers->ReshareUser("bob");

        QFile::remove(l_folder + "/y.jpg");
        mp_shares->RescanShares();
        QTRY_VERIFY(mp_shares->GetExactSharedFileItem(l_folder + "/y.jpg").IsNull());
        lp_upload->OnFolderDoubleClicked(lp_tree->topLevelItem(0), 0);
        AwaitIdle(lp_upload->Tree());
        QVERIFY(!lp_x->icon(0).isNull() && lp_y->icon(0).isNull());
        QCOMPARE(mp_window->statusBar()->currentMessage(),
                 QString("Can't upload %1\\y.jpg to bob: %1\\y.jpg is not shared.").arg(l_remote));
        QCOMPARE(Count("upload_entry"), std::size_t(1));
    }

    // The whole road: another user's share, browsed through the stand-in
    // server, matches what he shares; his folder, downloaded, lands in the
    // folders the layout gives, byte for byte.
    void BrowseAndDownloadFromAHeadlessClient()
    {
        StandinProcess l_standin;
        QVERIFY(LogIn(l_standin));
        QTemporaryDir l_root(QDir::homePath() + "/browse-XXXXXX");
        QStringList const l_files = {"music/top.mp3", "music/blues/a.mp3", "music/blues/b.mp3",
                                     "music/blues/old/c.mp3"};
        for (QString const& l_file : l_files)
            QVERIFY(WriteFile(l_root.filePath("shared/" + l_file), l_file.toUtf8().repeated(20000)));
        LineProcess l_sharer("sharer");
        QVERIFY(StartHeadlessClient(l_sharer, l_root.filePath("home"), "sharer", l_standin.Port(),
                                    l_root.filePath("shared")));
        SetSetting("download_folder", l_root.filePath("downloads"));

        ShareForm* lp_view = mp_page->OpenShareBrowse("sharer");
        QTRY_VERIFY(lp_view->Tree()->IsBuilt());
        QTreeWidget* lp_tree = lp_view->FolderTree();
        QCOMPARE(Rows(lp_tree), QStringList({"music", "  blues", "    old"}));
        for (auto const& l_folder : {std::make_pair("music", 1), {"music/blues", 2}, {"music/blues/old", 1}})
            QCOMPARE(int(lp_view->Tree()->RowFolder(Row(lp_tree, l_folder.first)).CountItems("user_share_file")),
                     l_folder.second);

        QSignalSpy l_complete(mp_transfers.get(), &TransferQueueManager::CompleteDownloadAdded);
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(Row(lp_tree, "music")), false);
        QTRY_VERIFY2(l_complete.count() == 4, qPrintable(l_sharer.Tail()));
        for (auto const& l_landed : {std::make_pair("music/top.mp3", "music/top.mp3"),
                                     {"music/blues/a.mp3", "music/blues/a.mp3"},
                                     {"music/blues/b.mp3", "music/blues/b.mp3"},
                                     {"music/blues/old/c.mp3", "blues/old/c.mp3"}})
            QCOMPARE(FileMd5(l_root.filePath(QString("downloads/complete/") + l_landed.second)),
                     FileMd5(l_root.filePath(QString("shared/") + l_landed.first)));
        QCOMPARE(l_sharer.Stop(), 0);
    }

    // Pushing a folder of ours queues its own files, then its subfolders',
    // and the other user, who takes files from those on his list, receives
    // them in that order.
    void UploadFolderToAHeadlessClient()
    {
        StandinProcess l_standin;
        QVERIFY(LogIn(l_standin));
        QTemporaryDir l_root(QDir::homePath() + "/push-XXXXXX");
        QString const l_pics = l_root.filePath("mine/pics");
        QVERIFY(ShareOwnFolder(l_pics, {"x.jpg", "deeper/z.jpg", "deeper/y.jpg", "deeper/down/w.jpg"}));
        QVERIFY(WriteFile(l_root.filePath("shared/none/n.txt"), "n"));
        LineProcess l_sharer("sharer");
        QVERIFY(StartHeadlessClient(l_sharer, l_root.filePath("home"), "sharer", l_standin.Port(),
                                    l_root.filePath("shared"), {"accept_userlist_uploads=yes", "user-list=me"}));

        UploadForm* lp_upload = mp_page->OpenUploadBrowse("sharer");
        QTRY_VERIFY(lp_upload->Tree()->IsBuilt());
        QCOMPARE(Rows(lp_upload->FolderTree()), QStringList({"pics", "  deeper", "    down"}));
        lp_upload->OnFolderDoubleClicked(lp_upload->FolderTree()->topLevelItem(0), 0);
        QStringList const l_order = {"pics/x.jpg", "deeper/y.jpg", "deeper/z.jpg", "down/w.jpg"};
        QStringList l_queued;
        for (int l_from = 0, l_at = 0; l_queued.size() < l_order.size(); l_from = l_at + 1) {
            QRegularExpressionMatch const l_match =
                l_sharer.Await("^event \\d+ download-status queued me -1 .*\\\\([^\\\\]+\\\\[^\\\\]+)$", l_from, WAIT_MS,
                               &l_at);
            QVERIFY2(l_match.hasMatch(), qPrintable(l_sharer.Tail()));
            l_queued << l_match.captured(1).replace('\\', '/');
        }
        QCOMPARE(l_queued, l_order);
        for (QString const& l_file : l_order) {
            QRegularExpressionMatch const l_done =
                l_sharer.Await("^event \\d+ download-complete me (.*/" + QRegularExpression::escape(l_file) + ")$");
            QVERIFY2(l_done.hasMatch(), qPrintable(l_sharer.Tail()));
            QString const l_local = l_file.startsWith("pics/") ? l_pics + l_file.mid(4)
                                    : l_file.startsWith("down/") ? l_pics + "/deeper/" + l_file
                                                                  : l_pics + '/' + l_file;
            QCOMPARE(FileMd5(l_done.captured(1)), FileMd5(l_local));
        }
        QCOMPARE(l_sharer.Stop(), 0);
    }
};

QTEST_MAIN(ShareBrowserTest)
#include "ShareBrowserTest.moc"
