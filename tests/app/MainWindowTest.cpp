#include "tests/app/ShellTestSupport.h"

#include "app/ActionSetToolBar.h"
#include "app/Globals.h"
#include "app/NewVersionDialog.h"
#include "app/UpdateChecker.h"
#include "server/AwayManager.h"
#include "server/ChangeUsernamePasswordDialog.h"
#include "store/DiagnosticsForm.h"
#include "store/MemStream.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui/transfers/ExcludedExtensionsDialog.h"
#include "ui/transfers/SharedFilesRescannedDialog.h"

#include "ui_MainWindow.h"
#include "ui_NewVersionDialog.h"
#include "ui_SharedFilesRescannedDialog.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTextEdit>
#include <QtTest>

namespace {

// A modal file chooser answered with a path.
ModalAnswerer::Answer ChooseFile(QString const& i_path)
{
    return [i_path](QWidget* ip_dialog) {
        QFileDialog* lp_dialog = qobject_cast<QFileDialog*>(ip_dialog);
        if (!lp_dialog)
            return false;
        // Typed, as a user would: selectFile() leaves the name field alone
        // while that field has the focus.
        QLineEdit* lp_name = lp_dialog->findChild<QLineEdit*>("fileNameEdit");
        if (!lp_name)
            return false;
        lp_name->setText(i_path);
        static_cast<QDialog*>(lp_dialog)->accept(); // the file dialog's own, through its public base
        return true;
    };
}

template <class T>
T* OpenWindow()
{
    for (QWidget* lp_widget : QApplication::topLevelWidgets())
        if (T* lp_window = qobject_cast<T*>(lp_widget); lp_window && lp_window->isVisible())
            return lp_window;
    return nullptr;
}

bool ShowsIcon(char const* ip_resource)
{
    return QApplication::windowIcon().pixmap(32).toImage() == QIcon(ip_resource).pixmap(32).toImage();
}

// An HTTP server of one answer that counts the requests it gets.
class VersionFileStub : public QObject
{
public:
    explicit VersionFileStub(QByteArray i_body) : m_body(std::move(i_body))
    {
        m_listener.listen(QHostAddress::LocalHost, 0);
        connect(&m_listener, &QTcpServer::newConnection, this, [this]() {
            QTcpSocket* lp_socket = m_listener.nextPendingConnection();
            connect(lp_socket, &QTcpSocket::readyRead, lp_socket, [this, lp_socket]() {
                if (!lp_socket->readAll().contains("GET /qtversion.txt"))
                    return;
                ++m_requests;
                lp_socket->write("HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(m_body.size()) +
                                 "\r\n\r\n" + m_body);
                lp_socket->disconnectFromHost();
            });
        });
    }
    QUrl Url() const { return QUrl(QString("http://127.0.0.1:%1/qtversion.txt").arg(m_listener.serverPort())); }

