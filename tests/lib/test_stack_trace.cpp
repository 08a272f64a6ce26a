// Stack traces: the frame-line filter fed byte by byte, the runner against
// stand-in debuggers (small shell programs found first on the search path),
// the five-second limits, the fatal-signal reports, and real traces through
// gdb where this machine lets one process attach to another.
//
// The kit's syslog() is linked in (log_capture.h); in the forked children of
// a test every entry travels back to the test through its system-log record.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "report.h"
#include "child.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "text.h"
#include "stack_trace.h"

using kit::ChildResult;
using kit::LogEntry;
using kit::TempDir;
using kit::withoutLineNumbers;

namespace {

// The kit's syslog(3) keeps every entry here (or sends it to the test).
std::vector<LogEntry> &g_log = kit::capturedLog();

const char k_script[] = "backtrace\np trace_wait = 0\nquit\n";
const char k_timeout_in_print[] =
    "\n*** ERROR (stack_trace.cpp, L, stackTracePrint):\n        Timeout. Could not create stacktrace.\n\n";
const char k_timeout_in_runner[] =
    "\n*** ERROR (stack_trace.cpp, L, stack_trace):\n        Timeout. Could not create stacktrace.\n\n";

// Output of a gdb session as the runner receives it: start-up chatter, a
// backtrace whose first frame follows the prompt and whose frames are
// wrapped at 80 columns, the reply to the flag assignment, and the
// confirmation of quit.
const char k_session[] =
    "GNU gdb (GDB) 13.1\n"
    "Reading symbols from ./quorvane...\n"
    "Attaching to program: /opt/quorvane, process 7220\n"
    "__GI___clock_nanosleep (clock_id=clock_id@entry=0, flags=flags@entry=0, \n"
    "    req=req@entry=0x7ffd0fdad0f0) at clock_nanosleep.c:71\n"
    "71\tclock_nanosleep.c: No such file or directory.\n"
    "(gdb) #0  __GI___clock_nanosleep (clock_id=clock_id@entry=0, flags=flags@entry=0, \n"
    "    req=req@entry=0x7ffd0fdad0f0, rem=rem@entry=0x7ffd0fdad0f0)\n"
    "    at clock_nanosleep.c:71\n"
    "#1  0x00007f31ee6c7d8a in __sleep (seconds=0) at sleep.c:55\n"
    "#2  0x00005562c90d31ae in main () at main.cpp:4\n"
    "(gdb) $1 = 0\n"
    "(gdb) A debugging session is active.\n"
    "\n"
    "\tInferior 1 [process 7220] will be detached.\n"
    "\n"
    "Quit anyway? (y or n) [answered Y; input not from terminal]\n";

const std::vector<std::string> k_session_frames = {
    "#0  __GI___clock_nanosleep (clock_id=clock_id@entry=0, flags=flags@entry=0,  "
    "req=req@entry=0x7ffd0fdad0f0, rem=rem@entry=0x7ffd0fdad0f0) at clock_nanosleep.c:71",
    "#1  0x00007f31ee6c7d8a in __sleep (seconds=0) at sleep.c:55",
    "#2  0x00005562c90d31ae in main () at main.cpp:4",
};

std::string joinedLines(const std::vector<std::string> &lines)
{
    std::string joined;
    for (const auto &line : lines)
        joined += line + "\n";
    return joined;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

std::vector<std::string> frameLines(const std::string &text)
{
    std::vector<std::string> frames;
    for (const auto &line : lines(text))
        if (!line.empty() && line[0] == '#')
            frames.push_back(line);
    return frames;
}

std::string ownExecutable()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    return path;
}

std::string bannerFor(const std::string &program, pid_t pid)
{
    return "******** stack trace for \"" + program + "\" pid = " + std::to_string(pid) + " ********\n";
}

// ---------------------------------------------------------------- line filter

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override { g_log.clear(); }

    // Everything the filter writes to standard error for these bytes.
    std::string feed(const std::string &bytes, int copy_to_log = 0)
    {
        stack_trace_filter_init(&filter, copy_to_log);
        testing::internal::CaptureStderr();
        for (char byte : bytes)
            stack_trace_filter_feed(&filter, byte);
        return testing::internal::GetCapturedStderr();
    }

