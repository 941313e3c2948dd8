#include "peers/PortForwarder.h"

#include "peers/PeerLog.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#ifdef QM_HAVE_PORT_MAPPING_LIBS
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#define ENABLE_STRNATPMPERR 1
#include <natpmp.h>
#include <arpa/inet.h>
#include <poll.h>
#endif

#include <QElapsedTimer>
#include <QTimer>

PortForwarder* portForwarder = nullptr;

namespace {
char const* const LOG_CATEGORY = "Port Mapping";
}

// ------------------------------------------------------------ ThreadedServices

namespace {
constexpr quint32 NATPMP_LIFETIME = 7200;
constexpr int ANSWER_WAIT_MS = 2000;
// Removal is done on the way out: a gateway that does not answer quickly
// is not waited for.
constexpr int REMOVAL_WAIT_MS = 250;
} // namespace

struct ThreadedServices::UPnPRouter
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    UPNPUrls m_urls{};
    IGDdatas m_data{};
    char m_lanAddress[64] = {0};
    ~UPnPRouter() { FreeUPNPUrls(&m_urls); }
#endif
};

ThreadedServices::ThreadedServices(std::shared_ptr<std::atomic<bool>> ip_stop)
    : mp_upnpRenewal(new QTimer(this)), mp_natpmpRenewal(new QTimer(this)), mp_stop(std::move(ip_stop))
{
    mp_upnpRenewal->setSingleShot(true);
    mp_natpmpRenewal->setSingleShot(true);
    connect(mp_upnpRenewal, &QTimer::timeout, this, [this]() {
        QString l_detail;
        bool l_ok = AddUPnPMappings(l_detail);
        emit UPnPFinished(l_ok, l_ok ? QString("ports %1 and %2 renewed").arg(m_ports[0]).arg(m_ports[1]) : l_detail);
    });
    connect(mp_natpmpRenewal, &QTimer::timeout, this, [this]() { MapWithNATPMP(m_ports[0], m_ports[1]); });
}

ThreadedServices::~ThreadedServices() = default;

bool ThreadedServices::AddUPnPMappings(QString& o_detail)
{
    bool l_ok = AddUPnPMapping(m_ports[0], o_detail) && AddUPnPMapping(m_ports[1], o_detail);
    // Renewed at half the lease; a permanent mapping needs none.
    if (l_ok && m_upnpLease > 0)
        mp_upnpRenewal->start(m_upnpLease * 500);
    return l_ok;
}

bool ThreadedServices::AddUPnPMapping(int i_port, QString& o_detail)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    if (i_port <= 0 || mp_stop->load())
        return i_port <= 0;
    QByteArray l_port = QByteArray::number(i_port);
    for (;;) {
        QByteArray l_lease = QByteArray::number(m_upnpLease);
        int l_result = UPNP_AddPortMapping(mp_router->m_urls.controlURL, mp_router->m_data.first.servicetype,
                                           l_port.constData(), l_port.constData(), mp_router->m_lanAddress,
                                           "Quillmar", "TCP", nullptr, l_lease.constData());
        if (l_result == UPNPCOMMAND_SUCCESS)
            return true;
        // 725: the router takes permanent mappings only; one it gets.
        if (l_result != 725 || m_upnpLease == 0) {
            o_detail = QString("port %1: %2").arg(QString::number(i_port), QString::fromUtf8(strupnperror(l_result)));
            return false;
        }
        m_upnpLease = 0;
    }
#else
    Q_UNUSED(i_port);
    o_detail = "built without UPnP support";
    return false;
#endif
}

