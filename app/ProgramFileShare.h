// ProgramFileShare: the terminal program's one application object.
//
// It owns the server connection, a periodic tick, the console reader and the
// shared files, and moves bytes along three roads:
//   console -> server      lines typed in terminal mode, unless they end the
//                          program;
//   server -> console and  received text cut into lines, echoed in terminal
//             term.in      mode as each block arrives, held as term.in
//                          records, and appended once the server has been
//                          quiet for one tick (or after five busy ticks, or
//                          when the held records reach the byte bound);
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

#include <cstddef>
#include <string>

#include "CsApplication.h"
#include "CsEventMsg.h"

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
    // takes is kept for the next output.
    ProgramFileShare(const char* host, const char* port, const char* outFile, const char* inFile,
                     const char* login, int hexMode, int tickMs = 1000, int frameSplit = 0,
                     int debugLevel = 1, int consoleInput = 1, int reconnectSeconds = 10,
                     size_t maxHeldBytes = kMaxHeldBytes);
    ~ProgramFileShare() override;

    int callback(CsApplication* sender, const CsEventMsg* msg) override;

    // Prints one block of bytes: "%-10.10s [%d] : " with tag and length, then
    // the bytes (hex digits in hex mode, else the printable characters and
    // <0x..> for the others).
    void dump(const char* tag, const char* data, int length) const;

    int getDebugLevel() const { return debugLevel; }
    size_t pendingCount() const { return pendingMessages; }
    // The children whose events callback tells apart by sender.
    CsClient* getClient() const { return serverClient; }
    CsTimer* getTimer() const { return tickTimer; }
    CsStdIn* getConsole() const { return console; }

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
    // result cut after each line feed gives the lines again. The text ends at
    // its first NUL; empty lines are skipped. unfinished: whether the
    // previous block ended inside a line; updated when the block has lines.
    static std::string cutLines(const char* text, int length, int& unfinished);

    // A server that keeps the socket readable in every pass fires no tick,
    // so only a byte bound keeps its held output from growing without limit.
    // Ordinary output (a screenful, a listing) still waits for its quiet
    // tick, and the room stays small enough to be kept between flushes.
    static constexpr size_t kMaxHeldBytes = 256u << 10;

private:
    void onTick();
    void onClientEvent(const CsEventMsg* msg);
    void onConsoleLine(const char* text, int length);
    int tryAutoLogin(const char* text);
    void queueLines(const char* text, int length);
    void queueFrames(const char* data, int length);
    void queueMessage(const char* data, size_t length);
    void flushPending();
    int send(const char* data, int length);

    std::string pendingOutput;  // server output waiting for term.in: its records, oldest first
    size_t pendingMessages;     // messages in pendingOutput
    size_t maxHeldBytes;        // pendingOutput is written out once it holds this much
    CsClient* serverClient;   // owned; null without host or port
    CsTimer* tickTimer;       // owned
    CsStdIn* console;         // owned; null when console input is off
    FileShare* files;         // owned
    char* loginText;          // owned copy; null when no automatic login
    int debugLevel;           // 0 quiet, 1 terminal mode, 2+ diagnostic
    int frameSplit;           // hex mode: cut received bytes at each 0xFD
    int hexMode;              // records and dumps are hexadecimal
    int retryTicks;           // consecutive ticks with an idle client
    int partialLine;          // the last block of text ended inside a line
    int heldTicks;            // ticks the queue has waited for a quiet one

    // A server that never pauses for a whole tick would otherwise keep its
    // output from term.in, and in memory, for as long as it talks.
    static constexpr int kMaxHeldTicks = 5;

    // Queued messages seen at the previous tick: the queue is written out at
    // the first tick that finds this count unchanged. Class-wide, as the
    // program has one terminal object.
    static unsigned int lastPendingCount;
};

#endif
