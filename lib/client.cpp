// Outgoing TCP connections.
#include "client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_server_internal.h"
#include "linked_list.h"
#include "report.h"

// con_info of every connect whose watch is still registered; created on
// first use and dropped by client_release_pending().
static linked_list *pending = nullptr;

static client_lookup_func lookup = gethostbyname;

// What the last attempt that failed at once failed on: host, port and the
// cause. A caller that retries every few seconds while the network is down
// would otherwise fill the error stream and the system log with one
// identical block per attempt. Emptied by an attempt that gets a handle.
static char last_refusal[CLIENT_REFUSAL_KEY_SIZE];

// Whether a failure at once is new and to be reported: not when it repeats
// the last one for the same host and port (texts longer than the key are
// told apart by their beginnings only). errno is kept for the report.
static int first_refusal(const char *host, const char *port, const char *cause, int code)
{
    const int saved = errno;
    char key[CLIENT_REFUSAL_KEY_SIZE];
    snprintf(key, sizeof key, "%s\n%s\n%s %d", host, port, cause, code);
    const int repeated = strcmp(key, last_refusal) == 0;
    if (!repeated)
        memcpy(last_refusal, key, sizeof key);
    errno = saved;
    return !repeated;
}

// Probes a silent connection, and bounds how long sent data may stay
// unacknowledged, so that a server host that vanished without a word is
// noticed either way; failures only lose that early warning.
static void set_keepalive(int sock)
{
    const int on = 1;
    const int idle = CLIENT_KEEPALIVE_IDLE;
    const int interval = CLIENT_KEEPALIVE_INTERVAL;
    const int count = CLIENT_KEEPALIVE_COUNT;
    const unsigned int user_timeout = CLIENT_USER_TIMEOUT_MS;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

// Releases a registered item whose connection never got going.
static void release_item(client_server_item *item)
{
    client_server_item_remove(item->handle);
    free(item);
}

int client_connect(const char *host, const char *port, const client_callbacks *callbacks, int flags)
{
    if (host == nullptr || host[0] == '\0' || port == nullptr || port[0] == '\0')
        return -1;
    REPORT_ASSERT(callbacks != NULL);

    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        if (first_refusal(host, port, "socket", errno))
            REPORT_SYSERROR("        socket");
        return -1;
    }
    // Beyond the descriptor sets the main loop could never serve it, and
    // setting its bit would write past the sets.
    if (sock >= FD_SETSIZE) {
        if (first_refusal(host, port, "select limit", 0))
            REPORT_ERROR("        Descriptor %d is beyond the select() limit of %d.", sock, FD_SETSIZE);
        close(sock);
        return -1;
    }

    if (flags & CS_FLAG_NODELAY) {
        const int on = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (flags & CS_FLAG_NONBLOCK)
        fcntl(sock, F_SETFL, O_NONBLOCK);
    set_keepalive(sock);

    struct hostent *host_entry = lookup(host);
    if (host_entry == nullptr || host_entry->h_addrtype != AF_INET || host_entry->h_addr_list[0] == nullptr) {
        const int cause = host_entry == nullptr ? h_errno : NO_ADDRESS;
        if (first_refusal(host, port, "lookup", cause))
            REPORT_ERROR("        Host \"%s\" not found: %s\n", host, hstrerror(cause));
        close(sock);
        return -1;
    }
    const int port_number = client_server_parse_port(port);
    if (port_number < 0) {
        if (first_refusal(host, port, "service", 0))
            REPORT_ERROR("        Could not find service \"%s\".", port);
        close(sock);
        return -1;
    }

    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_number));
    memcpy(&address.sin_addr, host_entry->h_addr_list[0], sizeof address.sin_addr);

    client_server_item *item = static_cast<client_server_item *>(calloc(1, sizeof(client_server_item)));
    REPORT_ASSERT(item != NULL);
    item->on_message = callbacks->on_message;
    item->on_disconnect = callbacks->on_disconnect;
    item->peer = address;
    item->user_data = nullptr;
    item->server = nullptr;

    if (client_server_item_add(item) < 0) {
        if (first_refusal(host, port, "handle", 0))
            REPORT_ERROR("        Could not allocate handle for connection to %s:%d\n", inet_ntoa(address.sin_addr),
                         port_number);
        free(item);
        close(sock);
        return -1;
    }

    item->con = connection_create(sock, client_server_msg_cb, disconnect_cb, item);
    if (item->con == nullptr) {
        release_item(item);
        close(sock);
        return -1;
    }
    // Nothing is read before the connect has been decided.
    connection_set_state(item->con, CONNECTION_PENDING);
    connection_set_flags(item->con, flags);

    con_info *info = static_cast<con_info *>(calloc(1, sizeof(con_info)));
    if (info == nullptr) {
        connection_close(item->con, 0); // closes the socket too
        release_item(item);
        return -1;
    }
    info->item = item;
    info->on_connect = callbacks->on_connect;

    if (connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0) {
        info->in_progress = 0;
        connection_set_state(item->con, CONNECTION_OPEN);
    } else if (errno == EINPROGRESS) {
        info->in_progress = 1;
    } else {
        if (first_refusal(host, port, "connect", errno))
            REPORT_SYSERROR("        connect");
        free(info);
        connection_close(item->con, 0);
        release_item(item);
        return -1;
    }

    // Even a connect that succeeded at once is announced from the loop, so
    // that on_connect never runs before the caller has the handle.
    info->watch = connection_add_watch(WATCH_WRITE, sock, connect_cb, info);
    if (info->watch < 0) {
        free(info);
        connection_close(item->con, 0);
        release_item(item);
        return -1;
    }
    if (pending == nullptr)
        pending = llCreate();
    llAppend(pending, info);
    last_refusal[0] = '\0';
    return item->handle;
}

