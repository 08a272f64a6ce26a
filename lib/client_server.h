// Library initialisation and handle-based dispatch: the face of the
// communication library towards the application.
//
// Every connection (outgoing, client.h, or accepted by a listening server,
// server.h) and every application timer is known to the application by a
// small non-negative handle; -1 means none. Events come back through plain
// function pointers registered per connection.
//
// Order of events on a connection, as the application sees them:
//   outgoing: client_connect() returns the handle at once; exactly one
//             on_connect(handle, success) follows from the main loop unless
//             the application disconnects first. With success 0 errno holds
//             the socket error and the library releases the handle itself:
//             no on_disconnect follows. Then on_message calls, then at most
//             one on_disconnect.
//   accepted: on_connect(handle) as soon as the client is accepted, then
//             on_message calls, then at most one on_disconnect.
// on_disconnect comes after the main-loop pass in which the connection
// ended (peer closed, read or write error, oversized message); the handle
// is still valid during the call and released right after it. A disconnect
// asked for with client_server_disconnect() is never reported.
//
// Results: 0 or a handle on success, -1 on failure or for a handle that is
// not registered (null for a missing pointer). Unregistered handles are not
// reported; other problems are (report.h).
#ifndef QUORVANE_CLIENT_SERVER_H
#define QUORVANE_CLIENT_SERVER_H

#include <netinet/in.h>
#include <stdint.h>

#include "connection.h"

// Connection flags, a bit set given to client_connect() and server_listen()
// and stored with each connection. The connection layer publishes the same
// values for the one it reads.
#ifndef CS_FLAG_RAW
#define CS_FLAG_RAW 1      // receive without framing: every read is one MSG_RAW message
#endif
#ifndef CS_FLAG_NONBLOCK
#define CS_FLAG_NONBLOCK 2 // outgoing: connect without blocking, result via on_connect; accepted: non-blocking socket
#endif
#ifndef CS_FLAG_NODELAY
#define CS_FLAG_NODELAY 4  // set TCP_NODELAY on the socket
#endif

#define CS_ITEM_TABLE_SIZE 128  // live connections at most, outgoing and accepted together
#define CS_TIMER_TABLE_SIZE 128 // live application timers at most

// Input watch modes for client_server_add_input() / _remove_input().
#define CS_INPUT_READ 1   // descriptor readable
#define CS_INPUT_WRITE 2  // descriptor writable
#define CS_INPUT_EXCEPT 3 // exceptional condition (out-of-band data)

// ---- application callbacks ----

// Received data of a connection. data is valid only during the call; with
// CS_FLAG_RAW msg_type is always MSG_RAW and each call carries one read.
typedef void (*cs_message_func)(int handle, int msg_type, const char *data, int len);

// Outcome of an outgoing connect: success 1 when usable; 0 when it failed,
// errno then holding the socket error.
typedef void (*cs_connect_func)(int handle, int success);

// A client accepted by a listening server.
typedef void (*cs_accept_func)(int handle);

// A connection that ended without the application asking for it.
typedef void (*cs_disconnect_func)(int handle);

// An application timer is due. 0 keeps it (it fires again one period after
// the previous expiry); any other value ends it.
typedef int (*cs_timer_func)(void *data);

// A watched descriptor shows its condition. Result ignored.
typedef int (*cs_input_func)(int desc, void *data);

// Callback table of client_connect(); read only during the call, any slot
// may be null. Note the order differs from server_callbacks.
typedef struct client_callbacks {
    cs_message_func on_message;       // slot 0: received data
    cs_connect_func on_connect;       // slot 1: outcome of the connect
    cs_disconnect_func on_disconnect; // slot 2: connection lost
} client_callbacks;

// Callback table of server_listen(); read only during the call, any slot
// may be null.
typedef struct server_callbacks {
    cs_accept_func on_connect;        // slot 0: client accepted
    cs_disconnect_func on_disconnect; // slot 1: client lost
    cs_message_func on_message;       // slot 2: data from a client
} server_callbacks;

