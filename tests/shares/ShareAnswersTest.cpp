// What other users get from our shares: visibility, search answers, share
// lists, folder contents. Payloads are compared with records written out by
// hand and compressed by zlib itself at level 9.

#include "SharesFixture.h"

#include "shares/SharedFoldersManager.h"
#include "shares/UploadQueueHooks.h"
#include "store/SharedFolderInfo.h"

#include <QtTest>

#include <memory>
#include <zlib.h>

namespace {

QByteArray Level9(QByteArray const& i_record)
{
    uLongf l_length = compressBound(uLong(i_record.size()));
    QByteArray l_out(int(l_length), '\0');
    compress2(reinterpret_cast<Bytef*>(l_out.data()), &l_length, reinterpret_cast<Bytef const*>(i_record.data()),
              uLong(i_record.size()), 9);
    l_out.truncate(int(l_length));
    return l_out;
}

QByteArray Message(quint32 i_code, QByteArray const& i_record)
{
    return Wire().U32(i_code).m_bytes + Level9(i_record);
}

// The record inside a compressed message, after its code.
MemStream Inflated(MemStream const& i_message)
{
    MemStream l_in(i_message.ToByteArray(4));
    MemStream l_out;
    if (!ZlibInflate(l_in, INFLATE_CAP_SHARE_LIST, l_out))
        qFatal("message does not inflate");
    return l_out;
}

// The paths of a search answer, in the order sent; none when there is no answer.
QStringList AnsweredPaths(MemStream const& i_message)
{
    if (i_message.Size() == 0)
        return QStringList();
    MemStream l_record = Inflated(i_message);
    QString l_user;
    quint32 l_token = 0, l_count = 0;
    l_record.Read(l_user);
    l_record.Read(l_token);
    l_record.Read(l_count);
    QStringList l_paths;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        FileInfo l_file;
        if (!l_file.Read(l_record))
            qFatal("search answer cut short");
        l_paths << l_file.Name();
    }
    return l_paths;
}

QStringList Names(ItemSet const& i_items)
{
    QStringList l_names;
    for (Item const& l_item : i_items)
        l_names << l_item.AsString();
    l_names.sort();
    return l_names;
}

} // namespace

class ShareAnswersTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void VisibilityAgreesEverywhere_data();
    void VisibilityAgreesEverywhere();
    void AddressBarsHousemates();
    void SearchMatching_data();
    void SearchMatching();
    void SearchesNotAnswered();
    void SearchResultBytes();
    void LargeAnswersAreCut();
    void ShareListAndFolderBytes();
    void FolderInfoReadBounds_data();
    void FolderInfoReadBounds();
    void RemoveUserShare();
    void OwnStatisticsOnly();

private:
    Item Root(QString const& i_path, char const* ip_flag = nullptr);
    Item AddFile(Item const& i_root, QString const& i_folder, QString const& i_name, qint64 i_size = 1);
    Item ListUser(QString const& i_name, QStringList const& i_groups);

    std::unique_ptr<SharedFoldersManager> mp_manager;
};

void ShareAnswersTest::init()
{
    DeclareSharesNeighbourTypes();
    SetSetting("username", QStringLiteral("me"));
    SetUploadQueueHooks(UploadQueueHooks());
    mp_manager.reset(new SharedFoldersManager);
}

void ShareAnswersTest::cleanup()
{
    mp_manager.reset();
    SetUploadQueueHooks(UploadQueueHooks());
    d.Reset();
}

Item ShareAnswersTest::Root(QString const& i_path, char const* ip_flag)
{
    Item const l_root = d.GetType("shared_folder")->GetItem(Value(i_path));
    if (ip_flag)
        l_root += d.GetType(ip_flag)->GetGlobalNullItem();
    return l_root;
}

Item ShareAnswersTest::AddFile(Item const& i_root, QString const& i_folder, QString const& i_name, qint64 i_size)
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

Item ShareAnswersTest::ListUser(QString const& i_name, QStringList const& i_groups)
{
    Item const l_user = d.GetType("user")->GetItem(Value(i_name));
    Item const l_entry = l_user.NewItem("in_user_list");
    for (QString const& l_group : i_groups)
        l_entry += d.GetType("user_list_group")->GetItem(Value(l_group));
    return l_user;
}

