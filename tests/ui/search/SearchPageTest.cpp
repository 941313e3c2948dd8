#include "SearchFixture.h"
#include "../../peers/PeerTestSupport.h"
#include "../../server/ServerTestHelpers.h"
#include "../StandinLogIn.h"
#include "../../e2e/LineProcess.h"

#include "server/WishListSearcher.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/FreePages.h"
#include "store/SlicedWork.h"
#include "store/StoreCollector.h"
#include "store/TimerManager.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"
#include "ui/search/ReceivedSearchesForm.h"
#include "ui/search/ResultsTakeDown.h"
#include "ui/search/SearchResultMenuOptions.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>

// A filter against a text and its expected result. A size of -1 tests the
// text alone (a folder name); otherwise a file with that size and, when
// given, that bitrate (-1: none) and mode.
struct MatchCase
{
    char const* mp_filter;
    char const* mp_text;
    int m_result;
    qint64 m_size = -1;
    int m_bitrate = -1;
    char const* mp_mode = "";
};
Q_DECLARE_METATYPE(MatchCase)

class SearchPageTest : public QObject, public SearchFixture
{
    Q_OBJECT

private:
    std::unique_ptr<WishListSearcher> mp_searcher;
    RawClient m_peer;
    std::unique_ptr<QTcpSocket> mp_peerLink;

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
    Ui_SearchForm* Ui() const { return mp_page->Form(); }
    QLineEdit* Box() const { return Ui()->searchEdit->lineEdit(); }
    QStringList History() const { return Entries(Ui()->searchEdit); }

    // The widget's own text of the action, or "<hidden>".
    static QString ActionText(QWidget* ip_widget, char const* ip_action)
    {
        Item const l_widget = d["toolbar_action_widget"]->HasItem(Value(ip_widget));
        Item const l_id = d["toolbar_action_id"]->HasItem(Value(ip_action));
        if (d.GetItem(l_widget, l_id, "widget_action_hidden").IsValid())
            return QStringLiteral("<hidden>");
        return d.GetItem(l_widget, l_id, "widget_action_text").AsString();
    }

    static bool IsStopped(unsigned int i_token)
    {
        return d["search_request"]->HasItem(Value(i_token)).IsConnected("search_stopped");
    }

    QTreeWidgetItem* WishRow(char const* ip_text) const
    {
        return Ui()->wishList->findItems(ip_text, Qt::MatchExactly, 1).value(0);
    }

    // The next search the server relays to the peer: its token.
    quint32 RelayedSearch(QByteArray const& i_text)
    {
        QByteArray l_payload;
        if (!m_peer.mp_collector->Take(ServerCode::FILE_SEARCH, &l_payload))
            return 0;
        quint32 const l_token = qFromLittleEndian<quint32>(l_payload.constData() + 6);
        return l_payload == QByteArray::fromHex("02000000") + "me" + Le32(l_token) + Le32(quint32(i_text.size())) + i_text
                   ? l_token
                   : 0;
    }

    // The peer's answer: one file, with a free slot and 100 KiB/s; then a
    // request that the messenger answers with a signal, so that the answer
    // has been handled once it comes.
    void PeerAnswer(quint32 i_token, QByteArray const& i_path)
    {
        QSignalSpy l_handled(mp_messenger.get(), &PeerMessenger::UserInfoRequested);
        mp_peerLink->write(PeerWire::BuildFrame(AnswerPayload(i_token, i_path), false) +
                           PeerWire::BuildFrame(Le32(15), false));
        QVERIFY(l_handled.wait(WAIT_MS));
    }
    static QByteArray AnswerPayload(quint32 i_token, QByteArray const& i_path, int i_files = 1)
    {
        QByteArray l_record = Le32(4) + "peer" + Le32(i_token) + Le32(quint32(i_files));
        for (int l_file = 0; l_file < i_files; ++l_file) {
            QByteArray const l_path = i_files > 1 ? i_path + QByteArray::number(l_file) : i_path;
            l_record += '\x01' + Le32(l_path.size()) + l_path + QByteArray::fromHex("00093d0000000000" "03000000") +
                        "mp3" + QByteArray::fromHex("00000000");
        }
        return Le32(9) + Zlib(l_record + QByteArray::fromHex("01" "00900100" "00000000" "00000000"));
    }

    bool LogIn(StandinProcess& io_standin) { return LogInToStandin(io_standin, *mp_server, *mp_messenger, "me"); }

    quint32 WishSearch()
    {
        mp_searcher->EveryFiveMinutes();
        return RelayedSearch("jazz");
    }

    SearchResultsForm* WishTab() const { return qobject_cast<SearchResultsForm*>(Ui()->wishListTabControl->widget(0)); }

    void Type(QString const& i_text, QString const& i_target)
    {
        Ui()->searchTargetBox->setCurrentText(i_target);
        Box()->setText(i_text);
        QTest::keyClick(Box(), Qt::Key_Return);
    }

private slots:
    void init()
    {
        StartPage();
        mp_page->show();
    }
    void cleanup()
    {
        mp_peerLink.reset();
        mp_searcher.reset();
        StopPage();
    }

