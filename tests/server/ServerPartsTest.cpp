// The smaller parts of the server connection: the search-text parser, the
// wish-list searcher, the availability manager and the two dialogs.

#include "ServerTestHelpers.h"
#include "server/AwayManager.h"
#include "server/dialogs/ChangeListeningPortDialog.h"
#include "server/dialogs/ChangeUsernamePasswordDialog.h"
#include "server/SearchParser.h"
#include "server/StoreTypes.h"
#include "server/WishListSearcher.h"
#include "store/DataSaver.h"
#include "ui_ChangeListeningPortDialog.h"
#include "ui_ChangeUsernamePasswordDialog.h"

#include <QPushButton>

using Tokens = SearchParser::TokenSet;

class ServerPartsTest : public QObject, private FakeLink
{
    Q_OBJECT

private:
    // Logged in to a fake server, past the requests every login sends.
    void LogInToFake()
    {
        StartFake();
        QVERIFY(LogIn());
        QVERIFY(mp_fake->mp_collector->Take(ServerCode::LISTENING_PORTS));
    }

    // The text of the next wish-list search, after its token and length.
    QString NextWishSearch()
    {
        QByteArray l_payload;
        bool const l_sent = mp_fake->mp_collector->Take(ServerCode::WISH_LIST_SEARCH, &l_payload);
        return l_sent ? QString::fromUtf8(l_payload.mid(8)) : QString("(none)");
    }

    void AddWish(char const* ip_text, bool i_enabled)
    {
        SetFlag(d.GetType("wish_list_item")->GetItem(ip_text), "wish_list_item_enabled", i_enabled);
    }

private slots:
    void init() { ResetStore(); }

    void cleanup() { StopFake(); }

    void UserListRoomsAndWishesSurviveARestart()
    {
        QString const l_base = QDir::homePath() + "/.Quillmar";
        {
            DataSaver l_saver;
            Server l_server;
            l_server.CreateData();
            Item l_bob = User("bob");
            Item l_group = d.GetType("user_list_group")->GetItem("friends");
            l_bob.NewItem("in_user_list") += l_group;
            SetAttribute(l_group, "group_download_priority", "3");
            SetFlag(l_group, "accept_uploads", true);
            SetFlag(l_bob, "is_online", true);
            SetAttribute(l_bob, "country_code", "FR");
            SetFlag(User("troll"), "is_ignored", true);
            User("passer-by");
            SetFlag(Room("lobby"), "room_autojoin", true);
            SetFlag(Room("other"), "in_room", true);
            AddWish("song", true);
            AddWish("paused", false);
            // Taken off the list: nothing of the entry may stay in the group.
            User("gone").NewItem("in_user_list") += l_group;
            User("gone").Disconnect("in_user_list");
            d.RemoveDisconnectedItems(); // as before every save
            QCOMPARE(l_group.CountItems("in_user_list"), std::size_t(1));
            QVERIFY(l_saver.Save(l_base));
        }
        ResetStore();
        DataSaver l_saver;
        Server l_server;
        l_server.CreateData();
        l_saver.Load(l_base);

        Item l_group = d.GetType("user")->HasItem("bob")["in_user_list"]["user_list_group"];
        QCOMPARE(l_group.AsString() + " " + l_group["group_download_priority"].AsString(), QString("friends 3"));
        QVERIFY(l_group.CountItems("in_user_list") == 1 && l_group.IsConnected("accept_uploads"));
        QVERIFY(User("troll").IsConnected("is_ignored") && Room("lobby").IsConnected("room_autojoin"));
        Item const l_paused = d.GetType("wish_list_item")->HasItem("paused");
        QVERIFY(l_paused.IsValid() && !l_paused.IsConnected("wish_list_item_enabled"));
        QVERIFY(d.GetType("wish_list_item")->HasItem("song").IsConnected("wish_list_item_enabled"));
        // What only the server knows is not kept from one run to the next.
        QCOMPARE(UserState("bob"), QString("  "));
        QVERIFY(d.GetType("user")->HasItem("passer-by").IsNull() && !Room("other").IsConnected("in_room"));
    }