void ShareAnswersTest::VisibilityAgreesEverywhere_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("visible");
    QStringList const l_public{"/pub"};
    QTest::newRow("unknown name") << "stranger" << l_public;
    QTest::newRow("known, not listed") << "known" << l_public;
    QTest::newRow("listed, no group") << "listed" << QStringList{"/list", "/pub"};
    QTest::newRow("listed in the group") << "member" << QStringList{"/g", "/list", "/pub"};
    QTest::newRow("listed in another group") << "other" << QStringList{"/list", "/pub"};
    QTest::newRow("unshared member") << "pest" << QStringList();
}

// Search answers, share lists, folder contents and upload admission all
// show a user the same roots.
void ShareAnswersTest::VisibilityAgreesEverywhere()
{
    QFETCH(QString, user);
    QFETCH(QStringList, visible);
    std::map<QString, Item> l_files;
    l_files["/pub"] = AddFile(Root("/pub", "shared_public"), "/pub", "song.mp3");
    l_files["/list"] = AddFile(Root("/list", "shared_userlist"), "/list", "song.mp3");
    Item const l_groupRoot = Root("/g");
    l_groupRoot += d.GetType("user_list_group")->GetItem(Value("G"));
    l_files["/g"] = AddFile(l_groupRoot, "/g", "song.mp3");
    l_files["/priv"] = AddFile(Root("/priv"), "/priv", "song.mp3");
    d.GetType("user")->GetItem(Value("known"));
    ListUser("listed", {});
    ListUser("member", {"G"});
    ListUser("other", {"H"});
    ListUser("pest", {"G"}) += d.GetType("unshared")->GetGlobalNullItem();

    QCOMPARE(Names(mp_manager->GetUserSharedFolders(user)), visible);
    FileInfoMap l_share;
    AttributeTranslationTable l_table;
    mp_manager->GetSharedFilesAsUserShare(user, l_share, l_table);
    QStringList l_listed;
    for (auto const& l_folder : l_share)
        l_listed << QString::fromStdString(l_folder.first).replace('\\', '/');
    QCOMPARE(l_listed, visible);
    QStringList l_found;
    for (QString const& l_path : AnsweredPaths(mp_manager->SearchAnswer(user, 1, "song")))
        l_found << l_path.section('\\', 0, -2).replace('\\', '/');
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

void ShareAnswersTest::AddressBarsHousemates()
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
    Item const l_pest = d.GetType("user")->GetItem(Value("pest"));
    l_pest += d.GetType("unshared")->GetGlobalNullItem();
    l_address("pest", "2130706433");
    l_address("elsewhere", "2130706434");
    l_address("housemate", "2130706433");
    QCOMPARE(l_unshared, QStringList{"housemate"});
    QVERIFY(mp_manager->IsUserAddressUnshared("elsewhere") == false);

    // Already barred: nothing more. An unknown address (0) is no household.
    l_address("housemate", "2130706434");
    l_address("housemate", "2130706433");
    SetAttribute(l_pest, "user_address", Value("0"));
    l_address("nowhere", "0");
    QCOMPARE(l_unshared, QStringList{"housemate"});
}

void ShareAnswersTest::SearchMatching_data()
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
}

void ShareAnswersTest::SearchMatching()
{
    QFETCH(QString, query);
    QFETCH(QStringList, paths);
    Item const l_root = Root("/m", "shared_public");
    for (QString const& l_name : QStringList{"ab cd.mp3", "abc de.flac", "Song.mp3", "Song (Live).mp3"})
        AddFile(l_root, "/m", l_name);
    AddFile(l_root, "/m/Livewire", "Song.ogg");
    QCOMPARE(AnsweredPaths(mp_manager->SearchAnswer("bob", 1, query)), paths);
}

