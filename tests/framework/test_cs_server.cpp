#include <map>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "CsServer.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {

using kit::countOf;

// The local port of a connected socket, as the server sees the peer.
int localPort(int fd)
{
    struct sockaddr_in address {};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

TEST(CsServer, FirstServerReportsItsHandleAndPortWhenVerbose)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        CsServer server(&owner, std::to_string(port).c_str(), 1, 0);
        EXPECT_EQ(server.isListening(), 0);
        EXPECT_EQ(server.getHandle(), 0);
        EXPECT_EQ(CsServer::getVerbose(), 1);
        EXPECT_EQ(server.firstClient(), -1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, "CsServer 0 running on port " + std::to_string(port) + "\n"), 1) << run.out;
}

TEST(CsServer, EachClientsEventsArriveInOrderUnderOneHandle)
{
    int port = kit::probeFreePort();
    auto run = kit::runCaptured([port] {
        kit::Recorder owner;
        CsServer server(&owner, std::to_string(port).c_str(), 1, 1);
        ASSERT_EQ(server.isListening(), 0);
        std::vector<int> peers;
        int firstPeerPort = -1;
        std::vector<int> walk;
        kit::Loop script;
        script.at(0, [&] {
            for (int i = 0; i < 3; ++i)
                peers.push_back(kit::connectLoopback(port));
            firstPeerPort = localPort(peers[0]);
        });
        script.at(200, [&] {
            for (int h = server.firstClient(); h != -1; h = server.nextClient())
                walk.push_back(h);
            for (size_t i = 0; i < peers.size(); ++i) {
                std::string first = "c" + std::to_string(i);
                EXPECT_EQ(write(peers[i], first.data(), 2), 2);
            }
        });
        script.at(300, [&] {
            for (int peer : peers)
                EXPECT_EQ(write(peer, "!", 1), 1);
        });
        script.at(400, [&] {
            for (int peer : peers)
                close(peer);
        });
        script.until([&] { return owner.ofType(EVENT_DISCONNECTED).size() == 3; });
        EXPECT_TRUE(script.run(5000));

        // Accepted in connection order; each client's events under its handle.
        std::vector<int> accepted;
        for (const kit::Event &event : owner.ofType(EVENT_CONNECTED))
            accepted.push_back(event.handle);
        ASSERT_EQ(accepted.size(), 3u);
        EXPECT_EQ(walk, accepted);
        for (size_t i = 0; i < accepted.size(); ++i) {
            std::vector<int> types;
            std::string data;
            for (const kit::Event &event : owner.events) {
                if (event.handle != accepted[i])
                    continue;
                EXPECT_EQ(event.sender, &server);
                types.push_back(event.type);
                if (event.type == EVENT_DATA)
                    data += event.data;
            }
            ASSERT_GE(types.size(), 4u);
            EXPECT_EQ(types.front(), EVENT_CONNECTED);
            EXPECT_EQ(types.back(), EVENT_DISCONNECTED);
            for (size_t k = 1; k + 1 < types.size(); ++k)
                EXPECT_EQ(types[k], EVENT_DATA);
            EXPECT_EQ(data, "c" + std::to_string(i) + "!");
        }
        EXPECT_EQ(server.firstClient(), -1);
        printf("@@ %d %d\n", accepted[0], firstPeerPort);
    });
    ASSERT_TRUE(run.passed()) << run.describe();
    int handle = -1, peerPort = -1;
    size_t at = run.out.find("@@ ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(sscanf(run.out.c_str() + at, "@@ %d %d", &handle, &peerPort), 2);
    std::string peer = "127.0.0.1:" + std::to_string(peerPort);
    std::string h = std::to_string(handle);
    EXPECT_EQ(countOf(run.out, "Connect (" + h + ") from " + peer + "...\n"), 1) << run.out;
    EXPECT_EQ(countOf(run.out, peer + " (handle " + h + ") Msg length 2\n"), 1) << run.out;
    EXPECT_EQ(countOf(run.out, peer + " (handle " + h + ") Msg length 1\n"), 1) << run.out;
    EXPECT_EQ(countOf(run.out, "Disconnect (" + h + ") from " + peer + "...\n"), 1) << run.out;
}

TEST(CsServer, SendsToOneClientAndRefusesAClientThatLeft)
{
    auto run = kit::runCaptured([] {
        int port = kit::probeFreePort();
        kit::Recorder owner;
        CsServer server(&owner, std::to_string(port).c_str(), 0, 0);
        int stays = -1, leaves = -1;
        int sendAtLoss = 0;
        std::map<int, int> peerOf;
        std::string atStays, atLeaves;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.type == EVENT_DISCONNECTED)
                sendAtLoss = server.send(event.handle, "late", 4);
        };
        kit::Loop script;
        script.at(0, [&] {
            stays = kit::connectLoopback(port);
            leaves = kit::connectLoopback(port);
        });
        script.at(200, [&] {
            auto connected = owner.ofType(EVENT_CONNECTED);
            ASSERT_EQ(connected.size(), 2u);
            EXPECT_EQ(server.send(connected[0].handle, "to first", 8), 0);
            EXPECT_EQ(server.send(connected[1].handle, "to second", 9), 0);
            EXPECT_EQ(server.send(connected[0].handle, "x", MSGBUFSIZE + 1), -1);
        });
        script.at(300, [&] {
            atStays = kit::readAvailable(stays);
            atLeaves = kit::readAvailable(leaves);
            close(leaves);
        });
        script.until([&] { return owner.ofType(EVENT_DISCONNECTED).size() == 1 && script.elapsedMs() > 500; });
        EXPECT_TRUE(script.run(4000));
        EXPECT_EQ(atStays, "to first");
        EXPECT_EQ(atLeaves, "to second");
        auto connected = owner.ofType(EVENT_CONNECTED);
        ASSERT_EQ(connected.size(), 2u);
        EXPECT_EQ(owner.ofType(EVENT_DISCONNECTED)[0].handle, connected[1].handle);
        EXPECT_EQ(sendAtLoss, -1);
        EXPECT_EQ(server.send(connected[1].handle, "later", 5), -1);
        EXPECT_EQ(server.send(connected[0].handle, "still", 5), 0);
        close(stays);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsServer, SecondServerOnABusyPortStaysNotListening)
{
    auto run = kit::runCaptured([] {
        int port = kit::probeFreePort();
        kit::Recorder owner;
        CsServer first(&owner, std::to_string(port).c_str(), 1, 0);
        ASSERT_EQ(first.isListening(), 0);
        fprintf(stderr, "--- second ---\n");
        CsServer second(&owner, std::to_string(port).c_str(), 1, 0);
        EXPECT_EQ(second.isListening(), -1);
        EXPECT_EQ(second.getHandle(), -1);
        EXPECT_EQ(second.firstClient(), -1);
        EXPECT_EQ(second.nextClient(), -1);
        second.stopListening(); // harmless when not listening
        EXPECT_TRUE(owner.events.empty());
        EXPECT_EQ(first.isListening(), 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    size_t marker = run.err.find("--- second ---");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_NE(run.err.find("        bind: ", marker), std::string::npos) << run.err;
    EXPECT_EQ(countOf(run.out, "running on port"), 1) << run.out;
}

TEST(CsServer, StoppingClosesClientsSilentlyAndListeningAgainWorks)
{
    auto run = kit::runCaptured([] {
        int port = kit::probeFreePort();
        kit::Recorder owner;
        CsServer server(&owner, std::to_string(port).c_str(), 0, 0);
        int peer = -1, again = -1;
        bool peerSawEnd = false;
        kit::Loop script;
        script.at(0, [&] { peer = kit::connectLoopback(port); });
        script.at(200, [&] {
            EXPECT_EQ(owner.ofType(EVENT_CONNECTED).size(), 1u);
            server.stopListening();
            EXPECT_EQ(server.isListening(), -1);
            EXPECT_EQ(kit::connectLoopback(port), -1);
            server.listen();
            EXPECT_EQ(server.isListening(), 0);
        });
        script.at(300, [&] {
            char byte;
            peerSawEnd = read(peer, &byte, 1) == 0;
            again = kit::connectLoopback(port);
        });
        script.until([&] { return owner.ofType(EVENT_CONNECTED).size() == 2; });
        EXPECT_TRUE(script.run(4000));
        EXPECT_TRUE(peerSawEnd);
        EXPECT_EQ(owner.ofType(EVENT_DISCONNECTED).size(), 0u);
        close(peer);
        close(again);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsServer, DestroyedServerIsReachedByNoLibraryCallback)
{
    // The owner destroys the server on the first byte; the other clients
    // keep sending and closing. Under the sanitizer build any call into the
    // destroyed server fails the child.
    auto run = kit::runCaptured([] {
        int port = kit::probeFreePort();
        kit::Recorder owner;
        auto *server = new CsServer(&owner, std::to_string(port).c_str(), 1, 0);
        std::vector<int> peers;
        owner.onEvent = [&](const kit::Event &event) {
            if (event.type == EVENT_DATA && server != nullptr) {
                delete server;
                server = nullptr;
            }
        };
        kit::Loop script;
        script.at(0, [&] {
            for (int i = 0; i < 3; ++i)
                peers.push_back(kit::connectLoopback(port));
        });
        script.at(150, [&] {
            for (int peer : peers)
                EXPECT_EQ(write(peer, "data", 4), 4);
        });
        script.at(300, [&] {
            for (int peer : peers) {
                (void)!write(peer, "more", 4);
                close(peer);
            }
        });
        script.until([&] { return script.elapsedMs() > 600; });
        EXPECT_TRUE(script.run(4000));
        EXPECT_EQ(server, nullptr);
        EXPECT_EQ(owner.ofType(EVENT_DATA).size(), 1u);
        EXPECT_EQ(owner.ofType(EVENT_DISCONNECTED).size(), 0u);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsServer, ListensOnOneLocalAddressWhenGivenOne)
{
    auto run = kit::runCaptured([] {
        int port = kit::probeFreePort();
        kit::Recorder owner;
        CsServer loopback(&owner, std::to_string(port).c_str(), 0, 0, "127.0.0.1");
        EXPECT_EQ(loopback.isListening(), 0);
        CsServer bad(&owner, std::to_string(kit::probeFreePort()).c_str(), 0, 0, "not-an-address");
        EXPECT_EQ(bad.isListening(), -1);
        int peer = -1;
        kit::Loop script;
        script.at(0, [&] { peer = kit::connectLoopback(port); });
        script.until([&] { return owner.ofType(EVENT_CONNECTED).size() == 1; });
        EXPECT_TRUE(script.run(3000));
        EXPECT_STREQ(loopback.peerAddress(owner.events[0].handle), "127.0.0.1");
        EXPECT_EQ(loopback.peerPort(owner.events[0].handle), std::to_string(localPort(peer)));
        EXPECT_STREQ(loopback.peerAddress(12345), "");
        close(peer);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

} // namespace
