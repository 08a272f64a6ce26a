// Any byte stream, written in pieces of any size into a socket pair, read by
// one connection record through connection_data_received.
//
// Framed: every message delivered has a length in 0..MSGBUFSIZE and is the
// next message that a plain parse of the same stream finds, delivered as
// soon as its last byte has been written and at most one per call; the
// connection closes exactly when the first header with a length outside
// 0..MSGBUFSIZE is complete, with one error report, and at the end of the
// stream otherwise.
// Raw: the delivered blocks, each 1..MSGBUFSIZE bytes, put back to back
// are the stream.
// Optionally the message callback sends every message back (the peer must
// then read the stream it wrote, or for framed input the messages it
// wrote) or closes the connection after a chosen message.
//
// Input: byte 0 the mode bits below, bytes 1-4 the write sizes (used in
// turn), byte 5 the message after which the callback closes, then the
// stream itself or, with kBuild, a short description of one (so that
// payloads up to the limit and lengths around it fit in a small input).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "connection.h"
#include "log_capture.h"

namespace {

const uint8_t kRaw = 0x01;     // CS_FLAG_RAW on the connection
const uint8_t kBuild = 0x02;   // the stream is built from a description
const uint8_t kEcho = 0x04;    // the callback sends every message back
const uint8_t kClose = 0x08;   // the callback closes after message input[5]
const size_t kPrefix = 6;      // mode, four write sizes, close index
const size_t kMaxStream = 1 << 15; // room for three messages of the largest payload
// Writes of any size before the pieces grow: sixty-four small pieces cut
// headers at every offset several times over (the four sizes turn with a
// period of four), while a stream dribbled byte by byte for hundreds of
// writes costs three system calls per byte and teaches the reader nothing
// new; coverage feedback still rewards such long loops, so they are cut.
const unsigned kSmallWrites = 64;

// ---- reports and the system log ----

// The library reports on the standard error stream. During a run that
// stream is a capture, so that an expected report can be checked word for
// word and does not flood the fuzzer's output; unexpected text is passed
// through as well, so a failing run still shows it.
std::string g_reports;
bool g_passReports = true;

// Straight to the descriptor: the stream may be the capture just now.
[[noreturn]] void fail(const char *what)
{
    if (!g_passReports && !g_reports.empty())
        dprintf(STDERR_FILENO, "reports held back:%s", g_reports.c_str());
    dprintf(STDERR_FILENO, "fuzz_framed_receiver: %s\n", what);
    std::abort();
}

ssize_t captureWrite(void *, const char *buf, size_t size)
{
    g_reports.append(buf, size);
    if (g_passReports)
        (void)!write(STDERR_FILENO, buf, size);
    return static_cast<ssize_t>(size);
}

FILE *g_capture = nullptr;

class CapturedReports {
public:
    explicit CapturedReports(bool pass) : saved(stderr)
    {
        g_reports.clear();
        kit::capturedLog().clear();
        g_passReports = pass;
        stderr = g_capture;
    }
    ~CapturedReports() { stderr = saved; }
    CapturedReports(const CapturedReports &) = delete;
    CapturedReports &operator=(const CapturedReports &) = delete;

private:
    FILE *saved;
};

} // namespace

