// The log viewer's search, which walks the view a paragraph at a time over
// many turns of the event loop: what it finds (any case, a no-break space
// as a space, never across lines, overlapping and adjacent matches), the
// buttons' states after each step, and that a long walk takes many turns
// and starts over when the text changes meanwhile.

#include "ChatFixture.h"
#include "LogViewerMarks.h"

#include "store/SlicedWork.h"
#include "ui/chat/ChatLogForm.h"
#include "ui_ChatLogForm.h"

#include <QPushButton>
#include <QTabWidget>

class ChatLogSearchTest : public QObject, public ChatFixture
{
    Q_OBJECT

    std::unique_ptr<QTabWidget> mp_tabs;

    ChatLogForm* Viewer(QByteArray const& i_log)
    {
        if (!WriteBytes(UserLog("alice"), i_log))
            return nullptr;
        ChatLogForm* lp_viewer = ChatLogForm::Open(ChatLogKind::USER, "alice", mp_tabs.get());
        QSignalSpy l_loaded(lp_viewer, &ChatLogForm::Loaded);
        return !lp_viewer->IsLoading() || l_loaded.wait(WAIT_MS) ? lp_viewer : nullptr;
    }
    // Turns of the event loop until the search is through, or -1.
    static int Walk(ChatLogForm* ip_viewer)
    {
        return TurnsUntil([ip_viewer]() { return !ip_viewer->IsSearching(); });
    }
    static void Do(ChatLogForm* ip_viewer, QString const& i_step)
    {
        if (i_step == QLatin1String(">"))
            ip_viewer->Form()->searchForwardButton->click();
        else if (i_step == QLatin1String("<"))
            ip_viewer->Form()->searchBackButton->click();
        else
            ip_viewer->Form()->searchEdit->setText(i_step);
    }

private slots:
    void init()
    {
        StartChat();
        mp_tabs = std::make_unique<QTabWidget>();
    }
    void cleanup()
    {
        SlicedWork::SetSliceMs(10);
        mp_tabs.reset();
        StopManagers();
    }

    // Each row: the log, then steps (a search text, ">" forward, "<" back)
    // each with the state after it. One step a turn, so that every walk
    // runs over turns.
    void Finds_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("any case, beyond ASCII")
            << QByteArray("\xc3\x84pfel und \xc3\x84PFEL\n\xc3\xa4pfel\n")
            << QStringList{QString::fromUtf8("\xc3\xa4pfel"), "0:0 back=0 forward=1", ">", "0:10 back=1 forward=1",
                           ">", "1:0 back=1 forward=0", "<", "0:10 back=1 forward=1", "<", "0:0 back=0 forward=1"};
        QTest::newRow("no-break space as a space")
            << QByteArray("a\xc2\xa0" "b\nab\na b\n")
            << QStringList{"a b", "0:0 back=0 forward=1", ">", "2:0 back=1 forward=0"};
        QTest::newRow("never across lines") << QByteArray("ab\ncd\n") << QStringList{"bc", "none back=0 forward=0"};
        QTest::newRow("overlapping") << QByteArray("aaa\n")
                                     << QStringList{"aa", "0:0 back=0 forward=1", ">", "0:1 back=1 forward=0"};
        QTest::newRow("empty lines between")
            << QByteArray("x\n\n\n\nx\n")
            << QStringList{"x", "0:0 back=0 forward=1", ">", "4:0 back=1 forward=0", "<", "0:0 back=0 forward=1"};
        QTest::newRow("at a line's end, and back")
            << QByteArray("one two\ntwo\n")
            << QStringList{"TWO", "0:4 back=0 forward=1", ">", "1:0 back=1 forward=0", "<", "0:4 back=0 forward=1"};
        QTest::newRow("emptied") << QByteArray("abc\n") << QStringList{"b", "0:1 back=0 forward=0", "", "none back=0 forward=0"};
    }
    void Finds()
    {
        QFETCH(QByteArray, log);
        QFETCH(QStringList, steps);
        SlicedWork::SetSliceMs(0);
        ChatLogForm* lp_viewer = Viewer(log);
        QVERIFY(lp_viewer);
        for (int l_step = 0; l_step + 1 < steps.size(); l_step += 2) {
            Do(lp_viewer, steps[l_step]);
            QCOMPARE(SearchedMatch(lp_viewer), steps[l_step + 1]);
        }
    }

    // 3,001 lines with the text in the first and the last: each walk over
    // the lines between takes a turn a line, and new text typed meanwhile
    // starts the search over.
    void LongWalksTakeManyTurns()
    {
        QByteArray l_log = "the needle\n";
        for (int l_line = 1; l_line < 3000; ++l_line)
            l_log += "line " + QByteArray::number(l_line) + " of idle chatter\n";
        l_log += "a needle again\n";
        ChatLogForm* lp_viewer = Viewer(l_log);
        QVERIFY(lp_viewer);
        SlicedWork::SetSliceMs(0);
        Do(lp_viewer, "needle");
        // The first match is at hand; whether there is a next one is not.
        QVERIFY(lp_viewer->IsSearching());
        QVERIFY(Walk(lp_viewer) > 2000);
        QCOMPARE(SearchedMatch(lp_viewer), QString("0:4 back=0 forward=1"));
        Do(lp_viewer, ">");
        QVERIFY(Walk(lp_viewer) > 2000);
        QCOMPARE(SearchedMatch(lp_viewer), QString("3000:2 back=1 forward=0"));
        Do(lp_viewer, "chatter");
        QCoreApplication::processEvents();
        Do(lp_viewer, "again");
        QVERIFY(Walk(lp_viewer) > 2000);
        QCOMPARE(SearchedMatch(lp_viewer), QString("3000:9 back=0 forward=0"));
    }
};

QTEST_MAIN(ChatLogSearchTest)
#include "ChatLogSearchTest.moc"
