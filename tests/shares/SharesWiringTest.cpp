// The shared-folders manager beside the real server link and peer messenger,
// made in the order the main window makes them.

#include "SharesFixture.h"
#include "../peers/PeerTestSupport.h"
#include "../server/ServerTestHelpers.h"

#include "peers/PeerMessenger.h"
#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"

#include <QtTest>

#include <memory>

class SharesWiringTest : public QObject,
                         public ManagerSet<DataSaver, Server, PeerMessenger, DNetManager, SharedFoldersManager>
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> mp_dir;

private slots:
    void init()
    {
        mp_dir.reset(new QTemporaryDir);
        QVERIFY(mp_dir->isValid());
        StartManagers();
    }

    void cleanup() { StopManagers(); }

    // A user withheld from shares and a user of the user list are both kept
    // beside the server link's data.
    void IndexSavedBesideServerData()
    {
        mp_shares->AddSharedFolder(mp_dir->path()) += d.GetType("user_list_group")->GetItem(Value("friends"));
        d.GetType("user")->GetItem(Value("pest")) += d.GetType("unshared")->GetGlobalNullItem();
        Item const l_entry = d.GetType("in_user_list")->NewItem();
        d.GetType("user")->GetItem(Value("pal")) += l_entry;
        l_entry += d.GetType("user_list_group")->GetItem(Value("friends"));
        QString const l_base = mp_dir->filePath(".Quillmar");
        QVERIFY(mp_saver->Save(l_base));

        StopManagers();
        StartManagers();
        mp_saver->Load(l_base);
        QVERIFY(d.GetType("user")->HasItem(Value("pest")).IsConnected("unshared"));
        QVERIFY(d.GetType("user")->HasItem(Value("pal")).IsConnected("in_user_list"));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
    }

    // Bob, on a messaging connection, asks for the share list and a folder and
    // searches through the server and the distributed tree; each answer reaches
    // him on that connection.
    void AnswersTravelToThePeer()
    {
        SetSetting("username", QStringLiteral("me"));
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        mp_shares->SetInlineCompressionLimit(0); // every answer compressed by the worker
        WriteTestFile(*mp_dir, "Share/Tune.mp3", "x");
        QString const l_folder = mp_dir->filePath("Share");
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(l_folder);
        QTRY_VERIFY(!mp_shares->IsBusy());
        QString const l_remote = QString(l_folder).replace('/', '\\');

        SetUserAddress("bob", ClosedPort()); // as the server gives it: bob is who he says
        auto lp_bob = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_bob);
        QByteArray const l_folderText = l_remote.toUtf8();
        lp_bob->write(HandshakeFrame("bob", "P") + PeerWire::BuildFrame(Msg(4), false)
                      + PeerWire::BuildFrame(Msg(36, Le32(8) + Le32(quint32(l_folderText.size())) + l_folderText), false));
        QSignalSpy l_processed(mp_shares.get(), &SharedFoldersManager::SearchProcessed);
        emit mp_server->DirectFileSearch("bob", 7, "tune");
        emit mp_dnet->DNetSearchRequest("bob", 8, "tune");
        // Each is matched at once unless its first slice runs out, as it
        // may on a loaded machine: then in the next turns of the loop.
        QTRY_COMPARE(l_processed.count(), 2);
        QCOMPARE(l_processed.at(1).at(1).toBool(), true);
        QList<quint32> l_codes;
        for (int l_frame = 0; l_frame < 4; ++l_frame) {
            QByteArray l_payload;
            quint32 l_code = 0;
            QVERIFY(AwaitFrame(*lp_bob, l_payload) && MemStream(l_payload).ReadU32(l_code));
            l_codes << l_code;
        }
        std::sort(l_codes.begin(), l_codes.end());
        QCOMPARE(l_codes, (QList<quint32>{5, 9, 9, 37}));
    }

    void BarredBeforeTheAnswerLeaves_data()
    {
        QTest::addColumn<QString>("unsharedAt");
        QTest::addColumn<QList<quint32>>("codes");
        QTest::newRow("a housemate of an unshared user") << "127.0.0.1" << QList<quint32>{5};
        QTest::newRow("no unshared user at his address") << "127.0.0.2" << QList<quint32>{9, 5};
    }

    // The first search of a user is answered before his address is known;
    // the answer waits for a connection. When the server has said where he
    // is, a housemate of an unshared user is barred too: the answer made for
    // him never leaves, and the share list that waited with it is made anew
    // (listing nothing).
    void BarredBeforeTheAnswerLeaves()
    {
        QFETCH(QString, unsharedAt);
        QFETCH(QList<quint32>, codes);
        SetSetting("username", QStringLiteral("me"));
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        mp_shares->Init(); // follows the addresses users are given
        WriteTestFile(*mp_dir, "Share/Tune.mp3", "x");
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        QTRY_VERIFY(!mp_shares->IsBusy());
        Item const l_pest = d.GetType("user")->GetItem(Value("pest"));
        l_pest += d.GetType("unshared")->GetGlobalNullItem();
        SetAttribute(l_pest, "user_address", Value(QHostAddress(unsharedAt).toIPv4Address()));

        emit mp_server->DirectFileSearch("mallory", 7, "tune");
        mp_shares->ProvideShareList("mallory", [this](QByteArray i_list) {
            mp_messenger->SendMessageToUser("mallory", i_list);
        });
        QTRY_COMPARE(mp_messenger->UnsentMessageCount("mallory"), 2);
        mp_messenger->OnPeerAddress("mallory", LocalIp(), ClosedPort());
        auto lp_mallory = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_mallory);
        lp_mallory->write(HandshakeFrame("mallory", "P"));
        QList<quint32> l_codes;
        QByteArray l_payload;
        while (l_codes.size() < codes.size() && AwaitFrame(*lp_mallory, l_payload)) {
            quint32 l_code = 0;
            MemStream(l_payload).ReadU32(l_code);
            l_codes << l_code;
            if (l_code == 5)
                QCOMPARE(l_payload.size() > 40, unsharedAt != "127.0.0.1"); // an empty list is 30 bytes
        }
        QCOMPARE(l_codes, codes);
        // Nothing after them: the next frame is a marker sent now.
        mp_messenger->SendMessageToUser("mallory", Msg(15));
        QVERIFY(AwaitFrame(*lp_mallory, l_payload));
        QCOMPARE(l_payload.toHex(), QByteArray("0f000000"));
        QCOMPARE(mp_messenger->UnsentMessageCount("mallory"), 0);
    }

    // The download folder inside a shared folder: a search for a file being
    // received finds nothing, whichever scan read the folder (at start, a
    // rescan, a newly shared folder); a finished file is found.
    void PartialDownloadsAreNeverShared()
    {
        TransferQueueManager l_transfers; // made after the index, as in the window
        QString const l_root = mp_dir->filePath("Share");
        SetSetting("download_folder", l_root + "/Downloads");
        WriteTestFile(*mp_dir, "Share/Downloads/downloading/Album/receiving.mp3", "par");
        WriteTestFile(*mp_dir, "Share/Downloads/complete/Album/finished.mp3", "whole");
        WriteTestFile(*mp_dir, "Share/own.mp3", "mine");
        // Made again when the collection took it (no root public meanwhile).
        auto const l_public = []() { return d.GetType("shared_public")->GetGlobalNullItem(); };
        auto const l_found = [this]() {
            QStringList l_words;
            for (char const* lp_word : {"receiving", "finished", "own"})
                if (mp_shares->SearchAnswer("bob", 1, lp_word).Size() > 0)
                    l_words << lp_word;
            return l_words.join(' ');
        };

        l_public() += d.GetType("shared_folder")->GetItem(Value(l_root));
        // Each command runs as a job; the next waits for it.
        auto const l_settle = [this]() { QTRY_VERIFY(!mp_shares->IsBusy()); };
        mp_shares->Init();
        l_settle();
        QCOMPARE(l_found(), QString("finished own"));
        mp_shares->RescanShares();
        l_settle();
        QCOMPARE(l_found(), QString("finished own"));
        mp_shares->UnshareFolder(d.GetType("shared_folder")->HasItem(Value(l_root)));
        l_settle();
        QCOMPARE(l_found(), QString());
        l_public() += mp_shares->AddSharedFolder(l_root);
        l_settle();
        QCOMPARE(l_found(), QString("finished own"));
        // The folder of partial downloads shared itself holds nothing either.
        l_public() += mp_shares->AddSharedFolder(l_root + "/Downloads/downloading");
        l_settle();
        QCOMPARE(l_found(), QString("finished own"));
    }

    // At login the counts go to the server (35) and our own statistics are asked
    // for (36): another user then sees the counts, and the speed is kept.
    void CountsReportedAtLogin()
    {
        StandinProcess l_standin;
        QVERIFY(l_standin.Start());
        WriteTestFile(*mp_dir, "Share/a.txt", "x");
        WriteTestFile(*mp_dir, "Share/Sub/b.txt", "x");
        WriteTestFile(*mp_dir, "Share/Sub/c.txt", "x");
        mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        QTRY_VERIFY(!mp_shares->IsBusy());
        PointAt(l_standin.Port());
        mp_server->Connect();
        QTRY_VERIFY(IsSettingSet("upload_speed"));
        QCOMPARE(GetSetting("upload_speed"), QString("0"));

        RawClient l_carol;
        QVERIFY(l_carol.Login(l_standin.Port(), "carol"));
        MemStream l_ask;
        l_ask.Write(QStringLiteral("alice"));
        l_carol.Send(ServerCode::USER_STATS, l_ask);
        QByteArray l_answer;
        QVERIFY(l_carol.mp_collector->Take(ServerCode::USER_STATS, &l_answer));
        MemStream l_in(l_answer);
        QString l_user;
        UserStats l_stats;
        QVERIFY(l_in.Read(l_user) && l_stats.Read(l_in));
        QCOMPARE(l_stats.m_folderCount, 2u);
        QCOMPARE(l_stats.m_fileCount, 3u);
    }
};

QTEST_MAIN(SharesWiringTest)
#include "SharesWiringTest.moc"