    stack_trace_filter filter;
};

TEST_F(FilterTest, KeepsOnlyTheFrameLinesOfADebuggerSession)
{
    EXPECT_EQ(feed(k_session), joinedLines(k_session_frames));
    EXPECT_TRUE(g_log.empty()) << "no copy to the system log unless asked";
}

TEST_F(FilterTest, CopiesEachFrameLineToTheSystemLogWhenAsked)
{
    EXPECT_EQ(feed(k_session, 1), joinedLines(k_session_frames));
    ASSERT_EQ(g_log.size(), k_session_frames.size());
    for (size_t i = 0; i < g_log.size(); i++) {
        EXPECT_EQ(g_log[i].priority, LOG_CRIT);
        EXPECT_EQ(g_log[i].text, k_session_frames[i] + "\n");
    }
}

TEST_F(FilterTest, JoinsContinuationLinesWithOneBlankWhateverTheIndentAndLineEnd)
{
    EXPECT_EQ(feed("#3  f (a=1,\r          b=2)\n c=3\n#4  g ()\n(gdb) "),
              "#3  f (a=1, b=2) c=3\n#4  g ()\n");
    // An empty line ends a frame line like any other non-indented line.
    EXPECT_EQ(feed("#0  h ()\n\nnot a frame #but this starts one\n\n"),
              "#0  h ()\n#but this starts one\n");
}

TEST_F(FilterTest, OnlyBlanksIndentAContinuation)
{
    // A tab is no indent: after a line end it ends the frame line; inside
    // the indent it is the first byte of the continued text.
    EXPECT_EQ(feed("#0  a (x=1,\n\ty=2)\n#1  b ()\n(gdb) "), "#0  a (x=1,\n#1  b ()\n");
    EXPECT_EQ(feed("#0  a (x=1,\n  \ty=2)\n#1  b ()\n(gdb) "), "#0  a (x=1, \ty=2)\n#1  b ()\n");
}

TEST_F(FilterTest, NeverWritesALineStillCollectedWhenTheOutputStops)
{
    EXPECT_EQ(feed("#0  a ()\n#1  b ()"), "#0  a ()\n");
    EXPECT_EQ(feed("#0  a ()\n"), "") << "the end of the line alone does not complete it";
    EXPECT_EQ(feed("#0  a (x=1,\n    "), "");
    EXPECT_EQ(feed("(gdb) $1 = 0\n(gdb) "), "");
}

TEST_F(FilterTest, CutsAnOverlongFrameLineAndCarriesOnWithTheNextOne)
{
    const std::string head = "#0  0x0000000000401136 in deep (";
    std::string longLine = head + std::string(3 * STACK_TRACE_LINE_SIZE, 'x');
    // A continuation of a full line must not write past the buffer either.
    const std::string bytes = longLine + "\n    y=2)\n#1  main ()\n(gdb) ";
    const std::string out = feed(bytes, 1);
    const std::vector<std::string> got = lines(out);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), static_cast<size_t>(STACK_TRACE_LINE_SIZE - 1));
    EXPECT_EQ(got[0], longLine.substr(0, STACK_TRACE_LINE_SIZE - 1));
    EXPECT_EQ(got[1], "#1  main ()");
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[0].text, got[0] + "\n");
}

// ---------------------------------------------------------------- runner and waits

// Puts a directory with the stand-in debugger first on the search path.
void useDebuggerIn(const TempDir &dir)
{
    const std::string path = dir.path() + ":/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);
}

// Runs the runner itself in the calling child, as stackTracePrint's child
// would, for program and pid texts of the test's choosing.
[[noreturn]] void runRunner(const char *program, const char *pid, int copy_to_log)
{
    char gdb[] = "gdb";
    std::string programText = program;
    std::string pidText = pid;
    char *argv[] = {gdb, &programText[0], &pidText[0], nullptr};
    stack_trace(argv, copy_to_log);
}

