#include "CsSignalStop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

CsSignalStop *CsSignalStop::active = nullptr;

namespace {

// Shared with the handler, which may run between any two instructions of
// the program: plain values of the type that is read and written whole.
volatile sig_atomic_t firstSignal = 0; // the signal that started the stop
volatile sig_atomic_t wakeDescriptor = -1;

// Default action, unblocked, raised: the process ends by the signal.
// Async-signal-safe, for the handler as for endBy.
void raiseByDefault(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
}

void onSignal(int signal)
{
    if (firstSignal != 0) {
        if (signal == SIGHUP)
            return;
        raiseByDefault(signal);
        _exit(128 + signal);
    }
    firstSignal = signal;
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up; the byte is not needed then.
    ssize_t written = write(wakeDescriptor, &number, 1);
    (void)written;
    errno = savedErrno;
}

}  // namespace

CsSignalStop::CsSignalStop(CsApplication *owner, const std::vector<int> &signals, int verbose)
    : CsExternalRead(owner, -1, verbose)
{
    if (active != nullptr)
        return;
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (verbose)
            printf("Can't catch signals\n");
        return;
    }
    attach(ends[0]);
    if (getWatchHandle() == -1) {
        // Nobody would read the pipe: a caught signal would end nothing.
        if (verbose)
            printf("Can't catch signals\n");
        close(ends[0]);
        close(ends[1]);
        detach();
        return;
    }
    pipeWrite = ends[1];
    wakeDescriptor = pipeWrite;
    firstSignal = 0;

    // Every caught signal is held off while a handler runs, so that the
    // handler's test of firstSignal and its change are one step. SA_RESTART:
    // a read or write that a signal interrupts goes on, the loop's select
    // returns and finds the pipe readable.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : signals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (int signal : signals) {
        Saved previous{signal, {}};
        if (sigaction(signal, nullptr, &previous.action) != 0 || previous.action.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal, &action, nullptr) == 0)
            saved.push_back(previous);
    }
    active = this;
}

CsSignalStop::~CsSignalStop()
{
    for (auto it = saved.rbegin(); it != saved.rend(); ++it)
        sigaction(it->signal, &it->action, nullptr);
    if (active != this)
        return;
    active = nullptr;
    wakeDescriptor = -1;
    int reader = getDescriptor();
    detach();
    close(reader);
    close(pipeWrite);
}

void CsSignalStop::onReady()
{
    unsigned char numbers[16];
    ssize_t n;
    bool woken = false;
    while ((n = read(getDescriptor(), numbers, sizeof numbers)) > 0 || (n < 0 && errno == EINTR))
        woken = woken || n > 0;
    if (!woken)
        return;
    if (stopHandler)
        stopHandler();
    else
        CsApplication::stop();
}

int CsSignalStop::caught()
{
    return firstSignal;
}

void CsSignalStop::endBy(int signal)
{
    fflush(nullptr);
    raiseByDefault(signal);
    _exit(128 + signal);
}
