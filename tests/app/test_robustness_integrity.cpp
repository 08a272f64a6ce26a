// Bulk data through the built quorvane program, both ways, compared byte for
// byte: what the server says must reach term.in complete and in order, and
// what is piped into the console must reach the server, however the socket
// paces it.
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "term_records.h"
#include "terminal_program.h"
#include "text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using kit::kConnected;
using kit::nowMs;

namespace {

const std::string kProgram = kit::kTerminal;

long fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Waits until the file holds at least `atLeast` bytes and has stopped
// growing for a moment (term.in is written in one go, but in buffered
// pieces); its size then, or the last size seen when the time ran out.
long waitForSettledSize(const std::string &path, long atLeast, int timeoutMs, int settleMs = 300,
                        long long *changedAt = nullptr)
{
    long long deadline = nowMs() + timeoutMs;
    long last = -1;
    long long stableSince = nowMs();
    while (nowMs() < deadline) {
        long now = fileSize(path);
        if (now != last) {
            last = now;
            stableSince = nowMs();
        } else if (now >= atLeast && nowMs() - stableSince >= settleMs) {
            break;
        }
        usleep(20000);
    }
    if (changedAt != nullptr)
        *changedAt = stableSince;
    return last;
}

double megabytesPerSecond(size_t bytes, long long ms)
{
    return ms > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / (static_cast<double>(ms) / 1000.0) : 0.0;
}

class IntegrityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct stat st;
        ASSERT_EQ(0, stat(kProgram.c_str(), &st)) << "build the quorvane target first: " << kProgram;
        ASSERT_TRUE(server.ok());
    }

    // Starts the terminal and takes its connection; the test then plays the
    // server on `peer`.
    void start()
    {
        terminal = std::make_unique<kit::Child>(kit::terminalArgs("127.0.0.1", server.portText(), dir.path()));
        ASSERT_TRUE(terminal->started());
        peer = server.accept(5000);
        ASSERT_GE(peer, 0) << terminal->output();
        ASSERT_TRUE(terminal->waitFor(kConnected, 5000)) << terminal->output();
    }

    void TearDown() override
    {
        if (terminal && terminal->running()) {
            terminal->write("exit\n");
            EXPECT_EQ(0, terminal->waitExit(10000)) << "the program ends cleanly after the run";
        }
    }

    kit::TempDir dir;
    kit::Listener server;
    std::unique_ptr<kit::Child> terminal;
    int peer = -1;
};

TEST_F(IntegrityTest, KeepsTheLineFeedThatStartsABlockWithTheLineBeforeIt)
{
    start();
    const std::string termIn = dir.file("term.in");

    // The line is cut just before its line feed, and term.in is written
    // before the rest arrives: the line feed has to become a record of its own.
    ASSERT_TRUE(kit::sendAll(peer, "abc", 2000));
    ASSERT_TRUE(terminal->waitFor("abc", 3000));
    waitForSettledSize(termIn, 5, 4000);
    ASSERT_EQ("\nabc\n", kit::readFile(termIn)) << "the partial line is written as it is";
    ASSERT_TRUE(kit::sendAll(peer, "\ndef\n", 2000));
    waitForSettledSize(termIn, 10, 4000);
    EXPECT_EQ("abc\ndef\n", kit::decodeTextRecords(kit::readFile(termIn)));

    // The same cut while the partial line still waits in the queue.
    ASSERT_TRUE(kit::sendAll(peer, "ghi", 2000));
    ASSERT_TRUE(terminal->waitFor("ghi", 3000));
    ASSERT_TRUE(kit::sendAll(peer, "\njkl\n", 2000));
    ASSERT_TRUE(terminal->waitFor("jkl", 3000));
    usleep(2500000); // two ticks: the queue is written at the second
    EXPECT_EQ("abc\ndef\nghi\njkl\n", kit::decodeTextRecords(kit::readFile(termIn)));
    EXPECT_NE(std::string::npos, terminal->output().find("ghi\njkl\n"))
        << "the console shows the line feed too:\n" << terminal->output();
}

