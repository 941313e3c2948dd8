#include "app/MainWindow.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "app/Application.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/Globals.h"
#include "app/NewVersionDialog.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/StatusBar.h"
#include "ui/widgets/TabWidget.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/windows/DiagnosticsForm.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/StoreCollector.h"
#include "store/TimerManager.h"

#include "peers/PeerMessenger.h"
#include "server/AwayManager.h"
#include "server/dialogs/ChangeUsernamePasswordDialog.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "server/WishListSearcher.h"
#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"
#include "transfers/TransferQueueManager.h"

#include "ui/chat/AdminMessageDialog.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/ChatStoreTypes.h"
#include "ui/chat/RoomsForm.h"
#include "ui/search/SearchForm.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui/transfers/ShareTree.h"
#include "ui/transfers/SharesForm.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"
#include "ui_MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QSet>
#include <QStatusBar>
#include <QTextCodec>
#include <QTimer>

#include <cstdio>

MainWindow* mainWindow = nullptr;
QPalette defaultPalette;

namespace {

char const* const LOG_CATEGORY = "Configuration Data";

// The diagnostics window lives in the store library, which must not depend
// on the shell: it calls this once it is initialised.
void AddDiagnosticsToolBarSet(DiagnosticsForm* ip_form)
{
    if (!actionBar || !ip_form)
        return;
    actionBar->AddSetAction("diagnostics", "dump_data", "Dump Data", ":/icons/save_icon", false);
    actionBar->RegisterWidget(ip_form, "diagnostics");
    QObject::connect(actionBar, &ActionSetToolBar::ActionTriggered, ip_form, &DiagnosticsForm::OnActionTriggered);
}

// The address the link connects to, as the user would give it.
QString ServerAddressText()
{
    QString l_host;
    quint16 l_port = 0;
    Server::GetServerAddress(l_host, l_port);
    return (l_host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
        .arg(l_host)
        .arg(l_port);
}

} // namespace

MainWindow::MainWindow(QWidget* ip_parent)
    : QMainWindow(ip_parent, Qt::WindowFlags())
{
    mp_ui = new Ui_MainWindow;
    // The pages may reach the main window while the form builds them.
    mainWindow = this;
    mp_ui->setupUi(this);

    MainWindowHooks l_hooks;
    l_hooks.m_setIcon = [this](QIcon const& i_icon) {
        setWindowIcon(i_icon);
        m_trayIcon.setIcon(i_icon);
    };
    l_hooks.m_resetIcon = [this]() { ResetApplicationIcon(); };
    l_hooks.m_popupAlert = [this](QString const& i_text) { PopupAlert(i_text); };
    l_hooks.m_isActive = [this]() { return isActiveWindow(); };
    SetMainWindowHooks(l_hooks);
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));

    auto* lp_statusBar = new StatusBar(this);
    setStatusBar(lp_statusBar);
    auto* lp_connectionState = new ElidedLabel(this);
    mp_connectionState = lp_connectionState;
    mp_connectionState->setObjectName(QStringLiteral("connectionStateLabel"));
    // It names the user and the server as they are; never an empty box.
    mp_connectionState->setText(tr("Offline"));
    lp_statusBar->AddLabel(lp_connectionState);

    mp_ui->sharedFoldersList->setColumnWidth(0, 400);
    mp_ui->sharedFoldersList->setHeaderLabels(QStringList({tr("Shared folder"), tr("Accessible to")}));
    g_currentVersion = VersionFromBuildDate(QStringLiteral(__DATE__));
}

QString MainWindow::BuildTitle(qint64 i_version, QString const& i_username)
{
    QString const l_title = QStringLiteral("QuillmarQt build %3.%1.%2")
                                .arg(i_version / 100 % 100)
                                .arg(i_version % 100)
                                .arg(i_version / 10000);
    return i_username.isEmpty() ? l_title : QStringLiteral("%1 [%2]").arg(l_title, LiteralWindowTitle(i_username));
}

QString MainWindow::DataFileStem()
{
    return QDir::homePath() + QStringLiteral("/.Quillmar");
}

