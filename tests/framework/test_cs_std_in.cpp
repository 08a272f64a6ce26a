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
#include "framework_harness.h"

namespace {

using fwtest::inChild;

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
struct Terminal {
    int master = -1;
    int slave = -1;
    Terminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
        struct termios mode;
        EXPECT_EQ(tcgetattr(slave, &mode), 0);
        mode.c_lflag |= ICANON;
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        EXPECT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
    }
    ~Terminal()
    {
        closeMaster();
        if (slave >= 0)
            close(slave);
    }
    void type(const std::string &text)
    {
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
};

// The console reader of a child reading descriptor fd; script receives the
// reader and the recording owner, and the run is bounded by boundMs.
void readConsole(int fd, int keepNewline, int bufferSize,
                 const std::function<void(fwtest::Script &, CsStdIn &, fwtest::Recorder &)> &body)
{
    StdinReplaced replaced(fd);
    fwtest::Recorder owner;
    CsStdIn console(&owner, keepNewline, bufferSize, 1);
    fwtest::Script script;
    body(script, console, owner);
}

TEST(CsStdIn, TypedLineArrivesWithItsNewlineAsPlainData)
{
    auto run = inChild([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](fwtest::Script &script, CsStdIn &console, fwtest::Recorder &owner) {
            script.at(0, [&] { terminal.type("exit\n"); });
            script.stopWhen([&] { return !owner.events.empty(); });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 1u);
            const fwtest::Event &event = owner.events[0];
            EXPECT_EQ(event.sender, &console);
            EXPECT_TRUE(event.hasMessage);
            EXPECT_EQ(event.data, "exit\n");
            EXPECT_EQ(event.type, -1);
            EXPECT_EQ(event.handle, -1);
        });
    });
    EXPECT_TRUE(run.passed) << run.describe();
}

TEST(CsStdIn, DroppedNewlineLeavesEmptyLinesUndelivered)
{
    auto drive = [](auto type, int fd) {
        readConsole(fd, 0, 255, [&](fwtest::Script &script, CsStdIn &, fwtest::Recorder &owner) {
            script.at(0, [&] { type("\n"); });
            script.at(150, [&] { type("ok\n"); });
            script.stopWhen([&] { return !owner.events.empty() && script.elapsedMs() > 300; });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "ok");
        });
    };
    auto onTerminal = inChild([&] {
        Terminal terminal;
        drive([&](const std::string &text) { terminal.type(text); }, terminal.slave);
    });
    EXPECT_TRUE(onTerminal.passed) << onTerminal.describe();
    auto onPipe = inChild([&] {
        Pipe pipe;
        drive([&](const std::string &text) { pipe.put(text); }, pipe.reader());
    });
    EXPECT_TRUE(onPipe.passed) << onPipe.describe();
}

TEST(CsStdIn, LongLineArrivesInReadsOfAtMostTheBufferSize)
{
    const std::string line = std::string(299, 'q').replace(100, 3, "mid") + "\n";
    auto drive = [&](auto type, int fd) {
        readConsole(fd, 1, 255, [&](fwtest::Script &script, CsStdIn &, fwtest::Recorder &owner) {
            script.at(0, [&] { type(line); });
            script.stopWhen([&] { return owner.events.size() >= 2 && script.elapsedMs() > 200; });
            EXPECT_TRUE(script.run(3000));
            ASSERT_EQ(owner.events.size(), 2u);
            EXPECT_EQ(owner.events[0].data.size(), 255u);
            EXPECT_EQ(owner.events[1].data.size(), 45u);
            EXPECT_EQ(owner.events[0].data + owner.events[1].data, line);
        });
    };
    auto onTerminal = inChild([&] {
        Terminal terminal;
        drive([&](const std::string &text) { terminal.type(text); }, terminal.slave);
    });
    EXPECT_TRUE(onTerminal.passed) << onTerminal.describe();
    auto onPipe = inChild([&] {
        Pipe pipe;
        drive([&](const std::string &text) { pipe.put(text); }, pipe.reader());
    });
    EXPECT_TRUE(onPipe.passed) << onPipe.describe();
}

