// The fixed limits of the communication library met head on: the 128-slot
// connection table, filled by outgoing and by accepted connections, and the
// select() descriptor limit as the terminal program meets it. Library-level
// cases run in a child process each, since a stopped main loop never runs
// again in the same process.
#include "net_support.h"
#include "robust_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client.h"
#include "client_server.h"
#include "server.h"

namespace {

const std::string kProgram = std::string(QUORVANE_BINARY_DIR) + "/quorvane";

int openDescriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n - 1; // the directory's own descriptor
}

// A loopback listener whose backlog holds every connection of the test
// before any is accepted.
int listenWide(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(s, 512) != 0
        || getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len) != 0) {
        if (s >= 0)
            close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

TEST(ConnectionTable, TheOutgoingConnectionAfterTheLastSlotIsRefusedCleanlyAndASlotFreedIsUsedAgain)
{
    nettest::runIsolated([] {
        ASSERT_EQ(0, client_server_init());
        int port = 0;
        const int listener = listenWide(&port);
        ASSERT_GE(listener, 0);
        const std::string portText = nettest::portText(port);
        const client_callbacks callbacks = nettest::recordingClient();

        std::vector<int> handles;
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            handles.push_back(client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW));
            ASSERT_GE(handles.back(), 0) << "connection " << i + 1;
        }
        const int before = openDescriptors();
        {
            nettest::StderrCapture reports;
            EXPECT_EQ(-1, client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW));
            EXPECT_NE(std::string::npos,
                      reports.text().find("Could not allocate handle for connection to 127.0.0.1:" + portText))
                << reports.text();
        }
        EXPECT_EQ(before, openDescriptors()) << "the refused connection's socket is closed";

        std::vector<int> accepted;
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            accepted.push_back(nettest::acceptWithin(listener, 2000));
            ASSERT_GE(accepted.back(), 0);
        }
        EXPECT_EQ(-1, nettest::acceptWithin(listener, 200)) << "the refused one never tried to connect";

        int freedHandle = handles[5];
        int reused = -1;
        int reusedPeer = -1;
        ASSERT_TRUE(nettest::runSteps(
            {
                [] { return nettest::countEvents("connect ") == CS_ITEM_TABLE_SIZE; },
                [&] {
                    // Every connection is usable, the first and the last alike.
                    return client_server_send(handles.front(), MSG_RAW, "first", 5) == 0 &&
                           client_server_send(handles.back(), MSG_RAW, "last", 4) == 0;
                },
                [&] {
                    close(accepted[5]);
                    accepted[5] = -1;
                    return true;
                },
                [&] { return nettest::hasEvent("disconnect " + std::to_string(freedHandle)); },
                [&] {
                    reused = client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW);
                    return reused >= 0;
                },
                [&] { return nettest::countEvents("connect ") == CS_ITEM_TABLE_SIZE + 1; },
            },
            20000, 1));
        char buf[8] = {};
        EXPECT_TRUE(nettest::readExact(accepted.front(), buf, 5, 2000));
        EXPECT_EQ("first", std::string(buf, 5));
        EXPECT_TRUE(nettest::readExact(accepted.back(), buf, 4, 2000));
        EXPECT_EQ("last", std::string(buf, 4));
        reusedPeer = nettest::acceptWithin(listener, 2000);
        EXPECT_GE(reusedPeer, 0) << "the freed slot carries a new connection";
        for (int fd : accepted)
            if (fd >= 0)
                close(fd);
        if (reusedPeer >= 0)
            close(reusedPeer);
        close(listener);
        client_server_shutdown();
    }, 60);
}

