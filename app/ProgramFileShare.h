// ProgramFileShare: the terminal program's one application object.
//
// It owns the server connection, a periodic tick, the console reader and the
// shared files, and moves bytes along three roads:
//   console -> server      lines typed in terminal mode, unless they end the
//                          program;
//   server -> console and  received text cut into lines, echoed in terminal
//             term.in      mode, queued, and appended to term.in once the
//                          server has been quiet for one tick;
//   term.out -> server     records the operator program appended, read and
//                          sent on every tick.
// It also answers the server's "login:" prompt and prints connection changes
// and, at the diagnostic levels, dumps of every block.
//
// Debug levels: 0 quiet (console lines are commands), 1 interactive terminal
// (console lines go to the server, server text is shown), 2 and more
// diagnostic (commands, status lines, dumps; 3 and more also the client's own
// progress lines).
#ifndef QUORVANE_APP_PROGRAM_FILE_SHARE_H
#define QUORVANE_APP_PROGRAM_FILE_SHARE_H

#include "CsApplication.h"
#include "CsEventMsg.h"
#include "OutputQueue.h"

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
    ProgramFileShare(const char* host, const char* port, const char* outFile, const char* inFile,
                     const char* login, int hexMode, int tickMs = 1000, int frameSplit = 0,
                     int debugLevel = 1, int consoleInput = 1, int reconnectSeconds = 10);
    ~ProgramFileShare() override;

    int callback(CsApplication* sender, const CsEventMsg* msg) override;

    // Prints one block of bytes: "%-10.10s [%d] : " with tag and length, then
    // the bytes (hex digits in hex mode, else the printable characters and
    // <0x..> for the others).
    void dump(const char* tag, const char* data, int length) const;

    int getDebugLevel() const { return debugLevel; }
    size_t pendingCount() const { return pendingOutput.count(); }

private:
    void onTick();
    void onClientEvent(const CsEventMsg* msg);
    void onConsoleLine(const char* text, int length);
    int tryAutoLogin(const char* text);
    void queueLines(const char* text, int length);
    void queueFrames(const char* data, int length);
    void showText(const char* at, size_t length);
    void showPendingText();
    void flushPending();
    int send(const char* data, int length);

    OutputQueue pendingOutput;  // server output waiting for term.in, oldest first
    CsClient* serverClient;   // owned; null without host or port
    CsTimer* tickTimer;       // owned
    CsStdIn* console;         // owned; null when console input is off
    FileShare* files;         // owned
    char* loginText;          // owned copy; null when no automatic login
    CsTimer* showTimer;       // one firing at the loop's next idle pass; deletes itself
    const char* consoleStart; // server text in pendingOutput not yet shown
    size_t consoleLength;     // its bytes
    int debugLevel;           // 0 quiet, 1 terminal mode, 2+ diagnostic
    int frameSplit;           // hex mode: cut received bytes at each 0xFD
    int hexMode;              // records and dumps are hexadecimal
    int retryTicks;           // consecutive ticks with an idle client
    int partialLine;          // the last block of text ended inside a line
    int heldTicks;            // ticks the queue has waited for a quiet one

    // A server that never pauses for a whole tick would otherwise keep its
    // output from term.in, and in memory, for as long as it talks.
    static constexpr int kMaxHeldTicks = 5;

    // Server text shown in one console write while the server keeps
    // sending: a fast stream costs a write per few blocks, not one per
    // block, and each write still fits in a pipe before its reader wakes.
    static constexpr size_t kConsoleBatch = 32 * 1024;

    // Queued messages seen at the previous tick: the queue is written out at
    // the first tick that finds this count unchanged. Class-wide, as the
    // program has one terminal object.
    static unsigned int lastPendingCount;
};

#endif
