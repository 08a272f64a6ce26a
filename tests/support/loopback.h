// Loopback peers at byte level: a listener, a free-port probe, a connected
// socket pair, and reads and writes on any descriptor with bounded waits.
#ifndef QUORVANE_TESTS_LOOPBACK_H
#define QUORVANE_TESTS_LOOPBACK_H

#include <string>
#include <vector>

namespace kit {

// A listening TCP socket on an IPv4 address and a port (0 for an ephemeral
// one). It owns the connections it accepts and closes them with itself.
class Listener {
public:
    // receiveBuffer: SO_RCVBUF of the accepted connections, 0 for the
    // system's; a small one keeps the kernel from absorbing what a peer that
    // does not read is sent.
    explicit Listener(int port = 0, const std::string &address = "127.0.0.1", int receiveBuffer = 0);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    bool ok() const { return fd >= 0; }
    int port() const { return boundPort; }
    std::string portText() const { return std::to_string(boundPort); }
    // The listening socket, for a caller that accepts in its own loop (the
    // connections it accepts are its own to close).
    int descriptor() const { return fd; }
    // An accepted connection (blocking), -1 when none came within the time
    // (0: only one already waiting).
    int accept(int timeoutMs);
    // Closes an accepted connection early; with reset, the peer gets a reset
    // instead of an end of stream.
    void drop(int peer, bool reset = false);
    // Stops listening; accepted connections stay.
    void close();

private:
    int fd = -1;
    int boundPort = 0;
    std::vector<int> peers;
};

// A loopback port that nothing listens on at the moment of the call.
int probeFreePort();
// A blocking socket connected to address:port, or -1.
int connectLoopback(int port, const std::string &address = "127.0.0.1");

// A connected AF_UNIX stream pair: one end for the code under test (made
// non-blocking when asked), the other driven by the test. The destructor
// closes the test's end only: the code under test closes its own.
struct SocketPair {
    int lib = -1;
    int peer = -1;
    explicit SocketPair(bool libNonblocking = true);
    ~SocketPair() { closePeer(); }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    void closePeer();
};

// Occupies every free descriptor below limit (raising the soft limit of open
// files when needed), so that the next descriptor the process gets is limit
// or above; released on destruction. ok() is false when the system does not
// allow that many.
class DescriptorFiller {
public:
    explicit DescriptorFiller(int limit);
    ~DescriptorFiller();
    DescriptorFiller(const DescriptorFiller &) = delete;
    DescriptorFiller &operator=(const DescriptorFiller &) = delete;
    bool ok() const { return filled; }

private:
    std::vector<int> fds;
    bool filled = false;
};

// Writes every byte within the time; false on an error or time-out.
bool sendAll(int fd, const std::string &bytes, int timeoutMs = 5000);
// Reads until count bytes came, the stream ended or the time ran out.
std::string readExactly(int fd, size_t count, int timeoutMs = 5000);
// Whatever arrives within the time, or until the end of the stream.
std::string readFor(int fd, int timeoutMs);
inline std::string readAvailable(int fd) { return readFor(fd, 0); }
// Whether the peer ended the stream (or reset it) within the time; what
// arrives first is appended to into when given.
bool peerEnded(int fd, int timeoutMs, std::string *into = nullptr);

} // namespace kit

#endif
