// The users page and its dialogs, without the network: the lists following
// the store, the user menu as a table of states, the group, note, gift and
// mass-message dialogs, and what an information reply may show and what
// ours sends. The roads through the stand-in server are UsersRoadTest.cpp.

#include "UsersFixture.h"

#include "peers/PeerCodec.h"
#include "ui/chat/ChatStoreTypes.h"
#include "ui/chat/ChatsForm.h"
#include "ui/transfers/SharesForm.h"
#include "ui/widgets/ColorTable.h"
#include "ui/users/AddUserDialog.h"
#include "ui/users/GiftPrivilegesDialog.h"
#include "ui/users/MessageUsersDialog.h"
#include "ui/users/UserDescription.h"
#include "ui/widgets/OutsideMarkup.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserInfoReply.h"
#include "ui/users/UserInfoView.h"
#include "ui/users/UserMenuOptions.h"
#include "ui_AddUserDialog.h"
#include "ui_GiftPrivilegesDialog.h"
#include "ui_MessageUsersDialog.h"
#include "ui_UserGroupConfigDialog.h"
#include "ui_UserGroupsDialog.h"
#include "ui_UserInfoForm.h"
#include "ui_UserNoteDialog.h"

#include "ui/widgets/EventToolBar.h"

#include "tests/ui/NoLoad.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextTable>

// Records what would be opened in the desktop's programs.
class LinkRecorder : public QObject
{
    Q_OBJECT

public:
    explicit LinkRecorder(QList<QUrl>& o_opened) : m_opened(o_opened)
    {
        for (char const* lp_scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(lp_scheme, this, "Open");
    }
    ~LinkRecorder() override
    {
        for (char const* lp_scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(lp_scheme);
    }

public slots:
    void Open(QUrl const& i_url) { m_opened << i_url; }

private:
    QList<QUrl>& m_opened;
};

class UsersPageTest : public QObject, public UsersFixture
{
    Q_OBJECT

    // The user menu for the user, as shown.
    static QStringList Menu(QString const& i_user, QString const& i_pageEntry = QString())
    {
        QMenu l_menu;
        if (!i_pageEntry.isEmpty())
            l_menu.addAction(i_pageEntry);
        UserMenuOptions l_options(&l_menu, i_user);
        return MenuTexts(l_menu);
    }
    // Chooses the entry of that text in the user's menu.
    static void Choose(QString const& i_user, QString const& i_text)
    {
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, i_user);
        QAction* lp_action = MenuAction(l_menu, i_text);
        QVERIFY2(lp_action, qPrintable("no entry " + i_text));
        lp_action->trigger();
    }
    static bool HasEvent(QWidget* ip_owner)
    {
        return d.HasType("event_toolbar_widget") && d["event_toolbar_widget"]->HasItem(Value(ip_owner)).IsValid();
    }
    static void Online(QString const& i_user, bool i_online) { SetFlag(U(i_user), "is_online", i_online); }
    static QByteArray Png(int i_width, int i_height)
    {
        QImage l_image(i_width, i_height, QImage::Format_Grayscale8);
        l_image.fill(7);
        QByteArray l_bytes;
        QBuffer l_buffer(&l_bytes);
        l_buffer.open(QIODevice::WriteOnly);
        l_image.save(&l_buffer, "PNG");
        return l_bytes;
    }
    // A reply for the user as the messenger hands it over.
    static void Reply(UserInfoForm* ip_page, QString const& i_user, QString const& i_description,
                      QByteArray i_picture = QByteArray(), int i_slots = 2, int i_queued = 5, bool i_free = true)
    {
        ip_page->OnUserInfoReceived(i_user, i_description, !i_picture.isNull(),
                                    i_picture.isNull() ? nullptr : i_picture.data(), i_picture.size(), i_slots,
                                    i_queued, i_free);
    }
    static QString PageText(UserInfoForm* ip_page) { return ip_page->Form()->userInfoText->toPlainText(); }
    static QSize PictureShown(UserInfoForm* ip_page)
    {
        QTextDocument* lp_document = ip_page->Form()->userInfoText->document();
        if (!lp_document->toHtml().contains("UserImage"))
            return QSize();
        return lp_document->resource(QTextDocument::ImageResource, QUrl("UserImage")).value<QImage>().size();
    }

private slots:
    void init() { StartPage(); }
    void cleanup() { StopPage(); }

    // Rows come and go with the links the user menu and the engines make
    // and break; a removed user's entry goes with him.
    void RowsFollowTheLinks()
    {
        List("bob");
        d["user_list_group"]->GetItem(Value("friends")).Connect(U("bob")["in_user_list"]);
        QCOMPARE(Column(Ui()->userList, 3), QStringList({"friends"}));
        Choose("bob", "Remove user from list");
        QCOMPARE(Ui()->userList->topLevelItemCount(), 0);
        QCOMPARE(int(d["in_user_list"]->GetItemCount()), 0);
        QCOMPARE(int(d["user_list_node"]->GetItemCount()), 0);
        Choose("bob", "Add user to list");
        QCOMPARE(Column(Ui()->userList), QStringList({"bob"}));
        QCOMPARE(Column(Ui()->userList, 3), QStringList({""}));

        mp_transfers->UnshareUser("carol");
        Choose("dave", "Ignore user");
        Choose("erin", "Alert when user goes online");
        QCOMPARE(Column(Ui()->unsharedList) + Column(Ui()->ignoredList) + Column(Ui()->onlineAlertList),
                 QStringList({"carol", "dave", "erin"}));
        QVERIFY(U("erin").IsConnected("is_tracked"));
        Choose("carol", "Re-share files with user");
        Choose("dave", "Unignore user");
        Choose("erin", "Remove online status alert");
        QCOMPARE(Ui()->unsharedList->topLevelItemCount() + Ui()->ignoredList->topLevelItemCount() +
                     Ui()->onlineAlertList->topLevelItemCount(),
                 0);
        for (char const* lp_node : {"unshared_list_node", "ignored_list_node", "online_alert_list_node"})
            QCOMPARE(int(d[lp_node]->GetItemCount()), 0);
    }

    // Online users first, then by name without case; the cells' texts.
    void OrderAndTexts()
    {
        for (char const* lp_user : {"bob", "Alice", "carol"})
            List(lp_user);
        Online("Alice", true);
        Online("carol", true);
        mp_page->SortUserList();
        QCOMPARE(Column(Ui()->userList), QStringList({"Alice", "carol", "bob"}));
        Online("Alice", false);
        QTRY_COMPARE(Column(Ui()->userList), QStringList({"carol", "Alice", "bob"}));
        QCOMPARE(IconOf(Row(Ui()->userList, "carol")) + IconOf(Row(Ui()->userList, "Alice")),
                 QString("online_iconoffline_icon"));

        for (char const* lp_group : {"b", "A", "a"})
            d["user_list_group"]->GetItem(Value(lp_group)).Connect(U("bob")["in_user_list"]);
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString("A, a, b"));

        QTreeWidgetItem* lp_bob = Row(Ui()->userList, "bob");
        QCOMPARE(lp_bob->text(1) + "|" + lp_bob->text(2), QString("|"));
        struct { char const* mp_count; char const* mp_speed; char const* mp_shown; } const l_stats[] = {
            {"0", "1536", "|1.5"}, {"1234567", "0", "1,234,567|1.5"}, {"12", "10240", "12|10.0"}};
        for (auto const& l_case : l_stats) {
            SetAttribute(U("bob"), "shared_file_count", Value(l_case.mp_count));
            SetAttribute(U("bob"), "average_download_speed", Value(l_case.mp_speed));
            QCOMPARE(lp_bob->text(1) + "|" + lp_bob->text(2), QString(l_case.mp_shown));
        }
        // Statistics of a user who is not listed show nowhere, and are
        // shown when he is added.
        SetAttribute(U("dave"), "shared_file_count", Value(3));
        List("dave");
        QCOMPARE(Row(Ui()->userList, "dave")->text(1), QString("3"));
    }

