#include "LoopWatch.h"
#include "SharesFixture.h"

#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <QSemaphore>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

#include <unistd.h>

namespace {

QByteArray Mp3Frames(int i_count)
{
    QByteArray l_data;
    for (int l_index = 0; l_index < i_count; ++l_index) {
        QByteArray l_frame(300, '\0');
        l_frame[0] = char(0xFF);
        l_frame[1] = char(0xFB); // MPEG-1 Layer III
        l_frame[2] = char(0xB0); // 192 kbit/s, 44.1 kHz
        l_frame[3] = char(0x40); // joint stereo
        l_data += l_frame;
    }
    return l_data;
}

std::set<std::string> TokensOf(Item const& i_file)
{
    std::set<std::string> l_tokens;
    for (Item const& l_token : i_file.GetItems("search_token"))
        l_tokens.insert(l_token.AsStdString());
    return l_tokens;
}

} // namespace

class SharedFoldersManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        mp_dir.reset(new QTemporaryDir);
        QVERIFY(mp_dir->isValid());
        Restart();
    }

    void cleanup()
    {
        Data::SetCollectionStepWork(4096);
        mp_manager.reset();
        mp_saver.reset();
        QVERIFY(sharedFoldersManager == nullptr);
        d.Reset();
    }

    void NormalisedNames()
    {
        QCOMPARE(SharedFoldersManager::GetAbsoluteFileName("D:\\Music\\\\Rock//A.MP3"), QString("d:/music/rock/a.mp3"));
        QCOMPARE(SharedFoldersManager::GetAbsoluteFileName("rel/Dir/"), QString("rel/dir/"));
        QCOMPARE(SharedFoldersManager::GetAbsoluteFileName(QString::fromUtf8("/Ü/É")), QString::fromUtf8("/ü/é"));
    }

    void DisplayString()
    {
        Item l_file = d.GetType("user_share_file")->NewItem();
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), QString());
        // Reading the text creates no mode items.
        QVERIFY(d.GetType("bitrate_mode")->GetItemCount() == 0);
        l_file += d.GetType("length_seconds")->GetItem(Value(65));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), QString(", 1m5s"));
        l_file += d.GetType("bitrate")->GetItem(Value(180));
        l_file += d.GetType("bitrate_mode")->GetItem(Value("vbr"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), QString("180 VBR, 1m5s"));
    }

    void AddRootAndCounter()
    {
        QCOMPARE(GetSetting("shared_folder_counter"), QString("1"));
        Write("Music/a.txt");
        QSignalSpy l_rescanned(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        Item const l_root = Share(Path("Music"));
        QCOMPARE(l_root.AsString(), Path("Music"));
        QCOMPARE(l_root["shared_folder_id"].AsString(), QString("[1]Music"));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        QVERIFY(!mp_manager->GetSharedFileItem(Path("Music/a.txt")).IsNull());
        QCOMPARE(l_rescanned.count(), 0);

        // Again: the same item, nothing scanned, the counter unchanged.
        Write("Music/b.txt");
        QCOMPARE(Share(Path("Music")), l_root);
        QVERIFY(mp_manager->GetSharedFileItem(Path("Music/b.txt")).IsNull());
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));

        // A loaded counter replaces the default.
        SetSetting("shared_folder_counter", QString("41"));
        QDir().mkpath(Path("Other"));
        QCOMPARE(Share(Path("Other"))["shared_folder_id"].AsString(), QString("[41]Other"));

    }

    void UnsharedRootLeavesNothingSearchable_data()
    {
        QTest::addColumn<bool>("byRescan");
        QTest::newRow("unshare command") << false;
        QTest::newRow("root removed, then a rescan") << true;
    }

    void UnsharedRootLeavesNothingSearchable()
    {
        // The collection marks through names both ways: a file of the gone root
        // stays reachable from the kept root's file of the same name.
        QFETCH(bool, byRescan);
        Write("gone/Album/cover.jpg");
        Write("kept/Album/cover.jpg");
        Write("kept/Nested/inner.txt");
        Item const l_gone = Share(Path("gone"));
        Share(Path("kept"));
        Share(Path("kept/Nested")); // a folder held by two roots
        Item const l_kept = mp_manager->GetSharedFileItem(Path("kept/Album/cover.jpg"));
        QCOMPARE(mp_manager->GetFilesWithTokens({"cover", "album"}).size(), std::size_t(2));

        QSignalSpy l_rescanned(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        if (byRescan) {
            l_gone.Remove();
            Rescan();
            QCOMPARE(l_rescanned.takeFirst(), QList<QVariant>({0, 1}));
        } else {
            Unshare(l_gone);
            Unshare(d.GetType("shared_folder")->HasItem(Value(Path("kept/Nested"))));
        }
        ItemSet const l_found = mp_manager->GetFilesWithTokens({"cover", "album"});
        QCOMPARE(l_found.size(), std::size_t(1));
        QCOMPARE(Item(l_found), l_kept);
        QVERIFY(mp_manager->GetSharedFileItem(Path("gone/Album/cover.jpg")).IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(Value(Path("gone/Album"))).IsNull());
        QVERIFY(!mp_manager->GetSharedFileItem(Path("kept/Nested/inner.txt")).IsNull());
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(2));
    }

    void LookupIgnoresCaseAndSeparators()
    {
        Write("home/u/Music/Song.mp3");
        Write("home/u/Rock/Song.mp3", "yy");
        Share(Path("home"));
        QString const l_base = mp_dir->path();
        Item const l_song = mp_manager->GetSharedFileItem(l_base + "/home/u/Music/Song.mp3");
        QVERIFY(!l_song.IsNull());
        QCOMPARE(l_song["shared_file_size"].AsInt(), 1);
        QCOMPARE(mp_manager->GetSharedFileItem(l_base.toUpper() + "/HOME/u//music/song.MP3"), l_song);
        QString l_backslashed = l_base + "/home/u/Music/Song.mp3";
        l_backslashed.replace('/', '\\');
        QCOMPARE(mp_manager->GetSharedFileItem(l_backslashed), l_song);

        // The folder tells the two songs apart.
        Item const l_rock = mp_manager->GetSharedFileItem(l_base + "/home/u/rock/song.mp3");
        QVERIFY(!l_rock.IsNull());
        QVERIFY(l_rock != l_song);
        QCOMPARE(l_rock["shared_file_size"].AsInt(), 2);

        // Files at the top of a root given with a trailing slash.
        Write("top/t.txt");
        Share(Path("top") + "/");
        QVERIFY(!mp_manager->GetSharedFileItem(Path("top/t.txt")).IsNull());
        QVERIFY(!mp_manager->GetSharedFileItem(Path("top/T.TXT")).IsNull());

        // A root given with a doubled slash and a "." keeps its subfolders.
        Write("odd/sub/deep.txt");
        QString const l_oddRoot = l_base + "//./odd";
        Share(l_oddRoot);
        QVERIFY(!mp_manager->GetSharedFileItem(l_oddRoot + "/sub/deep.txt").IsNull());
        QSignalSpy l_rescanned(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        Rescan();
        QCOMPARE(l_rescanned.takeFirst(), QList<QVariant>({0, 0}));

        // Unknown paths give nothing and create nothing.
        std::size_t const l_items = d.ItemCount();
        QVERIFY(mp_manager->GetSharedFileItem(l_base + "/home/u/Music/Other.mp3").IsNull());
        QVERIFY(mp_manager->GetSharedFileItem(l_base + "/home/x/Song.mp3").IsNull());
        QVERIFY(mp_manager->GetSharedFileItem("Song.mp3").IsNull());
        QVERIFY(mp_manager->GetSharedFileItem("").IsNull());
        QCOMPARE(d.ItemCount(), l_items);
    }

    void NamesDifferingOnlyInCaseStayApart()
    {
        Write("m/Song.mp3", "1");
        Write("m/song.mp3", "22");
        Write("M/song.mp3", "333");
        Share(Path("m"));
        Share(Path("M"));
        Item const l_upper = mp_manager->GetSharedFileItem(Path("m/Song.mp3"));
        Item const l_lower = mp_manager->GetSharedFileItem(Path("m/song.mp3"));
        Item const l_other = mp_manager->GetSharedFileItem(Path("M/song.mp3"));
        QCOMPARE(l_upper["shared_file_size"].AsInt(), 1);
        QCOMPARE(l_lower["shared_file_size"].AsInt(), 2);
        QCOMPARE(l_other["shared_file_size"].AsInt(), 3);
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(3));

        // Without an exact twin the insensitive match still answers.
        Item const l_any = mp_manager->GetSharedFileItem(Path("m/SONG.MP3"));
        QVERIFY(l_any == l_upper || l_any == l_lower);

        // Rescans keep all three, each with its own size.
        QSignalSpy l_spy(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        Rescan();
        QCOMPARE(l_spy.takeFirst(), QList<QVariant>({0, 0}));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(3));
        QCOMPARE(mp_manager->GetSharedFileItem(Path("m/song.mp3")), l_lower);
    }

    void RescanAddsRemovesAndResizes()
    {
        Write("r/keep.txt", "1");
        Write("r/grow.txt", "1");
        Write("r/gone.txt", "1");
        Write("r/sub/deep/a.txt", "1");
        Write("r/sub/deep/b.txt", "1");
        Write("r/empty/.placeholder", "");
        Share(Path("r"));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(5));
        Item const l_grow = mp_manager->GetSharedFileItem(Path("r/grow.txt"));
        l_grow += d.GetType("is_scanned")->GetGlobalNullItem();
        std::set<std::string> const l_growTokens = TokensOf(l_grow);

        QSignalSpy l_spy(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        Rescan();
        QCOMPARE(l_spy.takeFirst(), QList<QVariant>({0, 0}));
        Rescan();
        QCOMPARE(l_spy.takeFirst(), QList<QVariant>({0, 0}));

        Write("r/grow.txt", "12345");
        QVERIFY(QFile::remove(Path("r/gone.txt")));
        QVERIFY(QDir(Path("r/sub")).removeRecursively());
        Write("r/new.txt", "1");
        Write("r/newdir/n.txt", "1");
        Rescan();
        QCOMPARE(l_spy.takeFirst(), QList<QVariant>({2, 3}));

        QCOMPARE(mp_manager->GetSharedFileItem(Path("r/grow.txt")), l_grow);
        QCOMPARE(l_grow["shared_file_size"].AsInt(), 5);
        QVERIFY(l_grow.IsConnected("is_scanned"));
        QCOMPARE(TokensOf(l_grow), l_growTokens);
        QVERIFY(mp_manager->GetSharedFileItem(Path("r/gone.txt")).IsNull());
        QVERIFY(mp_manager->GetSharedFileItem(Path("r/sub/deep/a.txt")).IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(Value(Path("r/sub/deep"))).IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(Value(Path("r/sub"))).IsNull());
        QVERIFY(!d.GetType("shared_file_folder")->HasItem(Value(Path("r/empty"))).IsNull());
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(4));
        // No search finds a removed file (its tokens wait for the collection).
        QVERIFY(mp_manager->GetFilesWithTokens({"gone"}).empty());
        QVERIFY(mp_manager->GetFilesWithTokens({"deep"}).empty());

        // A root that cannot be listed loses its files, counted once.
        QVERIFY(QDir(Path("r")).removeRecursively());
        Rescan();
        QCOMPARE(l_spy.takeFirst(), QList<QVariant>({0, 4}));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(0));
    }

    void MP3Rule()
    {
        // Only names ending exactly in ".mp3" or ".MP3", and only until the
        // analysis is stored; hidden names are not shared at all.
        for (char const* lp_name : {"s/.mp3", "s/x.mp3x", "s/song.Mp3", "s/song.mp3", "s/SONG.MP3"})
            Write(lp_name);
        QSignalSpy l_requests(mp_manager.get(), &SharedFoldersManager::MP3ScansRequired);
        Share(Path("s"));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(4));
        QCOMPARE(l_requests.count(), 1);
        // The paths in the system's encoding (all ASCII here), in the
        // folder's name order, each ended by a NUL byte.
        QByteArray const l_dir = mp_dir->path().toLatin1();
        QCOMPARE(l_requests.takeFirst().at(0).toByteArray(),
                 l_dir + QByteArray("/s/SONG.MP3\0", 12) + l_dir + QByteArray("/s/song.mp3\0", 12));

        mp_manager->GetSharedFileItem(Path("s/song.mp3")) += d.GetType("is_scanned")->GetGlobalNullItem();
        Rescan();
        QCOMPARE(l_requests.count(), 1);
        QCOMPARE(l_requests.at(0).at(0).toByteArray(), l_dir + QByteArray("/s/SONG.MP3\0", 12));
    }

    void TokensOfAFile()
    {
        // The folder's words and the name's, once each however often asked.
        Item l_file = d.GetType("shared_file")->NewItem();
        l_file += d.GetType("shared_file_folder")->GetItem(Value("/home/u/Rock & Roll"));
        l_file += d.GetType("shared_file_name")->GetItem(Value("AC-DC - Back.mp3"));
        mp_manager->TokenizeSharedFile(l_file);
        mp_manager->TokenizeSharedFile(l_file);
        std::set<std::string> const l_expected = {"home", "u",  "rock", "roll", "ac", "dc",      "back",
                                                  "mp3",  "&", "ac-dc", "-",   "back.mp3"};
        QCOMPARE(TokensOf(l_file), l_expected);

        // Candidates of a search: files holding every token. A file of another
        // folder takes that folder's words, not the last folder's.
        Item l_other = d.GetType("shared_file")->NewItem();
        l_other += d.GetType("shared_file_folder")->GetItem(Value("/home/u/Jazz"));
        l_other += d.GetType("shared_file_name")->GetItem(Value("Back Home.ogg"));
        mp_manager->TokenizeSharedFile(l_other);
        QCOMPARE(mp_manager->GetFilesWithTokens({"back", "home"}).size(), std::size_t(2));
        QCOMPARE(Item(mp_manager->GetFilesWithTokens({"back", "rock"})), l_file);
        QVERIFY(mp_manager->GetFilesWithTokens({"jazz", "rock"}).empty());
        QVERIFY(mp_manager->GetFilesWithTokens({"back", "nothing"}).empty());
        QVERIFY(mp_manager->GetFilesWithTokens({}).empty());
    }

    void StartupScanMerge_data()
    {
        // The same end state whether the merge runs in one slice or in many.
        QTest::addColumn<int>("sliceMs");
        QTest::newRow("one slice") << 10000;
        QTest::newRow("one file a slice") << 0;
    }

    void StartupScanMerge()
    {
        QFETCH(int, sliceMs);
        mp_manager->SetMergeSlice(sliceMs);
        // As loaded from the data file: a root, a folder that has since
        // vanished, a file with a stale size and one deleted from the disk.
        Write("root/a.txt", "123");
        Write("root/sub/b.mp3", Mp3Frames(20));
        Item const l_root = d.GetType("shared_folder")->GetItem(Value(Path("root")));
        Item const l_rootFolder = d.GetType("shared_file_folder")->GetItem(Value(Path("root")));
        Item const l_oldFolder = d.GetType("shared_file_folder")->GetItem(Value(Path("root/old")));
        l_rootFolder += l_root;
        l_oldFolder += l_root;
        auto l_addFile = [](Item const& i_folder, char const* ip_name, int i_size) {
            Item l_file = d.GetType("shared_file")->NewItem();
            l_file += i_folder;
            l_file += d.GetType("shared_file_name")->GetItem(Value(ip_name));
            l_file += d.GetType("shared_file_size")->GetItem(Value(i_size));
            return l_file;
        };
        Item const l_a = l_addFile(l_rootFolder, "a.txt", 1);
        Item const l_deleted = l_addFile(l_rootFolder, "deleted.txt", 1);
        Item const l_old = l_addFile(l_oldFolder, "old.txt", 1);
        // Lookups work before the first scan, through the rebuilt twins.
        QCOMPARE(mp_manager->GetSharedFileItem(Path("ROOT/A.TXT").replace(Path("ROOT"), Path("root").toUpper())), l_a);

        WaitForStartupMerge();
        QCOMPARE(mp_manager->GetSharedFileItem(Path("root/a.txt")), l_a);
        QCOMPARE(l_a["shared_file_size"].AsInt(), 3);
        QVERIFY(l_a.IsConnected(d.GetType("search_token")->HasItem(Value("a.txt"))));
        QVERIFY(l_deleted.IsNull());
        QVERIFY(l_oldFolder.IsNull());
        QVERIFY(l_old.IsNull());
        Item const l_b = mp_manager->GetSharedFileItem(Path("root/sub/b.mp3"));
        QVERIFY(!l_b.IsNull());
        QCOMPARE(l_b["shared_file_folder"].AsString(), Path("root/sub"));
        // No folder keeps a mark that a save could write.
        QVERIFY(!d.GetType("is_scanned")->GetGlobalNullItem().IsConnected("shared_file_folder"));
        // The MP3 analysis asked for by the merge comes back.
        QTRY_VERIFY(l_b.IsConnected("is_scanned"));
        QCOMPARE(l_b["bitrate"].AsInt(), 192);
    }

    void RootAddedOrRemovedDuringStartupScan()
    {
        Write("kept/k.txt");
        Write("dropped/d.txt");
        Write("added/sub/x.txt");
        d.GetType("shared_folder")->GetItem(Value(Path("kept")));
        Item const l_dropped = d.GetType("shared_folder")->GetItem(Value(Path("dropped")));

        QSignalSpy l_merged(mp_manager.get(), &SharedFoldersManager::StartupMergeFinished);
        mp_manager->Init();
        // The merge runs on this thread, so both changes happen before it;
        // the new root is made at once, its scan waits for the merge.
        l_dropped.Remove();
        mp_manager->AddSharedFolder(Path("added"));
        QVERIFY(mp_manager->IsBusy());
        QVERIFY(l_merged.wait(WAIT_MS));
        Settle();

        QVERIFY(!mp_manager->GetSharedFileItem(Path("kept/k.txt")).IsNull());
        QVERIFY(mp_manager->GetSharedFileItem(Path("dropped/d.txt")).IsNull());
        QVERIFY(!mp_manager->GetSharedFileItem(Path("added/sub/x.txt")).IsNull());
        QVERIFY(!d.GetType("shared_file_folder")->HasItem(Value(Path("added/sub"))).IsNull());
        // A second Init starts nothing.
        mp_manager->Init();
    }

    void ScansAndUnshareWaitForTheMerge()
    {
        // Events are handled between the merge's slices; a rescan, a new root
        // and an unshare asked for meanwhile run after it, in that order.
        for (int l_file = 0; l_file < 5; ++l_file)
            Write(QString("big/%1.txt").arg(l_file));
        Write("other/o.txt");
        Write("new/n.txt");
        Item const l_big = d.GetType("shared_folder")->GetItem(Value(Path("big")));
        Item const l_other = d.GetType("shared_folder")->GetItem(Value(Path("other")));
        mp_manager->SetMergeSlice(0);
        QSignalSpy l_rescanned(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        QSignalSpy l_merged(mp_manager.get(), &SharedFoldersManager::StartupMergeFinished);
        bool l_askedDuringMerge = false;
        // The lambda is posted from the scanner thread after the manager's own
        // call, and the GUI thread waits until both are posted: otherwise a
        // scanner thread held up between the two lets the whole merge run first.
        QSemaphore l_posted;
        // Only the start-up walk's end: the commands' own walks end later.
        bool l_first = true;
        connect(&mp_manager->GetFileScanner(), &FileScanner::FoldersScanned, this, [&] {
            if (!std::exchange(l_first, false))
                return;
            QMetaObject::invokeMethod(this, [&] {
                l_askedDuringMerge = mp_manager->IsBusy();
                mp_manager->RescanShares();
                mp_manager->AddSharedFolder(Path("new"));
                mp_manager->UnshareFolder(l_other);
                QCOMPARE(l_rescanned.count(), 0);
                QVERIFY(mp_manager->GetSharedFileItem(Path("new/n.txt")).IsNull());
                QVERIFY(!l_other.IsNull());
            }, Qt::QueuedConnection);
            l_posted.release();
        }, Qt::DirectConnection);
        mp_manager->Init();
        QVERIFY(l_posted.tryAcquire(1, WAIT_MS));
        QVERIFY(l_merged.wait(WAIT_MS));
        Settle();
        QVERIFY(l_askedDuringMerge);
        QCOMPARE(l_rescanned.count(), 1);
        QCOMPARE(l_rescanned.at(0), QList<QVariant>({1, 0})); // the new root's file, found by the rescan
        QVERIFY(l_other.IsNull());
        QVERIFY(mp_manager->GetSharedFileItem(Path("other/o.txt")).IsNull());
        QVERIFY(!mp_manager->GetSharedFileItem(Path("new/n.txt")).IsNull());
        QCOMPARE(l_big.GetItems("shared_file_folder").GetItems("shared_file").size(), std::size_t(5));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(6));
    }

    void ShareCommandsKeepTheLoopTurning()
    {
        // 20,000 files: in one go on this thread (as these commands ran
        // before) sharing them held the loop for well over a second in this
        // build. Each command now returns at once, says how far it is, and
        // the loop turns between any two pieces of its job until it has
        // ended: counted in the store's items, a handful a turn, not
        // thousands. (How long the turns take is a figure of bench_shares.)
        // The files are names of one (hard links): on a file system churned
        // by other work, making 20,000 files took seconds of the kernel's
        // time, a name takes little.
        int const l_folders = 500, l_perFolder = 40;
        QString const l_one = Path("track.ogg");
        QVERIFY(QFile(l_one).open(QIODevice::WriteOnly));
        for (int l_folder = 0; l_folder < l_folders; ++l_folder) {
            QString const l_path = Path(QString("big/Artist %1/Album %2").arg(l_folder / 10).arg(l_folder));
            QVERIFY(QDir().mkpath(l_path));
            for (int l_file = 0; l_file < l_perFolder; ++l_file)
                QCOMPARE(::link(QFile::encodeName(l_one).constData(),
                                QFile::encodeName(QString("%1/%2 track.ogg").arg(l_path).arg(l_file)).constData()),
                         0);
        }
        // A file or a removal a slice; a timer of no interval notes each turn
        // of the loop, and the store the items made or dropped in between.
        mp_manager->SetMergeSlice(0);
        QStringList l_progress;
        auto const l_run = [&](std::function<void()> const& i_command) {
            l_progress.clear();
            qint64 l_before = qint64(d.ItemCount());
            qint64 l_most = 0;
            int l_turns = 0;
            QTimer l_turn;
            connect(&l_turn, &QTimer::timeout, [&]() {
                qint64 const l_now = qint64(d.ItemCount());
                l_most = qMax(l_most, qAbs(l_now - l_before));
                l_before = l_now;
                ++l_turns;
            });
            l_turn.start(0);
            QVERIFY(RunShareJob(*mp_manager, i_command, 2 * WAIT_MS, &l_progress));
            l_most = qMax(l_most, qAbs(qint64(d.ItemCount()) - l_before)); // the end of the last slice
            QVERIFY2(l_most <= 100, qPrintable(QString("%1 items made or dropped in one turn").arg(l_most)));
            QVERIFY(l_turns >= 400); // a folder or more a turn
            QVERIFY(l_progress.size() >= 2);
            QCOMPARE(l_progress.last(), QString());
        };

        Item l_root;
        l_run([&] { l_root = mp_manager->AddSharedFolder(Path("big")); });
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(l_folders * l_perFolder));
        QVERIFY(l_progress.first().startsWith("Scanning"));
        QVERIFY(QDir(Path("big/Artist 0")).removeRecursively());
        QSignalSpy l_rescanned(mp_manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        l_run([&] { mp_manager->RescanShares(); });
        QCOMPARE(l_rescanned.takeFirst(), QList<QVariant>({0, 10 * l_perFolder}));
        // The root's removal drops no more of its links to its 490 folders
        // than a step of the collection drops: it is gone at once for
        // every reader, its links go in the job's slices.
        Data::SetCollectionStepWork(64);
        Data::MostLinksDroppedInAStep();
        Item const l_folder =
            mp_manager->GetSharedFileItem(Path("big/Artist 1/Album 10/0 track.ogg"))["shared_file_folder"];
        QVERIFY(!l_folder.IsNull());
        l_run([&] {
            mp_manager->UnshareFolder(l_root);
            QVERIFY(l_root.IsNull());
            QVERIFY(d.GetType("shared_folder")->HasItem(Value(Path("big"))).IsNull());
            QVERIFY(!l_folder.IsConnected("shared_folder"));
            QVERIFY(l_folder.GetItems("shared_folder").empty());
        });
        std::size_t const l_mostLinks = Data::MostLinksDroppedInAStep();
        QVERIFY2(l_mostLinks > 0 && l_mostLinks <= 16, qPrintable(QString::number(l_mostLinks)));
        QVERIFY(!d.HasLinksOfRemoved());
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(0));
        QCOMPARE(d.GetType("shared_file_folder")->GetItemCount(), std::size_t(0));
    }

    void MP3ResultsStored()
    {
        QString const l_path = Write("m/tune.mp3");
        Share(Path("m"));
        Item const l_file = mp_manager->GetSharedFileItem(l_path);
        mp_manager->OnMP3Scanned(l_path, 2, "mono", 1, true, 97);
        QCOMPARE(l_file["mpeg_version"].AsInt(), 2);
        QCOMPARE(l_file["channel_mode"].AsString(), QString("mono"));
        QCOMPARE(l_file["audio_frequency"].AsInt(), 1);
        QCOMPARE(l_file["bitrate_mode"].AsString(), QString("vbr"));
        QCOMPARE(l_file["bitrate"].AsInt(), 97);
        QVERIFY(l_file.IsConnected("is_scanned"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), QString("97 VBR"));
        // A newer result replaces the old values; a file no longer shared is ignored.
        mp_manager->OnMP3Scanned(l_path, 1, "stereo", 0, false, 128);
        QCOMPARE(l_file.CountItems("bitrate"), std::size_t(1));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), QString("128 CBR"));
        std::size_t const l_items = d.ItemCount();
        mp_manager->OnMP3Scanned(Path("m/other.mp3"), 1, "stereo", 0, false, 320);
        QCOMPARE(d.ItemCount(), l_items);
        // The result of a file that left the index does not land on its twin.
        Write("m/Tune.mp3");
        Rescan();
        Item const l_twin = mp_manager->GetSharedFileItem(Path("m/Tune.mp3"));
        QVERIFY(l_twin != l_file);
        QFile::remove(Path("m/Tune.mp3"));
        Rescan();
        mp_manager->OnMP3Scanned(Path("m/Tune.mp3"), 1, "stereo", 0, false, 320);
        QCOMPARE(l_file["bitrate"].AsInt(), 128);
    }

    void UnshareDropsItsPendingAnalyses()
    {
        // Two roots scanned at start-up while the scanner thread is then
        // held, so that every analysis the merge asks for waits; one root
        // is unshared meanwhile. None of its files is read, the other
        // root's are, and nothing is left queued.
        for (int l_file = 0; l_file < 3; ++l_file) {
            Write(QString("gone/album/%1.mp3").arg(l_file), Mp3Frames(5));
            Write(QString("kept/%1.mp3").arg(l_file), Mp3Frames(5));
        }
        Item const l_gone = d.GetType("shared_folder")->GetItem(Value(Path("gone")));
        d.GetType("shared_folder")->GetItem(Value(Path("kept")));
        FileScanner& l_scanner = mp_manager->GetFileScanner();
        QSemaphore l_held, l_hold;
        bool l_first = true;
        QObject const l_listening; // its end ends the connection
        connect(&l_scanner, &FileScanner::FoldersScanned, &l_listening, [&] {
            if (!std::exchange(l_first, false))
                return;
            l_held.release();
            l_hold.acquire();
        }, Qt::DirectConnection);
        // Let go of also when a check fails and returns, or the manager's
        // end would wait for the thread for ever.
        std::unique_ptr<QSemaphore, void (*)(QSemaphore*)> const lp_letGo(&l_hold, [](QSemaphore* ip_hold) {
            ip_hold->release();
        });
        QSignalSpy l_scanned(&l_scanner, &FileScanner::MP3Scanned);
        WaitForStartupMerge();
        QVERIFY(l_held.tryAcquire(1, WAIT_MS));
        Unshare(l_gone);
        l_hold.release();
        Item const l_last = mp_manager->GetSharedFileItem(Path("kept/2.mp3"));
        QTRY_VERIFY(l_last.IsConnected("is_scanned"));
        QMetaObject::invokeMethod(&l_scanner, [] {}, Qt::BlockingQueuedConnection);
        QCOMPARE(l_scanner.PendingMP3Count(), std::size_t(0));
        QStringList l_read;
        for (QList<QVariant> const& l_signal : l_scanned)
            l_read << l_signal.at(0).toString();
        l_read.sort();
        QCOMPARE(l_read, QStringList({Path("kept/0.mp3"), Path("kept/1.mp3"), Path("kept/2.mp3")}));
    }

    // A save made as soon as a root is unshared, while the store still
    // drops its links to its folders, keeps neither the root nor them.
    void SaveRightAfterAnUnshareKeepsNothingOfIt()
    {
        for (int l_folder = 0; l_folder < 40; ++l_folder)
            Write(QString("Gone/Album %1/tune.ogg").arg(l_folder));
        Write("Kept/tune.ogg");
        Item const l_gone = Share(Path("Gone"));
        Share(Path("Kept"));
        Data::SetCollectionStepWork(64);
        mp_manager->UnshareFolder(l_gone);
        QVERIFY(d.HasLinksOfRemoved());
        QString const l_base = Path("data/.Quillmar");
        QVERIFY(QDir().mkpath(Path("data")));
        QVERIFY(mp_saver->Save(l_base));

        Restart();
        mp_saver->Load(l_base);
        QCOMPARE(d.GetType("shared_folder")->GetItemCount(), std::size_t(1));
        QVERIFY(!d.GetType("shared_folder")->HasItem(Value(Path("Kept"))).IsNull());
        QCOMPARE(d.GetType("shared_file_folder")->GetItemCount(), std::size_t(1));
    }

    void SaveAndLoadRoundTrip()
    {
        Write("Share/Album/Tune.mp3", Mp3Frames(30));
        Write("Share/Album/cover.jpg", "jpg");
        Write("Share/notes.txt", "n");
        Item l_root = Share(Path("Share"));
        l_root += d.GetType("shared_public")->GetGlobalNullItem();
        d.GetType("user")->GetItem(Value("pest")) += d.GetType("unshared")->GetGlobalNullItem();
        Item l_tune = mp_manager->GetSharedFileItem(Path("Share/Album/Tune.mp3"));
        QTRY_VERIFY(l_tune.IsConnected("is_scanned"));
        QCOMPARE(l_tune["bitrate"].AsInt(), 192);
        QString const l_base = Path("data/.Quillmar");
        QVERIFY(QDir().mkpath(Path("data")));
        QVERIFY(mp_saver->Save(l_base));

        Restart();
        QCOMPARE(GetSetting("shared_folder_counter"), QString("1"));
        mp_saver->Load(l_base);
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        l_root = d.GetType("shared_folder")->HasItem(Value(Path("Share")));
        QVERIFY(!l_root.IsNull());
        QCOMPARE(l_root["shared_folder_id"].AsString(), QString("[1]Share"));
        QVERIFY(l_root.IsConnected("shared_public"));
        QVERIFY(d.GetType("user")->HasItem(Value("pest")).IsConnected("unshared"));
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(3));
        // The twins are back, so the lookups work before any scan; the tokens
        // were never written.
        QString l_upper = Path("Share/ALBUM/tune.MP3");
        l_tune = mp_manager->GetSharedFileItem(l_upper);
        QVERIFY(!l_tune.IsNull());
        QCOMPARE(l_tune["shared_file_size"].AsInt(), 30 * 300);
        QCOMPARE(l_tune["bitrate"].AsInt(), 192);
        QCOMPARE(l_tune["bitrate_mode"].AsString(), QString("cbr"));
        QCOMPARE(l_tune["mpeg_version"].AsInt(), 1);
        QCOMPARE(l_tune["channel_mode"].AsString(), QString("joint stereo"));
        QCOMPARE(l_tune["audio_frequency"].AsInt(), 0);
        QVERIFY(l_tune.IsConnected("is_scanned"));
        QCOMPARE(d.GetType("search_token")->GetItemCount(), std::size_t(0));
        QVERIFY(!d.GetType("is_scanned")->GetGlobalNullItem().IsConnected("shared_file_folder"));

        // The start-up scan finds everything again, tokenises it, and does not
        // analyse the MP3 file a second time.
        QSignalSpy l_requests(mp_manager.get(), &SharedFoldersManager::MP3ScansRequired);
        WaitForStartupMerge();
        QCOMPARE(l_requests.count(), 0);
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(3));
        QCOMPARE(mp_manager->GetFilesWithTokens({"album", "tune"}).size(), std::size_t(1));
        QCOMPARE(mp_manager->GetSharedFileItem(Path("Share/Album/Tune.mp3")), l_tune);
    }

    void ShutdownDuringScans()
    {
        // Work queued on the scanner thread (the start-up walk and a batch of
        // analyses) must not hold up or outlive the manager.
        for (int l_folder = 0; l_folder < 20; ++l_folder)
            for (int l_file = 0; l_file < 20; ++l_file)
                Write(QString("big/%1/%2.mp3").arg(l_folder).arg(l_file), Mp3Frames(5));
        d.GetType("shared_folder")->GetItem(Value(Path("big")));
        WaitForStartupMerge();
        mp_manager->AddSharedFolder(Path("other"));
        mp_manager->RescanShares();
        mp_manager.reset();
        QCoreApplication::processEvents();
        QCOMPARE(d.GetType("shared_file")->GetItemCount(), std::size_t(400));
        QVERIFY(!d.GetType("shared_file")->GetItems().begin()->IsConnected("is_scanned"));
    }

    void FailedConstruction()
    {
        // A type of the manager's declared twice is the store's exception to
        // the caller, not the end of the program, and no manager is published.
        mp_manager.reset();
        d.Reset();
        DeclareSharesNeighbourTypes();
        d.NewType("unshared", LEAF, true, true);
        QVERIFY_EXCEPTION_THROWN(SharedFoldersManager l_manager, TypeAlreadyExistsException);
        QVERIFY(sharedFoldersManager == nullptr);
    }

