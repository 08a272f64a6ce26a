// Listening servers: several at once and the full server table, port and
// address texts, restart on a port just used, flags of accepted
// connections, broadcast, the client walk and its snapshot, stopping a
// server with live clients (also from a client's own disconnect handler),
// clients whose descriptor is beyond the select() sets, and accepting
// without free descriptors. Each test runs
// in its own child process (one main loop per process).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_server.h"
#include "client_server_internal.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "wire.h"
#include "text.h"
#include "server.h"

using namespace kit;
using kit::withoutLineNumbers;

namespace {

// Listens on a probed port; the port in *port.
int listenFree(int *port, int flags = CS_FLAG_RAW, const char *address = nullptr)
{
    *port = probeFreePort();
    server_callbacks callbacks = recordingServer();
    return server_listen_address(address, std::to_string(*port).c_str(), &callbacks, flags);
}

// Handles of the accepted clients, in order of their on_connect.
std::vector<int> acceptedHandles()
{
    std::vector<int> handles;
    for (const std::string &e : events)
        if (e.rfind("accept ", 0) == 0)
            handles.push_back(std::stoi(e.substr(7)));
    return handles;
}

// Connects count peers one after the other, each accepted before the next
// connects, so that the order of acceptance is the order of the peers.
std::vector<std::function<bool()>> connectPeers(int port, int count, std::vector<int> &peers)
{
    std::vector<std::function<bool()>> steps;
    for (int i = 0; i < count; i++) {
        steps.push_back([&peers, port] {
            const int fd = connectLoopback(port);
            EXPECT_GE(fd, 0);
            peers.push_back(fd);
            return true;
        });
        steps.push_back([&peers] { return countEvents("accept ") == static_cast<int>(peers.size()); });
    }
    return steps;
}

void closeAll(const std::vector<int> &fds)
{
    for (int fd : fds)
        close(fd);
}

std::vector<std::function<bool()>> operator+(std::vector<std::function<bool()>> a,
                                             const std::vector<std::function<bool()>> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A step that holds the loop for ms milliseconds of passes.
std::function<bool()> passesFor(int ms)
{
    auto since = std::make_shared<long long>(0);
    return [since, ms] {
        if (*since == 0)
            *since = nowMs();
        return nowMs() - *since >= ms;
    };
}

void *noMemory(size_t, size_t)
{
    return nullptr;
}

} // namespace

TEST(ServerListen, SeveralServersServeTheirOwnClients)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int portA = 0, portB = 0;
        const int serverA = listenFree(&portA);
        const int serverB = listenFree(&portB);
        ASSERT_GE(serverA, 0);
        ASSERT_GE(serverB, 0);
        EXPECT_NE(serverA, serverB);
        std::vector<int> peersA, peersB;
        runSteps(connectPeers(portA, 1, peersA) + std::vector<std::function<bool()>>{
                     [&] {
                         peersB.push_back(connectLoopback(portB));
                         return true;
                     },
                     [&] { return countEvents("accept ") == 2; },
                     [&] { return sendAll(peersA[0], "to A") && sendAll(peersB[0], "to B"); },
                     [&] { return countEvents("message ") == 2; },
                 });
        const std::vector<int> accepted = acceptedHandles();
        ASSERT_EQ(accepted.size(), 2u);
        connection_info info;
        ASSERT_EQ(client_server_connection_info(accepted[0], &info), 0);
        EXPECT_EQ(info.server_handle, serverA);
        ASSERT_EQ(client_server_connection_info(accepted[1], &info), 0);
        EXPECT_EQ(info.server_handle, serverB);
        EXPECT_TRUE(hasEvent("message " + std::to_string(accepted[0]) + " 1 to A"));
        EXPECT_TRUE(hasEvent("message " + std::to_string(accepted[1]) + " 1 to B"));
        closeAll(peersA);
        closeAll(peersB);
        client_server_shutdown();
    });
}