TEST(CsStdIn, EndOfInputWithdrawsTheWatchAndTheProgramRunsOn)
{
    auto run = inChild([] {
        Pipe pipe;
        readConsole(pipe.reader(), 1, 255, [&](fwtest::Script &script, CsStdIn &console, fwtest::Recorder &owner) {
            int ticks = 0;
            fwtest::Recorder tickOwner;
            tickOwner.react = [&](const fwtest::Event &) { ++ticks; };
            CsTimer tick(&tickOwner, 50, 0);
            script.at(0, [&] {
                pipe.put("last\n");
                pipe.closeWriter();
            });
            script.stopWhen([&] { return script.elapsedMs() >= 1000; });
            EXPECT_TRUE(script.run(5000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "last\n");
            EXPECT_EQ(console.getWatchHandle(), -1);
            EXPECT_GE(ticks, 12);
        });
    });
    EXPECT_TRUE(run.passed) << run.describe();
}

TEST(CsStdIn, EndOfInputTypedAtATerminalKeepsTheWatchAndLaterLinesArrive)
{
    auto run = inChild([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](fwtest::Script &script, CsStdIn &console, fwtest::Recorder &owner) {
            struct rusage before {}, after {};
            script.at(0, [&] { terminal.type("\x04"); });  // Ctrl-D on an empty line
            script.at(100, [&] { getrusage(RUSAGE_SELF, &before); });
            script.at(600, [&] {
                getrusage(RUSAGE_SELF, &after);
                terminal.type("after\n");
            });
            script.at(700, [&] { terminal.type("\x04"); });
            script.at(800, [&] { terminal.type("again\n"); });
            script.stopWhen([&] { return owner.events.size() >= 2; });
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
    EXPECT_TRUE(run.passed) << run.describe();
}

TEST(CsStdIn, HungUpTerminalWithdrawsTheWatch)
{
    auto run = inChild([] {
        Terminal terminal;
        readConsole(terminal.slave, 1, 255, [&](fwtest::Script &script, CsStdIn &console, fwtest::Recorder &owner) {
            script.at(0, [&] { terminal.type("bye\n"); });
            script.at(100, [&] { terminal.closeMaster(); });
            script.stopWhen([&] { return script.elapsedMs() >= 600; });
            EXPECT_TRUE(script.run(5000));
            ASSERT_EQ(owner.events.size(), 1u);
            EXPECT_EQ(owner.events[0].data, "bye\n");
            EXPECT_EQ(console.getWatchHandle(), -1);
        });
    });
    EXPECT_TRUE(run.passed) << run.describe();
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
    // The child runs until it is killed; its CPU time comes from wait4.
    int ticks[2];
    ASSERT_EQ(pipe(ticks), 0);
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ticks[0]);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        TickReporter reporter(ticks[1]);
        CsStdIn console(&reporter, 1, 255, 1);
        CsTimer tick(&reporter, 100, 0);
        CsApplication::run();
        _exit(3);
    }
    close(ticks[1]);
    int seen = 0;
    double end = fwtest::monotonicSeconds() + 2.5;
    for (double left; (left = end - fwtest::monotonicSeconds()) > 0;) {
        struct pollfd p = {ticks[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) > 0) {
            char buffer[64];
            ssize_t n = read(ticks[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen += static_cast<int>(n);
        }
    }
    kill(pid, SIGKILL);
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    close(ticks[0]);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child ended on its own: " << status;
    EXPECT_LT(cpu, 0.5) << "CPU seconds used in 2.5 s";
    EXPECT_GE(seen, 18) << "ticks in 2.5 s";
}

TEST(CsStdIn, ReaderWithoutBufferNeitherReadsNorKeepsTheLoopBusy)
{
    auto run = inChild([] {
        Pipe pipe;
        pipe.put("pending\n");
        readConsole(pipe.reader(), 1, 0, [&](fwtest::Script &script, CsStdIn &console, fwtest::Recorder &owner) {
            EXPECT_EQ(console.getBufferSize(), 0);
            script.stopWhen([&] { return script.elapsedMs() >= 300; });
            EXPECT_TRUE(script.run(3000));
            EXPECT_TRUE(owner.events.empty());
        });
        EXPECT_EQ(fwtest::readAvailable(pipe.reader()), "pending\n");
    }, 10);
    EXPECT_TRUE(run.passed) << run.describe();
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
    auto run = inChild([] {
        Pipe first, second;
        auto replaced = std::make_unique<StdinReplaced>(first.reader());
        fwtest::Recorder owner;
        auto *console = new CsStdIn(&owner, 1, 255, 1);
        Drain *later = nullptr;
        fwtest::Script script;
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
        script.stopWhen([&] { return later != nullptr && later->reads > 0; });
        EXPECT_TRUE(script.run(3000));
        delete console;
        delete later;
    });
    EXPECT_TRUE(run.passed) << run.describe();
}

} // namespace
