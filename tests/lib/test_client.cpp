// Outgoing connections: host and port texts, refused and successful
// connects as on_connect reports them, the order of the first events, a
// disconnect while the connect is pending (descriptor reuse), peer close,
// socket options, and descriptors beyond the select() sets. Each test runs
// in its own child process (one main loop per process).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client.h"
#include "client_server.h"
#include "client_server_internal.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "wire.h"

using namespace kit;

namespace {

// The lowest free descriptor number: a descriptor a call leaked would take it.
int lowestFreeDescriptor()
{
    const int fd = dup(0);
    close(fd);
    return fd;
}

int intOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &len), 0);
    return value;
}

const int kNonblocking = CS_FLAG_RAW | CS_FLAG_NONBLOCK;

} // namespace

TEST(ClientConnect, EmptyOrMissingHostOrPortIsRefusedSilently)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        testing::internal::CaptureStderr();
        EXPECT_EQ(client_connect("", "80", &callbacks, kNonblocking), -1);
        EXPECT_EQ(client_connect("127.0.0.1", "", &callbacks, kNonblocking), -1);
        EXPECT_EQ(client_connect(nullptr, "80", &callbacks, kNonblocking), -1);
        EXPECT_EQ(client_connect("127.0.0.1", nullptr, &callbacks, kNonblocking), -1);
        const std::string errText = testing::internal::GetCapturedStderr();
        EXPECT_EQ(errText, "");
        client_server_shutdown();
    });
}

TEST(ClientConnect, PortTextIsANumberOrAServiceNameAsAWhole)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        connection_info info;

        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        const int byNumber = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(byNumber, 0);
        ASSERT_EQ(client_server_connection_info(byNumber, &info), 0);
        EXPECT_EQ(info.port, port);
        // Numbers wrap at 65536.
        const int wrapped = client_connect("127.0.0.1", std::to_string(port + 65536).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(wrapped, 0);
        ASSERT_EQ(client_server_connection_info(wrapped, &info), 0);
        EXPECT_EQ(info.port, port);

        struct servent *telnet = getservbyname("telnet", "tcp");
        if (telnet != nullptr) {
            const int byService = client_connect("127.0.0.1", "telnet", &callbacks, kNonblocking);
            ASSERT_GE(byService, 0);
            ASSERT_EQ(client_server_connection_info(byService, &info), 0);
            EXPECT_EQ(info.port, ntohs(static_cast<uint16_t>(telnet->s_port)));
            client_server_disconnect(byService);
        }

        const int before = lowestFreeDescriptor();
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(client_connect("127.0.0.1", "80x", &callbacks, kNonblocking), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        Could not find service \"80x\"."), std::string::npos) << errText;
        }
        EXPECT_EQ(lowestFreeDescriptor(), before) << "socket of the refused attempt left open";
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientConnect, UnresolvableHostIsReportedAndGivesNoHandle)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        const int before = lowestFreeDescriptor();
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(client_connect("no-such-host.invalid", "80", &callbacks, kNonblocking), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        Host \"no-such-host.invalid\" not found: "), std::string::npos)
                << errText;
        }
        EXPECT_EQ(lowestFreeDescriptor(), before);
        client_server_shutdown();
    });
}

TEST(ClientConnect, RefusedNonblockingConnectReportsFailureOnceAndNoDisconnect)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        const int port = probeFreePort();
        const int handle = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(handle, 0);
        EXPECT_TRUE(events.empty()) << "on_connect must come from the main loop";
        long long failedAt = 0;
        runSteps({
            [&] { return !events.empty(); },
            [&] {
                failedAt = nowMs();
                return true;
            },
            [&] { return nowMs() - failedAt >= 30; },
        });
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], "connect " + std::to_string(handle) + " 0 " + std::to_string(ECONNREFUSED));
        EXPECT_EQ(client_server_descriptor(handle), -1) << "the failed handle must be released";
        client_server_shutdown();
    });
}

TEST(ClientConnect, RefusedBlockingConnectFailsInTheCall)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        const int before = lowestFreeDescriptor();
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(client_connect("127.0.0.1", std::to_string(probeFreePort()).c_str(), &callbacks, CS_FLAG_RAW), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("        connect: " + std::string(strerror(ECONNREFUSED))), std::string::npos)
                << errText;
        }
        EXPECT_EQ(lowestFreeDescriptor(), before);
        client_server_shutdown();
    });
}

TEST(ClientConnect, OnConnectComesBeforeDataThatWasAlreadyWaiting)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        const int handle = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(handle, 0);
        // Accepted and written to before the main loop sees the connect.
        const int peer = listener.accept(2000);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(sendAll(peer, "hello"));
        usleep(20000);
        runSteps({[&] { return countEvents("message ") == 1; }});
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0], "connect " + std::to_string(handle) + " 1 0");
        EXPECT_EQ(events[1], "message " + std::to_string(handle) + " 1 hello");
        listener.drop(peer);
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientConnect, BlockingConnectIsStillAnnouncedFromTheLoop)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        const int handle = client_connect("localhost", std::to_string(port).c_str(), &callbacks, CS_FLAG_RAW);
        ASSERT_GE(handle, 0);
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(client_server_send(handle, MSG_RAW, "ping", 4), 0);
        const int peer = listener.accept(2000);
        ASSERT_GE(peer, 0);
        EXPECT_EQ(readExactly(peer, 4, 2000), "ping");
        runSteps({[&] { return countEvents("connect ") == 1; }});
        EXPECT_EQ(events[0], "connect " + std::to_string(handle) + " 1 0");
        listener.drop(peer);
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientConnect, PeerCloseGivesOneDisconnectAndReleasesTheHandle)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        const int handle = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(handle, 0);
        int peer = -1;
        long long closedAt = 0;
        runSteps({
            [&] { return countEvents("connect ") == 1; },
            [&] {
                peer = listener.accept(2000);
                EXPECT_GE(peer, 0);
                listener.drop(peer);
                return true;
            },
            [&] { return countEvents("disconnect ") == 1; },
            [&] {
                closedAt = nowMs();
                return true;
            },
            [&] { return nowMs() - closedAt >= 30; },
        });
        EXPECT_EQ(countEvents("disconnect "), 1);
        EXPECT_EQ(events.back(), "disconnect " + std::to_string(handle));
        EXPECT_EQ(client_server_descriptor(handle), -1);
        listener.close();
        client_server_shutdown();
    });
}

