#ifndef QUILLMAR_SERVER_TCPADDRESS_H
#define QUILLMAR_SERVER_TCPADDRESS_H

#include <QString>
#include <QtGlobal>

#include <list>
#include <utility>

// An IPv4 address (first octet most significant, as QHostAddress gives it)
// and a port, as the server reports them.
struct TCPAddress
{
    quint32 m_ip = 0;
    qint32 m_port = 0;
};

inline bool operator==(TCPAddress const& i_a, TCPAddress const& i_b)
{
    return i_a.m_ip == i_b.m_ip && i_a.m_port == i_b.m_port;
}

typedef std::list<std::pair<QString, TCPAddress> > PossibleParentList;

#endif
