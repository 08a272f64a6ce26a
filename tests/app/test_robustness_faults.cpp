// Faults around the built quorvane program, each made real: a server process
// killed and restarted, a server host that vanishes from the network without
// a word, resets and refusals, a server that accepts and never reads, shared
// files that become unwritable, shrink, are replaced or grow while read, a
// console that nobody reads, closed standard descriptors, and bad values on
// the command line. Each test says what the program did and what, if
// anything, was lost.
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "term_records.h"
#include "terminal_program.h"
#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using kit::kConnected;
using kit::kDisconnected;
using kit::nowMs;

namespace {

const std::string kProgram = kit::kTerminal;

// Polls the decoded term.in until it holds `needle`; the decoded text then.
std::string waitForTermIn(const std::string &path, const std::string &needle, int timeoutMs)
{
    std::string text;
    kit::waitUntil([&] { return (text = kit::decodeTextRecords(kit::readFile(path))).find(needle) != std::string::npos; },
                   timeoutMs, 50);
    return text;
}

// Runs body with the calling thread inside a network namespace; sockets it
// makes stay there. False when the namespace could not be entered.
bool inNetns(const std::string &netns, const std::function<void()> &body)
{
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
    if (ok) {
        body();
        if (setns(home, CLONE_NEWNET) != 0)
            abort(); // a test thread left in the wrong namespace would mislead every later test
    }
    for (int fd : {home, there})
        if (fd >= 0)
            close(fd);
    return ok;
}

// Two fresh network namespaces, "client" and "server", joined by a veth
// pair with the documentation addresses 192.0.2.1 (client) and 192.0.2.2
// (server); each link is named after its namespace. Cutting the cable takes
// the server's end down: every packet between the two is then dropped and
// neither side is told. Needs root and iproute2; ok() is false with the
// reason otherwise.
class CablePair {
public:
    CablePair()
    {
        if (geteuid() != 0) {
            reason = "network namespaces need root";
            return;
        }
        if (kit::runCommand({"ip", "-V"}) != 0) {
            reason = "iproute2 (the ip command) is not installed";
            return;
        }
        const std::string tag = "qvr" + std::to_string(getpid() % 10000000);
        if (kit::runCommand({"ip", "netns", "add", tag + "c"}) != 0) {
            reason = "ip netns add is not allowed here";
            return;
        }
        clientNs = tag + "c";
        serverNs = tag + "s";
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", serverNs},
            {"ip", "link", "add", clientNs, "type", "veth", "peer", "name", serverNs},
            {"ip", "link", "set", clientNs, "netns", clientNs},
            {"ip", "link", "set", serverNs, "netns", serverNs},
            {"ip", "-n", clientNs, "addr", "add", std::string(clientAddress()) + "/24", "dev", clientNs},
            {"ip", "-n", serverNs, "addr", "add", std::string(serverAddress()) + "/24", "dev", serverNs},
            {"ip", "-n", clientNs, "link", "set", "lo", "up"},
            {"ip", "-n", serverNs, "link", "set", "lo", "up"},
            {"ip", "-n", clientNs, "link", "set", clientNs, "up"},
            {"ip", "-n", serverNs, "link", "set", serverNs, "up"},
        };
        for (const auto &step : steps) {
            if (kit::runCommand(step) != 0) {
                reason = "setting up the namespaces failed at:";
                for (const std::string &w : step)
                    reason += " " + w;
                return;
            }
        }
        ready = true;
    }
    ~CablePair()
    {
        // Deleting a namespace takes its end of the cable with it, and the
        // other end goes too; a cable whose end never reached its namespace
        // is still in ours.
        if (!clientNs.empty()) {
            kit::runCommand({"ip", "netns", "del", serverNs});
            kit::runCommand({"ip", "netns", "del", clientNs});
            if (!ready)
                kit::runCommand({"ip", "link", "del", clientNs});
        }
    }
    CablePair(const CablePair &) = delete;
    CablePair &operator=(const CablePair &) = delete;

