// The Rooms page, its room pages' member lists, the room wall and the
// create-room and administrator-message dialogs, driven through the store
// as the server link fills it, the tool bar as the user reaches it, and an
// in-test server that records the requests.

#include "RoomsFixture.h"
#include "../MenuTexts.h"


#include "tests/app/ShellTestSupport.h"
#include "tests/e2e/LineProcess.h"
#include "tests/peers/PeerTestSupport.h"
#include "tests/ui/NoLoad.h"
#include "ui/chat/AdminMessageDialog.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatView.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomRows.h"
#include "ui/chat/RoomWallForm.h"
#include "store/SlicedWork.h"
#include "ui_AdminMessageDialog.h"
#include "ui_ChatLogForm.h"
#include "ui_CreateRoomDialog.h"
#include "ui_RoomWallForm.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <random>

// A member's values and what his row shows.
struct MemberCase
{
    QString m_country;
    int m_speed;
    int m_files;
    QString m_flag;
    QString m_speedText;
    QString m_filesText;
    bool m_flagShown = true;
};
Q_DECLARE_METATYPE(MemberCase)

// A list sorted by a column in a direction, and its names in order.
struct SortCase
{
    int m_column;
    Qt::SortOrder m_order;
    QStringList m_names;
};
Q_DECLARE_METATYPE(SortCase)

namespace {

QByteArray Named(QByteArray const& i_name)
{
    return Le32(quint32(i_name.size())) + i_name;
}

// A font's marks as letters: italic, bold, underlined.
QString Marks(QFont const& i_font)
{
    return QString(i_font.italic() ? "i" : "-") + (i_font.weight() == QFont::Bold ? "b" : "-") +
           (i_font.underline() ? "u" : "-");
}

} // namespace

// Takes the web addresses the desktop would open, while it lives.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(QList<QUrl>* op_urls) : mp_urls(op_urls)
    {
        QDesktopServices::setUrlHandler("http", this, "Open");
    }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler("http"); }

public slots:
    void Open(QUrl const& i_url) { *mp_urls << i_url; }

private:
    QList<QUrl>* mp_urls;
};

class RoomsPageTest : public QObject, public RoomsFixture
{
    Q_OBJECT

    // Four members: the list starts sorted by name, so that ties keep that
    // order.
    RoomForm* FourMembers()
    {
        RoomForm* lp_page = Join("lobby");
        AddMember("lobby", "bob", "US", 100, 10);
        AddMember("lobby", "Amy", "de", 300, 5);
        AddMember("lobby", "carl", "", 200, 20);
        AddMember("lobby", "dora", "FR", 0, 10);
        for (char const* lp_name : {"bob", "dora"})
            UserItem(lp_name) += d["user_note"]->GetItem(Value("a note"));
        return lp_page;
    }

    // Five rooms, one per role and two without; counts 3, 0, 12, 7, 5.
    void FiveRooms()
    {
        struct
        {
            char const* mp_name;
            int m_count;
            std::array<char const*, 3> m_roles;
        } const l_rooms[] = {{"beta", 3, {}},
                             {"Alpha", 0, {}},
                             {"gamma", 12, {"is_owner", "is_member", nullptr}},
                             {"delta", 7, {"is_operator", "is_member", nullptr}},
                             {"epsilon", 5, {"is_member", nullptr, nullptr}}};
        for (auto const& l_room : l_rooms) {
            Item const l_item = RoomItem(l_room.mp_name);
            SetAttribute(l_item, "user_count", Value(l_room.m_count));
            for (char const* lp_role : l_room.m_roles)
                if (lp_role)
                    SetFlag(l_item, lp_role, true);
        }
    }

private slots:
    void init() { StartPage(); }
    void cleanup()
    {
        StopPage();
        SlicedWork::SetSliceMs(10);
    }

    // ------------------------------------------------------- member list

    // A row needs the user in the room with his speed, files and country,
    // in whatever order the links come; it comes with the last of them.
    void MemberRowNeedsEveryLink()
    {
        RoomForm* lp_page = Join("lobby");
        std::array<char const*, 4> l_links = {"average_download_speed", "country_code", "room", "shared_file_count"};
        int l_user = 0;
        do {
            QString const l_name = QString("user%1").arg(++l_user);
            Item const l_item = UserItem(l_name);
            for (std::size_t l_step = 0; l_step < l_links.size(); ++l_step) {
                QVERIFY2(!MemberRow(lp_page, l_name), qPrintable(l_name));
                if (QLatin1String(l_links[l_step]) == "room")
                    l_item += RoomItem("lobby");
                else
                    SetAttribute(l_item, l_links[l_step], Value("1"));
            }
            QVERIFY2(MemberRow(lp_page, l_name), qPrintable(l_name));
        } while (std::next_permutation(l_links.begin(), l_links.end(),
                                       [](char const* ip_a, char const* ip_b) { return qstrcmp(ip_a, ip_b) < 0; }));
        QCOMPARE(Members(lp_page).size(), 24);
        // A link made again, or a changed value, adds no second row.
        SetAttribute(UserItem("user1"), "shared_file_count", Value(5));
        QCOMPARE(Members(lp_page).size(), 24);
        QTRY_COMPARE(RoomItem("lobby")["user_count"].AsString(), QString("24"));
    }

    void MemberCells_data()
    {
        QTest::addColumn<MemberCase>("row");
        QTest::newRow("nothing known") << MemberCase{"", 0, 0, ":/icons/cat_icon", "", ""};
        QTest::newRow("upper-case code") << MemberCase{"US", 1536, 1001, ":/resources/flags/us.png", "1.5", "1,001"};
        QTest::newRow("slow but not still") << MemberCase{"de", 51, 999, ":/resources/flags/de.png", "0.0", "999"};
        QTest::newRow("millions") << MemberCase{"FR", 10 * 1024 * 1024, 1234567, ":/resources/flags/fr.png",
                                                "10240.0", "1,234,567"};
        QTest::newRow("no such flag") << MemberCase{"XX", 1, 1, ":/resources/flags/xx.png", "0.0", "1", false};
        QTest::newRow("no path to another") << MemberCase{"X/../DE", 1, 1, ":/resources/flags/x/../de.png", "0.0",
                                                          "1", false};
    }

    void MemberCells()
    {
        QFETCH(MemberCase, row);
        QCOMPARE(FlagIconPath(row.m_country), row.m_flag);
        RoomForm* lp_page = Join("lobby");
        AddMember("lobby", "eve", row.m_country, row.m_speed, row.m_files);
        QTreeWidgetItem* lp_row = MemberRow(lp_page, "eve");
        QVERIFY(lp_row);
        QCOMPARE(lp_row->text(MEMBER_FILES), row.m_filesText);
        QCOMPARE(lp_row->text(MEMBER_SPEED), row.m_speedText);
        QCOMPARE(lp_row->text(MEMBER_FLAG) + lp_row->text(MEMBER_NOTE), QString());
        QCOMPARE(!lp_row->icon(MEMBER_FLAG).isNull(), row.m_flagShown);
        // Later values are not shown: the row keeps those of the join.
        SetAttribute(UserItem("eve"), "shared_file_count", Value(77));
        QCOMPARE(lp_row->text(MEMBER_FILES), row.m_filesText);
    }

