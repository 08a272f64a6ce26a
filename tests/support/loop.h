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

// A timer that stops the main loop after ms: boundLoop records a failure
// (the bound of a loop that the test's own callbacks are to stop),
// stopLoopAfter does not (a loop that runs a while, then is looked at).
void boundLoop(int ms);
void stopLoopAfter(int ms);

// A scripted run: actions at times after the start, a condition to wait
// for, and a bound. A library timer polls every pollMs, so all of them run
// inside the loop like any other callback.
class Loop {
public:
    explicit Loop(int pollMs = 2) : pollMs(pollMs) {}
    Loop &at(int ms, std::function<void()> action);
    Loop &until(std::function<bool()> condition);
    int elapsedMs() const;
    // Runs the loop until the condition holds (true) or boundMs have passed
    // (false; true when there was no condition).
    bool run(int boundMs);

private:
    static int poll(int reason, void *loop);

    int pollMs;
    std::vector<std::pair<int, std::function<void()>>> actions; // taken ones are cleared
    std::function<bool()> condition;
    bool done = false;
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