    bool ok() const { return ready; }
    const std::string &whyNot() const { return reason; }
    const std::string &clientNetns() const { return clientNs; }
    const std::string &serverNetns() const { return serverNs; }
    static const char *clientAddress() { return "192.0.2.1"; }
    static const char *serverAddress() { return "192.0.2.2"; }
    bool cut() { return ready && kit::runCommand({"ip", "-n", serverNs, "link", "set", serverNs, "down"}) == 0; }
    bool mend() { return ready && kit::runCommand({"ip", "-n", serverNs, "link", "set", serverNs, "up"}) == 0; }

private:
    std::string clientNs, serverNs;
    bool ready = false;
    std::string reason;
};

class FaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct stat st;
        ASSERT_EQ(0, stat(kProgram.c_str(), &st)) << "build the quorvane target first: " << kProgram;
    }

    void TearDown() override
    {
        if (terminal && terminal->running()) {
            terminal->write("exit\n");
            EXPECT_EQ(0, terminal->waitExit(10000)) << "the program still ends cleanly:\n" << terminal->output();
        }
    }

    std::unique_ptr<kit::Child> start(const std::string &host, const std::string &port,
                                      const kit::ChildOptions &o = kit::ChildOptions())
    {
        return std::make_unique<kit::Child>(kit::terminalArgs(host, port, dir.path()), o);
    }

    // Starts the terminal against `server` and takes its connection.
    void startConnected(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> argv = kit::terminalArgs("127.0.0.1", server.portText(), dir.path());
        argv.insert(argv.end(), extra.begin(), extra.end());
        terminal = std::make_unique<kit::Child>(argv);
        ASSERT_TRUE(terminal->started());
        peer = server.accept(5000);
        ASSERT_GE(peer, 0) << terminal->output();
        ASSERT_TRUE(terminal->waitFor(kConnected, 5000)) << terminal->output();
    }

    // Starts the terminal against a server whose small window holds little,
    // so that output waits in the terminal or in term.out, and takes its
    // connection.
    void startConnectedTo(kit::Listener &narrow)
    {
        ASSERT_TRUE(narrow.ok());
        terminal = start("127.0.0.1", narrow.portText());
        peer = narrow.accept(5000);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(terminal->waitFor(kConnected, 5000));
    }

    kit::TempDir dir;
    kit::Listener server;
    std::unique_ptr<kit::Child> terminal;
    int peer = -1;
};

// ---------------------------------------------------------------- the server goes

// A server process of its own that writes `stream` in paced pieces to the
// first client and then waits to be killed; started once it listens.
std::unique_ptr<kit::Child> startStreamingServer(int port, const std::string &stream)
{
    int ready[2];
    if (pipe(ready) != 0)
        return nullptr;
    auto server = std::make_unique<kit::Child>([&] {
        kit::Listener listener(port);
        if (!listener.ok() || write(ready[1], "r", 1) != 1)
            kit::childExit(1);
        const int c = listener.accept(60000);
        // About 6 MB/s: the kill falls in the middle of the stream.
        for (size_t at = 0; c >= 0 && at < stream.size(); at += 65536) {
            if (!kit::sendAll(c, stream.substr(at, 65536)))
                kit::childExit(1);
            usleep(10000);
        }
        for (;;)
            pause();
    });
    close(ready[1]);
    char byte = 0;
    const bool listening = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return listening ? std::move(server) : nullptr;
}

