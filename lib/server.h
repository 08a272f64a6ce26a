// Listening TCP servers over IPv4.
//
// server_listen() opens a listening socket and registers it under a server
// handle; whenever the socket is readable the main loop accepts one client,
// registers it as a connection under a connection handle (client_server.h)
// and calls on_connect. Each server keeps the list of its live clients, in
// order of acceptance, to broadcast to them, to let the application walk
// their handles, and to close them all when it stops listening.
//
// Results: a handle or 0 on success, -1 on failure or for an unregistered
// server handle (null for a missing pointer).
#ifndef QUORVANE_SERVER_H
#define QUORVANE_SERVER_H

#include <stddef.h>

#include "client_server.h"

#define SERVER_TABLE_SIZE 16 // live servers at most
#define SERVER_BACKLOG 5     // pending connections the kernel keeps per server
#define SERVER_ACCEPT_PAUSE_MS 1000 // no accepting for this long after accept() found no descriptor or memory

// Listens on every local IPv4 address at port (decimal number or TCP
// service name; "0" picks a free port). callbacks must not be null (its
// slots may be) and is read during the call only; flags apply to every
// accepted connection: CS_FLAG_RAW, CS_FLAG_NODELAY, and CS_FLAG_NONBLOCK,
// which makes its socket non-blocking, so that a client that stops reading
// makes what is sent to it wait in its queue (connection_queued_bytes)
// instead of holding up the whole loop in a write. The server handle, or -1
// (empty port silently; otherwise reported).
//
// When accept() finds no free descriptor (EMFILE, ENFILE) or no memory
// (ENOBUFS, ENOMEM), the waiting client stays readable on the listening
// socket, and the loop would try it again in every pass. The server stops
// watching its socket instead, reports once, and listens again after the
// accept pause; the client waits in the backlog meanwhile.
int server_listen(const char *port, const server_callbacks *callbacks, int flags);

// The same on one local address (dotted IPv4; null or "" for all). A text
// that is no IPv4 address is reported and gives -1.
int server_listen_address(const char *address, const char *port, const server_callbacks *callbacks, int flags);

// Stops listening and closes every client without reporting them. 0, or -1
// for an unregistered handle. The clients' handles are released at the end
// of the current main-loop pass.
int server_unlisten(int handle);

// Sends one framed message (msg_type must not be MSG_RAW) to every client.
// 0 when every send succeeded (also with no clients), -1 when any failed or
// the handle is unregistered; a failure does not stop the others.
int server_broadcast(int handle, int msg_type, const void *data, int len);

// Walk of the clients' handles in order of acceptance. server_first_client
// takes a snapshot and returns its first handle; server_next_client the
// following ones, then -1. Clients accepted or lost during the walk do not
// change it (a lost one's handle then gives -1 on use). -1 also for no
// clients, an unregistered handle or no memory for the snapshot.
int server_first_client(int handle);
int server_next_client(int handle);

// The local port the server listens on, in host order: the one the system
// chose when the port text was "0". -1 for an unregistered handle.
int server_local_port(int handle);

// One application pointer per server, null until set; never owned.
int server_set_user_data(int handle, void *user_data);
void *server_get_user_data(int handle);

// How long a server does not accept after accept() ran short of
// descriptors or memory; a negative value restores SERVER_ACCEPT_PAUSE_MS.
// Applies to pauses that start after the call.
void server_set_accept_pause(int ms);

// Allocation of the client-handle snapshot, replaceable so that running out
// of memory can be exercised; null restores calloc(3).
typedef void *(*server_alloc_func)(size_t count, size_t size);
void server_set_snapshot_alloc(server_alloc_func alloc);

#endif
