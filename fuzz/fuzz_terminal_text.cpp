// Any server output through the terminal object's road for received
// blocks, and its two helpers on their own.
//
// Paths, by the low two bits of byte 0:
//   0  text mode: blocks written by a loopback peer, read by the terminal's
//      client connection and cut into lines. The lines, echoed to the
//      console as each block arrives, must be the block without its NUL
//      bytes cut at its line feeds: every piece that is not empty is a line
//      with its own line feed, a last piece without one stays unfinished,
//      and a line feed that starts a block ends the previous block's
//      unfinished line; the queue grows by one message per line. A block
//      that ends with "login:" (blanks after it aside) is answered (the
//      answer is announced) and neither shown nor queued.
//   1  hex mode with frame split: the queue grows by the frames of the
//      block that are not empty, and the block is dumped as described.
//   2  FrameSplitter alone, with any buffer size: the frames are the block
//      cut at each 0xFD (consumed) and into pieces of at most the buffer
//      size; every call takes at least one byte.
//   3  text mode with a small bound on held output: term.in holds exactly
//      the records of the lines cut so far, up to a record boundary; what is
//      held stays below the bound and counts one message per record.
// Bytes 1 and 2 choose block sizes (paths 0, 1, 3) or the buffer size (2).
//
// The main loop runs once per process and is never entered here: the
// terminal objects are built once (and again after a few megabytes of
// queued output, which nothing flushes without ticks), and their client
// connection is read directly through the library.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "FrameSplitter.h"
#include "ProgramFileShare.h"
#include "client_server.h"
#include "support.h"

using fuzz::fail;
using fuzz::readable;
using fuzz::writeAll;

