#include "robust_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace robust {

bool checkKnownFaults()
{
    const char *v = getenv("QUORVANE_CHECK_KNOWN_FAULTS");
    return v != nullptr && strcmp(v, "1") == 0;
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

// Waits for one poll event within what is left of the deadline; false when
// the time ran out.
bool pollUntil(int fd, short events, long long deadline)
{
    for (;;) {
        long long left = deadline - nowMs();
        if (left < 0)
            left = 0;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

// The test process itself must survive a write to a pipe or socket whose
// reader is gone: that is a failed write, not the end of the test run.
void ignoreSigpipe()
{
    static bool done = false;
    if (!done) {
        signal(SIGPIPE, SIG_IGN);
        done = true;
    }
}

// In a forked child before exec: only system calls from here on.
[[noreturn]] void execChild(const char *netnsPath, const char *workDir, int occupyBelow, char *const *args, int in,
                            int out)
{
    setsid();
    if (netnsPath != nullptr) {
        int ns = open(netnsPath, O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            _exit(125);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Descriptors of the test (listeners, accepted peers) must not live on
    // in the program: closing them in the test has to reach the peer.
    close_range(3, ~0U, 0);
    if (occupyBelow > 3) {
        struct rlimit r;
        if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < static_cast<rlim_t>(occupyBelow) + 64) {
            r.rlim_cur = static_cast<rlim_t>(occupyBelow) + 64;
            if (r.rlim_max < r.rlim_cur)
                r.rlim_max = r.rlim_cur;
            setrlimit(RLIMIT_NOFILE, &r);
        }
        int null = open("/dev/null", O_RDONLY);
        for (int fd = 3; null >= 0 && fd < occupyBelow; ++fd)
            if (fd != null)
                dup2(null, fd);
    }
    if (workDir != nullptr && chdir(workDir) != 0)
        _exit(126);
    // An ignored signal stays ignored across exec; the program gets the
    // default disposition it would get from a shell.
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args);
    _exit(127);
}

} // namespace

// ---------------------------------------------------------------- Process

Process::Process(const Options &o) : keepBytes(o.keepBytes)
{
    ignoreSigpipe();
    for (const std::string &w : o.watch)
        watches.push_back(Watch{w, {}});

    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return;
    int in = -1;
    if (o.inputPipe) {
        if (pipe2(inPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return;
        }
        in = inPipe[0];
    } else {
        in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    std::vector<char *> args;
    for (const std::string &a : o.argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    // Everything the child needs is made before the fork: other threads of
    // the test may hold the allocator's lock at that moment.
    const std::string netnsPath = o.netns.empty() ? "" : "/var/run/netns/" + o.netns;
    fflush(nullptr);
    pid = fork();
    if (pid == 0)
        execChild(o.netns.empty() ? nullptr : netnsPath.c_str(), o.workDir.empty() ? nullptr : o.workDir.c_str(),
                  o.occupyBelow, args.data(), in, outPipe[1]);

    ::close(in);
    ::close(outPipe[1]);
    outputFd = outPipe[0];
    inputFd = o.inputPipe ? inPipe[1] : -1;
    if (pid < 0) {
        ::close(outputFd);
        outputFd = -1;
        if (inputFd >= 0)
            ::close(inputFd);
        inputFd = -1;
        return;
    }
    if (inputFd >= 0)
        fcntl(inputFd, F_SETFL, fcntl(inputFd, F_GETFL) | O_NONBLOCK);
    if (!o.drainLater)
        startDraining();
}

void Process::startDraining()
{
    if (outputFd >= 0 && !drainer.joinable())
        drainer = std::thread([this] { drain(); });
}

void Process::closeOutput()
{
    if (outputFd >= 0 && !drainer.joinable()) {
        ::close(outputFd);
        outputFd = -1;
    }
}

Process::~Process()
{
    closeInput();
    if (pid > 0 && !reaped) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        reaped = true;
    }
    // The child led a session of its own: what it started and left behind
    // would hold the output pipe open, and the drain below would never end.
    if (pid > 0)
        kill(-pid, SIGKILL);
    startDraining(); // reads to the end of the pipe, which the end of the child has closed
    if (drainer.joinable())
        drainer.join();
    if (outputFd >= 0)
        ::close(outputFd);
}

void Process::drain()
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(outputFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        long long at = nowMs();
        std::lock_guard<std::mutex> g(lock);
        scan(buf, static_cast<size_t>(n), at);
        if (kept.size() < keepBytes)
            kept.append(buf, std::min(static_cast<size_t>(n), keepBytes - kept.size()));
        total += static_cast<size_t>(n);
        changed.notify_all();
    }
    std::lock_guard<std::mutex> g(lock);
    ended = true;
    changed.notify_all();
}

void Process::scan(const char *data, size_t n, long long at)
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
        for (size_t at0 = window.find(w.text); at0 != std::string::npos; at0 = window.find(w.text, at0 + 1))
            if (at0 + w.text.size() > carry.size())
                w.times.push_back(at);
    }
    size_t keep = longest > 0 ? longest - 1 : 0;
    carry = window.size() > keep ? window.substr(window.size() - keep) : window;
}

bool Process::write(const std::string &bytes, int timeoutMs)
{
    if (inputFd < 0)
        return false;
    long long deadline = nowMs() + timeoutMs;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(inputFd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!pollUntil(inputFd, POLLOUT, deadline))
            return false;
    }
    return true;
}