    // The typed text and target become the server request of the target;
    // joined rooms come and go as targets, told apart by exact name.
    void TargetsSendTheirRequests()
    {
        // Nothing is sent while not logged in, and the tab says so.
        Type(QStringLiteral("jazz"), QStringLiteral("All"));
        auto* lp_note = mp_page->GetCurrentSearchResultsForm()->findChild<QLabel*>(QStringLiteral("searchNote"));
        QVERIFY(lp_note && lp_note->text().startsWith(QStringLiteral("Not connected to the server")));
        mp_page->OnTabCloseRequested(0);

        FakeServer l_fake;
        PointAt(l_fake.Port());
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        QVERIFY(l_fake.AnswerLogin() && (l_connected.count() || l_connected.wait(WAIT_MS)));
        for (char const* lp_room : {"my room", "My Room"})
            SetFlag(d["room"]->GetItem(Value(lp_room)), "in_room", true);
        SetFlag(d["room"]->GetItem(Value("My Room")), "in_room", false);
        QCOMPARE(Entries(Ui()->searchTargetBox), QStringList({"All", "User List", "Room: my room"}));

        QByteArray l_payload;
        Type(QStringLiteral("  R&B "), QStringLiteral("Room: my room"));
        QVERIFY(l_fake.mp_collector->Take(ServerCode::ROOM_SEARCH, &l_payload));
        QCOMPARE(l_payload, QByteArray::fromHex("07000000") + "my room" +
                                Le32(mp_page->GetCurrentSearchResultsForm()->Token()) + Le32(3) + "R&B");
        Type(QStringLiteral("blues"), QStringLiteral("All"));
        QVERIFY(l_fake.mp_collector->Take(ServerCode::SEARCH_CORRELATIONS, &l_payload));
        Type(QStringLiteral("soul"), QStringLiteral("User List"));
        QCOMPARE(Ui()->searchTabControl->count(), 3);
        // A title shows an ampersand as it is, not as a shortcut mark.
        QCOMPARE(Ui()->searchTabControl->tabText(0), QStringLiteral("R&&B"));
        QVERIFY(Box()->text().isEmpty());
        QCOMPARE(History(), QStringList({"soul", "blues", "R&B", "jazz"}));
        QVERIFY(!mp_page->GetCurrentSearchResultsForm()->findChild<QLabel*>(QStringLiteral("searchNote")));
        // A long search shows its start; the whole is in the tool tip.
        Type(QStringLiteral("a").repeated(25) + QStringLiteral(" b").repeated(300), QStringLiteral("All"));
        QCOMPARE(Ui()->searchTabControl->tabText(3), QStringLiteral("a").repeated(20) + QStringLiteral("\u2026"));
        QVERIFY(Ui()->searchTabControl->tabToolTip(3).contains(QStringLiteral(" b").repeated(300)));
    }

    void HistoryKeepsTwentyExactTexts()
    {
        for (int l_index = 1; l_index <= 21; ++l_index)
            mp_page->RecordSearch(QStringLiteral("text %1").arg(l_index));
        QCOMPARE(Count("search_record"), std::size_t(20));
        QCOMPARE(History().size(), 20);
        QCOMPARE(History().first() + ", " + History().last(), QStringLiteral("text 21, text 2"));
        mp_page->RecordSearch(QStringLiteral("text 5"));
        mp_page->RecordSearch(QStringLiteral("Text 5"));
        mp_page->RecordSearch(QStringLiteral("   "));
        QCOMPARE(History().mid(0, 2), QStringList({"Text 5", "text 5"}));
        QCOMPARE(History().count(QStringLiteral("text 5")), 1);
        d["search_record"]->HasItem(Value("text 5")).Remove();
        QCOMPARE(History().mid(0, 2), QStringList({"Text 5", "text 21"}));
    }

