// The Chat page and its private pages: one page per user until its tab
// closes, online icons, sending refused without a server, notifications,
// away notices, the empty-share warning, links, the log viewer's tab; and
// the colour dialog. The road through the stand-in server is in
// ChatWindowTest.cpp.

#include "ChatFixture.h"
#include "../MenuTexts.h"

#include "server/StoreTypes.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/ColorSelectionDialog.h"
#include "ui/chat/ChatView.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/TabWidget.h"
#include "ui_ChatForm.h"
#include "ui_ChatLogForm.h"
#include "ui_ChatsForm.h"
#include "ui_ColorSelectionDialog.h"

#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMouseEvent>

class ChatPagesTest : public QObject, public ChatFixture
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_opened << i_url.toString(); }

private:
    std::unique_ptr<TabWidget> mp_window; // the main window's tab row
    ChatsForm* mp_page = nullptr;
    QStringList m_opened;
    QStringList m_balloons;

    QTabWidget* Tabs() const { return mp_page->Form()->chatTabControl; }
    static Item User(char const* ip_name) { return d["user"]->GetItem(Value(ip_name)); }
    static QStringList Shown(ChatForm* ip_page) { return Paragraphs(ip_page->Form()->chatView->document()); }
    // "online" or "offline", by the tab's icon.
    QString TabIcon(int i_tab) const
    {
        QImage const l_icon = Tabs()->tabIcon(i_tab).pixmap(16).toImage();
        return l_icon == QIcon(":/icons/online_icon").pixmap(16).toImage() ? "online" : "offline";
    }
    static QString StoredColor(char const* ip_role)
    {
        return d["color_setting"]->HasItem(Value(ip_role))["color_setting_value"].AsString();
    }
    static QColor Swatch(ColorSelectionDialog* ip_dialog, int i_entry)
    {
        return ip_dialog->Form()->colorSelectionBox->itemIcon(i_entry).pixmap(15).toImage().pixelColor(7, 7);
    }
    // Picks the colour in the picker for the selected entry; an invalid
    // colour cancels the picker.
    static void Pick(ColorSelectionDialog* ip_dialog, QColor const& i_color)
    {
        AnswerNextModal([i_color](QWidget* ip_modal) {
            QColorDialog* lp_picker = qobject_cast<QColorDialog*>(ip_modal);
            if (lp_picker)
                i_color.isValid() ? (lp_picker->setCurrentColor(i_color), lp_picker->accept()) : lp_picker->reject();
            return lp_picker != nullptr;
        });
        ip_dialog->Form()->changeColorButton->click();
    }

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler("http", this, "OnUrlOpened");
        QDesktopServices::setUrlHandler("file", this, "OnUrlOpened");
    }

    void init()
    {
        StartChat();
        MainWindowHooks l_hooks;
        l_hooks.m_popupAlert = [this](QString const& i_text) { m_balloons << i_text; };
        l_hooks.m_isActive = []() { return false; };
        SetMainWindowHooks(l_hooks);
        EventToolBar::SetSoundPlayer([](QString const&) {});
        mp_window = std::make_unique<TabWidget>();
        mp_window->addTab(new QWidget, "Search");
        mp_page = new ChatsForm;
        mp_window->addTab(mp_page, "Chat");
        mp_page->Init();
        m_opened.clear();
        m_balloons.clear();
    }

    void cleanup()
    {
        mp_window.reset();
        SetMainWindowHooks(MainWindowHooks());
        StopManagers();
    }

    // ------------------------------------------------------------ pages

    // A page per user, tracked, its tab in the background with the online
    // icon, which follows the partner; an empty name opens nothing.
    void OnePagePerUser()
    {
        ChatForm* lp_alice = mp_page->GetChatForm("alice");
        QVERIFY(lp_alice && mp_page->GetChatForm("alice") == lp_alice);
        QVERIFY(User("alice").IsConnected("is_tracked"));
        SetFlag(User("bob"), "is_online", true);
        mp_page->GetChatForm("bob");
        mp_page->GetChatForm("a&b");
        QCOMPARE(QStringList({Tabs()->tabText(0), Tabs()->tabText(1), Tabs()->tabText(2)}), QStringList({"alice", "bob", "a&&b"}));
        QCOMPARE(QStringList({TabIcon(0), TabIcon(1)}), QStringList({"offline", "online"}));
        QCOMPARE(Tabs()->currentIndex(), 0);
        SetFlag(User("alice"), "is_online", true);
        SetFlag(User("bob"), "is_online", false);
        SetFlag(User("carol"), "is_online", true);
        QCOMPARE(QStringList({TabIcon(0), TabIcon(1)}), QStringList({"online", "offline"}));
        QVERIFY(!mp_page->GetChatForm(QString()));
        mp_page->OpenChatForm(QString());
        QVERIFY(d["user"]->HasItem(Value("")).IsNull());
        QCOMPARE(Tabs()->count(), 3);
    }

    // Past the limit of pages, a message from one more user opens none and
    // lands in his log; those with a page still reach it.
    void IncomingMessagesOpenBoundedPages()
    {
        for (int l_user = 0; l_user < ChatsForm::MAX_CHAT_PAGES; ++l_user)
            mp_page->AddIncomingChat(QString("user%1").arg(l_user), "hi");
        QCOMPARE(Tabs()->count(), ChatsForm::MAX_CHAT_PAGES);
        mp_page->AddIncomingChat("latecomer", "/me knocks");
        mp_page->AddIncomingChat("user7", "again");
        QCOMPARE(Tabs()->count(), ChatsForm::MAX_CHAT_PAGES);
        QVERIFY(!User("latecomer").IsConnected("user_chat_widget"));
        QVERIFY(FileBytes(UserLog("latecomer")).endsWith("] * latecomer knocks\n"));
        QVERIFY(FileBytes(UserLog("user7")).endsWith("][user7] again\n"));
        QVERIFY(Shown(mp_page->GetChatForm("user7")).last().endsWith("again"));
    }

    // A closed page is gone (a new one starts empty); its log viewer is a
    // tab of its own, opened once, that outlives it.
    void ClosedTabsAndTheLogViewer()
    {
        ChatForm* lp_first = mp_page->GetChatForm("alice");
        lp_first->AddChat("alice", "hello");
        lp_first->OnActionTriggered(lp_first, "user_chat_log");
        lp_first->OnActionTriggered(lp_first, "user_chat_log");
        lp_first->OnActionTriggered(mp_page, "user_chat_log");
        ChatLogForm* lp_viewer = ChatLogForm::Find(ChatLogKind::USER, "alice");
        QCOMPARE(Tabs()->count(), 2);
        QCOMPARE(Tabs()->currentWidget(), lp_viewer);
        mp_page->OnChatTabClosed(0);
        QCOMPARE(d["user_chat_widget"]->GetItemCount(), std::size_t(0));
        ChatForm* lp_second = mp_page->GetChatForm("alice");
        QCOMPARE(Shown(lp_second), QStringList());
        lp_second->AddChat("alice", "again");
        // A line that comes while the viewer still reads the log is held
        // back until the log is in.
        QTRY_VERIFY(!lp_viewer->IsLoading());
        QCOMPARE(Paragraphs(lp_viewer->Form()->logEdit->document()).size(), 2);
        mp_page->OnChatTabClosed(Tabs()->indexOf(lp_viewer));
        QCOMPARE(d["chat_log_form"]->GetItemCount(), std::size_t(0));
        QCOMPARE(mp_page->GetChatForm("alice"), lp_second);
    }

    void OpenChatFormShowsThePage()
    {
        mp_page->GetChatForm("alice");
        ChatForm* lp_bob = mp_page->GetChatForm("bob");
        mp_window->show();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
        mp_page->OpenChatForm("bob");
        QVERIFY(mp_window->currentWidget() == mp_page && Tabs()->currentWidget() == lp_bob);
        QTRY_VERIFY(lp_bob->Form()->chatEdit->hasFocus());
    }

    // A right click anywhere in the view offers the partner's user menu.
    void UserMenuOfThePartner()
    {
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        FakeUserMenu();
        QCOMPARE(ShownMenu([lp_page] { lp_page->OnContextMenuRequested(QPoint(5, 5)); }),
                 QStringList({"user menu of alice"}));
        SetUserPageHooks(UserPageHooks());
    }

    // ------------------------------------------------- a private page

    void NothingSentWithoutTheServer()
    {
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        QLineEdit* lp_entry = lp_page->Form()->chatEdit;
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(Shown(lp_page), QStringList());
        lp_entry->setText("hello there");
        QTest::keyClick(lp_entry, Qt::Key_Return);
        QCOMPARE(Shown(lp_page), QStringList("* Not connected: message not sent."));
        QCOMPARE(lp_entry->text(), QString("hello there"));
        QVERIFY(!QDir(LogRoot()).exists() && m_balloons.isEmpty());
    }

    // Every ordinary line raises the page's event (own lines too, under the
    // partner's name), actions none; showing the page removes its buttons.
    // Away notices are status lines, neither logged nor announced.
    void NotificationsAndNotices()
    {
        SetFlag(User("alice"), "is_away", true);
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        SetFlag(User("alice"), "is_away", false);
        SetFlag(User("bob"), "is_away", true);
        QString const l_hundred = QString(99, 'x') + 'y';
        lp_page->AddChat("alice", l_hundred + "z");
        lp_page->AddChat("alice", l_hundred);
        lp_page->AddChat("alice", "/me waves");
        SetSwitch("show_event_buttons", true);
        lp_page->AddChat("me", "<b>own</b>");
        QCOMPARE(m_balloons, QStringList({"[alice] " + l_hundred + " ...", "[alice] " + l_hundred, "[me] <b>own</b>"}));
        QCOMPARE(Shown(lp_page).mid(0, 2), QStringList({"* alice is away.", "* alice is available."}));
        QCOMPARE(FileBytes(UserLog("alice")).count('\n'), 4);
        QCOMPARE(eventToolBar->actions().last()->text(), QString("alice"));
        mp_window->show();
        mp_window->setCurrentWidget(mp_page);
        QTRY_VERIFY(d["event_toolbar_widget"]->HasItem(Value(static_cast<QObject*>(lp_page->Form()->chatEdit))).IsNull());
    }

    // The warning sent about the partner's empty share opens each new page
    // of his as an own line, logged and announced.
    void EmptyShareWarning()
    {
        EnsureType("sent_empty_share_warning_message", INTERMEDIATE, false, true);
        EnsureRelation("sent_empty_share_warning_message", "user", MANY, ONE, false);
        d["sent_empty_share_warning_message"]->GetItem(Value("Please share.")) += User("alice");
        for (int l_round = 1; l_round <= 2; ++l_round) {
            QStringList const l_shown = Shown(mp_page->GetChatForm("alice"));
            QVERIFY(l_shown.size() == 2 && l_shown.first().startsWith("* Chat started "));
            QCOMPARE(l_shown.last(), QString("[me] Please share."));
            QCOMPARE(FileBytes(UserLog("alice")).count("][me] Please share.\n"), l_round);
            mp_page->OnChatTabClosed(0);
        }
        QCOMPARE(m_balloons, QStringList({"[me] Please share.", "[me] Please share."}));
    }

    // A click on a web address opens it in the browser and the input line
    // keeps the focus; a drag over it only selects; no other kind opens.
    void Links()
    {
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        ChatView* lp_view = lp_page->Form()->chatView;
        mp_window->setCurrentWidget(mp_page);
        mp_window->show();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
        lp_page->AddChat("alice", "see http://example.com/a?b=1&c=2 now");
        QPoint const l_at = lp_view->cursorRect(lp_view->document()->find("example.com")).center();
        QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QTRY_VERIFY(lp_page->Form()->chatEdit->hasFocus());
        QTest::mousePress(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QMouseEvent l_drag(QEvent::MouseMove, l_at + QPoint(30, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(lp_view->viewport(), &l_drag);
        QTest::mouseRelease(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at + QPoint(30, 0));
        emit lp_view->anchorClicked(QUrl("file:///etc/passwd"));
        QCOMPARE(m_opened, QStringList("http://example.com/a?b=1&c=2"));
    }

    // ---------------------------------------------------- colour dialog

    // Every labelled entry in label order, the first shown; a change
    // relinks only the selected entry (one that shared its colour keeps it)
    // and the next chat line takes it; a cancelled picker changes nothing.
    void ColourDialog()
    {
        d["color_setting"]->GetItem(Value("from_the_data_file")) += d["color_setting_value"]->GetItem(Value("#010203"));
        d["color_setting"]->HasItem(Value("chat_username")) += d["color_setting_value"]->GetItem(Value("#339933"));
        QPointer<ColorSelectionDialog> lp_dialog = new ColorSelectionDialog;
        QComboBox* lp_box = lp_dialog->Form()->colorSelectionBox;
        QCOMPARE(lp_box->count(), 16);
        QCOMPARE(QStringList({lp_box->itemText(0), lp_box->itemText(3), lp_box->itemText(15)}),
                 QStringList({"Button Background", "Chat - Statuses", "Window Text"}));
        QColor const l_button = QApplication::palette().color(QPalette::Button);
        QVERIFY(lp_box->currentIndex() == 0 && Swatch(lp_dialog, 0) == l_button);
        QCOMPARE(lp_dialog->Form()->colorDisplay->palette().color(QPalette::Base), l_button);

        lp_box->setCurrentIndex(3);
        Pick(lp_dialog, QColor("#123456"));
        QCOMPARE(QStringList({StoredColor("chat_status"), StoredColor("chat_username")}), QStringList({"#123456", "#339933"}));
        QVERIFY(Swatch(lp_dialog, 3) == QColor("#123456"));
        QCOMPARE(lp_dialog->Form()->colorDisplay->palette().color(QPalette::Base), QColor("#123456"));
        ChatView l_view;
        l_view.AddStatusMessage("next");
        QTextCursor l_end(l_view.document());
        l_end.movePosition(QTextCursor::End);
        QCOMPARE(l_end.charFormat().foreground().color(), QColor("#123456"));

        lp_box->setCurrentIndex(5);
        Pick(lp_dialog, QColor());
        QCOMPARE(QStringList({StoredColor("chat_status"), StoredColor("chat_username")}), QStringList({"#123456", "#339933"}));
        lp_dialog->close();
        QTRY_VERIFY(!lp_dialog);
    }
};

QTEST_MAIN(ChatPagesTest)
#include "ChatPagesTest.moc"
