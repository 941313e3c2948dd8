#ifndef QUILLMAR_PEERS_PORTFORWARDER_H
#define QUILLMAR_PEERS_PORTFORWARDER_H

// Maps the two listening ports on the home router, by UPnP (miniupnpc) and
// NAT-PMP (libnatpmp). Both libraries block while they wait for the router,
// so the work runs on a thread of its own (ThreadedServices); the GUI thread
// only queues requests and hears the outcome through queued signals.

#include "server/PortMapping.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>

// The worker living on the port-mapping thread. It never touches the store.
class ThreadedServices : public QObject
{
    Q_OBJECT
public:
    explicit ThreadedServices(std::shared_ptr<std::atomic<bool>> ip_stop);

public slots:
    void MapWithUPnP(int i_port, int i_obfuscatedPort);
    void MapWithNATPMP(int i_port, int i_obfuscatedPort);

signals:
    void UPnPFinished(bool i_success, QString i_detail);
    void NATPMPFinished(bool i_success, QString i_detail);

private:
    bool NATPMPMapOne(void* ip_natpmp, int i_port, QString& o_detail);
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
    void MapPorts(bool i_useUPnP, bool i_useNATPMP) override;

    // Ends the thread within STOP_WAIT_MS. A library call that is still
    // waiting for a router then is left to finish on its own: the thread and
    // its worker are abandoned rather than waited for.
    void Stop();
    bool IsRunning() const { return mp_thread && mp_thread->isRunning(); }

    static constexpr int DISCOVERY_DELAY_MS = 2000;
    static constexpr int STOP_WAIT_MS = 1800;

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

    QThread* mp_thread = nullptr;
    ThreadedServices* mp_services = nullptr;
    std::shared_ptr<std::atomic<bool>> mp_stop;
};

extern PortForwarder* portForwarder;

// Lets the server link create the forwarder (it owns it).
void InstallPortForwarderFactory();

#endif