TEST_F(FaultsTest, ReconnectsAfterTheServerIsKilledMidStreamAndRestartedAndLosesNothingItHadReceived)
{
    const int port = kit::probeFreePort();
    ASSERT_GT(port, 0);
    const std::string stream = kit::randomLines(64u << 20, 7, 100);
    std::unique_ptr<kit::Child> killed = startStreamingServer(port, stream);
    ASSERT_TRUE(killed);

    terminal = start("127.0.0.1", std::to_string(port));
    ASSERT_TRUE(terminal->waitFor(kConnected, 5000)) << terminal->output();
    for (long long until = nowMs() + 10000; terminal->outputSize() < (1u << 20) && nowMs() < until;)
        usleep(10000);
    ASSERT_GE(terminal->outputSize(), 1u << 20) << "the stream did not flow";

    killed->signal(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, killed->waitExit(5000));
    kit::Listener restarted(port);
    ASSERT_TRUE(restarted.ok()) << "port " << port << " could not be taken again";
    ASSERT_TRUE(terminal->waitFor(kDisconnected, 5000)) << "the end of the killed server is noticed";
    long long lost = terminal->seenAt(kDisconnected);
    const size_t away = terminal->outputSize();

    // Typed while there is no connection: dropped, as described.
    ASSERT_TRUE(terminal->write("typed while away\n"));

    peer = restarted.accept(13000);
    long long back = nowMs();
    ASSERT_GE(peer, 0) << "no new attempt within 13 s of the loss";
    EXPECT_GE(back - lost, 9000) << "the new attempt waits for the reconnect delay";
    EXPECT_LE(back - lost, 12500);
    ASSERT_TRUE(terminal->waitFor(kConnected, 3000, away));
    printf("[ figures  ] killed server: disconnect seen, new connection %lld ms later\n", back - lost);

    ASSERT_TRUE(kit::sendAll(peer, "after restart\n", 2000));
    ASSERT_TRUE(terminal->write("hello again\n"));
    std::string got;
    got += kit::readExactly(peer, (12) - got.size(), 3000);
    EXPECT_EQ("hello again\n", got) << "the line typed while away is not sent later";

    // What reached the terminal before the kill is in term.in, in order,
    // ahead of what the new server said.
    const std::string termIn = waitForTermIn(dir.file("term.in"), "after restart\n", 4000);
    const std::string tail = "after restart\n";
    ASSERT_GE(termIn.size(), tail.size());
    ASSERT_EQ(tail, termIn.substr(termIn.size() - tail.size()));
    const std::string before = termIn.substr(0, termIn.size() - tail.size());
    EXPECT_GE(before.size(), 1u << 19);
    EXPECT_TRUE(stream.compare(0, before.size(), before) == 0)
        << "term.in is not the start of the stream: " << kit::firstDifference(stream.substr(0, before.size()), before);
}

TEST_F(FaultsTest, NoticesAServerHostThatVanishedWithinAMinuteAndReconnectsWhenItIsBack)
{
    CablePair cable;
    if (!cable.ok())
        GTEST_SKIP() << "no network namespaces: " << cable.whyNot();
    std::unique_ptr<kit::Listener> listener;
    inNetns(cable.serverNetns(), [&] { listener = std::make_unique<kit::Listener>(0, CablePair::serverAddress()); });
    ASSERT_TRUE(listener && listener->ok());
    kit::Listener &far = *listener;
    const long long bound = 60000;

    // One terminal stays silent, so only keepalive probes can find out; the
    // other has a line on its way when the host goes, so its output waits
    // for an acknowledgement that never comes.
    kit::TempDir otherDir;
    std::vector<std::unique_ptr<kit::Child>> terminals;
    for (const kit::TempDir *files : {&dir, &otherDir}) {
        std::vector<std::string> argv = {"ip", "netns", "exec", cable.clientNetns()};
        for (const std::string &word : kit::terminalArgs(CablePair::serverAddress(), far.portText(), files->path()))
            argv.push_back(word);
        terminals.push_back(std::make_unique<kit::Child>(argv));
    }
    std::vector<int> peers;
    for (auto &t : terminals) {
        peers.push_back(far.accept(5000));
        ASSERT_GE(peers.back(), 0) << t->output();
        ASSERT_TRUE(t->waitFor(kConnected, 5000));
    }
    for (int p : peers)
        ASSERT_TRUE(kit::sendAll(p, "hello\n", 2000));
    for (auto &t : terminals)
        ASSERT_TRUE(t->waitFor("hello\n", 3000));

    ASSERT_TRUE(cable.cut());
    long long cut = nowMs();
    ASSERT_TRUE(terminals[1]->write("sent into the void\n"));

    std::vector<long long> seen;
    std::vector<size_t> away;
    for (auto &t : terminals) {
        t->waitFor(kDisconnected, static_cast<int>(std::max(0LL, cut + 75000 - nowMs())));
        seen.push_back(t->seenAt(kDisconnected));
        away.push_back(t->outputSize());
    }
    ASSERT_TRUE(cable.mend());
    for (size_t i = 0; i < seen.size(); ++i)
        printf("[ figures  ] vanished host noticed after %.1f s (%s)\n", seen[i] < 0 ? -1.0 : (seen[i] - cut) / 1000.0,
               i == 0 ? "silent connection" : "output waiting");
    ASSERT_GT(seen[0], 0) << "the silent connection was not given up within 75 s:\n" << terminals[0]->output();
    EXPECT_LE(seen[0] - cut, bound) << "keepalive gives up within its bound";
    EXPECT_GT(seen[1], 0) << "a connection with output waiting was not given up within 75 s";
    EXPECT_LE(seen[1] - cut, bound);
    const std::string report = terminals[0]->output();
    const size_t at = report.find("*** ERROR");
    EXPECT_NE(std::string::npos, at) << "the loss is reported:\n" << report;
    if (at != std::string::npos) {
        // The head line and the message line of the block.
        size_t end = report.find('\n', report.find('\n', at) + 1);
        std::string block = report.substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (char &c : block)
            if (c == '\n')
                c = ' ';
        printf("[ figures  ] the report: %s\n", block.c_str());
    }

    // The usual reconnection follows once the host is back.
    int again = far.accept(13000);
    EXPECT_GE(again, 0) << "no new attempt after the reconnect delay";
    EXPECT_TRUE(terminals[0]->waitFor(kConnected, 3000, away[0]) ||
                terminals[1]->waitFor(kConnected, 3000, away[1]));
    for (auto &t : terminals) {
        t->write("exit\n");
        EXPECT_EQ(0, t->waitExit(5000));
    }
}

