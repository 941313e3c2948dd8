// The upload queue and the negotiation beside the real server link, peer
// messenger and share index, with a clock the test moves; what peers receive
// is read as literal bytes by raw sockets.

#include "../peers/PeerTestSupport.h"
#include "TransfersFixture.h"

#include "peers/PeerMessenger.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/SlicedWork.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"

#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>

#include <ctime>
#include <iterator>
#include <map>
#include <random>

namespace {

constexpr qint64 MiB = 1048576;

QByteArray Str(QString const& i_text)
{
    return Le32(quint32(i_text.toUtf8().size())) + i_text.toUtf8();
}

QByteArray Answer(quint32 i_token, QString const& i_denial = QString())
{
    return Le32(41) + Le32(i_token) + (i_denial.isEmpty() ? QByteArray(1, 1) : QByteArray(1, 0) + Str(i_denial));
}

typedef QList<QByteArray> Frames;

} // namespace

class UploadsTest : public QObject,
                    public ManagerSet<Server, PeerMessenger, SharedFoldersManager, TransferQueueManager>
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> mp_dir;
    std::map<QString, std::unique_ptr<QTcpSocket>> m_peers;
    QDateTime m_now;

    void WriteFile(QString const& i_name, QByteArray const& i_bytes) { WriteFileAt(mp_dir->filePath(i_name), i_bytes); }
    // A peer names our files by their local path with backslashes.
    QString Remote(QString const& i_name) const { return mp_dir->filePath(i_name).replace('/', '\\'); }
    static Item User(QString const& i_user) { return d.GetType("user")->GetItem(Value(i_user)); }
    // Files are named "a" for Share/a.mp3, or by their path.
    static QString Path(QString const& i_name) { return i_name.contains('/') ? i_name : "Share/" + i_name + ".mp3"; }
    Item Entry(QString const& i_user, QString const& i_name) const
    {
        Item const l_file = mp_shares->GetSharedFileItem(mp_dir->filePath(Path(i_name)));
        return d.GetItem(User(i_user), l_file, "upload_entry");
    }
    QString Status(QString const& i_user, QString const& i_name, char const* ip_attribute = "upload_entry_status")
    {
        return Entry(i_user, i_name)[ip_attribute].AsString();
    }
    void Request(QString const& i_user, QString const& i_name, bool i_online = true)
    {
        SetFlag(User(i_user), "is_online", i_online);
        emit mp_messenger->QueueUploadRequested(i_user, Remote(Path(i_name)));
    }
    QByteArray Denial(QString const& i_name, QString const& i_reason) const
    {
        return Le32(50) + Str(Remote(Path(i_name))) + Str(i_reason);
    }
    QByteArray Offer(QString const& i_name, quint32 i_token, qint64 i_size) const
    {
        return Le32(40) + Le32(1) + Le32(i_token) + Str(Remote(Path(i_name))) + Le64(i_size);
    }

    // The user's raw messaging connection, opened when first needed.
    QTcpSocket& Peer(QString const& i_user)
    {
        std::unique_ptr<QTcpSocket>& lp_peer = m_peers[i_user];
        if (!lp_peer) {
            if (User(i_user)["user_address"].IsNull()) // as the server gives it: the user is who he says
                SetUserAddress(i_user, ClosedPort());
            lp_peer = ConnectRaw(mp_messenger->ListeningPort());
            lp_peer->write(HandshakeFrame(i_user, "P"));
            static_cast<void>(WaitUntil([&] { return mp_messenger->OpenMessagingConnectionCount(i_user) > 0; }));
        }
        return *lp_peer;
    }

    // What the user received since the last call, up to a user-information
    // request (peer message 15) sent last as the end mark, once the
    // engine's asking for downloads, in slices, is through.
    Frames Sent(QString const& i_user)
    {
        QTcpSocket& l_peer = Peer(i_user);
        static_cast<void>(WaitUntil([this]() { return !mp_transfers->IsRequeueing(); }));
        mp_messenger->GetUserInfo(i_user);
        Frames l_frames;
        for (QByteArray l_frame; AwaitFrame(l_peer, l_frame) && l_frame != Le32(15);)
            l_frames << l_frame;
        return l_frames;
    }

    // The half-minute sweep, to its end: it goes in steps.
    void Sweep(int i_secondsLater)
    {
        m_now = m_now.addSecs(i_secondsLater);
        mp_transfers->EveryHalfMinute();
        static_cast<void>(WaitUntil([this]() { return !mp_transfers->IsRequeueing(); }));
    }

