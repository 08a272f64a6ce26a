#include "ProgramFileShare.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>
#include <unistd.h>

#include "CsClient.h"
#include "connection.h"
#include "CsStdIn.h"
#include "CsTimer.h"
#include "FileShare.h"
#include "FrameSplitter.h"

namespace {

const int kFrameBufferSize = 256;   // longest frame taken in one piece

// The children's settings, named where they are made.
const int kNoDelay = 1;             // the server sees each line at once
const int kSkipExisting = 1;        // records in term.out before the start are never sent
const int kResetOutput = 1;         // term.in starts with one empty record
const int kEndless = 0;             // a timer that runs until it is destroyed
const int kKeepNewline = 1;         // console lines go to the server as typed
const int kConsoleLineBytes = 255;
const int kQuietWatch = 0;

// The longest a pass of the loop spends on term.out: server text waits no
// longer than this behind a long term.out.
const long long kFeedSliceMs = 2;
// How often a backlog above the bound is looked at: the library drains it
// between the looks whenever the socket takes more.
const int kBacklogPollMs = 5;
// How often a stop looks whether the queued output has gone.
const int kDrainPollMs = 10;
// How long a stop waits for a server that takes none of the queued output.
const int kDrainStallMs = 500;

long long monotonicMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Writes the bytes to standard output unformatted, behind whatever formatted
// output is still buffered, so that the console shows everything in the
// order it was produced; the flush shows a line without its end (a prompt)
// now. The program's standard output never waits for the console (CsStdOut).
void writeConsole(const char* data, size_t length)
{
    fwrite(data, 1, length, stdout);
    fflush(stdout);
}

}  // namespace

ProgramFileShare::ProgramFileShare(const char* host, const char* port, const char* outFile,
                                   const char* inFile, const char* login, int hexMode_, int tickMs,
                                   int frameSplit_, int debugLevel_, int consoleInput,
                                   int reconnectSeconds, size_t maxHeldBytes, size_t backlogBytes_,
                                   int drainMs_)
    : CsApplication(),
      held(maxHeldBytes),
      backlogBytes(backlogBytes_),
      drainMs(drainMs_),
      serverClient(nullptr),
      tickTimer(nullptr),
      feedTimer(nullptr),
      drainTimer(nullptr),
      console(nullptr),
      files(nullptr),
      loginText(nullptr),
      debugLevel(debugLevel_),
      frameSplit(frameSplit_),
      hexMode(hexMode_),
      retryTicks(0),
      partialLine(0),
      stopRequested(false),
      drainEnd(0),
      drainQueued(0),
      drainMovedAt(0)
{
    int clientVerbose = debugLevel > 2 ? debugLevel - 2 : 0;
    if (debugLevel > 1)
        printf("ProgramFileShare : with debug\n");

    if (host != nullptr && port != nullptr) {
        serverClient = new CsClient(this, host, port, clientVerbose, reconnectSeconds, kNoDelay);
        if (debugLevel > 1) {
            switch (serverClient->state()) {
            case CsClient::STATE_CONNECTING:
                printf("ProgramFileShare : pending connecting %s:%s\n", host, port);
                break;
            case CsClient::STATE_CONNECTED:
                printf("ProgramFileShare : connecting %s:%s\n", host, port);
                break;
            case CsClient::STATE_IDLE:
                printf("ProgramFileShare : failed connecting %s:%s\n", host, port);
                break;
            }
        }
    }

    files = new FileShare(outFile, inFile, hexMode, kSkipExisting, kResetOutput);
    held.noteRefused(*files);
    if (debugLevel > 1)
        printf("fileshare using %smode\n", hexMode ? "hex" : "ascii");

    loginText = FileShare::copyText(login);
    tickTimer = new CsTimer(this, tickMs, kEndless);
    if (consoleInput)
        console = new CsStdIn(this, kKeepNewline, kConsoleLineBytes, kQuietWatch);

    printf("The application is running......\n");
    if (consoleInput && debugLevel == 1)
        printf("--End with exit or bye command--\n");
}