    // The owner's name is bold and underlined, an operator's bold; losing
    // the operator's list leaves the owner underlined only. Notes come and
    // go on the rows at once.
    void MemberFontsAndNotes()
    {
        Item const l_room = RoomItem("den");
        l_room.NewItem("room_owner") += UserItem("olga");
        Item const l_operators = l_room.NewItem("room_operators");
        l_operators += UserItem("olga");
        l_operators += UserItem("otto");
        // Another room's operators do not count here.
        RoomItem("elsewhere").NewItem("room_operators") += UserItem("pia");
        RoomForm* lp_page = Join("den");
        for (char const* lp_name : {"olga", "otto", "pia"})
            AddMember("den", lp_name);
        auto l_marks = [lp_page](char const* ip_name) { return Marks(MemberRow(lp_page, ip_name)->font(MEMBER_NAME)); };
        QCOMPARE(l_marks("olga") + l_marks("otto") + l_marks("pia"), QString("-bu-b----"));
        l_operators.Disconnect(UserItem("olga"));
        QCOMPARE(l_marks("olga"), QString("--u"));
        l_operators += UserItem("pia");
        QCOMPARE(l_marks("pia"), QString("-b-"));

        UserItem("otto") += d["user_note"]->GetItem(Value("owes me"));
        QVERIFY(!MemberRow(lp_page, "otto")->icon(MEMBER_NOTE).isNull());
        UserItem("otto").Disconnect("user_note");
        QVERIFY(MemberRow(lp_page, "otto")->icon(MEMBER_NOTE).isNull());

        // A click on a note icon opens the member's note, through the users
        // page's hook; a right click offers his user menu.
        QStringList l_notesShown;
        FakeUserMenu(&l_notesShown);
        UserItem("pia") += d["user_note"]->GetItem(Value("kind"));
        lp_page->OnUserItemClicked(MemberRow(lp_page, "otto"), MEMBER_NOTE);
        lp_page->OnUserItemClicked(MemberRow(lp_page, "pia"), MEMBER_NAME);
        lp_page->OnUserItemClicked(MemberRow(lp_page, "pia"), MEMBER_NOTE);
        QCOMPARE(l_notesShown, QStringList({"pia"}));
        QTreeWidget* lp_members = lp_page->Form()->userList;
        QPoint const l_at = lp_members->visualItemRect(MemberRow(lp_page, "pia")).center();
        QCOMPARE(ShownMenu([lp_page, l_at] { lp_page->OnUserListContextMenuRequested(l_at); }),
                 QStringList({"user menu of pia"}));
        SetUserPageHooks(UserPageHooks());
    }

    // The creator of a private room is in it before the server names him
    // its owner: the mark comes then, and goes with the ownership, leaving
    // an operator bold.
    void OwnerNamedAfterTheJoin()
    {
        RoomForm* lp_page = Join("den");
        AddMember("den", "olga");
        AddMember("den", "otto");
        auto l_marks = [lp_page](char const* ip_name) { return Marks(MemberRow(lp_page, ip_name)->font(MEMBER_NAME)); };
        QCOMPARE(l_marks("olga"), QString("---"));
        Item const l_owner = RoomItem("den").NewItem("room_owner");
        l_owner += UserItem("olga");
        QCOMPARE(l_marks("olga") + l_marks("otto"), QString("-bu---"));
        RoomItem("den").NewItem("room_operators") += UserItem("olga");
        l_owner.Disconnect(UserItem("olga"));
        QCOMPARE(l_marks("olga"), QString("-b-"));
        l_owner += UserItem("otto");
        l_owner.Disconnect(UserItem("otto"));
        QCOMPARE(l_marks("otto"), QString("---"));
    }

    void MemberSorting_data()
    {
        QTest::addColumn<SortCase>("row");
        QTest::newRow("name") << SortCase{2, Qt::AscendingOrder, {"Amy", "bob", "carl", "dora"}};
        QTest::newRow("name, descending") << SortCase{2, Qt::DescendingOrder, {"dora", "carl", "bob", "Amy"}};
        QTest::newRow("blank column: name") << SortCase{0, Qt::AscendingOrder, {"Amy", "bob", "carl", "dora"}};
        QTest::newRow("country") << SortCase{1, Qt::AscendingOrder, {"carl", "Amy", "dora", "bob"}};
        QTest::newRow("notes first") << SortCase{3, Qt::AscendingOrder, {"bob", "dora", "Amy", "carl"}};
        QTest::newRow("most files first") << SortCase{4, Qt::AscendingOrder, {"carl", "bob", "dora", "Amy"}};
        QTest::newRow("fewest files first") << SortCase{4, Qt::DescendingOrder, {"Amy", "bob", "dora", "carl"}};
        QTest::newRow("fastest first") << SortCase{5, Qt::AscendingOrder, {"Amy", "carl", "bob", "dora"}};
    }

    // Each column by its own key, ties in the order they stood; a member
    // who comes later, or whose key changes, takes his place.
    void MemberSorting()
    {
        QFETCH(SortCase, row);
        RoomForm* lp_page = FourMembers();
        QCOMPARE(Members(lp_page), QStringList({"Amy", "bob", "carl", "dora"}));
        lp_page->Form()->userList->header()->setSortIndicator(row.m_column, row.m_order);
        QCOMPARE(Members(lp_page), row.m_names);

        // A member who comes later takes his place.
        AddMember("lobby", "eve", "es", 250, 15);
        QStringList const l_placed = Members(lp_page);
        lp_page->MemberOrder()->SortBy(row.m_column, row.m_order);
        QCOMPARE(l_placed, Members(lp_page));
    }

    // In a long list a new row, or one whose key changed, is placed by a
    // binary search; it lands where a sort of the whole list puts it.
    void PlacedRowsMatchAFullSort()
    {
        RoomForm* lp_page = Join("lobby");
        for (int l_index = 0; l_index < 64; ++l_index)
            AddMember("lobby", QString("m%1").arg(l_index), "", 0, (l_index * 37) % 101);
        for (Qt::SortOrder const l_order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            lp_page->MemberOrder()->SortBy(MEMBER_FILES, l_order);
            for (int l_index = 0; l_index < 6; ++l_index) {
                AddMember("lobby", QString("late%1%2").arg(l_order).arg(l_index), "", 0, l_index * 19 + 3);
                QStringList const l_placed = Members(lp_page);
                lp_page->MemberOrder()->SortBy(MEMBER_FILES, l_order);
                QCOMPARE(l_placed, Members(lp_page));
            }
        }
        lp_page->MemberOrder()->SortBy(MEMBER_NOTE, Qt::AscendingOrder);
        QTreeWidgetItem* lp_selected = MemberRow(lp_page, "m40");
        lp_selected->setSelected(true);
        UserItem("m40") += d["user_note"]->GetItem(Value("noted"));
        QCOMPARE(Members(lp_page).first(), QString("m40"));
        QVERIFY(lp_selected->isSelected());
    }

    // A click on a header sorts by that column; a second click turns it
    // round.
    void HeaderClicksSort()
    {
        RoomForm* lp_page = FourMembers();
        QTreeWidget* lp_list = lp_page->Form()->userList;
        lp_page->setFocus();
        QHeaderView* lp_header = lp_list->header();
        QPoint const l_files(lp_header->sectionViewportPosition(MEMBER_FILES) + 5, lp_header->height() / 2);
        QTest::mouseClick(lp_header->viewport(), Qt::LeftButton, {}, l_files);
        QCOMPARE(Members(lp_page), QStringList({"carl", "bob", "dora", "Amy"}));
        QTest::mouseClick(lp_header->viewport(), Qt::LeftButton, {}, l_files);
        QCOMPARE(Members(lp_page), QStringList({"Amy", "bob", "dora", "carl"}));
        UserItem("Amy") += d["user_note"]->GetItem(Value("late"));
        lp_header->setSortIndicator(MEMBER_NOTE, Qt::AscendingOrder);
        QCOMPARE(Members(lp_page).mid(0, 3), QStringList({"Amy", "bob", "dora"}));
        UserItem("carl") += d["user_note"]->GetItem(Value("later"));
        QTRY_COMPARE(Column(lp_list, MEMBER_NAME), QStringList({"Amy", "bob", "dora", "carl"}));
        UserItem("Amy").Disconnect("user_note");
        QTRY_COMPARE(Column(lp_list, MEMBER_NAME), QStringList({"bob", "dora", "carl", "Amy"}));
    }

