// The option pages: every control stores its setting the moment it changes,
// and shows it again at the next start.

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/EventToolBar.h"
#include "app/MainWindow.h"
#include "store/windows/DiagnosticsForm.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Settings.h"

#include "peers/PortForwarder.h"
#include "server/AwayManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui/transfers/TransfersForm.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFontDialog>

namespace {

// The positions of the two choice boxes and the texts they store.
char const* const s_chatTimestamps[] = {"activity_based", "per_message_short", "per_message_long",
                                        "no_timestamps"};
char const* const s_firstOpenTabs[] = {"transfers", "rooms", "search", "users"};
// The main page each "first_open_tab" choice shows.
int const s_firstOpenPages[] = {0, 1, 3, 4};

// The position of a stored choice; the last one for any other text.
int ChoicePosition(char const* const (&i_choices)[4], QString const& i_text, bool i_otherIsLast)
{
    for (int l_position = 0; l_position < 4; ++l_position)
        if (i_text == QLatin1String(i_choices[l_position]))
            return l_position;
    return i_otherIsLast ? 3 : -1;
}

} // namespace

// Steps of the start-up before the load: the controls whose slots must see
// the loaded values are connected now.
void MainWindow::ConnectOptionWidgets()
{
    Ui_MainWindow* lp_ui = mp_ui;
    // Without keyboard tracking a typed "25" arrives as 25, not first as a
    // "2" that the minimum rule would raise.
    lp_ui->maxUploadsPerUserSpinBox->setKeyboardTracking(false);
    lp_ui->maxMBPerUserSpinBox->setKeyboardTracking(false);
    connect(lp_ui->maxUploadsPerUserSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged);
    connect(lp_ui->maxMBPerUserSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::OnMaxMBPerUserSpinBoxValueChanged);
}