TEST_F(FaultsTest, ResetByTheServerIsReportedAsADisconnectAndWhatCameBeforeIsKept)
{
    ASSERT_TRUE(server.ok());
    startConnected();
    ASSERT_TRUE(kit::sendAll(peer, "before reset\n", 2000));
    ASSERT_TRUE(terminal->waitFor("before reset\n", 3000));
    // Console output the server never reads is still queued at the reset.
    ASSERT_TRUE(terminal->write(kit::randomLines(1u << 20, 3, 100, 0, 0, {"exit", "bye"}), 5000));
    usleep(300000);
    server.drop(peer, true);

    ASSERT_TRUE(terminal->waitFor(kDisconnected, 5000)) << terminal->output();
    const std::string out = terminal->output();
    EXPECT_TRUE(out.find("Connection reset by peer") != std::string::npos || out.find("Broken pipe") != std::string::npos)
        << "the failed read or write is reported:\n" << out;
    EXPECT_EQ("before reset\n", waitForTermIn(dir.file("term.in"), "before reset\n", 4000));
    EXPECT_TRUE(terminal->running());
}

TEST_F(FaultsTest, RefusedConnectionsLeaveTheProgramWaitingIdleAndAnswering)
{
    const int port = kit::probeFreePort();
    ASSERT_GT(port, 0);
    terminal = start("127.0.0.1", std::to_string(port));
    ASSERT_TRUE(terminal->waitFor("Welcome to Quorvane", 5000));
    long before = terminal->cpuMs();
    usleep(2500000);
    long after = terminal->cpuMs();
    EXPECT_EQ(0, kit::countOf(terminal->output(), kConnected));
    EXPECT_EQ(0, kit::countOf(terminal->output(), kDisconnected)) << "a refused attempt is no lost connection";
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 50) << "more than 50 ms of CPU while waiting to retry";
    // TearDown checks that "exit" still ends it.
}

// ---------------------------------------------------------------- the server does not read

