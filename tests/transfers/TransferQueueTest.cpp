// The transfer queue manager beside the real server link, peer messenger and
// data saver: its saved state across restarts, the download queue's status
// machine and notices, local paths from hostile names, and completion.

#include "../peers/PeerTestSupport.h"
#include "TransfersFixture.h"

#include "peers/PeerMessenger.h"
#include "store/SlicedWork.h"
#include "server/StoreTypes.h"
#include "shares/UploadQueueHooks.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>
#include <vector>

#include <csignal>
#include <sys/resource.h>

// The upload limit's share per transfer, with uploads of these statuses.
struct LimitCase { int m_limit; bool m_enabled; QStringList m_uploads; int m_perTransfer; };
// A download's status before and after an operation, and the requests sent.
struct StatusCase { QString m_from, m_operation; bool m_online; QString m_to; int m_sent; };
// A peer's folder, name and depth, and the local path below "downloading".
struct NameCase { QString m_folder, m_name; int m_level; QString m_local; };
Q_DECLARE_METATYPE(LimitCase)
Q_DECLARE_METATYPE(StatusCase)
Q_DECLARE_METATYPE(NameCase)

class TransferQueueTest : public QObject,
                          public ManagerSet<DataSaver, Server, PeerMessenger, TransferQueueManager>
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<QSignalSpy> mp_loaded;
    QString m_base;

    // The managers, then the start-up load.
    void Start()
    {
        StartManagers();
        mp_loaded.reset(new QSignalSpy(mp_transfers.get(), &TransferQueueManager::TransfersLoaded));
        SetSetting("listening_port", qint64(0));
        mp_saver->Load(m_base);
    }

    void Stop()
    {
        mp_loaded.reset();
        StopManagers();
    }

    void Restart()
    {
        QVERIFY(mp_saver->Save(m_base));
        Stop();
        Start();
    }

    QString Folder() const { return mp_dir->path() + "/Downloads"; }

    Item Add(QString const& i_name, std::string const& i_folder = "Music\\Rock\\Band\\Album", qint64 i_size = 100,
             QString const& i_user = "bob", int i_level = 1)
    {
        return mp_transfers->AddDownload(i_user, i_name.toStdString(), i_folder, i_size, false, i_level);
    }

    static QString Status(Item const& i_entry) { return i_entry["download_entry_status"].AsString(); }
    static void SetOnline(QString const& i_user, bool i_online)
    {
        SetFlag(d.GetType("user")->GetItem(Value(i_user)), "is_online", i_online);
    }
    // A user's downloads are asked for in slices of the event loop.
    int Sent(QString const& i_user = "bob") const
    {
        static_cast<void>(WaitUntil([this]() { return !mp_transfers->IsRequeueing(); }));
        return mp_messenger->UnsentMessageCount(i_user);
    }

    // A running download, its far end the test's; one that does not start ends the test program.
    std::unique_ptr<QTcpSocket> Run(Item const& i_entry)
    {
        auto l_pair = ConnectedPair();
        if (!mp_transfers->StartDownload(i_entry, l_pair.first) || ReadBytes(*l_pair.second, 8).size() != 8)
            qFatal("a download did not start");
        return std::move(l_pair.second);
    }

    // Runs a download to its end: the far end sends every byte.
    void Complete(Item const& i_entry, QByteArray const& i_content)
    {
        auto lp_peer = Run(i_entry);
        lp_peer->write(i_content);
        QTRY_COMPARE(Status(i_entry), QString("complete"));
    }

    // A download cut off after these bytes: its own partial file.
    void Hold(Item const& i_entry, QByteArray const& i_bytes)
    {
        auto lp_peer = Run(i_entry);
        lp_peer->write(i_bytes);
        lp_peer->disconnectFromHost();
        QTRY_COMPARE(Status(i_entry), QString("aborted"));
    }

    // A peer's connection (bob's, unless named), vouched for as the server would.
    std::unique_ptr<QTcpSocket> ConnectPeer(QString const& i_user = "bob")
    {
        SetUserAddress(i_user, 1);
        auto lp_peer = ConnectRaw(mp_messenger->ListeningPort());
        if (!lp_peer)
            qFatal("a peer cannot connect");
        lp_peer->write(HandshakeFrame(i_user, "P"));
        return lp_peer;
    }

    // bob offers us a file (peer message 40) under the token.
    static void Offer(QTcpSocket& io_bob, QByteArray const& i_path, quint32 i_token, qint64 i_size)
    {
        io_bob.write(PeerWire::BuildFrame(
            Msg(40, Le32(1) + Le32(i_token) + Le32(quint32(i_path.size())) + i_path + Le64(i_size)), false));
    }

    // The peer's file connection for the offer of that token.
    std::unique_ptr<QTcpSocket> OpenFileConnection(quint32 i_token, QString const& i_user = "bob")
    {
        auto lp_socket = ConnectRaw(mp_messenger->ListeningPort());
        if (!lp_socket)
            qFatal("a peer cannot open a file connection");
        lp_socket->write(HandshakeFrame(i_user, "F") + Le32(i_token));
        return lp_socket;
    }

