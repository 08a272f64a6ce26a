#include "support.h"

#include "loopback.h"
#include "temp_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Undefined behaviour ends a run as a crash does, so that libFuzzer keeps
// the input. Set here rather than compiled in (-fno-sanitize-recover): that
// flag drops the checks' own blocks from the coverage libFuzzer counts,
// which would make the figures of one campaign unlike the next.
extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}

namespace fuzz {

namespace {

const char *g_target = "fuzz";

} // namespace

void setTarget(const char *name)
{
    g_target = name;
}

void fail(const char *what)
{
    dprintf(STDERR_FILENO, "%s: %s\n", g_target, what);
    std::abort();
}

const std::string &scratchDir()
{
    // In memory where the machine has it: a target may rewrite its files for
    // every input at no cost in disk writes. Removed, whatever a target left
    // there, when the process ends.
    static const kit::TempDir dir([] {
        struct stat st;
        return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    }());
    if (dir.path().empty())
        fail("no scratch directory");
    return dir.path();
}

std::string scratchFile(const std::string &name)
{
    return scratchDir() + "/" + name;
}

std::string readFile(const std::string &path, size_t from)
{
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(from + out.size()))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

namespace {

void writeAt(const std::string &path, const std::string &bytes, int flags)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
    if (fd < 0)
        fail("cannot write a scratch file");
    writeAll(fd, bytes.data(), bytes.size());
    // In place: the file keeps its identity, as an editor's rewrite would not.
    if (!(flags & O_APPEND) && ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        fail("cannot cut a scratch file");
    close(fd);
}

} // namespace

void writeFile(const std::string &path, const std::string &bytes)
{
    writeAt(path, bytes, 0);
}

void appendFile(const std::string &path, const std::string &bytes)
{
    writeAt(path, bytes, O_APPEND);
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("a write of the target's own failed");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

int readable(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        fail("FIONREAD failed");
    return n;
}

int listenLoopback(std::string &port)
{
    // One for the process: the targets accept from it input after input.
    static const kit::Listener listener;
    if (!listener.ok())
        fail("no loopback listener");
    port = listener.portText();
    return listener.descriptor();
}

void silenceStandardOutput()
{
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    // What goes through the stream is dropped before it costs a write;
    // anything written to the descriptor itself still reaches /dev/null.
    static const cookie_io_functions_t drop = {
        nullptr, [](void *, const char *, size_t size) { return static_cast<ssize_t>(size); }, nullptr, nullptr};
    if (FILE *sink = fopencookie(nullptr, "w", drop))
        stdout = sink;
}

bool isLoginPrompt(const std::string &block)
{
    std::string text;
    for (char c : block)
        if (c != '\0')
            text += c;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    static const std::string word = "login:";
    return text.size() >= word.size() && text.compare(text.size() - word.size(), word.size(), word) == 0;
}

Cut cutLines(const std::string &block, bool &partial)
{
    std::string text;
    for (char c : block)
        if (c != '\0')
            text += c;
    Cut cut;
    size_t i = 0;
    if (partial && !text.empty() && text[0] == '\n') {
        cut.shown = "\n";
        cut.lines = 1;
        i = 1;
    }
    while (i < text.size()) {
        size_t nl = text.find('\n', i);
        const bool ended = nl != std::string::npos;
        if (!ended)
            nl = text.size();
        if (nl > i) {
            cut.shown.append(text, i, nl - i);
            if (ended)
                cut.shown += '\n';
            cut.lines++;
        }
        i = nl + 1;
    }
    if (!cut.shown.empty())
        partial = cut.shown.back() != '\n';
    return cut;
}

OpenScratchFile::OpenScratchFile(const std::string &name) : where(scratchFile(name))
{
    fd = open(where.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot open a scratch file");
}

OpenScratchFile::~OpenScratchFile()
{
    if (fd >= 0)
        close(fd);
}

void OpenScratchFile::rewrite(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("a write of the target's own failed");
        done += static_cast<size_t>(n);
    }
    cut(bytes.size());
}

void OpenScratchFile::cut(size_t size)
{
    if (ftruncate(fd, static_cast<off_t>(size)) != 0)
        fail("cannot cut a scratch file");
}

std::string OpenScratchFile::read() const
{
    // A read of a regular file that comes back short has reached its end:
    // no second read to hear it say 0.
    std::string out(4096, '\0');
    size_t got = 0;
    for (;;) {
        const ssize_t n = pread(fd, &out[got], out.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("a read of the target's own failed");
        got += static_cast<size_t>(n);
        if (got < out.size())
            break;
        out.resize(2 * out.size());
    }
    out.resize(got);
    return out;
}

} // namespace fuzz
