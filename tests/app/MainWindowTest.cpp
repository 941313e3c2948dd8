#include "app/ActionSetToolBar.h"
#include "app/Globals.h"
#include "app/MainWindow.h"
#include "peers/PeerMessenger.h"
#include "peers/PortForwarder.h"
#include "server/Server.h"
#include "server/WishListSearcher.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/windows/DiagnosticsForm.h"
#include "store/Settings.h"

#include "ui_MainWindow.h"
#include "tests/shares/SharesFixture.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// One main window for the whole run, as in the program: its managers are
// program-wide.
class MainWindowTest : public QObject
{
    Q_OBJECT

private:
    MainWindow* mp_window = nullptr;

    QStringList ShownTexts() const
    {
        QStringList l_texts;
        for (QAction* lp_action : actionBar->actions())
            if (!lp_action->text().isEmpty())
                l_texts << lp_action->text();
        return l_texts;
    }

    static int DataFileCount()
    {
        return QDir::home().entryList(QStringList(".Quillmar.*"), QDir::Files | QDir::Hidden).size();
    }

private slots:
    // A previous run left a shared folder in the data file.
    void initTestCase()
    {
        QVERIFY(QDir::home().mkpath("music"));
        QFile l_song(QDir::home().filePath("music/song.txt"));
        QVERIFY(l_song.open(QIODevice::WriteOnly));
        l_song.write("la");
        l_song.close();

        DeclareSharesNeighbourTypes();
        {
            DataSaver l_saver;
            SharedFoldersManager l_manager;
            d["shared_folder"]->GetItem(Value(QDir::home().filePath("music")));
            QVERIFY(l_saver.Save(MainWindow::DataFileStem()));
        }
        d.Reset();
        QCOMPARE(DataFileCount(), 1);
    }

    void BuildDateGivesVersionAndTitle()
    {
        QCOMPARE(VersionFromBuildDate("May 18 2013"), qint64(20130518));
        QCOMPARE(VersionFromBuildDate("Jan  8 2027"), qint64(20270108));
        QCOMPARE(VersionFromBuildDate("Foo 18 2013"), qint64(0));
        QCOMPARE(VersionFromBuildDate(""), qint64(0));
        QCOMPARE(MainWindow::BuildTitle(20130518), QString("QuillmarQt build 2013.5.18"));
        QCOMPARE(MainWindow::BuildTitle(20261206), QString("QuillmarQt build 2026.12.6"));
    }

    void WindowStarts()
    {
        mp_window = new MainWindow;
        QCOMPARE(mainWindow, mp_window);
        // The listeners open with the load; here on ports the system chooses.
        DeclareSettingsTypes();
        SetSetting("listening_port", qint64(0));
        mp_window->setVisible(true);
        mp_window->Init();
        QVERIFY(QTest::qWaitForWindowExposed(mp_window));

        QCOMPARE(g_currentVersion, VersionFromBuildDate(__DATE__));
        QVERIFY(g_currentVersion > 20260000);
        QCOMPARE(mp_window->windowTitle(), MainWindow::BuildTitle(g_currentVersion));
        QVERIFY(g_dataLoaded);
        QCOMPARE(GetSetting("data_version"), QString("1"));

        QTreeWidget* lp_folders = mp_window->Form()->sharedFoldersList;
        QCOMPARE(lp_folders->headerItem()->text(0), QString("Shared folder"));
        QCOMPARE(lp_folders->headerItem()->text(1), QString("Accessible to"));
        QCOMPARE(lp_folders->columnWidth(0), 400);
        QCOMPARE(mp_window->Form()->tabControl->currentIndex(), 1);
        QCOMPARE(mp_window->contextMenuPolicy(), Qt::NoContextMenu);
    }

    // The engines' managers exist once Init is done; those that wait for the
    // saved data have started.
    void InitCreatesTheManagers()
    {
        QVERIFY(gp_server);
        // The server link maps the listening ports through it at login.
        QVERIFY(portForwarder);
        QVERIFY(peerMessenger);
        QVERIFY(peerMessenger->ListeningPort() != 0);
        QCOMPARE(GetSetting("listening_port"), QString::number(peerMessenger->ListeningPort()));
        QVERIFY(sharedFoldersManager);
        QCOMPARE(sharedFoldersManager->parent(), static_cast<QObject*>(mp_window));
        QVERIFY(wishListSearcher);
        QCOMPARE(wishListSearcher->parent(), static_cast<QObject*>(mp_window));
        // The types of every manager were there for the load to find.
        for (char const* lp_type : {"user", "shared_folder", "search_results"})
            QVERIFY2(d.HasType(lp_type), lp_type);
        // The folder of the last run is scanned once the data is loaded.
        QTRY_VERIFY(sharedFoldersManager->GetSharedFileItem(QDir::home().filePath("music/song.txt")).IsValid());
    }

    void OptionPagesShowTheirToolBarSets()
    {
        Ui_MainWindow* lp_ui = mp_window->Form();
        mp_window->activateWindow();
        QTRY_VERIFY(mp_window->isActiveWindow());
        lp_ui->tabControl->setCurrentWidget(lp_ui->optionsTab);
        lp_ui->optionsTabControl->setCurrentWidget(lp_ui->loginOptionsTab);
        // The user name field is the login page's focus widget.
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(lp_ui->usernameEdit));
        QCOMPARE(actionBar->CurrentSetName(), QString("login_options"));
        QCOMPARE(ShownTexts(), QStringList({"Connect", "Change Username/Password", "Change Listening Port"}));
        QCOMPARE(actionBar->SupporterButton()->text(), QString("Support Quillmar!"));
        for (QAction* lp_action : actionBar->actions())
            if (lp_action->text() == "Connect")
                QVERIFY(!lp_action->icon().availableSizes().isEmpty());

        lp_ui->optionsTabControl->setCurrentWidget(lp_ui->fileSharingOptionsTab);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(lp_ui->sharedFoldersList));
        QCOMPARE(actionBar->CurrentSetName(), QString("shared_folders"));
        QCOMPARE(ShownTexts(), QStringList({"Set Download Folder", "Share Folder", "Rescan Shares"}));
    }

    void DiagnosticsWindowHasItsSet()
    {
        QVERIFY(diagnosticsForm);
        Item l_widget = d["toolbar_action_widget"]->HasItem(Value(static_cast<QWidget*>(diagnosticsForm)));
        QCOMPARE(l_widget["toolbar_action_set"].AsString(), QString("diagnostics"));
        ItemSet l_actions = l_widget["toolbar_action_set"].GetItems("toolbar_action");
        QCOMPARE(l_actions.size(), std::size_t(1));
        QCOMPARE(Item(l_actions)["toolbar_action_id"].AsString(), QString("dump_data"));
    }

    void SavesOnRequestAndAtTheEnd()
    {
        int const l_before = DataFileCount();
        QVERIFY(mp_window->SaveData());
        QCOMPARE(DataFileCount(), l_before + 1);

        delete mp_window;
        mp_window = nullptr;
        QVERIFY(g_showIsOver);
        QVERIFY(!mainWindow);
        QVERIFY(DataFileCount() >= l_before + 1);
        QVERIFY(!dataSaver);
        QVERIFY(!gp_server);
        QVERIFY(!portForwarder);
        QVERIFY(!peerMessenger);
        QVERIFY(!sharedFoldersManager);
        QVERIFY(!wishListSearcher);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
