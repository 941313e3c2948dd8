#include "peers/PeerServerLink.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"

void ConnectPeerServerLink(PeerMessenger* ip_messenger)
{
    if (!gp_server)
        return;
    QObject::connect(gp_server, &Server::PeerAddress, ip_messenger,
                     [ip_messenger](QString i_user, quint32 i_ip, int i_port, int) {
                         ip_messenger->OnPeerAddress(i_user, i_ip, i_port);
                     });
    QObject::connect(gp_server, &Server::ConnectBackRequested, ip_messenger,
                     [ip_messenger](QString i_user, QString i_type, quint32 i_ip, int i_port, int, quint32 i_token,
                                    bool) { ip_messenger->OnConnectBackRequested(i_user, i_type, i_ip, i_port, i_token); });
    QObject::connect(gp_server, &Server::CannotConnect, ip_messenger,
                     [ip_messenger](QString, quint32 i_token) { ip_messenger->OnConnectBackFailed(i_token); });
}

bool PeerServerRequestAddress(QString const& i_user)
{
    if (!gp_server || !gp_server->IsConnected())
        return false;
    gp_server->GetPeerAddress(i_user);
    return true;
}

bool PeerServerRequestConnectBack(quint32 i_token, QString const& i_user, QString const& i_type)
{
    if (!gp_server || !gp_server->IsConnected())
        return false;
    gp_server->RequestConnectBack(i_user, i_token, i_type);
    return true;
}

void PeerServerCannotConnect(quint32 i_token, QString const& i_user)
{
    if (gp_server && gp_server->IsConnected())
        gp_server->SendCannotConnect(i_user, i_token);
}
