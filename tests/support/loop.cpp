#include "loop.h"

#include <gtest/gtest.h>

#include "child.h"
#include "clock.h"
#include "connection.h"

namespace kit {

namespace {

int stopCb(int reason, void *failure)
{
    if (reason == TIMER_EXPIRED) {
        if (failure != nullptr)
            ADD_FAILURE() << "the main loop ran into its bound";
        connection_stop_main_loop();
    }
    return 1;
}

void addStop(int ms, bool failure)
{
    static int marker;
    EXPECT_NE(connection_add_timer(ms, stopCb, failure ? &marker : nullptr), nullptr);
}

} // namespace

void runLoopIsolated(const std::function<void()> &body, int timeoutMs)
{
    runIsolated([&] {
        ASSERT_EQ(connection_init(), 0);
        body();
        connection_shutdown();
    }, timeoutMs);
}

void boundLoop(int ms)
{
    addStop(ms, true);
}

void stopLoopAfter(int ms)
{
    addStop(ms, false);
}

Loop &Loop::at(int ms, std::function<void()> action)
{
    actions.push_back({ms, std::move(action), false});
    return *this;
}

Loop &Loop::step(std::function<bool()> done)
{
    steps.push_back(std::move(done));
    return *this;
}

Loop &Loop::until(std::function<bool()> c)
{
    condition = std::move(c);
    return *this;
}

Loop &Loop::settle(int ms)
{
    settleMs = ms;
    return *this;
}

int Loop::elapsedMs() const
{
    return static_cast<int>(nowMs() - started);
}

int Loop::poll(int reason, void *object)
{
    if (reason != TIMER_EXPIRED)
        return 1;
    Loop *l = static_cast<Loop *>(object);
    const int now = l->elapsedMs();
    for (size_t i = 0; i < l->actions.size(); ++i) {
        if (!l->actions[i].taken && l->actions[i].ms <= now) {
            l->actions[i].taken = true;
            // An action may add actions: run a copy.
            std::function<void()> action = l->actions[i].action;
            action();
        }
    }
    while (l->nextStep < l->steps.size() && l->steps[l->nextStep]())
        ++l->nextStep;
    const bool waiting = !l->steps.empty() || l->condition;
    if (waiting && l->doneAt == 0 && l->nextStep == l->steps.size() && (!l->condition || l->condition()))
        l->doneAt = nowMs();
    if ((l->doneAt != 0 && nowMs() >= l->doneAt + l->settleMs) || nowMs() >= l->deadline) {
        connection_stop_main_loop();
        return 1;
    }
    return 0;
}

bool Loop::run(int boundMs)
{
    started = nowMs();
    deadline = started + boundMs;
    if (connection_add_timer(pollMs, poll, this) == nullptr) {
        ADD_FAILURE() << "no timer for the loop's script";
        return false;
    }
    EXPECT_EQ(connection_main_loop(), 0) << "the main loop failed";
    return doneAt != 0 || (steps.empty() && !condition);
}

bool runUntil(const std::function<bool()> &done, int boundMs, int settleMs)
{
    return Loop().until(done).settle(settleMs).run(boundMs);
}

bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs, int pollMs)
{
    Loop loop(pollMs);
    for (const auto &s : steps)
        loop.step(s);
    const bool done = loop.run(timeoutMs);
    EXPECT_TRUE(done) << "the main loop timed out at step " << loop.stepsDone() << " of " << steps.size();
    return done;
}

} // namespace kit
