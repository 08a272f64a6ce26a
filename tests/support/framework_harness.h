// Test harness for the framework objects: isolated runs in forked children,
// a scripted run of the one main loop, an owner that records what it is
// told, and loopback peers.
//
// Header-only: it uses the framework classes, and the shared support
// library links only the communication library.
#ifndef QUORVANE_TESTS_FRAMEWORK_HARNESS_H
#define QUORVANE_TESTS_FRAMEWORK_HARNESS_H

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CsApplication.h"
#include "CsEventMsg.h"
#include "client_server.h"

#if defined(__SANITIZE_ADDRESS__)
#define FWTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWTEST_ASAN 1
#endif
#endif
#ifdef FWTEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace fwtest {

inline double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct ChildRun {
    bool passed = false;  // exited with 0 within the limit
    int status = 0;       // as from waitpid
    bool finished = false;
    std::string out;      // the child's standard output
    std::string err;      // the child's standard error
    std::string describe() const
    {
        return "child status " + std::to_string(status) + (finished ? "" : " (killed at the limit)") +
               "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
    }
};

// The library initialises once per process and its main loop runs once, so
// every test that constructs a framework object runs in a child of its own.
// GoogleTest failures in the child are printed on its standard output and
// fail the run through the exit status; so do sanitizer findings and leaks.
// A child still running after limitSeconds is killed.
inline ChildRun inChild(const std::function<void()> &body, double limitSeconds = 30)
{
    ChildRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return run;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return run;
    }
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        body();
        fflush(stdout);
        int failed = ::testing::Test::HasFailure() ? 1 : 0;
#ifdef FWTEST_ASAN
        if (__lsan_do_recoverable_leak_check() != 0)
            failed = 1;
#endif
        _exit(failed);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    double deadline = monotonicSeconds() + limitSeconds;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        double left = deadline - monotonicSeconds();
        if (left <= 0)
            break;
        if (poll(fds, 2, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    run.finished = open == 0;
    if (!run.finished)
        kill(pid, SIGKILL);
    waitpid(pid, &run.status, 0);
    run.passed = run.finished && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    return run;
}

// Number of non-overlapping occurrences of needle in text.
inline int countOf(const std::string &text, const std::string &needle)
{
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

// A scripted run of the main loop: actions at given times after the start,
// an optional end condition, and a bound that always stops the loop. A
// library timer polls every 5 ms, so actions run from inside the loop like
// any other callback.
class Script
{
public:
    void at(int ms, std::function<void()> action) { steps.push_back({ms, std::move(action), false}); }
    void stopWhen(std::function<bool()> condition) { done = std::move(condition); }

    // Milliseconds since run() started.
    int elapsedMs() const { return static_cast<int>((monotonicSeconds() - started) * 1000); }

    // Runs the loop through CsApplication::run until the condition holds or
    // boundMs have passed; true when the condition held (or there was none).
    // Needs a constructed framework object (the library is then ready).
    bool run(int boundMs)
    {
        bound = boundMs;
        started = monotonicSeconds();
        if (client_server_add_timer(5, tick, this) < 0) {
            ADD_FAILURE() << "no poll timer";
            return false;
        }
        int result = CsApplication::run();
        EXPECT_EQ(result, 0) << "main loop failed";
        return !done || conditionMet;
    }

private:
    struct Step {
        int ms;
        std::function<void()> action;
        bool taken;
    };

    static int tick(void *object)
    {
        Script *script = static_cast<Script *>(object);
        int now = script->elapsedMs();
        for (size_t i = 0; i < script->steps.size(); ++i) {
            if (!script->steps[i].taken && script->steps[i].ms <= now) {
                script->steps[i].taken = true;
                // An action may add steps; run a copy.
                std::function<void()> action = script->steps[i].action;
                action();
            }
        }
        if (script->done && script->done())
            script->conditionMet = true;
        if (script->conditionMet || now >= script->bound) {
            CsApplication::stop();
            return 1;
        }
        return 0;
    }

    std::vector<Step> steps;
    std::function<bool()> done;
    bool conditionMet = false;
    int bound = 0;
    double started = 0;
};

// One event as an owner saw it.
struct Event {
    CsApplication *sender;
    bool hasMessage;
    int type;
    int handle;
    std::string data;
    double when; // monotonic seconds
};

// An owner that records every event and answers with a chosen result;
// react, when set, runs after the event has been recorded.
class Recorder : public CsApplication
{
public:
    Recorder() = default;
    int callback(CsApplication *sender, const CsEventMsg *msg) override
    {
        Event event{sender, msg != nullptr, msg ? msg->getType() : 0, msg ? msg->getHandle() : 0,
                    msg && msg->getData() ? std::string(msg->getData(), static_cast<size_t>(msg->getLength()))
                                          : std::string(),
                    monotonicSeconds()};
        events.push_back(event);
        if (react)
            react(events.back());
        return answer;
    }
    // Events of one type (the connection objects' EVENT_* codes).
    std::vector<Event> ofType(int type) const
    {
        std::vector<Event> found;
        for (const Event &event : events)
            if (event.hasMessage && event.type == type)
                found.push_back(event);
        return found;
    }
    // The payloads of the EVENT_DATA events, joined.
    std::string dataReceived() const
    {
        std::string all;
        for (const Event &event : ofType(EVENT_DATA))
            all += event.data;
        return all;
    }

    std::vector<Event> events;
    std::function<void(const Event &)> react;
    int answer = 0;
};

// A loopback TCP listener driven by the test with plain system calls.
class Listener
{
public:
    // port 0 takes an ephemeral port.
    explicit Listener(int port = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
            ADD_FAILURE() << "listener on port " << port << ": " << strerror(errno);
            ::close(fd);
            fd = -1;
            return;
        }
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        boundPort = ntohs(address.sin_port);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    ~Listener()
    {
        close();
        for (int peer : peers)
            ::close(peer);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // An accepted connection (kept, closed by the destructor), or -1 when
    // none is waiting.
    int acceptOne()
    {
        if (fd < 0)
            return -1;
        int peer = accept(fd, nullptr, nullptr);
        if (peer >= 0)
            peers.push_back(peer);
        return peer;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Closes an accepted connection early.
    void drop(int peer)
    {
        for (size_t i = 0; i < peers.size(); ++i)
            if (peers[i] == peer) {
                ::close(peer);
                peers.erase(peers.begin() + static_cast<long>(i));
                return;
            }
    }
    int port() const { return boundPort; }
    std::string portText() const { return std::to_string(boundPort); }

private:
    int fd = -1;
    int boundPort = 0;
    std::vector<int> peers;
};

// A loopback port that nothing listens on at the moment of the call.
inline int probeFreePort()
{
    Listener probe;
    return probe.port();
}

// A blocking loopback client socket connected to port, or -1.
inline int connectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whatever fd has to read right now, without waiting.
inline std::string readAvailable(int fd)
{
    std::string text;
    char buffer[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

} // namespace fwtest

#endif
