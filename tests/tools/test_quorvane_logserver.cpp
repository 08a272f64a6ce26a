// quorvane-logserver on its own: its command line, the login dialogue, the
// bound on input lines and the bound on what waits for an operator who does
// not read, against raw loopback clients. Its operators'
// traffic runs with the terminals in test_multi_operator.cpp.
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>
#include <string>
#include <vector>

#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "terminal_program.h"

namespace {

const std::string kServer = kit::kBinaryDir + "/tools/quorvane-logserver";

// The port that the listening line names, "" before it came.
std::string listeningPort(const kit::Child &server)
{
    const std::string out = server.output(), head = " port ";
    const size_t at = out.find(head), end = out.find(", logging to ");
    return at == std::string::npos || end == std::string::npos ? "" : out.substr(at + head.size(), end - at - head.size());
}

TEST(LogServerCommandLine, RefusesWhatItCannotUseWithAReasonAndAStatus)
{
    kit::TempDir dir;
    kit::Listener taken;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err; // the beginning of the output, a piece of the error stream
    } const cases[] = {
        {{"-h"}, 0, "Usage: quorvane-logserver", ""},
        {{"--help"}, 0, "Usage: quorvane-logserver", ""},
        {{"-x"}, 2, "", "quorvane-logserver: invalid option -- 'x'\nUsage: quorvane-logserver"},
        {{"-p", "0", "extra"}, 2, "", "Usage: quorvane-logserver"},
        {{"-m", "0"}, 2, "", "quorvane-logserver: -m wants a length from 1 to 1048576\n"},
        {{"-m", "1048577"}, 2, "", "quorvane-logserver: -m wants a length from 1 to 1048576\n"},
        {{"-m", "12k"}, 2, "", "quorvane-logserver: -m wants a length from 1 to 1048576\n"},
        {{"-b", "0"}, 2, "", "quorvane-logserver: -b wants a size from 1 to 1073741824\n"},
        {{"-p", "0", "-f", dir.file("no/such/dir/log")}, 1, "",
         "quorvane-logserver: cannot open " + dir.file("no/such/dir/log") + " for appending: No such file"},
        {{"-p", taken.portText(), "-f", dir.file("log")}, 1, "",
         "quorvane-logserver: cannot listen on port " + taken.portText() + "\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {kServer};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        kit::ChildOptions o = kit::capturing();
        o.workDir = dir.path();
        const kit::ChildResult r = kit::Child(argv, o).finish(5000);
        EXPECT_TRUE(r.exitedWith(c.status)) << argv[1] << ": " << r.describe();
        EXPECT_EQ(0u, r.out.find(c.out)) << argv[1] << ": " << r.out;
        EXPECT_NE(std::string::npos, r.err.find(c.err)) << argv[1] << ": " << r.err;
        EXPECT_EQ(c.err.empty(), r.err.empty()) << argv[1] << ": " << r.err;
    }
}

TEST(LogServerCommandLine, ListensOnAllAddressesWhenAsked)
{
    kit::TempDir dir;
    kit::Child server({kServer, "-a", "-p", "0", "-f", dir.file("log")});
    ASSERT_TRUE(server.waitFor(", logging to", 5000)) << server.output();
    EXPECT_EQ(0u, server.output().find("quorvane-logserver listening on all addresses port "));
    const int client = kit::connectLoopback(std::stoi(listeningPort(server)), "127.0.0.2");
    EXPECT_GE(client, 0) << "a loopback address other than 127.0.0.1 is served";
    EXPECT_EQ("login: ", kit::readExactly(client, 7, 3000));
    close(client);
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.waitExit(5000));
}

