#include <netdb.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsClient.h"
#include "client.h"
#include "connection.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {

using kit::countOf;
using kit::Listener;

const char *const retryLine = "Retry to establish connection to server\n";
const char *const failedRetryLine = "Connect failed, retry\n";

TEST(CsClient, RetriesEveryPeriodUntilTheServerIsUpAndReportsNothingBefore)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        std::unique_ptr<Listener> server;
        const long long start = kit::nowMs();
        CsClient client(&owner, "127.0.0.1", std::to_string(port).c_str(), 1, 1, 1);
        EXPECT_EQ(client.state(), CsClient::STATE_CONNECTING);
        int eventsBeforeServer = -1;
        kit::Loop script;
        script.at(2500, [&] {
            eventsBeforeServer = static_cast<int>(owner.events.size());
            server = std::make_unique<Listener>(port);
        });
        script.until([&] { return !owner.events.empty(); });
        EXPECT_TRUE(script.run(7000));
        EXPECT_EQ(eventsBeforeServer, 0);
        ASSERT_EQ(owner.events.size(), 1u);
        const kit::Event &connected = owner.events[0];
        EXPECT_EQ(connected.type, EVENT_CONNECTED);
        EXPECT_EQ(connected.sender, &client);
        EXPECT_EQ(connected.handle, client.getHandle());
        EXPECT_NE(connected.handle, -1);
        // Attempts at 0, 1, 2 s fail; the one at 3 s finds the server.
        EXPECT_GE(connected.atMs - start, 2500);
        EXPECT_LT(connected.atMs - start, 4500);
        EXPECT_EQ(client.state(), CsClient::STATE_CONNECTED);
        EXPECT_STREQ(client.peerAddress(), "127.0.0.1");
        EXPECT_EQ(client.peerPort(), std::to_string(port));
        printf("@@ handle %d\n", connected.handle);
    });
    ASSERT_TRUE(run.passed()) << run.describe();
    int retries = countOf(run.out, retryLine);
    EXPECT_GE(retries, 2) << run.out;
    EXPECT_LE(retries, 4) << run.out;
    EXPECT_EQ(countOf(run.out, failedRetryLine), retries) << run.out;
    size_t at = run.out.find("@@ handle ");
    ASSERT_NE(at, std::string::npos);
    int handle = std::stoi(run.out.substr(at + 10));
    EXPECT_EQ(countOf(run.out, "Connect (" + std::to_string(handle) + ") from 127.0.0.1:" + std::to_string(port) +
                                   "... (Success 1)\n"),
              1)
        << run.out;
    EXPECT_EQ(countOf(run.out, "Connect failed !"), 0);
}

TEST(CsClient, WithoutRetriesAFailedAttemptIsReportedOnceAndTheClientGoesIdle)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        std::unique_ptr<Listener> server;
        CsClient client(&owner, "127.0.0.1", std::to_string(port).c_str(), 1, 0, 0);
        int handle = client.getHandle();
        ASSERT_NE(handle, -1);
        int lateConnections = 0;
        kit::Loop script;
        script.at(500, [&] { server = std::make_unique<Listener>(port); });
        script.at(1800, [&] { lateConnections = server->accept(0) >= 0 ? 1 : 0; });
        script.until([&] { return script.elapsedMs() >= 1900; });
        EXPECT_TRUE(script.run(5000));
        ASSERT_EQ(owner.events.size(), 1u);
        EXPECT_EQ(owner.events[0].type, EVENT_CONNECT_FAILED);
        EXPECT_EQ(owner.events[0].handle, handle);
        EXPECT_EQ(client.state(), CsClient::STATE_IDLE);
        EXPECT_EQ(client.getHandle(), -1);
        EXPECT_EQ(lateConnections, 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, "Connect failed !\n"), 1) << run.out;
    EXPECT_EQ(countOf(run.out, retryLine), 0) << run.out;
}