ProgramFileShare::~ProgramFileShare()
{
    delete serverClient;
    delete feedTimer;
    delete drainTimer;
    // What the server said in the last tick before the end would otherwise
    // never reach the operator program.
    if (!held.writeTo(*files))
        held.reportLost(*files);
    delete files;
    delete tickTimer;
    delete console;
    free(loginText);
    printf("The application ended\n");
}

int ProgramFileShare::callback(CsApplication* sender, const CsEventMsg* msg)
{
    if (sender == nullptr)
        return -1;
    if (sender == tickTimer) {
        sendTermOut();
        writeHeldOutput();
        countIdleTicks();
        return 0;
    }
    if (sender == feedTimer) {
        feedServer();
        return 0;
    }
    if (sender == drainTimer) {
        onDrainTick();
        return 0;
    }
    if (sender == serverClient) {
        if (msg != nullptr)
            onClientEvent(msg);
        return 0;
    }
    if (sender == console) {
        if (msg != nullptr)
            onConsoleLine(msg->getData(), msg->getLength());
        return 0;
    }
    return -1;
}

int ProgramFileShare::send(const char* data, int length)
{
    if (serverClient == nullptr)
        return -1;
    // The client takes at most one message buffer per send; a longer text (a
    // long login answer) goes in pieces, in order, and stops at a refusal.
    while (length > MSGBUFSIZE) {
        if (serverClient->send(data, MSGBUFSIZE) != 0)
            return -1;
        data += MSGBUFSIZE;
        length -= MSGBUFSIZE;
    }
    return serverClient->send(data, length);
}

bool ProgramFileShare::connected() const
{
    return serverClient != nullptr && serverClient->state() == CsClient::STATE_CONNECTED;
}

void ProgramFileShare::sendTermOut()
{
    // While records are being fed, their own timer goes on with them; and
    // without a connection nothing is read. Either way the tick looks at
    // term.out, so that a file the operator program cut in place is
    // noticed before it grows past the old read position again.
    if (feedTimer == nullptr && connected())
        feedServer();
    else
        files->hasInput();
}

void ProgramFileShare::feedServer()
{
    if (stopRequested || !connected()) {
        // term.out keeps the records until a connection can take them.
        stopFeeding();
        return;
    }
    bool backlog = serverClient->queuedBytes() >= static_cast<long>(backlogBytes);
    if (!backlog && files->hasInput()) {
        const long long sliceEnd = monotonicMs() + kFeedSliceMs;
        std::string shown;
        files->takeRecords([&](const char* data, int n) {
            if (serverClient->queuedBytes() >= static_cast<long>(backlogBytes) || monotonicMs() >= sliceEnd)
                return false;
            // An empty record sends nothing and is taken all the same.
            if (n > 0 && send(data, n) != 0)
                return false;
            if (n > 0 && debugLevel > 1)
                dump("F-IN", data, n);
            // Shown as it is, without an added newline.
            if (debugLevel == 1)
                shown.append(data, strnlen(data, static_cast<size_t>(n)));
            return true;
        });
        if (!shown.empty())
            writeConsole(shown.data(), shown.size());
        backlog = serverClient->queuedBytes() >= static_cast<long>(backlogBytes);
    }
    // Records left: at once in the next pass while the connection takes
    // them, a little later while the backlog drains.
    if (connected() && files->hasInput())
        keepFeeding(backlog ? kBacklogPollMs : 0);
    else
        stopFeeding();
}

void ProgramFileShare::keepFeeding(int periodMs)
{
    // Registered anew at each firing, so that its expiry is now and a tick
    // that is due comes before it.
    if (feedTimer == nullptr)
        feedTimer = new CsTimer(this, periodMs, kEndless);
    else
        feedTimer->start(periodMs);
}

void ProgramFileShare::stopFeeding()
{
    delete feedTimer;
    feedTimer = nullptr;
}

void ProgramFileShare::writeHeldOutput()
{
    if (!held.dueAtTick())
        return;
    if (debugLevel > 1) {
        // Each message as term.in holds it.
        const std::string& records = held.records();
        for (size_t at = 0; at < records.size();) {
            const size_t end = records.find('\n', at);
            const std::string data = files->decodeRecord(records.data() + at, end - at);
            dump("F-OUT", data.data(), static_cast<int>(data.size()));
            at = end + 1;
        }
    }
    held.writeTo(*files);
}

