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
};

QTEST_GUILESS_MAIN(LogFloodTest)
#include "LogFloodTest.moc"
