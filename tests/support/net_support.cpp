#include "net_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_server.h"

namespace nettest {

void runIsolated(const std::function<void()> &body, int timeoutSeconds)
{
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0) << "fork: " << strerror(errno);
    if (pid == 0) {
        alarm(static_cast<unsigned>(timeoutSeconds));
        body();
        fflush(stdout);
        // exit(), not _exit(): the leak checker of a sanitizer build runs then.
        exit(::testing::Test::HasFailure() ? 1 : 0);
    }

    int status = 0;
    const long long deadline = nowMs() + (timeoutSeconds + 5) * 1000LL;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && nowMs() < deadline)
        usleep(5000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "test child did not end within " << timeoutSeconds << " s";
    }
    if (WIFSIGNALED(status))
        FAIL() << "test child ended on signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "test child failed with status " << WEXITSTATUS(status);
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int probeFreePort()
{
    int port = -1;
    const int s = listenLoopback(&port);
    if (s >= 0)
        close(s);
    return port;
}

std::string portText(int port)
{
    return std::to_string(port);
}

int connectLoopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    struct sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int listenLoopback(int *port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    struct sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

static bool readable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

int acceptWithin(int listener, int timeoutMs)
{
    if (!readable(listener, timeoutMs))
        return -1;
    return accept(listener, nullptr, nullptr);
}

ssize_t readWithin(int fd, void *buf, size_t len, int timeoutMs)
{
    if (!readable(fd, timeoutMs))
        return -1;
    return read(fd, buf, len);
}

bool readExact(int fd, void *buf, size_t len, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    size_t got = 0;
    while (got < len) {
        const long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        const ssize_t n = readWithin(fd, static_cast<char *>(buf) + got, len - got, static_cast<int>(left));
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool peerClosed(int fd, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        if (!readable(fd, static_cast<int>(left)))
            return false;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
}

bool writeAll(int fd, const void *data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, static_cast<const char *>(data) + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string frame(int msgType, const std::string &payload)
{
    const uint32_t header[2] = {htonl(static_cast<uint32_t>(msgType)), htonl(static_cast<uint32_t>(payload.size()))};
    return std::string(reinterpret_cast<const char *>(header), sizeof header) + payload;
}

namespace {

struct StepRun {
    const std::vector<std::function<bool()>> *steps;
    size_t next;
    long long deadline;
    bool finished;
};

int pollSteps(void *data)
{
    StepRun *run = static_cast<StepRun *>(data);
    while (run->next < run->steps->size() && (*run->steps)[run->next]())
        run->next++;
    if (run->next == run->steps->size()) {
        run->finished = true;
        client_server_stop();
        return 1;
    }
    if (nowMs() >= run->deadline) {
        client_server_stop();
        return 1;
    }
    return 0;
}

} // namespace

bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs, int pollMs)
{
    StepRun run = {&steps, 0, nowMs() + timeoutMs, false};
    if (client_server_add_timer(pollMs, pollSteps, &run) < 0) {
        ADD_FAILURE() << "no timer for the test steps";
        return false;
    }
    client_server_main_loop();
    if (!run.finished)
        ADD_FAILURE() << "main loop timed out at step " << run.next << " of " << steps.size();
    return run.finished;
}

StderrCapture::StderrCapture()
{
    fflush(stderr);
    char path[] = "/tmp/qv-net-stderr-XXXXXX";
    file = mkstemp(path);
    if (file >= 0)
        unlink(path);
    saved = dup(2);
    if (file >= 0)
        dup2(file, 2);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
    if (file >= 0)
        close(file);
}

std::string StderrCapture::text()
{
    fflush(stderr);
    std::string out;
    if (file < 0)
        return out;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(file, buf, sizeof buf, at)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

DescriptorFiller::DescriptorFiller(int limit) : filled(false)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    const rlim_t want = static_cast<rlim_t>(limit) + 64;
    if (rl.rlim_cur < want) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want)
            return;
        rl.rlim_cur = want;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            return;
    }
    const int base = open("/dev/null", O_RDONLY);
    if (base < 0)
        return;
    fds.push_back(base);
    // dup() gives the lowest free number, so the gaps fill first.
    for (int i = 0; i < limit + 1; i++) {
        const int fd = dup(base);
        if (fd < 0)
            return;
        if (fd >= limit) {
            close(fd);
            filled = true;
            return;
        }
        fds.push_back(fd);
    }
}

DescriptorFiller::~DescriptorFiller()
{
    for (int fd : fds)
        close(fd);
}

void DescriptorFiller::releaseOne()
{
    if (fds.empty())
        return;
    close(fds.back());
    fds.pop_back();
}

std::vector<std::string> events;
std::function<void(const std::string &)> onEvent;

static void record(const std::string &event)
{
    events.push_back(event);
    if (onEvent)
        onEvent(event);
}

void recordMessage(int handle, int msgType, const char *data, int len)
{
    record("message " + std::to_string(handle) + " " + std::to_string(msgType) + " " +
           std::string(data, static_cast<size_t>(len)));
}

void recordConnect(int handle, int success)
{
    const int err = errno;
    record("connect " + std::to_string(handle) + " " + std::to_string(success) + " " +
           std::to_string(success ? 0 : err));
}

void recordAccept(int handle)
{
    record("accept " + std::to_string(handle));
}

void recordDisconnect(int handle)
{
    record("disconnect " + std::to_string(handle));
}

client_callbacks recordingClient()
{
    return client_callbacks{recordMessage, recordConnect, recordDisconnect};
}

server_callbacks recordingServer()
{
    return server_callbacks{recordAccept, recordDisconnect, recordMessage};
}

int countEvents(const std::string &prefix)
{
    int n = 0;
    for (const std::string &e : events)
        if (e.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}

bool hasEvent(const std::string &record)
{
    for (const std::string &e : events)
        if (e == record)
            return true;
    return false;
}

} // namespace nettest
