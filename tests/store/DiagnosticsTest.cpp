#include "store/windows/DataDialog.h"
#include "store/windows/DiagnosticsForm.h"
#include "store/windows/ItemLogDialog.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/SlicedWork.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTreeWidget>
#include <QtTest>

namespace {

// Lines wait in a queue once writing has taken its share of an event-loop
// turn, which a loaded machine reaches at once: flush them first.
QString ReadLog(QString const& i_category)
{
    FlushLog();
    QFile l_file(LogFolder() + "/" + i_category + ".log");
    if (!l_file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(l_file.readAll());
}

int g_hookCalls = 0;
void CountingHook(DiagnosticsForm*) { ++g_hookCalls; }

} // namespace

class DiagnosticsTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        d.Reset();
        QDir(LogFolder()).removeRecursively();
    }

    void cleanup()
    {
        delete diagnosticsForm;
        SetDiagnosticsToolBarHook(nullptr);
    }

    void LinesOnlyWhileSwitchedOn()
    {
        // Before the settings exist at all.
        Log("Early", 1, "too soon");
        DiagnosticsForm* lp_form = new DiagnosticsForm;
        QCOMPARE(diagnosticsForm, lp_form);
        Log("Early", 1, "still too soon");
        DeclareSettingsTypes();
        Log("Early", 1, "unset");
        SetSwitch("show_diagnostics", false);
        Log("Early", 1, "off");
        QVERIFY(lp_form->Categories().isEmpty());
        QVERIFY(!QFile::exists(LogFolder()));
        SetSwitch("show_diagnostics", true);
        Log("Early", 1, "on");
        QCOMPARE(lp_form->Categories(), QStringList{"Early"});
        QVERIFY(ReadLog("Early").endsWith("] on\n"));
        QCOMPARE(ReadLog("Early").count('\n'), 1);

        Log("Transfer Queue", 1, "first");
        Log("Transfer Queue", 3, QString::fromUtf8("détail"));
        Log("Shared", 0, "zero level");
        Log("../../escape", 1, "kept inside");
        QStringList const l_lines = ReadLog("Transfer Queue").split('\n', Qt::SkipEmptyParts);
        QRegularExpression const l_stamp("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ");
        QCOMPARE(QStringList(l_lines).replaceInStrings(l_stamp, "|"),
                 QStringList({"|first", QString::fromUtf8("|      détail")}));
        QVERIFY(ReadLog("Shared").contains("] zero level"));
        QCOMPARE(lp_form->Categories(), QStringList({"Early", "Transfer Queue", "Shared", "../../escape"}));
        QVERIFY(lp_form->CategoryText("Transfer Queue").endsWith(l_lines[1]));
        // The category cannot name a file outside the log folder.
        QCOMPARE(QDir(LogFolder()).entryList(QDir::Files).size(), 4);
        QVERIFY(!QFile::exists(QDir::homePath() + "/../escape.log"));

        // Lines may come from a worker thread.
        QThread* lp_thread = QThread::create([]() {
            for (int l_line = 0; l_line < 50; ++l_line)
                Log("Worker", 2, QString("line %1").arg(l_line));
        });
        lp_thread->start();
        QVERIFY(lp_thread->wait());
        delete lp_thread;
        QTRY_COMPARE(ReadLog("Worker").count('\n'), 50);
        QVERIFY(lp_form->CategoryText("Worker").contains("line 49"));
    }

    // A tab lays out at most LINES_PER_TURN lines a turn, and only while it
    // is in view; the lines a tab cannot keep are counted in one line.
    void ViewShowsABoundedShareATurn_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("first");
        int const l_kept = DiagnosticsForm::MAX_LINES_PER_TAB;
        QTest::newRow("a few") << 2 * DiagnosticsForm::LINES_PER_TURN + 50 << "line 0";
        QTest::newRow("more than a tab keeps")
            << l_kept + 5 << "] 6 lines came faster than they could be shown here; the log file has them";
    }

    void ViewShowsABoundedShareATurn()
    {
        QFETCH(int, lines);
        QFETCH(QString, first);
        DiagnosticsForm l_form;
        QStringList l_text;
        for (int l_line = 0; l_line < lines; ++l_line)
            l_text << QString("line %1").arg(l_line);
        l_form.AddLine("Busy", l_text.mid(0, 10).join('\n'));
        l_form.AddLine("Busy", l_text.mid(10).join('\n'));
        QPlainTextEdit* lp_view = l_form.findChild<QPlainTextEdit*>();
        QVERIFY(lp_view);
        auto const l_shown = [lp_view]() { return lp_view->document()->isEmpty() ? 0 : lp_view->blockCount(); };
        l_form.ShowPendingLines();
        QCOMPARE(l_shown(), 0); // out of view
        l_form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_form));
        while (l_form.PendingLines("Busy") > 0) {
            int const l_before = l_shown();
            std::size_t const l_waiting = l_form.PendingLines("Busy");
            l_form.ShowPendingLines();
            QVERIFY2(l_shown() - l_before <= DiagnosticsForm::LINES_PER_TURN && l_form.PendingLines("Busy") < l_waiting,
                     qPrintable(QString("%1 -> %2").arg(l_before).arg(l_shown())));
        }
        QCOMPARE(l_shown(), std::min(lines, DiagnosticsForm::MAX_LINES_PER_TAB));
        QVERIFY(lp_view->document()->firstBlock().text().endsWith(first));
        QCOMPARE(lp_view->document()->lastBlock().text(), l_text.last());
    }

    // Long lines (a peer's name of mixed scripts costs 2 ms a line to lay
    // out) go a piece of about CHUNK_CHARS shown characters at a time; with
    // no slice left, one piece a turn.
    void LongLinesTakeAPieceATurn_data()
    {
        int const l_turn = DiagnosticsForm::LINES_PER_TURN;
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QList<int>>("shown");
        QTest::newRow("pieces of eight lines") << 256 << 20 << QList<int>{8, 16, 20};
        QTest::newRow("long lines, counted as shown") << 1000 << 10 << QList<int>{8, 10};
        QTest::newRow("short lines, the turn's line bound") << 5 << 2 * l_turn + 50
                                                            << QList<int>{l_turn, 2 * l_turn, 2 * l_turn + 50};
    }
    void LongLinesTakeAPieceATurn()
    {
        QFETCH(int, length);
        QFETCH(int, lines);
        QFETCH(QList<int>, shown);
        struct NoSlice
        {
            NoSlice() { SlicedWork::SetSliceMs(0); }
            ~NoSlice() { SlicedWork::SetSliceMs(10); }
        } const l_noSlice;
        DiagnosticsForm l_form;
        l_form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_form));
        QStringList l_text;
        for (int l_line = 0; l_line < lines; ++l_line)
            l_text << QString(length, QChar('a' + l_line % 26));
        l_form.AddLine("Busy", l_text.join('\n'));
        QPlainTextEdit* lp_view = l_form.findChild<QPlainTextEdit*>();
        QVERIFY(lp_view);
        for (int l_shown : shown) {
            l_form.ShowPendingLines();
            QCOMPARE(lp_view->document()->isEmpty() ? 0 : lp_view->blockCount(), l_shown);
        }
        QCOMPARE(l_form.PendingLines("Busy"), std::size_t(0));
        QCOMPARE(lp_view->document()->lastBlock().text().left(5), l_text.last().left(5));
    }

    // A line's shown part, so that a page of a peer's long names costs a
    // bounded layout; the file keeps the whole line.
    void ShowsTheStartOfLongLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("shown");
        QString const l_full(256, 'x');
        QString const l_pair = QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("as long as shown") << l_full << l_full;
        QTest::newRow("one more") << l_full + "y" << l_full + QString::fromUtf8("\xE2\x80\xA6");
        QTest::newRow("a pair across the cut")
            << QString(255, 'x') + l_pair << QString(255, 'x') + QString::fromUtf8("\xE2\x80\xA6");
        QTest::newRow("a pair before the cut")
            << QString(254, 'x') + l_pair + "zz" << QString(254, 'x') + l_pair + QString::fromUtf8("\xE2\x80\xA6");
    }
    void ShowsTheStartOfLongLines()
    {
        QFETCH(QString, line);
        QFETCH(QString, shown);
        DiagnosticsForm l_form;
        l_form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_form));
        l_form.AddLine("Busy", line);
        l_form.ShowPendingLines();
        QPlainTextEdit* lp_view = l_form.findChild<QPlainTextEdit*>();
        QVERIFY(lp_view);
        QCOMPARE(lp_view->document()->lastBlock().text(), shown);
        // A tab out of view keeps its waiting lines as they will be shown.
        DiagnosticsForm l_hidden;
        l_hidden.AddLine("Busy", line);
        QCOMPARE(l_hidden.PendingLines("Busy"), std::size_t(1));
        QCOMPARE(l_hidden.CategoryText("Busy"), shown);
    }

    void ItemEntriesNeedTheSwitchAndARegisteredType()
    {
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        d.NewType("user", ROOT, false, true);
        d.NewType("room", ROOT, false, true);
        DiagnosticsForm l_form;
        l_form.Init();
        l_form.RegisterLoggableItemType("user");
        l_form.RegisterLoggableItemType("user"); // twice is harmless
        Item l_user = d["user"]->GetItem("alice");
        Item l_room = d["room"]->GetItem("lobby");

        Log("Transfer Queue", 1, "no switch", l_user);
        QVERIFY(GetItemLog(l_user).empty());
        SetSwitch("user_level_logging", true);
        Log("Transfer Queue", 1, "queued", l_user);
        Log("Transfer Queue", 2, "details", l_user);
        Log("Shared", 1, "browsed", l_user);
        Log("Shared", 1, "not loggable", l_room); // no throw, no entry
        Log("Shared", 1, "no item");
        auto const l_entries = GetItemLog(l_user);
        QCOMPARE(int(l_entries.size()), 3);
        QCOMPARE(l_entries[0].first, QString("Transfer Queue"));
        QVERIFY(l_entries[1].second.endsWith("]    details"));
        QCOMPARE(l_entries[2].first, QString("Shared"));
        QVERIFY(ReadLog("Shared").contains("not loggable"));

        // A removed item's entries are collected with it.
        l_user.Remove();
        d.RemoveDisconnectedItems();
        QCOMPARE(d["item_log"]->GetItemCount(), std::size_t(0));
    }

    // A name that leaves an override open ends before the title's own text
    // would go on.
    void ItemLogTitleIsolatesTheName()
    {
        d.NewType("user", ROOT, false, true);
        ItemLogDialog l_evil(d["user"]->GetItem("evil name: \u202E"));
        QCOMPARE(l_evil.windowTitle(), QString("Log of \u2068evil name: \u202E\u2069"));
        ItemLogDialog l_plain(d["user"]->GetItem("alice"));
        QCOMPARE(l_plain.windowTitle(), QString("Log of alice"));
        // A window title reads "[*]" as the place of its modified mark: the
        // window shows the name whole.
        ItemLogDialog l_marked(d["user"]->GetItem("a[*]b"));
        l_marked.winId();
        QCOMPARE(l_marked.windowHandle()->title(), QString("Log of a[*]b"));
    }

    // An item keeps its latest 1,000 entries, and the text of one it lets
    // go goes with it.
    void ItemEntriesAreBounded()
    {
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        SetSwitch("user_level_logging", true);
        d.NewType("user", ROOT, false, true);
        RegisterLoggableItemType("user");
        Item const l_user = d["user"]->GetItem("mallory");
        for (int l_line = 0; l_line < 1005; ++l_line)
            Log("Transfer Queue", 1, QString("line %1").arg(l_line), l_user);
        auto const l_entries = GetItemLog(l_user);
        QCOMPARE(int(l_entries.size()), 1000);
        QVERIFY(l_entries.front().second.endsWith("] line 5"));
        QVERIFY(l_entries.back().second.endsWith("] line 1004"));
        QCOMPARE(d["item_log_text"]->GetItemCount(), std::size_t(1000));
    }

    void ToolBarHookIsNullSafeAndOrderFree()
    {
        g_hookCalls = 0;
        {
            DiagnosticsForm l_form;
            l_form.Init(); // no tool bar yet: nothing happens
            SetDiagnosticsToolBarHook(&CountingHook);
            QCOMPARE(g_hookCalls, 1); // the late bar still gets the form
        }
        SetDiagnosticsToolBarHook(&CountingHook);
        QCOMPARE(g_hookCalls, 1); // no form: nothing to register
        DiagnosticsForm l_second;
        l_second.Init();
        QCOMPARE(g_hookCalls, 2);

        // The set's action opens the store browser once.
        l_second.OnActionTriggered(&l_second, "dump_data");
        QVERIFY(dataDialog);
        DataDialog* lp_dialog = dataDialog;
        l_second.OnActionTriggered(&l_second, "dump_data");
        QCOMPARE(dataDialog, lp_dialog);
        l_second.OnActionTriggered(nullptr, "dump_data"); // another widget's action
        delete lp_dialog;
        QVERIFY(!dataDialog);
    }

    void DataDialogBrowsesTheStore()
    {
        d.NewType("user", ROOT, false, true);
        d.NewType("room", ROOT, false, true);
        d["user"]->RelateToType(d["room"], MANY, MANY, false);
        Item l_alice = d["user"]->GetItem("alice");
        Item l_lobby = d["room"]->GetItem("lobby");
        l_alice += l_lobby;
        d["user"]->GetItem("bob");

        DataDialog l_dialog(&d);
        QCOMPARE(l_dialog.TypeList()->count(), 2);
        QCOMPARE(l_dialog.TypeList()->item(0)->text(), QString("user (2)"));
        l_dialog.TypeList()->setCurrentRow(0);
        QCOMPARE(l_dialog.ItemList()->count(), 2);
        l_dialog.ItemList()->setCurrentRow(0);
        QCOMPARE(l_dialog.LinkTree()->topLevelItemCount(), 1);
        QCOMPARE(l_dialog.LinkTree()->topLevelItem(0)->text(1), QString("lobby"));
        // Following the link shows the room and its own links.
        l_dialog.OnLinkActivated(l_dialog.LinkTree()->topLevelItem(0), 0);
        QCOMPARE(l_dialog.TypeList()->currentRow(), 1);
        QCOMPARE(l_dialog.ItemList()->currentItem()->text(), QString("lobby"));
        QCOMPARE(l_dialog.LinkTree()->topLevelItem(0)->text(1), QString("alice"));
        // Items removed meanwhile are gone after a refresh, and nothing dangles.
        l_alice.Remove();
        l_dialog.Refresh();
        QCOMPARE(l_dialog.TypeList()->item(0)->text(), QString("user (1)"));
    }
};

QTEST_MAIN(DiagnosticsTest)
#include "DiagnosticsTest.moc"
