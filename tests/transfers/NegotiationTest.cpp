// Transfer negotiation: the answers to offers and what answers to our offers
// do, then both halves of the file-connection exchange against raw sockets
// that speak docs/protocol.md byte by byte.

#include "EngineFixture.h"
#include "TransfersFixture.h"

#include "store/Utilities.h"

#include <QtTest>

#include <sys/stat.h>

class NegotiationTest : public QObject, public EngineFixture
{
    Q_OBJECT
private:
    static QByteArray Accepted(quint32 i_token) { return Le32(41) + Le32(i_token) + '\x01'; }
    static QByteArray Refused(quint32 i_token, QByteArray const& i_reason)
    {
        return Le32(41) + Le32(i_token) + '\x00' + Str(i_reason);
    }
    static QByteArray OfferFrame(quint32 i_token, QByteArray const& i_file, qint64 i_size)
    {
        return PeerWire::BuildFrame(Le32(40) + Le32(1) + Le32(i_token) + Str(i_file) + Le64(quint64(i_size)), false);
    }
    static QString DownloadStatus(Item const& i_entry) { return i_entry["download_entry_status"].AsString(); }

private slots:
    void init()
    {
        StartEngine();
        SetSetting("username", QString("me"));
    }
    void cleanup() { StopEngine(); }

    // Offers from peers: each existing status, a push from a user who may
    // or may not push, a request for us to send, and a path another user's
    // running download is writing.
    void offers()
    {
        Item const l_friends = d.GetType("user_list_group")->GetItem(Value("friends"));
        SetFlag(l_friends, "accept_uploads", true);
        User("pal").NewItem("in_user_list") += l_friends;
        mp_manager->AddDownload("carol", "busy.mp3", "M", 5, false, 0) +=
            d.GetType("download_entry_status")->GetItem(Value("downloading"));
        struct Case
        {
            char const* mp_user;
            char const* mp_status; // of the existing download; "" for none
            int m_direction;
            QByteArray m_answer; // the denial's reason; empty for accepted
            char const* mp_after;
        };
        Case const l_cases[] = {
            {"bob", "", 1, "Cancelled", ""},        {"pal", "", 1, "", "queued"},
            {"bob", "complete", 1, "Complete", "complete"}, {"bob", "paused", 1, "Cancelled", "paused"},
            {"bob", "queued", 1, "", "queued"},     {"bob", "aborted", 1, "", "aborted"},
            {"bob", "denied", 1, "", "denied"},     {"bob", "local error", 1, "", "local error"},
            {"bob", "queued", 0, "Queued", "queued"}, {"dave", "queued", 1, "Queued", "queued"},
        };
        quint32 l_token = 100;
        for (Case const& l_case : l_cases) {
            QString const l_user = l_case.mp_user;
            std::string const l_name = QString("s%1.mp3").arg(++l_token).toStdString();
            std::string const l_path = l_user == "dave" ? "M\\busy.mp3" : "M\\" + l_name;
            if (*l_case.mp_status)
                mp_manager->AddDownload(l_user, GetFileName(l_path), "M", 5, false, 0) +=
                    d.GetType("download_entry_status")->GetItem(Value(l_case.mp_status));
            emit mp_messenger->FileTransferRequested(l_user, l_case.m_direction, l_token, l_path, 7);
            QList<QByteArray> l_expected{l_case.m_answer.isEmpty() ? Accepted(l_token)
                                                                   : Refused(l_token, l_case.m_answer)};
            if (l_case.m_direction != 1)
                l_expected << Le32(50) + Str(QByteArray::fromStdString(l_path)) + Str("File not shared.");
            QCOMPARE(Sent(l_user), l_expected);
            Item const l_entry = mp_manager->GetDownloadEntry(l_user, GetFileName(l_path), "M");
            QCOMPARE(DownloadStatus(l_entry), QString(l_case.mp_after));
            QCOMPARE(l_entry["remote_transfer_req"].AsUInt64() == l_token,
                     l_case.m_answer.isEmpty() && l_case.m_direction == 1);
        }
        // A pushed file keeps the size its sender gave.
        QCOMPARE(mp_manager->GetDownloadEntry("pal", "s102.mp3", "M")["file_size"].AsInt64(), qint64(7));
    }

