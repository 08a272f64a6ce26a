// ProgramFileShare. Its rules run in this process: the test hands the
// object ticks, server blocks and console lines through callback, as its
// children would, and reads term.in and what it printed, without ever running
// the main loop. Its roads through the real main loop (the loop runs once per
// process) run in a child of their own, against a loopback server played by
// the test at byte level, with short ticks and a short reconnect delay.
#include "ProgramFileShare.h"

#include "CsApplication.h"
#include "CsClient.h"
#include "CsEventMsg.h"
#include "CsStdIn.h"
#include "CsStdOut.h"
#include "CsTimer.h"
#include "child.h"
#include "clock.h"
#include "connection.h"
#include "loopback.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

using kit::appendFile;
using kit::nowMs;
using kit::readFile;
using kit::TempDir;
using kit::waitForFile;
using kit::writeFile;

namespace {

const std::string kHelp = "Commands on stdin are :\nexit  = exit the program\ndebug = toggle debug mode\n";

// ---------------------------------------------------------------- rules

// One terminal object in this process, its output captured. The client
// connects to a listener of the test (or to nothing), and never gets further
// than its attempt: no main loop runs here.
class Terminal {
public:
    struct Options {
        bool withServer = true;
        std::string port; // instead of the listener's
        const char *login = nullptr;
        int hexMode = 0;
        int frameSplit = 0;
        int debugLevel = 1;
        size_t maxHeldBytes = ProgramFileShare::kMaxHeldBytes;
    };

    Terminal(const TempDir &dir, const Options &o)
    {
        const std::string port = o.port.empty() ? server.portText() : o.port;
        testing::internal::CaptureStdout();
        object = std::make_unique<ProgramFileShare>(o.withServer ? "127.0.0.1" : nullptr,
                                                    o.withServer ? port.c_str() : nullptr,
                                                    dir.file("term.out").c_str(), dir.file("term.in").c_str(),
                                                    o.login, o.hexMode, 1000, o.frameSplit, o.debugLevel, 1, 10,
                                                    o.maxHeldBytes);
    }
    ~Terminal()
    {
        end();
        testing::internal::GetCapturedStdout();
    }

    void tick(int ticks = 1)
    {
        for (int i = 0; i < ticks; ++i)
            EXPECT_EQ(0, object->callback(object->getTimer(), nullptr));
    }
    void receive(const std::string &block) { event(EVENT_DATA, block); }
    void event(int type, const std::string &data = "")
    {
        CsEventMsg msg(data.data(), static_cast<int>(data.size()), type, 1);
        EXPECT_EQ(0, object->callback(object->getClient(), &msg));
    }
    void type(const std::string &line)
    {
        CsEventMsg msg(line.data(), static_cast<int>(line.size()));
        EXPECT_EQ(0, object->callback(object->getConsole(), &msg));
    }
    // Everything printed so far.
    const std::string &printed()
    {
        fflush(stdout);
        shown += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return shown;
    }
    // Destroys the object (the end of the program); what it printed stays.
    void end()
    {
        object.reset();
        printed();
    }

    kit::Listener server;
    std::unique_ptr<ProgramFileShare> object;

private:
    std::string shown;
};

class ProgramFileShareRules : public ::testing::Test {
protected:
    TempDir dir;
    std::string termIn = dir.file("term.in");
    std::string termOut = dir.file("term.out");
};

struct ConsoleCase {
    const char *name;
    int level;
    const char *line;
    ProgramFileShare::ConsoleAction action;
};

std::ostream &operator<<(std::ostream &out, const ConsoleCase &c)
{
    return out << c.name;
}

const ConsoleCase kConsoleCases[] = {
    {"TerminalModeSendsALine", 1, "ls\n", ProgramFileShare::kSend},
    {"TerminalModeSendsDebugLikeAnyLine", 1, "debug\n", ProgramFileShare::kSend},
    {"TerminalModeSendsByeThenStops", 1, "bye\n", ProgramFileShare::kSendAndStop},
    {"TerminalModeSendsAWordWithByeInsideThenStops", 1, "goodbye all\n", ProgramFileShare::kSendAndStop},
    {"TerminalModeStopsOnExitWithoutSending", 1, "exit\n", ProgramFileShare::kStop},
    {"TerminalModeStopsOnExitInsideAWord", 1, "please exitnow\n", ProgramFileShare::kStop},
    {"TerminalModeLooksForExitBeforeBye", 1, "bye, exit\n", ProgramFileShare::kStop},
    {"TerminalModeWordsAreCaseSensitive", 1, "EXIT\n", ProgramFileShare::kSend},
    {"QuietLevelStopsOnExitInsideAWord", 0, "xexitx\n", ProgramFileShare::kStop},
    {"QuietLevelTogglesOnDebug", 0, "debug\n", ProgramFileShare::kToggleDebug},
    {"QuietLevelLooksForExitBeforeDebug", 0, "debug exit\n", ProgramFileShare::kStop},
    {"QuietLevelLooksForDebugBeforeFile", 0, "debugfile\n", ProgramFileShare::kToggleDebug},
    {"QuietLevelIgnoresFile", 0, "file\n", ProgramFileShare::kIgnore},
    {"QuietLevelIgnoresClient", 0, "the client\n", ProgramFileShare::kIgnore},
    {"QuietLevelAnswersAnythingElseWithHelp", 0, "what\n", ProgramFileShare::kHelp},
    {"QuietLevelAnswersAnEmptyLineWithHelp", 0, "\n", ProgramFileShare::kHelp},
    {"QuietLevelTakesByeForNoCommand", 0, "bye\n", ProgramFileShare::kHelp},
    {"QuietLevelWordsAreCaseSensitive", 0, "Debug\n", ProgramFileShare::kHelp},
    {"DiagnosticLevelTogglesOnDebug", 2, "debug\n", ProgramFileShare::kToggleDebug},
    {"DiagnosticLevelStopsOnExit", 2, "exit\n", ProgramFileShare::kStop},
    {"DiagnosticLevelAnswersAnythingElseWithHelp", 3, "?\n", ProgramFileShare::kHelp},
};

class ConsoleActionTable : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleActionTable, TheFirstWordFoundDecides)
{
    EXPECT_EQ(GetParam().action, ProgramFileShare::consoleAction(GetParam().line, GetParam().level));
}

