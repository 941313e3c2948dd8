#include "peers/ConnectionCount.h"

#include <QObject>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>

#include <sys/resource.h>

namespace {

std::atomic<int> s_open{0};

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

quint64 RaiseDescriptorLimit()
{
    rlimit l_limit{};
    if (::getrlimit(RLIMIT_NOFILE, &l_limit) != 0)
        return 1024;
    if (l_limit.rlim_cur < l_limit.rlim_max) {
        rlimit l_raised = l_limit;
        l_raised.rlim_cur = l_limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &l_raised) == 0)
            l_limit = l_raised;
    }
    return l_limit.rlim_cur == RLIM_INFINITY ? quint64(1) << 20 : quint64(l_limit.rlim_cur);
}

int BoundFor(quint64 i_descriptors)
{
    quint64 const l_shared = i_descriptors > RESERVE ? (i_descriptors - RESERVE) / 2 : 0;
    return int(std::min<quint64>(MOST, std::max<quint64>(i_descriptors / 4, l_shared)));
}

int Bound()
{
    rlimit l_limit{};
    if (::getrlimit(RLIMIT_NOFILE, &l_limit) != 0)
        return BoundFor(1024);
    return BoundFor(l_limit.rlim_cur == RLIM_INFINITY ? quint64(1) << 20 : quint64(l_limit.rlim_cur));
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