    // Rows that come, go and change, and header clicks, while batches are
    // under way a step per turn of the event loop: the list settles to
    // exactly the members, in the order a sort of the whole list gives.
    void ListSettlesWhateverComesMeanwhile()
    {
        SlicedWork::SetSliceMs(0);
        RoomForm* lp_page = Join("lobby");
        QTreeWidget* lp_list = lp_page->Form()->userList;
        std::mt19937 l_random(20261207);
        QStringList l_in;
        int l_next = 0;
        auto const l_add = [&]() {
            QString const l_name = QString("u%1").arg(l_next++);
            AddMember("lobby", l_name, l_next % 3 ? "DE" : "fr", 0, int(l_random() % 50));
            l_in << l_name;
        };
        for (int l_k = 0; l_k < 300; ++l_k)
            l_add();
        int l_changes = 600;
        QEventLoop l_loop;
        QTimer l_changer;
        l_changer.setInterval(1);
        QObject::connect(&l_changer, &QTimer::timeout, [&]() {
            std::size_t const l_pick = l_random() % std::size_t(l_in.size());
            switch (l_random() % 6) {
            case 0:
            case 1:
                l_add();
                break;
            case 2:
                RoomItem("lobby").Disconnect(UserItem(l_in.takeAt(int(l_pick))));
                break;
            case 3: {
                Item const l_user = UserItem(l_in.at(int(l_pick)));
                if (l_user.IsConnected("user_note"))
                    l_user.Disconnect("user_note");
                else
                    l_user += d["user_note"]->GetItem(Value("note"));
                break;
            }
            case 4: {
                int const l_columns[] = {MEMBER_FLAG, MEMBER_NAME, MEMBER_NOTE, MEMBER_FILES};
                lp_list->header()->setSortIndicator(l_columns[l_random() % 4],
                                                    l_random() % 2 ? Qt::AscendingOrder : Qt::DescendingOrder);
                break;
            }
            default:
                break;
            }
            if (--l_changes == 0)
                l_loop.quit();
        });
        l_changer.start();
        l_loop.exec();
        l_changer.stop();
        QTRY_VERIFY(lp_page->MemberOrder()->IsSettled());
        QStringList const l_settled = Column(lp_list, MEMBER_NAME);
        QStringList l_sortedNames = l_settled;
        l_sortedNames.sort();
        l_in.sort();
        QCOMPARE(l_sortedNames, l_in);
        lp_page->MemberOrder()->SortBy(lp_list->header()->sortIndicatorSection(), lp_list->header()->sortIndicatorOrder());
        QCOMPARE(l_settled, Column(lp_list, MEMBER_NAME));
    }

    // A join answer of 5,000 members and a list of 20,000 rooms, through the
    // link as it applies them, a step per slice: the window's thread never
    // does much of the work in one turn of its event loop. The work is
    // counted where it is done, in the store: the items made or dropped
    // between two turns, a handful for a member or a room; the whole answer
    // in one turn would be thousands. (How long a turn takes, the lists'
    // placing included, is a figure of bench_rooms: its join and list
    // stalls.)
    void BigAnswersNeverHoldTheWindow()
    {
        SlicedWork::SetSliceMs(0);
        int const l_members = 5000;
        int const l_rooms = 20000;
        ServerIn::RoomJoined l_join;
        l_join.m_room = "big";
        for (int l_k = 0; l_k < l_members; ++l_k) {
            ServerIn::Member l_member;
            l_member.m_name = QString("member%1").arg(l_k);
            l_member.m_details.m_status = STATUS_ONLINE;
            l_member.m_details.m_stats.m_fileCount = quint32(l_k * 7919 % 60000);
            l_join.m_members.push_back(l_member);
        }
        ServerIn::RoomList l_list;
        for (int l_k = 0; l_k < l_rooms; ++l_k)
            l_list.m_public.push_back({QString("room %1").arg(l_k * 7919 % l_rooms), quint32(l_k % 300)});
        SetSetting("accept_room_list", QStringLiteral("yes"));
        for (ServerMessage const& l_message : {ServerMessage(l_join), ServerMessage(l_list)}) {
            auto const l_work = [&]() { return qint64(d.ItemCount()); };
            qint64 l_before = l_work();
            mp_server->Apply(l_message);
            RoomForm* lp_room = Page("big");
            qint64 l_most = qAbs(l_work() - l_before);
            auto const l_settled = [&]() {
                return !mp_server->IsApplying() && mp_page->RoomOrder()->IsSettled() && lp_room->MemberOrder()->IsSettled();
            };
            int const l_turns = TurnsUntil([&]() {
                qint64 const l_now = l_work();
                l_most = qMax(l_most, qAbs(l_now - l_before));
                l_before = l_now;
                return l_settled();
            });
            QVERIFY(l_turns >= (std::holds_alternative<ServerIn::RoomJoined>(l_message) ? l_members : l_rooms));
            QVERIFY2(l_most <= 100, qPrintable(QString("%1 items made or dropped in one turn").arg(l_most)));
            QCOMPARE(lp_room->Form()->userList->topLevelItemCount(), l_members);
        }
        QCOMPARE(RoomList()->topLevelItemCount(), l_rooms + 1);
        QCOMPARE(Column(RoomList(), 0).mid(0, 3), QStringList({"big", "room 0", "room 1"}));
        QCOMPARE(Column(Page("big")->Form()->userList, MEMBER_NAME).mid(0, 3),
                 QStringList({"member0", "member1", "member10"}));
    }

    // Users joining a room one by one and then leaving it, through the
    // link, with the room's page open and the loop turning as frames come:
    // no link, count or look-up of the store passes over or moves more in
    // a room of 2,000 than what lies around the room's members (each join
    // replaced the room's count and left a tag among its links, which the
    // next replacement passed over, and each count read every member).
    void JoinsAndLeavesCostTheSameInABigRoom()
    {
        int const l_users = 2000;
        mp_server->Apply(ServerIn::RoomJoined{"big", {}});
        RoomForm* lp_page = Page("big");
        QVERIFY(lp_page);
        Data::MostEntriesPassedAtOnce();
        std::size_t l_most = 0;
        for (int l_k = 0; l_k < 2 * l_users; ++l_k) {
            QString const l_name = QString("user%1").arg(l_k % l_users);
            ServerIn::Member l_member{l_name, {}};
            l_member.m_details.m_status = STATUS_ONLINE;
            if (l_k < l_users)
                mp_server->Apply(ServerIn::UserJoinedRoom{"big", l_member});
            else
                mp_server->Apply(ServerIn::UserLeftRoom{"big", l_name});
            if (l_k % 100 == 99)
                TurnsUntil([]() { return true; });
            if (l_k == l_users - 1)
                QTRY_COMPARE(lp_page->Form()->userList->topLevelItemCount(), l_users);
            l_most = std::max(l_most, Data::MostEntriesPassedAtOnce());
        }
        QVERIFY2(l_most <= 32, qPrintable(QString::number(l_most)));
        QTRY_VERIFY(lp_page->MemberOrder()->IsSettled() && lp_page->Form()->userList->topLevelItemCount() == 0);
        QTRY_COMPARE(RoomItem("big")["user_count"].AsString(), QString("0"));
    }

    // Members leaving a long list in one batch, with others coming and one
    // moving: the batch finds them in one walk over the list at most (Qt
    // finds a row deleted in its tree by looking at every row before it,
    // and did for each), and the list keeps the others in order, the moved
    // one still selected.
    void LeavingRowsFoundInOneWalk_data()
    {
        QTest::addColumn<int>("leaving");
        QTest::newRow("a few, placed one by one") << 20;
        QTest::newRow("many, the whole list sorted") << 1000;
    }

    void LeavingRowsFoundInOneWalk()
    {
        QFETCH(int, leaving);
        int const l_members = 2000;
        RoomForm* lp_page = Join("lobby");
        QStringList l_expected;
        for (int l_k = 0; l_k < l_members; ++l_k)
            l_expected << AddMember("lobby", QString("m%1").arg(l_k, 4, 10, QChar('0'))).AsString();
        lp_page->MemberOrder()->SortBy(MEMBER_NOTE, Qt::AscendingOrder);
        MemberRow(lp_page, "m1001")->setSelected(true);
        SortedRows::MostRowsLookedAt();
        for (int l_k = 0; l_k < leaving; ++l_k)
            RoomItem("lobby").Disconnect(UserItem(l_expected[l_k * (l_members / leaving)]));
        for (int l_k = 0; l_k < leaving; ++l_k)
            l_expected.removeAt(l_k * (l_members / leaving - 1));
        UserItem("m1001") += d["user_note"]->GetItem(Value("noted"));
        l_expected.move(l_expected.indexOf("m1001"), 0);
        l_expected << AddMember("lobby", "m0500x").AsString();
        QCOMPARE(Members(lp_page), l_expected);
        QVERIFY(MemberRow(lp_page, "m1001")->isSelected());
        std::size_t const l_lookedAt = SortedRows::MostRowsLookedAt();
        QVERIFY2(l_lookedAt <= std::size_t(l_members), qPrintable(QString::number(l_lookedAt)));
    }