void Process::closeInput()
{
    if (inputFd >= 0)
        ::close(inputFd);
    inputFd = -1;
}

std::string Process::output() const
{
    std::lock_guard<std::mutex> g(lock);
    return kept;
}

size_t Process::outputSize() const
{
    std::lock_guard<std::mutex> g(lock);
    return total;
}

bool Process::waitFor(const std::string &needle, int timeoutMs, size_t from) const
{
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return (kept.size() > from && kept.find(needle, from) != std::string::npos) || ended;
    }) && kept.size() > from && kept.find(needle, from) != std::string::npos;
}

int Process::count(const std::string &watched) const
{
    std::lock_guard<std::mutex> g(lock);
    for (const Watch &w : watches)
        if (w.text == watched)
            return static_cast<int>(w.times.size());
    return -1;
}

bool Process::waitCount(const std::string &watched, int n, int timeoutMs) const
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

long long Process::seenAt(const std::string &watched, int n) const
{
    std::lock_guard<std::mutex> g(lock);
    for (const Watch &w : watches)
        if (w.text == watched && n >= 1 && static_cast<size_t>(n) <= w.times.size())
            return w.times[static_cast<size_t>(n - 1)];
    return -1;
}

void Process::signal(int sig)
{
    if (pid > 0 && !reaped)
        kill(pid, sig);
}

int Process::waitExit(int timeoutMs)
{
    if (pid <= 0)
        return -1;
    long long deadline = nowMs() + timeoutMs;
    while (!reaped) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            reaped = true;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
            termSignal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
            break;
        }
        if (r < 0 || nowMs() >= deadline)
            return -1;
        usleep(5000);
    }
    return status;
}

bool Process::running()
{
    return pid > 0 && waitExit(0) == -1 && !reaped;
}

