// The distributed search tree over loopback: real sockets handed to the
// manager as the peer messenger hands them, the server link talking to an
// in-test server that records what it is told, and a clock of the test's.
// Frames are written out by hand.

#include "SharesFixture.h"
#include "../peers/PeerTestSupport.h"
#include "../server/ServerTestHelpers.h"
#include "../transfers/TransfersFixture.h"

#include "peers/PeerMessenger.h"
#include "shares/DNetManager.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QtTest>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace {

QByteArray Framed(Wire const& i_message)
{
    return Wire().U32(quint32(i_message.m_bytes.size())).Raw(i_message.m_bytes).m_bytes;
}

QByteArray Search(char const* ip_user = "bob", quint32 i_token = 7, char const* ip_query = "song")
{
    return Framed(Wire().U8(3).U32(49).Str(ip_user).U32(i_token).Str(ip_query));
}

QByteArray Level(qint32 i_level)
{
    return Framed(Wire().U8(4).U32(quint32(i_level)));
}

QByteArray Leader(char const* ip_leader)
{
    return Framed(Wire().U8(5).Str(ip_leader));
}

// Whether exactly these bytes are the next to arrive. What came before
// them, however late, is among the bytes compared; what comes after them
// is left for the next call to see before its own.
bool Receives(QTcpSocket& io_socket, QByteArray const& i_bytes)
{
    WaitUntil([&io_socket, &i_bytes]() { return io_socket.bytesAvailable() >= i_bytes.size(); });
    return io_socket.read(i_bytes.size()) == i_bytes;
}

} // namespace

class DNetTest : public QObject, public FakeLink
{
    Q_OBJECT
private slots:
    void init()
    {
        ResetStore();
        StartFake();
        SetSetting("username", QStringLiteral("me"));
        mp_messenger = std::make_unique<PeerMessenger>();
        mp_dnet = std::make_unique<DNetManager>();
        mp_dnet->SetClock([this] { return m_now; });
        QVERIFY(LogIn());
        QCOMPARE(ServerSays(ServerCode::DNET_HAS_PARENT), QByteArray(1, '\0'));
    }

    void cleanup()
    {
        mp_dnet.reset();
        mp_messenger.reset();
        m_ends.clear();
        StopFake();
        d.Reset();
    }

