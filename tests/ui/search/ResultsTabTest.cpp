#include "SearchFixture.h"
#include "ui/search/SearchResultMenuOptions.h"
#include "store/DataSaver.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>

class ResultsTabTest : public QObject, public SearchFixture
{
    Q_OBJECT

private:
    template <class T>
    static T* Child(SearchResultsForm* ip_tab, char const* ip_name) { return ip_tab->findChild<T*>(ip_name); }
    static QStringList Cells(QTreeWidgetItem* ip_row)
    {
        QStringList l_cells;
        for (int l_column = 0; l_column < 7; ++l_column)
            l_cells << ip_row->text(l_column);
        return l_cells;
    }
    static QStringList SavedFilters(SearchResultsForm* ip_tab)
    {
        return Entries(Child<QComboBox>(ip_tab, "savedFiltersBox")).mid(1);
    }
    static QString SaveText(SearchResultsForm* ip_tab) { return Child<QPushButton>(ip_tab, "saveFilterButton")->text(); }
    static void ClickSave(SearchResultsForm* ip_tab) { Child<QPushButton>(ip_tab, "saveFilterButton")->click(); }

private slots:
    void init() { StartPage(); }
    void cleanup() { StopPage(); }

    void CellsOfTheRows()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"));
        Answer(m_token, "ann", {{"Music\\Artist\\Album\\", "big.iso", 5000000000LL, 320, "cbr"}}, true, 123456);
        Answer(m_token, "bob", {{"x", "a.mp3"}}, false, 0, 12);
        Answer(m_token, "cid", {{"x", "a.mp3"}}, false, 1, 0);
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QTreeWidgetItem* lp_ann = lp_tree->topLevelItem(0);
        QCOMPARE(Cells(lp_ann), QStringList({"ann", "Y", "120.6", "", "", "", ""}));
        QCOMPARE(lp_ann->textAlignment(1), int(Qt::AlignCenter));
        QCOMPARE(Cells(lp_ann->child(0)), QStringList({"", "", "", "Album/Artist/Music", "", "", ""}));
        QCOMPARE(Cells(lp_ann->child(0)->child(0)), QStringList({"", "", "", "", "big.iso", "5,000,000,000", "320 CBR"}));
        QCOMPARE(Cells(lp_tree->topLevelItem(1)).mid(0, 3), QStringList({"bob", "12", ""}));
        QCOMPARE(lp_tree->topLevelItem(2)->text(2), QStringLiteral("0.0"));
    }

    // A user's answers meet under one user row and one row per folder path;
    // another tab keeps rows of its own.
    void AnswersMergeByUserAndFolder()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("a"));
        SearchResultsForm* lp_other = Search(QStringLiteral("b"));
        Answer(lp_tab->Token(), "ann", {{"f", "1.mp3"}, {"g", "2.mp3"}});
        Answer(lp_tab->Token(), "ann", {{"f", "3.mp3"}, {"h", "4.mp3"}});
        Answer(m_token, "ann", {{"f", "5.mp3"}});
        QCOMPARE(Column(lp_tab->searchResults(), 0), QStringList({"ann"}));
        QCOMPARE(Column(lp_tab->searchResults(), 3), QStringList({"f", "g", "h"}));
        QCOMPARE(Column(lp_tab->searchResults(), 4), QStringList({"1.mp3", "3.mp3", "2.mp3", "4.mp3"}));
        QCOMPARE(Column(lp_other->searchResults(), 0), QStringList({"ann"}));
    }

    void OrderingOnGroupedRows()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        Answer(m_token, "slowfree", {{"f", "b.mp3"}, {"f", "A.mp3"}, {"f", "a.mp3"}, {"g", "z.mp3"}}, true, 1024);
        Answer(m_token, "queue12", {{"f", "x.mp3"}}, false, 900000, 12);
        Answer(m_token, "queue3", {{"f", "x.mp3"}}, false, 10, 3);
        Answer(m_token, "queue0", {{"f", "x.mp3"}}, false, 10, 0);
        Answer(m_token, "fastfree", {{"f", "x.mp3"}}, true, 10240);
        QTreeWidget* lp_tree = lp_tab->searchResults();
        std::size_t const l_items = d.ItemCount();
        lp_tab->Sort(); // Order by Available, the tab's start
        QCOMPARE(Column(lp_tree, 0), QStringList({"fastfree", "slowfree", "queue0", "queue3", "queue12"}));
        QCOMPARE(Column(lp_tree, 4).mid(1, 4), QStringList({"A.mp3", "a.mp3", "b.mp3", "z.mp3"}));
        lp_tab->SetSortingParamters(2, Qt::DescendingOrder); // Order by Fastest
        lp_tab->Sort();
        QCOMPARE(Column(lp_tree, 0), QStringList({"queue12", "fastfree", "slowfree", "queue0", "queue3"}));
        lp_tab->SetSortingParamters(1, Qt::AscendingOrder);
        lp_tab->Sort();
        QCOMPARE(Column(lp_tree, 0), QStringList({"queue12", "queue3", "queue0", "slowfree", "fastfree"}));
        QCOMPARE(d.ItemCount(), l_items);
    }

    // Old style: file names ignore case and keep ties, sizes and bitrates
    // put the biggest first.
    void OrderingOnFlatRows()
    {
        StopPage();
        StartPage(true);
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        Answer(m_token, "ann", {{"f", "a.mp3", 2000000, 128}, {"f", "A.mp3", 2000000, 320}, {"f", "b.mp3", 3000000000LL}});
        std::size_t const l_items = d.ItemCount();
        QStringList const l_orders[] = {{"a.mp3", "A.mp3", "b.mp3"}, {"b.mp3", "a.mp3", "A.mp3"}, {"A.mp3", "a.mp3", "b.mp3"}};
        for (int l_column = 4; l_column <= 6; ++l_column) {
            lp_tab->SetSortingParamters(l_column, Qt::AscendingOrder);
            lp_tab->Sort();
            QCOMPARE(Column(lp_tab->searchResults(), 4), l_orders[l_column - 4]);
        }
        QCOMPARE(d.ItemCount(), l_items);
    }

    // One sort for a burst, a second after its first answer; a tab closed
    // before then is never sorted.
    void ABurstIsSortedOnce()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        QElapsedTimer l_clock;
        std::vector<qint64> l_sorts;
        connect(lp_tab->searchResults()->model(), &QAbstractItemModel::layoutChanged, this,
                [&]() { l_sorts.push_back(l_clock.elapsed()); });
        l_clock.start();
        for (char const* lp_user : {"a", "b", "c", "d"})
            Answer(m_token, lp_user, {{"f", "x.mp3"}});
        QObject* lp_closed = Search(QStringLiteral("y"));
        Answer(m_token, "a", {{"f", "x.mp3"}});
        mp_page->OnTabCloseRequested(1);
        QVERIFY(!mp_invoker->IsPending(lp_closed, QString::fromLatin1(SLOT(Sort()))));
        QTRY_VERIFY_WITH_TIMEOUT(!l_sorts.empty(), 10000);
        QVERIFY(!mp_invoker->IsPending(lp_tab, QString::fromLatin1(SLOT(Sort()))));
        QCOMPARE(l_sorts.size(), std::size_t(1));
        QVERIFY(l_sorts[0] >= 950); // a coarse timer may fire up to 5 % early
    }

    // A user's files in one tab are bounded: of an answer that goes beyond
    // the bound the files that fit are shown and the rest leave the store;
    // an answer after the bound is reached is refused whole.
    void OneUserCannotFillTheTab()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        std::size_t const l_max = SearchResultsForm::MAX_FILES_PER_USER;
        std::vector<ResultFile> l_many(l_max - 1, ResultFile{"f", "x.mp3"});
        l_many.push_back(ResultFile{"f", "last.mp3"});
        l_many.push_back(ResultFile{"f", "beyond.mp3"});
        Answer(m_token, "ann", {{"f", "first.mp3"}});
        Answer(m_token, "ann", l_many);
        QVERIFY(Answer(m_token, "ann", {{"f", "again.mp3"}}).IsNull());
        QStringList const l_files = Column(lp_tab->searchResults(), 4);
        QCOMPARE(std::size_t(l_files.size()), l_max);
        QVERIFY(l_files.contains("first.mp3") && !l_files.contains("last.mp3") && !l_files.contains("beyond.mp3"));
        QCOMPARE(Count("search_result"), l_max);
    }

    // Folders and files are tested apart, whether the filter came before the
    // answer or after it; mfif hides a folder and then its user.
    void FilterWalksTheTree()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        QTreeWidget* lp_tree = lp_tab->searchResults();
        lp_tab->filterEdit()->setText(QStringLiteral("ac"));
        Answer(m_token, "ann", {{"a\\b", "c.mp3"}, {"a\\b", "acid.mp3"}});
        QCOMPARE(Column(lp_tree, 4), QStringList({"acid.mp3"}));
        lp_tab->filterEdit()->setText(QStringLiteral("a"));
        lp_tab->filterEdit()->setText(QStringLiteral("ac"));
        QCOMPARE(Column(lp_tree, 4), QStringList({"acid.mp3"}));

        lp_tab->filterEdit()->setText(QStringLiteral("mfif:3"));
        Answer(m_token, "bob", {{"f", "1.mp3"}, {"g", "2.mp3"}, {"g", "3.mp3"}, {"g", "4.mp3"}});
        QCOMPARE(Column(lp_tree, 0), QStringList({"bob"}));
        QCOMPARE(Column(lp_tree, 3), QStringList({"g"}));
        lp_tab->filterEdit()->setText(QStringLiteral("mfif:3 -4"));
        QCOMPARE(Column(lp_tree, 0), QStringList());
        lp_tab->filterEdit()->clear();
        QCOMPARE(Column(lp_tree, 4).size(), 6);
    }

    void SavedAndDefaultFilters()
    {
        SearchResultsForm* lp_a = Search(QStringLiteral("a"));
        SearchResultsForm* lp_b = Search(QStringLiteral("b"));
        lp_a->filterEdit()->setText(QStringLiteral("  Foo   Bar "));
        ClickSave(lp_a);
        QCOMPARE(SavedFilters(lp_b), QStringList({"foo bar"}));
        QCOMPARE(SaveText(lp_a), QStringLiteral("Remove Filter"));
        lp_b->filterEdit()->setText(QStringLiteral("FOO bar"));
        QCOMPARE(SaveText(lp_b), QStringLiteral("Remove Filter"));
        ClickSave(lp_b);
        QCOMPARE(SavedFilters(lp_a), QStringList());
        QCOMPARE(SaveText(lp_a), QStringLiteral("Save Filter"));
        lp_a->filterEdit()->setText(QStringLiteral("mp3"));
        ClickSave(lp_a);
        Child<QComboBox>(lp_b, "savedFiltersBox")->setCurrentIndex(1);
        QCOMPARE(lp_b->filterEdit()->text(), QStringLiteral("mp3"));
        QCOMPARE(Child<QComboBox>(lp_b, "savedFiltersBox")->currentIndex(), 0);

        // The default filter: not without a text; new tabs start with it.
        QCheckBox* lp_default = Child<QCheckBox>(lp_a, "defaultFilterBox");
        lp_a->filterEdit()->clear();
        lp_default->click();
        QVERIFY(!lp_default->isChecked() && !IsSettingSet("default_search_filter"));
        lp_a->filterEdit()->setText(QStringLiteral("flac"));
        lp_default->click();
        SearchResultsForm* lp_next = Search(QStringLiteral("c"));
        QCOMPARE(lp_next->filterEdit()->text(), QStringLiteral("flac"));
        QVERIFY(Child<QCheckBox>(lp_next, "defaultFilterBox")->isChecked());
        lp_default->click();
        QVERIFY(!IsSettingSet("default_search_filter"));
        QVERIFY(Search(QStringLiteral("d"))->filterEdit()->text().isEmpty());
    }

    // Folder and user rows download what the search returned for them,
    // hidden rows too, in folder and name order, without excluded
    // extensions; a file row downloads its file whatever its extension.
    void DoubleClickDownloads()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"));
        Answer(m_token, "ann", {{"Music\\Alb", "b.mp3", 10}, {"Music\\Alb", "a.ini", 20}, {"Music\\Alb", "A.mp3", 30},
                                {"Other", "c.mp3", 5000000000LL}});
        lp_tab->filterEdit()->setText(QStringLiteral("-b.mp3"));
        QTreeWidgetItem* lp_user = lp_tab->searchResults()->topLevelItem(0);
        QTreeWidgetItem* lp_folder = lp_user->child(0);
        lp_tab->OnResultDoubleClicked(lp_folder, 3);
        QVERIFY(Downloads().isEmpty() && lp_tab->searchResults()->expandsOnDoubleClick());

        SetSwitch("download_folders_on_double_click", true);
        QVERIFY(!lp_tab->searchResults()->expandsOnDoubleClick());
        lp_tab->OnResultDoubleClicked(lp_folder, 3);
        lp_tab->OnResultDoubleClicked(lp_folder->child(1), 4);
        lp_tab->OnResultDoubleClicked(lp_user, 0);
        QCOMPARE(Downloads(), QStringList({"ann|Music\\Alb|A.mp3|30||song", "ann|Music\\Alb|b.mp3|10||song",
                                           "ann|Music\\Alb|a.ini|20|single|song", "ann|Other|c.mp3|5000000000||song"}));
        for (QTreeWidgetItem* lp_file : {lp_folder->child(0), lp_folder->child(1), lp_user->child(1)->child(0)})
            QVERIFY(!lp_file->icon(4).isNull());
    }

    void MenuEntriesAndDownloads()
    {
        Search(QStringLiteral("other"));
        Answer(m_token, "ann", {{"Shared", "x.mp3"}});
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"));
        Answer(m_token, "ann", {{"Shared", "x.mp3"}});
        Answer(m_token, "bob", {{"Shared", "c.ini"}, {"Shared", "b.mp3"}, {"Shared", "a.mp3"}});
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QTreeWidgetItem* lp_bobFolder = lp_tree->topLevelItem(1)->child(0);
        auto const l_menu = [](QTreeWidgetItem* ip_row) {
            QMenu l_menu;
            SearchResultMenuOptions l_options(&l_menu, ip_row);
            QStringList l_texts({l_options.User() + '|' + l_options.Folder() + '|' + l_options.SearchText()});
            for (QAction* lp_action : l_menu.actions())
                l_texts << lp_action->text();
            return l_texts;
        };
        QCOMPARE(l_menu(lp_tree->topLevelItem(1)), QStringList({"||"}));
        QCOMPARE(l_menu(lp_bobFolder), QStringList({"bob|Shared|song", "Download Folder(s)", "Browse Folder"}));
        QCOMPARE(l_menu(lp_bobFolder->child(0)),
                 QStringList({"bob|Shared|song", "Download File(s)", "Download Folder(s)", "Browse Folder"}));

        QMenu l_menuOfTheTest;
        lp_bobFolder->child(0)->setSelected(true);
        SearchResultMenuOptions(&l_menuOfTheTest, lp_bobFolder->child(0)).OnDownloadFile();
        lp_bobFolder->child(1)->setSelected(true);
        lp_bobFolder->child(2)->setSelected(true);
        SearchResultMenuOptions(&l_menuOfTheTest, lp_bobFolder->child(1)).OnDownloadFile();
        lp_tree->topLevelItem(0)->child(0)->child(0)->setSelected(true);
        SearchResultMenuOptions(&l_menuOfTheTest, lp_bobFolder->child(1)).OnDownloadFolder();
        QCOMPARE(Downloads(), QStringList({"bob|Shared|c.ini|1000|single|song", "bob|Shared|b.mp3|1000||song",
                                           "bob|Shared|a.mp3|1000||song", "ann|Shared|x.mp3|1000||song"}));
    }

    // Saved types come back; rows, tabs and their bindings never do.
    void SaveAndLoadKeepTheSavedTypes()
    {
        DataSaver l_saver;
        mp_page->Init(); // registers the saved types with the saver
        SearchResultsForm* lp_tab = Search(QStringLiteral("kept"));
        lp_tab->filterEdit()->setText(QStringLiteral("mp3"));
        ClickSave(lp_tab);
        mp_page->RecordSearch(QStringLiteral("kept"));
        QString const l_base = QDir::homePath() + QStringLiteral("/.QuillmarTest");
        QVERIFY(l_saver.Save(l_base));
        StopPage();
        StartPage();
        l_saver.Load(l_base);
        for (char const* lp_type : {"saved_filter", "search_record", "search_time"})
            QCOMPARE(Count(lp_type), std::size_t(1));
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_result_node"})
            QCOMPARE(Count(lp_type), std::size_t(0));

        // A tab keyed by an address that is not this run's (made before the
        // load) must not survive it.
        Item const l_bogus = d["search_results_widget"]->GetItem(Value("12345"));
        d["search_request"]->GetItem(Value(7)) += l_bogus;
        mp_page->DataLoaded();
        QVERIFY(l_bogus.IsNull());
    }

    void ClosingATabLeavesNothing()
    {
        Search(QStringLiteral("x"));
        Answer(m_token, "ann", {{"f", "1.mp3"}, {"g", "2.mp3"}});
        mp_page->OnTabCloseRequested(0);
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_results_folder_node",
                                    "search_result_node", "search_results", "search_result", "search_request"})
            QCOMPARE(Count(lp_type), std::size_t(0));
    }
};

QTEST_MAIN(ResultsTabTest)
#include "ResultsTabTest.moc"
