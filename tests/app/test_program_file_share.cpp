// The terminal object in a child process of its own (the main loop runs
// once per process), its console on pipes, against a loopback server played
// by the test at byte level, with short ticks and a short reconnect delay.
#include "ProgramFileShare.h"

#include "CsApplication.h"
#include "FrameSplitter.h"
#include "app_support.h"
#include "connection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using apptest::appendFile;
using apptest::LoopbackServer;
using apptest::nowMs;
using apptest::readFile;
using apptest::TempDir;
using apptest::writeFile;

namespace {

struct Options {
    bool withServer = true;     // host 127.0.0.1 and the test server's port
    std::string port;           // overrides the server's port when set
    const char* login = nullptr;
    int hexMode = 0;
    int tickMs = 50;
    int frameSplit = 0;
    int debugLevel = 1;
    int consoleInput = 1;
    int reconnectSeconds = 1;
    size_t maxHeldBytes = ProgramFileShare::kMaxHeldBytes;
    int consolePipeBytes = 0;      // a smaller console pipe, when not 0
    bool nonBlockingConsole = false;
};

// One ProgramFileShare running its main loop in a child process; standard
// input and output of the child are pipes held by the test.
class Program {
public:
    Program(const TempDir& dir, LoopbackServer* server, const Options& o)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        std::string outFile = dir.file("term.out");
        std::string inFile = dir.file("term.in");
        std::string port = !o.port.empty() ? o.port : server != nullptr ? server->portText() : "";
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            // Line by line, as on a terminal, so the test sees each line when
            // it is printed. (The stream has been used by the test already;
            // glibc takes the new mode only together with a new buffer.)
            static char lineBuffer[8192];
            setvbuf(stdout, lineBuffer, _IOLBF, sizeof lineBuffer);
            if (o.consolePipeBytes > 0)
                fcntl(1, F_SETPIPE_SZ, o.consolePipeBytes);
            if (o.nonBlockingConsole)
                fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
            auto* p = new ProgramFileShare(o.withServer ? "127.0.0.1" : nullptr,
                                           o.withServer ? port.c_str() : nullptr, outFile.c_str(),
                                           inFile.c_str(), o.login, o.hexMode, o.tickMs,
                                           o.frameSplit, o.debugLevel, o.consoleInput,
                                           o.reconnectSeconds, o.maxHeldBytes);
            int result = CsApplication::run();
            delete p;
            fflush(stdout);
            _exit(result == 0 ? 0 : 3);
        }
        close(in[0]);
        close(out[1]);
        console = in[1];
        screen = out[0];
        fcntl(screen, F_SETFL, fcntl(screen, F_GETFL) | O_NONBLOCK);
    }

    ~Program()
    {
        if (pid > 0 && !reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (console >= 0)
            close(console);
        if (screen >= 0)
            close(screen);
    }

    bool started() const { return pid > 0; }

    void type(const std::string& line)
    {
        ssize_t n = write(console, line.data(), line.size());
        EXPECT_EQ(static_cast<ssize_t>(line.size()), n);
    }

    // Holds the program still (SIGSTOP) or lets it go on (SIGCONT), so that
    // what a peer does in between is all there when it next looks.
    void pause() { kill(pid, SIGSTOP); }
    void resume() { kill(pid, SIGCONT); }

    void closeConsole()
    {
        close(console);
        console = -1;
    }

    const std::string& output()
    {
        pump(0);
        return shown;
    }

    // Waits until the output after `from` holds needle.
    bool waitFor(const std::string& needle, int timeoutMs, size_t from = 0)
    {
        long long deadline = nowMs() + timeoutMs;
        for (;;) {
            if (shown.size() >= from && shown.find(needle, from) != std::string::npos)
                return true;
            long long left = deadline - nowMs();
            if (left <= 0)
                return false;
            pump(static_cast<int>(left));
        }
    }

    // Waits until the output holds at least `count` bytes.
    bool waitForBytes(size_t count, int timeoutMs)
    {
        long long deadline = nowMs() + timeoutMs;
        while (shown.size() < count) {
            long long left = deadline - nowMs();
            if (left <= 0)
                return false;
            pump(static_cast<int>(left));
        }
        return true;
    }

    // Exit status, or -1 when the child did not end in time.
    int waitExit(int timeoutMs)
    {
        long long deadline = nowMs() + timeoutMs;
        while (!reaped) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                reaped = true;
                exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (nowMs() >= deadline)
                return -1;
            pump(20);
        }
        pump(0);
        return exitStatus;
    }