    // The room's count is of the users in it: it follows every leave, of a
    // user with a row or without one yet.
    void CountFollowsEveryLeave()
    {
        RoomForm* lp_page = Join("lobby");
        AddMember("lobby", "bob");
        UserItem("quiet") += RoomItem("lobby");
        AddMember("lobby", "carl");
        QTRY_COMPARE(RoomItem("lobby")["user_count"].AsString(), QString("3"));
        RoomItem("lobby").Disconnect(UserItem("quiet"));
        QTRY_COMPARE(RoomItem("lobby")["user_count"].AsString(), QString("2"));
        RoomItem("lobby").Disconnect(UserItem("bob"));
        QTRY_COMPARE(RoomItem("lobby")["user_count"].AsString(), QString("1"));
        QCOMPARE(Members(lp_page), QStringList("carl"));
        QCOMPARE(RoomRow("lobby")->text(1), QString("1"));
        // One who comes and goes before his row has entered the list.
        AddMember("lobby", "flash");
        RoomItem("lobby").Disconnect(UserItem("flash"));
        QCOMPARE(Members(lp_page), QStringList("carl"));
        QCOMPARE(RoomRow("lobby")->text(1), QString("1"));
    }

    // A double click on a member opens the private chat with him.
    void DoubleClickOpensPrivateChat()
    {
        ChatsForm l_chats;
        l_chats.Init();
        RoomForm* lp_page = Join("lobby");
        AddMember("lobby", "bob");
        QTreeWidget* lp_list = lp_page->Form()->userList;
        QPoint const l_point = lp_list->visualItemRect(MemberRow(lp_page, "bob")).center();
        QTest::mouseClick(lp_list->viewport(), Qt::LeftButton, {}, l_point);
        QTest::mouseDClick(lp_list->viewport(), Qt::LeftButton, {}, l_point);
        QVERIFY(UserItem("bob").IsConnected("user_chat_widget"));
    }

    // ---------------------------------------------------------- the chat

    // Every page hears every room's lines and keeps its own, trimmed, in
    // its view and in the room's log; a line of another room changes
    // nothing.
    void RoomLinesAndLogs()
    {
        SetSetting("username", QStringLiteral("me"));
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        RoomForm* lp_lobby = Join("lobby");
        RoomForm* lp_jazz = Join("jazz");
        emit mp_server->RoomChat("lobby", "bob", "  hello <b>all</b>  ");
        emit mp_server->RoomChat("jazz", "me", "mine");
        emit mp_server->RoomChat("Lobby", "eve", "other room");
        emit mp_server->RoomChat("lobby", "cy", "  /me waves  ");
        QCOMPARE(lp_lobby->Form()->chatView->toPlainText(), QString("[bob] hello <b>all</b>\n* cy waves"));
        QCOMPARE(lp_jazz->Form()->chatView->toPlainText(), QString("[me] mine"));
        QFile l_log(QDir::homePath() + "/Quillmar Chat Logs/Rooms/lobby.log");
        QVERIFY(l_log.open(QIODevice::ReadOnly));
        QStringList const l_lines = QString::fromUtf8(l_log.readAll()).split('\n');
        QCOMPARE(l_lines.size(), 3);
        QVERIFY2(l_lines[0].endsWith("][bob] hello <b>all</b>") && l_lines[1].endsWith("] * cy waves"),
                 qPrintable(l_lines.join('|')));
        QVERIFY(!QFile::exists(QDir::homePath() + "/Quillmar Chat Logs/Rooms/Lobby.log"));
        QVERIFY(QFile::exists(QDir::homePath() + "/Quillmar Chat Logs/Rooms/jazz.log"));
    }

    // What is typed goes to the room as typed, and shows when the server
    // sends it back; offline it stays, with a note. The page notes the
    // link's loss and return, and joins again on return.
    void SendingAndConnectionNotices()
    {
        QVERIFY(LogInToFake());
        RoomForm* lp_page = Join("lobby");
        QLineEdit* lp_entry = lp_page->Form()->chatEdit;
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QVERIFY(NoneSent(ServerCode::ROOM_CHAT));
        lp_entry->setText("  ");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(Sent(ServerCode::ROOM_CHAT), Named("lobby") + Named("  "));
        QVERIFY(lp_entry->text().isEmpty());
        QVERIFY(lp_page->Form()->chatView->toPlainText().isEmpty());

        mp_fake->mp_socket->abort();
        QTRY_VERIFY(!mp_server->IsConnected());
        lp_entry->setText("still here");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(lp_entry->text(), QString("still here"));
        QVERIFY(LogInToFake());
        QCOMPARE(Sent(ServerCode::JOIN_ROOM), Named("lobby") + Le32(0));
        QStringList const l_notices = lp_page->Form()->chatView->toPlainText().split('\n');
        QRegularExpression const l_time("\\d{1,2}:\\d\\d:\\d\\d\\.$");
        QCOMPARE(l_notices.size(), 3);
        QVERIFY2(l_notices[0].startsWith("* Disconnected at ") && l_time.match(l_notices[0]).hasMatch(),
                 qPrintable(l_notices[0]));
        QCOMPARE(l_notices[1], QString("* Not connected: message not sent."));
        QVERIFY2(l_notices[2].startsWith("* Reconnected at ") && l_time.match(l_notices[2]).hasMatch(),
                 qPrintable(l_notices[2]));
    }

    // With the activity alert on, every ordinary line of the room, own
    // lines too, posts an event; without it, none.
    void ActivityAlert()
    {
        SetSetting("username", QStringLiteral("me"));
        SetSetting("show_event_buttons", QStringLiteral("yes"));
        Join("lobby");
        Join("jazz");
        auto l_events = [this]() {
            QStringList l_texts;
            for (QAction* lp_action : mp_events->actions())
                l_texts << lp_action->text();
            return l_texts.filter("lobby").size();
        };
        emit mp_server->RoomChat("lobby", "bob", "quiet");
        QCOMPARE(l_events(), 0);
        SetFlag(RoomItem("lobby"), "room_activity_alert", true);
        Tabs()->setCurrentIndex(1);
        emit mp_server->RoomChat("lobby", "me", "/me is not a line");
        QCOMPARE(l_events(), 0);
        emit mp_server->RoomChat("lobby", "me", "my own");
        QCOMPARE(l_events(), 1);
    }

    // The log opens once per room beside the room tabs, titled with the
    // name as it is, and gets the lines logged while it is open; a link
    // clicked in the chat opens outside and leaves the focus in the entry.
    void LogViewerAndLinks()
    {
        RoomForm* lp_page = Join("R&B");
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_chat_log"));
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_chat_log"));
        QCOMPARE(TabTitles(), QStringList({"R&&B", "R&&B"}));
        ChatLogForm* lp_viewer = qobject_cast<ChatLogForm*>(Tabs()->currentWidget());
        QVERIFY(lp_viewer);
        QTRY_VERIFY(!lp_viewer->IsLoading());
        emit mp_server->RoomChat("R&B", "bob", "after");
        QVERIFY(lp_viewer->Form()->logEdit->toPlainText().endsWith("[bob] after"));

        QList<QUrl> l_opened;
        UrlRecorder l_recorder(&l_opened);
        Tabs()->setCurrentWidget(lp_page);
        QVERIFY(Focus(lp_page->Form()->chatView));
        emit lp_page->Form()->chatView->anchorClicked(QUrl("http://example.invalid/x"));
        QCOMPARE(l_opened, QList<QUrl>({QUrl("http://example.invalid/x")}));
        QTRY_COMPARE(QApplication::focusWidget(), lp_page->Form()->chatEdit);
    }

    // --------------------------------------------------------- room list

    // One row per room, also for the rooms there before the page; the count
    // cell is empty for 0; the name's font shows the own role.
    void RoomRowsAndFonts()
    {
        StopPage();
        StartPage([]() { SetFlag(RoomItem("saved"), "room_autojoin", true); });
        FiveRooms();
        QCOMPARE(Rooms(), QStringList({"gamma", "delta", "epsilon", "Alpha", "beta", "saved"}));
        QCOMPARE(Column(RoomList(), 1), QStringList({"12", "7", "5", "", "3", ""}));
        QStringList l_marks;
        for (QString const& l_room : Rooms())
            l_marks << Marks(RoomRow(l_room)->font(0));
        QCOMPARE(l_marks, QStringList({"ibu", "ib-", "i--", "---", "---", "---"}));
        // An owner who is no operator loses the italic with the membership
        // and keeps the underline; the order follows the roles.
        SetFlag(RoomItem("gamma"), "is_member", false);
        QCOMPARE(Marks(RoomRow("gamma")->font(0)), QString("--u"));
        SetFlag(RoomItem("gamma"), "is_owner", false);
        QCOMPARE(Marks(RoomRow("gamma")->font(0)), QString("---"));
        QCOMPARE(Rooms(), QStringList({"delta", "epsilon", "Alpha", "beta", "gamma", "saved"}));
        SetFlag(RoomItem("beta"), "is_member", true);
        QCOMPARE(Rooms(), QStringList({"delta", "beta", "epsilon", "Alpha", "gamma", "saved"}));
        SetAttribute(RoomItem("beta"), "user_count", Value(0));
        QCOMPARE(RoomRow("beta")->text(1), QString());
    }

