// Listening TCP servers and their client lists.
#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_server_internal.h"
#include "handle.h"
#include "report.h"

// Created by the first server_listen() and kept for the life of the process.
static handle_table *servers = nullptr;

static server_alloc_func snapshot_alloc = calloc;

// Former clients of a server that stopped listening point here instead of at
// the freed server record: their disconnect handlers still run after the
// pass, and find neither callbacks nor a client list to touch.
static server_item unlistened_server = {-1, -1, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr};

static int accept_pause_ms = SERVER_ACCEPT_PAUSE_MS;

static server_item *find_server(int handle)
{
    if (servers == nullptr)
        return nullptr;
    return static_cast<server_item *>(handle_find(servers, handle));
}

// Closes a listening socket that never became a server, and its record.
static int abandon_server(server_item *server)
{
    if (server->serv_sock >= 0)
        close(server->serv_sock);
    free(server);
    return -1;
}

// Both ways of listening; func is the public function called, which every
// report made on the way names.
static int listen_on(const char *address, const char *port, const server_callbacks *callbacks, int flags,
                     const char *func)
{
    REPORT_ASSERT_IN(func, callbacks != NULL);
    if (port == nullptr || port[0] == '\0')
        return -1;

    if (servers == nullptr) {
        servers = handle_create(SERVER_TABLE_SIZE);
        if (servers == nullptr) {
            REPORT_ERROR_IN(func, "        Could not create handle list");
            return -1;
        }
    }

    server_item *server = static_cast<server_item *>(calloc(1, sizeof(server_item)));
    if (server == nullptr) {
        REPORT_ERROR_IN(func, "        Could not create new server. Out of memory!");
        return -1;
    }
    server->on_connect = callbacks->on_connect;
    server->on_disconnect = callbacks->on_disconnect;
    server->on_message = callbacks->on_message;

    server->serv_sock = socket(AF_INET, SOCK_STREAM, 0);
    if (server->serv_sock < 0) {
        REPORT_SYSERROR_IN(func, "        socket");
        return abandon_server(server);
    }
    // A port that was just used has connections in TIME_WAIT; without this
    // a restarted server could not bind for minutes.
    const int on = 1;
    setsockopt(server->serv_sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (flags & CS_FLAG_NODELAY)
        setsockopt(server->serv_sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    const int port_number = client_server_parse_port(port);
    if (port_number < 0) {
        REPORT_ERROR_IN(func, "        Could not find service \"%s\".", port);
        return abandon_server(server);
    }

    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port_number));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && address[0] != '\0' && inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        REPORT_ERROR_IN(func, "        Invalid address \"%s\".", address);
        return abandon_server(server);
    }

    if (bind(server->serv_sock, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
        REPORT_SYSERROR_IN(func, "        bind");
        return abandon_server(server);
    }
    if (listen(server->serv_sock, SERVER_BACKLOG) != 0) {
        REPORT_SYSERROR_IN(func, "        listen");
        return abandon_server(server);
    }

    server->clients = llCreate();
    if (server->clients == nullptr) {
        REPORT_ERROR_IN(func, "        Could not create client-list (out of memory?)");
        return abandon_server(server);
    }

    // Refused when the library is not initialised or the descriptor is
    // beyond the descriptor sets (the latter reported by the watch).
    if (client_server_add_input(CS_INPUT_READ, server->serv_sock, add_connection, server) < 0) {
        REPORT_ERROR_IN(func, "        Could not watch the listening socket %d.", server->serv_sock);
        llDestroy(server->clients);
        return abandon_server(server);
    }
    server->flags = flags;

    server->handle = handle_add(servers, server);
    if (server->handle < 0) {
        REPORT_ERROR_IN(func, "        Could not add server handle");
        client_server_remove_input(CS_INPUT_READ, server->serv_sock);
        llDestroy(server->clients);
        return abandon_server(server);
    }
    return server->handle;
}

int server_listen(const char *port, const server_callbacks *callbacks, int flags)
{
    return listen_on(nullptr, port, callbacks, flags, __func__);
}

int server_listen_address(const char *address, const char *port, const server_callbacks *callbacks, int flags)
{
    return listen_on(address, port, callbacks, flags, __func__);
}

