#include "app_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace apptest {

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------- files

TempDir::TempDir()
{
    char pattern[] = "/tmp/quorvane-app-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        dir = pattern;
}

TempDir::~TempDir()
{
    if (!dir.empty())
        removeTree(dir);
}

void removeTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (struct dirent* e = readdir(d)) {
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

std::string readFile(const std::string& path)
{
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static void putFile(const std::string& path, const std::string& bytes, const char* mode)
{
    FILE* f = fopen(path.c_str(), mode);
    if (f == nullptr)
        return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void appendFile(const std::string& path, const std::string& bytes)
{
    putFile(path, bytes, "ab");
}

void writeFile(const std::string& path, const std::string& bytes)
{
    putFile(path, bytes, "wb");
}

// ---------------------------------------------------------------- server

static bool waitReadable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

LoopbackServer::LoopbackServer(int port) : listenFd(-1), peerFd(-1), listenPort(0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return;
    }
    listenFd = fd;
    listenPort = ntohs(a.sin_port);
}

LoopbackServer::~LoopbackServer()
{
    closePeer();
    if (listenFd >= 0)
        close(listenFd);
}

bool LoopbackServer::accept(int timeoutMs)
{
    if (peerFd >= 0)
        return true;
    if (listenFd < 0 || !waitReadable(listenFd, timeoutMs))
        return false;
    peerFd = ::accept(listenFd, nullptr, nullptr);
    pending.clear();
    return peerFd >= 0;
}

bool LoopbackServer::send(const std::string& bytes)
{
    size_t done = 0;
    while (peerFd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(peerFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return peerFd >= 0;
}

bool LoopbackServer::readSome(int timeoutMs)
{
    if (peerFd < 0 || !waitReadable(peerFd, timeoutMs))
        return false;
    char buf[65536];
    ssize_t n = ::recv(peerFd, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    pending.append(buf, static_cast<size_t>(n));
    return true;
}

std::string LoopbackServer::receive(size_t count, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (pending.size() < count) {
        long long left = deadline - nowMs();
        if (left <= 0 || !readSome(static_cast<int>(left)))
            break;
    }
    size_t n = pending.size() < count ? pending.size() : count;
    std::string out = pending.substr(0, n);
    pending.erase(0, n);
    return out;
}

std::string LoopbackServer::receiveUntil(const std::string& needle, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (pending.find(needle) == std::string::npos) {
        long long left = deadline - nowMs();
        if (left <= 0 || !readSome(static_cast<int>(left)))
            break;
    }
    std::string out;
    out.swap(pending);
    return out;
}

std::string LoopbackServer::drain(int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0 || peerFd < 0)
            break;
        if (!readSome(static_cast<int>(left)) && waitReadable(peerFd, 0))
            break;  // end of stream: nothing more will come
    }
    std::string out;
    out.swap(pending);
    return out;
}

bool LoopbackServer::peerClosed(int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (peerFd >= 0) {
        long long left = deadline - nowMs();
        if (left <= 0 || !waitReadable(peerFd, static_cast<int>(left)))
            return false;
        char buf[4096];
        ssize_t n = ::recv(peerFd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
        pending.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void LoopbackServer::closePeer()
{
    if (peerFd >= 0)
        close(peerFd);
    peerFd = -1;
}

int probeFreePort()
{
    LoopbackServer probe;
    return probe.port();
}

// ---------------------------------------------------------------- pty

PtyProcess::PtyProcess(const std::vector<std::string>& argv, const std::string& workDir, bool stdinNull)
    : master(-1), pid(-1), exitStatus(-1), termSignal(0), reaped(false)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return;
    const char* slaveName = ptsname(master);
    if (slaveName == nullptr)
        return;
    std::string slave = slaveName;

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
        setsid();
        int s = open(slave.c_str(), O_RDWR);
        if (s < 0)
            _exit(126);
        ioctl(s, TIOCSCTTY, 0);
        int in = s;
        if (stdinNull)
            in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(s, 1);
        dup2(s, 2);
        if (s > 2)
            close(s);
        if (in > 2 && in != s)
            close(in);
        close(master);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

PtyProcess::~PtyProcess()
{
    if (pid > 0 && !reaped) {
        kill(pid, SIGTERM);
        if (waitExit(2000) == -1 && !reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            reaped = true;
        }
    }
    if (master >= 0)
        close(master);
}

void PtyProcess::hangUp()
{
    pump(0);
    if (master >= 0)
        close(master);
    master = -1;
}

void PtyProcess::type(const std::string& bytes)
{
    size_t done = 0;
    long long deadline = nowMs() + 2000;
    while (master >= 0 && done < bytes.size() && nowMs() < deadline) {
        ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            pump(10);
    }
}

void PtyProcess::pump(int timeoutMs)
{
    if (master < 0)
        return;
    if (!waitReadable(master, timeoutMs))
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        shown.append(buf, static_cast<size_t>(n));
        // The terminal turns every line feed into CR LF on the way out.
        size_t at;
        while ((at = shown.find("\r\n")) != std::string::npos)
            shown.replace(at, 2, "\n");
    }
}

const std::string& PtyProcess::screen()
{
    pump(0);
    return shown;
}

bool PtyProcess::waitFor(const std::string& needle, int timeoutMs, size_t from)
{
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        pump(0);
        if (shown.size() >= from && shown.find(needle, from) != std::string::npos)
            return true;
        long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        pump(static_cast<int>(left < 50 ? left : 50));
    }
}

int PtyProcess::waitExit(int timeoutMs)
{
    if (pid <= 0)
        return -1;
    long long deadline = nowMs() + timeoutMs;
    while (!reaped) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            reaped = true;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            break;
        }
        pump(0);
        if (nowMs() >= deadline)
            return -1;
        pump(20);
    }
    // What the program printed last is still in the terminal.
    pump(50);
    return exitStatus;
}

long PtyProcess::cpuTicks() const
{
    if (pid <= 0 || reaped)
        return -1;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    // Fields after the command name: state is field 3, utime 14, stime 15.
    const char* p = stat.c_str() + close + 2;
    long utime = 0, stime = 0;
    int field = 3;
    while (*p != '\0' && field < 14) {
        if (*p == ' ')
            ++field;
        ++p;
    }
    if (sscanf(p, "%ld %ld", &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

}  // namespace apptest
