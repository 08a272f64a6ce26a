// The fixed limits of the communication library met head on: the 128-slot
// connection table, filled by outgoing and by accepted connections, the
// select() descriptor limit as the terminal program meets it, and a server
// that streams without a pause, so that the terminal's socket is ready in
// every pass of its loop. Library-level
// cases run in a child process each, since a stopped main loop never runs
// again in the same process.
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "temp_dir.h"
#include "term_records.h"
#include "terminal_program.h"
#include "text.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "client.h"
#include "client_server.h"
#include "server.h"

namespace {

const std::string kProgram = kit::kTerminal;

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

TEST(ConnectionTable, TheOutgoingConnectionAfterTheLastSlotIsRefusedCleanlyAndASlotFreedIsUsedAgain)
{
    kit::runIsolated([] {
        ASSERT_EQ(0, client_server_init());
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const std::string portText = listener.portText();
        const client_callbacks callbacks = kit::recordingClient();

        std::vector<int> handles;
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            handles.push_back(client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW));
            ASSERT_GE(handles.back(), 0) << "connection " << i + 1;
        }
        const int before = openDescriptors();
        testing::internal::CaptureStderr();
        EXPECT_EQ(-1, client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW));
        const std::string reports = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, reports.find("Could not allocate handle for connection to 127.0.0.1:" + portText))
            << reports;
        EXPECT_EQ(before, openDescriptors()) << "the refused connection's socket is closed";

        std::vector<int> accepted;
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            accepted.push_back(listener.accept(2000));
            ASSERT_GE(accepted.back(), 0);
        }
        EXPECT_EQ(-1, listener.accept(200)) << "the refused one never tried to connect";

        int freedHandle = handles[5];
        int reused = -1;
        int reusedPeer = -1;
        ASSERT_TRUE(kit::runSteps(
            {
                [] { return kit::countEvents("connect ") == CS_ITEM_TABLE_SIZE; },
                [&] {
                    // Every connection is usable, the first and the last alike.
                    return client_server_send(handles.front(), MSG_RAW, "first", 5) == 0 &&
                           client_server_send(handles.back(), MSG_RAW, "last", 4) == 0;
                },
                [&] {
                    listener.drop(accepted[5]);
                    return true;
                },
                [&] { return kit::hasEvent("disconnect " + std::to_string(freedHandle)); },
                [&] {
                    reused = client_connect("127.0.0.1", portText.c_str(), &callbacks, CS_FLAG_RAW);
                    return reused >= 0;
                },
                [&] { return kit::countEvents("connect ") == CS_ITEM_TABLE_SIZE + 1; },
            },
            20000, 1));
        EXPECT_EQ("first", kit::readExactly(accepted.front(), 5, 2000));
        EXPECT_EQ("last", kit::readExactly(accepted.back(), 4, 2000));
        reusedPeer = listener.accept(2000);
        EXPECT_GE(reusedPeer, 0) << "the freed slot carries a new connection";
        client_server_shutdown();
    }, 60000);
}