INSTANTIATE_TEST_SUITE_P(Lines, ConsoleActionTable, ::testing::ValuesIn(kConsoleCases),
                         [](const ::testing::TestParamInfo<ConsoleCase> &i) { return std::string(i.param.name); });

TEST_F(ProgramFileShareRules, CommandsOutsideTerminalModeActAndPrintAsTheyAsk)
{
    struct Case {
        const char *what;
        int level;
        const char *line;
        std::string printed;
        int levelAfter;
    } const cases[] = {
        {"debug at the quiet level turns terminal mode on", 0, "debug\n", "Debug is ON\n", 1},
        {"debug at a diagnostic level turns it off", 2, "debug\n", "Debug is OFF\n", 0},
        {"file prints nothing", 0, "file\n", "", 0},
        {"client prints nothing", 2, "client\n", "", 2},
        {"anything else prints the help", 0, "what\n", kHelp, 0},
        {"a terminal-mode line is no command", 1, "what\n", "", 1},
    };
    for (const Case &c : cases) {
        Terminal::Options o;
        o.debugLevel = c.level;
        o.withServer = false;
        Terminal t(dir, o);
        const size_t mark = t.printed().size();
        t.type(c.line);
        EXPECT_EQ(c.printed, t.printed().substr(mark)) << c.what;
        EXPECT_EQ(c.levelAfter, t.object->getDebugLevel()) << c.what;
    }
}

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
        {"an empty line lends no line feed to the unfinished last piece", {"x\n\ny"}, {"x\ny"}, 1},
        {"leading empty lines give nothing", {"\n\nabc"}, {"abc"}, 1},
        {"empty lines between and after", {"a\n\n\nb\n\nc\n\n"}, {"a\nb\nc\n"}, 0},
        {"only empty lines: nothing", {"\n\n\n"}, {""}, 0},
        {"a NUL is dropped and the rest kept", {std::string("ab\n\0cd\r\0\n", 9)}, {"ab\ncd\r\n"}, 0},
        {"a line feed that starts a block ends the unfinished line", {"abc", "\ndef\n"}, {"abc", "\ndef\n"}, 0},
        {"... and is a line of its own when it is all", {"abc", "\n"}, {"abc", "\n"}, 0},
        {"... only the first one; the others are empty lines", {"abc", "\n\nx"}, {"abc", "\nx"}, 1},
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

// What reaches term.in from blocks that arrive before two ticks: the first
// tick counts them, the second writes them, a record per line or frame.
struct BlocksCase {
    const char *name;
    int hexMode;
    int frameSplit;
    const char *login;
    std::vector<std::string> blocks;
    std::string termIn;
};

std::ostream &operator<<(std::ostream &out, const BlocksCase &c)
{
    return out << c.name;
}

