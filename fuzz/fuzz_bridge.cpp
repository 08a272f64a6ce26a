// The operator bridge as a whole: one real ProgramFileShare with its real
// FileShare, driven by a sequence of events, against an exact oracle.
//
// Events (byte op % 10, then its arguments):
//   0 n bytes   a block of any bytes from the server (while connected)
//   1           a tick, handed over with the tick timer as sender
//   2 b         (b + 1) * 5 ms pass: the object's other timers (feeding,
//               draining, the client's retry) fire as they fall due
//   3           the connection drops (the server closes)
//   4           the connection comes back (retry, connect completed)
//   5 b [bytes] a record appended to term.out: b bytes of data (b >= 0xf0:
//               a long one of 256..2000 patterned bytes); line feeds and
//               NUL bytes come with the data
//   6 b         term.out truncated in place (b even) or replaced by a new
//               file renamed over it (b odd)
//   7           a console line
//   8           the server stops reading, or starts again
//   9 b         the stop: "exit", a line with "bye", or a signal's drain
//
// The oracle:
// - term.in, after its empty first record, holds the server's text cut by
//   the line rules, block by block, in order, nothing lost or doubled;
//   what is held back stays below the byte bound;
// - every record appended to term.out reaches the server once, in order,
//   in pieces of 255 characters; a record leaves term.out only when the
//   connection has taken it. The only records missing are those in flight
//   when a connection dropped: the bytes the connection still held then,
//   which the oracle counts exactly. Records an operator program truncated
//   or replaced before they were taken are its own to lose;
// - console lines and login answers reach the server in order, marked so
//   that the oracle tells them from records;
// - the bytes the connection holds stay within the backlog bound.
//
// Substitutes, for the socket and the clock only: the client's connect gets
// one end of a socket pair, the server the other, and the connection's
// completion, reads, writes and loss are handed to the library as its main
// loop would hand them (the loop runs once per process); the library's
// timers and the monotonic clock are the target's (linker wraps), so that
// time passes only as the input says.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "CsClient.h"
#include "CsStdIn.h"
#include "CsTimer.h"
#include "FileShare.h"
#include "ProgramFileShare.h"
#include "client.h"
#include "client_server.h"
#include "client_server_internal.h"
#include "connection.h"
#include "support.h"

using fuzz::fail;

// ---- the substitutes: timers, the clock, the connect watch ----

namespace {

struct FakeTimer {
    long long due;
    int period;
    cs_timer_func cb;
    void *data;
};
std::map<int, FakeTimer> g_timers;
int g_nextTimer = 1;
long long g_nowMs = 1000000;
bool g_fakeClock = false;
int g_clockStep = 0;           // ms the clock moves at each reading by the object
int g_connectDesc = -1;        // a connect waiting to be completed
con_info *g_connectInfo = nullptr;
int g_connectWatch = -1;        // its watch
int g_connectPeer = -1;         // the server's end of that connect
bool g_fakeSocket = false;
bool g_stopped = false;

} // namespace

