#include "SearchFixture.h"

#include "ui/search/SearchStoreTypes.h"

#include "ui/search/SearchResultMenuOptions.h"

#include "store/DataSaver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

class ResultsTabTest : public QObject, public SearchFixture
{
    Q_OBJECT

private:
    static QPushButton* SaveButton(SearchResultsForm* ip_tab) { return ip_tab->findChild<QPushButton*>("saveFilterButton"); }
    static QComboBox* SavedBox(SearchResultsForm* ip_tab) { return ip_tab->findChild<QComboBox*>("savedFiltersBox"); }
    static QCheckBox* DefaultBox(SearchResultsForm* ip_tab) { return ip_tab->findChild<QCheckBox*>("defaultFilterBox"); }
    static SearchResultsForm* WidgetForm(Item const& i_widget)
    {
        return reinterpret_cast<SearchResultsForm*>(static_cast<std::uintptr_t>(i_widget.AsUInt64()));
    }
    static QStringList Entries(QComboBox* ip_box)
    {
        QStringList l_texts;
        for (int l_index = 0; l_index < ip_box->count(); ++l_index)
            l_texts << ip_box->itemText(l_index);
        return l_texts;
    }

private slots:
    void init() { StartPage(); }
    void cleanup() { StopPage(); }

    void CellsOfTheRows()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"), &l_token);
        Answer(l_token, "ann", {{"Music\\Artist\\Album\\", "big.iso", 5000000000LL, 320, "cbr"}}, true, 123456);
        Answer(l_token, "bob", {{"x", "a.mp3"}}, false, 0, 12);
        Answer(l_token, "cid", {{"x", "a.mp3"}}, false, 1, 0);
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QTreeWidgetItem* lp_ann = lp_tree->topLevelItem(0);
        QCOMPARE(lp_ann->text(0), QStringLiteral("ann"));
        QCOMPARE(lp_ann->text(1), QStringLiteral("Y"));
        QCOMPARE(lp_ann->textAlignment(1), int(Qt::AlignCenter));
        QCOMPARE(lp_ann->text(2), QStringLiteral("120.6"));
        QCOMPARE(lp_ann->child(0)->text(3), QStringLiteral("Album/Artist/Music"));
        QTreeWidgetItem* lp_file = lp_ann->child(0)->child(0);
        QCOMPARE(QStringList({lp_file->text(4), lp_file->text(5), lp_file->text(6)}),
                 QStringList({"big.iso", "5,000,000,000", "320 CBR"}));
        QCOMPARE(lp_tree->topLevelItem(1)->text(1), QStringLiteral("12"));
        QCOMPARE(lp_tree->topLevelItem(1)->text(2), QString());
        QCOMPARE(lp_tree->topLevelItem(2)->text(2), QStringLiteral("0.0"));
    }

    // A user's answers meet under one user row and one row per folder path;
    // another tab keeps rows of its own.
    void AnswersMergeByUserAndFolder()
    {
        unsigned int l_first = 0, l_second = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("a"), &l_first);
        SearchResultsForm* lp_other = Search(QStringLiteral("b"), &l_second);
        Answer(l_first, "ann", {{"f", "1.mp3"}, {"g", "2.mp3"}});
        Answer(l_first, "ann", {{"f", "3.mp3"}, {"h", "4.mp3"}});
        Answer(l_second, "ann", {{"f", "5.mp3"}});
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QCOMPARE(lp_tree->topLevelItemCount(), 1);
        QCOMPARE(lp_tree->topLevelItem(0)->childCount(), 3);
        QCOMPARE(lp_tree->topLevelItem(0)->child(0)->childCount(), 2);
        QCOMPARE(lp_other->searchResults()->topLevelItemCount(), 1);
        QCOMPARE(Count("search_results_user_node"), std::size_t(2));
    }

    void OrderingOnGroupedRows()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"), &l_token);
        Answer(l_token, "slowfree", {{"f", "b.mp3"}, {"f", "A.mp3"}, {"f", "a.mp3"}, {"g", "z.mp3"}}, true, 1024);
        Answer(l_token, "queue12", {{"f", "x.mp3"}}, false, 900000, 12);
        Answer(l_token, "queue3", {{"f", "x.mp3"}}, false, 10, 3);
        Answer(l_token, "queue0", {{"f", "x.mp3"}}, false, 10, 0);
        Answer(l_token, "fastfree", {{"f", "x.mp3"}}, true, 10240);
        std::size_t const l_items = d.ItemCount();
        QTreeWidget* lp_tree = lp_tab->searchResults();
        auto const l_users = [lp_tree]() {
            QStringList l_names;
            for (int l_row = 0; l_row < lp_tree->topLevelItemCount(); ++l_row)
                l_names << lp_tree->topLevelItem(l_row)->text(0);
            return l_names;
        };
        lp_tab->Sort(); // Order by Available, the tab's start
        QCOMPARE(l_users(), QStringList({"fastfree", "slowfree", "queue0", "queue3", "queue12"}));
        QTreeWidgetItem* lp_slow = lp_tree->topLevelItem(1);
        QCOMPARE(lp_slow->child(0)->text(3), QStringLiteral("f"));
        QCOMPARE(Column(lp_tree, 4).mid(1, 3), QStringList({"A.mp3", "a.mp3", "b.mp3"}));
        QCOMPARE(d.ItemCount(), l_items);

        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("order_by_fastest"));
        QCOMPARE(l_users(), QStringList({"queue12", "fastfree", "slowfree", "queue0", "queue3"}));
        std::size_t const l_itemsNow = d.ItemCount();
        lp_tab->SetSortingParamters(1, Qt::AscendingOrder);
        lp_tab->Sort();
        QCOMPARE(l_users(), QStringList({"queue12", "queue3", "queue0", "slowfree", "fastfree"}));
        QCOMPARE(d.ItemCount(), l_itemsNow);
    }

    void OrderingOnFlatRows_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("file ignores case, keeps ties") << 4 << QStringList({"a.mp3", "A.mp3", "b.mp3"});
        QTest::newRow("biggest first") << 5 << QStringList({"b.mp3", "a.mp3", "A.mp3"});
        QTest::newRow("highest bitrate first") << 6 << QStringList({"A.mp3", "a.mp3", "b.mp3"});
    }

    void OrderingOnFlatRows()
    {
        QFETCH(int, column);
        QFETCH(QStringList, names);
        StopPage();
        StartPage(true);
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"), &l_token);
        Answer(l_token, "ann", {{"f", "a.mp3", 2000000, 128}, {"f", "A.mp3", 2000000, 320}, {"f", "b.mp3", 3000000000LL}});
        std::size_t const l_items = d.ItemCount();
        lp_tab->SetSortingParamters(column, Qt::AscendingOrder);
        lp_tab->Sort();
        QCOMPARE(Column(lp_tab->searchResults(), 4), names);
        QCOMPARE(d.ItemCount(), l_items);
    }

    // One sort for a burst, a second after its first answer; a tab closed
    // before then is never sorted.
    void ABurstIsSortedOnce()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"), &l_token);
        int l_sorts = 0;
        qint64 l_sortedAt = 0;
        QElapsedTimer l_clock;
        connect(lp_tab->searchResults()->model(), &QAbstractItemModel::layoutChanged, this, [&]() {
            ++l_sorts;
            l_sortedAt = l_clock.elapsed();
        });
        l_clock.start();
        for (char const* lp_user : {"a", "b", "c"})
            Answer(l_token, lp_user, {{"f", "x.mp3"}});
        QTest::qWait(500);
        Answer(l_token, "d", {{"f", "x.mp3"}});
        QCOMPARE(l_sorts, 0);
        QTest::qWait(1200);
        QCOMPARE(l_sorts, 1);
        QVERIFY(l_sortedAt >= 950 && l_sortedAt < 1400);

        unsigned int l_closedToken = 0;
        Search(QStringLiteral("y"), &l_closedToken);
        Answer(l_closedToken, "a", {{"f", "x.mp3"}});
        mp_page->OnTabCloseRequested(mp_page->Form()->searchTabControl->count() - 1);
        QTest::qWait(1500);
    }

    void FilterHidesFoldersAndUsers()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"), &l_token);
        lp_tab->filterEdit()->setText(QStringLiteral("mfif:3"));
        Answer(l_token, "two", {{"f", "1.mp3"}, {"f", "2.mp3"}});
        Answer(l_token, "three", {{"f", "1.mp3"}, {"f", "2.mp3"}, {"g", "3.mp3"}, {"g", "4.mp3"}, {"g", "5.mp3"}});
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QCOMPARE(Column(lp_tree, 0), QStringList({"three"}));
        QCOMPARE(Column(lp_tree, 3), QStringList({"g"}));
        lp_tab->filterEdit()->setText(QStringLiteral("mfif:3 -4"));
        QCOMPARE(Column(lp_tree, 0), QStringList());
        lp_tab->filterEdit()->clear();
        QCOMPARE(Column(lp_tree, 4).size(), 7);
    }

    // The folder and the file are tested apart whether the filter came
    // before the answer or after it.
    void FilterAgreesBeforeAndAfter()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"), &l_token);
        lp_tab->filterEdit()->setText(QStringLiteral("ac"));
        Answer(l_token, "ann", {{"a\\b", "c.mp3"}, {"a\\b", "acid.mp3"}});
        QStringList const l_before = Column(lp_tab->searchResults(), 4);
        lp_tab->filterEdit()->setText(QStringLiteral("a"));
        lp_tab->filterEdit()->setText(QStringLiteral("ac"));
        QCOMPARE(l_before, QStringList({"acid.mp3"}));
        QCOMPARE(Column(lp_tab->searchResults(), 4), l_before);
    }

    void SavedFiltersAcrossTabs()
    {
        SearchResultsForm* lp_a = Search(QStringLiteral("a"));
        SearchResultsForm* lp_b = Search(QStringLiteral("b"));
        lp_a->filterEdit()->setText(QStringLiteral("  Foo   Bar "));
        SaveButton(lp_a)->click();
        QCOMPARE(Entries(SavedBox(lp_b)), QStringList({"-- saved filters", "foo bar"}));
        QCOMPARE(SaveButton(lp_a)->text(), QStringLiteral("Remove Filter"));
        lp_b->filterEdit()->setText(QStringLiteral("FOO bar"));
        QCOMPARE(SaveButton(lp_b)->text(), QStringLiteral("Remove Filter"));
        SaveButton(lp_b)->click();
        QCOMPARE(Entries(SavedBox(lp_a)), QStringList({"-- saved filters"}));
        QCOMPARE(SaveButton(lp_a)->text(), QStringLiteral("Save Filter"));

        lp_a->filterEdit()->setText(QStringLiteral("mp3"));
        SaveButton(lp_a)->click();
        SavedBox(lp_b)->setCurrentIndex(1);
        QCOMPARE(lp_b->filterEdit()->text(), QStringLiteral("mp3"));
        QCOMPARE(SavedBox(lp_b)->currentIndex(), 0);
        lp_a->filterEdit()->setText(QStringLiteral("   "));
        SaveButton(lp_a)->click();
        QCOMPARE(Count("saved_filter"), std::size_t(1));
    }

    void DefaultFilterBox()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("a"));
        DefaultBox(lp_tab)->click();
        QVERIFY(!DefaultBox(lp_tab)->isChecked());
        QVERIFY(!IsSettingSet("default_search_filter"));
        lp_tab->filterEdit()->setText(QStringLiteral("flac"));
        DefaultBox(lp_tab)->click();
        QCOMPARE(GetSetting("default_search_filter"), QStringLiteral("flac"));
        SearchResultsForm* lp_next = Search(QStringLiteral("b"));
        QCOMPARE(lp_next->filterEdit()->text(), QStringLiteral("flac"));
        QVERIFY(DefaultBox(lp_next)->isChecked());
        lp_next->filterEdit()->setText(QStringLiteral("flac "));
        QVERIFY(!DefaultBox(lp_next)->isChecked());
        DefaultBox(lp_tab)->click();
        QVERIFY(!IsSettingSet("default_search_filter"));
        QVERIFY(Search(QStringLiteral("c"))->filterEdit()->text().isEmpty());
    }

    // A wish-list tab announces its first visible answer, once.
    void WishListTabAlertsOnce()
    {
        SetSwitch("show_event_buttons", true);
        Item const l_wish = d["wish_list_item"]->NewItem(Value("jazz"));
        SetFlag(l_wish, "wish_list_item_enabled", true);
        SetAttribute(l_wish, "wish_list_item_filter_text", Value("live"));
        unsigned int const l_token = mp_server->FileSearch(QStringLiteral("jazz"), QStringLiteral("jazz"));
        Answer(l_token, "ann", {{"f", "studio.mp3"}});
        Item const l_widget = l_wish["search_results_widget"];
        QVERIFY(l_widget.IsValid());
        QVERIFY(!l_widget.IsConnected("search_results_widget_alerted"));
        Answer(l_token, "bob", {{"f", "live.mp3"}});
        QVERIFY(l_widget.IsConnected("search_results_widget_alerted"));
        QVERIFY(d["event_toolbar_widget"]->HasItem(Value(WidgetForm(l_widget))).IsValid());
    }

    // Folder and user rows download what the search returned for them,
    // hidden rows too, in folder and name order, without excluded
    // extensions; a file row downloads its file whatever its extension.
    void DoubleClickDownloads()
    {
        unsigned int l_token = 0;
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"), &l_token);
        Answer(l_token, "ann", {{"Music\\Alb", "b.mp3", 10}, {"Music\\Alb", "a.ini", 20}, {"Music\\Alb", "A.mp3", 30},
                                {"Other", "c.mp3", 5000000000LL}});
        lp_tab->filterEdit()->setText(QStringLiteral("-b.mp3"));
        QTreeWidgetItem* lp_user = lp_tab->searchResults()->topLevelItem(0);
        QTreeWidgetItem* lp_folder = lp_user->child(0);
        lp_tab->OnResultDoubleClicked(lp_folder, 3);
        QVERIFY(Downloads().isEmpty());
        QVERIFY(lp_tab->searchResults()->expandsOnDoubleClick());

        SetSwitch("download_folders_on_double_click", true);
        QVERIFY(!lp_tab->searchResults()->expandsOnDoubleClick());
        lp_tab->OnResultDoubleClicked(lp_folder, 3);
        QCOMPARE(Downloads(), QStringList({"ann|Music\\Alb|A.mp3|30||song", "ann|Music\\Alb|b.mp3|10||song"}));
        lp_tab->OnResultDoubleClicked(lp_folder->child(1), 4);
        lp_tab->OnResultDoubleClicked(lp_user, 0);
        QCOMPARE(Downloads().mid(2), QStringList({"ann|Music\\Alb|a.ini|20|single|song", "ann|Other|c.mp3|5000000000||song"}));
        for (QTreeWidgetItem* lp_file : {lp_folder->child(0), lp_folder->child(1), lp_user->child(1)->child(0)})
            QVERIFY(!lp_file->icon(4).isNull());
    }

    void MenuEntriesAndDownloads()
    {
        unsigned int l_first = 0, l_second = 0;
        Search(QStringLiteral("other"), &l_first);
        Answer(l_first, "ann", {{"Shared", "x.mp3"}});
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"), &l_second);
        Answer(l_second, "ann", {{"Shared", "x.mp3"}});
        Answer(l_second, "bob", {{"Shared", "c.ini"}, {"Shared", "b.mp3"}, {"Shared", "a.mp3"}});
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QTreeWidgetItem* lp_bob = lp_tree->topLevelItem(1);
        auto const l_entries = [](QTreeWidgetItem* ip_row, QString* op_user = nullptr) {
            QMenu l_menu;
            SearchResultMenuOptions l_options(&l_menu, ip_row);
            if (op_user)
                *op_user = l_options.User() + '|' + l_options.Folder() + '|' + l_options.SearchText();
            QStringList l_texts;
            for (QAction* lp_action : l_menu.actions())
                l_texts << lp_action->text();
            return l_texts;
        };
        QString l_whose;
        QCOMPARE(l_entries(lp_bob), QStringList());
        QCOMPARE(l_entries(lp_bob->child(0), &l_whose), QStringList({"Download Folder(s)", "Browse Folder"}));
        QCOMPARE(l_whose, QStringLiteral("bob|Shared|song"));
        QCOMPARE(l_entries(lp_bob->child(0)->child(0)), QStringList({"Download File(s)", "Download Folder(s)", "Browse Folder"}));

        QTreeWidgetItem* lp_bobFolder = lp_bob->child(0);
        lp_bobFolder->child(0)->setSelected(true);
        SearchResultMenuOptions(new QMenu(lp_tree), lp_bobFolder->child(0)).OnDownloadFile();
        lp_bobFolder->child(1)->setSelected(true);
        lp_bobFolder->child(2)->setSelected(true);
        SearchResultMenuOptions(new QMenu(lp_tree), lp_bobFolder->child(1)).OnDownloadFile();
        QCOMPARE(Downloads(), QStringList({"bob|Shared|c.ini|1000|single|song", "bob|Shared|b.mp3|1000||song",
                                           "bob|Shared|a.mp3|1000||song"}));
        lp_tree->clearSelection();
        lp_tree->topLevelItem(0)->child(0)->child(0)->setSelected(true);
        lp_bobFolder->child(1)->setSelected(true);
        lp_bobFolder->child(2)->setSelected(true);
        SearchResultMenuOptions(new QMenu(lp_tree), lp_bobFolder->child(1)).OnDownloadFolder();
        QCOMPARE(Downloads().mid(3), QStringList({"ann|Shared|x.mp3|1000||song"}));
    }

    // Saved types come back; rows, tabs and their bindings never do.
    void SaveAndLoadKeepTheSavedTypes()
    {
        DataSaver l_saver;
        mp_page->Init(); // registers the saved types with the saver
        SearchResultsForm* lp_tab = Search(QStringLiteral("kept"));
        lp_tab->filterEdit()->setText(QStringLiteral("mp3"));
        SaveButton(lp_tab)->click();
        mp_page->RecordSearch(QStringLiteral("kept"));
        QString const l_base = QDir::homePath() + QStringLiteral("/.QuillmarTest");
        QVERIFY(l_saver.Save(l_base));
        StopPage();
        StartPage();
        l_saver.Load(l_base);
        QCOMPARE(Count("saved_filter"), std::size_t(1));
        QCOMPARE(Count("search_record"), std::size_t(1));
        QCOMPARE(Count("search_time"), std::size_t(1));
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_result_node"})
            QCOMPARE(Count(lp_type), std::size_t(0));
    }

    void ClosingATabLeavesNothing()
    {
        unsigned int l_token = 0;
        Search(QStringLiteral("x"), &l_token);
        Answer(l_token, "ann", {{"f", "1.mp3"}, {"g", "2.mp3"}});
        QCOMPARE(Count("search_result_node"), std::size_t(2));
        mp_page->OnTabCloseRequested(0);
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_results_folder_node",
                                    "search_result_node", "search_results", "search_result", "search_request"})
            QCOMPARE(Count(lp_type), std::size_t(0));
    }
};

QTEST_MAIN(ResultsTabTest)
#include "ResultsTabTest.moc"
