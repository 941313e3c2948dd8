// 5,000 searches from made-up names through the distributed tree, with the
// stand-in server answering the address requests and connect-backs they
// cause (tests/shares/FakeSearchBurst.h): every search is judged, the relay
// to a child flows, a real user's search is answered, and nothing of the
// made-up names stays behind.

#include "FakeSearchBurst.h"

#include <QtTest>

class FakeSearchersTest : public QObject
{
    Q_OBJECT

private slots:
    void BurstIsBounded()
    {
        StandinProcess l_standin;
        QVERIFY(l_standin.Start());
        QTemporaryDir l_dir;
        burst::Client l_client;
        QVERIFY(l_client.Start(l_standin.Port(), l_dir, 20));
        int l_mostAttempts = 0;
        QTimer l_watch;
        connect(&l_watch, &QTimer::timeout, this, [&] {
            l_mostAttempts = qMax(l_mostAttempts, l_client.Messenger().AttemptCount());
        });
        l_watch.start(1);
        // A quarter of the benchmark's burst, probes over a quarter of its
        // span: the same roads, in a fifth of the time.
        burst::Figures const l_figures = l_client.Run(5000, 250, 2500, 4 * WAIT_MS);
        l_watch.stop();
        qInfo("%.1f s, %.1f s of processor time, %d of 250 probes within 5 s, bob answered after %.2f s "
              "(asked after %.2f s), at most %d attempts",
              l_figures.m_seconds, l_figures.m_cpuNs / 1e9, l_figures.ProbesWithin(5000000000),
              l_figures.m_bobAnsweredNs / 1e9, l_figures.m_bobAskedNs / 1e9, l_mostAttempts);
        QCOMPARE(l_figures.ProbesWithin(std::numeric_limits<qint64>::max()), 250);
        QVERIFY(l_figures.m_bobAnsweredNs > 0);
        // The 5,000, bob's and the probes: each judged once.
        QCOMPARE(l_figures.m_processed, 5000 + 1 + 251);
        QVERIFY(l_mostAttempts <= 500);
        QCOMPARE(l_client.Messenger().AttemptCount() + l_client.Messenger().WaitingAttemptCount(), 0);
        QCOMPARE(l_client.Messenger().UnsentMessageCount(), 0);
        QCOMPARE(l_client.DNet().WaitingSearchCount(), std::size_t(0));
        QVERIFY2(l_figures.m_userItems < 20, qPrintable(QString::number(l_figures.m_userItems)));
    }
};

QTEST_MAIN(FakeSearchersTest)
#include "FakeSearchersTest.moc"