// The peak resident set of a running child, in KiB; -1 unknown.
long peakRssKb(const kit::Child &child)
{
    const std::string status = kit::readFile("/proc/" + std::to_string(child.processId()) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

TEST_F(FaultsTest, TermOutWaitsInItsFileForAServerThatDoesNotReadAndArrivesWholeOnceItReads)
{
    // A small window: the output waits in the terminal, or in term.out.
    kit::Listener narrow(0, "127.0.0.1", 4096);
    ASSERT_NO_FATAL_FAILURE(startConnectedTo(narrow));
    const size_t mark = terminal->outputSize();
    const std::string data = kit::randomLines(30u << 20, 11, 200);
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), kit::encodeTextRecords(data)));
    // Records are shown as they are sent: the console tells how far the
    // terminal has gone.
    usleep(2500000);
    const size_t shown = terminal->outputSize() - mark;
    EXPECT_LT(shown, 4u << 20) << "read on although the server does not read";

    std::string received;
    received += kit::readExactly(peer, data.size(), 25000);
    ASSERT_TRUE(terminal->write("console tail\n"));
    received += kit::readExactly(peer, 13, 3000);
    const long peak = peakRssKb(*terminal);
    EXPECT_TRUE(received == data + "console tail\n") << kit::firstDifference(data + "console tail\n", received);
#ifndef QUORVANE_SANITIZE
    // The sanitizer's shadow memory and quarantine are no measure of ours.
    EXPECT_LE(peak, 16 * 1024) << "peak resident KiB";
#endif
    printf("[ figures  ] 30 MiB of term.out records for a server that did not read: %zu bytes sent meanwhile, "
           "terminal peak RSS %ld KiB\n",
           shown, peak);
}

TEST_F(FaultsTest, AStopGivesQueuedOutputItsTimeAndReportsWhatCouldNotGo)
{
    // A server that reads from the stop on gets everything that was taken
    // from term.out; one that does not read is waited for only while it
    // takes something, and the report counts what was lost.
    for (const bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "the server reads" : "the server does not read");
        kit::Listener narrow(0, "127.0.0.1", 4096);
        ASSERT_NO_FATAL_FAILURE(startConnectedTo(narrow));
        const size_t mark = terminal->outputSize();
        const std::string data = kit::randomLines(8u << 20, 13, 200);
        const std::string fileRecords = kit::encodeTextRecords(data);
        ASSERT_TRUE(kit::appendFile(dir.file("term.out"), fileRecords));
        ASSERT_TRUE(kit::waitUntil([&] { return terminal->outputSize() > mark + (256u << 10); }, 5000));
        usleep(300000);
        terminal->signal(SIGTERM);
        const long long stopped = nowMs();
        std::string received;
        if (reads) {
            EXPECT_TRUE(kit::peerEnded(peer, 5000, &received)) << "the connection is closed at the end";
        }
        EXPECT_EQ(128 + SIGTERM, terminal->waitExit(5000)) << "ends by the signal";
        const long long took = nowMs() - stopped;
        if (!reads) {
            EXPECT_TRUE(kit::peerEnded(peer, 5000, &received));
        }
        const std::string out = terminal->output();
        const size_t line = out.find("Not sent at the end: ");
        ASSERT_NE(std::string::npos, line) << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        long queued = -1;
        size_t records = 0;
        EXPECT_EQ(2, sscanf(out.c_str() + line, "Not sent at the end: %ld bytes queued for the server; %zu records",
                            &queued, &records));
        // Every record taken from term.out reached the server or is counted
        // as queued; the rest are counted as left in the file.
        EXPECT_TRUE(data.compare(0, received.size(), received) == 0) << "what arrived is the start of the records";
        const size_t taken = received.size() + static_cast<size_t>(std::max(queued, 0L));
        ASSERT_LE(taken, data.size());
        const std::string sent = data.substr(0, taken);
        EXPECT_EQ(kit::countOf(fileRecords, "\n"), kit::countOf(sent, "\n") + static_cast<int>(records));
        // Records are shown as they are taken, unless the console fell more
        // than its buffer behind (a loaded machine) and said what it dropped.
        const std::string shown = out.substr(mark, line - mark);
        const bool consoleDropped = out.find("*** Console output dropped: ", mark) != std::string::npos;
        if (!consoleDropped) {
            EXPECT_TRUE(shown == sent) << "the console shows what was taken: " << kit::firstDifference(sent, shown);
        }
        if (reads) {
            EXPECT_EQ(0, queued) << "everything queued went out";
            EXPECT_LT(took, 1500);
        } else {
            EXPECT_GT(queued, 0);
            EXPECT_LT(took, 1500) << "a server that takes nothing is not waited for";
        }
        printf("[ figures  ] stop %s: ended after %lld ms, %ld bytes queued not sent, %zu records left in term.out%s\n",
               reads ? "with a server that reads" : "with a server that does not read", took, queued, records,
               consoleDropped ? " (the console dropped some)" : "");
        terminal.reset();
    }
}

