#include "tests/app/ShellTestSupport.h"
#include "tests/HoldingListener.h"
#include "peers/ConnectionCount.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/Globals.h"
#include "peers/PeerMessenger.h"
#include "peers/PortForwarder.h"
#include "server/dialogs/ChangeUsernamePasswordDialog.h"
#include "server/WishListSearcher.h"
#include "store/DelayedInvoker.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui_AddSharedFolderDialog.h"
#include "ui_ChangeUsernamePasswordDialog.h"
#include "ui_MainWindow.h"

#include <QLabel>
#include <QStatusBar>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// Start-up scenarios, one process and one home each (CTest runs each
// function on its own): a window and its managers are program-wide.
class StartupTest : public QObject
{
    Q_OBJECT

private:
    MainWindow* mp_window = nullptr;
    StandinProcess m_server;
    QString m_music;

    static int DataFileCount() { return int(DataSaver::ListDataFiles(MainWindow::DataFileStem()).size()); }
    static int OpenDescriptors()
    {
        return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    }

    void Start()
    {
        mp_window = StartWindow(m_server.Port());
    }

    // The user gives no name and shares nothing.
    static void AnswerFirstRunEmpty(ModalAnswerer& io_answers)
    {
        io_answers
            .Then([](QWidget* ip_dialog) {
                QDialog* lp_dialog = qobject_cast<ChangeUsernamePasswordDialog*>(ip_dialog);
                if (lp_dialog)
                    lp_dialog->reject();
                return lp_dialog != nullptr;
            })
            .Press(QMessageBox::No)
            .Press(QMessageBox::Ok);
    }

    // The window goes; every manager with it, in the fixed order, after a
    // final save.
    void ShutDown()
    {
        QStringList l_order;
        for (auto const& l_object : std::initializer_list<std::pair<QObject*, char const*>>{
                 {transferQueueManager, "transfers"}, {sharedFoldersManager, "shares"}, {delayedInvoker, "invoker"},
                 {peerMessenger, "peers"}, {portForwarder, "port forwarder"}, {gp_server, "server"},
                 {TimerManager::Obj(), "timers"}, {sizeManager, "sizes"}, {wishListSearcher, "wish list"},
                 {eventToolBar, "event bar"}})
            connect(l_object.first, &QObject::destroyed, [&l_order, l_object]() { l_order << l_object.second; });
        int const l_files = DataFileCount();
        delete mp_window;
        QCOMPARE(l_order, QStringList({"transfers", "shares", "invoker", "peers", "port forwarder", "server", "timers",
                                       "sizes", "wish list", "event bar"}));
        QVERIFY(g_showIsOver && !mainWindow && !dataSaver && !actionBar);
        QCOMPARE(DataFileCount(), qMin(l_files + 1, DataSaver::KEPT_FILES));
    }

    void WaitForLogin(QString const& i_user)
    {
        QTRY_VERIFY(gp_server->IsConnected());
        QCOMPARE(mp_window->windowTitle(), MainWindow::BuildTitle(g_currentVersion, i_user));
        QCOMPARE(mp_window->Form()->usernameEdit->text(), i_user);
    }