    void Notes_data()
    {
        QTest::addColumn<QString>("note");
        QTest::addColumn<QString>("firstLine");
        QTest::newRow("two lines") << "first\nsecond" << "first ...";
        QTest::newRow("blanks around") << "  one line  " << "one line";
        QTest::newRow("inner blanks kept") << " a \n b" << "a  ...";
        QTest::newRow("markup") << "<b>x</b>" << "<b>x</b>";
    }
    void Notes()
    {
        QFETCH(QString, note);
        QFETCH(QString, firstLine);
        List("bob");
        mp_transfers->UnshareUser("bob");
        SetFlag(U("bob"), "is_ignored", true);
        U("bob") += d["user_note"]->GetItem(Value(note));
        QCOMPARE(Row(Ui()->userList, "bob")->text(4), firstLine);
        QCOMPARE(Row(Ui()->unsharedList, "bob")->text(1) + Row(Ui()->ignoredList, "bob")->text(1), note + note);
        QCOMPARE(IconOf(Row(Ui()->ignoredList, "bob"), 1), QString("note_icon"));
        U("bob").Disconnect("user_note");
        QCOMPARE(Row(Ui()->userList, "bob")->text(4) + IconOf(Row(Ui()->userList, "bob"), 4), QString());
    }

    // The alerts row follows every alerted user, listed or not; a listed
    // user who comes online with an alert is announced at once.
    void OnlineAlerts()
    {
        SetSwitch("show_event_buttons", true);
        Choose("erin", "Alert when user goes online");
        QCOMPARE(IconOf(Row(Ui()->onlineAlertList, "erin")), QString("offline_icon"));
        Online("erin", true);
        QCOMPARE(IconOf(Row(Ui()->onlineAlertList, "erin")), QString("online_icon"));
        QVERIFY(HasEvent(Ui()->onlineAlertList));
        Online("erin", false);
        QCOMPARE(IconOf(Row(Ui()->onlineAlertList, "erin")), QString("offline_icon"));

        eventToolBar->RemoveEvents(Ui()->onlineAlertList);
        Online("frank", true);
        Choose("frank", "Alert when user goes online");
        QVERIFY(!HasEvent(Ui()->onlineAlertList));
        List("frank");
        QVERIFY(HasEvent(Ui()->onlineAlertList));
        QCOMPARE(IconOf(Row(Ui()->userList, "frank")), QString("online_icon"));
    }

    // The menu's entries for each state of the store, one table.
    void UserMenuContents()
    {
        QStringList const l_plain = {"Message user", "Add user to list", "Browse user's files", "Upload to user",
                                     "Get User Info", "Add user note", "Alert when user goes online", "-",
                                     "Unshare files from user", "Ignore user"};
        QCOMPARE(Menu("bob"), l_plain);
        QCOMPARE(Menu("bob", "Own entry"), QStringList({"Own entry", "-"}) + l_plain);

        List("bob");
        U("bob") += d["user_note"]->GetItem(Value("n"));
        Choose("bob", "Alert when user goes online");
        mp_transfers->UnshareUser("bob");
        SetFlag(U("bob"), "is_ignored", true);
        QCOMPARE(Menu("bob"), QStringList({"Message user", "Set user's groups", "Remove user from list",
                                           "Browse user's files", "Upload to user", "Get User Info", "Edit user note",
                                           "Remove online status alert", "-", "Re-share files with user",
                                           "Unignore user"}));

        struct { char const* mp_setting; char const* mp_value; bool m_shown; } const l_switches[] = {
            {"privileges_time_left", "", false},  {"privileges_time_left", "0", false},
            {"privileges_time_left", "-5", false}, {"privileges_time_left", "soon", false},
            {"privileges_time_left", "1", true},   {"user_level_logging", "Yes", false},
            {"user_level_logging", "1", false},    {"user_level_logging", "yes", true}};
        for (auto const& l_case : l_switches) {
            SetSetting(l_case.mp_setting, QString(l_case.mp_value));
            QStringList const l_menu = Menu("carol");
            bool const l_shown = l_menu.contains("Gift Privileges") || l_menu.contains("See User Log");
            QVERIFY2(l_shown == l_case.m_shown, qPrintable(QString(l_case.mp_setting) + "=" + l_case.mp_value));
            SetSetting(l_case.mp_setting, QString());
        }
        SetSetting("privileges_time_left", "1");
        SetSwitch("user_level_logging", true);
        QStringList const l_all = Menu("carol");
        QCOMPARE(l_all.mid(6, 3), QStringList({"Alert when user goes online", "Gift Privileges", "-"}));
        QCOMPARE(l_all.mid(l_all.size() - 2), QStringList({"-", "See User Log"}));
    }