TEST_F(FaultsTest, ServerOutputThatNeverPausesForATickStillReachesTermIn)
{
    ASSERT_TRUE(server.ok());
    startConnected();
    const std::string termIn = dir.file("term.in");
    bool written = false;
    // Ten seconds of a line every 300 ms: a bounded hold writes the first
    // lines while the traffic goes on.
    for (int i = 0; i < 33 && !written; ++i) {
        char line[32];
        snprintf(line, sizeof line, "busy %03d\n", i);
        ASSERT_TRUE(kit::sendAll(peer, line, 2000));
        usleep(300000);
        written = kit::decodeTextRecords(kit::readFile(termIn)).find("busy 000\n") != std::string::npos;
    }
    EXPECT_TRUE(written) << "nothing reached term.in during ten seconds of steady output; the terminal holds "
                         << terminal->rssKb() << " KiB";
}

TEST_F(FaultsTest, OutputStillQueuedWhenTheProgramEndsReachesTermIn)
{
    ASSERT_TRUE(server.ok());
    startConnected();
    const std::string termIn = dir.file("term.in");
    ASSERT_TRUE(kit::sendAll(peer, "last words\n", 2000));
    ASSERT_TRUE(terminal->waitFor("last words\n", 3000));
    // Ended before a quiet tick could write the line.
    ASSERT_TRUE(terminal->write("exit\n"));
    EXPECT_EQ(0, terminal->waitExit(5000));
    EXPECT_EQ("last words\n", kit::decodeTextRecords(kit::readFile(termIn)));
}

// ---------------------------------------------------------------- the shared files

TEST_F(FaultsTest, TermInThatCannotBeWrittenKeepsItsOutputUntilItCanBe)
{
    ASSERT_TRUE(server.ok());
    startConnected();
    const std::string termIn = dir.file("term.in");
    ASSERT_TRUE(kit::sendAll(peer, "one\n", 2000));
    ASSERT_EQ("one\n", waitForTermIn(termIn, "one\n", 4000));

    // term.in becomes a directory: appending fails, the output stays held
    // and is tried again at each tick; the episode is reported once.
    ASSERT_EQ(0, unlink(termIn.c_str()));
    ASSERT_EQ(0, mkdir(termIn.c_str(), 0755));
    ASSERT_TRUE(kit::sendAll(peer, "two\n", 2000));
    ASSERT_TRUE(terminal->waitFor("two\n", 3000));
    usleep(2500000);
    EXPECT_EQ(1, kit::countOf(terminal->output(), "Can't write " + termIn + " (is a directory, not a regular file)"))
        << terminal->output();
    ASSERT_EQ(0, rmdir(termIn.c_str()));
    ASSERT_TRUE(kit::sendAll(peer, "three\n", 2000));
    EXPECT_EQ("two\nthree\n", waitForTermIn(termIn, "three\n", 4000)) << "appending creates term.in anew";

    // The whole directory is replaced by a plain file: both shared files
    // are out of reach, and come back with the directory.
    const std::string away = dir.path() + ".away";
    ASSERT_EQ(0, rename(dir.path().c_str(), away.c_str()));
    ASSERT_TRUE(kit::appendFile(dir.path(), "not a directory\n"));
    ASSERT_TRUE(kit::sendAll(peer, "four\n", 2000));
    ASSERT_TRUE(terminal->waitFor("four\n", 3000));
    usleep(2500000);
    ASSERT_EQ(0, unlink(dir.path().c_str()));
    ASSERT_EQ(0, rename(away.c_str(), dir.path().c_str()));
    ASSERT_TRUE(kit::sendAll(peer, "five\n", 2000));
    EXPECT_EQ("two\nthree\nfour\nfive\n", waitForTermIn(termIn, "five\n", 4000));
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "operator again\x01\n"));
    std::string got;
    got += kit::readExactly(peer, (15) - got.size(), 3000);
    EXPECT_EQ("operator again\n", got) << "term.out is read again once the directory is back";
    EXPECT_TRUE(terminal->running());
}