void ThreadedServices::MapWithUPnP(int i_port, int i_obfuscatedPort)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    if (mp_stop->load())
        return;
    mp_upnpRenewal->stop();
    m_ports[0] = i_port;
    m_ports[1] = i_obfuscatedPort;
    auto lp_router = std::make_unique<UPnPRouter>();
    int l_found = 0;
    if (!m_options.m_upnpRootUrl.isEmpty()) {
        l_found = UPNP_GetIGDFromUrl(m_options.m_upnpRootUrl.constData(), &lp_router->m_urls, &lp_router->m_data,
                                     lp_router->m_lanAddress, sizeof lp_router->m_lanAddress);
    } else {
        int l_error = 0;
        UPNPDev* lp_devices = upnpDiscover(PortForwarder::DISCOVERY_DELAY_MS, nullptr, nullptr, 0, 0, 2, &l_error);
        if (!lp_devices) {
            emit UPnPFinished(false, QString("no UPnP device found (error %1)").arg(l_error));
            return;
        }
        if (!mp_stop->load())
            l_found = UPNP_GetValidIGD(lp_devices, &lp_router->m_urls, &lp_router->m_data, lp_router->m_lanAddress,
                                       sizeof lp_router->m_lanAddress);
        freeUPNPDevlist(lp_devices);
    }
    if (l_found != 1) {
        emit UPnPFinished(false, "no connected Internet gateway device");
        return;
    }
    mp_router = std::move(lp_router);
    m_upnpLease = m_options.m_upnpLeaseSeconds;
    QString l_detail;
    m_upnpMapped = AddUPnPMappings(l_detail);
    emit UPnPFinished(m_upnpMapped, m_upnpMapped ? QString("ports %1 and %2 mapped for %3, %4")
                                                       .arg(QString::number(i_port), QString::number(i_obfuscatedPort),
                                                            QString::fromUtf8(mp_router->m_lanAddress),
                                                            m_upnpLease > 0 ? QString("leased for %1 s").arg(m_upnpLease)
                                                                            : QString("permanently"))
                                                 : l_detail);
#else
    Q_UNUSED(i_port);
    Q_UNUSED(i_obfuscatedPort);
    emit UPnPFinished(false, "built without UPnP support");
#endif
}

void ThreadedServices::UnmapUPnP()
{
    mp_upnpRenewal->stop();
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    if (!m_upnpMapped || !mp_router)
        return;
    m_upnpMapped = false;
    for (int l_port : m_ports) {
        QByteArray l_text = QByteArray::number(l_port);
        if (l_port > 0)
            UPNP_DeletePortMapping(mp_router->m_urls.controlURL, mp_router->m_data.first.servicetype,
                                   l_text.constData(), "TCP", nullptr);
    }
    emit Unmapped(QString("UPnP mapping of ports %1 and %2 removed").arg(m_ports[0]).arg(m_ports[1]));
#endif
}

bool ThreadedServices::NATPMPRequest(int i_port, quint32 i_lifetime, int i_waitMs, quint32& o_lifetime,
                                     QString& o_detail)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    natpmp_t l_natpmp;
    int l_result = m_options.m_natpmpGateway ? initnatpmp(&l_natpmp, 1, htonl(m_options.m_natpmpGateway))
                                             : initnatpmp(&l_natpmp, 0, 0);
    if (l_result < 0) {
        o_detail = QString("no gateway: %1").arg(QString::fromUtf8(strnatpmperr(l_result)));
        return false;
    }
    l_result = sendnewportmappingrequest(&l_natpmp, NATPMP_PROTOCOL_TCP, uint16_t(i_port), uint16_t(i_port),
                                         i_lifetime);
    // The library retries with growing delays for about a minute; we give
    // the gateway a bounded time and look at the stop flag in between. The
    // socket is waited on with poll(): select() cannot take a descriptor
    // above 1023.
    QElapsedTimer l_clock;
    l_clock.start();
    natpmpresp_t l_response{};
    while (l_result >= 0) {
        if ((i_lifetime > 0 && mp_stop->load()) || l_clock.elapsed() > i_waitMs) {
            l_result = NATPMP_ERR_NOGATEWAYSUPPORT;
            break;
        }
        pollfd l_poll{l_natpmp.s, POLLIN, 0};
        poll(&l_poll, 1, 200);
        l_result = readnatpmpresponseorretry(&l_natpmp, &l_response);
        if (l_result != NATPMP_TRYAGAIN)
            break;
        l_result = 0;
    }
    closenatpmp(&l_natpmp);
    if (l_result < 0) {
        o_detail = QString("port %1: %2").arg(QString::number(i_port), l_result == NATPMP_ERR_NOGATEWAYSUPPORT
                                                                          ? QString("no answer from the gateway")
                                                                          : QString::fromUtf8(strnatpmperr(l_result)));
        return false;
    }
    o_lifetime = l_response.pnu.newportmapping.lifetime;
    return true;