const BlocksCase kBlocksCases[] = {
    {"CarriageReturnsStayAndAPartialLastLineHasNoNewline", 0, 0, nullptr, {"a\r\nb\r\nxyz"},
     "\na\r\x01\nb\r\x01\nxyz\n"},
    {"TheRestOfALineIsARecordOfItsOwn", 0, 0, nullptr, {"xyz", "!\n"}, "\nxyz\n!\x01\n"},
    {"AnUnfinishedLineAfterAnEmptyOneStaysUnfinished", 0, 0, nullptr, {"x\n\ny", "z\n"}, "\nx\x01\ny\nz\x01\n"},
    {"ANulIsDroppedAndTheRestOfTheBlockKept", 0, 0, nullptr, {std::string("line1\r\nline2\0hidden\r\nline3\r\n", 28), "x\n"},
     "\nline1\r\x01\nline2hidden\r\x01\nline3\r\x01\nx\x01\n"},
    {"LoginInsideTheTextIsNoPrompt", 0, 0, "alice", {"please login: at 10z\n"}, "\nplease login: at 10z\x01\n"},
    {"WithoutLoginTextThePromptIsText", 0, 0, nullptr, {"login: "}, "\nlogin: \n"},
    {"TheLoginPromptMustBeLowercase", 0, 0, "op1", {"LOGIN: "}, "\nLOGIN: \n"},
    {"APromptBlockIsNotQueuedAndLeavesAnUnfinishedLineUnfinished", 0, 0, "op", {"abc", "login:", "\ndef\n"},
     "\nabc\n\x01\ndef\x01\n"},
    {"HexFramesAreCutAtEachEndByte", 1, 1, nullptr,
     {std::string("\xfe\xfe\x00\xe0\x03\xfd\xfe\xfe\x00\xe0\x04\xfd\x07\xfd", 14)}, "\nfefe00e003\nfefe00e004\n07\n"},
    {"HexWithoutSplitQueuesTheWholeBlockAndAnswersNoPrompt", 1, 0, "op1", {std::string("login:\xfd\x00\n", 9)},
     "\n6c6f67696e3afd000a\n"},
};

class ReceivedBlocksTable : public ::testing::TestWithParam<BlocksCase> {
protected:
    TempDir dir;
};

TEST_P(ReceivedBlocksTable, ReachTermInAtTheSecondTick)
{
    const BlocksCase &c = GetParam();
    Terminal::Options o;
    o.hexMode = c.hexMode;
    o.frameSplit = c.frameSplit;
    o.login = c.login;
    o.debugLevel = 0;
    Terminal t(dir, o);
    const size_t mark = t.printed().size();
    for (const std::string &block : c.blocks)
        t.receive(block);
    t.tick();
    EXPECT_EQ("\n", readFile(dir.file("term.in"))) << "written at the first tick";
    t.tick();
    EXPECT_EQ(c.termIn, readFile(dir.file("term.in")));
    EXPECT_EQ("", t.printed().substr(mark)) << "the quiet level shows nothing";
}

INSTANTIATE_TEST_SUITE_P(Blocks, ReceivedBlocksTable, ::testing::ValuesIn(kBlocksCases),
                         [](const ::testing::TestParamInfo<BlocksCase> &i) { return std::string(i.param.name); });

TEST_F(ProgramFileShareRules, EchoesReceivedLinesInTerminalModeAsTheyArrive)
{
    Terminal t(dir, Terminal::Options());
    const size_t mark = t.printed().size();
    t.receive("a\r\nb\r\nxyz");
    EXPECT_EQ("a\r\nb\r\nxyz", t.printed().substr(mark)) << "unchanged, before any tick";
    t.receive("!\n");
    EXPECT_EQ("a\r\nb\r\nxyz!\n", t.printed().substr(mark));
}

TEST_F(ProgramFileShareRules, DumpsEveryBlockAtTheDiagnosticLevels)
{
    struct Case {
        const char *what;
        int hexMode, frameSplit;
        std::string block;
        std::vector<std::string> dumps;
    } const cases[] = {
        {"text shows unprintable bytes as codes", 0, 0, "hi\r\n",
         {"C-IN       [4] : hi<0x0d><0x0a>\n", "F-OUT      [4] : hi<0x0d><0x0a>\n"}},
        {"hex frames show their leading pair", 1, 1, std::string("\xfe\xfe\x00\xe0\x03\xfd\xfe\xfe\x00\xe0\x04\xfd\x07\xfd", 14),
         {"C-IN       [14] : fe<-fe 00e003fdfefe00e004fd07fd (hexcode)\n", "F-OUT      [5] : fe<-fe 00e003 (hexcode)\n",
          "F-OUT      [5] : fe<-fe 00e004 (hexcode)\n", "F-OUT      [1] : 07<-00  (hexcode)\n"}},
        {"a one-byte frame shows 00 as its second byte, nothing beyond", 1, 1, "\x09",
         {"C-IN       [1] : 09<-00  (hexcode)\n", "F-OUT      [1] : 09<-00  (hexcode)\n"}},
        {"hex without split dumps the whole block", 1, 0, "\x01\xfd",
         {"C-IN       [2] : 01fd (hexcode)\n", "F-OUT      [2] : 01fd (hexcode)\n"}},
    };
    for (const Case &c : cases) {
        Terminal::Options o;
        o.hexMode = c.hexMode;
        o.frameSplit = c.frameSplit;
        o.debugLevel = 2;
        Terminal t(dir, o);
        const size_t mark = t.printed().size();
        t.receive(c.block);
        t.tick(2);
        std::string expected;
        for (const std::string &d : c.dumps)
            expected += d;
        EXPECT_EQ(expected, t.printed().substr(mark)) << c.what << ": in this order, and no echo";
    }
}