    QTcpServer m_listener;
    QByteArray m_body;
    int m_requests = 0;
};

// ---------------------------------------------------------------- restart

// The check boxes, each clicked once in the first run.
char const* const s_switches[][2] = {
    {"uPnPCheckBox", "use_upnp"},
    {"NATPMPCheckBox", "use_natpmp"},
    {"maxUploadsPerUserCheckBox", "max_queued_uploads_per_user_enabled"},
    {"maxMBPerUserCheckBox", "max_queued_mb_per_user_enabled"},
    {"acceptUserListUploadsCheckBox", "accept_userlist_uploads"},
    {"emptyShareWarningCheckBox", "check_for_empty_shares"},
    {"dontDownloadSingleFilesIntoSubfolders", "dont_create_subfolders_for_single_downloads"},
    {"dontSplitDownloadsCheckBox", "dont_split_downloads"},
    {"minimizeToTrayCheckBox", "minimize_to_tray"},
    {"useOldStyleSearchResultsCheckBox", "use_old_style_search_results"},
    {"autoExpandSharesCheckBox", "expand_new_shares"},
    {"showAwayStatusCheckBox", "show_away_status_in_application_icon"},
    {"openGroupsOnUserAddCheckBox", "open_groups_on_user_add"},
    {"showDiagnosticsCheckBox", "show_diagnostics"},
    {"showEventButtonsCheckBox", "show_event_buttons"},
    {"downloadFoldersOnDoubleClickCheckBox", "download_folders_on_double_click"},
    {"autoAwayOnIdleCheckBox", "auto_away_on_idle"},
    {"logRoomChatCheckBox", "log_room_chat"},
    {"logPrivateChatCheckBox", "log_private_chat"},
    {"userLevelLoggingCheckBox", "user_level_logging"},
};

// The other controls: what the first run does to each, and the setting and
// text it must show at the next start.
struct Control
{
    char const* mp_key;
    char const* mp_stored;
    std::function<void(MainWindow*, ModalAnswerer&)> m_change;
    std::function<QString(Ui_MainWindow*)> m_shown;
};

QString Picture()
{
    return QDir::home().filePath("me.png");
}

QString Sound()
{
    return QDir::home().filePath("ding.wav");
}

std::vector<Control> const& Controls()
{
    static std::vector<Control> const s_controls = {
        // Typed: "25" is stored as 25, not first as 2 raised to 10.
        {"max_queued_uploads_per_user", "25",
         [](MainWindow* ip_window, ModalAnswerer&) {
             QSpinBox* lp_box = ip_window->Form()->maxUploadsPerUserSpinBox;
             lp_box->setFocus();
             lp_box->selectAll();
             QTest::keyClicks(lp_box, "25");
             QTest::keyClick(lp_box, Qt::Key_Enter);
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->maxUploadsPerUserSpinBox->text(); }},
        {"max_queued_mb_per_user", "50",
         [](MainWindow* ip_window, ModalAnswerer&) { ip_window->Form()->maxMBPerUserSpinBox->setValue(49); },
         [](Ui_MainWindow* ip_ui) { return ip_ui->maxMBPerUserSpinBox->text(); }},
        {"chat_timestamps", "no_timestamps",
         [](MainWindow* ip_window, ModalAnswerer&) { ip_window->Form()->chatTimestampsBox->setCurrentIndex(3); },
         [](Ui_MainWindow* ip_ui) { return QString::number(ip_ui->chatTimestampsBox->currentIndex()); }},
        {"first_open_tab", "search",
         [](MainWindow* ip_window, ModalAnswerer&) { ip_window->Form()->firstOpenTabBox->setCurrentIndex(2); },
         [](Ui_MainWindow* ip_ui) { return QString::number(ip_ui->firstOpenTabBox->currentIndex()); }},
        {"extended_ascii_codepage", "ISO-8859-5",
         [](MainWindow* ip_window, ModalAnswerer&) {
             QComboBox* lp_box = ip_window->Form()->codePageBox;
             lp_box->setCurrentIndex(lp_box->findText("ISO-8859-5"));
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->codePageBox->currentText(); }},
        {"empty_share_message", "Share something first",
         [](MainWindow* ip_window, ModalAnswerer&) {
             Ui_MainWindow* lp_ui = ip_window->Form();
             lp_ui->emptyShareWarningEdit->selectAll();
             QTest::keyClicks(lp_ui->emptyShareWarningEdit, "Share something first");
             lp_ui->saveEmptyShareWarningMessageButton->click();
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->emptyShareWarningEdit->text(); }},
        {"user_description", "line one\nline two",
         [](MainWindow* ip_window, ModalAnswerer&) {
             ip_window->Form()->userDescriptionEdit->setPlainText("line one\nline two");
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->userDescriptionEdit->toPlainText(); }},
        {"user_picture_file", "",
         [](MainWindow* ip_window, ModalAnswerer& io_answers) {
             io_answers.Then(ChooseFile(Picture()));
             ip_window->Form()->selectPictureButton->click();
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->userPictureFilenameEdit->text(); }},
        {"", "",
         [](MainWindow* ip_window, ModalAnswerer& io_answers) {
             io_answers.Then(ChooseFile(Sound()));
             ip_window->Form()->roomChatSoundSelectFileButton->click();
         },
         [](Ui_MainWindow* ip_ui) { return ip_ui->roomChatSoundEdit->text(); }},
    };
    return s_controls;
}

// One run of the restart test, in a home of its own: "change" uses every
// control and notes what each must show; "check" starts again and compares.
// The exit code tells the parent; the reasons go to stderr.
int RunRestartPhase(QString const& i_phase)
{
    StandinProcess l_server;
    if (!l_server.Start())
        return 10;
    if (i_phase == "change")
        SeedDataFile([]() { SetSetting("username", QStringLiteral("restarter")); });
    DeclareSettingsTypes();
    SetSetting("listening_port", qint64(0));
    SetSetting("server_address", QStringLiteral("127.0.0.1:%1").arg(l_server.Port()));
    ModalAnswerer l_answers;
    MainWindow* lp_window = new MainWindow;
    lp_window->setVisible(true);
    lp_window->Init();
    Ui_MainWindow* lp_ui = lp_window->Form();
    QFile l_expected(QDir::home().filePath("expected.txt"));
    int l_failures = 0;
    auto l_check = [&l_failures](bool i_ok, QString const& i_what) {
        if (!i_ok) {
            qWarning("not kept: %s", qPrintable(i_what));
            ++l_failures;
        }
    };
    if (i_phase == "change") {
        QStringList l_states;
        for (auto const& l_switch : s_switches) {
            QCheckBox* lp_box = lp_window->findChild<QCheckBox*>(l_switch[0]);
            lp_box->click();
            l_states << (lp_box->isChecked() ? "yes" : "no");
            l_check(GetSetting(l_switch[1]) == l_states.last(), l_switch[1]);
        }
        for (Control const& l_control : Controls())
            l_control.m_change(lp_window, l_answers);
        l_check(l_answers.Done(), "the file choosers were not all answered");
        QStringList l_shown;
        for (Control const& l_control : Controls())
            l_shown << l_control.m_shown(lp_ui).replace('\n', "\\n");
        // Narrower than the form's 1000 pixels, within the screen and the
        // window's minimum.
        lp_window->resize(720, 610);
        QTest::qWait(100); // the resize reaches the size manager through the event loop
        l_shown << QString("%1x%2").arg(lp_window->width()).arg(lp_window->height());
        l_expected.open(QIODevice::WriteOnly);
        l_expected.write((l_states.join(' ') + '\n' + l_shown.join('\n')).toUtf8());
    } else {
        l_expected.open(QIODevice::ReadOnly);
        QStringList const l_lines = QString::fromUtf8(l_expected.readAll()).split('\n');
        QStringList const l_states = l_lines.value(0).split(' ');
        for (std::size_t l_index = 0; l_index < std::size(s_switches); ++l_index) {
            QString const l_state = l_states.value(int(l_index));
            l_check(GetSetting(s_switches[l_index][1]) == l_state, s_switches[l_index][1]);
            l_check(lp_window->findChild<QCheckBox*>(s_switches[l_index][0])->isChecked() == (l_state == "yes"),
                    s_switches[l_index][0]);
        }
        for (std::size_t l_index = 0; l_index < Controls().size(); ++l_index) {
            Control const& l_control = Controls()[l_index];
            QString const l_shown = l_control.m_shown(lp_ui).replace('\n', "\\n");
            l_check(l_shown == l_lines.value(int(l_index) + 1), QString("shown %1").arg(l_shown));
            l_check(!*l_control.mp_key || !*l_control.mp_stored || GetSetting(l_control.mp_key) == l_control.mp_stored,
                    l_control.mp_key);
        }
        l_check(GetSetting("user_picture_file") == Picture(), "user_picture_file");
        l_check(lp_ui->tabControl->currentIndex() == 3, "the search page first");
        l_check(lp_ui->tabControl->tabText(lp_ui->tabControl->count() - 1) == "Diagnostics", "diagnostics tab");
        QString const l_size = QString("%1x%2").arg(lp_window->width()).arg(lp_window->height());
        l_check(l_size == l_lines.value(int(Controls().size()) + 1) && lp_window->width() == 720,
                "window size " + l_size);
    }
    delete lp_window;
    return l_failures;
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_urls << i_url; }

private:
    MainWindow* mp_window = nullptr;
    Ui_MainWindow* mp_ui = nullptr;
    StandinProcess m_server;
    std::unique_ptr<VersionFileStub> mp_versionFile;
    QList<QUrl> m_urls;