    // Answers to our offers, by their token: one offer to each of seven
    // users, then an unknown token, an answer from the wrong user, a denial,
    // an answer too late, two files that cannot be read (gone; a pipe, which
    // must not block us) and an acceptance.
    void answers()
    {
        SetSetting("upload_slots", qint64(99));
        quint32 const l_first = GetSetting("transfer_req_counter").toUInt();
        auto const l_name = [](int i_k) { return QString("Share/f%1.mp3").arg(i_k); };
        auto const l_user = [](int i_k) { return QString("u%1").arg(i_k); };
        for (int l_k = 0; l_k < 7; ++l_k) {
            SetOnline(l_user(l_k), true);
            Request(l_user(l_k), l_name(l_k));
        }
        mp_manager->SetUploadEntryStatus(Upload("u3", l_name(3)), "connecting");
        QFile::remove(mp_dir->filePath(l_name(4)));
        QFile::remove(mp_dir->filePath(l_name(5)));
        QCOMPARE(mkfifo(qPrintable(mp_dir->filePath(l_name(5))), 0600), 0);

        emit mp_messenger->FileTransferResponse("u0", l_first + 99, true, false, 0, "");
        emit mp_messenger->FileTransferResponse("carol", l_first, true, false, 0, "");
        emit mp_messenger->FileTransferResponse("u1", l_first + 1, false, false, 0, "Queued");
        for (int l_k = 3; l_k < 7; ++l_k)
            emit mp_messenger->FileTransferResponse(l_user(l_k), l_first + l_k, true, false, 0, "");
        char const* const l_after[] = {"requesting", "denied",      "requesting", "connecting",
                                       "local error", "local error", "connecting"};
        for (int l_k = 0; l_k < 7; ++l_k) {
            QList<QByteArray> l_expected{Offer(l_name(l_k), l_first + l_k, 2)};
            if (l_k == 4 || l_k == 5)
                l_expected << Denial(l_name(l_k), "File read error.");
            QCOMPARE(Sent(l_user(l_k)), l_expected);
            QCOMPARE(Status(Upload(l_user(l_k), l_name(l_k))), QString(l_after[l_k]));
        }
        QCOMPARE(Upload("u1", l_name(1))["denial_reason"].AsString(), QString("Queued"));
        QVERIFY(Upload("u6", l_name(6))["upload_file"].IsValid());
    }

    // The downloader's half: bob offers on his messaging connection, then
    // connects with the token; we send the length of the partial file and
    // take the rest. A second connection for the running download is
    // refused; a new offer replaces the old token and restarts it.
    void downloaderHalf()
    {
        Item const l_entry = mp_manager->AddDownload("bob", "song.mp3", "M", 10, false, 0);
        WriteFile("Downloads/downloading/M/song.mp3", "012");
        QTcpSocket& l_bob = Peer("bob");
        l_bob.write(OfferFrame(77, "M\\song.mp3", 10));
        QByteArray l_frame;
        QVERIFY(AwaitFrame(l_bob, l_frame));
        QCOMPARE(l_frame, Accepted(77));

        auto lp_file = ConnectRaw(mp_messenger->ListeningPort());
        lp_file->write(HandshakeFrame("bob", "F") + Le32(77));
        QCOMPARE(ReadBytes(*lp_file, 8), Le64(3));
        QCOMPARE(DownloadStatus(l_entry), QString("downloading"));
        for (quint32 l_token : {77, 78}) {
            auto lp_second = ConnectRaw(mp_messenger->ListeningPort());
            lp_second->write(HandshakeFrame("bob", "F") + Le32(l_token));
            QVERIFY(AwaitClosed(*lp_second));
        }

        l_bob.write(OfferFrame(78, "M\\song.mp3", 10));
        QVERIFY(AwaitFrame(l_bob, l_frame));
        QCOMPARE(l_frame, Accepted(78));
        QVERIFY(AwaitClosed(*lp_file));
        QCOMPARE(DownloadStatus(l_entry), QString("aborted"));
        auto lp_again = ConnectRaw(mp_messenger->ListeningPort());
        lp_again->write(HandshakeFrame("bob", "F") + Le32(78));
        QCOMPARE(ReadBytes(*lp_again, 8), Le64(3));
        lp_again->write("3456789");
        QTRY_COMPARE(DownloadStatus(l_entry), QString("complete"));
        QFile l_done(mp_dir->filePath("Downloads/complete/M/song.mp3"));
        QVERIFY(l_done.open(QIODevice::ReadOnly));
        QCOMPARE(l_done.readAll(), QByteArray("0123456789"));
    }

    // The uploader's half: bob asks for a file; we offer it, he accepts,
    // and we connect to him, send the token and the bytes from his offset.
    void uploaderHalf()
    {
        QTcpServer l_listener;
        QVERIFY(l_listener.listen(QHostAddress::LocalHost, 0));
        SetAttribute(User("bob"), "user_address", Value(static_cast<unsigned long long>(LocalIp())));
        SetAttribute(User("bob"), "user_port", Value(int(l_listener.serverPort())));
        SetOnline("bob", true);
        WriteFile("Share/f0.mp3", "abcdef");
        mp_shares->RescanShares();
        quint32 const l_token = GetSetting("transfer_req_counter").toUInt();

        QTcpSocket& l_bob = Peer("bob");
        l_bob.write(PeerWire::BuildFrame(Le32(43) + Str(Remote("Share/f0.mp3").toUtf8()), false));
        QByteArray l_frame;
        QVERIFY(AwaitFrame(l_bob, l_frame));
        QCOMPARE(l_frame, Offer("Share/f0.mp3", l_token, 6));
        l_bob.write(PeerWire::BuildFrame(Accepted(l_token), false));

        PeerWire::Handshake l_handshake;
        auto lp_file = AcceptHandshake(l_listener, l_handshake);
        QVERIFY(lp_file);
        QCOMPARE(l_handshake.m_user, QString("me"));
        QCOMPARE(l_handshake.m_type, QString("F"));
        QCOMPARE(ReadBytes(*lp_file, 4), Le32(l_token));
        lp_file->write(Le64(2));
        QCOMPARE(ReadBytes(*lp_file, 4), QByteArray("cdef"));
        lp_file->close();
        QTRY_COMPARE(Status(Upload("bob", "Share/f0.mp3")), QString("complete"));
    }
};

QTEST_MAIN(NegotiationTest)
#include "NegotiationTest.moc"
