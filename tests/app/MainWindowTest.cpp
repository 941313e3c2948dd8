#include "tests/app/ShellTestSupport.h"
#include "app/Application.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "app/NewVersionDialog.h"
#include "transfers/TransferQueueManager.h"
#include "store/windows/DataDialog.h"
#include "store/Log.h"
#include "store/windows/DiagnosticsForm.h"
#include "ui/chat/AdminMessageDialog.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/transfers/ShareForm.h"
#include "ui/transfers/UploadForm.h"
#include "ui/transfers/SharesForm.h"
#include "ui/transfers/TransferRows.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/users/GiftPrivilegesDialog.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/TabWidget.h"
#include "server/dialogs/ChangeListeningPortDialog.h"
#include "peers/PeerMessenger.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui/transfers/ExcludedExtensionsDialog.h"
#include "ui/transfers/SharedFilesRescannedDialog.h"
#include "ui_AddSharedFolderDialog.h"
#include "ui_AdminMessageDialog.h"
#include "ui_ChangeListeningPortDialog.h"
#include "ui_ExcludedExtensionsDialog.h"
#include "ui_MainWindow.h"
#include "ui_NewVersionDialog.h"
#include "ui_SharedFilesRescannedDialog.h"
#include "ui_UserGroupConfigDialog.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTextDocumentFragment>
#include <QWindow>

#include <csignal>

#include <sys/resource.h>