private:
    void pump(int timeoutMs)
    {
        struct pollfd p = {screen, POLLIN, 0};
        if (screen < 0 || poll(&p, 1, timeoutMs) <= 0)
            return;
        char buf[65536];
        ssize_t n;
        while ((n = read(screen, buf, sizeof buf)) > 0)
            shown.append(buf, static_cast<size_t>(n));
    }

    pid_t pid = -1;
    int console = -1;
    int screen = -1;
    bool reaped = false;
    int exitStatus = -1;
    std::string shown;
};

// Waits until the file holds exactly `expected`; returns what it holds last.
std::string waitForFile(const std::string& path, const std::string& expected, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    std::string now;
    while ((now = readFile(path)) != expected && nowMs() < deadline)
        usleep(5000);
    return now;
}

class ProgramFileShareTest : public ::testing::Test {
protected:
    TempDir dir;
    LoopbackServer server;
    std::string termIn = dir.file("term.in");
    std::string termOut = dir.file("term.out");

    // Starts the program and waits until the server has its connection and,
    // when the level prints it, the program has said so.
    std::unique_ptr<Program> start(const Options& o)
    {
        auto p = std::make_unique<Program>(dir, &server, o);
        EXPECT_TRUE(p->started());
        if (o.withServer && o.port.empty()) {
            EXPECT_TRUE(server.accept(5000)) << "the program connects at start";
            if (o.debugLevel != 0) {
                EXPECT_TRUE(p->waitFor("Connected to server\n", 5000)) << p->output();
            }
        }
        // Start-up done: term.in was reset and the console watch is set.
        EXPECT_TRUE(p->waitFor("The application is running......\n", 5000)) << p->output();
        return p;
    }

    void stop(Program& p)
    {
        p.type("exit\n");
        EXPECT_EQ(0, p.waitExit(5000)) << p.output();
        EXPECT_TRUE(p.waitFor("The application ended\n", 1000)) << p.output();
    }
};

// ---------------------------------------------------------------- frames

TEST(FrameSplitterTest, CutsAtEachEndOfFrameByteAndConsumesIt)
{
    const char block[] = "\xfe\xfe\x00\xe0\x03\xfd\xfd\xfe\x01";
    FrameSplitter s(block, 9);
    char frame[256];
    ASSERT_TRUE(s.hasMore());
    ASSERT_EQ(5, s.next(frame, sizeof frame));
    EXPECT_EQ(0, memcmp(frame, "\xfe\xfe\x00\xe0\x03", 5));
    EXPECT_EQ(0, s.next(frame, sizeof frame)) << "a run of end bytes gives an empty frame";
    ASSERT_EQ(2, s.next(frame, sizeof frame)) << "the block's end ends the last frame";
    EXPECT_EQ(0, memcmp(frame, "\xfe\x01", 2));
    EXPECT_FALSE(s.hasMore());
    EXPECT_EQ(0, s.next(frame, sizeof frame));
}

TEST(FrameSplitterTest, ContinuesAFrameLongerThanTheBufferInTheNextCall)
{
    std::string block(300, 'a');
    block += '\xfd';
    FrameSplitter s(block.data(), static_cast<int>(block.size()));
    char frame[256 + 8];
    memset(frame, 0x5a, sizeof frame);
    EXPECT_EQ(256, s.next(frame, 256));
    EXPECT_EQ(0x5a, static_cast<unsigned char>(frame[256])) << "nothing past the buffer";
    EXPECT_EQ(44, s.next(frame, 256));
    EXPECT_FALSE(s.hasMore());
}

TEST(FrameSplitterTest, AnEmptyOrMissingBlockHasNothing)
{
    FrameSplitter none(nullptr, 5);
    FrameSplitter empty("x", 0);
    char frame[4];
    EXPECT_FALSE(none.hasMore());
    EXPECT_FALSE(empty.hasMore());
    EXPECT_EQ(0, none.next(frame, sizeof frame));
}

// ---------------------------------------------------------------- line cutting

