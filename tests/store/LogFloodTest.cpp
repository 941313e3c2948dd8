// A flood of log lines must not hold the event loop: lines past the write
// budget of one turn wait and are written in bounded slices, in order. The
// files stay open between lines, yet follow their paths, and nothing waiting
// is lost when the program ends.

#include "store/Log.h"
#include "store/Settings.h"

#include <QtTest>

namespace {

QByteArray ReadFile(QString const& i_path)
{
    QFile l_file(i_path);
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<none>");
}

// The program's end as the child process below runs it: lines waiting when
// the event loop quits, and lines logged after it (a window torn down).
int LogUntilExit(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    DeclareSettingsTypes();
    SetSwitch("show_diagnostics", true);
    // A slow disk: every line after the first of a turn waits.
    static qint64 s_now = 0;
    SetLogClock([]() { return s_now += 10; });
    for (int l_line = 0; l_line < 1000; ++l_line)
        Log("Exit", 1, QString("before %1").arg(l_line));
    QTimer::singleShot(0, &l_app, &QCoreApplication::quit);
    l_app.exec();
    for (int l_line = 0; l_line < 1000; ++l_line)
        Log("Exit", 1, QString("after %1").arg(l_line));
    return QueuedLogLines() > 0 ? 0 : 3;
}

} // namespace

class LogFloodTest : public QObject
{
    Q_OBJECT

private slots:
    void FloodIsWrittenInSlices()
    {
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QFile::remove(LogFolder() + "/Flood.log");
        // Each look at the clock finds 10 ms gone: a slow disk.
        qint64 l_now = 0;
        SetLogClock([&l_now]() { return l_now += 10; });
        auto const l_written = []() {
            QFile l_file(LogFolder() + "/Flood.log");
            return l_file.open(QIODevice::ReadOnly) ? l_file.readAll().count('\n') : 0;
        };
        for (int l_line = 0; l_line < 3000; ++l_line)
            Log("Flood", 1, QString::number(l_line));
        int const l_atOnce = l_written();
        QVERIFY2(l_atOnce > 0 && l_atOnce < 10, qPrintable(QString::number(l_atOnce)));
        // One turn of the event loop writes a slice, not the whole queue.
        QCoreApplication::processEvents();
        QVERIFY(l_written() > l_atOnce && l_written() < 3000);
        QTRY_COMPARE(l_written(), 3000);
        QFile l_file(LogFolder() + "/Flood.log");
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        QList<QByteArray> const l_lines = l_file.readAll().split('\n');
        QVERIFY(l_lines[0].endsWith("] 0") && l_lines[2999].endsWith("] 2999"));
        SetLogClock(nullptr);
    }

    // However many lines a flood brings, a category keeps at most twice
    // the cap on the disk: the file is renamed aside and begun anew, and
    // what is kept are the newest lines, whole.
    void FloodIsCutAtTheFileCap()
    {
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QString const l_path = LogFolder() + "/Capped.log";
        QFile::remove(l_path);
        QFile::remove(l_path + ".1");
        SetLogFileCap(64 * 1024);
        // A line is about 30 bytes: 40,000 of them are 1.2 MB.
        for (int l_line = 0; l_line < 40000; ++l_line)
            Log("Capped", 1, QString("line %1").arg(l_line, 6, 10, QChar('0')));
        FlushLog();
        auto const l_read = [](QString const& i_path) {
            QFile l_file(i_path);
            return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray();
        };
        QByteArray const l_current = l_read(l_path);
        QByteArray const l_previous = l_read(l_path + ".1");
        QVERIFY2(l_current.size() <= 64 * 1024 && l_previous.size() <= 64 * 1024,
                 qPrintable(QString("%1 %2").arg(l_current.size()).arg(l_previous.size())));
        QVERIFY(l_previous.size() > 32 * 1024);
        QVERIFY(l_current.endsWith("] line 039999\n"));
        QVERIFY(l_previous.endsWith("\n") && l_current.startsWith("["));
        QCOMPARE(QDir(LogFolder()).entryList({"Capped*"}, QDir::Files), QStringList({"Capped.log", "Capped.log.1"}));
        // The two files hold one run of lines, the older first.
        QList<QByteArray> const l_lines = (l_previous + l_current).split('\n');
        QCOMPARE(l_lines.size() - 1, 40000 - l_lines[0].split(' ').last().toInt());
        SetLogFileCap(5 * 1024 * 1024);
    }