#else
    Q_UNUSED(i_port);
    Q_UNUSED(i_lifetime);
    Q_UNUSED(i_waitMs);
    Q_UNUSED(o_lifetime);
    o_detail = "built without NAT-PMP support";
    return false;
#endif
}

void ThreadedServices::MapWithNATPMP(int i_port, int i_obfuscatedPort)
{
    if (mp_stop->load())
        return;
    m_ports[0] = i_port;
    m_ports[1] = i_obfuscatedPort;
    QStringList l_failures;
    quint32 l_lifetime = NATPMP_LIFETIME;
    for (int l_port : m_ports) {
        QString l_detail;
        quint32 l_granted = 0;
        if (l_port > 0 && !NATPMPRequest(l_port, NATPMP_LIFETIME, ANSWER_WAIT_MS, l_granted, l_detail))
            l_failures << l_detail;
        else if (l_port > 0)
            l_lifetime = qMin(l_lifetime, l_granted);
    }
    m_natpmpMapped = l_failures.isEmpty();
    if (m_natpmpMapped) // renewed at half the shorter lease
        mp_natpmpRenewal->start(int(qMax<quint32>(l_lifetime, 2) * 500));
    emit NATPMPFinished(m_natpmpMapped, m_natpmpMapped ? QString("ports %1 and %2 mapped for %3 s")
                                                             .arg(i_port)
                                                             .arg(i_obfuscatedPort)
                                                             .arg(l_lifetime)
                                                       : l_failures.join("; "));
}

void ThreadedServices::UnmapNATPMP()
{
    mp_natpmpRenewal->stop();
    if (!m_natpmpMapped)
        return;
    m_natpmpMapped = false;
    for (int l_port : m_ports) {
        QString l_detail;
        quint32 l_granted = 0;
        if (l_port > 0)
            NATPMPRequest(l_port, 0, REMOVAL_WAIT_MS, l_granted, l_detail);
    }
    emit Unmapped(QString("NAT-PMP mapping of ports %1 and %2 removed").arg(m_ports[0]).arg(m_ports[1]));
}

// --------------------------------------------------------------- PortForwarder

PortForwarder::PortForwarder() : mp_stop(std::make_shared<std::atomic<bool>>(false))
{
    portForwarder = this;
    mp_thread = new QThread;
    mp_thread->setObjectName("ThreadedServices");
    mp_services = new ThreadedServices(mp_stop);
    mp_services->moveToThread(mp_thread);
    connect(mp_services, &ThreadedServices::UPnPFinished, this, &PortForwarder::OnUPnPFinished);
    connect(mp_services, &ThreadedServices::NATPMPFinished, this, &PortForwarder::OnNATPMPFinished);
    connect(mp_services, &ThreadedServices::Unmapped, this,
            [](QString i_detail) { PeerLog(1, i_detail, LOG_CATEGORY); });
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &PortForwarder::EveryHalfMinute);
    mp_thread->start();
}

PortForwarder::~PortForwarder()
{
    Stop();
    if (portForwarder == this)
        portForwarder = nullptr;
}