// Steps after the load: every control shows its setting, then is connected.
// Check boxes are connected through clicked(), or through toggled() only
// after they are filled, so filling them writes nothing back.
void MainWindow::FillOptionWidgets()
{
    Ui_MainWindow* lp_ui = mp_ui;
    struct Switch
    {
        QCheckBox* mp_box;
        char const* mp_key;
        // A slot that does more than store the setting; null for a box
        // that only stores it.
        void (MainWindow::*mp_slot)(bool);
        // Connected through toggled() rather than clicked().
        bool m_toggled = false;
    };
    Switch const l_switches[] = {
        {lp_ui->uPnPCheckBox, "use_upnp", &MainWindow::OnUPnPCheckboxToggled, true},
        {lp_ui->NATPMPCheckBox, "use_natpmp", nullptr, true},
        {lp_ui->autoExpandSharesCheckBox, "expand_new_shares", nullptr},
        {lp_ui->useOldStyleSearchResultsCheckBox, "use_old_style_search_results", nullptr},
        {lp_ui->showDiagnosticsCheckBox, "show_diagnostics", &MainWindow::OnShowDiagnosticsCheckboxToggled},
        {lp_ui->dontDownloadSingleFilesIntoSubfolders, "dont_create_subfolders_for_single_downloads", nullptr},
        {lp_ui->dontSplitDownloadsCheckBox, "dont_split_downloads", nullptr},
        {lp_ui->minimizeToTrayCheckBox, "minimize_to_tray", &MainWindow::OnMinimizeToTrayCheckboxToggled},
        {lp_ui->logRoomChatCheckBox, "log_room_chat", nullptr},
        {lp_ui->logPrivateChatCheckBox, "log_private_chat", nullptr},
        {lp_ui->emptyShareWarningCheckBox, "check_for_empty_shares", nullptr},
        {lp_ui->acceptUserListUploadsCheckBox, "accept_userlist_uploads", nullptr, true},
        {lp_ui->showAwayStatusCheckBox, "show_away_status_in_application_icon", &MainWindow::OnShowAwayStatusClicked},
        {lp_ui->userLevelLoggingCheckBox, "user_level_logging", nullptr},
        {lp_ui->openGroupsOnUserAddCheckBox, "open_groups_on_user_add", nullptr},
        {lp_ui->showEventButtonsCheckBox, "show_event_buttons", nullptr},
        {lp_ui->downloadFoldersOnDoubleClickCheckBox, "download_folders_on_double_click", nullptr},
        {lp_ui->maxUploadsPerUserCheckBox, "max_queued_uploads_per_user_enabled", nullptr},
        {lp_ui->maxMBPerUserCheckBox, "max_queued_mb_per_user_enabled", nullptr},
    };
    for (Switch const& l_switch : l_switches) {
        l_switch.mp_box->setChecked(IsSettingYes(l_switch.mp_key));
        auto const lp_signal = l_switch.m_toggled ? &QCheckBox::toggled : &QCheckBox::clicked;
        if (l_switch.mp_slot)
            connect(l_switch.mp_box, lp_signal, this, l_switch.mp_slot);
        else
            connect(l_switch.mp_box, lp_signal, this,
                    [l_key = l_switch.mp_key](bool i_checked) { SetSwitch(l_key, i_checked); });
    }
    lp_ui->downloadFolderEdit->setText(GetSetting("download_folder"));
    lp_ui->autoAwayOnIdleCheckBox->setChecked(AwayManager::Obj()->IsAutoAwayOnIdle());
    connect(lp_ui->autoAwayOnIdleCheckBox, &QCheckBox::clicked, this, &MainWindow::OnAutoAwayOnIdleClicked);
    connect(lp_ui->selectColorsButton, &QPushButton::clicked, this, &MainWindow::OnSelectColors);
    m_trayIcon.setVisible(IsSettingYes("minimize_to_tray"));

    lp_ui->listeningPortEdit->setText(GetSetting("listening_port"));
    SubscribeToSetting("new_listening_port", PATH_CONNECTED_FIRES, &MainWindow::OnNewListeningPortChanged);
    connect(lp_ui->chatTimestampsBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnChatTimestampsBoxIndexChanged);
    lp_ui->chatTimestampsBox->setCurrentIndex(ChoicePosition(s_chatTimestamps, GetSetting("chat_timestamps"), true));
    ShowFirstOpenTab();
    connect(lp_ui->firstOpenTabBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnFirstOpenTabBoxIndexChanged);

    lp_ui->emptyShareWarningEdit->setText(GetSetting("empty_share_message"));
    lp_ui->emptyShareWarningEdit->setCursorPosition(0);
    connect(lp_ui->emptyShareWarningEdit, &QLineEdit::textEdited, this, &MainWindow::OnEmptyShareWarningEditEdited);
    connect(lp_ui->saveEmptyShareWarningMessageButton, &QPushButton::clicked, this,
            &MainWindow::OnSaveEmptyShareWarningMessageButtonClicked);

    // Connected before the load, so a stored number below the minimum is
    // raised (and stored) here.
    lp_ui->maxUploadsPerUserSpinBox->setValue(GetSettingInt("max_queued_uploads_per_user"));
    lp_ui->maxMBPerUserSpinBox->setValue(GetSettingInt("max_queued_mb_per_user"));
    lp_ui->sharedFoldersList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lp_ui->sharedFoldersList, &QTreeWidget::customContextMenuRequested, this,
            &MainWindow::OnSharedFoldersListContextMenuRequested);
    lp_ui->userPictureFilenameEdit->setText(GetSetting("user_picture_file"));
    lp_ui->userDescriptionEdit->setPlainText(GetSetting("user_description"));

    struct Sound
    {
        char const* mp_kind;
        QLineEdit* mp_edit;
        QPushButton* mp_select;
        QPushButton* mp_clear;
    };
    Sound const l_sounds[] = {
        {"default", lp_ui->defaultSoundEdit, lp_ui->defaultSoundSelectFileButton, lp_ui->defaultSoundClearButton},
        {"private_chat", lp_ui->privateChatSoundEdit, lp_ui->privateChatSoundSelectFileButton,
         lp_ui->privateChatSoundClearButton},
        {"room_chat", lp_ui->roomChatSoundEdit, lp_ui->roomChatSoundSelectFileButton, lp_ui->roomChatSoundClearButton},
        {"wishlist", lp_ui->wishlistResultsSoundEdit, lp_ui->wishlistResultsSoundSelectFileButton,
         lp_ui->wishlistResultsSoundClearButton},
        {"browse", lp_ui->shareBrowseSoundEdit, lp_ui->shareBrowseSoundSelectFileButton,
         lp_ui->shareBrowseSoundClearButton},
        {"download", lp_ui->downloadAlertSoundEdit, lp_ui->downloadAlertSoundSelectFileButton,
         lp_ui->downloadAlertSoundClearButton},
        {"user_online", lp_ui->userOnlineAlertSoundEdit, lp_ui->userOnlineAlertSoundSelectFileButton,
         lp_ui->userOnlineAlertSoundClearButton},
        {"user_info", lp_ui->userInfoSoundEdit, lp_ui->userInfoSoundSelectFileButton, lp_ui->userInfoSoundClearButton},
    };
    for (Sound const& l_sound : l_sounds)
        l_sound.mp_edit->setText(d["event_sound"]->HasItem(Value(l_sound.mp_kind))["event_sound_file"].AsString());

    connect(lp_ui->optionsTabControl, &QTabWidget::currentChanged, this, &MainWindow::OnOptionsTabSelectionChanged);
    connect(lp_ui->selectPictureButton, &QPushButton::clicked, this, &MainWindow::OnSelectPictureClicked);
    connect(lp_ui->userDescriptionEdit, &QPlainTextEdit::textChanged, this, &MainWindow::OnUserInfoTextChanged);
    connect(lp_ui->clearPictureButton, &QPushButton::clicked, this, &MainWindow::OnClearPictureClicked);
    connect(lp_ui->checkPortsButton, &QPushButton::clicked, this, &MainWindow::OnCheckPortsClicked);
    connect(lp_ui->editExcludedExtensionsButton, &QPushButton::clicked, this,
            &MainWindow::OnEditExcludedDownloadExtensionsClicked);
    connect(lp_ui->importUserListButton, &QPushButton::clicked, this, &MainWindow::OnImportUserListClicked);
    for (Sound const& l_sound : l_sounds) {
        connect(l_sound.mp_select, &QPushButton::clicked, this,
                [this, l_sound]() { SelectSoundFile(l_sound.mp_kind, l_sound.mp_edit); });
        connect(l_sound.mp_clear, &QPushButton::clicked, this,
                [this, l_sound]() { ClearSoundFile(l_sound.mp_kind, l_sound.mp_edit); });
    }
    connect(lp_ui->selectApplicationFontButton, &QPushButton::clicked, this,
            &MainWindow::OnSelectApplicationFontClicked);
    connect(lp_ui->defaultFontButton, &QPushButton::clicked, this, &MainWindow::OnDefaultFontClicked);
    connect(lp_ui->clearSearchHistoryButton, &QPushButton::clicked, this, &MainWindow::OnClearSearchHistoryClicked);
    connect(lp_ui->clearSizeSettingsButton, &QPushButton::clicked, this,
            &MainWindow::OnClearSizeSettingsButtonClicked);
}

