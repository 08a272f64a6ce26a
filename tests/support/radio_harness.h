// Test harness of the radio objects: a run in a forked child (the main loop
// runs once per process), a pseudo-terminal whose far end the test plays,
// modem-control lines that the test drives, an owner that records what it is
// told, and a bounded run of the main loop.
//
// Header-only: it uses the framework and radio classes, and the shared
// support library links only the communication library.
#ifndef QUORVANE_TESTS_RADIO_HARNESS_H
#define QUORVANE_TESTS_RADIO_HARNESS_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsApplication.h"
#include "CsEventMsg.h"
#include "SerialLines.h"
#include "client_server.h"

#if defined(__SANITIZE_ADDRESS__)
#define RADIOTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RADIOTEST_ASAN 1
#endif
#endif
#ifdef RADIOTEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace radiotest {

using Bytes = std::vector<unsigned char>;

inline long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline std::string hex(const Bytes& bytes)
{
    std::string out;
    char piece[4];
    for (unsigned char b : bytes) {
        snprintf(piece, sizeof piece, "%02x ", b);
        out += piece;
    }
    return out;
}

inline Bytes bytesOf(const char *data, int length)
{
    if (!data || length <= 0)
        return Bytes();
    return Bytes(reinterpret_cast<const unsigned char *>(data), reinterpret_cast<const unsigned char *>(data) + length);
}

// "100" followed by the bytes: a RAW radio command message.
inline Bytes raw(const Bytes& payload)
{
    // Sized up front: growing a three-byte vector trips a false bounds
    // warning of g++ 12 at -O2.
    Bytes text(3 + payload.size());
    text[0] = '1';
    text[1] = '0';
    text[2] = '0';
    std::copy(payload.begin(), payload.end(), text.begin() + 3);
    return text;
}

inline Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Non-overlapping occurrences of needle in haystack.
inline int countOf(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size()))
        n++;
    return n;
}

// Runs body in a child process of its own and fails the test when the child
// fails: GoogleTest failures inside it (printed on its output), a crash, a
// sanitizer finding, a leak, or still running after limitMs (then killed).
// The library initialises once per process and its main loop runs once, so
// every test that constructs a framework object runs this way.
inline void inChild(const std::function<void()>& body, int limitMs = 30000)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0) << strerror(errno);
    if (pid == 0) {
        body();
        fflush(stdout);
        int failed = ::testing::Test::HasFailure() ? 1 : 0;
#ifdef RADIOTEST_ASAN
        if (__lsan_do_recoverable_leak_check() != 0)
            failed = 1;
#endif
        _exit(failed);
    }
    long long deadline = nowMs() + limitMs;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && nowMs() < deadline)
        usleep(2000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "child still running after " << limitMs << " ms";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child failed, status " << status << " (see its output above)";
}

// A pseudo-terminal pair. The object under test opens slavePath() as its
// device and sets the line up itself; the test plays the far end on the
// master: send() is what the radio, control unit or bus puts on the line,
// take() what the object wrote.
class Pty {
public:
    Pty()
    {
        fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
            return;
        }
        const char *name = ptsname(fd);
        if (name)
            path = name;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        if (fd >= 0)
            close(fd);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return fd; }
    const char *slavePath() const { return path.c_str(); }

    void send(const Bytes& bytes)
    {
        size_t done = 0;
        long long deadline = nowMs() + 2000;
        while (done < bytes.size() && nowMs() < deadline) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                usleep(1000);
        }
        EXPECT_EQ(done, bytes.size()) << "could not put everything on the line";
    }

    // Everything the object has written and the master can read now.
    Bytes take()
    {
        Bytes out;
        unsigned char buffer[512];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }

    // Reads until at least count bytes came or waitMs passed.
    Bytes takeAtLeast(size_t count, int waitMs)
    {
        Bytes out = take();
        long long deadline = nowMs() + waitMs;
        while (out.size() < count && nowMs() < deadline) {
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, 10);
            Bytes more = take();
            out.insert(out.end(), more.begin(), more.end());
        }
        return out;
    }

    // Closes the master: the object's line hangs up.
    void hangUp()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd = -1;
    std::string path;
};

// Modem-control lines played by the test. The object under test sets DTR
// and RTS; the test sets carrier detect, CTS and DSR. Every read and write
// of the line bits is counted, so a test can tie a change to the tick in
// which it happened.
class TestLines : public SerialLines {
public:
    struct Change {
        int reads; // line reads before this write
        int bits;  // the bits written
    };

