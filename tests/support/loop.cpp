#include "loop.h"

#include <gtest/gtest.h>

#include "child.h"
#include "clock.h"
#include "connection.h"

namespace kit {

namespace {

int stopCb(int reason, void *failure)
{
    if (reason == TIMER_EXPIRED && failure != nullptr)
        ADD_FAILURE() << "the main loop ran into its bound";
    if (reason == TIMER_EXPIRED)
        connection_stop_main_loop();
    return 1;
}

int g_failure; // marks the timers of boundLoop

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
    EXPECT_NE(connection_add_timer(ms, stopCb, &g_failure), nullptr);
}

void stopLoopAfter(int ms)
{
    EXPECT_NE(connection_add_timer(ms, stopCb, nullptr), nullptr);
}

Loop &Loop::at(int ms, std::function<void()> action)
{
    actions.emplace_back(ms, std::move(action));
    return *this;
}

Loop &Loop::until(std::function<bool()> c)
{
    condition = std::move(c);
    return *this;
}

int Loop::elapsedMs() const
{
    return static_cast<int>(nowMs() - started);
}

int Loop::poll(int reason, void *object)
{
    Loop *l = static_cast<Loop *>(object);
    if (reason != TIMER_EXPIRED)
        return 1;
    for (size_t i = 0; i < l->actions.size(); ++i) {
        if (l->actions[i].second && l->actions[i].first <= l->elapsedMs()) {
            // An action may add actions: run it from a copy.
            std::function<void()> action = std::move(l->actions[i].second);
            l->actions[i].second = nullptr;
            action();
        }
    }
    l->done = l->condition && l->condition();
    if (!l->done && nowMs() < l->deadline)
        return 0;
    connection_stop_main_loop();
    return 1;
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
    return done || !condition;
}

bool runUntil(const std::function<bool()> &done, int boundMs, int settleMs)
{
    long long heldAt = -1;
    Loop().until([&] {
        if (heldAt < 0 && done())
            heldAt = nowMs();
        return heldAt >= 0 && nowMs() >= heldAt + settleMs;
    }).run(boundMs);
    return heldAt >= 0;
}

bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs, int pollMs)
{
    size_t next = 0;
    const bool done = Loop(pollMs).until([&] {
        while (next < steps.size() && steps[next]())
            ++next;
        return next == steps.size();
    }).run(timeoutMs);
    EXPECT_TRUE(done) << "the main loop timed out at step " << next << " of " << steps.size();
    return done;
}

} // namespace kit
