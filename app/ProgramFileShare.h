// ProgramFileShare: the terminal program's one application object.
//
// It owns the server connection, a periodic tick, the console reader and the
// shared files, and moves bytes along three roads:
//   console -> server      lines typed in terminal mode, unless they end the
//                          program;
//   server -> console and  received text cut into lines, echoed in terminal
//             term.in      mode as each block arrives, and held for term.in
//                          (HeldOutput says when it is written);
//   term.out -> server     records the operator program appended, noticed
//                          at each tick and sent while the connection takes
//                          them.
// term.out is the buffer of its road: a record leaves it (the read position
// moves past it) only once the connection has taken it. Nothing is read
// while there is no connection, nor while the connection holds more than
// backlogBytes that the server has not taken; and no pass of the loop
// spends more than a slice of a few milliseconds on it, so that a long
// term.out goes out across passes while server text is served between them.
// A stop ("exit", "bye", or a signal through drainAndStop) gives the output
// queued for the server up to drainMs to go out while the server takes it
// (a server that takes nothing for half a second is not waited
// for), then reports in one line what could not go.
// It also answers the server's "login:" prompt and prints connection changes
// and, at the diagnostic levels, dumps of every block.
//
// Debug levels: 0 quiet (console lines are commands), 1 interactive terminal
// (console lines go to the server, server text is shown), 2 and more
// diagnostic (commands, status lines, dumps; 3 and more also the client's own
// progress lines).
#ifndef QUORVANE_APP_PROGRAM_FILE_SHARE_H
#define QUORVANE_APP_PROGRAM_FILE_SHARE_H

#include <cstddef>
#include <string>

#include "CsApplication.h"
#include "CsEventMsg.h"
#include "HeldOutput.h"

class CsClient;
class CsStdIn;
class CsTimer;
class FileShare;

class ProgramFileShare : public CsApplication {
public:
    // host, port: the server; without either there is no connection (the
    // object still reads the console and the files and answers commands).
    // outFile: term.out, read; inFile: term.in, written. login: text sent at
    // each "login:" prompt, null for none. tickMs: the tick period;
    // frameSplit: in hex mode, cut received bytes into frames at each 0xFD;
    // consoleInput: read commands and lines from descriptor 0;
    // reconnectSeconds: wait before a new attempt after a failure or a loss.
    // maxHeldBytes: server output held for term.in (as its records) that is
    // written out at once, without waiting for a quiet tick; the memory it
    // takes is kept for the next output. backlogBytes: output queued on the
    // connection above which no term.out record is read. drainMs: the
    // longest a stop waits for queued output to go out.
    ProgramFileShare(const char* host, const char* port, const char* outFile, const char* inFile,
                     const char* login, int hexMode, int tickMs = 1000, int frameSplit = 0,
                     int debugLevel = 1, int consoleInput = 1, int reconnectSeconds = 10,
                     size_t maxHeldBytes = kMaxHeldBytes, size_t backlogBytes = kBacklogBytes,
                     int drainMs = kDrainMs);
    ~ProgramFileShare() override;

    int callback(CsApplication* sender, const CsEventMsg* msg) override;

    // Ends the program once the output queued for the server has gone, or
    // after drainMs, or once the server has taken nothing for half a
    // second; what could not go is reported in one console line. A
    // second request while it waits stops at once.
    void drainAndStop();

    // Prints one block of bytes: "%-10.10s [%d] : " with tag and length, then
    // the bytes (hex digits in hex mode, else the printable characters and
    // <0x..> for the others).
    void dump(const char* tag, const char* data, int length) const;

    int getDebugLevel() const { return debugLevel; }
    size_t pendingCount() const { return held.count(); }
    bool stopping() const { return stopRequested; }
    // The children whose events callback tells apart by sender.
    CsClient* getClient() const { return serverClient; }
    CsTimer* getTimer() const { return tickTimer; }
    CsStdIn* getConsole() const { return console; }
    FileShare* getFiles() const { return files; }

    // What a console line asks for. Every test is a case-sensitive search
    // for a word anywhere in the line, in the order of the rules: in terminal
    // mode (level 1) "exit" stops, "bye" is sent and then stops, anything else
    // is sent; at every other level "exit" stops, "debug" toggles between
    // levels 0 and 1, "file" and "client" do nothing, and anything else asks
    // for the help lines.
    enum ConsoleAction { kSend, kSendAndStop, kStop, kToggleDebug, kIgnore, kHelp };
    static ConsoleAction consoleAction(const char* text, int debugLevel);

    // The lines of one block of received text back to back, as the console
    // shows them: every line but the last ends with its line feed, so the
    // result cut after each line feed gives the lines again; a last piece
    // without a line feed stays unfinished. NUL bytes are dropped and the
    // rest kept; empty lines are skipped. unfinished: whether the previous
    // block ended inside a line; updated when the block has lines.
    static std::string cutLines(const char* text, int length, int& unfinished);
    // Whether a block is a login prompt: it ends with "login:", blanks (and
    // NUL bytes) after it aside. A prompt waits for its answer, so it ends
    // the block that carries it; the word inside text is no prompt.
    static bool isLoginPrompt(const char* text, int length);

    // A server that keeps the socket readable in every pass fires no tick,
    // so only a byte bound keeps its held output from growing without limit.
    // Ordinary output (a screenful, a listing) still waits for its quiet
    // tick, and the room stays small enough to be kept between flushes.
    static constexpr size_t kMaxHeldBytes = 256u << 10;
    // Room for a server that reads slowly to keep up at its own pace, and a
    // bound on what a server that does not read costs in memory: the
    // records beyond it wait in term.out.
    static constexpr size_t kBacklogBytes = 256u << 10;
    // Enough for a server that reads to take what is queued; short enough
    // for an operator or a service manager waiting for the end.
    static constexpr int kDrainMs = 2000;

private:
    // The tick's three steps.
    void sendTermOut();
    void writeHeldOutput();
    void countIdleTicks();

    void feedServer();
    void keepFeeding(int periodMs);
    void stopFeeding();
    void onDrainTick();
    void endStop();
    bool connected() const;
    void onClientEvent(const CsEventMsg* msg);
    void onConsoleLine(const char* text, int length);
    int tryAutoLogin(const char* text, int length);
    void queueLines(const char* text, int length);
    void queueFrames(const char* data, int length);
    int send(const char* data, int length);

    HeldOutput held;          // server output waiting for term.in
    size_t backlogBytes;      // queued output above which term.out waits
    int drainMs;              // longest wait of a stop for queued output
    CsClient* serverClient;   // owned; null without host or port
    CsTimer* tickTimer;       // owned
    CsTimer* feedTimer;       // owned; runs while term.out records wait to be sent
    CsTimer* drainTimer;      // owned; runs while a stop waits for queued output
    CsStdIn* console;         // owned; null when console input is off
    FileShare* files;         // owned
    char* loginText;          // owned copy; null when no automatic login
    int debugLevel;           // 0 quiet, 1 terminal mode, 2+ diagnostic
    int frameSplit;           // hex mode: cut received bytes at each 0xFD
    int hexMode;              // records and dumps are hexadecimal
    int retryTicks;           // consecutive ticks with an idle client
    int partialLine;          // the last block of text ended inside a line
    bool stopRequested;       // a stop waits for queued output
    long long drainEnd;       // when that wait ends (monotonic ms)
    long drainQueued;         // queued bytes when the wait last saw them change
    long long drainMovedAt;   // when that was (monotonic ms)
};

#endif
