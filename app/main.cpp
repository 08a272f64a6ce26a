// quorvane: console terminal for a multi-operator log server.
//
//   quorvane -s<host> [-p<port>] [-l<login>] [-f<dir>] [-?]
//
// Turns the command line into one ProgramFileShare, prints the banner, runs
// the main loop until "exit" or "bye" is typed, and ends with status 0. A
// SIGINT, SIGTERM or SIGHUP ends the loop the same way; the process then
// ends by that signal, after the same clean-up. A second terminal on the
// same directory ends at once with status 1 and touches nothing there.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "CsSignalStop.h"
#include "CsStdOut.h"
#include "DirectoryLock.h"
#include "FileShare.h"
#include "ProgramFileShare.h"

namespace {

const double kVersion = 1.0;

// The terminal object as the command line makes it.
const int kHexMode = 0;            // text records in term.in and term.out
const int kTickMs = 1000;          // term.out is looked at, term.in written, once a second
const int kFrameSplit = 0;
const int kTerminalMode = 1;       // console lines go to the server, its text is shown
const int kConsoleInput = 1;
const int kReconnectSeconds = 10;
const char kWebAddress[] = "https://quorvane.invalid/";

[[noreturn]] void usage(const char* program)
{
    printf("\nUsage %s -s... [-p... [-l...]] [-f...] [-?]\n\n", program);
    printf("      -s<name>  : name/ip address of the server to connect.\n");
    printf("      -p<port>  : port number of the server to connect (default 8000).\n");
    printf("      -l<login> : automatic login text at 'login' promt.\n");
    printf("      -f<dir>   : in/out files in 'dir' directory (multi-op usage).\n");
    printf("      -?        : this help text.\n");
    printf("\n      Quorvane version %4.2f (%s)\n\n", kVersion, kWebAddress);
    exit(-1);
}

// "<dir>/<name>" in a zero-filled heap buffer, the directory text unchanged.
char* sharedFilePath(const char* dir, const char* name)
{
    size_t size = strlen(dir) + strlen(name) + 2;
    char* path = static_cast<char*>(calloc(size, 1));
    if (path != nullptr)
        snprintf(path, size, "%s/%s", dir, name);
    return path;
}

// Started with 0, 1 or 2 closed (a supervisor, "<&- >&-"), the first
// descriptors the program makes would land there: the signal pipe would be
// standard output, and the banner would stop the loop. /dev/null takes their
// place first.
void completeStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    completeStandardDescriptors();
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "quorvane";
    const char* host = nullptr;
    const char* port = nullptr;
    const char* login = nullptr;
    char* outFile = nullptr;  // term.out, read by this program
    char* inFile = nullptr;   // term.in, written by this program
    const char* dir = "internal";

    // Line by line on a pipe too, as on a terminal: an operator program that
    // reads our output sees each status line when it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "s:p:l:f:?")) != -1) {
        switch (c) {
        case 's':
            host = optarg;
            break;
        case 'p':
            port = optarg;
            break;
        case 'l':
            login = optarg;
            break;
        case 'f':
            dir = optarg;
            free(outFile);
            free(inFile);
            outFile = sharedFilePath(optarg, "term.out");
            inFile = sharedFilePath(optarg, "term.in");
            break;
        default:
            usage(program);
        }
    }
    if (host == nullptr)
        usage(program);
    if (port == nullptr)
        port = "8000";
    if (outFile == nullptr)
        outFile = FileShare::copyText("internal/term.out");
    if (inFile == nullptr)
        inFile = FileShare::copyText("internal/term.in");

    // Taken before FileShare resets term.in. A directory that does not exist
    // yet is no reason to refuse: a terminal used at its console alone needs
    // none. Its files then wait for the lock, which is taken once the
    // directory appears and before anything there is touched.
    DirectoryLock lock;
    const bool locked = lock.take(dir);
    if (!locked && !lock.missing()) {
        fprintf(stderr, "Quorvane not started: %s\n", lock.why().c_str());
        free(outFile);
        free(inFile);
        return 1;
    }
    // From here every line printed waits in a bounded buffer rather than
    // hold up the loop while the console does not read.
    auto console = std::make_unique<CsStdOut>(nullptr);

    // Caught before anything is made that a signal's default action would
    // throw away: from here a signal stops the loop (at its first pass, if
    // it comes during construction), and held server output still reaches
    // term.in.
    auto signals = std::make_unique<CsSignalStop>(nullptr, std::vector<int>{SIGINT, SIGTERM, SIGHUP}, 1);
    ProgramFileShare* terminal = new ProgramFileShare(host, port, outFile, inFile, login, kHexMode, kTickMs,
                                                      kFrameSplit, kTerminalMode, kConsoleInput, kReconnectSeconds);
    if (!locked) {
        const std::string shared = dir;
        terminal->getFiles()->setGate([&lock, shared](std::string& why) {
            if (lock.take(shared))
                return true;
            why = lock.why();
            return false;
        });
    }
    // A signal ends the program as "exit" does: output queued for the server
    // gets its time to go first.
    signals->setStopHandler([terminal] { terminal->drainAndStop(); });

    printf("\n\nWelcome to Quorvane ver %4.2f (%s)\n\n", kVersion, kWebAddress);
    CsApplication::run();

    signals->setStopHandler(nullptr);
    delete terminal;
    console.reset();
    // From here a signal takes its default action at once; one that came
    // before, even while the application was being destroyed, is the cause
    // the process ends by.
    signals.reset();
    free(outFile);
    free(inFile);
    if (int signal = CsSignalStop::caught())
        CsSignalStop::endBy(signal);
    return 0;
}
