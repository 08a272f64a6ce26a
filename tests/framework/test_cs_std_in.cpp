#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsExternalRead.h"
#include "CsStdIn.h"
#include "CsTimer.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "terminal.h"
#include "text.h"

namespace {


// Descriptor 0 replaced by another descriptor for the life of the object.
class StdinReplaced
{
public:
    explicit StdinReplaced(int fd) : saved(dup(0)) { EXPECT_EQ(dup2(fd, 0), 0); }
    ~StdinReplaced()
    {
        dup2(saved, 0);
        close(saved);
    }

private:
    int saved;
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        closeWriter();
        close(fds[0]);
    }
    int reader() const { return fds[0]; }
    void put(const std::string &text)
    {
        EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeWriter()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

// A pseudo-terminal in line mode without echo: the test types on the
// master side, the reader reads the slave side.
struct Terminal : kit::Pty {
    int slave = openSlave(true);
    ~Terminal() { close(slave); }
    void type(const std::string &text) { EXPECT_TRUE(kit::sendAll(master(), text)); }
    void closeMaster() { hangUp(); }
};

// The console reader of a child reading descriptor fd; script receives the
// reader and the recording owner, and the run is bounded by boundMs.
void readConsole(int fd, int keepNewline, int bufferSize,
                 const std::function<void(kit::Loop &, CsStdIn &, kit::Recorder &)> &body)
{
    StdinReplaced replaced(fd);
    kit::Recorder owner;
    CsStdIn console(&owner, keepNewline, bufferSize, 1);
    kit::Loop script;
    body(script, console, owner);
}

TEST(CsStdIn, TypedLineArrivesWithItsNewlineAsPlainData)
{
    auto run = kit::runCaptured([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](kit::Loop &script, CsStdIn &console, kit::Recorder &owner) {
            script.at(0, [&] { terminal.type("exit\n"); });
            script.until([&] { return !owner.events.empty(); });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 1u);
            const kit::Event &event = owner.events[0];
            EXPECT_EQ(event.sender, &console);
            EXPECT_TRUE(event.hasMessage);
            EXPECT_EQ(event.data, "exit\n");
            EXPECT_EQ(event.type, -1);
            EXPECT_EQ(event.handle, -1);
        });
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsStdIn, DroppedNewlineLeavesEmptyLinesUndelivered)
{
    auto drive = [](auto type, int fd) {
        readConsole(fd, 0, 255, [&](kit::Loop &script, CsStdIn &, kit::Recorder &owner) {
            script.at(0, [&] { type("\n"); });
            script.at(150, [&] { type("ok\n"); });
            script.until([&] { return !owner.events.empty() && script.elapsedMs() > 300; });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "ok");
        });
    };
    auto onTerminal = kit::runCaptured([&] {
        Terminal terminal;
        drive([&](const std::string &text) { terminal.type(text); }, terminal.slave);
    });
    EXPECT_TRUE(onTerminal.passed()) << onTerminal.describe();
    auto onPipe = kit::runCaptured([&] {
        Pipe pipe;
        drive([&](const std::string &text) { pipe.put(text); }, pipe.reader());
    });
    EXPECT_TRUE(onPipe.passed()) << onPipe.describe();
}

TEST(CsStdIn, LongLineArrivesInReadsOfAtMostTheBufferSize)
{
    const std::string line = std::string(299, 'q').replace(100, 3, "mid") + "\n";
    auto drive = [&](auto type, int fd) {
        readConsole(fd, 1, 255, [&](kit::Loop &script, CsStdIn &, kit::Recorder &owner) {
            script.at(0, [&] { type(line); });
            script.until([&] { return owner.events.size() >= 2 && script.elapsedMs() > 200; });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 2u);
            EXPECT_EQ(owner.events[0].data.size(), 255u);
            EXPECT_EQ(owner.events[1].data.size(), 45u);
            EXPECT_EQ(owner.events[0].data + owner.events[1].data, line);
        });
    };
    auto onTerminal = kit::runCaptured([&] {
        Terminal terminal;
        drive([&](const std::string &text) { terminal.type(text); }, terminal.slave);
    });
    EXPECT_TRUE(onTerminal.passed()) << onTerminal.describe();
    auto onPipe = kit::runCaptured([&] {
        Pipe pipe;
        drive([&](const std::string &text) { pipe.put(text); }, pipe.reader());
    });
    EXPECT_TRUE(onPipe.passed()) << onPipe.describe();
}

