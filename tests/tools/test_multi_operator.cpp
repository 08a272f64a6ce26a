// Multi-operator use end to end: two quorvane terminals and the operator
// command against one quorvane-logserver, all real processes on loopback.
#include "child.h"
#include "clock.h"
#include "temp_dir.h"
#include "terminal_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


using kit::readFile;
using kit::TempDir;

namespace {

const std::string kBin = kit::kBinaryDir;
const std::string kTerminal = kit::kTerminal;
const std::string kServer = kBin + "/tools/quorvane-logserver";
const std::string kOp = kBin + "/tools/quorvane-op";

bool built(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Lines of the log file without their timestamps ("<time> <name>: <text>").
std::vector<std::string> loggedLines(const std::string &path)
{
    std::vector<std::string> lines;
    const std::string text = readFile(path);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        size_t blank = line.find(' ');
        lines.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
        at = end + 1;
    }
    return lines;
}

// The port named in the log server's listening line
// ("quorvane-logserver listening on <address> port <port>, logging to ..."),
// or "" when the screen holds no such line yet.
std::string listeningPort(const std::string &screen)
{
    const std::string head = "quorvane-logserver listening on 127.0.0.1 port ";
    const size_t at = screen.find(head);
    if (at == std::string::npos)
        return "";
    const size_t from = at + head.size();
    const size_t end = screen.find(", logging to ", from);
    if (end == std::string::npos || end == from)
        return "";
    const std::string port = screen.substr(from, end - from);
    return port.find_first_not_of("0123456789") == std::string::npos ? port : "";
}

// Starts the log server on a port of its choosing (-p 0) and returns the port
// that its listening line names ("" when none came).
std::string startServer(std::unique_ptr<kit::Child> &server, const std::string &logPath)
{
    server = std::make_unique<kit::Child>(std::vector<std::string>{kServer, "-p", "0", "-f", logPath}, kit::onTerminal());
    if (!server->waitFor(", logging to " + logPath + "\n", 5000))
        return "";
    return listeningPort(server->output());
}

bool waitForLog(const std::string &path, size_t count, int timeoutMs)
{
    return kit::waitUntil([&] { return loggedLines(path).size() >= count; }, timeoutMs, 10);
}

class MultiOperatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const auto &p : {kTerminal, kServer, kOp})
            ASSERT_TRUE(built(p)) << p << " is not built";
        logPath = work.file("quorvane.log");
        mkdir(dirA.c_str(), 0755);
        mkdir(dirB.c_str(), 0755);
        port = startServer(server, logPath);
        ASSERT_NE(port, "") << server->output();
        ASSERT_NE(port, "0") << server->output();
    }

    std::unique_ptr<kit::Child> terminal(const std::string &name, const std::string &dir)
    {
        auto t = std::make_unique<kit::Child>(std::vector<std::string>{
            kTerminal, "-s", "127.0.0.1", "-p", port, "-l", name, "-f", dir}, kit::onTerminal());
        EXPECT_TRUE(t->waitFor("Welcome, " + name + ".", 5000)) << t->output();
        return t;
    }

    TempDir work;
    std::string dirA = work.file("alice");
    std::string dirB = work.file("bob");
    std::string port;
    std::string logPath;
    std::unique_ptr<kit::Child> server;
};

TEST_F(MultiOperatorTest, OperatorsSeeEachOthersLinesAndTheLogHoldsEachOnceInOrder)
{
    auto alice = terminal("alice", dirA);
    auto bob = terminal("bob", dirB);

    alice->write("hello from alice\r");
    ASSERT_TRUE(bob->waitFor("alice: hello from alice\n", 5000)) << bob->output();

    // Bob's operator program speaks through bob's terminal's shared files.
    ASSERT_EQ(0, kit::runCommand({kOp, "send", dirB, "from", "bob's", "operator"}, 5000));
    ASSERT_TRUE(alice->waitFor("bob: from bob's operator\n", 5000)) << alice->output();

    bob->write("and bob types\r");
    ASSERT_TRUE(alice->waitFor("bob: and bob types\n", 5000)) << alice->output();

    ASSERT_TRUE(waitForLog(logPath, 3, 5000));
    EXPECT_EQ(loggedLines(logPath), (std::vector<std::string>{"alice: hello from alice",
                                                              "bob: from bob's operator",
                                                              "bob: and bob types"}));

    alice->write("bye\r");
    EXPECT_EQ(0, alice->waitExit(5000));
    bob->write("exit\r");
    EXPECT_EQ(0, bob->waitExit(5000));
    // "bye" is sent to the server before the terminal ends, so it is logged;
    // "exit" never leaves the terminal.
    ASSERT_TRUE(waitForLog(logPath, 4, 5000));
    EXPECT_EQ(loggedLines(logPath).back(), "alice: bye");
    EXPECT_EQ(loggedLines(logPath).size(), 4u);
}

