// Connections and framing, timers, watches and the main loop: one module,
// because the loop is the only reader of the state that the other three
// change (interest sets, lists, timer queue).
#include "connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "linked_list.h"
#include "priorityq.h"
#include "report.h"

// ---- records ----

// The output header and payload are one block so that a framed message is
// written with one write() from the header's first byte.
struct wire_message {
    int32_t msg_type;           // network order
    int32_t length;             // network order
    char payload[MSGBUFSIZE];   // directly follows the header
};
static_assert(offsetof(wire_message, payload) == MSG_HEADER_SIZE, "header must directly precede the payload");

// A message waiting behind the one being written, host order. Its payload
// copy follows it in the same allocation, sized to the message: a peer that
// stops reading makes the queue grow by what is sent to it, not by a whole
// buffer for every small piece.
struct queued_message {
    int msg_type; // as given to connection_send
    int length;   // payload bytes, stored right after this record
};

static char *queued_payload(queued_message *msg)
{
    return reinterpret_cast<char *>(msg + 1);
}

struct connection {
    int desc;                       // the socket; kept after closing
    wire_message out;               // message being written
    linked_list *write_queue;       // queued_message, oldest first; null once closed
    int write_cnt;                  // unwritten bytes of out; 0 when idle
    long queued;                    // wire bytes of the messages in write_queue
    int state;                      // CONNECTION_PENDING / _OPEN / _CLOSED
    int flags;                      // CS_FLAG_*
    int received;                   // bytes of the incoming message so far, header included
    int32_t in_header[2];           // msg_type, length; host order once complete
    char in_payload[MSGBUFSIZE];    // payload of the incoming message
    connection_message_cb message_cb;       // every complete message
    connection_disconnect_cb disconnect_cb; // after closing; may be null
    void *user_data;                // passed to both callbacks
};

struct connection_timer {
    int period;               // milliseconds between expiries
    connection_timer_cb cb;   // expiry and release
    void *arg;                // passed to cb
    struct timeval expiry;    // next due time on the monotonic clock
    int cancelled;            // never fires again; released at the top of the queue
};

struct watch {
    int mode;            // WATCH_READ / _WRITE / _EXCEPT
    int desc;            // the watched descriptor
    connection_input_cb cb; // called when the condition is reported
    void *arg;           // passed to cb
    fd_set *interest;    // master set of the mode
    int removed;         // inert; freed by the watch purge
    int id;              // what registration returned; names this watch alone
};

// ---- module state ----

static fd_set master_read;
static fd_set master_write;
static fd_set master_except;
static int highest_desc = 0;  // never lowered: select() just scans a little further
static int stop_flag = 0;     // never cleared: a stopped loop stays stopped
static linked_list *connection_list = nullptr;
static int connection_list_dirty = 0;
static linked_list *watch_list = nullptr;
static int watch_list_dirty = 0;
static int next_watch_id = 0;  // ids are not reused until they wrap past INT_MAX
static priorityq *timer_queue = nullptr;

// Shared by every raw connection: a raw message never outlives its callback.
static char raw_buffer[MSGBUFSIZE];

static void raise_highest_desc(int desc)
{
    if (desc > highest_desc)
        highest_desc = desc;
}

// 1 when desc can be held in an fd_set; FD_SET beyond it writes past the set.
static int desc_fits_set(int desc)
{
    return desc >= 0 && desc < FD_SETSIZE;
}

// ---- connections and framing ----

connection *connection_create(int desc, connection_message_cb message_cb,
                              connection_disconnect_cb disconnect_cb, void *user_data)
{
    if (!desc_fits_set(desc)) {
        REPORT_ERROR("        Descriptor %d cannot be served (allowed: 0 to %d).", desc, FD_SETSIZE - 1);
        return nullptr;
    }
    connection *con = static_cast<connection *>(calloc(1, sizeof(connection)));
    if (con == nullptr)
        return nullptr;
    con->desc = desc;
    con->message_cb = message_cb;
    con->disconnect_cb = disconnect_cb;
    con->user_data = user_data;
    con->write_queue = llCreate();
    if (con->write_queue == nullptr) {
        free(con);
        return nullptr;
    }
    con->write_cnt = 0;
    con->state = CONNECTION_OPEN;

    FD_SET(desc, &master_read);
    raise_highest_desc(desc);
    llAppend(connection_list, con);
    return con;
}

