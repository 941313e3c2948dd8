#include "peers/ConnectionCount.h"

#include <QObject>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>

#include <sys/resource.h>

namespace {

std::atomic<int> s_open{0};

// The soft limit on descriptors now (1024 where it cannot be read, as the
// system's default is).
quint64 SoftLimit()
{
    rlimit l_limit{};
    if (::getrlimit(RLIMIT_NOFILE, &l_limit) != 0)
        return 1024;
    return l_limit.rlim_cur == RLIM_INFINITY ? quint64(1) << 20 : quint64(l_limit.rlim_cur);
}

// A child of the counted socket: it goes with the socket, in the thread
// that deletes it, once the socket has closed its descriptor.
class Ticket : public QObject
{
public:
    explicit Ticket(QTcpSocket* ip_socket) : QObject(ip_socket) { ++s_open; }
    ~Ticket() override { --s_open; }
};

} // namespace

namespace ConnectionCount {

void RaiseDescriptorLimit()
{
    rlimit l_limit{};
    if (::getrlimit(RLIMIT_NOFILE, &l_limit) == 0 && l_limit.rlim_cur < l_limit.rlim_max) {
        l_limit.rlim_cur = l_limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &l_limit);
    }
}

int BoundFor(quint64 i_descriptors)
{
    quint64 const l_shared = i_descriptors > RESERVE ? (i_descriptors - RESERVE) / 2 : 0;
    return int(std::min<quint64>(MOST, std::max<quint64>(i_descriptors / 4, l_shared)));
}

int Bound()
{
    return BoundFor(SoftLimit());
}

void Count(QTcpSocket* ip_socket)
{
    new Ticket(ip_socket);
}

int Open()
{
    return s_open.load();
}

} // namespace ConnectionCount
