#include "Icom706Ctrl.h"

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

const Bytes ctsUp = {0xFE, 0x00, 0x01, 0xFD};
const Bytes ctsDown = {0xFE, 0x00, 0x00, 0xFD};

// Each tick reads CTS, then carrier detect; construction reads DSR once. So
// tick k reads CTS as read 2k and carrier detect as read 2k + 1.
int tickOfRead(int read)
{
    return read / 2;
}
bool isCtsRead(int read)
{
    return read % 2 == 0;
}

struct Rig {
    explicit Rig(int tickMs = 5)
    {
        ctrl = std::make_unique<Icom706Ctrl>(&owner, pty.slavePath(), 7, &lines, tickMs);
        owner.onEvent = [this](const Event&) { readsAtEvent.push_back(lines.reads); };
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& e : owner.events)
            out.push_back(hex(e.data));
        return out;
    }

    Line pty;
    TestLines lines;
    Recorder owner;
    std::vector<int> readsAtEvent;
    std::unique_ptr<Icom706Ctrl> ctrl;
};

TEST(Icom706CtrlFrames, LevelGoesOutAtOnceAndTheFrameWithTheNextTick)
{
    runIsolated([] {
        Rig rig(300);
        rig.lines.raise(TIOCM_CAR);
        rig.pty.send({0xFE, 0x05, 0xFF, 0xFD});
        ASSERT_TRUE(runUntil([&] { return rig.owner.events.size() >= 2; }, 3000));
        ASSERT_EQ(rig.owner.events.size(), 2u);
        EXPECT_EQ(rig.owner.events[0].sender, rig.ctrl.get());
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(text("105100")));
        EXPECT_EQ(hex(rig.owner.events[1].data), hex(raw({0xFE, 0x05, 0xFF, 0xFD})));
        // The level came before the first tick read the lines, the frame
        // with that tick.
        EXPECT_EQ(rig.readsAtEvent[0], 1);
        EXPECT_EQ(rig.readsAtEvent[1], 1);
        EXPECT_EQ(rig.owner.events[0].type, -1);
        EXPECT_EQ(rig.owner.events[0].handle, -1);
    });
}

TEST(Icom706CtrlFrames, LevelIsTheFloorOfHundredTimesTheByteOver255)
{
    runIsolated([] {
        Rig rig(1000);
        const int bytes[] = {0x80, 0x02, 0x03, 0x00, 0xFF, 0x01, 0xFE, 0x0A + 1};
        const char *levels[] = {"105050", "105000", "105001", "105000", "105100", "105000", "105099", "105004"};
        for (int b : bytes) {
            CsEventMsg frame(Bytes{0xFE, 0x05, static_cast<unsigned char>(b), 0xFD}.data(), 4);
            EXPECT_EQ(rig.ctrl->callback(rig.ctrl->getBus(), &frame), 0);
        }
        ASSERT_EQ(rig.owner.events.size(), 8u);
        for (size_t i = 0; i < 8; i++)
            EXPECT_EQ(hex(rig.owner.events[i].data), hex(text(levels[i]))) << "byte " << bytes[i];
        // A frame too short for the value byte is collected, not measured.
        CsEventMsg shortFrame("\xFE\x05", 2);
        rig.ctrl->callback(rig.ctrl->getBus(), &shortFrame);
        EXPECT_EQ(rig.owner.events.size(), 8u);
        EXPECT_EQ(rig.ctrl->pendingBytes(), 8 * 4 + 2);
    });
}

TEST(Icom706CtrlFrames, PollFramesAreNeitherCollectedNorReported)
{
    runIsolated([] {
        Rig rig(50);
        rig.lines.raise(TIOCM_CAR);
        rig.pty.send({0xFE, 0x0B, 0x00, 0xFD, 0xFE, 0x0B, 0x01, 0xFD, 0xFE, 0x0B, 0x00, 0x33, 0xFD});
        ASSERT_TRUE(runUntil([&] { return rig.lines.reads >= 2 * 4; }, 3000));
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw({0xFE, 0x0B, 0x01, 0xFD})));
    });
}

