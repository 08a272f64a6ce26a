// The built quorvane program run on a pseudo-terminal as a person runs it:
// the test types on the keyboard and reads the screen, and plays the log
// server on a loopback port at byte level. The signal tests run it on pipes,
// where the console can be held up or taken away.
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "term_records.h"
#include "terminal_program.h"
#include "text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>


using kit::appendFile;
using kit::nowMs;
using kit::readFile;
using kit::TempDir;
using kit::waitForFile;
using kit::writeFile;

namespace {

const std::string kProgram = kit::kTerminal;

std::string usageText(const std::string& program)
{
    return "\nUsage " + program + " -s... [-p... [-l...]] [-f...] [-?]\n\n"
           "      -s<name>  : name/ip address of the server to connect.\n"
           "      -p<port>  : port number of the server to connect (default 8000).\n"
           "      -l<login> : automatic login text at 'login' promt.\n"
           "      -f<dir>   : in/out files in 'dir' directory (multi-op usage).\n"
           "      -?        : this help text.\n"
           "\n      Quorvane version 1.00 (https://quorvane.invalid/)\n\n";
}

const char kBanner[] = "\n\nWelcome to Quorvane ver 1.00 (https://quorvane.invalid/)\n\n";

class QuorvaneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct stat st;
        ASSERT_EQ(0, stat(kProgram.c_str(), &st))
            << "the quorvane program is not built at " << kProgram
            << " (build the 'quorvane' target before running these tests)";
    }

    // Runs quorvane with the server's port and the shared files in dir.
    std::unique_ptr<kit::Child> run(std::vector<std::string> extra = {}, bool stdinNull = false)
    {
        std::vector<std::string> argv = {kProgram, "-s", "127.0.0.1", "-p", server.portText(),
                                         "-f" + dir.path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto p = std::make_unique<kit::Child>(argv, kit::onTerminal("", stdinNull));
        EXPECT_TRUE(p->started());
        return p;
    }

    // Runs it and waits for the banner and the connection.
    std::unique_ptr<kit::Child> runConnected(std::vector<std::string> extra = {}, bool stdinNull = false)
    {
        auto p = run(extra, stdinNull);
        EXPECT_GE(peer = server.accept(5000), 0);
        EXPECT_TRUE(p->waitFor("Connected to server\n", 5000)) << p->output();
        EXPECT_TRUE(p->waitFor(kBanner, 5000)) << p->output();
        return p;
    }

    void typeExit(kit::Child& p)
    {
        p.write("exit\r");
        EXPECT_EQ(0, p.waitExit(5000)) << p.output();
    }

    TempDir dir;
    kit::Listener server;
    int peer = -1; // the program's connection, as the server sees it
};

// ---------------------------------------------------------------- command line

TEST_F(QuorvaneTest, PrintsUsageAndEndsWith255ForBadCommandLines)
{
    const std::vector<std::vector<std::string>> cases = {
        {},                           // no arguments: no host
        {"-x"},                       // a letter not in the option string
        {"-s"},                       // -s without its value
        {"-?"},                       // asked for
        {"-?", "-s", "127.0.0.1"},    // asked for before a valid host
        {"-p", "1234", "-f", "/tmp"}, // everything but the host
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), args.begin(), args.end());
        kit::Child p(argv, kit::onTerminal(dir.path()));
        std::string label = args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " ..." : "");
        EXPECT_EQ(255, p.waitExit(5000)) << label;
        EXPECT_EQ(usageText(kProgram), p.output()) << label << ": no getopt message, nothing else";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("internal"))) << "nothing was constructed";
}

TEST_F(QuorvaneTest, PrintsStartUpLinesThenBannerAndEndsWithStatusZeroOnExit)
{
    writeFile(dir.file("term.in"), "stale\n");
    auto p = runConnected();
    const std::string expectedStart =
        "The application is running......\n--End with exit or bye command--\n" + std::string(kBanner);
    EXPECT_EQ(0u, p->output().find(expectedStart)) << p->output();
    EXPECT_EQ("\n", readFile(dir.file("term.in")));

    typeExit(*p);
    const std::string& screen = p->output();
    const std::string last = "The application ended\n";
    ASSERT_GE(screen.size(), last.size());
    EXPECT_EQ(last, screen.substr(screen.size() - last.size())) << screen;
    EXPECT_TRUE(kit::peerEnded(peer, 3000));
    EXPECT_EQ("", kit::readFor(peer, 50)) << "exit is not sent";
}

