// The port forwarder against gateways played by the test on loopback: a
// NAT-PMP gateway on UDP 5351 and a UPnP router's description and control
// over HTTP. Leases are renewed at half their time and the mappings removed
// when mapping is turned off and at shutdown. Runs only where nothing but
// loopback is up (unshare -n), so that no request can leave the machine.

#include "peers/PortForwarder.h"
#include "store/Settings.h"

#include <QNetworkInterface>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>

namespace {

// What a gateway was asked, read by the test while the gateway's thread
// writes.
struct Requests
{
    void Add(QString const& i_request)
    {
        QMutexLocker l_lock(&m_mutex);
        m_list << i_request;
    }
    QStringList Get()
    {
        QMutexLocker l_lock(&m_mutex);
        return m_list;
    }

    QMutex m_mutex;
    QStringList m_list;
};

// Both gateways, on a thread of their own so that they answer while the
// test's thread waits for the forwarder to stop. The NAT-PMP one grants two
// seconds (or removal) and records "<port> <lifetime asked>"; the UPnP
// router serves its description and control URL and records "Add <port>
// <lease>" and "Delete <port>"; with m_permanentOnly it refuses leases (725).
// A request for "/held.xml" is answered a byte every 200 ms, so that the
// library call reading it goes on waiting, until the test lets it go or
// WAIT_MS have passed (then m_gaveUp is set).
class Gateways : public QThread
{
public:
    Requests m_natpmp;
    Requests m_upnp;
    std::atomic<bool> m_permanentOnly{true};
    std::atomic<int> m_httpPort{0};
    std::atomic<int> m_held{0};
    std::atomic<bool> m_letGo{false};
    std::atomic<bool> m_gaveUp{false};

private:
    QMap<QTcpSocket*, QByteArray> m_pending; // the gateways' thread's only
    QList<QTcpSocket*> m_holding;            // likewise
    QElapsedTimer m_holdingSince;            // likewise

    void run() override
    {
        QUdpSocket l_natpmp;
        l_natpmp.bind(QHostAddress::LocalHost, 5351);
        connect(&l_natpmp, &QUdpSocket::readyRead, [this, &l_natpmp]() { AnswerNatPmp(l_natpmp); });
        QTcpServer l_router;
        l_router.listen(QHostAddress::LocalHost, 0);
        connect(&l_router, &QTcpServer::newConnection, [this, &l_router]() {
            QTcpSocket* lp_socket = l_router.nextPendingConnection();
            connect(lp_socket, &QTcpSocket::readyRead, [this, lp_socket]() { Serve(lp_socket); });
        });
        QTimer l_trickle;
        connect(&l_trickle, &QTimer::timeout, [this]() { Trickle(); });
        l_trickle.start(200);
        m_httpPort = l_router.serverPort();
        exec();
    }

    void Trickle()
    {
        if (m_holding.isEmpty())
            return;
        bool const l_end = m_letGo || m_holdingSince.hasExpired(WAIT_MS);
        for (QTcpSocket* lp_socket : m_holding)
            if (l_end)
                lp_socket->disconnectFromHost();
            else
                lp_socket->write("x");
        if (l_end) {
            m_gaveUp = !m_letGo;
            m_holding.clear();
        }
    }

    void AnswerNatPmp(QUdpSocket& io_socket)
    {
        while (io_socket.hasPendingDatagrams()) {
            QHostAddress l_from;
            quint16 l_port = 0;
            QByteArray l_request(int(io_socket.pendingDatagramSize()), '\0');
            io_socket.readDatagram(l_request.data(), l_request.size(), &l_from, &l_port);
            if (l_request.size() != 12 || l_request.at(1) != 2)
                continue;
            quint32 l_lifetime = qFromBigEndian<quint32>(l_request.constData() + 8);
            m_natpmp.Add(QString("%1 %2").arg(qFromBigEndian<quint16>(l_request.constData() + 4)).arg(l_lifetime));
            QByteArray l_answer(16, '\0');
            l_answer[1] = char(130);
            memcpy(l_answer.data() + 8, l_request.constData() + 4, 4);
            qToBigEndian<quint32>(l_lifetime ? 2 : 0, l_answer.data() + 12);
            io_socket.writeDatagram(l_answer, l_from, l_port);
        }
    }