    void Frames_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<int>("searches");
        QTest::addColumn<bool>("open");
        // Distinct searches: one that comes again is not counted again.
        QByteArray const l_search = Search();
        QByteArray const l_next = Search("bob", 8);
        QByteArray const l_largest = Framed(Wire().U8(3).U32(50).Raw(QByteArray(65536 - 5, 'x')));
        auto const l_row = [](char const* ip_name, QList<QByteArray> const& i_writes, int i_searches, bool i_open,
                              QByteArray const& i_before = QByteArray()) {
            QTest::newRow(ip_name) << i_before << i_writes << i_searches << i_open;
        };
        l_row("two frames in one read", {l_search + l_next}, 2, true);
        l_row("split in the length", {l_search.left(2), l_search.mid(2)}, 1, true);
        l_row("split in the message", {l_search.left(9), l_search.mid(9)}, 1, true);
        l_row("a frame and a half, then the rest", {l_search + l_next.left(6), l_next.mid(6)}, 2, true);
        l_row("64 KiB, the largest", {l_search + l_largest}, 1, true);
        // More than the socket's read buffer holds at once, ending mid-frame.
        auto const l_long = [](quint32 i_token) {
            return Framed(Wire().U8(3).U32(49).Str("bob").U32(i_token).Str(QByteArray(40000, 'q')));
        };
        QByteArray const l_longs = l_long(1) + l_long(2) + l_long(3);
        l_row("three 40 KB searches at once", {l_longs}, 3, true);
        // More than that waiting before the hand-over, the last frame unfinished.
        l_row("120 KB before the hand-over", {l_long(4).mid(100)}, 4, true, l_longs + l_long(4).left(100));
        l_row("zero length", {l_search + Wire().U32(0).m_bytes}, 1, false);
        l_row("over 64 KiB", {Wire().U32(65537).U8(3).m_bytes}, 0, false);
        l_row("search cut short", {Framed(Wire().U8(3).U32(49).Str("bob").U32(7))}, 0, false);
        l_row("unknown code", {Framed(Wire().U8(99)) + l_search}, 1, true);
    }

    void Frames()
    {
        QFETCH(QByteArray, before);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(int, searches);
        QFETCH(bool, open);
        QSignalSpy l_search(mp_dnet.get(), &DNetManager::DNetSearchRequest);
        auto lp_candidate = Connect("dad", false, before);
        // Each piece is read by the manager's end before the next is written.
        for (int l_piece = 0; l_piece < writes.size(); ++l_piece) {
            lp_candidate->write(writes.at(l_piece));
            if (l_piece + 1 < writes.size())
                QVERIFY(ReadByManager(*lp_candidate));
        }
        QVERIFY(open ? StaysOpen(*lp_candidate) : AwaitClosed(*lp_candidate));
        QTRY_COMPARE(l_search.count(), searches);
        if (searches > 0)
            QCOMPARE(l_search.at(0).at(0), QVariant("bob"));
    }

    // A parent's life: candidates tell their level and leader, the first to
    // deliver a search is adopted, what it and the server send down reaches the
    // children as it came, and once silent for a minute it is dropped.
    void ParentLife()
    {
        RoomForChildren();
        auto lp_child = Connect("kid", true);
        auto lp_dad = Connect("dad", false);
        auto lp_uncle = Connect("uncle", false);
        lp_dad->write(Level(3) + Leader("boss"));
        QTRY_COMPARE(d.GetType("dnet_candidate_leader")->GetItemCount(), size_t(1));
        QCOMPARE(d.GetType("dnet_candidate_level")->GetItems().begin()->AsString(), QString("4"));
        lp_dad->write(Search());
        QVERIFY(Receives(*lp_child, Level(4) + Leader("boss") + Search()));
        QCOMPARE(ServerSays(ServerCode::DNET_LEVEL), Wire().U32(4).m_bytes);
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("boss").m_bytes);
        QCOMPARE(ServerSays(ServerCode::DNET_HAS_PARENT), QByteArray(1, '\1'));
        QVERIFY(AwaitClosed(*lp_uncle));

        // A search in the server's form reaches the children without the bytes
        // before it; levels and leaders in the server's form are not ours.
        QSignalSpy l_search(mp_dnet.get(), &DNetManager::DNetSearchRequest);
        for (QByteArray const& l_message : {Search("eve", 9, "tune"), Level(8), Leader("other")})
            mp_fake->Send(ServerCode::DNET_MESSAGE, MemStream(l_message.mid(4)));
        QVERIFY(Receives(*lp_child, Search("eve", 9, "tune")));
        QCOMPARE(l_search.count(), 1);

        lp_dad->write(Level(5));
        QVERIFY(Receives(*lp_child, Level(6)));
        QCOMPARE(ServerSays(ServerCode::DNET_LEVEL), Wire().U32(6).m_bytes);
        // Repeats change nothing; a level with no level after it is refused:
        // neither the child nor the server hears of them before the level
        // and leader that follow them.
        lp_dad->write(Level(5) + Leader("boss") + Level(0x7FFFFFFF) + Level(-2));
        lp_dad->write(Level(-1) + Leader("chief"));
        QVERIFY(Receives(*lp_child, Level(-1) + Leader("chief")));
        QCOMPARE(ServerSays(ServerCode::DNET_LEVEL), Wire().U32(quint32(-1)).m_bytes);
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("chief").m_bytes);

        // Another sub-code is passed on unread, and is no sign of life: a
        // minute after the last search the parent is dropped.
        QByteArray const l_other = Framed(Wire().U8(3).U32(50).Str("opaque"));
        m_now += 59000;
        lp_dad->write(l_other);
        QVERIFY(Receives(*lp_child, l_other));
        QCOMPARE(l_search.count(), 1);
        mp_dnet->EveryHalfMinute();
        QVERIFY(StaysOpen(*lp_dad));
        // A clock that goes back an hour makes the silence count from then.
        m_now -= 3600 * 1000;
        mp_dnet->EveryHalfMinute();
        QVERIFY(StaysOpen(*lp_dad));
        m_now += 61000;
        mp_dnet->EveryHalfMinute();
        QVERIFY(AwaitClosed(*lp_dad));
        QCOMPARE(ServerSays(ServerCode::DNET_HAS_PARENT), QByteArray(1, '\0'));
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("").m_bytes);
        QCOMPARE(ServerSays(ServerCode::DNET_LEVEL), Wire().U32(quint32(-1)).m_bytes);
        QVERIFY(Parent("mum", Search("eve", 10, "tune")));
        QCOMPARE(d.GetType("dnet_global")->HasItem(Value("dnet_parent_user"))["dnet_value"].AsString(), QString("mum"));
    }

    void CanParent_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("ratio");
        QTest::addColumn<int>("speed");
        QTest::addColumn<int>("children");
        QTest::addColumn<QByteArray>("sent");
        QByteArray const l_yes(1, '\1');
        QByteArray const l_none("(nothing)");
        QTest::newRow("minimum speed not received") << -1 << 10 << 102400 << 0 << l_none;
        QTest::newRow("ratio not received") << 1 << -1 << 102400 << 0 << l_none;
        QTest::newRow("one below the minimum") << 5 << 10 << 5 * 1024 - 1 << 0 << l_none;
        QTest::newRow("at the minimum") << 5 << 10 << 5 * 1024 << 0 << l_yes;
        QTest::newRow("99 children of 100") << 0 << 10 << 102400 << 99 << l_yes;
        QTest::newRow("100 children of 100") << 0 << 10 << 102400 << 100 << l_none;
        QTest::newRow("ratio 0: no children") << 0 << 0 << 102400 << 0 << l_none;
        QTest::newRow("highest speed") << 0 << 1 << 0x7FFFFFFF << 0 << l_yes;
    }

    // Children are counted by their store items, as the server's answer is.
    void CanParent()
    {
        QFETCH(int, minimum);
        QFETCH(int, ratio);
        QFETCH(int, speed);
        QFETCH(int, children);
        QFETCH(QByteArray, sent);
        for (int l_child = 0; l_child < children; ++l_child)
            d.GetType("dnet_child")->GetItem(Value(l_child + 1)) += d.GetType("user")->GetItem(Value(l_child));
        SetSetting("upload_speed", qint64(speed));
        if (minimum != -1)
            mp_dnet->OnDNetParentMinSpeed(minimum);
        if (ratio != -1)
            mp_dnet->OnDNetParentSpeedConnectionRatio(ratio);
        if (sent == "(nothing)")
            QVERIFY(mp_fake->SentNone(ServerCode::DNET_CAN_PARENT));
        else
            QCOMPARE(ServerSays(ServerCode::DNET_CAN_PARENT), sent);
    }

    void CanParentAfterLogin()
    {
        RoomForChildren();
        QCOMPARE(ServerSays(ServerCode::DNET_CAN_PARENT), QByteArray(1, '\1'));
        emit mp_server->Connected();
        QCOMPARE(ServerSays(ServerCode::DNET_HAS_PARENT), QByteArray(1, '\0'));
        QCOMPARE(ServerSays(ServerCode::DNET_CAN_PARENT), QByteArray(1, '\1'));
        SetSetting("upload_speed", qint64(100));
        QCOMPARE(ServerSays(ServerCode::DNET_CAN_PARENT), QByteArray(1, '\0'));
        emit mp_server->Connected();
        QCOMPARE(ServerSays(ServerCode::DNET_HAS_PARENT), QByteArray(1, '\0'));
        QVERIFY(mp_fake->SentNone(ServerCode::DNET_CAN_PARENT));
    }

    void Children()
    {
        RoomForChildren(205); // room for 2
        auto lp_parent = Connect("dad", false);
        lp_parent->write(Level(2) + Leader("boss") + Search());
        QTRY_VERIFY(mp_dnet->HasParent());
        auto lp_first = Connect("kid1", true);
        QVERIFY(Receives(*lp_first, Level(3) + Leader("boss")));
        auto lp_second = Connect("kid2", true);
        auto lp_third = Connect("kid3", true);
        QVERIFY(AwaitClosed(*lp_third));
        // The same child again replaces its old connection.
        auto lp_again = Connect("kid1", true);
        QVERIFY(AwaitClosed(*lp_first));
        QVERIFY(StaysOpen(*lp_again));
        QCOMPARE(mp_dnet->ChildCount(), 2);

        auto l_depth = [](qint32 i_depth) { return Framed(Wire().U8(7).U32(quint32(i_depth))); };
        lp_again->write(l_depth(0));
        QCOMPARE(ServerSays(ServerCode::DNET_CHILD_DEPTH), QByteArray(1, '\1'));
        lp_second->write(l_depth(2) + l_depth(-1) + Framed(Wire().U8(9)));
        QCOMPARE(ServerSays(ServerCode::DNET_CHILD_DEPTH), QByteArray(1, '\1'));
        QVERIFY(StaysOpen(*lp_second));
        QCOMPARE(d.GetType("dnet_global")->HasItem(Value("dnet_child_depth"))["dnet_value"].AsString(), QString("3"));
        lp_second->write(Framed(Wire().U8(7)));
        QVERIFY(AwaitClosed(*lp_second));
        QTRY_COMPARE(mp_dnet->ChildCount(), 1);
    }

    void ChildThatDoesNotReadIsDropped()
    {
        RoomForChildren();
        auto lp_child = Connect("sleepy", true);
        lp_child->setReadBufferSize(1);
        auto lp_parent = Parent();
        QVERIFY(lp_parent);
        // The parent's bytes are kept coming, but never more than the
        // backlog that drops a child: it is the child's backlog that grows.
        QByteArray const l_bulk = Framed(Wire().U8(3).U32(50).Raw(QByteArray(60000, 'x')));
        int l_frames = 0;
        QVERIFY(WaitUntil([&] {
            while (l_frames < 2000 && lp_parent->bytesToWrite() < DNetManager::MAX_CHILD_BACKLOG) {
                lp_parent->write(l_bulk);
                ++l_frames;
            }
            return mp_dnet->ChildCount() == 0;
        }));
    }

    void PossibleParents()
    {
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        QTcpServer l_parents;
        QVERIFY(l_parents.listen(QHostAddress::LocalHost, 0));
        TCPAddress const l_address{LocalIp(), l_parents.serverPort()};
        PossibleParentList l_list{{"me", l_address}, {"dad", l_address}};
        emit mp_server->DNetPossibleParents(l_list);
        PeerWire::Handshake l_handshake;
        auto lp_dad = AcceptHandshake(l_parents, l_handshake);
        QVERIFY(lp_dad);
        QCOMPARE(l_handshake.m_user, QString("me"));
        QCOMPARE(l_handshake.m_type, QString("D"));
        Item const l_dad = d.GetType("user")->HasItem(Value("dad"));
        QVERIFY(l_dad.IsConnected("attempted_dnet_connection"));
        QCOMPARE(l_dad["user_address"].AsUInt64(), quint64(LocalIp()));
        QTRY_COMPARE(d.GetType("dnet_parent_candidate")->GetItemCount(), size_t(1));
        QVERIFY(d.GetType("user")->HasItem(Value("me")).IsNull());

        // Tried once per run: of the same list again only the one not yet
        // tried is (aunt's attempt, made after dad's would have been, is the
        // marker); and no list is read while we have a parent.
        QTcpServer l_aunts;
        QVERIFY(l_aunts.listen(QHostAddress::LocalHost, 0));
        l_list.push_back({"aunt", TCPAddress{LocalIp(), l_aunts.serverPort()}});
        emit mp_server->DNetPossibleParents(l_list);
        QVERIFY(AcceptHandshake(l_aunts, l_handshake));
        QVERIFY(!l_parents.waitForNewConnection(0));
        lp_dad->write(Search());
        QTRY_VERIFY(mp_dnet->HasParent());
        PossibleParentList l_later{{"mum", l_address}};
        emit mp_server->DNetPossibleParents(l_later);
        QVERIFY(d.GetType("user")->HasItem(Value("mum")).IsNull());
    }

    // A candidate below us is never adopted, and a search that comes round
    // again is answered and passed on once: either would have two clients pass
    // every search between them without end.
    void NoLoops()
    {
        RoomForChildren();
        auto lp_child = Connect("kid", true);
        auto lp_childAsCandidate = Connect("kid", false);
        auto lp_grandchild = Connect("far", false);
        lp_grandchild->write(Leader("me"));
        QTRY_COMPARE(d.GetType("dnet_candidate_leader")->GetItemCount(), size_t(1));
        QSignalSpy l_search(mp_dnet.get(), &DNetManager::DNetSearchRequest);
        mp_fake->Send(ServerCode::DNET_MESSAGE, MemStream(Search().mid(4)));
        QVERIFY(Receives(*lp_child, Search()));
        for (QTcpSocket* lp_candidate : {lp_childAsCandidate.get(), lp_grandchild.get()}) {
            lp_candidate->write(Search());
            QVERIFY(AwaitClosed(*lp_candidate));
        }
        QVERIFY(!mp_dnet->HasParent() && StaysOpen(*lp_child));

        auto lp_dad = Parent("dad", Search("eve", 9, "tune"));
        QVERIFY(lp_dad && Receives(*lp_child, Search("eve", 9, "tune")));
        lp_dad->write(Search() + Search("eve", 9, "tune") + Search("eve", 10, "tune"));
        QVERIFY(Receives(*lp_child, Search("eve", 10, "tune")) && NothingMore(*lp_dad, *lp_child));
        QCOMPARE(l_search.count(), 3);
    }

    // Searches reach the children at once, however long answering them
    // takes: answers follow in slices (here one answer a slice), each in a
    // turn of the event loop of its own. A searcher whose name is no user
    // name is passed on but not answered.
    void RelayGoesFirst()
    {
        RoomForChildren();
        auto lp_child = Connect("kid", true);
        auto lp_dad = Parent();
        QVERIFY(lp_dad);
        // Each answer a slice of its own; the test counts the turns of the
        // event loop to see them apart.
        mp_dnet->SetAnswerSlice(0);
        int l_turn = 0;
        QObject l_listening; // the connections end with the test
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &l_listening,
                [&l_turn] { ++l_turn; });
        QByteArray l_searches;
        for (quint32 l_token = 100; l_token < 120; ++l_token)
            l_searches += Search("bob", l_token);
        l_searches += Search(" bob", 7);
        QByteArray const l_relayed = Search() + l_searches;
        std::vector<int> l_answerTurns;
        std::size_t l_waitingAtFirst = 0;
        qint64 l_arrivedAtLast = 0;
        connect(mp_dnet.get(), &DNetManager::DNetSearchRequest, &l_listening, [&] {
            if (l_answerTurns.empty())
                l_waitingAtFirst = mp_dnet->WaitingSearchCount();
            l_answerTurns.push_back(l_turn);
            if (l_answerTurns.size() == 20) {
                while (lp_child->waitForReadyRead(0)) {
                }
                l_arrivedAtLast = lp_child->bytesAvailable();
            }
        });
        lp_dad->write(l_searches);
        // The child's end is not read until the answers are over.
        QTRY_COMPARE(l_answerTurns.size(), std::size_t(20));
        QCOMPARE(mp_dnet->WaitingSearchCount(), std::size_t(0));
        // All were read and waiting before the first answer, and all had
        // reached the child before the last.
        QCOMPARE(l_waitingAtFirst, std::size_t(19));
        QCOMPARE(l_arrivedAtLast, qint64(l_relayed.size()));
        QVERIFY2(std::adjacent_find(l_answerTurns.begin(), l_answerTurns.end()) == l_answerTurns.end(),
                 "two answers in one turn of the event loop");
        QVERIFY(Receives(*lp_child, l_relayed) && NothingMore(*lp_dad, *lp_child));
        QCOMPARE(l_answerTurns.size(), std::size_t(20));
    }

    // A parent may change the group leader as often as it likes: the server
    // hears the latest leader once a second; a leader that is no user name
    // is ignored; a leader replaced leaves no item behind.
    void LeaderReports()
    {
        auto lp_dad = Parent();
        QVERIFY(lp_dad);
        QByteArray l_changes;
        for (int l_change = 0; l_change < 100; ++l_change)
            l_changes += Leader(l_change % 2 ? "ann" : "bea");
        l_changes += Leader("cid") + Leader("thirty-one-bytes-are-one-too-ma") + Leader(" dan");
        lp_dad->write(l_changes);
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("bea").m_bytes);
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("cid").m_bytes);
        // Nothing more before the report of the next change: no report of
        // the refused names, nor the same leader again.
        lp_dad->write(Leader("eve"));
        QCOMPARE(ServerSays(ServerCode::DNET_GROUP_LEADER), Wire().Str("eve").m_bytes);
        // The parent's name, its socket and the leader.
        QCOMPARE(d.GetType("dnet_value")->GetItemCount(), std::size_t(3));
    }