void MainWindow::ShowFirstOpenTab()
{
    // Any other text leaves the page the form opens (the rooms page).
    int const l_position = ChoicePosition(s_firstOpenTabs, GetSetting("first_open_tab"), false);
    if (l_position < 0)
        return;
    mp_ui->firstOpenTabBox->setCurrentIndex(l_position);
    mp_ui->tabControl->setCurrentIndex(s_firstOpenPages[l_position]);
}

// ---------------------------------------------------------------- switches

void MainWindow::OnUPnPCheckboxToggled(bool i_toggled)
{
    SetSwitch("use_upnp", i_toggled);
    if (i_toggled && portForwarder)
        portForwarder->InitUPnP();
}

void MainWindow::OnShowDiagnosticsCheckboxToggled(bool i_toggled)
{
    SetSwitch("show_diagnostics", i_toggled);
    SetDiagnosticsTabShown(i_toggled);
}

void MainWindow::SetDiagnosticsTabShown(bool i_shown)
{
    if (!diagnosticsForm)
        return;
    int const l_index = mp_ui->tabControl->indexOf(diagnosticsForm);
    // Its "Timer Test" tab says, once a second, how late the event loop
    // serves a one-second timer (nothing is logged while the page is off).
    if (i_shown && transferQueueManager)
        transferQueueManager->StartTimerTest();
    if (i_shown && l_index < 0)
        mp_ui->tabControl->addTab(diagnosticsForm, tr("Diagnostics"));
    else if (!i_shown && l_index >= 0)
        mp_ui->tabControl->removeTab(l_index);
}

// ------------------------------------------------- numbers, choices, texts

void MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged(int i_value)
{
    // Raising the box runs this slot again with the minimum, which stores it.
    if (i_value < 10)
        mp_ui->maxUploadsPerUserSpinBox->setValue(10);
    else
        SetSetting("max_queued_uploads_per_user", qint64(i_value));
}

void MainWindow::OnMaxMBPerUserSpinBoxValueChanged(int i_value)
{
    if (i_value < 50)
        mp_ui->maxMBPerUserSpinBox->setValue(50);
    else
        SetSetting("max_queued_mb_per_user", qint64(i_value));
}

void MainWindow::OnChatTimestampsBoxIndexChanged(int i_index)
{
    SetSetting("chat_timestamps", QString::fromLatin1(s_chatTimestamps[i_index >= 0 && i_index < 3 ? i_index : 3]));
}

void MainWindow::OnFirstOpenTabBoxIndexChanged(int i_index)
{
    SetSetting("first_open_tab", QString::fromLatin1(s_firstOpenTabs[i_index >= 0 && i_index < 3 ? i_index : 3]));
}