TEST(CutLinesTest, CutsBlocksIntoLinesByTheRulesAndTheirMends)
{
    struct Case {
        const char* what;
        std::vector<std::string> blocks;
        std::vector<std::string> lines;  // per block, back to back
        int partialAfter;
    };
    const Case cases[] = {
        {"carriage returns stay; the last piece has no newline", {"a\r\nb\r\nxyz"}, {"a\r\nb\r\nxyz"}, 1},
        {"two newlines, two tokens: each takes one", {"x\n\ny"}, {"x\ny\n"}, 0},
        {"leading newlines count too", {"\n\nabc"}, {"abc\n"}, 0},
        {"empty lines between and after", {"a\n\n\nb\n\nc"}, {"a\nb\nc\n"}, 0},
        {"only empty lines: nothing", {"\n\n\n"}, {""}, 0},
        {"the text ends at a NUL", {std::string("ab\n\0cd\n", 7)}, {"ab\n"}, 0},
        {"a NUL first: nothing", {std::string("\0abc", 4)}, {""}, 0},
        {"a line feed that starts a block ends the unfinished line", {"abc", "\ndef\n"}, {"abc", "\ndef\n"}, 0},
        {"... and is a line of its own when it is all", {"abc", "\n"}, {"abc", "\n"}, 0},
        {"... only the first one; the others are empty lines", {"abc", "\n\nx"}, {"abc", "\nx\n"}, 0},
        {"... and after it only empty lines", {"abc", "\n\n\n"}, {"abc", "\n"}, 0},
        {"after a whole line it is an empty line", {"abc\n", "\ndef\n"}, {"abc\n", "def\n"}, 0},
        {"a block without lines keeps the state", {"abc", std::string("\0", 1), "\nz"}, {"abc", "", "\nz"}, 1},
        {"the rest of a line comes as a line of its own", {"xyz", "!\n"}, {"xyz", "!\n"}, 0},
    };
    for (const Case& c : cases) {
        int partial = 0;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            const std::string& block = c.blocks[i];
            EXPECT_EQ(c.lines[i], ProgramFileShare::cutLines(block.data(), static_cast<int>(block.size()), partial))
                << c.what << ", block " << i;
        }
        EXPECT_EQ(c.partialAfter, partial) << c.what;
    }
    int partial = 0;
    EXPECT_EQ("abc", ProgramFileShare::cutLines("abcdef", 3, partial)) << "the length ends the text";
    EXPECT_EQ("", ProgramFileShare::cutLines(nullptr, 3, partial));
    EXPECT_EQ("", ProgramFileShare::cutLines("x", 0, partial));
    EXPECT_EQ(1, partial);
}

// ---------------------------------------------------------------- server text

TEST_F(ProgramFileShareTest, CutsReceivedBlocksIntoLinesKeepingCarriageReturns)
{
    auto p = start(Options());
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send("a\r\nb\r\nxyz"));
    ASSERT_TRUE(p->waitFor("xyz", 3000, mark)) << p->output();
    EXPECT_EQ("a\r\nb\r\nxyz", p->output().substr(mark)) << "echoed line by line, unchanged";

    EXPECT_EQ(std::string("\na\r\x01\nb\r\x01\nxyz\n"),
              waitForFile(termIn, std::string("\na\r\x01\nb\r\x01\nxyz\n"), 3000))
        << "the partial last line is queued without a newline";

    // The rest of the line comes with the next block, as a record of its own.
    ASSERT_TRUE(server.send("!\n"));
    EXPECT_EQ(std::string("\na\r\x01\nb\r\x01\nxyz\n!\x01\n"),
              waitForFile(termIn, std::string("\na\r\x01\nb\r\x01\nxyz\n!\x01\n"), 3000));
    stop(*p);
}

TEST_F(ProgramFileShareTest, WritesTermInOnlyAtTheFirstTickWithNothingNew)
{
    Options o;
    o.tickMs = 400;
    o.debugLevel = 0;
    auto p = start(o);

    // A single block: the first tick after it records the count, the second
    // writes, so it takes more than one tick period and at most two.
    long long sent = nowMs();
    ASSERT_TRUE(server.send("one\n"));
    std::string expected = std::string("\none\x01\n");
    long long written = 0;
    while (nowMs() - sent < 3000) {
        if (readFile(termIn) == expected) {
            written = nowMs();
            break;
        }
        usleep(2000);
    }
    ASSERT_NE(0, written) << "the block reached term.in";
    EXPECT_GT(written - sent, o.tickMs - 20) << "not at the first tick";
    EXPECT_LT(written - sent, 2 * o.tickMs + 600);

    // While the server keeps sending, nothing is written; then everything is,
    // in the order it arrived.
    std::string all = expected;
    bool heldBack = true;
    for (int i = 0; i < 12; ++i) {
        std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_TRUE(server.send(line));
        all += "line " + std::to_string(i) + "\x01\n";
        usleep(50000);
        if (readFile(termIn) != expected)
            heldBack = false;
    }
    EXPECT_TRUE(heldBack) << "written while the server was still sending: " << readFile(termIn);
    EXPECT_EQ(all, waitForFile(termIn, all, 3000));
    stop(*p);
}

TEST_F(ProgramFileShareTest, QueuedOutputIsWrittenWhenTheProgramEndsBeforeAQuietTick)
{
    Options o;
    o.tickMs = 2000;
    auto p = start(o);
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send("pending\n"));
    ASSERT_TRUE(p->waitFor("pending\n", 3000, mark));
    stop(*p);
    EXPECT_EQ(std::string("\npending\x01\n"), readFile(termIn));
}

