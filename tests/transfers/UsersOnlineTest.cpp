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

    // This thread's own processor time, in milliseconds, of i_users users
    // coming online.
    static double ComeOnline(QString const& i_prefix, int i_users)
    {
        qint64 const l_start = ThreadOwnCpuNs();
        for (int l_k = 0; l_k < i_users; ++l_k)
            SetFlag(User(i_prefix + QString::number(l_k)), "is_online", true);
        return double(ThreadOwnCpuNs() - l_start) / 1e6;
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

    // With 100,000 users online, 2,000 more cost with the scheduler a few
    // times what 2,000 cost without it (processor time; the margin is wide:
    // the way before copied everyone online for each one who came, some
    // two thousand times as much in a sanitizer build). A user who queued
    // an upload, offline meanwhile, gets his offer when he comes.
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
        double const l_without = ComeOnline("bare", 2000);
        mp_transfers = std::make_unique<TransferQueueManager>();
        SetFlag(User("queuer"), "is_online", false);
        emit mp_messenger->QueueUploadRequested("queuer", l_dir.filePath("Share/song.mp3").replace('/', '\\'));
        Item const l_entry = d.GetType("user")->HasItem(Value("queuer"))["upload_entry"];
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("queued"));

        double const l_with = ComeOnline("late", 2000);
        QVERIFY2(l_with < 10 * l_without + 200, qPrintable(QString("%1 ms against %2 ms").arg(l_with).arg(l_without)));
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("queued"));
        SetFlag(User("queuer"), "is_online", true);
        QCOMPARE(l_entry["upload_entry_status"].AsString(), QString("requesting"));
    }
};

QTEST_MAIN(UsersOnlineTest)
#include "UsersOnlineTest.moc"