private:
    QString Write(QString const& i_name, QByteArray const& i_data = "x")
    {
        return WriteTestFile(*mp_dir, i_name, i_data);
    }
    QString Path(QString const& i_name) const { return mp_dir->filePath(i_name); }

    // The commands return at once; their jobs end in the event loop.
    void Settle() { QTRY_VERIFY(!mp_manager->IsBusy()); }
    Item Share(QString const& i_path)
    {
        Item const l_root = mp_manager->AddSharedFolder(i_path);
        Settle();
        return l_root;
    }
    void Rescan()
    {
        mp_manager->RescanShares();
        Settle();
    }
    void Unshare(Item const& i_root)
    {
        mp_manager->UnshareFolder(i_root);
        Settle();
    }

    void WaitForStartupMerge()
    {
        QSignalSpy l_merged(mp_manager.get(), &SharedFoldersManager::StartupMergeFinished);
        mp_manager->Init();
        QVERIFY(l_merged.wait(WAIT_MS));
    }

    // A new process: a fresh store, the saver and the manager declared again,
    // the settings saved as the shell saves them.
    void Restart()
    {
        mp_manager.reset();
        mp_saver.reset();
        DeclareSharesNeighbourTypes();
        mp_saver.reset(new DataSaver);
        mp_saver->AddSavedType("global");
        mp_saver->AddSavedByConnectionType("global_value", "global");
        mp_manager.reset(new SharedFoldersManager);
    }

    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<SharedFoldersManager> mp_manager;
};

QTEST_GUILESS_MAIN(SharedFoldersManagerTest)
#include "SharedFoldersManagerTest.moc"