TEST_F(FaultsTest, TermOutGrowingShrinkingAndReplacedIsReadFromWhereItNowStarts)
{
    ASSERT_TRUE(server.ok());
    startConnected();
    const std::string termOut = dir.file("term.out");

    // Growing while read: the records go in in pieces that cut records
    // anywhere, and the pieces read meanwhile still add up to the data.
    const std::string data = kit::randomLines(200 * 1024, 21, 200);
    const std::string records = kit::encodeTextRecords(data);
    std::thread writer([&] {
        uint64_t r = 12345;
        for (size_t at = 0; at < records.size();) {
            r = r * 6364136223846793005ULL + 1442695040888963407ULL;
            size_t n = std::min<size_t>(1 + (r >> 33) % 600, records.size() - at);
            kit::appendFile(termOut, records.substr(at, n));
            at += n;
            usleep(2000);
        }
    });
    std::string got;
    got += kit::readExactly(peer, (data.size()) - got.size(), 15000);
    writer.join();
    EXPECT_TRUE(got == data) << kit::firstDifference(data, got);

    // Replaced by a smaller file: the shrink is noticed and the new file is
    // read from its start.
    const std::string fresh = dir.file("term.out.new");
    ASSERT_TRUE(kit::appendFile(fresh, "replaced\x01\n"));
    ASSERT_EQ(0, rename(fresh.c_str(), termOut.c_str()));
    got.clear();
    got += kit::readExactly(peer, (9) - got.size(), 4000);
    EXPECT_EQ("replaced\n", got);

    // Truncated, and written again after a tick has seen it empty.
    ASSERT_EQ(0, truncate(termOut.c_str(), 0));
    usleep(1500000);
    ASSERT_TRUE(kit::appendFile(termOut, "after truncation\x01\n"));
    got.clear();
    got += kit::readExactly(peer, (17) - got.size(), 4000);
    EXPECT_EQ("after truncation\n", got);

    // Replaced by a file at least as large: another file in its place is
    // read from its start, whatever its size.
    struct stat old;
    ASSERT_EQ(0, stat(termOut.c_str(), &old));
    const std::string first(static_cast<size_t>(old.st_size) - 2, 's');
    ASSERT_TRUE(kit::appendFile(fresh, first + "\x01\n" + "kept\x01\n"));
    ASSERT_EQ(0, rename(fresh.c_str(), termOut.c_str()));
    got.clear();
    got += kit::readExactly(peer, first.size() + 6, 4000);
    got += kit::readFor(peer, 1500);
    EXPECT_EQ(first + "\nkept\n", got);
}

// ---------------------------------------------------------------- the console