void PortForwarder::Stop()
{
    if (!mp_thread)
        return;
    // The mappings go first, then the thread: all is queued, in order. The
    // worker knows best what it has mapped (an answer may still be on its
    // way to us), so it is asked in any case.
    m_upnpMapped = m_natpmpMapped = true;
    QueueUnmapping(m_upnpMapped, "UnmapUPnP");
    QueueUnmapping(m_natpmpMapped, "UnmapNATPMP");
    mp_stop->store(true);
    QThread* lp_thread = mp_thread;
    QMetaObject::invokeMethod(mp_services, [lp_thread]() { lp_thread->quit(); }, Qt::QueuedConnection);
    if (mp_thread->wait(STOP_WAIT_MS)) {
        delete mp_services; // its thread has ended: nothing else can touch it
        delete mp_thread;
    } else {
        // Blocked inside a library call that cannot be interrupted; it sees
        // the stop flag when it returns, and the process is ending anyway.
        mp_services->disconnect(this);
        PeerLog(1, "Port-mapping thread still waiting for the router; not waiting for it", LOG_CATEGORY);
    }
    mp_services = nullptr;
    mp_thread = nullptr;
}

void PortForwarder::SetGatewayOptions(GatewayOptions const& i_options)
{
    if (ThreadedServices* lp_services = mp_services)
        QMetaObject::invokeMethod(
            lp_services, [lp_services, i_options]() { lp_services->m_options = i_options; }, Qt::QueuedConnection);
}

void PortForwarder::QueueMapping(char const* ip_slot, char const* ip_how)
{
    if (!mp_services || mp_stop->load())
        return;
    int l_port = GetSettingInt("listening_port");
    int l_obfuscatedPort = GetSettingInt("obfuscated_listening_port");
    PeerLog(1, QString("%1 to map ports %2 and %3").arg(ip_how).arg(l_port).arg(l_obfuscatedPort), LOG_CATEGORY);
    QMetaObject::invokeMethod(mp_services, ip_slot, Qt::QueuedConnection, Q_ARG(int, l_port),
                              Q_ARG(int, l_obfuscatedPort));
}

void PortForwarder::QueueUnmapping(bool& io_mapped, char const* ip_slot)
{
    if (!io_mapped || !mp_services)
        return;
    io_mapped = false;
    QMetaObject::invokeMethod(mp_services, ip_slot, Qt::QueuedConnection);
}

void PortForwarder::InitUPnP()
{
    QueueMapping("MapWithUPnP", "Looking for a UPnP router");
}

void PortForwarder::InitNATPMP()
{
    QueueMapping("MapWithNATPMP", "Asking the gateway by NAT-PMP");
}

void PortForwarder::MapPorts(bool i_useUPnP, bool i_useNATPMP)
{
    if (i_useUPnP)
        InitUPnP();
    else
        QueueUnmapping(m_upnpMapped, "UnmapUPnP");
    if (i_useNATPMP)
        InitNATPMP();
    else
        QueueUnmapping(m_natpmpMapped, "UnmapNATPMP");
}

void PortForwarder::EveryHalfMinute()
{
    if (!IsSettingYes("use_upnp"))
        QueueUnmapping(m_upnpMapped, "UnmapUPnP");
    if (!IsSettingYes("use_natpmp"))
        QueueUnmapping(m_natpmpMapped, "UnmapNATPMP");
}

void PortForwarder::OnUPnPFinished(bool i_success, QString i_detail)
{
    m_upnpMapped = m_upnpMapped || i_success;
    PeerLog(1, QString("UPnP port mapping %1: %2").arg(i_success ? "done" : "failed", i_detail), LOG_CATEGORY);
    emit UPnPFinished(i_success, i_detail);
}

void PortForwarder::OnNATPMPFinished(bool i_success, QString i_detail)
{
    m_natpmpMapped = m_natpmpMapped || i_success;
    PeerLog(1, QString("NAT-PMP port mapping %1: %2").arg(i_success ? "done" : "failed", i_detail), LOG_CATEGORY);
    emit NATPMPFinished(i_success, i_detail);
}

void InstallPortForwarderFactory()
{
    SetPortMapperFactory([]() -> PortMapper* { return new PortForwarder; });
}
