// The signal stop: a caught signal ends the main loop after its pass, from
// before the loop as from inside it; a second insistent signal ends the
// process at once; dispositions found at the start are respected and put
// back; and endBy ends the process by the signal itself. Every case runs in
// a child of its own: the loop runs once per process, and the children die
// by signals on purpose.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsExternalRead.h"
#include "CsSignalStop.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {

const std::vector<int> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// A read watch that counts the passes in which its pipe was ready.
class PipeWatch : public CsExternalRead
{
public:
    PipeWatch(CsApplication *owner, int descriptor) : CsExternalRead(owner, descriptor, 1) {}
    void onReady() override
    {
        char buffer[64];
        if (read(getDescriptor(), buffer, sizeof buffer) > 0)
            ++ready;
    }
    int ready = 0;
};

sig_atomic_t ownHandlerCalls = 0;
void ownHandler(int)
{
    ++ownHandlerCalls;
}

void (*handlerOf(int signal))(int)
{
    struct sigaction now;
    sigaction(signal, nullptr, &now);
    return now.sa_handler;
}

TEST(CsSignalStop, ASignalBeforeTheLoopStopsItsFirstPassAndThatPassIsFinished)
{
    auto run = kit::runCaptured([] {
        CsSignalStop signals(nullptr, kStopSignals, 1);
        ASSERT_TRUE(signals.catching());
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        // Registered after the signal pipe, so served after it in the pass
        // that the signal stops.
        PipeWatch other(nullptr, fds[0]);
        ASSERT_EQ(write(fds[1], "x", 1), 1);

        raise(SIGTERM);  // during construction, as it were
        EXPECT_EQ(CsSignalStop::caught(), SIGTERM);

        kit::Loop script;
        EXPECT_TRUE(script.run(3000));
        EXPECT_LT(script.elapsedMs(), 1000) << "the loop ran on after the signal";
        EXPECT_EQ(other.ready, 1) << "the pass that saw the signal was not finished";
        close(fds[0]);
        close(fds[1]);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsSignalStop, ASignalInsideTheLoopEndsItAfterThatPass)
{
    for (int signal : kStopSignals) {
        auto run = kit::runCaptured([signal] {
            CsSignalStop signals(nullptr, kStopSignals, 1);
            kit::Loop script;
            bool afterSignal = false;
            script.at(100, [&] {
                raise(signal);
                // Still in the same callback: the handler only noted it.
                afterSignal = true;
            });
            EXPECT_TRUE(script.run(3000));
            EXPECT_TRUE(afterSignal);
            EXPECT_GE(script.elapsedMs(), 100);
            EXPECT_LT(script.elapsedMs(), 1000) << "the loop ran on after the signal";
            EXPECT_EQ(CsSignalStop::caught(), signal);
        });
        EXPECT_TRUE(run.passed()) << sigabbrev_np(signal) << "\n" << run.describe();
    }
}

TEST(CsSignalStop, AStopHandlerTakesTheSignalAndTheLoopEndsWhenItSays)
{
    auto run = kit::runCaptured([] {
        CsSignalStop signals(nullptr, kStopSignals, 1);
        int calls = 0;
        signals.setStopHandler([&calls] { ++calls; });
        kit::Loop script;
        script.at(50, [] { raise(SIGTERM); });
        // What it had to finish is done: now the loop ends.
        script.at(400, [&calls] {
            EXPECT_EQ(calls, 1);
            CsApplication::stop();
        });
        EXPECT_TRUE(script.run(3000));
        EXPECT_GE(script.elapsedMs(), 400) << "the signal stopped the loop itself";
        EXPECT_EQ(CsSignalStop::caught(), SIGTERM);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsSignalStop, ASecondSignalWhileStoppingEndsTheProcessAtOnceUnlessItIsAHangUp)
{
    struct Case {
        int first;
        int second;
        int endsBy;  // 0: the process lives on
    };
    const Case cases[] = {
        {SIGTERM, SIGINT, SIGINT},   // a manager's stop, then Ctrl-C
        {SIGINT, SIGINT, SIGINT},    // Ctrl-C twice
        {SIGHUP, SIGTERM, SIGTERM},  // terminal gone, then a manager's stop
        {SIGHUP, SIGHUP, 0},         // one hang-up told twice (shell and kernel)
        {SIGTERM, SIGHUP, 0},        // the terminal closed while stopping
    };
    for (const Case &c : cases) {
        const std::string label = std::string(sigabbrev_np(c.first)) + " then " + sigabbrev_np(c.second);
        auto run = kit::runCaptured([&c] {
            CsSignalStop signals(nullptr, kStopSignals, 1);
            raise(c.first);
            raise(c.second);
            printf("still running\n");
            EXPECT_EQ(CsSignalStop::caught(), c.first) << "the first signal stays the cause";
        });
        if (c.endsBy == 0) {
            EXPECT_TRUE(run.passed()) << label << "\n" << run.describe();
            EXPECT_NE(run.out.find("still running"), std::string::npos) << label;
        } else {
            EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == c.endsBy)
                << label << "\n" << run.describe();
            EXPECT_EQ(run.out.find("still running"), std::string::npos) << label;
        }
    }
}

TEST(CsSignalStop, IgnoredSignalsStayIgnoredAndEveryDispositionComesBack)
{
    auto run = kit::runCaptured([] {
        signal(SIGHUP, SIG_IGN);      // as nohup leaves it
        signal(SIGINT, ownHandler);   // a handler of the program's own
        signal(SIGTERM, SIG_DFL);
        {
            CsSignalStop signals(nullptr, kStopSignals, 1);
            EXPECT_TRUE(signals.catching());
            EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
            EXPECT_NE(handlerOf(SIGINT), ownHandler);
            EXPECT_NE(handlerOf(SIGTERM), SIG_DFL);
            raise(SIGHUP);
            EXPECT_EQ(CsSignalStop::caught(), 0) << "an ignored hang-up stopped the program";
        }
        EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
        EXPECT_EQ(handlerOf(SIGINT), ownHandler);
        EXPECT_EQ(handlerOf(SIGTERM), SIG_DFL);
        raise(SIGINT);
        EXPECT_EQ(ownHandlerCalls, 1);
        EXPECT_EQ(CsSignalStop::caught(), 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsSignalStop, OnlyOneObjectCatchesAtATime)
{
    auto run = kit::runCaptured([] {
        CsSignalStop first(nullptr, kStopSignals, 1);
        void (*handler)(int) = handlerOf(SIGTERM);
        {
            CsSignalStop second(nullptr, kStopSignals, 1);
            EXPECT_FALSE(second.catching());
        }
        EXPECT_EQ(handlerOf(SIGTERM), handler) << "the second object took the first one's handlers away";
        raise(SIGTERM);
        EXPECT_EQ(CsSignalStop::caught(), SIGTERM);
        kit::Loop script;
        EXPECT_TRUE(script.run(3000));
        EXPECT_LT(script.elapsedMs(), 1000) << "the first object's pipe is no longer watched";
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsSignalStop, ASignalAfterTheLoopIsStillTheCauseTheProcessEndsBy)
{
    auto run = kit::runCaptured([] {
        auto signals = std::make_unique<CsSignalStop>(nullptr, kStopSignals, 1);
        kit::Loop script;
        EXPECT_TRUE(script.run(50));
        EXPECT_EQ(CsSignalStop::caught(), 0);
        raise(SIGTERM);  // while the program is being destroyed
        EXPECT_EQ(CsSignalStop::caught(), SIGTERM);
        signals.reset();
        EXPECT_EQ(CsSignalStop::caught(), SIGTERM);
        // Without a line end: endBy must flush it on the way out.
        printf("cleaned up");
        CsSignalStop::endBy(CsSignalStop::caught());
    });
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << run.describe();
    EXPECT_EQ(run.out, "cleaned up");
}

TEST(CsSignalStop, EndByEndsTheProcessEvenWhenTheSignalIsHandledOrBlocked)
{
    for (bool blocked : {false, true}) {
        auto run = kit::runCaptured([blocked] {
            signal(SIGINT, ownHandler);
            if (blocked) {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, SIGINT);
                sigprocmask(SIG_BLOCK, &set, nullptr);
            }
            CsSignalStop::endBy(SIGINT);
        });
        EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT)
            << (blocked ? "blocked" : "handled") << "\n" << run.describe();
    }
}

}  // namespace
