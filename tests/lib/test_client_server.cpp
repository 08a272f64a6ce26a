// Dispatch layer: one initialisation, release of a partly or twice
// initialised library, handles that are stale or never issued, disconnects
// that are never reported back, timers by handle, the full timer table,
// connection_info of both kinds of connection, and the SIGPIPE handler.
// Every test runs in its own child process, because the main loop of a
// process runs only once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "client.h"
#include "client_server.h"
#include "client_server_internal.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "wire.h"
#include "server.h"

using namespace kit;

namespace {

// Every per-handle operation answers a handle that is not registered.
void expectUnregistered(int handle)
{
    connection_info info;
    EXPECT_EQ(client_server_send(handle, MSG_RAW, "x", 1), -1) << handle;
    EXPECT_EQ(client_server_disconnect(handle), -1) << handle;
    EXPECT_EQ(client_server_data_received(handle), -1) << handle;
    EXPECT_EQ(client_server_descriptor(handle), -1) << handle;
    EXPECT_EQ(client_server_connection_info(handle, &info), -1) << handle;
    EXPECT_EQ(client_server_set_user_data(handle, &info), -1) << handle;
    EXPECT_EQ(client_server_get_user_data(handle), nullptr) << handle;
}

int countdown = 0;

// Fires until countdown runs out, then ends itself.
int countingTimer(void *data)
{
    *static_cast<int *>(data) += 1;
    return --countdown > 0 ? 0 : 1;
}

int neverTimer(void *)
{
    ADD_FAILURE() << "a timer that should not exist fired";
    return 1;
}

// A library server on a probed port; its port number in *port.
int listenOnFreePort(int *port, int flags = CS_FLAG_RAW)
{
    *port = probeFreePort();
    server_callbacks callbacks = recordingServer();
    return server_listen(std::to_string(*port).c_str(), &callbacks, flags);
}

} // namespace

TEST(ClientServerInit, SecondInitWarnsAndKeepsTheExistingTables)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        const int timer = client_server_add_timer(100000, neverTimer, nullptr);
        ASSERT_GE(timer, 0);
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(client_server_init(), 0);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        The client/server lib has already been initialized!"),
                      std::string::npos)
                << errText;
            EXPECT_NE(errText.find("*** WARNING"), std::string::npos);
        }
        // Tables created anew would have forgotten this handle.
        EXPECT_EQ(client_server_remove_timer(timer), 0);
        client_server_shutdown();
    });
}

TEST(ClientServerInit, ShutdownIsSafeBeforeInitTwiceAndWithEverythingLive)
{
    runIsolated([] {
        EXPECT_EQ(client_server_shutdown(), 0);
        expectUnregistered(0);
        EXPECT_EQ(client_server_add_timer(10, neverTimer, nullptr), -1);
        EXPECT_EQ(client_server_add_input(CS_INPUT_READ, 0, nullptr, nullptr), -1);
        EXPECT_EQ(client_server_main_loop(), -1);
        {
            testing::internal::CaptureStderr(); // refusals of an uninitialised library are reported
            client_callbacks clientCallbacks = recordingClient();
            server_callbacks serverCallbacks = recordingServer();
            EXPECT_EQ(client_connect("127.0.0.1", "1", &clientCallbacks, CS_FLAG_NONBLOCK), -1);
            EXPECT_EQ(server_listen("0", &serverCallbacks, CS_FLAG_RAW), -1);
            testing::internal::GetCapturedStderr();
        }

        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        const int server = listenOnFreePort(&port);
        ASSERT_GE(server, 0);
        const int peer = connectLoopback(port);
        ASSERT_GE(peer, 0);
        kit::Listener listener;
        const int listenPort = listener.port();
        client_callbacks callbacks = recordingClient();
        // Left pending: its connect watch and record are still registered.
        const int pendingConnect =
            client_connect("127.0.0.1", std::to_string(listenPort).c_str(), &callbacks, CS_FLAG_RAW | CS_FLAG_NONBLOCK);
        ASSERT_GE(pendingConnect, 0);
        int fired = 0;
        countdown = 1000;
        ASSERT_GE(client_server_add_timer(100000, countingTimer, &fired), 0);

        EXPECT_EQ(client_server_shutdown(), 0);
        EXPECT_EQ(client_server_shutdown(), 0);
        expectUnregistered(pendingConnect);
        EXPECT_EQ(server_get_user_data(server), nullptr);
        // The listening socket was closed with the server.
        EXPECT_TRUE(peerEnded(peer, 2000));

        // A fresh library works, on the very same port.
        ASSERT_EQ(client_server_init(), 0);
        server_callbacks serverCallbacks = recordingServer();
        EXPECT_GE(server_listen(std::to_string(port).c_str(), &serverCallbacks, CS_FLAG_RAW), 0);
        fired = 0;
        countdown = 2;
        ASSERT_GE(client_server_add_timer(1, countingTimer, &fired), 0);
        runSteps({[&] { return fired == 2; }});
        client_server_shutdown();
        close(peer);
        listener.close();
    });
}