TEST(ServerListen, SeventeenthServerIsRefusedWithBothReports)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        server_callbacks callbacks = recordingServer();
        std::vector<int> handles;
        for (int i = 0; i < SERVER_TABLE_SIZE; i++) {
            const int h = server_listen("0", &callbacks, CS_FLAG_RAW);
            ASSERT_GE(h, 0);
            handles.push_back(h);
        }
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen("0", &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            const std::string text = errText;
            const size_t full = text.find("        There are no free handles");
            const size_t refused = text.find("        Could not add server handle");
            ASSERT_NE(full, std::string::npos) << text;
            ASSERT_NE(refused, std::string::npos) << text;
            EXPECT_LT(full, refused);
        }
        EXPECT_EQ(server_unlisten(handles[3]), 0);
        EXPECT_GE(server_listen("0", &callbacks, CS_FLAG_RAW), 0);
        client_server_shutdown();
    });
}

TEST(ServerListen, PortAndAddressTextsAreCheckedAndReported)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        server_callbacks callbacks = recordingServer();
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen("", &callbacks, CS_FLAG_RAW), -1);
            EXPECT_EQ(server_listen(nullptr, &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_EQ(errText, "");
        }
        // Reports name the function the application called.
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen("80x", &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_EQ(withoutLineNumbers(errText), "\n*** ERROR (server.cpp, L, server_listen):\n"
                                                      "        Could not find service \"80x\".\n\n");
        }
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen_address("127.0.0.1", "80x", &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_EQ(withoutLineNumbers(errText), "\n*** ERROR (server.cpp, L, server_listen_address):\n"
                                                      "        Could not find service \"80x\".\n\n");
        }
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen_address("300.1.2.3", "0", &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        Invalid address \"300.1.2.3\"."), std::string::npos) << errText;
        }
        int port = 0;
        ASSERT_GE(listenFree(&port), 0);
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_listen(std::to_string(port).c_str(), &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_EQ(withoutLineNumbers(errText).rfind("\n*** ERROR (server.cpp, L, server_listen):\n"
                                                           "        bind: ", 0), 0u)
                << errText;
        }
        client_server_shutdown();
    });
}

TEST(ServerListen, BoundAddressLimitsWhereClientsMayConnect)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int loopbackOnly = 0, wildcard = 0;
        ASSERT_GE(listenFree(&loopbackOnly, CS_FLAG_RAW, "127.0.0.1"), 0);
        ASSERT_GE(listenFree(&wildcard, CS_FLAG_RAW, ""), 0);
        // 127.0.0.2 is a loopback address too, but not the bound one.
        auto connectTo = [](const char *address, int port) {
            const int s = connectLoopback(port, address);
            if (s >= 0)
                close(s);
            return s >= 0 ? 0 : -1;
        };
        EXPECT_EQ(connectTo("127.0.0.1", loopbackOnly), 0);
        EXPECT_EQ(connectTo("127.0.0.2", loopbackOnly), -1);
        EXPECT_EQ(connectTo("127.0.0.2", wildcard), 0);
        client_server_shutdown();
    });
}

TEST(ServerListen, RestartsAtOnceOnAPortThatWasJustUsed)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int first = listenFree(&port);
        ASSERT_GE(first, 0);
        std::vector<int> peers;
        int second = -1;
        runSteps(connectPeers(port, 1, peers) + std::vector<std::function<bool()>>{
                     [&] { return sendAll(peers[0], "x"); },
                     [&] { return countEvents("message ") == 1; },
                     // This side closes first, so the port has a connection in
                     // TIME_WAIT.
                     [&] { return server_unlisten(first) == 0; },
                     [&] { return peerEnded(peers[0], 2000); },
                     [&] {
                         server_callbacks callbacks = recordingServer();
                         second = server_listen(std::to_string(port).c_str(), &callbacks, CS_FLAG_RAW);
                         return true;
                     },
                 });
        ASSERT_GE(second, 0);
        closeAll(peers);
        const int peer = connectLoopback(port);
        EXPECT_GE(peer, 0);
        close(peer);
        client_server_shutdown();
    });
}