TEST(StackTraceRunnerTest, SendsTheScriptAndCopiesTheFramesOfAnAnsweringDebugger)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kit::writeFile(dir.file("canned"), k_session);
    kit::writeFile(dir.file("gdb"),
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$@\" > '" + dir.file("argv") + "'\n"
                   "head -c " + std::to_string(sizeof k_script - 1) + " > '" + dir.file("script") + "'\n"
                   "cat '" + dir.file("canned") + "'\n",
                   0755);

    const ChildResult r = kit::runCaptured([&] {
        useDebuggerIn(dir);
        runRunner("/opt/quorvane", "4242", 1);
    });
    EXPECT_TRUE(r.exitedWith(0)) << "status " << r.status;
    EXPECT_EQ(kit::readFile(dir.file("argv")), "/opt/quorvane\n4242\n");
    EXPECT_EQ(kit::readFile(dir.file("script")), k_script);
    EXPECT_EQ(r.err, joinedLines(k_session_frames));
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.log.size(), k_session_frames.size());
    for (size_t i = 0; i < r.log.size(); i++) {
        EXPECT_EQ(r.log[i].priority, LOG_CRIT);
        EXPECT_EQ(r.log[i].text, k_session_frames[i] + "\n");
    }
    // Stops on the first quiet second after the debugger ended, not on the
    // idle limit.
    EXPECT_LT(r.seconds, STACK_TRACE_TIMEOUT - 1.0);
}

TEST(StackTraceRunnerTest, CopiesEveryFrameOfADebuggerThatEndsBeforeItsOutputIsRead)
{
    // A deep stack that fits the pipe whole: the debugger is gone, and the
    // runner interrupted by SIGCHLD, long before the last byte is read.
    std::vector<std::string> frames;
    std::string output = "(gdb) ";
    for (int i = 0; output.size() < 48 * 1024; i++) {
        frames.push_back("#" + std::to_string(i) + "  0x00000000004011d6 in recurse (depth=" + std::to_string(i) + ")");
        output += frames.back() + "\n";
    }
    output += "(gdb) $1 = 0\n(gdb) ";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kit::writeFile(dir.file("canned"), output);
    kit::writeFile(dir.file("gdb"),
                   "#!/bin/sh\n"
                   "head -c " + std::to_string(sizeof k_script - 1) + " > /dev/null\n"
                   "cat '" + dir.file("canned") + "'\n",
                   0755);

    const ChildResult r = kit::runCaptured([&] {
        useDebuggerIn(dir);
        runRunner("/opt/quorvane", "4242", 0);
    });
    EXPECT_TRUE(r.exitedWith(0)) << "status " << r.status;
    const std::vector<std::string> got = lines(r.err);
    ASSERT_EQ(got.size(), frames.size());
    EXPECT_EQ(got.back(), frames.back());
    EXPECT_EQ(r.err, joinedLines(frames));
}

TEST(StackTraceRunnerTest, RefusesAPipeThatSelectCannotWatch)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < FD_SETSIZE + 16)
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is below the select limit";

    const ChildResult r = kit::runCaptured([] {
        struct rlimit raised;
        getrlimit(RLIMIT_NOFILE, &raised);
        raised.rlim_cur = FD_SETSIZE + 16;
        setrlimit(RLIMIT_NOFILE, &raised);
        // Every number below the select limit taken, as in a busy server.
        int fd;
        do {
            fd = open("/dev/null", O_RDONLY);
        } while (fd >= 0 && fd < FD_SETSIZE - 1);
        runRunner("/opt/quorvane", "4242", 0);
    });
    EXPECT_TRUE(r.exitedWith(0)) << "status " << r.status;
    EXPECT_EQ(withoutLineNumbers(r.err), "\n*** ERROR (stack_trace.cpp, L, stack_trace):\n        pipe: " +
                                             std::string(strerror(EMFILE)) + "\n");
    EXPECT_LT(r.seconds, 2.0);
}