TEST(ClientServerInit, ShutdownRestoresThePreviousSigpipeDisposition)
{
    runIsolated([] {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(client_server_init(), 0);
        struct sigaction now;
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_EQ(now.sa_handler, sigpipe_handler);
        {
            testing::internal::CaptureStderr();
            raise(SIGPIPE);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        Ignoring SIGPIPE-signal."), std::string::npos) << errText;
        }
        client_server_shutdown();
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
    });
}

TEST(ClientServerInit, SigpipeWarningIntoTheBrokenPipeItselfDoesNotCallTheHandlerForEver)
{
    // Standard output and error into one pipe whose reader is gone, as when
    // the program piped into another is stopped along with it: the warning
    // breaks the same pipe again.
    runIsolated(
        [] {
            ASSERT_EQ(client_server_init(), 0);
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            close(fds[0]);
            const int savedErr = dup(2);
            dup2(fds[1], 2);
            const ssize_t n = write(fds[1], "x", 1);
            const int err = errno;
            dup2(savedErr, 2);
            close(savedErr);
            close(fds[1]);
            EXPECT_EQ(n, -1);
            EXPECT_EQ(err, EPIPE);
            sigset_t pending;
            sigpending(&pending);
            EXPECT_FALSE(sigismember(&pending, SIGPIPE));
            struct sigaction now;
            sigaction(SIGPIPE, nullptr, &now);
            EXPECT_EQ(now.sa_handler, sigpipe_handler) << "the handler stays in place";
        },
        5000);
}

TEST(ClientServerTimers, TimerFiresUntilItEndsItselfAndItsHandleGoesAfterTheNextPass)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int fired = 0;
        countdown = 3;
        const int timer = client_server_add_timer(5, countingTimer, &fired);
        ASSERT_GE(timer, 0);
        long long endedAt = 0;
        runSteps({
            [&] { return fired == 3; },
            [&] {
                endedAt = nowMs();
                return true;
            },
            // Released by now: it ended in an earlier pass.
            [&] { return client_server_remove_timer(timer) == -1; },
            [&] { return nowMs() - endedAt >= 40; },
        });
        EXPECT_EQ(fired, 3);
        EXPECT_EQ(client_server_remove_timer(timer), -1);
        client_server_shutdown();
    });
}

TEST(ClientServerTimers, RemovedTimerNeverFiresAndIsReleasedLater)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int fired = 0;
        countdown = 1000;
        const int timer = client_server_add_timer(10, countingTimer, &fired);
        ASSERT_GE(timer, 0);
        EXPECT_EQ(client_server_remove_timer(timer), 0);
        // Still registered until its release in the main loop.
        EXPECT_EQ(client_server_remove_timer(timer), 0);
        const long long start = nowMs();
        runSteps({[&] { return nowMs() - start >= 50; }});
        EXPECT_EQ(fired, 0);
        EXPECT_EQ(client_server_remove_timer(timer), -1);
        client_server_shutdown();
    });
}

TEST(ClientServerTimers, FullTimerTableRefusesWithoutDisturbingTheOthers)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        std::vector<int> handles;
        // The timer that drives the test steps is the connection layer's own
        // and takes no slot.
        for (int i = 0; i < CS_TIMER_TABLE_SIZE; i++) {
            const int h = client_server_add_timer(100000, neverTimer, nullptr);
            ASSERT_GE(h, 0);
            handles.push_back(h);
        }
        EXPECT_EQ(handles.front(), 0);
        const long long start = nowMs();
        runSteps({
            [&] {
                testing::internal::CaptureStderr();
                EXPECT_EQ(client_server_add_timer(1, neverTimer, nullptr), -1);
                const std::string errText = testing::internal::GetCapturedStderr();
                EXPECT_NE(errText.find("        There are no free handles"), std::string::npos);
                return true;
            },
            // A refused timer left behind would come due and be released
            // within these passes.
            [&] { return nowMs() - start >= 30; },
        });
        for (int h : handles)
            EXPECT_EQ(client_server_remove_timer(h), 0) << "timer " << h << " lost its registration";
        client_server_shutdown();
    });
}