TEST_F(ProgramFileShareTest, OutputHeldForFiveTicksIsWrittenAlthoughTheServerNeverPauses)
{
    Options o;
    o.tickMs = 100;
    auto p = start(o);
    // A line every 40 ms: no tick ever finds the count unchanged.
    const long long begin = nowMs();
    const long long deadline = begin + 3000;
    while (readFile(termIn) == "\n" && nowMs() < deadline) {
        ASSERT_TRUE(server.send("busy\n"));
        usleep(40000);
    }
    EXPECT_NE("\n", readFile(termIn)) << "nothing written in three seconds of steady output";
    EXPECT_GE(nowMs() - begin, 400) << "written before the queue had been held for several ticks";
    stop(*p);
}

TEST_F(ProgramFileShareTest, HeldOutputThatReachesTheByteBoundIsWrittenAtOnce)
{
    Options o;
    o.tickMs = 5000;  // no tick during the test: only the bound writes
    o.maxHeldBytes = 1000;
    o.debugLevel = 0;
    auto p = start(o);
    std::string lines;
    std::string records = "\n";
    for (int i = 0; i < 20; ++i) {
        char line[101];
        snprintf(line, sizeof line, "%099d", i);
        lines += std::string(line) + "\n";
        records += std::string(line) + "\x01\n";
    }
    ASSERT_TRUE(server.send(lines));
    EXPECT_EQ(records, waitForFile(termIn, records, 2000)) << "written before any tick";

    // Below the bound, output waits for its tick as before.
    ASSERT_TRUE(server.send("small\n"));
    usleep(500000);
    EXPECT_EQ(records, readFile(termIn));
    stop(*p);
    EXPECT_EQ(records + "small\x01\n", readFile(termIn));
}

TEST_F(ProgramFileShareTest, ABlockAnsweredByTheLoginLeavesAnUnfinishedLineUnfinished)
{
    Options o;
    o.login = "op";
    auto p = start(o);
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send("abc"));
    ASSERT_TRUE(p->waitFor("abc", 3000, mark));
    ASSERT_TRUE(server.send("login:"));
    EXPECT_EQ("op\r\n", server.receive(4, 3000));
    ASSERT_TRUE(p->waitFor("Doing automatic login with text <op>\n", 3000, mark));
    ASSERT_TRUE(server.send("\ndef\n"));
    const std::string expected = "\nabc\n\x01\ndef\x01\n";
    EXPECT_EQ(expected, waitForFile(termIn, expected, 3000)) << "the line feed ends the line before the prompt";
    stop(*p);
}

TEST_F(ProgramFileShareTest, ANewConnectionStartsItsTextOnALineOfItsOwn)
{
    auto p = start(Options());
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send("abc"));
    ASSERT_TRUE(p->waitFor("abc", 3000, mark));
    server.closePeer();
    ASSERT_TRUE(p->waitFor("Disconnected from server\n", 3000, mark));
    ASSERT_TRUE(server.accept(5000));
    ASSERT_TRUE(p->waitFor("Connected to server\n", 3000, mark));
    mark = p->output().size();
    ASSERT_TRUE(server.send("\nxyz\n"));
    const std::string expected = "\nabc\nxyz\x01\n";
    EXPECT_EQ(expected, waitForFile(termIn, expected, 3000))
        << "the first line feed is an empty line, not the end of the old connection's line";
    EXPECT_EQ("xyz\n", p->output().substr(mark));
    stop(*p);
}

TEST_F(ProgramFileShareTest, AConsoleThatCannotTakeMoreAtOnceIsWaitedForAndLosesNothing)
{
    Options o;
    o.consolePipeBytes = 4096;
    o.nonBlockingConsole = true;
    auto p = start(o);
    size_t mark = p->output().size();
    std::string stream;
    for (int i = 0; stream.size() < 200000; ++i)
        stream += "line " + std::to_string(i) + " of a console that nobody reads for a while\n";
    ASSERT_TRUE(server.send(stream));
    usleep(300000);  // the console stays full meanwhile
    ASSERT_TRUE(p->waitFor("line 0 ", 3000, mark));
    const std::string last = stream.substr(stream.rfind("line "));
    ASSERT_TRUE(p->waitFor(last, 5000, mark)) << p->output().size() - mark;
    EXPECT_TRUE(p->output().substr(mark) == stream) << "shown " << p->output().size() - mark << " of " << stream.size();
    stop(*p);
}

namespace {

// Lines of 100 bytes, numbered, filling whole reads of the connection.
std::string wholeReads(int reads)
{
    std::string text;
    for (int i = 0; text.size() < static_cast<size_t>(reads) * MSGBUFSIZE; ++i) {
        char line[101];
        snprintf(line, sizeof line, "%099d", i);
        text += line;
        text += '\n';
    }
    text.resize(static_cast<size_t>(reads) * MSGBUFSIZE);
    return text;
}

}  // namespace

