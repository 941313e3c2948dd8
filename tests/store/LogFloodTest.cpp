// A flood of log lines must not hold the event loop: lines past the write
// budget of one turn wait and are written in bounded slices, in order.

#include "store/Log.h"
#include "store/Settings.h"

#include <QtTest>

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
};

QTEST_GUILESS_MAIN(LogFloodTest)
#include "LogFloodTest.moc"