namespace {

// A modal file chooser answered by typing the path, as a user would
// (selectFile() leaves the name field alone while it has the focus).
ModalAnswerer::Answer ChooseFile(QString const& i_path)
{
    return [i_path](QWidget* ip_dialog) {
        QFileDialog* lp_dialog = qobject_cast<QFileDialog*>(ip_dialog);
        QLineEdit* lp_name = lp_dialog ? lp_dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
        if (!lp_name)
            return false;
        lp_name->setText(i_path);
        static_cast<QDialog*>(lp_dialog)->accept(); // the chooser's own, through its public base
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
struct VersionFileStub : QObject
{
    explicit VersionFileStub(QByteArray const& i_body)
    {
        m_listener.listen(QHostAddress::LocalHost, 0);
        connect(&m_listener, &QTcpServer::newConnection, this, [this, i_body]() {
            QTcpSocket* lp_socket = m_listener.nextPendingConnection();
            connect(lp_socket, &QTcpSocket::readyRead, lp_socket, [this, lp_socket, i_body]() {
                if (!lp_socket->readAll().startsWith("GET /qtversion.txt "))
                    return;
                ++m_requests;
                lp_socket->write("HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(i_body.size()) +
                                 "\r\n\r\n" + i_body);
                lp_socket->disconnectFromHost();
            });
        });
    }
    QTcpServer m_listener;
    int m_requests = 0;
};

char const* const s_switches[][2] = {
    {"uPnPCheckBox", "use_upnp"}, {"NATPMPCheckBox", "use_natpmp"},
    {"maxUploadsPerUserCheckBox", "max_queued_uploads_per_user_enabled"},
    {"maxMBPerUserCheckBox", "max_queued_mb_per_user_enabled"},
    {"acceptUserListUploadsCheckBox", "accept_userlist_uploads"},
    {"emptyShareWarningCheckBox", "check_for_empty_shares"},
    {"dontDownloadSingleFilesIntoSubfolders", "dont_create_subfolders_for_single_downloads"},
    {"dontSplitDownloadsCheckBox", "dont_split_downloads"}, {"minimizeToTrayCheckBox", "minimize_to_tray"},
    {"useOldStyleSearchResultsCheckBox", "use_old_style_search_results"},
    {"autoExpandSharesCheckBox", "expand_new_shares"},
    {"showAwayStatusCheckBox", "show_away_status_in_application_icon"},
    {"openGroupsOnUserAddCheckBox", "open_groups_on_user_add"},
    {"showDiagnosticsCheckBox", "show_diagnostics"}, {"showEventButtonsCheckBox", "show_event_buttons"},
    {"downloadFoldersOnDoubleClickCheckBox", "download_folders_on_double_click"},
    {"autoAwayOnIdleCheckBox", "auto_away_on_idle"}, {"logRoomChatCheckBox", "log_room_chat"},
    {"logPrivateChatCheckBox", "log_private_chat"}, {"userLevelLoggingCheckBox", "user_level_logging"},
};
char const* const s_otherKeys[] = {"max_queued_uploads_per_user", "max_queued_mb_per_user", "chat_timestamps",
                                   "first_open_tab", "extended_ascii_codepage", "empty_share_message",
                                   "user_description", "user_picture_file"};

// What the option controls show and what is stored, one line each.
QStringList State(MainWindow* ip_window)
{
    Ui_MainWindow* lp_ui = ip_window->Form();
    QStringList l_state;
    for (auto const& l_switch : s_switches)
        l_state << QString("%1 %2 %3").arg(l_switch[1], GetSetting(l_switch[1]))
                       .arg(ip_window->findChild<QCheckBox*>(l_switch[0])->isChecked());
    for (char const* lp_key : s_otherKeys)
        l_state << QString("%1 %2").arg(lp_key, GetSetting(lp_key).replace('\n', "\\n"));
    l_state << lp_ui->maxUploadsPerUserSpinBox->text() << lp_ui->maxMBPerUserSpinBox->text()
            << QString::number(lp_ui->chatTimestampsBox->currentIndex())
            << QString::number(lp_ui->firstOpenTabBox->currentIndex()) << lp_ui->codePageBox->currentText()
            << lp_ui->emptyShareWarningEdit->text() << lp_ui->userDescriptionEdit->toPlainText().replace('\n', "\\n")
            << lp_ui->userPictureFilenameEdit->text() << lp_ui->roomChatSoundEdit->text()
            << QString("%1,%2").arg(ip_window->geometry().x()).arg(ip_window->geometry().y())
            << QString::number(ip_window->findChild<QTreeWidget*>("downloadsList")->header()->sectionSize(0));
    return l_state;
}

// One run of the restart test, in a home of its own: "change" uses every
// control and writes down what the window shows; "check" starts again and
// compares. Failures go to stderr and into the exit code.
int RunRestartPhase(QString const& i_phase)
{
    StandinProcess l_server;
    if (!l_server.Start())
        return 100;
    QString const l_picture = QDir::home().filePath("me.png");
    QString const l_sound = QDir::home().filePath("ding.wav");
    if (i_phase == "change") {
        QFile(l_picture).open(QIODevice::WriteOnly);
        QFile(l_sound).open(QIODevice::WriteOnly);
        SeedDataFile([]() { SetSetting("username", QStringLiteral("restarter")); });
    }
    ModalAnswerer l_answers;
    MainWindow* lp_window = StartWindow(l_server.Port());
    Ui_MainWindow* lp_ui = lp_window->Form();
    QFile l_expected(QDir::home().filePath("expected.txt"));
    int l_failures = 0;
    auto l_check = [&l_failures](bool i_ok, QString const& i_what) {
        if (!i_ok)
            qWarning("%d: %s", ++l_failures, qPrintable(i_what));
    };
    if (i_phase == "change") {
        for (auto const& l_switch : s_switches)
            lp_window->findChild<QCheckBox*>(l_switch[0])->click();
        // Typed: "25" is stored as 25, not first as a 2 raised to 10.
        lp_ui->maxUploadsPerUserSpinBox->selectAll();
        QTest::keyClicks(lp_ui->maxUploadsPerUserSpinBox, "25");
        QTest::keyClick(lp_ui->maxUploadsPerUserSpinBox, Qt::Key_Enter);
        lp_ui->maxMBPerUserSpinBox->setValue(49);
        lp_ui->chatTimestampsBox->setCurrentIndex(2); // not the choice for an unknown text
        lp_ui->firstOpenTabBox->setCurrentIndex(2);
        lp_ui->codePageBox->setCurrentIndex(lp_ui->codePageBox->findText("ISO-8859-5"));
        lp_ui->emptyShareWarningEdit->selectAll();
        QTest::keyClicks(lp_ui->emptyShareWarningEdit, "Share first");
        lp_ui->saveEmptyShareWarningMessageButton->click();
        lp_ui->userDescriptionEdit->setPlainText("line one\nline two");
        l_answers.Then(ChooseFile(l_picture)).Then(ChooseFile(l_sound));
        lp_ui->selectPictureButton->click();
        lp_ui->roomChatSoundSelectFileButton->click();
        // The position and a column's width (the form is wider than the
        // offscreen screen, so the window's size cannot change there).
        QPoint const l_start = lp_window->geometry().topLeft();
        lp_window->move(30, 40);
        l_check(WaitUntil([&]() { return lp_window->geometry().topLeft() != l_start; }), "the window moved");
        lp_window->findChild<QTreeWidget*>("downloadsList")->header()->resizeSection(0, 213);
        QStringList const l_state = State(lp_window);
        for (QString const l_line : {"max_queued_uploads_per_user 25", "max_queued_mb_per_user 50",
                                     "chat_timestamps per_message_long", "first_open_tab search",
                                     "extended_ascii_codepage ISO-8859-5", "empty_share_message Share first",
                                     "user_description line one\\nline two"})
            l_check(l_state.contains(l_line), "stored: " + l_line);
        l_check(lp_window->geometry().topLeft() != l_start && l_state.contains(l_sound) && l_state.contains("213"),
                "window position, column width and sound");
        l_expected.open(QIODevice::WriteOnly);
        l_expected.write(l_state.join('\n').toUtf8());
    } else {
        l_expected.open(QIODevice::ReadOnly);
        QStringList const l_before = QString::fromUtf8(l_expected.readAll()).split('\n');
        QStringList const l_after = State(lp_window);
        for (int l_line = 0; l_line < l_before.size(); ++l_line)
            l_check(l_after.value(l_line) == l_before[l_line], l_before[l_line] + " became " + l_after.value(l_line));
        l_check(lp_ui->tabControl->currentIndex() == 3, "the search page first");
        l_check(lp_ui->tabControl->tabText(lp_ui->tabControl->count() - 1) == "Diagnostics", "diagnostics tab");
    }
    delete lp_window;
    return l_failures;
}


// The exit save on a disk that is full (files may grow no further: the
// write fails as on a full disk), one run each: "retry" adds "friend", and
// the save fails until the user made room and tried again; "quit" finds
// "friend" listed, adds "stranger", and quits without saving; "signal" does
// the same, ended by SIGTERM, without a question; "after" finds "friend"
// listed and "stranger" not.
int RunExitSavePhase(QString const& i_phase)
{
    StandinProcess l_server;
    if (!l_server.Start())
        return 100;
    if (i_phase == "retry")
        SeedDataFile([]() { SetSetting("username", QStringLiteral("saver")); });
    // After the first phase the data file names the server of the phase
    // before, gone: the login fails, and whether that comes while the exit
    // save asks is the event loop's choice. It must not put a box of its own
    // over the question.
    MainWindow* lp_window = StartWindow(l_server.Port());
    int l_failures = 0;
    auto l_check = [&l_failures](bool i_ok, QString const& i_what) {
        if (!i_ok)
            qWarning("%d: %s", ++l_failures, qPrintable(i_what));
    };
    auto l_listed = [](char const* ip_user) {
        return d["user"]->HasItem(Value(ip_user))["in_user_list"].IsValid();
    };
    l_check(l_listed("friend") == (i_phase != "retry"), "friend listed after a save tried again");
    l_check(!l_listed("stranger"), "stranger left out by the save given up");
    if (i_phase == "after") {
        delete lp_window;
        return l_failures;
    }
    d["user"]->GetItem(Value(i_phase == "retry" ? "friend" : "stranger")).NewItem("in_user_list");
    std::size_t const l_files = DataSaver::ListDataFiles(MainWindow::DataFileStem()).size();
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit l_limit{};
    ::getrlimit(RLIMIT_FSIZE, &l_limit);
    rlimit const l_room = l_limit;
    l_limit.rlim_cur = 64;
    ::setrlimit(RLIMIT_FSIZE, &l_limit);
    // The log's lines as its tab would show them (its files are on the full
    // disk), from here on: the start's lines, which wait for a later turn
    // when the log was on from the start, are written first.
    FlushLog();
    QStringList l_logged;
    SetSetting("show_diagnostics", QStringLiteral("yes"));
    SetLogViewHook([&l_logged](QString const& i_category, QString const& i_lines) {
        if (i_category == DataSaver::LogCategory())
            l_logged << i_lines.section("] ", 1);
    });
    if (i_phase == "signal") {
        // As in the program: the signal ends the application's event loop.
        QuitEventLoopOnTerminationSignals();
        QTimer::singleShot(0, []() { ::raise(SIGTERM); });
        QApplication::exec();
        l_check(TerminationRequested(), "the signal taken");
    }
    ModalAnswerer l_answers;
    if (i_phase == "retry")
        l_answers.Press(QMessageBox::Retry).Then([&l_room](QWidget* ip_box) {
            ::setrlimit(RLIMIT_FSIZE, &l_room);
            QMessageBox* lp_box = qobject_cast<QMessageBox*>(ip_box);
            lp_box->button(QMessageBox::Retry)->click();
            return true;
        });
    else
        l_answers.Press(QMessageBox::Discard);
    delete lp_window;
    ::setrlimit(RLIMIT_FSIZE, &l_room);
    int const l_questions = i_phase == "retry" ? 2 : i_phase == "quit" ? 1 : 0;
    l_check(l_answers.Done() == (l_questions > 0) && l_answers.m_texts.size() == l_questions, "one question a failure");
    // The file's name ends in its number, which the clock gives.
    QString const l_told = "The changes since the last save (settings, the user list, the download queue) could not "
                           "be saved: cannot write (File too large): " + QDir::homePath() + "/.Quillmar.#\n\n"
                           "Free some space and try again, or quit and lose them.";
    for (QString l_text : l_answers.m_texts)
        l_check(l_text.replace(QRegularExpression("\\.Quillmar\\.[0-9]+"), ".Quillmar.#") == l_told, "told: " + l_text);
    l_check(l_answers.m_titles.count("Data Not Saved") == l_answers.m_titles.size(), "the title");
    QString const l_failure = "cannot write (File too large): " + QDir::homePath() + "/.Quillmar.#";
    QStringList l_expected = {"Failure to save configuration data: " + l_failure};
    l_expected << (i_phase == "retry" ? l_expected.first() : "Quit without saving the data: " + l_failure);
    l_logged.replaceInStrings(QRegularExpression("\\.Quillmar\\.[0-9]+"), ".Quillmar.#");
    l_check(l_logged == l_expected, "logged: " + l_logged.join(" | "));
    std::size_t const l_kept = std::min<std::size_t>(l_files + (i_phase == "retry" ? 1 : 0), DataSaver::KEPT_FILES);
    l_check(DataSaver::ListDataFiles(MainWindow::DataFileStem()).size() == l_kept, "a file only once saved");
    return l_failures;
}
// A quit while a removal the user asked for still goes in slices, one run
// each: "clear" starts "Clear Complete" over three finished downloads of
// four, "delete" the Delete key over three rows of four, and each quits
// after its first step; "cleared" and "deleted" find only the fourth
// saved.
int RunRemovalQuitPhase(QString const& i_phase)
{
    StandinProcess l_server;
    if (!l_server.Start())
        return 100;
    bool const l_quit = i_phase == "clear" || i_phase == "delete";
    if (l_quit)
        SeedDataFile([]() { SetSetting("username", QStringLiteral("remover")); });
    MainWindow* lp_window = StartWindow(l_server.Port());
    int l_failures = 0;
    auto l_check = [&l_failures](bool i_ok, QString const& i_what) {
        if (!i_ok)
            qWarning("%d: %s", ++l_failures, qPrintable(i_what));
    };
    auto l_left = []() {
        QStringList l_names;
        for (Item const& l_entry : d["download_entry"]->GetItems())
            l_names << l_entry["file_name"].AsString();
        return l_names;
    };
    if (!l_quit) {
        l_check(WaitUntil([]() { return !transferQueueManager->IsLoadingQueue(); }), "the queue loaded");
        l_check(l_left() == QStringList({"kept.mp3"}), "saved: " + l_left().join(','));
        delete lp_window;
        return l_failures;
    }
    bool const l_clear = i_phase == "clear";
    for (char const* lp_name : {"a.mp3", "b.mp3", "kept.mp3", "c.mp3"}) {
        Item const l_entry = transferQueueManager->AddDownload("peer", lp_name, "music\\album", 1000, false, 0);
        if (l_clear && QByteArray(lp_name) != "kept.mp3")
            transferQueueManager->SetDownloadEntryStatus(l_entry, "complete");
    }
    l_check(WaitUntil([]() { return d["download_list_node"]->GetItemCount() == 4; }), "the rows made");
    // One step a turn of the event loop, and no turn before the quit.
    SlicedWork::SetSliceMs(0);
    if (l_clear) {
        transfersForm->OnActionBarTriggered(nullptr, "clear_complete_downloads");
    } else {
        for (Item const& l_entry : d["download_entry"]->GetItems())
            if (l_entry["file_name"].AsString() != "kept.mp3")
                TransferRows::NodeRow(l_entry["download_list_node"])->setSelected(true);
        QTest::keyClick(lp_window->findChild<QTreeWidget*>("downloadsList"), Qt::Key_Delete);
    }
    // The first slice, of one step, ran at the command.
    l_check(l_left().size() >= 3, "the removal under way at the quit");
    delete lp_window;
    return l_failures;
}
} // namespace

// A login against the stand-in (0), a closed port (1) or a server refusing
// with SERVERFULL (2), and the title of the box it brings (empty: none).
struct LoginCase { QString m_user, m_password; int m_where; QString m_title; };
Q_DECLARE_METATYPE(LoginCase)

// One window for the whole run, logged in to the stand-in server.
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
        if (!WaitUntil([]() { return actionBar->CurrentSetName() == "login_options"; }))
            return "(login set not shown)";
        for (QAction* lp_action : actionBar->actions())
            if (!lp_action->text().isEmpty())
                return lp_action->text();
        return QString();
    }