TEST_F(ProgramFileShareTest, TextEndingOnAWholeReadIsShownAsSoonAsTheServerPauses)
{
    // Each read fills the buffer, so nothing in the blocks themselves says
    // that the server has stopped; the console must not wait for the tick.
    Options o;
    o.tickMs = 3000;
    auto p = start(o);
    size_t mark = p->output().size();
    const std::string text = wholeReads(3);
    long long sent = nowMs();
    ASSERT_TRUE(server.send(text));
    ASSERT_TRUE(p->waitForBytes(mark + text.size(), 2500)) << p->output().size() - mark;
    EXPECT_LT(nowMs() - sent, 1500) << "shown only with the tick";
    EXPECT_TRUE(p->output().substr(mark) == text);
    stop(*p);
}

TEST_F(ProgramFileShareTest, AStreamIsShownWholeAndInOrderBeforeTheStatusLineOfItsEnd)
{
    auto p = start(Options());
    size_t mark = p->output().size();
    const std::string stream = wholeReads(40) + "a line of its own\n";
    ASSERT_TRUE(server.send(stream));
    ASSERT_TRUE(p->waitFor("a line of its own\n", 5000, mark)) << p->output().size() - mark;
    EXPECT_TRUE(p->output().substr(mark) == stream) << p->output().size() - mark;

    // The last text ends on a whole read and the server goes at once: the
    // program finds both waiting.
    mark = p->output().size();
    const std::string last = wholeReads(3);
    p->pause();
    ASSERT_TRUE(server.send(last));
    server.closePeer();
    usleep(50000);
    p->resume();
    ASSERT_TRUE(p->waitFor("Disconnected from server\n", 5000, mark)) << p->output().size() - mark;
    EXPECT_TRUE(p->output().substr(mark) == last + "Disconnected from server\n")
        << "shown " << p->output().size() - mark << " of " << last.size() + 25 << " bytes";
    stop(*p);
}

TEST_F(ProgramFileShareTest, ServerTextComesBeforeWhatTheProgramPrintsNext)
{
    Options o;
    o.tickMs = 3000;
    o.login = "op";
    auto p = start(o);
    size_t mark = p->output().size();
    const std::string text = wholeReads(2);
    // One send: the prompt comes in the read after the two whole ones.
    ASSERT_TRUE(server.send(text + "login:"));
    ASSERT_TRUE(p->waitFor("Doing automatic login with text <op>\n", 2500, mark));
    EXPECT_TRUE(p->output().substr(mark) == text + "Doing automatic login with text <op>\n")
        << p->output().size() - mark;
    stop(*p);
}

// ---------------------------------------------------------------- login

TEST_F(ProgramFileShareTest, AnswersEveryLoginPromptAndNeitherEchoesNorQueuesIt)
{
    Options o;
    o.login = "op1";
    auto p = start(o);
    size_t mark = p->output().size();

    ASSERT_TRUE(server.send("Welcome\r\nlogin: "));
    EXPECT_EQ("op1\r\n", server.receive(5, 3000));
    ASSERT_TRUE(p->waitFor("Doing automatic login with text <op1>\n", 3000, mark));

    ASSERT_TRUE(server.send("bad password\r\nlogin:"));
    EXPECT_EQ("op1\r\n", server.receive(5, 3000)) << "not only the first prompt";

    ASSERT_TRUE(server.send("ok\n"));
    EXPECT_EQ(std::string("\nok\x01\n"), waitForFile(termIn, std::string("\nok\x01\n"), 3000))
        << "the prompt blocks never reach term.in";
    const std::string shown = p->output().substr(mark);
    EXPECT_EQ(std::string::npos, shown.find("Welcome"));
    EXPECT_EQ(std::string::npos, shown.find("bad password"));
    stop(*p);
}

TEST_F(ProgramFileShareTest, SendsALoginTextLongerThanOneBufferWhole)
{
    static const std::string longLogin(9000, 'q');
    Options o;
    o.login = longLogin.c_str();
    o.debugLevel = 0;
    auto p = start(o);
    ASSERT_TRUE(server.send("login:"));
    EXPECT_EQ(longLogin + "\r\n", server.receive(9002, 5000));
    stop(*p);
}

TEST_F(ProgramFileShareTest, WithoutLoginTextThePromptIsOrdinaryText)
{
    auto p = start(Options());
    ASSERT_TRUE(server.send("login: "));
    EXPECT_EQ(std::string("\nlogin: \n"), waitForFile(termIn, std::string("\nlogin: \n"), 3000));
    EXPECT_EQ("", server.drain(100)) << "nothing answered";
    stop(*p);
}

