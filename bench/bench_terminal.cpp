// The terminal program under load and at rest, each figure beside a baseline
// measured in the same run.
//
//   Console: one stream of 16 MiB of 100-byte lines from a loopback server
//   relayed to the program's standard output (a pipe drained by the
//   benchmark): quorvane in terminal mode, beside socat relaying the same
//   stream to its stdout, `socat ... | tee -a FILE` (which gives the same
//   two outputs as the terminal: the console and a file copy), and cat
//   reading it through a bash /dev/tcp redirect, in rotating order; with
//   --quorvane-before=PATH an older quorvane program runs beside them. A
//   peer that is not installed is skipped with a message. Counters: median
//   MB/s of each, the medians of the per-round ratios quorvane/peer (above
//   1: quorvane faster), the median CPU time each relay (with its
//   pipeline) spent on the stream, and its minor page faults (the memory
//   the kernel had to supply for the stream).
//   TermIn/16 and TermIn/64: a stream of 16 or 64 MiB until term.in holds
//   all of it; this includes the quiet tick (one to two seconds) that the
//   program waits for the rest. Counters: the peak resident set over the
//   whole run (which for 64 MiB is the burst against the byte bound on held
//   output), and the resident set shortly after the output was written
//   out; with --quorvane-before the same for the older program.
//   TermInFlush/OneOpen vs TermInFlush/OpenPerRecord: in process, 10000
//   queued lines appended to term.in through one open, against one
//   open/append/close per record.
//   TermOut/quorvane: records appended to term.out at once, from the first
//   byte at the server to the last: all are sent in one tick.
//   TermOutStream: 20 MiB of records appended to term.out at once, read by
//   the server at full speed while it sends a short line every 10 ms:
//   MB/s from the first byte at the server to the last, and the longest
//   time a line of server text waited to be shown; with --quorvane-before
//   the same for the older program and the ratio of their times (above 1:
//   quorvane faster).
//   TermOutStalled: a server that does not read for 3 s while 30 MiB of
//   records are appended, then reads them all: the terminal's peak resident
//   set (and the older program's).
//   TermOutRead/FileShare vs TermOutRead/OneStream: in process, the same
//   records read through FileShare (one open per call) against one stdio
//   stream reading them all.
//   Idle/quorvane, Idle/socat: a program connected to a quiet server: CPU
//   time and wake-ups (context switches), scaled to 60 s, and peak RSS.
//
// The quorvane program is found beside the bench folder of the build
// (../quorvane from this program), or given with --quorvane=PATH; an older
// one to compare with --quorvane-before=PATH; the idle window with
// --idle-seconds=N (default 10, scaled to 60 s).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FileShare.h"
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"

