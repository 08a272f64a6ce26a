#include "child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "clock.h"
#include "failure.h"
#include "loopback.h"
#include "temp_dir.h"
#include "terminal.h"

// Present only in sanitizer builds; weak so that plain builds link.
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

#ifdef QUORVANE_COVERAGE
extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);
extern "C" void __real__exit(int status);
// Coverage builds link the test programs with --wrap=_exit: the product's
// own forked children (the stack-trace runner) write their counts too.
extern "C" void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
#endif

namespace kit {

namespace {

int g_log = -1;            // write end of the log record, in a child that records it
std::atomic<int> g_drains; // drain threads running in this process
bool g_leakCheck = true;   // in a child: forked while no drain thread ran

// In a forked child: 1 after a test failure, 2 after a leak, else 0. (A
// child forked while the test drained another one has no leak check: the
// checker cannot stop the threads it believes it has.)
int childStatus()
{
    if (failed())
        return 1;
    const bool leaked = g_leakCheck && __lsan_do_recoverable_leak_check != nullptr &&
                        __lsan_do_recoverable_leak_check() != 0;
    return leaked ? 2 : 0;
}

} // namespace

Pty::Pty()
{
    fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        fail(std::string("no pseudo-terminal: ") + strerror(errno));
        return;
    }
    path = ptsname(fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    hangUp();
}

int Pty::openSlave(bool lineMode) const
{
    const int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    struct termios mode;
    if (slave >= 0 && lineMode && tcgetattr(slave, &mode) == 0) {
        mode.c_lflag = (mode.c_lflag | ICANON) & ~static_cast<tcflag_t>(ECHO | ECHONL);
        tcsetattr(slave, TCSANOW, &mode);
    }
    return slave;
}

void Pty::hangUp()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool ChildResult::exitedWith(int code) const
{
    return finished && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool ChildResult::killedBy(int signal) const
{
    return finished && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

std::string ChildResult::describe() const
{
    const std::string end = !finished              ? "killed at the time limit"
                            : WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
    return "child " + end + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

void childExit(int status)
{
    fflush(nullptr);
#ifdef QUORVANE_COVERAGE
    __gcov_dump();
#endif
    _exit(status);
}

bool recordLogEntry(int priority, const char *text)
{
    if (g_log < 0)
        return false;
    // Priority and text in one write, so that the entries of the child and
    // of its descendants stay whole; a text holds no NUL, which ends it.
    const int saved = errno;
    const std::string record = std::to_string(priority) + " " + text + '\0';
    (void)!::write(g_log, record.data(), record.size());
    errno = saved;
    return true;
}

Child::Child(const std::vector<std::string> &argv, const ChildOptions &o)
{
    // Made before the fork: another thread may hold the allocator's lock then.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    start(o, [&] {
        // Descriptors of the test (listeners, peers) must not live on in the
        // program: closing them in the test has to reach the peer.
        close_range(3, ~0U, 0);
        // An ignored signal stays ignored across exec; the program gets the
        // disposition a shell would give it.
        ::signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    });
}

Child::Child(const std::function<void()> &body, const ChildOptions &o)
{
    start(o, [&] {
        // Line by line, as on a terminal, so the test sees each line when it
        // is printed; glibc takes a new mode only with a new buffer.
        static char lineBuffer[8192];
        setvbuf(stdout, lineBuffer, _IOLBF, sizeof lineBuffer);
        body();
        childExit(childStatus());
    });
}

void Child::start(const ChildOptions &o, const std::function<void()> &inChild)
{
    // A write to a pipe or socket whose reader is gone fails; it does not end
    // the test program.
    ::signal(SIGPIPE, SIG_IGN);
    pty = o.pty;
    // The child's standard streams and log record (its ends, all to go from
    // here after the fork), and our ends of them.
    std::vector<int> theirs = {open("/dev/null", O_RDWR | O_CLOEXEC)};
    int streams[4] = {theirs[0], theirs[0], theirs[0], -1};
    auto pipeTo = [&theirs](int &child, int &ours, bool childWrites) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) == 0) {
            theirs.push_back(child = p[childWrites ? 1 : 0]);
            ours = p[childWrites ? 0 : 1];
        }
    };
    if (pty) {
        const Pty term;
        theirs.push_back(streams[1] = streams[2] = term.openSlave());
        fds[0] = fcntl(term.master(), F_DUPFD_CLOEXEC, 0);
        if (o.input) {
            streams[0] = streams[1];
            inputFd = fcntl(term.master(), F_DUPFD_CLOEXEC, 0);
        }
    } else {
        if (o.input)
            pipeTo(streams[0], inputFd, false);
        pipeTo(streams[1], fds[0], true);
        streams[2] = streams[1];
        if (o.capture)
            pipeTo(streams[2], fds[1], true);
    }
    if (o.capture)
        pipeTo(streams[3], fds[2], true);
    const bool alone = g_drains == 0;
    fflush(nullptr);
    startedMs = nowMs();
    pid = fork();
    if (pid == 0) {
#ifdef QUORVANE_COVERAGE
        __gcov_reset(); // the counts so far are the parent's, which writes them itself
#endif
        g_leakCheck = alone;
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct rlimit noCore = {0, 0}; // aborting is an expected end of some children
        setrlimit(RLIMIT_CORE, &noCore);
        if (pty)
            ioctl(streams[1], TIOCSCTTY, 0);
        for (int i = 0; i < 3; ++i)
            dup2(streams[i], i);
        g_log = streams[3];
        if (!o.workDir.empty() && chdir(o.workDir.c_str()) != 0)
            _exit(126);
        inChild();
        childExit(0);
    }
    for (int fd : theirs)
        close(fd);
    if (inputFd >= 0)
        fcntl(inputFd, F_SETFL, fcntl(inputFd, F_GETFL) | O_NONBLOCK);
    if (!o.drainLater)
        startDraining();
}