TEST_F(ProgramFileShareTest, LoginPromptMustBeLowercase)
{
    Options o;
    o.login = "op1";
    o.debugLevel = 0;
    auto p = start(o);
    ASSERT_TRUE(server.send("LOGIN: "));
    EXPECT_EQ(std::string("\nLOGIN: \n"), waitForFile(termIn, std::string("\nLOGIN: \n"), 3000));
    EXPECT_EQ("", server.drain(100));
    stop(*p);
}

// ---------------------------------------------------------------- term.out

TEST_F(ProgramFileShareTest, SendsEveryNewTermOutRecordInOneTick)
{
    writeFile(termOut, "before start\n");
    Options o;
    o.tickMs = 400;
    auto p = start(o);
    size_t mark = p->output().size();

    std::string records;
    std::string bytes;
    for (int i = 0; i < 5; ++i) {
        records += "rec" + std::to_string(i) + "\x01\n";
        bytes += "rec" + std::to_string(i) + "\n";
    }
    appendFile(termOut, records);
    std::string first = server.receive(1, 3000);
    ASSERT_EQ("r", first);
    // All five within a fraction of a tick of the first byte.
    std::string rest = server.receive(bytes.size() - 1, 250);
    EXPECT_EQ(bytes, first + rest);
    EXPECT_TRUE(p->waitFor(bytes, 2000, mark)) << "shown as they are: " << p->output();
    EXPECT_EQ("", server.drain(600)) << "the record present at start is never sent";
    stop(*p);
}

TEST_F(ProgramFileShareTest, SendsALongRecordAsTwoBlocksAndStopsAtAnEmptyRecord)
{
    auto p = start(Options());
    std::string longRecord(300, 'L');
    appendFile(termOut, longRecord + "\n");
    EXPECT_EQ(longRecord, server.receive(300, 3000));

    // An empty record ends the tick's loop; the next record follows a tick later.
    appendFile(termOut, "\nnext\n");
    EXPECT_EQ("next", server.receive(4, 3000));
    stop(*p);
}

TEST_F(ProgramFileShareTest, RecordsWithoutAConnectionAreDropped)
{
    Options o;
    o.withServer = false;
    o.debugLevel = 2;
    auto p = start(o);
    size_t mark = p->output().size();
    appendFile(termOut, "nowhere\n");
    EXPECT_TRUE(p->waitFor("F-IN       [7] : nowhere\n", 3000, mark)) << p->output();
    // The object without client still answers commands.
    p->type("debug\n");
    EXPECT_TRUE(p->waitFor("Debug is OFF\n", 3000, mark));
    stop(*p);
}

// ---------------------------------------------------------------- hex mode

TEST_F(ProgramFileShareTest, SplitsHexFramesAtEndBytesAndDumpsTheirLeadingPair)
{
    Options o;
    o.hexMode = 1;
    o.frameSplit = 1;
    o.debugLevel = 2;
    auto p = start(o);
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send(std::string("\xfe\xfe\x00\xe0\x03\xfd\xfe\xfe\x00\xe0\x04\xfd\x07\xfd", 14)));
    EXPECT_EQ("\nfefe00e003\nfefe00e004\n07\n",
              waitForFile(termIn, "\nfefe00e003\nfefe00e004\n07\n", 3000));
    ASSERT_TRUE(p->waitFor("F-OUT      [1] : 07<-00  (hexcode)\n", 3000, mark)) << p->output();
    EXPECT_NE(std::string::npos,
              p->output().find("C-IN       [14] : fe<-fe 00e003fdfefe00e004fd07fd (hexcode)\n", mark));
    EXPECT_NE(std::string::npos, p->output().find("F-OUT      [5] : fe<-fe 00e003 (hexcode)\n", mark));
    EXPECT_NE(std::string::npos, p->output().find("F-OUT      [5] : fe<-fe 00e004 (hexcode)\n", mark));

    // Hex records from term.out reach the server as bytes.
    appendFile(termOut, "FEfe00e005fd\n");
    EXPECT_EQ(std::string("\xfe\xfe\x00\xe0\x05\xfd", 6), server.receive(6, 3000));
    EXPECT_TRUE(p->waitFor("F-IN       [6] : fe<-fe 00e005fd (hexcode)\n", 3000, mark)) << p->output();
    stop(*p);
}