TEST(ClientServerDispatch, NeverIssuedAndReleasedHandlesGiveMinusOneOrNull)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        expectUnregistered(-1);
        expectUnregistered(0);
        expectUnregistered(CS_ITEM_TABLE_SIZE + 3);
        EXPECT_EQ(client_server_remove_timer(-1), -1);
        EXPECT_EQ(client_server_remove_timer(7), -1);

        int port = 0;
        ASSERT_GE(listenOnFreePort(&port), 0);
        const int peer = connectLoopback(port);
        ASSERT_GE(peer, 0);
        int handle = -1;
        runSteps({
            [&] { return countEvents("accept ") == 1; },
            [&] {
                handle = std::stoi(events[0].substr(7));
                close(peer);
                return true;
            },
            [&] { return countEvents("disconnect ") == 1; },
        });
        EXPECT_EQ(events.back(), "disconnect " + std::to_string(handle));
        expectUnregistered(handle);
        client_server_shutdown();
    });
}

// A registered item always has its connection; one without is a failed
// assertion that names the operation asked, not the look-up behind it.
TEST(ClientServerDispatch, ItemWithoutConnectionIsAFailedAssertionOfTheOperationAsked)
{
    using Operation = std::function<void(int)>;
    const std::vector<std::pair<const char *, Operation>> operations = {
        {"client_server_send", [](int h) { client_server_send(h, MSG_RAW, "x", 1); }},
        {"client_server_disconnect", [](int h) { client_server_disconnect(h); }},
        {"client_server_descriptor", [](int h) { client_server_descriptor(h); }},
        {"client_server_get_user_data", [](int h) { client_server_get_user_data(h); }},
    };
    for (const auto &op : operations) {
        EXPECT_EXIT(
            {
                client_server_init();
                auto *item = static_cast<client_server_item *>(calloc(1, sizeof(client_server_item)));
                op.second(client_server_item_add(item));
            },
            testing::ExitedWithCode(1),
            std::string("\\*\\*\\* ASSERTION FAILED \\(client_server.cpp, [0-9]+, ") + op.first +
                "\\):\n        item->con != NULL\n");
    }
}

TEST(ClientServerDispatch, AskedForDisconnectIsNeverReportedWhilePeerCloseIsReportedOnce)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        ASSERT_GE(listenOnFreePort(&port), 0);
        const int peerA = connectLoopback(port);
        ASSERT_GE(peerA, 0);
        int handleA = -1, handleB = -1, peerB = -1;
        int marker = 42;
        void *userDataInHandler = nullptr;
        connection_info infoInHandler;
        memset(&infoInHandler, 0, sizeof infoInHandler);
        onEvent = [&](const std::string &e) {
            if (e.rfind("disconnect ", 0) == 0) {
                const int h = std::stoi(e.substr(11));
                userDataInHandler = client_server_get_user_data(h);
                client_server_connection_info(h, &infoInHandler);
            }
        };
        long long quietFrom = 0;
        runSteps({
            [&] { return countEvents("accept ") == 1; },
            [&] {
                handleA = std::stoi(events.back().substr(7));
                peerB = connectLoopback(port);
                return true;
            },
            [&] { return countEvents("accept ") == 2; },
            [&] {
                handleB = std::stoi(events.back().substr(7));
                EXPECT_EQ(client_server_set_user_data(handleB, &marker), 0);
                EXPECT_EQ(client_server_disconnect(handleA), 0);
                // Until the end of the pass the handle is still found, and a
                // second disconnect is harmless.
                EXPECT_GE(client_server_descriptor(handleA), 0);
                EXPECT_EQ(client_server_disconnect(handleA), 0);
                close(peerB);
                return true;
            },
            [&] { return countEvents("disconnect ") >= 1 && client_server_descriptor(handleA) == -1; },
            [&] {
                quietFrom = nowMs();
                return true;
            },
            [&] { return nowMs() - quietFrom >= 30; },
        });
        EXPECT_EQ(countEvents("disconnect "), 1);
        EXPECT_TRUE(hasEvent("disconnect " + std::to_string(handleB)));
        EXPECT_EQ(userDataInHandler, &marker);
        EXPECT_EQ(infoInHandler.handle, handleB);
        EXPECT_TRUE(peerEnded(peerA, 2000));
        expectUnregistered(handleA);
        expectUnregistered(handleB);
        close(peerA);
        client_server_shutdown();
    });
}