namespace {

// ---- the stream and its reference parse ----

void putInt(std::string &out, int32_t value)
{
    const uint32_t v = static_cast<uint32_t>(value);
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

int32_t getInt(const std::string &in, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++)
        v = v << 8 | static_cast<uint8_t>(in[at + i]);
    return static_cast<int32_t>(v);
}

// Write size for one byte: small ones split headers anywhere, large ones
// fill the raw buffer more than once.
size_t writeSize(uint8_t b)
{
    if (b < 0x80)
        return 1 + (b & 0x0f);
    if (b < 0xe0)
        return 17 + static_cast<size_t>(b - 0x80) * 16;
    return static_cast<size_t>(b - 0xdf) * 512;
}

// The patterned payload of a described message with type byte t: made once
// per type byte and copied from then on, as the byte-by-byte loop under
// comparison tracing and overflow checks took a sixth of the whole run
// (up to 32 KiB per input) and its one branch says nothing of the reader.
const char *pattern(uint8_t t)
{
    static std::vector<std::string> made(256);
    std::string &p = made[t];
    if (p.empty()) {
        p.resize(MSGBUFSIZE);
        for (int i = 0; i < MSGBUFSIZE; i++)
            p[static_cast<size_t>(i)] = static_cast<char>(t * 31 + i * 7 + (i >> 8));
    }
    return p.data();
}

// Description ops: 1xxxxxxx copies the next x+1 bytes; 0ccxxxxx takes a
// type byte t and two length bytes h, l and writes a header with type
// t << 24 | x and a length chosen by cc (00: 0..MSGBUFSIZE, 01: around the
// limit, 10: negative, 11: any 32-bit value), then a patterned payload of
// that length (at most MSGBUFSIZE bytes of it).
std::string buildStream(const uint8_t *p, const uint8_t *end)
{
    std::string out;
    while (p < end && out.size() < kMaxStream) {
        const uint8_t op = *p++;
        if (op & 0x80) {
            size_t n = std::min<size_t>((op & 0x7f) + 1u, static_cast<size_t>(end - p));
            out.append(reinterpret_cast<const char *>(p), n);
            p += n;
            continue;
        }
        if (end - p < 3) {
            out.append(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p));
            break;
        }
        const uint8_t t = p[0], h = p[1], l = p[2];
        p += 3;
        const int32_t type = static_cast<int32_t>(static_cast<uint32_t>(t) << 24 | (op & 0x1f));
        const int v = h << 8 | l;
        int32_t length;
        switch (op & 0x60) {
        case 0x00:
            length = v % (MSGBUFSIZE + 1);
            break;
        case 0x20:
            length = MSGBUFSIZE - 0x7f + (v & 0xff);
            break;
        case 0x40:
            length = -1 - v;
            break;
        default:
            length = static_cast<int32_t>(static_cast<uint32_t>(h) << 24 | static_cast<uint32_t>(l) << 16 |
                                          static_cast<uint32_t>(t) << 8 | op);
            break;
        }
        putInt(out, type);
        putInt(out, length);
        const int payload = length < 0 ? 0 : std::min(length, MSGBUFSIZE);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(payload));
        std::memcpy(&out[at], pattern(t), static_cast<size_t>(payload));
    }
    if (out.size() > kMaxStream)
        out.resize(kMaxStream);
    return out;
}

struct Message {
    int type;
    std::string payload;
    size_t end; // stream offset just after its last byte
};

struct Parse {
    std::vector<Message> messages; // complete messages before any bad header
    long badEnd = -1;              // offset just after the first bad header; -1 for none
    int badType = 0;
    int badLength = 0;
};

Parse parseStream(const std::string &s)
{
    Parse r;
    size_t pos = 0;
    while (s.size() - pos >= MSG_HEADER_SIZE) {
        const int type = getInt(s, pos);
        const int length = getInt(s, pos + 4);
        if (length < 0 || length > MSGBUFSIZE) {
            r.badEnd = static_cast<long>(pos + MSG_HEADER_SIZE);
            r.badType = type;
            r.badLength = length;
            break;
        }
        const size_t end = pos + MSG_HEADER_SIZE + static_cast<size_t>(length);
        if (end > s.size())
            break;
        r.messages.push_back({type, s.substr(pos + MSG_HEADER_SIZE, static_cast<size_t>(length)), end});
        pos = end;
    }
    return r;
}

std::string wireMessage(int type, const std::string &payload)
{
    std::string out;
    putInt(out, type);
    putInt(out, static_cast<int32_t>(payload.size()));
    return out + payload;
}

// ---- the receiving side ----

struct Receiver {
    connection *con = nullptr;
    bool raw = false;
    bool echo = false;
    size_t closeAfter = SIZE_MAX; // messages after which the callback closes
    int callsThisRead = 0;
    std::vector<std::pair<int, std::string>> got;
};

int onMessage(void *arg, int type, const char *data, int len)
{
    auto *r = static_cast<Receiver *>(arg);
    if (len < 0 || len > MSGBUFSIZE)
        fail("a message with a length outside 0..MSGBUFSIZE was delivered");
    if (len > 0 && data == nullptr)
        fail("a message without its payload was delivered");
    if (++r->callsThisRead > 1)
        fail("one call delivered more than one message");
    if (r->raw && (type != MSG_RAW || len == 0))
        fail("a raw read was delivered as something else than a non-empty MSG_RAW block");
    r->got.emplace_back(type, std::string(data != nullptr ? data : "", static_cast<size_t>(len)));
    if (r->echo && connection_send(r->con, type, data, len) != 0)
        fail("sending back from the message callback failed on an open connection");
    if (r->got.size() == r->closeAfter)
        connection_close(r->con, 1);
    return 0;
}

void onDisconnect(void *)
{
    fail("a disconnect callback outside the main loop");
}

int readable(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        fail("FIONREAD failed");
    return n;
}

// What the peer has received back so far. A stream socket of this
// process's own pair hands over everything queued up to the buffer's size,
// so a short read has emptied it and the read that would only answer
// EAGAIN is saved; until: keep reading until a read answers nothing.
void readBack(int peer, std::string &into, bool until = false)
{
    static char buf[16384];
    for (;;) {
        ssize_t n = read(peer, buf, sizeof buf);
        if (n <= 0)
            return;
        into.append(buf, static_cast<size_t>(n));
        if (!until && static_cast<size_t>(n) < sizeof buf)
            return;
    }
}

