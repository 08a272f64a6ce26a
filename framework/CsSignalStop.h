// Ends the main loop on a signal the way a console command does, and lets
// the program end by that same signal once it has cleaned up.
//
// The handlers do nothing but write the signal's number to a non-blocking
// pipe, the one thing a handler may do at any moment; this object watches
// the pipe's reading end and calls CsApplication::stop() from the main loop,
// so the loop finishes its pass and the program's objects are destroyed in
// their usual order. A signal that arrives before the loop runs waits in the
// pipe and stops the loop in its first pass; one that arrives after the loop
// has returned is still recorded. caught() tells the program afterwards, and
// endBy() ends the process by the signal's default action, so that a shell
// or a service manager sees how it ended:
//
//     auto signals = std::make_unique<CsSignalStop>(
//         nullptr, std::vector<int>{SIGINT, SIGTERM, SIGHUP}, 1);
//     ... construct the application, CsApplication::run(), destroy it ...
//     signals.reset();
//     if (int signal = CsSignalStop::caught())
//         CsSignalStop::endBy(signal);
//
// A program that has something to finish before it stops (output to send)
// sets a stop handler: the first signal then calls it instead of stopping
// the loop, and the handler calls CsApplication::stop() when it is done.
//
// While the program is stopping, any further signal it catches ends it at
// once by that signal (someone insists; what was not yet saved is lost),
// except SIGHUP: a closed terminal is reported by the shell and again by the
// kernel, so one hang-up may come as two signals.
//
// Signals that are ignored when the object is made (as nohup and shells
// without job control leave them for their children) stay ignored. Without
// a pipe or a watch nothing is caught, and every signal keeps its default
// action.
//
// One object at a time: the handlers and the pipe belong to the process. A
// second object made while one exists catches nothing.
#ifndef QUORVANE_CS_SIGNAL_STOP_H
#define QUORVANE_CS_SIGNAL_STOP_H

#include <csignal>
#include <functional>
#include <vector>

#include "CsExternalRead.h"

class CsSignalStop : public CsExternalRead
{
public:
    // Catches each of the signals from now on; verbose reports a pipe or
    // watch that could not be made ("Can't catch signals\n").
    CsSignalStop(CsApplication *owner, const std::vector<int> &signals, int verbose);
    // Puts back the dispositions found at construction: from here a signal
    // takes its default action at once. caught() keeps its value.
    ~CsSignalStop() override;

    // Empties the pipe and stops the main loop, or calls the stop handler
    // when one is set.
    void onReady() override;

    // Called instead of CsApplication::stop() for the first signal; an
    // empty handler puts the plain stop back.
    void setStopHandler(std::function<void()> handler) { stopHandler = std::move(handler); }

    // Whether the handlers are in place.
    bool catching() const { return !saved.empty(); }

    // The first signal caught since the latest object was set up to catch,
    // 0 when none was; still set after that object is gone.
    static int caught();

    // Ends the process by the default action of signal: standard streams
    // flushed, the default disposition restored, the signal unblocked and
    // raised. Exits with 128 + signal should the process survive that.
    [[noreturn]] static void endBy(int signal);

private:
    struct Saved {
        int signal;
        struct sigaction action;
    };
    std::vector<Saved> saved; // dispositions replaced by the handler, in order
    int pipeWrite = -1;       // the handlers' end of the pipe
    std::function<void()> stopHandler; // called instead of stop() when set

    static CsSignalStop *active; // the object whose handlers are in place
};

#endif
