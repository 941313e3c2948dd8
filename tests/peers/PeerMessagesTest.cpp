// Peer messages on a messaging connection: every decoded message reaches
// its signal, search answers reach the store, and what must not act does
// not: share lists nobody asked for, answers past a search's cap, malformed
// or refused messages, a peer that does not read.

#include "HostileShareLists.h"
#include "PeerTestSupport.h"
#include "peers/PeerMessenger.h"
#include "store/Settings.h"
#include "store/SlicedWork.h"
#include "store/TimerManager.h"

#include <QtTest>

class PeerMessagesTest : public QObject
{
    Q_OBJECT

private:
    PeerMessenger* mp_messenger = nullptr;
    std::unique_ptr<QTcpSocket> mp_alice; // an open, trusted messaging connection as "alice"
    qint64 m_now = 1'000'000'000'000;
    PeerMessenger::ShareListReply m_lateReply;

    void Send(QByteArray const& i_message) { mp_alice->write(PeerWire::BuildFrame(i_message, false)); }

    // Sends a message and waits until the messenger has handled it (the
    // user-information request that follows is answered by a signal).
    void SendAndSettle(QByteArray const& i_message)
    {
        QSignalSpy l_marker(mp_messenger, &PeerMessenger::UserInfoRequested);
        Send(i_message);
        Send(Msg(15));
        QVERIFY(l_marker.wait(WAIT_MS));
    }

    QByteArray NextFrame()
    {
        QByteArray l_payload;
        return AwaitFrame(*mp_alice, l_payload) ? l_payload : QByteArray("<none>");
    }

    void Reconnect()
    {
        mp_alice = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(mp_alice);
        mp_alice->write(HandshakeFrame("alice", "P"));
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("alice") >= 1);
    }

    // The values of an item's attributes, "-" for those it has not.
    static QString Fields(Item const& i_item, std::initializer_list<char const*> i_names)
    {
        QStringList l_values;
        for (char const* lp_name : i_names)
            l_values << (i_item[lp_name].IsNull() ? QString("-") : i_item[lp_name].AsString());
        return l_values.join(' ');
    }

    Item NewSearch(quint32 i_token)
    {
        Item l_request = d.GetType("search_request")->GetItem(Value(i_token));
        l_request += d.GetType("search_request_text")->GetItem(Value("song"));
        return l_request;
    }