TEST(CsClient, CarriesRawBytesBothWays)
{
    auto run = kit::runCaptured([] {
        Listener server;
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", server.portText().c_str(), 1, 1, 1);
        int peer = -1;
        std::string atServer;
        kit::Loop script;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.type == EVENT_CONNECTED) {
                EXPECT_EQ(client.send("hello\n", 6), 0);
                // More than one message may carry: a length the library
                // would refuse is turned away here.
                EXPECT_EQ(client.send("x", MSGBUFSIZE + 1), -1);
                EXPECT_EQ(client.send("x", -1), -1);
            }
        };
        script.at(0, [] {});
        script.until([&] {
            if (peer < 0 && (peer = server.accept(0)) >= 0) {
                EXPECT_EQ(write(peer, "abc", 3), 3);
            }
            if (peer >= 0)
                atServer += kit::readAvailable(peer);
            return atServer == "hello\n" && owner.dataOf(EVENT_DATA) == "abc";
        });
        EXPECT_TRUE(script.run(5000)) << atServer << "/" << owner.dataOf(EVENT_DATA);
        ASSERT_FALSE(owner.ofType(EVENT_DATA).empty());
        EXPECT_EQ(owner.ofType(EVENT_DATA)[0].handle, client.getHandle());
        EXPECT_EQ(owner.ofType(EVENT_CONNECTED).size(), 1u);
        printf("@@ handle %d port %d\n", client.getHandle(), server.port());
    });
    ASSERT_TRUE(run.passed()) << run.describe();
    int handle = -1, port = -1;
    size_t at = run.out.find("@@ handle ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(sscanf(run.out.c_str() + at, "@@ handle %d port %d", &handle, &port), 2);
    EXPECT_EQ(countOf(run.out, "127.0.0.1:" + std::to_string(port) + " (handle " + std::to_string(handle) +
                                   ") -- Length 3\n"),
              1)
        << run.out;
}

TEST(CsClient, ServerClosingTheConnectionIsReportedAndTriedAgain)
{
    auto run = kit::runCaptured([] {
        Listener server;
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", server.portText().c_str(), 1, 1, 1);
        int accepted = 0;
        int stateAfterLoss = 99, handleAfterLoss = 99;
        long long lostAt = 0;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.type == EVENT_DISCONNECTED) {
                stateAfterLoss = client.state();
                handleAfterLoss = client.getHandle();
                lostAt = event.atMs;
                EXPECT_EQ(client.send("x", 1), -1);
            }
        };
        kit::Loop script;
        script.until([&] {
            int peer = server.accept(0);
            if (peer >= 0 && ++accepted == 1)
                server.drop(peer);
            return owner.ofType(EVENT_CONNECTED).size() == 2;
        });
        EXPECT_TRUE(script.run(6000));
        ASSERT_EQ(owner.events.size(), 3u);
        EXPECT_EQ(owner.events[0].type, EVENT_CONNECTED);
        EXPECT_EQ(owner.events[1].type, EVENT_DISCONNECTED);
        EXPECT_EQ(owner.events[1].handle, owner.events[0].handle);
        EXPECT_EQ(owner.events[2].type, EVENT_CONNECTED);
        EXPECT_EQ(owner.events[2].handle, client.getHandle());
        EXPECT_EQ(stateAfterLoss, CsClient::STATE_CONNECTING);
        EXPECT_EQ(handleAfterLoss, -1);
        const long long wait = owner.events[2].atMs - lostAt;
        EXPECT_GE(wait, 900);
        EXPECT_LT(wait, 2500);
        EXPECT_EQ(accepted, 2);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, retryLine), 1) << run.out;
    EXPECT_EQ(countOf(run.out, "Disconnect ("), 1) << run.out;
}

TEST(CsClient, ReconnectsOnceTheStoppedServerIsBack)
{
    auto run = kit::runCaptured([] {
        auto server = std::make_unique<Listener>();
        int port = server->port();
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", server->portText().c_str(), 1, 1, 1);
        int peer = -1;
        int eventsWhileDown = -1;
        kit::Loop script;
        script.until([&] {
            if (server && peer < 0 && (peer = server->accept(0)) >= 0) {
                // Stop the whole server: the listener and the connection.
                server.reset();
                script.at(script.elapsedMs() + 2300, [&] {
                    eventsWhileDown = static_cast<int>(owner.events.size());
                    server = std::make_unique<Listener>(port);
                });
            }
            return owner.ofType(EVENT_CONNECTED).size() == 2;
        });
        EXPECT_TRUE(script.run(8000));
        ASSERT_EQ(owner.events.size(), 3u);
        EXPECT_EQ(owner.events[0].type, EVENT_CONNECTED);
        EXPECT_EQ(owner.events[1].type, EVENT_DISCONNECTED);
        EXPECT_EQ(owner.events[2].type, EVENT_CONNECTED);
        // Failed attempts while the server was down posted nothing.
        EXPECT_EQ(eventsWhileDown, 2);
        EXPECT_EQ(client.state(), CsClient::STATE_CONNECTED);
    });
    ASSERT_TRUE(run.passed()) << run.describe();
    // Down for 2.3 s: attempts at about 1 and 2 s fail, the one at 3 s
    // finds the server again.
    EXPECT_GE(countOf(run.out, failedRetryLine), 1) << run.out;
    EXPECT_LE(countOf(run.out, failedRetryLine), 3) << run.out;
    EXPECT_EQ(countOf(run.out, retryLine), countOf(run.out, failedRetryLine) + 1) << run.out;
}