TEST_F(IntegrityTest, FiftyMegabytesOfServerLinesReachTermInCompleteAndInOrder)
{
    start();
    const size_t size = 50u << 20;
    // Short lines, and every few hundred one longer than a received block,
    // so that records hold whole lines, line pieces and lines that span
    // several blocks.
    const std::string data = kit::randomLines(size, 50, 120, 400, 9000);

    long long begin = nowMs();
    ASSERT_TRUE(kit::sendAll(peer, data, 90000)) << "the terminal stopped reading";
    long long sent = nowMs();
    const std::string termIn = dir.file("term.in");
    // Every data byte takes one file byte (a line feed becomes 0x01), and
    // each record adds its own line feed. Held output is written in pieces
    // while the stream lasts and the rest at the second tick after it at
    // the latest, so the size is settled once it stays for more than that.
    long long written = 0;
    long settled = waitForSettledSize(termIn, static_cast<long>(size) + 1, 30000, 2500, &written);
    ASSERT_GE(settled, static_cast<long>(size) + 1) << "term.in did not receive everything in time";

    const std::string decoded = kit::decodeTextRecords(kit::readFile(termIn));
    EXPECT_TRUE(decoded == data) << kit::firstDifference(data, decoded);
    // The console is a display: what it cannot take as fast as the server
    // sends is dropped beyond its bound, never silently.
    const std::string shown = terminal->output();
    const std::string notice = "*** Console output dropped: ";
    size_t dropped = 0;
    for (size_t at = shown.find(notice); at != std::string::npos; at = shown.find(notice, at + 1))
        dropped += std::stoul(shown.substr(at + notice.size(), 20));
    EXPECT_GE(shown.size() + dropped, size) << "every byte is shown on the console or counted as dropped";

    // The last of the written file is held back until the server is quiet
    // for a tick, so the rate that counts is the one of the socket and the
    // queue.
    const double socketRate = megabytesPerSecond(size, sent - begin);
    const double overall = megabytesPerSecond(size, written - begin);
    printf("[ figures  ] 50 MiB server -> term.in: socket %.1f MiB/s, into term.in %.1f MiB/s overall "
           "(%lld ms, including the quiet tick)\n",
           socketRate, overall, written - begin);
    RecordProperty("socket_MiB_per_s", static_cast<int>(socketRate));
    RecordProperty("overall_ms", static_cast<int>(written - begin));
}

TEST_F(IntegrityTest, TenMegabytesPipedIntoTheConsoleReachTheServerByteForByteThroughASlowStart)
{
    start();
    const size_t size = 10u << 20;
    // In terminal mode a console read holding "exit" or "bye" ends the
    // program; the data leaves them out so that all of it is plain text.
    const std::string data = kit::randomLines(size, 10, 160, 0, 0, {"exit", "bye"});

    std::atomic<bool> written{false};
    std::atomic<bool> writeOk{false};
    long long begin = nowMs();
    std::thread writer([&] {
        writeOk = terminal->write(data, 60000);
        written = true;
    });

    // The server does not read at first: the socket fills and the terminal
    // has to keep what it cannot write. Then it reads a little at a time,
    // then at full speed.
    long peakRss = 0;
    for (long long until = nowMs() + 1500; nowMs() < until;) {
        peakRss = std::max(peakRss, terminal->rssKb());
        usleep(50000);
    }
    std::string received;
    for (int i = 0; i < 20; ++i) {
        received += kit::readExactly(peer, (received.size() + 4096) - received.size(), 1000);
        peakRss = std::max(peakRss, terminal->rssKb());
        usleep(50000);
    }
    long long fastFrom = nowMs();
    size_t fastStart = received.size();
    received += kit::readExactly(peer, (size) - received.size(), 60000);
    long long done = nowMs();
    writer.join();

    ASSERT_TRUE(writeOk) << "the terminal stopped reading its console";
    EXPECT_EQ(size, received.size());
    EXPECT_TRUE(received == data) << kit::firstDifference(data, received);
    std::string extra;
    extra += kit::readFor(peer, 300);
    EXPECT_EQ("", extra) << "nothing beyond the piped bytes is sent";
    EXPECT_TRUE(terminal->running()) << terminal->output();

    printf("[ figures  ] 10 MiB console -> server: %.1f MiB/s once the server reads at full speed, "
           "%lld ms in all with the 2.5 s slow start; terminal peak RSS while held back %ld KiB\n",
           megabytesPerSecond(size - fastStart, done - fastFrom), done - begin, peakRss);
    RecordProperty("console_to_server_MiB_per_s", static_cast<int>(megabytesPerSecond(size - fastStart, done - fastFrom)));
    RecordProperty("peak_rss_KiB", static_cast<int>(peakRss));
}

} // namespace