// Every party that waits for the debugger gives up after five seconds; the
// four ways of never hearing from it run side by side.
TEST(StackTraceRunnerTest, EveryWaitForASilentDebuggerEndsAfterFiveSecondsWithATimeoutReport)
{
    TempDir noDebugger;
    TempDir interactive;
    TempDir silent;
    ASSERT_FALSE(noDebugger.path().empty() || interactive.path().empty() || silent.path().empty());
    kit::writeFile(interactive.file("gdb"),
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$@\" > '" + interactive.file("argv") + "'\n"
                   "echo $$ > '" + interactive.file("pid") + "'\n"
                   "exec sleep 30\n",
                   0755);
    kit::writeFile(silent.file("gdb"),
                   "#!/bin/sh\n"
                   "echo $$ > '" + silent.file("pid") + "'\n"
                   "head -c " + std::to_string(sizeof k_script - 1) + " > '" + silent.file("script") + "'\n"
                   "exec sleep 30\n",
                   0755);

    // A mode without a debugger: the child ends at once, nothing is printed.
    kit::Child unknownMode([] { stackTracePrint(7, "/opt/quorvane"); }, kit::capturing());
    // The debugger cannot be started: the runner's report still reaches the
    // error stream, not the pipe meant for the debugger's output.
    kit::Child missing([&] {
        setenv("PATH", noDebugger.path().c_str(), 1);
        stackTracePrint(STACK_TRACE_STDERR, "/opt/quorvane");
    }, kit::capturing());
    // Interactive: the child becomes the debugger, which never clears the flag.
    kit::Child debugStop([&] {
        useDebuggerIn(interactive);
        stackTracePrint(STACK_TRACE_INTERACTIVE, "/opt/quorvane");
    }, kit::capturing());
    // The runner's own limit, with a debugger that reads the script and hangs.
    kit::Child runner([&] {
        useDebuggerIn(silent);
        runRunner("/opt/quorvane", "4242", 0);
    }, kit::capturing());

    const ChildResult a = unknownMode.finish(15000);
    const ChildResult b = missing.finish(15000);
    const ChildResult c = debugStop.finish(15000);
    const ChildResult d = runner.finish(15000);

    {
        SCOPED_TRACE("mode 7");
        EXPECT_TRUE(a.exitedWith(0)) << "returns to the caller; status " << a.status;
        EXPECT_EQ(withoutLineNumbers(a.err), k_timeout_in_print);
        EXPECT_TRUE(std::regex_match(a.out, std::regex("Killing PID = [0-9]+\n"))) << a.out;
        EXPECT_GE(a.seconds, 5.0);
        EXPECT_LT(a.seconds, 9.0);
    }
    {
        SCOPED_TRACE("no debugger on the search path");
        EXPECT_TRUE(b.exitedWith(0)) << "status " << b.status;
        const std::string err = withoutLineNumbers(b.err);
        const std::string exec = "\n*** ERROR (stack_trace.cpp, L, stack_trace):\n        exec: " +
                                 std::string(strerror(ENOENT)) + "\n";
        EXPECT_EQ(err.rfind(bannerFor("/opt/quorvane", b.pid), 0), 0u) << err;
        const size_t execAt = err.find(exec);
        const size_t timeoutAt = err.find(k_timeout_in_print);
        EXPECT_NE(execAt, std::string::npos) << err;
        EXPECT_NE(timeoutAt, std::string::npos) << err;
        EXPECT_LT(execAt, timeoutAt);
        EXPECT_TRUE(std::regex_match(b.out, std::regex("Killing PID = [0-9]+\n"))) << b.out;
        EXPECT_GE(b.seconds, 5.0);
    }
    {
        SCOPED_TRACE("interactive");
        EXPECT_TRUE(c.exitedWith(0)) << "status " << c.status;
        EXPECT_EQ(kit::readFile(interactive.file("argv")), "/opt/quorvane\n" + std::to_string(c.pid) + "\n");
        EXPECT_EQ(withoutLineNumbers(c.err), std::string("debug_stop\n") + k_timeout_in_print);
        EXPECT_EQ(c.out, "Killing PID = " + kit::readFile(interactive.file("pid")));
        EXPECT_GE(c.seconds, 5.0);
    }
    {
        SCOPED_TRACE("runner");
        EXPECT_TRUE(d.exitedWith(0)) << "status " << d.status;
        EXPECT_EQ(kit::readFile(silent.file("script")), k_script);
        EXPECT_EQ(withoutLineNumbers(d.err), k_timeout_in_runner);
        EXPECT_EQ(d.out, "Killing PID = " + kit::readFile(silent.file("pid")));
        EXPECT_GE(d.seconds, 5.0);
        EXPECT_LT(d.seconds, 9.0);
    }
}