// The library is C++: its wrapped names are the mangled ones.
extern "C" {
int __real__Z20connection_add_watchiiPFiiPvES_(int flags, int desc, connection_input_cb cb, void *arg);
int __real__Z23connection_remove_watchi(int id);
int __real_clock_gettime(clockid_t clk, struct timespec *t);
int __real_connect(int fd, const struct sockaddr *address, socklen_t length);

// The client's connect gets one end of a socket pair in place of its
// socket, under the same descriptor number and flags, and the server the
// other end: what is written is readable at once, so the target never
// waits, and every run goes the same way. It is announced as under way, so
// that the connect watch and its completion are the library's own.
int __wrap_connect(int fd, const struct sockaddr *address, socklen_t length)
{
    if (!g_fakeSocket)
        return __real_connect(fd, address, length);
    int pair[2];
    if (g_connectPeer >= 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        fail("no socket pair for the client's connect");
    const int flags = fcntl(fd, F_GETFL);
    if (dup2(pair[0], fd) != fd)
        fail("the client's socket could not be replaced");
    close(pair[0]);
    fcntl(fd, F_SETFL, flags);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    g_connectPeer = pair[1];
    errno = EINPROGRESS;
    return -1;
}

int __wrap__Z23client_server_add_timeriPFiPvES_(int period_ms, cs_timer_func cb, void *data)
{
    const int handle = g_nextTimer++;
    g_timers[handle] = FakeTimer{g_nowMs + period_ms, period_ms, cb, data};
    return handle;
}

int __wrap__Z26client_server_remove_timeri(int handle)
{
    return g_timers.erase(handle) == 1 ? 0 : -1;
}

int __wrap__Z20connection_add_watchiiPFiiPvES_(int flags, int desc, connection_input_cb cb, void *arg)
{
    const int id = __real__Z20connection_add_watchiiPFiiPvES_(flags, desc, cb, arg);
    if (flags == WATCH_WRITE && cb == connect_cb && id >= 0) {
        g_connectDesc = desc;
        g_connectInfo = static_cast<con_info *>(arg);
        g_connectWatch = id;
        // A small send buffer: the connection's own queue fills soon.
        const int size = 4096;
        setsockopt(desc, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    return id;
}

int __wrap__Z23connection_remove_watchi(int id)
{
    if (id >= 0 && id == g_connectWatch) {
        g_connectDesc = -1;
        g_connectInfo = nullptr;
        g_connectWatch = -1;
    }
    return __real__Z23connection_remove_watchi(id);
}

int __wrap_clock_gettime(clockid_t clk, struct timespec *t)
{
    if (!g_fakeClock || clk != CLOCK_MONOTONIC)
        return __real_clock_gettime(clk, t);
    g_nowMs += g_clockStep;
    t->tv_sec = g_nowMs / 1000;
    t->tv_nsec = (g_nowMs % 1000) * 1000000;
    return 0;
}

int __wrap__Z18client_server_stopv(void)
{
    g_stopped = true;
    return 0;
}
}

namespace {

const char kLogin[] = "\x02L\x03";     // answered with \r\n behind it
const size_t kMaxHeld = 3000;          // term.in bound
const size_t kBacklog = 2048;          // connection bound
const int kPiece = FileShare::kPieceChars;

std::string g_out, g_in, g_spare;
// Kept open through an input, so that an event costs the oracle no open:
// term.out for appending (opened again when it is replaced), term.in for
// reading (the terminal only ever appends to it).
int g_outFd = -1;
int g_inFd = -1;
const char kPort[] = "7"; // never reached: the connect is the target's

// ---- what the operator program wrote, as the terminal should send it ----

struct Piece {
    int gen;        // term.out generation (truncation or replacement)
    size_t fileEnd; // offset in that generation's file just after it
    std::string data;
};

struct Oracle {
    std::vector<Piece> pieces; // every piece, in order
    size_t next = 0;           // first piece not wholly received
    size_t within = 0;         // bytes of it received
    int gen = 0;
    size_t fileSize = 0;       // bytes in the current generation
    // Items (console lines, login answers): sent and received, in order.
    std::vector<std::string> itemsSent;
    size_t itemBytes = 0;      // their bytes, all told
    size_t itemsGot = 0;
    size_t itemBytesThisConnection = 0;
    std::string rx;            // received bytes not parsed yet
    // term.in: the records of every line cut so far.
    std::string termIn = "\n";
    size_t termInSeen = 0;     // bytes of term.in checked so far
    bool partial = false;
    size_t lastBlock = 0;
};

Oracle *g_o = nullptr;
ProgramFileShare *g_object = nullptr;
int g_peer = -1;       // the server's end; -1 while not connected
bool g_stalled = false;
int g_consoleSeq = 0;

std::string decodePiece(const std::string &chars)
{
    std::string d = chars;
    if (!d.empty() && d.back() == '\n')
        d.pop_back();
    d.resize(strnlen(d.c_str(), d.size()));
    std::replace(d.begin(), d.end(), '\x01', '\n');
    return d;
}

// Adds the pieces of one record (its encoded bytes, line feed included).
void addRecord(const std::string &encoded)
{
    for (size_t at = 0; at < encoded.size();) {
        size_t n = std::min<size_t>(kPiece, encoded.size() - at);
        const size_t lf = encoded.find('\n', at);
        if (lf != std::string::npos && lf < at + n)
            n = lf - at + 1;
        g_o->pieces.push_back({g_o->gen, g_o->fileSize + at + n, decodePiece(encoded.substr(at, n))});
        at += n;
    }
    g_o->fileSize += encoded.size();
}

// Skips empty pieces at the cursor: they send nothing.
void skipEmpty()
{
    while (g_o->next < g_o->pieces.size() && g_o->within == 0 && g_o->pieces[g_o->next].data.empty())
        g_o->next++;
}

// Matches what the server received against the items and the pieces.
void parseReceived()
{
    std::string &rx = g_o->rx;
    size_t at = 0;
    while (at < rx.size()) {
        if (rx[at] == '\x02') {
            const size_t end = rx.find('\x03', at);
            if (end == std::string::npos)
                break;
            const size_t tail = rx[at + 1] == 'L' ? 2 : 1;
            if (end + 1 + tail > rx.size())
                break;
            const std::string item = rx.substr(at, end + 1 + tail - at);
            if (g_o->itemsGot >= g_o->itemsSent.size() || g_o->itemsSent[g_o->itemsGot] != item)
                fail("a console line or login answer reached the server out of order, twice, or never sent");
            g_o->itemsGot++;
            at = end + 1 + tail;
            continue;
        }
        const size_t end = std::min(rx.find('\x02', at), rx.size());
        while (at < end) {
            skipEmpty();
            if (g_o->next >= g_o->pieces.size())
                fail("the server received record bytes that no record holds");
            const std::string &d = g_o->pieces[g_o->next].data;
            const size_t n = std::min(end - at, d.size() - g_o->within);
            if (rx.compare(at, n, d, g_o->within, n) != 0)
                fail("the server received records out of order, cut or garbled");
            at += n;
            g_o->within += n;
            if (g_o->within == d.size()) {
                g_o->next++;
                g_o->within = 0;
            }
        }
    }
    rx.erase(0, at);
}

connection *clientConnection()
{
    client_server_item *item = client_server_item_find(g_object->getClient()->getHandle());
    return item != nullptr ? item->con : nullptr;
}

// The server reads what has arrived; the connection writes on as the loop
// would when its socket becomes writable.
void serverReads(bool force = false)
{
    if (g_peer < 0 || (g_stalled && !force))
        return;
    char buf[65536];
    // The pair delivers at once: the server reads until nothing is left and
    // the connection writes on until it moves nothing more.
    for (;;) {
        const ssize_t n = recv(g_peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            g_o->rx.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            fail("the terminal closed its connection by itself");
        connection *con = clientConnection();
        const long queued = g_object->getClient()->queuedBytes();
        if (con == nullptr || queued == 0)
            break;
        if (write_data(con) != 0)
            fail("the connection could not write to a reading server");
        if (g_object->getClient()->queuedBytes() == queued)
            break;
    }
    parseReceived();
}

bool connected()
{
    return g_object->getClient()->state() == CsClient::STATE_CONNECTED && g_peer >= 0;
}

// Fires the object's timers other than the tick, in the order they fall
// due, up to ms from now.
void timePasses(int ms)
{
    const long long end = g_nowMs + ms;
    for (int guard = 0; guard < 10000; guard++) {
        auto first = g_timers.end();
        for (auto i = g_timers.begin(); i != g_timers.end(); ++i)
            if (i->second.data != g_object->getTimer() && (first == g_timers.end() || i->second.due < first->second.due))
                first = i;
        if (first == g_timers.end() || first->second.due > end)
            break;
        g_nowMs = std::max(g_nowMs, first->second.due);
        const int handle = first->first;
        first->second.due += std::max(first->second.period, 1);
        const FakeTimer t = first->second;
        if (t.cb(t.data) != 0)
            g_timers.erase(handle);
        serverReads();
        if (g_stopped)
            return;
    }
    g_nowMs = std::max(g_nowMs, end);
}

void completeConnect()
{
    if (g_connectInfo == nullptr)
        return;
    if (g_connectPeer < 0)
        fail("the terminal's client did not connect");
    g_peer = g_connectPeer;
    g_connectPeer = -1;
    g_o->itemBytesThisConnection = 0;
    g_o->partial = false; // a new connection's text starts on a line of its own
    connect_cb(g_connectDesc, g_connectInfo);
    if (!connected())
        fail("a completed connect left the client unconnected");
    serverReads();
}

// The bytes the connection holds are lost with it: they are the records
// (and lines) in flight, counted here.
void drop()
{
    if (!connected())
        return;
    serverReads(true); // what reached the server's socket, it has
    size_t lost = static_cast<size_t>(g_object->getClient()->queuedBytes());
    // Items sent but not received were in flight.
    size_t lostItems = 0;
    for (size_t i = g_o->itemsGot; i < g_o->itemsSent.size(); i++)
        lostItems += g_o->itemsSent[i].size();
    if (!g_o->rx.empty()) {
        // An item cut by the drop: its start arrived.
        if (g_o->rx[0] != '\x02')
            fail("unparsed record bytes at a drop");
        lostItems -= g_o->rx.size();
        g_o->rx.clear();
    }
    if (lostItems > lost)
        fail("lines sent on the connection vanished beyond what it held");
    g_o->itemsGot = g_o->itemsSent.size();
    size_t records = lost - lostItems;
    // The rest of the piece under way, then whole pieces.
    while (records > 0) {
        skipEmpty();
        if (g_o->next >= g_o->pieces.size())
            fail("the connection held more record bytes than were taken");
        const size_t rest = g_o->pieces[g_o->next].data.size() - g_o->within;
        if (rest > records)
            fail("the bytes in flight at a drop do not end at a piece's end");
        records -= rest;
        g_o->next++;
        g_o->within = 0;
    }
    if (g_o->within != 0)
        fail("a piece cut at a drop was not counted in flight");
    const int handle = g_object->getClient()->getHandle();
    client_server_item *item = client_server_item_find(handle);
    close(g_peer);
    g_peer = -1;
    // As the loop does: the read finds the end, the connection is ended and
    // its owner told.
    for (int i = 0; i < 100 && client_server_data_received(handle) == 0; i++) {
    }
    if (item == nullptr)
        fail("no library item for the client's connection");
    terminate_connection(item->con);
    disconnect_cb(item);
    if (g_object->getClient()->state() == CsClient::STATE_CONNECTED)
        fail("a lost connection still counts as connected");
}

void restore()
{
    if (connected())
        return;
    // The retry timer, then the connect it starts.
    for (int i = 0; i < 3 && g_connectInfo == nullptr; i++)
        timePasses(1100);
    completeConnect();
}

// term.out records the oracle has not seen taken are dropped from it when
// the operator program truncates or replaces the file.
void forgetUntaken()
{
    size_t records = 0, bytes = 0;
    g_object->getFiles()->unread(records, bytes);
    const size_t taken = g_o->fileSize - bytes;
    std::vector<Piece> kept;
    size_t i = 0;
    for (; i < g_o->pieces.size(); i++) {
        const Piece &p = g_o->pieces[i];
        if (p.gen == g_o->gen && p.fileEnd > taken)
            break;
    }
    if (i < g_o->pieces.size() && i > 0 && g_o->pieces[i - 1].gen == g_o->gen &&
        g_o->pieces[i - 1].fileEnd != taken)
        fail("term.out's read position is not at a piece's end");
    if (i < g_o->next)
        fail("records not taken from term.out reached the server");
    g_o->pieces.resize(i);
    g_o->gen++;
    g_o->fileSize = 0;
}

void appendRecord(const uint8_t *&p, const uint8_t *end)
{
    if (p >= end)
        return;
    const uint8_t b = *p++;
    std::string data;
    if (b >= 0xf0) {
        const size_t n = 256 + (b - 0xf0) * 116;
        for (size_t i = 0; i < n; i++)
            data += static_cast<char>('a' + (i * 7 + b) % 26);
        if (b & 1)
            data[n / 2] = '\n';
    } else {
        const size_t n = std::min<size_t>(b, static_cast<size_t>(end - p));
        data.assign(reinterpret_cast<const char *>(p), n);
        p += n;
    }
    // The markers of console lines never occur in records.
    for (char &c : data)
        if (c == '\x02' || c == '\x03')
            c = '.';
    std::string encoded;
    for (char c : data)
        encoded += c == '\n' ? '\x01' : c;
    encoded += '\n';
    fuzz::writeAll(g_outFd, encoded.data(), encoded.size());
    addRecord(encoded);
}

// A console line or login answer the terminal is to send.
void sendItem(const std::string &item)
{
    g_o->itemsSent.push_back(item);
    g_o->itemBytes += item.size();
}

// The block's lines as term.in records (the line rules).
void expectLines(const std::string &block)
{
    const std::string shown = fuzz::cutLines(block, g_o->partial).shown;
    size_t before = g_o->termIn.size();
    for (size_t at = 0; at < shown.size();) {
        size_t e = shown.find('\n', at);
        e = e == std::string::npos ? shown.size() : e + 1;
        std::string rec = shown.substr(at, e - at);
        if (rec.back() == '\n')
            rec.back() = '\x01';
        g_o->termIn += rec + '\n';
        at = e;
    }
    g_o->lastBlock = g_o->termIn.size() - before;
}

void serverBlock(const uint8_t *&p, const uint8_t *end)
{
    if (p >= end)
        return;
    const size_t want = static_cast<size_t>(*p++) + 1;
    const size_t n = std::min<size_t>(want, static_cast<size_t>(end - p));
    const std::string block(reinterpret_cast<const char *>(p), n);
    p += n;
    if (!connected() || block.empty())
        return;
    fuzz::writeAll(g_peer, block.data(), block.size());
    const int handle = g_object->getClient()->getHandle();
    const int desc = client_server_descriptor(handle);
    size_t got = 0;
    // The reads take the block in one or more pieces; each is a block of
    // its own for the line rules, as the loop would deliver it.
    while (got < block.size()) {
        const int ready = fuzz::readable(desc);
        if (ready <= 0)
            fail("the server's block did not arrive");
        const std::string piece = block.substr(got, static_cast<size_t>(ready));
        got += piece.size();
        if (fuzz::isLoginPrompt(piece))
            sendItem(std::string(kLogin) + "\r\n");
        else
            expectLines(piece);
        if (client_server_data_received(handle) != 0)
            fail("reading the server's block failed");
    }
    serverReads();
}

void consoleLine(const char *text)
{
    CsEventMsg msg(text, static_cast<int>(strlen(text)));
    const bool sends = connected();
    if (strstr(text, "exit") == nullptr && sends)
        sendItem(text);
    if (g_object->callback(g_object->getConsole(), &msg) != 0)
        fail("the console's line was refused");
    serverReads();
}

// term.in holds a prefix of the expected records, at a record boundary,
// and what is held back stays within the bound. Between events only what
// was written since the last look is read (term.in is only ever appended
// to); at the end the whole file is compared.
void checkTermIn(bool whole)
{
    const size_t from = whole ? 0 : g_o->termInSeen;
    std::string got;
    if (whole) {
        got = fuzz::readFile(g_in); // by its name: the file there now
    } else {
        char buf[16384];
        ssize_t n;
        while ((n = pread(g_inFd, buf, sizeof buf, static_cast<off_t>(from + got.size()))) > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    const size_t size = from + got.size();
    if (size < g_o->termInSeen || g_o->termIn.compare(from, got.size(), got) != 0)
        fail("term.in is not the server's text cut by the line rules, in order");
    if (size == 0 || (got.empty() ? g_o->termIn[size - 1] : got.back()) != '\n')
        fail("term.in ends inside a record");
    if (whole && size != g_o->termIn.size())
        fail("server text never reached term.in");
    if (g_o->termIn.size() - size >= kMaxHeld + g_o->lastBlock)
        fail("held server text grew beyond its bound");
    g_o->termInSeen = size;
}

void checkBounds()
{
    const size_t queued = static_cast<size_t>(g_object->getClient()->queuedBytes());
    if (queued > kBacklog + kPiece + g_o->itemBytes)
        fail("the connection holds more than the backlog bound and one piece");
}

void stop(uint8_t how)
{
    switch (how % 3) {
    case 0:
        consoleLine("exit\n");
        break;
    case 1: {
        char line[32];
        snprintf(line, sizeof line, "\x02" "C%04d bye\x03\n", g_consoleSeq++);
        consoleLine(line);
        break;
    }
    default:
        g_object->drainAndStop();
        break;
    }
    for (int i = 0; i < 400 && !g_stopped; i++)
        timePasses(10);
    if (!g_stopped)
        fail("the stop never ended");
}

void finish()
{
    // Whatever the connection still holds goes to a server that reads.
    g_stalled = false;
    serverReads(true);
    if (connected()) {
        skipEmpty();
        size_t records = 0, bytes = 0;
        g_object->getFiles()->unread(records, bytes);
        const size_t taken = g_o->fileSize - bytes;
        size_t i = g_o->next;
        while (i < g_o->pieces.size() && (g_o->pieces[i].data.empty() && g_o->pieces[i].gen == g_o->gen &&
                                           g_o->pieces[i].fileEnd <= taken))
            i++;
        if (g_o->within != 0 || (i < g_o->pieces.size() && g_o->pieces[i].gen == g_o->gen &&
                                 g_o->pieces[i].fileEnd <= taken))
            fail("records taken from term.out never reached the server");
        if (g_o->itemsGot != g_o->itemsSent.size())
            fail("a console line or login answer never reached the server");
    }
    delete g_object;
    g_object = nullptr;
    checkTermIn(true);
}

void run(const uint8_t *data, size_t size)
{
    Oracle oracle;
    g_o = &oracle;
    g_timers.clear();
    g_stopped = false;
    g_stalled = false;
    g_consoleSeq = 0;
    g_connectInfo = nullptr;
    g_connectDesc = -1;
    g_connectWatch = -1;
    g_peer = -1;
    fuzz::writeFile(g_out, "");
    unlink(g_in.c_str());
    // The first object starts the library; later inputs start it afresh.
    if (CsApplication::status() == 0 && client_server_init() != 0)
        fail("the library did not start");
    g_clockStep = size > 0 ? data[0] & 1 : 0;
    g_object = new ProgramFileShare("127.0.0.1", kPort, g_out.c_str(), g_in.c_str(), kLogin, 0, 1000, 0,
                                    1, 1, 1, kMaxHeld, kBacklog, 2000);
    g_outFd = open(g_out.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    g_inFd = open(g_in.c_str(), O_RDONLY | O_CLOEXEC);
    if (g_outFd < 0 || g_inFd < 0)
        fail("term.out or term.in cannot be opened");
    completeConnect();

    const uint8_t *p = data + (size > 0 ? 1 : 0);
    const uint8_t *end = data + size;
    bool stopped = false;
    while (p < end && !stopped) {
        const uint8_t op = *p++ % 10;
        const uint8_t arg = p < end ? *p : 0;
        switch (op) {
        case 0:
            serverBlock(p, end);
            break;
        case 1:
            if (g_object->callback(g_object->getTimer(), nullptr) != 0)
                fail("a tick was refused");
            serverReads();
            break;
        case 2:
            p += p < end;
            timePasses((arg + 1) * 5);
            break;
        case 3:
            drop();
            break;
        case 4:
            restore();
            break;
        case 5:
            appendRecord(p, end);
            break;
        case 6:
            p += p < end;
            forgetUntaken();
            if (arg & 1) {
                fuzz::writeFile(g_spare, "");
                if (rename(g_spare.c_str(), g_out.c_str()) != 0)
                    fail("term.out could not be replaced");
                close(g_outFd);
                g_outFd = open(g_out.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                if (g_outFd < 0)
                    fail("the new term.out cannot be opened");
            } else if (ftruncate(g_outFd, 0) != 0) {
                fail("term.out could not be cut");
            }
            // The operator program appends again only after a tick has
            // seen the change: a file cut and regrown within one tick
            // cannot be told from one that grew.
            if (g_object->callback(g_object->getTimer(), nullptr) != 0)
                fail("a tick was refused");
            serverReads();
            break;
        case 7: {
            char line[32];
            snprintf(line, sizeof line, "\x02" "C%04d\x03\n", g_consoleSeq++);
            consoleLine(line);
            break;
        }
        case 8:
            g_stalled = !g_stalled;
            serverReads();
            break;
        case 9:
            p += p < end;
            stop(arg);
            stopped = true;
            break;
        }
        if (g_stopped)
            stopped = true;
        checkBounds();
        checkTermIn(false);
    }
    finish();
    close(g_outFd);
    close(g_inFd);
    g_outFd = g_inFd = -1;
    if (g_peer >= 0)
        close(g_peer);
    g_peer = -1;
    client_server_shutdown();
    g_timers.clear();
    // A connect the input left unfinished.
    if (g_connectPeer >= 0)
        close(g_connectPeer);
    g_connectPeer = -1;
    g_o = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setTarget("fuzz_bridge");
    g_out = fuzz::scratchFile("term.out");
    g_in = fuzz::scratchFile("term.in");
    g_spare = fuzz::scratchFile("term.out.new");
    // The console shows what it shows; the oracle reads the files and the
    // server's end.
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    g_fakeClock = true;
    g_fakeSocket = true;
    run(data, size);
    g_fakeSocket = false;
    g_fakeClock = false;
    return 0;
}
