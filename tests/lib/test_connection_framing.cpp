// Connections: the wire format, reassembly, queued output and the
// lifecycle of a connection, against a peer that writes and reads bytes.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "connection.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "wire.h"
#include "text.h"

namespace {

// Collects what a connection delivers; the hooks run inside the callbacks.
struct recorder {
    std::vector<std::pair<int, std::string>> messages;
    int disconnects = 0;
    std::function<void(recorder &)> on_message;
    std::function<void(recorder &)> on_disconnect;
};

int record_message(void *arg, int msg_type, const char *data, int len)
{
    auto *r = static_cast<recorder *>(arg);
    EXPECT_GE(len, 0);
    r->messages.emplace_back(msg_type, std::string(data, static_cast<size_t>(len)));
    if (r->on_message)
        r->on_message(*r);
    return 0;
}

void record_disconnect(void *arg)
{
    auto *r = static_cast<recorder *>(arg);
    r->disconnects++;
    if (r->on_disconnect)
        r->on_disconnect(*r);
}

connection *open_connection(const kit::SocketPair &sp, recorder &r)
{
    connection *con = connection_create(sp.lib, record_message, record_disconnect, &r);
    EXPECT_NE(con, nullptr);
    return con;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}


} // namespace

// ---- the wire format ----

TEST(Framing, WritesBigEndianTypeAndLengthBeforeThePayload)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);

        EXPECT_EQ(connection_send(con, 7, "abc", 3), 0);
        EXPECT_EQ(kit::readExactly(sp.peer, 11), bytes({0, 0, 0, 7, 0, 0, 0, 3}) + "abc");

        EXPECT_EQ(connection_send(con, -2, "\x01\xff", 2), 0);
        EXPECT_EQ(kit::readExactly(sp.peer, 10), bytes({0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 2, 1, 0xff}));

        EXPECT_EQ(connection_send(con, 0x01020304, kit::pattern(300, 1).data(), 300), 0);
        EXPECT_EQ(kit::readExactly(sp.peer, 308), bytes({1, 2, 3, 4, 0, 0, 1, 0x2c}) + kit::pattern(300, 1));

        // A raw message is its payload alone.
        EXPECT_EQ(connection_send(con, MSG_RAW, "hello", 5), 0);
        EXPECT_EQ(kit::readExactly(sp.peer, 5), "hello");
        EXPECT_EQ(kit::readAvailable(sp.peer), "");
    });
}

TEST(Framing, CarriesTheLargestPayloadInBothDirections)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        r.on_message = [](recorder &) { connection_stop_main_loop(); };
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);

        const std::string out = kit::pattern(MSGBUFSIZE, 2);
        EXPECT_EQ(connection_send(con, 11, out.data(), MSGBUFSIZE), 0);
        const std::string got = kit::readExactly(sp.peer, MSGBUFSIZE + 8);
        ASSERT_EQ(got.size(), static_cast<size_t>(MSGBUFSIZE + 8));
        EXPECT_EQ(kit::wireInt(got, 0), 11);
        EXPECT_EQ(kit::wireInt(got, 4), MSGBUFSIZE);
        EXPECT_TRUE(got.substr(8) == out);

        const std::string in = kit::pattern(MSGBUFSIZE, 3);
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireFrame(12, in)));
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].first, 12);
        EXPECT_TRUE(r.messages[0].second == in);
        EXPECT_EQ(r.disconnects, 0);
    });
}

TEST(Framing, RefusesToSendMoreThanTheLargestPayloadOrANegativeLength)
{
    static char big[MSGBUFSIZE + 1];
    EXPECT_DEATH(connection_send(nullptr, 2, big, MSGBUFSIZE + 1), "msg_len <= MSGBUFSIZE");
    EXPECT_DEATH(connection_send(nullptr, 2, big, -1), "msg_len >= 0");
}