    QString ConnectText()
    {
        mp_window->activateWindow();
        if (!QTest::qWaitForWindowActive(mp_window))
            return "(window not active)";
        mp_ui->tabControl->setCurrentWidget(mp_ui->optionsTab);
        mp_ui->optionsTabControl->setCurrentWidget(mp_ui->loginOptionsTab);
        mp_ui->usernameEdit->setFocus();
        if (!QTest::qWaitFor([]() { return actionBar->CurrentSetName() == "login_options"; }))
            return "(login set not shown)";
        for (QAction* lp_action : actionBar->actions())
            if (!lp_action->text().isEmpty())
                return lp_action->text();
        return QString();
    }

    void LogIn(QString const& i_user, QString const& i_password, QString const& i_address = QString())
    {
        gp_server->Disconnect();
        SetSetting("username", i_user);
        SetSetting("password", i_password);
        SetSetting("server_address", i_address.isEmpty() ? QString("127.0.0.1:%1").arg(m_server.Port()) : i_address);
        gp_server->Connect();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start());
        QDesktopServices::setUrlHandler("http", this, "OnUrlOpened");
        QDesktopServices::setUrlHandler("https", this, "OnUrlOpened");
        mp_versionFile.reset(new VersionFileStub("29991231\nhttp://example.invalid\nquillmar-2999\nfaster\n\n<b>more</b>\nlost"));
        UpdateChecker::SetVersionFileUrl(mp_versionFile->Url());
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("tester"));
            SetSetting("password", QStringLiteral("pw"));
        });
        DeclareSettingsTypes();
        SetSetting("listening_port", qint64(0));
        SetSetting("server_address", QStringLiteral("127.0.0.1:%1").arg(m_server.Port()));
        mp_window = new MainWindow;
        mp_window->setVisible(true);
        mp_window->Init();
        mp_ui = mp_window->Form();
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window));
    }

    void cleanupTestCase()
    {
        delete mp_window;
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }

    // The first login asks for the version file once; the announcement shows
    // the notes as plain paragraphs. A reconnection asks no more.
    void UpdateCheckRunsOncePerRun()
    {
        QTRY_VERIFY(gp_server->IsConnected());
        QCOMPARE(ConnectText(), QString("Disconnect"));
        QVERIFY(ShowsIcon(":/icons/online_icon"));
        QTRY_VERIFY(OpenWindow<NewVersionDialog>());
        NewVersionDialog* lp_dialog = OpenWindow<NewVersionDialog>();
        QCOMPARE(lp_dialog->windowTitle(), QString("QuillmarQt Update"));
        QCOMPARE(lp_dialog->Form()->newVersionEdit->text(), QString("Build 12/31/2999"));
        QCOMPARE(lp_dialog->Form()->descriptionEdit->toPlainText(), QString("faster\n\n<b>more</b>"));
        QVERIFY(lp_dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        lp_dialog->Form()->skipButton->click();
        QCOMPARE(GetSetting("skip_version"), QString("29991231"));

        gp_server->Disconnect();
        QCOMPARE(ConnectText(), QString("Connect"));
        QVERIFY(ShowsIcon(":/icons/offline_icon"));
        gp_server->Connect();
        QTRY_VERIFY(gp_server->IsConnected());
        QTest::qWait(200);
        QCOMPARE(mp_versionFile->m_requests, 1);
    }

    void VersionFileRules_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("link"); // empty: no announcement
        QTest::addColumn<QStringList>("notes");
        QTest::newRow("newer") << QByteArray("20990101\r\nhttp://h\nq\na\n\nb\ntail") << "http://h/Linux/q-64bit.tgz"
                               << QStringList({"a", "", "b"});
        QTest::newRow("same build") << QByteArray("20200101\nhttp://h\nq\n") << "" << QStringList();
        QTest::newRow("skipped") << QByteArray("20300101\nhttp://h\nq\n") << "" << QStringList();
        QTest::newRow("not a number") << QByteArray("abc\nhttp://h\nq\n") << "" << QStringList();
        QTest::newRow("two lines") << QByteArray("20990101\nhttp://h\n") << "" << QStringList();
        QTest::newRow("cut at a NUL") << QByteArray("20990101\nhttp://h\0\nq\n", 20) << "" << QStringList();
    }

    void VersionFileRules()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, link);
        QFETCH(QStringList, notes);
        qint64 l_version = 0;
        QString l_link;
        QStringList l_notes;
        QCOMPARE(UpdateChecker::ParseVersionFile(body, 20200101, 20300101, l_version, l_link, l_notes),
                 !link.isEmpty());
        if (!link.isEmpty()) {
            QCOMPARE(l_link, link);
            QCOMPARE(l_notes, notes);
        }
    }

    // Each login failure against the stand-in server: its box (or none while
    // the link reconnects by itself), and "Connect" again.
    void LoginFailures_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("where"); // 0 stand-in, 1 closed port, 2 a server refusing with SERVERFULL
        QTest::addColumn<QString>("title");
        QTest::newRow("wrong password") << "tester" << "other" << 0 << "Login Failure: Wrong Password";
        QTest::newRow("invalid name") << QString(31, 'x') << "pw" << 0 << "Login Failure: Username is Invalid";
        QTest::newRow("no server") << "tester" << "pw" << 1 << "Login Failure";
        QTest::newRow("other refusal") << "tester" << "pw" << 2 << "";
    }

    void LoginFailures()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, where);
        QFETCH(QString, title);
        QTcpServer l_closed;
        l_closed.listen(QHostAddress::LocalHost, 0);
        QString const l_closedAddress = QString("127.0.0.1:%1").arg(l_closed.serverPort());
        l_closed.close();
        FakeServer l_refusing;
        ModalAnswerer l_answers;
        if (!title.isEmpty())
            l_answers.Press(QMessageBox::Ok);
        QSignalSpy l_failed(gp_server, &Server::ConnectionFailed);
        LogIn(user, password,
              where == 1 ? l_closedAddress : where == 2 ? QString("127.0.0.1:%1").arg(l_refusing.Port()) : QString());
        if (where == 2)
            QVERIFY(l_refusing.AnswerLogin(false, "SERVERFULL"));
        QVERIFY(l_failed.wait(5000));
        QTest::qWait(100);
        QCOMPARE(l_answers.m_titles, title.isEmpty() ? QStringList() : QStringList(title));
        if (where == 1)
            QVERIFY(l_answers.m_texts.value(0).contains("Reported failure reason: socket error."));
        QCOMPARE(ConnectText(), QString("Connect"));
        QVERIFY(ShowsIcon(":/icons/offline_icon"));
        gp_server->Disconnect();
    }

    // Another login with the account: a box that stays on top; messages of
    // the server's administrators are never read as markup.
    void ServerMessages()
    {
        LogIn("tester", "pw");
        QTRY_VERIFY(gp_server->IsConnected());
        m_server.Command("admin <b>maintenance</b> at noon");
        QTRY_VERIFY(OpenWindow<QMessageBox>());
        QMessageBox* lp_admin = OpenWindow<QMessageBox>();
        QCOMPARE(lp_admin->text(), QString("<b>maintenance</b> at noon"));
        QCOMPARE(lp_admin->textFormat(), Qt::PlainText);
        lp_admin->close();

        ModalAnswerer l_answers;
        l_answers.Then([](QWidget* ip_box) { return static_cast<QDialog*>(ip_box)->close(); });
        RawClient l_intruder;
        QVERIFY(l_intruder.Login(m_server.Port(), "tester", "pw"));
        QTRY_VERIFY(l_answers.Done());
        QCOMPARE(l_answers.m_titles, QStringList("Logged In Elsewhere"));
        QTRY_COMPARE(ConnectText(), QString("Connect"));
    }

    void TrayFollowsItsSwitch()
    {
        QVERIFY(!mp_window->TrayIcon().isVisible());
        mp_ui->minimizeToTrayCheckBox->click();
        QVERIFY(mp_window->TrayIcon().isVisible());
        mp_window->showMinimized();
        mp_window->OnTrayIconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(mp_window->isMinimized());
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!mp_window->isMinimized());
        mp_ui->minimizeToTrayCheckBox->click();
        QVERIFY(!mp_window->TrayIcon().isVisible());
        QCOMPARE(GetSetting("minimize_to_tray"), QString("no"));
        // Without a tray a balloon is dropped.
        PopupAlert("nobody sees this");
    }

    void PortTestOpensOnePagePerPort()
    {
        m_urls.clear();
        mp_ui->checkPortsButton->click();
        QCOMPARE(m_urls, QList<QUrl>({QUrl(QString("http://localhost/porttest.php?port=%1").arg(GetSetting("listening_port"))),
                                     QUrl(QString("http://localhost/porttest.php?port=%1")
                                              .arg(GetSetting("obfuscated_listening_port")))}));
    }

    void UserListImport_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("result");
        QTest::newRow("two users") << QByteArray("\x02\0\0\0\x03\0\0\0ann\x03\0\0\0bob", 18) << "Import successful.";
        QTest::newRow("cut short") << QByteArray("\x02\0\0\0\x03\0\0\0ann\x03\0\0\0b", 16)
                                   << "Import could not be completed successfully.";
    }

    void UserListImport()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, result);
        QString const l_path = QDir::home().filePath("hotlist.cfg");
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        l_file.write(file);
        l_file.close();
        d["user"]->GetItem(Value("ann")).Disconnect("in_user_list");
        ModalAnswerer l_answers;
        l_answers.Press(QMessageBox::Ok).Then(ChooseFile(l_path)).Press(QMessageBox::Ok);
        mp_ui->importUserListButton->click();
        QVERIFY(l_answers.Done());
        QCOMPARE(l_answers.m_texts.value(1), result);
        QCOMPARE(d["user"]->GetItem(Value("ann")).IsConnected("in_user_list"), result == "Import successful.");
    }

    // The file-sharing page: its tool-bar set, the folder rows and their
    // menu commands, the rescan report and the one excluded-extensions
    // dialog.
    void SharedFoldersAndTheirCommands()
    {
        QString const l_folder = QDir::home().filePath("shared");
        QVERIFY(QDir().mkpath(l_folder));
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window));
        mp_ui->tabControl->setCurrentWidget(mp_ui->optionsTab);
        mp_ui->optionsTabControl->setCurrentWidget(mp_ui->fileSharingOptionsTab);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(mp_ui->sharedFoldersList));
        QCOMPARE(actionBar->CurrentSetName(), QString("shared_folders"));

        mp_window->OnToolBarActionTriggered(nullptr, "share_folder");
        AddSharedFolderDialog* lp_add = OpenWindow<AddSharedFolderDialog>();
        QVERIFY(lp_add && !lp_add->isModal());
        lp_add->reject();
        sharedFoldersManager->AddSharedFolder(l_folder);
        QTreeWidgetItem* lp_row = mp_ui->sharedFoldersList->findItems(l_folder, Qt::MatchExactly).value(0);
        QVERIFY(lp_row);
        lp_row->setSelected(true);
        mp_window->OnSetFolderPermissions();
        QVERIFY(OpenWindow<AddSharedFolderDialog>());
        OpenWindow<AddSharedFolderDialog>()->reject();

        QSignalSpy l_rescanned(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned);
        mp_window->OnToolBarActionTriggered(nullptr, "rescan_shares");
        QTRY_COMPARE(l_rescanned.count(), 1);
        SharedFilesRescannedDialog* lp_report = OpenWindow<SharedFilesRescannedDialog>();
        QVERIFY(lp_report);
        QCOMPARE(lp_report->windowTitle(), QString("Shared Files Rescanned"));
        QCOMPARE(lp_report->Form()->plainTextEdit->toPlainText(), QString("0 files added.\n0 files removed."));
        lp_report->close();

        mp_window->OnUnshareFolder();
        QVERIFY(d["shared_folder"]->HasItem(Value(l_folder)).IsNull());
        QVERIFY(mp_ui->sharedFoldersList->findItems(l_folder, Qt::MatchExactly).isEmpty());

        d["excluded_download_extension"]->GetItem(Value(".ini"));
        QCOMPARE(mp_ui->excludedExtensionsEdit->text(), QString(".ini"));
        mp_ui->editExcludedExtensionsButton->click();
        ExcludedExtensionsDialog* lp_first = excludedExtensionsDialog;
        mp_ui->editExcludedExtensionsButton->click();
        QCOMPARE(excludedExtensionsDialog, lp_first);
        d["excluded_download_extension"]->GetItem(Value(".MP3"));
        QCOMPARE(mp_ui->excludedExtensionsEdit->text(), QString(".ini .MP3"));
        lp_first->close();
    }

    void OptionsSurviveARestart()
    {
        QTemporaryDir l_home;
        for (QString const l_phase : {"change", "check"}) {
            QProcess l_process;
            QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
            l_environment.insert("HOME", l_home.path());
            l_process.setProcessEnvironment(l_environment);
            l_process.setProcessChannelMode(QProcess::ForwardedChannels);
            l_process.start(QCoreApplication::applicationFilePath(), {"--phase", l_phase});
            QVERIFY(l_process.waitForFinished(50000));
            QCOMPARE(l_process.exitStatus(), QProcess::NormalExit);
            QVERIFY2(l_process.exitCode() == 0, qPrintable(QString("%1: %2").arg(l_phase).arg(l_process.exitCode())));
        }
    }

    // Only a web address is opened; the data is saved before the end. The
    // dialog then ends the event loop, so this test comes last: no later one
    // could wait on a loop.
    void DownloadOpensOnlyWebAddresses()
    {
        for (QString const l_link : {"file:///etc/passwd", "https://example.invalid/q.tgz"}) {
            int const l_files = int(DataSaver::ListDataFiles(MainWindow::DataFileStem()).size());
            m_urls.clear();
            NewVersionDialog* lp_dialog = new NewVersionDialog(29991231, l_link, {}, mp_window);
            lp_dialog->show();
            lp_dialog->Form()->downloadButton->click();
            QCOMPARE(m_urls.size(), l_link.startsWith("https") ? 1 : 0);
            QVERIFY(int(DataSaver::ListDataFiles(MainWindow::DataFileStem()).size()) > qMin(l_files, 2));
        }
    }
};

int main(int argc, char** argv)
{
    QApplication l_app(argc, argv);
    if (argc == 3 && QString(argv[1]) == "--phase") {
        QFile(QDir::home().filePath("ding.wav")).open(QIODevice::WriteOnly);
        QFile(QDir::home().filePath("me.png")).open(QIODevice::WriteOnly);
        return RunRestartPhase(argv[2]);
    }
    MainWindowTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "MainWindowTest.moc"
