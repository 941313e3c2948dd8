// The shared-folders manager beside the real server link and peer messenger,
// made in the order the main window makes them.

#include "SharesFixture.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <QtTest>

#include <memory>

class SharesWiringTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void TypesBesideTheirNeighbours();
    void IndexSavedBesideServerData();
    void RequestsReachTheManager();

private:
    void MakeManagers();
    void DropManagers();

    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<SharedFoldersManager> mp_manager;
};

void SharesWiringTest::MakeManagers()
{
    d.Reset();
    mp_saver.reset(new DataSaver);
    mp_server.reset(new Server);
    DeclareSettingsTypes();
    mp_saver->AddSavedType("global");
    mp_saver->AddSavedByConnectionType("global_value", "global");
    mp_server->CreateData();
    mp_messenger.reset(new PeerMessenger);
    mp_manager.reset(new SharedFoldersManager);
}

void SharesWiringTest::DropManagers()
{
    mp_manager.reset();
    mp_messenger.reset();
    mp_server.reset();
    mp_saver.reset();
    d.Reset();
}

void SharesWiringTest::init()
{
    mp_dir.reset(new QTemporaryDir);
    QVERIFY(mp_dir->isValid());
    MakeManagers();
}

void SharesWiringTest::cleanup()
{
    DropManagers();
}

void SharesWiringTest::TypesBesideTheirNeighbours()
{
    QCOMPARE(sharedFoldersManager, mp_manager.get());
    Type* const lp_user = d.GetType("user");
    QVERIFY(lp_user->IsRelatedTo(d.GetType("unshared")));
    QVERIFY(lp_user->IsRelatedTo(d.GetType("user_share")));
    QVERIFY(d.GetType("shared_folder")->IsRelatedTo(d.GetType("user_list_group")));
    for (char const* lp_attribute : {"mpeg_version", "channel_mode", "audio_frequency", "bitrate", "bitrate_mode"})
        QVERIFY2(d.GetType("shared_file")->IsRelatedTo(d.GetType(lp_attribute)), lp_attribute);
    QVERIFY(d.GetType("user_share_file")->IsRelatedTo(d.GetType("file_size")));
    QVERIFY(d.GetType("user_share_file")->IsRelatedTo(d.GetType("length_seconds")));
}

void SharesWiringTest::IndexSavedBesideServerData()
{
    // A user withheld from shares and a user of the user list are both kept;
    // the index comes back with its MP3 results.
    WriteTestFile(*mp_dir, "Share/Tune.mp3", "x");
    QString const l_folder = mp_dir->filePath("Share");
    Item const l_root = mp_manager->AddSharedFolder(l_folder);
    l_root += d.GetType("user_list_group")->GetItem(Value("friends"));
    mp_manager->OnMP3Scanned(l_folder + "/Tune.mp3", 1, "stereo", 0, false, 128);
    d.GetType("user")->GetItem(Value("pest")) += d.GetType("unshared")->GetGlobalNullItem();
    Item const l_entry = d.GetType("in_user_list")->NewItem();
    d.GetType("user")->GetItem(Value("pal")) += l_entry;
    l_entry += d.GetType("user_list_group")->GetItem(Value("friends"));
    QString const l_base = mp_dir->filePath(".Quillmar");
    QVERIFY(mp_saver->Save(l_base));

    DropManagers();
    MakeManagers();
    mp_saver->Load(l_base);
    QVERIFY(d.GetType("user")->HasItem(Value("pest")).IsConnected("unshared"));
    QVERIFY(d.GetType("user")->HasItem(Value("pal")).IsConnected("in_user_list"));
    QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
    Item const l_tune = mp_manager->GetSharedFileItem(l_folder + "/TUNE.mp3");
    QVERIFY(!l_tune.IsNull());
    QCOMPARE(l_tune["bitrate"].AsInt(), 128);
    QVERIFY(l_tune.IsConnected("is_scanned"));
}

void SharesWiringTest::RequestsReachTheManager()
{
    // The server link's and the peer messenger's requests are connected
    // (a disconnect succeeds only for an existing connection), and a request
    // that is not answered yet passes harmlessly.
    SharedFoldersManager* const lp_manager = mp_manager.get();
    emit mp_server->DirectFileSearch("bob", 7, "some words");
    emit mp_messenger->SharedFilesInFolderRequested("bob", 8, "Music\\Rock");
    emit mp_server->ReceivedUserStats("bob", UserStats());
    emit mp_server->Connected();
    QVERIFY(QObject::disconnect(mp_server.get(), &Server::Connected, lp_manager,
                                &SharedFoldersManager::OnConnectedToServer));
    QVERIFY(QObject::disconnect(mp_server.get(), &Server::ReceivedUserStats, lp_manager,
                                &SharedFoldersManager::OnReceivedUserStats));
    QVERIFY(QObject::disconnect(mp_server.get(), &Server::DirectFileSearch, lp_manager,
                                &SharedFoldersManager::OnDirectFileSearch));
    QVERIFY(QObject::disconnect(mp_messenger.get(), &PeerMessenger::SharedFilesInFolderRequested, lp_manager,
                                &SharedFoldersManager::OnFilesInFoldersRequested));
}

QTEST_MAIN(SharesWiringTest)
#include "SharesWiringTest.moc"