    void ServerAddressSetting()
    {
        Server l_server;
        l_server.CreateData();
        // The setting, the host and port read from it, and whether it is
        // taken as given (as --server takes it).
        std::tuple<char const*, char const*, bool> const l_cases[] = {
            {"localhost:2242", "localhost 2242", true}, {"example.org:4000", "example.org 4000", true},
            {"example.org", "example.org 2242", true}, {"[::1]:2300", "::1 2300", true}, {"[::1]", "::1 2242", true},
            {"host:0", "host 2242", false}, {"host:99999", "host 2242", false}, {"host:x", "host 2242", false},
            {"  ", "localhost 2242", false}, {":4000", "localhost 2242", false}, {"::1", "::1 2242", true},
            {"fe80::1:2300", "fe80::1:2300 2242", true}};
        for (auto const& [lp_setting, lp_read, l_taken] : l_cases) {
            SetSetting("server_address", QString(lp_setting));
            QString l_host;
            quint16 l_port = 0;
            Server::GetServerAddress(l_host, l_port);
            QCOMPARE(l_host + " " + QString::number(l_port), QString(lp_read));
            quint16 l_given = 2242;
            QCOMPARE(Server::SplitServerAddress(lp_setting, l_host, l_given), l_taken);
        }
    }

    void ParserSortsTokensByKind()
    {
        struct Case
        {
            char const* mp_text;
            bool m_searchable;
            Tokens m_included, m_parts, m_excluded;
        } const l_cases[] = {
            {"Pink  FLOYD *Wall -live -Demo", true, {"floyd", "pink"}, {"wall"}, {"demo", "live"}},
            // Quoted phrases stay whole, with or without a marker.
            {"\"Dark Side\" -\"Live At\" *\"of the\" moon", true, {"dark side", "moon"}, {"of the"}, {"live at"}},
            // An unclosed quote runs to the end.
            {"\"open phrase here", true, {"open phrase here"}, {}, {}},
            {"*part", true, {}, {"part"}, {}},
            // Nothing to look for: no text, or only excluded tokens.
            {"", false, {}, {}, {}},
            {"   ", false, {}, {}, {}},
            {"-only -excluded", false, {}, {}, {"excluded", "only"}},
            // Markers and empty quotes alone are no tokens at all.
            {"- * \"\" -\"\"", false, {}, {}, {}},
        };
        SearchParser l_parser;
        for (Case const& l_case : l_cases) {
            // Each text replaces the sets of the one before.
            QCOMPARE(l_parser.SetSearchText(l_case.mp_text), l_case.m_searchable);
            QCOMPARE(l_parser.GetIncludedTokenSet(), l_case.m_included);
            QCOMPARE(l_parser.GetIncludedPartTokenSet(), l_case.m_parts);
            QCOMPARE(l_parser.GetExcludedTokenSet(), l_case.m_excluded);
        }
    }

    void WishListGoesRoundInTextOrder()
    {
        LogInToFake();
        WishListSearcher l_searcher;
        AddWish("b", true);
        AddWish("A", true);
        AddWish("z-disabled", false);
        AddWish("c", true);
        QStringList l_sent;
        for (int l_tick = 0; l_tick < 4; ++l_tick) {
            l_searcher.EveryFiveMinutes();
            l_sent << NextWishSearch();
        }
        // Case-sensitive order puts "A" first; the fourth period wraps round.
        QCOMPARE(l_sent, QStringList({"A", "b", "c", "A"}));
        // Each search is tied to its wish-list item.
        QCOMPARE(d.GetType("wish_list_item")->HasItem("A").CountItems("search_request"), std::size_t(2));

        // The list shrank below the saved place: start again from the top.
        SetVSetting("wish_list_search_index", "7");
        l_searcher.EveryFiveMinutes();
        QCOMPARE(NextWishSearch(), QString("A"));
        QCOMPARE(GetVSetting("wish_list_search_index"), QString("1"));

        // Nothing goes out, and the place is kept, while logged out.
        mp_server->Disconnect();
        l_searcher.EveryFiveMinutes();
        QCOMPARE(GetVSetting("wish_list_search_index"), QString("1"));
    }