TEST(LogServerSession, AsksAgainForAnEmptyNameAndRefusesALineBeyondTheBound)
{
    kit::TempDir dir;
    kit::Child server({kServer, "-p", "0", "-m", "10", "-f", dir.file("log")});
    ASSERT_TRUE(server.waitFor(", logging to", 5000)) << server.output();
    const int client = kit::connectLoopback(std::stoi(listeningPort(server)));
    ASSERT_GE(client, 0);
    EXPECT_EQ("login: ", kit::readExactly(client, 7, 3000));
    ASSERT_TRUE(kit::sendAll(client, "\r\n"));
    EXPECT_EQ("login: ", kit::readExactly(client, 7, 3000)) << "an empty name is no name";
    ASSERT_TRUE(kit::sendAll(client, "op1\n"));
    EXPECT_EQ("Welcome, op1.\n", kit::readExactly(client, 14, 3000));

    const std::string refused = "Line refused: longer than 10 bytes. Dropped up to its end.\n";
    ASSERT_TRUE(kit::sendAll(client, "0123456789abcdef more of it\nshort\n"));
    EXPECT_EQ(refused, kit::readExactly(client, refused.size(), 3000));
    ASSERT_TRUE(kit::waitUntil([&] { return kit::readFile(dir.file("log")).find("op1: short\n") != std::string::npos; },
                               3000));
    const std::string log = kit::readFile(dir.file("log"));
    EXPECT_EQ(std::string::npos, log.find("0123")) << "the refused line is dropped to its end: " << log;
    EXPECT_EQ(std::string::npos, log.find("more of it")) << log;
    close(client);
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.waitExit(5000)) << "SIGTERM ends it cleanly";
}

// One operator stops reading while another talks without pause: what waits
// for the silent one grows to the bound, and then that operator is dropped.
// A server that waited for it instead would stop reading the talker, stop
// relaying to the listener, and greet no one new.
TEST(LogServerSession, AnOperatorWhoDoesNotReadIsDroppedAtTheBoundAndHoldsUpNobody)
{
    kit::TempDir dir;
    const long bound = 1L << 20;
    kit::Child server({kServer, "-p", "0", "-b", std::to_string(bound), "-f", dir.file("log")});
    ASSERT_TRUE(server.waitFor(", logging to", 5000)) << server.output();
    const int port = std::stoi(listeningPort(server));
    auto login = [port](const std::string &name) {
        const int fd = kit::connectLoopback(port);
        EXPECT_EQ("login: ", kit::readExactly(fd, 7, 3000));
        EXPECT_TRUE(kit::sendAll(fd, name + "\n"));
        const std::string welcome = "Welcome, " + name + ".\n";
        EXPECT_EQ(welcome, kit::readExactly(fd, welcome.size(), 3000));
        return fd;
    };
    const int silent = login("alice");
    const int listener = login("carol");
    const int talker = login("bob");
    ASSERT_TRUE(silent >= 0 && listener >= 0 && talker >= 0);

    const std::string line = std::string(999, 'x') + "\n";
    const size_t relaySize = 5 + line.size(); // "bob: " and the line
    std::string chunk;
    for (int i = 0; i < 20; ++i)
        chunk += line;
    size_t lines = 0, relayed = 0;
    const std::string dropped = " -- alice disconnected: ";
    // Bounded by what the kernel may hold for the silent one besides the
    // bound: its socket buffers take some megabytes.
    while (lines < 40000 && kit::readFile(dir.file("log")).find(dropped) == std::string::npos) {
        ASSERT_TRUE(kit::sendAll(talker, chunk, 5000)) << "the server stopped reading after " << lines << " lines";
        lines += 20;
        relayed += kit::readAvailable(listener).size();
    }
    const std::string log = kit::readFile(dir.file("log"));
    const size_t at = log.find(dropped);
    ASSERT_NE(std::string::npos, at) << lines << " lines sent";
    EXPECT_GT(std::stol(log.substr(at + dropped.size())), bound) << log.substr(at, 80);
    EXPECT_EQ(at, log.rfind(dropped));

    // The listener still gets every relay, and a newcomer its prompt at once.
    const long long start = kit::nowMs();
    const int newcomer = kit::connectLoopback(port);
    EXPECT_EQ("login: ", kit::readExactly(newcomer, 7, 1000));
    EXPECT_LT(kit::nowMs() - start, 1000);
    relayed += kit::readExactly(listener, lines * relaySize - relayed, 10000).size();
    EXPECT_EQ(lines * relaySize, relayed);
    EXPECT_TRUE(kit::peerEnded(silent, 10000)) << "the silent operator's connection is closed";
    close(newcomer);
    close(silent);
    close(listener);
    close(talker);
    server.signal(SIGTERM);
    EXPECT_EQ(0, server.waitExit(5000));
}

} // namespace