struct Run {
    Receiver rx;
    int lib = -1;  // the library's end; closed by the library
    int peer = -1; // the writing end
    std::string back;       // what the peer read back
    bool backPending = false;  // write_data wrote since the peer last read
    bool closedByRead = false; // a call of connection_data_received answered -1
};

// Reads the sent bytes until nothing is waiting or the connection is
// closed. Every call must take at least one of the waiting bytes. The
// library's end is empty when a drain begins (the last one ended on zero
// waiting, or the connection closed), so what waits is what was just sent:
// one FIONREAD fewer per piece.
void drain(Run &run, size_t sent)
{
    Receiver &rx = run.rx;
    int waiting = static_cast<int>(sent);
    while (connection_state(rx.con) == CONNECTION_OPEN && waiting > 0) {
        rx.callsThisRead = 0;
        const int result = connection_data_received(rx.con);
        const bool open = connection_state(rx.con) == CONNECTION_OPEN;
        if (result != 0) {
            if (open)
                fail("a call answered -1 but left the connection open");
            run.closedByRead = true;
        }
        if (!open)
            break;
        const int left = readable(run.lib);
        if (left >= waiting)
            fail("a call took none of the waiting bytes");
        waiting = left;
        if (rx.echo) {
            // Only a delivery (sending back from the callback) or queued
            // output (written by write_data) puts bytes before the peer.
            if (rx.callsThisRead > 0 || run.backPending)
                readBack(run.peer, run.back);
            run.backPending = connection_queued_bytes(rx.con) > 0;
            if (write_data(rx.con) != 0)
                fail("continuing output to a reading peer failed");
        }
    }
}

void checkReport(const Parse &ref, bool expected)
{
    if (!expected) {
        if (!g_reports.empty() || !kit::capturedLog().empty())
            fail("a report without a bad length");
        return;
    }
    const std::string head = "\n*** ERROR (";
    const std::string where = ", connection_data_received):\n";
    const size_t at = g_reports.find(where);
    if (g_reports.compare(0, head.size(), head) != 0 || at == std::string::npos)
        fail("the bad length was not reported as an error of connection_data_received");
    const std::string body = g_reports.substr(at + where.size());
    if (ref.badLength > MSGBUFSIZE) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "        Message with to large payload received (msg_type=%d, received=%d bytes, "
                      "max=%d bytes). Terminating client!\n\n",
                      ref.badType, ref.badLength, MSGBUFSIZE);
        if (body != text)
            fail("the report of an oversized length is not the one described");
    } else {
        const std::string named = "(msg_type=" + std::to_string(ref.badType) + ", length=" +
                                  std::to_string(ref.badLength) + " bytes)";
        if (body.find(named) == std::string::npos || body.size() < 2 ||
            body.compare(body.size() - 2, 2, "\n\n") != 0)
            fail("the report of a negative length does not name type and length");
    }
    // Every piece of a report also goes to the system log, caught by the
    // kit, so that fuzzing leaves the machine's log alone.
    if (kit::capturedLog().size() != 3)
        fail("the report did not reach the system log piece by piece");
}

