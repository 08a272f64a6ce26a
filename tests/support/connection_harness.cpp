#include "connection_harness.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

// Present only in sanitizer builds; weak so that plain builds link.
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

namespace {

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int bound_cb(int reason, void *)
{
    if (reason == TIMER_EXPIRED) {
        ADD_FAILURE() << "the main loop ran into its bound";
        connection_stop_main_loop();
    }
    return 1;
}

int stop_cb(int reason, void *)
{
    if (reason == TIMER_EXPIRED)
        connection_stop_main_loop();
    return 1;
}

} // namespace

void run_isolated(const std::function<void()> &body, int timeout_ms)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0) << "fork failed";
    if (pid == 0) {
        int status = 0;
        if (connection_init() != 0) {
            ADD_FAILURE() << "connection_init failed";
        } else {
            body();
            connection_shutdown();
        }
        if (::testing::Test::HasFailure())
            status = 1;
        if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
            status = 2;
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }

    const long long deadline = now_ms() + timeout_ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && now_ms() < deadline)
        usleep(2000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "isolated test body did not finish within " << timeout_ms << " ms";
        return;
    }
    ASSERT_EQ(done, pid);
    ASSERT_TRUE(WIFEXITED(status)) << "isolated test body died with signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_NE(WEXITSTATUS(status), 2) << "isolated test body leaked memory";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "isolated test body failed (its messages are above)";
}

connection_timer *add_loop_bound(int ms)
{
    connection_timer *t = connection_add_timer(ms, bound_cb, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
}

connection_timer *add_loop_stop(int ms)
{
    connection_timer *t = connection_add_timer(ms, stop_cb, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
}

socket_pair::socket_pair(bool lib_nonblocking)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return;
    }
    lib = fds[0];
    peer = fds[1];
    if (lib_nonblocking)
        fcntl(lib, F_SETFL, fcntl(lib, F_GETFL) | O_NONBLOCK);
}

socket_pair::~socket_pair()
{
    // lib belongs to the library once a connection is made on it, and its
    // number may already serve something else by now.
    close_peer();
}

void socket_pair::close_peer()
{
    if (peer >= 0)
        close(peer);
    peer = -1;
}

static void put_int(std::string &out, int value)
{
    const unsigned v = static_cast<unsigned>(value);
    out.push_back(static_cast<char>((v >> 24) & 0xff));
    out.push_back(static_cast<char>((v >> 16) & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
    out.push_back(static_cast<char>(v & 0xff));
}

std::string wire_header(int msg_type, int announced_length)
{
    std::string out;
    put_int(out, msg_type);
    put_int(out, announced_length);
    return out;
}

std::string wire_frame(int msg_type, const std::string &payload)
{
    return wire_header(msg_type, static_cast<int>(payload.size())) + payload;
}

int wire_int(const std::string &bytes, size_t offset)
{
    unsigned v = 0;
    for (size_t i = 0; i < 4; i++)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + i));
    return static_cast<int>(v);
}

void write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "peer write: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string read_exactly(int fd, size_t count, int timeout_ms)
{
    std::string out;
    const long long deadline = now_ms() + timeout_ms;
    char buf[65536];
    while (out.size() < count) {
        const long long left = deadline - now_ms();
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        const size_t want = std::min(sizeof buf, count - out.size());
        ssize_t n = read(fd, buf, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string read_available(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool sees_end_of_stream(int fd, int timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    char buf[4096];
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return errno == ECONNRESET;
    }
}

std::string pattern(int length, int seed)
{
    std::string out(static_cast<size_t>(length), '\0');
    unsigned x = static_cast<unsigned>(seed) * 2654435761u + 1;
    for (auto &c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return out;
}