TEST(Icom706CtrlFrames, FramesOfOneTickGoAsOneRawInArrivalOrder)
{
    runIsolated([] {
        Rig rig(200);
        rig.lines.raise(TIOCM_CAR);
        rig.pty.send({0xFE, 0x01, 0xFD, 0xFE, 0x02, 0x0A, 0x03, 0xFD});
        ASSERT_TRUE(runUntil([&] { return rig.lines.reads >= 2 * 2; }, 3000));
        ASSERT_EQ(rig.owner.events.size(), 1u);
        // The line feed ended a read, so that frame came in two parts; both
        // are collected as they came.
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw({0xFE, 0x01, 0xFD, 0xFE, 0x02, 0x0A, 0xFD, 0x03, 0xFD})));
        EXPECT_EQ(rig.ctrl->pendingBytes(), 0);
    });
}

Bytes filler(int count, unsigned char tag)
{
    Bytes frame = {0xFE, tag};
    while (static_cast<int>(frame.size()) < count - 1)
        frame.push_back(static_cast<unsigned char>(0x20 + frame.size() % 64));
    frame.push_back(0xFD);
    return frame;
}

TEST(Icom706CtrlFrames, FramesThatNoLongerFitAreDroppedWholeAndEarlierOnesStay)
{
    runIsolated([] {
        Rig rig(1000);
        Bytes a = filler(100, 0x41), b = filler(100, 0x42), c = filler(100, 0x43), d = filler(55, 0x44),
              e = filler(1, 0x45);
        for (const Bytes *f : {&a, &b, &c, &d}) {
            CsEventMsg frame(f->data(), static_cast<int>(f->size()));
            rig.ctrl->callback(rig.ctrl->getBus(), &frame);
        }
        // 100 + 100 + 55 = 255 bytes: the most the buffer holds.
        EXPECT_EQ(rig.ctrl->pendingBytes(), 255);
        CsEventMsg one(e.data(), 1);
        rig.ctrl->callback(rig.ctrl->getBus(), &one);
        EXPECT_EQ(rig.ctrl->pendingBytes(), 255);
        rig.lines.raise(TIOCM_CAR);
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 3000));
        Bytes expected = a;
        expected.insert(expected.end(), b.begin(), b.end());
        expected.insert(expected.end(), d.begin(), d.end());
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw(expected)));
    });
}

TEST(Icom706CtrlFrames, ReadLongerThanTheBuffersNeverWritesPastThem)
{
    runIsolated([] {
        Rig rig(200);
        rig.lines.raise(TIOCM_CAR);
        // 300 bytes before the end byte: the link reads 256 of them (257
        // with the end byte put back, more than the collection holds), then
        // the other 44.
        Bytes line;
        for (int i = 0; i < 300; i++)
            line.push_back(static_cast<unsigned char>(0x20 + i % 90));
        line.push_back(0xFD);
        rig.pty.send(line);
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 3000));
        ASSERT_EQ(rig.owner.events.size(), 1u);
        Bytes tail(line.begin() + 256, line.end());
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw(tail)));
    });
}

TEST(Icom706CtrlLines, CtsChangesAreReportedOnceOnTheFirstTickThatSeesThem)
{
    runIsolated([] {
        Rig rig;
        rig.lines.raise(TIOCM_CAR);
        rig.lines.beforeRead = [](TestLines& l) {
            if (!isCtsRead(l.reads))
                return;
            int tick = tickOfRead(l.reads);
            if (tick >= 3 && tick <= 12)
                l.raise(TIOCM_CTS);
            else
                l.drop(TIOCM_CTS);
        };
        ASSERT_TRUE(runUntil([&] { return tickOfRead(rig.lines.reads) >= 20; }, 5000));
        ASSERT_EQ(rig.owner.events.size(), 2u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw(ctsUp)));
        EXPECT_EQ(hex(rig.owner.events[1].data), hex(raw(ctsDown)));
        EXPECT_EQ(tickOfRead(rig.readsAtEvent[0]), 3);
        EXPECT_EQ(tickOfRead(rig.readsAtEvent[1]), 13);
    });
}