    int get(int, int *out) override
    {
        reads++;
        if (beforeRead)
            beforeRead(*this);
        if (failRead) {
            // What a failed read leaves in its target is no line state: make
            // it look like every line is up.
            *out = ~0;
            return -1;
        }
        *out = bits;
        return 0;
    }

    int set(int, int value) override
    {
        writes.push_back({reads, value});
        const int outputs = TIOCM_DTR | TIOCM_RTS;
        bits = (bits & ~outputs) | (value & outputs);
        return 0;
    }

    void raise(int bit) { bits |= bit; }
    void drop(int bit) { bits &= ~bit; }
    bool up(int bit) const { return (bits & bit) != 0; }

    // The reads at which the bit last went up or down, -1 when it never did.
    int readsWhenLast(int bit, bool wentUp) const
    {
        int previous = 0;
        int at = -1;
        for (const Change& c : writes) {
            bool was = (previous & bit) != 0, is = (c.bits & bit) != 0;
            if (was != is && is == wentUp)
                at = c.reads;
            previous = c.bits;
        }
        return at;
    }

    int bits = 0;          // current line bits (TIOCM_*)
    bool failRead = false; // make every TIOCMGET fail
    int reads = 0;         // TIOCMGET calls so far
    std::vector<Change> writes;                 // every TIOCMSET
    std::function<void(TestLines&)> beforeRead; // runs at each read, before the answer
};

// An owner that records every event it is told, in order.
class Recorder : public CsApplication {
public:
    struct Event {
        CsApplication *sender;
        Bytes data;
        int type;
        int handle;
        long long atMs;
    };

    int callback(CsApplication *sender, const CsEventMsg *msg) override
    {
        Event e{sender, msg ? bytesOf(msg->getData(), msg->getLength()) : Bytes(), msg ? msg->getType() : 0,
                msg ? msg->getHandle() : 0, nowMs()};
        events.push_back(e);
        if (onEvent)
            onEvent(events.back());
        return answer;
    }

    std::vector<Bytes> from(const CsApplication *sender) const
    {
        std::vector<Bytes> out;
        for (const Event& e : events)
            if (e.sender == sender)
                out.push_back(e.data);
        return out;
    }

    std::vector<Event> events;
    int answer = 0;                            // what callback returns
    std::function<void(const Event&)> onEvent; // runs after each event is recorded
};

// Calls readOnce (a reader's onReady() on a line with nothing to read) so
// that its blocking read is interrupted by a signal and whatever it prints
// on standard output meanwhile fails: the print leaves an errno of its own
// (ENOSPC) behind the read's EINTR. Standard output is back as it was
// afterwards.
inline void readInterruptedWhileOutputFails(const std::function<void()>& readOnce)
{
    fflush(stdout);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0) << strerror(errno);
    const int savedOut = dup(1);
    ASSERT_GE(savedOut, 0);
    dup2(full, 1);
    close(full);
    // Unbuffered, so each print reaches the device, and fails, at once.
    setvbuf(stdout, nullptr, _IONBF, 0);

    struct sigaction interrupt, saved;
    memset(&interrupt, 0, sizeof interrupt);
    interrupt.sa_handler = [](int) {};
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0; // no restart: the read returns EINTR
    sigaction(SIGALRM, &interrupt, &saved);
    struct itimerval once;
    memset(&once, 0, sizeof once);
    once.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &once, nullptr);

    readOnce();

    memset(&once, 0, sizeof once);
    setitimer(ITIMER_REAL, &once, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    dup2(savedOut, 1);
    close(savedOut);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

// Runs the main loop until done() holds or boundMs have passed, checking
// every pollMs from a library timer of its own; true when done() held. With
// settleMs the loop goes on that long after done() first held, so that
// anything that should not happen has its chance to. Runs once per process
// (see inChild); needs a constructed framework object.
inline bool runLoop(const std::function<bool()>& done, int boundMs, int settleMs = 0, int pollMs = 2)
{
    struct State {
        std::function<bool()> done;
        long long deadline;
        int settleMs;
        long long metAt;
    } state{done, nowMs() + boundMs, settleMs, 0};
    auto check = [](void *object) -> int {
        State *s = static_cast<State *>(object);
        if (s->metAt == 0 && s->done && s->done())
            s->metAt = nowMs();
        long long now = nowMs();
        if ((s->metAt != 0 && now >= s->metAt + s->settleMs) || now >= s->deadline) {
            CsApplication::stop();
            return 1;
        }
        return 0;
    };
    if (client_server_add_timer(pollMs, check, &state) < 0) {
        ADD_FAILURE() << "no loop timer";
        return false;
    }
    EXPECT_EQ(CsApplication::run(), 0) << "main loop failed";
    return state.metAt != 0;
}

} // namespace radiotest

#endif