private slots:
    // "Share" is public, "Private" shared with nobody; a, b and c count as 500 MiB, 1 MiB and 5 GiB.
    void init()
    {
        mp_dir = std::make_unique<QTemporaryDir>();
        m_now = QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
        StartManagers();
        mp_transfers->SetClock([this] { return m_now; });
        SetSetting("listening_port", qint64(0));
        SetSetting("username", QString("me"));
        SetSetting("download_folder", mp_dir->filePath("Downloads"));
        mp_messenger->DataLoaded();
        for (QString const l_name : {"a", "b", "c", "f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"})
            WriteFile("Share/" + l_name + ".mp3", l_name.toUtf8());
        WriteFile("Private/p.mp3", "p");
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        mp_shares->AddSharedFolder(mp_dir->filePath("Private"));
        QTRY_VERIFY(!mp_shares->IsBusy());
        for (auto const& l_size : {std::make_pair("a", 500 * MiB), {"b", MiB}, {"c", 5120 * MiB}})
            mp_shares->GetSharedFileItem(mp_dir->filePath(QString("Share/%1.mp3").arg(l_size.first))) +=
                d.GetType("shared_file_size")->GetItem(Value(static_cast<long long>(l_size.second)));
    }

    void cleanup()
    {
        m_peers.clear();
        StopManagers();
    }

    // Each row: a user of its own with his earlier requests ("file:status"),
    // whether he is unshared, shutdown pending, the file and megabyte limits
    // (0: off), the file he asks for, the denial, his entry's status after.
    void admission()
    {
        struct Case { QStringList m_prior; bool m_unshared, m_shutdown; int m_files, m_mb; QString m_file, m_denial, m_after; };
        Case const l_cases[] = {
            {{}, false, false, 0, 0, "Private/p.mp3", "File not shared.", ""},
            {{}, true, true, 0, 0, "a", "File not shared.", ""},
            {{"a:queued"}, false, true, 0, 0, "a", "Pending shutdown.", "queued"},
            {{"a:queued"}, false, false, 1, 0, "A", "", "queued"}, // another spelling of the same file
            {{"a:queued", "b:queued"}, false, false, 2, 0, "c", "Too many files", ""},
            {{"a:queued", "b:uploading"}, false, false, 2, 0, "c", "", "queued"},
            {{"a:queued"}, false, false, 0, 500, "c", "", "queued"},
            {{"a:queued", "b:queued"}, false, false, 0, 500, "c", "Too many megabytes", ""},
            {{"a:complete", "b:queued"}, false, false, 1, 0, "a", "", "queued"},
        };
        int l_row = 0;
        for (Case const& l_case : l_cases) {
            QString const l_user = QString::number(++l_row);
            SetVSetting("finish_uploads_and_quit", "no");
            SetSwitch("max_queued_uploads_per_user_enabled", l_case.m_files > 0);
            SetSetting("max_queued_uploads_per_user", qint64(l_case.m_files));
            SetSwitch("max_queued_mb_per_user_enabled", l_case.m_mb > 0);
            SetSetting("max_queued_mb_per_user", qint64(l_case.m_mb));
            for (QString const& l_prior : l_case.m_prior) {
                Request(l_user, l_prior.section(':', 0, 0), false);
                mp_transfers->SetUploadEntryStatus(Entry(l_user, l_prior.section(':', 0, 0)), l_prior.section(':', 1));
            }
            QString const l_order = Status(l_user, "a", "upload_order");
            SetFlag(User(l_user), "unshared", l_case.m_unshared);
            SetVSetting("finish_uploads_and_quit", l_case.m_shutdown ? "yes" : "no");
            Request(l_user, l_case.m_file, false);
            QCOMPARE(Sent(l_user), l_case.m_denial.isEmpty() ? Frames() : Frames{Denial(l_case.m_file, l_case.m_denial)});
            QCOMPARE(Status(l_user, l_case.m_file.toLower()), l_case.m_after);
            // An entry found again keeps its age and the name first asked for.
            QCOMPARE(Status(l_user, "a", "upload_order"), l_order);
            QCOMPARE(Status(l_user, "a", "filename_as_requested"), l_order.isEmpty() ? "" : Remote("Share/a.mp3"));
        }
        // Our own send tells the peer first (60); a file he may not see is not sent.
        QVERIFY(mp_transfers->AddUpload("erin", mp_dir->filePath("Private/p.mp3")).IsNull());
        QVERIFY(mp_transfers->AddUpload("erin", mp_dir->filePath("Share/b.mp3")).IsValid());
        QCOMPARE(Sent("erin"), Frames{Le32(60) + Str(mp_dir->filePath("Share/b.mp3")) + Le64(MiB)});
    }

    // A refused send of our own tells why in the window and in the log; the
    // names in it (an override left open) end before our words go on.
    void refusalsIsolateNames_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("file"); // under the temporary folder
        QTest::addColumn<QString>("reason"); // "<dir>" for the temporary folder
        QTest::addColumn<QString>("logged");
        QString const l_evil = QStringLiteral("evil name: \u202E");
        QTest::newRow("offline") << l_evil << false << "Share/a.mp3"
                                 << "\u2068evil name: \u202E\u2069 is offline."
                                 << "Initiating upload to \u2068evil name: \u202E\u2069 of file <dir>/Share/a.mp3";
        QTest::newRow("not shared") << "bob" << true << "Share/\u202Ez.mp3"
                                    << "\u2068<dir>/Share/\u202Ez.mp3\u2069 is not shared."
                                    << "Initiating upload to bob of file \u2068<dir>/Share/\u202Ez.mp3\u2069";
        QTest::newRow("not shared with him") << l_evil << true << "Private/p.mp3"
                                             << "<dir>/Private/p.mp3 is not shared with \u2068evil name: \u202E\u2069."
                                             << "Initiating upload to \u2068evil name: \u202E\u2069 of file "
                                                "<dir>/Private/p.mp3";
    }
    void refusalsIsolateNames()
    {
        QFETCH(QString, user);
        QFETCH(bool, online);
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QFETCH(QString, logged);
        SetAttribute(User(user), "last_online_status_change", Value(QStringLiteral("Wed May 1 11:00:00 2024")));
        SetFlag(User(user), "is_online", online);
        FlushLog();
        SetSetting("show_diagnostics", QStringLiteral("yes"));
        QStringList l_logged;
        SetLogViewHook([&l_logged](QString const&, QString const& i_lines) {
            for (QString const& l_line : i_lines.split('\n'))
                l_logged << l_line.section("] ", 1);
        });
        QString l_reason;
        QVERIFY(mp_transfers->AddUpload(user, mp_dir->filePath(file), &l_reason).IsNull());
        FlushLog();
        SetLogViewHook(nullptr);
        QCOMPARE(l_reason, QString(reason).replace("<dir>", mp_dir->path()));
        QVERIFY2(l_logged.contains(QString(logged).replace("<dir>", mp_dir->path())), qPrintable(l_logged.join('\n')));
    }

    // The engines' log lines (the diagnostics window, the log files) name
    // users and files from outside among their own words.
    void logLinesIsolateNames_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("logged");
        QTest::newRow("server link") << "private message"
                                     << "Not logged in, private message to \u2068evil name: \u202E\u2069 not sent";
        QTest::newRow("peer connection") << "user info"
                                         << "Connecting to \u2068evil name: \u202E\u2069 for a P connection";
        QTest::newRow("download queue") << "negative size"
                                        << "Not queueing \u2068\u202Ea.mp3\u2069 from \u2068evil name: \u202E\u2069: "
                                           "its size -1 is negative";
        QTest::newRow("peer's notice") << "upload failed"
                                       << "Received peer notification from \u2068evil name: \u202E\u2069 that upload "
                                          "of \u2068\u202Ea.mp3\u2069 failed";
    }
    void logLinesIsolateNames()
    {
        QFETCH(QString, what);
        QFETCH(QString, logged);
        QString const l_evil = QStringLiteral("evil name: \u202E");
        SetFlag(User(l_evil), "is_online", true);
        FlushLog();
        SetSetting("show_diagnostics", QStringLiteral("yes"));
        QStringList l_logged;
        SetLogViewHook([&l_logged](QString const&, QString const& i_lines) {
            for (QString const& l_line : i_lines.split('\n'))
                l_logged << l_line.section("] ", 1).trimmed();
        });
        if (what == "private message")
            mp_server->SendPrivateChat(l_evil, "hi");
        else if (what == "user info")
            mp_messenger->GetUserInfo(l_evil);
        else if (what == "negative size")
            QVERIFY(mp_transfers->AddDownload(l_evil, "\u202Ea.mp3", "", -1, false, 0).IsNull());
        else if (what == "upload failed")
            emit mp_messenger->UploadFailed(l_evil, "\u202Ea.mp3");
        FlushLog();
        SetLogViewHook(nullptr);
        QVERIFY2(l_logged.contains(logged), qPrintable(l_logged.join('\n')));
    }

    // Entries placed one by one come out as the full sort by group priority,
    // privilege and age; so does a renumbering after privileges changed.
    void order()
    {
        for (int l_user = 0; l_user < 12; ++l_user) {
            Item const l_group = d.GetType("user_list_group")->GetItem(Value(l_user % 4));
            SetAttribute(l_group, "group_download_priority", Value(l_user % 4 - 1)); // -1 counts as 0
            User(QString::number(l_user)).NewItem("in_user_list") += l_group;
            SetFlag(User(QString::number(l_user)), "is_privileged", l_user % 5 == 0);
        }
        auto const l_check = [](int i_first) {
            ItemSet const l_all = d.GetType("upload_entry")->GetItems();
            std::vector<Item> l_sorted(l_all.begin(), l_all.end());
            auto const l_key = [](Item const& i_entry) {
                return std::make_tuple(-std::max(i_entry["user"].AsInt() % 4 - 1, 0),
                                       !i_entry["user"].IsConnected("is_privileged"), i_entry["upload_order"].AsInt64());
            };
            std::sort(l_sorted.begin(), l_sorted.end(), [&](Item i_a, Item i_b) { return l_key(i_a) < l_key(i_b); });
            for (std::size_t l_k = 0; l_k < l_sorted.size(); ++l_k)
                QCOMPARE(l_sorted[l_k]["effective_upload_order"].AsInt(), i_first + int(l_k));
        };
        std::mt19937 l_random(11);
        for (int l_request = 0; l_request < 80; ++l_request)
            Request(QString::number(l_random() % 12), QString("f%1").arg(l_random() % 8), false);
        l_check(1);
        for (char const* lp_user : {"0", "3", "7"})
            SetFlag(User(lp_user), "is_privileged", !User(lp_user).IsConnected("is_privileged"));
        mp_transfers->DetermineUploadsEffectiveOrder();
        l_check(0);
    }

    // An offline user keeps his number and is told it; a slot goes to the
    // first whose user has nothing under way; an offer stalls for 30 s.
    void slotsAndTimeouts()
    {
        Request("bob", "a", false);
        emit mp_messenger->UploadPlaceInLineRequested("bob", Remote("Share/a.mp3"));
        emit mp_messenger->UploadPlaceInLineRequested("bob", Remote("SHARE/a.mp3"));
        QCOMPARE(Sent("bob"), Frames{Le32(44) + Str(Remote("Share/a.mp3")) + Le32(1)});
        SetSetting("upload_slots", qint64(0));
        Request("carol", "a");
        Request("dave", "c");
        Request("carol", "b");
        quint32 const l_token = GetSetting("transfer_req_counter").toUInt();
        mp_transfers->SetUploadSlots(1);
        // An offer tells the size on the disk (one byte), not the index's.
        QCOMPARE(Sent("carol"), Frames{Offer("a", l_token, 1)});
        for (QString const l_place : {"carol:a:0", "dave:c:1", "carol:b:2", "bob:a:1"})
            QCOMPARE(Status(l_place.section(':', 0, 0), l_place.section(':', 1, 1), "effective_upload_order"),
                     l_place.section(':', 2));
        mp_transfers->SetUploadSlots(3);
        QCOMPARE(Sent("dave"), Frames{Offer("c", l_token + 1, 1)});
        mp_transfers->SetUploadSlots(1);
        QCOMPARE(mp_transfers->ActiveUploadCount(), 2);

        m_now = m_now.addMSecs(29999);
        Sweep(0);
        QCOMPARE(Status("dave", "c"), QString("requesting"));
        m_now = m_now.addMSecs(1);
        QSignalSpy l_ended(mp_transfers.get(), &TransferQueueManager::TransferEnded);
        Sweep(0);
        QCOMPARE(Sent("dave"), Frames{Le32(46) + Str(Remote("Share/c.mp3"))});
        QStringList l_reasons;
        for (QList<QVariant> const& l_end : l_ended)
            l_reasons << l_end[1].toString();
        l_reasons.sort();
        QCOMPARE(l_reasons, QStringList({"The transfer to carol did not start within 30 seconds (requesting).",
                                         "The transfer to dave did not start within 30 seconds (requesting)."}));
        QCOMPARE(Sent("carol"), (Frames{Le32(46) + Str(Remote("Share/a.mp3")), Offer("b", l_token + 2, 1)}));
        mp_transfers->SetUploadEntryStatus(d.GetType("upload_entry_status")->GetItem(Value("requesting"))["upload_entry"],
                                         "uploading");
        Sweep(3600);
        QCOMPARE(Status("carol", "b"), QString("uploading"));
    }

    // When summer time ends, 02:00 to 03:00 comes twice; an offer made in
    // the second pass times out 30 s later, not at once.
    void clockChange()
    {
        QByteArray const l_zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        m_now = QDateTime(QDate(2023, 10, 29), QTime(1, 30), Qt::UTC); // 02:30 CET
        Request("bob", "a");
        Sweep(20);
        QCOMPARE(Status("bob", "a"), QString("requesting"));
        Sweep(11);
        QCOMPARE(Status("bob", "a"), QString("aborted"));
        qputenv("TZ", l_zone);
        tzset();
    }

    // Waiting downloads: online users are asked again after ten minutes and
    // for places (oldest first) every ten; offline users and users we
    // download from are left alone.
    void sweepOfDownloads()
    {
        for (char const* lp_user : {"alice", "bob", "carol"})
            for (char const* lp_name : {"one", "two"})
                mp_transfers->AddDownload(lp_user, lp_name, "M", 1, false, 0);
        mp_transfers->GetDownloadEntry("carol", "one", "M") +=
            d.GetType("download_entry_status")->GetItem(Value("downloading"));
        SetFlag(User("alice"), "is_online", true);
        SetFlag(User("carol"), "is_online", true);
        QByteArray const l_one = Str("M\\one"), l_two = Str("M\\two");
        QCOMPARE(Sent("alice"), (Frames{Le32(43) + l_one, Le32(43) + l_two}));
        for (int l_seconds : {30, 569, 2, 30})
            Sweep(l_seconds);
        QCOMPARE(Sent("alice"), (Frames{Le32(51) + l_one, Le32(51) + l_two, Le32(43) + l_one, Le32(43) + l_two,
                                        Le32(51) + l_one, Le32(51) + l_two}));
        // A clock that goes back an hour delays nothing: the queue is asked
        // again at once, and the places half a minute later.
        Sweep(-3600);
        Sweep(30);
        QCOMPARE(Sent("alice"), (Frames{Le32(43) + l_one, Le32(43) + l_two, Le32(51) + l_one, Le32(51) + l_two}));
        QCOMPARE(mp_messenger->UnsentMessageCount("bob"), 0);
        QCOMPARE(Sent("carol"), Frames{Le32(43) + l_two});
    }

    // A user with many downloads who comes online is asked for them in
    // their order, a bounded number of downloads a step; one removed or
    // paused before its turn is not asked for. The sweep asks their places
    // and for those whose retry is due the same way. Going offline stops
    // the asking; coming back asks for all again.
    void comingOnlineWithManyDownloads()
    {
        int const l_count = int(2 * TransferQueueManager::REQUEUE_BATCH) + 10;
        std::vector<Item> l_entries;
        for (int l_k = 0; l_k < l_count; ++l_k) {
            l_entries.push_back(mp_transfers->AddDownload("alice", qPrintable(QString::number(l_k)), "M", 1, false, 0));
            // Against the order they were made in.
            l_entries.back() += d.GetType("download_order")->GetItem(Value(qint64(2 * l_count - l_k)));
        }
        Frames l_asked;
        for (int l_k = l_count - 1; l_k >= 2; --l_k)
            l_asked << Le32(43) + Str(QString("M\\%1").arg(l_k));
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0); // a step a turn
        auto const l_restore = qScopeGuard([l_slice]() { SlicedWork::SetSliceMs(l_slice); });
        auto const l_asking = [this]() { return mp_transfers->IsRequeueing(); };
        Peer("alice"); // connected: a queue of unsent messages would keep only the first 256

        SetFlag(User("alice"), "is_online", true);
        QVERIFY(l_asking());
        mp_transfers->RemoveDownload(l_entries[0]);
        mp_transfers->PauseDownload(l_entries[1]);
        QVERIFY(WaitUntil([&]() { return !l_asking(); }));
        QCOMPARE(Sent("alice"), l_asked);
        QVERIFY2(mp_transfers->MostRequeuedInAStep() <= TransferQueueManager::REQUEUE_BATCH,
                 qPrintable(QString::number(mp_transfers->MostRequeuedInAStep())));

        // Half a minute later the sweep asks for the places of the queued
        // ones, in their order, in steps as well; so it asks for those that
        // failed here once their retry is due, in the order they were made.
        Frames l_places;
        for (QByteArray const& l_request : l_asked)
            l_places << Le32(51) + l_request.mid(4);
        m_now = m_now.addSecs(30);
        mp_transfers->EveryHalfMinute();
        QVERIFY(l_asking());
        QCOMPARE(Sent("alice"), l_places);
        Frames l_retried;
        for (int l_k = 2; l_k < 2 + int(TransferQueueManager::REQUEUE_BATCH) + 40; ++l_k) {
            mp_transfers->SetDownloadEntryStatus(l_entries[l_k], "local error");
            l_entries[l_k] += d.GetType("download_retry_time")->GetItem(Value(m_now.toLocalTime().toString(Qt::TextDate)));
            l_retried << Le32(43) + Str(QString("M\\%1").arg(l_k));
        }
        Sweep(30);
        QCOMPARE(Sent("alice"), l_retried);
        QVERIFY2(mp_transfers->MostRequeuedInAStep() <= TransferQueueManager::REQUEUE_BATCH,
                 qPrintable(QString::number(mp_transfers->MostRequeuedInAStep())));
        QCOMPARE(mp_transfers->MostRequestsInAStep(), 1u);
        QVERIFY2(mp_transfers->MostSweptInAStep() > 0 &&
                     mp_transfers->MostSweptInAStep() <= TransferQueueManager::REQUEUE_BATCH,
                 qPrintable(QString::number(mp_transfers->MostSweptInAStep())));
        // Ten minutes on, his downloads are asked for again; one whose
        // retry is due too is asked for once, in its order.
        m_now = m_now.addSecs(570);
        for (int l_k : {5, 300}) {
            mp_transfers->SetDownloadEntryStatus(l_entries[l_k], "local error");
            l_entries[l_k] += d.GetType("download_retry_time")->GetItem(Value(m_now.toLocalTime().toString(Qt::TextDate)));
        }
        Sweep(0);
        QCOMPARE(Sent("alice"), l_asked);

        SetFlag(User("alice"), "is_online", false);
        SetFlag(User("alice"), "is_online", true);
        for (int l_turn = 0; l_turn < 10; ++l_turn)
            QCoreApplication::processEvents();
        SetFlag(User("alice"), "is_online", false);
        QVERIFY(WaitUntil([&]() { return !l_asking(); }));
        Frames const l_before = Sent("alice");
        QVERIFY2(l_before.size() < l_asked.size(), qPrintable(QString::number(l_before.size())));
        QCOMPARE(l_before, l_asked.mid(0, l_before.size()));
        SetFlag(User("alice"), "is_online", true);
        QVERIFY(WaitUntil([&]() { return !l_asking(); }));
        QCOMPARE(Sent("alice"), l_asked);
    }

    // Finish and quit ends the program's loop once uploads have been idle
    // for more than 300 s (never changing counts as long ago), but not while
    // one is queued.
    void finishAndQuit()
    {
        struct Case { int m_idleSeconds; bool m_queued, m_quits; };
        for (Case const l_case : {Case{-1, false, true}, {300, false, false}, {301, false, true}, {400, true, false}}) {
            SetVSetting("finish_uploads_and_quit", "no");
            if (l_case.m_queued)
                Request("bob", "a", false);
            SetVSetting("last_upload_state_change", l_case.m_idleSeconds < 0 ? "" : m_now.toLocalTime().toString(Qt::TextDate));
            m_now = m_now.addSecs(std::max(l_case.m_idleSeconds, 0));
            SetVSetting("finish_uploads_and_quit", "yes");
            QObject l_context;
            QTimer::singleShot(0, &l_context, [&] {
                mp_transfers->EveryHalfMinute();
                QTimer::singleShot(0, &l_context, [] { QCoreApplication::exit(1); });
            });
            QCOMPARE(QCoreApplication::exec() == 0, l_case.m_quits);
        }
    }

    // A file unshared while it waits is never offered: its turn brings the
    // denial, and so does the peer's acceptance of an earlier offer. Barring
    // a user denies all his uploads.
    void unsharedNeverSent()
    {
        Request("bob", "a");
        Request("carol", "b");
        mp_shares->UnshareFolder(d.GetType("shared_folder")->HasItem(Value(mp_dir->filePath("Share"))));
        emit mp_messenger->FileTransferResponse("bob", 1, true, false, 0, QString());
        QCOMPARE(Sent("bob"), (Frames{Offer("a", 1, 1), Denial("a", "File not shared.")}));
        QCOMPARE(Sent("carol"), Frames{Denial("b", "File not shared.")});
        QCOMPARE(d.GetType("upload_entry")->GetItemCount(), size_t(0));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("2"));

        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        QTRY_VERIFY(!mp_shares->IsBusy());
        Request("bob", "a");
        Request("bob", "b");
        mp_transfers->UnshareUser("bob");
        QCOMPARE(Sent("bob"), (Frames{Offer("a", 2, 1), Denial("a", "File not shared."), Denial("b", "File not shared.")}));
        QCOMPARE(mp_transfers->ActiveUploadCount(), 0);
    }

    // Offers from peers: each status of the download, a user who may push
    // files and one who may not, a request that we send, and a path that
    // another user's running download is writing; the size an accepted
    // offer tells is the one the download reads.
    void offers()
    {
        Item const l_friends = d.GetType("user_list_group")->GetItem(Value("friends"));
        SetFlag(l_friends, "accept_uploads", true);
        User("pal").NewItem("in_user_list") += l_friends;
        mp_transfers->AddDownload("carol", "busy", "M", 5, false, 0) +=
            d.GetType("download_entry_status")->GetItem(Value("downloading"));
        struct Case { QString m_user, m_status; int m_direction; QString m_denial, m_after; };
        Case const l_cases[] = {
            {"bob", "", 1, "Cancelled", ""},          {"pal", "", 1, "", "queued"},
            {"bob", "complete", 1, "Complete", "complete"}, {"bob", "paused", 1, "Cancelled", "paused"},
            {"bob", "queued", 1, "", "queued"},       {"bob", "aborted", 1, "", "aborted"},
            {"bob", "denied", 1, "", "denied"},       {"bob", "local error", 1, "", "local error"},
            {"bob", "queued", 0, "Queued", "queued"}, {"bob", "downloading", 1, "", "aborted"},
            {"dave", "queued", 1, "Queued", "queued"}, // the file carol's download is writing
        };
        for (quint32 l_token = 1; l_token <= std::size(l_cases); ++l_token) {
            Case const& l_case = l_cases[l_token - 1];
            std::string const l_name = l_case.m_user == "dave" ? "busy" : std::to_string(l_token);
            if (!l_case.m_status.isEmpty())
                mp_transfers->AddDownload(l_case.m_user, l_name, "M", 5, false, 0) +=
                    d.GetType("download_entry_status")->GetItem(Value(l_case.m_status));
            emit mp_messenger->FileTransferRequested(l_case.m_user, l_case.m_direction, l_token, "M\\" + l_name, 7);
            Frames l_expected{Answer(l_token, l_case.m_denial)};
            if (l_case.m_direction != 1)
                l_expected << Le32(50) + Str("M\\" + QString::number(l_token)) + Str("File not shared.");
            QCOMPARE(Sent(l_case.m_user), l_expected);
            Item const l_entry = mp_transfers->GetDownloadEntry(l_case.m_user, l_name, "M");
            QCOMPARE(l_entry["download_entry_status"].AsString(), l_case.m_after);
            QCOMPARE(l_entry["remote_transfer_req"].AsUInt64() == l_token, l_case.m_denial.isEmpty());
            // An accepted offer's size (7) replaces the one the search gave (5).
            if (l_entry.IsValid())
                QCOMPARE(l_entry["file_size"].AsInt64(), qint64(l_case.m_denial.isEmpty() ? 7 : 5));
        }
    }

    // Answers to our offers, one to each of seven users: an unknown token,
    // the wrong user, a denial, an answer too late, two files that cannot be
    // read (gone; a pipe, which must not block us) and an acceptance.
    void answers()
    {
        SetSetting("upload_slots", qint64(99));
        for (int l_k = 0; l_k < 7; ++l_k)
            Request(QString::number(l_k), QString("f%1").arg(l_k)); // token l_k + 1
        mp_transfers->SetUploadEntryStatus(d.GetType("transfer_req")->HasItem(Value(4))["upload_entry"], "connecting");
        QFile::remove(mp_dir->filePath("Share/f4.mp3"));
        QFile::remove(mp_dir->filePath("Share/f5.mp3"));
        QCOMPARE(mkfifo(qPrintable(mp_dir->filePath("Share/f5.mp3")), 0600), 0);
        emit mp_messenger->FileTransferResponse("0", 99, true, false, 0, "");
        emit mp_messenger->FileTransferResponse("carol", 1, true, false, 0, "");
        emit mp_messenger->FileTransferResponse("1", 2, false, false, 0, "Queued");
        for (int l_k = 3; l_k < 7; ++l_k)
            emit mp_messenger->FileTransferResponse(QString::number(l_k), l_k + 1, true, false, 0, "");
        QStringList const l_after{"requesting", "denied", "requesting", "connecting", "local error", "local error",
                                  "connecting"};
        for (int l_k = 0; l_k < 7; ++l_k) {
            QString const l_name = QString("f%1").arg(l_k);
            Frames const l_read{Offer(l_name, l_k + 1, 2), Denial(l_name, "File read error.")};
            QCOMPARE(Sent(QString::number(l_k)), l_read.mid(0, l_k == 4 || l_k == 5 ? 2 : 1));
            QCOMPARE(Status(QString::number(l_k), l_name), l_after[l_k]);
        }
        QCOMPARE(Status("1", "f1", "denial_reason"), QString("Queued"));
    }

    // The downloader's half: bob offers, connects with the token and gets
    // the partial file's length; a second connection for the running
    // download is refused, and so is the old token once a new offer has
    // replaced it and ended the running download.
    void downloaderHalf()
    {
        // Its own partial file, as a run before a restart left it.
        Item const l_entry = mp_transfers->AddDownload("bob", "song", "M", 10, false, 0);
        WriteFile("Downloads/downloading/M/song", "012");
        l_entry += d.GetType("partial_file_made")->GetGlobalNullItem();
        auto const l_offer = [&](quint32 i_token) {
            QByteArray l_frame;
            Peer("bob").write(PeerWire::BuildFrame(Le32(40) + Le32(1) + Le32(i_token) + Str("M\\song") + Le64(10), false));
            return AwaitFrame(Peer("bob"), l_frame) && l_frame == Answer(i_token);
        };
        auto const l_connect = [&](quint32 i_token) {
            auto lp_socket = ConnectRaw(mp_messenger->ListeningPort());
            lp_socket->write(HandshakeFrame("bob", "F") + Le32(i_token));
            return lp_socket;
        };
        QVERIFY(l_offer(77));
        auto lp_running = l_connect(77);
        QCOMPARE(ReadBytes(*lp_running, 8), Le64(3));
        QVERIFY(AwaitClosed(*l_connect(77)));
        QVERIFY(l_offer(78));
        QVERIFY(AwaitClosed(*lp_running) && AwaitClosed(*l_connect(77)));
        auto lp_again = l_connect(78);
        QCOMPARE(ReadBytes(*lp_again, 8), Le64(3));
        lp_again->write("3456789");
        QTRY_COMPARE(l_entry["download_entry_status"].AsString(), QString("complete"));
        QFile l_done(mp_dir->filePath("Downloads/complete/M/song"));
        QVERIFY(l_done.open(QIODevice::ReadOnly) && l_done.readAll() == "0123456789");
    }

    // The uploader's half: bob asks for a file and accepts our offer; we
    // connect to him, send the token and the bytes from his offset.
    void uploaderHalf()
    {
        QTcpServer l_listener;
        QVERIFY(l_listener.listen(QHostAddress::LocalHost, 0));
        SetAttribute(User("bob"), "user_address", Value(static_cast<unsigned long long>(LocalIp())));
        SetAttribute(User("bob"), "user_port", Value(int(l_listener.serverPort())));
        SetFlag(User("bob"), "is_online", true);
        WriteFile("Share/f0.mp3", "abcdef");
        mp_shares->RescanShares();
        QTRY_VERIFY(!mp_shares->IsBusy());
        Peer("bob").write(PeerWire::BuildFrame(Le32(43) + Str(Remote("Share/f0.mp3")), false));
        QByteArray l_frame;
        QVERIFY(AwaitFrame(Peer("bob"), l_frame) && l_frame == Offer("f0", 1, 6));
        Peer("bob").write(PeerWire::BuildFrame(Answer(1), false));
        PeerWire::Handshake l_handshake;
        auto lp_file = AcceptHandshake(l_listener, l_handshake);
        QVERIFY(lp_file && l_handshake.m_user == "me" && l_handshake.m_type == "F");
        QCOMPARE(ReadBytes(*lp_file, 4), Le32(1));
        lp_file->write(Le64(2));
        QCOMPARE(ReadBytes(*lp_file, 4), QByteArray("cdef"));
        lp_file->close();
        QTRY_COMPARE(Status("bob", "f0"), QString("complete"));
    }
};

QTEST_MAIN(UploadsTest)
#include "UploadsTest.moc"
