#include <gtest/gtest.h>

#include "CsTimer.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {


// A timer that counts its own onTimer calls and tells when it is gone.
class ProbeTimer : public CsTimer
{
public:
    ProbeTimer(CsApplication *owner, int periodMs, int count, bool *gone = nullptr)
        : CsTimer(owner, periodMs, count), gone(gone) {}
    ~ProbeTimer() override
    {
        if (gone != nullptr)
            *gone = true;
    }
    void onTimer() override { ++own; }
    int own = 0;

private:
    bool *gone;
};

TEST(CsTimer, OwnedTimerTicksItsOwnerOncePerPeriodAndNeverItself)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        ProbeTimer timer(&owner, 50, 0);
        EXPECT_NE(timer.getTimerHandle(), -1);
        EXPECT_EQ(timer.getRemaining(), 0);
        kit::Loop script;
        const long long start = kit::nowMs();
        script.until([&] { return script.elapsedMs() >= 525; });
        EXPECT_TRUE(script.run(3000));
        const long long elapsed = kit::nowMs() - start;
        const int expected = static_cast<int>(elapsed / 50);
        EXPECT_GE(static_cast<int>(owner.events.size()), expected - 2);
        EXPECT_LE(static_cast<int>(owner.events.size()), expected + 1);
        for (const kit::Event &event : owner.events) {
            EXPECT_EQ(event.sender, &timer);
            EXPECT_FALSE(event.hasMessage);
        }
        // The first tick comes one period after the start, not at once.
        ASSERT_FALSE(owner.events.empty());
        EXPECT_GE(owner.events[0].atMs - start, 45);
        EXPECT_EQ(timer.own, 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, TimerWithoutOwnerCallsItsOwnHandler)
{
    auto run = kit::runCaptured([] {
        ProbeTimer timer(nullptr, 40, 0);
        kit::Loop script;
        script.until([&] { return script.elapsedMs() >= 430; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_GE(timer.own, 8);
        EXPECT_LE(timer.own, 11);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, CountedTimerFiresItsCountThenDestroysItself)
{
    // Run under the sanitizer build: the self-destruction must leave no
    // access to the freed timer behind, in the framework or the library.
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        bool gone = false;
        auto *timer = new ProbeTimer(&owner, 30, 3, &gone);
        EXPECT_EQ(timer->getRemaining(), 3);
        kit::Loop script;
        script.until([&] { return script.elapsedMs() >= 400; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_TRUE(gone);
        EXPECT_EQ(owner.events.size(), 3u);
        timer = nullptr;
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, CountedTimerWithoutOwnerStillEndsAfterItsCount)
{
    auto run = kit::runCaptured([] {
        bool gone = false;
        int ownAtLastSight = -1;
        auto *timer = new ProbeTimer(nullptr, 30, 2, &gone);
        kit::Loop script;
        script.at(45, [&] { ownAtLastSight = timer->own; });
        script.until([&] { return script.elapsedMs() >= 300; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_EQ(ownAtLastSight, 1);
        EXPECT_TRUE(gone);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, OwnerMayDestroyATimerFromItsTick)
{
    // A counted timer deleted by its owner before its count is used up, and
    // an endless one deleted on its first tick: neither fires again, and
    // neither handler touches the freed object.
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        bool countedGone = false, endlessGone = false;
        auto *counted = new ProbeTimer(&owner, 30, 5, &countedGone);
        auto *endless = new ProbeTimer(&owner, 45, 0, &endlessGone);
        int countedTicks = 0, endlessTicks = 0;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.sender == counted && ++countedTicks == 2) {
                delete counted;
                counted = nullptr;
            } else if (event.sender == endless && ++endlessTicks == 1) {
                delete endless;
                endless = nullptr;
            }
        };
        kit::Loop script;
        script.until([&] { return script.elapsedMs() >= 400; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_TRUE(countedGone);
        EXPECT_TRUE(endlessGone);
        EXPECT_EQ(countedTicks, 2);
        EXPECT_EQ(endlessTicks, 1);
        EXPECT_EQ(owner.events.size(), 3u);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, DestroyedTimerStopsTicking)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        auto *timer = new ProbeTimer(&owner, 40, 0);
        size_t ticksWhenDestroyed = 0;
        kit::Loop script;
        script.at(210, [&] {
            ticksWhenDestroyed = owner.events.size();
            delete timer;
        });
        script.until([&] { return script.elapsedMs() >= 500; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_GE(ticksWhenDestroyed, 4u);
        EXPECT_EQ(owner.events.size(), ticksWhenDestroyed);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, RestartReplacesTheRunningTimer)
{
    // The first library timer (1 s) must not survive start(): it would
    // fire into the destroyed object at 1 s.
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        auto *timer = new ProbeTimer(&owner, 1000, 0);
        int firstHandle = timer->getTimerHandle();
        timer->start(40);
        EXPECT_NE(timer->getTimerHandle(), firstHandle);
        size_t ticksWhenDestroyed = 0;
        kit::Loop script;
        script.at(300, [&] {
            ticksWhenDestroyed = owner.events.size();
            delete timer;
        });
        script.until([&] { return script.elapsedMs() >= 1300; });
        EXPECT_TRUE(script.run(4000));
        EXPECT_GE(ticksWhenDestroyed, 5u);
        EXPECT_LE(ticksWhenDestroyed, 8u);
        EXPECT_EQ(owner.events.size(), ticksWhenDestroyed);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsTimer, NegativeCountRunsEndlessly)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        bool gone = false;
        ProbeTimer timer(&owner, 20, -1, &gone);
        EXPECT_EQ(timer.getRemaining(), 0);
        kit::Loop script;
        script.until([&] { return script.elapsedMs() >= 300; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_FALSE(gone);
        EXPECT_GE(owner.events.size(), 10u);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

} // namespace
