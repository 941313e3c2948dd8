// The upload queue: admission and its denials, the effective order, place in
// line, the slots and the status machine, and the half-minute sweep, each
// against what a raw peer receives.

#include "EngineFixture.h"

#include <QtTest>

#include <ctime>

#include <algorithm>
#include <random>
#include <vector>

class UploadQueueTest : public QObject, public EngineFixture
{
    Q_OBJECT
private:
    // Runs the sweep in an event loop; true when it ended the program.
    // The application's own loop, as the program runs it: the sweep's exit
    // ends it with 0.
    bool SweepQuits()
    {
        QObject l_context;
        QTimer::singleShot(0, &l_context, [&] {
            mp_manager->EveryHalfMinute();
            QTimer::singleShot(0, &l_context, [] { QCoreApplication::exit(1); });
        });
        return QCoreApplication::exec() == 0;
    }

private slots:
    void init() { StartEngine(); }
    void cleanup() { StopEngine(); }

    void admission()
    {
        struct Case
        {
            char const* mp_name;
            QStringList m_prior; // "file:status", requested first
            bool m_unshared, m_shutdown;
            int m_fileLimit, m_megabyteLimit; // 0: off
            QString m_file;
            char const* mp_denial; // nullptr: nothing sent
            char const* mp_after;  // the entry's status after the request
        };
        Case const l_cases[] = {
            {"not in the index", {}, false, false, 0, 0, "Share/x.mp3", "File not shared.", ""},
            {"in a hidden root", {}, false, false, 0, 0, "Private/p.mp3", "File not shared.", ""},
            {"unshared before shutdown", {}, true, true, 0, 0, "Share/a.mp3", "File not shared.", ""},
            {"shutdown before queued", {"a:queued"}, false, true, 0, 0, "Share/a.mp3", "Pending shutdown.", "queued"},
            {"queued, other spelling", {"a:queued"}, false, false, 1, 0, "SHARE//A.MP3", nullptr, "queued"},
            {"active", {"a:requesting"}, false, false, 0, 0, "Share/a.mp3", nullptr, "requesting"},
            {"files at the limit", {"a:queued", "b:queued"}, false, false, 2, 0, "Share/c.mp3", "Too many files", ""},
            {"active files not counted", {"a:queued", "b:uploading"}, false, false, 2, 0, "Share/c.mp3", nullptr,
             "queued"},
            {"500 MiB at 500", {"a:queued"}, false, false, 0, 500, "Share/c.mp3", nullptr, "queued"},
            {"501 MiB at 500", {"a:queued", "b:queued"}, false, false, 0, 500, "Share/c.mp3", "Too many megabytes",
             ""},
            {"ended, past the limits", {"a:complete", "b:queued"}, false, false, 1, 0, "Share/a.mp3", nullptr,
             "queued"},
        };
        int l_row = 0;
        for (Case const& l_case : l_cases) {
            QString const l_user = QString("user%1").arg(++l_row);
            SetVSetting("finish_uploads_and_quit", "no");
            SetSwitch("max_queued_uploads_per_user_enabled", l_case.m_fileLimit > 0);
            SetSetting("max_queued_uploads_per_user", qint64(l_case.m_fileLimit));
            SetSwitch("max_queued_mb_per_user_enabled", l_case.m_megabyteLimit > 0);
            SetSetting("max_queued_mb_per_user", qint64(l_case.m_megabyteLimit));
            for (QString const& l_prior : l_case.m_prior) {
                QString const l_file = "Share/" + l_prior.section(':', 0, 0) + ".mp3";
                Request(l_user, l_file);
                Upload(l_user, l_file) += d.GetType("upload_entry_status")->GetItem(Value(l_prior.section(':', 1)));
            }
            Item const l_before = Upload(l_user, "Share/a.mp3");
            qint64 const l_order = l_before["upload_order"].AsInt64();
            SetFlag(User(l_user), "unshared", l_case.m_unshared);
            SetVSetting("finish_uploads_and_quit", l_case.m_shutdown ? "yes" : "no");

            emit mp_messenger->QueueUploadRequested(l_user, Remote(l_case.m_file));
            QList<QByteArray> l_expected;
            if (l_case.mp_denial)
                l_expected << Le32(50) + Str(Remote(l_case.m_file).toUtf8()) + Str(l_case.mp_denial);
            QVERIFY2(Sent(l_user) == l_expected, l_case.mp_name);
            QVERIFY2(Status(Upload(l_user, l_case.m_file)) == l_case.mp_after, l_case.mp_name);
            // An entry found again keeps its age and the name first asked for.
            QCOMPARE(l_before["upload_order"].AsInt64(), l_order);
            QCOMPARE(l_before["filename_as_requested"].AsString(), l_before.IsValid() ? Remote("Share/a.mp3") : "");
        }
    }

