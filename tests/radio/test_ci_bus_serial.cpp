#include "CiBusSerial.h"

#include <gtest/gtest.h>

#include <memory>

#include "CsEventMsg.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "radio_support.h"
#include "recorder.h"
#include "text.h"

using namespace kit;

namespace {

// Short delays for most tests: resend after 20 ms, give up after 200 ms.
const int retryMs = 20;
const int limitMs = 200;

Bytes frameOf(const Bytes& payload)
{
    Bytes f = {0xFE, 0xFE};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0xFD);
    return f;
}

// The other stations of the bus and the bus itself, on the pseudo-terminal's
// master: a watch in the same main loop reads every frame the driver puts on
// the line, logs it with its time and answers what answer() gives back (its
// echo, a corrupted echo, another station's frame, or nothing).
class BusPeer {
public:
    struct Seen {
        Bytes frame;
        long long atMs;
    };

    explicit BusPeer(Line& pty)
        : pty(pty)
    {
        EXPECT_NE(client_server_add_input(1, pty.master(), ready, this), -1);
    }
    ~BusPeer() { client_server_remove_input(1, pty.master()); }

    // Answer to the index-th frame seen (0-based); the default echoes it.
    std::function<Bytes(const Bytes& frame, size_t index)> answer = [](const Bytes& f, size_t) { return f; };

    std::vector<Seen> seen;

    size_t count(const Bytes& frame) const
    {
        size_t n = 0;
        for (const Seen& s : seen)
            if (s.frame == frame)
                n++;
        return n;
    }

private:
    static int ready(int, void *object)
    {
        BusPeer *peer = static_cast<BusPeer *>(object);
        Bytes in;
        unsigned char buffer[256];
        ssize_t n;
        while ((n = ::read(peer->pty.master(), buffer, sizeof buffer)) > 0)
            in.insert(in.end(), buffer, buffer + n);
        if (n < 0 && errno == EIO) {
            // The driver closed its end: the master stays readable with
            // nothing to read, so stop watching it.
            client_server_remove_input(1, peer->pty.master());
        }
        peer->partial.insert(peer->partial.end(), in.begin(), in.end());
        Bytes frame;
        Bytes rest;
        for (unsigned char b : peer->partial) {
            frame.push_back(b);
            if (b == 0xFD) {
                peer->seen.push_back({frame, nowMs()});
                Bytes reply = peer->answer(frame, peer->seen.size() - 1);
                if (!reply.empty())
                    peer->pty.send(reply);
                frame.clear();
            }
        }
        peer->partial = frame;
        return 0;
    }

    Line& pty;
    Bytes partial;
};

struct Rig {
    explicit Rig(int verbose = 0, int retry = retryMs, int limit = limitMs, int maxRead = 64)
    {
        bus = std::make_unique<CiBusSerial>(&owner, pty.slavePath(), verbose, maxRead, retry, limit);
        peer = std::make_unique<BusPeer>(pty);
    }
    ~Rig()
    {
        peer.reset();
        bus.reset();
    }

    bool runUntilIdle(int boundMs = 5000)
    {
        return runUntil([&] { return bus->queued() == 0 && !bus->isWriting(); }, boundMs);
    }

    Line pty;
    Recorder owner;
    std::unique_ptr<CiBusSerial> bus;
    std::unique_ptr<BusPeer> peer;
};

TEST(CiBusSerialWrite, QueuesTheFramedPayloadAndRefusesEmptyPayloads)
{
    runIsolated([] {
        testing::internal::CaptureStdout();
        Rig rig;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "fifo size is [0]\n");
        EXPECT_EQ(rig.bus->checkOpen(), 0);
        const unsigned char one = 0x42;
        EXPECT_EQ(rig.bus->write(&one, 0), -2);
        EXPECT_EQ(rig.bus->write(nullptr, 3), -2);
        EXPECT_EQ(rig.bus->write(&one, -1), -2);
        EXPECT_EQ(rig.bus->queued(), 0);
        EXPECT_FALSE(rig.bus->isWriting());
        EXPECT_EQ(rig.bus->write(&one, 1), 0);
        EXPECT_TRUE(rig.bus->isWriting());
        EXPECT_EQ(hex(rig.pty.take(4, 500)), hex({0xFE, 0xFE, 0x42, 0xFD}));
    });
}

