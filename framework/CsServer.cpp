#include "CsServer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <netinet/in.h>

#include "client_server.h"
#include "server.h"

int CsServer::serverVerbose = 0;

CsServer::CsServer(CsApplication *owner, const char *port, int verbose, int nodelay)
    : CsApplication(owner, this), handle(-1), port(port != nullptr ? port : ""), nodelay(nodelay), nonblocking(0)
{
    serverVerbose = verbose;
    listen();
}

CsServer::CsServer(CsApplication *owner, const char *port, int verbose, int nodelay, const char *address,
                   int nonblocking)
    : CsApplication(owner, this), handle(-1), port(port != nullptr ? port : ""),
      address(address != nullptr ? address : ""), nodelay(nodelay), nonblocking(nonblocking)
{
    serverVerbose = verbose;
    listen();
}

CsServer::~CsServer()
{
    stopListening();
}

void CsServer::listen()
{
    if (handle != -1)
        return;
    server_callbacks callbacks = {connectAdapter, disconnectAdapter, messageAdapter};
    int flags = CS_FLAG_RAW | (nodelay ? CS_FLAG_NODELAY : 0) | (nonblocking ? CS_FLAG_NONBLOCK : 0);
    handle = address.empty() ? server_listen(port.c_str(), &callbacks, flags)
                             : server_listen_address(address.c_str(), port.c_str(), &callbacks, flags);
    if (handle == -1)
        return;
    server_set_user_data(handle, this);
    if (serverVerbose)
        printf("CsServer %d running on port %s\n", handle, port.c_str());
}

void CsServer::stopListening()
{
    if (handle == -1)
        return;
    server_set_user_data(handle, nullptr);
    server_unlisten(handle);
    handle = -1;
    peer.clear();
}

int CsServer::isListening() const
{
    return handle != -1 ? 0 : -1;
}

int CsServer::localPort() const
{
    return handle != -1 ? server_local_port(handle) : -1;
}

int CsServer::send(int clientHandle, const void *data, int len)
{
    if (len < 0 || len > MSGBUFSIZE || (data == nullptr && len > 0))
        return -1;
    return client_server_send(clientHandle, MSG_RAW, data, len);
}

long CsServer::queuedBytes(int clientHandle) const
{
    return client_server_queued_bytes(clientHandle);
}

int CsServer::disconnect(int clientHandle)
{
    if (handle == -1 || serverOf(clientHandle) != this)
        return -1;
    return client_server_disconnect(clientHandle);
}

int CsServer::firstClient()
{
    return handle == -1 ? -1 : server_first_client(handle);
}

int CsServer::nextClient()
{
    return handle == -1 ? -1 : server_next_client(handle);
}

const char *CsServer::peerAddress(int clientHandle)
{
    return peer.address(clientHandle);
}

const char *CsServer::peerPort(int clientHandle)
{
    return peer.port(clientHandle);
}

// Every handler posts its event last: the owner may destroy the server from
// its callback.
void CsServer::onConnect(int clientHandle)
{
    if (serverVerbose)
        printf("Connect (%d) from %s:%s...\n", clientHandle, peerAddress(clientHandle), peerPort(clientHandle));
    postEvent(EVENT_CONNECTED, clientHandle, nullptr, 0);
}

void CsServer::onDisconnect(int clientHandle)
{
    if (serverVerbose)
        printf("Disconnect (%d) from %s:%s...\n", clientHandle, peerAddress(clientHandle), peerPort(clientHandle));
    postEvent(EVENT_DISCONNECTED, clientHandle, nullptr, 0);
}

// The texts are looked up for this client: the caches may still hold
// another client's address.
void CsServer::onMessage(int clientHandle, int, const char *data, int len)
{
    if (serverVerbose)
        printf("%s:%s (handle %d) Msg length %d\n", peerAddress(clientHandle), peerPort(clientHandle),
               clientHandle, len);
    postEvent(EVENT_DATA, clientHandle, data, len);
}

void CsServer::postEvent(int type, int clientHandle, const char *data, int len)
{
    deliver(std::make_unique<CsEventMsg>(data, len, type, clientHandle));
}

// The server behind an accepted client, or null for a connection that no
// live server object accepted.
CsServer *CsServer::serverOf(int clientHandle)
{
    connection_info info;
    if (client_server_connection_info(clientHandle, &info) != 0 || info.server_handle < 0)
        return nullptr;
    return static_cast<CsServer *>(server_get_user_data(info.server_handle));
}

void CsServer::connectAdapter(int clientHandle)
{
    CsServer *server = serverOf(clientHandle);
    if (server != nullptr)
        server->onConnect(clientHandle);
}

void CsServer::disconnectAdapter(int clientHandle)
{
    CsServer *server = serverOf(clientHandle);
    if (server != nullptr)
        server->onDisconnect(clientHandle);
}

void CsServer::messageAdapter(int clientHandle, int msgType, const char *data, int len)
{
    CsServer *server = serverOf(clientHandle);
    if (server != nullptr)
        server->onMessage(clientHandle, msgType, data, len);
}