private slots:
    void initTestCase()
    {
        DeclareSettingsTypes();
        SetSetting("username", QString("me"));
        SetSetting("listening_port", qint64(0));
        SetSetting("transfer_req_counter", qint64(4294967295ll));
        mp_messenger = new PeerMessenger;
        // Sweeps run when the test says, on the test's clock.
        TimerManager::Obj()->m_halfMinuteTimer.stop();
        mp_messenger->SetClock([this]() { return m_now; });
        EnsureFlag("user", "is_ignored");
        mp_messenger->DataLoaded();
        SetUserAddress("alice", ClosedPort());
        Reconnect();
    }

    void cleanupTestCase()
    {
        mp_alice.reset();
        delete mp_messenger;
        // A share list that is ready only now has nobody to go to.
        if (m_lateReply)
            m_lateReply(Msg(5, "late"));
    }

    void everyMessageReachesItsSignal()
    {
        QStringList l_seen;
        auto S = [](std::string const& i_text) { return QString::fromStdString(i_text); };
        PeerMessenger* p = mp_messenger;
        connect(p, &PeerMessenger::UserInfoReceived, this, [&](QString u, QString, bool, char* pic, int n, int, int, bool) {
            l_seen << "16 " + u + " " + QString::fromLatin1(pic, n);
        });
        connect(p, &PeerMessenger::SharedFilesInFolderRequested, this,
                [&](QString u, quint32 t, QString f) { l_seen << QString("36 %1 %2 ").arg(t).arg(u) + f; });
        connect(p, &PeerMessenger::FileTransferRequested, this,
                [&](QString u, int, uint t, std::string f, qint64) { l_seen << QString("40 %1 %2 ").arg(t).arg(u) + S(f); });
        connect(p, &PeerMessenger::FileTransferResponse, this,
                [&](QString u, uint t, bool, bool, qint64, QString r) { l_seen << QString("41 %1 %2 ").arg(t).arg(u) + r; });
        connect(p, &PeerMessenger::QueueUploadRequested, this, [&](QString u, QString f) { l_seen << "43 " + u + " " + f; });
        connect(p, &PeerMessenger::DownloadPlaceInLine, this,
                [&](QString u, std::string f, int n) { l_seen << QString("44 %1 %2 ").arg(n).arg(u) + S(f); });
        connect(p, &PeerMessenger::UploadFailed, this, [&](QString u, std::string f) { l_seen << "46 " + u + " " + S(f); });
        connect(p, &PeerMessenger::UploadDenied, this,
                [&](QString u, std::string f, QString r) { l_seen << "50 " + u + " " + S(f) + " " + r; });
        connect(p, &PeerMessenger::UploadPlaceInLineRequested, this,
                [&](QString u, QString f) { l_seen << "51 " + u + " " + f; });
        connect(p, &PeerMessenger::QueueDownloadRequested, this,
                [&](QString u, std::string f, qint64 n) { l_seen << QString("60 %1 %2 ").arg(n).arg(u) + S(f); });
        connect(p, &PeerMessenger::FolderContentsReceived, this, [&](QString u, quint32 t, std::string f, FileInfoMap& m) {
            l_seen << QString("37 %1 %2 %3 ").arg(t).arg(m.size()).arg(u) + S(f);
        });
        for (QByteArray const& l_message : WHOLE_MESSAGES)
            Send(l_message);
        // Folder contents are read only as the answer to our request.
        MemStream l_ask(Msg(36, H("09000000 03000000") + "m\\a"));
        mp_messenger->SendMessage("alice", l_ask);
        QCOMPARE(NextFrame(), l_ask.ToByteArray());
        SendAndSettle(Msg(37, Zlib(FOLDER_RECORD)));
        QCOMPARE(l_seen, QStringList({"16 alice PNG", "36 9 alice a\\b", "40 77 alice x\\y", "41 7 alice Cancelled",
                                      "43 alice q\\r", "44 4 alice q\\r", "46 alice q\\s", "50 alice q\\t Banned",
                                      "51 alice q\\u", "60 42 alice q\\v", "37 9 1 alice m\\a"}));
        disconnect(p, nullptr, this, nullptr);
    }

    // The transfer token comes from the stored counter, which wraps as an
    // unsigned 32-bit number; what is sent is the encoder's, framed.
    void transferTokensWrap()
    {
        QCOMPARE(mp_messenger->RequestUpload("alice", "x", 1), quint32(4294967295u));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("0"));
        QCOMPARE(NextFrame(), H("28000000 01000000 ffffffff 01000000 78 0100000000000000"));
        QCOMPARE(mp_messenger->RequestUpload("alice", "x", 1), quint32(0));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("1"));
        NextFrame();
    }

    // A share list is read only as the answer to our request, once, within
    // ten minutes; anything else is dropped before it is inflated.
    void shareLists()
    {
        QStringList l_shares;
        connect(mp_messenger, &PeerMessenger::UserShare, this, [&](QString i_user, FileInfoMap& i_share) {
            l_shares << QString("%1 %2").arg(i_user).arg(i_share.size());
        });
        // Unasked, even a bomb is never inflated: the connection stays.
        SendAndSettle(Msg(5, Zlib(QByteArray(20 * 1024 * 1024, '\0'))));
        SendAndSettle(Msg(5, Zlib(SHARE_RECORD)));
        QVERIFY(l_shares.isEmpty());
        mp_messenger->GetUserSharedFiles("alice");
        QCOMPARE(NextFrame(), H("04000000"));
        SendAndSettle(Msg(5, Zlib(SHARE_RECORD)));
        SendAndSettle(Msg(5, Zlib(SHARE_RECORD))); // one answer per request
        QCOMPARE(l_shares, QStringList({"alice 2"}));
        mp_messenger->GetUserSharedFiles("alice");
        NextFrame();
        m_now += PeerMessenger::REQUEST_ANSWER_TIME + 1;
        SendAndSettle(Msg(5, Zlib(SHARE_RECORD)));
        QCOMPARE(l_shares.size(), 1);
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
        disconnect(mp_messenger, &PeerMessenger::UserShare, this, nullptr);

        // Our share list is the provider's, made for the user who asks; a
        // large one is compressed on a worker, and goes out when it is ready.
        QString l_askedFor;
        PeerMessenger::SetShareListProvider([&](QString const& i_user, PeerMessenger::ShareListReply i_reply) {
            l_askedFor = i_user;
            m_lateReply = i_reply;
        });
        SendAndSettle(Msg(4));
        PeerMessenger::SetShareListProvider({});
        QVERIFY(m_lateReply && l_askedFor == "alice");
        m_lateReply(Msg(5, "list"));
        QCOMPARE(NextFrame(), Msg(5, "list"));
    }

    // An answer reaches the store under its search; the first pair of an
    // attribute code counts ((2, 1), then (0, 128) twice); folders are split
    // off at the last separator.
    void searchResultIntake()
    {
        Item l_request = NewSearch(1001);
        std::vector<Item> l_results;
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&](Item i_item) { l_results.push_back(i_item); });
        Send(Msg(9, Zlib(ANSWER_RECORD)));
        Send(AnswerMessage(1001));
        QTRY_COMPARE(l_results.size(), std::size_t(2));
        disconnect(mp_messenger, &PeerMessenger::SearchResults, this, nullptr);
        QCOMPARE(l_request.GetItems("search_results").size(), std::size_t(2));
        QVERIFY(l_results.at(0).IsConnected(l_request));
        QStringList l_stored;
        for (Item const& l_answer : l_results) {
            l_stored << Fields(l_answer, {"user", "search_results_user_available", "search_results_user_speed",
                                          "search_results_uploads_in_queue"});
            for (Item const& l_file : l_answer.GetItems("search_result"))
                l_stored << Fields(l_file, {"search_result_file_name", "search_result_file_folder", "file_size",
                                            "bitrate", "bitrate_mode", "length_seconds"});
        }
        l_stored.sort();
        QCOMPARE(l_stored, QStringList({"a.mp3  5 - - -", "a.mp3 m 5000 320 vbr -", "alice yes 123456 3",
                                        "alice yes 123456 3", "b.mp3  9 128 vbr -", "b.mp3 m 5000 320 vbr -"}));
    }

    // Unknown, stopped, from an ignored user, a repeat under
    // "discard_repeated_results", the same files again from the same user
    // for the same search, or past the search's cap: dropped.
    void searchResultsDropped()
    {
        int l_results = 0;
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&](Item) { ++l_results; });
        Item l_alice = d.GetType("user")->GetItem(Value("alice"));
        SetFlag(NewSearch(2001), "search_stopped", true);
        NewSearch(2002);
        SetFlag(l_alice, "is_ignored", true);
        for (quint32 l_token : {2000u, 2001u, 2002u})
            SendAndSettle(AnswerMessage(l_token));
        SetFlag(l_alice, "is_ignored", false);
        QCOMPARE(l_results, 0);

        Item l_wish = d.GetType("wish_list_item")->GetItem(Value("song"));
        SetFlag(l_wish, "discard_repeated_results", true);
        NewSearch(2003) += l_wish;
        NewSearch(2004) += l_wish;
        SendAndSettle(AnswerMessage(2003));
        SendAndSettle(AnswerMessage(2004));
        QCOMPARE(l_results, 1);
        QVERIFY(l_wish["received_results_from_users"].IsConnected(l_alice));

        NewSearch(2005);
        for (int l_time = 0; l_time < 2; ++l_time)
            SendAndSettle(AnswerMessage(2005));
        SendAndSettle(AnswerMessage(2005, 2, 'c'));
        QCOMPARE(l_results, 3);
        disconnect(mp_messenger, &PeerMessenger::SearchResults, this, nullptr);

        // Answers are taken until a search holds its cap of files; the one
        // that would pass it and all later ones are dropped. Others go on.
        PeerMessenger::Limits l_limits;
        l_limits.m_maxSearchFiles = 5;
        mp_messenger->SetLimits(l_limits);
        Item l_flooded = NewSearch(3001);
        Item l_other = NewSearch(3002);
        for (int l_answer = 0; l_answer < 4; ++l_answer)
            Send(AnswerMessage(3001, 2, char('a' + 2 * l_answer)));
        SendAndSettle(AnswerMessage(3001, 1));
        QCOMPARE(l_flooded.GetItems("search_results").size(), std::size_t(2));
        SendAndSettle(AnswerMessage(3002, 2));
        QCOMPARE(l_other.GetItems("search_results").size(), std::size_t(1));
        mp_messenger->SetLimits(PeerMessenger::Limits());
    }

    // Folder contents nobody asked for, and answers to no live search, are
    // dropped before their files are inflated or read: bodies that would
    // close the connection leave it open.
    void unaskedAnswersDroppedUnread()
    {
        int l_taken = 0;
        connect(mp_messenger, &PeerMessenger::FolderContentsReceived, this, [&]() { ++l_taken; });
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&]() { ++l_taken; });
        connect(mp_messenger, &PeerMessenger::UserShare, this, [&]() { ++l_taken; });
        SendAndSettle(Msg(37, Zlib(QByteArray(20 * 1024 * 1024, '\0'))));
        QByteArray const l_badFiles = Msg(9, Zlib(H("05000000") + "alice" + Le32(4004) + H("ffffff00")));
        SendAndSettle(l_badFiles);
        NewSearch(4005);
        SendAndSettle(l_badFiles); // another search is live, not this one
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
        NewSearch(4004);
        Send(l_badFiles);
        QVERIFY(AwaitClosed(*mp_alice));
        disconnect(mp_messenger, nullptr, this, nullptr);
        QCOMPARE(l_taken, 0);
        Reconnect();
    }

    // A share list we asked for is read in slices while it inflates (a step
    // a slice here): the event loop turns while it is read, and a list past
    // a bound ends as soon as it passes it, with the reason, the
    // connection kept.
    void shareListsReadInSlices_data()
    {
        using namespace HostileShareLists;
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("200,000 files") << ManyFiles(200000) << "taken: 2000 folders";
        QTest::newRow("names of 131,000 bytes")
            << LongNames(40, 131000) << "refused: holds a name of 131,000 bytes, longer than any file system allows (1,024)";
        QTest::newRow("2,100 levels")
            << DeepChain(2100) << "refused: holds a folder 2,049 levels deep, deeper than any file system allows (2,048)";
        // 6,000,000 names of 9 bytes: 54 MB with no folder.
        QTest::newRow("attribute-name bomb") << NameTableBomb(6000000)
                                             << "refused: names 6,000,000 attributes after 0 entries";
        QTest::newRow("a NUL in a name") << ListRecord(1, Folder("a", {File(QByteArray("x\0y", 3))}))
                                         << "refused: names a file with a NUL byte";
    }

    void shareListsReadInSlices()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, outcome);
        QString l_outcome;
        connect(mp_messenger, &PeerMessenger::UserShare, this,
                [&](QString, FileInfoMap& i_share) { l_outcome = QString("taken: %1 folders").arg(i_share.size()); });
        connect(mp_messenger, &PeerMessenger::ShareListRefused, this,
                [&](QString, QString i_reason) { l_outcome = "refused: " + i_reason; });
        int l_turns = 0;
        QTimer l_tick;
        connect(&l_tick, &QTimer::timeout, this, [&]() { l_turns += mp_messenger->ShareListsBeingRead(); });
        l_tick.start(0);
        SlicedWork::SetSliceMs(0);
        mp_messenger->GetUserSharedFiles("alice");
        QCOMPARE(NextFrame(), H("04000000"));
        Send(Msg(5, Zlib(record)));
        QTRY_VERIFY_WITH_TIMEOUT(!l_outcome.isEmpty(), 60000);
        SlicedWork::SetSliceMs(10);
        disconnect(mp_messenger, nullptr, this, nullptr);
        QCOMPARE(l_outcome, outcome);
        QVERIFY(l_turns > 0);
        QCOMPARE(mp_messenger->ShareListsBeingRead(), 0);
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
    }

    // A share list nobody asked for is dropped as its bytes arrive: a frame
    // of 45 MiB never gathers in our buffers, and the link goes on.
    void unaskedFrameDroppedAsItArrives()
    {
        int l_taken = 0;
        connect(mp_messenger, &PeerMessenger::UserShare, this, [&]() { ++l_taken; });
        qint64 l_peak = 0;
        QTimer l_watch;
        connect(&l_watch, &QTimer::timeout, this, [&]() { l_peak = qMax(l_peak, mp_messenger->BufferedBytes()); });
        l_watch.start(1);
        qint64 const l_length = 45 * 1024 * 1024;
        QByteArray const l_piece(1024 * 1024, 'z');
        mp_alice->write(Le32(quint32(l_length)) + Le32(5));
        for (qint64 l_sent = 4; l_sent < l_length; l_sent += l_piece.size()) {
            mp_alice->write(l_piece.constData(), qMin<qint64>(l_piece.size(), l_length - l_sent));
            QTRY_VERIFY(mp_alice->bytesToWrite() < l_piece.size());
        }
        QSignalSpy l_marker(mp_messenger, &PeerMessenger::UserInfoRequested);
        Send(Msg(15));
        QVERIFY(l_marker.wait(WAIT_MS));
        disconnect(mp_messenger, nullptr, this, nullptr);
        QCOMPARE(l_taken, 0);
        QVERIFY2(l_peak <= 4 * 1024 * 1024, qPrintable(QString::number(l_peak)));
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
    }

    // 100,000 unknown messages in one write, each logged (diagnostics on):
    // they are handled in slices. With a slice of nothing, a turn of the
    // event loop reads a frame or two, so the flood takes tens of thousands
    // of turns; handled a read at a time, it took one turn a read (some
    // tens), each holding the loop for thousands of messages.
    void floodKeepsTheLoopTurning()
    {
        SetSwitch("show_diagnostics", true);
        PeerMessenger::Limits l_limits;
        l_limits.m_readSliceMs = 0;
        mp_messenger->SetLimits(l_limits);
        QByteArray const l_frame = PeerWire::BuildFrame(Msg(99, H("01020304")), false);
        QByteArray l_flood;
        l_flood.reserve(100001 * l_frame.size());
        for (int l_message = 0; l_message < 100000; ++l_message)
            l_flood += l_frame;
        l_flood += PeerWire::BuildFrame(Msg(15), false);
        int l_turns = 0;
        QTimer l_tick;
        connect(&l_tick, &QTimer::timeout, this, [&]() { ++l_turns; });
        l_tick.start(0);
        QSignalSpy l_done(mp_messenger, &PeerMessenger::UserInfoRequested);
        mp_alice->write(l_flood);
        QVERIFY(l_done.wait(4 * WAIT_MS));
        l_tick.stop();
        mp_messenger->SetLimits(PeerMessenger::Limits());
        SetSwitch("show_diagnostics", false);
        QVERIFY2(l_turns >= 100000 / 4, qPrintable(QString("%1 turns").arg(l_turns)));
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
    }

    // The links with frames waiting in one turn share one slice of reading:
    // a turn of the event loop reads one link's frames until the slice is
    // spent, and one more frame from the zero timers of those left, however
    // many links wait. A slice of nothing ends after one frame; so does a
    // slice that each frame's handling spends whole, which a clock of its
    // own for each link would restart.
    void linksShareOneReadSlice_data()
    {
        QTest::addColumn<int>("sliceMs");
        QTest::addColumn<int>("handlingMs");
        QTest::newRow("a slice of nothing") << 0 << 0;
        QTest::newRow("a slice each frame spends") << 5 << 5;
    }

    void linksShareOneReadSlice()
    {
        QFETCH(int, sliceMs);
        QFETCH(int, handlingMs);
        int const l_linkCount = 20;
        int const l_framesEach = 10;
        std::vector<std::unique_ptr<QTcpSocket>> l_links;
        for (int l_link = 0; l_link < l_linkCount; ++l_link) {
            QString const l_name = QString("peer%1").arg(l_link);
            SetUserAddress(l_name, ClosedPort());
            l_links.push_back(ConnectRaw(mp_messenger->ListeningPort()));
            QVERIFY(l_links.back());
            l_links.back()->write(HandshakeFrame(l_name, "P"));
            QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount(l_name) >= 1);
        }
        PeerMessenger::Limits l_limits;
        l_limits.m_readSliceMs = sliceMs;
        mp_messenger->SetLimits(l_limits);
        int l_total = 0;
        int l_sinceTick = 0;
        int l_most = 0;
        QObject l_counting; // the counts end with the test
        connect(mp_messenger, &PeerMessenger::UserInfoRequested, &l_counting, [&]() {
            ++l_total;
            ++l_sinceTick;
            // Time passes however busy the machine: a slower one spends
            // the slice sooner, never later.
            QElapsedTimer l_handling;
            l_handling.start();
            while (l_handling.elapsed() < handlingMs) {
            }
        });
        QTimer l_tick;
        connect(&l_tick, &QTimer::timeout, &l_counting, [&]() {
            l_most = qMax(l_most, l_sinceTick);
            l_sinceTick = 0;
        });
        l_tick.start(0);
        QByteArray l_frames;
        for (int l_frame = 0; l_frame < l_framesEach; ++l_frame)
            l_frames += PeerWire::BuildFrame(Msg(15), false);
        for (auto const& lp_link : l_links) {
            lp_link->write(l_frames);
            lp_link->flush();
        }
        QTRY_COMPARE_WITH_TIMEOUT(l_total, l_linkCount * l_framesEach, WAIT_MS);
        l_tick.stop();
        mp_messenger->SetLimits(PeerMessenger::Limits());
        QVERIFY2(l_most <= 2, qPrintable(QString::number(l_most)));
    }

    // A malformed message closes its connection; a refused value drops the
    // message alone. Neither reaches a signal.
    void connectionsThatGo()
    {
        int l_emitted = 0;
        connect(mp_messenger, &PeerMessenger::DownloadPlaceInLine, this, [&]() { ++l_emitted; });
        SendAndSettle(Msg(44, H("01000000") + "f" + H("00000080")));
        Send(Msg(44, H("01000000") + "f"));
        QVERIFY(AwaitClosed(*mp_alice));
        disconnect(mp_messenger, nullptr, this, nullptr);
        QCOMPARE(l_emitted, 0);
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 0);
        Reconnect();

        // A peer that keeps asking for our share list and never reads the
        // answers is dropped before their backlog grows without end; others
        // are not affected.
        QByteArray const l_list(8 * 1024 * 1024, 'x');
        PeerMessenger::SetShareListProvider(
            [&](QString const&, PeerMessenger::ShareListReply i_reply) { i_reply(Le32(5) + l_list); });
        SetUserAddress("greedy", ClosedPort());
        auto lp_greedy = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_greedy);
        lp_greedy->setReadBufferSize(1024); // what it does not take stays in the kernel
        lp_greedy->write(HandshakeFrame("greedy", "P"));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("greedy"), 1);
        // Twice the largest frame, and the kernel's buffers on top.
        int l_requests = int(2 * qint64(PeerWire::MAX_MESSAGE_LENGTH) / l_list.size()) + 8;
        for (int l_request = 0; l_request < l_requests; ++l_request)
            lp_greedy->write(PeerWire::BuildFrame(Msg(4), false));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("greedy"), 0);
        // Nor does the backlog move into the queue of unsent messages.
        QCOMPARE(mp_messenger->UnsentMessageCount("greedy"), 0);
        PeerMessenger::SetShareListProvider({});
        mp_messenger->GetUserInfo("alice");
        QCOMPARE(NextFrame(), Msg(15));
    }
};

QTEST_GUILESS_MAIN(PeerMessagesTest)
#include "PeerMessagesTest.moc"