TEST_F(QuorvaneTest, UsesPort8000AndTheInternalDirectoryByDefault)
{
    TempDir work;
    ASSERT_EQ(0, mkdir(work.file("internal").c_str(), 0700));
    writeFile(work.file("internal/term.in"), "old\n");
    kit::Child p({kProgram, "-s127.0.0.1"}, kit::onTerminal(work.path()));
    ASSERT_TRUE(p.waitFor(kBanner, 5000)) << p.output();
    EXPECT_EQ("\n", waitForFile(work.file("internal/term.in"), "\n", 2000))
        << "the shared files are internal/ under the working directory";
    typeExit(p);
}

TEST_F(QuorvaneTest, BuildsTheFilePathsFromTheDirectoryTextUnchanged)
{
    writeFile(dir.file("term.in"), "old\n");
    // A trailing slash gives <dir>//term.in, which names the same file.
    kit::Child p({kProgram, "-s", "127.0.0.1", "-p", server.portText(), "-f", dir.path() + "/"}, kit::onTerminal());
    ASSERT_GE(peer = server.accept(5000), 0);
    ASSERT_TRUE(p.waitFor(kBanner, 5000)) << p.output();
    EXPECT_EQ("\n", readFile(dir.file("term.in")));
    appendFile(dir.file("term.out"), "via slash\n");
    EXPECT_EQ("via slash", kit::readExactly(peer, 9, 4000));
    typeExit(p);
}

// ---------------------------------------------------------------- terminal

TEST_F(QuorvaneTest, SendsATypedLineByteForByteAndShowsServerTextLineByLine)
{
    auto p = runConnected();
    p->write("show log 10\r");
    EXPECT_EQ("show log 10\n", kit::readExactly(peer, 12, 3000)) << "Enter arrives as a line feed";

    size_t mark = p->output().size();
    ASSERT_TRUE(kit::sendAll(peer, "QSO 1\nQSO 2\npartial"));
    EXPECT_TRUE(p->waitFor("QSO 1\nQSO 2\npartial", 3000, mark)) << p->output();
    ASSERT_TRUE(kit::sendAll(peer, " rest\n"));
    EXPECT_TRUE(p->waitFor("partial rest\n", 3000, mark)) << p->output();
    typeExit(*p);
}

TEST_F(QuorvaneTest, EndOfInputTypedAtTheTerminalLeavesTheConsoleWorking)
{
    auto p = runConnected();
    p->write("\x04");  // Ctrl-D on an empty line
    usleep(200000);
    p->write("after eof\r");
    EXPECT_EQ("after eof\n", kit::readExactly(peer, 10, 3000)) << "lines typed afterwards reach the server";
    p->write("\x04");
    p->write("again\r");
    EXPECT_EQ("again\n", kit::readExactly(peer, 6, 3000));
    typeExit(*p);
}

TEST_F(QuorvaneTest, SendsByeAndEndsWithStatusZero)
{
    auto p = runConnected();
    p->write("bye\r");
    EXPECT_EQ("bye\n", kit::readExactly(peer, 4, 3000));
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_TRUE(kit::peerEnded(peer, 3000));
    const std::string& screen = p->output();
    EXPECT_EQ(screen.size() - 22, screen.rfind("The application ended\n")) << screen;
}

TEST_F(QuorvaneTest, AnswersTheLoginPromptWithTheGivenText)
{
    auto p = runConnected({"-l", "dl1abc"});
    size_t mark = p->output().size();
    ASSERT_TRUE(kit::sendAll(peer, "Log server\r\nlogin: "));
    EXPECT_EQ("dl1abc\r\n", kit::readExactly(peer, 8, 3000));
    EXPECT_TRUE(p->waitFor("Doing automatic login with text <dl1abc>\n", 3000, mark));
    EXPECT_EQ(std::string::npos, p->output().find("Log server", mark));
    typeExit(*p);
}

