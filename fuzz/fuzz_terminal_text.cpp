// Any server output through the terminal object's road for received
// blocks, and its two helpers on their own.
//
// Paths, by the low two bits of byte 0:
//   0  text mode: blocks from the server, read by the terminal's client
//      connection and cut into lines. The lines, echoed to the
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
//
// Only the transports are substitutes, for speed: once a terminal's client
// has connected over loopback, the library's reads of its descriptor are
// served from the block the target hands over (linker --wrap of read, see
// CMakeLists.txt), as a non-blocking socket would serve them, so that a
// block costs no system call; and the console (standard output, which the
// terminal writes only through stdio) is a stream into memory.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "FrameSplitter.h"
#include "ProgramFileShare.h"
#include "client_server.h"
#include "support.h"

using fuzz::fail;

namespace {

const char kLogin[] = "operator";
const size_t kRebuildBytes = 8u << 20; // queued bytes after which the objects are built anew
const size_t kMaxData = 16384;
const size_t kSmallBound = 3000; // held bytes of the bounded terminal

int g_listener = -1; // where the terminals' clients connect first
std::string g_port;
std::string g_dir;

// The console: standard output is a stream whose every flush lands here.
std::string g_consoleText;
bool g_consoleDiscards = false; // the hex terminal's last dumps go nowhere

ssize_t consoleWrite(void *, const char *data, size_t size)
{
    if (!g_consoleDiscards)
        g_consoleText.append(data, size);
    return static_cast<ssize_t>(size);
}

// Everything written to the console since the last call (valid until the
// next one; both buffers keep their room from block to block).
const std::string &console()
{
    static std::string shown;
    fflush(stdout);
    shown.assign(g_consoleText);
    g_consoleText.clear();
    return shown;
}

// ---- references ----

// Frames as the splitter should hand them out, empty ones included: the
// first ones of frames, as many as it answers. The strings keep their room
// from block to block.
size_t splitFrames(const std::string &block, size_t capacity, std::vector<std::string> &frames)
{
    size_t count = 0;
    size_t i = 0;
    while (i < block.size()) {
        if (count == frames.size())
            frames.emplace_back();
        std::string &current = frames[count++];
        current.clear();
        while (i < block.size() && current.size() < capacity) {
            const char c = block[i++];
            if (static_cast<unsigned char>(c) == 0xfd)
                break;
            current += c;
        }
    }
    return count;
}

// The dump of a block, in out (which keeps its room).
void hexDump(const std::string &block, std::string &out)
{
    static const char digits[] = "0123456789abcdef";
    char head[64];
    std::snprintf(head, sizeof head, "%-10.10s [%d] : ", "C-IN", static_cast<int>(block.size()));
    out = head;
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
    out += " (hexcode)\n";
}

// ---- the terminal objects ----

struct Terminal {
    ProgramFileShare *object = nullptr;
    int handle = -1; // its client connection
    int desc = -1;   // its descriptor, whose reads the target serves
    int peer = -1;   // the server's end of it
    const std::string *block = nullptr; // what its next reads take
    size_t taken = 0;                   // how much of it they took
    bool partial = false; // its last block of text ended inside a line
    std::string sub; // prefix of its shared files
};


Terminal g_text;
Terminal g_hex;
Terminal g_bounded; // quiet, with a small bound on held output
size_t g_queuedBytes = 0;
// The bounded terminal's lines as term.in records that term.in was not yet
// seen to hold, and how many records that is; how many bytes term.in holds
// after its empty first record; term.in, opened by the target to read it.
std::string g_boundedHeld;
size_t g_boundedHeldRecords = 0;
size_t g_boundedWritten = 0;
int g_boundedIn = -1;

// The object keeps its client to itself; its connection is found through
// the library as the one live connection that no other terminal has.
void build(Terminal &t, const char *name, bool hex, int debugLevel, size_t bound)
{
    t.sub = g_dir + "/" + name + ".";
    t.object = new ProgramFileShare("127.0.0.1", g_port.c_str(), (t.sub + "term.out").c_str(),
                                    (t.sub + "term.in").c_str(), kLogin, hex ? 1 : 0, 1000, hex ? 1 : 0,
                                    debugLevel, 0, 1, bound);
    struct pollfd p = {g_listener, POLLIN, 0};
    const int accepted = poll(&p, 1, 5000) == 1 ? accept(g_listener, nullptr, nullptr) : -1;
    if (accepted < 0)
        fail("the terminal's client did not connect");
    t.partial = false;
    t.handle = -1;
    for (int h = 0; h < CS_ITEM_TABLE_SIZE && t.handle < 0; h++)
        if (h != g_text.handle && h != g_hex.handle && h != g_bounded.handle &&
            client_server_descriptor(h) >= 0)
            t.handle = h;
    if (t.handle < 0)
        fail("no client connection for the terminal");
    t.desc = client_server_descriptor(t.handle);
    // Served as a non-blocking socket: the connection must be one.
    if ((fcntl(t.desc, F_GETFL) & O_NONBLOCK) == 0)
        fail("the terminal's connection blocks");
    t.peer = accepted;
}

void buildAll()
{
    for (Terminal *t : {&g_text, &g_hex, &g_bounded}) {
        t->handle = -1;
        t->desc = -1;
    }
    // Beyond what is queued before the objects are built anew: these two
    // never write term.in, so their queues count every message.
    build(g_text, "text", false, 1, 4 * kRebuildBytes);
    build(g_hex, "hex", true, 2, 4 * kRebuildBytes);
    build(g_bounded, "bounded", false, 0, kSmallBound);
    console(); // start-up lines
    g_queuedBytes = 0;
    g_boundedHeld.clear();
    g_boundedHeldRecords = 0;
    g_boundedWritten = 0;
    g_boundedIn = open((g_bounded.sub + "term.in").c_str(), O_RDONLY | O_CLOEXEC);
    if (g_boundedIn < 0)
        fail("the bounded terminal made no term.in");
}

// Queued output is only written out by ticks, which never come here: let
// it go with the objects now and then. Their handles stay registered until
// a main-loop pass, so the library is started afresh as well.
void rebuildIfFull()
{
    if (g_queuedBytes < kRebuildBytes)
        return;
    // Their numbers may name files of the next objects before they connect.
    for (Terminal *t : {&g_text, &g_hex, &g_bounded})
        t->desc = -1;
    delete g_text.object;
    if (console() != "The application ended\n")
        fail("the text terminal showed something at its end besides its last line");
    delete g_bounded.object;
    close(g_boundedIn);
    console();
    // The hex terminal dumps all it flushes, megabytes that nothing checks:
    // that goes nowhere.
    g_consoleDiscards = true;
    delete g_hex.object;
    fflush(stdout);
    g_consoleDiscards = false;
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
    if (client_server_descriptor(t.handle) != t.desc)
        fail("the terminal's connection changed its descriptor");
    t.block = &block;
    t.taken = 0;
    const int result = client_server_data_received(t.handle);
    t.block = nullptr;
    if (result != 0)
        fail("reading the block failed");
    if (t.taken != block.size())
        fail("the block was not read in one go");
}

// What term.in holds from the byte at from on.
std::string boundedTermIn(size_t from)
{
    std::string out;
    char buf[16384];
    ssize_t n;
    while ((n = pread(g_boundedIn, buf, sizeof buf, static_cast<off_t>(from + out.size()))) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

size_t blockSize(uint8_t b)
{
    return b < 0x80 ? b + 1u : (b - 0x7fu) * 64u; // up to MSGBUFSIZE
}

void textBlock(const std::string &block)
{
    const size_t before = g_text.object->pendingCount();
    deliver(g_text, block);
    const std::string &shown = console();
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
    const std::string &shown = console();
    static std::vector<std::string> frames;
    static std::string dump;
    const size_t count = splitFrames(block, 256, frames);
    size_t nonEmpty = 0;
    for (size_t i = 0; i < count; i++)
        nonEmpty += frames[i].empty() ? 0 : 1;
    if (g_hex.object->pendingCount() - before != nonEmpty)
        fail("the queue did not grow by the non-empty frames of the block");
    hexDump(block, dump);
    if (shown != dump)
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
        const bool ended = end != std::string::npos;
        end = ended ? end : want.shown.size();
        g_boundedHeld.append(want.shown, i, end - i);
        if (ended)
            g_boundedHeld += '\x01';
        g_boundedHeld += '\n';
        g_boundedHeldRecords++;
        i = ended ? end + 1 : end;
    }
    // What term.in newly holds must be the oldest held records: they leave
    // the reference as they reach the file.
    const std::string written = boundedTermIn(1 + g_boundedWritten);
    if (written.size() > g_boundedHeld.size() || g_boundedHeld.compare(0, written.size(), written) != 0)
        fail("term.in does not hold the records of the lines, in order");
    if (!written.empty()) {
        if (written.back() != '\n')
            fail("term.in ends inside a record");
        g_boundedWritten += written.size();
        g_boundedHeldRecords -= static_cast<size_t>(std::count(written.begin(), written.end(), '\n'));
        g_boundedHeld.erase(0, written.size());
    }
    if (g_boundedHeld.size() >= kSmallBound)
        fail("held output reached the bound and was not written out");
    if (g_bounded.object->pendingCount() != g_boundedHeldRecords)
        fail("the held messages are not counted one per record");
    g_queuedBytes += want.shown.size();
}

void throughTerminal(int path, const uint8_t sizes[2], const std::string &data)
{
    if (g_text.object == nullptr)
        buildAll();
    size_t at = 0;
    std::string block;
    for (unsigned turn = 0; at < data.size(); turn++) {
        const size_t n = std::min(blockSize(sizes[turn % 2]), data.size() - at);
        block.assign(data, at, n);
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
    std::vector<std::string> want;
    want.resize(splitFrames(block, static_cast<size_t>(capacity), want));
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

// Every read() of the program: a terminal's connection reads the block
// being delivered, up to what it asks for; nothing waiting is EAGAIN, as on
// a non-blocking socket. Any other descriptor is read for real.
extern "C" ssize_t __real_read(int fd, void *buf, size_t count);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t count)
{
    for (Terminal *t : {&g_text, &g_hex, &g_bounded}) {
        if (fd < 0 || fd != t->desc)
            continue;
        const size_t waiting = t->block != nullptr ? t->block->size() - t->taken : 0;
        if (waiting == 0) {
            errno = EAGAIN;
            return -1;
        }
        const size_t n = std::min(count, waiting);
        std::memcpy(buf, t->block->data() + t->taken, n);
        t->taken += n;
        return static_cast<ssize_t>(n);
    }
    return __real_read(fd, buf, count);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setTarget("fuzz_terminal_text");
    g_dir = fuzz::scratchDir();

    // The console is read back after every block from memory, as the
    // terminal's own console stream does it: stdout names another stream.
    // libFuzzer reports on standard error, which stays where it was.
    cookie_io_functions_t io = {nullptr, consoleWrite, nullptr, nullptr};
    FILE *stream = fopencookie(nullptr, "w", io);
    if (stream == nullptr)
        fail("no console stream");
    setvbuf(stream, nullptr, _IOFBF, 1 << 16);
    fflush(stdout);
    stdout = stream;

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