    void Serve(QTcpSocket* ip_socket)
    {
        QByteArray& l_in = m_pending[ip_socket];
        l_in += ip_socket->readAll();
        int l_end = l_in.indexOf("\r\n\r\n");
        QRegularExpression l_length("Content-Length: *(\\d+)", QRegularExpression::CaseInsensitiveOption);
        auto l_match = l_length.match(QString::fromLatin1(l_in.left(l_end)));
        if (l_end < 0 || l_in.size() < l_end + 4 + (l_match.hasMatch() ? l_match.captured(1).toInt() : 0))
            return;
        QString l_body = QString::fromLatin1(l_in.mid(l_end + 4));
        auto Field = [&](char const* ip_name) {
            return QRegularExpression(QString("<%1>([^<]*)<").arg(ip_name)).match(l_body).captured(1);
        };
        QByteArray l_answer = "<s:Envelope><s:Body><u:Ok/></s:Body></s:Envelope>";
        QByteArray l_status = "200 OK";
        if (l_in.startsWith("GET /held.xml")) {
            ip_socket->write("HTTP/1.1 200 OK\r\nX-Held: ");
            m_pending.remove(ip_socket);
            if (m_holding.isEmpty())
                m_holdingSince.start();
            m_holding << ip_socket;
            ++m_held;
            return;
        }
        if (l_in.startsWith("GET")) {
            l_answer = "<?xml version=\"1.0\"?><root><device><deviceType>urn:schemas-upnp-org:device:"
                       "InternetGatewayDevice:1</deviceType><deviceList><device><deviceList><device><serviceList>"
                       "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
                       "<controlURL>/ctl</controlURL><eventSubURL>/evt</eventSubURL><SCPDURL>/scpd.xml</SCPDURL>"
                       "</service></serviceList></device></deviceList></device></deviceList></device></root>";
        } else if (l_body.contains("DeletePortMapping")) {
            m_upnp.Add("Delete " + Field("NewExternalPort"));
        } else if (m_permanentOnly && Field("NewLeaseDuration") != "0") {
            l_status = "500 Internal Server Error";
            l_answer = "<s:Envelope><s:Body><s:Fault><detail><UPnPError><errorCode>725</errorCode>"
                       "</UPnPError></detail></s:Fault></s:Body></s:Envelope>";
        } else {
            m_upnp.Add("Add " + Field("NewExternalPort") + " " + Field("NewLeaseDuration"));
        }
        ip_socket->write("HTTP/1.1 " + l_status + "\r\nContent-Type: text/xml\r\nContent-Length: " +
                         QByteArray::number(l_answer.size()) + "\r\nConnection: close\r\n\r\n" + l_answer);
        ip_socket->disconnectFromHost();
        m_pending.remove(ip_socket);
    }
};

bool EndsWith(QStringList const& i_list, QStringList const& i_end)
{
    return i_list.size() >= i_end.size() && i_list.mid(i_list.size() - i_end.size()) == i_end;
}

// Requests for i_mapping repeated, as renewals may be while the test waits,
// and then i_removal once.
bool OnlyRenewals(QStringList const& i_list, QStringList const& i_mapping, QStringList const& i_removal)
{
    QStringList l_expected;
    while (l_expected.size() + i_removal.size() < i_list.size())
        l_expected += i_mapping;
    return i_list == l_expected + i_removal;
}

// Runs the event loop until a timer of i_ms started now on the forwarder's
// worker thread has fired there. A renewal due before then runs first on
// that thread, and has had the gateway's answer, however busy the machine.
bool WorkerTimerFired(PortForwarder& i_forwarder, int i_ms)
{
    std::atomic<bool> l_fired{false};
    QTimer* lp_marker = new QTimer;
    lp_marker->setSingleShot(true);
    lp_marker->setTimerType(Qt::PreciseTimer);
    lp_marker->moveToThread(i_forwarder.WorkerThread());
    QObject::connect(lp_marker, &QTimer::timeout, lp_marker, [&l_fired]() { l_fired = true; }, Qt::DirectConnection);
    QMetaObject::invokeMethod(lp_marker, [lp_marker, i_ms]() { lp_marker->start(i_ms); });
    bool const l_came = WaitUntil([&l_fired]() { return l_fired.load(); }, WAIT_MS + i_ms);
    QMetaObject::invokeMethod(lp_marker, &QObject::deleteLater);
    return l_came;
}

} // namespace

class PortForwarderTest : public QObject
{
    Q_OBJECT

private:
    Gateways m_gateways;

private slots:
    void initTestCase()
    {
        // Discovery multicasts and asks the gateway: it may only ever run in
        // a network namespace that has nothing but loopback.
        for (QNetworkInterface const& l_interface : QNetworkInterface::allInterfaces())
            if (!(l_interface.flags() & QNetworkInterface::IsLoopBack) &&
                (l_interface.flags() & QNetworkInterface::IsUp))
                QSKIP("a network other than loopback is up: run inside unshare -n");
        DeclareSettingsTypes();
        SetSetting("listening_port", qint64(5000));
        SetSetting("obfuscated_listening_port", qint64(5001));
        m_gateways.start();
        QTRY_VERIFY(m_gateways.m_httpPort != 0);
    }

    void cleanupTestCase()
    {
        m_gateways.quit();
        m_gateways.wait();
    }