private:
    // The test's end of a loopback connection whose other end the manager
    // now owns, as a candidate (parent connection) or as a child.

    // i_before arrives before the hand-over, as bytes sent with the handshake do.
    std::unique_ptr<QTcpSocket> Connect(QString const& i_user, bool i_asChild, QByteArray const& i_before = {})
    {
        auto [lp_local, lp_remote] = ConnectedPair();
        lp_remote->write(i_before);
        // The event loop writes them and reads them into the socket's buffer
        // (waiting on the near socket alone left them in the far one's).
        WaitUntil([lp_local = lp_local, &i_before]() { return lp_local->bytesAvailable() >= i_before.size(); });
        m_ends[lp_remote.get()] = lp_local;
        if (i_asChild)
            mp_dnet->OnDNetConnectionRequested(i_user, lp_local);
        else
            mp_dnet->OnDNetConnectionAccepted(i_user, lp_local);
        return std::move(lp_remote);
    }

    // Whether the manager still holds its end of the connection once it has
    // read and handled all the test wrote on it and the event loop has come
    // round (a close it put off would have come before).
    bool StaysOpen(QTcpSocket& io_socket)
    {
        return ReadByManager(io_socket)
               && WaitUntil([&]() { return !ManagerHolds(io_socket) || m_ends[&io_socket]->bytesAvailable() == 0; })
               && LoopComesRound() && ManagerHolds(io_socket) && io_socket.state() == QAbstractSocket::ConnectedState;
    }

    bool ManagerHolds(QTcpSocket& i_socket)
    {
        QPointer<QTcpSocket> const& lp_end = m_ends[&i_socket];
        return lp_end && lp_end->state() == QAbstractSocket::ConnectedState;
    }

    // Whether the manager's end has read all the test wrote on it (false
    // as soon as that end is closed).
    bool ReadByManager(QTcpSocket& io_socket)
    {
        if (!ManagerHolds(io_socket))
            return false;
        qintptr const l_descriptor = m_ends[&io_socket]->socketDescriptor();
        WaitUntil([&]() { return !ManagerHolds(io_socket) || OffTheWire(io_socket, l_descriptor); });
        return ManagerHolds(io_socket) && OffTheWire(io_socket, l_descriptor);
    }

    // Whether the child gets nothing more before a marker the parent sends
    // now: a message of a sub-code passed on unread, which is no search.
    bool NothingMore(QTcpSocket& io_parent, QTcpSocket& io_child)
    {
        QByteArray const l_marker = Framed(Wire().U8(3).U32(50).Str("marker"));
        io_parent.write(l_marker);
        return Receives(io_child, l_marker);
    }

    // A candidate that delivers a search and so becomes the parent.
    std::unique_ptr<QTcpSocket> Parent(QString const& i_user = QStringLiteral("dad"),
                                       QByteArray const& i_search = Search())
    {
        auto lp_parent = Connect(i_user, false);
        QSignalSpy l_search(mp_dnet.get(), &DNetManager::DNetSearchRequest);
        lp_parent->write(i_search);
        if (!l_search.wait(WAIT_MS) || !mp_dnet->HasParent())
            return nullptr;
        return lp_parent;
    }

    void RoomForChildren(qint32 i_speed = 1 << 20)
    {
        SetSetting("upload_speed", qint64(i_speed));
        mp_dnet->OnDNetParentMinSpeed(0);
        mp_dnet->OnDNetParentSpeedConnectionRatio(1);
    }

    QByteArray ServerSays(quint32 i_code)
    {
        QByteArray l_payload;
        if (!mp_fake->mp_collector->Take(i_code, &l_payload))
            return "(nothing)";
        return l_payload;
    }

    qint64 m_now = 1000000;
    std::map<QTcpSocket*, QPointer<QTcpSocket>> m_ends; // the test's end of a connection, the manager's
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<DNetManager> mp_dnet;
};

QTEST_MAIN(DNetTest)
#include "DNetTest.moc"