TEST(CiBusSerialWrite, DeviceThatDoesNotOpenRefusesEveryWrite)
{
    runIsolated([] {
        Recorder owner;
        testing::internal::CaptureStdout();
        CiBusSerial bus(&owner, "/nonexistent/quorvane-tty", 1, 64);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "fifo size is [0]\nCiBusSerial() : try to open device /nonexistent/quorvane-tty\n");
        EXPECT_EQ(bus.checkOpen(), -1);
        EXPECT_EQ(bus.getFd(), -1);
        const unsigned char b = 1;
        EXPECT_EQ(bus.write(&b, 1), -1);
        EXPECT_EQ(bus.write(nullptr, 0), -1);
        EXPECT_EQ(bus.queued(), 0);
    });
}

TEST(CiBusSerialQueue, SendsFramesOneAtATimeInOrderEachAfterThePreviousEcho)
{
    runIsolated([] {
        Rig rig;
        std::vector<std::string> log;
        rig.peer->answer = [&](const Bytes& f, size_t) {
            log.push_back("sent " + hex(f));
            log.push_back("echo " + hex(f));
            return f;
        };
        const unsigned char a[] = {0xA0, 0x01}, b[] = {0xB0}, c[] = {0xC0, 0x03, 0x04};
        rig.bus->write(a, 2);
        rig.bus->write(b, 1);
        rig.bus->write(c, 3);
        EXPECT_EQ(rig.bus->queued(), 3);
        ASSERT_TRUE(rig.runUntilIdle());
        ASSERT_EQ(rig.peer->seen.size(), 3u);
        EXPECT_EQ(rig.peer->seen[0].frame, frameOf({0xA0, 0x01}));
        EXPECT_EQ(rig.peer->seen[1].frame, frameOf({0xB0}));
        EXPECT_EQ(rig.peer->seen[2].frame, frameOf({0xC0, 0x03, 0x04}));
        // Each frame came only after the one before had been echoed, and in
        // a read of its own: the master never saw two frames at once.
        for (size_t i = 0; i + 1 < log.size(); i += 2)
            EXPECT_EQ(log[i].substr(5), log[i + 1].substr(5));
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(CiBusSerialQueue, WriteWhileAFrameAwaitsItsEchoWaitsForIt)
{
    runIsolated([] {
        Rig rig;
        size_t seenAtSecondWrite = 0;
        rig.peer->answer = [&](const Bytes& f, size_t index) {
            if (index == 0) {
                // Queued from inside the loop while the first is on the line.
                const unsigned char b[] = {0xB1};
                EXPECT_EQ(rig.bus->write(b, 1), 0);
                seenAtSecondWrite = rig.peer->seen.size();
                EXPECT_EQ(rig.bus->queued(), 2);
            }
            return f;
        };
        const unsigned char a[] = {0xA1};
        rig.bus->write(a, 1);
        ASSERT_TRUE(rig.runUntilIdle());
        EXPECT_EQ(seenAtSecondWrite, 1u);
        ASSERT_EQ(rig.peer->seen.size(), 2u);
        EXPECT_EQ(rig.peer->seen[1].frame, frameOf({0xB1}));
    });
}

TEST(CiBusSerialEcho, MismatchingEchoCausesOneResendAfterTheRetryDelay)
{
    runIsolated([] {
        Rig rig;
        rig.peer->answer = [](const Bytes& f, size_t index) {
            Bytes echo = f;
            if (index == 0)
                echo[3] ^= 0x01; // same length, one byte differs
            return echo;
        };
        const unsigned char a[] = {0x10, 0x20, 0x30};
        rig.bus->write(a, 3);
        ASSERT_TRUE(rig.runUntilIdle());
        ASSERT_EQ(rig.peer->seen.size(), 2u);
        EXPECT_EQ(rig.peer->seen[1].frame, rig.peer->seen[0].frame);
        long long gap = rig.peer->seen[1].atMs - rig.peer->seen[0].atMs;
        EXPECT_GE(gap, retryMs - 2);
        EXPECT_LT(gap, limitMs);
    });
}

TEST(CiBusSerialEcho, SeveralMismatchesBeforeTheResendLeadToOneResend)
{
    runIsolated([] {
        Rig rig;
        rig.peer->answer = [](const Bytes& f, size_t index) {
            if (index > 0)
                return f;
            // A shorter echo, a longer one, one byte changed, and another
            // station's frame: four mismatches within the retry delay.
            Bytes shorter(f.begin(), f.end() - 2);
            shorter.push_back(0xFD);
            Bytes longer(f.begin(), f.end() - 1);
            longer.push_back(0x55);
            longer.push_back(0xFD);
            Bytes changed = f;
            changed[2] = 0x00;
            Bytes other = frameOf({0x99, 0x98});
            Bytes all;
            for (const Bytes *p : {&shorter, &longer, &changed, &other})
                all.insert(all.end(), p->begin(), p->end());
            return all;
        };
        const unsigned char a[] = {0x11, 0x22};
        rig.bus->write(a, 2);
        ASSERT_TRUE(rig.runUntilIdle());
        EXPECT_EQ(rig.peer->seen.size(), 2u);
        EXPECT_EQ(rig.peer->count(frameOf({0x11, 0x22})), 2u);
        // The other station's frame came while an echo was awaited.
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(CiBusSerialEcho, UnconfirmedFrameIsDroppedAtTheLimitFromItsFirstSendEvenWithResends)
{
    runIsolated([] {
        Rig rig;
        const Bytes first = frameOf({0x0F}), second = frameOf({0x5E});
        rig.peer->answer = [&](const Bytes& f, size_t) {
            if (f != first)
                return f;
            Bytes bad = f;
            bad[2] = 0x0E;
            return bad;
        };
        // The limit runs from the write; the peer may see the frame a little
        // later, once the loop runs.
        long long writtenAt = nowMs();
        rig.bus->write(first.data() + 2, 1);
        rig.bus->write(second.data() + 2, 1);
        ASSERT_TRUE(rig.runUntilIdle());
        size_t firstSends = rig.peer->count(first);
        ASSERT_EQ(rig.peer->count(second), 1u);
        ASSERT_EQ(rig.peer->seen.back().frame, second);
        // Resent every retry delay, never confirmed; its resends did not
        // move the limit.
        EXPECT_GE(firstSends, 3u);
        EXPECT_LE(firstSends, static_cast<size_t>(limitMs / retryMs + 1));
        long long dropAt = rig.peer->seen.back().atMs - writtenAt;
        EXPECT_GE(dropAt, limitMs - 2);
        EXPECT_LT(dropAt, 2 * limitMs);
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(CiBusSerialEcho, SilentBusDropsAfterOneSecondAndTheNextFrameGoesOutAtOnce)
{
    // The described delays themselves: resend 100 ms, give up at 1000 ms.
    runIsolated([] {
        Rig rig(0, CiBusSerial::RETRY_MS, CiBusSerial::NO_RESPONSE_MS);
        rig.peer->answer = [](const Bytes& f, size_t index) { return index == 0 ? Bytes() : f; };
        const unsigned char a[] = {0x01}, b[] = {0x02};
        long long writtenAt = nowMs();
        rig.bus->write(a, 1);
        rig.bus->write(b, 1);
        ASSERT_TRUE(rig.runUntilIdle(5000));
        ASSERT_EQ(rig.peer->seen.size(), 2u);
        long long gap = rig.peer->seen[1].atMs - writtenAt;
        EXPECT_GE(gap, 998);
        EXPECT_LT(gap, 1900);
        EXPECT_EQ(rig.peer->seen[1].frame, frameOf({0x02}));
    });
}

TEST(CiBusSerialEcho, FrameHoldingALineFeedIsNeverConfirmed)
{
    // The line feed ends a read, so the echo comes in two parts: the first
    // mismatches, the second lacks the preamble.
    runIsolated([] {
        Rig rig;
        const unsigned char a[] = {0x01, 0x0A, 0x02}, b[] = {0x03};
        long long writtenAt = nowMs();
        rig.bus->write(a, 3);
        rig.bus->write(b, 1);
        ASSERT_TRUE(rig.runUntilIdle());
        EXPECT_GE(rig.peer->count(frameOf({0x01, 0x0A, 0x02})), 2u);
        EXPECT_EQ(rig.peer->count(frameOf({0x03})), 1u);
        long long dropAt = rig.peer->seen.back().atMs - writtenAt;
        EXPECT_GE(dropAt, limitMs - 2);
    });
}

TEST(CiBusSerialStations, FramesOfOtherStationsReachTheOwnerWhileIdle)
{
    runIsolated([] {
        Rig rig;
        rig.pty.send(frameOf({0x01, 0x02}));
        rig.pty.send({0xFE, 0x01, 0x02, 0xFD});       // no double preamble
        rig.pty.send({0x00, 0xFE, 0xFE, 0x05, 0xFD}); // preamble not first
        rig.pty.send({0xFE, 0xFE, 0xFD});             // preamble only
        rig.pty.send({0xFE, 0xFD});
        rig.pty.send(frameOf({0x78}));
        rig.pty.send(frameOf({0x00, 0x0D, 0x7F}));
        ASSERT_TRUE(runUntil([&] { return rig.owner.events.size() >= 3; }, 3000, 30));
        ASSERT_EQ(rig.owner.events.size(), 3u);
        EXPECT_EQ(rig.owner.events[0].sender, rig.bus.get());
        EXPECT_EQ(hex(rig.owner.events[0].data), hex({0x01, 0x02}));
        EXPECT_EQ(hex(rig.owner.events[1].data), hex({0x78}));
        EXPECT_EQ(hex(rig.owner.events[2].data), hex({0x00, 0x0D, 0x7F}));
        EXPECT_EQ(rig.owner.events[0].type, -1);
        EXPECT_EQ(rig.owner.events[0].handle, -1);
    });
}

TEST(CiBusSerialStations, LineFeedSplitsAStationFrameAndOnlyThePartWithThePreambleCounts)
{
    runIsolated([] {
        Rig rig;
        rig.pty.send({0xFE, 0xFE, 0x01, 0x0A, 0x02, 0xFD});
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 3000));
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex({0x01, 0x0A}));
    });
}

TEST(CiBusSerialStations, ShortReadsNeverLookPastWhatWasRead)
{
    runIsolated([] {
        Rig rig;
        // Exactly one byte, on the heap, so that a look at a second one
        // would be caught.
        std::unique_ptr<unsigned char[]> one(new unsigned char[1]);
        one[0] = 0xFE;
        rig.bus->received(one.get(), 1);
        rig.bus->received(nullptr, 5);
        std::unique_ptr<unsigned char[]> two(new unsigned char[2]);
        two[0] = two[1] = 0xFE;
        rig.bus->received(two.get(), 2);
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(CiBusSerialStations, LongLineIsCutAtTheLargestRead)
{
    runIsolated([] {
        Rig rig(0, retryMs, limitMs, 8);
        Bytes payload;
        for (int i = 0; i < 12; i++)
            payload.push_back(static_cast<unsigned char>(0x30 + i));
        rig.pty.send(frameOf(payload));
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 3000, 30));
        // The first read holds the preamble and six bytes; the rest has none.
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(Bytes(payload.begin(), payload.begin() + 6)));
    });
}

TEST(CiBusSerialTrace, VerboseLinesFollowAnEchoedFrame)
{
    runIsolated([] {
        testing::internal::CaptureStdout();
        Rig rig(1);
        const unsigned char a[] = {0x05};
        rig.bus->write(a, 1);
        bool stationSent = false;
        runUntil([&] {
            if (!stationSent && rig.bus->queued() == 0) {
                stationSent = true;
                rig.pty.send(frameOf({0x07, 0x08}));
            }
            return !rig.owner.events.empty();
        }, 3000);
        std::string out = testing::internal::GetCapturedStdout();
        const char *expected[] = {"fifo size is [0]\n",
                                  "CiBusSerial() : try to open device ",
                                  "CiBusSerial() : setup of termios\n",
                                  "CiBusSerial() : add fd (",
                                  "write [4] : fe fe 05 fd \n",
                                  "CiBusSerial() : read serial\n",
                                  "CiBusSerial() : read, serial length=3)\n",
                                  "CiBusSerial() : read, ci start find\n",
                                  "CiBusSerial() : read, doning write\n",
                                  "CiBusSerial() : read, write ok\n",
                                  "CiBusSerial() : read, serial length=4)\n",
                                  "CiBusSerial() : read, new message (l=4)\n",
                                  "CiBusSerial() : read, new message, call appCB(msg)\n"};
        size_t at = 0;
        for (const char *line : expected) {
            size_t found = out.find(line, at);
            EXPECT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << out;
            if (found != std::string::npos)
                at = found;
        }
    });
}

TEST(CiBusSerialTrace, VerboseLinesOfResendAndDrop)
{
    runIsolated([] {
        Rig rig(1);
        rig.peer->answer = [](const Bytes& f, size_t index) {
            Bytes bad = f;
            bad[2] ^= 0xFF;
            return index == 0 ? bad : Bytes();
        };
        const unsigned char a[] = {0x05};
        testing::internal::CaptureStdout();
        rig.bus->write(a, 1);
        rig.runUntilIdle();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(countOf(out, "CiBusSerial() : read, write need retry...\n"), 1) << out;
        EXPECT_EQ(countOf(out, "CiBusSerial() : timer, collision retry write on bus !\n"), 1) << out;
        EXPECT_EQ(countOf(out, "CiBusSerial() : timer, no response on bus !\n"), 1) << out;
        EXPECT_EQ(countOf(out, "write [4] : fe fe 05 fd \n"), 2) << out;
    });
}

TEST(CiBusSerialTrace, TimerCallbackAnswersOnlyItsOwnTimers)
{
    runIsolated([] {
        Rig rig;
        Recorder stranger;
        EXPECT_EQ(rig.bus->callback(&stranger, nullptr), -1);
        EXPECT_EQ(rig.bus->callback(nullptr, nullptr), -1);
        EXPECT_EQ(rig.bus->callback(rig.bus.get(), nullptr), -1);
    });
}

TEST(CiBusSerialLine, HungUpBusStopsBeingReadAndTimersGoOn)
{
    runIsolated([] {
        Rig rig;
        rig.peer.reset();
        rig.pty.hangUp();
        const unsigned char a[] = {0x01};
        rig.bus->write(a, 1);
        // The frame's limit timer must still fire although the line is
        // always readable now.
        EXPECT_TRUE(rig.runUntilIdle(3000));
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(CiBusSerialLine, InterruptedReadIsNoHangUpWhateverTheVerboseLinesDoToErrno)
{
    runIsolated([] {
        Rig rig(1);
        ASSERT_GE(rig.bus->getFd(), 0);
        readInterruptedWhileOutputFails([&] { rig.bus->onReady(); });
        EXPECT_NE(rig.bus->getWatchHandle(), -1) << "an interrupted read stopped the reading";
        rig.pty.send(frameOf({0x00, 0xE0, 0x03}));
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 3000));
        EXPECT_EQ(hex(rig.owner.events[0].data), hex({0x00, 0xE0, 0x03}));
    });
}

TEST(CiBusSerialLine, ReadingNothingWithMaxReadZeroLeavesTheLoopToItsTimers)
{
    runIsolated([] {
        Rig rig(0, retryMs, limitMs, 0);
        rig.peer.reset();
        rig.pty.send(frameOf({0x01}));
        const unsigned char a[] = {0x02};
        rig.bus->write(a, 1);
        EXPECT_TRUE(rig.runUntilIdle(3000));
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

// Destroys the driver from a timer of the test when ready() says so, lets
// the loop run on, and checks that nothing more goes on the line or to the
// owner.
void destroyWhen(const char *what, const std::function<bool(Rig&)>& ready,
                 const std::function<Bytes(const Bytes&, size_t)>& answer, int queuedFrames)
{
    SCOPED_TRACE(what);
    runIsolated([&] {
        Rig rig;
        rig.peer->answer = answer;
        for (int i = 0; i < queuedFrames; i++) {
            const unsigned char b = static_cast<unsigned char>(0x40 + i);
            rig.bus->write(&b, 1);
        }
        long long goneAt = 0;
        size_t seenAtDestruction = 0;
        int fd = rig.bus->getFd();
        runUntil([&] {
            if (rig.bus && ready(rig)) {
                rig.bus.reset();
                goneAt = nowMs();
                seenAtDestruction = rig.peer->seen.size();
                rig.pty.send(frameOf({0x77}));
            }
            return goneAt != 0 && nowMs() > goneAt + limitMs + 50;
        }, 5000);
        ASSERT_NE(goneAt, 0);
        EXPECT_EQ(rig.peer->seen.size(), seenAtDestruction);
        EXPECT_TRUE(rig.owner.events.empty());
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "device left open";
    });
}

TEST(CiBusSerialLifetime, DestructionFromAnyStateIsSafe)
{
    auto echo = [](const Bytes& f, size_t) { return f; };
    auto silent = [](const Bytes&, size_t) { return Bytes(); };
    auto corrupt = [](const Bytes& f, size_t) {
        Bytes bad = f;
        bad[2] ^= 0x01;
        return bad;
    };
    destroyWhen("idle", [](Rig&) { return true; }, echo, 0);
    destroyWhen("sending with frames queued", [](Rig& r) { return r.peer->seen.size() >= 1; }, silent, 3);
    destroyWhen("resend pending", [](Rig& r) { return r.bus->isResendPending(); }, corrupt, 2);
    destroyWhen("after a drop", [](Rig& r) { return r.peer->seen.size() >= 2 && r.bus->isWriting(); }, silent, 3);
}

TEST(CiBusSerialLifetime, OwnerMayDestroyTheDriverFromAStationFrame)
{
    runIsolated([] {
        Rig rig;
        rig.owner.onEvent = [&](const Event&) {
            rig.peer.reset();
            rig.bus.reset();
        };
        rig.pty.send(frameOf({0x01}));
        rig.pty.send(frameOf({0x02}));
        runUntil([&] { return rig.bus == nullptr; }, 3000, 50);
        EXPECT_EQ(rig.bus, nullptr);
        EXPECT_EQ(rig.owner.events.size(), 1u);
    });
}

} // namespace
