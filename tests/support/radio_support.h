// What the radio tests share: link bytes, the serial line's far end on a
// pseudo-terminal, and modem-control lines played by the test (the only
// thing the platform has nothing real for). Header-only: the test kit's
// library links the communication library alone.
#ifndef QUORVANE_TESTS_RADIO_SUPPORT_H
#define QUORVANE_TESTS_RADIO_SUPPORT_H

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "SerialLines.h"
#include "loopback.h"
#include "terminal.h"

namespace kit {

using Bytes = std::vector<unsigned char>;

inline Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}
// Bytes, or a message's text, in hex; a braced list is taken as Bytes.
template <typename Text = Bytes> std::string hex(const Text &text)
{
    std::string out;
    char piece[4];
    for (unsigned char b : text) {
        snprintf(piece, sizeof piece, "%02x ", b);
        out += piece;
    }
    return out;
}
// "100" followed by the bytes: a RAW radio command message. (Sized up
// front: growing a three-byte vector trips a false bounds warning of g++ 12
// at -O2.)
inline Bytes raw(const Bytes &payload)
{
    Bytes text(3 + payload.size());
    text[0] = '1';
    text[1] = text[2] = '0';
    std::copy(payload.begin(), payload.end(), text.begin() + 3);
    return text;
}

// A serial line whose far end the test plays on the master side: send() is
// what the radio, control unit or bus puts on the line, take() what the
// object under test wrote (at least atLeast bytes, unless waitMs pass first).
class Line : public Pty {
public:
    void send(const Bytes &bytes)
    {
        EXPECT_TRUE(sendAll(master(), std::string(bytes.begin(), bytes.end()), 2000))
            << "could not put everything on the line";
    }
    Bytes take(size_t atLeast = 0, int waitMs = 0)
    {
        const std::string first = readExactly(master(), atLeast, waitMs);
        return text(first + readAvailable(master()));
    }
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
        *out = failRead ? ~0 : bits; // a failed read leaves no line state: every line looks up
        return failRead ? -1 : 0;
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
        int previous = 0, at = -1;
        for (const Change &c : writes) {
            if (((previous & bit) != 0) != ((c.bits & bit) != 0) && ((c.bits & bit) != 0) == wentUp)
                at = c.reads;
            previous = c.bits;
        }
        return at;
    }

    int bits = 0;          // current line bits (TIOCM_*)
    bool failRead = false; // make every TIOCMGET fail
    int reads = 0;         // TIOCMGET calls so far
    std::vector<Change> writes;                 // every TIOCMSET
    std::function<void(TestLines &)> beforeRead; // runs at each read, before the answer
};

// Calls readOnce (a reader's onReady() on a line with nothing to read) so
// that its blocking read is interrupted by a signal while whatever it prints
// on standard output fails: the print leaves an errno of its own (ENOSPC)
// behind the read's EINTR. Standard output is back as it was afterwards.
inline void readInterruptedWhileOutputFails(const std::function<void()> &readOnce)
{
    fflush(stdout);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0) << strerror(errno);
    const int savedOut = dup(1);
    dup2(full, 1);
    close(full);
    setvbuf(stdout, nullptr, _IONBF, 0); // each print reaches the device, and fails, at once
    struct sigaction interrupt = {}, saved;
    interrupt.sa_handler = [](int) {};
    sigemptyset(&interrupt.sa_mask); // no SA_RESTART: the read returns EINTR
    sigaction(SIGALRM, &interrupt, &saved);
    struct itimerval once = {{0, 0}, {0, 50000}};
    setitimer(ITIMER_REAL, &once, nullptr);
    readOnce();
    once = {};
    setitimer(ITIMER_REAL, &once, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    dup2(savedOut, 1);
    close(savedOut);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

} // namespace kit

#endif