void MainWindow::SubscribeToSetting(char const* ip_key, PathNodeRelation i_relation,
                                    void (MainWindow::*ip_handler)(Item))
{
    PathNode* lp_root = new PathNode(d["global"]->GetItem(Value(ip_key)));
    new PathNode(lp_root, "global_value", i_relation);
    d.AddPathEventHandler(lp_root, new EventHandler<MainWindow, Item>(this, ip_handler));
}

void MainWindow::Init()
{
    setWindowTitle(BuildTitle(g_currentVersion));

    new DataSaver();
    mp_server = new Server();

    DeclareSettingsTypes();
    dataSaver->AddSavedType("global");
    dataSaver->AddSavedByConnectionType("global_value", "global");

    mp_server->CreateData();
    qRegisterMetaType<Item>("Item");
    connect(mp_server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(mp_server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(mp_server, &Server::Disconnected, this, &MainWindow::OnDisconnected);

    actionBar->Init();
    AddToolBarSets();
    connect(mp_ui->mainToolBar, &ActionSetToolBar::ActionTriggered, this, &MainWindow::OnToolBarActionTriggered);

    // Each manager declares its store types here, before the load, so that
    // the saved data finds them.
    new PeerMessenger();
    DeclareShellTypes();
    new DelayedInvoker();
    // Before the shares manager, which connects its searches to it.
    new DNetManager();
    // No scan yet: the saved folders are scanned once they are loaded.
    new SharedFoldersManager(this);
    m_trayIcon.setIcon(QIcon(QStringLiteral(":/icons/offline_icon")));
    connect(gp_server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);

    Type* lp_folders = d["shared_folder"];
    lp_folders->AddNewItemEventHandler(new EventHandler<MainWindow, Item>(this, &MainWindow::OnSharedFolderAdded));
    lp_folders->AddRemovedItemEventHandler(
        new EventHandler<MainWindow, Item>(this, &MainWindow::OnSharedFolderRemoved));
    lp_folders->AddConnectEventHandler(
        new EventHandler<MainWindow, ConnectionInfo&>(this, &MainWindow::OnSharedFolderChange));
    lp_folders->AddDisconnectEventHandler(
        new EventHandler<MainWindow, ConnectionInfo&>(this, &MainWindow::OnSharedFolderChange));

    new SizeManager();
    SetDiagnosticsToolBarHook(AddDiagnosticsToolBarSet);
    new DiagnosticsForm();
    // The diagnostics page's "Dump Data" opens the store browser here.
    connect(diagnosticsForm, &DiagnosticsForm::DataBrowserRequested, this, &MainWindow::OnDataShortcutActivated);
    diagnosticsForm->Init();
    diagnosticsForm->RegisterLoggableItemType("user");

    new TransferQueueManager();
    connect(transferQueueManager, &TransferQueueManager::DownloadAlreadyComplete, this,
            &MainWindow::OnDownloadAlreadyComplete);
    connect(transferQueueManager, &TransferQueueManager::DownloadLocalError, this, &MainWindow::OnDownloadLocalError);
    mp_ui->transfersForm->Init();
    mp_ui->sharesForm->Init();
    mp_ui->searchForm->Init();
    new WishListSearcher(this);

    setContextMenuPolicy(Qt::NoContextMenu);
    new EventToolBar(nullptr);
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, eventToolBar);

    SubscribeToSetting("username", PATH_CONNECTED_FIRES, &MainWindow::OnUsernameChanged);
    connect(gp_server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);
    connect(gp_server, &Server::LoggedInElsewhere, this, &MainWindow::OnLoggedInElsewhere);

    // Defaults are written before the load, which replaces them wherever
    // the data file holds a value.
    WriteSettingDefaults();
    SubscribeToSetting("obfuscated_listening_port", PATH_ON_CONNECT, &MainWindow::OnObfuscatedPortSet);
    ConnectOptionWidgets();

    new ExtendedAsciiTranslator();
    mp_ui->codePageBox->addItem(QStringLiteral("[None]"));
    // The toolkit lists a name once per codec that answers to it ("UTF-8"
    // twice under a desktop session): each name is offered once.
    QSet<QByteArray> l_listed;
    for (QByteArray const& l_codec : QTextCodec::availableCodecs())
        if (!l_listed.contains(l_codec)) {
            l_listed.insert(l_codec);
            mp_ui->codePageBox->addItem(QString::fromLatin1(l_codec));
        }
    connect(mp_ui->codePageBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnCodePageSelected);
    mp_ui->userListForm->Init();

    LoadData();
    if (!m_serverAddress.isEmpty())
        SetSetting("server_address", m_serverAddress);

    if (IsSettingYes("show_diagnostics"))
        SetDiagnosticsTabShown(true);
    mp_ui->roomsForm->Init();
    QString const l_codePage = GetSetting("extended_ascii_codepage");
    if (!l_codePage.isEmpty()) {
        int const l_entry = mp_ui->codePageBox->findText(l_codePage, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (l_entry > 0)
            mp_ui->codePageBox->setCurrentIndex(l_entry);
    }
    QPalette l_palette = defaultPalette;
    ApplyPaletteColors(l_palette);
    QApplication::setPalette(l_palette);
    ApplyFont();
    SetSetting("data_version", QStringLiteral("1"));

    ShowConnectionState();
    if (GetSetting("username").isEmpty())
        RunFirstRunDialogs();
    if (!GetSetting("username").isEmpty() && !TerminationRequested())
        gp_server->Connect();
    ShowConnectionState();

    FillOptionWidgets();
    sizeManager->RegisterResizableWindow(QStringLiteral("main_window"), &m_sizeProxy);
    TimerManager* lp_timers = TimerManager::Obj();
    connect(&lp_timers->m_halfMinuteTimer, &QTimer::timeout, this, &MainWindow::EveryHalfMinute);
    connect(&lp_timers->m_fiveMinutesTimer, &QTimer::timeout, this, &MainWindow::EveryFiveMinutes);
    connect(&lp_timers->m_hourTimer, &QTimer::timeout, this, &MainWindow::EveryHour);
    mp_saveRetry = new QTimer(this);
    mp_saveRetry->setObjectName(QStringLiteral("saveRetry"));
    mp_saveRetry->setSingleShot(true);
    connect(mp_saveRetry, &QTimer::timeout, this, &MainWindow::EveryHour);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);
    UserNoteDialog::Init();
    activateWindow();

    sharedFoldersManager->Init();
    connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned, this,
            &MainWindow::OnSharedFilesRescanned);
    // Sharing, rescanning and unsharing run in the background; the status
    // bar says how far they are.
    connect(sharedFoldersManager, &SharedFoldersManager::ShareProgress, this, [this](QString i_text) {
        if (i_text.isEmpty())
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(i_text);
    });
    RegisterWidgetForTabFocus(mp_ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(mp_ui->sharedFoldersList, 1);
    mp_ui->chatsForm->Init();
    actionBar->AddSetAction("chat_log", "clear_chat_log", "Clear Log", ":/icons/empty_note_icon", false);
    actionBar->AddSetAction("chat_log", "open_log_folder", "Open Log Folder", ":/icons/browse_icon", false);
    actionBar->AddSetAction("user_chat", "user_chat_log", "Chat Log", ":/icons/note_icon", false);

    m_updateChecker.Init();
    connect(&m_updateChecker, &UpdateChecker::NewVersion, this, &MainWindow::OnNewVersion);
    connect(gp_server, &Server::AdminMessage, this, &MainWindow::OnAdminMessage);
    Type* lp_extensions = d["excluded_download_extension"];
    lp_extensions->AddNewItemEventHandler(
        new EventHandler<MainWindow, Item>(this, &MainWindow::OnExcludedDownloadExtensionAdded));
    lp_extensions->AddRemovedItemEventHandler(
        new EventHandler<MainWindow, Item>(this, &MainWindow::OnExcludedDownloadExtensionRemoved));
    OnExcludedDownloadExtensionAdded(Item());

    PathNode* lp_colors = new PathNode(&d, "color_setting");
    new PathNode(lp_colors, "color_setting_value", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_colors, new EventHandler<MainWindow, Item>(this, &MainWindow::OnColorSettingChanged));
}

void MainWindow::DeclareShellTypes()
{
    DeclareUserNoteType();
    dataSaver->AddSavedType("user_note");
    dataSaver->AddSavedByConnectionType("user", "user_note");
    DeclareChatStoreTypes();
}

void MainWindow::WriteSettingDefaults()
{
    SetSetting("expand_new_shares", QStringLiteral("yes"));
    SetSetting("chat_timestamps", QStringLiteral("activity_based"));
    SetSetting("first_open_tab", QStringLiteral("rooms"));
    defaultPalette = QApplication::palette();
    DeclareColorTable(defaultPalette);
    connect(mp_ui->defaultColorsButton, &QPushButton::clicked, this, &MainWindow::ResetColorSettings);
    QString const l_font = QApplication::font().toString();
    SetSetting("application_font", l_font);
    SetVSetting("default_application_font", l_font);
    SetSetting("log_room_chat", QStringLiteral("yes"));
    SetSetting("log_private_chat", QStringLiteral("yes"));
}

void MainWindow::LoadData()
{
    QString const l_stem = DataFileStem();
    Log(LOG_CATEGORY, 1, QStringLiteral("Loading configuration data from %1").arg(l_stem));
    // The data saver keeps the store (with the defaults) and starts the
    // components as on a first run when every file fails; unreadable files
    // are set aside, never deleted. So a failed load goes on as a first run.
    // The file is read on a thread of its own and put into the store in
    // slices, the window drawn between them: loaded in one go, a share of a
    // million files held the shown window for seconds. Its pages are held
    // still until the data is in, and the status bar says how far it is.
    bool l_failed = false;
    bool l_done = false;
    QEventLoop l_wait;
    setEnabled(false);
    QString const l_loading = tr("Loading the saved data...");
    statusBar()->showMessage(l_loading);
    QTimer l_progress;
    connect(&l_progress, &QTimer::timeout, this, [this, &l_loading]() {
        statusBar()->showMessage(
            QStringLiteral("%1 %2 %").arg(l_loading).arg(int(dataSaver->LoadProgress() * 100)));
    });
    l_progress.start(250);
    try {
        dataSaver->LoadInSlices(l_stem, [&](bool i_loaded) {
            l_failed = !i_loaded;
            l_done = true;
            l_wait.quit();
        });
        if (!l_done)
            l_wait.exec();
        // The program was told to end meanwhile (a termination signal, or
        // the window closed): the rest goes in here and now, so that what
        // is saved at the end is whole.
        if (!l_done) {
            dataSaver->FinishLoading();
            if (!isVisible())
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }
    } catch (std::exception const& i_failure) {
        l_failed = true;
        Log(LOG_CATEGORY, 1, QString::fromLocal8Bit(i_failure.what()));
    }
    l_progress.stop();
    statusBar()->clearMessage();
    setEnabled(true);
    if (!l_failed)
        Log(LOG_CATEGORY, 1, QStringLiteral("Data loaded successfully."));
    g_dataLoaded = true;
    if (l_failed) {
        Log(LOG_CATEGORY, 1, QStringLiteral("Failure to load configuration data."));
        ShowInformation(tr("Error loading configuration data"),
                        tr("Your client configuration data could not be loaded. Starting from scratch..."));
    }
}

void MainWindow::ApplyFont()
{
    QFont l_font;
    // A description that does not parse, or that asks for an absurd size
    // (the data file may hold anything), leaves the desktop's font.
    if (!l_font.fromString(GetSetting("application_font")) || l_font.pointSizeF() > 200 || l_font.pixelSize() > 300)
        return;
    QApplication::setFont(l_font);
}

void MainWindow::RunFirstRunDialogs()
{
    // A termination signal ends a dialog's loop: the dialogs still to come
    // are skipped, and the program ends in order.
    ChangeUsernamePasswordDialog l_login(true, nullptr);
    l_login.exec();
    if (TerminationRequested())
        return;
    QMessageBox::StandardButton const l_answer = QMessageBox::question(
        nullptr, tr("Share a folder?"),
        tr("Many Quillmar users require that you share something before downloading from them. Would you like "
           "to share a folder now?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (TerminationRequested())
        return;
    if (l_answer == QMessageBox::Yes) {
        AddSharedFolderDialog* lp_dialog = new AddSharedFolderDialog(Item(), this);
        lp_dialog->setModal(true);
        lp_dialog->exec();
        if (TerminationRequested())
            return;
    }
    QMessageBox::information(nullptr, tr("In the future"),
                             tr("You can always share additional folders by clicking the Share Folder button when "
                                "viewing the Options->File Sharing tab."),
                             QMessageBox::Ok);
}

void MainWindow::AddToolBarSets()
{
    actionBar->AddSetActions({
        {"shared_folders", "set_download_folder", "Set Download Folder", ":/icons/browse_icon", false},
        {"shared_folders", "share_folder", "Share Folder", ":/icons/browse_icon", false},
        {"shared_folders", "rescan_shares", "Rescan Shares", ":/icons/browse_icon", false},
        {"login_options", "connect_disconnect", "Connect", ":icons/online_icon", false},
        {"login_options", "set_user_pass", "Change Username/Password", ":icons/online_icon", false},
        {"login_options", "set_listening_port", "Change Listening Port", ":icons/online_icon", false},
        {"user", "message_user", "Message User", ":/icons/chat_icon", true},
        {"user", "browse_user", "Browse User's Files", ":/icons/browse_icon", true},
        {"user", "add_user", "Add User", ":/icons/add_user_icon", true},
    });
    actionBar->RegisterWidget(mp_ui->fileSharingOptionsTab, "shared_folders");
    actionBar->RegisterWidget(mp_ui->loginOptionsTab, "login_options");
}

void MainWindow::ShowInformation(QString const& i_title, QString const& i_text)
{
    QMessageBox l_box(QMessageBox::Information, i_title, i_text, QMessageBox::Ok, this);
    l_box.setTextFormat(Qt::PlainText);
    l_box.exec();
}

// ---------------------------------------------------------------- saving

void MainWindow::EveryFiveMinutes()
{
    // In slices: at a million shared files, what an unshare left took a
    // second or two to remove in one go.
    StoreCollector::Obj()->Collect();
    d.Audit();
}

void MainWindow::EveryHour()
{
    // In the background: building the file held the window for a third of
    // a second with 200,000 shared files. The store is collected first, in
    // slices too.
    if (g_showIsOver || !dataSaver)
        return;
    mp_saveRetry->stop();
    StoreCollector::Obj()->Collect([this]() {
        if (!g_showIsOver && dataSaver)
            dataSaver->SaveInBackground(DataFileStem(), [this](bool i_saved) { OnHourlySaveDone(i_saved); });
    });
}

void MainWindow::OnHourlySaveDone(bool i_saved)
{
    if (g_showIsOver || !dataSaver)
        return;
    if (i_saved) {
        if (!m_saveFailure.isEmpty() && statusBar()->currentMessage() == m_saveFailure)
            statusBar()->clearMessage();
        m_saveFailure.clear();
        return;
    }
    // Nothing but the log said so once, and the log may be what failed:
    // the user sees it, and the save is tried again until it succeeds.
    QString const l_reason = dataSaver->LastFailure();
    int const l_path = TrailingPathLength(l_reason);
    ShowStatusMessage(this,
                      tr("The data could not be saved, trying again in a minute: %1").arg(l_reason.chopped(l_path)),
                      l_reason.right(l_path));
    m_saveFailure = statusBar()->currentMessage();
    if (!mp_saveRetry->isActive())
        mp_saveRetry->start(SAVE_RETRY_MS);
}

bool MainWindow::SaveData()
{
    if (g_showIsOver || !dataSaver)
        return false;
    // Asked during the start's load (the session ending): the file saved
    // must hold all of it.
    dataSaver->FinishLoading();
    // Nor may it hold what the user asked to remove, still going in slices:
    // it would be back at the next start.
    if (transfersForm)
        transfersForm->FinishRemovals();
    d.RemoveDisconnectedItems();
    return dataSaver->Save(DataFileStem());
}

int MainWindow::AskToSaveAgain(QString const& i_reason)
{
    QMessageBox l_box(QMessageBox::Warning, tr("Data Not Saved"),
                      tr("The changes since the last save (settings, the user list, the download queue) could not "
                         "be saved: %1\n\nFree some space and try again, or quit and lose them.")
                          .arg(i_reason),
                      QMessageBox::Retry | QMessageBox::Discard);
    l_box.setTextFormat(Qt::PlainText);
    l_box.button(QMessageBox::Retry)->setText(tr("Try Again"));
    l_box.button(QMessageBox::Discard)->setText(tr("Quit Anyway"));
    l_box.setDefaultButton(QMessageBox::Retry);
    return l_box.exec();
}

bool MainWindow::SaveAtExit()
{
    while (!SaveData()) {
        if (g_showIsOver || !dataSaver)
            return false;
        // The session's changes (a user just added to the list) are lost if
        // the program ends now; the log may be on the disk that filled up,
        // so the terminal is told too.
        QString const l_reason = dataSaver->LastFailure();
        FlushLog();
        std::fprintf(stderr, "Quillmar: the data could not be saved: %s\n", qPrintable(l_reason));
        // Ended by a signal (the system shutting down, a service stopped):
        // nobody may be there to answer, and the program must not hang.
        if (TerminationRequested() || AskToSaveAgain(l_reason) != QMessageBox::Retry) {
            Log(DataSaver::LogCategory(), 1, QStringLiteral("Quit without saving the data: %1").arg(l_reason));
            FlushLog();
            std::fprintf(stderr, "Quillmar: quit without saving the data.\n");
            return false;
        }
    }
    return true;
}

void MainWindow::OnClearSizeSettingsButtonClicked()
{
    SetSetting("reset_size_settings", QStringLiteral("yes"));
    ShowInformation(tr("Reset Size Settings"), tr("Size settings will be reset the next time you run the client."));
}

MainWindow::~MainWindow()
{
    m_closing = true;
    if (sizeManager && IsSettingYes("reset_size_settings")) {
        sizeManager->ClearSizeSettings();
        d["global"]->HasItem(Value("reset_size_settings")).Remove();
    }
    // Folders still being queued for closed browse tabs are queued now,
    // so that the save holds them.
    ShareTree::FinishCommandsHandedOver();
    SaveAtExit();
    // A collection in slices, and the hourly save waiting for it, are
    // dropped: the save above collected the store.
    StoreCollector::Destroy();
    g_showIsOver = true;
    if (gp_server)
        gp_server->Disconnect();
    // The transfer and scan threads are stopped and waited for here.
    delete transferQueueManager;
    delete sharedFoldersManager;
    delete delayedInvoker;
    delete dnetManager;
    delete peerMessenger;
    delete mp_server;
    mp_server = nullptr;
    delete dataSaver;
    TimerManager::Destroy();
    SetMainWindowHooks(MainWindowHooks());
    SetDiagnosticsToolBarHook(nullptr);
    delete mp_ui;
    mp_ui = nullptr;
    delete sizeManager;
    if (mainWindow == this)
        mainWindow = nullptr;
}

// ---------------------------------------------------------------- geometry

int MainWindow::SizeProxy::GetX()
{
    return mainWindow->geometry().x();
}

int MainWindow::SizeProxy::GetY()
{
    return mainWindow->geometry().y();
}

int MainWindow::SizeProxy::GetWidth()
{
    return mainWindow->geometry().width();
}

int MainWindow::SizeProxy::GetHeight()
{
    return mainWindow->geometry().height();
}

void MainWindow::SizeProxy::SetPosition(int i_x, int i_y)
{
    QRect const l_wanted(i_x, i_y, GetWidth(), GetHeight());
    // A position from another screen layout (or a hostile file) that would
    // put the window out of sight is not taken.
    QScreen const* lp_screen = mainWindow->screen();
    if (lp_screen && !lp_screen->availableVirtualGeometry().intersects(l_wanted))
        return;
    mainWindow->setGeometry(l_wanted);
}

void MainWindow::SizeProxy::SetSize(int i_width, int i_height)
{
    if (i_width <= 0 || i_height <= 0)
        return;
    if (QScreen const* lp_screen = mainWindow->screen()) {
        QSize const l_room = lp_screen->availableVirtualSize();
        i_width = qMin(i_width, l_room.width());
        i_height = qMin(i_height, l_room.height());
    }
    mainWindow->setGeometry(GetX(), GetY(), i_width, i_height);
}

void MainWindow::resizeEvent(QResizeEvent* ip_event)
{
    QMainWindow::resizeEvent(ip_event);
    if (!isMaximized())
        emit m_sizeProxy.WindowResized(ip_event->size().width(), ip_event->size().height());
}

void MainWindow::moveEvent(QMoveEvent* ip_event)
{
    QMainWindow::moveEvent(ip_event);
    // The client area's position, as GetX() reports and SetPosition() takes
    // it: the event's position includes the frame, and restoring it would
    // move the window by the frame's width at every start.
    if (!isMaximized())
        emit m_sizeProxy.WindowMoved(geometry().x(), geometry().y());
}

// ------------------------------------------------ connection state and tray

void MainWindow::ResetApplicationIcon()
{
    if (!gp_server || !gp_server->IsConnected())
        SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    else if (AwayManager::Obj()->IsAway())
        SetApplicationIcon(QStringLiteral(":/icons/away_icon"));
    else
        SetApplicationIcon(QStringLiteral(":/icons/online_icon"));
}

void MainWindow::PopupAlert(QString const& i_text)
{
    // The text may hold what other users wrote, and a desktop's notification
    // service may read the balloon's body as markup (images included):
    // escaped, it reads as typed.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon.showMessage(QString(), i_text.toHtmlEscaped(), QSystemTrayIcon::Information, 10000);
}

void MainWindow::SetConnectActionText(QString const& i_text)
{
    actionBar->SetWidgetActionText(mp_ui->loginOptionsTab, QStringLiteral("connect_disconnect"), i_text);
}

void MainWindow::ShowConnectionState()
{
    if (actionBar)
        actionBar->ShowConnectionState();
    if (!gp_server)
        return;
    QString const l_server = ServerAddressText();
    QString const l_user = GetSetting("username");
    QString l_text;
    if (gp_server->IsConnected())
        l_text = tr("Connected to %1 as %2").arg(Isolated(l_server), Isolated(l_user));
    else if (gp_server->GetState() == Server::STATE_CONNECTING)
        l_text = tr("Connecting to %1 as %2...").arg(Isolated(l_server), Isolated(l_user));
    else if (l_user.isEmpty())
        l_text = tr("Offline: no user name (Options, Login)");
    else if (gp_server->IsRetrying())
        l_text = tr("Offline (%1): trying %2 again every half minute").arg(Isolated(l_user), Isolated(l_server));
    else
        l_text = tr("Offline (%1)").arg(Isolated(l_user));
    mp_connectionState->setText(l_text);
}

void MainWindow::OnConnecting()
{
    SetConnectActionText(tr("Connecting..."));
    ShowConnectionState();
}

void MainWindow::OnConnected()
{
    SetConnectActionText(tr("Disconnect"));
    ResetApplicationIcon();
    ShowConnectionState();
    gp_server->GetOwnPrivilegesStatus();
}

void MainWindow::OnDisconnected()
{
    SetConnectActionText(tr("Connect"));
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    ShowConnectionState();
}

void MainWindow::OnConnectionFailed(QString i_reason)
{
    // Said before any box, which waits for the user.
    SetConnectActionText(tr("Connect"));
    ShowConnectionState();
    // Quitting: the user is asked about the exit save, if anything, and
    // a second box would stand over that question, to be answered before
    // the program can end.
    if (m_closing)
        return;
    if (i_reason == QLatin1String("INVALIDPASS"))
        ShowInformation(tr("Login Failure: Wrong Password"),
                        tr("Login failed. The password you supplied does not match your username. Please change "
                           "your login settings in the Options tab and try reconnecting."));
    else if (i_reason == QLatin1String("INVALIDUSERNAME"))
        ShowInformation(tr("Login Failure: Username is Invalid"),
                        tr("Login failed. The username you supplied is invalid. Please change your login settings "
                           "in the Options tab and try reconnecting."));
    else if (gp_server->IsAbruptlyDisconnected())
        return;
    // Nothing in the login settings can mend an unreachable server: the
    // text says what can.
    else if (i_reason == QLatin1String("socket error"))
        ShowInformation(tr("Login Failure"),
                        tr("Could not reach the server at %1 (%2). Check that the server is running there, or "
                           "start the client with --server HOST:PORT to use another server. The client tries "
                           "again every half minute.")
                            .arg(Isolated(ServerAddressText()),
                                 gp_server->LastSocketError().isEmpty() ? i_reason : gp_server->LastSocketError()));
    else
        ShowInformation(tr("Login Failure"),
                        tr("Login failed. Reported failure reason: %1. Please change your login settings in the "
                           "Options tab and try reconnecting.")
                            .arg(Isolated(i_reason)));
}

void MainWindow::OnLoggedInElsewhere()
{
    QMessageBox l_box(QMessageBox::NoIcon, tr("Logged In Elsewhere"),
                      tr("Your Quillmar account was used to log in elsewhere."), QMessageBox::NoButton);
    l_box.setWindowFlags(l_box.windowFlags() | Qt::WindowStaysOnTopHint);
    l_box.exec();
}

void MainWindow::OnAdminMessage(QString i_message)
{
    // A window for each message would let a server open windows without end.
    if (mp_adminMessages)
        return mp_adminMessages->AddMessage(i_message);
    mp_adminMessages = new AdminMessageDialog(i_message, this);
    mp_adminMessages->setWindowFlags(mp_adminMessages->windowFlags() | Qt::WindowStaysOnTopHint);
    mp_adminMessages->show();
}

void MainWindow::OnPrivateChat(QString i_user, QString i_chat, time_t, bool)
{
    // The line is stamped when it is shown; no tab or focus changes.
    chatsForm->AddIncomingChat(i_user, i_chat);
}

void MainWindow::OnNewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description)
{
    NewVersionDialog* lp_dialog = new NewVersionDialog(i_version, i_downloadLink, i_description, this);
    lp_dialog->setWindowFlags(lp_dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    lp_dialog->show();
}

void MainWindow::OnUsernameChanged(Item i_setting)
{
    QString const l_name = i_setting["global_value"].AsString();
    mp_ui->usernameEdit->setText(l_name);
    setWindowTitle(BuildTitle(g_currentVersion, l_name));
    ShowConnectionState();
}

void MainWindow::changeEvent(QEvent* ip_event)
{
    QMainWindow::changeEvent(ip_event);
    // A minimised window keeps the state it had before, which the tray
    // icon's click gives back.
    if (ip_event->type() == QEvent::WindowStateChange && !isMinimized())
        m_wasMaximized = isMaximized();
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason)
{
    if (i_reason != QSystemTrayIcon::Trigger)
        return;
    if (m_wasMaximized)
        showMaximized();
    else
        showNormal();
    activateWindow();
}

void MainWindow::OnShowAwayStatusClicked(bool i_checked)
{
    SetSwitch("show_away_status_in_application_icon", i_checked);
    ResetApplicationIcon();
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool i_toggled)
{
    SetSwitch("minimize_to_tray", i_toggled);
    m_trayIcon.setVisible(i_toggled);
}

void MainWindow::OnAutoAwayOnIdleClicked(bool i_checked)
{
    AwayManager::Obj()->SetAutoAwayOnIdle(i_checked);
}