    // A file removed or renamed under the program, or its folder removed,
    // is made anew at its path before the next turn's first line.
    void FileFollowsItsPath_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("file removed") << "remove";
        QTest::newRow("file renamed") << "rename";
        QTest::newRow("folder removed") << "remove folder";
    }

    void FileFollowsItsPath()
    {
        QFETCH(QString, change);
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QString const l_path = LogFolder() + "/Moved.log";
        QFile::remove(l_path);
        QFile::remove(l_path + ".old");
        // A turn of its own, with the time spent on earlier lines forgotten.
        QCoreApplication::processEvents();
        Log("Moved", 1, "first");
        FlushLog();
        QVERIFY(ReadFile(l_path).endsWith("] first\n"));
        QCoreApplication::processEvents();
        if (change == "remove")
            QVERIFY(QFile::remove(l_path));
        else if (change == "rename")
            QVERIFY(QFile::rename(l_path, l_path + ".old"));
        else
            QVERIFY(QDir(LogFolder()).removeRecursively());
        Log("Moved", 1, "second");
        Log("Moved", 1, "third");
        FlushLog();
        QByteArray const l_written = ReadFile(l_path);
        QVERIFY2(l_written.endsWith("] third\n") && l_written.count('\n') == 2 && !l_written.contains("first"),
                 l_written.constData());
        if (change == "rename")
            QVERIFY(ReadFile(l_path + ".old").endsWith("] first\n"));
    }

    // Lines that wait when the event loop ends, and lines logged after it,
    // reach the file by the time the program is gone.
    void NothingIsLostAtExit()
    {
        QString const l_path = LogFolder() + "/Exit.log";
        QFile::remove(l_path);
        QProcess l_child;
        l_child.setProcessChannelMode(QProcess::ForwardedChannels);
        l_child.start(QCoreApplication::applicationFilePath(), {"--until-exit"});
        QVERIFY(l_child.waitForFinished(WAIT_MS));
        QCOMPARE(l_child.exitCode(), 0); // lines were waiting at the end
        QList<QByteArray> const l_lines = ReadFile(l_path).split('\n');
        QCOMPARE(l_lines.size(), 2001);
        QVERIFY(l_lines[0].endsWith("] before 0") && l_lines[999].endsWith("] before 999"));
        QVERIFY(l_lines[1000].endsWith("] after 0") && l_lines[1999].endsWith("] after 999"));
    }

    // A long text keeps its two ends and says how much was cut between
    // them, never half of a character written as two units.
    void LongTextIsCut_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written");
        QString const l_head(480, 'H');
        QString const l_tail(480, 'T');
        QString const l_smile = QString::fromUtf8("\xf0\x9f\x98\x80");
        QTest::newRow("at the bound") << QString(1024, 'a') << QString(1024, 'a');
        QTest::newRow("one past") << l_head + QString(65, 'm') + l_tail
                                  << l_head + " [... 65 characters cut ...] " + l_tail;
        QTest::newRow("pair at the head's end") << l_head.left(479) + l_smile + QString(600, 'm') + l_tail
                                                << l_head.left(479) + " [... 602 characters cut ...] " + l_tail;
        QTest::newRow("pair at the tail's start") << l_head + QString(600, 'm') + l_smile + l_tail.left(479)
                                                  << l_head + " [... 602 characters cut ...] " + l_tail.left(479);
    }

    void LongTextIsCut()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QFile::remove(LogFolder() + "/Cut.log");
        Log("Cut", 1, text);
        FlushLog();
        QFile l_file(LogFolder() + "/Cut.log");
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        QString const l_line = QString::fromUtf8(l_file.readAll());
        QCOMPARE(l_line.mid(l_line.indexOf("] ") + 2), written + "\n");
    }

    // Long lines fill the queue by their bytes long before its count of
    // lines: what does not fit is counted, and the count is written after
    // the lines that waited.
    void QueueIsBoundedByBytes()
    {
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QString const l_path = LogFolder() + "/Long.log";
        QFile::remove(l_path);
        SetLogFileCap(qint64(64) << 20);
        qint64 l_now = 0;
        SetLogClock([&l_now]() { return l_now += 10; });
        int const l_lines = 12000;
        for (int l_line = 0; l_line < l_lines; ++l_line)
            Log("Long", 1, QString(1000, 'x'));
        QTRY_COMPARE(QueuedLogLines(), std::size_t(0));
        SetLogClock(nullptr);
        SetLogFileCap(5 * 1024 * 1024);
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        QList<QByteArray> const l_written = l_file.readAll().split('\n');
        QRegularExpression const l_dropped("\\] (\\d+) lines of this log were dropped in a flood$");
        QRegularExpressionMatch const l_match = l_dropped.match(QString::fromUtf8(l_written[l_written.size() - 2]));
        QVERIFY(l_match.hasMatch());
        // The lines before the count, and the empty text after the last break.
        int const l_kept = l_written.size() - 2;
        QCOMPARE(l_kept + l_match.captured(1).toInt(), l_lines);
        // 16 MiB hold about 8,000 of these lines of 2 KiB.
        QVERIFY2(l_kept > 7000 && l_kept < 9000, qPrintable(QString::number(l_kept)));
    }

    // A disk fast enough that no line waits leaves no queue to free, yet
    // the lines' copies were freed all the same: a flood gives the memory
    // back once it has ended, once.
    void MemoryGoesBackAfterAFlood()
    {
        d.Reset();
        DeclareSettingsTypes();
        SetSwitch("show_diagnostics", true);
        QFile::remove(LogFolder() + "/Fast.log");
        SetLogFileCap(qint64(64) << 20);
        SetLogClock([]() { return qint64(0); });
        quint64 const l_before = LogMemoryGivenBack();
        int const l_lines = 10000;
        for (int l_line = 0; l_line < l_lines; ++l_line) {
            Log("Fast", 1, QString(1000, 'x'));
            if (l_line % 100 == 0)
                QCoreApplication::processEvents();
        }
        QCOMPARE(QueuedLogLines(), std::size_t(0));
        QTRY_COMPARE(LogMemoryGivenBack(), l_before + 1);
        SetLogClock(nullptr);
        SetLogFileCap(5 * 1024 * 1024);
        QCOMPARE(ReadFile(LogFolder() + "/Fast.log").count('\n'), l_lines);
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--until-exit")
        return LogUntilExit(argc, argv);
    QCoreApplication l_app(argc, argv);
    LogFloodTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}
#include "LogFloodTest.moc"