TEST(Framing, AnAnnouncedLengthAboveTheLargestTerminatesWithAReport)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        r.on_disconnect = [](recorder &) { connection_stop_main_loop(); };
        ASSERT_NE(open_connection(sp, r), nullptr);
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireHeader(5, MSGBUFSIZE + 1) + kit::pattern(100, 4)));
        testing::internal::CaptureStderr();
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_NE(err.find("\n*** ERROR ("), std::string::npos) << err;
        EXPECT_NE(err.find("        Message with to large payload received (msg_type=5, received=8193 bytes, "
                           "max=8192 bytes). Terminating client!\n\n"),
                  std::string::npos)
            << err;
        EXPECT_TRUE(r.messages.empty());
        EXPECT_EQ(r.disconnects, 1);
        EXPECT_TRUE(kit::peerEnded(sp.peer, 2000));
    });
}

TEST(Framing, ANegativeAnnouncedLengthIsRejectedLikeAnOversizedOne)
{
    kit::runLoopIsolated([] {
        for (int announced : {-1, -8, INT_MIN}) {
            SCOPED_TRACE(announced);
            kit::SocketPair sp;
            recorder r;
            connection *con = open_connection(sp, r);
            ASSERT_NE(con, nullptr);
            EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireHeader(6, announced) + kit::pattern(64, 5)));

            testing::internal::CaptureStderr();
            const int result = connection_data_received(con);
            const std::string err = testing::internal::GetCapturedStderr();

            EXPECT_EQ(result, -1);
            EXPECT_EQ(connection_state(con), CONNECTION_CLOSED);
            EXPECT_NE(err.find("negative payload length received (msg_type=6, length=" +
                               std::to_string(announced) + " bytes). Terminating client!"),
                      std::string::npos)
                << err;
            EXPECT_TRUE(r.messages.empty());
            EXPECT_TRUE(kit::peerEnded(sp.peer, 2000));
        }
    });
}

TEST(Framing, ZeroLengthMessagesAreAHeaderAloneOrNothingAtAll)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);

        EXPECT_EQ(connection_send(con, 9, nullptr, 0), 0);
        EXPECT_EQ(kit::readExactly(sp.peer, 8), kit::wireHeader(9, 0));
        EXPECT_EQ(connection_send(con, MSG_RAW, nullptr, 0), 0);
        EXPECT_EQ(kit::readAvailable(sp.peer), "");

        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireHeader(4, 0)));
        EXPECT_EQ(connection_data_received(con), 0);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], std::make_pair(4, std::string()));
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
    });
}

// ---- reassembly ----

TEST(Framing, AssemblesAHeaderArrivingOneByteAtATime)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);
        const std::string frame = kit::wireFrame(21, "payload!");

        for (size_t i = 0; i < 8; i++) {
            EXPECT_TRUE(kit::sendAll(sp.peer, frame.substr(i, 1)));
            // After the last header byte the payload read finds nothing
            // yet; that is no failure of the connection.
            EXPECT_EQ(connection_data_received(con), 0) << "after header byte " << i;
            EXPECT_TRUE(r.messages.empty());
            EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
        }
        EXPECT_TRUE(kit::sendAll(sp.peer, frame.substr(8, 3)));
        EXPECT_EQ(connection_data_received(con), 0);
        EXPECT_TRUE(r.messages.empty());
        EXPECT_TRUE(kit::sendAll(sp.peer, frame.substr(11)));
        EXPECT_EQ(connection_data_received(con), 0);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], std::make_pair(21, std::string("payload!")));
    });
}

TEST(Framing, AssemblesAMessageDribbledOverManyPassesOfTheLoop)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        struct feed {
            int peer;
            std::string frame;
            size_t written = 0;
            size_t written_at_delivery = 0;
        } f{sp.peer, kit::wireFrame(3, "xyz")};
        recorder r;
        r.on_message = [&f](recorder &) {
            f.written_at_delivery = f.written;
            connection_stop_main_loop();
        };
        ASSERT_NE(open_connection(sp, r), nullptr);
        auto feed_byte = [](int reason, void *arg) -> int {
            auto *fd = static_cast<feed *>(arg);
            if (reason != TIMER_EXPIRED)
                return 0;
            EXPECT_TRUE(kit::sendAll(fd->peer, fd->frame.substr(fd->written++, 1)));
            return fd->written == fd->frame.size() ? 1 : 0;
        };
        ASSERT_NE(connection_add_timer(2, feed_byte, &f), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], std::make_pair(3, std::string("xyz")));
        EXPECT_EQ(f.written_at_delivery, f.frame.size());
        connection_shutdown();
    });
}