    // Entries are placed as they come, one by one; the result is the full
    // sort by group priority, privilege and age, and so is a renumbering
    // after the privileges changed.
    void order()
    {
        std::mt19937 l_random(11);
        std::vector<int> l_priority(12);
        for (int l_k = 0; l_k < 12; ++l_k) {
            Item const l_user = User(QString("u%1").arg(l_k));
            SetFlag(l_user, "is_privileged", l_random() % 2);
            if (l_random() % 4 == 0)
                continue;
            Item const l_listed = l_user.NewItem("in_user_list");
            for (int l_group = 0; l_group < 1 + int(l_random() % 2); ++l_group) {
                int const l_value = int(l_random() % 9) - 3;
                Item const l_item = d.GetType("user_list_group")->GetItem(Value(QString("g%1").arg(l_value)));
                SetAttribute(l_item, "group_download_priority", Value(l_value));
                l_listed += l_item;
                l_priority[l_k] = std::max(l_priority[l_k], l_value);
            }
        }
        auto const l_check = [&](qint64 i_first) {
            ItemSet const l_entries = d.GetType("upload_entry")->GetItems();
            std::vector<Item> l_expected(l_entries.begin(), l_entries.end());
            auto const l_key = [&](Item const& i_entry) {
                Item const l_user = i_entry["user"];
                return std::make_tuple(-l_priority[l_user.AsString().mid(1).toInt()],
                                       !l_user.IsConnected("is_privileged"), i_entry["upload_order"].AsInt64());
            };
            std::sort(l_expected.begin(), l_expected.end(),
                      [&](Item const& i_a, Item const& i_b) { return l_key(i_a) < l_key(i_b); });
            for (std::size_t l_k = 0; l_k < l_expected.size(); ++l_k)
                QCOMPARE(l_expected[l_k]["effective_upload_order"].AsInt64(), i_first + qint64(l_k));
        };
        for (int l_request = 0; l_request < 80; ++l_request)
            Request(QString("u%1").arg(l_random() % 12), QString("Share/f%1.mp3").arg(l_random() % 8));
        QVERIFY(d.GetType("upload_entry")->GetItemCount() > 50);
        l_check(1);
        for (int l_k : {0, 3, 7})
            SetFlag(User(QString("u%1").arg(l_k)), "is_privileged", !User(QString("u%1").arg(l_k)).IsConnected("is_privileged"));
        mp_manager->DetermineUploadsEffectiveOrder();
        l_check(0);
        QCOMPARE(mp_manager->GetUserGroupDownloadPriority("nobody"), 0);
    }

