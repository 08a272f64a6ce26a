#include "ProgramFileShare.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "CsClient.h"
#include "connection.h"
#include "CsStdIn.h"
#include "CsTimer.h"
#include "FileShare.h"
#include "FrameSplitter.h"

unsigned int ProgramFileShare::lastPendingCount = 0;

namespace {

const int kRecordBufferSize = 256;  // one term.out read: 255 characters and a NUL
const int kFrameBufferSize = 256;   // longest frame taken in one piece

// An owned copy (released with free), null for null.
char* copyText(const char* text)
{
    return text != nullptr ? strdup(text) : nullptr;
}

// Writes all bytes to standard output unformatted, behind whatever formatted
// output is still buffered, so that the console shows everything in the
// order it was produced.
void writeConsole(const char* data, size_t length)
{
    fflush(stdout);
    while (length > 0) {
        ssize_t n = write(1, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

ProgramFileShare::ProgramFileShare(const char* host, const char* port, const char* outFile,
                                   const char* inFile, const char* login, int hexMode_, int tickMs,
                                   int frameSplit_, int debugLevel_, int consoleInput,
                                   int reconnectSeconds)
    : CsApplication(),
      serverClient(nullptr),
      tickTimer(nullptr),
      console(nullptr),
      files(nullptr),
      loginText(nullptr),
      showTimer(nullptr),
      consoleStart(nullptr),
      consoleLength(0),
      debugLevel(debugLevel_),
      frameSplit(frameSplit_),
      hexMode(hexMode_),
      retryTicks(0),
      partialLine(0),
      heldTicks(0)
{
    // A new terminal object starts its quiet-tick count afresh.
    lastPendingCount = 0;
    int clientVerbose = debugLevel > 2 ? debugLevel - 2 : 0;
    if (debugLevel > 1)
        printf("ProgramFileShare : with debug\n");

    if (host != nullptr && port != nullptr) {
        serverClient = new CsClient(this, host, port, clientVerbose, reconnectSeconds, 1);
        if (debugLevel > 1) {
            switch (serverClient->state()) {
            case 0:
                printf("ProgramFileShare : pending connecting %s:%s\n", host, port);
                break;
            case 1:
                printf("ProgramFileShare : connecting %s:%s\n", host, port);
                break;
            case -1:
                printf("ProgramFileShare : failed connecting %s:%s\n", host, port);
                break;
            }
        }
    }

    files = new FileShare(outFile, inFile, hexMode, 1, 1);
    if (debugLevel > 1)
        printf("fileshare using %smode\n", hexMode ? "hex" : "ascii");

    loginText = copyText(login);
    tickTimer = new CsTimer(this, tickMs, 0);
    if (consoleInput)
        console = new CsStdIn(this, 1, 255, 0);

    printf("The application is running......\n");
    if (consoleInput && debugLevel == 1)
        printf("--End with exit or bye command--\n");
}

ProgramFileShare::~ProgramFileShare()
{
    delete serverClient;
    showPendingText();
    delete showTimer;
    // What the server said in the last tick before the end would otherwise
    // never reach the operator program.
    if (!pendingOutput.empty())
        flushPending();
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
        onTick();
        return 0;
    }
    if (sender == showTimer) {
        // Its only firing: the timer deletes itself after this call.
        showTimer = nullptr;
        showPendingText();
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

void ProgramFileShare::onTick()
{
    // Whatever the tick prints, and the flush that reuses the queue's
    // memory, come after the server text shown so far.
    showPendingText();
    if (files->hasInput()) {
        char buffer[kRecordBufferSize];
        for (;;) {
            int n = files->readLine(buffer, kRecordBufferSize);
            if (n <= 0)
                break;
            send(buffer, n);
            if (debugLevel > 1)
                dump("F-IN", buffer, n);
            if (debugLevel == 1) {
                // The record is shown as it is, without an added newline; the
                // flush puts it on the console now rather than with the next
                // line.
                printf("%s", buffer);
                fflush(stdout);
            }
        }
    }

    // Written at the first tick that finds nothing new, so that a burst
    // reaches term.in whole; a queue held for kMaxHeldTicks is written all
    // the same, so that steady output still reaches the operator program.
    if (!pendingOutput.empty()) {
        if (pendingOutput.count() == lastPendingCount || ++heldTicks >= kMaxHeldTicks)
            flushPending();
        else
            lastPendingCount = static_cast<unsigned int>(pendingOutput.count());
    }

    if (serverClient != nullptr) {
        if (serverClient->state() == -1) {
            ++retryTicks;
            if (retryTicks % 10 == 0 && debugLevel != 0)
                printf("Retry to connect the server (%d sec)\n", retryTicks);
        } else {
            retryTicks = 0;
        }
    }
}

void ProgramFileShare::flushPending()
{
    showPendingText();  // its bytes are in the queue
    const std::vector<FileShare::Record> records = pendingOutput.records();
    if (debugLevel > 1)
        for (const FileShare::Record& r : records)
            dump("F-OUT", r.data, r.length);
    // One open of term.in for the whole queue; a failure loses the output
    // silently, as the operator program has nowhere else to find it.
    files->writeLines(records.data(), static_cast<int>(records.size()));
    pendingOutput.clear();
    lastPendingCount = 0;
    heldTicks = 0;
}

void ProgramFileShare::onClientEvent(const CsEventMsg* msg)
{
    int type = msg->getType();
    if (type != EVENT_DATA)
        showPendingText();
    if (type == EVENT_CONNECTED) {
        if (debugLevel != 0)
            printf("Connected to server\n");
        return;
    }
    if (type == EVENT_DISCONNECTED) {
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
            pendingOutput.add(data, static_cast<size_t>(length));
    } else if (!tryAutoLogin(data)) {
        queueLines(data, length);
        // A read shorter than a whole buffer: the server has nothing more
        // just now.
        if (length < MSGBUFSIZE)
            showPendingText();
    }
    if (debugLevel > 1)
        dump("C-IN", data, length);
}

int ProgramFileShare::tryAutoLogin(const char* text)
{
    if (loginText == nullptr || text == nullptr || strstr(text, "login:") == nullptr)
        return 0;
    showPendingText();
    std::string answer = loginText;
    answer += "\r\n";
    send(answer.data(), static_cast<int>(answer.size()));
    if (debugLevel != 0)
        printf("Doing automatic login with text <%s>\n", loginText);
    return 1;
}

void ProgramFileShare::queueLines(const char* text, int length)
{
    if (text == nullptr || length <= 0)
        return;
    // The text ends at its first NUL, as any text does.
    const char* p = text;
    const char* end = text + strnlen(text, static_cast<size_t>(length));
    if (p == end)
        return;

    // Each piece between newlines is one line, and each line takes one of
    // the block's newlines while any are left. Every piece but the last is
    // followed by its own newline, so only the last piece can be affected by
    // the count: it ends with a newline when the block had more newlines
    // than pieces followed by one (empty lines are dropped, their newlines
    // are not). That allows one pass over the block.
    //
    // Most blocks hold no empty line: then the lines are the block itself,
    // counted in one pass and queued as one stretch, without the stretch
    // bookkeeping of the general cut below.
    const char* scan = p;
    if (partialLine && *scan == '\n')
        ++scan;  // ends the previous block's last line, see below
    size_t lines = scan != p ? 1 : 0;
    bool emptyLine = scan < end && *scan == '\n';
    for (const char* q = scan; q < end && !emptyLine;) {
        ++lines;
        const char* nl = static_cast<const char*>(memchr(q, '\n', static_cast<size_t>(end - q)));
        q = nl != nullptr ? nl + 1 : end;
        emptyLine = q < end && *q == '\n';
    }
    if (!emptyLine) {
        const size_t bytes = static_cast<size_t>(end - p);
        const char* at = pendingOutput.reserve(bytes);
        pendingOutput.append(p, bytes);
        pendingOutput.endLines(bytes, lines);
        partialLine = end[-1] != '\n';
        if (debugLevel == 1)
            showText(at, bytes);
        return;
    }

    // The lines of a block, put back to back, are at most its bytes and one
    // added newline: reserved together, they are shown from the queue and
    // enter it as one stretch of lines, which the queue cuts
    // again at their line feeds when it is written out. Stretches of the
    // text between empty lines are copied whole; the scan only counts.
    const char* first = pendingOutput.reserve(static_cast<size_t>(end - p) + 1);
    size_t shown = 0;
    auto put = [&](const char* from, const char* to) {
        pendingOutput.append(from, static_cast<size_t>(to - from));
        shown += static_cast<size_t>(to - from);
    };
    lines = 0;
    size_t newlines = 0;
    size_t terminated = 0;
    const char* stretch = p;
    if (partialLine && *p == '\n') {
        // The read boundary fell just before the line feed of the previous
        // block's last line: it ends that line (as a record of its own, the
        // line's first part may be in term.in already) rather than counting
        // as an empty line, which would lose it or move it to this block's
        // last piece. It stays in the stretch copied below.
        ++lines;
        ++p;
    }
    while (p < end) {
        if (*p == '\n') {
            // An empty line: skipped, its newline counted.
            put(stretch, p);
            ++newlines;
            stretch = ++p;
            continue;
        }
        ++lines;
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl != nullptr) {
            ++newlines;
            ++terminated;
            p = nl + 1;
        } else {
            p = end;
        }
    }
    put(stretch, end);
    if (newlines > terminated && end[-1] != '\n') {
        // The last piece takes one of the skipped lines' newlines.
        pendingOutput.append("\n", 1);
        ++shown;
    }
    pendingOutput.endLines(shown, lines);
    // The block ends inside a line unless its text ends with a newline
    // (its own, or one added to the last piece).
    if (shown > 0)
        partialLine = first[shown - 1] != '\n';

    if (debugLevel == 1 && shown > 0)
        showText(first, shown);
}

void ProgramFileShare::showText(const char* at, size_t length)
{
    if (consoleLength > 0 && consoleStart + consoleLength != at)
        showPendingText();
    if (consoleLength == 0)
        consoleStart = at;
    consoleLength += length;
    // After a whole read more is most likely waiting, and is shown with
    // this; the loop's first idle moment shows what is left.
    if (consoleLength >= kConsoleBatch) {
        showPendingText();
        return;
    }
    if (showTimer == nullptr) {
        showTimer = new CsTimer(this, 0, 1);
        if (showTimer->getTimerHandle() == -1) {
            delete showTimer;
            showTimer = nullptr;
            showPendingText();
        }
    }
}

void ProgramFileShare::showPendingText()
{
    if (consoleLength == 0)
        return;
    writeConsole(consoleStart, consoleLength);
    consoleLength = 0;
}

void ProgramFileShare::queueFrames(const char* data, int length)
{
    FrameSplitter splitter(data, length);
    char frame[kFrameBufferSize];
    while (splitter.hasMore()) {
        int n = splitter.next(frame, kFrameBufferSize);
        if (n > 0)
            pendingOutput.add(frame, static_cast<size_t>(n));
    }
}

void ProgramFileShare::onConsoleLine(const char* text, int length)
{
    if (text == nullptr || length <= 0)
        return;
    showPendingText();
    if (debugLevel == 1) {
        if (strstr(text, "exit") != nullptr) {
            CsApplication::stop();
        } else if (strstr(text, "bye") != nullptr) {
            send(text, length);
            CsApplication::stop();
        } else {
            send(text, length);
        }
        return;
    }

    if (strstr(text, "exit") != nullptr) {
        CsApplication::stop();
    } else if (strstr(text, "debug") != nullptr) {
        debugLevel = debugLevel == 0 ? 1 : 0;
        printf("Debug is %s\n", debugLevel != 0 ? "ON" : "OFF");
    } else if (strstr(text, "file") != nullptr || strstr(text, "client") != nullptr) {
        // Known words that do nothing here.
    } else {
        printf("Commands on stdin are :\n");
        printf("exit  = exit the program\n");
        printf("debug = toggle debug mode\n");
    }
}

void ProgramFileShare::dump(const char* tag, const char* data, int length) const
{
    static const char digits[] = "0123456789abcdef";
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
