#include "peers/PortForwarder.h"

#include "peers/PeerLog.h"
#include "store/Settings.h"

#ifdef QM_HAVE_PORT_MAPPING_LIBS
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#define ENABLE_STRNATPMPERR 1
#include <natpmp.h>
#include <sys/select.h>
#endif

#include <QElapsedTimer>

PortForwarder* portForwarder = nullptr;

namespace {
char const* const LOG_CATEGORY = "Port Mapping";
}

// ------------------------------------------------------------ ThreadedServices

ThreadedServices::ThreadedServices(std::shared_ptr<std::atomic<bool>> ip_stop) : mp_stop(std::move(ip_stop)) {}

void ThreadedServices::MapWithUPnP(int i_port, int i_obfuscatedPort)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    if (mp_stop->load())
        return;
    int l_error = 0;
    UPNPDev* lp_devices = upnpDiscover(PortForwarder::DISCOVERY_DELAY_MS, nullptr, nullptr, 0, 0, 2, &l_error);
    if (!lp_devices) {
        emit UPnPFinished(false, QString("no UPnP device found (error %1)").arg(l_error));
        return;
    }
    UPNPUrls l_urls{};
    IGDdatas l_data{};
    char l_lanAddress[64] = {0};
    int l_found = mp_stop->load() ? 0 : UPNP_GetValidIGD(lp_devices, &l_urls, &l_data, l_lanAddress, sizeof l_lanAddress);
    freeUPNPDevlist(lp_devices);
    if (l_found != 1) {
        if (l_found != 0)
            FreeUPNPUrls(&l_urls);
        emit UPnPFinished(false, "no connected Internet gateway device");
        return;
    }
    QStringList l_failures;
    for (int l_port : {i_port, i_obfuscatedPort}) {
        if (l_port <= 0 || mp_stop->load())
            continue;
        QByteArray l_text = QByteArray::number(l_port);
        int l_result = UPNP_AddPortMapping(l_urls.controlURL, l_data.first.servicetype, l_text.constData(),
                                           l_text.constData(), l_lanAddress, "Quillmar", "TCP", nullptr, "0");
        if (l_result != UPNPCOMMAND_SUCCESS)
            l_failures << QString("port %1: %2").arg(l_port).arg(strupnperror(l_result));
    }
    FreeUPNPUrls(&l_urls);
    if (l_failures.isEmpty())
        emit UPnPFinished(true, QString("ports %1 and %2 mapped for %3").arg(i_port).arg(i_obfuscatedPort).arg(l_lanAddress));
    else
        emit UPnPFinished(false, l_failures.join("; "));
#else
    Q_UNUSED(i_port);
    Q_UNUSED(i_obfuscatedPort);
    emit UPnPFinished(false, "built without UPnP support");
#endif
}

bool ThreadedServices::NATPMPMapOne(void* ip_natpmp, int i_port, QString& o_detail)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    auto* lp_natpmp = static_cast<natpmp_t*>(ip_natpmp);
    int l_result = sendnewportmappingrequest(lp_natpmp, NATPMP_PROTOCOL_TCP, uint16_t(i_port), uint16_t(i_port), 7200);
    if (l_result < 0) {
        o_detail = QString("port %1: %2").arg(i_port).arg(strnatpmperr(l_result));
        return false;
    }
    // The library retries with growing delays for about a minute; we give
    // the router two seconds and look at the stop flag in between.
    QElapsedTimer l_clock;
    l_clock.start();
    natpmpresp_t l_response;
    do {
        if (mp_stop->load() || l_clock.elapsed() > 2000) {
            o_detail = QString("port %1: no answer from the router").arg(i_port);
            return false;
        }
        fd_set l_fds;
        FD_ZERO(&l_fds);
        FD_SET(lp_natpmp->s, &l_fds);
        timeval l_timeout{0, 200 * 1000};
        select(FD_SETSIZE, &l_fds, nullptr, nullptr, &l_timeout);
        l_result = readnatpmpresponseorretry(lp_natpmp, &l_response);
    } while (l_result == NATPMP_TRYAGAIN);
    if (l_result < 0) {
        o_detail = QString("port %1: %2").arg(i_port).arg(strnatpmperr(l_result));
        return false;
    }
    return true;
#else
    Q_UNUSED(ip_natpmp);
    Q_UNUSED(i_port);
    o_detail = "built without NAT-PMP support";
    return false;
#endif
}

void ThreadedServices::MapWithNATPMP(int i_port, int i_obfuscatedPort)
{
#ifdef QM_HAVE_PORT_MAPPING_LIBS
    if (mp_stop->load())
        return;
    natpmp_t l_natpmp;
    int l_result = initnatpmp(&l_natpmp, 0, 0);
    if (l_result < 0) {
        emit NATPMPFinished(false, QString("no gateway: %1").arg(strnatpmperr(l_result)));
        return;
    }
    QStringList l_failures;
    for (int l_port : {i_port, i_obfuscatedPort}) {
        QString l_detail;
        if (l_port > 0 && !NATPMPMapOne(&l_natpmp, l_port, l_detail))
            l_failures << l_detail;
    }
    closenatpmp(&l_natpmp);
    if (l_failures.isEmpty())
        emit NATPMPFinished(true, QString("ports %1 and %2 mapped").arg(i_port).arg(i_obfuscatedPort));
    else
        emit NATPMPFinished(false, l_failures.join("; "));
#else
    Q_UNUSED(i_port);
    Q_UNUSED(i_obfuscatedPort);
    emit NATPMPFinished(false, "built without NAT-PMP support");
#endif
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
    mp_stop->store(true);
    mp_thread->quit();
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
    if (i_useNATPMP)
        InitNATPMP();
}

void PortForwarder::OnUPnPFinished(bool i_success, QString i_detail)
{
    PeerLog(1, QString("UPnP port mapping %1: %2").arg(i_success ? "done" : "failed", i_detail), LOG_CATEGORY);
    emit UPnPFinished(i_success, i_detail);
}

void PortForwarder::OnNATPMPFinished(bool i_success, QString i_detail)
{
    PeerLog(1, QString("NAT-PMP port mapping %1: %2").arg(i_success ? "done" : "failed", i_detail), LOG_CATEGORY);
    emit NATPMPFinished(i_success, i_detail);
}

void InstallPortForwarderFactory()
{
    SetPortMapperFactory([]() -> PortMapper* { return new PortForwarder; });
}