void ShareAnswersTest::SearchesNotAnswered()
{
    AddFile(Root("/m", "shared_public"), "/m", "song.mp3");
    QSignalSpy l_processed(mp_manager.get(), &SharedFoldersManager::SearchProcessed);
    // Without a peer messenger nothing can be sent: processed, unanswered.
    mp_manager->OnDirectFileSearch("bob", 1, "song");
    mp_manager->OnDNetSearchRequest("me", 2, "song");
    QCOMPARE(l_processed.count(), 1);
    QCOMPARE(l_processed.at(0), QVariantList({"song", false}));

    QVERIFY(mp_manager->SearchAnswer("bob", 1, "song").Size() > 0);
    SetVSetting("finish_uploads_and_quit", "yes");
    QCOMPARE(mp_manager->SearchAnswer("bob", 1, "song").Size(), quint64(0));
}

void ShareAnswersTest::SearchResultBytes()
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
    QCOMPARE(mp_manager->SearchAnswer("bob", 0x01020304, "music").ToByteArray(), Message(9, l_record.m_bytes));

    SetSetting("upload_speed", qint64(2048));
    l_hooks.m_isFreeToUpload = [] { return true; };
    SetUploadQueueHooks(l_hooks);
    QByteArray const l_tail = Inflated(mp_manager->SearchAnswer("bob", 1, "music")).ToByteArray().right(13);
    QCOMPARE(l_tail, Wire().U8(1).U32(2048).U32(3).U32(0).m_bytes);
}

// An answer that a client like ours would throw away whole is cut to what it
// takes: the first 100,000 paths, and at most 16 MiB once inflated.
void ShareAnswersTest::LargeAnswersAreCut()
{
    Item const l_root = Root("/big", "shared_public");
    Item const l_folder = d.GetType("shared_file_folder")->GetItem(Value("/big"));
    l_folder += l_root;
    Item const l_token = d.GetType("search_token")->GetItem(Value("big"));
    auto l_fill = [&](int i_count, int i_nameLength) {
        for (int l_index = 0; l_index < i_count; ++l_index) {
            Item const l_file = d.GetType("shared_file")->NewItem();
            l_file += l_folder;
            l_file += l_token;
            QString const l_name = QString::number(1000000 + l_index).leftJustified(i_nameLength, 'x');
            l_file += d.GetType("shared_file_name")->GetItem(Value(l_name));
        }
    };
    l_fill(100001, 7);
    QStringList l_paths = AnsweredPaths(mp_manager->SearchAnswer("bob", 1, "big"));
    QCOMPARE(l_paths.size(), 100000);
    QCOMPARE(l_paths.front(), QString("\\big\\1000000"));
    QCOMPARE(l_paths.back(), QString("\\big\\1099999"));

    l_folder.GetItems("shared_file").Remove();
    l_fill(4300, 4000);
    MemStream const l_answer = mp_manager->SearchAnswer("bob", 1, "big");
    l_paths = AnsweredPaths(l_answer);
    QVERIFY(l_paths.size() > 4000 && l_paths.size() < 4300);
    QVERIFY(Inflated(l_answer).Size() <= INFLATE_CAP_DEFAULT);
}

