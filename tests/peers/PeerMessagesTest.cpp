// Peer messages on a messaging connection: the exact bytes of every sender,
// every incoming message's signal, the search-result intake, hostile
// payloads, and the port forwarder's thread.

#include "PeerTestSupport.h"

#include "peers/PeerMessenger.h"
#include "peers/PortForwarder.h"
#include "server/SearchTypes.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <QNetworkInterface>

#include <zlib.h>

namespace {

QByteArray Compressed(QByteArray const& i_record)
{
    QByteArray l_out;
    ZlibCompress(i_record.constData(), quint64(i_record.size()), l_out);
    return l_out;
}

void WriteFile(MemStream& o_m, char const* ip_path, quint64 i_size, std::map<quint32, quint32> i_attributes)
{
    o_m.WriteU8(1);
    o_m.WriteRaw(std::string(ip_path));
    o_m.WriteU64(i_size);
    o_m.WriteRaw(std::string(i_attributes.empty() ? "" : "mp3"));
    o_m.WriteU32(quint32(i_attributes.size()));
    for (auto const& l_pair : i_attributes) {
        o_m.WriteU32(l_pair.first);
        o_m.WriteU32(l_pair.second);
    }
}

// Message 9 answering token i_token from i_named, with two files in two
// folders.
QByteArray SearchAnswer(quint32 i_token, QString const& i_named = "alice")
{
    MemStream l_record;
    l_record.WriteString(i_named);
    l_record.WriteU32(i_token);
    l_record.WriteU32(2);
    WriteFile(l_record, "music\\rock\\song.mp3", 5000000, {{0, 320}, {1, 245}, {2, 1}});
    WriteFile(l_record, "music\\jazz\\tune.flac", 3000000000ull, {});
    l_record.WriteU8(1);
    l_record.WriteU32(123456);
    l_record.WriteU32(3);
    l_record.WriteU32(0);
    return Le32(9) + Compressed(l_record.ToByteArray());
}

} // namespace

class PeerMessagesTest : public QObject
{
    Q_OBJECT

private:
    PeerMessenger* mp_messenger = nullptr;
    std::unique_ptr<QTcpSocket> mp_alice; // an open messaging connection as "alice"

    void Send(QByteArray const& i_message) { mp_alice->write(PeerWire::BuildFrame(i_message, false)); }

    // Sends a message and waits until the messenger has handled it (the
    // user-information request that follows is answered by a signal).
    void SendAndSettle(QByteArray const& i_message)
    {
        QSignalSpy l_marker(mp_messenger, &PeerMessenger::UserInfoRequested);
        Send(i_message);
        Send(Message(15));
        QVERIFY(l_marker.wait(5000));
    }

    QByteArray NextFrame()
    {
        QByteArray l_payload;
        if (!AwaitFrame(*mp_alice, l_payload))
            return QByteArray("<none>");
        return l_payload;
    }

