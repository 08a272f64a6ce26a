// Connections, message framing, timers, watches on foreign descriptors and
// the select() main loop of the communication library.
//
// Everything runs on one thread inside connection_main_loop(). Each pass
// bounds one select() by the earliest timer and then serves the ready
// descriptors, watches first, then connections (read before write), and
// after them the earliest timer when it is due, even when descriptors were
// ready: one timer per pass at most, in expiry order, so a descriptor that
// is ready in every pass cannot hold the timers back. Removal is deferred to the end of a pass, so callbacks may
// create, send, close, add and remove watches and timers, and stop the loop
// at any time, their own records included.
//
// Wire format of a framed message (all integers signed 32-bit big-endian):
//
//   offset 0  msg_type
//   offset 4  length of the payload, 0..MSGBUFSIZE
//   offset 8  payload
//
// A message of type MSG_RAW carries no header: only its payload bytes go on
// the stream. A connection flagged CS_FLAG_RAW parses no headers on input:
// every read is delivered as one MSG_RAW message of the bytes read.
//
// Results: 0 (or a record) on success, -1 (or null) on failure. Problems are
// reported through report.h; misuse by the caller is a failed assertion.
#ifndef QUORVANE_CONNECTION_H
#define QUORVANE_CONNECTION_H

#include <sys/time.h>

#define MSGBUFSIZE 8192 // largest payload of one message, in either direction
#define MSG_RAW 1       // message type sent without header; raw input arrives as this type
#define MSG_HEADER_SIZE 8 // bytes of a framed header: msg_type then length

// Connection flag word (connection_set_flags). Only CS_FLAG_RAW matters to
// this module; the other two are read when the socket is set up by the
// outgoing-connection and listening code. The dispatch layer publishes the
// same values; both definitions are plain macros with identical bodies.
#ifndef CS_FLAG_RAW
#define CS_FLAG_RAW 1      // receive without framing: every read is one MSG_RAW message
#endif
#ifndef CS_FLAG_NONBLOCK
#define CS_FLAG_NONBLOCK 2 // outgoing: connect without blocking; accepted: non-blocking socket
#endif
#ifndef CS_FLAG_NODELAY
#define CS_FLAG_NODELAY 4  // set TCP_NODELAY on the socket
#endif

// Connection states (connection_set_state, connection_state).
#define CONNECTION_PENDING 0 // read interest off, not served: an outgoing connect in progress
#define CONNECTION_OPEN 1    // read interest on, served by the loop
#define CONNECTION_CLOSED 2  // socket closed; freed by the loop after its disconnect callback

// Flags of connection_external_input: bits 0-1 the mode, bit 2 removal.
#define WATCH_READ 1       // call when the descriptor is readable
#define WATCH_WRITE 2      // call when the descriptor is writable
#define WATCH_EXCEPT 3     // call on an exceptional condition (out-of-band data)
#define WATCH_MODE_MASK 3  // the mode bits of the flags
#define WATCH_REMOVE 4     // remove the watch with this descriptor and mode instead

// Reasons passed to a timer callback.
#define TIMER_EXPIRED 0  // the timer is due; the result decides whether it runs on
#define TIMER_RELEASED 1 // last call: the record is freed right after; result ignored

// One connected stream socket with its framing state; opaque.
typedef struct connection connection;

// One timer; the reference stays valid until its callback has been called
// with TIMER_RELEASED.
typedef struct connection_timer connection_timer;

// Called for each complete incoming message. data is valid only during the
// call (it points into the record or the shared raw buffer). Result ignored.
typedef int (*connection_message_cb)(void *user_data, int msg_type, const char *data, int len);

// Called by the main loop, once, after the connection was closed and before
// its record is freed. The record must not be used after this call.
typedef void (*connection_disconnect_cb)(void *user_data);

// Called when a watched descriptor shows its condition. Result ignored.
typedef int (*connection_input_cb)(int desc, void *arg);

// reason TIMER_EXPIRED: return 0 to fire again one period after the previous
// expiry, non-zero to end the timer (a TIMER_RELEASED call follows in a
// later pass). reason TIMER_RELEASED: exactly once per timer; result ignored.
typedef int (*connection_timer_cb)(int reason, void *arg);

// ---- connections and framing ----

// A new open connection on a connected socket, with read interest set; null
// if memory runs out or desc cannot be held in a descriptor set (negative,
// or FD_SETSIZE and above; reported). disconnect_cb may be null.
connection *connection_create(int desc, connection_message_cb message_cb,
                              connection_disconnect_cb disconnect_cb, void *user_data);

// Sends one message (framed, or bare for MSG_RAW), writing at once when the
// socket is idle and queueing behind an unfinished message otherwise.
// 0 when sent or queued; -1 when the connection is closed or the write
// failed (the connection is then terminated). msg_len above MSGBUFSIZE or
// below 0 is a failed assertion.
int connection_send(connection *con, int msg_type, const void *data, int msg_len);

