// Helpers of the fault and load tests: real processes with their output
// drained in the background (so a program that prints megabytes never
// blocks on its console), raw loopback peers, the shared-file record
// decoder, reproducible random text, and a pair of network namespaces joined
// by a virtual cable that a test can cut without either end hearing of it.
#ifndef QUORVANE_TESTS_ROBUST_SUPPORT_H
#define QUORVANE_TESTS_ROBUST_SUPPORT_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// A test that shows a fault still open in another part of the program is
// skipped with the fault named, unless QUORVANE_CHECK_KNOWN_FAULTS=1 asks
// for it to run (and fail) as it stands.
#define ROBUST_KNOWN_FAULT(text)                                                  \
    do {                                                                          \
        if (!robust::checkKnownFaults())                                          \
            GTEST_SKIP() << "known fault: " << text;                              \
    } while (0)

namespace robust {

bool checkKnownFaults();

// Milliseconds of a monotonic clock.
long long nowMs();

// ---------------------------------------------------------------- processes

// A child program whose standard output and error go into one pipe that a
// thread drains. The first `keepBytes` of output are kept for inspection;
// beyond that only the watched texts are still counted, wherever they fall
// in the stream, each with the time it was seen.
class Process {
public:
    struct Options {
        std::vector<std::string> argv;   // argv[0] is the program path
        std::string workDir;             // "" for the current directory
        bool inputPipe = true;           // standard input a pipe of ours, else /dev/null
        std::string netns;               // run inside this network namespace, "" for ours
        size_t keepBytes = 1 << 20;      // output kept in full
        std::vector<std::string> watch;  // texts counted over the whole output
        bool drainLater = false;         // leave the output pipe unread until startDraining()
        int occupyBelow = 0;             // descriptors 3 up to this one open on /dev/null at the start
    };

    explicit Process(const Options &options);
    ~Process(); // kills the child if it still runs
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid > 0; }
    pid_t processId() const { return pid; }

    // Writes every byte to the child's standard input within the time; false
    // when the time ran out or the pipe is gone.
    bool write(const std::string &bytes, int timeoutMs = 5000);
    void closeInput();
    // Starts reading the output pipe (see Options::drainLater): until then
    // a program that prints more than the pipe holds blocks in its write.
    void startDraining();
    // Closes the reading end of the output pipe before it was ever drained
    // (see Options::drainLater): the program's console is gone, and its next
    // write fails with EPIPE. Nothing of its output is seen any more.
    void closeOutput();
    // The write end of the child's standard input, -1 when none (for tests
    // that pace the pipe themselves).
    int inputDescriptor() const { return inputFd; }

    // The kept output so far (at most keepBytes).
    std::string output() const;
    // Bytes of output seen so far, kept or not.
    size_t outputSize() const;
    // Waits until the kept output holds `needle` after `from`.
    bool waitFor(const std::string &needle, int timeoutMs, size_t from = 0) const;
    // Occurrences of a watched text so far, and a wait for the n-th one.
    int count(const std::string &watched) const;
    bool waitCount(const std::string &watched, int n, int timeoutMs) const;
    // Time (nowMs) at which the n-th occurrence (1-based) was read; -1 when
    // not seen yet.
    long long seenAt(const std::string &watched, int n) const;

    // Sends a signal to the child.
    void signal(int sig);
    // Waits for the end: the exit status, 128 + signal number when a signal
    // ended it, -1 when it still runs after the time.
    int waitExit(int timeoutMs);
    // The signal that ended the child (after waitExit), 0 when it exited or
    // has not ended: 128 + n from waitExit could also be an exit status.
    int endSignal() const { return termSignal; }
    bool running();
    // Resident set size in KiB, -1 when unknown.
    long rssKb() const;
    // User plus system CPU time in clock ticks, -1 when unknown.
    long cpuTicks() const;

private:
    void drain();
    void scan(const char *data, size_t n, long long at);

    pid_t pid = -1;
    int inputFd = -1;
    int outputFd = -1;
    bool reaped = false;
    int status = -1;
    int termSignal = 0;
    size_t keepBytes;
    std::thread drainer;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::string kept;
    size_t total = 0;
    bool ended = false; // the output pipe reached its end
    struct Watch {
        std::string text;
        std::vector<long long> times;
    };
    std::vector<Watch> watches;
    std::string carry; // tail of the previous read, so a text split across reads is still found
};

// Status lines of the terminal program, watched by terminalOptions.
extern const char kConnected[];    // "Connected to server\n"
extern const char kDisconnected[]; // "Disconnected from server\n"
extern const char kEnded[];        // "The application ended\n"

// Options that run the terminal program against host:port with its shared
// files in dir and its console a pipe of ours, its status lines watched.
Process::Options terminalOptions(const std::string &program, const std::string &host, const std::string &port,
                                 const std::string &dir);