    // No router: discovery fails, on the forwarder's thread (the call does
    // not wait for it: the answers come later). A router that holds its
    // answer at shutdown does not hold the deletion: the thread waiting for
    // it is left to end on its own.
    void noRouter()
    {
        auto* lp_forwarder = new PortForwarder;
        QCOMPARE(portForwarder, lp_forwarder);
        QSignalSpy l_upnp(lp_forwarder, &PortForwarder::UPnPFinished);
        QSignalSpy l_natpmp(lp_forwarder, &PortForwarder::NATPMPFinished);
        lp_forwarder->MapPorts(true, true);
        QCOMPARE(l_upnp.count() + l_natpmp.count(), 0);
        QTRY_VERIFY(l_upnp.count() == 1 && l_natpmp.count() == 1);
        QCOMPARE(l_upnp.at(0).at(0).toBool(), false);
        QCOMPARE(l_natpmp.at(0).at(0).toBool(), false);
        GatewayOptions l_options;
        l_options.m_upnpRootUrl = "http://127.0.0.1:" + QByteArray::number(m_gateways.m_httpPort) + "/held.xml";
        lp_forwarder->SetGatewayOptions(l_options);
        lp_forwarder->InitUPnP();
        QTRY_COMPARE(m_gateways.m_held.load(), 1);
        delete lp_forwarder;
        QVERIFY2(!m_gateways.m_gaveUp, "the deletion waited for the router");
        m_gateways.m_letGo = true;
        QVERIFY(portForwarder == nullptr);
    }

    void natpmpLeaseIsRenewedAndRemoved()
    {
        Requests& l_gateway = m_gateways.m_natpmp;
        auto lp_forwarder = std::make_unique<PortForwarder>();
        GatewayOptions l_options;
        l_options.m_natpmpGateway = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
        lp_forwarder->SetGatewayOptions(l_options);
        QSignalSpy l_done(lp_forwarder.get(), &PortForwarder::NATPMPFinished);
        SetSwitch("use_natpmp", true);
        lp_forwarder->MapPorts(false, true);
        QVERIFY(l_done.wait(WAIT_MS));
        QVERIFY(l_done.at(0).at(0).toBool());
        // Granted two seconds: renewed every second, as often as the test's
        // steps take seconds on a busy machine.
        QStringList const l_asked{"5000 7200", "5001 7200"};
        QStringList const l_removed{"5000 0", "5001 0"};
        QTRY_VERIFY(l_gateway.Get().size() >= 4);
        QCOMPARE(l_gateway.Get().mid(0, 4), l_asked + l_asked);
        SetSwitch("use_natpmp", false);
        lp_forwarder->EveryHalfMinute();
        QTRY_VERIFY(EndsWith(l_gateway.Get(), l_removed));
        QVERIFY(OnlyRenewals(l_gateway.Get().mid(4), l_asked, l_removed));
        int const l_removedAt = l_gateway.Get().size();
        // No renewal after removal, by twice the time of one.
        QVERIFY(WorkerTimerFired(*lp_forwarder, 2000));
        QCOMPARE(l_gateway.Get().size(), l_removedAt);
        lp_forwarder->MapPorts(false, true);
        QTRY_VERIFY(l_gateway.Get().size() >= l_removedAt + 2);
        QCOMPARE(l_gateway.Get().mid(l_removedAt, 2), l_asked);
        lp_forwarder.reset();
        QTRY_VERIFY(EndsWith(l_gateway.Get(), l_removed));
        QVERIFY(OnlyRenewals(l_gateway.Get().mid(l_removedAt), l_asked, l_removed));
    }

    void upnpLeaseFallsBackIsRenewedAndRemoved()
    {
        Requests& l_router = m_gateways.m_upnp;
        auto lp_forwarder = std::make_unique<PortForwarder>();
        GatewayOptions l_options;
        l_options.m_upnpRootUrl = "http://127.0.0.1:" + QByteArray::number(m_gateways.m_httpPort) + "/root.xml";
        l_options.m_upnpLeaseSeconds = 2;
        lp_forwarder->SetGatewayOptions(l_options);
        QSignalSpy l_done(lp_forwarder.get(), &PortForwarder::UPnPFinished);
        SetSwitch("use_upnp", true);
        // A router that takes permanent mappings only gets them, unrenewed.
        lp_forwarder->MapPorts(true, false);
        QVERIFY(l_done.wait(WAIT_MS));
        QVERIFY2(l_done.at(0).at(0).toBool(), qPrintable(l_done.at(0).at(1).toString()));
        QVERIFY(WorkerTimerFired(*lp_forwarder, 2000)); // twice the time a lease's renewal would take
        QCOMPARE(l_router.Get(), QStringList({"Add 5000 0", "Add 5001 0"}));
        lp_forwarder->MapPorts(false, false);
        QTRY_COMPARE(l_router.Get().mid(2), QStringList({"Delete 5000", "Delete 5001"}));
        // One that takes leases has them renewed, and removed at shutdown.
        m_gateways.m_permanentOnly = false;
        lp_forwarder->MapPorts(true, false);
        QStringList const l_leased{"Add 5000 2", "Add 5001 2"};
        QStringList const l_deleted{"Delete 5000", "Delete 5001"};
        QTRY_VERIFY(l_router.Get().size() >= 8);
        QCOMPARE(l_router.Get().mid(4, 4), l_leased + l_leased);
        lp_forwarder.reset();
        QTRY_VERIFY(EndsWith(l_router.Get(), l_deleted));
        QVERIFY(OnlyRenewals(l_router.Get().mid(4), l_leased, l_deleted));
    }
};

QTEST_GUILESS_MAIN(PortForwarderTest)
#include "PortForwarderTest.moc"