// ---------------------------------------------------------------- connection

TEST_F(QuorvaneTest, ReachesAServerThatComesUpAfterStartWithinOneRetryPeriod)
{
    int port = kit::probeFreePort();
    ASSERT_GT(port, 0);
    kit::Child p({kProgram, "-s", "127.0.0.1", "-p", std::to_string(port), "-f" + dir.path()}, kit::onTerminal());
    ASSERT_TRUE(p.waitFor(kBanner, 5000)) << p.output();
    usleep(1500000);
    EXPECT_EQ(std::string::npos, p.output().find("Connected to server"));

    kit::Listener late(port);
    ASSERT_TRUE(late.ok()) << "port " << port << " was taken meanwhile";
    long long up = nowMs();
    const int latePeer = late.accept(12000);
    ASSERT_GE(latePeer, 0) << p.output();
    EXPECT_LT(nowMs() - up, 11000);
    EXPECT_TRUE(p.waitFor("Connected to server\n", 3000)) << p.output();
    p.write("hello\r");
    EXPECT_EQ("hello\n", kit::readExactly(latePeer, 6, 3000));
    typeExit(p);
}

// ---------------------------------------------------------------- shared files

TEST_F(QuorvaneTest, SendsARecordAppendedToTermOutWithinAboutASecond)
{
    writeFile(dir.file("term.out"), "already there\n");
    auto p = runConnected();
    size_t mark = p->output().size();
    long long appended = nowMs();
    appendFile(dir.file("term.out"), "CQ TEST\x01\n");
    EXPECT_EQ("CQ TEST\n", kit::readExactly(peer, 8, 3000));
    EXPECT_LT(nowMs() - appended, 2000) << "at the next one-second tick";
    EXPECT_TRUE(p->waitFor("CQ TEST\n", 2000, mark)) << "records are shown in terminal mode";
    EXPECT_EQ("", kit::readFor(peer, 1200)) << "the record present at start is not sent";
    typeExit(*p);
}

TEST_F(QuorvaneTest, WritesServerOutputToTermInOneQuietTickAfterItStops)
{
    auto p = runConnected();
    long long sent = nowMs();
    ASSERT_TRUE(kit::sendAll(peer, "spot 14025\r\n"));
    const std::string expected = std::string("\nspot 14025\r\x01\n");
    ASSERT_EQ(expected, waitForFile(dir.file("term.in"), expected, 4000));
    long long took = nowMs() - sent;
    EXPECT_GT(took, 900) << "the first tick after the block only counts it";
    EXPECT_LT(took, 3000);
    typeExit(*p);
}

TEST_F(QuorvaneTest, KeepsServingTheFilesIdleWhenStandardInputIsAtEnd)
{
    auto p = runConnected({}, true);
    appendFile(dir.file("term.out"), "from operator\n");
    EXPECT_EQ("from operator", kit::readExactly(peer, 13, 3000));
    ASSERT_TRUE(kit::sendAll(peer, "to operator\n"));
    const std::string expected = std::string("\nto operator\x01\n");
    EXPECT_EQ(expected, waitForFile(dir.file("term.in"), expected, 4000));

    long before = p->cpuMs();
    ASSERT_GE(before, 0);
    usleep(3000000);
    long after = p->cpuMs();
    ASSERT_GE(after, 0) << "the program is still running";
    EXPECT_LE(after - before, 50) << "more than 50 ms of CPU in 3 s of idleness";

    appendFile(dir.file("term.out"), "still served\n");
    EXPECT_EQ("still served", kit::readExactly(peer, 12, 3000));
}

// ---------------------------------------------------------------- one terminal per directory

