// Test harness for the connection module: isolated runs, a loop bound,
// socket pairs and a peer that speaks the wire format byte by byte.
#ifndef QUORVANE_TESTS_CONNECTION_HARNESS_H
#define QUORVANE_TESTS_CONNECTION_HARNESS_H

#include <functional>
#include <string>

#include "connection.h"

// The main loop stays stopped once stopped, and the module state is one per
// process, so every test that touches it runs body in a forked child:
// connection_init() before, connection_shutdown() after, then a leak check
// where the sanitizer offers one. GoogleTest failures in the child are
// printed by the child and fail the test here through its exit status; a
// child still running after timeout_ms is killed and fails the test.
// A body whose timers point at its locals calls connection_shutdown()
// itself before returning, since the release calls would come too late
// otherwise; the second shutdown finds nothing left to do.
void run_isolated(const std::function<void()> &body, int timeout_ms = 20000);

// A timer that stops the main loop after ms and records a failure: the
// bound of every loop run by a test that expects to be stopped otherwise.
connection_timer *add_loop_bound(int ms);

// A timer that simply stops the loop after ms (for tests that run the loop
// for a while and then look at what happened).
connection_timer *add_loop_stop(int ms);

// A connected AF_UNIX stream pair: lib is handed to the library (made
// non-blocking when asked), peer is driven by the test. The destructor
// closes peer only: the library closes lib (a test that never hands it over
// closes it itself).
struct socket_pair {
    int lib = -1;  // the library's end
    int peer = -1; // the test's end
    explicit socket_pair(bool lib_nonblocking = true);
    ~socket_pair();
    socket_pair(const socket_pair &) = delete;
    socket_pair &operator=(const socket_pair &) = delete;
    void close_peer();
};

// The bytes of a framed message built by hand: big-endian type and
// announced length, then the payload.
std::string wire_frame(int msg_type, const std::string &payload);
std::string wire_header(int msg_type, int announced_length);

// A big-endian 32-bit integer read from four bytes.
int wire_int(const std::string &bytes, size_t offset);

// Writes every byte (blocking peer), failing the test on an error.
void write_all(int fd, const std::string &bytes);

// Reads exactly count bytes, waiting at most timeout_ms in all; fewer
// bytes when the stream ends or the time runs out.
std::string read_exactly(int fd, size_t count, int timeout_ms = 5000);

// Bytes readable right now without waiting (the descriptor is polled).
std::string read_available(int fd);

// 1 when the peer reads end of stream within timeout_ms.
bool sees_end_of_stream(int fd, int timeout_ms = 2000);

// A payload of length bytes whose content depends on seed.
std::string pattern(int length, int seed);

#endif
