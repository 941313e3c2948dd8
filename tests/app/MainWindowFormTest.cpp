#include "app/ActionSetToolBar.h"
#include "app/TabWidget.h"

#include "ui_MainWindow.h"

#include <QFile>
#include <QLayout>
#include <QMainWindow>
#include <QtTest>

// The form on its own, as the main window builds it.
class MainWindowFormTest : public QObject
{
    Q_OBJECT

private:
    QMainWindow* mp_window = nullptr;
    Ui_MainWindow* mp_ui = nullptr;

    static QStringList TabTexts(QTabWidget* ip_tabs)
    {
        QStringList l_texts;
        for (int l_index = 0; l_index < ip_tabs->count(); ++l_index)
            l_texts << ip_tabs->tabText(l_index);
        return l_texts;
    }

    static QStringList ComboItems(QComboBox* ip_box)
    {
        QStringList l_items;
        for (int l_index = 0; l_index < ip_box->count(); ++l_index)
            l_items << ip_box->itemText(l_index);
        return l_items;
    }

private slots:
    void init()
    {
        d.Reset();
        mp_window = new QMainWindow;
        mp_ui = new Ui_MainWindow;
        mp_ui->setupUi(mp_window);
    }

    void cleanup()
    {
        delete mp_window;
        delete mp_ui;
    }

