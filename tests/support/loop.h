// Bounded runs of the library's one main loop (connection_main_loop, which
// client_server_main_loop and CsApplication::run also run). The loop runs
// once per process: a test that runs it does so in a forked child.
#ifndef QUORVANE_TESTS_LOOP_H
#define QUORVANE_TESTS_LOOP_H

#include <functional>
#include <vector>

namespace kit {

// Runs body in a forked child (see runIsolated) with the connection module
// initialised before and shut down after. A body whose timers point at its
// locals shuts it down itself; the second shutdown finds nothing to do.
void runLoopIsolated(const std::function<void()> &body, int timeoutMs = 20000);

// A scripted run: actions at times after the start, a condition to wait
// for, and a bound. A library timer polls every pollMs, so all of them run
// inside the loop like any other callback. A run with neither actions nor a
// condition has no poll, only one timer at the bound, so that a test of the
// loop itself sees its own timers and that one.
class Loop {
public:
    explicit Loop(int pollMs = 2) : pollMs(pollMs) {}
    Loop &at(int ms, std::function<void()> action);
    Loop &until(std::function<bool()> condition);
    // Without actions or condition: the test's own callbacks stop the loop,
    // and reaching the bound is a failure.
    Loop &stopsItself();
    // What the main loop is to return (0 unless told); else a failure.
    Loop &returning(int result);
    int elapsedMs() const;
    // Runs the loop until the condition holds or the test's callbacks stop
    // it (true), or boundMs have passed (false; true when there was neither
    // a condition nor stopsItself).
    bool run(int boundMs);

private:
    static int poll(int reason, void *loop);
    static int bound(int reason, void *loop);

    int pollMs;
    std::vector<std::pair<int, std::function<void()>>> actions; // taken ones are cleared
    std::function<bool()> condition;
    bool selfStopping = false, boundReached = false, done = false;
    int expectedResult = 0;
    long long started = 0, deadline = 0;
};

// Shorthands: a loop until done() holds and then settleMs longer, so that
// what should not happen has its chance to (whether it held); and a loop of
// steps taken in order, each polled until it returns true (a failure when
// they are not done in time).
bool runUntil(const std::function<bool()> &done, int boundMs, int settleMs = 0);
bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs = 5000, int pollMs = 2);

} // namespace kit

#endif