void runOnce(uint8_t mode, const uint8_t sizes[4], uint8_t closeIndex, const std::string &stream)
{
    const bool raw = mode & kRaw;
    const Parse ref = raw ? Parse() : parseStream(stream);

    int sv[2];
    // A fresh pair for every input: closing the connection shuts the
    // library's socket down, which a kept pair (or a dup of its end) would
    // not survive. Both ends non-blocking from the start, without four
    // fcntl calls.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0)
        fail("no socket pair");

    if (connection_init() != 0)
        fail("connection_init failed");
    Run run;
    run.lib = sv[0];
    run.peer = sv[1];
    Receiver &rx = run.rx;
    rx.raw = raw;
    rx.echo = mode & kEcho;
    if (mode & kClose)
        rx.closeAfter = closeIndex % 8 + 1u;

    const bool reportExpected = !raw && ref.badEnd >= 0 &&
                                (rx.closeAfter == SIZE_MAX || rx.closeAfter > ref.messages.size());
    {
        CapturedReports reports(!reportExpected);
        rx.con = connection_create(sv[0], onMessage, onDisconnect, &rx);
        if (rx.con == nullptr)
            fail("connection_create refused a socket pair");
        connection_set_flags(rx.con, raw ? CS_FLAG_RAW : 0);

        size_t fed = 0;
        unsigned turn = 0;
        bool closedByCallback = false;
        while (connection_state(rx.con) == CONNECTION_OPEN && fed < stream.size()) {
            // Past kSmallWrites writes the pieces grow, so that a long
            // stream in one-byte writes does not eat the whole run;
            // boundaries still fall anywhere in the stream.
            size_t piece = writeSize(sizes[turn % 4]);
            if (turn++ >= kSmallWrites)
                piece = std::max<size_t>(piece, 997);
            const size_t want = std::min(piece, stream.size() - fed);
            ssize_t n = send(sv[1], stream.data() + fed, want, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                fail("writing the stream failed");
            if (n > 0)
                fed += static_cast<size_t>(n);
            drain(run, n > 0 ? static_cast<size_t>(n) : 0);

            closedByCallback = rx.got.size() == rx.closeAfter;
            if (closedByCallback) {
                if (connection_state(rx.con) != CONNECTION_CLOSED)
                    fail("closing from the message callback left the connection open");
                break;
            }
            if (raw)
                continue;
            // Every message whose last byte is written is delivered, and
            // nothing else.
            size_t due = 0;
            while (due < ref.messages.size() && ref.messages[due].end <= fed)
                due++;
            const bool bad = ref.badEnd >= 0 && fed >= static_cast<size_t>(ref.badEnd);
            if (rx.got.size() != due)
                fail("the messages delivered are not those complete in the stream so far");
            if (bad != (connection_state(rx.con) == CONNECTION_CLOSED))
                fail("the connection did not close exactly on the first bad length");
            if (bad && !run.closedByRead)
                fail("closing on a bad length was not answered with -1");
        }

        if (connection_state(rx.con) == CONNECTION_OPEN) {
            if (rx.echo) {
                // Whatever is still queued goes out before the end: each
                // call writes into an emptied socket, so a call that adds
                // nothing finds nothing left.
                for (int i = 0; i < 1000; i++) {
                    if (write_data(rx.con) != 0)
                        fail("continuing output to a reading peer failed");
                    const size_t had = run.back.size();
                    readBack(sv[1], run.back, true);
                    if (run.back.size() == had)
                        break;
                }
            }
            shutdown(sv[1], SHUT_WR);
            rx.callsThisRead = 0;
            if (connection_data_received(rx.con) != -1 || connection_state(rx.con) != CONNECTION_CLOSED)
                fail("the end of the stream did not close the connection");
        }
        if (rx.echo)
            readBack(sv[1], run.back, true);

        // What was delivered, against the reference.
        std::string expectedBack;
        if (raw) {
            std::string joined;
            for (const auto &m : rx.got)
                joined += m.second;
            if (closedByCallback ? stream.compare(0, joined.size(), joined) != 0 : joined != stream)
                fail("the raw blocks put together are not the stream");
            expectedBack = joined;
        } else {
            const size_t count = std::min(ref.messages.size(), rx.closeAfter);
            if (rx.got.size() != count)
                fail("not every complete message was delivered");
            for (size_t i = 0; i < count; i++) {
                if (rx.got[i].first != ref.messages[i].type || rx.got[i].second != ref.messages[i].payload)
                    fail("a delivered message differs from the stream");
                // Sent back with its own type: MSG_RAW goes out bare.
                expectedBack += rx.got[i].first == MSG_RAW ? rx.got[i].second
                                                           : wireMessage(rx.got[i].first, rx.got[i].second);
            }
        }
        if (rx.echo) {
            // Output queued when the connection closed early is dropped, so
            // only the order can be checked then.
            const bool early = closedByCallback || (!raw && ref.badEnd >= 0);
            if (early ? expectedBack.compare(0, run.back.size(), run.back) != 0 : run.back != expectedBack)
                fail("what was sent back is not what was received, in order");
        }

        connection_shutdown();
    }
    checkReport(ref, reportExpected);
    close(sv[1]);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The library's own start-up installs a SIGPIPE handler that only warns;
    // this target works below that start-up.
    signal(SIGPIPE, SIG_IGN);
    cookie_io_functions_t io = {nullptr, captureWrite, nullptr, nullptr};
    g_capture = fopencookie(nullptr, "w", io);
    if (g_capture == nullptr)
        fail("no report capture");
    setvbuf(g_capture, nullptr, _IONBF, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t prefix[kPrefix] = {0, 0x7f, 0x7f, 0x7f, 0x7f, 0};
    const size_t taken = std::min(size, kPrefix);
    std::memcpy(prefix, data, taken);
    const uint8_t *rest = data + taken;
    const uint8_t *end = data + size;
    const std::string stream = (prefix[0] & kBuild)
                                   ? buildStream(rest, end)
                                   : std::string(reinterpret_cast<const char *>(rest),
                                                 std::min<size_t>(static_cast<size_t>(end - rest), kMaxStream));
    runOnce(prefix[0], prefix + 1, prefix[5], stream);
    return 0;
}
