// The chat pages in the whole window: a private message from a second user
// ("peer", played by hand on the server protocol) travels through the
// stand-in server (a child process) to the Chat page, and the answer typed
// there travels back; "Message User" and "Select Application Colors" open
// the real pages.

#include "tests/app/ShellTestSupport.h"
#include "tests/e2e/LineProcess.h"
#include "tests/peers/PeerTestSupport.h"

#include "app/UpdateChecker.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/ColorSelectionDialog.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui_ChatForm.h"
#include "ui_ChatsForm.h"
#include "ui_MainWindow.h"

#include <QStatusBar>

namespace {

QStringList Shown(ChatForm* ip_page)
{
    return ip_page->Form()->chatView->toPlainText().split('\n', Qt::SkipEmptyParts);
}

QByteArray Log(QString const& i_user)
{
    QFile l_file(QDir::homePath() + "/Quillmar Chat Logs/Users/" + i_user + ".log");
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray();
}

} // namespace

class ChatWindowTest : public QObject
{
    Q_OBJECT

private:
    LineProcess m_server{"server"};
    MainWindow* mp_window = nullptr;
    RawClient m_peer;

    QTabWidget* ChatTabs() const { return chatsForm->Form()->chatTabControl; }
    ChatForm* Page(int i_tab) const { return qobject_cast<ChatForm*>(ChatTabs()->widget(i_tab)); }

    // The peer's next private message from us: the sender, the text and the
    // "new" flag as the stand-in delivers them (its id and time skipped).
    QByteArray NextMessageToPeer()
    {
        QByteArray l_payload;
        return m_peer.mp_collector->Take(ServerCode::PRIVATE_CHAT, &l_payload) ? l_payload.mid(8) : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Start(STANDIN_SERVER_PATH, {"0"}));
        quint16 const l_port = m_server.Await("^listening on port (\\d+)$").captured(1).toUShort();
        QVERIFY(l_port != 0);
        // The update check after login goes nowhere.
        UpdateChecker::SetVersionFileUrl(QUrl("http://127.0.0.1:1/qtversion.txt"));
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("me"));
            SetSetting("password", QStringLiteral("pw"));
        });
        mp_window = StartWindow(l_port);
        QTRY_VERIFY(gp_server->IsConnected());
        QVERIFY(m_peer.Login(l_port, "peer"));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("%s", qPrintable(m_server.Tail()));
    }

    void cleanupTestCase()
    {
        delete mp_window;
        QCOMPARE(m_server.Stop(), 0);
    }

    // The message makes the peer's page (in the background), which tracks
    // the peer once, shows and logs the line; the answer reaches the peer
    // as typed, blanks and all.
    void PrivateMessageRoad()
    {
        QWidget* lp_shownTab = mp_window->Form()->tabControl->currentWidget();
        m_peer.Send(*ServerOut::PrivateChat("me", "hello <b>me</b>"));
        QTRY_COMPARE(ChatTabs()->count(), 1);
        ChatForm* lp_page = Page(0);
        QVERIFY(lp_page && ChatTabs()->tabText(0) == "peer");
        QCOMPARE(mp_window->Form()->tabControl->currentWidget(), lp_shownTab);
        QTRY_COMPARE(Shown(lp_page).value(1), QString("[peer] hello <b>me</b>"));
        QVERIFY(Log("peer").endsWith("][peer] hello <b>me</b>\n"));
        m_peer.Send(*ServerOut::PrivateChat("me", "again"));
        QTRY_COMPARE(Shown(lp_page).size(), 3);
        QCOMPARE(ChatTabs()->count(), 1);
        QTRY_COMPARE(m_server.Count(" recv 5 from me "), 1);

        lp_page->Form()->chatEdit->setText("   ");
        QTest::keyClick(lp_page->Form()->chatEdit, Qt::Key_Return);
        QCOMPARE(NextMessageToPeer(), Le32(2) + "me" + Le32(3) + "   " + '\x01');
        QCOMPARE(lp_page->Form()->chatEdit->text(), QString());
        QCOMPARE(Shown(lp_page).last(), QString("[me]    "));
        QVERIFY(Log("peer").endsWith("][me]    \n"));
    }

    // "Message User" opens the page of the user the action's key names and
    // focuses its input line; an empty key opens nothing. The colour
    // button makes a new dialog each time.
    void MessageUserAndColours()
    {
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window));
        for (char const* lp_user : {"", "bob"}) {
            QLineEdit* lp_widget = new QLineEdit;
            mp_window->statusBar()->addWidget(lp_widget);
            actionBar->RegisterWidget(lp_widget, "user");
            actionBar->AddWidgetKey(lp_widget, "user", lp_user);
            lp_widget->setFocus(Qt::OtherFocusReason);
            QTRY_COMPARE(actionBar->ShownWidget(), lp_widget);
            for (QAction* lp_action : actionBar->actions())
                if (lp_action->text() == "Message User")
                    lp_action->trigger();
            delete lp_widget;
        }
        QCOMPARE(ChatTabs()->count(), 2);
        QCOMPARE(Page(1)->User(), QString("bob"));
        QVERIFY(mp_window->Form()->tabControl->currentWidget() == mp_window->Form()->chatTab &&
                ChatTabs()->currentWidget() == Page(1));
        QTRY_VERIFY(Page(1)->Form()->chatEdit->hasFocus());

        mp_window->OnSelectColors();
        mp_window->OnSelectColors();
        QList<ColorSelectionDialog*> const l_dialogs = mp_window->findChildren<ColorSelectionDialog*>();
        QCOMPARE(l_dialogs.size(), 2);
        for (ColorSelectionDialog* lp_dialog : l_dialogs)
            QVERIFY(lp_dialog->isVisible() && lp_dialog->testAttribute(Qt::WA_DeleteOnClose));
    }
};

QTEST_MAIN(ChatWindowTest)
#include "ChatWindowTest.moc"
