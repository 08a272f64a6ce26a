#include "ProgramFileShare.h"

#include <algorithm>
#include <cctype>
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

// Writes the bytes to standard output unformatted, behind whatever formatted
// output is still buffered, so that the console shows everything in the
// order it was produced; the flush shows a line without its end (a prompt)
// now. The program's standard output never waits for the console (CsStdOut).
void writeConsole(const char* data, size_t length)
{
    fwrite(data, 1, length, stdout);
    fflush(stdout);
}

// The data of one term.in record (without its line feed), as the operator
// program reads it back.
std::string recordData(const char* record, size_t length, int hexMode)
{
    std::string data;
    if (hexMode) {
        auto value = [](char digit) { return digit <= '9' ? digit - '0' : digit - 'a' + 10; };
        for (size_t i = 0; i + 1 < length; i += 2)
            data += static_cast<char>(value(record[i]) << 4 | value(record[i + 1]));
    } else {
        data.assign(record, length);
        std::replace(data.begin(), data.end(), '\x01', '\n');
    }
    return data;
}

}  // namespace

ProgramFileShare::ProgramFileShare(const char* host, const char* port, const char* outFile,
                                   const char* inFile, const char* login, int hexMode_, int tickMs,
                                   int frameSplit_, int debugLevel_, int consoleInput,
                                   int reconnectSeconds, size_t maxHeldBytes_)
    : CsApplication(),
      pendingMessages(0),
      maxHeldBytes(maxHeldBytes_),
      serverClient(nullptr),
      tickTimer(nullptr),
      console(nullptr),
      files(nullptr),
      loginText(nullptr),
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
    // What the server said in the last tick before the end would otherwise
    // never reach the operator program.
    if (pendingMessages > 0)
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
    if (pendingMessages > 0) {
        if (pendingMessages == lastPendingCount || ++heldTicks >= kMaxHeldTicks)
            flushPending();
        else
            lastPendingCount = static_cast<unsigned int>(pendingMessages);
    }

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

void ProgramFileShare::flushPending()
{
    if (debugLevel > 1) {
        // Each message as term.in now holds it.
        for (size_t at = 0; at < pendingOutput.size();) {
            const size_t end = pendingOutput.find('\n', at);
            const std::string data = recordData(pendingOutput.data() + at, end - at, hexMode);
            dump("F-OUT", data.data(), static_cast<int>(data.size()));
            at = end + 1;
        }
    }
    // One open of term.in for the whole queue; a failure loses the output
    // silently, as the operator program has nowhere else to find it.
    files->appendRecords(pendingOutput.data(), pendingOutput.size());
    // The room stays for the next output (the bound and one block at most):
    // fresh pages for every burst would cost more than the copy into them.
    pendingOutput.clear();
    pendingMessages = 0;
    lastPendingCount = 0;
    heldTicks = 0;
}

void ProgramFileShare::queueMessage(const char* data, size_t length)
{
    files->encodeRecord(pendingOutput, data, static_cast<int>(length));
    ++pendingMessages;
}

void ProgramFileShare::onClientEvent(const CsEventMsg* msg)
{
    int type = msg->getType();
    if (type == EVENT_CONNECTED) {
        // A new connection's text starts on a line of its own.
        partialLine = 0;
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
            queueMessage(data, static_cast<size_t>(length));
    } else if (!tryAutoLogin(data)) {
        queueLines(data, length);
    }
    if (debugLevel > 1)
        dump("C-IN", data, length);
    // A server that never pauses fires no tick at all.
    if (pendingMessages > 0 && pendingOutput.size() >= maxHeldBytes)
        flushPending();
}

int ProgramFileShare::tryAutoLogin(const char* text)
{
    if (loginText == nullptr || text == nullptr || strstr(text, "login:") == nullptr)
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
    // The text ends at its first NUL, as any text does.
    const char* p = text;
    const char* end = text + strnlen(text, static_cast<size_t>(length));
    lines.reserve(static_cast<size_t>(end - p) + 1);

    // The read boundary fell just before the line feed of the previous
    // block's last line: it ends that line, as a line of its own (the
    // line's first part may be in term.in already), rather than counting as
    // an empty line, which would lose it or move it to this block's end.
    if (unfinished && p < end && *p == '\n')
        lines += *p++;

    // Each piece between line feeds is a line and takes one of the block's
    // line feeds while any are left: its own, and for a last piece without
    // one, a line feed left over by a skipped empty line.
    bool spareNewline = false;
    while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == p) {
            spareNewline = true;
            ++p;
        } else if (nl != nullptr) {
            lines.append(p, nl + 1);
            p = nl + 1;
        } else {
            lines.append(p, end);
            if (spareNewline)
                lines += '\n';
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
    pendingMessages += files->encodeLines(pendingOutput, lines.data(), lines.size());
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
            queueMessage(frame, static_cast<size_t>(n));
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
        CsApplication::stop();
        break;
    case kStop:
        CsApplication::stop();
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
