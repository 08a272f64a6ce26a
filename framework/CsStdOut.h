// Console output that never holds up the main loop.
//
// While the object exists, standard output (and standard error, when it goes
// to the same file) is a stream onto a bounded buffer: every printf, fputs
// and fwrite of the program and its framework lands there in the order it
// was made, is written at once as far as the console takes it, and the rest
// is written by a writability watch as the console takes more. A console
// that takes nothing (a terminal held with Ctrl-S, a stalled remote link, a
// pipe nobody reads) costs at most the bound in memory; text beyond it is
// dropped, and once the console has taken half of what was held, a line
// "*** Console output dropped: N bytes the console did not take" marks the
// gap. A console that is gone (a broken pipe, a hung-up terminal) takes
// nothing more, silently.
//
// The descriptor's own flags are left alone, as a shell or another program
// may share them: a pipe or a terminal is opened again as a file description
// of this object's own, without blocking; a socket is written with
// MSG_DONTWAIT; a regular file or a device that is not a terminal takes its
// writes at once and is written as it is.
//
//     auto console = std::make_unique<CsStdOut>(nullptr);
//     ... construct the application, CsApplication::run(), destroy it ...
//     console.reset();   // what the console takes within kEndWaitMs, then
//                        // the ordinary streams again
//
// One object at a time: the standard streams belong to the process. A
// second object made while one exists takes nothing over.
#ifndef QUORVANE_CS_STD_OUT_H
#define QUORVANE_CS_STD_OUT_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>

#include "CsExternal.h"

class CsStdOut : public CsExternal
{
public:
    // Long enough for whole screens of server text behind a terminal that is
    // briefly held, small next to what a stalled console would otherwise
    // cost for as long as it stalls.
    static constexpr size_t kDefaultBound = 1u << 20;
    // What the end of the program waits for the console, held text and all:
    // a moment, so that a stop never waits on a console that does not read.
    static constexpr int kEndWaitMs = 250;

    // Takes over the standard streams; bound is the most text held.
    explicit CsStdOut(CsApplication *owner, size_t bound = kDefaultBound);
    // Flushes the streams, writes what the console takes within kEndWaitMs
    // and drops the rest, then puts the ordinary streams back.
    ~CsStdOut() override;

    // Writes what the console takes now.
    void onReady() override;

    size_t held() const { return text.size() - start; }
    size_t dropped() const { return droppedTotal; } // bytes dropped so far, all gaps
    bool gone() const { return consoleGone; }
    bool active() const { return taken != nullptr; } // this object holds the streams

private:
    static ssize_t streamWrite(void *object, const char *data, size_t length);
    void take(const char *data, size_t length);
    size_t writeNow(const char *data, size_t length);
    void writeHeld();
    void noticeIfRoom();
    void watch();
    void waitForConsole(int ms);

    std::string text;        // held text from `start` on
    size_t start = 0;        // bytes of text already written
    size_t bound;            // most text held
    size_t droppedNow = 0;   // bytes dropped since the last notice
    size_t droppedTotal = 0;
    int out = -1;            // the descriptor written
    bool ownDescriptor = false;
    bool socketOut = false;   // written with send(MSG_DONTWAIT)
    bool pollFirst = false;   // a blocking description of others: small writes when poll says so
    bool consoleGone = false;
    bool inside = false;      // in take(): a signal handler's text is not taken then
    bool lineOpen = false;    // the last text taken ended inside a line
    FILE *taken = nullptr;    // the ordinary stdout, put back at the end
    FILE *takenErr = nullptr; // the ordinary stderr, when it was taken too
    FILE *stream = nullptr;   // stdout now
    FILE *errStream = nullptr;

    static CsStdOut *current;
};

#endif
