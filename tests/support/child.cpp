#include "child.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
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

int g_log = -1;           // write end of the log record, in a child that records it
std::atomic<int> g_drains; // drain threads running in this process
bool g_leakCheck = true;   // in a child: forked while no drain thread ran

// The path of a program as a shell would find it.
std::string onPath(const std::string &name)
{
    const char *env = getenv("PATH");
    std::istringstream dirs(std::string(env != nullptr ? env : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
    for (std::string dir; name.find('/') == std::string::npos && std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return name.find('/') == std::string::npos ? "" : name;
}

} // namespace

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
    return "child status " + std::to_string(status) + (finished ? "" : " (killed at the limit)") +
           "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

int childStatus()
{
    if (::testing::Test::HasFailure())
        return 1;
    const bool leaked = g_leakCheck && __lsan_do_recoverable_leak_check != nullptr &&
                        __lsan_do_recoverable_leak_check() != 0;
    return leaked ? 2 : 0;
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
    // Priority, length and text in one write: the entries of the child and
    // of its descendants stay whole.
    const int length = static_cast<int>(strlen(text)), saved = errno;
    std::string record(2 * sizeof(int), '\0');
    memcpy(&record[0], &priority, sizeof priority);
    memcpy(&record[sizeof priority], &length, sizeof length);
    record += text;
    (void)!::write(g_log, record.data(), record.size());
    errno = saved;
    return true;
}

Child::Child(const std::vector<std::string> &argv, const ChildOptions &o) : keepBytes(o.keepBytes)
{
    // Made before the fork: another thread may hold the allocator's lock then.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string netns = "/var/run/netns/" + o.netns;
    start(o, [&] {
        const int ns = o.netns.empty() ? -1 : open(netns.c_str(), O_RDONLY);
        if (!o.netns.empty() && (ns < 0 || setns(ns, CLONE_NEWNET) != 0))
            _exit(125);
        // Descriptors of the test (listeners, peers) must not live on in the
        // program: closing them in the test has to reach the peer.
        close_range(3, ~0U, 0);
        struct rlimit r;
        if (o.occupyBelow > 3 && getrlimit(RLIMIT_NOFILE, &r) == 0) {
            r.rlim_cur = std::max(r.rlim_cur, static_cast<rlim_t>(o.occupyBelow) + 64);
            r.rlim_max = std::max(r.rlim_max, r.rlim_cur);
            setrlimit(RLIMIT_NOFILE, &r);
            const int null = open("/dev/null", O_RDONLY);
            for (int fd = 3; fd < o.occupyBelow; ++fd)
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
        // Line by line, as on a terminal, so the test sees each line when it
        // is printed; glibc takes a new mode only with a new buffer.
        static char lineBuffer[8192];
        if (o.io == ChildOptions::Pipes || o.io == ChildOptions::Pty)
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
    for (const std::string &w : o.watch)
        watches.push_back({w, {}});
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, log[2] = {-1, -1};
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::unique_ptr<Pty> term;
    pty = o.io == ChildOptions::Pty;
    if (pty)
        term = std::make_unique<Pty>();
    const bool pipes = o.io == ChildOptions::Pipes;
    if ((pipes && pipe2(out, O_CLOEXEC) != 0) || (pipes && o.separateErr && pipe2(err, O_CLOEXEC) != 0) ||
        (pipes && o.inputPipe && pipe2(in, O_CLOEXEC) != 0) || (o.recordLog && pipe2(log, O_CLOEXEC) != 0) ||
        pipe2(wake, O_CLOEXEC) != 0)
        return;
    const std::string slave = term ? term->slavePath() : "";
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
        int streams[3] = {null, null, null};
        if (pty) {
            const int s = open(slave.c_str(), O_RDWR);
            ioctl(s, TIOCSCTTY, 0);
            streams[0] = o.inputPipe ? s : null;
            streams[1] = streams[2] = s;
        } else if (pipes) {
            streams[0] = o.inputPipe ? in[0] : null;
            streams[1] = out[1];
            streams[2] = o.separateErr ? err[1] : out[1];
        }
        for (int i = 0; i < 3 && o.io != ChildOptions::Inherit; ++i)
            dup2(streams[i], i);
        g_log = log[1];
        if (!o.workDir.empty() && chdir(o.workDir.c_str()) != 0)
            _exit(126);
        inChild();
        childExit(0);
    }
    for (int fd : {in[0], out[1], err[1], log[1], null})
        if (fd >= 0)
            close(fd);
    fds[0] = term ? dup(term->master()) : out[0];
    fds[1] = err[0];
    fds[2] = log[0];
    inputFd = term && o.inputPipe ? dup(term->master()) : in[1];
    if (inputFd >= 0)
        fcntl(inputFd, F_SETFL, fcntl(inputFd, F_GETFL) | O_NONBLOCK);
    ended = fds[0] < 0 && fds[2] < 0;
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
        (void)!::write(wake[1], "a", 1);
    g.unlock();
    if (drainer.joinable())
        drainer.join();
    for (int fd : {fds[0], fds[1], fds[2], wake[0], wake[1], inputFd})
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
    (void)!::write(wake[1], "o", 1);
    std::unique_lock<std::mutex> g(lock);
    changed.wait_for(g, std::chrono::seconds(1), [this] { return outputClosed; });
}

void Child::drain()
{
    char buf[65536];
    for (;;) {
        struct pollfd p[4] = {{wake[0], POLLIN, 0}};
        int which[4] = {-1}, n = 1;
        for (int i = 0; i < 3; ++i)
            if (fds[i] >= 0) {
                which[n] = i;
                p[n++] = {fds[i], POLLIN, 0};
            }
        if (n == 1 || (poll(p, static_cast<nfds_t>(n), -1) < 0 && errno != EINTR))
            break;
        char what = 0;
        if (p[0].revents != 0 && read(wake[0], &what, 1) == 1) {
            for (int i = 0; i < 3; ++i)
                if (fds[i] >= 0 && (i == 0 || what == 'a')) {
                    close(fds[i]);
                    fds[i] = -1;
                }
            std::lock_guard<std::mutex> g(lock);
            outputClosed = true;
            changed.notify_all();
        }
        for (int k = 1; k < n && what == 0; ++k) {
            if (p[k].revents == 0)
                continue;
            const ssize_t r = read(p[k].fd, buf, sizeof buf);
            if (r > 0) {
                keep(which[k], std::string(buf, static_cast<size_t>(r)));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                // A pseudo-terminal's end reads as EIO once the child's side is closed.
                close(fds[which[k]]);
                fds[which[k]] = -1;
            }
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
        for (size_t at; (at = data.find("\r\n")) != std::string::npos;)
            data.erase(at, 1);
    }
    std::lock_guard<std::mutex> g(lock);
    if (stream == 0) {
        // Only matches that end in the new bytes: those inside the carried
        // tail were counted with the previous read.
        const std::string window = carry + data;
        size_t longest = 0;
        for (auto &w : watches) {
            longest = std::max(longest, w.first.size());
            for (size_t i = window.find(w.first); i != std::string::npos; i = window.find(w.first, i + 1))
                if (i + w.first.size() > carry.size())
                    w.second.push_back(nowMs());
        }
        carry = window.substr(window.size() - std::min(window.size(), longest > 0 ? longest - 1 : 0));
        total += data.size();
        data.resize(std::min(data.size(), keepBytes - std::min(keepBytes, kept[0].size())));
    }
    kept[stream] += data;
    changed.notify_all();
}

bool Child::write(const std::string &bytes, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = inputFd < 0 ? -1 : ::write(inputFd, bytes.data() + done, bytes.size() - done);
        struct pollfd p = {inputFd, POLLOUT, 0};
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (inputFd < 0 || (errno != EAGAIN && errno != EINTR) ||
                 poll(&p, 1, static_cast<int>(std::max(0LL, deadline - nowMs()))) == 0)
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

const std::vector<long long> *Child::times(const std::string &watched) const
{
    for (const auto &w : watches)
        if (w.first == watched)
            return &w.second;
    return nullptr;
}

int Child::count(const std::string &watched) const
{
    std::lock_guard<std::mutex> g(lock);
    return times(watched) ? static_cast<int>(times(watched)->size()) : -1;
}

bool Child::waitCount(const std::string &watched, int n, int timeoutMs) const
{
    std::unique_lock<std::mutex> g(lock);
    auto reached = [&] { return times(watched) && static_cast<int>(times(watched)->size()) >= n; };
    changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return reached() || ended; });
    return reached();
}

long long Child::seenAt(const std::string &watched, int n) const
{
    std::lock_guard<std::mutex> g(lock);
    const auto *t = times(watched);
    return t && n >= 1 && static_cast<size_t>(n) <= t->size() ? (*t)[static_cast<size_t>(n - 1)] : -1;
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
    std::lock_guard<std::mutex> g(lock);
    r.out = kept[0];
    r.err = kept[1];
    for (size_t at = 0; kept[2].size() - at >= 2 * sizeof(int);) {
        int record[2]; // priority, length
        memcpy(record, kept[2].data() + at, sizeof record);
        at += sizeof record;
        if (record[1] < 0 || kept[2].size() - at < static_cast<size_t>(record[1]))
            break;
        r.log.push_back({record[0], kept[2].substr(at, static_cast<size_t>(record[1]))});
        at += static_cast<size_t>(record[1]);
    }
    return r;
}

long Child::rssKb() const
{
    const std::string status = pid > 0 && !reaped ? readFile("/proc/" + std::to_string(pid) + "/status") : "";
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

long Child::cpuTicks() const
{
    // Fields count from after the command name, which may hold blanks:
    // utime is the 14th, stime the 15th.
    const std::string stat = pid > 0 && !reaped ? readFile("/proc/" + std::to_string(pid) + "/stat") : "";
    std::istringstream rest(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
    std::string field;
    long ticks = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        ticks = i == 14 ? atol(field.c_str()) : i == 15 ? ticks + atol(field.c_str()) : ticks;
    return ticks;
}

void runIsolated(const std::function<void()> &body, int timeoutMs)
{
    ChildOptions o;
    o.io = ChildOptions::Inherit;
    Child child(body, o);
    const int status = child.waitExit(timeoutMs);
    if (status == -1)
        ADD_FAILURE() << "test child did not end within " << timeoutMs << " ms";
    else if (status >= 128)
        ADD_FAILURE() << "test child ended on signal " << status - 128;
    else
        EXPECT_EQ(status, 0) << "test child failed (1: its messages are above; 2: it leaked memory)";
}

ChildOptions capturing()
{
    ChildOptions o;
    o.separateErr = o.recordLog = true;
    o.inputPipe = false;
    return o;
}

ChildResult runCaptured(const std::function<void()> &body, int timeoutMs)
{
    return Child(body, capturing()).finish(timeoutMs);
}

int runCommand(const std::vector<std::string> &argv, int timeoutMs)
{
    std::vector<std::string> resolved = argv;
    if (argv.empty() || (resolved[0] = onPath(argv[0])).empty())
        return -1;
    ChildOptions o;
    o.io = ChildOptions::Null;
    const int status = Child(resolved, o).waitExit(timeoutMs);
    return status >= 128 ? -1 : status;
}

} // namespace kit