TEST(ServerListen, PortZeroListensOnAFreePortThatLocalPortNames)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        server_callbacks callbacks = recordingServer();
        const int handle = server_listen_address("127.0.0.1", "0", &callbacks, CS_FLAG_RAW);
        ASSERT_GE(handle, 0);
        const int port = server_local_port(handle);
        ASSERT_GT(port, 0);
        const int peer = connectLoopback(port);
        ASSERT_GE(peer, 0);
        EXPECT_TRUE(runSteps({[&] { return countEvents("accept ") == 1; }}));
        close(peer);
        EXPECT_EQ(server_local_port(-1), -1);
        EXPECT_EQ(server_unlisten(handle), 0);
        EXPECT_EQ(server_local_port(handle), -1);
        client_server_shutdown();
    });
}

TEST(ServerListen, AcceptedConnectionsTakeTheServerFlags)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int rawPort = 0, framedPort = 0;
        ASSERT_GE(listenFree(&rawPort, CS_FLAG_RAW | CS_FLAG_NODELAY | CS_FLAG_NONBLOCK), 0);
        ASSERT_GE(listenFree(&framedPort, 0), 0);
        std::vector<int> rawPeers, framedPeers;
        runSteps(connectPeers(rawPort, 1, rawPeers) + connectPeers(framedPort, 1, framedPeers) +
                 std::vector<std::function<bool()>>{
                     [&] {
                         const std::string m = wireFrame(12, "framed");
                         return sendAll(rawPeers[0], "abc") && sendAll(framedPeers[0], m);
                     },
                     [&] { return countEvents("message ") == 2; },
                 });
        const std::vector<int> accepted = acceptedHandles();
        ASSERT_EQ(accepted.size(), 2u);
        EXPECT_TRUE(hasEvent("message " + std::to_string(accepted[0]) + " 1 abc"));
        EXPECT_TRUE(hasEvent("message " + std::to_string(accepted[1]) + " 12 framed"));
        int nodelay = -1;
        socklen_t len = sizeof nodelay;
        ASSERT_EQ(getsockopt(client_server_descriptor(accepted[0]), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_NE(nodelay, 0);
        ASSERT_EQ(getsockopt(client_server_descriptor(accepted[1]), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_EQ(nodelay, 0);
        // Only a server that asks for it gets non-blocking clients.
        EXPECT_NE(fcntl(client_server_descriptor(accepted[0]), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(fcntl(client_server_descriptor(accepted[1]), F_GETFL) & O_NONBLOCK, 0);
        closeAll(rawPeers);
        closeAll(framedPeers);
        client_server_shutdown();
    });
}

TEST(ServerBroadcast, ReachesEveryClientAndReportsAnyFailure)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenFree(&port, 0);
        ASSERT_GE(server, 0);
        EXPECT_EQ(server_broadcast(server, 5, "none", 4), 0);
        EXPECT_EQ(server_broadcast(server + 1, 5, "none", 4), -1);
        std::vector<int> peers;
        int resultOne = -2, resultThree = -2;
        runSteps(connectPeers(port, 1, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         resultOne = server_broadcast(server, 5, "one", 3);
                         return true;
                     },
                 } + connectPeers(port, 2, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         // The middle client resets its connection; the
                         // server side learns of it on its next write.
                         struct linger reset = {1, 0};
                         setsockopt(peers[1], SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                         close(peers[1]);
                         struct pollfd p = {client_server_descriptor(acceptedHandles()[1]), POLLIN, 0};
                         poll(&p, 1, 2000);
                         testing::internal::CaptureStderr(); // the write error and SIGPIPE reports
                         resultThree = server_broadcast(server, 6, "three", 5);
                         testing::internal::GetCapturedStderr();
                         return true;
                     },
                     [&] { return countEvents("disconnect ") == 1; },
                 });
        EXPECT_EQ(resultOne, 0);
        EXPECT_EQ(resultThree, -1);
        const std::string one = wireFrame(5, "one"), three = wireFrame(6, "three");
        EXPECT_EQ(readExactly(peers[0], one.size() + three.size(), 2000), one + three);
        EXPECT_EQ(readExactly(peers[2], three.size(), 2000), three);
        close(peers[0]);
        close(peers[2]);
        client_server_shutdown();
    });
}

TEST(ServerBroadcastDeathTest, RawMessagesCannotBeBroadcast)
{
    EXPECT_DEATH(server_broadcast(0, MSG_RAW, "x", 1), "msg_type != MSG_RAW");
}