Child::~Child()
{
    closeInput();
    if (pid > 0 && !reaped) {
        // A program gets the chance to end as at a person's kill.
        kill(-pid, SIGTERM);
        if (!waitUntil([this] { return reap(false); }, 300, 2))
            kill(-pid, SIGKILL);
        reap(true);
    }
    if (pid > 0)
        kill(-pid, SIGKILL); // whatever it started and left behind
    // The drain reads to the end that the end of the group brought; one that
    // a process outside the group holds up is told to end.
    startDraining();
    std::unique_lock<std::mutex> g(lock);
    if (!changed.wait_for(g, std::chrono::seconds(1), [this] { return ended; }))
        stop = 2;
    g.unlock();
    if (drainer.joinable())
        drainer.join();
    for (int fd : {fds[0], fds[1], fds[2], inputFd})
        if (fd >= 0)
            close(fd);
}

void Child::startDraining()
{
    if (!drainer.joinable() && !ended) {
        ++g_drains;
        drainer = std::thread([this] { drain(); });
    }
}

void Child::closeOutput()
{
    if (pty)
        closeInput();
    if (!drainer.joinable()) {
        close(fds[0]);
        fds[0] = -1;
        return;
    }
    stop = 1;
    std::unique_lock<std::mutex> g(lock);
    changed.wait_for(g, std::chrono::seconds(1), [this] { return fds[0] < 0; });
}

void Child::drain()
{
    // The descriptors are the drain's now; it closes them under the lock, as
    // closeOutput waits for that.
    auto shut = [this](int i) {
        std::lock_guard<std::mutex> g(lock);
        close(fds[i]);
        fds[i] = -1;
        changed.notify_all();
    };
    char buf[65536];
    while (fds[0] >= 0 || fds[1] >= 0 || fds[2] >= 0) {
        for (int i = 0; i < 3; ++i)
            if (fds[i] >= 0 && (stop == 2 || (stop == 1 && i == 0)))
                shut(i);
        // poll skips the closed ones (-1); its time-out lets a stop be seen.
        struct pollfd p[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}};
        if (poll(p, 3, 10) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 3; ++i) {
            if (p[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0)
                keep(i, std::string(buf, static_cast<size_t>(n)));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                shut(i); // a pseudo-terminal's end reads as EIO once the child's side is closed
        }
    }
    --g_drains;
    std::lock_guard<std::mutex> g(lock);
    ended = true;
    changed.notify_all();
}

