#include "loopback.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "clock.h"
#include "netns.h"

namespace kit {

namespace {

// Waits for one poll event until the deadline; false when the time ran out.
bool ready(int fd, short events, long long deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(std::max(0LL, deadline - nowMs())));
        if (r >= 0 || errno != EINTR)
            return r > 0;
    }
}

// One read: 1 with bytes appended, 0 at the end of the stream, -1 when
// nothing came before the deadline, -2 on an error (errno tells).
int readSome(int fd, std::string &into, size_t most, long long deadline)
{
    char buf[65536];
    for (;;) {
        if (!ready(fd, POLLIN, deadline))
            return -1;
        const ssize_t n = read(fd, buf, std::min(most, sizeof buf));
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            return 1;
        }
        if (n == 0)
            return 0;
        if (errno != EAGAIN && errno != EINTR)
            return -2;
    }
}

struct sockaddr_in address(const std::string &host, int port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

} // namespace

Listener::Listener(int port, const std::string &host, const std::string &netns, int receiveBuffer)
{
    auto make = [&] {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Set before listen, so that accepted sockets start with it and
        // offer a window to match.
        if (receiveBuffer > 0)
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        struct sockaddr_in a = address(host, port);
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, SOMAXCONN) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            ::close(s);
            return;
        }
        boundPort = ntohs(a.sin_port);
        fd = s;
    };
    if (netns.empty())
        make();
    else
        inNetns(netns, make);
}

Listener::~Listener()
{
    close();
    for (int peer : peers)
        ::close(peer);
}

int Listener::accept(int timeoutMs)
{
    if (fd < 0 || !ready(fd, POLLIN, nowMs() + timeoutMs))
        return -1;
    const int peer = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer >= 0)
        peers.push_back(peer);
    return peer;
}

void Listener::drop(int peer, bool reset)
{
    auto at = std::find(peers.begin(), peers.end(), peer);
    if (at == peers.end())
        return;
    peers.erase(at);
    struct linger l = {1, 0};
    if (reset)
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(peer);
}

void Listener::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int probeFreePort()
{
    Listener probe;
    return probe.ok() ? probe.port() : -1;
}

int connectLoopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = address("127.0.0.1", port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return s;
    if (s >= 0)
        ::close(s);
    return -1;
}

SocketPair::SocketPair(bool libNonblocking)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return;
    }
    lib = fds[0];
    peer = fds[1];
    if (libNonblocking)
        fcntl(lib, F_SETFL, fcntl(lib, F_GETFL) | O_NONBLOCK);
}

void SocketPair::closePeer()
{
    if (peer >= 0)
        ::close(peer);
    peer = -1;
}

DescriptorFiller::DescriptorFiller(int limit)
{
    struct rlimit rl;
    const rlim_t want = static_cast<rlim_t>(limit) + 64;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = want;
        if (rl.rlim_max < want || setrlimit(RLIMIT_NOFILE, &rl) != 0)
            return;
    }
    // dup() gives the lowest free number, so the gaps fill first.
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = dup(fds.front())) {
        if (fd >= limit) {
            ::close(fd);
            filled = true;
            return;
        }
        fds.push_back(fd);
    }
}

DescriptorFiller::~DescriptorFiller()
{
    for (int fd : fds)
        ::close(fd);
}

void DescriptorFiller::releaseOne()
{
    if (!fds.empty()) {
        ::close(fds.back());
        fds.pop_back();
    }
}

bool sendAll(int fd, const std::string &bytes, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !ready(fd, POLLOUT, deadline))
            return false;
    }
    return true;
}

std::string readExactly(int fd, size_t count, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    std::string got;
    while (got.size() < count && readSome(fd, got, count - got.size(), deadline) > 0) {
    }
    return got;
}

std::string readUntil(int fd, const std::string &needle, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    std::string got;
    while (got.find(needle) == std::string::npos && readSome(fd, got, 65536, deadline) > 0) {
    }
    return got;
}

std::string readFor(int fd, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    std::string got;
    while (readSome(fd, got, 65536, deadline) > 0) {
    }
    return got;
}

bool peerEnded(int fd, int timeoutMs, std::string *into)
{
    const long long deadline = nowMs() + timeoutMs;
    std::string got;
    int r;
    while ((r = readSome(fd, got, 65536, deadline)) > 0) {
    }
    const bool reset = r == -2 && (errno == ECONNRESET || errno == EPIPE);
    if (into != nullptr)
        *into += got;
    return r == 0 || reset;
}

} // namespace kit