    void WindowHasItsFixedProperties()
    {
        QCOMPARE(mp_window->objectName(), QString("MainWindow"));
        QCOMPARE(mp_window->size(), QSize(1000, 600));
        QCOMPARE(mp_window->windowTitle(), QString("QuillmarQt"));
        QVERIFY(mp_window->isDockNestingEnabled());
        QVERIFY(!mp_window->windowIcon().availableSizes().isEmpty());
        QCOMPARE(mp_window->centralWidget(), mp_ui->centralWidget);

        ActionSetToolBar* lp_bar = mp_ui->mainToolBar;
        QCOMPARE(actionBar, lp_bar);
        QCOMPARE(lp_bar->objectName(), QString("mainToolBar"));
        QCOMPARE(lp_bar->parentWidget(), static_cast<QWidget*>(mp_window));
        QCOMPARE(mp_window->toolBarArea(lp_bar), Qt::TopToolBarArea);
        QVERIFY(!lp_bar->isMovable());
        QCOMPARE(lp_bar->iconSize(), QSize(16, 16));
        QCOMPARE(lp_bar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        QCOMPARE(lp_bar->contextMenuPolicy(), Qt::NoContextMenu);
    }

    void MainTabsHostThePagesInOrder()
    {
        QTabWidget* lp_tabs = mp_ui->tabControl;
        QVERIFY(qobject_cast<TabWidget*>(lp_tabs));
        QCOMPARE(TabTexts(lp_tabs), QStringList({"Transfers", "Rooms", "Chat", "Search", "Users", "Browse", "Options"}));
        QCOMPARE(lp_tabs->currentIndex(), 1);

        struct Page
        {
            char const* mp_page;
            char const* mp_class;
            char const* mp_form;
        };
        Page const l_pages[] = {{"transfersTab", "TransfersForm", "transfersForm"},
                                {"roomsTab", "RoomsForm", "roomsForm"},
                                {"chatTab", "ChatsForm", "chatsForm"},
                                {"searchTab", "SearchForm", "searchForm"},
                                {"tab_2", "UserListForm", "userListForm"},
                                {"sharesTab", "SharesForm", "sharesForm"},
                                {"optionsTab", "TabWidget", "optionsTabControl"}};
        for (int l_index = 0; l_index < 7; ++l_index) {
            QWidget* lp_page = lp_tabs->widget(l_index);
            QCOMPARE(lp_page->objectName(), QString(l_pages[l_index].mp_page));
            QWidget* lp_form = lp_page->findChild<QWidget*>(l_pages[l_index].mp_form, Qt::FindDirectChildrenOnly);
            QVERIFY2(lp_form, l_pages[l_index].mp_form);
            QCOMPARE(lp_form->metaObject()->className(), l_pages[l_index].mp_class);
            QCOMPARE(lp_page->layout()->count(), 1);
            QCOMPARE(lp_page->layout()->contentsMargins(), QMargins(11, 11, 11, 11));
        }
        // Until their pages are built, the hosted forms say so.
        QVERIFY(mp_ui->sharesForm->findChild<QLabel*>("notBuiltYetLabel"));
    }

    void OptionTabsHoldEveryPage()
    {
        QTabWidget* lp_options = mp_ui->optionsTabControl;
        QVERIFY(qobject_cast<TabWidget*>(lp_options));
        QCOMPARE(lp_options->tabShape(), QTabWidget::Triangular);
        QCOMPARE(TabTexts(lp_options), QStringList({"Login", "File Sharing", "UI", "General", "User Info",
                                                    "Notification Sounds", "Extras"}));
        QCOMPARE(lp_options->currentIndex(), 0);
        QStringList const l_pageNames = {"loginOptionsTab", "fileSharingOptionsTab", "tab", "tab_3",
                                         "tab_4", "tab_5", "extrasTab"};
        for (int l_index = 0; l_index < 7; ++l_index)
            QCOMPARE(lp_options->widget(l_index)->objectName(), l_pageNames[l_index]);
    }

    // Every named control exists, on its page, with its text.
    void OptionControlsCarryTheirTexts_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        auto l_row = [](char const* ip_page, char const* ip_name, char const* ip_text) {
            QTest::newRow(ip_name) << QString(ip_page) << QString(ip_name) << QString::fromUtf8(ip_text);
        };
        l_row("loginOptionsTab", "label_2", "Username");
        l_row("loginOptionsTab", "label_4", "Listening port");
        l_row("loginOptionsTab", "checkPortsButton", "Check Ports");
        l_row("loginOptionsTab", "obfuscatedPortLabel", "Obfuscated port is...");
        l_row("loginOptionsTab", "uPnPCheckBox", "Use UPnP port mapping");
        l_row("loginOptionsTab", "NATPMPCheckBox", "Use NAT-PMP port mapping");
        l_row("fileSharingOptionsTab", "label_3", "Download Folder");
        l_row("fileSharingOptionsTab", "downloadFolderSpacer", "");
        l_row("fileSharingOptionsTab", "label", "Shared Folders");
        l_row("fileSharingOptionsTab", "maxUploadsPerUserCheckBox", "");
        l_row("fileSharingOptionsTab", "label_6", "Limit maximum number of queued uploads per user");
        l_row("fileSharingOptionsTab", "maxMBPerUserCheckBox", "");
        l_row("fileSharingOptionsTab", "label_18", "Limit maximum megabytes of queued uploads per user");
        l_row("fileSharingOptionsTab", "acceptUserListUploadsCheckBox", "Accept uploads from all user list users");
        l_row("fileSharingOptionsTab", "emptyShareWarningCheckBox",
              "Send warning message to downloading users with empty shares");
        l_row("fileSharingOptionsTab", "saveEmptyShareWarningMessageButton", "Save");
        l_row("fileSharingOptionsTab", "label_8", "Filename extensions excluded from folder downloads:");
        l_row("fileSharingOptionsTab", "editExcludedExtensionsButton", "Edit");
        l_row("fileSharingOptionsTab", "dontDownloadSingleFilesIntoSubfolders",
              "Don't create subfolders for single downloads");
        l_row("fileSharingOptionsTab", "dontSplitDownloadsCheckBox",
              "Don't put downloads in Downloading and Complete folders");
        l_row("tab", "minimizeToTrayCheckBox", "Minimize to tray [Windows only]");
        l_row("tab", "useOldStyleSearchResultsCheckBox", "Use old-style search results");
        l_row("tab", "autoExpandSharesCheckBox", "Auto-expand newly browsed shares");
        l_row("tab", "label_13", "First open tab when starting:");
        l_row("tab", "label_5", "Chat timestamps:");
        l_row("tab", "showAwayStatusCheckBox", "Show Away status in application icon");
        l_row("tab", "openGroupsOnUserAddCheckBox", "Open groups dialog when a user is added to the list");
        l_row("tab", "showDiagnosticsCheckBox", "Show diagnostics");
        l_row("tab", "showEventButtonsCheckBox", "Show event buttons");
        l_row("tab", "downloadFoldersOnDoubleClickCheckBox", "Download folders on double-click");
        l_row("tab", "selectColorsButton", "Select Application Colors");
        l_row("tab", "defaultColorsButton", "Default Colors");
        l_row("tab", "selectApplicationFontButton", "Select Application Font");
        l_row("tab", "defaultFontButton", "Default Font");
        l_row("tab", "clearSizeSettingsButton", "Reset Window and Column Size Settings");
        l_row("tab_3", "autoAwayOnIdleCheckBox", "Automatically toggle away mode when idle");
        l_row("tab_3", "logRoomChatCheckBox", "Log room chat");
        l_row("tab_3", "logPrivateChatCheckBox", "Log private chat");
        l_row("tab_3", "label_7", "Code Page to use to translate non-Unicode characters ");
        l_row("tab_3", "userLevelLoggingCheckBox", "Enable user-level logging (only for special debugging purposes)");
        l_row("tab_3", "clearSearchHistoryButton", "Clear Search History");
        l_row("tab_4", "selectPictureButton", "Select Picture");
        l_row("tab_4", "clearPictureButton", "Clear");
        l_row("tab_5", "label_9", "Default Sound:");
        l_row("tab_5", "label_10", "Private Chat:");
        l_row("tab_5", "label_17", "Room Chat:");
        l_row("tab_5", "label_11", "Wishlist Results:");
        l_row("tab_5", "label_12", "Browsed Share:");
        l_row("tab_5", "label_14", "Download Alert:");
        l_row("tab_5", "label_15", "User Online Alert:");
        l_row("tab_5", "label_16", "User Info:");
        for (char const* lp_sound : {"defaultSound", "privateChatSound", "roomChatSound", "wishlistResultsSound",
                                     "shareBrowseSound", "downloadAlertSound", "userOnlineAlertSound",
                                     "userInfoSound"}) {
            QByteArray l_select = QByteArray(lp_sound) + "SelectFileButton";
            QByteArray l_clear = QByteArray(lp_sound) + "ClearButton";
            QTest::newRow(l_select) << "tab_5" << QString(l_select) << "Select File";
            QTest::newRow(l_clear) << "tab_5" << QString(l_clear) << "Clear";
        }
        l_row("extrasTab", "importUserListButton", "Import User List from original Quillmar client");
    }