TEST_F(QuorvaneTest, ASecondTerminalOnTheSameDirectoryRefusesToStartAndTouchesNothing)
{
    auto first = runConnected();
    ASSERT_TRUE(kit::sendAll(peer, "unread by the operator\n"));
    const std::string records = "\nunread by the operator\x01\n";
    ASSERT_EQ(records, waitForFile(dir.file("term.in"), records, 4000));

    // The same directory by another name.
    TempDir elsewhere;
    const std::string link = elsewhere.file("station");
    ASSERT_EQ(0, symlink(dir.path().c_str(), link.c_str()));
    kit::Child second({kProgram, "-s", "127.0.0.1", "-p", server.portText(), "-f" + link}, kit::onTerminal());
    EXPECT_EQ(1, second.waitExit(5000)) << second.output();
    EXPECT_NE(std::string::npos, second.output().find("another terminal (pid " + std::to_string(first->processId()) +
                                                      ") uses the directory " + link))
        << second.output();
    EXPECT_EQ(-1, server.accept(300)) << "the second one connected";
    EXPECT_EQ(records, readFile(dir.file("term.in")));
    appendFile(dir.file("term.out"), "once\x01\n");
    EXPECT_EQ("once\n", kit::readExactly(peer, 5, 3000));
    EXPECT_EQ("", kit::readFor(peer, 1500)) << "a record sent twice";

    // The lock goes with the process, however it ends.
    first->signal(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, first->waitExit(5000));
    auto third = runConnected();
    typeExit(*third);
}

TEST_F(QuorvaneTest, ADirectoryThatAppearsLaterIsUsedAndLockedBeforeItsFilesAreTouched)
{
    // Used at its console alone, a terminal needs no shared directory.
    TempDir parent;
    const std::string later = parent.file("station");
    kit::Child first({kProgram, "-s", "127.0.0.1", "-p", server.portText(), "-f" + later}, kit::onTerminal());
    ASSERT_GE(peer = server.accept(5000), 0);
    ASSERT_TRUE(first.waitFor(kBanner, 5000)) << first.output();

    ASSERT_EQ(0, mkdir(later.c_str(), 0700));
    appendFile(later + "/term.out", "late\x01\n");
    EXPECT_EQ("late\n", kit::readExactly(peer, 5, 4000)) << first.output();
    ASSERT_TRUE(first.waitFor("late", 3000));

    // Once it uses the directory, it holds it.
    kit::Child second({kProgram, "-s", "127.0.0.1", "-p", server.portText(), "-f" + later}, kit::onTerminal());
    EXPECT_EQ(1, second.waitExit(5000)) << second.output();
    EXPECT_NE(std::string::npos, second.output().find("another terminal (pid " + std::to_string(first.processId())))
        << second.output();
    typeExit(first);
}

// ---------------------------------------------------------------- signals

// Sent by the server shortly before the signal: the first tick after it
// only counts it, so only the stop can have written it to term.in.
const char kLastLine[] = "last words 73\n";
const char kLastRecords[] = "\nlast words 73\x01\n";  // after the reset record
using kit::kEnded;

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The terminal on pipes, connected, with the server's last line received
// and shown but not yet due for term.in.
struct SignalledRun {
    TempDir dir;
    kit::Listener server;
    int peer = -1;
    std::unique_ptr<kit::Child> process;

    explicit SignalledRun(bool drainLater = false)
    {
        kit::ChildOptions o;
        o.drainLater = drainLater;
        process = std::make_unique<kit::Child>(kit::terminalArgs("127.0.0.1", server.portText(), dir.path()), o);
    }

    void receiveLastLine()
    {
        ASSERT_GE(peer = server.accept(5000), 0);
        ASSERT_TRUE(process->waitFor(kit::kConnected, 5000)) << process->output();
        ASSERT_EQ("\n", waitForFile(dir.file("term.in"), "\n", 3000));
        ASSERT_TRUE(kit::sendAll(peer, kLastLine));
        ASSERT_TRUE(process->waitFor(kLastLine, 3000)) << "shown as it came";
        usleep(300000);
        ASSERT_EQ("\n", readFile(dir.file("term.in"))) << "written before the signal: nothing to prove";
    }
};

TEST(QuorvaneSignals, EachStopSignalEndsItLikeExitThenByThatSignalWithTheLastLineInTermIn)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        SignalledRun run;
        run.receiveLastLine();
        if (::testing::Test::HasFatalFailure())
            return;
        run.process->signal(signal);
        EXPECT_EQ(128 + signal, run.process->waitExit(5000)) << "the exit cause a shell or service manager sees";
        EXPECT_EQ(kLastRecords, readFile(run.dir.file("term.in")));
        // The output is read by a thread of ours: the end of the process
        // does not mean it has been read yet.
        run.process->waitFor(kEnded, 2000);
        EXPECT_TRUE(endsWith(run.process->output(), kEnded)) << run.process->output();
        EXPECT_TRUE(kit::peerEnded(run.peer, 3000));
    }
}