TEST(CsClient, ServerClosingWithoutRetriesLeavesTheClientIdle)
{
    auto run = kit::runCaptured([] {
        Listener server;
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", server.portText().c_str(), 0, 0, 0);
        int accepted = 0;
        kit::Loop script;
        script.until([&] {
            int peer = server.accept(0);
            if (peer >= 0 && ++accepted == 1)
                server.drop(peer);
            return script.elapsedMs() > 2000;
        });
        EXPECT_TRUE(script.run(5000));
        ASSERT_EQ(owner.events.size(), 2u);
        EXPECT_EQ(owner.events[1].type, EVENT_DISCONNECTED);
        EXPECT_EQ(client.state(), CsClient::STATE_IDLE);
        EXPECT_EQ(accepted, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    // verbose 0: no progress lines at all
    EXPECT_EQ(countOf(run.out, "Connect"), 0) << run.out;
}

TEST(CsClient, SendFailsWhileWaitingForARetry)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", std::to_string(port).c_str(), 0, 1, 1);
        EXPECT_EQ(client.send("early", 5), -1);
        kit::Loop script;
        script.at(300, [&] {
            EXPECT_EQ(client.state(), CsClient::STATE_CONNECTING);
            EXPECT_EQ(client.getHandle(), -1);
            EXPECT_EQ(client.send("hello", 5), -1);
            EXPECT_EQ(client.disconnect(), -1); // no connection; see the next test
        });
        script.until([&] { return script.elapsedMs() > 400; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_TRUE(owner.events.empty());
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsClient, DisconnectStopsAWaitingRetry)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        std::unique_ptr<Listener> server;
        CsClient client(&owner, "127.0.0.1", std::to_string(port).c_str(), 1, 1, 1);
        int accepted = -1;
        kit::Loop script;
        script.at(300, [&] {
            EXPECT_EQ(client.getHandle(), -1);
            EXPECT_EQ(client.state(), CsClient::STATE_CONNECTING);
            // No connection to close: -1, but the waiting retry is stopped.
            EXPECT_EQ(client.disconnect(), -1);
            EXPECT_EQ(client.state(), CsClient::STATE_IDLE);
            EXPECT_EQ(client.disconnect(), -1);
            server = std::make_unique<Listener>(port);
        });
        script.at(2400, [&] { accepted = server->accept(0); });
        script.until([&] { return script.elapsedMs() > 2500; });
        EXPECT_TRUE(script.run(5000));
        EXPECT_EQ(accepted, -1);
        EXPECT_TRUE(owner.events.empty());
        EXPECT_EQ(client.state(), CsClient::STATE_IDLE);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, retryLine), 0) << run.out;
}

TEST(CsClient, DisconnectClosesWithoutAnEventAndWithoutARetry)
{
    auto run = kit::runCaptured([] {
        Listener server;
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", server.portText().c_str(), 1, 1, 1);
        int peer = -1, second = -1;
        bool peerSawEnd = false;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.type == EVENT_CONNECTED) {
                EXPECT_EQ(client.connect(), -1); // holds a handle: nothing changes
                EXPECT_EQ(client.getHandle(), event.handle);
                EXPECT_EQ(client.state(), CsClient::STATE_CONNECTED);
                EXPECT_EQ(client.disconnect(), 0);
                EXPECT_EQ(client.state(), CsClient::STATE_IDLE);
                EXPECT_EQ(client.getHandle(), -1);
                EXPECT_EQ(client.disconnect(), -1);
            }
        };
        kit::Loop script;
        script.until([&] {
            if (peer < 0)
                peer = server.accept(0);
            else if (second < 0)
                second = server.accept(0);
            if (peer >= 0 && !peerSawEnd) {
                char byte;
                peerSawEnd = read(peer, &byte, 1) == 0;
            }
            return script.elapsedMs() > 2000;
        });
        EXPECT_TRUE(script.run(5000));
        ASSERT_EQ(owner.events.size(), 1u);
        EXPECT_EQ(owner.events[0].type, EVENT_CONNECTED);
        EXPECT_TRUE(peerSawEnd);
        EXPECT_EQ(second, -1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, retryLine), 0) << run.out;
}

