// What the Rooms page keeps and how long its big changes hold the window:
// the room list holds the rooms the user knows for themselves and a bounded
// number of those only room lists named, whatever a server lists; a room of
// many members ends (the server taking us out, or its tab closed) over many
// turns of the event loop, not in one. Driven through the server link's
// Apply, as it applies each decoded message; slices of one step, so that
// the turns can be counted.

#include "RoomsFixture.h"

#include "store/SlicedWork.h"
#include "ui/chat/RoomRows.h"
#include "ui/chat/SortedRows.h"

#include <QtEndian>

namespace {

// A string as requests carry it: its length (32 bits, little-endian), then
// its bytes.
QByteArray Named(QByteArray const& i_name)
{
    quint32 const l_size = qToLittleEndian(quint32(i_name.size()));
    return QByteArray(reinterpret_cast<char const*>(&l_size), 4) + i_name;
}

ServerIn::RoomList List(QStringList const& i_public, QStringList const& i_member = {})
{
    ServerIn::RoomList l_list;
    for (QString const& l_name : i_public)
        l_list.m_public.push_back({l_name, 3});
    for (QString const& l_name : i_member)
        l_list.m_member.push_back({l_name, 2});
    return l_list;
}

} // namespace

class RoomsBoundsTest : public QObject, public RoomsFixture
{
    Q_OBJECT

    bool Settled() const { return !mp_server->IsApplying() && mp_page->RoomOrder()->IsSettled(); }
    void Apply(ServerMessage const& i_message)
    {
        mp_server->Apply(i_message);
        QVERIFY(TurnsUntil([this]() { return Settled(); }) >= 0);
    }
    void ApplyList(ServerIn::RoomList const& i_list)
    {
        SetSetting("accept_room_list", QStringLiteral("yes"));
        Apply(i_list);
    }
    void JoinBig(int i_members)
    {
        ServerIn::RoomJoined l_join;
        l_join.m_room = "big";
        for (int l_k = 0; l_k < i_members; ++l_k) {
            ServerIn::Member l_member;
            l_member.m_name = QString("member%1").arg(l_k);
            l_member.m_details.m_status = STATUS_ONLINE;
            l_join.m_members.push_back(l_member);
        }
        mp_server->Apply(l_join);
        QVERIFY(TurnsUntil([this]() {
                    return Settled() && Page("big") && Page("big")->MemberOrder()->IsSettled();
                }) >= 0);
        QCOMPARE(Page("big")->Form()->userList->topLevelItemCount(), i_members);
    }

private slots:
    void init()
    {
        StartPage();
        SlicedWork::SetSliceMs(0);
    }
    void cleanup()
    {
        SlicedWork::SetSliceMs(10);
        Server::SetMostListedRooms(Server::MAX_LISTED_ROOMS);
        StopPage();
        QTRY_COMPARE(RowsAwaitingDeletion(), std::size_t(0));
    }

    // Lists of four rooms at most (besides the own ones) in a row, each
    // naming other rooms: the list shows the last list's rooms and the
    // rooms the user knows for himself, never more. Own rooms: one joined
    // and left, one auto-joined, one whose wall is open; a private room of
    // which the user is a member only while the lists say so.
    void RoomListKeepsOwnRoomsAndBoundsTheRest()
    {
        Server::SetMostListedRooms(4);
        Apply(ServerIn::RoomJoined{"joined", {}});
        Apply(ServerIn::RoomLeft{"joined"});
        SetFlag(RoomItem("auto"), "room_autojoin", true);
        RoomItem("walled") += d["room_wall_form"]->GetItem(Value("1"));
        struct Case
        {
            QStringList m_public, m_member;
            QStringList m_rows;
        };
        QStringList const l_own = {"auto", "joined", "walled"};
        Case const l_cases[] = {
            // The member list first, then the public one in its order; past
            // four, only own rooms are taken.
            {{"a1", "a2", "a3", "a4", "joined", "a5", "auto"}, {"priv"}, {"priv", "a1", "a2", "a3", "auto", "joined", "walled"}},
            // What the next list leaves out goes, but for the own rooms.
            {{"b1", "joined", "b2"}, {}, {"auto", "b1", "b2", "joined", "walled"}},
            {{"c1", "c2", "c3", "c4", "c5", "c6"}, {"priv"}, {"priv", "auto", "c1", "c2", "c3", "joined", "walled"}},
            {{"d1", "d2", "d3", "d4", "d5", "d6"}, {}, {"auto", "d1", "d2", "d3", "d4", "joined", "walled"}},
            {{}, {}, {"auto", "joined", "walled"}},
        };
        for (Case const& l_case : l_cases) {
            ApplyList(List(l_case.m_public, l_case.m_member));
            QCOMPARE(Rooms(), l_case.m_rows);
            // The rooms themselves go with their rows.
            QCOMPARE(d["room"]->GetItemCount(), std::size_t(l_case.m_rows.size()));
            QCOMPARE(d["room_node"]->GetItemCount(), std::size_t(l_case.m_rows.size()));
        }
        // An own room that a list left out shows no count; one it gave, its
        // count.
        QCOMPARE(RoomRow("auto")->text(1), QString());
        ApplyList(List({"joined"}));
        QCOMPARE(RoomRow("joined")->text(1), QString("3"));
    }