    void Reconnect()
    {
        mp_alice = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(mp_alice);
        mp_alice->write(HandshakeFrame("alice", "P"));
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("alice") >= 1);
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
        EnsureFlag("user", "is_ignored");
        mp_messenger->DataLoaded();
        Reconnect();
    }

    void cleanupTestCase()
    {
        mp_alice.reset();
        delete mp_messenger;
    }

    void senders()
    {
        mp_messenger->GetUserSharedFiles("alice");
        QCOMPARE(NextFrame(), QByteArray::fromHex("04000000"));
        mp_messenger->GetUserInfo("alice");
        QCOMPARE(NextFrame(), QByteArray::fromHex("0f000000"));
        // The token counter wraps as an unsigned 32-bit number.
        QCOMPARE(mp_messenger->RequestUpload("alice", "a\\b.mp3", 0x0102030405ll), quint32(4294967295u));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("0"));
        QCOMPARE(NextFrame(), QByteArray::fromHex("28000000" "01000000" "ffffffff" "07000000") + "a\\b.mp3" +
                                  QByteArray::fromHex("0504030201000000"));
        QCOMPARE(mp_messenger->RequestUpload("alice", "x", 1), quint32(0));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("1"));
        NextFrame();
        mp_messenger->AcceptTransferRequest("alice", 7, true, 300);
        QCOMPARE(NextFrame(), QByteArray::fromHex("29000000" "07000000" "01" "2c01000000000000"));
        mp_messenger->AcceptTransferRequest("alice", 7, false, 300);
        QCOMPARE(NextFrame(), QByteArray::fromHex("29000000" "07000000" "01"));
        mp_messenger->DenyTransferRequest("alice", 8, "Queued");
        QCOMPARE(NextFrame(), QByteArray::fromHex("29000000" "08000000" "00" "06000000") + "Queued");
        mp_messenger->QueueDownload("alice", "d\\f");
        QCOMPARE(NextFrame(), QByteArray::fromHex("2b000000" "03000000") + "d\\f");
        mp_messenger->SendUploadPlaceInLine("alice", "f", 12);
        QCOMPARE(NextFrame(), QByteArray::fromHex("2c000000" "01000000") + "f" + QByteArray::fromHex("0c000000"));
        mp_messenger->DenyUpload("alice", "f", "File read error.");
        QCOMPARE(NextFrame(), QByteArray::fromHex("32000000" "01000000") + "f" + QByteArray::fromHex("10000000") +
                                  "File read error.");
        mp_messenger->QueueUpload("alice", "f", -2);
        QCOMPARE(NextFrame(),
                 QByteArray::fromHex("3c000000" "01000000") + "f" + QByteArray::fromHex("feffffffffffffff"));
    }

    void incoming()
    {
        QStringList l_seen;
        auto Seen = [&](QString i_text) { l_seen << i_text; };
        auto S = [](std::string const& i_text) { return QString::fromStdString(i_text); };
        PeerMessenger* p = mp_messenger;
        connect(p, &PeerMessenger::SharedFilesInFolderRequested, this,
                [&](QString u, quint32 t, QString f) { Seen(QString("36 %1 %2 %3").arg(u).arg(t).arg(f)); });
        connect(p, &PeerMessenger::FileTransferRequested, this, [&](QString u, int dir, uint t, std::string f, qint64 s) {
            Seen(QString("40 %1 %2 %3 %4 %5").arg(u).arg(dir).arg(t).arg(S(f)).arg(s));
        });
        connect(p, &PeerMessenger::FileTransferResponse, this,
                [&](QString u, uint t, bool a, bool hs, qint64 s, QString r) {
                    Seen(QString("41 %1 %2 %3 %4 %5 %6").arg(u).arg(t).arg(a).arg(hs).arg(s).arg(r));
                });
        connect(p, &PeerMessenger::QueueUploadRequested, this,
                [&](QString u, QString f) { Seen(QString("43 %1 %2").arg(u, f)); });
        connect(p, &PeerMessenger::DownloadPlaceInLine, this,
                [&](QString u, std::string f, int n) { Seen(QString("44 %1 %2 %3").arg(u, S(f)).arg(n)); });
        connect(p, &PeerMessenger::UploadFailed, this,
                [&](QString u, std::string f) { Seen(QString("46 %1 %2").arg(u, S(f))); });
        connect(p, &PeerMessenger::UploadDenied, this,
                [&](QString u, std::string f, QString r) { Seen(QString("50 %1 %2 %3").arg(u, S(f), r)); });
        connect(p, &PeerMessenger::UploadPlaceInLineRequested, this,
                [&](QString u, QString f) { Seen(QString("51 %1 %2").arg(u, f)); });
        connect(p, &PeerMessenger::QueueDownloadRequested, this,
                [&](QString u, std::string f, qint64 s) { Seen(QString("60 %1 %2 %3").arg(u, S(f)).arg(s)); });
        connect(p, &PeerMessenger::UserInfoReceived, this,
                [&](QString u, QString desc, bool hp, char* pic, int len, int sl, int q, bool fr) {
                    Seen(QString("16 %1 %2 %3 %4 %5 %6 %7")
                             .arg(u, desc)
                             .arg(hp)
                             .arg(QString::fromLatin1(pic ? QByteArray(pic, len) : QByteArray("-")))
                             .arg(sl)
                             .arg(q)
                             .arg(fr));
                });
        connect(p, &PeerMessenger::UserInfoRequested, this, [&](QString u) { Seen(QString("15 %1").arg(u)); });
        connect(p, &PeerMessenger::UserShare, this,
                [&](QString u, FileInfoMap& share, AttributeTranslationTable& table) {
                    QStringList l_parts;
                    for (auto const& l_folder : share)
                        for (FileInfo const& l_file : l_folder.second)
                            l_parts << S(l_folder.first) + "|" + S(l_file.m_name) + "|" +
                                           QString::number(l_file.m_size);
                    Seen(QString("5 %1 %2 %3").arg(u, l_parts.join(",")).arg(S(table[1])));
                });

        Send(Message(36, [](MemStream& m) { m.WriteU32(9); m.WriteString(QString("a\\b")); }));
        Send(Message(40, [](MemStream& m) { m.WriteU32(1); m.WriteU32(77); m.WriteRaw(std::string("x\\y")); m.WriteU64(99); }));
        Send(Message(40, [](MemStream& m) { m.WriteU32(0); m.WriteU32(78); m.WriteRaw(std::string("x\\z")); }));
        Send(Message(41, [](MemStream& m) { m.WriteU32(5); m.WriteU8(1); m.WriteU64(1234); }));
        Send(Message(41, [](MemStream& m) { m.WriteU32(6); m.WriteU8(1); }));
        Send(Message(41, [](MemStream& m) { m.WriteU32(7); m.WriteU8(0); m.WriteString(QString("Cancelled")); }));
        Send(Message(43, [](MemStream& m) { m.WriteString(QString("q\\r")); }));
        Send(Message(44, [](MemStream& m) { m.WriteRaw(std::string("q\\r")); m.WriteU32(4); }));
        Send(Message(46, [](MemStream& m) { m.WriteRaw(std::string("q\\s")); }));
        Send(Message(50, [](MemStream& m) { m.WriteRaw(std::string("q\\t")); m.WriteString(QString("Banned")); }));
        Send(Message(51, [](MemStream& m) { m.WriteString(QString("q\\u")); }));
        Send(Message(60, [](MemStream& m) { m.WriteRaw(std::string("q\\v")); m.WriteI64(42); }));
        Send(Message(16, [](MemStream& m) {
            m.WriteString(QString("hi"));
            m.WriteU8(1);
            m.WriteU32(3);
            m.WriteBuffer("PNG", 3);
            m.WriteU32(2);
            m.WriteU32(5);
            m.WriteU8(1);
        }));
        Send(Message(16, [](MemStream& m) { m.WriteString(QString()); m.WriteU8(0); m.WriteU32(1); m.WriteU32(0); m.WriteU8(0); }));
        MemStream l_share;
        l_share.WriteU32(2);
        l_share.WriteRaw(std::string("m\\a"));
        l_share.WriteU32(2);
        WriteFile(l_share, "b.mp3", 9, {{0, 128}});
        WriteFile(l_share, "a.mp3", 5, {});
        l_share.WriteRaw(std::string("m\\empty"));
        l_share.WriteU32(0);
        l_share.WriteU32(1);
        l_share.WriteU32(1);
        l_share.WriteRaw(std::string("length"));
        SendAndSettle(Le32(5) + Compressed(l_share.ToByteArray()));

        QCOMPARE(l_seen, QStringList({
                             "36 alice 9 a\\b",
                             "40 alice 1 77 x\\y 99",
                             "40 alice 0 78 x\\z 0",
                             "41 alice 5 1 1 1234 ",
                             "41 alice 6 1 0 0 ",
                             "41 alice 7 0 0 0 Cancelled",
                             "43 alice q\\r",
                             "44 alice q\\r 4",
                             "46 alice q\\s",
                             "50 alice q\\t Banned",
                             "51 alice q\\u",
                             "60 alice q\\v 42",
                             "16 alice hi 1 PNG 2 5 1",
                             "16 alice  0 - 1 0 0",
                             "5 alice m\\a|a.mp3|5,m\\a|b.mp3|9 length",
                             "15 alice",
                         }));
        disconnect(p, nullptr, this, nullptr);
    }

    // Message 4 asks the share-list provider for that user's list.
    void shareListRequestUsesTheProvider()
    {
        QString l_askedFor;
        PeerMessenger::SetShareListProvider([&](QString const& i_user) {
            l_askedFor = i_user;
            MemStream l_reply;
            l_reply.WriteU32(5);
            l_reply.WriteU32(0xdeadbeef);
            return l_reply;
        });
        Send(Message(4));
        QCOMPARE(NextFrame(), QByteArray::fromHex("05000000efbeadde"));
        QCOMPARE(l_askedFor, QString("alice"));
        PeerMessenger::SetShareListProvider({});
    }

    // A peer that keeps asking for our share list and never reads the
    // answers is dropped before their backlog grows without end; others
    // are not affected.
    void peerThatDoesNotReadIsDropped()
    {
        QByteArray const l_list(8 * 1024 * 1024, 'x');
        PeerMessenger::SetShareListProvider([&](QString const&) {
            MemStream l_reply;
            l_reply.WriteU32(5);
            l_reply.WriteBuffer(l_list.constData(), quint32(l_list.size()));
            return l_reply;
        });
        auto lp_greedy = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_greedy);
        lp_greedy->setReadBufferSize(1024); // what it does not take stays in the kernel
        lp_greedy->write(HandshakeFrame("greedy", "P"));
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("greedy"), 1);
        // Twice the largest frame, and the kernel's buffers on top.
        int l_requests = int(2 * qint64(PeerWire::MAX_MESSAGE_LENGTH) / l_list.size()) + 8;
        for (int l_request = 0; l_request < l_requests; ++l_request)
            lp_greedy->write(PeerWire::BuildFrame(Message(4), false));
        QTRY_COMPARE_WITH_TIMEOUT(mp_messenger->OpenMessagingConnectionCount("greedy"), 0, 15000);
        // Nor does the backlog move into the queue of unsent messages.
        QCOMPARE(mp_messenger->UnsentMessageCount("greedy"), 0);
        PeerMessenger::SetShareListProvider({});
        lp_greedy.reset();
        // The connection that reads goes on.
        mp_messenger->GetUserInfo("alice");
        QCOMPARE(NextFrame(), Message(15));
    }

    void searchResultIntake()
    {
        Item l_request = NewSearch(1001);
        std::vector<Item> l_results;
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&](Item i_item) { l_results.push_back(i_item); });
        Send(SearchAnswer(1001, "someone-else"));
        QTRY_COMPARE(l_results.size(), std::size_t(1));
        Item l_answer = l_results.at(0);
        QVERIFY(l_answer.IsValid());
        QVERIFY(l_answer.IsConnected(l_request));
        // The connection's user, not the name inside the payload.
        QCOMPARE(l_answer["user"].AsString(), QString("alice"));
        QCOMPARE(l_answer["search_results_user_available"].AsString(), QString("yes"));
        QCOMPARE(l_answer["search_results_user_speed"].AsString(), QString("123456"));
        QCOMPARE(l_answer["search_results_uploads_in_queue"].AsString(), QString("3"));
        ItemSet l_files = l_answer.GetItems("search_result");
        QCOMPARE(l_files.size(), std::size_t(2));
        Item l_song = l_files.Connected("search_result_file_name", Value("song.mp3"));
        Item l_tune = l_files.Connected("search_result_file_name", Value("tune.flac"));
        QVERIFY(l_song.IsValid() && l_tune.IsValid());
        QCOMPARE(l_song["search_result_file_folder"].AsString(), QString("music\\rock"));
        QCOMPARE(l_tune["search_result_file_folder"].AsString(), QString("music\\jazz"));
        QCOMPARE(l_song["file_size"].AsString(), QString("5000000"));
        QCOMPARE(l_tune["file_size"].AsString(), QString("3000000000"));
        QCOMPARE(l_song["bitrate"].AsString(), QString("320"));
        QCOMPARE(l_song["bitrate_mode"].AsString(), QString("vbr"));
        QCOMPARE(l_song["length_seconds"].AsString(), QString("245"));
        QVERIFY(l_tune["bitrate"].IsNull());
        QCOMPARE(d.GetType("search_result_file_folder")->GetItemCount(), std::size_t(2));

        // A second answer from the same folders shares the folder items.
        Send(SearchAnswer(1001));
        QTRY_COMPARE(l_results.size(), std::size_t(2));
        QCOMPARE(d.GetType("search_result_file_folder")->GetItemCount(), std::size_t(2));
        QCOMPARE(l_request.GetItems("search_results").size(), std::size_t(2));
        disconnect(mp_messenger, &PeerMessenger::SearchResults, this, nullptr);
    }

    void searchResultsDropped()
    {
        int l_results = 0;
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&](Item) { ++l_results; });
        // Unknown token.
        SendAndSettle(SearchAnswer(2000));
        // Stopped search.
        Item l_stopped = NewSearch(2001);
        SetFlag(l_stopped, "search_stopped", true);
        SendAndSettle(SearchAnswer(2001));
        QCOMPARE(l_stopped.GetItems("search_results").size(), std::size_t(0));
        // Ignored user.
        Item l_search = NewSearch(2002);
        Item l_alice = d.GetType("user")->GetItem(Value("alice"));
        SetFlag(l_alice, "is_ignored", true);
        SendAndSettle(SearchAnswer(2002));
        SetFlag(l_alice, "is_ignored", false);
        QCOMPARE(l_results, 0);
        QCOMPARE(l_search.GetItems("search_results").size(), std::size_t(0));

        // A repeat from the same user under "discard_repeated_results".
        Item l_wish = d.GetType("wish_list_item")->GetItem(Value("song"));
        SetFlag(l_wish, "discard_repeated_results", true);
        Item l_first = NewSearch(2003);
        l_first += l_wish;
        Send(SearchAnswer(2003));
        QTRY_COMPARE(l_results, 1);
        QVERIFY(l_wish["received_results_from_users"].IsConnected(l_alice));
        Item l_next = NewSearch(2004);
        l_next += l_wish;
        SendAndSettle(SearchAnswer(2004));
        QCOMPARE(l_results, 1);
        QCOMPARE(l_next.GetItems("search_results").size(), std::size_t(0));
        QCOMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 1);
        disconnect(mp_messenger, &PeerMessenger::SearchResults, this, nullptr);
    }

    void hostilePayloadsCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("message");
        // Inflates far beyond the cap.
        QByteArray l_zeros(20 * 1024 * 1024, '\0');
        QTest::newRow("zlib bomb") << Le32(9) + Compressed(l_zeros);
        QByteArray l_answer = SearchAnswer(1001);
        QTest::newRow("truncated zlib stream") << l_answer.left(l_answer.size() / 2);
        MemStream l_short;
        l_short.WriteString(QString("alice"));
        l_short.WriteU32(1001);
        l_short.WriteU32(1000000); // far more files than bytes
        WriteFile(l_short, "a", 1, {});
        QTest::newRow("file count beyond the bytes") << Le32(9) + Compressed(l_short.ToByteArray());
        MemStream l_many;
        l_many.WriteString(QString("alice"));
        l_many.WriteU32(1001);
        l_many.WriteU32(100001);
        QByteArray l_manyAnswer = l_many.ToByteArray() + QByteArray(100001 * 21, '\0');
        QTest::newRow("more results than any answer holds") << Le32(9) + Compressed(l_manyAnswer);
        MemStream l_share;
        l_share.WriteU32(0x7fffffff);
        QTest::newRow("share list folder count") << Le32(5) + Compressed(l_share.ToByteArray());
        // Bytes enough for every entry, but more files than any share we browse.
        MemStream l_huge;
        l_huge.WriteU32(1);
        l_huge.WriteString(QString("a"));
        l_huge.WriteU32(2000001);
        QByteArray l_hugeList = l_huge.ToByteArray() + QByteArray(2000001 * 21, '\0');
        QTest::newRow("share list of too many files") << Le32(5) + Compressed(l_hugeList);
        QTest::newRow("picture length beyond the bytes") << Message(16, [](MemStream& m) {
            m.WriteString(QString("x"));
            m.WriteU8(1);
            m.WriteU32(0xffffffffu);
            m.WriteU32(1);
        });
        QTest::newRow("negative-looking picture length") << Message(16, [](MemStream& m) {
            m.WriteString(QString("x"));
            m.WriteU8(1);
            m.WriteU32(0x80000000u);
        });
    }

    void hostilePayloadsCloseTheConnection()
    {
        QFETCH(QByteArray, message);
        int l_emitted = 0;
        connect(mp_messenger, &PeerMessenger::SearchResults, this, [&](Item) { ++l_emitted; });
        connect(mp_messenger, &PeerMessenger::UserInfoReceived, this, [&]() { ++l_emitted; });
        connect(mp_messenger, &PeerMessenger::UserShare, this, [&]() { ++l_emitted; });
        Send(message);
        QVERIFY(AwaitClosed(*mp_alice));
        disconnect(mp_messenger, nullptr, this, nullptr);
        QCOMPARE(l_emitted, 0);
        QTRY_COMPARE(mp_messenger->OpenMessagingConnectionCount("alice"), 0);
        Reconnect();
    }

    // Every message cut anywhere before the end of its last field emits
    // nothing and closes its connection; whole, each emits once.
    void messagesCutShortEmitNothing()
    {
        QList<QByteArray> const l_messages = {
            Message(16, [](MemStream& m) {
                m.WriteString(QString("d"));
                m.WriteU8(1);
                m.WriteU32(2);
                m.WriteBuffer("PN", 2);
                m.WriteU32(1);
                m.WriteU32(0);
                m.WriteU8(1);
            }),
            Message(36, [](MemStream& m) { m.WriteU32(3); m.WriteString(QString("f")); }),
            Message(40, [](MemStream& m) { m.WriteU32(1); m.WriteU32(2); m.WriteRaw(std::string("f")); m.WriteU64(9); }),
            Message(41, [](MemStream& m) { m.WriteU32(2); m.WriteU8(0); m.WriteString(QString("r")); }),
            Message(43, [](MemStream& m) { m.WriteString(QString("f")); }),
            Message(44, [](MemStream& m) { m.WriteRaw(std::string("f")); m.WriteU32(3); }),
            Message(46, [](MemStream& m) { m.WriteRaw(std::string("f")); }),
            Message(50, [](MemStream& m) { m.WriteRaw(std::string("f")); m.WriteString(QString("r")); }),
            Message(51, [](MemStream& m) { m.WriteString(QString("f")); }),
            Message(60, [](MemStream& m) { m.WriteRaw(std::string("f")); m.WriteI64(9); }),
        };
        int l_emitted = 0;
        PeerMessenger* p = mp_messenger;
        auto Count = [&]() { ++l_emitted; };
        connect(p, &PeerMessenger::UserInfoReceived, this, Count);
        connect(p, &PeerMessenger::SharedFilesInFolderRequested, this, Count);
        connect(p, &PeerMessenger::FileTransferRequested, this, Count);
        connect(p, &PeerMessenger::FileTransferResponse, this, Count);
        connect(p, &PeerMessenger::QueueUploadRequested, this, Count);
        connect(p, &PeerMessenger::DownloadPlaceInLine, this, Count);
        connect(p, &PeerMessenger::UploadFailed, this, Count);
        connect(p, &PeerMessenger::UploadDenied, this, Count);
        connect(p, &PeerMessenger::UploadPlaceInLineRequested, this, Count);
        connect(p, &PeerMessenger::QueueDownloadRequested, this, Count);

        std::vector<std::unique_ptr<QTcpSocket>> l_peers;
        for (QByteArray const& l_message : l_messages) {
            for (int l_cut = 4; l_cut < l_message.size(); ++l_cut) {
                auto lp_peer = ConnectRaw(mp_messenger->ListeningPort());
                QVERIFY(lp_peer);
                QString l_user = QString("cut%1").arg(l_peers.size());
                lp_peer->write(HandshakeFrame(l_user, "P") +
                               PeerWire::BuildFrame(l_message.left(l_cut), false));
                l_peers.push_back(std::move(lp_peer));
                QCoreApplication::processEvents(); // let the listener take it
            }
        }
        for (auto& lp_peer : l_peers)
            QVERIFY(AwaitClosed(*lp_peer));
        QCOMPARE(l_emitted, 0);

        for (QByteArray const& l_message : l_messages)
            Send(l_message);
        QTRY_COMPARE(l_emitted, l_messages.size());
        disconnect(p, nullptr, this, nullptr);
    }

    // No router here (the tests run without a network): discovery fails,
    // the call returns at once and the thread stops quickly.
    void portForwarderThread()
    {
        // Discovery multicasts and asks the gateway: it may only ever run in a
        // network namespace that has nothing but loopback (as the test run
        // provides), never when the program is started by hand on a host.
        for (QNetworkInterface const& l_interface : QNetworkInterface::allInterfaces())
            if (!(l_interface.flags() & QNetworkInterface::IsLoopBack) &&
                (l_interface.flags() & QNetworkInterface::IsUp))
                QSKIP("a network other than loopback is up: run inside unshare -n");
        auto* lp_forwarder = new PortForwarder;
        QCOMPARE(portForwarder, lp_forwarder);
        QSignalSpy l_upnp(lp_forwarder, &PortForwarder::UPnPFinished);
        QSignalSpy l_natpmp(lp_forwarder, &PortForwarder::NATPMPFinished);
        QElapsedTimer l_clock;
        l_clock.start();
        lp_forwarder->MapPorts(true, true);
        QVERIFY(l_clock.elapsed() < 500);
        QTRY_VERIFY_WITH_TIMEOUT(l_upnp.count() == 1 && l_natpmp.count() == 1, 10000);
        QCOMPARE(l_upnp.at(0).at(0).toBool(), false);
        QCOMPARE(l_natpmp.at(0).at(0).toBool(), false);
        // A request still running at shutdown does not hold the thread.
        lp_forwarder->InitUPnP();
        l_clock.restart();
        delete lp_forwarder;
        QVERIFY(l_clock.elapsed() < 2000);
        QVERIFY(portForwarder == nullptr);
    }
};

QTEST_MAIN(PeerMessagesTest)
#include "PeerMessagesTest.moc"