TEST(Framing, DeliversTwoMessagesFromOneSegmentInTwoPasses)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireFrame(2, "first") + kit::wireFrame(3, "second")));

        EXPECT_EQ(connection_data_received(con), 0);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], std::make_pair(2, std::string("first")));

        EXPECT_EQ(connection_data_received(con), 0);
        ASSERT_EQ(r.messages.size(), 2u);
        EXPECT_EQ(r.messages[1], std::make_pair(3, std::string("second")));

        // Nothing left: a read that would block is not the end.
        EXPECT_EQ(connection_data_received(con), 0);
        EXPECT_EQ(r.messages.size(), 2u);
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
    });
}

TEST(Framing, RawConnectionsDeliverEveryReadAsItComes)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);
        EXPECT_EQ(connection_set_flags(con, CS_FLAG_RAW), 0);

        EXPECT_TRUE(kit::sendAll(sp.peer, "abc"));
        EXPECT_EQ(connection_data_received(con), 0);
        // What would be an oversized header on a framed connection is just
        // eight bytes here.
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireHeader(5, 100000)));
        EXPECT_EQ(connection_data_received(con), 0);
        const std::string block = kit::pattern(10000, 6);
        EXPECT_TRUE(kit::sendAll(sp.peer, block));
        EXPECT_EQ(connection_data_received(con), 0);
        EXPECT_EQ(connection_data_received(con), 0);

        ASSERT_EQ(r.messages.size(), 4u);
        EXPECT_EQ(r.messages[0], std::make_pair(MSG_RAW, std::string("abc")));
        EXPECT_EQ(r.messages[1], std::make_pair(MSG_RAW, kit::wireHeader(5, 100000)));
        EXPECT_EQ(r.messages[2].first, MSG_RAW);
        EXPECT_TRUE(r.messages[2].second == block.substr(0, MSGBUFSIZE));
        EXPECT_TRUE(r.messages[3].second == block.substr(MSGBUFSIZE));

        sp.closePeer();
        EXPECT_EQ(connection_data_received(con), -1);
        EXPECT_EQ(connection_state(con), CONNECTION_CLOSED);
        EXPECT_EQ(r.messages.size(), 4u);
    });
}

// ---- queued output ----

TEST(Framing, KeepsTheSendingOrderWhenWritesWouldBlock)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        recorder r;
        connection *con = open_connection(sp, r);
        ASSERT_NE(con, nullptr);

        // Far more than the socket holds, so most of it queues; raw
        // messages (some empty) mixed in, lengths from 0 to the largest.
        std::string expected;
        for (int i = 0; i < 300; i++) {
            int type = 100 + i;
            int len = (i * 977) % (MSGBUFSIZE + 1);
            if (i % 10 == 3)
                type = MSG_RAW, len = (i * 131) % 500;
            if (i % 50 == 13)
                type = MSG_RAW, len = 0;
            if (i == 7)
                len = MSGBUFSIZE;
            const std::string payload = kit::pattern(len, i);
            const std::string wire = type == MSG_RAW ? payload : kit::wireFrame(type, payload);
            const long before = connection_queued_bytes(con);
            ASSERT_EQ(connection_send(con, type, payload.data(), len), 0) << "message " << i;
            // Once output waits, every message sent waits whole behind it.
            if (before > 0) {
                EXPECT_EQ(connection_queued_bytes(con), before + static_cast<long>(wire.size())) << "message " << i;
            }
            expected += wire;
        }
        ASSERT_GT(expected.size(), 1000000u);
        EXPECT_GT(connection_queued_bytes(con), 0);
        EXPECT_LT(connection_queued_bytes(con), static_cast<long>(expected.size()));

        struct reader {
            int fd;
            size_t want;
            std::string got;
        } rd{sp.peer, expected.size(), {}};
        auto drain = [](int desc, void *arg) -> int {
            auto *st = static_cast<reader *>(arg);
            char buf[65536];
            ssize_t n = read(desc, buf, sizeof buf);
            if (n > 0)
                st->got.append(buf, static_cast<size_t>(n));
            if (n <= 0 || st->got.size() >= st->want)
                connection_stop_main_loop();
            return 0;
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, sp.peer, drain, &rd), 0);
        EXPECT_TRUE(kit::Loop().stopsItself().run(10000));
        EXPECT_EQ(rd.got.size(), expected.size());
        EXPECT_TRUE(rd.got == expected) << kit::firstDifference(expected, rd.got);
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
        EXPECT_EQ(connection_queued_bytes(con), 0);
    });
}