// The old connect's watch and record must go with the connection: the next
// socket gets the same descriptor number, and only its own on_connect may
// arrive. The second round withdraws a watch while an earlier withdrawn one
// on the same descriptor is still awaiting its purge.
TEST(ClientConnect, DisconnectWhilePendingNeverReachesAConnectThatReusesTheDescriptor)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();

        const int first = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(first, 0);
        const int desc = client_server_descriptor(first);
        EXPECT_EQ(client_server_disconnect(first), 0);
        const int second = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(second, 0);
        ASSERT_EQ(client_server_descriptor(second), desc) << "the test needs the descriptor number reused";
        EXPECT_EQ(client_server_disconnect(second), 0);
        const int third = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(third, 0);
        ASSERT_EQ(client_server_descriptor(third), desc);

        long long connectedAt = 0;
        runSteps({
            [&] { return countEvents("connect ") >= 1; },
            [&] {
                connectedAt = nowMs();
                return true;
            },
            [&] { return nowMs() - connectedAt >= 30; },
        });
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], "connect " + std::to_string(third) + " 1 0");
        EXPECT_EQ(client_server_descriptor(first), -1);
        EXPECT_EQ(client_server_descriptor(second), -1);
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientConnect, DisconnectFromTheFailedConnectHandlerIsHarmless)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        onEvent = [](const std::string &e) {
            if (e.rfind("connect ", 0) == 0) {
                EXPECT_EQ(client_server_disconnect(std::stoi(e.substr(8))), 0);
            }
        };
        const int handle = client_connect("127.0.0.1", std::to_string(probeFreePort()).c_str(), &callbacks, kNonblocking);
        ASSERT_GE(handle, 0);
        long long failedAt = 0;
        runSteps({
            [&] { return !events.empty(); },
            [&] {
                failedAt = nowMs();
                return true;
            },
            [&] { return nowMs() - failedAt >= 20; },
        });
        EXPECT_EQ(events.size(), 1u);
        EXPECT_EQ(client_server_descriptor(handle), -1);
        client_server_shutdown();
    });
}

TEST(ClientConnect, OutgoingSocketsProbeSilentPeersWithinAMinuteAndHonourNodelay)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        const int plain = client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking);
        const int nodelay =
            client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking | CS_FLAG_NODELAY);
        ASSERT_GE(plain, 0);
        ASSERT_GE(nodelay, 0);
        for (int handle : {plain, nodelay}) {
            const int fd = client_server_descriptor(handle);
            EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
            const int idle = intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
            const int interval = intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
            const int count = intOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
            EXPECT_GT(idle, 0);
            EXPECT_GT(count, 0);
            EXPECT_LE(idle + interval * count, 50) << "room for the last packet before the silence";
            const int userTimeout = intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
            EXPECT_GT(userTimeout, 0) << "unacknowledged output must not keep a dead connection";
            EXPECT_LE(userTimeout, 50000);
        }
        EXPECT_EQ(intOption(client_server_descriptor(plain), IPPROTO_TCP, TCP_NODELAY), 0);
        EXPECT_NE(intOption(client_server_descriptor(nodelay), IPPROTO_TCP, TCP_NODELAY), 0);
        listener.close();
        client_server_shutdown();
    });
}

TEST(ClientConnect, DescriptorBeyondTheSelectSetsIsRefused)
{
    runIsolated([] {
        ASSERT_EQ(client_server_init(), 0);
        client_callbacks callbacks = recordingClient();
        kit::Listener listener;
        ASSERT_TRUE(listener.ok());
        const int port = listener.port();
        DescriptorFiller filler(FD_SETSIZE);
        if (!filler.ok()) {
            GTEST_SKIP() << "cannot open " << FD_SETSIZE << " descriptors here";
        }
        const int before = lowestFreeDescriptor();
        ASSERT_GE(before, FD_SETSIZE);
        {
            testing::internal::CaptureStderr();
            EXPECT_EQ(client_connect("127.0.0.1", std::to_string(port).c_str(), &callbacks, kNonblocking), -1);
            const std::string errText = testing::internal::GetCapturedStderr();
            EXPECT_NE(errText.find("beyond the select() limit"), std::string::npos) << errText;
        }
        EXPECT_EQ(lowestFreeDescriptor(), before);
        listener.close();
        client_server_shutdown();
    });
}

namespace {

TEST(ClientDeathTest, ConnectHandlerWithoutItsRecordIsAFailedAssertion)
{
    EXPECT_EXIT(connect_cb(3, nullptr), testing::ExitedWithCode(1),
                "\\*\\*\\* ASSERTION FAILED \\(client.cpp, [0-9]+, connect_cb\\):\n        con_info != NULL\n");
}

} // namespace
