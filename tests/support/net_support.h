// Test helpers of the communication library's network tests: loopback peers
// at byte level, a child process per test (a stopped main loop never runs
// again in the same process), scripted steps run from inside the main loop,
// and capture of the report stream.
#ifndef QUORVANE_TESTS_NET_SUPPORT_H
#define QUORVANE_TESTS_NET_SUPPORT_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "client_server.h"

namespace nettest {

// Runs body in a forked child and fails the calling test unless the child
// ends with status 0: the child's own test failures (printed by the child)
// give status 1, and a child still running after timeoutSeconds is killed.
void runIsolated(const std::function<void()> &body, int timeoutSeconds = 30);

// Milliseconds of a monotonic clock.
long long nowMs();

// A port of 127.0.0.1 that nothing listens on at the moment of the call.
int probeFreePort();
std::string portText(int port);

// A blocking socket connected to 127.0.0.1:port, or -1.
int connectLoopback(int port);

// A plain listener on 127.0.0.1 with an ephemeral port (stored in *port).
int listenLoopback(int *port);

// An accepted descriptor, or -1 when none came within the time.
int acceptWithin(int listener, int timeoutMs);

// Reads exactly len bytes within the time; false on end of stream, error or
// time-out.
bool readExact(int fd, void *buf, size_t len, int timeoutMs);

// Whatever one read gives once the descriptor is readable within the time:
// byte count, 0 at end of stream, -1 on error or time-out.
ssize_t readWithin(int fd, void *buf, size_t len, int timeoutMs);

// Whether the peer ended the stream (read gives 0, or the connection was
// reset) within the time; data that arrives first is discarded.
bool peerClosed(int fd, int timeoutMs);

// Writes every byte; false on failure.
bool writeAll(int fd, const void *data, size_t len);

// An 8-byte framed header (type and length big-endian) plus payload.
std::string frame(int msgType, const std::string &payload);

// Runs the library's main loop over a list of steps, each polled every
// pollMs from a library timer until it returns true; then the next. The
// loop is stopped when the last step is done (true) or when timeoutMs have
// passed (false). The library must be initialised, and the loop not yet
// stopped in this process (see runIsolated).
bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs = 5000, int pollMs = 2);

// Redirects the standard error stream (where reports go) into a temporary
// file while alive.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written since construction.
    std::string text();

private:
    int saved;
    int file;
};

// Occupies every free descriptor below `limit` (raising the soft limit of
// open files when needed), so that the next descriptor the process gets is
// `limit` or above; released on destruction. ok() is false when the system
// does not allow that many descriptors.
class DescriptorFiller {
public:
    explicit DescriptorFiller(int limit);
    ~DescriptorFiller();
    DescriptorFiller(const DescriptorFiller &) = delete;
    DescriptorFiller &operator=(const DescriptorFiller &) = delete;

    bool ok() const { return filled; }
    // Frees one occupied descriptor (the highest); for a server that needs a
    // low one before the next descriptor goes high.
    void releaseOne();

private:
    std::vector<int> fds;
    bool filled;
};

// Records of the application callbacks, in order of arrival:
//   "message <handle> <type> <data>", "connect <handle> <success> <errno>",
//   "accept <handle>", "disconnect <handle>".
// A callback may also run a hook (for handlers that act, not only record).
extern std::vector<std::string> events;
extern std::function<void(const std::string &)> onEvent;
void recordMessage(int handle, int msgType, const char *data, int len);
void recordConnect(int handle, int success);
void recordAccept(int handle);
void recordDisconnect(int handle);
client_callbacks recordingClient();
server_callbacks recordingServer();
// Number of records starting with prefix.
int countEvents(const std::string &prefix);
bool hasEvent(const std::string &record);

} // namespace nettest

#endif