TEST(ConnectionTable, AcceptedClientsBeyondTheLastSlotAreClosedAtOnceAndTheServerListensOn)
{
    kit::runIsolated([] {
        ASSERT_EQ(0, client_server_init());
        const int port = kit::probeFreePort();
        ASSERT_GT(port, 0);
        const server_callbacks callbacks = kit::recordingServer();
        ASSERT_GE(server_listen_address("127.0.0.1", std::to_string(port).c_str(), &callbacks, CS_FLAG_RAW), 0);

        std::vector<int> peers;
        int refused = -1;
        int late = -1;
        std::vector<std::function<bool()>> steps;
        // One at a time: the listening backlog is small.
        for (int i = 0; i < CS_ITEM_TABLE_SIZE; ++i) {
            steps.push_back([&peers, port] {
                peers.push_back(kit::connectLoopback(port));
                return peers.back() >= 0;
            });
            steps.push_back([i] { return kit::countEvents("accept ") == i + 1; });
        }
        steps.push_back([&] {
            refused = kit::connectLoopback(port);
            return refused >= 0;
        });
        steps.push_back([&] { return kit::peerEnded(refused, 1); });
        // A client leaves; the next one takes its slot.
        steps.push_back([&] {
            close(peers[0]); // connected, not accepted: the test's own
            peers[0] = -1;
            return true;
        });
        steps.push_back([] { return kit::countEvents("disconnect ") == 1; });
        steps.push_back([&] {
            late = kit::connectLoopback(port);
            return late >= 0;
        });
        steps.push_back([] { return kit::countEvents("accept ") == CS_ITEM_TABLE_SIZE + 1; });
        // The clients accepted before the table was full are still served.
        steps.push_back([&] { return kit::sendAll(peers.back(), "still here"); });
        steps.push_back([] {
            for (const std::string &e : kit::events)
                if (e.rfind("message ", 0) == 0 && e.find("still here") != std::string::npos)
                    return true;
            return false;
        });

        testing::internal::CaptureStderr();
        EXPECT_TRUE(kit::runSteps(steps, 30000, 1));
        EXPECT_EQ(CS_ITEM_TABLE_SIZE + 1, kit::countEvents("accept ")) << "the refused client got no handle";
        // The handle table's own warning is the only report.
        const std::string text = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, text.find("There are no free handles")) << text;
        EXPECT_EQ(text.find("***"), text.rfind("***")) << "one report, for the one refused client:\n" << text;
        for (int fd : peers)
            if (fd >= 0)
                close(fd);
        close(refused);
        close(late);
        client_server_shutdown();
    }, 60000);
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
    kit::Listener server;
    ASSERT_TRUE(server.ok());
    kit::TempDir dir;
    // A shell takes every descriptor below the select() limit, then becomes
    // the program, which finds them open (they have no close-on-exec).
    const std::string limit = std::to_string(FD_SETSIZE);
    std::vector<std::string> argv = {
        "bash", "-c",
        "ulimit -Sn " + std::to_string(FD_SETSIZE + 64) + " || exit 125; for ((fd = 3; fd < " + limit +
            "; fd++)); do eval \"exec $fd</dev/null\" || exit 125; done; exec \"$@\"",
        "bash"};
    for (const std::string &word : kit::terminalArgs("127.0.0.1", server.portText(), dir.path()))
        argv.push_back(word);
    kit::Child terminal(argv);
    ASSERT_TRUE(terminal.waitFor("Welcome to Quorvane", 5000)) << terminal.output();
    EXPECT_NE(std::string::npos, terminal.output().find("beyond the select() limit of " + std::to_string(FD_SETSIZE)))
        << terminal.output();
    EXPECT_EQ(-1, server.accept(1500)) << "no connection was attempted";

    // The console still answers; a record waits in term.out for a
    // connection, and the stop counts it (the files need no select()).
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "waits\x01\n"));
    usleep(1500000);
    ASSERT_TRUE(terminal.write("exit\n"));
    EXPECT_EQ(0, terminal.waitExit(5000)) << terminal.output();
    EXPECT_NE(std::string::npos, terminal.output().find("0 bytes queued for the server; 1 records (7 bytes) in term.out"))
        << terminal.output();
    EXPECT_EQ(0, kit::countOf(terminal.output(), kit::kConnected));
}

// While the server streams, the socket is ready in every pass; the tick
// must still come, or term.out is read only once the stream ends.
TEST(Load, ARecordGoesOutWithinTwoTicksWhileTheServerStreamsWithoutPause)
{
    kit::Listener server;
    ASSERT_TRUE(server.ok());
    kit::TempDir dir;
    // On a pseudo-terminal, as a person runs it: the echo of every line
    // there costs the terminal more than the stream costs its writer.
    kit::Child terminal(kit::terminalArgs("127.0.0.1", server.portText(), dir.path()), kit::onTerminal());
    const int peer = server.accept(5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(terminal.waitFor(kit::kConnected, 5000)) << terminal.output();

    // A thread of its own writes faster than the terminal reads, so its
    // socket never runs dry: a single empty moment would let the tick in.
    std::atomic<bool> streaming{true};
    std::thread stream([peer, &streaming] {
        const std::string block = kit::randomLines(1u << 16, 7, 60);
        // Blocking sends keep the socket full; the time-out lets the
        // thread see that it is to stop even when nobody reads.
        const struct timeval wait = {0, 200 * 1000};
        setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        while (streaming)
            if (send(peer, block.data(), block.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN)
                return;
    });
    usleep(500 * 1000);
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "urgent\x01\n"));
    const long long appendedAt = kit::nowMs();
    std::string got;
    long long sentAt = 0;
    while (sentAt == 0 && kit::nowMs() - appendedAt < 5000) {
        got += kit::readFor(peer, 50);
        if (got.find("urgent\n") != std::string::npos)
            sentAt = kit::nowMs();
    }
    streaming = false;
    stream.join();
    ASSERT_NE(0, sentAt) << "the record did not go out while the stream ran";
    EXPECT_LT(sentAt - appendedAt, 2500) << "two ticks of 1 s, and some slack";
    ASSERT_TRUE(terminal.write("exit\n"));
    EXPECT_EQ(0, terminal.waitExit(5000)) << terminal.output();
}

} // namespace