// Reads what is available and delivers at most one message. 0, or -1 when
// the connection must be terminated (end of stream, bad length: already
// terminated; read error: reported, the caller terminates). A read that
// would block or was interrupted is no error: the rest comes in a later call.
int connection_data_received(connection *con);

// Continues output while the socket takes it; called by the main loop when
// the descriptor is writable. 0, or -1 after a write error (terminated).
int write_data(connection *con);

// Closes the socket and marks the record closed; queued output is dropped.
// Harmless on a closed connection. The record stays listed until the loop's
// purge calls the disconnect callback and frees it.
void terminate_connection(connection *con);

// terminate_connection(), after clearing the disconnect callback when notify
// is 0 so that the close is never reported. Always 0.
int connection_close(connection *con, int notify);

// Sets the state and the read/write interest that belongs to it; never
// closes the socket. Any state but the three above is a fatal error.
void connection_set_state(connection *con, int state);

// The record's state (CONNECTION_PENDING, _OPEN or _CLOSED).
int connection_state(const connection *con);

// Bytes that connection_send() accepted and the socket has not taken yet:
// the rest of the message being written and every queued message, headers
// included. 0 when idle and on a closed connection, whose queue is dropped.
long connection_queued_bytes(const connection *con);

// The socket descriptor; a closed record keeps its number.
int connection_descriptor(const connection *con);

// Stores the flag word (CS_FLAG_*). Always 0.
int connection_set_flags(connection *con, int flags);

// ---- timers ----

// A timer first due period milliseconds from now, then every period after
// the previous expiry. Null if memory runs out (silent), or when period is
// negative (reported). Expiries follow the monotonic clock, so setting the
// system time neither fires nor stalls timers.
connection_timer *connection_add_timer(int period, connection_timer_cb cb, void *arg);

// Marks the timer cancelled: it never fires again, and its TIMER_RELEASED
// call follows when it reaches the top of the queue. Always 0.
int connection_cancel_timer(connection_timer *timer);

// Reads the timer clock into now.
typedef void (*connection_clock_func)(struct timeval *now);

// Every reading of the timer clock goes through this pointer: the monotonic
// clock (CLOCK_MONOTONIC) unless a test replaces it to hold time still.
// Production code never touches it.
extern connection_clock_func connection_clock;

// Ordering of the timer queue: 1 when a is due before b, -1 when after,
// 0 when both are due at the same moment.
int timer_compare(const void *a, const void *b);

// Time from now until expiry on the timer clock; zero when already past.
void time_left(struct timeval *result, const struct timeval *expiry);

// Advances a time value by ms milliseconds (ms >= 0). A value whose seconds
// are -1 is first set to the current time of the timer clock.
void time_add_ms(struct timeval *time, int ms);

// ---- external inputs ----

// Adds a watch (mode = flags & WATCH_MODE_MASK), or with WATCH_REMOVE set
// removes the first watch of that descriptor and mode not removed before;
// callback and argument are then unused. A removed watch is never called
// again. The descriptor stays in the mode's interest set while another
// watch of that descriptor and mode remains, and leaves it with the last
// one (a connection's own interest in the same set is not looked at).
// Adding: 0, or -1 for mode 0 or a descriptor outside 0..FD_SETSIZE-1
// (reported). Removing: 0, or -1 when none matched.
int connection_external_input(int flags, int desc, connection_input_cb cb, void *arg);

// Adds a watch as connection_external_input does and returns its id (0 or
// more), which connection_remove_watch() takes to withdraw exactly this
// watch even when others watch the same descriptor and mode; -1 when
// refused. WATCH_REMOVE in flags is ignored.
int connection_add_watch(int flags, int desc, connection_input_cb cb, void *arg);

// Removes the watch that connection_add_watch() returned id for, with the
// same effect on the interest set as a removal by descriptor and mode.
// 0, or -1 when that watch is not live (never added, or removed already).
int connection_remove_watch(int id);

// ---- main loop ----

// Clears the interest sets and creates the lists and the timer queue.
// 0, or -1 on failure.
int connection_init(void);

// Runs passes until a callback stops the loop: 0 then; -1 when select()
// failed (reported; every connection is terminated, without disconnect
// callbacks). An interrupted select() is simply retried. Once stopped, the
// loop stays stopped: a later call returns 0 at once.
int connection_main_loop(void);

// The loop returns at the end of the current pass, purges done.
void connection_stop_main_loop(void);

// Releases every timer (TIMER_RELEASED calls, earliest first), frees every
// watch and every connection (sockets closed, no disconnect callbacks).
// connection_init() may follow.
void connection_shutdown(void);

// Terminates every listed connection; the purge of the next pass reports
// and frees them.
void terminate_all_connections(void);

#endif