TEST_F(ProgramFileShareRules, WritesTermInOnlyAtTheFirstTickWithNothingNew)
{
    Terminal::Options o;
    o.debugLevel = 0;
    Terminal t(dir, o);
    t.receive("one\n");
    t.tick();
    EXPECT_EQ("\n", readFile(termIn)) << "the first tick after a block only counts it";
    t.tick();
    EXPECT_EQ("\none\x01\n", readFile(termIn));

    // While the server sends at every tick, nothing is written; then
    // everything is, in the order it arrived.
    std::string all = "\none\x01\n";
    for (int i = 0; i < 4; ++i) {
        t.receive("line " + std::to_string(i) + "\n");
        all += "line " + std::to_string(i) + "\x01\n";
        t.tick();
        EXPECT_EQ("\none\x01\n", readFile(termIn)) << "written while the server was still sending, tick " << i;
    }
    t.tick();
    EXPECT_EQ(all, readFile(termIn));
}

TEST_F(ProgramFileShareRules, OutputHeldForFiveTicksIsWrittenAlthoughTheServerNeverPauses)
{
    Terminal::Options o;
    o.debugLevel = 0;
    Terminal t(dir, o);
    std::string all = "\n";
    for (int i = 1; i <= 5; ++i) {
        t.receive("busy\n");
        all += "busy\x01\n";
        EXPECT_EQ("\n", readFile(termIn)) << "written before tick " << i;
        t.tick();
    }
    EXPECT_EQ(all, readFile(termIn)) << "held for five busy ticks";
}

TEST_F(ProgramFileShareRules, HeldOutputThatReachesTheByteBoundIsWrittenAtOnce)
{
    Terminal::Options o;
    o.maxHeldBytes = 1000;
    o.debugLevel = 0;
    Terminal t(dir, o);
    std::string lines, records = "\n";
    for (int i = 0; i < 20; ++i) {
        char line[101];
        snprintf(line, sizeof line, "%099d", i);
        lines += std::string(line) + "\n";
        records += std::string(line) + "\x01\n";
    }
    t.receive(lines);
    EXPECT_EQ(records, readFile(termIn)) << "written without a tick";
    // Below the bound, output waits for its tick as before.
    t.receive("small\n");
    EXPECT_EQ(records, readFile(termIn));
    t.tick(2);
    EXPECT_EQ(records + "small\x01\n", readFile(termIn));
}

TEST_F(ProgramFileShareRules, ATermInThatCannotTakeTheFlushKeepsItWholeWithinTheBoundAndReportsOnce)
{
    // Numbered lines of 100 bytes, and their term.in records.
    auto lines = [](int from, int count, bool asRecords) {
        std::string text;
        for (int i = from; i < from + count; ++i) {
            char line[101];
            snprintf(line, sizeof line, "%099d", i);
            text += std::string(line) + (asRecords ? "\x01\n" : "\n");
        }
        return text;
    };
    auto run = kit::runCaptured([&] {
        // A file size limit stands for a full disk: a write past it is cut
        // short, the next fails (EFBIG instead of the signal).
        signal(SIGXFSZ, SIG_IGN);
        Terminal::Options o;
        o.debugLevel = 0;
        o.maxHeldBytes = 3000;
        Terminal t(dir, o);
        struct rlimit limit;
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
        struct rlimit full = limit;
        full.rlim_cur = 1000;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &full));
        t.receive(lines(0, 20, false));
        t.tick(2);
        EXPECT_EQ("\n" + lines(0, 9, true), readFile(termIn)) << "the records that fit, none cut";
        // Beyond the bound the oldest held records go.
        t.receive(lines(20, 20, false));
        t.tick(3);
        EXPECT_EQ("\n" + lines(0, 9, true), readFile(termIn)) << "tried again at each tick";
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
        t.tick();
        EXPECT_EQ("\n" + lines(0, 9, true) + lines(11, 29, true), readFile(termIn)) << "the held output follows";
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(1, kit::countOf(run.err, "Can't write " + termIn + " (File too large): 11 records (1111 bytes) held"))
        << run.err;
    EXPECT_EQ(1, kit::countOf(run.err, termIn + " written again: 29 held records written, 2 dropped")) << run.err;
}

TEST_F(ProgramFileShareRules, QueuedOutputIsWrittenWhenTheProgramEndsBeforeAQuietTick)
{
    Terminal t(dir, Terminal::Options());
    t.receive("pending\n");
    t.tick();
    t.end();
    EXPECT_EQ("\npending\x01\n", readFile(termIn));
    EXPECT_EQ("The application ended\n", t.printed().substr(t.printed().size() - 22));
}

TEST_F(ProgramFileShareRules, ANewConnectionStartsItsTextOnALineOfItsOwn)
{
    Terminal t(dir, Terminal::Options());
    const size_t mark = t.printed().size();
    t.receive("abc");
    t.event(EVENT_DISCONNECTED);
    t.event(EVENT_CONNECT_FAILED);
    t.event(EVENT_CONNECTED);
    t.receive("\nxyz\n");
    t.tick(2);
    EXPECT_EQ("\nabc\nxyz\x01\n", readFile(termIn))
        << "the first line feed is an empty line, not the end of the old connection's line";
    EXPECT_EQ("abcDisconnected from server\nConnected to server\nxyz\n", t.printed().substr(mark))
        << "a failed attempt prints nothing";
}

