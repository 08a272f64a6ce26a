#include "child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "clock.h"
#include "temp_dir.h"
#include "terminal.h"

// Present only in sanitizer builds; weak so that plain builds link.
extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

#ifdef QUORVANE_COVERAGE
extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);
extern "C" void __real__exit(int status);
// Coverage builds link the test programs with --wrap=_exit, so that the
// product's own forked children (the stack-trace runner) write their counts
// too before they end.
extern "C" void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
#endif

namespace kit {

namespace {

int g_log = -1; // write end of the system-log record in a child

// Polls one descriptor until the deadline; false when the time ran out.
bool pollUntil(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = std::max(0LL, deadline - nowMs());
        struct pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r >= 0 || errno != EINTR)
            return r > 0;
    }
}

// The path of a program as a shell would find it, looked up before a fork.
std::string onPath(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *env = getenv("PATH");
    std::istringstream dirs(std::string(env != nullptr ? env : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

} // namespace

// ---------------------------------------------------------------- Pty

Pty::Pty()
{
    fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
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
        mode.c_lflag |= ICANON;
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
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

// ---------------------------------------------------------------- results

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
    return "child status " + std::to_string(status) + (finished ? "" : " (killed at the limit)") +
           "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

int childStatus()
{
    if (::testing::Test::HasFailure())
        return 1;
    if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
        return 2;
    return 0;
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
    // Priority, length and text in one write, so that the entries of the
    // child and of its descendants stay whole.
    const int length = static_cast<int>(strlen(text));
    std::string record(2 * sizeof(int), '\0');
    memcpy(&record[0], &priority, sizeof priority);
    memcpy(&record[sizeof priority], &length, sizeof length);
    record += text;
    const int saved = errno;
    if (::write(g_log, record.data(), record.size()) < 0)
        errno = saved;
    errno = saved;
    return true;
}

// ---------------------------------------------------------------- Child

Child::Child(const std::vector<std::string> &argv, const ChildOptions &o) : keepBytes(o.keepBytes)
{
    // Made before the fork: another thread may hold the allocator's lock then.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string netnsPath = o.netns.empty() ? "" : "/var/run/netns/" + o.netns;
    start(o, [&] {
        if (!netnsPath.empty()) {
            const int ns = open(netnsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                _exit(125);
        }
        // Descriptors of the test (listeners, peers) must not live on in
        // the program: closing them in the test has to reach the peer.
        close_range(3, ~0U, 0);
        if (o.occupyBelow > 3) {
            struct rlimit r;
            if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < static_cast<rlim_t>(o.occupyBelow) + 64) {
                r.rlim_cur = static_cast<rlim_t>(o.occupyBelow) + 64;
                r.rlim_max = std::max(r.rlim_max, r.rlim_cur);
                setrlimit(RLIMIT_NOFILE, &r);
            }
            const int null = open("/dev/null", O_RDONLY);
            for (int fd = 3; null >= 0 && fd < o.occupyBelow; ++fd)
                if (fd != null)
                    dup2(null, fd);
        }
        // An ignored signal stays ignored across exec; the program gets the
        // disposition a shell would give it.
        ::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    });
}

Child::Child(const std::function<void()> &body, const ChildOptions &o) : keepBytes(o.keepBytes)
{
    start(o, [&] {
        if (o.io == ChildOptions::Pipes || o.io == ChildOptions::Pty) {
            // Line by line, as on a terminal, so the test sees each line
            // when it is printed. glibc takes a new mode only with a new buffer.
            static char lineBuffer[8192];
            setvbuf(stdout, lineBuffer, _IOLBF, sizeof lineBuffer);
        }
        body();
        childExit(childStatus());
    });
}

void Child::start(const ChildOptions &o, const std::function<void()> &inChild)
{
    // The test itself must survive a write to a pipe or socket whose reader
    // is gone: that is a failed write, not the end of the test program.
    ::signal(SIGPIPE, SIG_IGN);
    for (const std::string &w : o.watch)
        watches.push_back(Watch{w, {}});
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, side[2] = {-1, -1};
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::unique_ptr<Pty> term;
    if (o.io == ChildOptions::Pty) {
        term = std::make_unique<Pty>();
        pty = true;
    } else if (o.io == ChildOptions::Pipes) {
        if (pipe2(out, O_CLOEXEC) != 0 || (o.separateErr && pipe2(err, O_CLOEXEC) != 0))
            return;
        if (o.inputPipe && pipe2(in, O_CLOEXEC) != 0)
            return;
    }
    if (o.recordLog && pipe2(side, O_CLOEXEC) != 0)
        return;
    const std::string slave = term ? term->slavePath() : "";
    const char *workDir = o.workDir.empty() ? nullptr : o.workDir.c_str();

    fflush(nullptr);
    startedMs = nowMs();
    pid = fork();
    if (pid == 0) {
#ifdef QUORVANE_COVERAGE
        // The counts so far are the parent's, which writes them itself.
        __gcov_reset();
#endif
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Aborting is an expected end of some children; no core files.
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        int i = -1, o1 = -1, o2 = -1;
        if (o.io == ChildOptions::Pty) {
            const int s = open(slave.c_str(), O_RDWR);
            if (s < 0)
                _exit(126);
            ioctl(s, TIOCSCTTY, 0);
            i = o.inputPipe ? s : null;
            o1 = o2 = s;
        } else if (o.io == ChildOptions::Pipes) {
            i = o.inputPipe ? in[0] : null;
            o1 = out[1];
            o2 = o.separateErr ? err[1] : out[1];
        } else if (o.io == ChildOptions::Null) {
            i = o1 = o2 = null;
        }
        if (i >= 0) {
            dup2(i, 0);
            dup2(o1, 1);
            dup2(o2, 2);
        }
        g_log = side[1];
        if (workDir != nullptr && chdir(workDir) != 0)
            _exit(126);
        inChild();
        childExit(0);
    }
    for (int fd : {in[0], out[1], err[1], side[1], null})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        for (int fd : {in[1], out[0], err[0], side[0]})
            if (fd >= 0)
                close(fd);
        return;
    }
    if (term) {
        fds[0] = dup(term->master());
        inputFd = o.inputPipe ? dup(term->master()) : -1;
    } else {
        fds[0] = out[0];
        inputFd = in[1];
    }
    fds[1] = err[0];
    fds[2] = side[0];
    if (inputFd >= 0)
        fcntl(inputFd, F_SETFL, fcntl(inputFd, F_GETFL) | O_NONBLOCK);
    if (fds[0] < 0 && fds[2] < 0)
        ended = true;
    else if (pipe2(wake, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe: " << strerror(errno);
    else if (!o.drainLater)
        startDraining();
}

Child::~Child()
{
    closeInput();
    if (pid > 0 && !reaped) {
        // A program gets the chance to end as it would at a person's kill.
        kill(-pid, SIGTERM);
        if (!waitUntil([this] { return reap(false); }, 300, 2)) {
            kill(-pid, SIGKILL);
            reap(true);
        }
    }
    if (pid > 0)
        kill(-pid, SIGKILL); // whatever it started and left behind
    // Reads to the end, which the end of the group brought; a process that
    // left the group may still hold a pipe: then the drain is told to end.
    startDraining();
    std::unique_lock<std::mutex> g(lock);
    if (!changed.wait_for(g, std::chrono::milliseconds(1000), [this] { return ended; }) && wake[1] >= 0)
        (void)!::write(wake[1], "a", 1);
    g.unlock();
    if (drainer.joinable())
        drainer.join();
    for (int fd : {fds[0], fds[1], fds[2], wake[0], wake[1]})
        if (fd >= 0)
            close(fd);
}

void Child::closeOutput()
{
    if (pty)
        closeInput();
    if (!drainer.joinable()) {
        if (fds[0] >= 0)
            close(fds[0]);
        fds[0] = -1;
        return;
    }
    (void)!::write(wake[1], "o", 1);
    std::unique_lock<std::mutex> g(lock);
    changed.wait_for(g, std::chrono::milliseconds(1000), [this] { return outputClosed; });
}

void Child::startDraining()
{
    if (!drainer.joinable() && !ended)
        drainer = std::thread([this] { drain(); });
}

void Child::drain()
{
    char buf[65536];
    for (;;) {
        struct pollfd p[4];
        int which[4], n = 0;
        for (int i = 0; i < 3; ++i)
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        if (n == 0)
            break;
        p[n] = {wake[0], POLLIN, 0};
        which[n++] = 3;
        if (poll(p, static_cast<nfds_t>(n), -1) < 0 && errno != EINTR)
            break;
        if (p[n - 1].revents != 0) {
            char what = 'a';
            (void)!read(wake[0], &what, 1);
            for (int i = 0; i < 3; ++i)
                if (fds[i] >= 0 && (i == 0 || what == 'a')) {
                    close(fds[i]);
                    fds[i] = -1;
                }
            std::lock_guard<std::mutex> g(lock);
            outputClosed = true;
            changed.notify_all();
            continue;
        }
        for (int k = 0; k < n - 1; ++k) {
            if (p[k].revents == 0)
                continue;
            const ssize_t r = read(p[k].fd, buf, sizeof buf);
            const int i = which[k];
            if (r <= 0) {
                // The end of a pseudo-terminal reads as EIO once the child's
                // side is closed.
                if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                    close(fds[i]);
                    fds[i] = -1;
                }
                continue;
            }
            std::string data(buf, static_cast<size_t>(r));
            if (i == 0 && pty) {
                // The terminal turns every line feed into CR LF on the way out.
                if (pendingCr)
                    data.insert(0, 1, '\r');
                pendingCr = !data.empty() && data.back() == '\r';
                if (pendingCr)
                    data.pop_back();
                for (size_t at; (at = data.find("\r\n")) != std::string::npos;)
                    data.erase(at, 1);
            }
            std::lock_guard<std::mutex> g(lock);
            if (i == 0) {
                scan(data.data(), data.size(), nowMs());
                total += data.size();
                kept[0].append(data, 0, std::min(data.size(), keepBytes - std::min(keepBytes, kept[0].size())));
            } else {
                kept[i] += data;
            }
            changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> g(lock);
    if (pendingCr)
        kept[0] += '\r';
    ended = true;
    changed.notify_all();
}

void Child::scan(const char *data, size_t n, long long at)
{
    if (watches.empty())
        return;
    std::string window = carry;
    window.append(data, n);
    size_t longest = 0;
    for (Watch &w : watches) {
        longest = std::max(longest, w.text.size());
        // Only matches that end in the new bytes: those inside the carried
        // tail were counted with the previous read.
        for (size_t i = window.find(w.text); i != std::string::npos; i = window.find(w.text, i + 1))
            if (i + w.text.size() > carry.size())
                w.times.push_back(at);
    }
    const size_t keep = longest > 0 ? longest - 1 : 0;
    carry = window.size() > keep ? window.substr(window.size() - keep) : window;
}

bool Child::write(const std::string &bytes, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = inputFd < 0 ? -1 : ::write(inputFd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (inputFd < 0 || (errno != EAGAIN && errno != EINTR) || !pollUntil(inputFd, POLLOUT, deadline))
            return false;
    }
    return true;
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

std::string Child::err() const
{
    std::lock_guard<std::mutex> g(lock);
    return kept[1];
}

size_t Child::outputSize() const
{
    std::lock_guard<std::mutex> g(lock);
    return total;
}

bool Child::waitFor(const std::string &needle, int timeoutMs, size_t from) const
{
    std::unique_lock<std::mutex> g(lock);
    auto found = [&] { return kept[0].size() > from && kept[0].find(needle, from) != std::string::npos; };
    changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return found() || ended; });
    return found();
}

int Child::count(const std::string &watched) const
{
    std::lock_guard<std::mutex> g(lock);
    for (const Watch &w : watches)
        if (w.text == watched)
            return static_cast<int>(w.times.size());
    return -1;
}

bool Child::waitCount(const std::string &watched, int n, int timeoutMs) const
{
    std::unique_lock<std::mutex> g(lock);
    auto reached = [&] {
        for (const Watch &w : watches)
            if (w.text == watched)
                return static_cast<int>(w.times.size()) >= n;
        return false;
    };
    changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return reached() || ended; });
    return reached();
}

long long Child::seenAt(const std::string &watched, int n) const
{
    std::lock_guard<std::mutex> g(lock);
    for (const Watch &w : watches)
        if (w.text == watched && n >= 1 && static_cast<size_t>(n) <= w.times.size())
            return w.times[static_cast<size_t>(n - 1)];
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
    if (drainer.joinable()) {
        // What it printed last is still on the way.
        std::unique_lock<std::mutex> g(lock);
        changed.wait_for(g, std::chrono::milliseconds(500), [this] { return ended; });
    }
    return WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : WIFSIGNALED(rawStatus) ? 128 + WTERMSIG(rawStatus) : -1;
}

ChildResult Child::finish(int timeoutMs)
{
    ChildResult r;
    const long long deadline = startedMs + timeoutMs;
    startDraining();
    waitUntil([&] {
        std::lock_guard<std::mutex> g(lock);
        return reap(false) && ended;
    }, static_cast<int>(std::max(0LL, deadline - nowMs())), 2);
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
    std::lock_guard<std::mutex> g(lock);
    r.out = kept[0];
    r.err = kept[1];
    for (size_t at = 0; kept[2].size() - at >= 2 * sizeof(int);) {
        int priority, length;
        memcpy(&priority, kept[2].data() + at, sizeof priority);
        memcpy(&length, kept[2].data() + at + sizeof priority, sizeof length);
        at += 2 * sizeof(int);
        if (length < 0 || kept[2].size() - at < static_cast<size_t>(length))
            break;
        r.log.push_back({priority, kept[2].substr(at, static_cast<size_t>(length))});
        at += static_cast<size_t>(length);
    }
    return r;
}

long Child::rssKb() const
{
    if (pid <= 0 || reaped)
        return -1;
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

long Child::cpuTicks() const
{
    if (pid <= 0 || reaped)
        return -1;
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold blanks; fields count from
    // after its closing parenthesis: utime is the 14th, stime the 15th.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i >= 14)
            ticks += atol(field.c_str());
    return ticks;
}

// ---------------------------------------------------------------- shorthands

void runIsolated(const std::function<void()> &body, int timeoutMs)
{
    ChildOptions o;
    o.io = ChildOptions::Inherit;
    Child child(body, o);
    ASSERT_TRUE(child.started()) << "fork: " << strerror(errno);
    const int status = child.waitExit(timeoutMs);
    if (status == -1)
        ADD_FAILURE() << "test child did not end within " << timeoutMs << " ms";
    else if (status >= 128)
        ADD_FAILURE() << "test child ended on signal " << status - 128;
    else if (status == 2)
        ADD_FAILURE() << "test child leaked memory";
    else
        EXPECT_EQ(status, 0) << "test child failed (its messages are above)";
}

ChildOptions capturing()
{
    ChildOptions o;
    o.separateErr = true;
    o.recordLog = true;
    o.inputPipe = false;
    return o;
}

ChildResult runCaptured(const std::function<void()> &body, int timeoutMs)
{
    Child child(body, capturing());
    return child.finish(timeoutMs);
}

int runCommand(const std::vector<std::string> &argv, int timeoutMs)
{
    if (argv.empty() || onPath(argv[0]).empty())
        return -1;
    std::vector<std::string> resolved = argv;
    resolved[0] = onPath(argv[0]);
    ChildOptions o;
    o.io = ChildOptions::Null;
    Child child(resolved, o);
    const int status = child.waitExit(timeoutMs);
    return status >= 128 ? -1 : status;
}

} // namespace kit
