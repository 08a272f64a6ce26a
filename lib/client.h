// Outgoing TCP connections over IPv4.
//
// client_connect() resolves the host and the port, creates the socket,
// registers the connection under a new handle (client_server.h) and starts
// the connect; its completion is noticed by watching the socket for
// writability and reported through on_connect. A connection that later
// ends is reported through on_disconnect, after which its handle is gone.
//
// Every outgoing socket gets TCP keepalive probes (CLIENT_KEEPALIVE_*) and
// a user timeout (CLIENT_USER_TIMEOUT_MS), so a server host that vanishes
// without closing is noticed within a minute, both on a connection that
// carries nothing (the probes go unanswered) and on one whose output waits
// for an acknowledgement (retransmissions would otherwise go on for many
// minutes).
//
// The name look-ups, and without CS_FLAG_NONBLOCK the connect itself, block
// the whole main loop while they last.
//
// An attempt that fails at once is reported, except when it fails on the
// same cause as the previous attempt that failed at once, for the same host
// and port, with no attempt getting a handle in between: a caller that
// retries while the network is down gets one report, not one per attempt.
#ifndef QUORVANE_CLIENT_H
#define QUORVANE_CLIENT_H

#include "client_server.h"

#define CLIENT_KEEPALIVE_IDLE 20        // seconds of silence before the first probe
#define CLIENT_KEEPALIVE_INTERVAL 5     // seconds between unanswered probes
#define CLIENT_KEEPALIVE_COUNT 4        // unanswered probes that end the connection
#define CLIENT_USER_TIMEOUT_MS 45000    // unacknowledged data (or probes) for this long ends the connection
#define CLIENT_REFUSAL_KEY_SIZE 600     // bytes of host, port and cause kept to tell a repeated failure

// Opens a connection to host (name or dotted IPv4 address) on port (decimal
// number, or TCP service name). callbacks must not be null (its slots may
// be) and is read during the call only; flags is a set of CS_FLAG_*.
// The new handle, or -1: host or port empty (silent), socket, resolution,
// service or table failure, a connect that fails at once (no route to the
// host), without CS_FLAG_NONBLOCK also a refused or timed-out connect
// (reported unless repeated, socket closed).
int client_connect(const char *host, const char *port, const client_callbacks *callbacks, int flags);

// The name look-up of client_connect(), gethostbyname(3) unless replaced so
// that a look-up failing for a while can be exercised; null restores it.
typedef struct hostent *(*client_lookup_func)(const char *name);
void client_set_lookup(client_lookup_func func);

#endif
