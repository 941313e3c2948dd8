// The Chat page and its private pages: one page per user, found again until
// its tab closes; tab icons that follow the partner's online state; sending
// refused without a server; notifications, away notices, the empty-share
// warning, links and the log viewer's tab; and the colour dialog. The road
// through the stand-in server is in ChatWindowTest.cpp.

#include "ChatFixture.h"

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

namespace {

bool ShowsIcon(QIcon const& i_icon, char const* ip_resource)
{
    return i_icon.pixmap(16).toImage() == QIcon(ip_resource).pixmap(16).toImage();
}

QColor ShownColor(QIcon const& i_swatch)
{
    return i_swatch.pixmap(15).toImage().pixelColor(7, 7);
}

} // namespace

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
    static bool HasEventButton(ChatForm* ip_page)
    {
        return d["event_toolbar_widget"]->HasItem(Value(static_cast<QObject*>(ip_page->Form()->chatEdit))).IsValid();
    }

    ColorSelectionDialog* ColourDialog(QString const& i_label)
    {
        ColorSelectionDialog* lp_dialog = new ColorSelectionDialog;
        lp_dialog->Form()->colorSelectionBox->setCurrentText(i_label);
        return lp_dialog;
    }
    static QString StoredColor(char const* ip_role)
    {
        return d["color_setting"]->HasItem(Value(ip_role))["color_setting_value"].AsString();
    }
    // Changes the selected entry's colour through the picker; an invalid
    // colour cancels the picker.
    static void Pick(ColorSelectionDialog* ip_dialog, QColor const& i_color)
    {
        AnswerNextModal([i_color](QWidget* ip_modal) {
            QColorDialog* lp_picker = qobject_cast<QColorDialog*>(ip_modal);
            if (!lp_picker)
                return false;
            if (i_color.isValid()) {
                lp_picker->setCurrentColor(i_color);
                lp_picker->accept();
            } else {
                lp_picker->reject();
            }
            return true;
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

    void OnePagePerUser()
    {
        ChatForm* lp_alice = mp_page->GetChatForm("alice");
        QVERIFY(lp_alice);
        QCOMPARE(Tabs()->count(), 1);
        QCOMPARE(Tabs()->tabText(0), QString("alice"));
        QVERIFY(ShowsIcon(Tabs()->tabIcon(0), ":/icons/offline_icon"));
        QVERIFY(User("alice").IsConnected("is_tracked"));
        QCOMPARE(mp_page->GetChatForm("alice"), lp_alice);
        QCOMPARE(Tabs()->count(), 1);

        SetFlag(User("bob"), "is_online", true);
        QVERIFY(mp_page->GetChatForm("bob") != lp_alice);
        QCOMPARE(Tabs()->count(), 2);
        QVERIFY(ShowsIcon(Tabs()->tabIcon(1), ":/icons/online_icon"));
        QCOMPARE(Tabs()->currentIndex(), 0);

        // The icons follow the partners; users without a page are ignored.
        SetFlag(User("alice"), "is_online", true);
        SetFlag(User("bob"), "is_online", false);
        SetFlag(User("carol"), "is_online", true);
        QVERIFY(ShowsIcon(Tabs()->tabIcon(0), ":/icons/online_icon"));
        QVERIFY(ShowsIcon(Tabs()->tabIcon(1), ":/icons/offline_icon"));

        // An empty name opens nothing; "&" stays in the tab text.
        QCOMPARE(mp_page->GetChatForm(QString()), static_cast<ChatForm*>(nullptr));
        mp_page->OpenChatForm(QString());
        QVERIFY(d["user"]->HasItem(Value("")).IsNull());
        mp_page->GetChatForm("a&b");
        QCOMPARE(Tabs()->tabText(2), QString("a&b"));
        QCOMPARE(d["user_chat_widget"]->GetItemCount(), std::size_t(3));
    }

    void ClosedTabsMakeFreshPages()
    {
        ChatForm* lp_first = mp_page->GetChatForm("alice");
        lp_first->AddChat("alice", "hello");
        QPointer<ChatForm> l_first(lp_first);
        lp_first->OnActionTriggered(lp_first, "user_chat_log");
        lp_first->OnActionTriggered(lp_first, "user_chat_log");
        QCOMPARE(Tabs()->count(), 2);
        QCOMPARE(Tabs()->tabText(1), QString("alice"));
        QVERIFY(qobject_cast<ChatLogForm*>(Tabs()->widget(1)));
        QCOMPARE(Tabs()->currentIndex(), 1);
        lp_first->OnActionTriggered(mp_page, "user_chat_log");
        QCOMPARE(Tabs()->count(), 2);

        mp_page->OnChatTabClosed(0);
        QVERIFY(!l_first);
        QCOMPARE(d["user_chat_widget"]->GetItemCount(), std::size_t(0));
        ChatForm* lp_second = mp_page->GetChatForm("alice");
        QCOMPARE(Shown(lp_second), QStringList());
        // The viewer outlived the page and is fed by the new one.
        lp_second->AddChat("alice", "again");
        ChatLogForm* lp_viewer = ChatLogForm::Find(ChatLogKind::USER, "alice");
        QVERIFY(lp_viewer);
        QCOMPARE(Paragraphs(lp_viewer->Form()->logEdit->document()).size(), 2);

        mp_page->OnChatTabClosed(Tabs()->indexOf(lp_viewer));
        QCOMPARE(Tabs()->count(), 1);
        QCOMPARE(d["chat_log_form"]->GetItemCount(), std::size_t(0));
        QCOMPARE(mp_page->GetChatForm("alice"), lp_second);
    }

    void OpenChatFormShowsThePage()
    {
        mp_page->GetChatForm("alice");
        ChatForm* lp_bob = mp_page->GetChatForm("bob");
        mp_window->setCurrentIndex(0);
        mp_window->show();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
        mp_page->OpenChatForm("bob");
        QCOMPARE(mp_window->currentWidget(), mp_page);
        QCOMPARE(Tabs()->currentWidget(), lp_bob);
        QTRY_VERIFY(lp_bob->Form()->chatEdit->hasFocus());
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
        QVERIFY(!QDir(LogRoot()).exists());
        QCOMPARE(m_balloons, QStringList());
    }

    // Every ordinary line raises the page's event (own lines too, under the
    // partner's name); action lines raise none. Showing the page removes
    // its buttons.
    void Notifications()
    {
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        QString const l_hundred = QString(99, 'x') + 'y';
        lp_page->AddChat("alice", l_hundred + "z");
        lp_page->AddChat("alice", l_hundred);
        lp_page->AddChat("alice", "/me waves");
        lp_page->AddChat("me", "<b>own</b>");
        QCOMPARE(m_balloons, QStringList({"[alice] " + l_hundred + " ...", "[alice] " + l_hundred, "[me] <b>own</b>"}));

        SetSwitch("show_event_buttons", true);
        lp_page->AddChat("me", "hi");
        QVERIFY(HasEventButton(lp_page));
        QCOMPARE(eventToolBar->actions().last()->text(), QString("alice"));
        mp_window->show();
        mp_window->setCurrentWidget(mp_page);
        QTRY_VERIFY(!HasEventButton(lp_page));
    }

    void AwayNotices()
    {
        SetFlag(User("alice"), "is_away", true);
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        SetFlag(User("alice"), "is_away", false);
        SetFlag(User("bob"), "is_away", true);
        SetFlag(User("alice"), "is_away", true);
        QCOMPARE(Shown(lp_page), QStringList({"* alice is away.", "* alice is available.", "* alice is away."}));
        QVERIFY(!QDir(LogRoot()).exists());
        QCOMPARE(m_balloons, QStringList());
    }

    // The warning our client sent about the partner's empty share opens
    // each new page of his as an own line, logged and announced.
    void EmptyShareWarning()
    {
        EnsureType("sent_empty_share_warning_message", INTERMEDIATE, false, true);
        EnsureRelation("sent_empty_share_warning_message", "user", MANY, ONE, false);
        d["sent_empty_share_warning_message"]->GetItem(Value("Please share something.")) += User("alice");
        for (int l_round = 1; l_round <= 2; ++l_round) {
            ChatForm* lp_page = mp_page->GetChatForm("alice");
            QStringList const l_shown = Shown(lp_page);
            QCOMPARE(l_shown.size(), 2);
            QVERIFY(l_shown.first().startsWith("* Chat started "));
            QCOMPARE(l_shown.last(), QString("[me] Please share something."));
            QCOMPARE(FileBytes(UserLog("alice")).count("][me] Please share something.\n"), l_round);
            mp_page->OnChatTabClosed(0);
        }
        QCOMPARE(m_balloons, QStringList({"[me] Please share something.", "[me] Please share something."}));
    }

    // A clicked web address goes to the desktop's browser and the input
    // line keeps the focus; a drag over it selects; an address of another
    // kind is not opened.
    void Links()
    {
        ChatForm* lp_page = mp_page->GetChatForm("alice");
        ChatView* lp_view = lp_page->Form()->chatView;
        mp_window->setCurrentWidget(mp_page);
        mp_window->show();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
        lp_page->AddChat("alice", "see http://example.com/a?b=1&c=2 now");
        QTRY_VERIFY(lp_view->updatesEnabled()); // laid out and painted
        QTextCursor l_link = lp_view->document()->find("example.com");
        QPoint const l_at = lp_view->cursorRect(l_link).center();
        QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QCOMPARE(m_opened, QStringList("http://example.com/a?b=1&c=2"));
        QTRY_VERIFY(lp_page->Form()->chatEdit->hasFocus());
        QTest::mousePress(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at);
        QMouseEvent l_drag(QEvent::MouseMove, l_at + QPoint(30, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(lp_view->viewport(), &l_drag);
        QTest::mouseRelease(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, l_at + QPoint(30, 0));
        QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, Qt::NoModifier, lp_view->cursorRect(lp_view->document()->find("now")).center());
        emit lp_view->anchorClicked(QUrl("file:///etc/passwd"));
        QCOMPARE(m_opened, QStringList("http://example.com/a?b=1&c=2"));
    }

    // ---------------------------------------------------- colour dialog

    void ColourDialogLists()
    {
        // An entry the data file brought, unknown to this build, has no label.
        d["color_setting"]->GetItem(Value("bogus")) += d["color_setting_value"]->GetItem(Value("#010203"));
        ColorSelectionDialog* lp_dialog = new ColorSelectionDialog;
        QPointer<ColorSelectionDialog> l_dialog(lp_dialog);
        QComboBox* lp_box = lp_dialog->Form()->colorSelectionBox;
        QStringList l_labels;
        for (int l_entry = 0; l_entry < lp_box->count(); ++l_entry)
            l_labels << lp_box->itemText(l_entry);
        QCOMPARE(l_labels, QStringList({"Button Background", "Button Text", "Chat - Own Messages", "Chat - Statuses",
                                        "Chat - Timestamps", "Chat - Usernames", "Input Background", "Input Text",
                                        "Transfers - Complete", "Transfers - Failed", "Transfers - In Progress",
                                        "Transfers - Other", "Transfers - Paused", "Transfers - Queued",
                                        "Window Background", "Window Text"}));
        QCOMPARE(lp_box->currentIndex(), 0);
        QColor const l_button = QApplication::palette().color(QPalette::Button);
        QCOMPARE(lp_dialog->Form()->colorDisplay->palette().color(QPalette::Base), l_button);
        QCOMPARE(ShownColor(lp_box->itemIcon(0)), l_button);
        QCOMPARE(ShownColor(lp_box->itemIcon(3)), QColor("#339933"));
        lp_dialog->close();
        QTRY_VERIFY(!l_dialog);
    }

    // A change relinks only the selected entry, at once; another entry that
    // shared its colour keeps it; the next chat line takes the new colour.
    // Cancelling the picker changes nothing.
    void ColourDialogChanges()
    {
        d["color_setting"]->HasItem(Value("chat_username")) += d["color_setting_value"]->GetItem(Value("#339933"));
        ColorSelectionDialog* lp_dialog = ColourDialog("Chat - Statuses");
        Pick(lp_dialog, QColor("#123456"));
        QCOMPARE(StoredColor("chat_status"), QString("#123456"));
        QCOMPARE(StoredColor("chat_username"), QString("#339933"));
        QComboBox* lp_box = lp_dialog->Form()->colorSelectionBox;
        QCOMPARE(ShownColor(lp_box->itemIcon(lp_box->currentIndex())), QColor("#123456"));
        QCOMPARE(lp_dialog->Form()->colorDisplay->palette().color(QPalette::Base), QColor("#123456"));

        ChatView l_view;
        l_view.AddStatusMessage("next");
        QTextCursor l_end(l_view.document());
        l_end.movePosition(QTextCursor::End);
        QCOMPARE(l_end.charFormat().foreground().color(), QColor("#123456"));

        lp_box->setCurrentText("Chat - Usernames");
        Pick(lp_dialog, QColor());
        QCOMPARE(StoredColor("chat_username"), QString("#339933"));
        QCOMPARE(StoredColor("chat_status"), QString("#123456"));
        QCOMPARE(lp_dialog->Form()->colorDisplay->palette().color(QPalette::Base), QColor("#339933"));
        delete lp_dialog;
    }
};

QTEST_MAIN(ChatPagesTest)
#include "ChatPagesTest.moc"
