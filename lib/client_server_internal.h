// The communication library's own shared parts: the records and callbacks
// that client.cpp, server.cpp and client_server.cpp share. Not for the
// framework or programs; the library's own tests include it.
#ifndef QUORVANE_CLIENT_SERVER_INTERNAL_H
#define QUORVANE_CLIENT_SERVER_INTERNAL_H

#include <netinet/in.h>

#include "client_server.h"
#include "connection.h"
#include "linked_list.h"

// ---- client_server.cpp ----

struct server_item;

// One per live connection; created by client_connect() or the accept of a
// listening server, freed by their disconnect handlers.
typedef struct client_server_item {
    int handle;                       // its handle in the item table
    connection *con;                  // never null while the item is live
    cs_disconnect_func on_disconnect; // null when none or when the application asked for the close
    cs_message_func on_message;       // received data; may be null
    struct sockaddr_in peer;          // server connected to / accepted client; network byte order
    void *user_data;                  // application pointer, null until set
    struct server_item *server;       // accepting server; null for outgoing connections
} client_server_item;

// One per application timer.
typedef struct timer_item {
    int handle;              // its handle in the timer table
    connection_timer *timer; // the connection-layer timer
    cs_timer_func cb;        // application callback
    void *data;              // its argument
} timer_item;

// Registers an item in the item table and stores its handle in it: the
// handle, or -1 (table full, with the table's warning; or not initialised).
int client_server_item_add(client_server_item *item);

// Removes a handle from the item table: 0, or -1 when not registered.
int client_server_item_remove(int handle);

// The item registered under a handle, or null.
client_server_item *client_server_item_find(int handle);

// The port of a decimal number, or of a TCP service name when anything but
// digits follows, modulo 65536; -1 when the text is neither (not reported:
// the caller names itself in the report).
int client_server_parse_port(const char *port);

// Message callback of every connection; its data is the item.
int client_server_msg_cb(void *item, int msg_type, const char *data, int len);

// Callback of every application timer; its argument is the timer_item.
int timer_cb(int reason, void *arg);

// Handler installed for SIGPIPE: warns only, so the write fails with EPIPE.
// A SIGPIPE that the warning itself raises (the error stream is the broken
// pipe too) is discarded, so the handler does not call itself for ever.
void sigpipe_handler(int signum);

// ---- client.cpp ----

// One per connect in progress: created by client_connect(), freed by
// connect_cb() or when the connect is abandoned.
typedef struct con_info {
    int in_progress;            // 1 when connect() answered EINPROGRESS, 0 when it succeeded at once
    client_server_item *item;   // the item of the new connection
    cs_connect_func on_connect; // slot 1 of the caller's callbacks; may be null
    int watch;                  // id of the connect watch (connection_add_watch)
} con_info;

// Writability watch of a connect in progress.
int connect_cb(int desc, void *con_info);

// Disconnect handler of every outgoing connection: reports the loss if still
// wanted, then releases the handle and the item.
void disconnect_cb(void *item);

// Withdraws the connect still pending for an item, if any: its watch goes
// and its con_info is freed, so a later socket that reuses the descriptor
// number never reaches the old connect_cb. 0 when one was pending, -1 not.
int client_abandon_connect(client_server_item *item);

// Frees every pending-connect record (the watches themselves go with the
// connection layer's shutdown).
void client_release_pending(void);

// ---- server.cpp ----

// One per listening server.
typedef struct server_item {
    int handle;                       // its handle in the server table
    int serv_sock;                    // listening descriptor; -1 once closed
    linked_list *clients;             // live accepted client_server_items, in order of acceptance
    cs_accept_func on_connect;        // slot 0 of the callbacks
    cs_message_func on_message;       // slot 2
    cs_disconnect_func on_disconnect; // slot 1
    int flags;                        // CS_FLAG_* given to every accepted connection
    int *client_handles;              // owned snapshot of client handles ending in -1; null when none
    int next_client;                  // read position in client_handles
    void *user_data;                  // application pointer, null until set
    connection_timer *accept_pause;   // while accepting is paused: the timer that resumes it; else null
} server_item;

// Read watch of every listening socket: accepts one client.
int add_connection(int desc, void *server);

// Disconnect handler of every accepted connection.
void server_disconnect_cb(void *item);

// Closes and frees every server (library shutdown); their clients' items
// are the item table's to free. The server table itself stays.
void server_release_all(void);

#endif
