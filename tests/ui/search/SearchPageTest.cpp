#include "SearchFixture.h"
#include "../../peers/PeerTestSupport.h"
#include "../../server/ServerTestHelpers.h"

#include "ui/search/ReceivedSearchesForm.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

class SearchPageTest : public QObject, public SearchFixture
{
    Q_OBJECT

private:
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
    void cleanup() { StopPage(); }

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
        QVERIFY(l_fake.AnswerLogin() && (l_connected.count() || l_connected.wait(5000)));
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
    }

    void HistoryKeepsTwentyExactTexts()
    {
        for (int l_index = 1; l_index <= 21; ++l_index)
            mp_page->RecordSearch(QStringLiteral("text %1").arg(l_index));
        QCOMPARE(Count("search_record"), std::size_t(20));
        QCOMPARE(History().size(), 20);
        QCOMPARE(History().first(), QStringLiteral("text 21"));
        QVERIFY(!History().contains(QStringLiteral("text 1")));
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
        QCOMPARE(lp_tree->topLevelItem(0)->foreground(1).color(), QColor(0, 85, 0));
        QCOMPARE(lp_tree->topLevelItem(499)->text(0), QStringLiteral("s2"));

        lp_list->OnActionTriggered(lp_list, QStringLiteral("pause_unpause"));
        QCOMPARE(ActionText(lp_list, "pause_unpause"), QStringLiteral("Resume"));
        emit mp_shares->SearchProcessed(QStringLiteral("dropped"), true);
        lp_list->OnActionTriggered(lp_list, QStringLiteral("pause_unpause"));
        QCOMPARE(ActionText(lp_list, "pause_unpause"), QStringLiteral("Pause"));
        QCOMPARE(lp_tree->topLevelItem(0)->text(0), QStringLiteral("s501"));
    }
};

QTEST_MAIN(SearchPageTest)
#include "SearchPageTest.moc"
