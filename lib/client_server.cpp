// Initialisation, handle tables and dispatch of the communication library.
#include "client_server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netdb.h>

#include "client.h"
#include "client_server_internal.h"
#include "handle.h"
#include "report.h"
#include "server.h"

// The one record of whether the library is up (client_server_state()).
// Every state but DOWN and FAILED has the tables, the SIGPIPE handler and
// a connection layer to shut down; READY also has its lists and timer queue.
static int state = CS_LIBRARY_DOWN;
static handle_table *items = nullptr;  // client_server_item per live connection
static handle_table *timers = nullptr; // timer_item per application timer
static struct sigaction saved_sigpipe;

int client_server_init(void)
{
    if (state == CS_LIBRARY_READY || state == CS_LIBRARY_NO_LOOP) {
        REPORT_WARNING("        The client/server lib has already been initialized!");
        return 0;
    }

    state = CS_LIBRARY_FAILED;
    items = handle_create(CS_ITEM_TABLE_SIZE);
    if (items == nullptr) {
        REPORT_ERROR("        Could not create handle-table (out of memory?)");
        return -1;
    }
    timers = handle_create(CS_TIMER_TABLE_SIZE);
    if (timers == nullptr) {
        REPORT_ERROR("        Could not create handle table for timers.");
        handle_destroy(items, nullptr);
        items = nullptr;
        return -1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sigpipe_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGPIPE, &action, &saved_sigpipe);

    const int result = connection_init();
    state = result == 0 ? CS_LIBRARY_READY : CS_LIBRARY_NO_LOOP;
    return result;
}

int client_server_state(void)
{
    return state;
}

int client_server_shutdown(void)
{
    // Timers are released through timer_cb, which needs the timer table,
    // so the connection layer goes first.
    const int was = state;
    if (was == CS_LIBRARY_READY || was == CS_LIBRARY_NO_LOOP)
        connection_shutdown();
    state = CS_LIBRARY_DOWN;
    // The watches that held these records are gone with the connection
    // layer; nothing else would ever free them.
    client_release_pending();
    server_release_all();

    if (timers != nullptr) {
        handle_destroy(timers, free);
        timers = nullptr;
    }
    if (items != nullptr) {
        handle_destroy(items, free);
        items = nullptr;
    }
    if (was == CS_LIBRARY_READY || was == CS_LIBRARY_NO_LOOP)
        sigaction(SIGPIPE, &saved_sigpipe, nullptr);
    return 0;
}

int client_server_main_loop(void)
{
    if (state != CS_LIBRARY_READY)
        return -1;
    return connection_main_loop();
}

int client_server_stop(void)
{
    connection_stop_main_loop();
    return 0;
}

int client_server_add_input(int mode, int desc, cs_input_func cb, void *data)
{
    if (state != CS_LIBRARY_READY)
        return -1;
    return connection_add_watch(mode, desc, cb, data);
}

int client_server_remove_input(int mode, int desc)
{
    if (state != CS_LIBRARY_READY)
        return -1;
    return connection_external_input(mode | WATCH_REMOVE, desc, nullptr, nullptr);
}

int client_server_remove_watch(int watch)
{
    if (state != CS_LIBRARY_READY)
        return -1;
    return connection_remove_watch(watch);
}

// ---- items ----

int client_server_item_add(client_server_item *item)
{
    // Without the connection layer the item's connection could not exist.
    if (items == nullptr || state != CS_LIBRARY_READY)
        return -1;
    const int handle = handle_add(items, item);
    if (handle >= 0)
        item->handle = handle;
    return handle;
}

int client_server_item_remove(int handle)
{
    if (items == nullptr)
        return -1;
    return handle_remove(items, handle);
}

client_server_item *client_server_item_find(int handle)
{
    if (items == nullptr)
        return nullptr;
    return static_cast<client_server_item *>(handle_find(items, handle));
}

// The live item of a handle, or null; a registered item always has its
// connection. func is the public operation asking, which a failed check
// names.
static client_server_item *live_item(int handle, const char *func)
{
    client_server_item *item = client_server_item_find(handle);
    if (item != nullptr)
        REPORT_ASSERT_IN(func, item->con != NULL);
    return item;
}