TEST(ServerDeathTest, AssertionsNameTheFunctionCalledAndTheConditionAsWritten)
{
    EXPECT_EXIT(server_listen("0", nullptr, 0), testing::ExitedWithCode(1),
                "\\*\\*\\* ASSERTION FAILED \\(server.cpp, [0-9]+, server_listen\\):\n        callbacks != NULL\n");
    EXPECT_EXIT(server_listen_address(nullptr, "0", nullptr, 0), testing::ExitedWithCode(1),
                "\\(server.cpp, [0-9]+, server_listen_address\\):\n        callbacks != NULL\n");
    client_server_item orphan = {};
    EXPECT_EXIT(server_disconnect_cb(&orphan), testing::ExitedWithCode(1),
                "\\(server.cpp, [0-9]+, server_disconnect_cb\\):\n        server != NULL\n");
}

TEST(ServerClientWalk, YieldsHandlesInOrderOfAcceptanceFromItsSnapshot)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenFree(&port);
        ASSERT_GE(server, 0);
        EXPECT_EQ(server_first_client(server), -1);
        EXPECT_EQ(server_next_client(server), -1);
        EXPECT_EQ(server_first_client(server + 1), -1);
        std::vector<int> peers;
        std::vector<int> walk;
        int sendToLost = 0;
        runSteps(connectPeers(port, 3, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         walk.push_back(server_first_client(server));
                         walk.push_back(server_next_client(server));
                         close(peers[1]);
                         return true;
                     },
                     [&] { return countEvents("disconnect ") == 1; },
                 } + connectPeers(port, 1, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         // Lost and accepted clients leave the snapshot as it was.
                         walk.push_back(server_next_client(server));
                         sendToLost = client_server_send(walk[1], MSG_RAW, "x", 1);
                         walk.push_back(server_next_client(server));
                         walk.push_back(server_next_client(server));
                         return true;
                     },
                 });
        const std::vector<int> accepted = acceptedHandles();
        ASSERT_EQ(accepted.size(), 4u);
        EXPECT_EQ(walk, (std::vector<int>{accepted[0], accepted[1], accepted[2], -1, -1}));
        EXPECT_EQ(sendToLost, -1);

        std::vector<int> fresh;
        for (int h = server_first_client(server); h != -1 && fresh.size() < 10; h = server_next_client(server))
            fresh.push_back(h);
        EXPECT_EQ(fresh, (std::vector<int>{accepted[0], accepted[2], accepted[3]}));
        closeAll(peers);
        client_server_shutdown();
    });
}

TEST(ServerClientWalk, NoMemoryForTheSnapshotEndsTheWalkAtOnce)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenFree(&port);
        ASSERT_GE(server, 0);
        std::vector<int> peers;
        runSteps(connectPeers(port, 2, peers));
        EXPECT_NE(server_first_client(server), -1);
        server_set_snapshot_alloc(noMemory);
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(server_first_client(server), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("*** ERROR"), std::string::npos);
        }
        EXPECT_EQ(server_next_client(server), -1);
        server_set_snapshot_alloc(nullptr);
        EXPECT_EQ(server_first_client(server), acceptedHandles()[0]);
        EXPECT_EQ(server_next_client(server), acceptedHandles()[1]);
        closeAll(peers);
        client_server_shutdown();
    });
}

TEST(ServerUnlisten, ClosesEveryClientSilentlyAndReleasesTheirHandles)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenFree(&port);
        ASSERT_GE(server, 0);
        int tag = 1;
        ASSERT_EQ(server_set_user_data(server, &tag), 0);
        EXPECT_EQ(server_get_user_data(server), &tag);
        std::vector<int> peers;
        int replacement = -1;
        runSteps(connectPeers(port, 3, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         EXPECT_EQ(server_unlisten(server), 0);
                         // The freed record's memory is likely reused by the
                         // next server; the old clients must not touch it.
                         server_callbacks callbacks = recordingServer();
                         replacement = server_listen("0", &callbacks, CS_FLAG_RAW);
                         return true;
                     },
                     [&] {
                         for (int h : acceptedHandles())
                             if (client_server_descriptor(h) != -1)
                                 return false;
                         return true;
                     },
                     passesFor(30),
                 });
        EXPECT_EQ(countEvents("disconnect "), 0);
        EXPECT_GE(replacement, 0);
        EXPECT_EQ(server_unlisten(server), -1);
        EXPECT_EQ(server_get_user_data(server), nullptr);
        EXPECT_EQ(server_set_user_data(server, &tag), -1);
        EXPECT_EQ(server_broadcast(server, 5, "x", 1), -1);
        EXPECT_EQ(server_first_client(server), -1);
        for (int fd : peers)
            EXPECT_TRUE(peerEnded(fd, 2000));
        closeAll(peers);
        client_server_shutdown();
    });
}

