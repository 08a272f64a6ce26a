#include "loop.h"

#include "child.h"
#include "clock.h"
#include "connection.h"
#include "failure.h"

namespace kit {

void runLoopIsolated(const std::function<void()> &body, int timeoutMs)
{
    runIsolated([&] {
        if (connection_init() != 0) {
            fail("the connection module did not start");
            return;
        }
        body();
        connection_shutdown();
    }, timeoutMs);
}

Loop &Loop::stopsItself()
{
    selfStopping = true;
    return *this;
}

Loop &Loop::returning(int result)
{
    expectedResult = result;
    return *this;
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

int Loop::bound(int reason, void *object)
{
    Loop *l = static_cast<Loop *>(object);
    if (reason == TIMER_EXPIRED) {
        l->boundReached = true;
        connection_stop_main_loop();
    }
    return 1;
}

bool Loop::run(int boundMs)
{
    started = nowMs();
    deadline = started + boundMs;
    const bool bare = actions.empty() && !condition;
    connection_timer *timer =
        bare ? connection_add_timer(boundMs, bound, this) : connection_add_timer(pollMs, poll, this);
    if (timer == nullptr) {
        fail("no timer for the loop's run");
        return false;
    }
    const int result = connection_main_loop();
    if (result != expectedResult)
        fail("the main loop returned " + std::to_string(result));
    if (bare && !boundReached)
        connection_cancel_timer(timer); // the loop may run again after this object has gone
    if (!bare)
        return done || !condition;
    if (selfStopping && boundReached)
        fail("the main loop ran into its bound");
    return !(selfStopping && boundReached);
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
    if (!done)
        fail("the main loop timed out at step " + std::to_string(next) + " of " + std::to_string(steps.size()));
    return done;
}

} // namespace kit
