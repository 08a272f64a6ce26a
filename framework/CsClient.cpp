#include "CsClient.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <memory>
#include <netinet/in.h>

#include "client.h"
#include "client_server.h"

int CsClient::clientVerbose = 1;

CsClient::CsClient(CsApplication *owner, const char *host, const char *port,
                   int verbose, int retrySeconds, int nodelay)
    : CsApplication(owner, this), host(host != nullptr ? host : ""), port(port != nullptr ? port : ""),
      retrySeconds(retrySeconds), clientState(STATE_CONNECTING), handle(-1), retryTimer(-1),
      nodelay(nodelay)
{
    clientVerbose = verbose;
    // A first attempt that fails at once is retried like any other.
    connect();
}

CsClient::~CsClient()
{
    disconnect();
    cancelRetry();
}

int CsClient::connect()
{
    if (handle != -1)
        return -1;
    if (retrySeconds < 0)
        retrySeconds = 0;
    // An explicit attempt replaces a waiting retry; leaving that timer would
    // start a second chain of attempts alongside this one.
    cancelRetry();
    client_callbacks callbacks = {messageAdapter, connectAdapter, disconnectAdapter};
    int flags = CS_FLAG_RAW | CS_FLAG_NONBLOCK | (nodelay ? CS_FLAG_NODELAY : 0);
    handle = client_connect(host.c_str(), port.c_str(), &callbacks, flags);
    if (handle == -1) {
        // No route yet, a name that does not resolve for the moment, no
        // descriptor free: all of these pass, as a refused connect does.
        if (retrySeconds != 0) {
            if (clientVerbose)
                printf("Connect failed, retry\n");
            scheduleRetry();
        } else {
            clientState = STATE_IDLE;
        }
        return -1;
    }
    client_server_set_user_data(handle, this);
    clientState = STATE_CONNECTING;
    return handle;
}

int CsClient::disconnect()
{
    if (handle == -1) {
        // Without a connection the answer is -1 whatever else happens; a
        // retry that waits is still stopped, so that the client stays idle.
        if (retryTimer != -1) {
            cancelRetry();
            clientState = STATE_IDLE;
        }
        return -1;
    }
    // The handle stays registered until the library's purge; its callbacks
    // must find no client behind it from now on.
    client_server_set_user_data(handle, nullptr);
    int result = client_server_disconnect(handle);
    if (result == 0) {
        handle = -1;
        clientState = STATE_IDLE;
    } else {
        client_server_set_user_data(handle, this);
    }
    return result;
}

int CsClient::send(const void *data, int len)
{
    if (clientState != STATE_CONNECTED || handle == -1)
        return -1;
    if (len < 0 || len > MSGBUFSIZE || (data == nullptr && len > 0))
        return -1;
    return client_server_send(handle, MSG_RAW, data, len);
}

long CsClient::queuedBytes() const
{
    if (clientState != STATE_CONNECTED || handle == -1)
        return 0;
    const long bytes = client_server_queued_bytes(handle);
    return bytes > 0 ? bytes : 0;
}

const char *CsClient::peerAddress()
{
    return handle == -1 ? "" : peer.address(handle);
}

const char *CsClient::peerPort()
{
    return handle == -1 ? "" : peer.port(handle);
}

// Every handler posts its event last: the owner may destroy the client from
// its callback.
void CsClient::onConnect(int eventHandle, int success)
{
    if (success) {
        clientState = STATE_CONNECTED;
        if (clientVerbose)
            printf("Connect (%d) from %s:%s... (Success %d)\n", eventHandle, peerAddress(), peerPort(), success);
        postEvent(EVENT_CONNECTED, eventHandle, nullptr, 0);
        return;
    }
    if (retrySeconds != 0) {
        if (clientVerbose)
            printf("Connect failed, retry\n");
        // The library releases the failed handle itself.
        releaseHandle();
        scheduleRetry();
        return;
    }
    if (clientVerbose)
        printf("Connect failed !\n");
    if (handle >= 0) {
        client_server_set_user_data(handle, nullptr);
        client_server_disconnect(handle);
    }
    handle = -1;
    clientState = STATE_IDLE;
    postEvent(EVENT_CONNECT_FAILED, eventHandle, nullptr, 0);
}

void CsClient::onDisconnect(int eventHandle)
{
    if (clientVerbose)
        printf("Disconnect (%d) from %s:%s...\n", eventHandle, peerAddress(), peerPort());
    releaseHandle();
    if (retrySeconds != 0)
        scheduleRetry();
    else
        clientState = STATE_IDLE;
    postEvent(EVENT_DISCONNECTED, eventHandle, nullptr, 0);
}

void CsClient::onMessage(int eventHandle, int, const char *data, int len)
{
    if (clientVerbose)
        printf("%s:%s (handle %d) -- Length %d\n", peerAddress(), peerPort(), eventHandle, len);
    postEvent(EVENT_DATA, eventHandle, data, len);
}

void CsClient::postEvent(int type, int eventHandle, const char *data, int len)
{
    deliver(std::make_unique<CsEventMsg>(data, len, type, eventHandle));
}

// Waits retrySeconds before the next attempt; without a timer the client
// could only stay waiting for ever, so it goes idle instead.
void CsClient::scheduleRetry()
{
    cancelRetry();
    int seconds = retrySeconds > INT_MAX / 1000 ? INT_MAX / 1000 : retrySeconds;
    retryTimer = client_server_add_timer(seconds * 1000, retryConnect, this);
    clientState = retryTimer == -1 ? STATE_IDLE : STATE_CONNECTING;
}

void CsClient::cancelRetry()
{
    if (retryTimer == -1)
        return;
    client_server_remove_timer(retryTimer);
    retryTimer = -1;
}

// Forgets a handle that the library is about to release on its own.
void CsClient::releaseHandle()
{
    if (handle != -1)
        client_server_set_user_data(handle, nullptr);
    handle = -1;
}

void CsClient::messageAdapter(int eventHandle, int msgType, const char *data, int len)
{
    CsClient *client = static_cast<CsClient *>(client_server_get_user_data(eventHandle));
    if (client != nullptr)
        client->onMessage(eventHandle, msgType, data, len);
}

void CsClient::connectAdapter(int eventHandle, int success)
{
    CsClient *client = static_cast<CsClient *>(client_server_get_user_data(eventHandle));
    if (client != nullptr)
        client->onConnect(eventHandle, success);
}

void CsClient::disconnectAdapter(int eventHandle)
{
    CsClient *client = static_cast<CsClient *>(client_server_get_user_data(eventHandle));
    if (client != nullptr)
        client->onDisconnect(eventHandle);
}

// One attempt per timer: the nonzero result ends it, and a failed attempt
// schedules the next.
int CsClient::retryConnect(void *object)
{
    CsClient *client = static_cast<CsClient *>(object);
    client->retryTimer = -1;
    if (clientVerbose)
        printf("Retry to establish connection to server\n");
    client->connect();
    return 1;
}