// ---- lifecycle ----

TEST(Lifecycle, APeerThatGoesAwayIsReportedOnceAndOnlyFromTheLoop)
{
    kit::runLoopIsolated([] {
        kit::SocketPair gone, cut;
        recorder rg, rc;
        connection *con = open_connection(gone, rg);
        ASSERT_NE(open_connection(cut, rc), nullptr);
        ASSERT_NE(con, nullptr);

        gone.closePeer();
        EXPECT_EQ(connection_data_received(con), -1);
        EXPECT_EQ(connection_state(con), CONNECTION_CLOSED);
        terminate_connection(con); // a second time changes nothing
        EXPECT_EQ(rg.disconnects, 0);

        // A message cut off by the end of the stream is dropped.
        EXPECT_TRUE(kit::sendAll(cut.peer, kit::wireHeader(1, 10) + "abc"));
        cut.closePeer();

        kit::Loop().run(100);
        EXPECT_EQ(rg.disconnects, 1);
        EXPECT_EQ(rc.disconnects, 1);
        EXPECT_TRUE(rc.messages.empty());
    });
}

TEST(Lifecycle, CloseWithoutNotifyIsSilent)
{
    kit::runLoopIsolated([] {
        kit::SocketPair quiet, loud;
        recorder rq, rl;
        connection *q = open_connection(quiet, rq);
        connection *l = open_connection(loud, rl);
        ASSERT_TRUE(q && l);

        EXPECT_EQ(connection_close(q, 0), 0);
        EXPECT_EQ(connection_close(l, 1), 0);
        EXPECT_EQ(connection_send(q, 2, "x", 1), -1);
        EXPECT_TRUE(kit::peerEnded(quiet.peer, 2000));
        EXPECT_TRUE(kit::peerEnded(loud.peer, 2000));

        kit::Loop().run(50);
        EXPECT_EQ(rq.disconnects, 0);
        EXPECT_EQ(rl.disconnects, 1);
    });
}

TEST(Lifecycle, CallbacksMayTerminateConnectionsWhileTheLoopServesThem)
{
    kit::runLoopIsolated([] {
        kit::SocketPair s1, s2, s3;
        recorder r1, r2, r3;
        // c3 comes first in the list, so the purge walk has passed it when
        // c1's disconnect callback closes it.
        connection *c3 = open_connection(s3, r3);
        connection *c1 = open_connection(s1, r1);
        connection *c2 = open_connection(s2, r2);
        ASSERT_TRUE(c1 && c2 && c3);

        r1.on_message = [c1](recorder &) {
            terminate_connection(c1);
            EXPECT_EQ(connection_send(c1, 2, "late", 4), -1);
            terminate_connection(c1);
        };
        // The purge meets c3 closed by this callback and runs again in the
        // same pass; stopping here still lets that happen.
        r1.on_disconnect = [c3](recorder &) {
            terminate_connection(c3);
            connection_stop_main_loop();
        };
        EXPECT_TRUE(kit::sendAll(s1.peer, kit::wireFrame(2, "bye")));
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(r1.messages.size(), 1u);
        EXPECT_EQ(r1.disconnects, 1);
        EXPECT_EQ(r3.disconnects, 1);
        EXPECT_EQ(r2.disconnects, 0);
        EXPECT_EQ(connection_state(c2), CONNECTION_OPEN);
        EXPECT_TRUE(kit::peerEnded(s1.peer, 2000));
        EXPECT_TRUE(kit::peerEnded(s3.peer, 2000));
    });
}