// Would a failed write be worth retrying once the socket is writable again?
static int write_would_block(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int connection_send(connection *con, int msg_type, const void *data, int msg_len)
{
    REPORT_ASSERT(msg_len <= MSGBUFSIZE);
    REPORT_ASSERT(msg_len >= 0);
    if (con->state == CONNECTION_CLOSED)
        return -1;
    REPORT_ASSERT(con->desc >= 0);

    if (con->write_cnt != 0) {
        queued_message *msg =
            static_cast<queued_message *>(calloc(1, sizeof(queued_message) + static_cast<size_t>(msg_len)));
        REPORT_ASSERT(msg != NULL);
        msg->msg_type = msg_type;
        msg->length = msg_len;
        if (msg_len > 0)
            memcpy(queued_payload(msg), data, static_cast<size_t>(msg_len));
        llAppend(con->write_queue, msg);
        con->queued += msg_type == MSG_RAW ? msg_len : msg_len + MSG_HEADER_SIZE;
        return 0;
    }

    con->out.msg_type = static_cast<int32_t>(htonl(static_cast<uint32_t>(msg_type)));
    con->out.length = static_cast<int32_t>(htonl(static_cast<uint32_t>(msg_len)));
    if (msg_len > 0)
        memcpy(con->out.payload, data, static_cast<size_t>(msg_len));

    const char *start;
    int size;
    if (msg_type == MSG_RAW) {
        if (msg_len == 0)
            return 0;
        start = con->out.payload;
        size = msg_len;
    } else {
        start = reinterpret_cast<const char *>(&con->out);
        size = msg_len + MSG_HEADER_SIZE;
    }

    ssize_t n = write(con->desc, start, static_cast<size_t>(size));
    if (n == size)
        return 0;
    if (n > 0) {
        con->write_cnt = size - static_cast<int>(n);
        FD_SET(con->desc, &master_write);
        return 0;
    }
    if (n == 0 || write_would_block(errno)) {
        con->write_cnt = size;
        FD_SET(con->desc, &master_write);
        return 0;
    }
    REPORT_SYSERROR("        write");
    terminate_connection(con);
    return -1;
}

int write_data(connection *con)
{
    REPORT_ASSERT(con->desc >= 0);
    for (;;) {
        if (con->write_cnt == 0) {
            queued_message *msg = static_cast<queued_message *>(llFirst(con->write_queue));
            if (msg == nullptr) {
                FD_CLR(con->desc, &master_write);
                return 0;
            }
            con->out.msg_type = static_cast<int32_t>(htonl(static_cast<uint32_t>(msg->msg_type)));
            con->out.length = static_cast<int32_t>(htonl(static_cast<uint32_t>(msg->length)));
            memcpy(con->out.payload, queued_payload(msg), static_cast<size_t>(msg->length));
            con->write_cnt = msg->msg_type == MSG_RAW ? msg->length : msg->length + MSG_HEADER_SIZE;
            con->queued -= con->write_cnt;
            llRemove(con->write_queue, msg);
            free(msg);
            if (con->write_cnt == 0)
                continue; // an empty raw message has nothing to write
        }

        // The unwritten part always ends at the end of the payload.
        const int length = static_cast<int>(ntohl(static_cast<uint32_t>(con->out.length)));
        const char *start = con->out.payload + length - con->write_cnt;
        ssize_t n = write(con->desc, start, static_cast<size_t>(con->write_cnt));
        if (n <= 0) {
            if (n == 0 || write_would_block(errno))
                return 0; // write interest stays set
            REPORT_SYSERROR_ERRNO("        write");
            terminate_connection(con);
            return -1;
        }
        con->write_cnt -= static_cast<int>(n);
        REPORT_ASSERT(con->write_cnt >= 0);
    }
}

// Judges the last read of connection_data_received: end of stream
// terminates, an error is reported for the caller to terminate, a read that
// would have blocked (the loop can call us on a socket with nothing left,
// e.g. a header whose payload is still on its way) is no failure. Every read
// judged here is one of connection_data_received, so the report names that
// function and not this helper.
static int judge_read(connection *con, ssize_t n)
{
    if (n > 0)
        return 0;
    if (n == 0) {
        terminate_connection(con);
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    REPORT_SYSERROR_IN("connection_data_received", "        read");
    return -1;
}

int connection_data_received(connection *con)
{
    REPORT_ASSERT(con->desc >= 0);
    ssize_t n = 0;

    if (con->flags & CS_FLAG_RAW) {
        n = read(con->desc, raw_buffer, sizeof raw_buffer);
        if (n > 0 && con->message_cb != nullptr)
            con->message_cb(con->user_data, MSG_RAW, raw_buffer, static_cast<int>(n));
        return judge_read(con, n);
    }

    if (con->received < MSG_HEADER_SIZE) {
        char *at = reinterpret_cast<char *>(con->in_header) + con->received;
        n = read(con->desc, at, static_cast<size_t>(MSG_HEADER_SIZE - con->received));
        if (n <= 0)
            return judge_read(con, n);
        con->received += static_cast<int>(n);
        if (con->received < MSG_HEADER_SIZE)
            return 0;
        con->in_header[0] = static_cast<int32_t>(ntohl(static_cast<uint32_t>(con->in_header[0])));
        con->in_header[1] = static_cast<int32_t>(ntohl(static_cast<uint32_t>(con->in_header[1])));
        if (con->in_header[1] > MSGBUFSIZE) {
            REPORT_ERROR("        Message with to large payload received (msg_type=%d, received=%d bytes, max=%d bytes). Terminating client!",
                         con->in_header[0], con->in_header[1], MSGBUFSIZE);
            terminate_connection(con);
            return -1;
        }
        // A negative length would make the payload read below wander
        // before the buffer, or never complete.
        if (con->in_header[1] < 0) {
            REPORT_ERROR("        Message with negative payload length received (msg_type=%d, length=%d bytes). Terminating client!",
                         con->in_header[0], con->in_header[1]);
            terminate_connection(con);
            return -1;
        }
    }

    const int total = con->in_header[1] + MSG_HEADER_SIZE;
    if (con->received < total) {
        char *at = con->in_payload + (con->received - MSG_HEADER_SIZE);
        n = read(con->desc, at, static_cast<size_t>(total - con->received));
        if (n > 0)
            con->received += static_cast<int>(n);
    }

    if (con->received == total) {
        con->received = 0;
        if (con->message_cb != nullptr)
            con->message_cb(con->user_data, con->in_header[0], con->in_payload, con->in_header[1]);
    }
    return judge_read(con, n);
}

void terminate_connection(connection *con)
{
    if (con->state == CONNECTION_CLOSED)
        return;
    REPORT_ASSERT(con->desc >= 0);

    connection_list_dirty = 1;
    con->state = CONNECTION_CLOSED;
    FD_CLR(con->desc, &master_read);
    FD_CLR(con->desc, &master_write);
    shutdown(con->desc, SHUT_RDWR);
    close(con->desc);

    for (void *msg = llFirst(con->write_queue); msg != nullptr; msg = llFirst(con->write_queue)) {
        llRemove(con->write_queue, msg);
        free(msg);
    }
    llDestroy(con->write_queue);
    con->write_queue = nullptr;
    con->write_cnt = 0;
    con->queued = 0;
}

int connection_close(connection *con, int notify)
{
    if (notify == 0)
        con->disconnect_cb = nullptr;
    terminate_connection(con);
    return 0;
}

void connection_set_state(connection *con, int state)
{
    REPORT_ASSERT(con != NULL);
    REPORT_ASSERT(con->desc >= 0);
    switch (state) {
    case CONNECTION_OPEN:
        FD_SET(con->desc, &master_read);
        break;
    case CONNECTION_PENDING:
        FD_CLR(con->desc, &master_read);
        break;
    case CONNECTION_CLOSED:
        FD_CLR(con->desc, &master_read);
        FD_CLR(con->desc, &master_write);
        break;
    default:
        REPORT_FATAL("        This should not happen!\n");
    }
    con->state = state;
}

int connection_state(const connection *con)
{
    return con->state;
}

long connection_queued_bytes(const connection *con)
{
    return con->queued + con->write_cnt;
}

int connection_descriptor(const connection *con)
{
    return con->desc;
}

int connection_set_flags(connection *con, int flags)
{
    con->flags = flags;
    return 0;
}

// ---- timers ----

// The timer clock: monotonic, so that setting the time of day neither
// fires every timer at once nor holds them all back.
static void monotonic_clock(struct timeval *now)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->tv_sec = ts.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
}

connection_clock_func connection_clock = monotonic_clock;

void time_add_ms(struct timeval *time, int ms)
{
    if (time->tv_sec == -1)
        connection_clock(time);
    time->tv_sec += ms / 1000;
    time->tv_usec += (ms % 1000) * 1000;
    if (time->tv_usec > 999999) {
        time->tv_sec += 1;
        time->tv_usec -= 1000000;
    }
}

void time_left(struct timeval *result, const struct timeval *expiry)
{
    struct timeval now;
    connection_clock(&now);
    result->tv_sec = expiry->tv_sec - now.tv_sec;
    result->tv_usec = expiry->tv_usec - now.tv_usec;
    if (result->tv_usec < 0) {
        result->tv_sec -= 1;
        result->tv_usec += 1000000;
    }
    if (result->tv_sec < 0) {
        result->tv_sec = 0;
        result->tv_usec = 0;
    }
}

int timer_compare(const void *a, const void *b)
{
    const struct timeval *ea = &static_cast<const connection_timer *>(a)->expiry;
    const struct timeval *eb = &static_cast<const connection_timer *>(b)->expiry;
    if (ea->tv_sec != eb->tv_sec)
        return ea->tv_sec < eb->tv_sec ? 1 : -1;
    if (ea->tv_usec != eb->tv_usec)
        return ea->tv_usec < eb->tv_usec ? 1 : -1;
    return 0;
}

connection_timer *connection_add_timer(int period, connection_timer_cb cb, void *arg)
{
    // A negative period would put the next expiry before the one just
    // served, so a re-armed timer could overtake the top of the queue.
    if (period < 0) {
        REPORT_ERROR("        Timer with negative period (%d ms) refused.", period);
        return nullptr;
    }
    connection_timer *timer = static_cast<connection_timer *>(calloc(1, sizeof(connection_timer)));
    if (timer == nullptr)
        return nullptr;
    timer->period = period;
    timer->cb = cb;
    timer->arg = arg;
    timer->expiry.tv_sec = -1;
    time_add_ms(&timer->expiry, period);
    timer->cancelled = 0;
    if (priorityq_insert(timer_queue, timer) != 0) {
        free(timer);
        return nullptr;
    }
    return timer;
}

int connection_cancel_timer(connection_timer *timer)
{
    timer->cancelled = 1;
    return 0;
}

// ---- external inputs ----

// The live watch with this id, or, for an id below 0, the first live watch
// of desc and mode in registration order; null when there is none. A watch
// marked by an earlier removal in this pass is no longer live, so each
// removal takes one watch. The cursor is kept: removal may come from a
// callback while the loop walks this list.
static watch *find_live_watch(int id, int mode, int desc)
{
    watch *found = nullptr;
    llCursorPush(watch_list);
    for (watch *w = static_cast<watch *>(llFirst(watch_list)); w != nullptr;
         w = static_cast<watch *>(llNext(watch_list))) {
        if (w->removed)
            continue;
        if (id >= 0 ? w->id == id : w->desc == desc && w->mode == mode) {
            found = w;
            break;
        }
    }
    llCursorPop(watch_list);
    return found;
}

// Marks a watch removed. Its descriptor leaves the interest set of its mode
// only when no other live watch of that descriptor and mode remains, or
// that other watch would never be served again.
static void withdraw_watch(watch *target)
{
    target->removed = 1;
    watch_list_dirty = 1;
    if (find_live_watch(-1, target->mode, target->desc) == nullptr)
        FD_CLR(target->desc, target->interest);
}

// Registers a watch; its id, or -1 when refused (reported, naming func).
static int add_watch(int flags, int desc, connection_input_cb cb, void *arg, const char *func)
{
    const int mode = flags & WATCH_MODE_MASK;
    if (mode == 0) {
        REPORT_ERROR_IN(func, "        Watch without a mode (flags=%d) for descriptor %d refused.", flags, desc);
        return -1;
    }
    if (!desc_fits_set(desc)) {
        REPORT_ERROR_IN(func, "        Descriptor %d cannot be watched (allowed: 0 to %d).", desc, FD_SETSIZE - 1);
        return -1;
    }

    watch *watch = static_cast<struct watch *>(calloc(1, sizeof(struct watch)));
    REPORT_ASSERT_IN(func, watch != NULL);
    watch->mode = mode;
    watch->desc = desc;
    watch->cb = cb;
    watch->arg = arg;
    watch->removed = 0;
    watch->interest = mode == WATCH_READ ? &master_read : mode == WATCH_WRITE ? &master_write : &master_except;
    watch->id = next_watch_id;
    next_watch_id = next_watch_id == INT_MAX ? 0 : next_watch_id + 1;

    llAppend(watch_list, watch);
    FD_SET(desc, watch->interest);
    raise_highest_desc(desc);
    return watch->id;
}

int connection_external_input(int flags, int desc, connection_input_cb cb, void *arg)
{
    if (flags & WATCH_REMOVE) {
        watch *w = find_live_watch(-1, flags & WATCH_MODE_MASK, desc);
        if (w == nullptr)
            return -1;
        withdraw_watch(w);
        return 0;
    }
    return add_watch(flags, desc, cb, arg, __func__) < 0 ? -1 : 0;
}

// The adding of connection_external_input with the watch's id for a result;
// its reports are those of that function and name it.
int connection_add_watch(int flags, int desc, connection_input_cb cb, void *arg)
{
    return add_watch(flags, desc, cb, arg, "connection_external_input");
}

int connection_remove_watch(int id)
{
    if (id < 0)
        return -1;
    watch *w = find_live_watch(id, 0, 0);
    if (w == nullptr)
        return -1;
    withdraw_watch(w);
    return 0;
}

// ---- main loop ----

int connection_init(void)
{
    FD_ZERO(&master_read);
    FD_ZERO(&master_write);
    FD_ZERO(&master_except);

    connection_list = llCreate();
    if (connection_list == nullptr)
        return -1;
    connection_list_dirty = 0;

    watch_list = llCreate();
    if (watch_list == nullptr) {
        llDestroy(connection_list);
        connection_list = nullptr;
        return -1;
    }
    watch_list_dirty = 0;

    timer_queue = priorityq_create(timer_compare);
    if (timer_queue == nullptr) {
        REPORT_ERROR("        Could not create priority queue for timers.");
        llDestroy(watch_list);
        llDestroy(connection_list);
        watch_list = nullptr;
        connection_list = nullptr;
        return -1;
    }
    return 0;
}

void connection_stop_main_loop(void)
{
    stop_flag = 1;
}

void terminate_all_connections(void)
{
    llCursorPush(connection_list);
    for (void *con = llFirst(connection_list); con != nullptr; con = llNext(connection_list))
        terminate_connection(static_cast<connection *>(con));
    llCursorPop(connection_list);
}

// Releases cancelled timers at the top of the queue; the first live one, or
// null. A timer is taken off the queue before its release call, so that
// call may even add timers without the wrong record being removed.
static connection_timer *live_top_timer(void)
{
    connection_timer *timer;
    while ((timer = static_cast<connection_timer *>(priorityq_peek(timer_queue))) != nullptr && timer->cancelled) {
        priorityq_remove(timer_queue);
        timer->cb(TIMER_RELEASED, timer->arg);
        free(timer);
    }
    return timer;
}

// Re-arms a timer whose callback kept it: from the previous expiry, not
// from now, so a late firing keeps the phase. Timers that the callback
// added are due no earlier than this one, so it is still on top. func is
// the loop, which a failed check names.
static void rearm_timer(connection_timer *timer, const char *func)
{
    connection_timer *top = static_cast<connection_timer *>(priorityq_remove(timer_queue));
    REPORT_ASSERT_IN(func, top == timer);
    time_add_ms(&timer->expiry, timer->period);
    if (priorityq_insert(timer_queue, timer) != 0) {
        // No memory for a tree node: the timer cannot stay queued, so it
        // ends here with its release call.
        timer->cb(TIMER_RELEASED, timer->arg);
        free(timer);
    }
}

// Serves the connections among the ready descriptors; returns what is left
// of the count.
static int serve_connections(int dcnt, fd_set *rd, fd_set *wr)
{
    for (connection *con = static_cast<connection *>(llFirst(connection_list)); con != nullptr && dcnt > 0;
         con = static_cast<connection *>(llNext(connection_list))) {
        // Each ready bit is counted once: a descriptor closed and reused by
        // a callback in this pass is not counted again for its new
        // connection.
        if (FD_ISSET(con->desc, rd)) {
            dcnt--;
            FD_CLR(con->desc, rd);
            if (con->state == CONNECTION_OPEN && connection_data_received(con) != 0)
                terminate_connection(con);
        }
        // Read before write: a connection that the read closed is skipped
        // here, but its ready bit still counts.
        if (FD_ISSET(con->desc, wr)) {
            dcnt--;
            FD_CLR(con->desc, wr);
            if (con->state == CONNECTION_OPEN && write_data(con) != 0)
                terminate_connection(con);
        }
    }
    return dcnt;
}

// Removing the current item moves the cursor on to the next one, or back
// to the one before when it was the last; that one was visited and kept,
// so visiting it again only ends the walk.
static void purge_watches(void)
{
    if (!watch_list_dirty)
        return;
    watch *w = static_cast<watch *>(llFirst(watch_list));
    while (w != nullptr) {
        if (!w->removed) {
            w = static_cast<watch *>(llNext(watch_list));
            continue;
        }
        llRemove(watch_list, w);
        free(w);
        w = static_cast<watch *>(llCurrent(watch_list));
    }
    watch_list_dirty = 0;
}

// Walks as purge_watches. A disconnect callback may create connections
// (appended, the cursor stays) and terminate others: one already passed is
// purged by the next round, one ahead in this walk.
static void purge_connections(void)
{
    // A disconnect callback may terminate further connections, which sets
    // the flag again.
    while (connection_list_dirty) {
        connection_list_dirty = 0;
        connection *con = static_cast<connection *>(llFirst(connection_list));
        while (con != nullptr) {
            if (con->state != CONNECTION_CLOSED) {
                con = static_cast<connection *>(llNext(connection_list));
                continue;
            }
            if (con->disconnect_cb != nullptr)
                con->disconnect_cb(con->user_data);
            llRemove(connection_list, con);
            free(con);
            con = static_cast<connection *>(llCurrent(connection_list));
        }
    }
}

// Whether a timer's expiry has come on the timer clock.
static int timer_due(const connection_timer *timer)
{
    struct timeval now;
    connection_clock(&now);
    if (now.tv_sec != timer->expiry.tv_sec)
        return now.tv_sec > timer->expiry.tv_sec;
    return now.tv_usec >= timer->expiry.tv_usec;
}

// Fires one timer: it runs on from its previous expiry, or is cancelled
// and released when it reaches the top in a later pass. func is the loop.
static void fire_timer(connection_timer *timer, const char *func)
{
    REPORT_ASSERT_IN(func, timer->cb != NULL);
    if (timer->cb(TIMER_EXPIRED, timer->arg) != 0)
        timer->cancelled = 1;
    else
        rearm_timer(timer, func);
}

int connection_main_loop(void)
{
    while (!stop_flag) {
        connection_timer *timer = live_top_timer();
        struct timeval timeout;
        if (timer != nullptr)
            time_left(&timeout, &timer->expiry);

        // Callbacks change the master sets; their changes count from the
        // next pass.
        fd_set rd = master_read;
        fd_set wr = master_write;
        fd_set ex = master_except;
        int dcnt = select(highest_desc + 1, &rd, &wr, &ex, timer != nullptr ? &timeout : nullptr);

        if (dcnt < 0) {
            // A signal handler ran: nothing is ready and nothing is due
            // yet, so the pass is empty and the next recomputes the timeout.
            if (errno != EINTR) {
                REPORT_SYSERROR("        select");
                terminate_all_connections();
                return -1;
            }
        } else if (dcnt == 0) {
            REPORT_ASSERT(timer != NULL);
            fire_timer(timer, __func__);
        } else {
            // Watches first: they carry the console and connects in
            // progress, which must not wait behind a busy connection.
            for (watch *w = static_cast<watch *>(llFirst(watch_list)); w != nullptr && dcnt > 0;
                 w = static_cast<watch *>(llNext(watch_list))) {
                fd_set *set;
                switch (w->mode) {
                case WATCH_READ:
                    set = &rd;
                    break;
                case WATCH_WRITE:
                    set = &wr;
                    break;
                case WATCH_EXCEPT:
                    set = &ex;
                    break;
                default:
                    REPORT_FATAL("        This should NOT happen.");
                }
                if (FD_ISSET(w->desc, set)) {
                    dcnt--;
                    // A second watch on the same descriptor and mode waits
                    // for a later pass.
                    FD_CLR(w->desc, set);
                    if (!w->removed)
                        w->cb(w->desc, w->arg);
                }
            }
            dcnt = serve_connections(dcnt, &rd, &wr);
            REPORT_ASSERT(dcnt == 0);

            // A descriptor that is ready in every pass would otherwise hold
            // back every timer for as long as it stays ready. The top is
            // looked up again: the callbacks may have cancelled it or added
            // an earlier one. A stopped loop starts nothing new.
            if (!stop_flag) {
                timer = live_top_timer();
                if (timer != nullptr && timer_due(timer))
                    fire_timer(timer, __func__);
            }
        }

        purge_watches();
        purge_connections();
    }
    return 0;
}

void connection_shutdown(void)
{
    if (timer_queue != nullptr) {
        connection_timer *timer;
        while ((timer = static_cast<connection_timer *>(priorityq_remove(timer_queue))) != nullptr) {
            timer->cb(TIMER_RELEASED, timer->arg);
            free(timer);
        }
        priorityq_destroy(timer_queue, nullptr);
        timer_queue = nullptr;
    }

    if (watch_list != nullptr) {
        for (void *w = llFirst(watch_list); w != nullptr; w = llFirst(watch_list)) {
            llRemove(watch_list, w);
            free(w);
        }
        llDestroy(watch_list);
        watch_list = nullptr;
    }

    if (connection_list != nullptr) {
        terminate_all_connections();
        for (void *con = llFirst(connection_list); con != nullptr; con = llFirst(connection_list)) {
            llRemove(connection_list, con);
            free(con);
        }
        llDestroy(connection_list);
        connection_list = nullptr;
    }
    connection_list_dirty = 0;
    watch_list_dirty = 0;
}