    QStringList SharedFolderRows() const
    {
        QStringList l_rows;
        QTreeWidget* lp_list = mp_window->Form()->sharedFoldersList;
        for (int l_row = 0; l_row < lp_list->topLevelItemCount(); ++l_row)
            l_rows << lp_list->topLevelItem(l_row)->text(0) + " | " + lp_list->topLevelItem(l_row)->text(1);
        return l_rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start());
        m_music = QDir::home().filePath("music");
        QVERIFY(QDir().mkpath(m_music));
        QFile l_song(m_music + "/song.mp3");
        QVERIFY(l_song.open(QIODevice::WriteOnly) && l_song.write("la la") == 5);
    }

    // No data file: the user-name dialog, the offer to share a folder (the
    // add-folder dialog on Yes), the note; then the login with the name.
    // The status bar says the client is offline from the start, and while
    // the dialogs wait, why.
    void FirstRun()
    {
        QString l_stateInDialog;
        ModalAnswerer l_answers;
        l_answers
            .Then([&l_stateInDialog](QWidget* ip_dialog) {
                ChangeUsernamePasswordDialog* lp_dialog = qobject_cast<ChangeUsernamePasswordDialog*>(ip_dialog);
                if (lp_dialog) {
                    l_stateInDialog = mainWindow->findChild<QLabel*>("connectionStateLabel")->text();
                    lp_dialog->Form()->usernameEdit->setText("newbie");
                    lp_dialog->accept();
                }
                return lp_dialog != nullptr;
            })
            .Press(QMessageBox::Yes)
            .Then([this](QWidget* ip_dialog) {
                AddSharedFolderDialog* lp_dialog = qobject_cast<AddSharedFolderDialog*>(ip_dialog);
                if (lp_dialog) {
                    lp_dialog->Form()->selectedFolderEdit->setText(m_music);
                    lp_dialog->accept();
                }
                return lp_dialog != nullptr;
            })
            .Press(QMessageBox::Ok);
        Start();
        QCOMPARE(l_answers.m_titles, QStringList({"Choose Your Username and Password", "Share a folder?",
                                                  "Add Shared Folder", "In the future"}));
        QCOMPARE(l_stateInDialog, QString("Offline: no user name (Options, Login)"));
        WaitForLogin("newbie");
        QCOMPARE(GetSetting("data_version"), QString("1"));
        QCOMPARE(mp_window->Form()->tabControl->currentIndex(), 1);
        QCOMPARE(SharedFolderRows(), QStringList({m_music + " | Everyone"}));
        QTRY_VERIFY(sharedFoldersManager->GetSharedFileItem(m_music + "/song.mp3").IsValid());
        ShutDown();
    }

    // A stored user name: no dialog, the login starts at once. Loaded values
    // replace the defaults (the options' restart test has the controls), but
    // "data_version" is written anew; a colour reset goes to the default.
    void NormalStart()
    {
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("regular"));
            SetSetting("data_version", QStringLiteral("7"));
            d["color_setting"]->GetItem(Value("transfer_queued")) += d["color_setting_value"]->GetItem(Value("#123456"));
        });
        ModalAnswerer l_answers;
        Start();
        WaitForLogin("regular");
        QVERIFY(l_answers.m_titles.isEmpty());
        QCOMPARE(GetSetting("data_version"), QString("1"));
        QCOMPARE(ColorSetting("transfer_queued"), QColor("#123456"));
        mp_window->ResetColorSettings();
        QCOMPARE(ColorSetting("transfer_queued"), QColor("#3366ff"));
        ShutDown();
    }

    // The server given on the command line replaces the one the data file
    // keeps, and is kept in its place.
    void ServerArgument()
    {
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("pointed"));
            SetSetting("server_address", QStringLiteral("127.0.0.1:1"));
        });
        QString const l_given = QString("127.0.0.1:%1").arg(m_server.Port());
        mp_window = StartWindow(m_server.Port(), l_given);
        WaitForLogin("pointed");
        QCOMPARE(GetSetting("server_address"), l_given);
        ShutDown();
        DeclareSettingsTypes();
        DataSaver l_saver;
        l_saver.AddSavedType("global");
        l_saver.AddSavedByConnectionType("global_value", "global");
        l_saver.Load(MainWindow::DataFileStem());
        QCOMPARE(GetSetting("server_address"), l_given);
    }

    // Every data file damaged: the box, then a start as on a first run with
    // the defaults in place; the file is set aside, never rotated away.
    void CorruptDataFile()
    {
        QFile l_bad(MainWindow::DataFileStem() + ".1000");
        QVERIFY(l_bad.open(QIODevice::WriteOnly) && l_bad.write(QByteArray(4096, '\x7f')) == 4096);
        l_bad.close();
        ModalAnswerer l_answers;
        // The box comes before the window knows anything of the server.
        QString l_stateInBox;
        AnswerFirstRunEmpty(l_answers.Then([&l_stateInBox](QWidget* ip_box) {
            QMessageBox* lp_box = qobject_cast<QMessageBox*>(ip_box);
            if (!lp_box || !lp_box->button(QMessageBox::Ok))
                return false;
            l_stateInBox = mainWindow->findChild<QLabel*>("connectionStateLabel")->text();
            lp_box->button(QMessageBox::Ok)->click();
            return true;
        }));
        Start();
        QCOMPARE(l_answers.m_titles, QStringList({"Error loading configuration data", "Choose Your Username and Password",
                                                  "Share a folder?", "In the future"}));
        QCOMPARE(l_stateInBox, QString("Offline"));
        QCOMPARE(GetSetting("data_version"), QString("1"));
        QCOMPARE(GetSetting("first_open_tab"), QString("rooms"));
        // No attempt to connect, not even one put off to the event loop.
        QVERIFY(LoopComesRound());
        QCOMPARE(gp_server->GetState(), Server::STATE_DISCONNECTED);
        for (int l_save = 0; l_save <= DataSaver::KEPT_FILES; ++l_save)
            QVERIFY(mp_window->SaveData());
        QCOMPARE(QDir::home().entryList({".Quillmar.1000.unreadable"}, QDir::Files | QDir::Hidden).size(), 1);
        ShutDown();
    }

    // A load that fails otherwise (a store observer out of memory) is
    // reported and set aside the same way, and the components still start.
    void LoadFailureOfAnyKind()
    {
        SeedDataFile([]() { SetSetting("username", QStringLiteral("boom")); });
        struct Thrower : DataHandler
        {
            void OnNewValue(Item i_value)
            {
                if (i_value.AsString() == "boom")
                    throw std::bad_alloc();
            }
        } l_thrower;
        DeclareSettingsTypes();
        d["global_value"]->AddNewItemEventHandler(new EventHandler<Thrower, Item>(&l_thrower, &Thrower::OnNewValue));
        ModalAnswerer l_answers;
        AnswerFirstRunEmpty(l_answers.Press(QMessageBox::Ok));
        Start();
        QCOMPARE(l_answers.m_titles.value(0), QString("Error loading configuration data"));
        QVERIFY(l_answers.Done());
        QCOMPARE(QDir::home().entryList({".Quillmar.*.unreadable"}, QDir::Files | QDir::Hidden).size(), 1);
        QVERIFY(peerMessenger->ListeningPort() != 0);
        ShutDown();
    }

    // A server that asks for connect-back after connect-back to a listener
    // that takes each connection and holds it: the connections stay within
    // their bound, the process keeps descriptors to spare, and the hourly
    // save and the exit save both write their files. (The descriptor limit
    // is lowered to 512 for this run, the bound with it to 128.)
    void DescriptorFlood()
    {
        rlimit l_limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &l_limit), 0);
        l_limit.rlim_cur = 512;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &l_limit), 0);
        SeedDataFile([]() { SetSetting("username", QStringLiteral("flooded")); });
        Start();
        WaitForLogin("flooded");
        // Connections are taken by the system and never given to anyone.
        HoldingListener const l_holder(4096);
        QVERIFY(l_holder.Port() != 0);
        quint32 const l_loopback = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
        int const l_line = 512 - int(ConnectionCount::RESERVE) / 2;
        int l_most = 0;
        // 1,500 requests over a few hundred turns of the event loop, as
        // they come from the server (the flood stops where it would have
        // used up the descriptors, before the toolkit runs out of them).
        for (quint32 l_request = 0; l_request < 1500 && l_most < l_line; ++l_request) {
            peerMessenger->OnConnectBackRequested(QString("flood%1").arg(l_request), "P", l_loopback,
                                                  l_holder.Port(), 1000 + l_request);
            if (l_request % 10 == 9) {
                QTest::qWait(5);
                l_most = qMax(l_most, OpenDescriptors());
            }
        }
        // The attempts the flood set going are made, those put off to the
        // event loop too, before the descriptors are counted again.
        QTRY_COMPARE(ConnectionCount::Open(), ConnectionCount::BoundFor(512));
        QVERIFY(LoopComesRound());
        l_most = qMax(l_most, OpenDescriptors());
        QVERIFY2(l_most < l_line, qPrintable(QString::number(l_most)));
        QCOMPARE(ConnectionCount::Open(), ConnectionCount::BoundFor(512));
        QCOMPARE(peerMessenger->SocketCount(), ConnectionCount::BoundFor(512));

        int const l_files = DataFileCount();
        mp_window->EveryHour();
        QVERIFY(dataSaver->IsSavingInBackground());
        QTRY_VERIFY_WITH_TIMEOUT(!dataSaver->IsSavingInBackground(), 30000);
        QCOMPARE(mp_window->statusBar()->currentMessage(), QString());
        QCOMPARE(DataFileCount(), l_files + 1);
        ShutDown();
    }

    // Saved folders come back as rows with who may see them, groups in
    // case-sensitive order; losing the last group empties the column.
    void SeededSharedFolder()
    {
        QString const l_other = QDir::home().filePath("other");
        QVERIFY(QDir().mkpath(l_other));
        SeedDataFile([&]() {
            SetSetting("username", QStringLiteral("sharer"));
            Item l_music = d["shared_folder"]->GetItem(Value(m_music));
            for (char const* lp_group : {"b", "A", "a"})
                l_music += d["user_list_group"]->GetItem(Value(lp_group));
            Item l_public = d["shared_folder"]->GetItem(Value(l_other));
            l_public += d["user_list_group"]->GetItem(Value("b"));
            l_public += d["shared_public"]->GetGlobalNullItem();
        });
        Start();
        QCOMPARE(SharedFolderRows(), QStringList({m_music + " | A, a, b", l_other + " | Everyone"}));
        QTRY_VERIFY(sharedFoldersManager->GetSharedFileItem(m_music + "/song.mp3").IsValid());
        d["shared_folder"]->HasItem(Value(m_music)).Disconnect("user_list_group");
        QCOMPARE(SharedFolderRows().first(), m_music + " | ");
        ShutDown();
    }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
