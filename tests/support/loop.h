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
// locals shuts the module down itself before returning; the second
// shutdown finds nothing left to do.
void runLoopIsolated(const std::function<void()> &body, int timeoutMs = 20000);

// A timer that stops the main loop after ms and records a failure: the
// bound of a loop that the test's own callbacks are to stop.
void boundLoop(int ms);
// A timer that stops the main loop after ms, for a test that lets it run a
// while and then looks at what happened.
void stopLoopAfter(int ms);

// A scripted run: actions at given times after the start, steps taken in
// order (each polled until it returns true), a condition to wait for, and a
// bound. A library timer polls every pollMs, so all of them run from inside
// the loop like any other callback.
class Loop {
public:
    explicit Loop(int pollMs = 2) : pollMs(pollMs) {}
    Loop &at(int ms, std::function<void()> action);
    Loop &step(std::function<bool()> done);
    Loop &until(std::function<bool()> condition);
    // Runs on this long after the steps and the condition are done, so that
    // what should not happen has its chance to.
    Loop &settle(int ms);
    int elapsedMs() const;
    size_t stepsDone() const { return nextStep; }
    // Runs the loop until the steps and the condition are done (true) or
    // boundMs have passed (false; true when there was nothing to wait for).
    bool run(int boundMs);

private:
    static int poll(int reason, void *loop);

    struct Action {
        int ms;
        std::function<void()> action;
        bool taken;
    };
    int pollMs;
    std::vector<Action> actions;
    std::vector<std::function<bool()>> steps;
    size_t nextStep = 0;
    std::function<bool()> condition;
    int settleMs = 0;
    long long started = 0, doneAt = 0, deadline = 0;
};

// A loop until done() holds (see Loop::until, Loop::settle): whether it held.
bool runUntil(const std::function<bool()> &done, int boundMs, int settleMs = 0);
// A loop of steps alone (see Loop::step); a failure when they are not done
// within timeoutMs.
bool runSteps(const std::vector<std::function<bool()>> &steps, int timeoutMs = 5000, int pollMs = 2);

} // namespace kit

#endif
