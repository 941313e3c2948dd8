#ifndef QUILLMAR_PEERS_PORTFORWARDER_H
#define QUILLMAR_PEERS_PORTFORWARDER_H

// Maps the two listening ports on the home router, by UPnP (miniupnpc) and
// NAT-PMP (libnatpmp). Both libraries block while they wait for the router,
// so the work runs on a thread of its own (ThreadedServices); the GUI thread
// only queues requests and hears the outcome through queued signals.
//
// Mappings are leased: each is renewed at half its lifetime for as long as
// the user keeps mapping on, and removed when he turns it off and at
// shutdown, so that a router does not keep forwarding to a client that has
// gone. A router that only accepts permanent UPnP mappings gets one.

#include "server/PortMapping.h"

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>

class QTimer;

// Where the routers are, when they are not to be found on the network.
struct GatewayOptions
{
    QByteArray m_upnpRootUrl;    // the router's description URL: no discovery
    quint32 m_natpmpGateway = 0; // IPv4 host order: no default-route lookup
    int m_upnpLeaseSeconds = 3600;
};

// The worker living on the port-mapping thread. It never touches the store.
class ThreadedServices : public QObject
{
    Q_OBJECT
public:
    explicit ThreadedServices(std::shared_ptr<std::atomic<bool>> ip_stop);
    ~ThreadedServices() override;

    GatewayOptions m_options; // set on the worker's thread

public slots:
    void MapWithUPnP(int i_port, int i_obfuscatedPort);
    void MapWithNATPMP(int i_port, int i_obfuscatedPort);
    void UnmapUPnP();
    void UnmapNATPMP();

signals:
    void UPnPFinished(bool i_success, QString i_detail);
    void NATPMPFinished(bool i_success, QString i_detail);
    void Unmapped(QString i_detail);

private:
    // Asks for (i_lifetime > 0) or removes one mapping; o_lifetime is what
    // the gateway granted. i_waitMs bounds the wait for its answer.
    bool NATPMPRequest(int i_port, quint32 i_lifetime, int i_waitMs, quint32& o_lifetime, QString& o_detail);
    bool AddUPnPMapping(int i_port, QString& o_detail);
    // Both ports of m_ports, with the renewal of a leased mapping.
    bool AddUPnPMappings(QString& o_detail);

    struct UPnPRouter;
    std::unique_ptr<UPnPRouter> mp_router; // the router of the last mapping
    int m_ports[2] = {0, 0};
    bool m_upnpMapped = false;
    bool m_natpmpMapped = false;
    int m_upnpLease = 0; // granted: 0 is permanent
    QTimer* mp_upnpRenewal;
    QTimer* mp_natpmpRenewal;
    // Shared with the forwarder, so that it stays valid for a worker that
    // outlives a forwarder that could not wait for it.
    std::shared_ptr<std::atomic<bool>> mp_stop;
};

class PortForwarder : public QObject, public PortMapper
{
    Q_OBJECT
public:
    PortForwarder();
    ~PortForwarder() override;

    // Queue discovery of the router (2000 ms) and the mapping of both ports;
    // they return at once.
    void InitUPnP();
    void InitNATPMP();
    // Maps with what is on and removes what is off.
    void MapPorts(bool i_useUPnP, bool i_useNATPMP) override;
    void SetGatewayOptions(GatewayOptions const& i_options);

    // Removes the mappings, then ends the thread within STOP_WAIT_MS. A
    // library call that is still waiting for a router then is left to finish
    // on its own: the thread and its worker are abandoned rather than waited
    // for.
    void Stop();
    bool IsRunning() const { return mp_thread && mp_thread->isRunning(); }
    // The worker's thread, where its renewals are timed: for a test that
    // orders a marker after them.
    QThread* WorkerThread() const { return mp_thread; }

    static constexpr int DISCOVERY_DELAY_MS = 2000;
    static constexpr int STOP_WAIT_MS = 1800;

public slots:
    // Removes a mapping whose switch the user has turned off.
    void EveryHalfMinute();

signals:
    void UPnPFinished(bool i_success, QString i_detail);
    void NATPMPFinished(bool i_success, QString i_detail);

private slots:
    void OnUPnPFinished(bool i_success, QString i_detail);
    void OnNATPMPFinished(bool i_success, QString i_detail);

private:
    // Hands both listening ports to the worker's slot ip_slot; ip_how opens
    // the log line.
    void QueueMapping(char const* ip_slot, char const* ip_how);
    void QueueUnmapping(bool& io_mapped, char const* ip_slot);

    QThread* mp_thread = nullptr;
    ThreadedServices* mp_services = nullptr;
    std::shared_ptr<std::atomic<bool>> mp_stop;
    bool m_upnpMapped = false;
    bool m_natpmpMapped = false;
};

extern PortForwarder* portForwarder;

// Lets the server link create the forwarder (it owns it).
void InstallPortForwarderFactory();

#endif
