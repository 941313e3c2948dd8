// What other users get from our shares: visibility, search answers, share
// lists, folder contents. Payloads are compared with records written out by
// hand and compressed by zlib itself at level 9.

#include "SharesFixture.h"

#include "shares/ShareListCache.h"
#include "shares/SharePayloads.h"
#include "shares/SharedFoldersManager.h"
#include "shares/UploadQueueHooks.h"

#include <QtTest>

#include <memory>
#include <optional>
#include <zlib.h>

namespace {

QByteArray Message(quint32 i_code, Wire const& i_record)
{
    uLongf l_length = compressBound(uLong(i_record.m_bytes.size()));
    QByteArray l_out(int(l_length), '\0');
    compress2(reinterpret_cast<Bytef*>(l_out.data()), &l_length,
              reinterpret_cast<Bytef const*>(i_record.m_bytes.data()), uLong(i_record.m_bytes.size()), 9);
    return Wire().U32(i_code).m_bytes + l_out.left(int(l_length));
}

// The record inside a compressed message, after its code.
MemStream Inflated(MemStream const& i_message)
{
    MemStream l_out;
    if (!ZlibInflate(MemStream(i_message.ToByteArray(4)), INFLATE_CAP_SHARE_LIST, l_out))
        qFatal("message does not inflate");
    return l_out;
}

// The paths of a search answer, in the order sent; none without an answer.
QStringList AnsweredPaths(MemStream const& i_message)
{
    QStringList l_paths;
    if (i_message.Size() == 0)
        return l_paths;
    MemStream l_record = Inflated(i_message);
    QString l_user;
    quint32 l_token = 0, l_count = 0;
    l_record.Read(l_user);
    l_record.Read(l_token);
    l_record.Read(l_count);
    for (FileInfo l_file; l_count > 0 && l_file.Read(l_record); --l_count)
        l_paths << l_file.Name();
    return l_paths;
}

// The share list the provider hands over, and whether it came at once (kept,
// or small enough to compress on the spot) rather than from the worker.
struct ProvidedList
{
    QByteArray m_message;
    bool m_atOnce = false;
};

ProvidedList ProvideShareList(SharedFoldersManager& io_manager, QString const& i_user)
{
    auto lp_message = std::make_shared<std::optional<QByteArray>>();
    io_manager.ProvideShareList(i_user, [lp_message](QByteArray i_message) { *lp_message = i_message; });
    bool const l_atOnce = lp_message->has_value();
    if (!WaitUntil([&lp_message] { return lp_message->has_value(); }))
        qWarning("no share list within %d s", WAIT_MS / 1000);
    return {lp_message->value_or("<no reply>"), l_atOnce};
}

} // namespace

class ShareAnswersTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        DeclareSharesNeighbourTypes();
        SetSetting("username", QStringLiteral("me"));
        SetUploadQueueHooks(UploadQueueHooks());
        mp_manager.reset(new SharedFoldersManager);
    }

    void cleanup()
    {
        mp_manager.reset();
        SetUploadQueueHooks(UploadQueueHooks());
        d.Reset();
    }

    void VisibilityAgreesEverywhere_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("visible");
        QTest::newRow("unknown name") << "stranger" << QStringList{"/pub"};
        QTest::newRow("known, not listed") << "known" << QStringList{"/pub"};
        QTest::newRow("listed, no group") << "listed" << QStringList{"/list", "/pub"};
        QTest::newRow("listed in the group") << "member" << QStringList{"/g", "/list", "/pub"};
        QTest::newRow("listed in another group") << "other" << QStringList{"/list", "/pub"};
        QTest::newRow("unshared member") << "pest" << QStringList();
    }

    // Search answers, share lists, folder contents and upload admission all
    // show a user the same roots.
    void VisibilityAgreesEverywhere()
    {
        QFETCH(QString, user);
        QFETCH(QStringList, visible);
        std::map<QString, Item> l_files;
        std::map<QString, char const*> const l_roots{
            {"/pub", "shared_public"}, {"/list", "shared_userlist"}, {"/g", nullptr}, {"/priv", nullptr}};
        for (auto const& l_root : l_roots)
            l_files[l_root.first] = AddFile(Root(l_root.first, l_root.second), l_root.first, "song.mp3");
        Root("/g") += d.GetType("user_list_group")->GetItem(Value("G"));
        d.GetType("user")->GetItem(Value("known"));
        std::map<QString, char const*> const l_groups{{"listed", nullptr}, {"member", "G"}, {"other", "H"}, {"pest", "G"}};
        for (auto const& l_user : l_groups) {
            Item const l_entry = d.GetType("user")->GetItem(Value(l_user.first)).NewItem("in_user_list");
            if (l_user.second)
                l_entry += d.GetType("user_list_group")->GetItem(Value(l_user.second));
        }
        d.GetType("user")->GetItem(Value("pest")) += d.GetType("unshared")->GetGlobalNullItem();

        QStringList l_seen, l_listed, l_found;
        for (Item const& l_root : mp_manager->GetUserSharedFolders(user))
            l_seen << l_root.AsString();
        FileInfoMap l_share;
        AttributeTranslationTable l_table;
        mp_manager->GetSharedFilesAsUserShare(user, l_share, l_table);
        for (auto const& l_folder : l_share)
            l_listed << QString::fromStdString(l_folder.first).replace('\\', '/');
        for (QString const& l_path : AnsweredPaths(mp_manager->SearchAnswer(user, 1, "song")))
            l_found << l_path.section('\\', 0, -2).replace('\\', '/');
        l_seen.sort();
        QCOMPARE(l_seen, visible);
        QCOMPARE(l_listed, visible);
        QCOMPARE(l_found, visible);
        for (auto const& l_root : l_files) {
            bool const l_visible = visible.contains(l_root.first);
            QCOMPARE(mp_manager->IsFileSharedWithUser(l_root.second, user), l_visible);
            QString const l_remote = QString(l_root.first).replace('/', '\\');
            QCOMPARE(mp_manager->FolderContentsAnswer(user, 1, l_remote).Size() > 0, l_visible);
        }
        // Strangers' requests leave no user behind.
        QVERIFY(d.GetType("user")->HasItem(Value("stranger")).IsNull());
    }

    void AddressBarsHousemates()
    {
        QStringList l_unshared;
        UploadQueueHooks l_hooks;
        l_hooks.m_unshareUser = [&l_unshared](QString const& i_user) {
            l_unshared << i_user;
            d.GetType("user")->GetItem(Value(i_user)) += d.GetType("unshared")->GetGlobalNullItem();
        };
        SetUploadQueueHooks(l_hooks);
        mp_manager->Init();
        auto l_address = [](char const* ip_user, char const* ip_address) {
            SetAttribute(d.GetType("user")->GetItem(Value(ip_user)), "user_address", Value(ip_address));
        };
        d.GetType("user")->GetItem(Value("pest")) += d.GetType("unshared")->GetGlobalNullItem();
        l_address("pest", "2130706433");
        l_address("elsewhere", "2130706434");
        l_address("housemate", "2130706433");
        // Already barred: nothing more. An unknown address (0) is no household.
        l_address("housemate", "2130706434");
        l_address("housemate", "2130706433");
        l_address("pest", "0");
        l_address("nowhere", "0");
        QCOMPARE(l_unshared, QStringList{"housemate"});
    }

    void SearchMatching_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("all tokens under 3 characters") << "ab cd" << QStringList();
        QTest::newRow("one long token beside a short one") << "abc de" << QStringList{"\\m\\abc de.flac"};
        QTest::newRow("a token in no path") << "abc zz" << QStringList();
        QTest::newRow("part tokens only") << "*abc" << QStringList();
        QTest::newRow("plain") << "song"
                               << QStringList{"\\m\\Livewire\\Song.ogg", "\\m\\Song (Live).mp3", "\\m\\Song.mp3"};
        QTest::newRow("excluded, any case") << "song -live" << QStringList{"\\m\\Livewire\\Song.ogg", "\\m\\Song.mp3"};
        QTest::newRow("part of the name, not the folder") << "song *liv" << QStringList{"\\m\\Song (Live).mp3"};
        // Matched like any other, but the slot drops it before.
        QTest::newRow("our own search") << "song"
                                        << QStringList{"\\m\\Livewire\\Song.ogg", "\\m\\Song (Live).mp3", "\\m\\Song.mp3"};
        QTest::newRow("finishing uploads before quitting") << "song" << QStringList();
    }

    void SearchMatching()
    {
        QFETCH(QString, query);
        Item const l_root = Root("/m", "shared_public");
        for (QString const& l_name : QStringList{"ab cd.mp3", "abc de.flac", "Song.mp3", "Song (Live).mp3"})
            AddFile(l_root, "/m", l_name);
        AddFile(l_root, "/m/Livewire", "Song.ogg");
        QString const l_row = QTest::currentDataTag();
        if (l_row == "finishing uploads before quitting")
            SetVSetting("finish_uploads_and_quit", "yes");
        QTEST(AnsweredPaths(mp_manager->SearchAnswer("bob", 1, query)), "paths");

        // Through the slot: our own searches are not even processed; without a
        // peer messenger nothing is sent.
        QSignalSpy l_processed(mp_manager.get(), &SharedFoldersManager::SearchProcessed);
        mp_manager->OnDirectFileSearch(l_row == "our own search" ? "me" : "bob", 1, query);
        QCOMPARE(l_processed.count(), l_row == "our own search" ? 0 : 1);
    }

    void SearchResultBytes()
    {
        Item const l_root = Root("/home/a/Music", "shared_public");
        Item const l_x = AddFile(l_root, "/home/a/Music", "x.mp3", 5);
        l_x += d.GetType("bitrate")->GetItem(Value(192));
        l_x += d.GetType("bitrate_mode")->GetItem(Value("vbr"));
        Item const l_track = AddFile(l_root, "/home/a/Music", "Track.MP3", 7);
        l_track += d.GetType("bitrate")->GetItem(Value(128));
        l_track += d.GetType("bitrate_mode")->GetItem(Value("cbr"));
        AddFile(l_root, "/home/a/Music", "y.flac", 0x100000000ll);
        UploadQueueHooks l_hooks;
        l_hooks.m_isFreeToUpload = [] { return false; };
        l_hooks.m_queuedUploadCount = [] { return 3; };
        SetUploadQueueHooks(l_hooks);

        Wire l_record;
        l_record.Str("me").U32(0x01020304).U32(3);
        l_record.U8(1).Str("\\home\\a\\Music\\Track.MP3").U64(7).Str("mp3").U32(2).U32(0).U32(128).U32(2).U32(0);
        l_record.U8(1).Str("\\home\\a\\Music\\x.mp3").U64(5).Str("mp3").U32(2).U32(0).U32(192).U32(2).U32(1);
        l_record.U8(1).Str("\\home\\a\\Music\\y.flac").U64(0x100000000ull).Str("").U32(0);
        l_record.U8(0).U32(0).U32(3).U32(0); // no free slot, no speed known, 3 queued, no names
        QCOMPARE(mp_manager->SearchAnswer("bob", 0x01020304, "music").ToByteArray(), Message(9, l_record));

        SetSetting("upload_speed", qint64(2048));
        l_hooks.m_isFreeToUpload = [] { return true; };
        SetUploadQueueHooks(l_hooks);
        QByteArray const l_tail = Inflated(mp_manager->SearchAnswer("bob", 1, "music")).ToByteArray().right(13);
        QCOMPARE(l_tail, Wire().U8(1).U32(2048).U32(3).U32(0).m_bytes);
    }

    // An answer that a client like ours would throw away whole is cut to what it
    // takes: the first 100,000 paths, and at most 16 MiB once inflated. The
    // long paths of the second case are long for their folder: indexing
    // 17 MB of names took most of the test's time.
    void LargeAnswersAreCut()
    {
        auto l_fill = [&](QString const& i_folder, char const* ip_token, int i_count) {
            Item const l_folder = d.GetType("shared_file_folder")->GetItem(Value(i_folder));
            l_folder += Root(i_folder, "shared_public");
            Item const l_token = d.GetType("search_token")->GetItem(Value(ip_token));
            for (int l_index = 0; l_index < i_count; ++l_index) {
                Item const l_file = d.GetType("shared_file")->NewItem();
                l_file += l_folder;
                l_file += l_token;
                l_file += d.GetType("shared_file_name")->GetItem(Value(QString::number(1000000 + l_index)));
            }
            return AnsweredPaths(mp_manager->SearchAnswer("bob", 1, ip_token));
        };
        QStringList const l_paths = l_fill("/big", "big", 100001);
        QCOMPARE(l_paths.size(), 100000);
        QCOMPARE(l_paths.front(), QString("\\big\\1000000"));
        QCOMPARE(l_paths.back(), QString("\\big\\1099999"));
        // Paths of 4,005 characters, 4,026 bytes a file: 4,167 fit in 16 MiB.
        QCOMPARE(l_fill("/" + QString(3996, 'l'), "long", 4300).size(), 4167);
    }

    // However a search is read (at once, or in slices with the event loop
    // turning between them) and wherever its record is written (here, or
    // on the worker), the peer gets the bytes of the answer made at once,
    // whose layout SearchResultBytes checks.
    void SlicedSearchSendsTheSameBytes_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<qint64>("slice");
        QTest::addColumn<int>("files");
        QTest::newRow("every candidate a slice") << "track" << qint64(0) << 6000;
        QTest::newRow("slices of 1 ms") << "track" << qint64(1) << 6000;
        QTest::newRow("name filters") << "track -live *mix" << qint64(0) << 4500;
        QTest::newRow("cut at 16 MiB, the rest let go of in slices") << "long" << qint64(0) << 4162;
    }

    void SlicedSearchSendsTheSameBytes()
    {
        QFETCH(QString, query);
        QFETCH(qint64, slice);
        // 6,000 tracks in 300 albums of a public root, some analysed, and
        // the same again under a root that bob does not see; for the search
        // that finds them, 4,300 files whose paths of 4,010 bytes (from
        // their folder: long names are slow to index) make more than one
        // answer can carry (made only for that search).
        Item const l_public = Root("/pub", "shared_public"), l_hidden = Root("/hid");
        for (int l_album = 0; l_album < 300; ++l_album)
            for (int l_track = 0; l_track < 20; ++l_track) {
                QString const l_name = QString("%1 track %2.mp3").arg(l_track).arg(l_track % 4 ? "mix" : "live mix");
                Item const l_file = AddFile(l_public, QString("/pub/Album %1").arg(l_album), l_name, l_album);
                if (l_track % 3 == 0)
                    l_file += d.GetType("bitrate")->GetItem(Value(128 + l_track));
                AddFile(l_hidden, QString("/hid/Album %1").arg(l_album), l_name);
            }
        for (int l_index = 0; query == "long" && l_index < 4300; ++l_index)
            AddFile(l_public, "/pub/" + QString(3995, 'l'), QString("long %1").arg(l_index, 4, 10, QChar('0')));
        QByteArray const l_atOnce = mp_manager->SearchAnswer("bob", 7, query).ToByteArray();
        QTEST(int(AnsweredPaths(MemStream(l_atOnce)).size()), "files");

        mp_manager->SetShareListSlice(slice);
        mp_manager->SetInlineCompressionLimit(0);
        QList<QPair<QString, QByteArray>> l_sent;
        mp_manager->SetAnswerSink(
            [&l_sent](QString const& i_user, QByteArray const& i_message) { l_sent.append({i_user, i_message}); });
        QSignalSpy l_processed(mp_manager.get(), &SharedFoldersManager::SearchProcessed);
        mp_manager->OnDirectFileSearch("bob", 7, query);
        QCOMPARE(l_processed.count(), 0); // not read in one slice
        QTRY_COMPARE_WITH_TIMEOUT(l_processed.count(), 1, 2 * WAIT_MS);
        QCOMPARE(l_processed.takeFirst(), QList<QVariant>({query, true}));
        QTRY_COMPARE(l_sent.size(), 1); // from the worker
        QCOMPARE(l_sent.front().first, QString("bob"));
        QVERIFY(l_sent.front().second == l_atOnce);
    }

    // Strangers choose what they search for: sixteen searches that outlast
    // their first slice are read at once, a seventeenth is not answered, and
    // once they are read the next one is read again.
    void SixteenLargeSearchesAtOnce()
    {
        Item const l_public = Root("/pub", "shared_public");
        for (int l_track = 0; l_track < 20; ++l_track)
            AddFile(l_public, "/pub/Album", QString("%1 track.mp3").arg(l_track));
        mp_manager->SetShareListSlice(0);
        mp_manager->SetAnswerSink([](QString const&, QByteArray const&) {});
        QSignalSpy l_processed(mp_manager.get(), &SharedFoldersManager::SearchProcessed);
        for (int l_user = 0; l_user < 17; ++l_user)
            mp_manager->OnDirectFileSearch(QString("user%1").arg(l_user), quint32(l_user), "track");
        QCOMPARE(l_processed.count(), 1);
        QCOMPARE(l_processed.takeFirst(), QList<QVariant>({"track", false}));
        QTRY_COMPARE(l_processed.count(), 16);
        for (QList<QVariant> const& l_search : l_processed)
            QCOMPARE(l_search, QList<QVariant>({"track", true}));
        l_processed.clear();
        mp_manager->OnDirectFileSearch("late", 99, "track");
        QTRY_COMPARE(l_processed.count(), 1);
        QCOMPARE(l_processed.takeFirst(), QList<QVariant>({"track", true}));
    }

    void ShareListAndFolderBytes_data()
    {
        QTest::addColumn<qint64>("slice");
        QTest::newRow("read at once") << qint64(10);
        QTest::newRow("a root, a folder or a file a slice") << qint64(0);
    }

    void ShareListAndFolderBytes()
    {
        QFETCH(qint64, slice);
        mp_manager->SetShareListSlice(slice);
        mp_manager->SetInlineCompressionLimit(0); // through the worker
        Item const l_root = Root("/s", "shared_public");
        Item const l_a = AddFile(l_root, "/s", "a.mp3", 5);
        l_a += d.GetType("bitrate")->GetItem(Value(192));
        l_a += d.GetType("bitrate_mode")->GetItem(Value("vbr"));
        AddFile(l_root, "/s", "B.mp3", 9);
        d.GetType("shared_file_folder")->GetItem(Value("/s/empty")) += l_root;
        AddFile(l_root, "/s/sub", "c.txt", 3);
        AddFile(Root("/p"), "/p", "hidden.txt");
        // Under two visible roots: listed once. A name holding a backslash reads
        // like the path above: the folder made first is listed.
        d.GetType("shared_file_folder")->GetItem(Value("/s/sub")) += Root("/s/sub", "shared_public");
        AddFile(l_root, "/s\\sub", "d.txt");
        AddFile(Root("/t", "shared_public"), "/t", "e.txt", 4);

        Wire l_list;
        l_list.U32(4);
        l_list.Str("\\s").U32(2);
        l_list.U8(1).Str("B.mp3").U64(9).Str("mp3").U32(0); // upper case first; not analysed yet
        l_list.U8(1).Str("a.mp3").U64(5).Str("mp3").U32(2).U32(0).U32(192).U32(2).U32(1);
        l_list.Str("\\s\\empty").U32(0);
        l_list.Str("\\s\\sub").U32(1).U8(1).Str("c.txt").U64(3).Str("").U32(0);
        l_list.Str("\\t").U32(1).U8(1).Str("e.txt").U64(4).Str("").U32(0);
        l_list.U32(0);
        QCOMPARE(ProvideShareList(*mp_manager, "bob").m_message, Message(5, l_list));
        QCOMPARE(mp_manager->GetSharedFilesMessage("bob").ToByteArray(), Message(5, l_list));

        Wire l_folder;
        l_folder.U32(77).Str("\\s").U32(1).Str("\\s").U32(2);
        l_folder.U8(1).Str("B.mp3").U64(9).Str("").U32(0);
        l_folder.U8(1).Str("a.mp3").U64(5).Str("").U32(0);
        l_folder.U32(0);
        QCOMPARE(mp_manager->FolderContentsAnswer("bob", 77, "\\s").ToByteArray(), Message(37, l_folder));
        for (QString const& l_refused : QStringList{"\\S", "\\s\\", "\\s\\none", "\\p"})
            QVERIFY2(mp_manager->FolderContentsAnswer("bob", 1, l_refused).Size() == 0, qPrintable(l_refused));

        // Barred: the list is still sent, empty; no folder is.
        d.GetType("user")->GetItem(Value("bob")) += d.GetType("unshared")->GetGlobalNullItem();
        QCOMPARE(ProvideShareList(*mp_manager, "bob").m_message, Message(5, Wire().U32(0).U32(0)));
        QCOMPARE(mp_manager->FolderContentsAnswer("bob", 77, "\\s").Size(), quint64(0));
    }

    void ShareListKeptUntilTheIndexChanges_data()
    {
        QTest::addColumn<bool>("kept");
        QTest::newRow("nothing") << true;
        QTest::newRow("a search token") << true;
        QTest::newRow("a file added") << false;
        QTest::newRow("a size") << false;
        QTest::newRow("an MP3 result") << false;
        QTest::newRow("a file removed") << false;
        QTest::newRow("a folder left its root") << false;
        QTest::newRow("a root made visible") << false;
    }

    // A repeated request is answered from the list kept, until anything that a
    // list shows changes.
    void ShareListKeptUntilTheIndexChanges()
    {
        mp_manager->SetInlineCompressionLimit(0);
        Item const l_root = Root("/s", "shared_public");
        Item const l_file = AddFile(l_root, "/s", "a.mp3");
        AddFile(l_root, "/s/sub", "b.txt");
        QVERIFY(!ProvideShareList(*mp_manager, "bob").m_atOnce);

        QString const l_change = QTest::currentDataTag();
        if (l_change == "a search token")
            l_file += d.GetType("search_token")->GetItem(Value("extra"));
        else if (l_change == "a file added")
            AddFile(l_root, "/s", "c.txt");
        else if (l_change == "a size")
            l_file += d.GetType("shared_file_size")->GetItem(Value(2));
        else if (l_change == "an MP3 result")
            l_file += d.GetType("bitrate")->GetItem(Value(128));
        else if (l_change == "a file removed")
            l_file.Remove();
        else if (l_change == "a folder left its root")
            d.GetType("shared_file_folder")->GetItem(Value("/s/sub")) -= l_root;
        else if (l_change == "a root made visible")
            AddFile(Root("/t", "shared_public"), "/t", "t.txt");
        ProvidedList const l_again = ProvideShareList(*mp_manager, "carol");
        QTEST(l_again.m_atOnce, "kept");
        QCOMPARE(l_again.m_message, mp_manager->GetSharedFilesMessage("carol").ToByteArray());
    }

    // Requests that arrive while a list is read or compressed wait for it, one
    // answer per user; a user who sees other roots by then gets the list of
    // those.
    void RequestsShareOneCompression()
    {
        mp_manager->SetInlineCompressionLimit(0);
        mp_manager->SetShareListSlice(0);
        AddFile(Root("/s", "shared_public"), "/s", "a.txt");
        AddFile(Root("/l", "shared_userlist"), "/l", "b.txt");
        Item const l_listed = d.GetType("user")->GetItem(Value("erin")).NewItem("in_user_list");
        auto lp_replies = std::make_shared<QList<QPair<QString, QByteArray>>>();
        for (QString const& l_user : QStringList{"bob", "carol", "bob", "erin"})
            mp_manager->ProvideShareList(l_user, [lp_replies, l_user](QByteArray i_message) {
                lp_replies->append({l_user, i_message});
            });
        l_listed.Remove();
        QTRY_COMPARE(lp_replies->size(), 3);
        QByteArray const l_public = mp_manager->GetSharedFilesMessage("bob").ToByteArray();
        std::sort(lp_replies->begin(), lp_replies->end());
        QCOMPARE(*lp_replies,
                 (QList<QPair<QString, QByteArray>>{{"bob", l_public}, {"carol", l_public}, {"erin", l_public}}));
        QVERIFY(ProvideShareList(*mp_manager, "dave").m_atOnce);
    }

    // Fed to zlib in slices, a record makes the bytes of one compress2 call; a
    // stop between slices gives nothing.
    void CompressedInSlices()
    {
        Wire l_record;
        for (quint32 l_index = 0; l_index < 500; ++l_index)
            l_record.Str(QByteArray::number(l_index * 7919)).U32(l_index);
        MemStream const l_in(l_record.m_bytes);
        for (quint64 l_slice : {1, 7, 4096, 1 << 20})
            QCOMPARE(SharePayload::Compressed(5, l_in, nullptr, l_slice), Message(5, l_record));
        std::atomic<bool> const l_stop{true};
        QVERIFY(SharePayload::Compressed(5, l_in, &l_stop, 7).isEmpty());
    }

    void KeptListsAreBounded()
    {
        ShareListCache l_cache;
        for (quint64 l_key = 1; l_key <= ShareListCache::MAX_LISTS + 1; ++l_key)
            l_cache.Keep({l_key}, 7, "list");
        QVERIFY(l_cache.Find({1}, 7).isEmpty()); // the oldest went
        QCOMPARE(l_cache.Find({2}, 7), QByteArray("list"));
        QVERIFY(l_cache.Find({2}, 8).isEmpty()); // the index changed
        QVERIFY(l_cache.Find({3}, 7).isEmpty());
        QByteArray const l_large(int(ShareListCache::MAX_BYTES) - 3, 'x');
        l_cache.Keep({1}, 7, "list");
        l_cache.Keep({2}, 7, l_large);
        QVERIFY(l_cache.Find({1}, 7).isEmpty()); // no room beside it
        QCOMPARE(l_cache.Find({2}, 7).size(), l_large.size());
        l_cache.Keep({3}, 7, l_large + "more");
        QVERIFY(l_cache.Find({3}, 7).isEmpty()); // too large to keep
    }

    void DeletedWhileAnswering_data()
    {
        QTest::addColumn<qint64>("slice");
        QTest::newRow("while reading the index") << qint64(0);
        QTest::newRow("while compressing") << qint64(1000);
    }

    void DeletedWhileAnswering()
    {
        QFETCH(qint64, slice);
        mp_manager->SetInlineCompressionLimit(0);
        mp_manager->SetShareListSlice(slice);
        Item const l_folder = d.GetType("shared_file_folder")->GetItem(Value("/big"));
        l_folder += Root("/big", "shared_public");
        for (int l_index = 0; l_index < 20000; ++l_index) {
            Item const l_file = d.GetType("shared_file")->NewItem();
            l_file += l_folder;
            l_file += d.GetType("shared_file_name")->GetItem(Value(QString("track %1.mp3").arg(l_index)));
        }
        auto lp_replies = std::make_shared<int>(0);
        mp_manager->ProvideShareList("bob", [lp_replies](QByteArray) { ++*lp_replies; });
        mp_manager.reset();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(*lp_replies, 0);
    }

    void OwnStatisticsOnly()
    {
        UserStats l_stats;
        l_stats.m_averageSpeed = 0xFFFFFFFFu; // read as signed
        mp_manager->OnReceivedUserStats("bob", l_stats);
        QVERIFY(!IsSettingSet("upload_speed"));
        mp_manager->OnReceivedUserStats("me", l_stats);
        QCOMPARE(GetSetting("upload_speed"), QString("-1"));
    }

private:
    Item Root(QString const& i_path, char const* ip_flag = nullptr)
    {
        Item const l_root = d.GetType("shared_folder")->GetItem(Value(i_path));
        if (ip_flag)
            l_root += d.GetType(ip_flag)->GetGlobalNullItem();
        return l_root;
    }

    Item AddFile(Item const& i_root, QString const& i_folder, QString const& i_name, qint64 i_size = 1)
    {
        Item const l_folder = d.GetType("shared_file_folder")->GetItem(Value(i_folder));
        l_folder += i_root;
        Item const l_file = d.GetType("shared_file")->NewItem();
        l_file += l_folder;
        l_file += d.GetType("shared_file_name")->GetItem(Value(i_name));
        l_file += d.GetType("shared_file_size")->GetItem(Value(static_cast<long long>(i_size)));
        mp_manager->TokenizeSharedFile(l_file);
        return l_file;
    }

    std::unique_ptr<SharedFoldersManager> mp_manager;
};

QTEST_MAIN(ShareAnswersTest)
#include "ShareAnswersTest.moc"