TEST_F(ProgramFileShareRules, AnswersEveryLoginPromptAndNeitherEchoesNorQueuesIt)
{
    Terminal::Options o;
    o.login = "op1";
    Terminal t(dir, o);
    const size_t mark = t.printed().size();
    t.receive("Welcome\r\nlogin: ");
    t.receive("bad password\r\nlogin:");
    t.receive("ok\n");
    t.tick(2);
    EXPECT_EQ("Doing automatic login with text <op1>\nDoing automatic login with text <op1>\nok\n",
              t.printed().substr(mark));
    EXPECT_EQ("\nok\x01\n", readFile(termIn));
}

TEST_F(ProgramFileShareRules, CountsTheTicksOfAWaitingRetry)
{
    for (int level : {1, 0}) {
        Terminal::Options o;
        o.port = "no-such-quorvane-service";
        o.debugLevel = level;
        Terminal t(dir, o);
        const size_t mark = t.printed().size();
        t.tick(20);
        const std::string shown = t.printed().substr(mark);
        if (level == 0) {
            EXPECT_EQ("", shown) << "the quiet level prints no status lines";
        } else {
            EXPECT_EQ("Retry to connect the server (10 sec)\nRetry to connect the server (20 sec)\n", shown);
        }
    }
}

TEST_F(ProgramFileShareRules, PrintsItsStartUpLinesByLevel)
{
    struct Case {
        int level;
        std::string lines;
    } const cases[] = {
        {0, "The application is running......\n"},
        {1, "The application is running......\n--End with exit or bye command--\n"},
        {2, "ProgramFileShare : with debug\nProgramFileShare : pending connecting 127.0.0.1:PORT\n"
            "fileshare using asciimode\nThe application is running......\n"},
    };
    for (const Case &c : cases) {
        Terminal::Options o;
        o.debugLevel = c.level;
        Terminal t(dir, o);
        std::string expected = c.lines;
        const size_t at = expected.find("PORT");
        if (at != std::string::npos)
            expected.replace(at, 4, t.server.portText());
        EXPECT_EQ(expected, t.printed()) << "level " << c.level;
    }
}

TEST_F(ProgramFileShareRules, DebugAtADiagnosticLevelEndsTheDumps)
{
    Terminal::Options o;
    o.debugLevel = 2;
    Terminal t(dir, o);
    const size_t mark = t.printed().size();
    t.type("debug\n");
    t.receive("quiet\n");
    t.tick(2);
    EXPECT_EQ("Debug is OFF\n", t.printed().substr(mark)) << "no dumps and no echo at level 0";
    EXPECT_EQ("\nquiet\x01\n", readFile(termIn));
}

TEST_F(ProgramFileShareRules, TakesOnlyTheEventsOfItsOwnChildren)
{
    Terminal t(dir, Terminal::Options());
    CsApplication stranger;
    CsEventMsg msg("x\n", 2);
    EXPECT_EQ(-1, t.object->callback(&stranger, &msg));
    EXPECT_EQ(-1, t.object->callback(nullptr, &msg));
    EXPECT_EQ(0, t.object->callback(t.object->getClient(), nullptr));
    EXPECT_EQ(0, t.object->callback(t.object->getConsole(), nullptr));
    EXPECT_EQ("\n", readFile(termIn));
}

// ---------------------------------------------------------------- roads

struct RunOptions {
    bool withServer = true;
    const char *login = nullptr;
    int hexMode = 0;
    int frameSplit = 0;
    int drainMs = ProgramFileShare::kDrainMs;
    int tickMs = 50;
    int debugLevel = 1;
    int consoleInput = 1;
    int consolePipeBytes = 0; // a smaller console pipe, when not 0
    bool nonBlockingConsole = false;
    bool drainLater = false; // nobody reads the console until startDraining()
};

// The terminal object running its main loop in a child, its console on
// pipes of the test, against the test's loopback server.
class ProgramFileShareRoads : public ::testing::Test {
protected:
    TempDir dir;
    kit::Listener server;
    int peer = -1; // the object's connection, as the server sees it
    std::string termIn = dir.file("term.in");
    std::string termOut = dir.file("term.out");