void ProgramFileShare::countIdleTicks()
{
    if (serverClient != nullptr) {
        if (serverClient->retryWaiting()) {
            ++retryTicks;
            if (retryTicks % 10 == 0 && debugLevel != 0)
                printf("Retry to connect the server (%d sec)\n", retryTicks);
        } else {
            retryTicks = 0;
        }
    }
}

void ProgramFileShare::drainAndStop()
{
    if (stopRequested) {
        // Asked again while waiting: someone insists.
        endStop();
        return;
    }
    stopRequested = true;
    stopFeeding();
    if (!connected() || serverClient->queuedBytes() == 0) {
        endStop();
        return;
    }
    drainEnd = monotonicMs() + drainMs;
    drainQueued = serverClient->queuedBytes();
    drainMovedAt = monotonicMs();
    drainTimer = new CsTimer(this, kDrainPollMs, kEndless);
}

void ProgramFileShare::onDrainTick()
{
    const long queued = connected() ? serverClient->queuedBytes() : 0;
    const long long now = monotonicMs();
    if (queued != drainQueued) {
        drainQueued = queued;
        drainMovedAt = now;
    }
    // A server that reads gets the whole wait; one that has taken nothing
    // for half a second (longer than a slow link's round trip) is not
    // waited for, so that a signal or a command still ends the program
    // within a fraction of a second.
    if (queued == 0 || now >= drainEnd || now - drainMovedAt >= kDrainStallMs)
        endStop();
}

void ProgramFileShare::endStop()
{
    delete drainTimer;
    drainTimer = nullptr;
    const long queued = connected() ? serverClient->queuedBytes() : 0;
    size_t records = 0, bytes = 0;
    files->unread(records, bytes);
    if (queued > 0 || records > 0)
        printf("Not sent at the end: %ld bytes queued for the server; %zu records (%zu bytes) in term.out, "
               "which the next start skips\n",
               queued, records, bytes);
    CsApplication::stop();
}

void ProgramFileShare::onClientEvent(const CsEventMsg* msg)
{
    int type = msg->getType();
    if (type == EVENT_CONNECTED) {
        // A new connection's text starts on a line of its own.
        partialLine = 0;
        if (debugLevel != 0)
            printf("Connected to server\n");
        // What term.out gathered meanwhile goes now.
        if (feedTimer == nullptr)
            feedServer();
        return;
    }
    if (type == EVENT_DISCONNECTED) {
        stopFeeding();
        if (debugLevel != 0)
            printf("Disconnected from server\n");
        return;
    }
    if (type != EVENT_DATA)
        return;

    const char* data = msg->getData();
    int length = msg->getLength();
    if (hexMode) {
        if (frameSplit)
            queueFrames(data, length);
        else if (length > 0)
            held.add(*files, data, static_cast<size_t>(length));
    } else if (!tryAutoLogin(data, length)) {
        queueLines(data, length);
    }
    if (debugLevel > 1)
        dump("C-IN", data, length);
    // A server that never pauses fires no tick at all.
    if (held.dueNow())
        held.writeTo(*files);
}

bool ProgramFileShare::isLoginPrompt(const char* text, int length)
{
    if (text == nullptr)
        return false;
    static const char word[] = "login:";
    int end = length;
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\0'))
        --end;
    int k = static_cast<int>(sizeof word) - 1;
    while (k > 0 && end > 0) {
        const char c = text[--end];
        if (c == '\0')
            continue;
        if (c != word[k - 1])
            return false;
        --k;
    }
    return k == 0;
}

int ProgramFileShare::tryAutoLogin(const char* text, int length)
{
    if (loginText == nullptr || !isLoginPrompt(text, length))
        return 0;
    std::string answer = loginText;
    answer += "\r\n";
    send(answer.data(), static_cast<int>(answer.size()));
    if (debugLevel != 0)
        printf("Doing automatic login with text <%s>\n", loginText);
    return 1;
}