private slots:
    void init()
    {
        mp_dir.reset(new QTemporaryDir);
        m_base = mp_dir->filePath(".Quillmar");
        Start();
        SetSetting("download_folder", Folder());
    }

    void cleanup() { Stop(); }

    void firstRunAndSettings()
    {
        QCOMPARE(mp_loaded->count(), 1);
        QCOMPARE(d.GetType("excluded_download_extension")->GetItemCount(), size_t(1));
        QVERIFY(mp_transfers->HasExcludedDownloadExtension("Setup.INI"));
        QVERIFY(!mp_transfers->HasExcludedDownloadExtension("setup.ini.bak"));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("1"));
        // The share index's questions reach the upload queue.
        d.GetType("upload_entry")->NewItem() += d.GetType("upload_entry_status")->GetItem(Value("queued"));
        QCOMPARE(QueuedUploadCount(), 1);
        QVERIFY(IsFreeToUpload());

        // A deleted extension stays deleted; the saved settings come back within their bounds.
        d.GetType("excluded_download_extension")->HasItem(Value(".ini")).Remove();
        struct Clamp { char const* mp_key; char const* mp_saved; char const* mp_loaded; };
        Clamp const l_clamps[] = {{"upload_slots", "0", "1"}, {"max_queued_uploads_per_user", "9", "10"},
                                  {"max_queued_mb_per_user", "50", "50"}, {"transfer_req_counter", "77", "77"}};
        for (Clamp const& l_clamp : l_clamps)
            SetSetting(l_clamp.mp_key, QString(l_clamp.mp_saved));
        Restart();
        for (Clamp const& l_clamp : l_clamps)
            QCOMPARE(GetSetting(l_clamp.mp_key), QString(l_clamp.mp_loaded));
        QCOMPARE(d.GetType("excluded_download_extension")->GetItemCount(), size_t(0));
        QVERIFY(!mp_transfers->HasExcludedDownloadExtension("Setup.INI"));
        QCOMPARE(GetSetting("download_folder"), Folder());
        for (char const* lp_slots : {"-3", "", "many", "2"}) {
            SetSetting("upload_slots", QString(lp_slots));
            mp_transfers->DataLoaded();
            QCOMPARE(GetSetting("upload_slots"), QString(lp_slots) == "2" ? QString("2") : QString("1"));
        }
        d.GetType("excluded_download_extension")->GetItem(Value(""));
        QVERIFY(mp_transfers->HasExcludedDownloadExtension("anything"));
    }

    void queueSurvivesRestart()
    {
        // A file of each status, named by it; the paused one is carol's.
        char const* const l_saved[] = {"queued", "downloading", "aborted", "denied", "local error", "paused",
                                       "complete"};
        auto const l_user = [](QString const& i_status) { return i_status == "paused" ? "carol" : "bob"; };
        for (char const* lp_status : l_saved)
            Add(lp_status, "Music\\Saved", 1234, l_user(lp_status), 0) +=
                d.GetType("download_entry_status")->GetItem(Value(lp_status));
        mp_transfers->AddDownload("bob", "single.mp3", "Music", 5, true, 0);
        Restart();

        QCOMPARE(d.GetType("download_entry")->GetItemCount(), size_t(8));
        for (QString const l_status : l_saved) {
            Item l_entry = mp_transfers->GetDownloadEntry(l_user(l_status), l_status.toStdString(), "Music\\Saved");
            QVERIFY2(l_entry.IsValid(), qPrintable(l_status));
            bool const l_kept = l_status == "paused" || l_status == "complete";
            QCOMPARE(Status(l_entry), l_kept ? l_status : QString("queued"));
            QCOMPARE(l_entry["file_size"].AsInt64(), qint64(1234));
            QVERIFY(l_entry["last_status_change_time"].IsNull());
        }
        // The flag that says where a single download's file lies is kept.
        QVERIFY(mp_transfers->GetDownloadEntry("bob", "single.mp3", "Music").IsConnected("single_download"));
        QVERIFY(!mp_transfers->GetDownloadEntry("bob", "queued", "Music\\Saved").IsConnected("single_download"));
        for (char const* lp_user : {"bob", "carol"})
            QVERIFY(d.GetType("user")->HasItem(Value(lp_user)).IsConnected("is_tracked"));
        QCOMPARE(Sent(), 0);
        // Order numbers went on across the restart.
        QCOMPARE(Add("after")["download_order"].AsInt(), 9);

        // A download saved without a local name (by an older version, or
        // never offered then) owns no file: what lies where its remote name
        // leads may be another download's partial file. It takes a free
        // name, and so does a newer remote name that makes the same one;
        // neither resumes from those bytes, which stay.
        Item l_old = Add("a/b.mp3", "Top", 6, "bob", 0);
        l_old.Disconnect(l_old["local_place"]);
        WriteFileAt(Folder() + "/downloading/Top/a_b.mp3", "old");
        Restart();
        for (auto const& l_case : {std::pair{"a/b.mp3", "a_b (1).mp3"}, std::pair{"a_b.mp3", "a_b (2).mp3"}}) {
            Item const l_entry = Add(l_case.first, "Top", 6, "bob", 0);
            QCOMPARE(mp_transfers->GetSafeDownloadPath(l_entry, false),
                     Folder() + "/downloading/Top/" + l_case.second);
            auto l_pair = ConnectedPair();
            QVERIFY(mp_transfers->StartDownload(l_entry, l_pair.first));
            QCOMPARE(ReadBytes(*l_pair.second, 8), Le64(0));
        }
        QCOMPARE(ReadFileAt(Folder() + "/downloading/Top/a_b.mp3"), QByteArray("old"));
    }

    // A saved queue of downloads without places comes in over several
    // turns of the event loop, a bounded number of downloads each, however
    // long a turn may run: meanwhile no offer of one without its place is
    // taken and its user is not tracked (a user reported online would have
    // his queue asked for); then each has a place, given in the queue's
    // order, and may be taken.
    void bigQueueLoadsInTurns()
    {
        int const l_count = 3 * TransferQueueManager::LOAD_STEPS_PER_TURN;
        // Folders of one name at level 0: every file of them would land at
        // "Album\f.mp3", and the queue's order decides who gets it. The
        // order runs against the order they were made in.
        std::vector<Item> l_entries;
        for (int l_k = 0; l_k < l_count; ++l_k) {
            Item const l_entry = Add("f.mp3", QString("S%1\\Album").arg(l_k).toStdString(), 6, "dora", 0);
            l_entry.Disconnect(l_entry["local_place"]);
            // Numbers above those given, each of which names one download.
            l_entry += d.GetType("download_order")->GetItem(Value(qint64(2 * l_count - l_k)));
            l_entries.push_back(l_entry);
        }
        QVERIFY(mp_saver->Save(m_base));
        Stop();
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(3600 * 1000);
        auto const l_restore = qScopeGuard([l_slice]() { SlicedWork::SetSliceMs(l_slice); });
        Start();

        QVERIFY(mp_transfers->IsLoadingQueue());
        QCOMPARE(mp_loaded->count(), 0);
        QCOMPARE(mp_transfers->MostLoadStepsInATurn(), std::uint64_t(TransferQueueManager::LOAD_STEPS_PER_TURN));
        QVERIFY(!d.GetType("user")->HasItem(Value("dora")).IsConnected("is_tracked"));
        // The first made is the last in order.
        Item const l_last = mp_transfers->GetDownloadEntry("dora", "f.mp3", "S0\\Album");
        Item const l_first =
            mp_transfers->GetDownloadEntry("dora", "f.mp3", QString("S%1\\Album").arg(l_count - 1).toStdString());
        QVERIFY(l_last.IsValid() && l_first.IsValid());
        emit mp_messenger->FileTransferRequested("dora", 1, 901, "S0\\Album\\f.mp3", 6);
        QVERIFY(l_last["remote_transfer_req"].IsNull());
        QVERIFY(l_last["local_place"].IsNull());

        QTRY_COMPARE_WITH_TIMEOUT(mp_loaded->count(), 1, 30000);
        QCOMPARE(mp_transfers->MostLoadStepsInATurn(), std::uint64_t(TransferQueueManager::LOAD_STEPS_PER_TURN));
        QVERIFY(d.GetType("user")->HasItem(Value("dora")).IsConnected("is_tracked"));
        QCOMPARE(mp_transfers->GetSafeDownloadPath(l_first, false), Folder() + "/downloading/Album/f.mp3");
        QCOMPARE(mp_transfers->GetSafeDownloadPath(l_last, false),
                 Folder() + QString("/downloading/Album/f (%1).mp3").arg(l_count - 1));
        emit mp_messenger->FileTransferRequested("dora", 1, 902, "S0\\Album\\f.mp3", 6);
        QCOMPARE(l_last["remote_transfer_req"].AsString(), QString("902"));
    }

    // The users of a saved queue are gathered for the load's end in work
    // that grows with the queue (counted where sets grow), whatever their
    // order: a data file whose downloads come in the reverse order of
    // their users made it grow with the square.
    void loadedQueueUsersInAnyOrder()
    {
        int const l_count = 1000;
        for (int l_k = 0; l_k < l_count; ++l_k)
            d.GetType("user")->GetItem(Value(QString("u%1").arg(l_k)));
        for (int l_k = l_count - 1; l_k >= 0; --l_k)
            Add(QString("%1.mp3").arg(l_k), "Album", 6, QString("u%1").arg(l_k), 0);
        QVERIFY(mp_saver->Save(m_base));
        Stop();
        std::uint64_t const l_before = ItemSet::GrowthWork();
        Start();
        QTRY_COMPARE_WITH_TIMEOUT(mp_loaded->count(), 1, 2 * WAIT_MS);
        std::uint64_t const l_work = ItemSet::GrowthWork() - l_before;
        QVERIFY2(l_work < l_count * 64, qPrintable(QString::number(l_work)));
        QVERIFY(d.GetType("user")->HasItem(Value("u0")).IsConnected("is_tracked"));
    }

    void speedLimits_data()
    {
        QTest::addColumn<LimitCase>("row");
        QTest::newRow("no transfer") << LimitCase{100, true, {}, 100};
        QTest::newRow("3 over 4, negotiating counts")
            << LimitCase{3, true, {"requesting", "connecting", "uploading", "uploading"}, 1};
        QTest::newRow("queued does not count") << LimitCase{100, true, {"uploading", "queued"}, 100};
        QTest::newRow("switched off") << LimitCase{100, false, {"uploading"}, 0};
        QTest::newRow("zero") << LimitCase{0, true, {}, 0};
    }

    void speedLimits()
    {
        QFETCH(LimitCase, row);
        for (QString const& l_status : row.m_uploads)
            d.GetType("upload_entry")->NewItem() += d.GetType("upload_entry_status")->GetItem(Value(l_status));
        mp_transfers->SetUploadSpeedLimit(row.m_limit);
        mp_transfers->EnableUploadSpeedLimit(row.m_enabled);
        QCOMPARE(mp_transfers->GetUploadBudget().PerTransferRate(), row.m_perTransfer);
        QCOMPARE(mp_transfers->GetUploadSpeed(), row.m_perTransfer ? row.m_limit : 0);
        QCOMPARE(mp_transfers->ActiveUploadCount(), row.m_uploads.size() - row.m_uploads.count("queued"));
    }

    void addDownload()
    {
        SetOnline("alice", true);
        Item l_first = Add("a.mp3");
        QCOMPARE(Status(l_first), QString("queued"));
        QCOMPARE(Sent(), 0); // bob is offline
        QVERIFY(d.GetType("user")->HasItem(Value("bob"))["next_place_in_line_request_time"].IsValid());
        l_first += d.GetType("download_entry_status")->GetItem(Value("denied"));
        QCOMPARE(Add("a.mp3"), l_first);
        QCOMPARE(Status(l_first), QString("denied"));
        QVERIFY(Add("negative", "x", -1).IsNull());
        QCOMPARE(Add("b.mp3", "F", 1, "alice")["download_order"].AsInt(), l_first["download_order"].AsInt() + 1);
        QCOMPARE(Sent("alice"), 1);

        // A file already in place is complete at once; nothing is asked,
        // and the request is told, as is a second one.
        QSignalSpy l_already(mp_transfers.get(), &TransferQueueManager::DownloadAlreadyComplete);
        WriteFileAt(Folder() + "/complete/Band/Album/c.mp3", Pattern(101));
        Item l_present = Add("c.mp3", "Music\\Rock\\Band\\Album", 100, "dave");
        QCOMPARE(Status(l_present), QString("complete"));
        QCOMPARE(Add("c.mp3", "Music\\Rock\\Band\\Album", 100, "dave"), l_present);
        QCOMPARE(l_already.count(), 2);
        QCOMPARE(l_already.value(1).value(0).value<Item>(), l_present);
        QVERIFY(d.GetType("user")->HasItem(Value("dave"))["next_place_in_line_request_time"].IsNull());
        QCOMPARE(Sent("dave"), 0);
        WriteFileAt(Folder() + "/complete/Band/Album/d.mp3", Pattern(101));
        QCOMPARE(Status(Add("d.mp3", "Music\\Rock\\Band\\Album", 102, "dave")), QString("queued"));
        QCOMPARE(Add("a.mp3"), l_first); // denied, not complete
        QCOMPARE(l_already.count(), 2);

        // Peer message 60: a stranger may not push files to us.
        emit mp_messenger->QueueDownloadRequested("erin", "Pushed\\file.mp3", 10);
        QVERIFY(mp_transfers->GetDownloadEntry("erin", "file.mp3", "Pushed").IsNull());
    }

    void statusTable_data()
    {
        QTest::addColumn<StatusCase>("row");
        for (char const* lp_from : {"queued", "aborted", "denied", "local error"})
            QTest::addRow("retry %s", lp_from) << StatusCase{lp_from, "retry", false, "queued", 1};
        for (char const* lp_from : {"complete", "paused", "downloading"})
            QTest::addRow("retry %s", lp_from) << StatusCase{lp_from, "retry", false, lp_from, 0};
        QTest::newRow("pause queued") << StatusCase{"queued", "pause", false, "paused", 0};
        QTest::newRow("pause complete") << StatusCase{"complete", "pause", false, "complete", 0};
        QTest::newRow("resume online") << StatusCase{"paused", "resume", true, "queued", 1};
        QTest::newRow("resume offline") << StatusCase{"paused", "resume", false, "queued", 0};
        QTest::newRow("resume queued") << StatusCase{"queued", "resume", true, "queued", 0};
        QTest::newRow("denial") << StatusCase{"queued", "denied", false, "denied", 0};
        QTest::newRow("denial of complete") << StatusCase{"complete", "denied", false, "complete", 0};
        QTest::newRow("failure, online") << StatusCase{"queued", "failed", true, "queued", 1};
        for (char const* lp_from : {"paused", "complete"})
            QTest::addRow("failure, %s", lp_from) << StatusCase{lp_from, "failed", true, lp_from, 0};
        QTest::newRow("failure, offline") << StatusCase{"aborted", "failed", false, "aborted", 0};
        QTest::newRow("failure, local error") << StatusCase{"local error", "failed", true, "local error", 0};
    }

    void statusTable()
    {
        QFETCH(StatusCase, row);
        QString const& l_operation = row.m_operation;
        SetOnline("bob", row.m_online);
        Item l_entry = Add("song.mp3");
        l_entry += d.GetType("download_entry_status")->GetItem(Value(row.m_from));
        int const l_before = Sent();
        if (l_operation == "retry")
            mp_transfers->RequeueDownload(l_entry);
        else if (l_operation == "pause")
            mp_transfers->PauseDownload(l_entry);
        else if (l_operation == "resume")
            mp_transfers->ResumeDownload(l_entry);
        else if (l_operation == "denied")
            emit mp_messenger->UploadDenied("bob", "Music\\Rock\\Band\\Album\\song.mp3", "Too many files");
        else if (l_operation == "failed")
            emit mp_messenger->UploadFailed("bob", "Music\\Rock\\Band\\Album\\song.mp3");
        QCOMPARE(Status(l_entry), row.m_to);
        QCOMPARE(Sent() - l_before, row.m_sent);
        if (l_operation == "denied")
            QCOMPARE(l_entry["denial_reason"].AsString(), QString(row.m_to == "denied" ? "Too many files" : ""));
    }

    // A user who comes online has his entries retried, but for complete,
    // denied and paused ones (the upload tests read the requests' bytes); a
    // place in line is asked for, and the answer kept.
    void comingOnline()
    {
        char const* const l_statuses[] = {"denied", "local error", "complete", "paused", "aborted", "queued"};
        for (char const* lp_status : l_statuses)
            Add(lp_status, "M", 1, "alice") += d.GetType("download_entry_status")->GetItem(Value(lp_status));
        Add("all complete", "M", 1, "carol") += d.GetType("download_entry_status")->GetItem(Value("complete"));
        QDateTime const l_before = QDateTime::currentDateTime();
        SetOnline("alice", true);
        SetOnline("carol", true);
        QDateTime const l_after = QDateTime::currentDateTime();
        QCOMPARE(Sent("alice"), 3);
        QCOMPARE(Sent("carol"), 0);
        for (QString const l_status : l_statuses) {
            bool const l_kept = l_status == "denied" || l_status == "complete" || l_status == "paused";
            QCOMPARE(Status(mp_transfers->GetDownloadEntry("alice", l_status.toStdString(), "M")),
                     l_kept ? l_status : QString("queued"));
        }
        Item l_carol = d.GetType("user")->HasItem(Value("carol"));
        QVERIFY(l_carol["last_queue_request_time"].IsValid());
        QDateTime const l_next = QDateTime::fromString(l_carol["next_place_in_line_request_time"].AsString(),
                                                       Qt::TextDate);
        // Stored with one-second resolution, so the bounds are a second apart.
        QVERIFY(l_before.secsTo(l_next) >= 29 && l_after.secsTo(l_next) <= 30);

        mp_transfers->RequestDownloadPlaceInLine(mp_transfers->GetDownloadEntry("alice", "queued", "M"));
        QCOMPARE(Sent("alice"), 4);
        emit mp_messenger->DownloadPlaceInLine("alice", "M\\queued", 17);
        emit mp_messenger->DownloadPlaceInLine("alice", "M\\unknown", 3);
        QCOMPARE(mp_transfers->GetDownloadEntry("alice", "queued", "M")["place_in_line"].AsInt(), 17);
    }

    // Pausing, removing, or a status change that leaves "downloading" frees
    // the thread, socket, file and cells, and returns the share of the limit.
    void runningDownloadReleased_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("pause") << "pause";
        QTest::newRow("remove") << "remove";
        QTest::newRow("denial") << "denied";
    }

    void runningDownloadReleased()
    {
        QFETCH(QString, operation);
        mp_transfers->SetDownloadSpeedLimit(100);
        mp_transfers->EnableDownloadSpeedLimit(true);
        Item l_entry = Add("big.bin", "Music\\Rock\\Band\\Album", 1 << 20);
        Item l_other = Add("other.bin", "Music\\Rock\\Band\\Album", 1 << 20);
        auto lp_peer = Run(l_entry);
        auto lp_otherPeer = Run(l_other);
        QCOMPARE(mp_transfers->ActiveDownloadCount(), 2);
        QCOMPARE(mp_transfers->GetDownloadBudget().PerTransferRate(), 50);
        lp_peer->write(Pattern(100000));
        QSignalSpy l_progress(mp_transfers.get(), &TransferQueueManager::DownloadProgressed);
        QVERIFY(l_progress.wait(WAIT_MS));

        if (operation == "pause")
            mp_transfers->PauseDownload(l_entry);
        else if (operation == "remove")
            mp_transfers->RemoveDownload(l_entry);
        else
            emit mp_messenger->UploadDenied("bob", "Music\\Rock\\Band\\Album\\big.bin", "Cancelled");
        QVERIFY(AwaitClosed(*lp_peer));
        for (char const* lp_type : {"download_thread", "download_socket", "download_file", "write_position",
                                    "last_receipt_time", "bytes_per_second"})
            QCOMPARE(d.GetType(lp_type)->GetItemCount(), size_t(1)); // the other download's
        QCOMPARE(mp_transfers->ActiveDownloadCount(), 1);
        QCOMPARE(mp_transfers->GetDownloadBudget().PerTransferRate(), 100);
        QCOMPARE(l_entry.IsNull(), operation == "remove");
        if (operation != "remove")
            QCOMPARE(Status(l_entry), operation == "pause" ? QString("paused") : QString("denied"));
        // The stopped thread's last reports find no entry: the thread has
        // ended, and what it posted has come round.
        l_progress.clear();
        QVERIFY(LoopComesRound());
        for (QList<QVariant> const& l_report : l_progress)
            QCOMPARE(l_report.value(0).value<Item>(), l_other);
        mp_transfers->RemoveDownload(l_other);
        QCOMPARE(d.GetType("download_thread")->GetItemCount(), size_t(0));
    }

    // A download that ends before its end says why, for its row.
    void endedDownloadSaysWhy()
    {
        Item const l_entry = Add("cut.bin", "Music\\Rock\\Band\\Album", 1000);
        QSignalSpy l_ended(mp_transfers.get(), &TransferQueueManager::TransferEnded);
        auto lp_peer = Run(l_entry);
        lp_peer->write(Pattern(100));
        lp_peer->disconnectFromHost();
        QTRY_COMPARE(l_ended.count(), 1);
        QCOMPARE(l_ended[0][0].value<Item>(), l_entry);
        QCOMPARE(l_ended[0][1].toString(),
                 QString("Waiting for data to read failed. Error string: The remote host closed the connection"));
    }

    // A download whose partial file takes no more bytes (a full disk, a
    // file size limit) is a "local error" that says why and where it
    // stopped, and is asked for again only when its retry is due: the
    // peer's failure notice, the user coming back and a new offer leave it
    // alone until then.
    void downloadThatCannotWrite_data()
    {
        QTest::addColumn<bool>("full");      // the partial file is the full device, else the size is limited
        QTest::addColumn<QString>("cause");
        QTest::addColumn<qint64>("kept");    // what the file holds, and the last report shows
        QTest::newRow("full disk") << true << "No space left on device" << qint64(0);
        QTest::newRow("file size limit") << false << "File too large" << qint64(3000);
    }

    void downloadThatCannotWrite()
    {
        QFETCH(bool, full);
        QFETCH(QString, cause);
        QFETCH(qint64, kept);
        QDateTime l_clock(QDate(2026, 12, 8), QTime(10, 42, 5));
        QDateTime const l_start = l_clock;
        mp_transfers->SetClock([&l_clock] { return l_clock; });
        SetOnline("bob", true);
        Item const l_entry = Add("big.bin", "Music\\Rock\\Band\\Album", 10000);
        QString const l_path = mp_transfers->GetSafeDownloadPath(l_entry, false);
        QDir().mkpath(QFileInfo(l_path).path());
        if (full && !QFile::link("/dev/full", l_path))
            QFAIL("no link to the full device");
        if (full) // as if the download had made it there itself
            l_entry += d.GetType("partial_file_made")->GetGlobalNullItem();
        QSignalSpy l_errors(mp_transfers.get(), &TransferQueueManager::DownloadLocalError);
        std::vector<qint64> l_reported;
        connect(mp_transfers.get(), &TransferQueueManager::DownloadProgressed, this, [&l_reported](Item i_entry) {
            l_reported.push_back(*reinterpret_cast<qint64*>(i_entry["write_position"].AsUInt64()));
        });
        rlimit l_limit{};
        getrlimit(RLIMIT_FSIZE, &l_limit);
        auto const l_oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        if (!full) {
            rlimit const l_small{rlim_t(kept), l_limit.rlim_max};
            setrlimit(RLIMIT_FSIZE, &l_small);
        }
        auto lp_peer = Run(l_entry);
        lp_peer->write(Pattern(10000));
        bool const l_failed = WaitUntil([&] { return Status(l_entry) != "downloading"; }, WAIT_MS);
        setrlimit(RLIMIT_FSIZE, &l_limit);
        std::signal(SIGXFSZ, l_oldSignal);
        QVERIFY(l_failed);
        QCOMPARE(Status(l_entry), QString("local error"));
        QCOMPARE(l_errors.count(), 1);
        QCOMPARE(l_errors[0][1].toString(), "the file could not be written (" + cause + "): " + l_path);
        QVERIFY(!l_reported.empty());
        QCOMPARE(l_reported.back(), kept);
        if (!full)
            QCOMPARE(QFileInfo(l_path).size(), kept);
        QCOMPARE(l_entry["download_retry_time"].AsString(), l_start.addSecs(600).toString(Qt::TextDate));

        int const l_before = Sent();
        emit mp_messenger->UploadFailed("bob", "Music\\Rock\\Band\\Album\\big.bin");
        SetOnline("bob", false);
        SetOnline("bob", true);
        emit mp_messenger->FileTransferRequested("bob", 1, 77, "Music\\Rock\\Band\\Album\\big.bin", 10000);
        l_clock = l_start.addSecs(599);
        mp_transfers->EveryHalfMinute();
        QVERIFY(WaitUntil([this]() { return !mp_transfers->IsRequeueing(); })); // the sweep goes in steps
        QCOMPARE(Status(l_entry), QString("local error"));
        QCOMPARE(Sent() - l_before, 1); // the answer to the offer: "Queued"
        QVERIFY(!l_entry["remote_transfer_req"].IsValid()); // the offer not taken
        l_clock = l_start.addSecs(600);
        mp_transfers->EveryHalfMinute();
        QVERIFY(WaitUntil([this]() { return !mp_transfers->IsRequeueing(); }));
        QCOMPARE(Status(l_entry), QString("queued"));
        QCOMPARE(Sent() - l_before, 2);
        QVERIFY(!l_entry["download_retry_time"].IsValid());
        mp_transfers->SetClock(TransferQueueManager::Clock());
    }

    void hostileNames_data()
    {
        QTest::addColumn<NameCase>("row");
        QTest::newRow("parents") << NameCase{"..\\..\\x", "..", 5, "_../_../x/_.."};
        QTest::newRow("absolute") << NameCase{"/etc/x", "/etc/passwd", 0, "_etc_x/_etc_passwd"};
        QTest::newRow("empty") << NameCase{"", "", 0, "_"};
        QTest::newRow("dots") << NameCase{"a\\.\\...", ".", 2, "a/_./_.../_."};
        QTest::newRow("backslash in name") << NameCase{"a", "..\\..\\b", 0, "a/.._.._b"};
        QTest::newRow("control characters") << NameCase{"a\nb", "c\td\x7f", 0, "a_b/c_d_"};
        QString const l_long(300, 'n');
        QTest::newRow("long name") << NameCase{"a", l_long + ".mp3", 0, "a/" + l_long.left(251) + ".mp3"};
        QTest::newRow("level beyond depth") << NameCase{"Band\\Album", "s", 2, "Band/Album/s"};
    }

    void hostileNames()
    {
        QFETCH(NameCase, row);
        std::string const l_name = row.m_name.toStdString();
        Item l_entry = mp_transfers->AddDownload("bob", l_name, row.m_folder.toStdString(), 10, false, row.m_level);
        QString const l_path = mp_transfers->GetSafeDownloadPath(l_entry, false);
        QCOMPARE(l_path, Folder() + "/downloading/" + row.m_local);
        // The stored names stay as the peer sent them.
        QCOMPARE(l_entry["file_name"].AsString(), row.m_name);
        // The partial file is made where the path says, and nowhere else.
        auto lp_peer = Run(l_entry);
        QVERIFY(QFileInfo(l_path).isFile());
        mp_transfers->RemoveDownload(l_entry);
    }

    // The names of a folder download that cannot be local names: each
    // file is taken when the peer offers it and lands under a name of its
    // own below the download folder (a name holding a separator is found
    // whole; a name of dots does not take a real "_"'s place), or ends
    // with the reason.
    void hostileNamesInAFolderDownload()
    {
        struct Case { char const* mp_folder; char const* mp_name; int m_level; char const* mp_landed; };
        Case const l_cases[] = {
            {"Top", "_", 0, "Top/_"},
            {"Top\\..", "up.mp3", 1, "Top/_../up.mp3"},
            {"Top\\.", "dot.mp3", 1, "Top/_./dot.mp3"},
            {"Top", "a\\b.mp3", 0, "Top/a_b.mp3"},
            {"Top", "c/d.mp3", 0, "Top/c_d.mp3"},
            {"Top", "e\\", 0, "Top/e_"},
            {"..", "x.mp3", 0, "_../x.mp3"},
        };
        quint32 l_token = 500;
        for (Case const& l_case : l_cases) {
            Item l_entry = mp_transfers->AddDownload("bob", l_case.mp_name, l_case.mp_folder, 4, false, l_case.m_level);
            std::string const l_remote = std::string(l_case.mp_folder) + "\\" + l_case.mp_name;
            emit mp_messenger->FileTransferRequested("bob", 1, ++l_token, l_remote, 4);
            QVERIFY2(l_entry["remote_transfer_req"].AsString() == QString::number(l_token), l_remote.c_str());
            Complete(l_entry, "abcd");
            QCOMPARE(ReadFileAt(Folder() + "/complete/" + l_case.mp_landed), QByteArray("abcd"));
            QCOMPARE(l_entry["file_name"].AsStdString(), std::string(l_case.mp_name));
        }
    }

    // Remote names that make one local name, offered by a peer over the
    // wire: the four of a folder all at once, a file and a folder one after
    // the other or together, two folders of one name. Each lands under a
    // name of its own, or ends at once with a reason; nothing waits and no
    // partial file stays. A file is "folder<TAB>name<TAB>where it lands
    // below complete", or "!" and the partial file in the way of its folder.
    void collidingNames_data()
    {
        QTest::addColumn<bool>("together"); // all offered, then all started, before any gets its bytes
        QTest::addColumn<int>("level");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("four names") << true << 0
                                    << QStringList{"Top\ta_b.mp3\tTop/a_b.mp3", "Top\ta/b.mp3\tTop/a_b (1).mp3",
                                                   "Top\ta\x01" "b.mp3\tTop/a_b (2).mp3",
                                                   "Top\ta\\b.mp3\tTop/a_b (3).mp3"};
        QTest::newRow("empty name, then folder _") << false << 1
                                                   << QStringList{"Two\t\tTwo/_", "Two\\_\tf.mp3\tTwo/_ (1)/f.mp3"};
        QTest::newRow("folder .., then file ..") << false << 1
                                                 << QStringList{"Six\\..\tf.mp3\tSix/_../f.mp3", "Six\t..\tSix/_.. (1)"};
        QTest::newRow("folder ~ and file ~") << true << 1
                                             << QStringList{"Four\\~\tf.mp3\tFour/~/f.mp3", "Four\t~\tFour/~ (1)"};
        QTest::newRow("file . and folder _.") << true << 1
                                              << QStringList{"Five\t.\tFive/_.", "Five\\_.\tf.mp3\t!Five/_."};
        // The reason isolates the path, which turned "is a file" around.
        QTest::newRow("file . and folder _., right to left")
            << true << 1 << QStringList{"\u05D0\u202E\t.\t\u05D0\u202E/_.", "\u05D0\u202E\\_.\tf.mp3\t!\u05D0\u202E/_."};
        QTest::newRow("two folders Album") << true << 0
                                           << QStringList{"A\\Album\t01.mp3\tAlbum/01.mp3",
                                                          "B\\Album\t01.mp3\tAlbum/01 (1).mp3"};
    }

    void collidingNames()
    {
        QFETCH(bool, together);
        QFETCH(int, level);
        QFETCH(QStringList, files);
        auto lp_bob = ConnectPeer();
        struct File { QStringList m_parts; Item m_entry; std::unique_ptr<QTcpSocket> mp_socket; quint32 m_token; };
        std::vector<File> l_files;
        l_files.reserve(files.size());
        QSignalSpy l_localErrors(mp_transfers.get(), &TransferQueueManager::DownloadLocalError);
        quint32 l_token = 700;
        QByteArray const l_bytes = "abcdefgh";
        auto const l_start = [&](File& io_file) {
            io_file.mp_socket = OpenFileConnection(io_file.m_token);
            QCOMPARE(ReadBytes(*io_file.mp_socket, 8),
                     io_file.m_parts[2].startsWith('!') ? QByteArray() : Le64(0));
        };
        auto const l_send = [&](File& io_file) {
            io_file.mp_socket->write(QByteArray(4, l_bytes[int(&io_file - l_files.data())]));
            QTRY_VERIFY(Status(io_file.m_entry) == "complete" || Status(io_file.m_entry) == "local error");
        };
        for (QString const& l_file : files) {
            l_files.push_back({l_file.split('\t'), Item(), nullptr, ++l_token});
            File& l_new = l_files.back();
            std::string const l_folder = l_new.m_parts[0].toStdString();
            std::string const l_name = l_new.m_parts[1].toStdString();
            l_new.m_entry = mp_transfers->AddDownload("bob", l_name, l_folder, 4, false, level);
            Offer(*lp_bob, QByteArray::fromStdString(l_folder + "\\" + l_name), l_token, 4);
            QTRY_COMPARE(l_new.m_entry["remote_transfer_req"].AsString(), QString::number(l_token));
            if (!together) {
                l_start(l_new);
                l_send(l_new);
            }
        }
        if (together) {
            for (File& l_file : l_files)
                l_start(l_file);
            for (File& l_file : l_files)
                l_send(l_file);
        }
        for (File const& l_file : l_files) {
            QString const l_landed = l_file.m_parts[2];
            if (l_landed.startsWith('!')) {
                QString l_inTheWay = Folder() + "/downloading/" + l_landed.mid(1);
                if (l_inTheWay.contains(QChar(0x202E)))
                    l_inTheWay = QChar(0x2068) + l_inTheWay + QChar(0x2069);
                QCOMPARE(Status(l_file.m_entry), QString("local error"));
                QCOMPARE(l_localErrors.last().value(1).toString(),
                         QString("the folder could not be made (%1 is a file): %1").arg(l_inTheWay));
                continue;
            }
            QCOMPARE(Status(l_file.m_entry), QString("complete"));
            QCOMPARE(ReadFileAt(Folder() + "/complete/" + l_landed),
                     QByteArray(4, l_bytes[int(&l_file - l_files.data())]));
        }
        QDirIterator l_left(Folder() + "/downloading", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QVERIFY2(!l_left.hasNext(), qPrintable(l_left.hasNext() ? l_left.next() : QString()));
        // The local names are kept.
        QStringList l_paths;
        for (File const& l_file : l_files)
            l_paths << mp_transfers->GetSafeDownloadPath(l_file.m_entry, false);
        Restart();
        for (File const& l_file : l_files) {
            Item const l_entry = mp_transfers->GetDownloadEntry("bob", l_file.m_parts[1].toStdString(),
                                                                l_file.m_parts[0].toStdString());
            QCOMPARE(mp_transfers->GetSafeDownloadPath(l_entry, false), l_paths[&l_file - l_files.data()]);
        }
    }

    // What a user does with downloads whose remote names make one local
    // name, played over bob's real connections. A step is "+X" (added),
    // "hX" (offered, started, bytes up to the middle, then the connection
    // drops), "fX" (offered, started, the rest), "-X" (removed), "q" (quit
    // and start again), "s0" or "s1" (downloads not split or split),
    // "d<path>" (a user's file put there, below the download folder), "o"
    // (bob comes online, and his downloads are asked for again), "v" (quit,
    // the data file as a version that did not mark the downloads' own
    // files saved it, and start again), "b" (a queue of other files, big
    // enough to load over several turns), "eX" (offered at once after the
    // start, before the load reaches it; a peer offers again later). A
    // step of a file is bob's, or "@carol"'s: the same remote file from
    // two users is one partial file. A download always resumes where its
    // remote file's bytes end, every finished file holds its remote file's
    // bytes, a user's file is untouched, and every other file left is one
    // that a download made (or took over) as its own.
    void downloadsWriteOnlyTheirOwnFiles_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("restart before the second is offered") << "+A +Z hA q fZ fA";
        QTest::newRow("both partial across a restart") << "+A +Z hA hZ q fZ fA";
        QTest::newRow("an older finished file, not split") << "s0 +A fA -A +S fS";
        QTest::newRow("an older finished file, split") << "+A fA -A +S fS";
        QTest::newRow("a finished file whose entry stays") << "+A fA +Z fZ";
        QTest::newRow("a finished file whose entry stays, not split") << "s0 +A fA +Z q fZ";
        QTest::newRow("a user's partial-folder file") << "ddownloading/music/a_b.mp3 +A fA";
        QTest::newRow("a user's file, not split") << "s0 dmusic/a_b.mp3 +A hA q fA";
        QTest::newRow("removed, added again") << "+A hA -A +A fA";
        QTest::newRow("a removed download's partial file") << "+A hA -A +Z hZ q fZ";
        QTest::newRow("split switched off onto a user's file") << "dmusic/a_b.mp3 +A hA s0 fA";
        QTest::newRow("split switched across a restart") << "+A +Z hA hZ s0 q s1 fA fZ";
        QTest::newRow("added while another is partial") << "+Z hZ +A +S fA q fS fZ";
        QTest::newRow("asked again after another finished") << "+Z +A fA -A o fZ";
        QTest::newRow("split switched on under an older finished file") << "+A fA -A s0 +Z s1 o fZ";
        QTest::newRow("a finished file numbered onto another's name")
            << "+A +Z dcomplete/music/a_b.mp3 fA o fZ";
        QTest::newRow("a user's file where a queued one will write") << "+A ddownloading/music/a_b.mp3 fA";
        QTest::newRow("a user's file where a queued one will write, not split") << "s0 +A dmusic/a_b.mp3 fA";
        QTest::newRow("a user's file, the queued one removed") << "+A ddownloading/music/a_b.mp3 -A";
        QTest::newRow("a user's file, the queued one removed, not split") << "s0 +A dmusic/a_b.mp3 -A";
        QTest::newRow("a user's file, then a restart") << "+A ddownloading/music/a_b.mp3 q fA";
        QTest::newRow("a user's file, then split switched off") << "+A ddownloading/music/a_b.mp3 s0 fA";
        QTest::newRow("its own partial file removed after a restart") << "+A hA q -A";
        QTest::newRow("its own partial file in unmarked data") << "+A hA v fA";
        QTest::newRow("unmarked data, then a user's file and a restart") << "+A v ddownloading/music/a_b.mp3 q fA";
        QTest::newRow("unmarked data, offered before the load reaches it") << "b +A hA v eA fA";
        QTest::newRow("removed, another user's goes on") << "+A hA +A@carol -A fA@carol";
        QTest::newRow("removed, another user's goes on after a restart") << "+A hA +A@carol -A q fA@carol";
        QTest::newRow("removed, then another user's removed too") << "+A hA +A@carol -A q -A@carol";
    }

    void downloadsWriteOnlyTheirOwnFiles()
    {
        QFETCH(QString, steps);
        struct Remote { char const* mp_name; QByteArray m_bytes; qint64 m_held; };
        std::map<char, Remote> l_remotes = {{'A', {"a_b.mp3", "AAAAaaaa", 0}},
                                            {'Z', {"a\x7f" "b.mp3", "ZZZZzzzz", 0}},
                                            {'S', {"a/b.mp3", "SSSSSsssss", 0}}};
        std::map<QString, QByteArray> l_kept; // a user's files and finished ones
        std::map<QString, std::unique_ptr<QTcpSocket>> l_peers;
        quint32 l_token = 900;
        for (QString const& l_step : steps.split(' ')) {
            char const l_action = l_step[0].toLatin1();
            QString const l_user = l_step.contains('@') ? l_step.section('@', 1) : QString("bob");
            QString const l_of = l_step.section('@', 0, 0).mid(1);
            bool const l_ofAFile = l_of.size() == 1 && l_remotes.count(l_of[0].toLatin1());
            Remote& l_remote = l_remotes[l_ofAFile ? l_of[0].toLatin1() : 'A'];
            Item const l_entry = mp_transfers->GetDownloadEntry(l_user, l_remote.mp_name, "music");
            if (l_action == '+') {
                mp_transfers->AddDownload(l_user, l_remote.mp_name, "music", l_remote.m_bytes.size(), false, 0);
            } else if (l_action == '-') {
                mp_transfers->RemoveDownload(l_entry);
                bool l_fetched = false; // by another user, in the same file
                for (Item const& l_other : d.GetType("download_entry")->GetItems())
                    l_fetched = l_fetched || (l_other["file_name"].AsStdString() == l_remote.mp_name &&
                                              Status(l_other) != "complete");
                if (!l_fetched)
                    l_remote.m_held = 0;
            } else if (l_action == 'b') {
                for (int l_k = 0; l_k < 2 * TransferQueueManager::LOAD_STEPS_PER_TURN; ++l_k)
                    mp_transfers->AddDownload("dora", QString("f%1.mp3").arg(l_k).toStdString(), "fill", 6, false, 0);
            } else if (l_action == 'e') {
                QVERIFY(mp_transfers->IsLoadingQueue());
                emit mp_messenger->FileTransferRequested(l_user, 1, ++l_token,
                                                         std::string("music\\") + l_remote.mp_name,
                                                         l_remote.m_bytes.size());
            } else if (l_action == 'q' || l_action == 'v') {
                l_peers.clear();
                if (l_action == 'v') {
                    for (Item const& l_saved : d.GetType("download_entry")->GetItems())
                        SetFlag(l_saved, "partial_file_made", false);
                    SetSetting("partial_files_marked", QString());
                }
                Restart();
            } else if (l_action == 'o') {
                SetOnline("bob", true);
            } else if (l_action == 's') {
                SetSwitch("dont_split_downloads", l_step == "s0");
            } else if (l_action == 'd') {
                WriteFileAt(Folder() + "/" + l_step.mid(1), "user");
                l_kept[Folder() + "/" + l_step.mid(1)] = "user";
            } else {
                QVERIFY(WaitUntil([this]() { return !mp_transfers->IsLoadingQueue(); }));
                std::unique_ptr<QTcpSocket>& lp_peer = l_peers[l_user];
                if (!lp_peer)
                    lp_peer = ConnectPeer(l_user);
                QSignalSpy l_records(mp_transfers.get(), &TransferQueueManager::CompleteDownloadAdded);
                Offer(*lp_peer, QByteArray("music\\") + l_remote.mp_name, ++l_token, l_remote.m_bytes.size());
                QTRY_COMPARE(l_entry["remote_transfer_req"].AsString(), QString::number(l_token));
                auto lp_file = OpenFileConnection(l_token, l_user);
                QVERIFY2(ReadBytes(*lp_file, 8) == Le64(l_remote.m_held), qPrintable(l_step));
                qint64 const l_end = l_action == 'h' ? l_remote.m_bytes.size() / 2 : l_remote.m_bytes.size();
                lp_file->write(l_remote.m_bytes.mid(l_remote.m_held, l_end - l_remote.m_held));
                l_remote.m_held = l_end;
                if (l_action == 'h') {
                    lp_file->disconnectFromHost();
                    QTRY_COMPARE(Status(l_entry), QString("aborted"));
                    continue;
                }
                QTRY_COMPARE(Status(l_entry), QString("complete"));
                QCOMPARE(l_records.count(), 1);
                Item const l_record = l_records[0][0].value<Item>();
                QString const l_path = QString(l_record["complete_download_folder"].AsString() + "\\" +
                                               l_record["complete_download_filename"].AsString())
                                           .replace('\\', '/');
                l_kept[l_path] = l_remote.m_bytes;
            }
        }
        QSet<QString> l_owned;
        for (Item const& l_entry : d.GetType("download_entry")->GetItems())
            if (Status(l_entry) != "complete" && l_entry.IsConnected("partial_file_made"))
                l_owned << mp_transfers->GetSafeDownloadPath(l_entry, false);
        for (QDirIterator l_files(Folder(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             l_files.hasNext();) {
            QString const l_path = l_files.next();
            QVERIFY2(l_owned.contains(l_path) || l_kept.count(l_path), qPrintable(l_path + " is no one's"));
        }
        for (auto const& [l_path, l_bytes] : l_kept)
            QVERIFY2(ReadFileAt(l_path) == l_bytes, qPrintable(l_path + ": " + ReadFileAt(l_path)));
    }

    // The same remote file from bob and then carol: carol's download goes
    // on in the partial file bob's made (numbered, when a user's file had
    // the name, and found again after a restart), but not in a file the
    // user put where bob's, never started, will write.
    void sameRemoteFileFromTwoUsers_data()
    {
        QTest::addColumn<bool>("numbered");
        QTest::addColumn<bool>("bobStarted"); // else the user's file is at bob's place; carol starts from 0
        QTest::newRow("bob's partial file") << false << true;
        QTest::newRow("bob's numbered partial file") << true << true;
        QTest::newRow("a user's file at bob's place") << false << false;
    }

    void sameRemoteFileFromTwoUsers()
    {
        QFETCH(bool, numbered);
        QFETCH(bool, bobStarted);
        if (numbered)
            WriteFileAt(Folder() + "/downloading/music/a.mp3", "user");
        Item const l_bob = Add("a.mp3", "music", 8, "bob", 0);
        QString const l_path = mp_transfers->GetSafeDownloadPath(l_bob, false);
        bobStarted ? Hold(l_bob, "AAAA") : WriteFileAt(l_path, "user");
        if (numbered)
            Restart();
        Item const l_carol = Add("a.mp3", "music", 8, "carol", 0);
        auto l_pair = ConnectedPair();
        QVERIFY(mp_transfers->StartDownload(l_carol, l_pair.first));
        QCOMPARE(ReadBytes(*l_pair.second, 8), Le64(bobStarted ? 4 : 0));
        QCOMPARE(mp_transfers->GetSafeDownloadPath(l_carol, false) == l_path, bobStarted);
        QCOMPARE(ReadFileAt(l_path), QByteArray(bobStarted ? "AAAA" : "user"));
    }

    void folderLayout()
    {
        struct Case { int m_level; bool m_single, m_noSplit, m_noSubfolders; char const* mp_folder, *mp_relative; };
        Case const l_cases[] = {
            {0, false, false, false, "\\complete\\Album", "Album"},
            {1, false, false, false, "\\complete\\Band\\Album", "Band\\Album"},
            {3, false, false, false, "\\complete\\Music\\Rock\\Band\\Album", "Music\\Rock\\Band\\Album"},
            {1, false, true, false, "\\Band\\Album", "Band\\Album"},
            {1, true, false, true, "\\complete", "Band\\Album"},
            {1, true, false, false, "\\complete\\Band\\Album", "Band\\Album"},
        };
        QString const l_base = QString(Folder()).replace('/', '\\');
        int l_user = 0;
        for (Case const& l_case : l_cases) {
            SetSwitch("dont_split_downloads", l_case.m_noSplit);
            SetSwitch("dont_create_subfolders_for_single_downloads", l_case.m_noSubfolders);
            Item l_entry = mp_transfers->AddDownload(QString("user%1").arg(++l_user), "s.mp3", "Music\\Rock\\Band\\Album",
                                                     1, l_case.m_single, l_case.m_level);
            QCOMPARE(mp_transfers->GetDownloadTargetFolder(l_entry, true), l_base + l_case.mp_folder);
            QCOMPARE(mp_transfers->GetDownloadRelativeDownloadFolder(l_entry), QString(l_case.mp_relative));
        }
        Item l_top = mp_transfers->AddDownload("bob", "t.mp3", "", 1, false, 0);
        QVERIFY(mp_transfers->GetDownloadRelativeDownloadFolder(l_top).isNull());
        QCOMPARE(mp_transfers->GetDownloadTargetFolder(l_top, false), l_base + "\\downloading");
    }

    void completion()
    {
        QSignalSpy l_records(mp_transfers.get(), &TransferQueueManager::CompleteDownloadAdded);
        Item l_first = Add("one.mp3", "Music\\Rock\\Band\\Album", 5);
        Item l_second = Add("two.mp3", "Music\\Rock\\Band\\Album", 5);
        // A smaller file of the same name is in the way: it is kept.
        WriteFileAt(Folder() + "/complete/Band/Album/one.mp3", "old");
        Complete(l_first, "first");
        QCOMPARE(ReadFileAt(Folder() + "/complete/Band/Album/one (1).mp3"), QByteArray("first"));
        QCOMPARE(ReadFileAt(Folder() + "/complete/Band/Album/one.mp3"), QByteArray("old"));
        // Its sibling is not complete: the downloading folders stay.
        QVERIFY(QFileInfo(Folder() + "/downloading/Band/Album").isDir());
        Complete(l_second, "secnd");
        QVERIFY(!QFileInfo(Folder() + "/downloading/Band").exists());
        QVERIFY(QFileInfo(Folder() + "/downloading").isDir());

        QCOMPARE(l_records.count(), 2);
        Item l_record = l_records.first().value(0).value<Item>();
        QCOMPARE(l_record["complete_download_filename"].AsString(), QString("one (1).mp3"));
        QCOMPARE(l_record["complete_download_relative_folder"].AsString(), QString("Band\\Album"));
        QCOMPARE(l_record["complete_download_file_size"].AsString(), QString("5"));
        QCOMPARE(l_record["user"].AsString(), QString("bob"));

        // The same file finished into the same place again: one record.
        QFile::remove(Folder() + "/complete/Band/Album/two.mp3");
        l_second += d.GetType("download_entry_status")->GetItem(Value("queued"));
        Complete(l_second, "again");
        QCOMPARE(l_records.count(), 2);
        QCOMPARE(d.GetType("complete_download")->GetItemCount(), size_t(2));

        // A name cut to the file-name limit (255 bytes) and taken: the
        // number goes before the extension, within the limit, one or two
        // bytes to a letter.
        QString const l_acute = QString::fromUtf8("\xc3\xa9");
        for (auto const& l_case : {std::pair{QString(300, 'n'), QString(247, 'n')},
                                   std::pair{l_acute.repeated(130), l_acute.repeated(123)}}) {
            Item l_long = Add(l_case.first + ".mp3", "Long", 4, "bob", 0);
            QString const l_taken = mp_transfers->GetSafeDownloadPath(l_long, true);
            QCOMPARE(QFileInfo(l_taken).fileName().toUtf8().size(), l_case.first[0] == 'n' ? 255 : 254);
            WriteFileAt(l_taken, "old");
            Complete(l_long, "long");
            QCOMPARE(ReadFileAt(Folder() + "/complete/Long/" + l_case.second + " (1).mp3"), QByteArray("long"));
            QCOMPARE(l_records.last().value(0).value<Item>()["complete_download_filename"].AsString(),
                     l_case.second + " (1).mp3");
        }
        QCOMPARE(l_records.count(), 4);

        // Without the split, a finished file stays where it was written.
        SetSwitch("dont_split_downloads", true);
        Complete(Add("flat.mp3", "A\\B", 4), "flat");
        QCOMPARE(ReadFileAt(Folder() + "/A/B/flat.mp3"), QByteArray("flat"));
        SetSwitch("dont_split_downloads", false);

        // A single download leaves no partial folder behind, and one kept
        // in "downloading" itself leaves that; a download whose finished
        // file cannot be moved keeps the file and is not recorded.
        Complete(mp_transfers->AddDownload("bob", "solo.mp3", "A\\Solo", 4, true, 0), "solo");
        QVERIFY(!QFileInfo(Folder() + "/downloading/Solo").exists());
        SetSwitch("dont_create_subfolders_for_single_downloads", true);
        Complete(mp_transfers->AddDownload("bob", "single.mp3", "A\\B", 6, true, 0), "single");
        QCOMPARE(ReadFileAt(Folder() + "/complete/single.mp3"), QByteArray("single"));
        QCOMPARE(l_records.count(), 7);
        QVERIFY(QFileInfo(Folder() + "/complete").isDir() && QFileInfo(Folder() + "/downloading").isDir());

        // A file where the folder goes: the folder takes a number.
        WriteFileAt(Folder() + "/complete/C", "a file where the folder should be");
        Complete(Add("aside.mp3", "C", 5, "bob", 0), "aside");
        QCOMPARE(ReadFileAt(Folder() + "/complete/C (1)/aside.mp3"), QByteArray("aside"));
        QCOMPARE(l_records.last().value(0).value<Item>()["complete_download_folder"].AsString(),
                 QString(Folder() + "/complete/C (1)").replace('/', '\\'));

        QString const l_other = mp_dir->path() + "/Other";
        SetSetting("download_folder", l_other);
        Item l_stuck = Add("stuck.mp3", "C", 5, "bob", 0);
        WriteFileAt(l_other + "/complete", "a file where the completed files go");
        QSignalSpy l_localErrors(mp_transfers.get(), &TransferQueueManager::DownloadLocalError);
        auto lp_peer = Run(l_stuck);
        lp_peer->write("stuck");
        QTRY_COMPARE(Status(l_stuck), QString("local error"));
        QCOMPARE(ReadFileAt(l_other + "/downloading/C/stuck.mp3"), QByteArray("stuck"));
        QCOMPARE(l_records.count(), 8);
        QCOMPARE(l_localErrors.count(), 1);
        QCOMPARE(l_localErrors.first().value(1).toString(),
                 QString("the finished file could not be moved into %1/complete/C; it stays in %1/downloading/C")
                     .arg(l_other));
    }

    // Switching the folder settings while downloads wait or run moves their
    // partial files along instead of starting them again elsewhere.
    void partialFilesFollowTheFolderSettings()
    {
        Item l_running = Add("run.mp3", "Music\\Band\\Album", 5);
        Item const l_waiting = Add("wait.mp3", "Music\\Band\\Album", 5);
        Hold(l_waiting, "wa");
        Hold(mp_transfers->AddDownload("bob", "one.mp3", "Music\\Solo", 5, true, 0), "on");
        auto lp_peer = Run(l_running);

        SetSwitch("dont_split_downloads", true);
        SetSwitch("dont_create_subfolders_for_single_downloads", true);
        QCOMPARE(ReadFileAt(Folder() + "/Band/Album/wait.mp3"), QByteArray("wa"));
        QCOMPARE(ReadFileAt(Folder() + "/one.mp3"), QByteArray("on"));
        QVERIFY(!QFileInfo::exists(Folder() + "/downloading/Band") && !QFileInfo::exists(Folder() + "/downloading/Solo"));
        // The running thread writes on into the moved file.
        lp_peer->write("run!!");
        QTRY_COMPARE(Status(l_running), QString("complete"));
        QCOMPARE(ReadFileAt(Folder() + "/Band/Album/run.mp3"), QByteArray("run!!"));

        // A file in the way is kept, and so is the partial file: it moves
        // under a free name, where the download goes on.
        WriteFileAt(Folder() + "/downloading/Band/Album/wait.mp3", "other");
        SetSwitch("dont_split_downloads", false);
        QCOMPARE(ReadFileAt(Folder() + "/downloading/Band/Album/wait.mp3"), QByteArray("other"));
        QCOMPARE(ReadFileAt(Folder() + "/downloading/Band/Album/wait (1).mp3"), QByteArray("wa"));
        QCOMPARE(mp_transfers->GetSafeDownloadPath(l_waiting, false),
                 Folder() + "/downloading/Band/Album/wait (1).mp3");
        QVERIFY(!QFileInfo::exists(Folder() + "/Band/Album/wait.mp3"));
        SetSwitch("dont_create_subfolders_for_single_downloads", false);
        SetSetting("download_folder", mp_dir->path() + "/Elsewhere");
        QCOMPARE(ReadFileAt(mp_dir->path() + "/Elsewhere/downloading/Solo/one.mp3"), QByteArray("on"));
        QVERIFY(!QFileInfo::exists(Folder() + "/downloading/Solo") && !QFileInfo::exists(Folder() + "/one.mp3"));
    }
};

QTEST_MAIN(TransferQueueTest)
#include "TransferQueueTest.moc"
