// One outgoing TCP connection carried as a raw byte stream.
//
// The client starts connecting when it is constructed and reports to its
// owner with CsEventMsg events whose handle is the connection's library
// handle:
//   EVENT_CONNECTED       the connection is established
//   EVENT_DATA            a copy of the bytes of one read (no line or
//                         message boundaries are kept)
//   EVENT_DISCONNECTED    the server went (never after disconnect())
//   EVENT_CONNECT_FAILED  an attempt failed and retrySeconds is 0
// With retrySeconds above 0 a failed attempt or a lost connection is tried
// again after that many seconds, without limit and silently (apart from
// the progress lines). That holds for an attempt that fails at once too (a
// host that does not resolve for the moment, no route to the server): the
// library reports such a failure, once while it repeats. Without retries
// an attempt that fails at once leaves the client idle, with no event.
//
// Class-wide verbose flag, overwritten by every constructor: when set, the
// progress lines go to standard output.
#ifndef QUORVANE_CS_CLIENT_H
#define QUORVANE_CS_CLIENT_H

#include <string>

#include "CsApplication.h"
#include "CsPeerAddress.h"

class CsClient : public CsApplication
{
public:
    // Connection states, as state() answers them.
    enum {
        STATE_IDLE = -1,      // failed for good, closed, or never started
        STATE_CONNECTING = 0, // attempt under way, or waiting for the retry
        STATE_CONNECTED = 1   // connected
    };

    // host: name or dotted IPv4 address; port: number or TCP service name
    // (both copied). retrySeconds: delay before a new attempt, 0 never
    // retries (negative is taken as 0). nodelay: ask for TCP_NODELAY.
    CsClient(CsApplication *owner, const char *host, const char *port,
             int verbose, int retrySeconds, int nodelay);
    // Closes the connection and cancels a waiting retry: no library callback
    // reaches the object afterwards.
    ~CsClient() override;

    // Starts an attempt. The new handle, or -1 when the client holds one
    // already (nothing changes) or the attempt failed at once (a retry then
    // waits, or without retries the client is idle). A retry that was
    // waiting is cancelled: the new attempt replaces it.
    int connect();
    // Closes the connection without EVENT_DISCONNECTED, or stops a retry that
    // waits on its timer; the client is idle afterwards. 0 when a connection
    // was closed; -1 when there was none (also when a waiting retry was
    // stopped) or the library refused.
    int disconnect();
    // Sends len raw bytes (0..MSGBUFSIZE). 0 when sent or queued, -1 when
    // not connected, len is out of range, or the send failed.
    int send(const void *data, int len);
    // Bytes sent that the socket has not taken yet; 0 without a connection.
    // What a sender looks at to stop feeding a server that does not read.
    long queuedBytes() const;
    // STATE_CONNECTED, STATE_CONNECTING or STATE_IDLE.
    int state() const { return clientState; }
    // Whether a new attempt waits on its timer (no attempt under way).
    bool retryWaiting() const { return retryTimer != -1; }

    // The peer's dotted address and decimal port, owned by the client and
    // valid until the next call of the same query; "" without a connection.
    const char *peerAddress();
    const char *peerPort();

    int getHandle() const { return handle; }            // -1 when none
    int getRetrySeconds() const { return retrySeconds; }
    static int getVerbose() { return clientVerbose; }

private:
    void onConnect(int handle, int success);
    void onDisconnect(int handle);
    void onMessage(int handle, int msgType, const char *data, int len);
    void postEvent(int type, int handle, const char *data, int len);
    void scheduleRetry();
    void cancelRetry();
    void releaseHandle();

    static void messageAdapter(int handle, int msgType, const char *data, int len);
    static void connectAdapter(int handle, int success);
    static void disconnectAdapter(int handle);
    static int retryConnect(void *client);

    std::string host;        // server host name or dotted address
    std::string port;        // port number or service name
    int retrySeconds;        // delay before a new attempt; 0 never
    CsPeerAddress peer;      // texts behind peerAddress() and peerPort()
    int clientState;         // STATE_*; the state() query
    int handle;              // library connection handle, -1 when none
    int retryTimer;          // library timer of a waiting retry, -1 when none waits
    int nodelay;             // nonzero: TCP_NODELAY

    static int clientVerbose; // print progress lines (initially 1)
};

#endif
