#include "ui/widgets/ActionSetToolBar.h"
#include "tests/app/OverflowFolding.h"
#include "ui/widgets/Globals.h"
#include "store/Settings.h"

#include <QDesktopServices>
#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QtTest>

#include <climits>
#include <memory>

// The privileges the server tells, and the supporter button's text and star.
struct PrivilegeCase { bool m_supporter; int m_seconds; QString m_text; bool m_star; };
Q_DECLARE_METATYPE(PrivilegeCase)

// One window with three pages: a room page (fixed key), a room list (a
// tree with a column key) and a page that no set is registered for; each
// test starts with the focus in the room page.
class ActionSetToolBarTest : public QObject
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_openedUrls << i_url; }

private:
    std::unique_ptr<QMainWindow> mp_window;
    ActionSetToolBar* mp_bar = nullptr;
    QWidget* mp_roomPage = nullptr;
    QLineEdit* mp_roomInput = nullptr;
    QLineEdit* mp_roomOther = nullptr;
    QTreeWidget* mp_roomList = nullptr;
    QLineEdit* mp_loose = nullptr;
    QTabWidget* mp_tabs = nullptr;
    QList<QUrl> m_openedUrls;

    // "set: the shown texts".
    QString Shown() const
    {
        QStringList l_texts;
        for (QAction* lp_action : mp_bar->actions())
            if (!lp_action->text().isEmpty() && lp_action->isVisible())
                l_texts << lp_action->text();
        return mp_bar->CurrentSetName() + ": " + l_texts.join(", ");
    }

    QAction* Action(QString const& i_text) const
    {
        for (QAction* lp_action : mp_bar->actions())
            if (lp_action->text() == i_text)
                return lp_action;
        return nullptr;
    }

    void Focus(QWidget* ip_widget, int i_tab = -1)
    {
        if (i_tab >= 0)
            mp_tabs->setCurrentIndex(i_tab);
        ip_widget->setFocus(Qt::OtherFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), ip_widget);
    }