TEST(CsClient, ExplicitAttemptReplacesAWaitingRetry)
{
    // Two chains of retries would show up as about twice the attempts.
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        CsClient client(&owner, "127.0.0.1", std::to_string(port).c_str(), 1, 1, 1);
        kit::Loop script;
        script.at(400, [&] {
            EXPECT_EQ(client.getHandle(), -1);
            EXPECT_NE(client.connect(), -1);
        });
        script.until([&] { return script.elapsedMs() > 3200; });
        EXPECT_TRUE(script.run(6000));
        EXPECT_TRUE(owner.events.empty());
    });
    ASSERT_TRUE(run.passed()) << run.describe();
    // Attempts at 0 and 0.4 s, then retries at about 1.4, 2.4 s.
    EXPECT_GE(countOf(run.out, retryLine), 2) << run.out;
    EXPECT_LE(countOf(run.out, retryLine), 3) << run.out;
}

// A name server that answers "try again" for the first two look-ups, as
// one does while a station boots, then resolves.
int failingLookups = 0;
struct hostent *lookupFailingTwice(const char *name)
{
    if (++failingLookups <= 2) {
        h_errno = TRY_AGAIN;
        return nullptr;
    }
    return gethostbyname(name);
}

TEST(CsClient, AnAttemptThatFailsAtOnceIsRetriedReportedOnceAndConnects)
{
    auto run = kit::runCaptured([] {
        Listener server;
        ASSERT_TRUE(server.ok());
        client_set_lookup(lookupFailingTwice);
        kit::Recorder owner;
        const long long start = kit::nowMs();
        CsClient client(&owner, "localhost", server.portText().c_str(), 1, 1, 1);
        EXPECT_EQ(client.getHandle(), -1);
        EXPECT_EQ(client.state(), CsClient::STATE_CONNECTING);
        EXPECT_TRUE(client.retryWaiting());
        kit::Loop script;
        script.until([&] { return !owner.events.empty(); });
        EXPECT_TRUE(script.run(6000));
        ASSERT_EQ(owner.events.size(), 1u);
        EXPECT_EQ(owner.events[0].type, EVENT_CONNECTED);
        // Look-ups at 0 and 1 s fail at once; the one at 2 s connects.
        EXPECT_GE(owner.events[0].atMs - start, 1900);
        EXPECT_LT(owner.events[0].atMs - start, 3500);
        EXPECT_EQ(client.state(), CsClient::STATE_CONNECTED);
        EXPECT_FALSE(client.retryWaiting());
        EXPECT_GE(server.accept(1000), 0);
        EXPECT_EQ(failingLookups, 3);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, failedRetryLine), 2) << run.out;
    EXPECT_EQ(countOf(run.out, retryLine), 2) << run.out;
    // The second failure repeats the first: one report.
    EXPECT_EQ(countOf(run.err, "*** ERROR"), 1) << run.err;
    EXPECT_EQ(countOf(run.err, "Host \"localhost\" not found"), 1) << run.err;
}

TEST(CsClient, DestroyedClientIsReachedByNoLibraryCallback)
{
    // Each client goes in another phase: waiting for its retry, with an
    // attempt under way, and from its owner's callback while connected with
    // data on the way. Under the sanitizer build any call into a destroyed
    // client fails the child.
    int downPort = kit::probeFreePort();
    auto run = kit::runCaptured([downPort] {
        Listener server;
        std::unique_ptr<Listener> late;
        kit::Recorder owner;
        std::string down = std::to_string(downPort);
        auto *waiting = new CsClient(&owner, "127.0.0.1", down.c_str(), 1, 1, 1);
        CsClient *attempting = nullptr;
        auto *talking = new CsClient(&owner, "127.0.0.1", server.portText().c_str(), 1, 1, 1);
        int peer = -1;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.sender == talking && event.type == EVENT_DATA) {
                delete talking;
                talking = nullptr;
            }
        };
        kit::Loop script;
        script.at(300, [&] {
            EXPECT_EQ(waiting->getHandle(), -1);
            delete waiting;
            waiting = nullptr;
            late = std::make_unique<Listener>(downPort);
            attempting = new CsClient(&owner, "127.0.0.1", server.portText().c_str(), 1, 1, 1);
            delete attempting;
            attempting = nullptr;
        });
        script.until([&] {
            if (peer < 0 && (peer = server.accept(0)) >= 0) {
                EXPECT_EQ(write(peer, "first", 5), 5);
            }
            if (talking == nullptr && peer >= 0)
                (void)!write(peer, "more", 4);
            return script.elapsedMs() > 2500;
        });
        EXPECT_TRUE(script.run(6000));
        EXPECT_EQ(late->accept(0), -1); // the retry of the first client never ran
        EXPECT_EQ(talking, nullptr);
        EXPECT_EQ(owner.ofType(EVENT_DATA).size(), 1u);
        EXPECT_EQ(owner.ofType(EVENT_DISCONNECTED).size(), 0u);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, retryLine), 0) << run.out;
}

} // namespace
