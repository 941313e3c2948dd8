#ifndef QUILLMAR_TESTS_HOLDINGLISTENER_H
#define QUILLMAR_TESTS_HOLDINGLISTENER_H

// A loopback listener whose connections the system takes and nobody ever
// accepts: the far end of a flood of connections that stay open.

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class HoldingListener
{
public:
    explicit HoldingListener(int i_backlog)
    {
        m_descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in l_address{};
        l_address.sin_family = AF_INET;
        l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l_length = sizeof l_address;
        if (m_descriptor < 0 || ::bind(m_descriptor, reinterpret_cast<sockaddr*>(&l_address), l_length) != 0 ||
            ::listen(m_descriptor, i_backlog) != 0 ||
            ::getsockname(m_descriptor, reinterpret_cast<sockaddr*>(&l_address), &l_length) != 0)
            return;
        m_port = ntohs(l_address.sin_port);
    }
    ~HoldingListener() { Close(); }
    HoldingListener(HoldingListener const&) = delete;
    HoldingListener& operator=(HoldingListener const&) = delete;

    // 0 when it could not be made.
    quint16 Port() const { return m_port; }
    // The connections it holds end with it.
    void Close()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = -1;
    }

private:
    int m_descriptor = -1;
    quint16 m_port = 0;
};

#endif