    // Names of thousands of characters in both lists: a row shows the
    // name's start (it is laid out at every paint), keeps the whole name
    // for its key, its look-ups and its tool tip, and sorts by the whole.
    void LongNamesShowTheirStartAndKeepTheWhole()
    {
        QString const l_long = QString(30, 'b') + QString("\u05D0\u05B8").repeated(2200);
        QString const l_longRoom = QString(25, 'r') + QString(3300, 'x');
        QString const l_shown = QString(20, 'b') + "\u2026";
        ServerIn::RoomJoined l_join;
        l_join.m_room = l_longRoom;
        for (QString const& l_name : {QString("zed"), l_long, QString(31, 'b'), QString("alice")}) {
            ServerIn::Member l_member;
            l_member.m_name = l_name;
            l_member.m_details.m_status = STATUS_ONLINE;
            l_join.m_members.push_back(l_member);
        }
        Apply(l_join);
        ApplyList(List({"m", l_longRoom, "s"}));
        RoomForm* lp_page = Page(l_longRoom);
        QVERIFY(lp_page);
        QCOMPARE(Members(lp_page), QStringList({"alice", l_shown, l_shown, "zed"}));
        QTreeWidget* lp_list = lp_page->Form()->userList;
        // By the whole name: the Hebrew after the 30th "b" sorts after the
        // 31st "b".
        QCOMPARE(CellName(*lp_list->topLevelItem(1), MEMBER_NAME), QString(31, 'b'));
        QCOMPARE(CellName(*lp_list->topLevelItem(2), MEMBER_NAME), l_long);
        QCOMPARE(CellName(*lp_list->topLevelItem(3), MEMBER_NAME), QString("zed"));
        QVERIFY(lp_list->topLevelItem(2)->toolTip(MEMBER_NAME).contains(l_long));
        QCOMPARE(lp_list->topLevelItem(3)->toolTip(MEMBER_NAME), QString());
        QCOMPARE(Rooms(), QStringList({"m", QString(20, 'r') + "\u2026", "s"}));
        QCOMPARE(CellName(*RoomList()->topLevelItem(1), 0), l_longRoom);
        // The count of the long-named room reached its row through the whole
        // name.
        QCOMPARE(RoomList()->topLevelItem(1)->text(1), QString("3"));
    }

    // A room of 400 members that the server takes us out of: its page goes
    // at once, its members' links in a later turn, its rows over many.
    void EndedByTheServerOverManyTurns()
    {
        JoinBig(400);
        mp_server->Apply(ServerIn::RoomLeft{"big"});
        QVERIFY(!Page("big"));
        QCOMPARE(RowsAwaitingDeletion(), std::size_t(400));
        QVERIFY(RoomItem("big").CountItems("user") > 0);
        int const l_turns = TurnsUntil(
            [this]() { return RowsAwaitingDeletion() == 0 && RoomItem("big").CountItems("user") == 0 && Settled(); });
        QVERIFY2(l_turns > 100, qPrintable(QString::number(l_turns)));
        QVERIFY(!RoomItem("big").IsConnected("in_room"));
    }

    // The same room's tab closed while logged in: the page goes at once,
    // the leave request goes out, its rows go over many turns; the answer
    // then unlinks the members in a later turn.
    void ClosedTabOverManyTurns()
    {
        QVERIFY(LogInToFake());
        JoinBig(400);
        mp_page->OnRoomTabClosed(Tabs()->indexOf(Page("big")));
        QVERIFY(!Page("big"));
        QCOMPARE(RowsAwaitingDeletion(), std::size_t(400));
        // Counted before the request is awaited: that wait turns the event
        // loop too, as many times as a busy machine makes it.
        int const l_turns = TurnsUntil([]() { return RowsAwaitingDeletion() == 0; });
        QVERIFY2(l_turns > 100, qPrintable(QString::number(l_turns)));
        QCOMPARE(Sent(ServerCode::LEAVE_ROOM), Named("big"));
        mp_server->Apply(ServerIn::RoomLeft{"big"});
        QVERIFY(RoomItem("big").CountItems("user") > 0);
        QVERIFY(TurnsUntil([this]() { return RoomItem("big").CountItems("user") == 0 && Settled(); }) > 0);
    }
};

QTEST_MAIN(RoomsBoundsTest)
#include "RoomsBoundsTest.moc"