    void ToolBarCommands()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("jazz"));
        Answer(m_token, "ann", {{"f", "1.mp3"}});
        QTreeWidgetItem* lp_user = lp_tab->searchResults()->topLevelItem(0);
        QVERIFY(lp_user->isExpanded() && lp_user->child(0)->isExpanded());
        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("expand_folders"));
        QVERIFY(lp_user->isExpanded() && !lp_user->child(0)->isExpanded());
        QCOMPARE(ActionText(lp_tab, "expand_folders"), QStringLiteral("Expand Folders [off]"));
        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("expand_users"));
        QVERIFY(!lp_user->isExpanded());

        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("stop_search"));
        QVERIFY(IsStopped(lp_tab->Token()));
        QCOMPARE(ActionText(lp_tab, "stop_search"), QStringLiteral("Search Stopped"));
        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("add_remove_wishlist"));
        QVERIFY(d["wish_list_item"]->HasItem(Value("jazz")).IsConnected("wish_list_item_enabled") && WishRow("jazz"));
        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("reenter_search"));
        QCOMPARE(Box()->text(), QStringLiteral("jazz"));
        QTRY_VERIFY(Ui()->searchEdit->hasFocus());

        // A wish-list tab is fed by every search of its text; stopping it
        // stops the first only. A later ordinary tab inherits nothing.
        // Its tab opens beside the wish list without widening the window.
        mp_page->resize(960, 500);
        unsigned int const l_first = mp_server->FileSearch(QStringLiteral("jazz"), QStringLiteral("jazz"));
        unsigned int const l_second = mp_server->FileSearch(QStringLiteral("jazz"), QStringLiteral("jazz"));
        Answer(l_first, "ann", {{"f", "1.mp3"}});
        Answer(l_second, "bob", {{"f", "2.mp3"}});
        auto* lp_wishTab = qobject_cast<SearchResultsForm*>(Ui()->wishListTabControl->widget(0));
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        Ui()->tabWidget->setCurrentIndex(1);
        QVERIFY2(mp_page->minimumSizeHint().width() <= 960, qPrintable(QString::number(mp_page->minimumSizeHint().width())));
        QCOMPARE(Column(lp_wishTab->searchResults(), 0), QStringList({"ann", "bob"}));
        QCOMPARE(ActionText(lp_wishTab, "stop_search"), QStringLiteral("<hidden>"));
        QCOMPARE(ActionText(lp_wishTab, "add_remove_wishlist"), QStringLiteral("Remove from Wish List"));
        mp_page->OnActionBarTriggered(lp_wishTab, QStringLiteral("stop_search"));
        QVERIFY(IsStopped(l_first) && !IsStopped(l_second));
        mp_page->OnActionBarTriggered(lp_wishTab, QStringLiteral("add_remove_wishlist"));
        QVERIFY(!WishRow("jazz") && Ui()->wishListTabControl->count() == 1);
        SearchResultsForm* lp_later = Search(QStringLiteral("soul"));
        QCOMPARE(ActionText(lp_later, "stop_search"), QStringLiteral("Stop Search"));
        QCOMPARE(ActionText(lp_later, "add_remove_wishlist"), QStringLiteral("Add to Wishlist"));
    }

    // Editing a row touches that row's item alone: renames keep the enabled
    // state, texts are trimmed, blanks and duplicates delete the row.
    void WishListRows()
    {
        for (char const* lp_text : {"alpha", "beta"}) {
            Box()->setText(lp_text);
            mp_page->OnAddToWishListClicked();
        }
        Item const l_beta = d["wish_list_item"]->HasItem(Value("beta"));
        SetFlag(l_beta, "discard_repeated_results", true);
        QTreeWidgetItem* lp_alpha = WishRow("alpha");
        QCOMPARE(lp_alpha->text(0), QStringLiteral("Y"));
        qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(lp_alpha, 0))->setChecked(false);
        QVERIFY(!d["wish_list_item"]->HasItem(Value("alpha")).IsConnected("wish_list_item_enabled"));
        QCOMPARE(lp_alpha->text(0), QString());
        mp_page->OnActionBarTriggered(Ui()->wishList, QStringLiteral("enable_all_wish_list_items"));
        QCOMPARE(lp_alpha->text(0), QStringLiteral("Y"));
        mp_page->OnActionBarTriggered(Ui()->wishList, QStringLiteral("disable_all_wish_list_items"));
        QVERIFY(!l_beta.IsConnected("wish_list_item_enabled"));

        lp_alpha->setText(1, QStringLiteral("  gamma "));
        Item const l_gamma = d["wish_list_item"]->HasItem(Value("gamma"));
        QVERIFY(l_gamma.IsValid() && !l_gamma.IsConnected("wish_list_item_enabled"));
        QCOMPARE(lp_alpha->text(1), QStringLiteral("gamma"));
        QVERIFY(d["wish_list_item"]->HasItem(Value("alpha")).IsNull());
        lp_alpha->setText(1, QStringLiteral("beta"));
        QTRY_COMPARE(Ui()->wishList->topLevelItemCount(), 1);
        QVERIFY(l_beta.IsConnected("discard_repeated_results"));
        QCOMPARE(Count("wish_list_item"), std::size_t(1));
        WishRow("beta")->setText(1, QStringLiteral(" "));
        QTRY_COMPARE(Ui()->wishList->topLevelItemCount(), 0);
        QCOMPARE(Count("wish_list_node") + Count("wish_list_node_checkbox") + Count("wish_list_item"), std::size_t(0));
    }

    void ReceivedSearches()
    {
        ReceivedSearchesForm* lp_list = qobject_cast<ReceivedSearchesForm*>(Ui()->tab);
        QTreeWidget* lp_tree = lp_list->findChild<QTreeWidget*>(QStringLiteral("searchList"));
        for (int l_index = 1; l_index <= 501; ++l_index)
            emit mp_shares->SearchProcessed(QStringLiteral("s%1").arg(l_index), l_index == 501);
        QCOMPARE(lp_tree->topLevelItemCount(), 500);
        QCOMPARE(QStringList({lp_tree->topLevelItem(0)->text(1), lp_tree->topLevelItem(1)->text(1)}),
                 QStringList({"Match", ""}));
        QCOMPARE(lp_tree->topLevelItem(499)->text(0), QStringLiteral("s2"));

        lp_list->OnActionTriggered(lp_list, QStringLiteral("pause_unpause"));
        QCOMPARE(ActionText(lp_list, "pause_unpause"), QStringLiteral("Resume"));
        emit mp_shares->SearchProcessed(QStringLiteral("dropped"), true);
        lp_list->OnActionTriggered(lp_list, QStringLiteral("pause_unpause"));
        QCOMPARE(ActionText(lp_list, "pause_unpause"), QStringLiteral("Pause"));
        QCOMPARE(lp_tree->topLevelItem(0)->text(0), QStringLiteral("s501"));
    }

    void CellsOfTheRows()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"));
        Answer(m_token, "ann", {{"Music\\Artist\\Album\\", "big.iso", 5000000000LL, 320, "cbr"}}, true, 123456);
        Answer(m_token, "bob", {{"x", "a.mp3"}}, false, 0, 12);
        Answer(m_token, "cid", {{"x", "a.mp3"}}, false, 1, 0);
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QTreeWidgetItem* lp_ann = lp_tree->topLevelItem(0);
        QCOMPARE(Cells(lp_ann), QStringList({"ann", "Y", "120.6", "", "", "", ""}));
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

    // Old style: file names ignore case and keep ties, sizes and bitrates put the biggest first.
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
        int l_sorts = 0;
        connect(lp_tab->searchResults()->model(), &QAbstractItemModel::layoutChanged, this, [&]() { ++l_sorts; });
        for (char const* lp_user : {"a", "b", "c", "d"})
            Answer(m_token, lp_user, {{"f", "x.mp3"}});
        QObject* lp_closed = Search(QStringLiteral("y"));
        Answer(m_token, "a", {{"f", "x.mp3"}});
        mp_page->OnTabCloseRequested(1);
        QVERIFY(!mp_invoker->IsPending(lp_closed, QString::fromLatin1(SLOT(Sort()))));
        // Deferred, not at once nor at the loop's next turn: the one call
        // waiting is the tab's, due a second after it was asked for.
        QVERIFY(LoopComesRound());
        QCOMPARE(l_sorts, 0);
        QVERIFY(mp_invoker->IsPending(lp_tab, QString::fromLatin1(SLOT(Sort()))));
        QList<QTimer*> l_waiting = mp_invoker->findChildren<QTimer*>();
        l_waiting.erase(std::remove_if(l_waiting.begin(), l_waiting.end(), [](QTimer* ip_timer) { return !ip_timer->isActive(); }),
                        l_waiting.end());
        QCOMPARE(l_waiting.size(), 1);
        QCOMPARE(l_waiting.first()->interval(), 1000);
        QTRY_VERIFY(l_sorts > 0);
        QVERIFY(!mp_invoker->IsPending(lp_tab, QString::fromLatin1(SLOT(Sort()))));
        // Nothing more once the event loop has come round.
        QVERIFY(LoopComesRound());
        QCOMPARE(l_sorts, 1);
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
        QTRY_COMPARE_WITH_TIMEOUT(lp_tab->RowsToAdd(), std::size_t(0), WAIT_MS);
        QStringList const l_files = Column(lp_tab->searchResults(), 4);
        QCOMPARE(std::size_t(l_files.size()), l_max);
        QVERIFY(l_files.contains("first.mp3") && !l_files.contains("last.mp3") && !l_files.contains("beyond.mp3"));
        QCOMPARE(Count("search_result"), l_max);
    }

    // One peer's answers of one file each, through the messenger: the
    // repeat check compares each answer with a look-up's worth of earlier
    // ones (a red-black tree of 400 is at most 17 deep: a find and an
    // insertion cost 36 comparisons at most, where comparing with every
    // earlier one would cost 80,000 at least) and the filter tests each row
    // once (a folder when the next row goes elsewhere), however many came
    // before; an answer sent again is still dropped.
    void AnswersCostTheirOwnRows_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("rowsFiltered");
        QTest::addColumn<int>("shown");
        QTest::newRow("one folder") << "f\\%1.mp3" << "" << 401 << 400;
        QTest::newRow("a folder each") << "f%1\\x.mp3" << "" << 800 << 400;
        QTest::newRow("one folder, files with a 7") << "f\\%1.mp3" << "7" << 401 << 76;
        QTest::newRow("folders with a 7, two files") << "f%1\\x.mp3" << "7 mfif:2" << 800 << 0;
    }
    void AnswersCostTheirOwnRows()
    {
        QFETCH(QString, path);
        QFETCH(QString, filter);
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        lp_tab->filterEdit()->setText(filter);
        quint64 const l_filteredBefore = lp_tab->RowsFiltered();
        for (int l_answer = 0; l_answer < 400; ++l_answer)
            QVERIFY(mp_messenger->DispatchMessage("peer", AnswerPayload(m_token, path.arg(l_answer).toUtf8())));
        QVERIFY(mp_messenger->DispatchMessage("peer", AnswerPayload(m_token, path.arg(0).toUtf8())));
        QTRY_VERIFY_WITH_TIMEOUT(mp_messenger->SearchAnswersWaiting() == 0 && lp_tab->RowsToAdd() == 0, WAIT_MS);
        QCOMPARE(Count("search_result"), std::size_t(400));
        quint64 const l_compared = mp_messenger->RepeatCheckSteps();
        QVERIFY2(l_compared >= 400 && l_compared <= 401 * 36, qPrintable(QString::number(l_compared)));
        QTEST(int(lp_tab->RowsFiltered() - l_filteredBefore), "rowsFiltered");
        QTEST(int(Column(lp_tab->searchResults(), 4).size()), "shown");
    }

    // A large answer is read, stored and shown in slices (a step a slice
    // here), and a small one that came after it waits its turn; of one
    // user's answers only what a tab can show is kept.
    void AnswersComeInSlicesInOrder()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        PeerMessenger::Limits l_limits;
        l_limits.m_maxSearchFilesPerUser = 300;
        mp_messenger->SetLimits(l_limits);
        std::size_t l_rowsToCome = 0;
        connect(mp_messenger.get(), &PeerMessenger::SearchResults, this,
                [&]() { l_rowsToCome = std::max(l_rowsToCome, lp_tab->RowsToAdd()); });
        SlicedWork::SetSliceMs(0);
        QVERIFY(mp_messenger->DispatchMessage("peer", AnswerPayload(m_token, "f\\", 400)));
        QVERIFY(mp_messenger->DispatchMessage("other", AnswerPayload(m_token, "g\\x.mp3")));
        QCOMPARE(mp_messenger->SearchAnswersWaiting(), std::size_t(2));
        QTRY_VERIFY_WITH_TIMEOUT(mp_messenger->SearchAnswersWaiting() == 0 && lp_tab->RowsToAdd() == 0, WAIT_MS);
        SlicedWork::SetSliceMs(10);
        QCOMPARE(l_rowsToCome, std::size_t(299));
        QCOMPARE(Column(lp_tab->searchResults(), 0), QStringList({"peer", "other"}));
        QCOMPARE(Count("search_result"), std::size_t(301));
        QCOMPARE(Column(lp_tab->searchResults(), 4).size(), 301);
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
        emit lp_tab->searchResults()->itemDoubleClicked(lp_folder, 3);
        QVERIFY(Downloads().isEmpty() && lp_tab->searchResults()->expandsOnDoubleClick());

        SetSwitch("download_folders_on_double_click", true);
        QVERIFY(!lp_tab->searchResults()->expandsOnDoubleClick());
        emit lp_tab->searchResults()->itemDoubleClicked(lp_folder, 3);
        emit lp_tab->searchResults()->itemDoubleClicked(lp_folder->child(1), 4);
        emit lp_tab->searchResults()->itemDoubleClicked(lp_user, 0);
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

        // The row's user menu follows its own entries.
        FakeUserMenu();
        lp_tree->expandAll();
        auto const l_shown = [lp_tab, lp_tree](QTreeWidgetItem* ip_row) {
            lp_tree->scrollToItem(ip_row);
            QPoint const l_at = lp_tree->visualItemRect(ip_row).center();
            return ShownMenu([lp_tab, l_at] { lp_tab->OnContextMenuRequested(l_at); });
        };
        QCOMPARE(l_shown(lp_tree->topLevelItem(1)), QStringList({"user menu of bob"}));
        QCOMPARE(l_shown(lp_bobFolder->child(0)),
                 QStringList({"Download File(s)", "Download Folder(s)", "Browse Folder", "user menu of bob"}));
        SetUserPageHooks(UserPageHooks());

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

    // "Download Folder(s)" over every file row of a large answer gathers
    // its results in work that grows with the rows (counted where sets
    // grow): each folder of the answer is looked up once, not once a row.
    // The files' extension is excluded, so that only the gathering counts.
    void DownloadFolderOfEveryFileRow()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("song"));
        std::vector<std::string> l_names;
        std::vector<std::string> l_folders;
        for (int l_k = 0; l_k < 300; ++l_k) {
            l_names.push_back(std::to_string(l_k) + ".ini");
            l_folders.push_back("Music\\" + std::to_string(l_k));
        }
        std::vector<ResultFile> l_files;
        for (int l_k = 0; l_k < 300; ++l_k)
            l_files.push_back({l_folders[l_k % 100].c_str(), l_names[l_k].c_str()});
        Answer(m_token, "ann", l_files);
        QTreeWidget* lp_tree = lp_tab->searchResults();
        QVERIFY(WaitUntil([&]() { return Column(lp_tree, 4).size() == 300; }));
        QList<QTreeWidgetItem*> l_fileRows;
        for (QTreeWidgetItemIterator l_row(lp_tree); *l_row; ++l_row)
            if ((*l_row)->childCount() == 0)
                l_fileRows << *l_row;
        for (QTreeWidgetItem* lp_row : l_fileRows)
            lp_row->setSelected(true);
        QCOMPARE(l_fileRows.size(), 300);
        std::uint64_t const l_before = ItemSet::GrowthWork();
        QMenu l_menu;
        SearchResultMenuOptions(&l_menu, l_fileRows[0]).OnDownloadFolder();
        std::uint64_t const l_work = ItemSet::GrowthWork() - l_before;
        QVERIFY2(l_work < 300 * 24, qPrintable(QString::number(l_work)));
        QVERIFY(Downloads().isEmpty());
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

    // One-file answers from many users, each file in a folder of its own:
    // past the first rows, rows go into the tree together (one insertion a
    // parent) as the tree grows by a quarter, and the rest a moment later,
    // hidden and opened as they would have been one by one.
    void RowsOfManyUsersGoInTogether()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        lp_tab->filterEdit()->setText("-7");
        QTreeWidget* lp_tree = lp_tab->searchResults();
        int l_insertions = 0;
        connect(lp_tree->model(), &QAbstractItemModel::rowsInserted, this, [&]() { ++l_insertions; });
        for (int l_row = 0; l_row < 3000; ++l_row) {
            QByteArray const l_user = "user" + QByteArray::number(l_row % 30);
            QByteArray const l_folder = "f" + QByteArray::number(l_row);
            Answer(m_token, l_user.constData(), {{l_folder.constData(), "x.mp3"}});
        }
        QTRY_COMPARE_WITH_TIMEOUT(lp_tab->RowsToAdd(), std::size_t(0), WAIT_MS);
        // A row at a time up to 1,000 rows, then five batches of at most
        // 30 users' rows, then the last: one at a time made 3,000.
        QVERIFY2(l_insertions <= 1000 + 6 * 30, qPrintable(QString::number(l_insertions)));
        QCOMPARE(Column(lp_tree, 3).size(), 2187); // the folders 0 to 2999 without a 7
        QCOMPARE(Column(lp_tree, 0).size(), 27); // users 7, 17 and 27 have only folders with a 7
        for (int l_user = 0; l_user < lp_tree->topLevelItemCount(); ++l_user)
            QVERIFY(lp_tree->topLevelItem(l_user)->isExpanded());
    }

    // With "Expand Folders" on, the folders of a user the tab did not open
    // stay closed until he is opened, then open with him; those that come
    // while he is open, open as they come.
    void FoldersOpenWithTheirUser()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        mp_page->OnActionBarTriggered(lp_tab, QStringLiteral("expand_users"));
        Answer(m_token, "ann", {{"f", "1.mp3"}, {"f", "2.mp3"}, {"g", "3.mp3"}});
        QTreeWidgetItem* const lp_ann = lp_tab->searchResults()->topLevelItem(0);
        QCOMPARE(lp_ann->childCount(), 2);
        QVERIFY(!lp_ann->isExpanded() && !lp_ann->child(0)->isExpanded() && !lp_ann->child(1)->isExpanded());
        QCOMPARE(lp_tab->FoldersOpened(), quint64(0));
        lp_ann->setExpanded(true);
        QVERIFY(lp_ann->child(0)->isExpanded() && lp_ann->child(1)->isExpanded());
        QCOMPARE(lp_tab->FoldersOpened(), quint64(2));
        Answer(m_token, "ann", {{"h", "4.mp3"}});
        QVERIFY(lp_ann->child(2)->isExpanded());
        QCOMPARE(lp_tab->FoldersOpened(), quint64(3));
    }

    // Past the rows sorted at once, a sort moves only the groups that got
    // rows since the last, and of those only the ones whose rows can
    // differ under the column: by "Free", the users and each folder's
    // files, not a user's folders; a step looks at a bounded number of
    // groups, those it passes over (a folder of one file) included.
    void SortMovesOnlyGroupsThatGotRows()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        std::vector<QByteArray> l_folders, l_names;
        for (int l_file = 0; l_file < 5001; ++l_file) {
            l_folders.push_back("f" + QByteArray::number(l_file / 3));
            l_names.push_back(QByteArray::number(l_file) + ".mp3");
        }
        std::vector<ResultFile> l_files;
        for (std::size_t l_file = 0; l_file < l_names.size(); ++l_file)
            l_files.push_back({l_folders[l_file].constData(), l_names[l_file].constData()});
        Answer(m_token, "ann", l_files);
        QTRY_COMPARE_WITH_TIMEOUT(lp_tab->RowsToAdd(), std::size_t(0), WAIT_MS);
        // The tab sorts its rows itself a second after the first of them,
        // which on a busy machine can be while they still come in. That
        // sort is let end, the tree sorted the other way round, and then
        // the rounds below begin with a whole sort by the column as it was.
        QString const l_sortSlot = QString::fromLatin1(SLOT(Sort()));
        QTRY_VERIFY_WITH_TIMEOUT(!delayedInvoker->IsPending(lp_tab, l_sortSlot) && !lp_tab->IsSorting(), WAIT_MS);
        QHeaderView const* lp_header = lp_tab->searchResults()->header();
        int const l_column = lp_header->sortIndicatorSection();
        Qt::SortOrder const l_order = lp_header->sortIndicatorOrder();
        lp_tab->SetSortingParamters(l_column, l_order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
        lp_tab->Sort();
        QTRY_VERIFY_WITH_TIMEOUT(!lp_tab->IsSorting(), WAIT_MS);
        lp_tab->SetSortingParamters(l_column, l_order);
        quint64 l_before = lp_tab->GroupsSorted();
        struct Round
        {
            std::vector<ResultFile> m_files;
            char const* mp_user;
            quint64 m_groups;
        };
        // The whole tree first: the users and 1,667 folders of files.
        std::vector<QByteArray> l_lone;
        for (int l_folder = 0; l_folder < 600; ++l_folder)
            l_lone.push_back("h" + QByteArray::number(l_folder));
        Round l_lones{{}, "cid", 1};
        for (QByteArray const& l_folder : l_lone)
            l_lones.m_files.push_back({l_folder.constData(), "x.mp3"});
        for (Round const& l_round : {Round{{}, nullptr, 1668}, Round{{{"g", "b.mp3"}, {"g", "a.mp3"}}, "bob", 2},
                                     Round{{{"f0", "zz.mp3"}}, "ann", 1}, l_lones}) {
            if (l_round.mp_user)
                Answer(m_token, l_round.mp_user, l_round.m_files);
            QTRY_COMPARE_WITH_TIMEOUT(lp_tab->RowsToAdd(), std::size_t(0), WAIT_MS);
            lp_tab->Sort();
            QTRY_VERIFY_WITH_TIMEOUT(!lp_tab->IsSorting(), WAIT_MS);
            QCOMPARE(lp_tab->GroupsSorted() - l_before, l_round.m_groups);
            l_before = lp_tab->GroupsSorted();
        }
        QVERIFY(lp_tab->MostGroupsExaminedInAStep() <= SearchResultsForm::GROUPS_EXAMINED_AT_ONCE);
        QTreeWidgetItem* const lp_bob = lp_tab->searchResults()->findItems("bob", Qt::MatchExactly).value(0);
        QVERIFY(lp_bob);
        QCOMPARE(Cells(lp_bob->child(0)->child(0)).value(4) + Cells(lp_bob->child(0)->child(1)).value(4),
                 QStringLiteral("a.mp3b.mp3"));
    }

    // A closed tab's rows go after it a few a step, those the filter hid
    // too, and with them everything the tab held.
    void ClosingALargeTabTakesItsRowsDownInSlices()
    {
        SearchResultsForm* lp_tab = Search(QStringLiteral("x"));
        lp_tab->filterEdit()->setText("-7");
        std::vector<QByteArray> l_folders;
        for (int l_folder = 0; l_folder < 300; ++l_folder)
            l_folders.push_back("f" + QByteArray::number(l_folder));
        std::vector<ResultFile> l_files;
        for (QByteArray const& l_folder : l_folders)
            for (char const* lp_name : {"a.mp3", "b.mp3"})
                l_files.push_back({l_folder.constData(), lp_name});
        Answer(m_token, "ann", l_files);
        QTRY_COMPARE_WITH_TIMEOUT(lp_tab->RowsToAdd(), std::size_t(0), WAIT_MS);
        SlicedWork::SetSliceMs(0);
        Data::SetCollectionStepWork(1);
        std::size_t const l_shownBefore = ResultsTakeDown::ShownCountsLetGo();
        Data::MostLinksDroppedInAStep();
        mp_page->OnTabCloseRequested(0);
        QCOMPARE(ResultsTakeDown::Running(), 1);
        QVERIFY(Count("search_result_node") > 0);
        // Nothing walks the heaps while the rows go, which leave them full
        // of holes: a walk asked for meanwhile (as the messenger's, once the
        // digests of the answers are freed) comes after them.
        std::size_t const l_walks = HeapWalksAsked();
        GiveBackFreePages();
        QCOMPARE(HeapWalksAsked(), l_walks);
        // The answer too goes with the collection, not with the close.
        QCOMPARE(Count("search_results"), std::size_t(1));
        QTRY_VERIFY_WITH_TIMEOUT(ResultsTakeDown::Running() == 0 && !StoreCollector::Obj()->IsRunning(), WAIT_MS);
        SlicedWork::SetSliceMs(10);
        Data::SetCollectionStepWork(4096);
        QVERIFY(HeapWalksAsked() > l_walks);
        QVERIFY(ResultsTakeDown::LongestStep() <= ResultsTakeDown::ROWS_PER_STEP);
        // Nor does the answer's removal drop its 600 links to its files in
        // one step: one a step, at a step's work of one.
        QCOMPARE(Data::MostLinksDroppedInAStep(), std::size_t(1));
        // The counts of what each user's and folder's row shows go in the
        // same steps.
        QCOMPARE(ResultsTakeDown::ShownCountsLetGo() - l_shownBefore, std::size_t(301));
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_results_folder_node",
                                    "search_result_node", "search_results", "search_result", "search_request"})
            QCOMPARE(Count(lp_type), std::size_t(0));
    }

    // A closed tab leaves nothing in the store, nor the messenger's digests
    // of its answers (the repeat check's: 567 of 600 answers, 33 repeating
    // one of their user's), which go a few a step from the turn after the
    // close, with no half-minute sweep to forget them.
    void ClosingATabLeavesNothing()
    {
        QSignalBlocker const l_noHalfMinute(TimerManager::Obj());
        Search(QStringLiteral("x"));
        Answer(m_token, "ann", {{"f", "1.mp3"}, {"g", "2.mp3"}});
        for (int l_answer = 0; l_answer < 600; ++l_answer)
            QVERIFY(mp_messenger->DispatchMessage(l_answer % 3 ? "peer" : "other",
                                                  AnswerPayload(m_token, "f\\" + QByteArray::number(l_answer % 500))));
        QTRY_COMPARE_WITH_TIMEOUT(mp_messenger->SearchAnswersWaiting(), std::size_t(0), WAIT_MS);
        QCOMPARE(mp_messenger->SearchDigestsHeld(), std::size_t(567));
        SlicedWork::SetSliceMs(0);
        mp_page->OnTabCloseRequested(0);
        QCOMPARE(mp_messenger->SearchDigestsHeld(), std::size_t(567));
        // The collection that takes the rest runs in slices.
        QTRY_VERIFY_WITH_TIMEOUT(!StoreCollector::Obj()->IsRunning() && mp_messenger->SearchDigestsHeld() == 0,
                                 WAIT_MS);
        SlicedWork::SetSliceMs(10);
        for (char const* lp_type : {"search_results_widget", "search_results_user_node", "search_results_folder_node",
                                    "search_result_node", "search_results", "search_result", "search_request"})
            QCOMPARE(Count(lp_type), std::size_t(0));
    }

    void Matching_data()
    {
        QTest::addColumn<MatchCase>("row");
        auto const l_row = [](char const* ip_name, MatchCase const& i_case) { QTest::newRow(ip_name) << i_case; };
        l_row("empty", {"", "anything", 0});
        l_row("blank runs separate", {"a  b", "xbxa", 0});
        l_row("a word missing", {"a  b", "xa", 1});
        l_row("tab is part of a word", {"a\tb", "a b", 1});
        l_row("substring, any case", {"MP3 rock", "Shamrock song.mp3", 0});
        l_row("lone dash ignored", {"-", "x", 0});
        l_row("dashed keyword is a word", {"--isvbr", "-isvbr live", 2});
        l_row("keywords are case-sensitive", {"Isvbr Mbr:128", "isvbr mbr:128", 0});
        l_row("a folder meets no limit", {"isvbr mfs:5", "x", 0});
        l_row("isvbr on vbr", {"isvbr", "x", 0, 1, 128, "vbr"});
        l_row("both reject all", {"isvbr iscbr", "x", 2, 1, 128, "vbr"});
        l_row("isvbr on cbr", {"minfilesize:0 isvbr", "x", 2, 1, 128, "cbr"});
        l_row("mbr without number", {"mbr:", "x", 0, 1});
        l_row("no bitrate fails a minimum", {"minbitrate:128", "x", 2, 1});
        l_row("bitrate below", {"mbr:128", "x", 2, 1, 127});
        l_row("one byte short", {"mfs:5", "x", 2, 4999999});
        // 10^14 MB is beyond 64 bits in bytes: the limit holds at the top
        // instead of wrapping round.
        l_row("huge size saturates", {"mfs:100000000000000", "x", 2, 9223372036854775806LL});
        l_row("huge negative is no limit", {"mfs:-100000000000000", "x", 0, 0});
    }

    void Matching()
    {
        QFETCH(MatchCase, row);
        Item l_file;
        if (row.m_size >= 0) {
            l_file = d["search_result"]->NewItem();
            SetAttribute(l_file, "file_size", Value(static_cast<long long>(row.m_size)));
            if (row.m_bitrate >= 0)
                SetAttribute(l_file, "bitrate", Value(row.m_bitrate));
            if (*row.mp_mode)
                SetAttribute(l_file, "bitrate_mode", Value(row.mp_mode));
        }
        FilterParser l_filter;
        l_filter.Parse(row.mp_filter);
        QCOMPARE(l_filter.IsMatching(row.mp_text, nullptr, l_file), row.m_result);
    }

    // Down a tree: the folder passes on what it lacks; exclusions and
    // limits hold at every level below.
    void RemainderDownATree()
    {
        FilterParser l_filter, l_inJazz, l_inDemos;
        l_filter.Parse(QStringLiteral("jazz live -demo mfif:2 mfif:3"));
        QVERIFY(!l_filter.HasAttributes());
        QCOMPARE(l_filter.IsMatching(QStringLiteral("Jazz"), &l_inJazz, Item()), 1);
        QCOMPARE(l_inJazz.MinFilesInFolder(), 3);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live in Paris.mp3"), nullptr, Item()), 0);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live demo.mp3"), nullptr, Item()), 2);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Studio.mp3"), nullptr, Item()), 1);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Demos"), &l_inDemos, Item()), 2);

        // Every missing word is collected, and an old remainder is emptied.
        FilterParser l_three, l_rest;
        l_three.Parse(QStringLiteral("a b c mbr:abc"));
        QVERIFY(l_three.HasAttributes());
        QCOMPARE(l_three.IsMatching(QStringLiteral("b"), &l_rest, Item()), 1);
        QCOMPARE(l_rest.IsMatching(QStringLiteral("ca"), nullptr, Item()), 0);
        QCOMPARE(l_three.IsMatching(QStringLiteral("abc"), &l_rest, Item()), 0);
        QCOMPARE(l_rest.IsMatching(QStringLiteral("zzz"), nullptr, Item()), 0);
    }

    void OneHelpDialogAtATime()
    {
        QWidget l_page, l_otherPage;
        FilterHelpDialog::ShowHelp(&l_page);
        FilterHelpDialog* lp_first = filterHelpDialog;
        QVERIFY(lp_first && lp_first->isVisible());
        FilterHelpDialog::ShowHelp(&l_otherPage);
        QCOMPARE(filterHelpDialog, lp_first);
        lp_first->close();
        QTRY_VERIFY(!filterHelpDialog);
        FilterHelpDialog::ShowHelp(&l_otherPage);
        QVERIFY(filterHelpDialog && filterHelpDialog->parentWidget() == &l_otherPage);
    }

    // The wish list's searches go through the stand-in server (a child
    // process) to another user ("peer") played by hand on the server
    // protocol, whose answers on a messaging connection to our peer listener
    // the cases choose.
    void WishListThroughTheServer()
    {
        StandinProcess l_standin;
        QVERIFY(LogIn(l_standin));
        mp_searcher = std::make_unique<WishListSearcher>();
        QVERIFY(m_peer.Login(l_standin.Port(), "peer"));
        mp_peerLink = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(mp_peerLink);
        mp_peerLink->write(HandshakeFrame("peer", "P"));
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("peer") >= 1);

        Ui()->searchEdit->lineEdit()->setText(QStringLiteral("jazz"));
        mp_page->OnAddToWishListClicked();

        // The first answer opens a tab in the background, and announces it; later ones feed it.
        SetSwitch("show_event_buttons", true);
        PeerAnswer(WishSearch(), "jazz\\a.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Ui()->tabWidget->currentIndex(), 0);
        QVERIFY(d["event_toolbar_widget"]->HasItem(Value(WishTab())).IsValid());
        PeerAnswer(WishSearch(), "jazz\\b.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"a.mp3", "b.mp3"}));

        // Closed, the next answer opens a new tab; a disabled text opens none.
        mp_page->OnWishTabCloseRequested(0);
        quint32 const l_whileDisabled = WishSearch();
        QTreeWidgetItem* lp_row = Ui()->wishList->topLevelItem(0);
        qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(lp_row, 0))->setChecked(false);
        PeerAnswer(l_whileDisabled, "jazz\\c.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 0);
        qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(lp_row, 0))->setChecked(true);
        PeerAnswer(WishSearch(), "jazz\\d.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"d.mp3"}));

        // Repeated answers of a user who answered already are discarded.
        WishTab()->findChild<QCheckBox*>(QStringLiteral("discardRepeatedResultsBox"))->setChecked(true);
        PeerAnswer(WishSearch(), "jazz\\e.mp3");
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"d.mp3"}));
    }

    // The whole road: a search typed in the page reaches a headless client
    // through the stand-in server, its answer becomes a row of the tab, and
    // a double click on the row downloads the file.
    void TypedSearchIsAnsweredAndDownloaded()
    {
        StandinProcess l_standin;
        QVERIFY(LogIn(l_standin));
        QTemporaryDir l_root(QDir::homePath() + "/road-XXXXXX");
        QString const l_file = l_root.filePath("shared/music/blues/song.mp3");
        QVERIFY(WriteFile(l_file, QByteArray(300000, 'b') + "the end"));
        LineProcess l_sharer("sharer");
        QVERIFY(StartHeadlessClient(l_sharer, l_root.filePath("home"), "sharer", l_standin.Port(),
                                    l_root.filePath("shared")));

        QSignalSpy l_answered(mp_messenger.get(), &PeerMessenger::SearchResults);
        Ui()->searchTargetBox->setCurrentText(QStringLiteral("All"));
        Ui()->searchEdit->lineEdit()->setText(QStringLiteral("blues song"));
        QTest::keyClick(Ui()->searchEdit->lineEdit(), Qt::Key_Return);
        QVERIFY(l_answered.wait(WAIT_MS));
        QTreeWidget* lp_tree = mp_page->GetCurrentSearchResultsForm()->searchResults();
        QCOMPARE(Column(lp_tree, 0) + Column(lp_tree, 4), QStringList({"sharer", "song.mp3"}));
        QVERIFY(Column(lp_tree, 3).first().startsWith("blues/music/"));

        QSignalSpy l_complete(mp_transfers.get(), &TransferQueueManager::CompleteDownloadAdded);
        QTreeWidgetItem* lp_row = lp_tree->topLevelItem(0)->child(0)->child(0);
        lp_tree->expandAll();
        lp_tree->scrollToItem(lp_row);
        // As a user does it: the first click of a double click is a click.
        QPoint const l_at = lp_tree->visualItemRect(lp_row).center();
        QTest::mouseClick(lp_tree->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QTest::mouseDClick(lp_tree->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QVERIFY2(l_complete.wait(WAIT_MS), qPrintable(l_sharer.Tail()));
        Item const l_record = l_complete.first().first().value<Item>();
        QString const l_target = l_record["complete_download_folder"].AsString().replace('\\', '/') + '/'
                                 + l_record["complete_download_filename"].AsString();
        QCOMPARE(FileMd5(l_target), FileMd5(l_file));
        QCOMPARE(l_sharer.Stop(), 0);
    }
};

QTEST_MAIN(SearchPageTest)
#include "SearchPageTest.moc"