private slots:
    void init()
    {
        d.Reset();
        g_showIsOver = false;
        mp_window.reset(new QMainWindow);
        mp_bar = new ActionSetToolBar(mp_window.get());
        mp_window->addToolBar(mp_bar);
        DeclareSettingsTypes();

        mp_tabs = new QTabWidget;
        mp_window->setCentralWidget(mp_tabs);
        mp_roomPage = new QWidget;
        mp_roomInput = new QLineEdit(mp_roomPage);
        mp_roomOther = new QLineEdit(mp_roomPage);
        mp_roomList = new QTreeWidget;
        mp_roomList->setColumnCount(2);
        for (char const* lp_room : {"lobby", "music"})
            new QTreeWidgetItem(mp_roomList, QStringList({lp_room, "12"}));
        mp_loose = new QLineEdit;
        mp_tabs->addTab(mp_roomPage, "room");
        mp_tabs->addTab(mp_roomList, "list");
        mp_tabs->addTab(mp_loose, "other");

        mp_bar->Init();
        mp_bar->AddSetAction("room", "toggle_room_autojoin", "Autojoin", ":/icons/room_icon", false);
        mp_bar->AddSetAction("room", "room_chat_log", "Chat Log", ":/icons/note_icon", false);
        mp_bar->AddSetAction("room_list", "create_room", "Create Room", ":/icons/room_icon", false);
        mp_bar->AddSetAction("room_list", "join_room", "Join", ":/icons/room_icon", true);
        mp_bar->RegisterWidget(mp_roomPage, "room");
        mp_bar->AddWidgetKey(mp_roomPage, "room", "lobby");
        mp_bar->RegisterWidget(mp_roomList, "room_list");
        mp_bar->AddWidgetColumnKey(mp_roomList, "room", 0);

        mp_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(mp_window.get()));
        mp_window->activateWindow();
        QTRY_VERIFY(mp_window->isActiveWindow());
        Focus(mp_roomInput);
    }

    void cleanup()
    {
        g_showIsOver = false;
        mp_window.reset();
        QDesktopServices::unsetUrlHandler("http");
        m_openedUrls.clear();
    }

    // Built before the settings exist: the supporter button stays blank.
    void FreshBarBeforeTheSettings()
    {
        d.Reset();
        ActionSetToolBar l_bar;
        QVERIFY(l_bar.SupporterButton()->text().isEmpty() && !l_bar.StatusButton());
    }

    void FocusMovesTheActionSet()
    {
        QCOMPARE(Shown(), QString("room: Autojoin, Chat Log"));
        QCOMPARE(mp_bar->ShownWidget(), mp_roomPage);
        QCOMPARE(mp_bar->GetKey("room"), QString("lobby"));
        QAction* lp_autojoin = Action("Autojoin");
        // Another child of the same page: no rebuild. Focus leaving the program changes nothing.
        Focus(mp_roomOther);
        mp_bar->OnApplicationFocusChanged(mp_roomOther, nullptr);
        QCOMPARE(Action("Autojoin"), lp_autojoin);

        Focus(mp_roomList, 1);
        QCOMPARE(Shown(), QString("room_list: Create Room, Join"));
        // A widget no set is registered for: only the fixed parts.
        Focus(mp_loose, 2);
        QCOMPARE(Shown(), QString(": "));
        QCOMPARE(mp_bar->actions().size(), 5);
        // A tab row stands for its current page.
        mp_tabs->tabBar()->setFocusPolicy(Qt::StrongFocus);
        Focus(mp_tabs->tabBar(), 0);
        QCOMPARE(mp_bar->CurrentSetName(), QString("room"));
        QCOMPARE(mp_bar->ShownWidget(), mp_roomPage);
        // Once the shutdown began, focus moves nothing.
        g_showIsOver = true;
        Focus(mp_roomList, 1);
        QCOMPARE(mp_bar->CurrentSetName(), QString("room"));
    }

    // The set changes while the opened » overflow folds back (the pointer
    // left the bar for the room list): once folded, the bar shows its new
    // set's head, the status button, and still offers » for the rest.
    void SetChangedWhileTheOverflowFolds()
    {
        mp_window->resize(120, 300);
        int const l_foldedHeight = OpenOverflowAndLeave(mp_bar);
        QVERIFY(l_foldedHeight > 0);
        Focus(mp_roomList, 1);
        QCOMPARE(mp_bar->CurrentSetName(), QString("room_list"));
        QTRY_COMPARE(mp_bar->height(), l_foldedHeight);
        QTRY_VERIFY(mp_bar->StatusButton()->isVisible());
        QVERIFY(OffersOverflow(mp_bar));
        // The window goes as in the program: once the show is over.
        g_showIsOver = true;
        mp_window.reset();
    }

    void DialogOfAPageShowsNoSet()
    {
        QDialog l_dialog(mp_roomPage);
        QLineEdit* lp_field = new QLineEdit(&l_dialog);
        l_dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_dialog));
        l_dialog.activateWindow();
        QTRY_VERIFY(l_dialog.isActiveWindow());
        Focus(lp_field);
        QCOMPARE(Shown(), QString(": "));
    }

    void ActionReportsItsWidgetAndKeys()
    {
        QSignalSpy l_spy(mp_bar, &ActionSetToolBar::ActionTriggered);
        Action("Chat Log")->trigger();
        QCOMPARE(l_spy.size(), 1);
        QCOMPARE(l_spy[0][0].value<QWidget*>(), mp_roomPage);
        QCOMPARE(l_spy[0][1].toString(), QString("room_chat_log"));
        QCOMPARE(mp_bar->GetKey("room"), QString("lobby"));

        // No selected row: an action that needs one stays silent, the other
        // fires with the keys as they were.
        Focus(mp_roomList, 1);
        mp_roomList->clearSelection();
        Action("Join")->trigger();
        QCOMPARE(l_spy.size(), 1);
        Action("Create Room")->trigger();
        QCOMPARE(l_spy.size(), 2);
        QCOMPARE(mp_bar->GetKey("room"), QString("lobby"));

        // With rows selected, the first of the selection fills the key.
        mp_roomList->setSelectionMode(QAbstractItemView::ExtendedSelection);
        mp_roomList->topLevelItem(1)->setSelected(true);
        Action("Join")->trigger();
        QCOMPARE(l_spy.size(), 3);
        QCOMPARE(l_spy[2][0].value<QWidget*>(), static_cast<QWidget*>(mp_roomList));
        QCOMPARE(l_spy[2][1].toString(), QString("join_room"));
        QCOMPARE(mp_bar->GetKey("room"), QString("music"));
        QVERIFY(mp_bar->GetKey("never_set").isEmpty());
    }

    void PerWidgetTextsAndHiddenMarks()
    {
        mp_bar->SetWidgetActionText(mp_roomPage, "toggle_room_autojoin", "Autojoin [on]");
        QCOMPARE(Shown(), QString("room: Autojoin [on], Chat Log"));
        mp_bar->SetWidgetActionText(mp_roomPage, "toggle_room_autojoin", "Autojoin [off]");
        mp_bar->SetWidgetActionHidden(mp_roomPage, "room_chat_log", true);
        mp_bar->SetWidgetActionHidden(mp_roomPage, "room_chat_log", true);
        QCOMPARE(Shown(), QString("room: Autojoin [off]"));
        mp_bar->SetWidgetActionHidden(mp_roomPage, "room_chat_log", false);
        QCOMPARE(Shown(), QString("room: Autojoin [off], Chat Log"));

        // For a widget whose set is not shown, the text waits for its set;
        // back on the room page, its own override is used again.
        mp_bar->SetWidgetActionText(mp_roomList, "create_room", "Create Private Room");
        QCOMPARE(Shown(), QString("room: Autojoin [off], Chat Log"));
        Focus(mp_roomList, 1);
        QCOMPARE(Shown(), QString("room_list: Create Private Room, Join"));
        Focus(mp_roomInput, 0);
        QCOMPARE(Shown(), QString("room: Autojoin [off], Chat Log"));
    }

    // Everything the bar keeps for a widget goes with it, so a later widget at
    // the same address starts clean.
    void DestroyedWidgetLeavesNoRecords()
    {
        QWidget* lp_page = new QWidget;
        QLineEdit* lp_input = new QLineEdit(lp_page);
        mp_tabs->addTab(lp_page, "second room");
        mp_bar->RegisterWidget(lp_page, "room");
        mp_bar->AddWidgetKey(lp_page, "room", "jazz");
        mp_bar->SetWidgetActionText(lp_page, "toggle_room_autojoin", "Autojoin [on]");
        mp_bar->SetWidgetActionHidden(lp_page, "room_chat_log", true);
        mp_tabs->setCurrentWidget(lp_page);
        Focus(lp_input);
        QCOMPARE(mp_bar->GetKey("room"), QString("jazz"));
        QCOMPARE(mp_bar->ShownWidget(), lp_page);
        std::size_t const l_pairsBefore = d["action_key_value_pair"]->GetItemCount();

        Value const l_address(lp_page);
        delete lp_page;
        QVERIFY(mp_bar->CurrentSetName().isEmpty() && !mp_bar->ShownWidget());
        QVERIFY(d["toolbar_action_widget"]->HasItem(l_address).IsNull());
        QCOMPARE(d["action_key_value_pair"]->GetItemCount(), l_pairsBefore - 1);
        QCOMPARE(d["widget_action_hidden"]->GetItemCount(), std::size_t(0));
        QCOMPARE(d.GetItem(d["widget_action_text"]->HasItem(Value("Autojoin [on]")),
                           d["toolbar_action_id"]->HasItem(Value("toggle_room_autojoin")), "toolbar_action_widget"),
                 Item());

        // The other pages keep theirs.
        Focus(mp_roomInput, 0);
        QCOMPARE(mp_bar->GetKey("room"), QString("lobby"));
        QCOMPARE(Shown(), QString("room: Autojoin, Chat Log"));
    }

    // Without a link the status button says offline, and shows the away
    // choice too; a click asks the availability manager, and only its answer
    // changes the button. (The main window's test has the link's states.)
    void StatusButtonOfflineAndAway()
    {
        QPushButton* lp_status = mp_bar->StatusButton();
        QCOMPARE(lp_status->text(), QString("Offline"));
        lp_status->click();
        QCOMPARE(lp_status->text(), QString("Offline, away"));
        QCOMPARE(GetSetting("availability_status"), QString("away"));
        SetSetting("username", QStringLiteral("ann"));
        Focus(mp_roomList, 1); // a new button, the same state
        QCOMPARE(mp_bar->StatusButton()->text(), QString("ann: Offline, away"));
        QVERIFY(mp_bar->StatusButton()->icon().pixmap(32).toImage() ==
                QIcon(":/icons/offline_icon").pixmap(32).toImage());
        mp_bar->StatusButton()->click();
        QCOMPARE(mp_bar->StatusButton()->text(), QString("ann: Offline"));
    }

    void SupporterButtonShowsPrivileges_data()
    {
        QTest::addColumn<PrivilegeCase>("row");
        QTest::newRow("supporter, no time") << PrivilegeCase{true, 0, "", true};
        QTest::newRow("a day and a half rounds up") << PrivilegeCase{true, 129600, "2 Days Left", true};
        QTest::newRow("one second") << PrivilegeCase{true, 1, "0 Days Left", true};
        QTest::newRow("half a day") << PrivilegeCase{true, 43200, "1 Days Left", true};
        QTest::newRow("largest time does not wrap") << PrivilegeCase{true, INT_MAX, "24855 Days Left", true};
        QTest::newRow("not a supporter") << PrivilegeCase{false, 0, "Support Quillmar!", false};
    }

    void SupporterButtonShowsPrivileges()
    {
        QFETCH(PrivilegeCase, row);
        auto const [supporter, seconds, text, star] = row;
        // The privileges signal updates the shown button, whatever it showed
        // before: here a supporter's with three days left.
        SetSetting("is_supporter", "yes");
        SetSetting("privileges_time_left", "259200");
        mp_bar->OnReceivedOwnPrivilegesStatus(259200);
        QPushButton* const lp_shown = mp_bar->SupporterButton();
        SetSetting("is_supporter", supporter ? "yes" : "no");
        SetSetting("privileges_time_left", QString::number(seconds));
        mp_bar->OnReceivedOwnPrivilegesStatus(seconds);
        QCOMPARE(mp_bar->SupporterButton(), lp_shown);
        for (int l_pass = 0; l_pass < 2; ++l_pass) {
            QPushButton* lp_button = mp_bar->SupporterButton();
            QCOMPARE(lp_button->text(), text);
            QCOMPARE(!lp_button->icon().isNull(), star);
            QCOMPARE(lp_button->toolTip().isEmpty(), !star);
            // A rebuild makes a new button from the settings.
            mp_bar->Clear();
            mp_bar->AddSupportQuillmarButton();
        }
    }

    void SupporterPageEscapesTheUserName()
    {
        QDesktopServices::setUrlHandler("http", this, "OnUrlOpened");
        SetSetting("username", "a b&c=d/#\xc3\xa9");
        mp_bar->SupporterButton()->click();
        QCOMPARE(m_openedUrls.size(), 1);
        QUrl const l_url = m_openedUrls[0];
        QCOMPARE(l_url.path() + "?" + l_url.query(QUrl::FullyEncoded) + "#" + l_url.fragment(),
                 QString("/qtlogin.php?username=a%20b%26c%3Dd%2F%23%C3%A9#"));
    }
};

QTEST_MAIN(ActionSetToolBarTest)
#include "ActionSetToolBarTest.moc"