// ---------------------------------------------------------------- fatal signals

TEST(FatalSignalTest, ReportsEachSignalByNameThenEndsWithStatusOne)
{
    const struct {
        int signum;
        const char *text;
    } cases[] = {
        {SIGSEGV, "Segmentation fault"}, {SIGPIPE, "Broken pipe"},
        {SIGBUS, "Bus error"},           {SIGILL, "Illegal instruction"},
        {SIGFPE, "Floating point exception"}, {SIGUSR1, "Unknown signal caught"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        // Without a registered program the trace itself ends the process.
        const ChildResult r = kit::runCaptured([&] { fatal_signal_handler(c.signum); });
        EXPECT_TRUE(r.exitedWith(1)) << "status " << r.status;
        const std::string report = "\n*** ERROR (stack_trace.cpp, L, fatal_signal_handler):\n        " +
                                   std::string(c.text) + "\n\n";
        const std::string err = withoutLineNumbers(r.err);
        EXPECT_EQ(err.substr(0, report.size()), report);
        EXPECT_NE(err.find("stackTracePrint):\n        You have not specified the name of your program."),
                  std::string::npos)
            << err;
        ASSERT_GE(r.log.size(), 3u);
        EXPECT_EQ(r.log[1].priority, LOG_ERR);
        EXPECT_EQ(r.log[1].text, "        " + std::string(c.text));
    }
}

TEST(FatalSignalTest, CatchingInstallsTheHandlerForTheFiveSignalsAndKeepsItsOwnCopyOfTheName)
{
    const ChildResult r = kit::runCaptured([] {
        char name[] = "/opt/quorvane";
        stack_trace_catch_fatal(name, STACK_TRACE_STDERR);
        name[1] = 'X';
        const int signals[] = {SIGPIPE, SIGSEGV, SIGBUS, SIGILL, SIGFPE};
        for (int signum : signals) {
            struct sigaction current;
            sigaction(signum, nullptr, &current);
            if (current.sa_handler != fatal_signal_handler)
                printf("signal %d not caught\n", signum);
        }
        struct sigaction abrt;
        sigaction(SIGABRT, nullptr, &abrt);
        if (abrt.sa_handler == fatal_signal_handler)
            printf("SIGABRT caught too\n");
        printf("name %s\n", stack_trace_program_name() ? stack_trace_program_name() : "(null)");
    });
    EXPECT_TRUE(r.exitedWith(0)) << "status " << r.status;
    EXPECT_EQ(r.out, "name /opt/quorvane\n");
}

TEST(FatalSignalTest, ChildEndHandlerAssertsThatItsSignalIsTheChildSignal)
{
    const ChildResult ok = kit::runCaptured([] { stack_trace_sigchld(SIGCHLD); });
    EXPECT_TRUE(ok.exitedWith(0)) << "status " << ok.status;

    const ChildResult wrong = kit::runCaptured([] { stack_trace_sigchld(SIGUSR1); });
    EXPECT_TRUE(wrong.killedBy(SIGABRT)) << "status " << wrong.status;
    EXPECT_NE(wrong.err.find("Assertion `signum == 17' failed."), std::string::npos) << wrong.err;
}

// ---------------------------------------------------------------- real traces

// Empty when gdb can attach to a process of ours here; otherwise the reason.
std::string debuggerUnavailable()
{
    bool found = false;
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (!found && std::getline(dirs, dir, ':'))
        found = !dir.empty() && access((dir + "/gdb").c_str(), X_OK) == 0;
    if (!found)
        return "gdb is not on the search path";

    const int fd = open("/proc/sys/kernel/yama/ptrace_scope", O_RDONLY);
    if (fd >= 0) {
        char scope = '0';
        const ssize_t n = read(fd, &scope, 1);
        close(fd);
        // The debugger is a descendant of the process it attaches to, which
        // any scope above 0 refuses.
        if (n == 1 && scope != '0')
            return std::string("ptrace_scope is ") + scope;
    }

    kit::Child target([] { sleep(10); });
    if (!target.started())
        return "fork failed";
    std::string reason;
    if (ptrace(PTRACE_ATTACH, target.processId(), nullptr, nullptr) != 0) {
        reason = std::string("trial attach refused: ") + strerror(errno);
    } else {
        int status;
        waitpid(target.processId(), &status, 0);
        ptrace(PTRACE_DETACH, target.processId(), nullptr, nullptr);
    }
    return reason;
}

volatile int g_after_raise = 0;

// Kept out of line and not in tail position, so it has a frame of its own.
__attribute__((noinline)) void crashInKnownFunction()
{
    raise(SIGSEGV);
    g_after_raise = g_after_raise + 1;
}

__attribute__((noinline)) void failInKnownFunction()
{
    REPORT_FATAL("        Could not create priority queue for timers.");
    g_after_raise = g_after_raise + 1;
}

class RealTraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string reason = debuggerUnavailable();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        program = ownExecutable();
        ASSERT_FALSE(program.empty());
    }

    std::string program;
};