    // Starts the object and waits until the server has its connection and,
    // when the console is read, the object has said it runs.
    std::unique_ptr<kit::Child> start(const RunOptions &o)
    {
        const std::string port = server.portText(), out = termOut, in = termIn;
        kit::ChildOptions co;
        co.drainLater = o.drainLater;
        auto p = std::make_unique<kit::Child>([=] {
            if (o.consolePipeBytes > 0)
                fcntl(1, F_SETPIPE_SZ, o.consolePipeBytes);
            if (o.nonBlockingConsole)
                fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
            // The console as the program has it.
            auto console = std::make_unique<CsStdOut>(nullptr);
            auto *object = new ProgramFileShare(o.withServer ? "127.0.0.1" : nullptr,
                                                o.withServer ? port.c_str() : nullptr, out.c_str(), in.c_str(),
                                                o.login, o.hexMode, o.tickMs, o.frameSplit, o.debugLevel,
                                                o.consoleInput, 1, ProgramFileShare::kMaxHeldBytes,
                                                ProgramFileShare::kBacklogBytes, o.drainMs);
            EXPECT_EQ(0, CsApplication::run());
            delete object;
        }, co);
        EXPECT_TRUE(p->started());
        if (o.withServer) {
            EXPECT_GE(peer = server.accept(5000), 0) << "the object connects at start";
        }
        if (!o.drainLater) {
            if (o.withServer && o.debugLevel != 0) {
                EXPECT_TRUE(p->waitFor("Connected to server\n", 5000)) << p->output();
            }
            // Start-up done: term.in was reset and the console watch is set.
            EXPECT_TRUE(p->waitFor("The application is running......\n", 5000)) << p->output();
        }
        return p;
    }

    void stop(kit::Child &p)
    {
        p.write("exit\n");
        EXPECT_EQ(0, p.waitExit(5000)) << p.output();
        EXPECT_TRUE(p.waitFor("The application ended\n", 1000)) << p.output();
    }
};

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

TEST_F(ProgramFileShareRoads, TerminalModeSendsLinesAndEndsOnByeAfterSendingIt)
{
    auto p = start(RunOptions());
    EXPECT_NE(std::string::npos, p->output().find("--End with exit or bye command--\n"));
    p->write("ls\n");
    EXPECT_EQ("ls\n", kit::readExactly(peer, 3, 3000));
    p->write("debug\n");
    EXPECT_EQ("debug\n", kit::readExactly(peer, 6, 3000)) << "no command in terminal mode";
    p->write("bye\n");
    EXPECT_EQ("bye\n", kit::readExactly(peer, 4, 3000));
    EXPECT_EQ(0, p->waitExit(5000));
    EXPECT_TRUE(p->waitFor("The application ended\n", 1000));
    EXPECT_TRUE(kit::peerEnded(peer, 3000)) << "the connection is closed at the end";
}

TEST_F(ProgramFileShareRoads, TerminalModeEndsOnExitInsideAWordWithoutSendingIt)
{
    auto p = start(RunOptions());
    p->write("please exitnow\n");
    EXPECT_EQ(0, p->waitExit(5000));
    std::string sent;
    EXPECT_TRUE(kit::peerEnded(peer, 3000, &sent));
    EXPECT_EQ("", sent) << "exit is never sent";
}

TEST_F(ProgramFileShareRoads, QuietLevelTakesLinesAsCommandsUntilDebugTurnsTerminalModeOn)
{
    RunOptions o;
    o.debugLevel = 0;
    auto p = start(o);
    const size_t mark = p->output().size();
    p->write("what\n");
    ASSERT_TRUE(p->waitFor(kHelp, 3000, mark));
    p->write("debug\n");
    ASSERT_TRUE(p->waitFor("Debug is ON\n", 3000, mark));
    p->write("now sent\n");
    EXPECT_EQ("now sent\n", kit::readExactly(peer, 9, 3000)) << "the command lines before were not";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, CutsReceivedBlocksIntoLinesKeepingCarriageReturns)
{
    auto p = start(RunOptions());
    size_t mark = p->output().size();
    ASSERT_TRUE(kit::sendAll(peer, "a\r\nb\r\nxyz"));
    ASSERT_TRUE(p->waitFor("xyz", 3000, mark)) << p->output();
    EXPECT_EQ("a\r\nb\r\nxyz", p->output().substr(mark)) << "echoed line by line, unchanged";
    const std::string expected = "\na\r\x01\nb\r\x01\nxyz\n";
    EXPECT_EQ(expected, waitForFile(termIn, expected, 3000)) << "the partial last line is queued without a newline";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, AnswersEveryLoginPromptOnTheConnection)
{
    RunOptions o;
    o.login = "op1";
    auto p = start(o);
    ASSERT_TRUE(kit::sendAll(peer, "Welcome\r\nlogin: "));
    EXPECT_EQ("op1\r\n", kit::readExactly(peer, 5, 3000));
    ASSERT_TRUE(kit::sendAll(peer, "bad password\r\nlogin:"));
    EXPECT_EQ("op1\r\n", kit::readExactly(peer, 5, 3000)) << "not only the first prompt";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, SendsALoginTextLongerThanOneBufferWhole)
{
    static const std::string longLogin(9000, 'q');
    RunOptions o;
    o.login = longLogin.c_str();
    o.debugLevel = 0;
    auto p = start(o);
    ASSERT_TRUE(kit::sendAll(peer, "login:"));
    EXPECT_EQ(longLogin + "\r\n", kit::readExactly(peer, 9002, 5000));
    stop(*p);
}

