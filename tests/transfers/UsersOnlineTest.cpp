// What users coming online cost the upload scheduler: nothing beyond what
// they cost without it, however many are online, unless they queued an
// upload themselves; and the one who did gets his offer as he comes.

#include "peers/PeerMessenger.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"

#include <QtTest>

#include <memory>

class UsersOnlineTest : public QObject, public ManagerSet<Server, PeerMessenger, SharedFoldersManager>
{
    Q_OBJECT

    std::unique_ptr<TransferQueueManager> mp_transfers;

    static Item User(QString const& i_name) { return d.GetType("user")->GetItem(Value(i_name)); }

    static void ComeOnline(QString const& i_prefix, int i_users)
    {
        for (int l_k = 0; l_k < i_users; ++l_k)
            SetFlag(User(i_prefix + QString::number(l_k)), "is_online", true);
    }

private slots:
    void init()
    {
        StartManagers();
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
    }
    void cleanup()
    {
        mp_transfers.reset();
        StopManagers();
    }

    // With 100,000 users online and one upload queued (for a user who is
    // offline), 2,000 more users coming online have the scheduler look at
    // nobody: none of them has an upload queued. The way before asked the
    // scheduler for each one who came, and it walked everyone online. A
    // user who queued an upload, offline meanwhile, gets his offer when he
    // comes.
    void NobodyElsesUsersCostAnything()
    {
        QTemporaryDir l_dir;
        QFile l_file(l_dir.filePath("Share/song.mp3"));
        QVERIFY(QDir().mkpath(l_dir.filePath("Share")) && l_file.open(QIODevice::WriteOnly) && l_file.write("x") == 1);
        l_file.close();
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(l_dir.filePath("Share"));
        QTRY_VERIFY(!mp_shares->IsBusy());

        for (int l_k = 0; l_k < 100000; ++l_k)
            SetFlag(User(QString("crowd%1").arg(l_k)), "is_online", true);
        mp_transfers = std::make_unique<TransferQueueManager>();
        SetFlag(User("queuer"), "is_online", false);
        emit mp_messenger->QueueUploadRequested("queuer", l_dir.filePath("Share/song.mp3").replace('/', '\\'));
        Item const l_entry = d.GetType("user")->HasItem(Value("queuer"))["upload_entry"];
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("queued"));

        std::uint64_t const l_before = mp_transfers->OfferCandidateLooks();
        ComeOnline("late", 2000);
        QCOMPARE(mp_transfers->OfferCandidateLooks() - l_before, std::uint64_t(0));
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("queued"));
        SetFlag(User("queuer"), "is_online", true);
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("requesting"));
    }
};

QTEST_MAIN(UsersOnlineTest)
#include "UsersOnlineTest.moc"