TEST_F(FaultsTest, AConsoleNobodyReadsHoldsUpNeitherTheFilesNorTheConnection)
{
    ASSERT_TRUE(server.ok());
    // A terminal that nobody reads, as one held with Ctrl-S or behind a
    // stalled remote link.
    kit::ChildOptions o = kit::onTerminal();
    o.drainLater = true;
    terminal = start("127.0.0.1", server.portText(), o);
    peer = server.accept(5000);
    ASSERT_GE(peer, 0);
    ASSERT_EQ("\n", kit::waitForFile(dir.file("term.in"), "\n", 3000));

    // Twice the console's bound of server text, shown on that terminal.
    const std::string data = kit::randomLines(2u << 20, 5, 100);
    ASSERT_TRUE(kit::sendAll(peer, data, 5000)) << "the program stopped reading the server";
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "operator\x01\n"));
    EXPECT_EQ("operator\n", kit::readExactly(peer, 9, 4000)) << "term.out was not read";
    const std::string termIn = waitForTermIn(dir.file("term.in"), data.substr(data.size() - 20), 6000);
    EXPECT_TRUE(data == termIn) << "everything received reached term.in: " << kit::firstDifference(data, termIn);

    // Read at last, the console shows the text up to the gap, then how much
    // it missed: the rest of the text and the record shown meanwhile.
    terminal->startDraining();
    const std::string head = "*** Console output dropped: ";
    ASSERT_TRUE(terminal->waitFor(" bytes the console did not take\n", 5000));
    const std::string shown = terminal->output();
    const size_t from = shown.find(data.substr(0, 40));
    const size_t notice = shown.find(head);
    ASSERT_NE(std::string::npos, from) << shown.substr(0, 400);
    ASSERT_LT(from, notice);
    std::string kept = shown.substr(from, notice - from);
    // The notice starts a line of its own after a line cut by the gap.
    if (!kept.empty() && kept.size() <= data.size() && data[kept.size() - 1] != '\n')
        kept.pop_back();
    EXPECT_EQ(0, data.compare(0, kept.size(), kept)) << "the text before the gap is the start of what came";
    EXPECT_GT(kept.size(), 512u * 1024) << "less than the bound was kept";
    EXPECT_EQ(std::to_string(data.size() - kept.size() + 9),
              shown.substr(notice + head.size(), shown.find(' ', notice + head.size()) - notice - head.size()));
}

TEST_F(FaultsTest, StartedWithStandardInputAndOutputClosedItRunsOnAndWritesTermIn)
{
    ASSERT_TRUE(server.ok());
    // As a supervisor or "<&- >&-" starts it: the shell closes both, then
    // becomes the program.
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" <&- >&-", "sh"};
    for (const std::string &word : kit::terminalArgs("127.0.0.1", server.portText(), dir.path()))
        argv.push_back(word);
    auto closed = std::make_unique<kit::Child>(argv);
    peer = server.accept(5000);
    ASSERT_GE(peer, 0) << closed->output();
    ASSERT_TRUE(kit::sendAll(peer, "to operator\n"));
    EXPECT_EQ("to operator\n", waitForTermIn(dir.file("term.in"), "to operator\n", 4000));
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "from operator\x01\n"));
    EXPECT_EQ("from operator\n", kit::readExactly(peer, 14, 4000));
    EXPECT_TRUE(closed->running()) << closed->output();
    closed->signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, closed->waitExit(5000));
}

// ---------------------------------------------------------------- bad values

TEST_F(FaultsTest, AnUnresolvableHostIsReportedAndTheProgramRunsOnWaitingToRetry)
{
    terminal = start("no-such-host.invalid", "8000");
    ASSERT_TRUE(terminal->waitFor("Welcome to Quorvane", 5000));
    EXPECT_NE(std::string::npos, terminal->output().find("Host \"no-such-host.invalid\" not found"))
        << terminal->output();
    ASSERT_TRUE(kit::appendFile(dir.file("term.out"), "ticks go on\x01\n"));
    EXPECT_FALSE(terminal->waitFor("ticks go on\n", 1500)) << "records wait in term.out for a connection";
    long before = terminal->cpuMs();
    usleep(1500000);
    EXPECT_LE(terminal->cpuMs() - before, 50);
    EXPECT_EQ(0, kit::countOf(terminal->output(), kConnected));
}

TEST_F(FaultsTest, SendsALoginTextLongerThanOneBlockWhole)
{
    ASSERT_TRUE(server.ok());
    const std::string login(9000, 'L');
    startConnected({"-l" + login});
    ASSERT_TRUE(kit::sendAll(peer, "login: ", 2000));
    std::string got;
    got += kit::readExactly(peer, (login.size() + 2) - got.size(), 4000);
    EXPECT_TRUE(got == login + "\r\n") << got.size() << " bytes arrived";
}

} // namespace
