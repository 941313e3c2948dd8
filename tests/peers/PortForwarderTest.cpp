// The port forwarder's thread. No router here (the tests run without a
// network): discovery fails, the call returns at once and the thread stops
// quickly.

#include "peers/PortForwarder.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QtTest>

class PortForwarderTest : public QObject
{
    Q_OBJECT

private slots:
    void portForwarderThread()
    {
        // Discovery multicasts and asks the gateway: it may only ever run in a
        // network namespace that has nothing but loopback (as the test run
        // provides), never when the program is started by hand on a host.
        for (QNetworkInterface const& l_interface : QNetworkInterface::allInterfaces())
            if (!(l_interface.flags() & QNetworkInterface::IsLoopBack) &&
                (l_interface.flags() & QNetworkInterface::IsUp))
                QSKIP("a network other than loopback is up: run inside unshare -n");
        auto* lp_forwarder = new PortForwarder;
        QCOMPARE(portForwarder, lp_forwarder);
        QSignalSpy l_upnp(lp_forwarder, &PortForwarder::UPnPFinished);
        QSignalSpy l_natpmp(lp_forwarder, &PortForwarder::NATPMPFinished);
        QElapsedTimer l_clock;
        l_clock.start();
        lp_forwarder->MapPorts(true, true);
        QVERIFY(l_clock.elapsed() < 500);
        QTRY_VERIFY_WITH_TIMEOUT(l_upnp.count() == 1 && l_natpmp.count() == 1, 10000);
        QCOMPARE(l_upnp.at(0).at(0).toBool(), false);
        QCOMPARE(l_natpmp.at(0).at(0).toBool(), false);
        // A request still running at shutdown does not hold the thread.
        lp_forwarder->InitUPnP();
        l_clock.restart();
        delete lp_forwarder;
        QVERIFY(l_clock.elapsed() < 2000);
        QVERIFY(portForwarder == nullptr);
    }
};

QTEST_GUILESS_MAIN(PortForwarderTest)
#include "PortForwarderTest.moc"