    void PrivateRooms()
    {
        QCOMPARE(Menu("bob").filter("Private").size(), 0);
        // Owned beta and Zeta, operated al&pha and beta; bob is a member and
        // no operator of Zeta, an operator and no member of beta, and a
        // member of al&pha (whose "&" the menu shows as typed).
        for (char const* lp_room : {"beta", "Zeta"})
            SetFlag(Room(lp_room), "is_owner", true);
        for (char const* lp_room : {"al&pha", "beta"})
            SetFlag(Room(lp_room), "is_operator", true);
        Room("Zeta").NewItem("room_members") += U("bob");
        Room("beta").NewItem("room_operators") += U("bob");
        Room("al&pha").NewItem("room_members") += U("bob");
        QStringList const l_menu = Menu("bob");
        QCOMPARE(l_menu.mid(l_menu.size() - 2),
                 QStringList({"-", "Private Rooms[Zeta[Remove User's Membership,-,Make User Operator],"
                                   "beta[Give User Membership,-,Remove User's Operator Status],"
                                   "al&&pha[Remove User's Membership]]"}));
        Room("beta").NewItem("room_members") += U("bob");
        QVERIFY(Menu("bob").last().contains("beta[Remove User's Membership,-,Remove User's Operator Status]"));
        QVERIFY(Menu("carol").last().contains("Zeta[Give User Membership]"));

        QMenu l_menu2;
        UserMenuOptions l_options(&l_menu2, "carol");
        QMenu* lp_rooms = l_menu2.actions().last()->menu();
        QVERIFY(lp_rooms->isEmpty());
        emit lp_rooms->aboutToShow();
        QAction* lp_owned = lp_rooms->actions().at(0);
        QAction* lp_operated = lp_rooms->actions().at(2);
        QVERIFY(lp_owned->font().underline() && lp_owned->font().weight() == 75 && !lp_owned->icon().isNull());
        QVERIFY(!lp_operated->font().underline() && lp_operated->icon().isNull());

        // Each entry sends its own room, whichever submenu was built last.
        QVERIFY(LogInToFake());
        lp_owned->menu()->actions().at(0)->trigger();
        QVERIFY(WasSent(ServerCode::PRIVATE_ROOM_ADD_MEMBER, Le32(4) + "Zeta" + Le32(5) + "carol"));
        MenuAction(*lp_rooms->actions().at(1)->menu(), "Give User Membership")->trigger();
        QVERIFY(WasSent(ServerCode::PRIVATE_ROOM_ADD_MEMBER, Le32(4) + "beta" + Le32(5) + "carol"));
    }

    // The alert entry acts by the state when it runs; adding opens the
    // groups only when asked to.
    void MenuCommands()
    {
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, "bob");
        l_options.OnAddRemoveOnlineAlert();
        QVERIFY(U("bob").IsConnected("user_online_alert") && U("bob").IsConnected("is_tracked"));
        U("bob").Disconnect("is_tracked");
        l_options.OnAddRemoveOnlineAlert();
        QVERIFY(!U("bob").IsConnected("user_online_alert") && !U("bob").IsConnected("is_tracked"));

        l_options.OnAddUser();
        QVERIFY(!OpenDialog<UserGroupsDialog>());
        l_options.OnRemoveUser();
        SetSwitch("open_groups_on_user_add", true);
        l_options.OnAddUser();
        QVERIFY(OpenDialog<UserGroupsDialog>());
        QCOMPARE(OpenDialog<UserGroupsDialog>()->windowTitle(), QString("User Groups for [bob]"));

