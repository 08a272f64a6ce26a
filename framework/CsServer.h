// A listening TCP server whose clients send and receive raw byte streams.
//
// The server starts listening when it is constructed and reports to its
// owner with CsEventMsg events whose handle is the client's connection
// handle:
//   EVENT_CONNECTED     a client was accepted
//   EVENT_DATA          a copy of the bytes of one read from that client
//   EVENT_DISCONNECTED  the client went (not for clients closed by
//                       stopListening() or destruction)
// A port that cannot be listened on leaves the object not listening; the
// library has printed its report and nothing is posted.
//
// Class-wide verbose flag, overwritten by every constructor: when set, the
// progress lines go to standard output.
#ifndef QUORVANE_CS_SERVER_H
#define QUORVANE_CS_SERVER_H

#include <string>

#include "CsApplication.h"
#include "CsPeerAddress.h"

class CsServer : public CsApplication
{
public:
    // port: number or TCP service name (copied). nodelay: TCP_NODELAY on
    // the accepted connections.
    CsServer(CsApplication *owner, const char *port, int verbose, int nodelay);
    // The same on one local address only (dotted IPv4; null or "" for
    // all): a server that should not be reachable from other hosts listens
    // on "127.0.0.1". A text that is no IPv4 address leaves it not
    // listening. nonblocking: the accepted sockets do not block, so a
    // client that stops reading makes what is sent to it wait in its queue
    // (queuedBytes) instead of stopping the whole program in a write.
    CsServer(CsApplication *owner, const char *port, int verbose, int nodelay, const char *address,
             int nonblocking = 0);
    // Stops listening and closes every client: no library callback reaches
    // the object afterwards.
    ~CsServer() override;

    // Opens the listening socket unless it is open already; see isListening().
    void listen();
    // Closes the listening socket and every client, without events.
    void stopListening();
    // 0 while listening, -1 otherwise.
    int isListening() const;
    // The port listened on, the system's choice when the port was "0";
    // -1 when not listening.
    int localPort() const;

    // Sends len raw bytes (0..MSGBUFSIZE) to one client: 0, or -1 for a
    // client that has gone, a length out of range or a failed send.
    int send(int clientHandle, const void *data, int len);
    // Bytes sent to a client that its socket has not taken yet; -1 for a
    // client that has gone.
    long queuedBytes(int clientHandle) const;
    // Closes one client of this server at once, without EVENT_DISCONNECTED:
    // 0, or -1 for a handle that is no live client of this server.
    int disconnect(int clientHandle);
    // Client handles in order of acceptance, -1 at the end. firstClient()
    // takes a snapshot that nextClient() walks.
    int firstClient();
    int nextClient();

    // A client's dotted address and decimal port, owned by the server and
    // valid until the next call of the same query; "" for an unknown client.
    const char *peerAddress(int clientHandle);
    const char *peerPort(int clientHandle);

    int getHandle() const { return handle; } // library server handle, -1 when not listening
    static int getVerbose() { return serverVerbose; }

private:
    void onConnect(int clientHandle);
    void onDisconnect(int clientHandle);
    void onMessage(int clientHandle, int msgType, const char *data, int len);
    void postEvent(int type, int clientHandle, const char *data, int len);
    static CsServer *serverOf(int clientHandle);

    static void connectAdapter(int clientHandle);
    static void disconnectAdapter(int clientHandle);
    static void messageAdapter(int clientHandle, int msgType, const char *data, int len);

    int handle;              // library server handle, -1 when not listening
    std::string port;        // port number or service name
    std::string address;     // local address to listen on; "" for all
    int nodelay;             // nonzero: TCP_NODELAY on accepted connections
    int nonblocking;         // nonzero: accepted sockets do not block
    CsPeerAddress peer;      // texts behind peerAddress() and peerPort()

    static int serverVerbose; // print progress lines (initially 0)
};

#endif