TEST_F(ProgramFileShareTest, DumpsAOneByteFrameWithZeroAsItsSecondByte)
{
    Options o;
    o.hexMode = 1;
    o.frameSplit = 1;
    o.debugLevel = 2;
    auto p = start(o);
    size_t mark = p->output().size();
    // A block of one byte is a one-byte frame both as it arrives and as it
    // is queued; no byte beyond it is ever shown.
    ASSERT_TRUE(server.send("\x09"));
    EXPECT_TRUE(p->waitFor("C-IN       [1] : 09<-00  (hexcode)\n", 3000, mark)) << p->output();
    EXPECT_TRUE(p->waitFor("F-OUT      [1] : 09<-00  (hexcode)\n", 3000, mark)) << p->output();
    stop(*p);
}

TEST_F(ProgramFileShareTest, HexModeWithoutSplitQueuesTheWholeBlock)
{
    Options o;
    o.hexMode = 1;
    o.debugLevel = 0;
    o.login = "op1";
    auto p = start(o);
    ASSERT_TRUE(server.send(std::string("login:\xfd\x00\n", 9)));
    EXPECT_EQ("\n6c6f67696e3afd000a\n", waitForFile(termIn, "\n6c6f67696e3afd000a\n", 3000))
        << "no login answer and no line cutting in hex mode";
    EXPECT_EQ("", server.drain(100));
    stop(*p);
}

TEST_F(ProgramFileShareTest, TextDumpsShowUnprintableBytesAsCodes)
{
    Options o;
    o.debugLevel = 2;
    auto p = start(o);
    size_t mark = p->output().size();
    ASSERT_TRUE(server.send("hi\r\n"));
    EXPECT_TRUE(p->waitFor("C-IN       [4] : hi<0x0d><0x0a>\n", 3000, mark)) << p->output();
    EXPECT_TRUE(p->waitFor("F-OUT      [4] : hi<0x0d><0x0a>\n", 3000, mark)) << p->output();
    EXPECT_EQ(std::string::npos, p->output().find("hi\r\n", mark)) << "no echo at level 2";
    stop(*p);
}

// ---------------------------------------------------------------- console

TEST_F(ProgramFileShareTest, TerminalModeSendsLinesAndEndsOnByeAfterSendingIt)
{
    auto p = start(Options());
    EXPECT_NE(std::string::npos, p->output().find("--End with exit or bye command--\n"));
    p->type("ls\n");
    EXPECT_EQ("ls\n", server.receive(3, 3000));
    p->type("debug\n");
    EXPECT_EQ("debug\n", server.receive(6, 3000)) << "no command in terminal mode";
    p->type("bye\n");
    EXPECT_EQ("bye\n", server.receive(4, 3000));
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_TRUE(p->waitFor("The application ended\n", 1000));
    EXPECT_TRUE(server.peerClosed(3000)) << "the connection is closed at the end";
}

TEST_F(ProgramFileShareTest, TerminalModeEndsOnExitInsideAWordWithoutSendingIt)
{
    auto p = start(Options());
    p->type("please exitnow\n");
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_TRUE(server.peerClosed(3000));
    EXPECT_EQ("", server.drain(50)) << "exit is never sent";
}

TEST_F(ProgramFileShareTest, QuietLevelTreatsLinesAsCommandsAndDebugTurnsTerminalModeOn)
{
    Options o;
    o.debugLevel = 0;
    auto p = start(o);
    EXPECT_EQ(std::string::npos, p->output().find("--End with exit or bye command--"));

    size_t mark = p->output().size();
    p->type("file\n");
    p->type("client\n");
    usleep(200000);
    p->type("what\n");
    ASSERT_TRUE(p->waitFor("debug = toggle debug mode\n", 3000, mark));
    EXPECT_EQ("Commands on stdin are :\nexit  = exit the program\ndebug = toggle debug mode\n",
              p->output().substr(mark))
        << "file and client print nothing";
    EXPECT_EQ("", server.drain(50)) << "commands are not sent";

    ASSERT_TRUE(server.send("hidden\n"));
    EXPECT_EQ(std::string("\nhidden\x01\n"), waitForFile(termIn, std::string("\nhidden\x01\n"), 3000));

    mark = p->output().size();
    p->type("debug\n");
    ASSERT_TRUE(p->waitFor("Debug is ON\n", 3000, mark));
    p->type("now sent\n");
    EXPECT_EQ("now sent\n", server.receive(9, 3000));
    ASSERT_TRUE(server.send("shown\n"));
    EXPECT_TRUE(p->waitFor("shown\n", 3000, mark));
    EXPECT_EQ(std::string::npos, p->output().find("hidden")) << "level 0 showed no server text";
    stop(*p);
}

