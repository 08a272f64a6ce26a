// Child processes of the tests: a forked function or a program, its standard
// streams on pipes or on a pseudo-terminal. A thread drains the output, so a
// program that prints megabytes never blocks on its console unless the test
// asks for that; every wait is bounded; the destructor ends the child's
// whole process group. A forked child ends through childExit(), which writes
// the coverage counts that _exit skips.
#ifndef QUORVANE_TESTS_CHILD_H
#define QUORVANE_TESTS_CHILD_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kit {

struct ChildOptions {
    bool pty = false;         // on a pseudo-terminal, its controlling terminal; else on pipes
    bool input = true;        // standard input written by the test, else /dev/null
    bool capture = false;     // pipes: standard error apart (err), and recordLogEntry() records
    bool drainLater = false;  // leave the output unread until startDraining()
    std::string workDir;      // "" for the current directory
};

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
    // Runs a program (argv[0] is its path, or a name on the search path),
    // SIGPIPE back at its default.
    Child(const std::vector<std::string> &argv, const ChildOptions &options = ChildOptions());
    // Forks and runs body; the child then ends with 1 after a test failure,
    // 2 after a leak, else 0.
    Child(const std::function<void()> &body, const ChildOptions &options = ChildOptions());
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid > 0; }
    pid_t processId() const { return pid; }
    // Writes (types, on a pseudo-terminal) every byte within the time.
    bool write(const std::string &bytes, int timeoutMs = 5000);
    void closeInput();
    void startDraining();
    // Stops reading the output and closes it: the program's next write to a
    // pipe fails with EPIPE; a pseudo-terminal (input too) hangs up, as a
    // closed terminal window does. What was read stays.
    void closeOutput();

    // The output read so far (a terminal's CR LF as LF), and its size.
    std::string output() const;
    size_t outputSize() const;
    // Waits for needle in the output at or after from; and the time (nowMs)
    // that occurrence was read, -1 while there is none.
    bool waitFor(const std::string &needle, int timeoutMs, size_t from = 0) const;
    long long seenAt(const std::string &needle, size_t from = 0) const;

    void signal(int sig);
    // The exit status, 128 + the signal that ended it, or -1 while it still
    // runs after the time. Once it ended, its output is read to the end.
    int waitExit(int timeoutMs);
    bool running() { return waitExit(0) == -1; }
    // Waits for the end and all output, killing the group at the time.
    ChildResult finish(int timeoutMs);
    // Of the running child: resident KiB, and milliseconds on a processor; -1 unknown.
    long rssKb() const;
    long cpuMs() const;

private:
    void start(const ChildOptions &o, const std::function<void()> &inChild);
    void drain();
    void keep(int stream, std::string data);
    bool reap(bool block);

    pid_t pid = -1;
    int inputFd = -1;
    int fds[3] = {-1, -1, -1}; // output, error, log record; the drain's while it runs
    bool pty = false, reaped = false;
    int rawStatus = 0;
    long long startedMs = 0, endedMs = 0;
    std::thread drainer;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::string kept[3];
    std::vector<std::pair<size_t, long long>> reads; // output size after each read, and its time
    std::atomic<int> stop{0};                        // tells the drain to close the output (1) or all (2)
    bool ended = false, pendingCr = false;
};

// Runs body in a forked child; a failure, with what it printed, unless it
// ends with 0 within the time (1: its own failures; 2: a leak).
void runIsolated(const std::function<void()> &body, int timeoutMs = 30000);
// Options that capture output, error and log, and a run of body with them.
ChildOptions capturing();
ChildResult runCaptured(const std::function<void()> &body, int timeoutMs = 30000);

// The one end of a forked child: standard streams and coverage counts
// flushed, then _exit(status).
[[noreturn]] void childExit(int status);
// A test program that checks the system log defines syslog(3) itself and
// passes each entry here: in a child that records the log, true (processes
// it forks inherit the record; programs it executes do not); else false.
bool recordLogEntry(int priority, const char *text);
// Runs a program with its output drained and discarded: its exit status
// (127 when it could not be run), or -1 when it ended on a signal or took
// too long.
int runCommand(const std::vector<std::string> &argv, int timeoutMs = 10000);

} // namespace kit

#endif