int connect_cb(int desc, void *con_info)
{
    REPORT_ASSERT(con_info != NULL);
    struct con_info *info = static_cast<struct con_info *>(con_info);
    connection_remove_watch(info->watch);
    llRemove(pending, info);

    client_server_item *item = info->item;
    const int handle = item->handle;
    if (info->in_progress) {
        int res = 0;
        socklen_t len = sizeof res;
        if (getsockopt(desc, SOL_SOCKET, SO_ERROR, &res, &len) != 0)
            res = errno;
        REPORT_ASSERT(len == sizeof(res));
        if (res != 0) {
            errno = res;
            if (info->on_connect != nullptr)
                info->on_connect(handle, 0);
            // The callback may have disconnected already; a second
            // disconnect of a handle not yet purged is harmless.
            client_server_disconnect(handle);
            free(info);
            return 0;
        }
        connection_set_state(item->con, CONNECTION_OPEN);
    }
    if (info->on_connect != nullptr)
        info->on_connect(handle, 1);
    free(info);
    return 0;
}

void disconnect_cb(void *data)
{
    client_server_item *item = static_cast<client_server_item *>(data);
    REPORT_ASSERT(item != NULL);
    // A connection ended by the loop itself (select failure) may still have
    // its connect watch on the closed descriptor.
    client_abandon_connect(item);
    if (item->on_disconnect != nullptr)
        item->on_disconnect(item->handle);
    if (client_server_item_remove(item->handle) != 0)
        REPORT_WARNING("        Handle remove failed. This should not happen...");
    free(item);
}

// Matches a con_info by the item it serves.
static int info_for_item(const void *info, const void *item)
{
    return static_cast<const con_info *>(info)->item == item ? 0 : 1;
}

int client_abandon_connect(client_server_item *item)
{
    if (pending == nullptr)
        return -1;
    con_info *info = static_cast<con_info *>(llFind(pending, info_for_item, item));
    if (info == nullptr)
        return -1;
    connection_remove_watch(info->watch);
    llRemove(pending, info);
    free(info);
    return 0;
}

void client_release_pending(void)
{
    if (pending == nullptr)
        return;
    for (void *info = llFirst(pending); info != nullptr; info = llFirst(pending)) {
        llRemove(pending, info);
        free(info);
    }
    llDestroy(pending);
    pending = nullptr;
}

void client_set_lookup(client_lookup_func func)
{
    lookup = func != nullptr ? func : gethostbyname;
}