int client_server_send(int handle, int msg_type, const void *data, int len)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    return connection_send(item->con, msg_type, data, len);
}

int client_server_disconnect(int handle)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    item->on_disconnect = nullptr;
    // The descriptor closes below and may be reused at once; a connect
    // watch left on it would serve the next socket with this item's record.
    if (item->server == nullptr)
        client_abandon_connect(item);
    return connection_close(item->con, 1);
}

int client_server_data_received(int handle)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    return connection_data_received(item->con);
}

long client_server_queued_bytes(int handle)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    return connection_queued_bytes(item->con);
}

int client_server_descriptor(int handle)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    return connection_descriptor(item->con);
}

int client_server_connection_info(int handle, connection_info *info)
{
    REPORT_ASSERT(info != NULL);
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    info->handle = item->handle;
    info->address = item->peer.sin_addr;
    info->port = ntohs(item->peer.sin_port);
    info->server_handle = item->server != nullptr ? item->server->handle : -1;
    return 0;
}

int client_server_set_user_data(int handle, void *user_data)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return -1;
    item->user_data = user_data;
    return 0;
}

void *client_server_get_user_data(int handle)
{
    client_server_item *item = live_item(handle, __func__);
    if (item == nullptr)
        return nullptr;
    return item->user_data;
}

int client_server_parse_port(const char *port)
{
    char *end = nullptr;
    const long number = strtol(port, &end, 10);
    if (*end == '\0')
        return static_cast<int>(static_cast<unsigned long>(number) & 0xFFFFu);
    // "80x" is a service name as a whole, not port 80.
    struct servent *service = getservbyname(port, "tcp");
    if (service == nullptr)
        return -1;
    return ntohs(static_cast<uint16_t>(service->s_port));
}

int client_server_msg_cb(void *data, int msg_type, const char *payload, int len)
{
    client_server_item *item = static_cast<client_server_item *>(data);
    REPORT_ASSERT(item != NULL);
    if (item->on_message != nullptr)
        item->on_message(item->handle, msg_type, payload, len);
    return 0;
}

// ---- timers ----

int client_server_add_timer(int period_ms, cs_timer_func cb, void *data)
{
    if (timers == nullptr || state != CS_LIBRARY_READY)
        return -1;
    timer_item *item = static_cast<timer_item *>(calloc(1, sizeof(timer_item)));
    if (item == nullptr)
        return -1;
    item->cb = cb;
    item->data = data;

    // The handle is taken before the connection-layer timer exists: a full
    // table then leaves no timer behind whose release would remove a handle
    // that was never registered and free the item a second time.
    const int handle = handle_add(timers, item);
    if (handle < 0) {
        free(item);
        return -1;
    }
    item->handle = handle;

    item->timer = connection_add_timer(period_ms, timer_cb, item);
    if (item->timer == nullptr) {
        handle_remove(timers, handle);
        free(item);
        return -1;
    }
    return handle;
}

int client_server_remove_timer(int timer_handle)
{
    if (timers == nullptr)
        return -1;
    timer_item *item = static_cast<timer_item *>(handle_find(timers, timer_handle));
    if (item == nullptr)
        return -1;
    return connection_cancel_timer(item->timer);
}

int timer_cb(int reason, void *arg)
{
    timer_item *item = static_cast<timer_item *>(arg);
    switch (reason) {
    case TIMER_EXPIRED:
        return item->cb(item->data);
    case TIMER_RELEASED: {
        const int err = handle_remove(timers, item->handle);
        REPORT_ASSERT(err == 0);
        free(item);
        return 1;
    }
    default:
        REPORT_FATAL("        This should NOT happen... Ever!");
    }
}

void sigpipe_handler(int signum)
{
    REPORT_ASSERT(signum == SIGPIPE);
    REPORT_WARNING("        Ignoring SIGPIPE-signal.");
    // The warning goes to the error stream, which may be the very pipe that
    // broke (standard output and error into one pipe whose reader is gone).
    // Its own SIGPIPE, held while this handler runs, would call the handler
    // again as soon as it returns, for ever. Ignoring the signal discards
    // that pending one; then the handler is put back.
    struct sigaction ignore, handler;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, &handler) == 0)
        sigaction(SIGPIPE, &handler, nullptr);
}