namespace {

std::string quorvanePath;
std::string beforePath;  // an older quorvane measured beside it; empty for none
int idleSeconds = 10;

constexpr size_t kLineBytes = 100;
constexpr size_t kStreamBytes = 16u << 20;  // 16 MiB of lines per run

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string makeStream(size_t bytes)
{
    std::string s;
    s.reserve(bytes);
    size_t n = 0;
    while (s.size() + kLineBytes <= bytes) {
        char head[32];
        int h = snprintf(head, sizeof head, "%08zu ", n++);
        std::string line(head, static_cast<size_t>(h));
        line.append(kLineBytes - 1 - line.size(), static_cast<char>('a' + n % 26));
        s += line;
        s += '\n';
    }
    return s;
}

const std::string& stream(size_t bytes = kStreamBytes)
{
    static const std::string s16 = makeStream(kStreamBytes);
    if (bytes == kStreamBytes)
        return s16;
    static const std::string s64 = makeStream(64u << 20);
    return s64;
}

// Whether a program is found on the search path.
bool installed(const char* program)
{
    std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

off_t fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A terminal (or a peer relay) under test: a program on pipes in the
// directory of its shared files, its output drained and kept by the kit.
kit::ChildOptions inDirectory(const kit::TempDir& dir)
{
    kit::ChildOptions o;
    o.capture = true;  // standard error apart: only the console output is counted
    o.workDir = dir.path();
    return o;
}

// Bytes of a terminal's console output from `from` on, counting what its
// drop notices say it did not show in place of the notices themselves.
size_t shownOrDropped(const std::string& out, size_t from)
{
    static const char kNotice[] = "*** Console output dropped: ";
    size_t total = out.size() - from;
    for (size_t at = out.find(kNotice, from); at != std::string::npos; at = out.find(kNotice, at + 1)) {
        // A notice after an unfinished line starts with a line break of its
        // own, which is counted as shown: at most a byte per gap.
        const size_t end = out.find('\n', at);
        total -= (end == std::string::npos ? out.size() : end + 1) - at;
        total += strtoull(out.c_str() + at + sizeof kNotice - 1, nullptr, 10);
    }
    return total;
}

// Sends the stream to the peer while the kit drains the child's output;
// returns the seconds until the child has put out `expect` bytes more, or -1.
// A terminal's console drops what it cannot keep up with and says so: once
// everything is sent and the output has been quiet for a moment, the shown
// and the dropped bytes together must make up `expect`, and the time is that
// of the last byte shown.
double relay(int peer, kit::Child& child, const std::string& data, size_t expect, int timeoutMs)
{
    fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
    const size_t base = child.outputSize();
    size_t sent = 0;
    auto start = Clock::now();
    size_t lastSize = base;
    double lastGrowth = 0;
    while (child.outputSize() - base < expect) {
        const double now = secondsSince(start);
        if (now * 1000 > timeoutMs)
            return -1;
        if (child.outputSize() != lastSize) {
            lastSize = child.outputSize();
            lastGrowth = now;
        }
        if (sent == data.size()) {
            if (now - lastGrowth > 0.3)
                return shownOrDropped(child.output(), base) >= expect ? lastGrowth : -1;
            if (!child.running())
                return -1;
            usleep(500);
            continue;
        }
        pollfd p = {peer, POLLOUT, 0};
        if (poll(&p, 1, 1) <= 0)
            continue;
        ssize_t n = send(peer, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    return secondsSince(start);
}

// A line "Name: value kB" of /proc/<pid>/status, -1 when missing.
long statusKiB(pid_t pid, const char* name)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    long value = -1;
    if (FILE* f = fopen(path, "r")) {
        char line[256];
        const size_t n = strlen(name);
        while (fgets(line, sizeof line, f) != nullptr)
            if (strncmp(line, name, n) == 0 && line[n] == ':')
                value = atol(line + n + 1);
        fclose(f);
    }
    return value;
}

// Minor page faults of a process so far (tenth field of stat): each is a
// page of memory the kernel supplied.
double minorFaults(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    double faults = -1;
    if (FILE* f = fopen(path, "r")) {
        char buf[1024];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = '\0';
        fclose(f);
        // The command name may hold spaces: count fields after its ')'.
        const char* p = strrchr(buf, ')');
        for (int field = 2; p != nullptr && *p != '\0'; ++p)
            if (*p == ' ' && ++field == 10) {
                faults = atof(p + 1);
                break;
            }
    }
    return faults;
}

// CPU time of a process so far, in nanoseconds (first field of schedstat).
double cpuNs(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    double ns = -1;
    if (FILE* f = fopen(path, "r")) {
        if (fscanf(f, "%lf", &ns) != 1)
            ns = -1;
        fclose(f);
    }
    return ns;
}

// A process and all its descendants, for a relay that is a pipeline.
std::vector<pid_t> processTree(pid_t pid)
{
    std::vector<pid_t> all = {pid};
    for (size_t i = 0; i < all.size(); ++i) {
        char path[96];
        snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(all[i]), static_cast<int>(all[i]));
        if (FILE* f = fopen(path, "r")) {
            int child;
            while (fscanf(f, "%d", &child) == 1)
                all.push_back(static_cast<pid_t>(child));
            fclose(f);
        }
    }
    return all;
}

double treeSum(const std::vector<pid_t>& tree, double (*of)(pid_t))
{
    double sum = 0;
    for (pid_t p : tree)
        sum += std::max(0.0, of(p));
    return sum;
}

std::vector<std::string> quorvaneArgs(const kit::Listener& server, const kit::TempDir& dir,
                                      const std::string& program = quorvanePath)
{
    return {program, "-s", "127.0.0.1", "-p", server.portText(), "-f" + dir.path()};
}

// The server's end of a terminal's connection, once the terminal says it
// is connected; -1 when it does not within 5 s.
int acceptTerminal(kit::Listener& server, kit::Child& child)
{
    const int peer = server.accept(5000);
    return peer >= 0 && child.waitFor("Connected to server\n", 5000) ? peer : -1;
}

// The relays of the console benchmark.
enum Relay { kQuorvane, kSocat, kSocatTee, kCat, kBefore, kRelays };
const char* const kRelayName[kRelays] = {"quorvane", "socat", "socat_tee", "cat", "before"};

// One relay of the whole stream; seconds from the first byte sent to the
// last byte shown, -1 on failure. *cpuMs and *faults: the relay's CPU time
// and minor page faults over the same span, its pipeline included.
double consoleRelay(Relay which, double* cpuMs, double* faults)
{
    kit::Listener server;
    kit::TempDir dir;
    const std::string port = server.portText();
    std::vector<std::string> argv;
    switch (which) {
    case kQuorvane: argv = quorvaneArgs(server, dir); break;
    case kBefore: argv = quorvaneArgs(server, dir, beforePath); break;
    case kSocat: argv = {"socat", "-u", "TCP:127.0.0.1:" + port, "STDOUT"}; break;
    case kSocatTee:
        argv = {"bash", "-c", "socat -u TCP:127.0.0.1:" + port + " STDOUT | tee -a " + dir.file("term.in")};
        break;
    default: argv = {"bash", "-c", "exec cat </dev/tcp/127.0.0.1/" + port}; break;
    }
    kit::Child child(argv, inDirectory(dir));
    // What quorvane printed before the stream is not counted.
    const bool isQuorvane = which == kQuorvane || which == kBefore;
    const int peer = server.accept(5000);
    if (peer < 0 || (isQuorvane && !child.waitFor("Connected to server\n", 5000)))
        return -1;
    const std::vector<pid_t> tree = processTree(child.processId());
    double before = treeSum(tree, cpuNs);
    double faultsBefore = treeSum(tree, minorFaults);
    double s = relay(peer, child, stream(), stream().size(), 60000);
    *cpuMs = (treeSum(tree, cpuNs) - before) / 1e6;
    *faults = treeSum(tree, minorFaults) - faultsBefore;
    if (isQuorvane)
        child.write("exit\n");
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The relays side by side: each round runs all of them, in an order that
// rotates from round to round, so that a change of machine load hits them
// alike. The counters are medians over the rounds.
void BM_Console(benchmark::State& state)
{
    std::vector<Relay> relays = {kQuorvane, kCat};
    if (installed("socat")) {
        relays.push_back(kSocat);
        relays.push_back(kSocatTee);
    } else {
        fprintf(stderr, "socat is not installed: the socat and socat|tee relays are skipped\n");
    }
    if (!beforePath.empty())
        relays.push_back(kBefore);
    const double mb = static_cast<double>(stream().size()) / 1e6;
    std::vector<double> rate[kRelays], cpu[kRelays], faults[kRelays], ratio[kRelays];
    size_t round = 0;
    for (auto _ : state) {
        double t[kRelays] = {};
        for (size_t k = 0; k < relays.size(); ++k) {
            const Relay which = relays[(round + k) % relays.size()];
            double ms = 0;
            double pages = 0;
            t[which] = consoleRelay(which, &ms, &pages);
            if (t[which] <= 0) {
                state.SkipWithError((std::string(kRelayName[which]) + " relay failed").c_str());
                return;
            }
            rate[which].push_back(mb / t[which]);
            cpu[which].push_back(ms);
            faults[which].push_back(pages);
        }
        for (Relay r : relays)
            ratio[r].push_back(t[r] / t[kQuorvane]);
        state.SetIterationTime(t[kQuorvane]);
        ++round;
    }
    for (Relay r : relays) {
        const std::string name = kRelayName[r];
        state.counters[name + "_MBps"] = median(rate[r]);
        state.counters[name + "_cpu_ms"] = median(cpu[r]);
        state.counters[name + "_page_faults"] = median(faults[r]);
        if (r != kQuorvane)
            state.counters["quorvane_vs_" + name] = median(ratio[r]);
    }
}

// Peak and settled resident memory of one run of a stream until term.in
// holds it all; false when the run failed.
bool termInRun(const std::string& program, const std::string& data, double* seconds, double* peakKiB,
               double* afterKiB)
{
    const off_t expected = static_cast<off_t>(1 + data.size() + data.size() / kLineBytes);
    kit::Listener server;
    kit::TempDir dir;
    kit::Child child(quorvaneArgs(server, dir, program), inDirectory(dir));
    const int peer = acceptTerminal(server, child);
    if (peer < 0)
        return false;
    auto start = Clock::now();
    if (relay(peer, child, data, data.size(), 120000) < 0)
        return false;
    const std::string termIn = dir.file("term.in");
    // Lines cut by a read boundary take a record more: at least this many
    // bytes, and the last of them come with the last flush.
    while (fileSize(termIn) < expected && secondsSince(start) < 60)
        usleep(2000);
    if (fileSize(termIn) < expected)
        return false;
    *seconds = secondsSince(start);
    // The output is let go right after term.in is closed; what the burst
    // left behind is what stays resident a moment later.
    usleep(200000);
    *peakKiB = static_cast<double>(statusKiB(child.processId(), "VmHWM"));
    *afterKiB = static_cast<double>(statusKiB(child.processId(), "VmRSS"));
    child.write("exit\n");
    return true;
}

void BM_TermIn(benchmark::State& state)
{
    const std::string& data = stream(static_cast<size_t>(state.range(0)) << 20);
    std::vector<double> peak[2], after[2];
    for (auto _ : state) {
        for (int k = 0; k < (beforePath.empty() ? 1 : 2); ++k) {
            double seconds = 0, peakKiB = 0, afterKiB = 0;
            if (!termInRun(k == 0 ? quorvanePath : beforePath, data, &seconds, &peakKiB, &afterKiB)) {
                state.SkipWithError(k == 0 ? "the stream did not reach term.in" : "the older program failed");
                return;
            }
            if (k == 0)
                state.SetIterationTime(seconds);
            peak[k].push_back(peakKiB);
            after[k].push_back(afterKiB);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["peak_rss_KiB"] = median(peak[0]);
    state.counters["rss_after_flush_KiB"] = median(after[0]);
    if (!beforePath.empty()) {
        state.counters["before_peak_rss_KiB"] = median(peak[1]);
        state.counters["before_rss_after_flush_KiB"] = median(after[1]);
    }
}

// 10000 queued lines of 100 bytes, as one flush would write them: encoded
// as records and appended through one open, against one writeLine each.
void termInFlush(benchmark::State& state, bool oneOpen)
{
    const std::string& data = stream();
    const int lines = 10000;
    kit::TempDir dir;
    const std::string termIn = dir.file("term.in");
    FileShare files(nullptr, termIn.c_str(), 0, 0, 1);
    for (auto _ : state) {
        if (oneOpen) {
            std::string records;
            for (int i = 0; i < lines; ++i)
                files.encodeRecord(records, data.data() + static_cast<size_t>(i) * kLineBytes, static_cast<int>(kLineBytes));
            files.appendRecords(records.data(), records.size());
        } else {
            for (int i = 0; i < lines; ++i)
                files.writeLine(data.data() + static_cast<size_t>(i) * kLineBytes, static_cast<int>(kLineBytes));
        }
        state.PauseTiming();
        files.resetOutput();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines * kLineBytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
}

void BM_TermInFlush_OneOpen(benchmark::State& state) { termInFlush(state, true); }
void BM_TermInFlush_OpenPerRecord(benchmark::State& state) { termInFlush(state, false); }

constexpr int kRecords = 10000;
constexpr size_t kRecordBytes = 50;

std::string makeRecords()
{
    std::string all;
    for (int i = 0; i < kRecords; ++i) {
        char rec[64];
        snprintf(rec, sizeof rec, "%08d 14025.0 DL1ABC 599 599 contest", i);
        std::string r(rec);
        r.resize(kRecordBytes - 2, 'x');
        r += "\x01\n";  // a line of data: its line feed travels as 0x01
        all += r;
    }
    return all;
}

void BM_TermOut_quorvane(benchmark::State& state)
{
    const std::string records = makeRecords();
    // Each record reaches the server without its line feed.
    const size_t expect = records.size() - kRecords;
    for (auto _ : state) {
        kit::Listener server;
        kit::TempDir dir;
        kit::Child child(quorvaneArgs(server, dir), inDirectory(dir));
        const int peer = acceptTerminal(server, child);
        if (peer < 0) {
            state.SkipWithError("no connection");
            return;
        }
        kit::appendFile(dir.file("term.out"), records);
        // From the first byte to the last: the whole batch in one tick.
        static char buf[1 << 16];
        size_t got = 0;
        Clock::time_point first;
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (got < expect && Clock::now() < deadline) {
            pollfd p = {peer, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            if (got == 0)
                first = Clock::now();
            got += static_cast<size_t>(n);
        }
        if (got < expect) {
            state.SkipWithError("records missing");
            return;
        }
        state.SetIterationTime(secondsSince(first));
        child.write("exit\n");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
}

// term.out records of 100 bytes (99 of data and the line feed mark).
std::string termOutRecords(size_t bytes)
{
    std::string records = makeStream(bytes);
    // Each line's last character becomes the mark of its line feed: the
    // server receives 99 bytes per record, the line feed included.
    for (size_t at = kLineBytes - 1; at < records.size(); at += kLineBytes)
        records[at - 1] = '\x01';
    return records;
}

struct TermOutFigures {
    double seconds = -1;    // first byte at the server to the last
    double longestWaitMs = -1;  // server text sent to shown on the console, the longest
};

// 20 MiB of records appended to term.out at once, read by the server at
// full speed, while the server sends a short line every 10 ms that the
// terminal shows on its console as it arrives.
TermOutFigures termOutRun(const std::string& program, const std::string& records)
{
    TermOutFigures f;
    kit::Listener server;
    kit::TempDir dir;
    kit::Child child(quorvaneArgs(server, dir, program), inDirectory(dir));
    const int peer = acceptTerminal(server, child);
    if (peer < 0)
        return f;
    fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
    const size_t expect = records.size() / kLineBytes * (kLineBytes - 1);  // the data, its line feeds included
    const size_t base = child.outputSize();
    kit::appendFile(dir.file("term.out"), records);
    static char buf[1 << 16];
    size_t got = 0;
    std::vector<long long> sentAt;  // kit::nowMs() of each mark sent
    Clock::time_point first, nextMark = Clock::now();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (got < expect && Clock::now() < deadline) {
        if (Clock::now() >= nextMark) {
            char mark[32];
            int n = snprintf(mark, sizeof mark, "mark %06zu\n", sentAt.size());
            if (send(peer, mark, static_cast<size_t>(n), MSG_NOSIGNAL) == n)
                sentAt.push_back(kit::nowMs());
            nextMark += std::chrono::milliseconds(10);
        }
        pollfd p = {peer, POLLIN, 0};
        if (poll(&p, 1, 2) <= 0)
            continue;
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, 0)) > 0) {
            if (got == 0)
                first = Clock::now();
            got += static_cast<size_t>(n);
        }
        if (n == 0)
            break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
    // Each mark's wait: from its send to the time the kit read it from the
    // console, in the order they were shown.
    char last[32];
    snprintf(last, sizeof last, "mark %06zu\n", sentAt.empty() ? 0 : sentAt.size() - 1);
    if (got >= expect && (sentAt.empty() || child.waitFor(last, 10000, base))) {
        const std::string console = child.output();
        double longest = 0;
        size_t at = base;
        for (size_t k = 0; k < sentAt.size(); ++k) {
            char mark[32];
            snprintf(mark, sizeof mark, "mark %06zu\n", k);
            const size_t found = console.find(mark, at);
            if (found == std::string::npos)
                continue;
            at = found;
            longest = std::max(longest, static_cast<double>(child.seenAt(mark, found) - sentAt[k]));
        }
        f.seconds = seconds;
        f.longestWaitMs = longest;
    }
    child.write("exit\n");
    return f;
}

void BM_TermOutStream(benchmark::State& state)
{
    const std::string records = termOutRecords(20u << 20);
    const double mb = static_cast<double>(records.size()) / 1e6;
    std::vector<double> rate[2], wait[2], ratio;
    for (auto _ : state) {
        TermOutFigures f[2];
        for (int k = 0; k < (beforePath.empty() ? 1 : 2); ++k) {
            f[k] = termOutRun(k == 0 ? quorvanePath : beforePath, records);
            if (f[k].seconds <= 0) {
                state.SkipWithError("records missing");
                return;
            }
            rate[k].push_back(mb / f[k].seconds);
            wait[k].push_back(f[k].longestWaitMs);
        }
        state.SetIterationTime(f[0].seconds);
        if (!beforePath.empty())
            ratio.push_back(f[1].seconds / f[0].seconds);
    }
    state.counters["MBps"] = median(rate[0]);
    state.counters["longest_server_text_wait_ms"] = median(wait[0]);
    if (!beforePath.empty()) {
        state.counters["before_MBps"] = median(rate[1]);
        state.counters["before_longest_server_text_wait_ms"] = median(wait[1]);
        state.counters["throughput_vs_before"] = median(ratio);
    }
}

// A server that does not read while 30 MiB of records are appended to
// term.out: the terminal's peak resident set after 3 s, and after the
// server has read everything.
void BM_TermOutStalled(benchmark::State& state)
{
    const std::string records = termOutRecords(30u << 20);
    const size_t expect = records.size() / kLineBytes * (kLineBytes - 1);
    std::vector<double> peak[2];
    for (auto _ : state) {
        for (int k = 0; k < (beforePath.empty() ? 1 : 2); ++k) {
            kit::Listener server;
            kit::TempDir dir;
            kit::Child child(quorvaneArgs(server, dir, k == 0 ? quorvanePath : beforePath), inDirectory(dir));
            const int peer = acceptTerminal(server, child);
            if (peer < 0) {
                state.SkipWithError("no connection");
                return;
            }
            kit::appendFile(dir.file("term.out"), records);
            auto start = Clock::now();
            usleep(3000000);  // the server reads nothing; the kit drains the console
            static char buf[1 << 16];
            size_t got = 0;
            while (got < expect && secondsSince(start) < 60) {
                pollfd p = {peer, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                ssize_t n = recv(peer, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            if (got < expect) {
                fprintf(stderr, "%s: %zu of %zu bytes after %.1f s\n", k == 0 ? "quorvane" : "before", got, expect,
                        secondsSince(start));
                state.SkipWithError("records missing");
                return;
            }
            peak[k].push_back(static_cast<double>(statusKiB(child.processId(), "VmHWM")));
            if (k == 0)
                state.SetIterationTime(secondsSince(start));
            child.write("exit\n");
        }
    }
    state.counters["peak_rss_KiB"] = median(peak[0]);
    if (!beforePath.empty())
        state.counters["before_peak_rss_KiB"] = median(peak[1]);
}

void termOutRead(benchmark::State& state, bool fileShare)
{
    const std::string records = makeRecords();
    kit::TempDir dir;
    const std::string termOut = dir.file("term.out");
    FILE* f = fopen(termOut.c_str(), "w");
    fwrite(records.data(), 1, records.size(), f);
    fclose(f);
    char buffer[256];
    for (auto _ : state) {
        int count = 0;
        if (fileShare) {
            FileShare files(termOut.c_str(), nullptr, 0, 0, 0);
            if (files.hasInput())
                while (files.readLine(buffer, sizeof buffer) > 0)
                    ++count;
        } else {
            FILE* in = fopen(termOut.c_str(), "r");
            while (fgets(buffer, sizeof buffer, in) != nullptr)
                ++count;
            fclose(in);
        }
        if (count != kRecords)
            state.SkipWithError("wrong record count");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
}

void BM_TermOutRead_FileShare(benchmark::State& state) { termOutRead(state, true); }
void BM_TermOutRead_OneStream(benchmark::State& state) { termOutRead(state, false); }

struct ProcSample {
    long switches = -1;  // voluntary and involuntary context switches
    long peakKiB = -1;   // peak resident set
};

ProcSample sample(pid_t pid)
{
    ProcSample s;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    if (FILE* f = fopen(path, "r")) {
        char line[256];
        long vol = 0, nonvol = 0;
        while (fgets(line, sizeof line, f) != nullptr) {
            sscanf(line, "VmHWM: %ld", &s.peakKiB);
            sscanf(line, "voluntary_ctxt_switches: %ld", &vol);
            sscanf(line, "nonvoluntary_ctxt_switches: %ld", &nonvol);
        }
        fclose(f);
        s.switches = vol + nonvol;
    }
    return s;
}

void idleRun(benchmark::State& state, bool socat)
{
    for (auto _ : state) {
        kit::Listener server;
        kit::TempDir dir;
        std::vector<std::string> argv = socat
            ? std::vector<std::string>{"socat", "-u", "TCP:127.0.0.1:" + server.portText(), "STDOUT"}
            : quorvaneArgs(server, dir);
        kit::Child child(argv, inDirectory(dir));
        if (server.accept(5000) < 0 || (!socat && !child.waitFor("Connected to server\n", 5000))) {
            state.SkipWithError("no connection");
            return;
        }
        usleep(1100000);  // past start-up and the first ticks
        ProcSample a = sample(child.processId());
        double cpuBefore = cpuNs(child.processId());
        auto start = Clock::now();
        sleep(static_cast<unsigned>(idleSeconds));
        ProcSample b = sample(child.processId());
        double cpuAfter = cpuNs(child.processId());
        double window = secondsSince(start);
        state.SetIterationTime(window);
        double scale = 60.0 / window;
        state.counters["cpu_ms_per_60s"] = (cpuAfter - cpuBefore) / 1e6 * scale;
        state.counters["wakeups_per_60s"] = static_cast<double>(b.switches - a.switches) * scale;
        state.counters["peak_rss_KiB"] = static_cast<double>(b.peakKiB);
        if (!socat)
            child.write("exit\n");
    }
}

void BM_Idle_quorvane(benchmark::State& state) { idleRun(state, false); }
void BM_Idle_socat(benchmark::State& state) { idleRun(state, true); }

}  // namespace

BENCHMARK(BM_Console)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermIn)->Arg(16)->Arg(64)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermInFlush_OneOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermInFlush_OpenPerRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermOut_quorvane)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermOutStream)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermOutStalled)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermOutRead_FileShare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TermOutRead_OneStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Idle_quorvane)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Idle_socat)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    // Our own options first; the rest goes to the benchmark library.
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--quorvane=", 11) == 0)
            quorvanePath = argv[i] + 11;
        else if (strncmp(argv[i], "--quorvane-before=", 18) == 0)
            beforePath = argv[i] + 18;
        else if (strncmp(argv[i], "--idle-seconds=", 15) == 0)
            idleSeconds = atoi(argv[i] + 15) > 0 ? atoi(argv[i] + 15) : 10;
        else
            rest.push_back(argv[i]);
    }
    if (quorvanePath.empty()) {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
        dir = dir.substr(0, dir.rfind('/'));
        quorvanePath = dir + "/../quorvane";
    }
    struct stat st;
    if (stat(quorvanePath.c_str(), &st) != 0) {
        fprintf(stderr, "quorvane program not found at %s (build the quorvane target, or pass --quorvane=PATH)\n",
                quorvanePath.c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