TEST_F(QuorvaneTest, AClosedTerminalEndsItByHangUpWithTheLastLineInTermIn)
{
    auto p = runConnected();
    size_t mark = p->output().size();
    ASSERT_TRUE(kit::sendAll(peer, kLastLine));
    ASSERT_TRUE(p->waitFor(kLastLine, 3000, mark)) << p->output();
    usleep(300000);
    ASSERT_EQ("\n", readFile(dir.file("term.in")));
    // Writes to the console fail from here on: a console that is gone ends
    // nothing before its time.
    p->closeOutput();
    EXPECT_EQ(128 + SIGHUP, p->waitExit(5000));
    EXPECT_EQ(kLastRecords, readFile(dir.file("term.in")));
    EXPECT_TRUE(kit::peerEnded(peer, 3000));
}

TEST(QuorvaneSignals, AConsolePipeWithoutReaderIsNoFault)
{
    SignalledRun run(true);
    // Standard output and error go into this pipe: every line the program
    // prints, and every warning about the broken pipe, breaks it again.
    run.process->closeOutput();
    ASSERT_GE(run.peer = run.server.accept(5000), 0);
    ASSERT_EQ("\n", waitForFile(run.dir.file("term.in"), "\n", 3000));
    ASSERT_TRUE(kit::sendAll(run.peer, kLastLine));
    usleep(300000);
    EXPECT_TRUE(run.process->running());
    long before = run.process->cpuMs();
    usleep(500000);
    EXPECT_LE(run.process->cpuMs() - before, 100) << "busy with its broken console";
    run.process->signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, run.process->waitExit(5000));
    EXPECT_EQ(kLastRecords, readFile(run.dir.file("term.in")));
}

TEST(QuorvaneSignals, SigtermEndsItWithinASecondWhileNobodyReadsTheConsolePipe)
{
    // Server text shown on a pipe that nobody reads, far more than the pipe
    // holds, as on a terminal held with Ctrl-S; the last line is held for
    // term.in when the signal comes.
    const std::string text = kit::randomLines(300 * 1024, 17, 100) + kLastLine;
    SignalledRun run(true);
    ASSERT_GE(run.peer = run.server.accept(5000), 0);
    ASSERT_EQ("\n", waitForFile(run.dir.file("term.in"), "\n", 3000));
    ASSERT_TRUE(kit::sendAll(run.peer, text));
    usleep(400000);
    ASSERT_EQ(std::string::npos, readFile(run.dir.file("term.in")).find("last words 73"))
        << "written before the signal: nothing to prove";

    const long long sent = nowMs();
    run.process->signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, run.process->waitExit(3000)) << "the exit cause a shell or service manager sees";
    EXPECT_LT(nowMs() - sent, 1000) << "the stop waited for the console";
    const std::string written = kit::decodeTextRecords(readFile(run.dir.file("term.in")));
    EXPECT_TRUE(text == written) << "everything received reached term.in: " << kit::firstDifference(text, written);
}

TEST(QuorvaneSignals, AHangUpIgnoredAtTheStartStaysIgnoredAsNohupWants)
{
    struct sigaction ignore {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previous);
    SignalledRun run;
    sigaction(SIGHUP, &previous, nullptr);
    ASSERT_GE(run.peer = run.server.accept(5000), 0);
    ASSERT_TRUE(run.process->waitFor(kit::kConnected, 5000));
    run.process->signal(SIGHUP);
    usleep(500000);
    EXPECT_TRUE(run.process->running());
    ASSERT_TRUE(kit::sendAll(run.peer, kLastLine));
    EXPECT_TRUE(run.process->waitFor(kLastLine, 3000)) << "still serving the connection";
    run.process->signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, run.process->waitExit(5000));
    run.process->waitFor(kEnded, 2000);
    EXPECT_TRUE(endsWith(run.process->output(), kEnded)) << run.process->output();
}

}  // namespace