    // Numbers, places and offers: offline users keep their number; a slot
    // goes to the first in the order whose user has nothing under way.
    void slotsAndPlaces()
    {
        Request("bob", "Share/a.mp3");
        QCOMPARE(Upload("bob", "Share/a.mp3")["effective_upload_order"].AsInt(), 1);
        emit mp_messenger->UploadPlaceInLineRequested("bob", Remote("Share/a.mp3"));
        emit mp_messenger->UploadPlaceInLineRequested("bob", Remote("SHARE/a.mp3"));
        QCOMPARE(Sent("bob"), QList<QByteArray>{Le32(44) + Str(Remote("Share/a.mp3").toUtf8()) + Le32(1)});

        SetSetting("upload_slots", qint64(0));
        for (QString const l_request : {"carol:a", "dave:c", "carol:b"}) {
            SetOnline(l_request.section(':', 0, 0), true);
            Request(l_request.section(':', 0, 0), "Share/" + l_request.section(':', 1) + ".mp3");
        }
        quint32 const l_token = GetSetting("transfer_req_counter").toUInt();
        mp_manager->SetUploadSlots(1);
        char const* const l_expected[][3] = {{"carol", "a", "requesting"}, {"dave", "c", "queued"}, {"carol", "b", "queued"}};
        for (int l_k = 0; l_k < 3; ++l_k) {
            Item const l_entry = Upload(l_expected[l_k][0], QString("Share/%1.mp3").arg(l_expected[l_k][1]));
            QCOMPARE(Status(l_entry), QString(l_expected[l_k][2]));
            QCOMPARE(l_entry["effective_upload_order"].AsInt(), l_k);
        }
        QCOMPARE(Upload("bob", "Share/a.mp3")["effective_upload_order"].AsInt(), 1);
        QCOMPARE(Sent("carol"), QList<QByteArray>{Offer("Share/a.mp3", l_token, 500 * MiB)});
        QCOMPARE(Upload("carol", "Share/a.mp3")["transfer_req"].AsUInt64(), quint64(l_token));

        // More slots: dave's 5 GiB file goes out, carol's second waits for
        // her first; fewer slots stop nothing.
        mp_manager->SetUploadSlots(3);
        QCOMPARE(Sent("dave"), QList<QByteArray>{Offer("Share/c.mp3", l_token + 1, 5120 * MiB)});
        QCOMPARE(Status(Upload("carol", "Share/b.mp3")), QString("queued"));
        mp_manager->SetUploadSlots(1);
        QCOMPARE(mp_manager->ActiveUploadCount(), 2);
        QVERIFY(!mp_manager->IsFreeToUpload());

        // The offer stalls: 29,999 ms is survived, 30,000 ms is not; the
        // peer is told and carol's second file takes the slot.
        QDateTime const l_offered = m_now;
        for (qint64 l_ms : {29999, 30000}) {
            m_now = l_offered.addMSecs(l_ms);
            mp_manager->EveryHalfMinute();
        }
        QCOMPARE(Status(Upload("dave", "Share/c.mp3")), QString("aborted"));
        QCOMPARE(Status(Upload("carol", "Share/a.mp3")), QString("aborted"));
        QCOMPARE(Sent("dave"), QList<QByteArray>{Le32(46) + Str(Remote("Share/c.mp3").toUtf8())});
        QCOMPARE(Sent("carol"), (QList<QByteArray>{Le32(46) + Str(Remote("Share/a.mp3").toUtf8()),
                                                   Offer("Share/b.mp3", l_token + 2, MiB)}));
        // A running upload is never timed out, however slow.
        mp_manager->SetUploadEntryStatus(Upload("carol", "Share/b.mp3"), "uploading");
        m_now = m_now.addSecs(3600);
        mp_manager->EveryHalfMinute();
        QCOMPARE(Status(Upload("carol", "Share/b.mp3")), QString("uploading"));
    }

    // When summer time ends, 02:00 to 03:00 comes twice; an offer made in the
    // second pass times out 30 s later, not at once.
    void clockChange()
    {
        QByteArray const l_zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        SetOnline("bob", true);
        m_now = QDateTime(QDate(2023, 10, 29), QTime(1, 30), Qt::UTC); // 02:30 CET, the second time
        Request("bob", "Share/a.mp3");
        for (int l_seconds : {20, 31}) {
            m_now = QDateTime(QDate(2023, 10, 29), QTime(1, 30, l_seconds), Qt::UTC);
            mp_manager->EveryHalfMinute();
            QCOMPARE(Status(Upload("bob", "Share/a.mp3")), QString(l_seconds < 30 ? "requesting" : "aborted"));
        }
        qputenv("TZ", l_zone);
        tzset();
    }

    // Downloads that wait: online users are asked again after ten minutes
    // and for their places, oldest first, every ten minutes; offline users
    // and users we download from are left alone.
    void sweepOfDownloads()
    {
        for (char const* lp_user : {"alice", "bob", "carol"})
            for (char const* lp_name : {"one", "two"})
                mp_manager->AddDownload(lp_user, lp_name, "M", 1, false, 0);
        mp_manager->GetDownloadEntry("carol", "one", "M") +=
            d.GetType("download_entry_status")->GetItem(Value("downloading"));
        SetOnline("alice", true);
        SetOnline("carol", true);
        QByteArray const l_one = Str("M\\one"), l_two = Str("M\\two");
        QCOMPARE(Sent("alice"), (QList<QByteArray>{Le32(43) + l_one, Le32(43) + l_two}));
        QDateTime const l_start = m_now;
        for (int l_seconds : {30, 599, 601, 631}) {
            m_now = l_start.addSecs(l_seconds);
            mp_manager->EveryHalfMinute();
        }
        QCOMPARE(Sent("alice"), (QList<QByteArray>{Le32(51) + l_one, Le32(51) + l_two, Le32(43) + l_one,
                                                   Le32(43) + l_two, Le32(51) + l_one, Le32(51) + l_two}));
        QCOMPARE(mp_messenger->UnsentMessageCount("bob"), 0);
        QCOMPARE(Sent("carol"), (QList<QByteArray>{Le32(43) + l_two}));
    }