TEST(Icom706CtrlLines, CarrierBackAfterSixTicksDownSendsPowerOnButAfterFiveNothing)
{
    runIsolated([] {
        Rig rig;
        rig.lines.beforeRead = [](TestLines& l) {
            if (isCtsRead(l.reads))
                return;
            int tick = tickOfRead(l.reads);
            bool down = (tick >= 2 && tick <= 6) || (tick >= 10 && tick <= 15);
            if (down)
                l.drop(TIOCM_CAR);
            else
                l.raise(TIOCM_CAR);
        };
        ASSERT_TRUE(runUntil([&] { return tickOfRead(rig.lines.reads) >= 20; }, 5000));
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(text("101")));
        EXPECT_EQ(tickOfRead(rig.readsAtEvent[0]), 16);
        EXPECT_EQ(rig.ctrl->getCarrierOffTicks(), 0);
    });
}

TEST(Icom706CtrlLines, CarrierDownFromTheStartCountsAndTheCountStopsAtFifty)
{
    runIsolated([] {
        Rig rig;
        int countBeforeTick55 = -1;
        rig.lines.beforeRead = [&](TestLines& l) {
            int tick = tickOfRead(l.reads);
            if (isCtsRead(l.reads)) {
                if (tick == 55)
                    countBeforeTick55 = rig.ctrl->getCarrierOffTicks();
                return;
            }
            if (tick >= 55)
                l.raise(TIOCM_CAR);
        };
        ASSERT_TRUE(runUntil([&] { return tickOfRead(rig.lines.reads) >= 58; }, 5000));
        EXPECT_EQ(countBeforeTick55, 50);
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(text("101")));
        EXPECT_EQ(rig.readsAtEvent[0], 2 * 55 + 1);
    });
}

TEST(Icom706CtrlLines, OneTickSendsCollectedFramesThenCtsThenPowerOn)
{
    runIsolated([] {
        Rig rig(40);
        rig.lines.beforeRead = [&](TestLines& l) {
            int tick = tickOfRead(l.reads);
            if (isCtsRead(l.reads)) {
                if (tick >= 8)
                    l.raise(TIOCM_CTS);
                return;
            }
            if (tick == 7)
                rig.pty.send({0xFE, 0x21, 0xFD, 0xFE, 0x05, 0x33, 0xFD});
            if (tick >= 8)
                l.raise(TIOCM_CAR);
        };
        ASSERT_TRUE(runUntil([&] { return tickOfRead(rig.lines.reads) >= 10; }, 5000));
        ASSERT_EQ(rig.owner.events.size(), 4u);
        std::vector<std::string> got = rig.texts();
        EXPECT_EQ(got[0], hex(text("105020")));
        EXPECT_EQ(got[1], hex(raw({0xFE, 0x21, 0xFD, 0xFE, 0x05, 0x33, 0xFD})));
        EXPECT_EQ(got[2], hex(raw(ctsUp)));
        EXPECT_EQ(got[3], hex(text("101")));
        // The level as its frame came; the collected frames before tick 8
        // read CTS, the CTS frame after, the request after carrier detect.
        EXPECT_EQ(rig.readsAtEvent, (std::vector<int>{15, 15, 16, 17}));
    });
}

TEST(Icom706CtrlLink, WriteBusWritesUnchangedAndNothingForZeroLength)
{
    runIsolated([] {
        Rig rig;
        rig.ctrl->writeBus("\xFE\x0A\x00\xFD", 4);
        rig.ctrl->writeBus("\xFE", 0);
        EXPECT_EQ(hex(rig.pty.take(5, 300)), hex({0xFE, 0x0A, 0x00, 0xFD}));

        Recorder owner;
        Icom706Ctrl missing(&owner, "/nonexistent/quorvane-tty", 1);
        missing.writeBus("\xFE\xFD", 2);
        EXPECT_EQ(missing.getBus()->getFd(), -1);
        EXPECT_EQ(missing.getDsrAtStart(), 0);
    });
}