    // The status bar's connection state and the status button's text.
    QString ConnectionState()
    {
        ConnectText(); // the status button is made at a focus change
        return mp_window->findChild<QLabel*>("connectionStateLabel")->text() + " | " +
               actionBar->StatusButton()->text();
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
        mp_versionFile.reset(new VersionFileStub("29991231\nhttp://example.invalid\nq\nfaster\n\n<b>more</b>\nlost"));
        UpdateChecker::SetVersionFileUrl(
            QUrl(QString("http://127.0.0.1:%1/qtversion.txt").arg(mp_versionFile->m_listener.serverPort())));
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("tester"));
            SetSetting("password", QStringLiteral("pw"));
        });
        mp_window = StartWindow(m_server.Port());
        mp_ui = mp_window->Form();
    }

    // The URL handlers go with this object.
    void cleanupTestCase() { delete mp_window; }

    // The first login asks for the version file once; the announcement shows
    // the notes as plain paragraphs. A reconnection asks no more.
    void UpdateCheckRunsOncePerRun()
    {
        QTRY_VERIFY(gp_server->IsConnected());
        QCOMPARE(ConnectText(), QString("Disconnect"));
        QVERIFY(ShowsIcon(":/icons/online_icon"));
        QCOMPARE(ConnectionState(), QString("Connected to 127.0.0.1:%1 as tester | tester: Available").arg(m_server.Port()));
        QTRY_VERIFY(OpenWindow<NewVersionDialog>());
        NewVersionDialog* lp_dialog = OpenWindow<NewVersionDialog>();
        QCOMPARE(lp_dialog->Form()->newVersionEdit->text(), QString("Build 12/31/2999"));
        QCOMPARE(lp_dialog->Form()->descriptionEdit->toPlainText(), QString("faster\n\n<b>more</b>"));
        lp_dialog->Form()->skipButton->click();
        QCOMPARE(GetSetting("skip_version"), QString("29991231"));

        gp_server->Disconnect();
        QCOMPARE(ConnectText(), QString("Connect"));
        QVERIFY(ShowsIcon(":/icons/offline_icon"));
        QCOMPARE(ConnectionState(), QString("Offline (tester) | tester: Offline"));
        gp_server->Connect();
        QCOMPARE(ConnectionState(), QString("Connecting to 127.0.0.1:%1 as tester... | tester: Connecting...").arg(m_server.Port()));
        QTRY_VERIFY(gp_server->IsConnected());
        // The login's handling, and anything it put off, is over; had it
        // asked again, the stub would only hear of it later.
        QVERIFY(LoopComesRound());
        QCOMPARE(mp_window->GetUpdateChecker().RequestCount(), 1);
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
        QCOMPARE(UpdateChecker::ParseVersionFile(body, 20200101, 20300101, l_version, l_link, l_notes), !link.isEmpty());
        QCOMPARE(l_link, link);
        QCOMPARE(l_notes, notes);
    }

    // Each login failure against the stand-in server: its box (none while
    // the link reconnects by itself), then "Connect" and the offline icon.
    void LoginFailures_data()
    {
        QTest::addColumn<LoginCase>("row");
        QTest::newRow("wrong password") << LoginCase{"tester", "other", 0, "Login Failure: Wrong Password"};
        QTest::newRow("invalid name") << LoginCase{QString(31, 'x'), "pw", 0, "Login Failure: Username is Invalid"};
        QTest::newRow("no server") << LoginCase{"tester", "pw", 1, "Login Failure"};
        QTest::newRow("other refusal") << LoginCase{"tester", "pw", 2, ""};
    }

    void LoginFailures()
    {
        QFETCH(LoginCase, row);
        auto const [user, password, where, title] = row;
        QTcpServer l_closed;
        l_closed.listen(QHostAddress::LocalHost, 0);
        quint16 const l_closedPort = l_closed.serverPort();
        l_closed.close();
        FakeServer l_refusing;
        ModalAnswerer l_answers;
        if (!title.isEmpty())
            l_answers.Press(QMessageBox::Ok);
        QSignalSpy l_failed(gp_server, &Server::ConnectionFailed);
        QString const l_address = QString("127.0.0.1:%1").arg(where == 1 ? l_closedPort : l_refusing.Port());
        LogIn(user, password, where ? l_address : QString());
        if (where == 2)
            QVERIFY(l_refusing.AnswerLogin(false, "SERVERFULL"));
        QTRY_COMPARE(l_failed.count(), 1);
        QTRY_COMPARE(l_answers.m_titles, title.isEmpty() ? QStringList() : QStringList(title));
        // An unreachable server is no fault of the login settings: the box
        // names what can mend it, and the link keeps trying.
        if (where == 1) {
            QCOMPARE(l_answers.m_texts.value(0),
                     QString("Could not reach the server at %1 (Connection refused). Check that the server is "
                             "running there, or start the client with --server HOST:PORT to use another server. "
                             "The client tries again every half minute.").arg(l_address));
            QCOMPARE(ConnectionState(), QString("Offline (tester): trying %1 again every half minute | "
                                                "tester: Offline").arg(l_address));
        }
        QCOMPARE(ConnectText(), QString("Connect"));
        QVERIFY(ShowsIcon(":/icons/offline_icon"));
        gp_server->Disconnect();
    }

    // "Connect" with no user name asks for one, and the login follows.
    void ConnectWithoutAUserName()
    {
        gp_server->Disconnect();
        SetSetting("username", QString());
        SetSetting("server_address", QString("127.0.0.1:%1").arg(m_server.Port()));
        QCOMPARE(ConnectionState(), QString("Offline: no user name (Options, Login) | Offline"));
        ModalAnswerer l_answers;
        l_answers.Then([](QWidget* ip_dialog) {
            QLineEdit* lp_name = ip_dialog->findChild<QLineEdit*>("usernameEdit");
            if (!lp_name)
                return false;
            lp_name->setText("tester");
            return QMetaObject::invokeMethod(ip_dialog, "accept");
        });
        mp_window->OnToolBarActionTriggered(mp_ui->loginOptionsTab, "connect_disconnect");
        QTRY_VERIFY(l_answers.Done());
        QCOMPARE(l_answers.m_titles, QStringList("Change Username/Password"));
        QTRY_VERIFY(gp_server->IsConnected());
    }

    // The login options' "Change Listening Port" names the ports the
    // messenger listens on now. The system picked both in this run: the
    // obfuscated one is not the port after the other, as it is by default.
    void ListeningPortAction()
    {
        QString const l_shown = ConnectText();
        QVERIFY2(!l_shown.startsWith('('), qPrintable(l_shown));
        quint16 const l_listening = peerMessenger->ListeningPort();
        quint16 const l_obfuscated = peerMessenger->ObfuscatedPort();
        QVERIFY(l_listening != 0 && l_obfuscated != 0 && l_obfuscated != l_listening + 1);
        QAction* lp_action = nullptr;
        for (QAction* lp_each : actionBar->actions())
            if (lp_each->text() == "Change Listening Port")
                lp_action = lp_each;
        QVERIFY(lp_action);
        lp_action->trigger();
        ChangeListeningPortDialog* lp_dialog = OpenWindow<ChangeListeningPortDialog>();
        QVERIFY(lp_dialog);
        QString const l_text = lp_dialog->Form()->hintLabel->text();
        lp_dialog->reject();
        QCOMPARE(l_text.section(". ", 0, 0), QString("In use now: port %1, and port %2 for obfuscated connections")
                                                  .arg(l_listening)
                                                  .arg(l_obfuscated));
    }

    // Asking again for a file that is already downloaded is said.
    void AlreadyDownloaded()
    {
        QString const l_folder = QDir::home().filePath("Quillmar Downloads/complete/Album");
        QVERIFY(QDir().mkpath(l_folder));
        QFile l_file(l_folder + "/song.mp3");
        QVERIFY(l_file.open(QIODevice::WriteOnly) && l_file.write("1234") == 4);
        l_file.close();
        for (int l_time = 0; l_time < 2; ++l_time) {
            mp_window->statusBar()->clearMessage();
            transferQueueManager->AddDownload("bob", "song.mp3", "Music\\Album", 4, false, 0);
            QCOMPARE(mp_window->statusBar()->currentMessage(),
                     QString("song.mp3 is already downloaded, in %1").arg(l_folder));
        }
    }

    // A download folder that is a file, or that cannot be made: the row's
    // "local error" comes with its reason in the status bar.
    void DownloadFolderUnwritable()
    {
        QString const l_blocker = QDir::home().filePath("blocker");
        QFile l_file(l_blocker);
        QVERIFY(l_file.open(QIODevice::WriteOnly) && l_file.write("x") == 1);
        l_file.close();
        QString const l_setting = GetSetting("download_folder");
        for (QString const& l_folder : {l_blocker, l_blocker + "/below"}) {
            SetSetting("download_folder", l_folder);
            Item const l_entry = transferQueueManager->AddDownload("bob", "late.mp3", "Music\\Album", 4, false, 0);
            mp_window->statusBar()->clearMessage();
            QVERIFY(!transferQueueManager->StartDownload(l_entry, new QTcpSocket));
            QCOMPARE(l_entry["download_entry_status"].AsString(), QString("local error"));
            QCOMPARE(mp_window->statusBar()->currentMessage(),
                     QString("late.mp3 could not be saved: the folder could not be made (%2 is a file): "
                             "%1/downloading/Album")
                         .arg(l_folder, l_blocker));
            transferQueueManager->RemoveDownload(l_entry);
        }
        SetSetting("download_folder", l_setting);
    }

    // Each code page once; disabled controls drawn as such, with the
    // desktop's colours and with the user's.
    // A failed hourly save says so in the status bar, with the reason, and
    // is tried again; the next one that succeeds takes the words away.
    void FailedHourlySaveIsShownAndTriedAgain()
    {
        struct HomeAway
        {
            QByteArray const m_home = qgetenv("HOME");
            HomeAway() { qputenv("HOME", "/proc/no-such-home"); }
            ~HomeAway() { qputenv("HOME", m_home); }
        };
        {
            HomeAway const l_away;
            mp_window->EveryHour();
            QString const l_failure = "The data could not be saved, trying again in a minute: cannot create (No such "
                                      "file or directory): /proc/no-such-home/.Quillmar.";
            QTRY_VERIFY_WITH_TIMEOUT(mp_window->statusBar()->currentMessage().startsWith(l_failure), 30000);
        }
        QTimer* lp_retry = mp_window->findChild<QTimer*>("saveRetry");
        QVERIFY(lp_retry && lp_retry->isActive());
        auto const l_before = DataSaver::ListDataFiles(MainWindow::DataFileStem());
        quint64 const l_newest = l_before.empty() ? 0 : l_before.front().first;
        lp_retry->start(0);
        QTRY_COMPARE_WITH_TIMEOUT(mp_window->statusBar()->currentMessage(), QString(), 30000);
        auto const l_after = DataSaver::ListDataFiles(MainWindow::DataFileStem());
        QVERIFY(!l_after.empty() && l_after.front().first > l_newest);
        QVERIFY(!lp_retry->isActive());
    }

    void CodePagesAndColours()
    {
        QStringList l_names;
        for (int l_entry = 0; l_entry < mp_ui->codePageBox->count(); ++l_entry)
            l_names << mp_ui->codePageBox->itemText(l_entry);
        QCOMPARE(l_names.count("UTF-8"), 1);
        QCOMPARE(l_names.removeDuplicates(), 0);

        QPushButton l_enabled("Save");
        QPushButton l_disabled("Save");
        l_disabled.setEnabled(false);
        for (char const* lp_colour : {"", "#102030"}) {
            if (*lp_colour)
                d["color_setting"]->GetItem(Value("button_text")) += d["color_setting_value"]->GetItem(Value(lp_colour));
            QPalette const l_palette = QApplication::palette();
            QVERIFY(l_palette.color(QPalette::Disabled, QPalette::ButtonText) !=
                    l_palette.color(QPalette::Active, QPalette::ButtonText));
            QCOMPARE(l_palette.color(QPalette::Inactive, QPalette::ButtonText),
                     l_palette.color(QPalette::Active, QPalette::ButtonText));
            l_enabled.setPalette(l_palette);
            l_disabled.setPalette(l_palette);
            QVERIFY(l_enabled.grab().toImage() != l_disabled.grab().toImage());
        }
        QCOMPARE(QApplication::palette().color(QPalette::Active, QPalette::ButtonText), QColor("#102030"));
        mp_window->ResetColorSettings();
    }

    // An administrator's message opens its dialog, on top of the others, and
    // the next ones go to it, however many; another login with the account
    // brings a box that stays on top.
    void ServerMessages()
    {
        LogIn("tester", "pw");
        QTRY_VERIFY(gp_server->IsConnected());
        m_server.Command("admin <b>maintenance</b> at noon");
        QTRY_VERIFY(OpenWindow<AdminMessageDialog>());
        QPointer<AdminMessageDialog> lp_message = OpenWindow<AdminMessageDialog>();
        QCOMPARE(lp_message->Form()->textEdit->toPlainText(), QString("maintenance at noon"));
        QVERIFY(lp_message->windowFlags() & Qt::WindowStaysOnTopHint);
        int const l_windows = QApplication::topLevelWidgets().size();
        QByteArray l_flood;
        for (int l_message = 1; l_message <= 2000; ++l_message)
            l_flood += "admin flood " + QByteArray::number(l_message) + (l_message < 2000 ? "\n" : "");
        m_server.Command(l_flood);
        QTRY_COMPARE_WITH_TIMEOUT(lp_message->ReceivedCount(), 2001, 60000);
        QCOMPARE(QApplication::topLevelWidgets().size(), l_windows);
        QCOMPARE(lp_message->Form()->messageBox->count(), AdminMessageDialog::KEPT_MESSAGES);
        QTRY_COMPARE(lp_message->Form()->textEdit->toPlainText(), QString("flood 2000"));
        lp_message->close();
        QTRY_VERIFY(!lp_message);
        m_server.Command("admin after closing");
        QTRY_VERIFY(OpenWindow<AdminMessageDialog>());
        QCOMPARE(OpenWindow<AdminMessageDialog>()->ReceivedCount(), 1);
        OpenWindow<AdminMessageDialog>()->close();

        ModalAnswerer l_answers;
        l_answers.Then([](QWidget* ip_box) { return ip_box->windowFlags() & Qt::WindowStaysOnTopHint && ip_box->close(); });
        RawClient l_intruder;
        QVERIFY(l_intruder.Login(m_server.Port(), "tester", "pw"));
        QTRY_VERIFY(l_answers.Done());
        QCOMPARE(l_answers.m_titles, QStringList("Logged In Elsewhere"));
        QTRY_COMPARE(ConnectText(), QString("Connect"));
    }

    // The tray follows its switch; the port test opens a page per port.
    void TraySwitchAndPortTestButton()
    {
        QVERIFY(!mp_window->TrayIcon().isVisible());
        mp_ui->minimizeToTrayCheckBox->click();
        QVERIFY(mp_window->TrayIcon().isVisible());
        mp_window->showMinimized();
        mp_window->OnTrayIconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(mp_window->isMinimized());
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!mp_window->isMinimized());
        // A window minimised from maximised comes back maximised.
        mp_window->showMaximized();
        mp_window->showMinimized();
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(mp_window->isMaximized() && !mp_window->isMinimized());
        mp_window->showNormal();
        mp_window->showMinimized();
        mp_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!mp_window->isMaximized() && !mp_window->isMinimized());
        mp_ui->minimizeToTrayCheckBox->click();
        QVERIFY(!mp_window->TrayIcon().isVisible());
        mp_window->PopupAlert("without a tray the balloon is dropped");

        m_urls.clear();
        mp_ui->checkPortsButton->click();
        QString const l_page("http://localhost/porttest.php?port=%1");
        QCOMPARE(m_urls, QList<QUrl>({QUrl(l_page.arg(GetSetting("listening_port"))),
                                     QUrl(l_page.arg(GetSetting("obfuscated_listening_port")))}));
    }

    // The diagnostics page's "Dump Data" opens the window's store browser,
    // once; while the page is shown, the timer test reports once a second.
    void StoreBrowserAndTimerTest()
    {
        diagnosticsForm->OnActionTriggered(diagnosticsForm, "dump_data");
        QVERIFY(dataDialog && dataDialog->isVisible());
        QCOMPARE(dataDialog->parentWidget(), static_cast<QWidget*>(mp_window));
        DataDialog* lp_browser = dataDialog;
        diagnosticsForm->OnActionTriggered(diagnosticsForm, "dump_data");
        QCOMPARE(dataDialog, lp_browser);
        lp_browser->hide();

        mp_ui->showDiagnosticsCheckBox->click();
        QTRY_VERIFY_WITH_TIMEOUT(diagnosticsForm->Categories().contains("Timer Test"), WAIT_MS);
        QVERIFY2(QRegularExpression("\\] Timeout: -?\\d+ milliseconds behind schedule\n?$")
                     .match(diagnosticsForm->CategoryText("Timer Test"))
                     .hasMatch(),
                 qPrintable(diagnosticsForm->CategoryText("Timer Test")));
        mp_ui->showDiagnosticsCheckBox->click();
    }

    // Two users, then the same file cut short.
    void UserListImport()
    {
        QString const l_path = QDir::home().filePath("hotlist.cfg");
        for (int l_size : {18, 16}) {
            QFile l_file(l_path);
            QVERIFY(l_file.open(QIODevice::WriteOnly) &&
                    l_file.write("\x02\0\0\0\x03\0\0\0ann\x03\0\0\0bob", l_size) == l_size);
            l_file.close();
            d["user"]->GetItem(Value("ann")).Disconnect("in_user_list");
            ModalAnswerer l_answers;
            l_answers.Press(QMessageBox::Ok).Then(ChooseFile(l_path)).Press(QMessageBox::Ok);
            mp_ui->importUserListButton->click();
            QCOMPARE(l_answers.m_texts.value(1),
                     QString(l_size == 18 ? "Import successful." : "Import could not be completed successfully."));
            QCOMPARE(d["user"]->GetItem(Value("ann")).IsConnected("in_user_list"), l_size == 18);
        }
    }

    // Sharing a folder by keyboard: Enter opens the chooser first, then,
    // with a folder chosen, shares it instead of opening the chooser again.
    void ShareFolderByKeyboard()
    {
        QString const l_folder = QDir::home().filePath("by keyboard");
        QVERIFY(QDir().mkpath(l_folder));
        mp_window->OnToolBarActionTriggered(nullptr, "share_folder");
        AddSharedFolderDialog* lp_dialog = OpenWindow<AddSharedFolderDialog>();
        QVERIFY(lp_dialog);
        lp_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(lp_dialog));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(lp_dialog->Form()->selectFolderButton));
        ModalAnswerer l_answers;
        l_answers.Then(ChooseFile(l_folder));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(l_answers.Done());
        QCOMPARE(lp_dialog->Form()->selectedFolderEdit->text(), l_folder);
        QWidget* lp_ok = lp_dialog->Form()->buttonBox->button(QDialogButtonBox::Ok);
        QCOMPARE(lp_dialog->focusWidget(), lp_ok);
        QTest::keyClick(lp_ok, Qt::Key_Return);
        QVERIFY(!OpenWindow<AddSharedFolderDialog>());
        QCOMPARE(l_answers.m_titles.size(), 1);
        Item const l_root = d["shared_folder"]->HasItem(Value(l_folder));
        QVERIFY(l_root.IsValid());
        sharedFoldersManager->UnshareFolder(l_root);
    }

    // The file-sharing page: its tool-bar set, a group-only folder's access
    // edited, the rescan report, unsharing, and the one excluded-extension
    // editor.
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

        Item l_root = sharedFoldersManager->AddSharedFolder(l_folder);
        l_root += d["user_list_group"]->GetItem(Value("friends"));
        d["user_list_group"]->GetItem(Value("family"));
        mp_ui->sharedFoldersList->findItems(l_folder, Qt::MatchExactly).value(0)->setSelected(true);
        mp_window->OnSetFolderPermissions();
        Ui_AddSharedFolderDialog* lp_form = OpenWindow<AddSharedFolderDialog>()->Form();
        QVERIFY(!lp_form->everyoneCheckBox->isChecked() && !lp_form->userListCheckBox->isChecked());
        QVERIFY(lp_form->groupsListWidget->isEnabled() && !lp_form->selectFolderButton->isEnabled());
        QCOMPARE(lp_form->groupsListWidget->item(1)->text(), QString("friends"));
        QCOMPARE(lp_form->groupsListWidget->item(1)->checkState(), Qt::Checked);
        lp_form->everyoneCheckBox->setChecked(true); // to everyone; the group link stays
        QVERIFY(lp_form->userListCheckBox->isChecked() && !lp_form->groupsListWidget->isEnabled());
        OpenWindow<AddSharedFolderDialog>()->accept();
        QVERIFY(l_root.IsConnected("shared_public") && l_root.IsConnected("user_list_group"));
        QCOMPARE(mp_ui->sharedFoldersList->findItems(l_folder, Qt::MatchExactly).value(0)->text(1), QString("Everyone"));

        QSignalSpy l_rescanned(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned);
        mp_window->OnToolBarActionTriggered(nullptr, "rescan_shares");
        QTRY_COMPARE(l_rescanned.count(), 1);
        QPlainTextEdit* lp_report = OpenWindow<SharedFilesRescannedDialog>()->Form()->plainTextEdit;
        QCOMPARE(lp_report->toPlainText(), QString("0 files added.\n0 files removed."));
        // Both lines in sight.
        QVERIFY(lp_report->isVisible());
        QVERIFY(lp_report->viewport()->height() >=
                2 * lp_report->fontMetrics().lineSpacing() + 2 * lp_report->document()->documentMargin());
        OpenWindow<SharedFilesRescannedDialog>()->close();
        mp_window->OnUnshareFolder();
        QVERIFY(l_root.IsNull() && mp_ui->sharedFoldersList->findItems(l_folder, Qt::MatchExactly).isEmpty());

        mp_ui->editExcludedExtensionsButton->click();
        mp_ui->editExcludedExtensionsButton->click();
        QCOMPARE(OpenWindow<ExcludedExtensionsDialog>(), excludedExtensionsDialog);
        Ui_ExcludedExtensionsDialog* lp_editor = excludedExtensionsDialog->Form();
        for (char const* lp_typed : {"  .MP3 ", "   ", ".MP3"}) {
            lp_editor->newExtensionEdit->setText(lp_typed);
            lp_editor->newExtensionButton->click();
        }
        QCOMPARE(lp_editor->extensionListWidget->findItems(".MP3", Qt::MatchExactly).size(), 1);
        QVERIFY(mp_ui->excludedExtensionsEdit->text().split(' ').contains(".MP3"));
        lp_editor->extensionListWidget->findItems(".MP3", Qt::MatchExactly).value(0)->setSelected(true);
        excludedExtensionsDialog->OnRemoveExcludedExtension();
        QVERIFY(!mp_ui->excludedExtensionsEdit->text().contains(".MP3"));
        excludedExtensionsDialog->close();
    }

    // A name reads as it was typed wherever it shows: markup, entities and
    // the window title's "[*]" are letters, and "&" marks no shortcut key.
    void NamesReadAsTyped()
    {
        // What a user reads of a text given to a widget of that kind.
        auto const l_label = [](QLabel* ip_label) {
            QString const l_text = ip_label->text();
            bool const l_plain = ip_label->textFormat() == Qt::PlainText ||
                                 (ip_label->textFormat() == Qt::AutoText && !Qt::mightBeRichText(l_text));
            return l_plain ? l_text : QTextDocumentFragment::fromHtml(l_text).toPlainText();
        };
        auto const l_toolTip = [](QString const& i_tip) {
            return Qt::mightBeRichText(i_tip) ? QTextDocumentFragment::fromHtml(i_tip).toPlainText() : i_tip;
        };
        auto const l_mnemonic = [](QString const& i_text) {
            QString l_shown;
            for (int l_at = 0; l_at < i_text.size(); ++l_at)
                if (i_text[l_at] != '&')
                    l_shown += i_text[l_at];
                else if (l_at + 1 < i_text.size())
                    l_shown += i_text[++l_at];
            return l_shown;
        };
        auto const l_title = [](QWidget* ip_window) {
            ip_window->winId();
            return ip_window->windowHandle()->title();
        };
        auto const l_tab = [&](QWidget* ip_page) {
            int l_index = -1;
            QTabWidget* lp_tabs = GetWidgetTabWidget(ip_page, l_index);
            return lp_tabs ? l_mnemonic(lp_tabs->tabText(l_index)) : QString("(no tab)");
        };

        QLabel* lp_state = mp_window->findChild<QLabel*>("connectionStateLabel");
        QWidget l_hidden;
        QStringList l_wrong;
        SetSetting("show_event_buttons", "yes");
        for (QString const l_name : {"Zo\u00eb <b>&amp; Ann", "[*] R&&B &x <i>y"}) {
            LogIn(l_name, "pw");
            QTRY_VERIFY(gp_server->IsConnected());
            ConnectText();
            std::vector<std::pair<char const*, QString>> l_places = {
                {"status bar", l_label(lp_state)},
                {"status button", l_mnemonic(actionBar->StatusButton()->text())},
                {"window title", l_title(mp_window)}};
            m_server.Command("kick " + l_name.toUtf8());
            QTRY_VERIFY(!gp_server->IsConnected());
            ConnectText();
            l_places.insert(l_places.end(), {{"status bar offline", l_label(lp_state)},
                                             {"status button offline", l_mnemonic(actionBar->StatusButton()->text())}});

            chatsForm->OpenChatForm(l_name);
            l_places.push_back({"chat tab", l_tab(chatsForm->GetChatForm(l_name))});
            l_places.push_back({"information tab", l_tab(userListForm->GetUserInfoForm(l_name))});
            l_places.push_back({"browse tab", l_tab(sharesForm->OpenShareBrowse(l_name))});
            l_places.push_back({"upload tab", l_tab(sharesForm->OpenUploadBrowse(l_name))});
            UserNoteDialog* lp_note = UserNoteDialog::GetDialog(l_name);
            lp_note->show();
            l_places.push_back({"note dialog", l_title(lp_note)});
            auto* lp_gift = new GiftPrivilegesDialog(l_name, mp_window);
            l_places.push_back({"gift dialog", l_title(lp_gift).mid(QString("Gift Privileges to ").size())});
            auto* lp_groups = new UserGroupsDialog(l_name, mp_window);
            l_places.push_back({"groups dialog", l_title(lp_groups)});
            d["user_list_group"]->GetItem(Value(l_name));
            auto* lp_config = new UserGroupConfigDialog(mp_window);
            lp_config->Form()->groupList->setCurrentRow(
                lp_config->Form()->groupList->row(lp_config->Form()->groupList->findItems(l_name, Qt::MatchExactly).value(0)));
            l_places.push_back({"group box", l_mnemonic(lp_config->Form()->groupBox->title())});
            eventToolBar->AddEvent(l_name, ":/icons/chat_icon", &l_hidden, QString(), QString(), true);
            QAction* lp_button = eventToolBar->actions().last();
            l_places.push_back({"event button", lp_button->iconText()});
            l_places.push_back({"event tool tip", l_toolTip(lp_button->toolTip())});

            for (auto const& l_place : l_places)
                if (!l_place.second.contains(l_name))
                    l_wrong << QString(l_place.first) + ": " + l_place.second;
            for (QDialog* lp_dialog : std::initializer_list<QDialog*>{lp_note, lp_gift, lp_groups, lp_config})
                lp_dialog->close();
            eventToolBar->RemoveEvents(&l_hidden);
        }
        QVERIFY2(l_wrong.isEmpty(), qPrintable(l_wrong.join("\n")));
        LogIn("tester", "pw");
        QTRY_VERIFY(gp_server->IsConnected());
    }

    void OptionsSurviveARestart()
    {
        QCOMPARE(RunPhasesInOneHome({"change", "check"}, {}, 2 * WAIT_MS), QString());
    }

    void ExitSaveOnAFullDiskAsks()
    {
        QCOMPARE(RunPhasesInOneHome({"retry", "quit", "signal", "after"}, {}, 2 * WAIT_MS), QString());
    }

    void QuitDuringARemovalSavesWithoutItsEntries()
    {
        QCOMPARE(RunPhasesInOneHome({"clear", "cleared"}, {}, 2 * WAIT_MS), QString());
        QCOMPARE(RunPhasesInOneHome({"delete", "deleted"}, {}, 2 * WAIT_MS), QString());
    }

    // Only a web address is opened, and the data is saved first. The dialog
    // then ends the event loop, so this test comes last: no later one could
    // wait on a loop.
    void DownloadOpensOnlyWebAddresses()
    {
        for (QString const l_link : {"file:///etc/passwd", "https://example.invalid/q.tgz"}) {
            QStringList const l_files = QDir::home().entryList({".Quillmar.*"}, QDir::Files | QDir::Hidden);
            m_urls.clear();
            NewVersionDialog* lp_dialog = new NewVersionDialog(29991231, l_link, {}, mp_window);
            lp_dialog->Form()->downloadButton->click();
            QCOMPARE(m_urls.size(), l_link.startsWith("https") ? 1 : 0);
            QVERIFY(QDir::home().entryList({".Quillmar.*"}, QDir::Files | QDir::Hidden) != l_files);
        }
    }
};

int main(int argc, char** argv)
{
    QApplication l_app(argc, argv);
    if (argc == 3 && QString(argv[1]) == "--phase") {
        if (QStringList({"retry", "quit", "signal", "after"}).contains(argv[2]))
            return RunExitSavePhase(argv[2]);
        if (QStringList({"clear", "cleared", "delete", "deleted"}).contains(argv[2]))
            return RunRemovalQuitPhase(argv[2]);
        return RunRestartPhase(argv[2]);
    }
    MainWindowTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "MainWindowTest.moc"
