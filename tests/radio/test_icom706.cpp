#include "Icom706.h"

#include <gtest/gtest.h>

#include <memory>

#include "CsTimer.h"
#include "IoctlSerialLines.h"
#include "CsEventMsg.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "radio_support.h"
#include "recorder.h"
#include "text.h"

using namespace kit;

namespace {

// Runs the loop until the owner has heard count events (or boundMs passed).
bool runUntilEvents(Recorder& owner, size_t count, int boundMs = 3000)
{
    return runUntil([&] { return owner.events.size() >= count; }, boundMs);
}

// A timer owner that counts ticks, to show that the loop still serves its
// timers.
class TickCounter : public CsApplication {
public:
    int callback(CsApplication *, const CsEventMsg *) override
    {
        ticks++;
        return 0;
    }
    int ticks = 0;
};

TEST(Icom706Reading, DeliversEachFrameWithItsEndBytePutBack)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        ASSERT_GE(link.getFd(), 0);
        // Two frames in one burst still come one per read.
        pty.send({0xFE, 0x0B, 0x00, 0xFD, 0xFE, 0x60, 0x01, 0x02, 0xFD});
        ASSERT_TRUE(runUntilEvents(owner, 2));
        ASSERT_EQ(owner.events.size(), 2u);
        EXPECT_EQ(owner.events[0].sender, &link);
        EXPECT_EQ(hex(owner.events[0].data), hex({0xFE, 0x0B, 0x00, 0xFD}));
        EXPECT_EQ(hex(owner.events[1].data), hex({0xFE, 0x60, 0x01, 0x02, 0xFD}));
        EXPECT_EQ(owner.events[0].type, -1);
        EXPECT_EQ(owner.events[0].handle, -1);
    });
}

TEST(Icom706Reading, PassesControlBytesAndCarriageReturnUnchanged)
{
    // With the default line set-up these would be translated, erased,
    // turned into signals or flow control, or end the frame.
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        Bytes frame = {0xFE, 0x00, 0x03, 0x04, 0x0D, 0x11, 0x13, 0x15, 0x17, 0x1A, 0x1C, 0x7F, 0xFF, 0xFD};
        pty.send(frame);
        ASSERT_TRUE(runUntilEvents(owner, 1));
        EXPECT_EQ(hex(owner.events[0].data), hex(frame));
    });
}

TEST(Icom706Reading, LineFeedEndsAReadSoTheFrameArrivesInTwoParts)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        pty.send({0xFE, 0x60, 0x0A, 0x01, 0xFD});
        ASSERT_TRUE(runUntilEvents(owner, 2));
        EXPECT_EQ(hex(owner.events[0].data), hex({0xFE, 0x60, 0x0A, 0xFD}));
        EXPECT_EQ(hex(owner.events[1].data), hex({0x01, 0xFD}));
    });
}

TEST(Icom706Reading, LoneEndByteDeliversNothingAndReadingGoesOn)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        pty.send({0xFD, 0xFD, 0xFE, 0x0B, 0x00, 0xFD});
        ASSERT_TRUE(runUntilEvents(owner, 1));
        ASSERT_EQ(owner.events.size(), 1u);
        EXPECT_EQ(hex(owner.events[0].data), hex({0xFE, 0x0B, 0x00, 0xFD}));
    });
}

TEST(Icom706Reading, LongLineIsCutAtTheLargestReadWithoutRunningPastTheBuffer)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 0, 8);
        Bytes line;
        for (int i = 0; i < 20; i++)
            line.push_back(static_cast<unsigned char>(0x20 + i));
        line.push_back(0xFD);
        pty.send(line);
        ASSERT_TRUE(runUntilEvents(owner, 3));
        ASSERT_EQ(owner.events.size(), 3u);
        EXPECT_EQ(owner.events[0].data.size(), 9u);
        EXPECT_EQ(owner.events[1].data.size(), 9u);
        EXPECT_EQ(owner.events[2].data.size(), 5u);
        Bytes joined;
        for (const auto& e : owner.events) {
            EXPECT_EQ(e.data.back(), '\xFD');
            joined.insert(joined.end(), e.data.begin(), e.data.end() - 1);
        }
        EXPECT_EQ(hex(joined), hex(Bytes(line.begin(), line.end() - 1)));
    });
}

