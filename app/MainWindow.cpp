#include "app/MainWindow.h"

#include "app/ActionSetToolBar.h"
#include "app/Globals.h"
#include "app/TabWidget.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/windows/DiagnosticsForm.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/WishListSearcher.h"
#include "shares/SharedFoldersManager.h"

#include "ui/users/UserNoteDialog.h"
#include "ui_MainWindow.h"

#include <QDir>
#include <QMessageBox>

MainWindow* mainWindow = nullptr;

namespace {

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

} // namespace

MainWindow::MainWindow(QWidget* ip_parent)
    : QMainWindow(ip_parent, Qt::WindowFlags())
{
    mp_ui = new Ui_MainWindow;
    // The pages may reach the main window while the form builds them.
    mainWindow = this;
    mp_ui->setupUi(this);

    MainWindowHooks l_hooks;
    l_hooks.m_setIcon = [this](QIcon const& i_icon) { SetOwnIcon(i_icon); };
    SetMainWindowHooks(l_hooks);
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    mp_ui->sharedFoldersList->setColumnWidth(0, 400);
    mp_ui->sharedFoldersList->setHeaderLabels(QStringList({tr("Shared folder"), tr("Accessible to")}));
    g_currentVersion = VersionFromBuildDate(QStringLiteral(__DATE__));
}

QString MainWindow::BuildTitle(qint64 i_version)
{
    return QStringLiteral("QuillmarQt build %3.%1.%2")
        .arg(i_version / 100 % 100)
        .arg(i_version % 100)
        .arg(i_version / 10000);
}

QString MainWindow::DataFileStem()
{
    return QDir::homePath() + QStringLiteral("/.Quillmar");
}

void MainWindow::SetOwnIcon(QIcon const& i_icon)
{
    setWindowIcon(i_icon);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon.setIcon(i_icon);
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

    actionBar->Init();
    AddToolBarSets();
    connect(mp_ui->mainToolBar, &ActionSetToolBar::ActionTriggered, this, &MainWindow::OnToolBarActionTriggered);

    // Each manager declares its store types here, before the load, so that
    // the saved data finds them.
    new PeerMessenger();
    new DelayedInvoker();
    // No scan yet: the saved folders are scanned once they are loaded.
    new SharedFoldersManager(this);

    SetDiagnosticsToolBarHook(AddDiagnosticsToolBarSet);
    new DiagnosticsForm();
    diagnosticsForm->Init();
    diagnosticsForm->RegisterLoggableItemType("user");

    mp_ui->transfersForm->Init();
    mp_ui->sharesForm->Init();
    mp_ui->searchForm->Init();
    new WishListSearcher(this);

    setContextMenuPolicy(Qt::NoContextMenu);

    new ExtendedAsciiTranslator();
    mp_ui->userListForm->Init();

    QString const l_stem = DataFileStem();
    Log("Configuration Data", 1, QStringLiteral("Loading configuration data from %1").arg(l_stem));
    try {
        dataSaver->Load(l_stem);
        Log("Configuration Data", 1, QStringLiteral("Data loaded successfully."));
    } catch (DataLoadFailure const&) {
        Log("Configuration Data", 1, QStringLiteral("Failure to load configuration data."));
        QMessageBox::information(this, tr("Error loading configuration data"),
                                 tr("Your client configuration data could not be loaded. Starting from scratch..."),
                                 QMessageBox::Ok);
    }
    g_dataLoaded = true;

    if (IsSettingYes("show_diagnostics"))
        mp_ui->tabControl->addTab(diagnosticsForm, tr("Diagnostics"));
    mp_ui->roomsForm->Init();
    SetSetting("data_version", QStringLiteral("1"));

    if (!GetSetting("username").isEmpty())
        gp_server->Connect();

    connect(&TimerManager::Obj()->m_hourTimer, &QTimer::timeout, this, &MainWindow::EveryHour);
    UserNoteDialog::Init();
    activateWindow();
    sharedFoldersManager->Init();
    RegisterWidgetForTabFocus(mp_ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(mp_ui->sharedFoldersList, 1);
    mp_ui->chatsForm->Init();
    actionBar->AddSetAction("chat_log", "clear_chat_log", "Clear Log", ":/icons/empty_note_icon", false);
    actionBar->AddSetAction("chat_log", "open_log_folder", "Open Log Folder", ":/icons/browse_icon", false);
    actionBar->AddSetAction("user_chat", "user_chat_log", "Chat Log", ":/icons/note_icon", false);
}

void MainWindow::AddToolBarSets()
{
    struct SetAction
    {
        char const* mp_set;
        char const* mp_id;
        char const* mp_text;
        char const* mp_icon;
        bool m_needsListSelection;
    };
    static SetAction const s_actions[] = {
        {"shared_folders", "set_download_folder", "Set Download Folder", ":/icons/browse_icon", false},
        {"shared_folders", "share_folder", "Share Folder", ":/icons/browse_icon", false},
        {"shared_folders", "rescan_shares", "Rescan Shares", ":/icons/browse_icon", false},
        {"login_options", "connect_disconnect", "Connect", ":icons/online_icon", false},
        {"login_options", "set_user_pass", "Change Username/Password", ":icons/online_icon", false},
        {"login_options", "set_listening_port", "Change Listening Port", ":icons/online_icon", false},
        {"user", "message_user", "Message User", ":/icons/chat_icon", true},
        {"user", "browse_user", "Browse User's Files", ":/icons/browse_icon", true},
        {"user", "add_user", "Add User", ":/icons/add_user_icon", true},
    };
    for (SetAction const& l_action : s_actions)
        actionBar->AddSetAction(l_action.mp_set, l_action.mp_id, l_action.mp_text, l_action.mp_icon,
                                l_action.m_needsListSelection);
    actionBar->RegisterWidget(mp_ui->fileSharingOptionsTab, "shared_folders");
    actionBar->RegisterWidget(mp_ui->loginOptionsTab, "login_options");
}

void MainWindow::OnToolBarActionTriggered(QWidget*, QString)
{
    // The main window's own commands (shares, login, users) come with the
    // option pages' behaviour.
}

void MainWindow::EveryHour()
{
    SaveData();
}

bool MainWindow::SaveData()
{
    if (g_showIsOver || !dataSaver)
        return false;
    d.RemoveDisconnectedItems();
    return dataSaver->Save(DataFileStem());
}

MainWindow::~MainWindow()
{
    SaveData();
    g_showIsOver = true;
    if (gp_server)
        gp_server->Disconnect();
    // The scan thread is stopped and waited for here.
    delete sharedFoldersManager;
    delete delayedInvoker;
    delete peerMessenger;
    delete mp_server;
    mp_server = nullptr;
    delete dataSaver;
    TimerManager::Destroy();
    SetMainWindowHooks(MainWindowHooks());
    SetDiagnosticsToolBarHook(nullptr);
    delete mp_ui;
    if (mainWindow == this)
        mainWindow = nullptr;
}