TEST(Lifecycle, APendingConnectionIsNotReadUntilOpened)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        struct opener {
            connection *con = nullptr;
            bool opened = false;
        } o;
        recorder r;
        r.on_message = [&o](recorder &) {
            EXPECT_TRUE(o.opened) << "read while pending";
            connection_stop_main_loop();
        };
        o.con = open_connection(sp, r);
        ASSERT_NE(o.con, nullptr);
        connection_set_state(o.con, CONNECTION_PENDING);
        EXPECT_EQ(connection_state(o.con), CONNECTION_PENDING);
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::wireFrame(8, "waiting")));
        auto open_later = [](int reason, void *arg) -> int {
            auto *op = static_cast<opener *>(arg);
            if (reason == TIMER_EXPIRED) {
                op->opened = true;
                connection_set_state(op->con, CONNECTION_OPEN);
            }
            return 1;
        };
        ASSERT_NE(connection_add_timer(60, open_later, &o), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].second, "waiting");
        connection_shutdown();
    });
}

namespace {
volatile sig_atomic_t sigpipes = 0;
void on_sigpipe(int)
{
    sigpipes = sigpipes + 1;
}
} // namespace

TEST(Lifecycle, AFailedReadIsReportedFromConnectionDataReceived)
{
    // A directory opens, but reading it fails (EISDIR): a read error that
    // is neither end of stream nor a read that would block.
    for (const int flags : {CS_FLAG_RAW, 0}) {
        SCOPED_TRACE(flags == CS_FLAG_RAW ? "raw" : "framed");
        kit::runLoopIsolated([flags] {
            const int dir = open("/", O_RDONLY | O_DIRECTORY);
            ASSERT_GE(dir, 0);
            recorder r;
            connection *con = connection_create(dir, record_message, record_disconnect, &r);
            ASSERT_NE(con, nullptr);
            connection_set_flags(con, flags);
            testing::internal::CaptureStderr();
            EXPECT_EQ(connection_data_received(con), -1);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(kit::withoutLineNumbers(err), "\n*** ERROR (connection.cpp, L, connection_data_received):\n"
                                                            "        read: " + std::string(strerror(EISDIR)) + "\n");
            EXPECT_TRUE(r.messages.empty());
            terminate_connection(con);
        });
    }
}

TEST(Lifecycle, AWriteToAVanishedPeerTerminatesTheConnection)
{
    kit::runLoopIsolated([] {
        struct sigaction sa = {};
        sa.sa_handler = on_sigpipe;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGPIPE, &sa, nullptr), 0);

        // Written at once: connection_send reports.
        kit::SocketPair direct;
        recorder rd;
        connection *d = open_connection(direct, rd);
        ASSERT_NE(d, nullptr);
        direct.closePeer();
        testing::internal::CaptureStderr();
        const int sent = connection_send(d, 2, "lost", 4);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(sent, -1);
        EXPECT_GE(sigpipes, 1);
        EXPECT_EQ(connection_state(d), CONNECTION_CLOSED);
        EXPECT_NE(err.find("        write: Broken pipe\n"), std::string::npos) << err;

        // Queued first: continuing the output reports.
        kit::SocketPair queued;
        recorder rq;
        connection *q = open_connection(queued, rq);
        ASSERT_NE(q, nullptr);
        const std::string block = kit::pattern(MSGBUFSIZE, 7);
        for (int i = 0; i < 100; i++)
            ASSERT_EQ(connection_send(q, 3, block.data(), MSGBUFSIZE), 0);
        queued.closePeer();
        testing::internal::CaptureStderr();
        const int continued = write_data(q);
        const std::string err2 = testing::internal::GetCapturedStderr();
        EXPECT_EQ(continued, -1);
        EXPECT_EQ(connection_state(q), CONNECTION_CLOSED);
        EXPECT_NE(err2.find("        write (errno="), std::string::npos) << err2;
        EXPECT_NE(err2.find("): "), std::string::npos) << err2;

        kit::Loop().run(30);
        EXPECT_EQ(rd.disconnects, 1);
        EXPECT_EQ(rq.disconnects, 1);
    });
}
