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

#include "clock.h"
#include "failure.h"

namespace kit {

namespace {

bool ready(int fd, short events, long long deadline)
{
    struct pollfd p = {fd, events, 0};
    int r;
    while ((r = poll(&p, 1, static_cast<int>(std::max(0LL, deadline - nowMs())))) < 0 && errno == EINTR) {
    }
    return r > 0;
}

// Reads into got until it holds count bytes (1), the stream ends (0),
// nothing comes within the time (-1) or a read fails (-2; errno tells).
int readUpTo(int fd, std::string &got, size_t count, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    char buf[65536];
    while (got.size() < count) {
        if (!ready(fd, POLLIN, deadline))
            return -1;
        const ssize_t n = read(fd, buf, std::min(count - got.size(), sizeof buf));
        if (n == 0)
            return 0;
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        else if (errno != EAGAIN && errno != EINTR)
            return -2;
    }
    return 1;
}

struct sockaddr_in address(const std::string &host, int port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

} // namespace

Listener::Listener(int port, const std::string &host, int receiveBuffer)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set before listen, so that accepted sockets start with it and offer a
    // window to match.
    if (receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    struct sockaddr_in a = address(host, port);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(s, SOMAXCONN) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        boundPort = ntohs(a.sin_port);
        fd = s;
    } else if (s >= 0) {
        ::close(s);
    }
}

Listener::~Listener()
{
    close();
    for (int peer : peers)
        ::close(peer);
}

int Listener::accept(int timeoutMs)
{
    const int peer = fd >= 0 && ready(fd, POLLIN, nowMs() + timeoutMs) ? accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
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

int connectLoopback(int port, const std::string &host)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = address(host, port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

SocketPair::SocketPair(bool libNonblocking)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        fail(std::string("socketpair: ") + strerror(errno));
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
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_max < want)
        return;
    rl.rlim_cur = std::max(rl.rlim_cur, want);
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    // dup() gives the lowest free number, so the gaps fill first.
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = dup(fds.front())) {
        if ((filled = fd >= limit)) {
            ::close(fd);
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
    std::string got;
    readUpTo(fd, got, count, timeoutMs);
    return got;
}

std::string readFor(int fd, int timeoutMs)
{
    std::string got;
    peerEnded(fd, timeoutMs, &got);
    return got;
}

bool peerEnded(int fd, int timeoutMs, std::string *into)
{
    std::string ignored;
    const int r = readUpTo(fd, into != nullptr ? *into : ignored, std::string::npos, timeoutMs);
    return r == 0 || (r == -2 && (errno == ECONNRESET || errno == EPIPE));
}

} // namespace kit