void ShareAnswersTest::ShareListAndFolderBytes()
{
    Item const l_root = Root("/s", "shared_public");
    Item const l_a = AddFile(l_root, "/s", "a.mp3", 5);
    l_a += d.GetType("bitrate")->GetItem(Value(192));
    l_a += d.GetType("bitrate_mode")->GetItem(Value("vbr"));
    AddFile(l_root, "/s", "B.mp3", 9);
    d.GetType("shared_file_folder")->GetItem(Value("/s/empty")) += l_root;
    AddFile(l_root, "/s/sub", "c.txt", 3);
    AddFile(Root("/p"), "/p", "hidden.txt");

    Wire l_list;
    l_list.U32(3);
    l_list.Str("\\s").U32(2);
    l_list.U8(1).Str("B.mp3").U64(9).Str("mp3").U32(0); // upper case first; not analysed yet
    l_list.U8(1).Str("a.mp3").U64(5).Str("mp3").U32(2).U32(0).U32(192).U32(2).U32(1);
    l_list.Str("\\s\\empty").U32(0);
    l_list.Str("\\s\\sub").U32(1).U8(1).Str("c.txt").U64(3).Str("").U32(0);
    l_list.U32(0);
    QCOMPARE(mp_manager->GetSharedFilesMessage("bob").ToByteArray(), Message(5, l_list.m_bytes));

    Wire l_folder;
    l_folder.U32(77).Str("\\s").U32(1).Str("\\s").U32(2);
    l_folder.U8(1).Str("B.mp3").U64(9).Str("").U32(0);
    l_folder.U8(1).Str("a.mp3").U64(5).Str("").U32(0);
    l_folder.U32(0);
    QCOMPARE(mp_manager->FolderContentsAnswer("bob", 77, "\\s").ToByteArray(), Message(37, l_folder.m_bytes));
    for (QString const& l_refused : QStringList{"\\S", "\\s\\", "\\s\\none", "\\p"})
        QVERIFY2(mp_manager->FolderContentsAnswer("bob", 1, l_refused).Size() == 0, qPrintable(l_refused));

    // Barred: the list is still sent, empty; no folder is.
    d.GetType("user")->GetItem(Value("bob")) += d.GetType("unshared")->GetGlobalNullItem();
    QCOMPARE(mp_manager->GetSharedFilesMessage("bob").ToByteArray(), Message(5, Wire().U32(0).U32(0).m_bytes));
    QCOMPARE(mp_manager->FolderContentsAnswer("bob", 77, "\\s").Size(), quint64(0));
}

void ShareAnswersTest::FolderInfoReadBounds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    QTest::addColumn<int>("files");
    QByteArray const l_file = Wire().U8(1).Str("a").U64(1).Str("").U32(0).m_bytes;
    QTest::newRow("empty") << Wire().U32(0).U32(0).m_bytes << true << 0;
    QTest::newRow("two files, one record") << Wire().U32(2).Raw(l_file).Raw(l_file).m_bytes << true << 1;
    QTest::newRow("at the limit, cut short") << Wire().U32(0x20000).Raw(l_file).m_bytes << false << 0;
    QTest::newRow("over the limit") << Wire().U32(0x20001).Raw(l_file).m_bytes << false << 0;
    QTest::newRow("file cut short") << Wire().U32(1).Raw(l_file.left(10)).m_bytes << false << 0;
}

void ShareAnswersTest::FolderInfoReadBounds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    QFETCH(int, files);
    MemStream l_in(bytes);
    SharedFolderInfo l_info;
    QCOMPARE(l_info.Read(l_in), read);
    if (read)
        QCOMPARE(int(l_info.m_files.size()), files);
}

void ShareAnswersTest::RemoveUserShare()
{
    Item const l_share = d.GetType("user_share")->NewItem();
    l_share += d.GetType("user")->GetItem(Value("bob"));
    Item const l_folder = d.GetType("user_share_folder")->NewItem();
    l_share += l_folder;
    l_folder += d.GetType("user_share_folder_name")->GetItem(Value("Music"));
    Item const l_file = d.GetType("user_share_file")->NewItem();
    l_folder += l_file;
    l_file += d.GetType("user_share_file_name")->GetItem(Value("a.mp3"));
    mp_manager->RemoveUserShare("nobody");
    QVERIFY(d.GetType("user")->HasItem(Value("nobody")).IsNull());
    mp_manager->RemoveUserShare("bob");
    for (char const* lp_type : {"user_share", "user_share_folder", "user_share_file", "user_share_file_name",
                                "user_share_folder_name"})
        QVERIFY2(d.GetType(lp_type)->GetItemCount() == 0, lp_type);
}

void ShareAnswersTest::OwnStatisticsOnly()
{
    UserStats l_stats;
    l_stats.m_averageSpeed = 5000;
    mp_manager->OnReceivedUserStats("bob", l_stats);
    QVERIFY(!IsSettingSet("upload_speed"));
    mp_manager->OnReceivedUserStats("me", l_stats);
    QCOMPARE(GetSetting("upload_speed"), QString("5000"));
    l_stats.m_averageSpeed = 0xFFFFFFFFu;
    mp_manager->OnReceivedUserStats("me", l_stats);
    QCOMPARE(GetSetting("upload_speed"), QString("-1"));
}

QTEST_MAIN(ShareAnswersTest)
#include "ShareAnswersTest.moc"