TEST(ConnectionTable, AcceptedClientsBeyondTheLastSlotAreClosedAtOnceAndTheServerListensOn)
{
    nettest::runIsolated([] {
        ASSERT_EQ(0, client_server_init());
        const int port = nettest::probeFreePort();
        ASSERT_GT(port, 0);
        const server_callbacks callbacks = nettest::recordingServer();
        ASSERT_GE(server_listen_address("127.0.0.1", nettest::portText(port).c_str(), &callbacks, CS_FLAG_RAW), 0);

        std::vector<int> peers;
        int refused = -1;
        int late = -1;
        std::vector<std::function<bool()>> steps;
        // One at a time: the listening backlog is small.
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            steps.push_back([&peers, port] {
                peers.push_back(nettest::connectLoopback(port));
                return peers.back() >= 0;
            });
            steps.push_back([i] { return nettest::countEvents("accept ") == i + 1; });
        }
        steps.push_back([&] {
            refused = nettest::connectLoopback(port);
            return refused >= 0;
        });
        steps.push_back([&] { return robust::peerEnded(refused, 1); });
        // A client leaves; the next one takes its slot.
        steps.push_back([&] {
            close(peers[0]);
            peers[0] = -1;
            return true;
        });
        steps.push_back([] { return nettest::countEvents("disconnect ") == 1; });
        steps.push_back([&] {
            late = nettest::connectLoopback(port);
            return late >= 0;
        });
        steps.push_back([] { return nettest::countEvents("accept ") == CS_ITEM_TABLE_SIZE + 1; });
        // The clients accepted before the table was full are still served.
        steps.push_back([&] { return nettest::writeAll(peers.back(), "still here", 10); });
        steps.push_back([] {
            for (const std::string &e : nettest::events)
                if (e.rfind("message ", 0) == 0 && e.find("still here") != std::string::npos)
                    return true;
            return false;
        });

        nettest::StderrCapture reports;
        EXPECT_TRUE(nettest::runSteps(steps, 30000, 1));
        EXPECT_EQ(CS_ITEM_TABLE_SIZE + 1, nettest::countEvents("accept ")) << "the refused client got no handle";
        // The handle table's own warning is the only report.
        const std::string text = reports.text();
        EXPECT_NE(std::string::npos, text.find("There are no free handles")) << text;
        EXPECT_EQ(text.find("***"), text.rfind("***")) << "one report, for the one refused client:\n" << text;
        for (int fd : peers)
            if (fd >= 0)
                close(fd);
        close(refused);
        close(late);
        client_server_shutdown();
    }, 60);
}

// The terminal started with every descriptor below FD_SETSIZE taken (as
// under a parent that leaks descriptors): its socket would be beyond what
// select() can watch, so the attempt is refused with a report instead of
// writing past the descriptor sets, and the program goes on without a
// connection.
TEST(DescriptorLimit, TheTerminalRefusesASocketBeyondTheSelectSetsAndRunsOn)
{
    struct stat st;
    ASSERT_EQ(0, stat(kProgram.c_str(), &st)) << "build the quorvane target first: " << kProgram;
    robust::Listener server;
    ASSERT_TRUE(server.ok());
    robust::ScratchDir dir;
    robust::Process::Options o = robust::terminalOptions(kProgram, "127.0.0.1", server.portText(), dir.path());
    o.occupyBelow = FD_SETSIZE;
    robust::Process terminal(o);
    ASSERT_TRUE(terminal.waitFor("Welcome to Quorvane", 5000)) << terminal.output();
    EXPECT_NE(std::string::npos, terminal.output().find("beyond the select() limit of " + std::to_string(FD_SETSIZE)))
        << terminal.output();
    EXPECT_EQ(-1, server.accept(1500)) << "no connection was attempted";

    // The shared files still work (stdio needs no select()), and the
    // console still answers.
    ASSERT_TRUE(robust::appendFile(dir.file("term.out"), "still read\x01\n"));
    EXPECT_TRUE(terminal.waitFor("still read\n", 3000)) << terminal.output();
    ASSERT_TRUE(terminal.write("exit\n"));
    EXPECT_EQ(0, terminal.waitExit(5000)) << terminal.output();
    EXPECT_EQ(0, terminal.count(robust::kConnected));
}

} // namespace