TEST(Icom706Reading, ReadingTurnedOffLeavesTheLoopToItsTimers)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        TickCounter counter;
        Icom706 link(&owner, pty.slavePath(), 0, 0);
        ASSERT_GE(link.getFd(), 0);
        pty.send({0xFE, 0x0B, 0x00, 0xFD});
        CsTimer timer(&counter, 5, 0);
        EXPECT_TRUE(runUntil([&] { return counter.ticks >= 10; }, 5000));
        EXPECT_TRUE(owner.events.empty());
        // Still open for writing.
        EXPECT_EQ(link.write("\xFE\xFD", 2), 0);
        EXPECT_EQ(hex(pty.take(2, 1000)), hex({0xFE, 0xFD}));
    });
}

TEST(Icom706Reading, HungUpLineStopsBeingReadAndTimersGoOn)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        TickCounter counter;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        pty.hangUp();
        CsTimer timer(&counter, 5, 0);
        EXPECT_TRUE(runUntil([&] { return counter.ticks >= 10; }, 5000));
        EXPECT_TRUE(owner.events.empty());
    });
}

TEST(Icom706Reading, InterruptedReadIsNoHangUpWhateverTheVerboseLineDoesToErrno)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 1, 256);
        ASSERT_GE(link.getFd(), 0);
        readInterruptedWhileOutputFails([&] { link.onReady(); });
        EXPECT_NE(link.getWatchHandle(), -1) << "an interrupted read stopped the reading";
        pty.send({0xFE, 0x0B, 0x00, 0xFD});
        ASSERT_TRUE(runUntilEvents(owner, 1));
        EXPECT_EQ(hex(owner.events[0].data), hex({0xFE, 0x0B, 0x00, 0xFD}));
    });
}

TEST(Icom706Reading, RefusedFrameReachesTheReaderFallbackOnce)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        owner.answer = -1;
        Icom706 link(&owner, pty.slavePath(), 1, 256);
        pty.send({0xFE, 0x0B, 0x00, 0xFD});
        testing::internal::CaptureStdout();
        runUntilEvents(owner, 1);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(owner.events.size(), 1u);
        EXPECT_NE(out.find("Read 3 from "), std::string::npos) << out;
        EXPECT_EQ(out.find("IB:Invalid callback !\n"), out.rfind("IB:Invalid callback !\n")) << out;
        EXPECT_NE(out.find("IB:Invalid callback !\n"), std::string::npos) << out;
    });
}

TEST(Icom706Writing, WritesBytesUnchangedAndPrintsThemWhenVerbose)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        Icom706 link(&owner, pty.slavePath(), 1, 256);
        testing::internal::CaptureStdout();
        EXPECT_EQ(link.write("\xFE\x0A\x0D\x00\xFD", 5), 0);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "fe 0a 0d 00 fd \n");
        // No output processing: the line feed gets no carriage return.
        EXPECT_EQ(hex(pty.take(5, 1000)), hex({0xFE, 0x0A, 0x0D, 0x00, 0xFD}));
    });
}

TEST(Icom706Writing, QuietLinkPrintsNothing)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        testing::internal::CaptureStdout();
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        link.write("\xFE\xFD", 2);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    });
}

TEST(Icom706Writing, RefusesWithoutDeviceAndWithoutBytes)
{
    runIsolated([] {
        Recorder owner;
        Icom706 missing(&owner, "/nonexistent/quorvane-tty", 0, 256);
        EXPECT_EQ(missing.getFd(), -1);
        EXPECT_EQ(missing.write("\xFE\xFD", 2), -1);

        Line pty;
        Icom706 link(&owner, pty.slavePath(), 1, 256);
        EXPECT_EQ(link.write(nullptr, 4), -1);
        EXPECT_EQ(link.write("\xFE", -1), -1);
        EXPECT_EQ(link.write("", 0), 0);
        EXPECT_TRUE(pty.take(1, 50).empty());
    });
}

TEST(Icom706Lines, SettersChangeOnlyTheirOwnLine)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        TestLines lines;
        lines.raise(TIOCM_CAR | TIOCM_DSR);
        Icom706 link(&owner, pty.slavePath(), 0, 256, &lines);
        link.dtrOn();
        link.rtsOn();
        EXPECT_TRUE(lines.up(TIOCM_DTR));
        EXPECT_TRUE(lines.up(TIOCM_RTS));
        link.dtrOff();
        EXPECT_FALSE(lines.up(TIOCM_DTR));
        EXPECT_TRUE(lines.up(TIOCM_RTS));
        link.dtrOn();
        link.rtsOff();
        EXPECT_TRUE(lines.up(TIOCM_DTR));
        EXPECT_FALSE(lines.up(TIOCM_RTS));
        // The written bits keep the inputs as they were read.
        ASSERT_FALSE(lines.writes.empty());
        EXPECT_EQ(lines.writes.back().bits, TIOCM_CAR | TIOCM_DSR | TIOCM_DTR);
    });
}

