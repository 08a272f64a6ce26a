#include "CsStdOut.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

CsStdOut *CsStdOut::current = nullptr;

namespace {

long long nowMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool sameFile(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino &&
           sa.st_rdev == sb.st_rdev;
}

}  // namespace

CsStdOut::CsStdOut(CsApplication *owner, size_t bound)
    : CsExternal(owner, WATCH_WRITABLE, -1, 0), bound(bound)
{
    if (current != nullptr)
        return;
    struct stat st;
    if (fstat(1, &st) != 0)
        return;
    if (S_ISSOCK(st.st_mode)) {
        out = 1;
        socketOut = true;
    } else if (S_ISFIFO(st.st_mode) || isatty(1)) {
        // A description of our own: O_NONBLOCK on the shared one would
        // reach the shell, or whoever else writes there, too.
        out = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        ownDescriptor = out >= 0;
        // The main loop's select() cannot watch a descriptor beyond its sets
        // (a parent that leaked hundreds): 1 itself then, in small steps.
        if (ownDescriptor && out >= FD_SETSIZE) {
            close(out);
            ownDescriptor = false;
        }
        if (!ownDescriptor) {
            out = 1;
            pollFirst = (fcntl(1, F_GETFL) & O_NONBLOCK) == 0;
        }
    } else {
        out = 1;
    }

    cookie_io_functions_t functions = {nullptr, streamWrite, nullptr, nullptr};
    stream = fopencookie(this, "w", functions);
    if (stream == nullptr) {
        if (ownDescriptor)
            close(out);
        out = -1;
        return;
    }
    // Line by line, as a terminal shows it: an operator program that reads
    // our output sees each status line when it happens.
    setvbuf(stream, nullptr, _IOLBF, BUFSIZ);
    if (sameFile(1, 2)) {
        errStream = fopencookie(this, "w", functions);
        if (errStream != nullptr)
            setvbuf(errStream, nullptr, _IONBF, 0);
    }
    fflush(stdout);
    fflush(stderr);
    taken = stdout;
    stdout = stream;
    if (errStream != nullptr) {
        takenErr = stderr;
        stderr = errStream;
    }
    current = this;
}

CsStdOut::~CsStdOut()
{
    if (current != this)
        return;
    fflush(stream);
    if (errStream != nullptr)
        fflush(errStream);
    waitForConsole(kEndWaitMs);
    droppedTotal += held();
    text.clear();
    start = 0;
    stdout = taken;
    fclose(stream);
    if (errStream != nullptr) {
        stderr = takenErr;
        fclose(errStream);
    }
    taken = nullptr;
    current = nullptr;
    detach();
    if (ownDescriptor)
        close(out);
}

void CsStdOut::onReady()
{
    writeHeld();
}

// glibc's stream calls this with text that leaves its buffer. Everything is
// taken (held or dropped): a short count would mark the stream as failed.
ssize_t CsStdOut::streamWrite(void *object, const char *data, size_t length)
{
    static_cast<CsStdOut *>(object)->take(data, length);
    return static_cast<ssize_t>(length);
}

void CsStdOut::take(const char *data, size_t length)
{
    // Only a signal handler can call in here while a take is under way (the
    // library's broken-pipe warning, raised by our own write): its text is
    // counted, not taken, as the held text is being changed.
    if (inside || consoleGone) {
        if (!consoleGone)
            droppedNow += length;
        return;
    }
    inside = true;
    noticeIfRoom();
    if (droppedNow == 0 && length > 0) {
        const bool endsInsideLine = data[length - 1] != '\n';
        if (held() == 0) {
            const size_t n = writeNow(data, length);
            data += n;
            length = consoleGone ? 0 : length - n;
        }
        // A piece is held whole or dropped whole: a gap never cuts a line
        // that was printed in one go.
        if (held() + length > bound) {
            droppedNow += length;
        } else {
            text.append(data, length);
            lineOpen = endsInsideLine;
        }
    } else {
        droppedNow += length;
    }
    if (held() > 0)
        watch();
    inside = false;
}

// Some bytes to the console without waiting; how many it took.
size_t CsStdOut::writeNow(const char *data, size_t length)
{
    size_t done = 0;
    while (done < length && !consoleGone) {
        size_t piece = length - done;
        if (pollFirst) {
            struct pollfd p = {out, POLLOUT, 0};
            if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0)
                break;
            piece = std::min(piece, static_cast<size_t>(PIPE_BUF));
        }
        ssize_t n = socketOut ? send(out, data + done, piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(out, data + done, piece);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            // A broken pipe, a hung-up terminal, a failing device: nothing
            // written later would be seen either.
            consoleGone = true;
        }
    }
    return done;
}

void CsStdOut::writeHeld()
{
    if (inside)
        return;
    inside = true;
    start += writeNow(text.data() + start, held());
    if (consoleGone) {
        droppedTotal += held() + droppedNow;
        droppedNow = 0;
        text.clear();
        start = 0;
    } else if (start > text.size() / 2 || held() == 0) {
        // The written front goes once it is the larger part: each byte is
        // moved at most once more.
        text.erase(0, start);
        start = 0;
    }
    noticeIfRoom();
    if (held() == 0)
        detach();
    inside = false;
}

// After a gap, text is taken again once the console has taken half of what
// was held, behind a line that says how much is missing; earlier, each new
// piece would make a gap of its own.
void CsStdOut::noticeIfRoom()
{
    if (droppedNow == 0 || consoleGone || held() > bound / 2)
        return;
    char notice[96];
    int n = snprintf(notice, sizeof notice, "%s*** Console output dropped: %zu bytes the console did not take\n",
                     lineOpen ? "\n" : "", droppedNow);
    droppedTotal += droppedNow;
    droppedNow = 0;
    lineOpen = false;
    if (n > 0)
        text.append(notice, std::min(static_cast<size_t>(n), sizeof notice - 1));
    if (held() > 0)
        watch();
}

// Watched only while text waits: a console with room is writable in every
// pass, and a watch on it would keep the loop busy.
void CsStdOut::watch()
{
    if (getDescriptor() < 0)
        attach(out);
    else
        reattach();
}

void CsStdOut::waitForConsole(int ms)
{
    const long long end = nowMs() + ms;
    for (;;) {
        writeHeld();
        const long long left = end - nowMs();
        if (held() == 0 || consoleGone || left <= 0)
            return;
        struct pollfd p = {out, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}