namespace {

const char kLogin[] = "operator";
const size_t kRebuildBytes = 8u << 20; // queued bytes after which the objects are built anew
const size_t kMaxData = 16384;
const size_t kSmallBound = 3000; // held bytes of the bounded terminal

int g_console = -1;  // read end of the pipe that is standard output
int g_listener = -1; // plays the log server
std::string g_port;
std::string g_dir;

// Everything written to the console since the last call.
std::string console()
{
    fflush(stdout);
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(g_console, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

// ---- references ----

// Frames as the splitter should hand them out, empty ones included.
std::vector<std::string> splitFrames(const std::string &block, size_t capacity)
{
    std::vector<std::string> frames;
    std::string current;
    size_t i = 0;
    while (i < block.size()) {
        current.clear();
        while (i < block.size() && current.size() < capacity) {
            const char c = block[i++];
            if (static_cast<unsigned char>(c) == 0xfd)
                break;
            current += c;
        }
        frames.push_back(current);
    }
    return frames;
}

std::string hexDump(const std::string &block)
{
    static const char digits[] = "0123456789abcdef";
    char head[64];
    std::snprintf(head, sizeof head, "%-10.10s [%d] : ", "C-IN", static_cast<int>(block.size()));
    std::string out = head;
    size_t from = 0;
    // A one-byte block shows 00 as its second byte.
    if (!block.empty()) {
        char lead[16];
        std::snprintf(lead, sizeof lead, "%02x<-%02x ", static_cast<unsigned char>(block[0]),
                      block.size() >= 2 ? static_cast<unsigned char>(block[1]) : 0u);
        out += lead;
        from = 2;
    }
    for (size_t i = from; i < block.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(block[i]);
        out += digits[c >> 4];
        out += digits[c & 0x0f];
    }
    return out + " (hexcode)\n";
}

// ---- the terminal objects ----

struct Terminal {
    ProgramFileShare *object = nullptr;
    int handle = -1; // its client connection
    int peer = -1;   // the server's end of it
    bool partial = false; // its last block of text ended inside a line
    std::string sub; // prefix of its shared files
};

Terminal g_text;
Terminal g_hex;
Terminal g_bounded; // quiet, with a small bound on held output
size_t g_queuedBytes = 0;
// The bounded terminal's lines as term.in records, and how much of them
// term.in (after its empty first record) was seen to hold.
std::string g_boundedRecords;
size_t g_boundedWritten = 0;

// The object keeps its client to itself; its connection is found through
// the library as the one live connection that no other terminal has.
void build(Terminal &t, const char *name, bool hex, int debugLevel, size_t bound)
{
    t.sub = g_dir + "/" + name + ".";
    t.object = new ProgramFileShare("127.0.0.1", g_port.c_str(), (t.sub + "term.out").c_str(),
                                    (t.sub + "term.in").c_str(), kLogin, hex ? 1 : 0, 1000, hex ? 1 : 0,
                                    debugLevel, 0, 1, bound);
    struct pollfd p = {g_listener, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1 || (t.peer = accept(g_listener, nullptr, nullptr)) < 0)
        fail("the terminal's client did not connect");
    t.partial = false;
    t.handle = -1;
    for (int h = 0; h < CS_ITEM_TABLE_SIZE && t.handle < 0; h++)
        if (h != g_text.handle && h != g_hex.handle && h != g_bounded.handle &&
            client_server_descriptor(h) >= 0)
            t.handle = h;
    if (t.handle < 0)
        fail("no client connection for the terminal");
}

void buildAll()
{
    for (Terminal *t : {&g_text, &g_hex, &g_bounded})
        t->handle = -1;
    // Beyond what is queued before the objects are built anew: these two
    // never write term.in, so their queues count every message.
    build(g_text, "text", false, 1, 4 * kRebuildBytes);
    build(g_hex, "hex", true, 2, 4 * kRebuildBytes);
    build(g_bounded, "bounded", false, 0, kSmallBound);
    console(); // start-up lines
    g_queuedBytes = 0;
    g_boundedRecords.clear();
    g_boundedWritten = 0;
}

// Queued output is only written out by ticks, which never come here: let
// it go with the objects now and then. Their handles stay registered until
// a main-loop pass, so the library is started afresh as well.
void rebuildIfFull()
{
    if (g_queuedBytes < kRebuildBytes)
        return;
    delete g_text.object;
    if (console() != "The application ended\n")
        fail("the text terminal showed something at its end besides its last line");
    delete g_bounded.object;
    console();
    // The hex terminal dumps all it flushes, far more than the console pipe
    // holds while nobody reads it: that goes nowhere.
    fflush(stdout);
    const int console_fd = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (console_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0)
        fail("no /dev/null for the hex terminal's last dumps");
    close(null_fd);
    delete g_hex.object;
    fflush(stdout);
    dup2(console_fd, STDOUT_FILENO);
    close(console_fd);
    for (Terminal *t : {&g_text, &g_hex, &g_bounded})
        close(t->peer);
    client_server_shutdown();
    if (client_server_init() != 0)
        fail("the library did not start again");
    buildAll();
}

// One block from the server, read by the terminal's connection in one read.
void deliver(Terminal &t, const std::string &block)
{
    writeAll(t.peer, block.data(), block.size());
    const int desc = client_server_descriptor(t.handle);
    for (int i = 0; readable(desc) < static_cast<int>(block.size()); i++) {
        if (i > 500)
            fail("the block did not arrive");
        struct pollfd p = {desc, POLLIN, 0};
        poll(&p, 1, 10);
    }
    if (client_server_data_received(t.handle) != 0)
        fail("reading the block failed");
    if (readable(desc) != 0)
        fail("the block was not read in one go");
}

size_t blockSize(uint8_t b)
{
    return b < 0x80 ? b + 1u : (b - 0x7fu) * 64u; // up to MSGBUFSIZE
}

void textBlock(const std::string &block)
{
    const size_t before = g_text.object->pendingCount();
    deliver(g_text, block);
    const std::string shown = console();
    const size_t added = g_text.object->pendingCount() - before;
    if (fuzz::isLoginPrompt(block)) {
        if (shown != std::string("Doing automatic login with text <") + kLogin + ">\n" || added != 0)
            fail("a login prompt was shown or queued, or not announced");
        return;
    }
    const fuzz::Cut want = fuzz::cutLines(block, g_text.partial);
    if (shown != want.shown)
        fail("the lines shown are not the block cut at its newlines, shown when it arrived");
    if (added != want.lines)
        fail("the queue did not grow by one message per line");
    g_queuedBytes += want.shown.size();
}

void hexBlock(const std::string &block)
{
    const size_t before = g_hex.object->pendingCount();
    deliver(g_hex, block);
    const std::string shown = console();
    size_t frames = 0;
    for (const std::string &f : splitFrames(block, 256))
        frames += f.empty() ? 0 : 1;
    if (g_hex.object->pendingCount() - before != frames)
        fail("the queue did not grow by the non-empty frames of the block");
    if (shown != hexDump(block))
        fail("the dump of the block is not as described");
    g_queuedBytes += block.size();
}

void boundedBlock(const std::string &block)
{
    deliver(g_bounded, block);
    if (fuzz::isLoginPrompt(block))
        return;
    // Each line a record: its line feed as 0x01, then the record's own.
    const fuzz::Cut want = fuzz::cutLines(block, g_bounded.partial);
    for (size_t i = 0; i < want.shown.size();) {
        size_t end = want.shown.find('\n', i);
        end = end == std::string::npos ? want.shown.size() : end + 1;
        std::string record = want.shown.substr(i, end - i);
        if (record.back() == '\n')
            record.back() = '\x01';
        g_boundedRecords += record + '\n';
        i = end;
    }
    const std::string written = fuzz::readFile(g_bounded.sub + "term.in", 1 + g_boundedWritten);
    if (g_boundedRecords.compare(g_boundedWritten, written.size(), written) != 0)
        fail("term.in does not hold the records of the lines, in order");
    g_boundedWritten += written.size();
    if (g_boundedWritten > 0 && g_boundedRecords[g_boundedWritten - 1] != '\n')
        fail("term.in ends inside a record");
    const size_t held = g_boundedRecords.size() - g_boundedWritten;
    if (held >= kSmallBound)
        fail("held output reached the bound and was not written out");
    if (g_bounded.object->pendingCount() !=
        static_cast<size_t>(std::count(g_boundedRecords.begin() + static_cast<long>(g_boundedWritten),
                                       g_boundedRecords.end(), '\n')))
        fail("the held messages are not counted one per record");
    g_queuedBytes += want.shown.size();
}

void throughTerminal(int path, const uint8_t sizes[2], const std::string &data)
{
    if (g_text.object == nullptr)
        buildAll();
    size_t at = 0;
    for (unsigned turn = 0; at < data.size(); turn++) {
        const size_t n = std::min(blockSize(sizes[turn % 2]), data.size() - at);
        const std::string block = data.substr(at, n);
        at += n;
        if (path == 1)
            hexBlock(block);
        else if (path == 3)
            boundedBlock(block);
        else
            textBlock(block);
    }
    rebuildIfFull();
}
void splitterAlone(uint8_t sizeByte, const std::string &block)
{
    const int capacity = sizeByte == 0 ? 256 : sizeByte;
    const std::vector<std::string> want = splitFrames(block, static_cast<size_t>(capacity));
    FrameSplitter splitter(block.data(), static_cast<int>(block.size()));
    std::vector<char> buffer(static_cast<size_t>(capacity));
    size_t calls = 0;
    while (splitter.hasMore()) {
        if (calls >= want.size())
            fail("the splitter hands out more frames than the block holds");
        const int n = splitter.next(buffer.data(), capacity);
        if (n < 0 || n > capacity)
            fail("a frame longer than the buffer");
        if (std::string(buffer.data(), static_cast<size_t>(n)) != want[calls++])
            fail("a frame is not the block cut at its 0xFD bytes");
    }
    if (calls != want.size())
        fail("the splitter stopped before the end of the block");
    if (splitter.next(buffer.data(), capacity) != 0)
        fail("an exhausted splitter handed out a frame");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setTarget("fuzz_terminal_text");
    g_dir = fuzz::scratchDir();

    // The console is a pipe read back after every block; libFuzzer reports
    // on standard error, which stays where it was.
    int pipefd[2];
    if (pipe(pipefd) != 0)
        fail("no console pipe");
    fcntl(pipefd[0], F_SETFL, O_NONBLOCK);
    fcntl(pipefd[1], F_SETPIPE_SZ, 1 << 20);
    fflush(stdout);
    dup2(pipefd[1], STDOUT_FILENO);
    close(pipefd[1]);
    g_console = pipefd[0];

    g_listener = fuzz::listenLoopback(g_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const std::string rest(reinterpret_cast<const char *>(data + 3), std::min(size - 3, kMaxData));
    if ((data[0] & 3) == 2)
        splitterAlone(data[1], rest);
    else
        throughTerminal(data[0] & 3, data + 1, rest);
    return 0;
}