    void RoomSorting_data()
    {
        QTest::addColumn<SortCase>("row");
        QTest::newRow("roles, then name") << SortCase{0, Qt::AscendingOrder, {"gamma", "delta", "epsilon", "Alpha", "beta"}};
        QTest::newRow("reversed") << SortCase{0, Qt::DescendingOrder, {"beta", "Alpha", "epsilon", "delta", "gamma"}};
        QTest::newRow("users") << SortCase{1, Qt::AscendingOrder, {"Alpha", "beta", "epsilon", "delta", "gamma"}};
        QTest::newRow("users, descending") << SortCase{1, Qt::DescendingOrder, {"gamma", "delta", "epsilon", "beta", "Alpha"}};
    }

    void RoomSorting()
    {
        QFETCH(SortCase, row);
        FiveRooms();
        RoomList()->header()->setSortIndicator(row.m_column, row.m_order);
        QCOMPARE(Rooms(), row.m_names);
        // While sorted by users, a count that changes moves its row.
        SetAttribute(RoomItem("Alpha"), "user_count", Value(20));
        QCOMPARE(Rooms().indexOf("Alpha"), row.m_column == 0 ? row.m_names.indexOf("Alpha")
                                                             : row.m_order == Qt::AscendingOrder ? 4 : 0);
        // Names that differ in case only are equal.
        QTreeWidgetItem l_upper, l_lower;
        l_upper.setText(0, "ROOM");
        l_lower.setText(0, "room");
        QVERIFY(!(RoomListKey(l_upper, 0) < RoomListKey(l_lower, 0)) && !(RoomListKey(l_lower, 0) < RoomListKey(l_upper, 0)));
    }