TEST(ClientServerDispatch, ConnectionInfoGivesHostOrderPortsAndTheAcceptingServer)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        // A second server first, so that the accepting one has handle 1.
        int unusedPort = 0;
        ASSERT_EQ(listenOnFreePort(&unusedPort), 0);
        int port = 0;
        const int server = listenOnFreePort(&port);
        ASSERT_EQ(server, 1);
        const int peer = connectLoopback(port);
        ASSERT_GE(peer, 0);
        struct sockaddr_in local;
        socklen_t len = sizeof local;
        ASSERT_EQ(getsockname(peer, reinterpret_cast<struct sockaddr *>(&local), &len), 0);

        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int listenPort = listener.port();
        client_callbacks callbacks = recordingClient();
        const int outgoing =
            client_connect("127.0.0.1", std::to_string(listenPort).c_str(), &callbacks, CS_FLAG_RAW | CS_FLAG_NONBLOCK);
        ASSERT_GE(outgoing, 0);

        runSteps({[&] { return countEvents("accept ") == 1 && countEvents("connect ") == 1; }});
        EXPECT_TRUE(hasEvent("connect " + std::to_string(outgoing) + " 1 0"));
        const int accepted = std::stoi(events[0].rfind("accept ", 0) == 0 ? events[0].substr(7) : events[1].substr(7));

        connection_info info;
        ASSERT_EQ(client_server_connection_info(accepted, &info), 0);
        EXPECT_EQ(info.handle, accepted);
        EXPECT_EQ(info.port, ntohs(local.sin_port));
        EXPECT_EQ(info.address.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(info.server_handle, server);

        ASSERT_EQ(client_server_connection_info(outgoing, &info), 0);
        EXPECT_EQ(info.handle, outgoing);
        EXPECT_EQ(info.port, listenPort);
        EXPECT_EQ(info.address.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(info.server_handle, -1);

        close(peer);
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientServerDispatch, SendsAndReceivesFramedMessagesByHandle)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int port = 0;
        ASSERT_GE(listenOnFreePort(&port, 0), 0);
        const int peer = connectLoopback(port);
        ASSERT_GE(peer, 0);
        int handle = -1;
        int deliveredInCall = -1;
        runSteps({
            [&] { return countEvents("accept ") == 1; },
            [&] {
                handle = std::stoi(events.back().substr(7));
                EXPECT_EQ(client_server_send(handle, 7, "hello", 5), 0);
                EXPECT_EQ(client_server_send(handle, MSG_RAW, "raw", 3), 0);
                const std::string m = wireFrame(9, "abc");
                EXPECT_TRUE(sendAll(peer, m));
                return true;
            },
            [&] {
                // Reading by hand, before the loop gets to it.
                char probe;
                if (recv(client_server_descriptor(handle), &probe, 1, MSG_PEEK | MSG_DONTWAIT) != 1)
                    return false;
                const size_t before = events.size();
                EXPECT_EQ(client_server_data_received(handle), 0);
                deliveredInCall = static_cast<int>(events.size() - before);
                return true;
            },
        });
        EXPECT_EQ(deliveredInCall, 1);
        EXPECT_TRUE(hasEvent("message " + std::to_string(handle) + " 9 abc"));
        EXPECT_EQ(readExactly(peer, 16, 2000), wireFrame(7, "hello") + "raw");
        close(peer);
        client_server_shutdown();
    });
}

TEST(ClientServerDispatch, InputWatchesPassThroughToTheLoop)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        static int calls;
        static int seenDesc;
        calls = 0;
        seenDesc = -1;
        int tag = 5;
        auto onReadable = [](int desc, void *data) -> int {
            char c;
            (void)!read(desc, &c, 1);
            calls++;
            seenDesc = desc;
            EXPECT_EQ(*static_cast<int *>(data), 5);
            return 0;
        };
        const int watch = client_server_add_input(CS_INPUT_READ, fds[0], onReadable, &tag);
        ASSERT_GE(watch, 0);
        long long removedAt = 0;
        runSteps({
            [&] { return write(fds[1], "x", 1) == 1; },
            [&] { return calls == 1; },
            [&] {
                EXPECT_EQ(client_server_remove_input(CS_INPUT_READ, fds[0]), 0);
                EXPECT_EQ(client_server_remove_input(CS_INPUT_READ, fds[0]), -1);
                EXPECT_EQ(client_server_remove_watch(watch), -1) << "removed already";
                EXPECT_EQ(write(fds[1], "y", 1), 1);
                removedAt = nowMs();
                return true;
            },
            [&] { return nowMs() - removedAt >= 30; },
        });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(seenDesc, fds[0]);
        close(fds[0]);
        close(fds[1]);
        client_server_shutdown();
    });
}
