#ifndef QUILLMAR_APP_MAINWINDOW_H
#define QUILLMAR_APP_MAINWINDOW_H

#include "ui/widgets/SizeManager.h"
#include "app/UpdateChecker.h"
#include "store/Event.h"

#include <QMainWindow>
#include <QPalette>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>

#include <ctime>

class AdminMessageDialog;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTimer;
class QTreeWidgetItem;
class Server;
class Ui_MainWindow;
struct ConnectionInfo;
class Item;

// The program's one window: the tab row with the pages, the option pages
// and the tool bars. Init() builds the managers in their fixed order and
// loads the saved data; the destructor saves and shuts everything down.
class MainWindow : public QMainWindow, public DataHandler
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    // The server to log in to from now on (the program's --server), taken
    // into "server_address" once the saved data is loaded. Before Init.
    void SetServerAddress(QString const& i_address) { m_serverAddress = i_address; }

    void Init();

    // Garbage-collects the store and writes the data file; does nothing once
    // shutdown has begun. True when the data reached the disk.
    bool SaveData();
    // The save made as the program ends. A failure is told before the end:
    // written to the log and to the terminal, and asked about, with the
    // choice to try again (once the user made room) or to quit anyway.
    // False when the user let the changes go.
    bool SaveAtExit();

    void ResetApplicationIcon();
    void PopupAlert(QString const& i_text);

    Ui_MainWindow* Form() const { return mp_ui; }
    QSystemTrayIcon& TrayIcon() { return m_trayIcon; }
    UpdateChecker& GetUpdateChecker() { return m_updateChecker; }
    // The stem of the data files in the home folder.
    static QString DataFileStem();
    // The window title for a build date given as YYYYMMDD, with the user
    // name in brackets when there is one.
    static QString BuildTitle(qint64 i_version, QString const& i_username = QString());

    // The main window's own geometry for the size manager.
    class SizeProxy : public ResizableWindow
    {
    public:
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int i_x, int i_y) override;
        void SetSize(int i_width, int i_height) override;
    };

public slots:
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);
    void EveryHalfMinute() {}
    void EveryFiveMinutes();
    void EveryHour();

    // Connection state, alerts and tray.
    void OnConnecting();
    void OnConnected();
    void OnDisconnected();
    void OnConnectionFailed(QString i_reason);
    void OnLoggedInElsewhere();
    void OnAdminMessage(QString i_message);
    void OnPrivateChat(QString i_user, QString i_chat, time_t i_time, bool i_spontaneous);
    void OnNewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description);
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason);
    void OnShowAwayStatusClicked(bool i_checked);
    void OnMinimizeToTrayCheckboxToggled(bool i_toggled);
    void OnAutoAwayOnIdleClicked(bool i_checked);

    // Shared folders and the main window's commands.
    void OnSharedFoldersListContextMenuRequested(QPoint i_point);
    void OnSetFolderPermissions();
    void OnUnshareFolder();
    void OnSharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    void OnDownloadAlreadyComplete(Item i_entry);
    void OnDownloadLocalError(Item i_entry, QString i_reason);
    void OnOptionsTabSelectionChanged(int i_tabIndex);
    void OnEditExcludedDownloadExtensionsClicked();
    void OnSelectColors();
    void OnCheckPortsClicked();
    void OnImportUserListClicked();
    void OnDataShortcutActivated();
    void OnChangeUsernamePasswordClicked();
    void OnDisconnectClicked();

    // Option pages: switches.
    void OnUPnPCheckboxToggled(bool i_toggled);
    void OnShowDiagnosticsCheckboxToggled(bool i_toggled);

    // Option pages: numbers, choices and texts.
    void OnMaxUploadsPerUserSpinBoxValueChanged(int i_value);
    void OnMaxMBPerUserSpinBoxValueChanged(int i_value);
    void OnChatTimestampsBoxIndexChanged(int i_index);
    void OnFirstOpenTabBoxIndexChanged(int i_index);
    void OnCodePageSelected(int i_index);
    void OnSaveEmptyShareWarningMessageButtonClicked();
    void OnEmptyShareWarningEditEdited(QString i_text);
    void OnUserInfoTextChanged();
    void OnSelectPictureClicked();
    void OnClearPictureClicked();
    void OnSelectApplicationFontClicked();
    void OnDefaultFontClicked();
    void ResetColorSettings();
    void OnClearSearchHistoryClicked();
    void OnClearSizeSettingsButtonClicked();

protected:
    void resizeEvent(QResizeEvent* ip_event) override;
    void moveEvent(QMoveEvent* ip_event) override;
    void changeEvent(QEvent* ip_event) override;

private:
    // The question after a failed exit save: QMessageBox::Retry or Discard.
    int AskToSaveAgain(QString const& i_reason);
    // Store observers.
    void OnSharedFolderAdded(Item i_folder);
    void OnSharedFolderRemoved(Item i_folder);
    void OnSharedFolderChange(ConnectionInfo& i_info);
    void OnUsernameChanged(Item i_setting);
    void OnNewListeningPortChanged(Item i_setting);
    void OnObfuscatedPortSet(Item i_setting);
    void OnExcludedDownloadExtensionAdded(Item i_item);
    void OnExcludedDownloadExtensionRemoved(Item i_item);
    void OnColorSettingChanged(Item i_setting);

    void OnHourlySaveDone(bool i_saved);
    void AddToolBarSets();
    void LoadData();
    void RunFirstRunDialogs();
    void DeclareShellTypes();
    void WriteSettingDefaults();
    void ApplyFont();
    void FillOptionWidgets();
    void ConnectOptionWidgets();
    void ShowFirstOpenTab();
    void SubscribeToSetting(char const* ip_key, PathNodeRelation i_relation, void (MainWindow::*ip_handler)(Item));
    QTreeWidgetItem* SharedFolderRow(Item const& i_folder) const;
    // The folder of the first selected row of the shared-folder list.
    Item SelectedSharedFolder() const;
    void SelectSoundFile(char const* ip_kind, QLineEdit* ip_edit);
    void ClearSoundFile(char const* ip_kind, QLineEdit* ip_edit);
    void SetConnectActionText(QString const& i_text);
    // The status bar and the tool bar's status button: connected,
    // connecting or offline, and as whom.
    void ShowConnectionState();
    void SetDiagnosticsTabShown(bool i_shown);
    void ShowObfuscatedPort(QString const& i_port);
    void ShowExcludedExtensions(Item const& i_leaving);
    // A box with one OK button whose text is never taken as rich text.
    void ShowInformation(QString const& i_title, QString const& i_text);

    Ui_MainWindow* mp_ui = nullptr;
    Server* mp_server = nullptr;
    QLabel* mp_connectionState = nullptr;
    // Every administrator's message goes to the one dialog while it is open.
    QPointer<AdminMessageDialog> mp_adminMessages;
    QString m_serverAddress;
    SizeProxy m_sizeProxy;
    QSystemTrayIcon m_trayIcon;
    UpdateChecker m_updateChecker;
    // Whether the window was maximised before it was minimised: a click on
    // the tray icon gives that state back.
    bool m_wasMaximized = false;
    // Set as the window goes: a login that fails while the exit save asks
    // about the disk shows no box of its own over that question.
    bool m_closing = false;
    // A failed hourly save is shown and tried again.
    static constexpr int SAVE_RETRY_MS = 60 * 1000;
    QTimer* mp_saveRetry = nullptr;
    QString m_saveFailure;
};

extern MainWindow* mainWindow;
// The application palette as the desktop gave it, before any colour setting.
extern QPalette defaultPalette;

#endif