long Process::rssKb() const
{
    if (pid <= 0 || reaped)
        return -1;
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

long Process::cpuTicks() const
{
    if (pid <= 0 || reaped)
        return -1;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold blanks; fields count from
    // after its closing parenthesis.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = atol(field.c_str());
        if (i == 15)
            stime = atol(field.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// The program's path as a shell would find it, looked up before any fork.
static std::string onPath(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    dirs += ":/usr/sbin:/sbin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

const char kConnected[] = "Connected to server\n";
const char kDisconnected[] = "Disconnected from server\n";
const char kEnded[] = "The application ended\n";

Process::Options terminalOptions(const std::string &program, const std::string &host, const std::string &port,
                                 const std::string &dir)
{
    Process::Options o;
    o.argv = {program, "-s", host, "-p", port, "-f" + dir};
    o.watch = {kConnected, kDisconnected, kEnded};
    return o;
}

int runCommand(const std::vector<std::string> &argv, int timeoutMs)
{
    if (argv.empty())
        return -1;
    const std::string program = onPath(argv[0]);
    if (program.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        close_range(3, ~0U, 0);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    ::close(devnull);
    if (pid < 0)
        return -1;
    long long deadline = nowMs() + timeoutMs;
    int st = 0;
    pid_t r;
    while ((r = waitpid(pid, &st, WNOHANG)) == 0 && nowMs() < deadline)
        usleep(2000);
    if (r != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// ---------------------------------------------------------------- sockets

Listener::Listener(int port, const std::string &address, const std::string &netns, int receiveBuffer)
{
    ignoreSigpipe();
    auto make = [&] {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return;
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Set before listen, so that accepted sockets start with it and
        // offer a window to match.
        if (receiveBuffer > 0)
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1
            || bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0) {
            ::close(s);
            return;
        }
        socklen_t len = sizeof a;
        getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len);
        boundPort = ntohs(a.sin_port);
        fd = s;
    };
    if (netns.empty())
        make();
    else
        inNetns(netns, make);
}

Listener::~Listener()
{
    close();
}

void Listener::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int Listener::accept(int timeoutMs)
{
    if (fd < 0 || !pollUntil(fd, POLLIN, nowMs() + timeoutMs))
        return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool sendAll(int fd, const char *data, size_t len, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, data + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!pollUntil(fd, POLLOUT, deadline))
            return false;
    }
    return true;
}

bool receiveCount(int fd, std::string &into, size_t count, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    char buf[65536];
    while (into.size() < count) {
        if (!pollUntil(fd, POLLIN, deadline))
            return false;
        size_t want = std::min(sizeof buf, count - into.size());
        ssize_t n = recv(fd, buf, want, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        into.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void receiveFor(int fd, std::string &into, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    char buf[65536];
    while (pollUntil(fd, POLLIN, deadline)) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return;
        }
        into.append(buf, static_cast<size_t>(n));
    }
}

bool peerEnded(int fd, int timeoutMs, std::string *into)
{
    long long deadline = nowMs() + timeoutMs;
    char buf[65536];
    while (pollUntil(fd, POLLIN, deadline)) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return errno == ECONNRESET || errno == EPIPE;
        }
        if (into != nullptr)
            into->append(buf, static_cast<size_t>(n));
    }
    return false;
}

void closeWithReset(int fd)
{
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

int probeFreePort()
{
    Listener l;
    return l.ok() ? l.port() : -1;
}

// ---------------------------------------------------------------- shared files

std::string decodeTextRecords(const std::string &file)
{
    std::string data;
    data.reserve(file.size());
    for (char c : file) {
        if (c == '\n')
            continue; // the end of a record, not data
        data += c == '\x01' ? '\n' : c;
    }
    return data;
}

std::string encodeTextRecords(const std::string &data)
{
    std::string records;
    records.reserve(data.size() + data.size() / 16 + 1);
    size_t at = 0;
    while (at < data.size()) {
        size_t nl = data.find('\n', at);
        if (nl == std::string::npos) {
            records.append(data, at, std::string::npos);
            records += '\n';
            break;
        }
        records.append(data, at, nl - at);
        records += "\x01\n";
        at = nl + 1;
    }
    return records;
}

std::string readFile(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool appendFile(const std::string &path, const std::string &bytes)
{
    // One write: the reader sees a record whole or not at all, as it would
    // from an operator program that appends a record at a time.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/quorvane-robust-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        dir = pattern;
}

ScratchDir::~ScratchDir()
{
    if (!dir.empty())
        removeTree(dir);
}

void removeTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                    continue;
                removeTree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// ---------------------------------------------------------------- data

std::string randomLines(size_t bytes, uint64_t seed, size_t maxLine, size_t longEvery, size_t longLine,
                        const std::vector<std::string> &banned)
{
    uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto next = [&state] {
        // xorshift64*: fast, and the same stream on every machine.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    };
    std::string out;
    out.reserve(bytes + 2 * (maxLine + longLine) + 2);
    std::string line;
    while (out.size() < bytes) {
        size_t len = 1 + next() % maxLine;
        if (longEvery != 0 && next() % longEvery == 0)
            len = longLine + next() % (longLine + 1);
        line.clear();
        for (size_t i = 0; i < len; ++i)
            line += static_cast<char>(0x20 + next() % 95);
        bool bad = false;
        for (const std::string &b : banned)
            bad = bad || line.find(b) != std::string::npos;
        if (bad)
            continue;
        out += line;
        out += '\n';
    }
    out.resize(bytes);
    return out;
}

std::string firstDifference(const std::string &expected, const std::string &actual)
{
    size_t n = std::min(expected.size(), actual.size());
    size_t at = 0;
    while (at < n && expected[at] == actual[at])
        ++at;
    if (at == expected.size() && at == actual.size())
        return "no difference";
    auto show = [](const std::string &s, size_t from) {
        std::string out;
        size_t start = from > 40 ? from - 40 : 0;
        for (size_t i = start; i < s.size() && i < from + 40; ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '\n')
                out += "\\n";
            else if (c < 0x20 || c > 0x7e) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\x%02x", c);
                out += esc;
            } else
                out += static_cast<char>(c);
            if (i + 1 == from)
                out += "|";
        }
        return out;
    };
    std::ostringstream o;
    o << "sizes " << expected.size() << " expected, " << actual.size() << " actual; first difference at byte "
      << at << ": expected ..." << show(expected, at) << "... actual ..." << show(actual, at) << "...";
    return o.str();
}

// ---------------------------------------------------------------- network namespaces

bool inNetns(const std::string &netns, const std::function<void()> &body)
{
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
    if (ok) {
        body();
        if (setns(home, CLONE_NEWNET) != 0)
            abort(); // a test thread left in the wrong namespace would mislead every later test
    }
    if (home >= 0)
        ::close(home);
    if (there >= 0)
        ::close(there);
    return ok;
}

CablePair::CablePair()
{
    if (geteuid() != 0) {
        reason = "network namespaces need root";
        return;
    }
    if (runCommand({"ip", "-V"}) != 0) {
        reason = "iproute2 (the ip command) is not installed";
        return;
    }
    std::string tag = "qvr" + std::to_string(getpid() % 10000000);
    clientNs = tag + "c";
    serverNs = tag + "s";
    clientLink = tag + "c";
    serverLink = tag + "s";
    if (runCommand({"ip", "netns", "add", clientNs}) != 0) {
        reason = "ip netns add is not allowed here";
        clientNs.clear();
        serverNs.clear();
        return;
    }
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", serverNs},
        {"ip", "link", "add", clientLink, "type", "veth", "peer", "name", serverLink},
        {"ip", "link", "set", clientLink, "netns", clientNs},
        {"ip", "link", "set", serverLink, "netns", serverNs},
        {"ip", "-n", clientNs, "addr", "add", std::string(clientAddress()) + "/24", "dev", clientLink},
        {"ip", "-n", serverNs, "addr", "add", std::string(serverAddress()) + "/24", "dev", serverLink},
        {"ip", "-n", clientNs, "link", "set", "lo", "up"},
        {"ip", "-n", serverNs, "link", "set", "lo", "up"},
        {"ip", "-n", clientNs, "link", "set", clientLink, "up"},
        {"ip", "-n", serverNs, "link", "set", serverLink, "up"},
    };
    for (const auto &step : steps) {
        if (runCommand(step) != 0) {
            reason = "setting up the namespaces failed at: ";
            for (const std::string &w : step)
                reason += w + " ";
            return;
        }
    }
    ready = true;
}

CablePair::~CablePair()
{
    // Deleting a namespace takes its end of the cable with it, and the
    // other end goes too.
    if (!serverNs.empty())
        runCommand({"ip", "netns", "del", serverNs});
    if (!clientNs.empty())
        runCommand({"ip", "netns", "del", clientNs});
    // A cable whose end never reached its namespace is still in ours.
    if (!clientLink.empty() && !ready)
        runCommand({"ip", "link", "del", clientLink});
}

bool CablePair::cut()
{
    return ready && runCommand({"ip", "-n", serverNs, "link", "set", serverLink, "down"}) == 0;
}

bool CablePair::mend()
{
    return ready && runCommand({"ip", "-n", serverNs, "link", "set", serverLink, "up"}) == 0;
}

} // namespace robust