    void OptionControlsCarryTheirTexts()
    {
        QFETCH(QString, page);
        QFETCH(QString, name);
        QFETCH(QString, text);
        QWidget* lp_page = mp_ui->optionsTabControl->findChild<QWidget*>(page);
        QVERIFY(lp_page);
        QWidget* lp_control = lp_page->findChild<QWidget*>(name);
        QVERIFY(lp_control);
        QCOMPARE(lp_control->property("text").toString(), text);
    }

    void FieldsAndLimits()
    {
        QList<QLineEdit*> const l_readOnly = {
            mp_ui->usernameEdit, mp_ui->listeningPortEdit, mp_ui->downloadFolderEdit, mp_ui->excludedExtensionsEdit,
            mp_ui->userPictureFilenameEdit, mp_ui->defaultSoundEdit, mp_ui->privateChatSoundEdit,
            mp_ui->roomChatSoundEdit, mp_ui->wishlistResultsSoundEdit, mp_ui->shareBrowseSoundEdit,
            mp_ui->downloadAlertSoundEdit, mp_ui->userOnlineAlertSoundEdit, mp_ui->userInfoSoundEdit};
        for (QLineEdit* lp_edit : l_readOnly) {
            QVERIFY2(lp_edit->isReadOnly(), qPrintable(lp_edit->objectName()));
            QTest::keyClicks(lp_edit, "typed");
            QVERIFY(lp_edit->text().isEmpty());
        }
        QVERIFY(!mp_ui->emptyShareWarningEdit->isReadOnly());

        for (QSpinBox* lp_spin : {mp_ui->maxUploadsPerUserSpinBox, mp_ui->maxMBPerUserSpinBox}) {
            QCOMPARE(lp_spin->minimum(), 0);
            QCOMPARE(lp_spin->maximum(), 99999);
            QCOMPARE(lp_spin->value(), 0);
        }
        QVERIFY(!mp_ui->saveEmptyShareWarningMessageButton->isEnabled());

        QCOMPARE(mp_ui->usernameEdit->minimumWidth(), 200);
        QCOMPARE(mp_ui->usernameEdit->maximumWidth(), 200);
        QCOMPARE(mp_ui->listeningPortEdit->maximumWidth(), 100);
        QCOMPARE(mp_ui->checkPortsButton->minimumWidth(), 100);
        QCOMPARE(mp_ui->downloadFolderEdit->maximumWidth(), 500);
        QCOMPARE(mp_ui->firstOpenTabBox->maximumWidth(), 100);
        QCOMPARE(mp_ui->codePageBox->minimumWidth(), 150);
        QCOMPARE(mp_ui->chatTimestampsBox->sizeAdjustPolicy(), QComboBox::AdjustToContents);
        QCOMPARE(mp_ui->importUserListButton->geometry(), QRect(10, 30, 281, 23));
        QCOMPARE(mp_ui->sharedFoldersList->columnCount(), 2);
        QCOMPARE(mp_ui->horizontalLayout_29->spacing(), 0);
        for (QCheckBox* lp_box : mp_ui->optionsTabControl->findChildren<QCheckBox*>())
            QVERIFY2(!lp_box->isChecked(), qPrintable(lp_box->objectName()));
    }

    void CombosKeepFourItemsWhenRetranslated()
    {
        QStringList const l_tabs = {"Transfers", "Rooms", "Search", "Users"};
        QStringList const l_stamps = {"Activity based", "Per message (short)", "Per message (long)", "No timestamps"};
        QCOMPARE(ComboItems(mp_ui->firstOpenTabBox), l_tabs);
        QCOMPARE(ComboItems(mp_ui->chatTimestampsBox), l_stamps);
        mp_ui->retranslateUi(mp_window);
        mp_ui->retranslateUi(mp_window);
        QCOMPARE(ComboItems(mp_ui->firstOpenTabBox), l_tabs);
        QCOMPARE(ComboItems(mp_ui->chatTimestampsBox), l_stamps);
    }

    void IconsResolveWithAndWithoutSlash()
    {
        for (char const* lp_icon : {":/icons/online_icon", ":icons/online_icon", ":/icons/offline_icon",
                                    ":/icons/away_icon", ":/icons/gold_star_icon", ":/icons/browse_icon",
                                    ":/icons/chat_icon", ":/icons/add_user_icon", ":/icons/note_icon",
                                    ":/icons/empty_note_icon", ":/icons/save_icon"})
            QVERIFY2(QFile::exists(lp_icon), lp_icon);
    }
};

QTEST_MAIN(MainWindowFormTest)
#include "MainWindowFormTest.moc"
