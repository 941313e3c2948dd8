#ifndef QUILLMAR_PEERS_CONNECTIONCOUNT_H
#define QUILLMAR_PEERS_CONNECTIONCOUNT_H

// Every connection to another client, made or accepted, holds a descriptor
// until its socket is deleted, whoever owns it by then (the messenger, the
// transfer engine and its threads, the distributed tree). They all count
// against one bound, well below the process's descriptor limit: a server
// that asks for thousands of connect-backs to a listener that holds them
// once used up every descriptor, and the saves, the log and the exit save
// then failed. What the bound leaves is for the store's files, the logs,
// the transfers' files and the toolkit.

#include <QtGlobal>

class QTcpSocket;

namespace ConnectionCount {

// Descriptors left to everything but the connections.
constexpr quint64 RESERVE = 256;
// The bound where descriptors are plenty: a flood then still keeps every
// descriptor number below 1024, which select() (the UPnP library waits for
// a slow router with it) cannot take.
constexpr int MOST = 768;

// Raises the soft limit on descriptors to the hard one (the program does
// so at its start).
void RaiseDescriptorLimit();

// The bound for a soft limit of i_descriptors: two descriptors a
// connection (a transfer's file beside its socket) within what the reserve
// leaves, at most MOST, and never below a quarter of the limit.
int BoundFor(quint64 i_descriptors);
// The bound for the process's soft limit now.
int Bound();

// Counts the socket from now until it is destroyed, in whatever thread.
void Count(QTcpSocket* ip_socket);
// Sockets counted and not destroyed yet.
int Open();

} // namespace ConnectionCount

#endif