TEST_F(RealTraceTest, FatalSignalTracesTheDyingProcessToStandardErrorOnly)
{
    const std::string name = program;
    const ChildResult r = kit::runCaptured([&] {
        stack_trace_catch_fatal(name.c_str(), STACK_TRACE_STDERR);
        crashInKnownFunction();
    });
    EXPECT_TRUE(r.exitedWith(1)) << "status " << r.status << "\n" << r.err;
    const std::string head = "\n*** ERROR (stack_trace.cpp, L, fatal_signal_handler):\n        Segmentation fault\n\n" +
                             bannerFor(program, r.pid);
    const std::string err = withoutLineNumbers(r.err);
    EXPECT_EQ(err.substr(0, head.size()), head) << err;
    const std::vector<std::string> frames = frameLines(err);
    bool named = false;
    for (const auto &frame : frames)
        named = named || frame.find("crashInKnownFunction") != std::string::npos;
    EXPECT_TRUE(named) << err;
    EXPECT_EQ(err.find("Timeout"), std::string::npos) << err;
    EXPECT_EQ(r.out, "");
    EXPECT_LT(r.seconds, STACK_TRACE_TIMEOUT);
    // Only the signal report reaches the system log in this mode.
    ASSERT_EQ(r.log.size(), 3u);
    for (const auto &e : r.log)
        EXPECT_EQ(e.priority, LOG_ERR);
}

TEST_F(RealTraceTest, FatalErrorTracesToStandardErrorAndTheSystemLogThenAborts)
{
    const std::string name = program;
    const ChildResult r = kit::runCaptured([&] {
        stack_trace_catch_fatal(name.c_str(), STACK_TRACE_STDERR);
        failInKnownFunction();
    });
    EXPECT_TRUE(r.killedBy(SIGABRT)) << "status " << r.status << "\n" << r.err;
    const std::string banner = bannerFor(program, r.pid);
    const std::string head =
        "\n*** FATAL ERROR (test_stack_trace.cpp, L, failInKnownFunction):\n"
        "        Could not create priority queue for timers.\n\n" + banner;
    const std::string err = withoutLineNumbers(r.err);
    EXPECT_EQ(err.substr(0, head.size()), head) << err;
    const std::vector<std::string> frames = frameLines(err);
    bool named = false;
    for (const auto &frame : frames)
        named = named || frame.find("failInKnownFunction") != std::string::npos;
    EXPECT_TRUE(named) << err;
    EXPECT_EQ(err.find("Timeout"), std::string::npos) << err;
    EXPECT_LT(r.seconds, STACK_TRACE_TIMEOUT);

    // The report, the banner and every frame line, all at LOG_CRIT.
    ASSERT_EQ(r.log.size(), 4 + frames.size());
    for (const auto &e : r.log)
        EXPECT_EQ(e.priority, LOG_CRIT);
    EXPECT_EQ(r.log[3].text, banner);
    for (size_t i = 0; i < frames.size(); i++)
        EXPECT_EQ(r.log[4 + i].text, frames[i] + "\n");
}

} // namespace