    // A double click enters the room from the name column only; the menu
    // is for rows only and enters the row's room.
    void EnteringFromTheList()
    {
        QVERIFY(LogInToFake());
        FiveRooms();
        Rooms();
        QTreeWidget* lp_list = RoomList();
        QRect const l_beta = lp_list->visualItemRect(RoomRow("beta"));
        int const l_users = lp_list->header()->sectionViewportPosition(1) + 5;
        // A double click as the view sees it: a press, then the double click.
        auto l_doubleClick = [lp_list](QPoint const& i_point) {
            QTest::mouseClick(lp_list->viewport(), Qt::LeftButton, {}, i_point);
            QTest::mouseDClick(lp_list->viewport(), Qt::LeftButton, {}, i_point);
        };
        l_doubleClick(QPoint(l_users, l_beta.center().y()));
        QVERIFY(NoneSent(ServerCode::JOIN_ROOM));
        l_doubleClick(QPoint(5, l_beta.center().y()));
        QCOMPARE(Sent(ServerCode::JOIN_ROOM), Named("beta") + Le32(0));

        QStringList l_menus;
        auto l_choose = [&l_menus]() {
            if (QMenu* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* lp_action : lp_menu->actions())
                    l_menus << lp_action->text();
                lp_menu->actions().value(0)->trigger();
                lp_menu->close();
            }
        };
        QTimer l_chooser;
        connect(&l_chooser, &QTimer::timeout, l_choose);
        l_chooser.start(20);
        lp_list->customContextMenuRequested(QPoint(5, lp_list->viewport()->height() - 3));
        QCOMPARE(l_menus, QStringList());
        QRect const l_delta = lp_list->visualItemRect(RoomRow("delta"));
        QTest::mouseClick(lp_list->viewport(), Qt::LeftButton, {}, l_delta.center());
        lp_list->customContextMenuRequested(l_delta.center());
        QCOMPARE(l_menus, QStringList("Enter Room"));
        QCOMPARE(Sent(ServerCode::JOIN_ROOM), Named("delta") + Le32(0));
    }

    // ------------------------------------------------------------- tabs

    // A joined room gets a tab titled so that an ampersand shows as one;
    // closing it sends one leave request, and the server's answer sends
    // no other. A page the server took away sends none.
    void RoomTabs()
    {
        QVERIFY(LogInToFake());
        RoomForm* lp_page = Join("R&B");
        QVERIFY(lp_page);
        QCOMPARE(TabTitles(), QStringList("R&&B"));
        // Wall and log read "R&B" too: a tab takes "&" for a shortcut mark.
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_wall"));
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_chat_log"));
        QCOMPARE(TabTitles(), QStringList({"R&&B", "R&&B", "R&&B"}));
        emit Tabs()->tabCloseRequested(2);
        emit Tabs()->tabCloseRequested(0);
        QCOMPARE(TabTitles(), QStringList("R&&B"));
        QCOMPARE(Sent(ServerCode::LEAVE_ROOM), Named("R&B"));
        SetFlag(RoomItem("R&B"), "in_room", false);
        QVERIFY(NoneSent(ServerCode::LEAVE_ROOM));

        QVERIFY(Join("jazz"));
        SetFlag(RoomItem("jazz"), "in_room", false);
        QVERIFY(!Page("jazz"));
        QVERIFY(NoneSent(ServerCode::LEAVE_ROOM));
        QCOMPARE(TabTitles(), QStringList("R&&B"));
    }

    // Closed while offline, a room's tab opens again at the next join.
    void TabClosedOfflineOpensAgain()
    {
        QVERIFY(Join("lobby"));
        emit Tabs()->tabCloseRequested(0);
        QVERIFY(!RoomItem("lobby").IsConnected("in_room"));
        QVERIFY(Join("lobby"));
    }

    // A room whose tab was closed offline still holds the members of its
    // last join: the next join answer names them again, and each gets his
    // row on the new page.
    void JoinAgainListsEveryMember()
    {
        ServerIn::RoomJoined l_join;
        l_join.m_room = "lobby";
        for (char const* lp_name : {"me", "bob"}) {
            ServerIn::Member l_member;
            l_member.m_name = lp_name;
            l_member.m_details.m_status = STATUS_ONLINE;
            l_member.m_details.m_country = "DE";
            l_join.m_members.push_back(l_member);
        }
        for (int l_time = 0; l_time < 2; ++l_time) {
            mp_server->Apply(l_join);
            QTRY_VERIFY(Page("lobby") && !mp_server->IsApplying());
            QVERIFY2(Members(Page("lobby")) == QStringList({"bob", "me"}), qPrintable(QString::number(l_time)));
            emit Tabs()->tabCloseRequested(0);
            QVERIFY(!Page("lobby"));
        }
    }

    // The room page's toggles switch the room's flags and say so at once.
    void AutojoinAndAlertToggles()
    {
        RoomForm* lp_page = Join("lobby");
        QLineEdit* lp_entry = lp_page->Form()->chatEdit;
        QVERIFY(Focus(lp_entry));
        QCOMPARE(Shown("toggle_room_autojoin") + ", " + Shown("toggle_room_activity_alert"),
                 QString("Auto-Join [off], Activity Alert [off]"));
        QVERIFY(Trigger(lp_entry, "toggle_room_autojoin"));
        QVERIFY(Trigger(lp_entry, "toggle_room_activity_alert"));
        QVERIFY(RoomItem("lobby").IsConnected("room_autojoin") && RoomItem("lobby").IsConnected("room_activity_alert"));
        QCOMPARE(Shown("toggle_room_autojoin") + ", " + Shown("toggle_room_activity_alert"),
                 QString("Auto-Join [on], Activity Alert [on]"));
        QVERIFY(Trigger(lp_entry, "toggle_room_autojoin"));
        QCOMPARE(Shown("toggle_room_autojoin"), QString("Auto-Join [off]"));
        QVERIFY(!RoomItem("lobby").IsConnected("room_autojoin"));
    }

    // Room commands without a room act on nothing, and make no room of the
    // empty name.
    void EmptyRoomKeyDoesNothing()
    {
        std::size_t const l_rooms = d["room"]->GetItemCount();
        for (char const* lp_action : {"toggle_room_autojoin", "toggle_room_activity_alert", "room_wall",
                                      "room_chat_log", "give_up_membership", "give_up_ownership"})
            mp_page->OnToolBarActionTriggered(nullptr, lp_action);
        QCOMPARE(d["room"]->GetItemCount(), l_rooms);
        QVERIFY(d["room"]->HasItem(Value("")).IsNull());
        QCOMPARE(Tabs()->count(), 0);
    }

    // Which give-up action a room page shows follows the own roles as the
    // server tells them, also after the page came (a new private room's
    // owner is told after the join answer): roles before the join, changes
    // after it, and what the bar shows then.
    void GiveUpActionsFollowTheRoles_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("shown");
        QString const l_none = "<hidden>, <hidden>";
        QString const l_membership = "Give Up Membership, <hidden>";
        QString const l_room = "<hidden>, Give Up Room";
        QTest::newRow("owner told after the join") << QStringList() << QStringList({"+is_member", "+is_owner"}) << l_room;
        QTest::newRow("member told after the join") << QStringList() << QStringList("+is_member") << l_membership;
        QTest::newRow("operator told after the join") << QStringList() << QStringList("+is_operator") << l_membership;
        QTest::newRow("owner no more") << QStringList({"is_member", "is_owner"}) << QStringList("-is_owner")
                                       << l_membership;
        QTest::newRow("removed") << QStringList("is_member") << QStringList("-is_member") << l_none;
    }
    void GiveUpActionsFollowTheRoles()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(QString, shown);
        Item const l_room = RoomItem("den");
        for (QString const& l_role : before)
            SetFlag(l_room, l_role.toLatin1().constData(), true);
        RoomForm* lp_page = Join("den");
        QVERIFY(Focus(lp_page->Form()->chatEdit));
        for (QString const& l_change : after)
            SetFlag(l_room, l_change.mid(1).toLatin1().constData(), l_change.startsWith('+'));
        QCOMPARE(Shown("give_up_membership") + ", " + Shown("give_up_ownership"), shown);
    }

    // Which give-up action a room page shows follows the roles; each asks
    // first, and No sends nothing.
    void GiveUpGuards()
    {
        QVERIFY(LogInToFake());
        SetFlag(RoomItem("club"), "is_member", true);
        for (char const* lp_role : {"is_member", "is_owner"})
            SetFlag(RoomItem("den"), lp_role, true);
        RoomForm* lp_public = Join("pub");
        RoomForm* lp_club = Join("club");
        RoomForm* lp_den = Join("den");
        QVERIFY(Focus(lp_public->Form()->chatEdit));
        QCOMPARE(Shown("give_up_membership") + ", " + Shown("give_up_ownership"), QString("<hidden>, <hidden>"));
        QVERIFY(Focus(lp_den->Form()->chatEdit));
        QCOMPARE(Shown("give_up_membership") + ", " + Shown("give_up_ownership"), QString("<hidden>, Give Up Room"));
        QVERIFY(Focus(lp_club->Form()->chatEdit));
        QCOMPARE(Shown("give_up_membership") + ", " + Shown("give_up_ownership"), QString("Give Up Membership, <hidden>"));

        // Not the owner of "club": giving it up asks nothing.
        {
            ModalAnswerer l_unasked;
            l_unasked.Press(QMessageBox::No);
            mp_page->OnToolBarActionTriggered(nullptr, "give_up_ownership");
            QVERIFY(!l_unasked.Done());
        }
        {
            ModalAnswerer l_answers;
            l_answers.Press(QMessageBox::No);
            QVERIFY(Trigger(lp_club->Form()->chatEdit, "give_up_membership"));
            QCOMPARE(l_answers.m_texts,
                     QStringList("Are you sure you want to give up your membership to the club private room?"));
        }
        QVERIFY(NoneSent(ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP));
        {
            ModalAnswerer l_answers;
            l_answers.Press(QMessageBox::Yes);
            QVERIFY(Trigger(lp_club->Form()->chatEdit, "give_up_membership"));
            QCOMPARE(l_answers.m_titles, QStringList("Give up membership?"));
        }
        QCOMPARE(Sent(ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP), Named("club"));
        QVERIFY(NoneSent(ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP));

        // The owner of "den": his membership is not given up; his room only
        // after two yeses, and then he leaves it.
        QVERIFY(Focus(lp_den->Form()->chatEdit));
        {
            ModalAnswerer l_unasked;
            l_unasked.Press(QMessageBox::No);
            mp_page->OnToolBarActionTriggered(nullptr, "give_up_membership");
            QVERIFY(!l_unasked.Done());
        }
        for (auto const l_first : {QMessageBox::No, QMessageBox::Yes}) {
            ModalAnswerer l_answers;
            l_answers.Press(l_first);
            if (l_first == QMessageBox::Yes)
                l_answers.Press(QMessageBox::No);
            QVERIFY(Trigger(lp_den->Form()->chatEdit, "give_up_ownership"));
            QVERIFY(l_answers.Done());
        }
        QVERIFY(NoneSent(ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP) && NoneSent(ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP));
        ModalAnswerer l_answers;
        l_answers.Press(QMessageBox::Yes).Press(QMessageBox::Yes);
        QVERIFY(Trigger(lp_den->Form()->chatEdit, "give_up_ownership"));
        QCOMPARE(l_answers.m_titles, QStringList({"Give up membership?", "REALLY?"}));
        QCOMPARE(l_answers.m_texts.value(0), QString("Are you SURE you want to give up your ownership of the den private room?"));
        QCOMPARE(Sent(ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP), Named("den"));
        QCOMPARE(Sent(ServerCode::LEAVE_ROOM), Named("den"));
    }

    // A room name is never read as markup in a question.
    void QuestionsShowNamesAsText()
    {
        SetFlag(RoomItem("<b>x</b>"), "is_member", true);
        RoomForm* lp_page = Join("<b>x</b>");
        ModalAnswerer l_answers;
        Qt::TextFormat l_format = Qt::RichText;
        l_answers.Then([&l_format](QWidget* ip_box) {
            QMessageBox* lp_box = static_cast<QMessageBox*>(ip_box);
            l_format = lp_box->textFormat();
            lp_box->button(QMessageBox::No)->click();
            return true;
        });
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "give_up_membership"));
        QCOMPARE(l_format, Qt::PlainText);
    }

    // The invitation action names what a click asks for: the opposite of
    // what the server last confirmed, and after a login (which turns
    // invitations off) acceptance again.
    void InvitationActionSaysWhatItDoes()
    {
        QVERIFY(LogInToFake());
        QVERIFY(Focus(RoomList()));
        QCOMPARE(Shown("enable_private_room_add"), QString("Accept Private Room Invitations"));
        mp_fake->Write(Le32(5) + Le32(ServerCode::PRIVATE_ROOM_ADD_ENABLED) + QByteArray(1, '\x01'));
        QTRY_COMPARE(GetSetting("enable_private_room_add"), QString("yes"));
        QCOMPARE(Shown("enable_private_room_add"), QString("Reject Private Room Invitations"));
        QVERIFY(Trigger(RoomList(), "enable_private_room_add"));
        QCOMPARE(Sent(ServerCode::PRIVATE_ROOM_ADD_ENABLED), QByteArray(1, '\x00'));

        mp_server->Disconnect();
        QVERIFY(LogInToFake());
        QCOMPARE(GetSetting("enable_private_room_add"), QString("no"));
        QCOMPARE(Shown("enable_private_room_add"), QString("Accept Private Room Invitations"));
        QVERIFY(Trigger(RoomList(), "enable_private_room_add"));
        QCOMPARE(Sent(ServerCode::PRIVATE_ROOM_ADD_ENABLED), QByteArray(1, '\x01'));
    }

    // Refreshing asks for the list; the dialog creates or enters a room by
    // its trimmed name, private when ticked, and only with a name.
    void CreatingAndRefreshing()
    {
        QVERIFY(LogInToFake());
        QVERIFY(Trigger(RoomList(), "refresh_room_list"));
        QCOMPARE(Sent(ServerCode::ROOM_LIST), QByteArray());
        QCOMPARE(GetSetting("accept_room_list"), QString("yes"));

        QVERIFY(Trigger(RoomList(), "create_room"));
        QPointer<CreateRoomDialog> lp_dialog = createRoomDialog;
        QVERIFY(lp_dialog && lp_dialog->isVisible());
        lp_dialog->Form()->roomNameEdit->setText("   ");
        lp_dialog->Form()->createRoomButton->click();
        QVERIFY(NoneSent(ServerCode::JOIN_ROOM));
        QVERIFY(lp_dialog->isVisible());
        // Closing only hides it, with its text.
        lp_dialog->Form()->roomNameEdit->setText(" my den ");
        lp_dialog->close();
        QVERIFY(Trigger(RoomList(), "create_room"));
        QCOMPARE(createRoomDialog, lp_dialog.data());
        QCOMPARE(lp_dialog->Form()->roomNameEdit->text(), QString(" my den "));
        lp_dialog->Form()->createPrivateCheckBox->setChecked(true);
        lp_dialog->Form()->createRoomButton->click();
        QCOMPARE(Sent(ServerCode::JOIN_ROOM), Named("my den") + Le32(1));
        QVERIFY(!createRoomDialog);
        QTRY_VERIFY(!lp_dialog);

        QVERIFY(Trigger(RoomList(), "create_room"));
        QVERIFY(createRoomDialog && createRoomDialog->Form()->roomNameEdit->text().isEmpty());
        createRoomDialog->Form()->roomNameEdit->setText("lounge");
        createRoomDialog->Form()->createRoomButton->click();
        QCOMPARE(Sent(ServerCode::JOIN_ROOM), Named("lounge") + Le32(0));
    }

    // ------------------------------------------------------------- wall

    // Newest first on alternating rows; a ticker's text and its user's
    // name are words, never markup.
    void WallOrderAndMarkup()
    {
        QVERIFY(RoomWallTickers(RoomItem("empty")).empty());
        Item const l_room = RoomItem("lobby");
        auto l_ticker = [&l_room](char const* ip_user, char const* ip_text, int i_order) {
            Item const l_item = d["room_ticker"]->NewItem();
            l_item += l_room;
            l_item += UserItem(ip_user);
            l_item += d["room_ticker_text"]->GetItem(Value(ip_text));
            l_item += d["room_ticker_order"]->GetItem(Value(i_order));
        };
        l_ticker("ann", "first", 5);
        l_ticker("<i>eve</i>", "<b>bold</b> & co", 9);
        l_ticker("cy", "second", 7);

        RoomWallForm l_wall("lobby");
        auto const l_rows = [&l_wall]() {
            QStringList l_shown;
            for (QTextBlock l_row = l_wall.Form()->textBrowser->document()->begin(); l_row.isValid(); l_row = l_row.next())
                l_shown << l_row.blockFormat().background().color().name() + ' ' + l_row.text();
            return l_shown;
        };
        QTRY_VERIFY(!l_wall.IsDrawing());
        QCOMPARE(l_rows(), QStringList({"#ffffff <b>bold</b> & co -<i>eve</i>", "#d3d3d3 second -cy", "#ffffff first -ann"}));
        // A new ticker shows at the top, once its time has come.
        l_ticker("dan", "newest", 10);
        QTRY_COMPARE(l_rows().value(0), QString("#ffffff newest -dan"));
        QCOMPARE(l_wall.Form()->textBrowser->textCursor().position(), 0);
        // A ticker taken away goes from the wall.
        d["room_ticker_text"]->HasItem(Value("first")).GetItems("room_ticker").Remove();
        QTRY_COMPARE(l_rows().size(), 3);
        QCOMPARE(l_rows().last(), QString("#ffffff second -cy"));
    }

    // A ticker shows in one line of at most 256 counted characters (a
    // change of script or direction counting 9), with a place to break
    // after 128 letters of a word; a longer one ends in an ellipsis. The
    // wall shows the newest 1,000 tickers, drawn a row per step.
    void WallBounds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QChar const l_break(0x200B);
        QString const l_turns = QString::fromUtf8("a\xd7\x90").repeated(200);
        QTest::newRow("short") << "hi there" << "hi there";
        QTest::newRow("lines") << "one\ntwo" << "one two";
        QTest::newRow("256 letters") << QString(256, 'w') << QString(128, 'w') + l_break + QString(128, 'w');
        QTest::newRow("131,000 letters") << QString(131000, 'w') << QString(128, 'w') + l_break + QString(128, 'w') + "\u2026";
        // 1 + 9 x 28 = 253 counted.
        QTest::newRow("Latin and Hebrew in turn") << l_turns << l_turns.left(29) + "\u2026";
    }

    void WallBounds()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(RoomWallText(text), shown);
        if (QTest::currentDataTag() != QLatin1String("131,000 letters"))
            return;
        Item const l_room = RoomItem("lobby");
        for (int l_k = 0; l_k < 1002; ++l_k) {
            Item const l_ticker = d["room_ticker"]->NewItem();
            l_ticker += l_room;
            l_ticker += UserItem(QString("u%1").arg(l_k));
            l_ticker += d["room_ticker_text"]->GetItem(Value(l_k % 100 == 0 ? text : QString("t%1").arg(l_k)));
            l_ticker += d["room_ticker_order"]->GetItem(Value(l_k));
        }
        SlicedWork::SetSliceMs(0);
        RoomWallForm l_wall("lobby");
        QTextDocument const* lp_shown = l_wall.Form()->textBrowser->document();
        QCOMPARE(lp_shown->toPlainText(), QString("t1001 -u1001"));
        QTRY_VERIFY(!l_wall.IsDrawing());
        SlicedWork::SetSliceMs(10);
        QCOMPARE(lp_shown->blockCount(), 1000);
        QCOMPARE(lp_shown->firstBlock().text(), QString("t1001 -u1001"));
        QCOMPARE(lp_shown->lastBlock().text(), QString("t2 -u2"));
        QCOMPARE(lp_shown->findBlockByNumber(101).text(), shown + " -u900");
    }

    // The entry sets the own ticker trimmed; blanks send nothing and stay;
    // offline the text stays for another try. One wall per room.
    void WallEntryAndTab()
    {
        QVERIFY(LogInToFake());
        RoomForm* lp_page = Join("lobby");
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_wall"));
        RoomWallForm* lp_wall = qobject_cast<RoomWallForm*>(Tabs()->currentWidget());
        QVERIFY(lp_wall);
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_wall"));
        QCOMPARE(Tabs()->count(), 2);
        QCOMPARE(Tabs()->currentWidget(), lp_wall);
        QLineEdit* lp_entry = lp_wall->Form()->lineEdit;
        lp_entry->setText("   ");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QVERIFY(NoneSent(ServerCode::SET_ROOM_TICKER));
        QCOMPARE(lp_entry->text(), QString("   "));
        lp_entry->setText("  hi there ");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(Sent(ServerCode::SET_ROOM_TICKER), Named("lobby") + Named("hi there"));
        QVERIFY(lp_entry->text().isEmpty());
        mp_server->Disconnect();
        lp_entry->setText("later");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(lp_entry->text(), QString("later"));

        // Closed, its binding goes; the next command opens a fresh wall.
        emit Tabs()->tabCloseRequested(Tabs()->indexOf(lp_wall));
        QVERIFY(RoomItem("lobby")["room_wall_form"].IsNull());
        QVERIFY(Trigger(lp_page->Form()->chatEdit, "room_wall"));
        QCOMPARE(Tabs()->count(), 2);
    }

    // ------------------------------------------------ through the stand-in

    // With the stand-in server and a second user: the room list, a room's
    // members and count as they come and go; then a private room that the
    // other user creates, where he adds us and makes us an operator, and
    // whose membership we give up, after which its count is not ours.
    void ThroughTheStandinServer()
    {
        LineProcess l_standin("stand-in server");
        QVERIFY(l_standin.Start(QStringLiteral(STANDIN_SERVER_PATH), {"0"}));
        QRegularExpressionMatch const l_listening = l_standin.Await("^listening on port (\\d+)$");
        QVERIFY(l_listening.hasMatch());
        quint16 const l_port = quint16(l_listening.captured(1).toUInt());
        RawClient l_bob;
        QVERIFY(l_bob.Login(l_port, "bob"));
        l_standin.Send("country bob DE");
        QVERIFY(l_standin.Await("command: country of bob set to \"DE\"$").hasMatch());
        l_bob.Send(ServerOut::JoinRoom("lobby", false));
        PointAt(l_port, "me", "pw");
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        QVERIFY(l_connected.wait(WAIT_MS));

        QVERIFY(Trigger(RoomList(), "refresh_room_list"));
        QTRY_VERIFY(RoomRow("lobby") && RoomRow("lobby")->text(1) == "1");
        mp_page->OnRoomListItemDoubleClicked(RoomRow("lobby"), 0);
        QTRY_VERIFY(Page("lobby"));
        RoomForm* lp_lobby = Page("lobby");
        QTRY_COMPARE(Members(lp_lobby), QStringList({"bob", "me"}));
        QCOMPARE(RoomRow("lobby")->text(1), QString("2"));
        QCOMPARE(UserItem("bob")["country_code"].AsString() + UserItem("me")["country_code"].AsString(), QString("DE"));
        QVERIFY(!MemberRow(lp_lobby, "bob")->icon(MEMBER_FLAG).isNull());
        // A line each way, shown and logged on our side once the server
        // has sent it back; bob gets ours as the server passes it on.
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        lp_lobby->Form()->chatEdit->setText("hello bob");
        QTest::keyClick(lp_lobby->Form()->chatEdit, Qt::Key_Return);
        QByteArray l_line;
        QVERIFY(l_bob.mp_collector->Take(ServerCode::ROOM_CHAT, &l_line));
        QCOMPARE(l_line, Named("lobby") + Named("me") + Named("hello bob"));
        l_bob.Send(ServerOut::RoomChat("lobby", "  hi there  "));
        QTRY_COMPARE(lp_lobby->Form()->chatView->toPlainText(), QString("[me] hello bob\n[bob] hi there"));
        QFile l_log(QDir::homePath() + "/Quillmar Chat Logs/Rooms/lobby.log");
        QVERIFY(l_log.open(QIODevice::ReadOnly));
        QVERIFY(QRegularExpression("^\\[[^]]+\\]\\[me\\] hello bob\n\\[[^]]+\\]\\[bob\\] hi there\n$")
                    .match(QString::fromUtf8(l_log.readAll()))
                    .hasMatch());
        l_bob.Send(ServerOut::LeaveRoom("lobby"));
        QTRY_COMPARE(Members(lp_lobby), QStringList("me"));
        QCOMPARE(RoomRow("lobby")->text(1), QString("1"));

        l_bob.Send(ServerOut::JoinRoom("den", true));
        l_bob.Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_ADD_MEMBER, "den", "me"));
        l_bob.Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_ADD_OPERATOR, "den", "me"));
        QTRY_VERIFY(RoomRow("den") && Marks(RoomRow("den")->font(0)) == "ib-");
        QCOMPARE(Rooms().first(), QString("den"));
        mp_page->OnRoomListItemDoubleClicked(RoomRow("den"), 0);
        QTRY_VERIFY(Page("den"));
        RoomForm* lp_den = Page("den");
        QTRY_COMPARE(Members(lp_den), QStringList({"bob", "me"}));
        QCOMPARE(Marks(MemberRow(lp_den, "bob")->font(MEMBER_NAME)) + Marks(MemberRow(lp_den, "me")->font(MEMBER_NAME)),
                 QString("-bu-b-"));
        ModalAnswerer l_answers;
        l_answers.Press(QMessageBox::Yes);
        QVERIFY(Trigger(lp_den->Form()->chatEdit, "give_up_membership"));
        QTRY_COMPARE(Marks(RoomRow("den")->font(0)), QString("---"));
        QVERIFY(!RoomItem("den").IsConnected("is_member") && !RoomItem("den").IsConnected("is_operator"));
        QCOMPARE(l_standin.Count(" recv 136 from me "), 1);
        // No longer a member, no longer in it: the room holds bob alone, and
        // a room list that leaves it out (it is not ours) empties its count.
        QTRY_VERIFY(!Page("den"));
        QCOMPARE(RoomRow("den")->text(1), QString("1"));
        QVERIFY(Trigger(RoomList(), "refresh_room_list"));
        QTRY_COMPARE(RoomRow("den")->text(1), QString());
        QCOMPARE(RoomRow("lobby")->text(1), QString("1"));
        mp_server->Disconnect();
    }

    // ------------------------------------------------- administrator message

    // One dialog for every message: the newest shown with its arrival time,
    // markup as such; the last twenty listed, newest first, to be read again.
    void AdminMessages()
    {
        QPointer<AdminMessageDialog> lp_dialog = new AdminMessageDialog("<b>maintenance</b> at noon");
        Ui_AdminMessageDialog* lp_ui = lp_dialog->Form();
        lp_dialog->show();
        QCOMPARE(lp_ui->textEdit->toPlainText(), QString("maintenance at noon"));
        QVERIFY(lp_ui->textEdit->document()->toHtml().contains("font-weight:600"));
        QCOMPARE(lp_dialog->windowTitle(), QString("QuillmarQt Admin Message"));
        QVERIFY(QRegularExpression("^[A-Z][a-z]{2} \\d{1,2} \\d{1,2}:\\d\\d:\\d\\d [ap]m$")
                    .match(lp_ui->timeEdit->text())
                    .hasMatch());
        QVERIFY(lp_ui->timeEdit->isReadOnly());
        QVERIFY(!lp_ui->messageBox->isVisible());

        for (int l_message = 2; l_message <= 25; ++l_message)
            lp_dialog->AddMessage(QString("message %1").arg(l_message));
        QTRY_COMPARE(lp_ui->textEdit->toPlainText(), QString("message 25"));
        QVERIFY(lp_ui->messageBox->isVisible());
        QCOMPARE(lp_ui->messageBox->count(), 20);
        QVERIFY(lp_ui->messageBox->itemText(0).startsWith("25. "));
        QVERIFY(lp_ui->messageBox->itemText(19).startsWith("6. "));
        emit lp_ui->messageBox->activated(19);
        QCOMPARE(lp_ui->textEdit->toPlainText(), QString("message 6"));
        QCOMPARE(lp_ui->timeEdit->text(), lp_ui->messageBox->itemText(19).section(". ", 1));
        lp_dialog->AddMessage("newest");
        QTRY_COMPARE(lp_ui->textEdit->toPlainText(), QString("newest"));
        QCOMPARE(lp_ui->messageBox->currentIndex(), 0);
        lp_dialog->close();
        QTRY_VERIFY(!lp_dialog);
    }

    // Nothing a message names is opened or drawn, by any name, as a picture,
    // a background or a style sheet; nor by a ticker on the wall.
    void AdminMessagesAndWallLoadNothing()
    {
        BaitFolder l_baits;
        QStringList l_loaded;
        auto const l_check = [&](QString const& i_text, QWidget* ip_view) {
            QCoreApplication::processEvents();
            QStringList const l_opened = l_baits.Opened();
            if (!l_opened.isEmpty() || RedPixels(ip_view) > 0)
                l_loaded << i_text + " (opened: " + l_opened.join(", ") + ")";
        };
        AdminMessageDialog l_later("first");
        l_later.resize(300, 200);
        l_later.show();
        for (QString const& l_text : l_baits.HostileTexts()) {
            AdminMessageDialog l_dialog(l_text);
            l_dialog.resize(300, 200);
            l_dialog.show();
            l_check(l_text, l_dialog.Form()->textEdit->viewport());
            l_later.AddMessage(l_text);
            emit l_later.Form()->messageBox->activated(0);
            l_check(l_text, l_later.Form()->textEdit->viewport());
        }

        Item const l_room = RoomItem("lobby");
        for (QString const& l_text : l_baits.HostileTexts()) {
            Item const l_ticker = d["room_ticker"]->NewItem();
            l_ticker += l_room;
            l_ticker += UserItem(l_text);
            l_ticker += d["room_ticker_text"]->GetItem(Value(l_text));
        }
        RoomWallForm l_wall("lobby");
        l_wall.resize(600, 4000);
        l_wall.show();
        l_check("the wall", l_wall.Form()->textBrowser->viewport());
        QCOMPARE(l_loaded, QStringList());
    }
};

QTEST_MAIN(RoomsPageTest)
#include "RoomsPageTest.moc"