    void finishAndQuit_data()
    {
        QTest::addColumn<int>("idleSeconds"); // -1: no upload changed status
        QTest::addColumn<QString>("upload");
        QTest::addColumn<bool>("quits");
        QTest::newRow("never changed") << -1 << "" << true;
        QTest::newRow("300 s") << 300 << "" << false;
        QTest::newRow("301 s") << 301 << "" << true;
        QTest::newRow("one queued") << 400 << "queued" << false;
        QTest::newRow("one uploading") << 400 << "uploading" << false;
    }

    void finishAndQuit()
    {
        QFETCH(int, idleSeconds);
        QFETCH(QString, upload);
        QFETCH(bool, quits);
        if (!upload.isEmpty())
            Request("bob", "Share/a.mp3");
        if (upload == "uploading")
            mp_manager->SetUploadEntryStatus(Upload("bob", "Share/a.mp3"), "uploading");
        SetVSetting("last_upload_state_change", idleSeconds < 0 ? QString() : m_now.toLocalTime().toString(Qt::TextDate));
        m_now = m_now.addSecs(std::max(idleSeconds, 0));
        SetVSetting("finish_uploads_and_quit", "yes");
        QCOMPARE(SweepQuits(), quits);
    }

    // A file unshared while it waits is never offered: its turn brings the
    // denial, and so does an accepted offer; barring a user denies all his
    // uploads, queued or under way.
    void unsharedWhileQueued()
    {
        SetOnline("bob", true);
        SetOnline("carol", true);
        Request("bob", "Share/a.mp3");
        Request("carol", "Share/b.mp3");
        Request("carol", "Share/c.mp3");
        quint32 const l_token = Upload("bob", "Share/a.mp3")["transfer_req"].AsUInt64();
        mp_shares->UnshareFolder(m_publicRoot);
        emit mp_messenger->FileTransferResponse("bob", l_token, true, false, 0, QString());
        QCOMPARE(Sent("bob"), (QList<QByteArray>{Offer("Share/a.mp3", l_token, 500 * MiB),
                                                 Denial("Share/a.mp3", "File not shared.")}));
        QCOMPARE(Sent("carol"), (QList<QByteArray>{Denial("Share/b.mp3", "File not shared."),
                                                   Denial("Share/c.mp3", "File not shared.")}));
        QCOMPARE(d.GetType("upload_entry")->GetItemCount(), size_t(0));
        QCOMPARE(GetSetting("transfer_req_counter").toUInt(), l_token + 1);

        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        Request("bob", "Share/a.mp3");
        Request("bob", "Share/b.mp3");
        mp_manager->UnshareUser("bob");
        QCOMPARE(Sent("bob"), (QList<QByteArray>{Offer("Share/a.mp3", l_token + 1, 1),
                                                 Denial("Share/a.mp3", "File not shared."),
                                                 Denial("Share/b.mp3", "File not shared.")}));
        QCOMPARE(mp_manager->ActiveUploadCount(), 0);
        mp_manager->ReshareUser("bob");
        Request("bob", "Share/a.mp3");
        QCOMPARE(Status(Upload("bob", "Share/a.mp3")), QString("requesting"));
    }

    // A stranger's share is asked for once; an empty one earns the warning.
    void emptyShareCheck()
    {
        SetSwitch("check_for_empty_shares", true);
        Request("eve", "Share/a.mp3");
        Request("eve", "Share/b.mp3");
        QCOMPARE(Sent("eve"), QList<QByteArray>{Le32(4)});
        FileInfoMap l_share;
        AttributeTranslationTable l_table;
        emit mp_messenger->UserShare("eve", l_share, l_table);
        QCOMPARE(User("eve")["empty_share_check_status"].AsString(), QString("empty"));
        QCOMPARE(User("eve")["sent_empty_share_warning_message"].AsString(), GetSetting("empty_share_message"));
    }
};

QTEST_MAIN(UploadQueueTest)
#include "UploadQueueTest.moc"
