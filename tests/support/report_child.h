// Test helpers for code that ends its process or forks helpers of its own
// (reports, stack traces): the code runs in a forked child in a process
// group of its own, with standard output, standard error and a record of its
// system-log entries on pipes read by the test.
//
// The system log is recorded by the test program itself: it defines
// syslog(3), and in a child that definition passes every entry to
// reportchild::recordLogEntry(). Processes that the child forks inherit the
// record pipe; programs that it executes do not.
#ifndef QUORVANE_TESTS_REPORT_CHILD_H
#define QUORVANE_TESTS_REPORT_CHILD_H

#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace reportchild {

struct LogEntry {
    int priority;
    std::string text;
};

struct ChildResult {
    pid_t pid = -1;
    int status = 0;        // as from waitpid
    bool finished = false; // false: still running at the deadline, killed
    double seconds = 0;    // from the fork to the child's end
    std::string out;       // standard output of the child and its descendants
    std::string err;       // standard error of the child and its descendants
    std::vector<LogEntry> log;
};

// True in a child started by ChildProcess, where recordLogEntry() reaches
// the test.
bool recordingLog();
// Passes one formatted system-log entry to the test; called by the test
// program's syslog() in a child.
void recordLogEntry(int priority, const char *text);

// One child: started by the constructor, collected by finish(). Several may
// run at once. The destructor kills the child's whole process group and
// reaps the child when finish() was not called.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<void()> &body);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return child; }

    // Collects the output until every writer has closed its end and the
    // child has ended, at most limit_seconds after the start; then kills
    // what is left of the process group.
    ChildResult finish(double limit_seconds);

private:
    pid_t child = -1;
    int outFd = -1;
    int errFd = -1;
    int logFd = -1;
    double started = 0;
};

// Runs body in a child (which _exits with 0 when body returns) and collects
// it: a shortcut for one ChildProcess.
ChildResult runInChild(const std::function<void()> &body, double limit_seconds = 20);

// Seconds of a monotonic clock.
double monotonicSeconds();

// The report texts with the line numbers of head lines replaced by "L", so
// that tests compare whole reports without depending on source lines:
// "(file.cpp, 123, func)" becomes "(file.cpp, L, func)".
std::string withoutLineNumbers(const std::string &text);

// A fresh directory under /tmp, removed with everything in it on
// destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return dir; }
    std::string file(const std::string &name) const { return dir + "/" + name; }
    // Writes a file; executable makes it a program (mode 0755).
    void write(const std::string &name, const std::string &bytes, bool executable = false) const;
    // Contents of a file, "" when missing.
    std::string read(const std::string &name) const;

private:
    std::string dir;
};

} // namespace reportchild

#endif
