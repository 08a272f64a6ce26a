#include "report_child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace reportchild {

namespace {

// Write end of the record pipe in a child; -1 in the test process itself.
int g_record_fd = -1;

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Records travel as priority, length, text; one write each, so the entries
// of the child and of its descendants stay whole.
std::vector<LogEntry> parseRecords(const std::string &bytes)
{
    std::vector<LogEntry> entries;
    size_t at = 0;
    while (bytes.size() - at >= 2 * sizeof(int)) {
        int priority;
        int length;
        memcpy(&priority, bytes.data() + at, sizeof priority);
        memcpy(&length, bytes.data() + at + sizeof priority, sizeof length);
        at += 2 * sizeof(int);
        if (length < 0 || bytes.size() - at < static_cast<size_t>(length))
            break;
        entries.push_back({priority, bytes.substr(at, static_cast<size_t>(length))});
        at += static_cast<size_t>(length);
    }
    return entries;
}

void removeTree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d != nullptr) {
        while (struct dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            removeTree(path + "/" + name);
        }
        closedir(d);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

} // namespace

double monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool recordingLog() { return g_record_fd >= 0; }

void recordLogEntry(int priority, const char *text)
{
    if (g_record_fd < 0)
        return;
    const int length = static_cast<int>(strlen(text));
    std::string record(2 * sizeof(int) + static_cast<size_t>(length), '\0');
    memcpy(&record[0], &priority, sizeof priority);
    memcpy(&record[sizeof priority], &length, sizeof length);
    memcpy(&record[2 * sizeof(int)], text, static_cast<size_t>(length));
    const int saved = errno;
    writeAll(g_record_fd, record.data(), record.size());
    errno = saved;
}

ChildProcess::ChildProcess(const std::function<void()> &body)
{
    int out[2];
    int err[2];
    int log[2];
    if (pipe2(out, O_CLOEXEC) < 0)
        return;
    if (pipe2(err, O_CLOEXEC) < 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    if (pipe2(log, O_CLOEXEC) < 0) {
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    started = monotonicSeconds();
    child = fork();
    if (child == 0) {
        setpgid(0, 0);
        // Aborting is an expected end here; no core files.
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        // dup2 clears close-on-exec on the standard streams only; the record
        // pipe keeps it, so executed programs never inherit it.
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        close(log[0]);
        g_record_fd = log[1];
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    close(log[1]);
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        close(log[0]);
        return;
    }
    // Set from both sides so that a kill of the group right after the fork
    // cannot miss it.
    setpgid(child, child);
    outFd = out[0];
    errFd = err[0];
    logFd = log[0];
}

ChildProcess::~ChildProcess()
{
    if (child > 0) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    for (int fd : {outFd, errFd, logFd})
        if (fd >= 0)
            close(fd);
}

ChildResult ChildProcess::finish(double limit_seconds)
{
    ChildResult result;
    result.pid = child;
    if (child <= 0)
        return result;
    std::string logBytes;
    int fds[3] = {outFd, errFd, logFd};
    std::string *sinks[3] = {&result.out, &result.err, &logBytes};
    const double deadline = started + limit_seconds;
    bool reaped = false;
    for (;;) {
        if (!reaped) {
            int status;
            if (waitpid(child, &status, WNOHANG) == child) {
                reaped = true;
                result.status = status;
                result.finished = true;
                result.seconds = monotonicSeconds() - started;
            }
        }
        struct pollfd polled[3];
        int count = 0;
        int which[3];
        for (int i = 0; i < 3; i++) {
            if (fds[i] >= 0) {
                polled[count] = {fds[i], POLLIN, 0};
                which[count++] = i;
            }
        }
        const double now = monotonicSeconds();
        if ((count == 0 && reaped) || now >= deadline)
            break;
        // Short slices while the child runs, so its end is timed closely.
        const int slice = reaped ? static_cast<int>((deadline - now) * 1000) + 1 : 10;
        const int ready = poll(polled, static_cast<nfds_t>(count), slice);
        if (ready < 0 && errno != EINTR)
            break;
        for (int k = 0; k < count && ready > 0; k++) {
            if ((polled[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(polled[k].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[which[k]]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[which[k]]);
                fds[which[k]] = -1;
            }
        }
    }
    // Whatever the child started and left behind goes with it.
    kill(-child, SIGKILL);
    if (!reaped) {
        kill(child, SIGKILL);
        waitpid(child, &result.status, 0);
        result.seconds = monotonicSeconds() - started;
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    outFd = errFd = logFd = -1;
    child = -1;
    result.log = parseRecords(logBytes);
    return result;
}

ChildResult runInChild(const std::function<void()> &body, double limit_seconds)
{
    ChildProcess process(body);
    return process.finish(limit_seconds);
}

std::string withoutLineNumbers(const std::string &text)
{
    static const std::regex head(R"((\*\*\* [A-Z ]+ \([^,\n]+), [0-9]+, )");
    return std::regex_replace(text, head, "$1, L, ");
}

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/quorvane-report-XXXXXX";
    if (mkdtemp(name) != nullptr)
        dir = name;
}

ScratchDir::~ScratchDir()
{
    if (!dir.empty())
        removeTree(dir);
}

void ScratchDir::write(const std::string &name, const std::string &bytes, bool executable) const
{
    const std::string path = file(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, executable ? 0755 : 0644);
    if (fd < 0)
        return;
    writeAll(fd, bytes.data(), bytes.size());
    close(fd);
}

std::string ScratchDir::read(const std::string &name) const
{
    std::string bytes;
    const int fd = open(file(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    close(fd);
    return bytes;
}

} // namespace reportchild