void Child::keep(int stream, std::string data)
{
    if (stream == 0 && pty) {
        // The terminal turns every line feed into CR LF on the way out; a CR
        // at the end of a read waits for what follows it.
        data.insert(0, pendingCr ? "\r" : "");
        pendingCr = !data.empty() && data.back() == '\r';
        data.resize(data.size() - pendingCr);
        for (size_t at = 0; (at = data.find("\r\n", at)) != std::string::npos;)
            data.erase(at, 1);
    }
    std::lock_guard<std::mutex> g(lock);
    kept[stream] += data;
    if (stream == 0)
        reads.emplace_back(kept[0].size(), nowMs());
    changed.notify_all();
}

bool Child::write(const std::string &bytes, int timeoutMs)
{
    return inputFd >= 0 && sendAll(inputFd, bytes, timeoutMs);
}

void Child::closeInput()
{
    if (inputFd >= 0)
        close(inputFd);
    inputFd = -1;
}

std::string Child::output() const
{
    std::lock_guard<std::mutex> g(lock);
    return kept[0];
}

size_t Child::outputSize() const
{
    std::lock_guard<std::mutex> g(lock);
    return kept[0].size();
}

bool Child::waitFor(const std::string &needle, int timeoutMs, size_t from) const
{
    std::unique_lock<std::mutex> g(lock);
    auto found = [&] { return kept[0].find(needle, from) != std::string::npos; };
    changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return found() || ended; });
    return found();
}

long long Child::seenAt(const std::string &needle, size_t from) const
{
    std::lock_guard<std::mutex> g(lock);
    const size_t at = kept[0].find(needle, from);
    for (const auto &r : reads)
        if (at != std::string::npos && r.first >= at + needle.size())
            return r.second;
    return -1;
}

void Child::signal(int sig)
{
    if (pid > 0 && !reaped)
        kill(pid, sig);
}

bool Child::reap(bool block)
{
    if (pid > 0 && !reaped && waitpid(pid, &rawStatus, block ? 0 : WNOHANG) == pid) {
        reaped = true;
        endedMs = nowMs();
    }
    return reaped;
}

int Child::waitExit(int timeoutMs)
{
    if (pid <= 0 || !waitUntil([this] { return reap(false); }, timeoutMs, 2))
        return -1;
    std::unique_lock<std::mutex> g(lock);
    if (drainer.joinable()) // what it printed last is still on the way
        changed.wait_for(g, std::chrono::milliseconds(500), [this] { return ended; });
    return WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : WIFSIGNALED(rawStatus) ? 128 + WTERMSIG(rawStatus) : -1;
}

ChildResult Child::finish(int timeoutMs)
{
    ChildResult r;
    startDraining();
    // Its descendants may still print: the output ends when the last has gone.
    waitUntil([&] {
        std::lock_guard<std::mutex> g(lock);
        return reap(false) && ended;
    }, static_cast<int>(std::max(0LL, startedMs + timeoutMs - nowMs())), 2);
    r.finished = reaped;
    if (pid > 0) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        reap(true);
    }
    if (drainer.joinable())
        drainer.join();
    r.pid = pid;
    r.status = rawStatus;
    r.seconds = static_cast<double>(endedMs - startedMs) / 1000;
    r.out = kept[0];
    r.err = kept[1];
    std::istringstream entries(kept[2]);
    for (std::string e; std::getline(entries, e, '\0');)
        r.log.push_back({atoi(e.c_str()), e.substr(e.find(' ') + 1)});
    return r;
}

long Child::rssKb() const
{
    const std::string status = pid > 0 && !reaped ? readFile("/proc/" + std::to_string(pid) + "/status") : "";
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

long Child::cpuMs() const
{
    clockid_t clock;
    struct timespec t;
    if (pid <= 0 || reaped || clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void runIsolated(const std::function<void()> &body, int timeoutMs)
{
    const ChildResult r = runCaptured(body, timeoutMs);
    if (!r.passed())
        fail("test child failed (1: its own failures, below; 2: it leaked memory): " + r.describe());
}

ChildOptions capturing()
{
    ChildOptions o;
    o.capture = true;
    o.input = false;
    return o;
}

ChildResult runCaptured(const std::function<void()> &body, int timeoutMs)
{
    return Child(body, capturing()).finish(timeoutMs);
}

int runCommand(const std::vector<std::string> &argv, int timeoutMs)
{
    const int status = Child(argv, capturing()).waitExit(timeoutMs);
    return status >= 128 ? -1 : status;
}

} // namespace kit