TEST_F(MultiOperatorTest, OperatorFollowPrintsWhatTheServerSentToItsTerminal)
{
    auto alice = terminal("alice", dirA);
    auto bob = terminal("bob", dirB);
    auto follower = std::make_unique<kit::Child>(std::vector<std::string>{kOp, "follow", dirB}, kit::onTerminal());
    usleep(300000);

    alice->write("first line\r");
    alice->write("second line\r");
    // The terminal appends to term.in one quiet tick after the text stops.
    EXPECT_TRUE(follower->waitFor("alice: first line\nalice: second line\n", 5000))
        << follower->output();
}

TEST_F(MultiOperatorTest, KilledTerminalLogsInAgainAndNothingLoggedIsLost)
{
    auto alice = terminal("alice", dirA);
    auto bob = terminal("bob", dirB);
    alice->write("before the crash\r");
    ASSERT_TRUE(bob->waitFor("alice: before the crash\n", 5000));

    alice->signal(SIGKILL);
    alice->waitExit(5000);
    alice = terminal("alice", dirA);
    alice->write("after the restart\r");
    ASSERT_TRUE(bob->waitFor("alice: after the restart\n", 5000)) << bob->output();

    ASSERT_TRUE(waitForLog(logPath, 2, 5000));
    EXPECT_EQ(loggedLines(logPath),
              (std::vector<std::string>{"alice: before the crash", "alice: after the restart"}));
}

TEST_F(MultiOperatorTest, LogFileIsAppendedToNotReplaced)
{
    auto alice = terminal("alice", dirA);
    alice->write("one\r");
    ASSERT_TRUE(waitForLog(logPath, 1, 5000));
    alice->write("bye\r");
    ASSERT_EQ(0, alice->waitExit(5000));
    ASSERT_TRUE(waitForLog(logPath, 2, 5000));

    // SIGTERM ends the server cleanly; a new server keeps the old lines.
    server->signal(SIGTERM);
    EXPECT_EQ(0, server->waitExit(5000));
    port = startServer(server, logPath);
    ASSERT_NE(port, "") << server->output();
    alice = terminal("alice", dirA);
    alice->write("two\r");
    ASSERT_TRUE(waitForLog(logPath, 3, 5000));
    EXPECT_EQ(loggedLines(logPath),
              (std::vector<std::string>{"alice: one", "alice: bye", "alice: two"}));
}

// The demo as the README starts it: no arguments, a person at a terminal who
// logs in and says bye. The programs of this build are used, so nothing is
// built; everything else is the script's own start.
TEST(DemoTest, StartsWithoutAReportBlockAndEndsOnBye)
{
    for (const auto &p : {kTerminal, kServer, kOp})
        ASSERT_TRUE(built(p)) << p << " is not built";
    TempDir dir;
    setenv("QUORVANE_BUILD", kBin.c_str(), 1);
    setenv("QUORVANE_DIR", dir.path().c_str(), 1);
    setenv("QUORVANE_LOGIN", "demo", 1);
    kit::Child demo({std::string(QUORVANE_SOURCE_DIR) + "/tools/quorvane-demo"}, kit::onTerminal());
    unsetenv("QUORVANE_BUILD");
    unsetenv("QUORVANE_DIR");
    unsetenv("QUORVANE_LOGIN");

    ASSERT_TRUE(demo.waitFor("Welcome, demo.\n", 10000)) << demo.output();
    demo.write("hello from the demo\r");
    ASSERT_TRUE(waitForLog(dir.file("quorvane.log"), 1, 5000)) << demo.output();
    demo.write("bye\r");
    EXPECT_EQ(0, demo.waitExit(10000)) << demo.output();
    EXPECT_EQ(demo.output().find("*** "), std::string::npos) << demo.output();
    EXPECT_NE(demo.output().find("Demo log server on 127.0.0.1:"), std::string::npos) << demo.output();
    // The server is stopped as the session ends: whether it logged the
    // "bye" first is a race, the line before is not.
    EXPECT_EQ(loggedLines(dir.file("quorvane.log")).front(), "demo: hello from the demo");
}

} // namespace
