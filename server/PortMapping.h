#ifndef QUILLMAR_SERVER_PORTMAPPING_H
#define QUILLMAR_SERVER_PORTMAPPING_H

// The server link creates the port forwarder and asks it to map the
// listening ports at each login, but the forwarder lives with the peer
// connections, which link against this library and not the other way
// round. The peer side installs a factory here before the server link is
// built; without one, port mapping is simply not available.

class PortMapper
{
public:
    virtual ~PortMapper();
    // Maps the listening ports on the router by the chosen methods.
    virtual void MapPorts(bool i_useUPnP, bool i_useNATPMP) = 0;
};

// Returns a new port mapper; the server link owns and deletes it.
typedef PortMapper* (*PortMapperFactory)();

void SetPortMapperFactory(PortMapperFactory i_factory);
PortMapperFactory GetPortMapperFactory();

#endif