// Runs a program to its end with its output discarded: its exit status, or
// -1 when it could not run or took longer than the time.
int runCommand(const std::vector<std::string> &argv, int timeoutMs = 10000);

// ---------------------------------------------------------------- sockets

// A listening TCP socket on an IPv4 address and a port (0 for an ephemeral
// one); with `netns` it is made inside that network namespace.
class Listener {
public:
    // receiveBuffer: SO_RCVBUF of the accepted connections, 0 for the
    // system's; a small one keeps the kernel from absorbing what a peer
    // that does not read is sent.
    explicit Listener(int port = 0, const std::string &address = "127.0.0.1", const std::string &netns = "",
                      int receiveBuffer = 0);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    bool ok() const { return fd >= 0; }
    int port() const { return boundPort; }
    std::string portText() const { return std::to_string(boundPort); }
    // An accepted descriptor (blocking), -1 when none came within the time.
    int accept(int timeoutMs);
    void close();

private:
    int fd = -1;
    int boundPort = 0;
};

// Writes every byte within the time; false on error or time-out.
bool sendAll(int fd, const char *data, size_t len, int timeoutMs);
inline bool sendAll(int fd, const std::string &bytes, int timeoutMs)
{
    return sendAll(fd, bytes.data(), bytes.size(), timeoutMs);
}
// Appends to `into` whatever arrives until it holds `count` bytes, the peer
// ends the stream or the time is up; true when `count` were reached.
bool receiveCount(int fd, std::string &into, size_t count, int timeoutMs);
// Appends whatever arrives within the time (or until the end of the stream).
void receiveFor(int fd, std::string &into, int timeoutMs);
// Whether the peer ended the stream (or reset it) within the time; data that
// arrives first is appended to `into` when given.
bool peerEnded(int fd, int timeoutMs, std::string *into = nullptr);
// Closes with SO_LINGER 0: the peer gets a reset, not an end of stream.
void closeWithReset(int fd);
// A loopback port that nothing listens on at the moment of the call.
int probeFreePort();

// ---------------------------------------------------------------- shared files

// The data of a text-record file: records end at each line feed, 0x01
// inside a record stands for a line feed of the data, and the records' data
// put back to back is what was sent. An unterminated last record is taken
// as it is.
std::string decodeTextRecords(const std::string &file);
// The text records that carry `data`, one per line of it (a line's own line
// feed written as 0x01), the way an operator program appends them.
std::string encodeTextRecords(const std::string &data);

std::string readFile(const std::string &path);
bool appendFile(const std::string &path, const std::string &bytes);

// A fresh directory under /tmp, removed with its contents on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return dir; }
    std::string file(const std::string &name) const { return dir + "/" + name; }

private:
    std::string dir;
};
void removeTree(const std::string &path);

// ---------------------------------------------------------------- data

// `bytes` bytes of text lines (every line ended by a line feed, the last one
// possibly cut short to hit the size) drawn from printable ASCII by a fixed
// generator, so a failure can be replayed. Lines are 1 to maxLine characters
// long, and one line in `longEvery` (0 for none) is longLine to twice
// longLine long. Lines that contain any of the `banned` words are drawn
// again.
std::string randomLines(size_t bytes, uint64_t seed, size_t maxLine = 160, size_t longEvery = 0,
                        size_t longLine = 0, const std::vector<std::string> &banned = {});

// Describes where two texts first differ, for failure messages that would
// otherwise print megabytes.
std::string firstDifference(const std::string &expected, const std::string &actual);

// ---------------------------------------------------------------- network namespaces

// Two fresh network namespaces, "client" and "server", joined by a veth pair
// with the documentation addresses 192.0.2.1 (client) and 192.0.2.2
// (server). Cutting the cable takes the server's end down: every packet
// between the two is then dropped and neither side is told. Needs root and
// iproute2; ok() is false with the reason otherwise.
class CablePair {
public:
    CablePair();
    ~CablePair();
    CablePair(const CablePair &) = delete;
    CablePair &operator=(const CablePair &) = delete;

    bool ok() const { return ready; }
    const std::string &whyNot() const { return reason; }
    const std::string &clientNetns() const { return clientNs; }
    const std::string &serverNetns() const { return serverNs; }
    static const char *clientAddress() { return "192.0.2.1"; }
    static const char *serverAddress() { return "192.0.2.2"; }

    bool cut();
    bool mend();

private:
    std::string clientNs, serverNs, clientLink, serverLink;
    bool ready = false;
    std::string reason;
};

// Runs `body` with the calling thread inside a network namespace; sockets it
// makes stay there. False when the namespace could not be entered.
bool inNetns(const std::string &netns, const std::function<void()> &body);

} // namespace robust

#endif