    // Idleness brings an away only when the user turned that on, and the
    // next activity ends it; an away the user chose outlasts both. Each
    // change is told to the server.
    void Away()
    {
        LogInToFake();
        AwayManager* lp_away = AwayManager::Obj();
        QSignalSpy l_set(lp_away, &AwayManager::AwaySet);
        lp_away->SetAutoAwayOnIdle(false);
        lp_away->OnUserActivityIdle();
        QVERIFY(!lp_away->IsAway());
        lp_away->SetAutoAwayOnIdle(true);
        lp_away->OnUserActivityIdle();
        QVERIFY(lp_away->IsAway());
        lp_away->OnUserActivityResumed();
        lp_away->OnUserActivityResumed(); // no idle away left to end
        lp_away->SetAway(true);
        QCOMPARE(GetSetting("availability_status"), QString("away"));
        lp_away->OnUserActivityIdle();
        lp_away->OnUserActivityResumed();
        QVERIFY(lp_away->IsAway());
        lp_away->SetAway(false);
        QByteArray l_statuses;
        for (QList<QVariant> const& l_signal : l_set) {
            QByteArray l_status;
            QVERIFY(mp_fake->mp_collector->Take(ServerCode::SET_STATUS, &l_status));
            l_statuses += (l_signal.at(0).toBool() ? "away " : "back ") + l_status.toHex() + " ";
        }
        QCOMPARE(l_statuses, QByteArray("away 01000000 back 02000000 away 01000000 back 02000000 "));
    }

    void UserNameDialogStoresTrimmedValues()
    {
        SetSetting("username", "old");
        SetSetting("password", "oldpw");
        auto* lp_dialog = new ChangeUsernamePasswordDialog(false);
        QPointer<ChangeUsernamePasswordDialog> l_guard(lp_dialog);
        QCOMPARE(lp_dialog->Form()->usernameEdit->text() + lp_dialog->Form()->passwordEdit->text(), QString("oldoldpw"));
        QPushButton* lp_ok = lp_dialog->Form()->buttonBox->button(QDialogButtonBox::Ok);
        lp_dialog->Form()->usernameEdit->setText("   ");
        QVERIFY(!lp_ok->isEnabled());
        lp_dialog->Form()->usernameEdit->setText("  bob ");
        lp_dialog->Form()->passwordEdit->setText(" pw  ");
        QVERIFY(lp_ok->isEnabled());
        lp_dialog->show();
        lp_ok->click();
        QCOMPARE(GetSetting("username") + " " + GetSetting("password"), QString("bob pw"));
        QTRY_VERIFY(l_guard.isNull()); // shown without blocking, it goes away by itself once closed
    }

    // The dialog names the ports in use, which for a second client on the
    // machine are ports the system picked, far apart.
    void ListeningPortDialogNamesThePortsInUse_data()
    {
        QTest::addColumn<int>("listening");
        QTest::addColumn<int>("obfuscated");
        QTest::addColumn<QString>("now");
        QTest::newRow("second client")
            << 43721 << 41645 << "In use now: port 43721, and port 41645 for obfuscated connections.";
        QTest::newRow("no obfuscated port") << 43721 << 0 << "In use now: port 43721; no port for obfuscated connections.";
        QTest::newRow("none") << 0 << 0 << "No port is in use now.";
    }
    void ListeningPortDialogNamesThePortsInUse()
    {
        QFETCH(int, listening);
        QFETCH(int, obfuscated);
        QFETCH(QString, now);
        auto* lp_dialog = new ChangeListeningPortDialog(quint16(listening), quint16(obfuscated));
        QString const l_text = lp_dialog->Form()->hintLabel->text();
        lp_dialog->reject();
        QCOMPARE(l_text.left(now.size() + 1), now + " ");
    }

    void ListeningPortStaysBelowItsObfuscatedNeighbour()
    {
        SetSetting("listening_port", qint64(2235));
        auto* lp_dialog = new ChangeListeningPortDialog(2235, 2236);
        QCOMPARE(lp_dialog->Form()->portSpinBox->value(), 2235);
        lp_dialog->Form()->portSpinBox->setValue(65535);
        QCOMPARE(lp_dialog->Form()->portSpinBox->value(), 65534);
        lp_dialog->accept();
        // The port in use is not touched before the next start.
        QCOMPARE(GetSetting("new_listening_port") + " " + GetSetting("listening_port"), QString("65534 2235"));

        auto* lp_again = new ChangeListeningPortDialog(2235, 2236);
        QCOMPARE(lp_again->Form()->portSpinBox->value(), 65534);
        lp_again->reject();
    }
};

QTEST_MAIN(ServerPartsTest)
#include "ServerPartsTest.moc"