TEST(ServerUnlisten, StoppingTheServerFromAClientsDisconnectHandlerIsSafe)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenFree(&port);
        ASSERT_GE(server, 0);
        int unlistened = -2;
        onEvent = [&](const std::string &e) {
            if (e.rfind("disconnect ", 0) == 0)
                unlistened = server_unlisten(server);
        };
        std::vector<int> peers;
        runSteps(connectPeers(port, 2, peers) + std::vector<std::function<bool()>>{
                     [&] {
                         close(peers[0]);
                         return true;
                     },
                     [&] { return unlistened != -2; },
                     [&] { return client_server_descriptor(acceptedHandles()[1]) == -1; },
                     passesFor(20),
                 });
        EXPECT_EQ(unlistened, 0);
        EXPECT_EQ(countEvents("disconnect "), 1);
        EXPECT_TRUE(peerEnded(peers[1], 2000));
        closeAll(peers);
        client_server_shutdown();
    });
}

TEST(ServerAccept, ClientBeyondTheSelectSetsIsDroppedAndTheServerListensOn)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        ASSERT_GE(listenFree(&port), 0);
        const int early = connectLoopback(port);
        ASSERT_GE(early, 0);
        auto filler = std::make_unique<DescriptorFiller>(FD_SETSIZE);
        if (!filler->ok()) {
            close(early);
            GTEST_SKIP() << "cannot open " << FD_SETSIZE << " descriptors here";
        }
        testing::internal::CaptureStderr();
        std::string reports;
        int late = -1;
        runSteps({
            [&] { return peerEnded(early, 0); },
            [&] {
                reports = testing::internal::GetCapturedStderr();
                filler.reset();
                EXPECT_EQ(countEvents("accept "), 0);
                late = connectLoopback(port);
                return true;
            },
            [&] { return countEvents("accept ") == 1; },
        });
        EXPECT_NE(reports.find("beyond the select() limit"), std::string::npos) << reports;
        EXPECT_NE(reports.find("        Descriptor "), std::string::npos) << reports;
        close(early);
        close(late);
        client_server_shutdown();
    });
}

TEST(ServerAccept, RunningOutOfDescriptorsPausesAcceptingWithOneReportPerPause)
{
#ifdef QUORVANE_SANITIZE
    GTEST_SKIP() << "the sanitizer's own checks need descriptors (a pipe to probe memory) and fail without any";
#endif
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        server_set_accept_pause(100);
        int port = 0;
        ASSERT_GE(listenFree(&port), 0);
        const int waiting = connectLoopback(port); // in the backlog until accepted
        ASSERT_GE(waiting, 0);
        // No descriptor above the ones open now: accept() fails with EMFILE.
        struct rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowestFree = dup(0);
        ASSERT_GE(lowestFree, 0);
        close(lowestFree);
        struct rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(lowestFree);
        testing::internal::CaptureStderr();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        runSteps({
            passesFor(1000),
            [&] {
                EXPECT_EQ(countEvents("accept "), 0);
                return setrlimit(RLIMIT_NOFILE, &saved) == 0;
            },
            [&] { return countEvents("accept ") == 1; },
        });
        const std::string reports = testing::internal::GetCapturedStderr();
        // One report per pause of 100 ms; trying in every pass would make
        // thousands.
        const int count = countOf(reports, "accept: " + std::string(strerror(EMFILE)) + "; not accepting for 100 ms.");
        EXPECT_GE(count, 2) << reports;
        EXPECT_LE(count, 12) << reports;
        EXPECT_EQ(countOf(reports, "***"), count) << reports;
        close(waiting);
        client_server_shutdown();
    });
}
