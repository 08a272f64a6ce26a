// Child processes of the tests: a forked function or a program, with its
// standard streams on pipes, on a pseudo-terminal, on the test's own streams
// or on /dev/null. Output is drained by a thread, so a program that prints
// megabytes never blocks on its console unless the test asks for that; every
// wait is bounded; the destructor kills the child's whole process group.
//
// The library's main loop runs once per process, so every test that runs it
// runs in a forked child (runIsolated). A forked child ends through
// childExit(), which writes the coverage counts that _exit would skip.
#ifndef QUORVANE_TESTS_CHILD_H
#define QUORVANE_TESTS_CHILD_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kit {

struct ChildOptions {
    enum Io {
        Pipes,   // standard output and error into pipes of the test
        Pty,     // standard streams on a pseudo-terminal (a controlling one)
        Inherit, // the test's own streams
        Null,    // /dev/null
    };
    Io io = Pipes;
    bool separateErr = false; // Pipes: standard error apart (err()), else into output()
    bool inputPipe = true;    // Pipes, Pty: standard input from the test, else /dev/null
    bool recordLog = false;   // system-log entries passed to recordLogEntry() reach the result's log
    bool drainLater = false;  // leave the output unread until startDraining()
    std::string workDir;      // "" for the current directory
    std::string netns;        // a program runs inside this network namespace, "" for ours
    int occupyBelow = 0;      // a program finds descriptors 3 up to this one open on /dev/null
    size_t keepBytes = 1 << 20;      // output kept in full
    std::vector<std::string> watch;  // texts counted over the whole output, kept or not
};

// One system-log entry of a child.
struct LogEntry {
    int priority;
    std::string text;
};

// What a finished child left: its status as from waitpid, and its output.
struct ChildResult {
    pid_t pid = -1;
    int status = 0;
    bool finished = false; // ended within the time; else killed
    double seconds = 0;    // from the start to the end
    std::string out, err;
    std::vector<LogEntry> log;
    bool exitedWith(int code) const;
    bool killedBy(int signal) const;
    bool passed() const { return exitedWith(0); }
    std::string describe() const;
};

class Child {
public:
    // Runs a program (argv[0] is its path); SIGPIPE is back to its default.
    Child(const std::vector<std::string> &argv, const ChildOptions &options = ChildOptions());
    // Forks and runs body; the child then ends through childExit(childStatus()).
    Child(const std::function<void()> &body, const ChildOptions &options = ChildOptions());
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid > 0; }
    pid_t processId() const { return pid; }

    // Writes every byte to the child's standard input (typed, on a
    // pseudo-terminal) within the time; false when it could not.
    bool write(const std::string &bytes, int timeoutMs = 5000);
    void closeInput();
    int inputDescriptor() const { return inputFd; }
    void startDraining();
    // Stops reading the output and closes it: the program's next write to
    // a pipe fails with EPIPE; a pseudo-terminal (input too) hangs up, as a
    // closed terminal window does. What was read before stays.
    void closeOutput();

    // Output so far (carriage returns of a terminal's line ends removed):
    // the first keepBytes of it, and the size of all of it.
    std::string output() const;
    std::string err() const;
    size_t outputSize() const;
    // Waits until the kept output holds needle after from.
    bool waitFor(const std::string &needle, int timeoutMs, size_t from = 0) const;
    // Occurrences of a watched text so far, a wait for the n-th, and the
    // time (nowMs) at which the n-th was read (-1: not yet).
    int count(const std::string &watched) const;
    bool waitCount(const std::string &watched, int n, int timeoutMs) const;
    long long seenAt(const std::string &watched, int n) const;

    void signal(int sig);
    // The exit status, 128 + the signal that ended it, or -1 when it still
    // runs after the time. Once it ended, the output drained to its end.
    int waitExit(int timeoutMs);
    bool running() { return waitExit(0) == -1; }
    // Waits for the end and all output (killing the group at the time).
    ChildResult finish(int timeoutMs);
    // Resident size in KiB and user plus system time in clock ticks of the
    // running child; -1 when unknown.
    long rssKb() const;
    long cpuTicks() const;

private:
    void start(const ChildOptions &o, const std::function<void()> &inChild);
    void drain();
    void scan(const char *data, size_t n, long long at);
    bool reap(bool block);

    pid_t pid = -1;
    int inputFd = -1;
    int fds[3] = {-1, -1, -1}; // output, error, system-log record
    int wake[2] = {-1, -1};    // tells the drain to close the output ('o') or everything ('a')
    bool pty = false;
    bool reaped = false;
    int rawStatus = 0;
    long long startedMs = 0, endedMs = 0;
    size_t keepBytes;
    std::thread drainer;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::string kept[3];
    size_t total = 0;
    bool ended = false;
    bool outputClosed = false;
    struct Watch {
        std::string text;
        std::vector<long long> times;
    };
    std::vector<Watch> watches;
    std::string carry; // tail of the previous read: a text split across reads is still found
    bool pendingCr = false;
};

// Runs body in a forked child whose streams are the test's; fails the
// calling test unless the child ends with status 0 within the time (its own
// failures, printed by the child, give 1, a leak found by the sanitizer 2).
void runIsolated(const std::function<void()> &body, int timeoutMs = 30000);
// Options that capture a child's output, error and system-log entries.
ChildOptions capturing();
// Runs body in a forked child with them, and waits for its end.
ChildResult runCaptured(const std::function<void()> &body, int timeoutMs = 30000);

// In a forked child: 1 after a test failure, 2 after a leak, else 0.
int childStatus();
// The one end of a forked child: flushes the standard streams and the
// coverage counts, then _exit(status).
[[noreturn]] void childExit(int status);
// The system log of a child that records it: a test program that checks
// the log defines syslog(3) itself, and in such a child that definition
// passes every entry here (true). Processes that the child forks inherit the
// record; programs that it executes do not. Elsewhere false.
bool recordLogEntry(int priority, const char *text);

// Runs a program found on the search path to its end with its streams on
// /dev/null: its exit status, or -1 when it did not run or took too long.
int runCommand(const std::vector<std::string> &argv, int timeoutMs = 10000);

} // namespace kit

#endif
