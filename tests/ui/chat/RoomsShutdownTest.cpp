// The window shut down with two room pages open. The window deletes the
// server link before its pages; a page that went on to leave its room would
// reach into a deleted link (sanitizer builds stop there) or send a leave
// request. Neither may happen. What the client sent is read from its own
// log, not from the stand-in: a request written just before the link is
// closed goes with the link's unsent bytes and never reaches the stand-in.

#include "tests/app/ShellTestSupport.h"
#include "tests/e2e/LineProcess.h"

#include "store/Log.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RoomsForm.h"
#include "ui_MainWindow.h"
#include "ui_RoomsForm.h"

#include <QtTest>

class RoomsShutdownTest : public QObject
{
    Q_OBJECT

private slots:
    void TwoRoomPagesOpen()
    {
        LineProcess l_standin("stand-in server");
        QVERIFY(l_standin.Start(QStringLiteral(STANDIN_SERVER_PATH), {"0"}));
        QRegularExpressionMatch const l_listening = l_standin.Await("^listening on port (\\d+)$");
        QVERIFY(l_listening.hasMatch());
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("leaver"));
            SetSetting("password", QStringLiteral("pw"));
            SetSwitch("show_diagnostics", true);
        });
        MainWindow* lp_window = StartWindow(quint16(l_listening.captured(1).toUInt()));
        QTRY_VERIFY(gp_server && gp_server->IsConnected());
        gp_server->EnterRoom(QStringLiteral("first"), false);
        gp_server->EnterRoom(QStringLiteral("second"), false);
        TabWidget* lp_tabs = lp_window->Form()->roomsForm->Form()->roomsTabControl;
        QTRY_COMPARE(lp_tabs->count(), 2);
        QVERIFY(qobject_cast<RoomForm*>(lp_tabs->widget(0)) && qobject_cast<RoomForm*>(lp_tabs->widget(1)));

        delete lp_window;
        QVERIFY2(l_standin.Await(" closing connection of leaver$").hasMatch(), qPrintable(l_standin.Tail()));
        QCOMPARE(l_standin.Count(" recv 14 from leaver "), 2);
        QCOMPARE(l_standin.Count(" recv 15 "), 0);
        QCOMPARE(l_standin.Stop(), 0);
        FlushLog();
        QFile l_log(LogFolder() + "/Server.log");
        QVERIFY(l_log.open(QIODevice::ReadOnly));
        QByteArray const l_sent = l_log.readAll();
        QCOMPARE(l_sent.count("Sent message 14 ("), 2); // the joins
        QCOMPARE(l_sent.count("Sent message 15 ("), 0);
    }
};

QTEST_MAIN(RoomsShutdownTest)
#include "RoomsShutdownTest.moc"