TEST(CsStdIn, EndOfInputWithdrawsTheWatchAndTheProgramRunsOn)
{
    auto run = kit::runCaptured([] {
        Pipe pipe;
        readConsole(pipe.reader(), 1, 255, [&](kit::Loop &script, CsStdIn &console, kit::Recorder &owner) {
            int ticks = 0;
            kit::Recorder tickOwner;
            tickOwner.onEvent = [&](const kit::Event &) { ++ticks; };
            CsTimer tick(&tickOwner, 50, 0);
            script.at(0, [&] {
                pipe.put("last\n");
                pipe.closeWriter();
            });
            script.until([&] { return script.elapsedMs() >= 1000; });
            EXPECT_TRUE(script.run(5000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "last\n");
            EXPECT_EQ(console.getWatchHandle(), -1);
            EXPECT_GE(ticks, 12);
        });
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsStdIn, EndOfInputTypedAtATerminalKeepsTheWatchAndLaterLinesArrive)
{
    auto run = kit::runCaptured([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](kit::Loop &script, CsStdIn &console, kit::Recorder &owner) {
            struct rusage before {}, after {};
            script.at(0, [&] { terminal.type("\x04"); });  // Ctrl-D on an empty line
            script.at(100, [&] { getrusage(RUSAGE_SELF, &before); });
            script.at(600, [&] {
                getrusage(RUSAGE_SELF, &after);
                terminal.type("after\n");
            });
            script.at(700, [&] { terminal.type("\x04"); });
            script.at(800, [&] { terminal.type("again\n"); });
            script.until([&] { return owner.events.size() >= 2; });
            EXPECT_TRUE(script.run(5000));
            ASSERT_EQ(owner.events.size(), 2u);
            EXPECT_EQ(owner.events[0].data, "after\n");
            EXPECT_EQ(owner.events[1].data, "again\n");
            EXPECT_NE(console.getWatchHandle(), -1);
            const double busy = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                                static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6;
            EXPECT_LT(busy, 0.2) << "CPU seconds in the half second after the end of input";
        });
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsStdIn, HungUpTerminalWithdrawsTheWatch)
{
    auto run = kit::runCaptured([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](kit::Loop &script, CsStdIn &console, kit::Recorder &owner) {
            script.at(0, [&] { terminal.type("bye\n"); });
            script.at(100, [&] { terminal.closeMaster(); });
            script.until([&] { return script.elapsedMs() >= 600; });
            EXPECT_TRUE(script.run(5000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "bye\n");
            EXPECT_EQ(console.getWatchHandle(), -1);
        });
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

// The owner of the idle child's tick: one byte per tick on a pipe, so the
// test sees the program run on.
class TickReporter : public CsApplication
{
public:
    explicit TickReporter(int fd) : fd(fd) {}
    int callback(CsApplication *, const CsEventMsg *) override
    {
        return write(fd, "t", 1) == 1 ? 0 : -1;
    }

private:
    int fd;
};

TEST(CsStdIn, InputFromDevNullLeavesTheProcessIdle)
{
    // A reader at end of input that kept its watch would find descriptor 0
    // ready on every pass: the loop would spin, and serve no timer either.
    // The child runs until it is killed, writing one byte per tick.
    int ticks[2];
    ASSERT_EQ(pipe(ticks), 0);
    kit::ChildOptions o;
    o.input = false; // /dev/null
    kit::Child child([&] {
        close(ticks[0]);
        TickReporter reporter(ticks[1]);
        CsStdIn console(&reporter, 1, 255, 1);
        CsTimer tick(&reporter, 100, 0);
        CsApplication::run();
    }, o);
    close(ticks[1]);
    const size_t seen = kit::readFor(ticks[0], 2500).size();
    const long cpu = child.cpuMs();
    close(ticks[0]);
    EXPECT_TRUE(child.running()) << "the child ended on its own";
    EXPECT_LT(cpu, 500) << "CPU time (ms) used in 2.5 s";
    EXPECT_GE(seen, 18u) << "ticks in 2.5 s";
}

TEST(CsStdIn, ReaderWithoutBufferNeitherReadsNorKeepsTheLoopBusy)
{
    auto run = kit::runCaptured([] {
        Pipe pipe;
        pipe.put("pending\n");
        readConsole(pipe.reader(), 1, 0, [&](kit::Loop &script, CsStdIn &console, kit::Recorder &owner) {
            EXPECT_EQ(console.getBufferSize(), 0);
            script.until([&] { return script.elapsedMs() >= 300; });
            EXPECT_TRUE(script.run(3000));
            EXPECT_TRUE(owner.events.empty());
        });
        EXPECT_EQ(kit::readAvailable(pipe.reader()), "pending\n");
    }, 10000);
    EXPECT_TRUE(run.passed()) << run.describe();
}

// A plain read watch that drains what it is given.
class Drain : public CsExternalRead
{
public:
    Drain(CsApplication *owner, int descriptor) : CsExternalRead(owner, descriptor, 1) {}
    void onReady() override
    {
        char buffer[64];
        if (read(getDescriptor(), buffer, sizeof buffer) > 0)
            ++reads;
    }
    int reads = 0;
};

TEST(CsStdIn, ReaderThatWithdrewItsWatchLeavesLaterWatchesOnDescriptorZero)
{
    // The library removes the first watch of a descriptor and kind; a
    // reader that has no watch left must not remove somebody else's.
    auto run = kit::runCaptured([] {
        Pipe first, second;
        auto replaced = std::make_unique<StdinReplaced>(first.reader());
        kit::Recorder owner;
        auto *console = new CsStdIn(&owner, 1, 255, 1);
        Drain *later = nullptr;
        kit::Loop script;
        script.at(0, [&] { first.closeWriter(); });
        script.at(100, [&] {
            EXPECT_EQ(console->getWatchHandle(), -1);
            // Descriptor 0 now reads another pipe.
            EXPECT_EQ(dup2(second.reader(), 0), 0);
            later = new Drain(&owner, 0);
            delete console;
            console = nullptr;
        });
        script.at(200, [&] { second.put("data"); });
        script.until([&] { return later != nullptr && later->reads > 0; });
        EXPECT_TRUE(script.run(3000));
        delete console;
        delete later;
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

} // namespace