TEST_F(ProgramFileShareTest, DiagnosticLevelPrintsStartUpLinesAndDebugSwitchesToQuiet)
{
    Options o;
    o.debugLevel = 2;
    auto p = start(o);
    const std::string& out = p->output();
    size_t a = out.find("ProgramFileShare : with debug\n");
    size_t b = out.find("ProgramFileShare : pending connecting 127.0.0.1:" + server.portText() + "\n");
    size_t c = out.find("fileshare using asciimode\n");
    size_t d = out.find("The application is running......\n");
    ASSERT_NE(std::string::npos, a) << out;
    ASSERT_NE(std::string::npos, b) << out;
    ASSERT_NE(std::string::npos, c) << out;
    EXPECT_TRUE(a < b && b < c && c < d) << out;
    EXPECT_EQ(std::string::npos, out.find("--End with exit or bye command--"));

    size_t mark = p->output().size();
    p->type("debug\n");
    ASSERT_TRUE(p->waitFor("Debug is OFF\n", 3000, mark));
    ASSERT_TRUE(server.send("quiet\n"));
    EXPECT_EQ(std::string("\nquiet\x01\n"), waitForFile(termIn, std::string("\nquiet\x01\n"), 3000));
    EXPECT_EQ(std::string::npos, p->output().find("C-IN", mark)) << "no dumps at level 0";
    p->type("debug\n");
    ASSERT_TRUE(p->waitFor("Debug is ON\n", 3000, mark));
    p->type("to server\n");
    EXPECT_EQ("to server\n", server.receive(10, 3000));
    stop(*p);
}

TEST_F(ProgramFileShareTest, DiagnosticLevelAnswersHelpAndEndsOnExit)
{
    Options o;
    o.debugLevel = 2;
    auto p = start(o);
    size_t mark = p->output().size();
    p->type("?\n");
    ASSERT_TRUE(p->waitFor("exit  = exit the program\n", 3000, mark));
    p->type("xexitx\n");
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_EQ("", server.drain(50));
}

// ---------------------------------------------------------------- connection

TEST_F(ProgramFileShareTest, ReportsALostServerAndReconnectsAfterTheDelay)
{
    auto p = start(Options());
    size_t mark = p->output().size();
    server.closePeer();
    ASSERT_TRUE(p->waitFor("Disconnected from server\n", 3000, mark));
    p->type("dropped\n");
    usleep(100000);
    long long lost = nowMs();
    ASSERT_TRUE(server.accept(5000)) << "a new attempt after the reconnect delay";
    EXPECT_GT(nowMs() - lost, 500);
    ASSERT_TRUE(p->waitFor("Connected to server\n", 3000, mark));
    p->type("again\n");
    EXPECT_EQ("again\n", server.receive(6, 3000)) << "the line typed while down was dropped";
    stop(*p);
}

TEST_F(ProgramFileShareTest, CountsIdleTicksOfAClientThatGaveUp)
{
    Options o;
    o.port = "no-such-quorvane-service";
    auto p = start(o);
    ASSERT_TRUE(p->waitFor("Retry to connect the server (10 sec)\n", 5000)) << p->output();
    ASSERT_TRUE(p->waitFor("Retry to connect the server (20 sec)\n", 5000)) << p->output();
    EXPECT_EQ(std::string::npos, p->output().find("(15 sec)"));
    stop(*p);
}

TEST_F(ProgramFileShareTest, QuietLevelPrintsNoStatusLines)
{
    Options o;
    o.port = "no-such-quorvane-service";
    o.debugLevel = 0;
    auto p = start(o);
    usleep(1000000);  // 20 ticks
    p->type("exit\n");
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_EQ(std::string::npos, p->output().find("Retry to connect")) << p->output();
}

TEST_F(ProgramFileShareTest, KeepsServingTheFilesWithoutConsoleInput)
{
    Options o;
    o.consoleInput = 0;
    auto p = start(o);
    EXPECT_EQ(std::string::npos, p->output().find("--End with exit or bye command--"));
    appendFile(termOut, "from operator\n");
    EXPECT_EQ("from operator", server.receive(13, 3000));
    ASSERT_TRUE(server.send("to operator\n"));
    EXPECT_EQ(std::string("\nto operator\x01\n"),
              waitForFile(termIn, std::string("\nto operator\x01\n"), 3000));
}

TEST_F(ProgramFileShareTest, KeepsServingTheFilesAfterTheConsoleCloses)
{
    auto p = start(Options());
    p->closeConsole();
    usleep(200000);
    appendFile(termOut, "still here\n");
    EXPECT_EQ("still here", server.receive(10, 3000));
    ASSERT_TRUE(server.send("reply\n"));
    EXPECT_EQ(std::string("\nreply\x01\n"), waitForFile(termIn, std::string("\nreply\x01\n"), 3000));
    EXPECT_EQ(-1, p->waitExit(100)) << "end of console input does not end the program";
}

}  // namespace
