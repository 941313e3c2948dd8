// The rooms in the whole window, with the stand-in server as a child process
// and a second user ("bob", played by hand on the server protocol): a room
// joined again by Auto-Join after a restart lists bob, who is also in the
// user list (each run of the window is a process of its own, in one home);
// and the page of a new private room offers its owner "Give Up Room" once
// the server tells him he owns it.

#include "tests/app/ShellTestSupport.h"
#include "tests/e2e/LineProcess.h"

#include "app/UpdateChecker.h"
#include "server/StoreTypes.h"
#include "store/windows/FocusWidget.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RoomRows.h"
#include "ui/chat/RoomsForm.h"
#include "ui/chat/SortedRows.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/TabWidget.h"
#include "ui_MainWindow.h"
#include "ui_RoomForm.h"
#include "ui_RoomsForm.h"

#include <QAction>

namespace {

RoomForm* Page(MainWindow* ip_window, QString const& i_room)
{
    TabWidget* lp_tabs = ip_window->Form()->roomsForm->Form()->roomsTabControl;
    for (int l_tab = 0; l_tab < lp_tabs->count(); ++l_tab)
        if (RoomForm* lp_page = qobject_cast<RoomForm*>(lp_tabs->widget(l_tab)); lp_page && lp_page->Room() == i_room)
            return lp_page;
    return nullptr;
}

QStringList Members(RoomForm* ip_page)
{
    QStringList l_names;
    if (!ip_page)
        return l_names;
    ip_page->MemberOrder()->Flush();
    QTreeWidget* lp_list = ip_page->Form()->userList;
    for (int l_row = 0; l_row < lp_list->topLevelItemCount(); ++l_row)
        l_names << lp_list->topLevelItem(l_row)->text(MEMBER_NAME);
    return l_names;
}

// One run of the window on the stand-in at the given port. "first": adds
// bob to the user list, joins his room, turns Auto-Join on and quits;
// "again": the room comes back by Auto-Join with both members listed.
// Failures go to stderr and into the exit code.
int RunPhase(QString const& i_phase, quint16 i_port)
{
    UpdateChecker::SetVersionFileUrl(QUrl("http://127.0.0.1:1/qtversion.txt"));
    if (i_phase == "first")
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("me"));
            SetSetting("password", QStringLiteral("pw"));
        });
    MainWindow* lp_window = StartWindow(i_port);
    int l_failures = 0;
    auto const l_check = [&l_failures](bool i_ok, char const* ip_what) {
        if (!i_ok)
            qWarning("%d: %s", ++l_failures, ip_what);
    };
    Item const l_lobby = d["room"]->GetItem(Value("lobby"));
    if (i_phase == "first") {
        l_check(WaitUntil([] { return gp_server->IsConnected(); }), "logged in");
        d["user"]->GetItem(Value("bob")).NewItem("in_user_list");
        gp_server->EnterRoom("lobby", false);
        l_check(WaitUntil([&] { return Members(Page(lp_window, "lobby")) == QStringList({"bob", "me"}); }),
                "both members listed at the first join");
        SetFlag(l_lobby, "room_autojoin", true);
    } else {
        // The room is back from the file, its members are not.
        l_check(l_lobby.IsConnected("room_autojoin") && d["user"]->HasItem(Value("bob")).IsConnected("in_user_list"),
                "room and user list loaded");
        l_check(l_lobby.CountItems("user") == 0, "no member restored from the file");
        l_check(WaitUntil([&] { return Members(Page(lp_window, "lobby")) == QStringList({"bob", "me"}); }),
                "both members listed after the restart");
    }
    delete lp_window;
    return l_failures;
}

} // namespace

class RoomsWindowTest : public QObject
{
    Q_OBJECT

private:
    LineProcess m_server{"server"};
    quint16 m_port = 0;
    RawClient m_bob;

    // The give-up actions the bar shows.
    static QStringList GiveUps()
    {
        QStringList l_shown;
        for (QAction* lp_action : actionBar->actions())
            if (lp_action->isVisible() && lp_action->text().startsWith("Give Up"))
                l_shown << lp_action->text();
        return l_shown;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start(STANDIN_SERVER_PATH, {"0"}));
        m_port = m_server.Await("^listening on port (\\d+)$").captured(1).toUShort();
        QVERIFY(m_port != 0);
        QVERIFY(m_bob.Login(m_port, "bob"));
        m_bob.Send(ServerOut::JoinRoom("lobby", false));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("%s", qPrintable(m_server.Tail()));
    }

    void cleanupTestCase() { QCOMPARE(m_server.Stop(), 0); }

    void MembersAfterARestart()
    {
        QCOMPARE(RunPhasesInOneHome({"first", "again"}, {QString::number(m_port)}, 3 * WAIT_MS), QString());
    }

    // The creator of a private room is told that he owns it after the join
    // answer, when the room's page is there already.
    void GiveUpActionsAsTheServerTells()
    {
        UpdateChecker::SetVersionFileUrl(QUrl("http://127.0.0.1:1/qtversion.txt"));
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("ann"));
            SetSetting("password", QStringLiteral("pw"));
        });
        MainWindow* lp_window = StartWindow(m_port);
        QTRY_VERIFY(gp_server->IsConnected());
        gp_server->EnterRoom("den", true);
        QTRY_VERIFY(Page(lp_window, "den"));
        FocusWidgetAndParents(Page(lp_window, "den")->Form()->chatEdit);
        QTRY_COMPARE(GiveUps(), QStringList("Give Up Room"));
        delete lp_window;
    }
};

int main(int argc, char** argv)
{
    QApplication l_app(argc, argv);
    if (argc == 4 && QString(argv[1]) == "--phase")
        return RunPhase(argv[2], quint16(QString(argv[3]).toUInt()));
    RoomsWindowTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "RoomsWindowTest.moc"