std::string ProgramFileShare::cutLines(const char* text, int length, int& unfinished)
{
    std::string lines;
    if (text == nullptr || length <= 0)
        return lines;
    // A NUL byte is no text (servers send one after a carriage return): it
    // is dropped, and the rest of the block is kept.
    std::string kept;
    const char* p = text;
    const char* end = text + length;
    if (memchr(text, '\0', static_cast<size_t>(length)) != nullptr) {
        kept.reserve(static_cast<size_t>(length));
        for (const char* q = text; q < end; ++q)
            if (*q != '\0')
                kept += *q;
        p = kept.data();
        end = p + kept.size();
    }
    lines.reserve(static_cast<size_t>(end - p) + 1);

    // The read boundary fell just before the line feed of the previous
    // block's last line: it ends that line, as a line of its own (the
    // line's first part may be in term.in already), rather than counting as
    // an empty line, which would lose it or move it to this block's end.
    if (unfinished && p < end && *p == '\n')
        lines += *p++;

    // Each piece between line feeds is a line with its own line feed; empty
    // lines give none. A last piece without one stays unfinished: the rest
    // of its line comes with the next block.
    while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == p) {
            ++p;
        } else if (nl != nullptr) {
            lines.append(p, nl + 1);
            p = nl + 1;
        } else {
            lines.append(p, end);
            p = end;
        }
    }
    if (!lines.empty())
        unfinished = lines.back() != '\n';
    return lines;
}

void ProgramFileShare::queueLines(const char* text, int length)
{
    const std::string lines = cutLines(text, length, partialLine);
    held.addLines(*files, lines.data(), lines.size());
    if (debugLevel == 1 && !lines.empty())
        writeConsole(lines.data(), lines.size());
}

void ProgramFileShare::queueFrames(const char* data, int length)
{
    FrameSplitter splitter(data, length);
    char frame[kFrameBufferSize];
    while (splitter.hasMore()) {
        int n = splitter.next(frame, kFrameBufferSize);
        if (n > 0)
            held.add(*files, frame, static_cast<size_t>(n));
    }
}

ProgramFileShare::ConsoleAction ProgramFileShare::consoleAction(const char* text, int level)
{
    auto has = [text](const char* word) { return strstr(text, word) != nullptr; };
    if (level == 1)
        return has("exit") ? kStop : has("bye") ? kSendAndStop : kSend;
    if (has("exit"))
        return kStop;
    if (has("debug"))
        return kToggleDebug;
    return has("file") || has("client") ? kIgnore : kHelp;
}

void ProgramFileShare::onConsoleLine(const char* text, int length)
{
    if (text == nullptr || length <= 0)
        return;
    switch (consoleAction(text, debugLevel)) {
    case kSend:
        send(text, length);
        break;
    case kSendAndStop:
        send(text, length);
        drainAndStop();
        break;
    case kStop:
        drainAndStop();
        break;
    case kToggleDebug:
        debugLevel = debugLevel == 0 ? 1 : 0;
        printf("Debug is %s\n", debugLevel != 0 ? "ON" : "OFF");
        break;
    case kIgnore:
        break;
    case kHelp:
        printf("Commands on stdin are :\n");
        printf("exit  = exit the program\n");
        printf("debug = toggle debug mode\n");
        break;
    }
}

void ProgramFileShare::dump(const char* tag, const char* data, int length) const
{
    const char* digits = FileShare::kHexDigits;
    char head[64];
    snprintf(head, sizeof head, "%-10.10s [%d] : ", tag != nullptr ? tag : "", length);
    std::string out = head;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    int count = data != nullptr && length > 0 ? length : 0;
    int from = 0;
    // The leading pair of a frame. A one-byte frame still shows a pair, its
    // byte and 00: the NUL that ends a copy of it, never a byte beyond it.
    if (frameSplit && hexMode && count >= 1) {
        char lead[16];
        snprintf(lead, sizeof lead, "%02x<-%02x ", bytes[0], count >= 2 ? bytes[1] : 0);
        out += lead;
        from = 2;
    }
    for (int i = from; i < count; ++i) {
        unsigned char c = bytes[i];
        if (hexMode) {
            out += digits[c >> 4];
            out += digits[c & 0x0f];
        } else if (isprint(c)) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "<0x%02x>", c);
            out += esc;
        }
    }
    if (hexMode)
        out += " (hexcode)";
    out += '\n';
    fputs(out.c_str(), stdout);
}