// Errors of accept() that leave the client waiting on the listening
// socket, so that trying again at once fails again.
static int accept_short_of_resources(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The pause timer: listens again. Its release call may come after the
// server was freed, so only the expiry looks at it.
static int resume_accepting(int reason, void *data)
{
    if (reason != TIMER_EXPIRED)
        return 0;
    server_item *server = static_cast<server_item *>(data);
    // Refused (reported by the watch): another pause, and another try.
    if (client_server_add_input(CS_INPUT_READ, server->serv_sock, add_connection, server) < 0)
        return 0;
    server->accept_pause = nullptr;
    return 1;
}

// Stops watching the listening socket for the accept pause: 0, or -1 when
// no timer could be had (the server then goes on listening as before).
static int pause_accepting(server_item *server)
{
    server->accept_pause = connection_add_timer(accept_pause_ms, resume_accepting, server);
    if (server->accept_pause == nullptr)
        return -1;
    client_server_remove_input(CS_INPUT_READ, server->serv_sock);
    return 0;
}

int add_connection(int desc, void *data)
{
    server_item *server = static_cast<server_item *>(data);
    REPORT_ASSERT(server != NULL);
    REPORT_ASSERT(desc == server->serv_sock);

    struct sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    const int sock = accept(desc, reinterpret_cast<struct sockaddr *>(&peer), &peer_len);
    if (sock < 0) {
        const int err = errno;
        if (accept_short_of_resources(err) && pause_accepting(server) == 0) {
            REPORT_ERROR("        accept: %s; not accepting for %d ms.", strerror(err), accept_pause_ms);
            return 0;
        }
        errno = err;
        REPORT_SYSERROR("        accept");
        return 0;
    }
    // Beyond the descriptor sets the main loop could never serve it, and
    // setting its bit would write past the sets.
    if (sock >= FD_SETSIZE) {
        REPORT_ERROR("        Descriptor %d is beyond the select() limit of %d; client dropped.", sock, FD_SETSIZE);
        close(sock);
        return 0;
    }
    if (server->flags & CS_FLAG_NODELAY) {
        const int on = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (server->flags & CS_FLAG_NONBLOCK)
        fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);

    client_server_item *item = static_cast<client_server_item *>(calloc(1, sizeof(client_server_item)));
    REPORT_ASSERT(item != NULL);
    item->on_disconnect = server->on_disconnect;
    item->on_message = server->on_message;
    item->server = server;

    if (client_server_item_add(item) < 0) {
        free(item);
        close(sock);
        return 0;
    }
    item->peer = peer;

    item->con = connection_create(sock, client_server_msg_cb, server_disconnect_cb, item);
    if (item->con == nullptr) {
        client_server_item_remove(item->handle);
        free(item);
        close(sock);
        return 0;
    }
    connection_set_flags(item->con, server->flags);
    llAppend(server->clients, item);

    if (server->on_connect != nullptr)
        server->on_connect(item->handle);
    return 0;
}

void server_disconnect_cb(void *data)
{
    client_server_item *item = static_cast<client_server_item *>(data);
    REPORT_ASSERT(item != NULL);
    const server_item *server = item->server;
    REPORT_ASSERT(server != NULL);

    if (item->on_disconnect != nullptr && item->server->on_disconnect != nullptr)
        item->server->on_disconnect(item->handle);
    // Read again: the callback may have stopped the server, which moved
    // this item to the unlistened record. Removing an item moves the list's
    // cursor, which a walk of the clients may be relying on.
    if (item->server->clients != nullptr) {
        llCursorPush(item->server->clients);
        llRemove(item->server->clients, item);
        llCursorPop(item->server->clients);
    }

    client_server_item_remove(item->handle);
    free(item);
}

int server_unlisten(int handle)
{
    server_item *server = find_server(handle);
    if (server == nullptr)
        return -1;

    // While accepting is paused there is no watch, only the timer.
    if (server->accept_pause != nullptr)
        connection_cancel_timer(server->accept_pause);
    else
        client_server_remove_input(CS_INPUT_READ, server->serv_sock);
    server->on_connect = nullptr;
    server->on_disconnect = nullptr;
    server->on_message = nullptr;

    for (client_server_item *item = static_cast<client_server_item *>(llFirst(server->clients)); item != nullptr;
         item = static_cast<client_server_item *>(llFirst(server->clients))) {
        REPORT_ASSERT(item->con != NULL);
        item->on_disconnect = nullptr;
        item->on_message = nullptr;
        item->server = &unlistened_server;
        connection_close(item->con, 1);
        llRemove(server->clients, item);
    }

    llDestroy(server->clients);
    close(server->serv_sock);
    handle_remove(servers, handle);
    free(server->client_handles);
    free(server);
    return 0;
}

int server_broadcast(int handle, int msg_type, const void *data, int len)
{
    REPORT_ASSERT(msg_type != MSG_RAW);
    server_item *server = find_server(handle);
    if (server == nullptr)
        return -1;

    // The caller may itself be walking this list.
    int result = 0;
    llCursorPush(server->clients);
    for (client_server_item *item = static_cast<client_server_item *>(llFirst(server->clients)); item != nullptr;
         item = static_cast<client_server_item *>(llNext(server->clients))) {
        REPORT_ASSERT(item->con != NULL);
        result |= connection_send(item->con, msg_type, data, len);
    }
    llCursorPop(server->clients);
    return result;
}

int server_first_client(int handle)
{
    server_item *server = find_server(handle);
    if (server == nullptr || server->clients == nullptr || llItemCount(server->clients) == 0)
        return -1;

    free(server->client_handles);
    server->next_client = 0;
    const int count = llItemCount(server->clients);
    server->client_handles = static_cast<int *>(snapshot_alloc(static_cast<size_t>(count) + 1, sizeof(int)));
    if (server->client_handles == nullptr) {
        REPORT_ERROR("        Could not allocate the list of %d client handles (out of memory?)", count);
        return -1;
    }

    int n = 0;
    llCursorPush(server->clients);
    for (client_server_item *item = static_cast<client_server_item *>(llFirst(server->clients)); item != nullptr;
         item = static_cast<client_server_item *>(llNext(server->clients)))
        server->client_handles[n++] = item->handle;
    llCursorPop(server->clients);
    server->client_handles[n] = -1;

    server->next_client = 1;
    return server->client_handles[0];
}

int server_next_client(int handle)
{
    server_item *server = find_server(handle);
    if (server == nullptr || server->client_handles == nullptr)
        return -1;
    const int client = server->client_handles[server->next_client];
    if (client == -1) {
        free(server->client_handles);
        server->client_handles = nullptr;
        server->next_client = 0;
    } else {
        server->next_client++;
    }
    return client;
}

int server_local_port(int handle)
{
    const server_item *server = find_server(handle);
    if (server == nullptr)
        return -1;
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (getsockname(server->serv_sock, reinterpret_cast<struct sockaddr *>(&local), &len) != 0 ||
        local.sin_family != AF_INET)
        return -1;
    return ntohs(local.sin_port);
}

int server_set_user_data(int handle, void *user_data)
{
    server_item *server = find_server(handle);
    if (server == nullptr)
        return -1;
    server->user_data = user_data;
    return 0;
}

void *server_get_user_data(int handle)
{
    server_item *server = find_server(handle);
    if (server == nullptr)
        return nullptr;
    return server->user_data;
}

void server_release_all(void)
{
    if (servers == nullptr)
        return;
    for (int i = 0; i < servers->size; i++) {
        if (!servers->table[i].used)
            continue;
        // A pause timer went with the connection layer, shut down first.
        server_item *server = static_cast<server_item *>(servers->table[i].data);
        handle_remove(servers, servers->table[i].handle);
        if (server->serv_sock >= 0)
            close(server->serv_sock);
        llDestroy(server->clients);
        free(server->client_handles);
        free(server);
    }
}

void server_set_accept_pause(int ms)
{
    accept_pause_ms = ms >= 0 ? ms : SERVER_ACCEPT_PAUSE_MS;
}

void server_set_snapshot_alloc(server_alloc_func alloc)
{
    snapshot_alloc = alloc != nullptr ? alloc : calloc;
}