TEST(Icom706CtrlLink, DsrIsReadOnceAtConstructionAndTheTagKept)
{
    runIsolated([] {
        Line pty;
        TestLines lines;
        lines.raise(TIOCM_DSR);
        Recorder owner;
        Icom706Ctrl ctrl(&owner, pty.slavePath(), 42, &lines);
        EXPECT_EQ(ctrl.getDsrAtStart(), 1);
        EXPECT_EQ(lines.reads, 1);
        EXPECT_EQ(ctrl.getTag(), 42);
        lines.drop(TIOCM_DSR);
        EXPECT_EQ(ctrl.getDsrAtStart(), 1);
    });
}

TEST(Icom706CtrlLink, TakesNoCommandsAndPrintsNothing)
{
    runIsolated([] {
        testing::internal::CaptureStdout();
        Rig rig;
        rig.lines.raise(TIOCM_CAR);
        Recorder stranger;
        CsEventMsg msg("101", 3);
        EXPECT_EQ(rig.ctrl->callback(&stranger, &msg), -1);
        EXPECT_EQ(rig.ctrl->callback(rig.ctrl.get(), &msg), -1);
        EXPECT_EQ(rig.ctrl->callback(nullptr, &msg), -1);
        rig.pty.send({0xFE, 0x05, 0x10, 0xFD, 0xFE, 0x0B, 0x00, 0xFD});
        runUntil([&] { return rig.owner.events.size() >= 2; }, 3000);
        // The owner refuses nothing here, but even a refused event prints
        // nothing of the control object's own.
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(rig.owner.events.size(), 2u);
    });
}

// The owner deletes the control object from its callback at the event of
// the given index; the loop goes on a while.
void destroyAtEvent(size_t index)
{
    runIsolated([index] {
        Rig rig(10);
        rig.lines.beforeRead = [&](TestLines& l) {
            if (!rig.ctrl) {
                ADD_FAILURE() << "line read after destruction";
                return;
            }
            int tick = tickOfRead(l.reads);
            if (isCtsRead(l.reads)) {
                if (tick >= 8)
                    l.raise(TIOCM_CTS);
                return;
            }
            if (tick == 7)
                rig.pty.send({0xFE, 0x05, 0x33, 0xFD});
            if (tick >= 8)
                l.raise(TIOCM_CAR);
        };
        rig.owner.onEvent = [&](const Event&) {
            if (rig.owner.events.size() == index + 1)
                rig.ctrl.reset();
        };
        long long goneAt = 0;
        runUntil([&] {
            if (!rig.ctrl && goneAt == 0) {
                goneAt = nowMs();
                rig.pty.send({0xFE, 0x01, 0xFD});
            }
            return goneAt != 0 && nowMs() > goneAt + 50;
        }, 5000);
        EXPECT_EQ(rig.ctrl, nullptr);
        EXPECT_EQ(rig.owner.events.size(), index + 1);
    });
}

TEST(Icom706CtrlLifetime, OwnerMayDestroyItAtAnyOfItsMessages)
{
    // LEVEL (from the frame), collected RAW, CTS RAW, POWER_ON (from the tick).
    for (size_t i = 0; i < 4; i++)
        destroyAtEvent(i);
}

TEST(Icom706CtrlLifetime, DestroyedWithFramesPendingAndTheLineReadable)
{
    runIsolated([] {
        Rig rig(1000);
        rig.lines.raise(TIOCM_CAR);
        long long goneAt = 0;
        bool sent = false;
        runUntil([&] {
            if (!sent) {
                sent = true;
                rig.pty.send({0xFE, 0x01, 0xFD});
            } else if (rig.ctrl && rig.ctrl->pendingBytes() > 0) {
                rig.pty.send({0xFE, 0x02, 0xFD});
                rig.ctrl.reset();
                goneAt = nowMs();
            }
            return goneAt != 0 && nowMs() > goneAt + 60;
        }, 5000);
        EXPECT_EQ(rig.ctrl, nullptr);
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

} // namespace