TEST_F(ProgramFileShareRoads, SendsEveryNewTermOutRecordInOneTick)
{
    writeFile(termOut, "before start\n");
    RunOptions o;
    o.tickMs = 400;
    auto p = start(o);
    std::string records, bytes;
    for (int i = 0; i < 5; ++i) {
        records += "rec" + std::to_string(i) + "\x01\n";
        bytes += "rec" + std::to_string(i) + "\n";
    }
    const size_t mark = p->output().size();
    appendFile(termOut, records);
    const std::string first = kit::readExactly(peer, 1, 3000);
    ASSERT_EQ("r", first);
    // All five within a fraction of a tick of the first byte.
    EXPECT_EQ(bytes, first + kit::readExactly(peer, bytes.size() - 1, 250));
    EXPECT_EQ("", kit::readFor(peer, 600)) << "the record present at start is never sent";
    EXPECT_EQ(bytes, p->output().substr(mark)) << "shown as sent, without an added newline";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, DumpsEachTermOutPieceItSends)
{
    struct Case {
        int hexMode, frameSplit;
        std::string records, sent, dumps;
    } const cases[] = {
        // A long record goes in pieces; an empty one is taken, sends
        // nothing and holds nothing up.
        {0, 0, std::string(300, 'L') + "\n\nnext\n", std::string(300, 'L') + "next",
         "F-IN       [255] : " + std::string(255, 'L') + "\nF-IN       [45] : " + std::string(45, 'L') +
             "\nF-IN       [4] : next\n"},
        {1, 1, "FEfe00e005fd\n", "\xfe\xfe\x00\xe0\x05\xfd", "F-IN       [6] : fe<-fe 00e005fd (hexcode)\n"},
    };
    for (const Case &c : cases) {
        RunOptions o;
        o.debugLevel = 2;
        o.hexMode = c.hexMode;
        o.frameSplit = c.frameSplit;
        auto p = start(o);
        const size_t mark = p->output().size();
        appendFile(termOut, c.records);
        EXPECT_EQ(c.sent, kit::readExactly(peer, c.sent.size(), 3000));
        EXPECT_TRUE(p->waitFor(c.dumps, 3000, mark));
        EXPECT_EQ(c.dumps, p->output().substr(mark));
        stop(*p);
        server.drop(peer);
    }
}

TEST_F(ProgramFileShareRoads, ReportsALostServerAndReconnectsAfterTheDelay)
{
    auto p = start(RunOptions());
    const size_t mark = p->output().size();
    server.drop(peer);
    ASSERT_TRUE(p->waitFor("Disconnected from server\n", 3000, mark));
    p->write("dropped\n");
    // A record appended meanwhile waits in term.out for the connection.
    appendFile(termOut, "kept\x01\n");
    usleep(100000);
    const long long lost = nowMs();
    ASSERT_GE(peer = server.accept(5000), 0) << "a new attempt after the reconnect delay";
    EXPECT_GT(nowMs() - lost, 500);
    ASSERT_TRUE(p->waitFor("Connected to server\n", 3000, mark));
    p->write("again\n");
    EXPECT_EQ("kept\nagain\n", kit::readExactly(peer, 11, 3000)) << "the line typed while down was dropped";
    EXPECT_TRUE(p->waitFor("Connected to server\nkept\n", 3000, mark)) << "shown once, when it was sent";
    EXPECT_EQ(1, kit::countOf(p->output().substr(mark), "kept"));
    stop(*p);
}

TEST_F(ProgramFileShareRoads, AConsoleThatTakesLittleAtATimeLosesNothingBelowItsBound)
{
    // A console pipe of one page, left non-blocking by someone else: the
    // text waits for it in order.
    RunOptions o;
    o.consolePipeBytes = 4096;
    o.nonBlockingConsole = true;
    o.drainLater = true;
    auto p = start(o);
    std::string stream;
    for (int i = 0; stream.size() < 200000; ++i)
        stream += "line " + std::to_string(i) + " of a console that nobody reads for a while\n";
    ASSERT_TRUE(kit::sendAll(peer, stream));
    usleep(300000); // the console stays full meanwhile
    p->startDraining();
    const std::string last = stream.substr(stream.rfind("line "));
    ASSERT_TRUE(p->waitFor(last, 5000)) << p->outputSize();
    const std::string shown = p->output();
    EXPECT_TRUE(shown.substr(shown.find("line 0 ")) == stream) << "shown " << shown.size() << " for " << stream.size();
    stop(*p);
}

