// The built quorvane program run on a pseudo-terminal as a person runs it:
// the test types on the keyboard and reads the screen, and plays the log
// server on a loopback port at byte level.
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "terminal_program.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>


using kit::appendFile;
using kit::fileExists;
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
    EXPECT_FALSE(fileExists(dir.file("internal"))) << "nothing was constructed";
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

    long before = p->cpuTicks();
    ASSERT_GE(before, 0);
    usleep(3000000);
    long after = p->cpuTicks();
    ASSERT_GE(after, 0) << "the program is still running";
    long hz = sysconf(_SC_CLK_TCK);
    EXPECT_LE(after - before, hz / 20) << "more than 50 ms of CPU in 3 s of idleness";

    appendFile(dir.file("term.out"), "still served\n");
    EXPECT_EQ("still served", kit::readExactly(peer, 12, 3000));
}

}  // namespace