        l_options.OnGetUserInfo();
        QCOMPARE(Ui()->userInfoTabs->count(), 1);
        l_options.OnGetUserInfo();
        QCOMPARE(Ui()->userInfoTabs->tabText(0) + QString::number(Ui()->userInfoTabs->count()), QString("bob1"));
        // A name reads as typed: a tab takes "&" for a shortcut mark.
        UserMenuOptions(&l_menu, "R&B").OnGetUserInfo();
        QCOMPARE(Ui()->userInfoTabs->tabText(1), QString("R&&B"));
    }

    // The entries that open other pages open them for the user, and a
    // double click in the lists opens his conversation.
    void EntriesOpenThePages()
    {
        DeclareColorTable(QApplication::palette());
        DeclareChatStoreTypes();
        ChatsForm l_chats;
        l_chats.Init();
        SharesForm l_shares;
        l_shares.Init();
        Choose("bob", "Message user");
        Choose("bob", "Browse user's files");
        Choose("bob", "Upload to user");
        for (char const* lp_page : {"user_chat_widget", "user_share_tab", "upload_share_tab"})
            QVERIFY2(U("bob").IsConnected(lp_page), lp_page);
        List("carol");
        mp_page->OnUserItemDoubleClicked(Row(Ui()->userList, "carol"), 0);
        QVERIFY(U("carol").IsConnected("user_chat_widget"));

        // What the pages below reach through the page's hooks.
        QMenu l_menu;
        std::unique_ptr<QObject> const lp_options = AddUserMenu(&l_menu, "dave");
        QCOMPARE(MenuTexts(l_menu).mid(0, 2), QStringList({"Message user", "Add user to list"}));
        ShowUserNote("dave");
        QCOMPARE(OpenDialog<UserNoteDialog>()->windowTitle(), QString("dave"));
    }

    // Ticking links, unticking unlinks, a new group reaches every open
    // dialog, and a group deleted elsewhere is gone for good.
    void GroupsDialog()
    {
        List("bob");
        d["user_list_group"]->GetItem(Value("b"));
        UserGroupsDialog l_dialog("bob");
        UserGroupsDialog l_other("carol");
        QListWidget* lp_rows = l_dialog.Form()->groupListWidget;
        l_dialog.Form()->newGroupEdit->setText("  a  ");
        l_dialog.OnNewGroupButtonClicked();
        l_dialog.Form()->newGroupEdit->setText("A");
        l_dialog.OnNewGroupButtonClicked();
        QCOMPARE(l_dialog.Form()->newGroupEdit->text(), QString());
        QCOMPARE(l_other.Form()->groupListWidget->count(), 3);
        QCOMPARE(lp_rows->item(0)->text() + lp_rows->item(1)->text() + lp_rows->item(2)->text(), QString("Aab"));
        QCOMPARE(lp_rows->item(0)->checkState(), Qt::Unchecked);

        lp_rows->item(1)->setCheckState(Qt::Checked);
        lp_rows->item(2)->setCheckState(Qt::Checked);
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString("a, b"));
        lp_rows->item(1)->setCheckState(Qt::Unchecked);
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString("b"));
        QVERIFY(d["user_list_group"]->HasItem(Value("a")).IsValid());

        // Ticking for a user not in the list changes nothing.
        l_other.Form()->groupListWidget->item(0)->setCheckState(Qt::Checked);
        QVERIFY(!U("carol").IsConnected("in_user_list"));

        d["user_list_group"]->HasItem(Value("b")).Remove();
        QCOMPARE(lp_rows->count(), 2);
        QVERIFY(lp_rows->findItems("b", Qt::MatchExactly).isEmpty());
        QCOMPARE(int(d["user_list_group"]->GetItemCount()), 2);
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString());
        // Nor does a tick that still comes from its row make it again (the
        // row's removal above would hide a dialog that did).
        QListWidgetItem l_stale("b");
        l_stale.setCheckState(Qt::Checked);
        l_dialog.OnGroupItemChanged(&l_stale);
        QVERIFY(d["user_list_group"]->HasItem(Value("b")).IsNull());
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString());
    }

    void GroupConfiguration()
    {
        List("bob");
        for (char const* lp_group : {"low", "high"})
            d["user_list_group"]->GetItem(Value(lp_group)).Connect(U("bob")["in_user_list"]);
        mp_page->OnActionBarTriggered(nullptr, "configure_user_groups");
        mp_page->OnActionBarTriggered(nullptr, "configure_user_groups");
        QCOMPARE(mp_page->findChildren<UserGroupConfigDialog*>().size(), 1);
        Ui_UserGroupConfigDialog* lp_ui = userGroupConfigDialog->Form();
        QVERIFY(!lp_ui->prioritySpinBox->isEnabled());
        auto const l_select = [lp_ui](char const* ip_group) {
            lp_ui->groupList->setCurrentItem(lp_ui->groupList->findItems(ip_group, Qt::MatchExactly).value(0));
        };
        auto const l_priority = [](char const* ip_group) {
            return d["user_list_group"]->HasItem(Value(ip_group))["group_download_priority"];
        };

        l_select("low");
        lp_ui->prioritySpinBox->setValue(3);
        l_select("high");
        lp_ui->prioritySpinBox->setValue(8);
        QCOMPARE(lp_ui->groupBox->title(), QString("high"));
        QCOMPARE(TransferQueueManager::GetUserGroupDownloadPriority("bob"), 8);
        lp_ui->prioritySpinBox->setValue(3);
        QCOMPARE(l_priority("low"), l_priority("high")); // one value item for both
        lp_ui->prioritySpinBox->setValue(0);
        QVERIFY(l_priority("high").IsNull());
        QCOMPARE(TransferQueueManager::GetUserGroupDownloadPriority("bob"), 3);
        lp_ui->acceptUploadsCheckBox->setChecked(true);
        QVERIFY(mp_transfers->CanAcceptUserInitiatedUploadsFrom("bob"));

        // A stored priority beyond the box is clamped, and stored so when
        // the box showed another value.
        SetAttribute(d["user_list_group"]->HasItem(Value("low")), "group_download_priority", Value(150));
        l_select("low");
        QCOMPARE(lp_ui->prioritySpinBox->value(), 99);
        QCOMPARE(l_priority("low").AsString(), QString("99"));

        AnswerModal("No", [lp_ui] { lp_ui->deleteButton->click(); });
        QCOMPARE(lp_ui->groupList->count(), 2);
        AnswerModal("Yes", [lp_ui] { lp_ui->deleteButton->click(); });
        QCOMPARE(lp_ui->groupList->count(), 1);
        QVERIFY(d["user_list_group"]->HasItem(Value("low")).IsNull());
        l_select("high");
        AnswerModal("Yes", [lp_ui] { lp_ui->deleteButton->click(); });
        QCOMPARE(lp_ui->groupList->count() + int(d["user_list_group"]->GetItemCount()), 0);
        QVERIFY(!lp_ui->deleteButton->isEnabled() && lp_ui->groupBox->title().isEmpty());
        QCOMPARE(Row(Ui()->userList, "bob")->text(3), QString());
    }

    // The checks that need no answer of the server.
    void AddUserRefusals()
    {
        AddUserDialog l_dialog;
        auto const l_try = [&l_dialog](QString const& i_name) {
            l_dialog.Form()->userNameEdit->setText(i_name);
            l_dialog.OnAddUserClicked();
            return l_dialog.Form()->statusEdit->text();
        };
        QCOMPARE(l_try("   "), QString("User name must not be empty."));
        List("bob");
        QCOMPARE(l_try("bob"), QString("Must be online to add a user to your list."));
        QVERIFY(LogInToFake());
        QCOMPARE(l_try("bob"), QString("User already in list."));
        QCOMPARE(l_try(" carol "), QString("Adding user..."));
        QVERIFY(WasSent(ServerCode::ADD_USER, Le32(5) + "carol"));
        QVERIFY(!l_dialog.Form()->addFriendButton->isEnabled() && l_dialog.Form()->userNameEdit->isReadOnly());
        // Answers for other names, or in another letter case, are not its own.
        l_dialog.OnAddUserResponse("Carol", true);
        QVERIFY(!l_dialog.Form()->addFriendButton->isEnabled());
    }

    void GiftAndMassMessages()
    {
        QVERIFY(LogInToFake());
        GiftPrivilegesDialog* lp_gift = new GiftPrivilegesDialog("Bob B");
        QCOMPARE(lp_gift->windowTitle(), QString("Gift Privileges to Bob B"));
        QPointer<GiftPrivilegesDialog> lp_alive(lp_gift);
        lp_gift->OnGiftClicked();
        QTest::keyClicks(lp_gift->Form()->daysEdit, "000");
        lp_gift->OnGiftClicked();
        QVERIFY(mp_fake->SentNone(ServerCode::GIFT_PRIVILEGES));
        lp_gift->Form()->daysEdit->clear();
        QTest::keyClicks(lp_gift->Form()->daysEdit, "00071");
        lp_gift->OnGiftClicked();
        QVERIFY(WasSent(ServerCode::GIFT_PRIVILEGES, Le32(5) + "Bob B" + Le32(7)));
        QTRY_VERIFY(!lp_alive);

        for (char const* lp_user : {"bob", "amy"})
            List(lp_user);
        d["user_list_group"]->GetItem(Value("g")).Connect(U("amy")["in_user_list"]);
        d["user_list_group"]->GetItem(Value("G2"));
        Item const l_queued = d["upload_entry_status"]->GetItem(Value("queued"));
        for (char const* lp_user : {"up1", "up2"}) {
            Item const l_upload = d["upload_entry"]->NewItem();
            l_upload += U(lp_user);
            l_upload += l_queued;
        }
        Online("up2", true);
        mp_page->OnActionBarTriggered(nullptr, "message_users");
        Ui_MessageUsersDialog* lp_ui = messageUsersDialog->Form();
        QStringList l_targets;
        for (int l_index = 0; l_index < lp_ui->targetBox->count(); ++l_index)
            l_targets << lp_ui->targetBox->itemText(l_index);
        QCOMPARE(l_targets, QStringList({"All User List Users", "Downloading Users", "group: g", "group: G2"}));
        QCOMPARE(lp_ui->userList->item(0)->text() + lp_ui->userList->item(1)->text(), QString("amybob"));
        lp_ui->targetBox->setCurrentIndex(1);
        QCOMPARE(lp_ui->userList->count(), 1);
        QCOMPARE(lp_ui->userList->item(0)->text(), QString("up2"));

        lp_ui->messageEdit->setPlainText(" \n  ");
        lp_ui->sendButton->click();
        QVERIFY(messageUsersDialog);
        lp_ui->targetBox->setCurrentIndex(2);
        d["user_list_group"]->HasItem(Value("g")).Remove();
        lp_ui->messageEdit->setPlainText("  one\ntwo \n");
        lp_ui->sendButton->click();
        QVERIFY(WasSent(ServerCode::MESSAGE_USERS, Le32(0) + Le32(7) + "one two"));
        QTRY_VERIFY(!messageUsersDialog);
    }

    // One dialog per user; the note kept as typed but for the blanks at its
    // ends; two users with one text share its item.
    void NoteDialog()
    {
        UserNoteDialog* lp_dialog = UserNoteDialog::GetDialog("bob");
        QCOMPARE(UserNoteDialog::GetDialog("bob"), lp_dialog);
        QVERIFY(UserNoteDialog::GetDialog("carol") != lp_dialog);
        QCOMPARE(lp_dialog->windowTitle(), QString("bob"));
        lp_dialog->Form()->noteEdit->setPlainText("\n  <b>bold</b> &amp;\n line  \n\n");
        lp_dialog->Form()->saveButton->click();
        QCOMPARE(U("bob")["user_note"].AsString(), QString("<b>bold</b> &amp;\n line"));
        QTRY_VERIFY(UserNoteDialog::GetDialog("bob") != lp_dialog);
        lp_dialog = UserNoteDialog::GetDialog("bob");
        QCOMPARE(lp_dialog->Form()->noteEdit->toPlainText(), QString("<b>bold</b> &amp;\n line"));

        UserNoteDialog* lp_carol = UserNoteDialog::GetDialog("carol");
        lp_carol->Form()->noteEdit->setPlainText("<b>bold</b> &amp;\n line");
        lp_carol->OnSaveNote();
        QCOMPARE(U("bob")["user_note"], U("carol")["user_note"]);

        lp_dialog->OnClearNote();
        lp_dialog->close();
        QVERIFY(U("bob").IsConnected("user_note"));
        lp_dialog = UserNoteDialog::GetDialog("bob");
        lp_dialog->Form()->noteEdit->setPlainText(" \n \n");
        lp_dialog->OnSaveNote();
        QVERIFY(!U("bob").IsConnected("user_note"));
        QVERIFY(U("carol").IsConnected("user_note"));
    }

    // A user goes at the collection once nothing kept holds him: those who
    // only passed through a room, and those who lost what held them. What
    // the user chose about a user, and whatever holds him, keep him. The
    // page goes first: its rows would keep the users they show.
    void UsersLetGo()
    {
        mp_page.reset();
        auto const l_passing = [this](QString const& i_name) {
            ServerIn::Member l_member;
            l_member.m_name = i_name;
            l_member.m_details.m_status = STATUS_ONLINE;
            mp_server->Apply(ServerIn::UserJoinedRoom{"lobby", l_member});
            mp_server->Apply(ServerIn::UserLeftRoom{"lobby", i_name});
        };
        ServerIn::Member l_member;
        l_member.m_name = "member";
        l_member.m_details.m_status = STATUS_ONLINE;
        mp_server->Apply(ServerIn::RoomJoined{"lobby", {l_member}});
        QTRY_VERIFY(!mp_server->IsApplying());
        d.RemoveDisconnectedItems();
        std::size_t const l_before = d["user"]->GetItemCount();

        struct Case
        {
            char const* mp_name;
            std::function<void(QString const&)> m_make;
            bool m_kept;
        };
        std::vector<Case> const l_cases = {
            {"passer-by", l_passing, false},
            {"online, in no room", [](QString const& i_name) { Online(i_name, true); }, false},
            {"ticker", [this](QString const& i_name) { mp_server->Apply(ServerIn::RoomTickerSet{"lobby", i_name, "hi"}); }, true},
            {"ticker gone", [this](QString const& i_name) {
                 mp_server->Apply(ServerIn::RoomTickerSet{"lobby", i_name, "hi"});
                 mp_server->Apply(ServerIn::RoomTickerRemoved{"lobby", i_name});
             }, false},
            {"listed", [l_passing](QString const& i_name) { l_passing(i_name); List(i_name); }, true},
            {"unlisted", [](QString const& i_name) { List(i_name); U(i_name)["in_user_list"].Remove(); }, false},
            {"in a group", [](QString const& i_name) {
                 List(i_name);
                 d["user_list_group"]->GetItem(Value("friends")).Connect(U(i_name)["in_user_list"]);
             }, true},
            {"noted", [](QString const& i_name) { U(i_name) += d["user_note"]->GetItem(Value("a note")); }, true},
            {"note cleared", [](QString const& i_name) {
                 UserNoteDialog* lp_dialog = UserNoteDialog::GetDialog(i_name);
                 lp_dialog->Form()->noteEdit->setPlainText("his own note");
                 lp_dialog->OnSaveNote();
                 lp_dialog = UserNoteDialog::GetDialog(i_name);
                 lp_dialog->Form()->noteEdit->clear();
                 lp_dialog->OnSaveNote();
             }, false},
            {"ignored", [](QString const& i_name) { SetFlag(U(i_name), "is_ignored", true); }, true},
            {"alerted", [](QString const& i_name) { SetFlag(U(i_name), "user_online_alert", true); }, true},
            {"unshared", [this](QString const& i_name) { mp_transfers->UnshareUser(i_name); }, true},
            {"download", [this](QString const& i_name) { mp_transfers->AddDownload(i_name, "a.mp3", "f", 3, false, 0); }, true},
        };
        std::size_t l_kept = 0;
        for (Case const& l_case : l_cases) {
            l_case.m_make(l_case.mp_name);
            l_kept += l_case.m_kept;
        }
        QTRY_VERIFY(!mp_server->IsApplying());
        // The open note dialogs hold their users, as they should.
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            delete qobject_cast<UserNoteDialog*>(lp_window);
        d.RemoveDisconnectedItems();
        for (Case const& l_case : l_cases)
            QVERIFY2(d["user"]->HasItem(Value(l_case.mp_name)).IsValid() == l_case.m_kept, l_case.mp_name);
        QCOMPARE(d["user"]->GetItemCount(), l_before + l_kept);
        QVERIFY(d["user_note"]->HasItem(Value("a note")).IsValid());
        QVERIFY(d["user_note"]->HasItem(Value("his own note")).IsNull());
        QCOMPARE(d["user"]->HasItem(Value("member")).CountItems("room"), std::size_t(1));
    }

    // What a peer's description becomes: markup within bounds, nothing that
    // names a resource.
    void DescriptionMarkup_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("html");
        QTest::newRow("formatting") << "<b>x</B> <font color=red size=+2 style='x'>y</font>"
                                    << "<b>x</b> <font color=\"red\" size=\"+2\">y</font>";
        QTest::newRow("lines") << "a\nb\r\nc" << "a<br>b\r<br>c";
        QTest::newRow("link kept, not followed") << "<a href=\"http://x/\">x</a>" << "<a href=\"http://x/\">x</a>";
        QTest::newRow("image") << "<img src=\"/etc/passwd\">" << "&lt;img src=\"/etc/passwd\">";
        QTest::newRow("style sheet") << "<link rel=stylesheet href=x.css><style>p{}</style>"
                                     << "&lt;link rel=stylesheet href=x.css>&lt;style>p{}&lt;/style>";
        QTest::newRow("background") << "<table background=\"x.png\" border=1><tr><td bgcolor=red>a</table>"
                                    << "<table border=\"1\"><tr><td>a</td></tr></table>";
        QTest::newRow("table in a table") << "<table><tr><td><table><tr><td>x</table></table>"
                                          << "<table><tr><td>&lt;table></td></tr><tr><td>x</td></tr></table>&lt;/table>";
        // A closing tag with nothing to close reads as text, like an
        // opening tag that is not kept.
        QTest::newRow("stray closings") << "</b>a</table>" << "&lt;/b>a&lt;/table>";
        QTest::newRow("a row's end outside a table") << "<tr>orphan</tr>" << "&lt;tr>orphan&lt;/tr>";
        // A font family costs a search through the system's fonts the first
        // time it is shown: only those the system has, or generic ones, and
        // four in one text.
        QTest::newRow("font families the system lacks")
            << "<font face=qzxwvkjhg>a</font><font face='Monospace, nosuchfamily' color=red>b</font>"
            << "<font>a</font><font face=\"monospace\" color=\"red\">b</font>";
        QTest::newRow("four font families in a text")
            << "<font face=serif>a</font><font face=sans-serif>b</font><font face=cursive>c</font>"
               "<font face=fantasy>d</font><font face=monospace>e</font><font face=SERIF>f</font>"
            << "<font face=\"serif\">a</font><font face=\"sans-serif\">b</font><font face=\"cursive\">c</font>"
               "<font face=\"fantasy\">d</font><font>e</font><font face=\"serif\">f</font>";
        QString const l_family = QFontDatabase().families().value(0, "serif");
        QTest::newRow("a family of the system's, as it spells it")
            << "<font face=\"x, " + l_family.toUpper() + "\">a</font>" << "<font face=\"" + l_family + "\">a</font>";
        QTest::newRow("comment, broken tags") << "<!-- x --><b <" << "&lt;!-- x -->&lt;b &lt;";
        QTest::newRow("huge size") << "<font size=999>x</font>" << "<font>x</font>";
        QTest::newRow("deep nesting") << QString("<div>").repeated(30) << QString("<div>").repeated(24) +
                                                                             QString("&lt;div>").repeated(6) +
                                                                             QString("</div>").repeated(24);
        QTest::newRow("paragraphs close their like") << QString("<p>x").repeated(40)
                                                     << QString("<p>x</p>").repeated(40);
        QTest::newRow("a place to break in a long word")
            << QString("y").repeated(130) << QString("y").repeated(128) + QChar(0x200B) + "yy";
        QTest::newRow("marks on a letter") << "e" + QString(QChar(0x0301)).repeated(10) + " a"
                                           << "e" + QString(QChar(0x0301)).repeated(8) + " a";
        QTest::newRow("cells of a row") << "<table><tr>" + QString("<td>c").repeated(17)
                                        << "<table><tr>" + QString("<td>c</td>").repeated(15) +
                                               "<td>c&lt;td>c</td></tr></table>";
        // The view's parser makes a table for each row or cell outside a
        // table, inside the one before: 226 bytes held the window seconds.
        QTest::newRow("rows and cells outside a table") << "<tr><td></tr><td><tr></tr><td>"
                                                        << "&lt;tr>&lt;td>&lt;/tr>&lt;td>&lt;tr>&lt;/tr>&lt;td>";
        QTest::newRow("nested orphan cells, 226 bytes")
            << "<tr><td></tr>" + QString("<td><tr></tr>").repeated(16) + "<td>x"
            << "&lt;tr>&lt;td>&lt;/tr>" + QString("&lt;td>&lt;tr>&lt;/tr>").repeated(8) + "&lt;td>&lt;tr>&lt;/t" +
                   QChar(0x200B) + "r>" + QString("&lt;td>&lt;tr>&lt;/tr>").repeated(7) + "&lt;td>x";
        QTest::newRow("a cell before its table") << "<td><table><tr><td>x"
                                                 << "&lt;td><table><tr><td>x</td></tr></table>";
        QTest::newRow("only rows in a table, cells in a row") << "<table><b><tr><i><td>x</table>"
                                                              << "<table>&lt;b><tr>&lt;i><td>x</td></tr></table>";
        QTest::newRow("a paragraph in a row of a table in a paragraph")
            << "<p>a<table><tr><td>b</td></tr><tr><p>c</p></tr><tr><td>d</table>"
            << "<p>a<table><tr><td>b</td></tr><tr>&lt;p>c</tr></table></p>&lt;/tr>&lt;tr>&lt;td>d&lt;/table>";
        QTest::newRow("a cell closes what its row's cell opened")
            << "<table><tr><td><ul><li>a<td>b<tr><td>c"
            << "<table><tr><td><ul><li>a</li></ul></td><td>b</td></tr><tr><td>c</td></tr></table>";
        QTest::newRow("list items only in a list") << "<li>a<ul><b><li>b</b><li>c</ul>"
                                                   << "&lt;li>a<ul><b>&lt;li>b</b><li>c</li></ul>";
        QTest::newRow("a list item closes its like, and what it opened")
            << "<ul><li>a<b>b<li>c" << "<ul><li>a<b>b</b></li><li>c</li></ul>";
        QTest::newRow("cut after the last line") << "<b>a" + QString("\n").repeated(1025) + "b"
                                                 << "<b>a" + QString("<br>").repeated(1024) +
                                                        "</b><p>[The rest of the text is too long to show.]</p>";
        // What is shown of text whose script or direction keeps changing:
        // each change counts as 8 characters more (16,384 in all).
        QTest::newRow("Latin and Hebrew letters in turn")
            << QString::fromUtf8("a \u05d0 ").repeated(5000)
            << QString::fromUtf8("a \u05d0 ").repeated(819) + "a <p>[The rest of the text is too long to show.]</p>";
        QTest::newRow("five scripts and a mark in turn")
            << QString::fromUtf8("a\u05e9\u05d1\u6f22\U0001F600\u0301 ").repeated(3000)
            << QString::fromUtf8("a\u05e9\u05d1\u6f22\U0001F600\u0301 ").repeated(420) +
                   "a<p>[The rest of the text is too long to show.]</p>";
        QTest::newRow("digits after Hebrew letters") << QString::fromUtf8("\u05d0\u05d1 12 ").repeated(3000)
            << QString::fromUtf8("\u05d0\u05d1 12 ").repeated(745) + "<p>[The rest of the text is too long to show.]</p>";
        QTest::newRow("Latin words with digits") << QString("ab 12 ").repeated(3000)
                                                 << QString("ab 12 ").repeated(2730) + "ab 1" +
                                                        "<p>[The rest of the text is too long to show.]</p>";
        // An entity counts as the character it stands for.
        QTest::newRow("marks as entities") << "e" + QString("&#x301;").repeated(10) + " a"
                                           << "e" + QString("&#x301;").repeated(8) + " a";
        QTest::newRow("letters as entities") << QString("a&#x5d0; ").repeated(5000)
            << QString("a&#x5d0; ").repeated(862) + "a<p>[The rest of the text is too long to show.]</p>";
        QTest::newRow("paragraph separators") << QString::fromUtf8("a\u2029").repeated(1100)
            << QString::fromUtf8("a\u2029").repeated(1024) + "a<p>[The rest of the text is too long to show.]</p>";
    }
    void DescriptionMarkup()
    {
        QFETCH(QString, description);
        QFETCH(QString, html);
        QCOMPARE(OutsideMarkup::SafeHtml(description), html);
    }

    // What a page shows of each shape of description a peer's reader takes
    // (up to 128 KiB): what its layout costs is bounded, counted in what
    // the layout works on (characters, line breaks in a paragraph, letters
    // without a place to break, marks on a letter, table columns).
    void DescriptionShapes_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("cut");
        // The text shown, without its places to break and its line ends.
        QTest::addColumn<QString>("start");
        QTest::newRow("<div> x 26,000") << QString("<div>").repeated(26000) << true << "<div><div><div>";
        QTest::newRow("<ul><li> x 16,000") << QString("<ul><li>").repeated(16000) << true << "<ul><ul><ul><ul>";
        QTest::newRow("line feeds x 65,500") << "a" + QString("\n").repeated(65500) << true << "a[The rest";
        QTest::newRow("one word of 131,000") << QString("x").repeated(131000) << true << "xxxxxxxxxxxxxxxx";
        QTest::newRow("<b><i><u> x 14,000") << QString("<b><i><u>").repeated(14000) << true << "<b><i><u><b><i>";
        QTest::newRow("a long description") << QString("A line of words.\n").repeated(700) << false
                                            << "A line of words.A line";
        QTest::newRow("long words") << QString("%1 ").arg(QString("y").repeated(1000)).repeated(10) << false
                                    << "yyyyyyyyyyyyyyyyyyyy";
        QTest::newRow("marks on one letter") << "e" + QString(QChar(0x0301)).repeated(60000) << false
                                             << "e" + QString(QChar(0x0301)).repeated(8);
        QTest::newRow("a table of 100 columns")
            << "<table><tr>" + QString("<td>c").repeated(100) + "</table>" << false << "cccccccccccccccc<td>c<td>c";
    }
    void DescriptionShapes()
    {
        QFETCH(QString, description);
        QFETCH(bool, cut);
        QFETCH(QString, start);
        UserInfoForm* lp_page = mp_page->GetUserInfoForm("bob");
        Reply(lp_page, "bob", description);
        QTRY_VERIFY(!lp_page->IsAsking() && PageText(lp_page) != "Requesting...");
        QTextDocument* lp_document = lp_page->Form()->userInfoText->document();
        QString const l_text = PageText(lp_page);
        QCOMPARE(l_text.endsWith(OutsideMarkup::CutNote()), cut);

        int l_shown = 0, l_breaks = 0, l_run = 0, l_longestRun = 0, l_marks = 0, l_mostMarks = 0;
        for (QTextBlock l_block = lp_document->begin(); l_block.isValid(); l_block = l_block.next()) {
            int l_breaksHere = 0;
            l_run = 0;
            for (QChar const l_char : l_block.text()) {
                bool const l_mark = l_char.isMark();
                l_marks = l_mark ? l_marks + 1 : 0;
                l_mostMarks = std::max(l_mostMarks, l_marks);
                l_breaksHere += l_char == QChar::LineSeparator;
                l_run = l_char.isSpace() || l_char == QChar(0x200B) ? 0 : l_run + !l_mark;
                l_longestRun = std::max(l_longestRun, l_run);
                l_shown += l_char != QChar(0x200B);
            }
            l_breaks = std::max(l_breaks, l_breaksHere);
        }
        int l_columns = 0;
        for (QTextFrame* lp_frame : lp_document->rootFrame()->childFrames())
            if (auto* lp_table = qobject_cast<QTextTable*>(lp_frame))
                l_columns = std::max(l_columns, lp_table->columns());
        QVERIFY2(l_shown <= 16384 + 1024 + 64,
                 qPrintable(QString::number(l_shown)));
        QVERIFY2(l_breaks <= 1024, qPrintable(QString::number(l_breaks)));
        QVERIFY2(l_longestRun <= 128, qPrintable(QString::number(l_longestRun)));
        QVERIFY2(l_mostMarks <= 8, qPrintable(QString::number(l_mostMarks)));
        QVERIFY2(l_columns <= 16, qPrintable(QString::number(l_columns)));
        QCOMPARE(QString(l_text).remove(QChar(0x200B)).remove(QChar::LineSeparator).remove('\n').left(start.size()),
                 start);
    }

    // A page loads nothing that a description names, by any name, as a
    // picture, a background or a style sheet, and follows no link, local or
    // not, that it shows.
    void InformationPageLoadsNothing()
    {
        BaitFolder l_baits;
        QStringList l_loaded;
        UserInfoForm* lp_page = mp_page->GetUserInfoForm("bob");
        UserInfoView* lp_view = lp_page->Form()->userInfoText;
        lp_page->resize(600, 400);
        lp_page->show();
        for (QString const& l_text : l_baits.HostileTexts()) {
            lp_page->Init("bob");
            Reply(lp_page, "bob", l_text, Png(20, 20));
            QTRY_VERIFY(!PictureShown(lp_page).isEmpty());
            QCoreApplication::processEvents();
            QStringList const l_opened = l_baits.Opened();
            if (!l_opened.isEmpty() || RedPixels(lp_view->viewport()) > 0)
                l_loaded << l_text + " (opened: " + l_opened.join(", ") + ")";
        }
        QCOMPARE(l_loaded, QStringList());

        QList<QUrl> l_opened;
        LinkRecorder l_recorder(l_opened);
        lp_page->Init("bob");
        QStringList const l_links = {"http://example.invalid/", "link.html", l_baits.Path("link.html"),
                                     QUrl::fromLocalFile(l_baits.Path("link.html")).toString()};
        QString l_description;
        for (int l_link = 0; l_link < l_links.size(); ++l_link)
            l_description += QString("<p><a href=\"%1\">link%2</a></p>").arg(l_links[l_link]).arg(l_link);
        Reply(lp_page, "bob", l_description);
        QTRY_VERIFY(PageText(lp_page).startsWith("link0"));
        QString const l_shown = PageText(lp_page);
        for (int l_link = 0; l_link < l_links.size(); ++l_link) {
            QTextCursor l_on = lp_view->document()->find(QString("link%1").arg(l_link));
            QVERIFY(!l_on.isNull());
            l_on.setPosition(l_on.position() - 2);
            QPoint const l_at = lp_view->cursorRect(l_on).center();
            QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, {}, l_at);
            QCoreApplication::processEvents();
            QCOMPARE(PageText(lp_page), l_shown);
            QCOMPARE(l_opened, QList<QUrl>());
        }
        QVERIFY(lp_view->source().isEmpty());
        QCOMPARE(l_baits.Opened(), QStringList());
    }

    void Pictures()
    {
        struct { QSize m_size; QSize m_shown; } const l_cases[] = {
            {{1600, 400}, {800, 200}}, {{500, 600}, {333, 400}}, {{800, 400}, {800, 400}},
            {{16385, 64}, {0, 0}}, {{8192, 4097}, {0, 0}}};
        for (auto const& l_case : l_cases)
            QCOMPARE(UserDescription::DecodePicture(Png(l_case.m_size.width(), l_case.m_size.height())).size(),
                     l_case.m_shown);
        QVERIFY(UserDescription::DecodePicture("GIF89a broken").isNull());
        QVERIFY(UserDescription::DecodePicture("<svg xmlns='http://www.w3.org/2000/svg' width='9' height='9'/>")
                    .isNull());
    }

    // A page shows the first reply to its request from its own user, a
    // failure only while it waits; a reply nobody asked for is dropped.
    void InformationPage()
    {
        UserInfoForm* lp_page = mp_page->GetUserInfoForm("bob");
        QCOMPARE(PageText(lp_page), QString("Requesting..."));
        mp_messenger->ConnectionToUserFailed("bob", "F");
        mp_messenger->ConnectionToUserFailed("carol", "P");
        Reply(lp_page, "carol", "not mine");
        QCOMPARE(PageText(lp_page), QString("Requesting..."));
        mp_messenger->ConnectionToUserFailed("bob", "P");
        QCOMPARE(PageText(lp_page), QString("A connection could not be successfully formed to the user."));

        // A reply after a failure is still shown.
        Reply(lp_page, "bob", "");
        QTRY_COMPARE(PageText(lp_page), QString("No user info."));
        QCOMPARE(lp_page->Form()->uploadSlotsEdit->text() + lp_page->Form()->queuedUploadsEdit->text() +
                     lp_page->Form()->freeToUploadEdit->text(),
                 QString("25Yes"));
        QTextDocument const* lp_shown = lp_page->Form()->userInfoText->document();
        for (int l_unasked = 0; l_unasked < 3; ++l_unasked)
            Reply(lp_page, "bob", "unasked", l_unasked ? Png(10, 10) : QByteArray(), 9, 9, false);
        QCoreApplication::processEvents();
        QCOMPARE(lp_page->Form()->userInfoText->document(), lp_shown);
        QCOMPARE(PageText(lp_page) + lp_page->Form()->uploadSlotsEdit->text(), QString("No user info.2"));

        // Asked again, the first reply is shown, those after it are not.
        lp_page->Init("bob");
        Reply(lp_page, "bob", "one\r\ntwo\n<i>three</i>", QByteArray(), 1, 0, false);
        Reply(lp_page, "bob", "later", Png(10, 10));
        QTRY_COMPARE(PageText(lp_page).remove(' '), QString("one\ntwo\nthree"));
        QCOMPARE(lp_page->Form()->freeToUploadEdit->text(), QString("No"));

        lp_page->Init("bob");
        Reply(lp_page, "bob", "", Png(1600, 400));
        QTRY_COMPARE(PictureShown(lp_page), QSize(800, 200));
        QCOMPARE(PageText(lp_page).trimmed(), QString(QChar::ObjectReplacementCharacter));
        lp_page->Init("bob");
        Reply(lp_page, "bob", "x", Png(500, 600));
        QTRY_COMPARE(PictureShown(lp_page), QSize(333, 400));
        lp_page->Init("bob");
        Reply(lp_page, "bob", "undecodable", QByteArray("not a picture"));
        QTRY_COMPARE(PageText(lp_page), QString("undecodable"));

        mp_page->OnUserInfoTabCloseRequested(0);
        QCOMPARE(Ui()->userInfoTabs->count(), 0);
        QVERIFY(mp_page->GetUserInfoForm("bob") != lp_page);
        QCOMPARE(int(d["user_info_form"]->GetItemCount()), 1);
    }

    // Ours: the description with CR LF, the picture only when it can be
    // sent whole, the slots, the queue and whether a slot is free.
    void OurReply()
    {
        UserInfoReply l_reply;
        SetSetting("user_description", "a\nb");
        SetSetting("upload_slots", qint64(2));
        Item const l_queued = d["upload_entry_status"]->GetItem(Value("queued"));
        for (int l_upload = 0; l_upload < 5; ++l_upload)
            d["upload_entry"]->NewItem() += l_queued;
        QByteArray const l_tail = Le32(2) + Le32(5) + H("01");
        QCOMPARE(l_reply.Build().ToByteArray(), H("10000000 04000000") + "a\r\nb" + H("00") + l_tail);

        // The picture is read when it changes, not at every request.
        BaitFolder l_folder;
        QString const l_path = l_folder.Path("me.png");
        SetSetting("user_picture_file", l_path);
        SetSetting("user_description", QString("x") + QChar(0) + "y");
        QCOMPARE(l_reply.Build().ToByteArray(), H("10000000 01000000") + "x" + H("00") + l_tail);
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::WriteOnly) && l_file.write("PIC") == 3);
        l_file.close();
        l_folder.Opened();
        // The kernel reports repeated opens once while they are not read.
        QStringList l_opens;
        for (int l_request = 0; l_request < 3; ++l_request) {
            QCOMPARE(l_reply.Build().ToByteArray(), H("10000000 01000000") + "x" + H("01 03000000") + "PIC" + l_tail);
            l_opens += l_folder.Opened();
        }
        QCOMPARE(l_opens, QStringList("me.png"));
        QVERIFY(l_file.open(QIODevice::WriteOnly) && l_file.write("PICTURE") == 7);
        l_file.close();
        l_folder.Opened();
        l_opens.clear();
        for (int l_request = 0; l_request < 3; ++l_request) {
            QCOMPARE(l_reply.Build().ToByteArray(),
                     H("10000000 01000000") + "x" + H("01 07000000") + "PICTURE" + l_tail);
            l_opens += l_folder.Opened();
        }
        QCOMPARE(l_opens, QStringList("me.png"));
        QVERIFY(l_file.resize(UserInfoReply::MAX_PICTURE_BYTES + 1));
        QCOMPARE(l_reply.Build().ToByteArray(), H("10000000 01000000") + "x" + H("00") + l_tail);
        SetSetting("user_picture_file", l_folder.Path(""));
        QCOMPARE(l_reply.Build().ToByteArray(), H("10000000 01000000") + "x" + H("00") + l_tail);

        // A description too long for a peer's reader is cut at a character.
        SetSetting("user_description", QString("a") + QString(QChar(0x00e9)).repeated(0x10000));
        QByteArray const l_cut = UserInfoReply::DescriptionBytes(GetSetting("user_description"));
        QCOMPARE(l_cut.size(), int(NETWORK_STRING_LIMIT) - 1);
        QVERIFY(QString::fromUtf8(l_cut).endsWith(QChar(0x00e9)));
    }
};

QTEST_MAIN(UsersPageTest)
#include "UsersPageTest.moc"