TEST_F(ProgramFileShareRoads, TextEndingOnAWholeReadIsShownAsSoonAsTheServerPauses)
{
    // Each read fills the buffer, so nothing in the blocks themselves says
    // that the server has stopped; the console must not wait for the tick.
    RunOptions o;
    o.tickMs = 3000;
    auto p = start(o);
    const size_t mark = p->output().size();
    const std::string text = wholeReads(3);
    const long long sent = nowMs();
    ASSERT_TRUE(kit::sendAll(peer, text));
    ASSERT_TRUE(kit::waitUntil([&] { return p->outputSize() >= mark + text.size(); }, 2500)) << p->outputSize();
    EXPECT_LT(nowMs() - sent, 1500) << "shown only with the tick";
    EXPECT_TRUE(p->output().substr(mark) == text);
    stop(*p);
}

TEST_F(ProgramFileShareRoads, AStreamIsShownWholeAndInOrderBeforeTheStatusLineOfItsEnd)
{
    auto p = start(RunOptions());
    size_t mark = p->output().size();
    const std::string stream = wholeReads(40) + "a line of its own\n";
    ASSERT_TRUE(kit::sendAll(peer, stream));
    ASSERT_TRUE(p->waitFor("a line of its own\n", 5000, mark)) << p->outputSize() - mark;
    EXPECT_TRUE(p->output().substr(mark) == stream) << p->outputSize() - mark;

    // The last text ends on a whole read and the server goes at once: the
    // object finds both waiting.
    mark = p->output().size();
    const std::string last = wholeReads(3);
    p->signal(SIGSTOP);
    ASSERT_TRUE(kit::sendAll(peer, last));
    server.drop(peer);
    usleep(50000);
    p->signal(SIGCONT);
    ASSERT_TRUE(p->waitFor("Disconnected from server\n", 5000, mark)) << p->outputSize() - mark;
    EXPECT_TRUE(p->output().substr(mark) == last + "Disconnected from server\n")
        << "shown " << p->outputSize() - mark << " of " << last.size() + 25 << " bytes";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, ServerTextComesBeforeWhatTheProgramPrintsNext)
{
    RunOptions o;
    o.tickMs = 3000;
    o.login = "op";
    auto p = start(o);
    const size_t mark = p->output().size();
    const std::string text = wholeReads(2);
    // One send: the prompt comes in the read after the two whole ones.
    ASSERT_TRUE(kit::sendAll(peer, text + "login:"));
    ASSERT_TRUE(p->waitFor("Doing automatic login with text <op>\n", 2500, mark));
    EXPECT_TRUE(p->output().substr(mark) == text + "Doing automatic login with text <op>\n")
        << p->outputSize() - mark;
    stop(*p);
}

TEST_F(ProgramFileShareRoads, FifosInPlaceOfTheSharedFilesAreReportedOnceAndTheFilesUsedOnceTheyAreFiles)
{
    ASSERT_EQ(0, mkfifo(termOut.c_str(), 0600));
    ASSERT_EQ(0, mkfifo(termIn.c_str(), 0600));
    auto p = start(RunOptions());
    ASSERT_TRUE(kit::sendAll(peer, "held\n"));
    ASSERT_TRUE(p->waitFor("held\n", 3000));
    p->write("typed\n");
    EXPECT_EQ("typed\n", kit::readExactly(peer, 6, 3000)) << "the console and the connection are served";
    usleep(300000);
    EXPECT_EQ(1, kit::countOf(p->output(), termOut + " is a FIFO, not a regular file")) << p->output();
    EXPECT_EQ(1, kit::countOf(p->output(), "Can't write " + termIn + " (is a FIFO, not a regular file)")) << p->output();

    ASSERT_EQ(0, unlink(termOut.c_str()));
    ASSERT_EQ(0, unlink(termIn.c_str()));
    appendFile(termOut, "from operator\x01\n");
    EXPECT_EQ("from operator\n", kit::readExactly(peer, 14, 3000));
    EXPECT_EQ("held\x01\n", waitForFile(termIn, "held\x01\n", 3000)) << "the held output follows";
    stop(*p);
}

TEST_F(ProgramFileShareRoads, KeepsServingTheFilesWithoutConsoleInput)
{
    RunOptions o;
    o.consoleInput = 0;
    auto p = start(o);
    EXPECT_EQ(std::string::npos, p->output().find("--End with exit or bye command--"));
    appendFile(termOut, "from operator\n");
    EXPECT_EQ("from operator", kit::readExactly(peer, 13, 3000));
    ASSERT_TRUE(kit::sendAll(peer, "to operator\n"));
    EXPECT_EQ("\nto operator\x01\n", waitForFile(termIn, "\nto operator\x01\n", 3000));
}

TEST_F(ProgramFileShareRoads, KeepsServingTheFilesAfterTheConsoleCloses)
{
    auto p = start(RunOptions());
    p->closeInput();
    usleep(200000);
    appendFile(termOut, "still here\n");
    EXPECT_EQ("still here", kit::readExactly(peer, 10, 3000));
    ASSERT_TRUE(kit::sendAll(peer, "reply\n"));
    EXPECT_EQ("\nreply\x01\n", waitForFile(termIn, "\nreply\x01\n", 3000));
    EXPECT_EQ(-1, p->waitExit(100)) << "end of console input does not end the program";
}

} // namespace