void MainWindow::OnCodePageSelected(int i_index)
{
    if (!extendedAsciiTranslator)
        return;
    extendedAsciiTranslator->SetCodePage(i_index <= 0 ? std::string()
                                                      : mp_ui->codePageBox->itemText(i_index).toStdString());
}

void MainWindow::OnSaveEmptyShareWarningMessageButtonClicked()
{
    SetSetting("empty_share_message", mp_ui->emptyShareWarningEdit->text());
    mp_ui->emptyShareWarningEdit->setCursorPosition(0);
    mp_ui->saveEmptyShareWarningMessageButton->setEnabled(false);
}

void MainWindow::OnEmptyShareWarningEditEdited(QString i_text)
{
    mp_ui->saveEmptyShareWarningMessageButton->setEnabled(!i_text.trimmed().isEmpty());
}

void MainWindow::OnUserInfoTextChanged()
{
    SetSetting("user_description", mp_ui->userDescriptionEdit->toPlainText());
}

void MainWindow::OnSelectPictureClicked()
{
    QString const l_path =
        QDir::fromNativeSeparators(QFileDialog::getOpenFileName(this, tr("Select Picture"), QString(), QString()));
    if (l_path.isEmpty())
        return;
    SetSetting("user_picture_file", l_path);
    mp_ui->userPictureFilenameEdit->setText(l_path);
}

void MainWindow::OnClearPictureClicked()
{
    GetSettingItem("user_picture_file").Disconnect("global_value");
    mp_ui->userPictureFilenameEdit->clear();
}

void MainWindow::OnSelectApplicationFontClicked()
{
    QFont l_font;
    l_font.fromString(GetSetting("application_font"));
    // A cancelled dialog gives the starting font, stored and applied again.
    l_font = QFontDialog::getFont(nullptr, l_font, nullptr);
    SetSetting("application_font", l_font.toString());
    QApplication::setFont(l_font);
}

void MainWindow::OnDefaultFontClicked()
{
    QFont l_font;
    l_font.fromString(GetVSetting("default_application_font"));
    SetSetting("application_font", l_font.toString());
    QApplication::setFont(l_font);
}

void MainWindow::ResetColorSettings()
{
    ::ResetColorSettings();
}

void MainWindow::OnColorSettingChanged(Item)
{
    QPalette l_palette = QApplication::palette();
    ApplyPaletteColors(l_palette);
    QApplication::setPalette(l_palette);
    if (transfersForm)
        transfersForm->RecolorEntries();
}

void MainWindow::OnClearSearchHistoryClicked()
{
    if (d.HasType("search_record"))
        d["search_record"]->RemoveAllItems();
}

void MainWindow::OnNewListeningPortChanged(Item i_setting)
{
    mp_ui->listeningPortEdit->setText(i_setting["global_value"].AsString());
    ShowObfuscatedPort(QString::number(i_setting["global_value"].AsInt() + 1));
}

void MainWindow::OnObfuscatedPortSet(Item i_setting)
{
    ShowObfuscatedPort(i_setting["global_value"].AsString());
}

void MainWindow::ShowObfuscatedPort(QString const& i_port)
{
    mp_ui->obfuscatedPortLabel->setText(
        tr("Obfuscated port is %1, if you're manually forwarding\nyour ports be sure to open it as well.").arg(i_port));
}

void MainWindow::OnExcludedDownloadExtensionAdded(Item)
{
    ShowExcludedExtensions(Item());
}

void MainWindow::OnExcludedDownloadExtensionRemoved(Item i_item)
{
    // The store tells of a removal while the item is still listed.
    ShowExcludedExtensions(i_item);
}

void MainWindow::ShowExcludedExtensions(Item const& i_leaving)
{
    QStringList l_extensions;
    for (Item const& l_extension : d["excluded_download_extension"]->GetItems())
        if (l_extension != i_leaving)
            l_extensions << l_extension.AsString();
    mp_ui->excludedExtensionsEdit->setText(l_extensions.join(QLatin1Char(' ')));
}

// ---------------------------------------------------------------- sounds

void MainWindow::SelectSoundFile(char const* ip_kind, QLineEdit* ip_edit)
{
    QString const l_path = QDir::fromNativeSeparators(
        QFileDialog::getOpenFileName(this, tr("Select Wave File"), QString(), tr("Wave Files (*.wav)")));
    if (l_path.isEmpty())
        return;
    d["event_sound"]->GetItem(Value(ip_kind)) += d["event_sound_file"]->GetItem(Value(l_path));
    ip_edit->setText(l_path);
}

void MainWindow::ClearSoundFile(char const* ip_kind, QLineEdit* ip_edit)
{
    d["event_sound"]->GetItem(Value(ip_kind)).Disconnect("event_sound_file");
    ip_edit->clear();
}