// Peer of a connection, filled by client_server_connection_info().
typedef struct connection_info {
    int handle;             // the connection's handle
    struct in_addr address; // peer's IPv4 address, network byte order
    uint16_t port;          // peer's port, host byte order
    int server_handle;      // handle of the accepting server; -1 for an outgoing connection
                            // (and for a client whose server has stopped listening)
} connection_info;

// ---- library life ----

// Creates the handle tables, installs the SIGPIPE warning handler and
// initialises the connection layer. 0, also when already initialised (with
// a warning, nothing changed); -1 on failure. When only the connection
// layer fails the library counts as initialised.
int client_server_init(void);

// What client_server_state() says of the library.
#define CS_LIBRARY_DOWN 0    // never initialised, or shut down since
#define CS_LIBRARY_FAILED 1  // the last initialisation failed; nothing is set up
#define CS_LIBRARY_NO_LOOP 2 // initialised, but its connection layer failed
#define CS_LIBRARY_READY 3   // initialised: the main loop, connections and timers work
int client_server_state(void);

// Releases every timer, watch, connection, pending connect and listening
// server and restores the previous SIGPIPE disposition. Safe on a library
// that is not, or only partly, initialised, and safe to repeat. Always 0.
int client_server_shutdown(void);

// Runs the main loop; 0 after client_server_stop(), -1 when select failed
// or the library is not initialised. A stopped loop stays stopped for the
// life of the process.
int client_server_main_loop(void);

// The main loop returns after its current pass.
int client_server_stop(void);

// Watches a foreign descriptor (mode CS_INPUT_*); cb gets the descriptor and
// data. The watch's handle (0 or more), for client_server_remove_watch();
// -1 when the library is not initialised or the watch refused.
int client_server_add_input(int mode, int desc, cs_input_func cb, void *data);

// Removes the first watch of that descriptor and mode: 0, or -1 for none.
// The descriptor stays watched for that mode while another watch of it
// remains.
int client_server_remove_input(int mode, int desc);

// Removes exactly the watch whose handle client_server_add_input() returned,
// whoever else watches the same descriptor: 0, or -1 when it is not live.
int client_server_remove_watch(int watch);

// ---- connections by handle ----

// Sends one message (MSG_RAW as bare bytes, any other type framed); len at
// most MSGBUFSIZE. 0 when sent or queued; -1 on failure or bad handle.
int client_server_send(int handle, int msg_type, const void *data, int len);

// Closes the connection at once, never reported back to the application.
// The handle stays registered until the end of the current main-loop pass,
// so a second call is harmless. A connect still pending is abandoned with
// it. 0, or -1 for an unregistered handle.
int client_server_disconnect(int handle);

// Reads the connection now (one message at most): the connection layer's
// result, or -1 for an unregistered handle.
int client_server_data_received(int handle);

// The connection's socket descriptor, or -1.
int client_server_descriptor(int handle);

// Bytes sent on the connection that its socket has not taken yet
// (connection_queued_bytes), or -1 for an unregistered handle.
long client_server_queued_bytes(int handle);

// Fills info (must not be null) with the peer of the connection: 0, or -1.
int client_server_connection_info(int handle, connection_info *info);

// One application pointer per connection, null until set; never owned.
int client_server_set_user_data(int handle, void *user_data);
void *client_server_get_user_data(int handle);

// ---- application timers ----

// A timer first due period_ms from now; cb(data) decides whether it runs on.
// Its handle, or -1 (no memory, table full, library not initialised).
int client_server_add_timer(int period_ms, cs_timer_func cb, void *data);

// Cancels the timer: 0, or -1 for an unregistered handle. The handle stays
// registered until the timer is released in a later pass of the main loop.
int client_server_remove_timer(int timer_handle);

#endif