TEST(Icom706Lines, TestsReportEachInputLine)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        TestLines lines;
        Icom706 link(&owner, pty.slavePath(), 0, 256, &lines);
        EXPECT_EQ(link.isCarrier() + link.isCts() + link.isDsr(), 0);
        lines.raise(TIOCM_CTS);
        EXPECT_EQ(link.isCts(), 1);
        EXPECT_EQ(link.isCarrier(), 0);
        EXPECT_EQ(link.isDsr(), 0);
        lines.raise(TIOCM_CAR);
        EXPECT_EQ(link.isCarrier(), 1);
        lines.bits = TIOCM_DSR;
        EXPECT_EQ(link.isDsr(), 1);
        EXPECT_EQ(link.isCts(), 0);
    });
}

TEST(Icom706Lines, TestsAnswerZeroWhenTheLineBitsCannotBeRead)
{
    runIsolated([] {
        Recorder owner;
        // Not open: the calls go to descriptor -1 and fail.
        Icom706 missing(&owner, "/nonexistent/quorvane-tty", 0, 256);
        EXPECT_EQ(missing.isCarrier(), 0);
        EXPECT_EQ(missing.isCts(), 0);
        EXPECT_EQ(missing.isDsr(), 0);
        missing.dtrOn();
        missing.rtsOn();

        // Open, but a pseudo-terminal has no modem lines: TIOCMGET fails.
        Line pty;
        Icom706 link(&owner, pty.slavePath(), 0, 256);
        IoctlSerialLines real;
        int bits = 0;
        ASSERT_EQ(real.get(link.getFd(), &bits), -1);
        EXPECT_EQ(link.isCarrier(), 0);
        EXPECT_EQ(link.isCts(), 0);
        EXPECT_EQ(link.isDsr(), 0);
    });
}

TEST(Icom706Lines, FailedReadNeitherCountsAsLineStateNorIsWrittenBack)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        TestLines lines;
        lines.bits = ~0;
        lines.failRead = true;
        Icom706 link(&owner, pty.slavePath(), 0, 256, &lines);
        EXPECT_EQ(link.isCarrier(), 0);
        EXPECT_EQ(link.isCts(), 0);
        EXPECT_EQ(link.isDsr(), 0);
        link.dtrOff();
        link.rtsOn();
        EXPECT_TRUE(lines.writes.empty());
    });
}

TEST(Icom706Lifetime, ClosesItsDeviceWhenDestroyed)
{
    runIsolated([] {
        Line pty;
        Recorder owner;
        auto link = std::make_unique<Icom706>(&owner, pty.slavePath(), 0, 256);
        int fd = link->getFd();
        ASSERT_GE(fd, 0);
        link.reset();
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
    });
}

// Deletes an object from a watch that the loop serves before the object's
// own, in the pass in which the object's line is readable too.
class Destroyer : public CsApplication {
public:
    explicit Destroyer(std::unique_ptr<Icom706>& victim)
        : victim(victim)
    {
    }
    static int ready(int fd, void *object)
    {
        char b;
        (void)!::read(fd, &b, 1);
        Destroyer *self = static_cast<Destroyer *>(object);
        self->victim.reset();
        self->atMs = nowMs();
        return 0;
    }
    std::unique_ptr<Icom706>& victim;
    long long atMs = 0;
};

TEST(Icom706Lifetime, DestroyedInAPassWhereItsLineIsReadableIsNotCalled)
{
    runIsolated([] {
        Recorder owner;
        std::unique_ptr<Icom706> link;
        Destroyer destroyer(link);
        int trigger[2];
        ASSERT_EQ(pipe(trigger), 0);
        // Registered first, so served first in a pass.
        ASSERT_NE(client_server_add_input(1, trigger[0], Destroyer::ready, &destroyer), -1);
        Line pty;
        link = std::make_unique<Icom706>(&owner, pty.slavePath(), 0, 256);
        pty.send({0xFE, 0x0B, 0x00, 0xFD});
        // Both descriptors readable before the loop's first pass.
        usleep(50000);
        ASSERT_EQ(::write(trigger[1], "x", 1), 1);
        // A few more passes after the deletion: nothing may arrive from the
        // dead reader.
        runUntil([&] { return link == nullptr && nowMs() > destroyer.atMs + 50; }, 3000);
        EXPECT_EQ(link, nullptr);
        EXPECT_TRUE(owner.events.empty());
        client_server_remove_input(1, trigger[0]);
        close(trigger[0]);
        close(trigger[1]);
    });
}

} // namespace
