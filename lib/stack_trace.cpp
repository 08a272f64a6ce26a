// Stack trace of the running process through an external gdb.
//
// Everything here may run in a dying process, from a signal handler or after
// a failed assertion, so the module keeps only static state and never
// allocates except for the copy of the program name.
#include "stack_trace.h"

// The runner's SIGCHLD check is the standard assert; like every assertion of
// the library it stays compiled in whatever the build type says.
#undef NDEBUG
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include "report.h"

// The SIGCHLD check spells the number out; it must be the platform's.
static_assert(SIGCHLD == 17, "SIGCHLD is 17 on this platform");

volatile int trace_wait = 0;

static char *program_name = nullptr;
static int fatal_mode = STACK_TRACE_STDERR;

// Set by stack_trace_sigchld in the runner; read again after every select.
static volatile sig_atomic_t child_exited = 0;

// Static rather than on the stack: the runner may be a fork of a process
// that died of a stack overflow.
static struct stack_trace_filter runner_filter;

static const char banner[] = "******** stack trace for \"%s\" pid = %d ********\n";

// ---------------------------------------------------------------- line filter

void stack_trace_filter_init(struct stack_trace_filter *filter, int copy_to_log)
{
    memset(filter, 0, sizeof *filter);
    filter->state = STACK_TRACE_BETWEEN_LINES;
    filter->copy_to_log = copy_to_log;
}

// Appends one byte; past the buffer's end the byte is dropped, so an
// overlong frame line keeps its beginning (frame number and function).
static void filter_append(struct stack_trace_filter *filter, char byte)
{
    if (filter->length < STACK_TRACE_LINE_SIZE - 1)
        filter->line[filter->length++] = byte;
}

static void filter_emit(struct stack_trace_filter *filter)
{
    filter->line[filter->length] = '\0';
    fprintf(stderr, "%s\n", filter->line);
    if (filter->copy_to_log)
        syslog(LOG_CRIT, "%s\n", filter->line);
    filter->length = 0;
}

// Only a blank counts as indent: the debugger indents the rest of a wrapped
// frame with blanks, and a line that starts with anything else (a tab
// included) is not part of the frame.
static int is_blank(char byte) { return byte == ' '; }

void stack_trace_filter_feed(struct stack_trace_filter *filter, char byte)
{
    switch (filter->state) {
    case STACK_TRACE_BETWEEN_LINES:
        // The first frame follows the prompt on the prompt's own line, so a
        // frame starts at any "#", not only at the start of a line.
        if (byte == '#') {
            filter->length = 0;
            filter_append(filter, '#');
            filter->state = STACK_TRACE_IN_FRAME;
        }
        break;
    case STACK_TRACE_IN_FRAME:
        if (byte == '\n' || byte == '\r')
            filter->state = STACK_TRACE_AFTER_LINE_END;
        else
            filter_append(filter, byte);
        break;
    case STACK_TRACE_AFTER_LINE_END:
        // Only the byte after the line end tells whether the line is
        // complete: the debugger indents the rest of a wrapped frame.
        if (byte == '#') {
            filter_emit(filter);
            filter_append(filter, '#');
            filter->state = STACK_TRACE_IN_FRAME;
        } else if (is_blank(byte)) {
            filter_append(filter, ' ');
            filter->state = STACK_TRACE_IN_INDENT;
        } else {
            filter_emit(filter);
            filter->state = STACK_TRACE_BETWEEN_LINES;
        }
        break;
    case STACK_TRACE_IN_INDENT:
        if (!is_blank(byte)) {
            filter_append(filter, byte);
            filter->state = STACK_TRACE_IN_FRAME;
        }
        break;
    default:
        // Not reachable through the feed; start over rather than trust it.
        stack_trace_filter_init(filter, filter->copy_to_log);
        break;
    }
}

// ---------------------------------------------------------------- registration

void stack_trace_catch_fatal(const char *name, int mode)
{
    free(program_name);
    program_name = name ? strdup(name) : nullptr;
    fatal_mode = mode;
    signal(SIGPIPE, fatal_signal_handler);
    signal(SIGSEGV, fatal_signal_handler);
    signal(SIGBUS, fatal_signal_handler);
    signal(SIGILL, fatal_signal_handler);
    signal(SIGFPE, fatal_signal_handler);
}

const char *stack_trace_program_name(void) { return program_name; }

void fatal_signal_handler(int signum)
{
    switch (signum) {
    case SIGSEGV:
        REPORT_ERROR("        Segmentation fault");
        break;
    case SIGPIPE:
        REPORT_ERROR("        Broken pipe");
        break;
    case SIGBUS:
        REPORT_ERROR("        Bus error");
        break;
    case SIGILL:
        REPORT_ERROR("        Illegal instruction");
        break;
    case SIGFPE:
        REPORT_ERROR("        Floating point exception");
        break;
    default:
        REPORT_ERROR("        Unknown signal caught");
        break;
    }
    stackTracePrint(fatal_mode, program_name);
    exit(1);
}

// ---------------------------------------------------------------- the dying process

void stackTracePrint(int mode, const char *name)
{
    char debugger_name[] = "gdb";
    char pid_text[24];
    char *argv[4];

    trace_wait = 1;
    argv[0] = debugger_name;
    if (name == nullptr) {
        REPORT_ERROR("        You have not specified the name of your program.\n\tI'm afraid I can't do a stack-dump for you then.\n\tYou probably have forgotten to call \"stack_trace_catch_fatal\"");
        exit(1);
    }
    const int self = (int)getpid();
    snprintf(pid_text, sizeof pid_text, "%d", self);
    argv[1] = const_cast<char *>(name); // execvp does not write through it
    argv[2] = pid_text;
    argv[3] = nullptr;

    // The child writes to standard output only through its own flush; what
    // this process still buffers must not be written twice.
    fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        REPORT_SYSERROR("        fork");
        return;
    }
    if (child == 0) {
        switch (mode) {
        case STACK_TRACE_INTERACTIVE:
            fputs("debug_stop\n", stderr);
            execvp(argv[0], argv);
            perror("exec failed");
            break;
        case STACK_TRACE_STDERR:
            fprintf(stderr, banner, name, self);
            stack_trace(argv, 0);
        case STACK_TRACE_SYSLOG:
            fprintf(stderr, banner, name, self);
            syslog(LOG_CRIT, banner, name, self);
            stack_trace(argv, 1);
        default:
            break;
        }
        _exit(0);
    }

    // The debugger stops this process while it is attached and clears the
    // flag before it detaches, so the flag is read only between sleeps.
    trace_wait = 1;
    for (int second = 1; second < STACK_TRACE_TIMEOUT; second++) {
        sleep(1);
        if (!trace_wait)
            return;
    }
    sleep(1);
    REPORT_ERROR("        Timeout. Could not create stacktrace.");
    printf("Killing PID = %d\n", (int)child);
    fflush(stdout); // the caller aborts next, which does not flush
    kill(child, SIGKILL);
}

// ---------------------------------------------------------------- the runner

void stack_trace_sigchld(int signum)
{
    assert(signum == 17);
    child_exited = 1;
}

// Write errors towards the debugger show up as a debugger that never
// answers, which the idle count handles.
static void write_command(int fd, const char *command)
{
    ssize_t ignored = write(fd, command, strlen(command));
    (void)ignored;
}

static void close_above_standard(int fd)
{
    if (fd > STDERR_FILENO)
        close(fd);
}

void stack_trace(char **argv, int copy_to_log)
{
    int to_debugger[2];
    int from_debugger[2];

    child_exited = 0;
    stack_trace_filter_init(&runner_filter, copy_to_log);
    signal(SIGCHLD, stack_trace_sigchld);

    if (pipe(to_debugger) < 0) {
        REPORT_SYSERROR("        pipe");
        _exit(0);
    }
    if (pipe(from_debugger) < 0) {
        REPORT_SYSERROR("        pipe");
        _exit(0);
    }
    // A process with a thousand descriptors open hands its runner pipe
    // numbers that select cannot watch; writing such a bit into an fd_set
    // would overwrite the stack.
    if (from_debugger[0] >= FD_SETSIZE) {
        errno = EMFILE;
        REPORT_SYSERROR("        pipe");
        _exit(0);
    }

    const pid_t debugger = fork();
    if (debugger < 0) {
        REPORT_SYSERROR("        fork");
        _exit(0);
    }
    if (debugger == 0) {
        // Kept aside (closed by a successful exec): once standard error is
        // the pipe, a failure report would only reach the runner's filter,
        // which drops it.
        const int error_stream = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        dup2(to_debugger[0], STDIN_FILENO);
        dup2(from_debugger[1], STDOUT_FILENO);
        dup2(from_debugger[1], STDERR_FILENO);
        close_above_standard(to_debugger[0]);
        close_above_standard(to_debugger[1]);
        close_above_standard(from_debugger[0]);
        close_above_standard(from_debugger[1]);
        execvp(argv[0], argv);
        const int exec_errno = errno;
        if (error_stream >= 0)
            dup2(error_stream, STDERR_FILENO);
        errno = exec_errno;
        REPORT_SYSERROR("        exec");
        sleep(3);
        _exit(0);
    }

    // The whole script goes out before anything is read; the debugger reads
    // it once it has attached.
    write_command(to_debugger[1], "backtrace\n");
    write_command(to_debugger[1], "p trace_wait = 0\n");
    write_command(to_debugger[1], "quit\n");

    // The runner keeps the debugger's end of the output pipe open, so the
    // pipe never reports end of file: the debugger's end is seen through
    // SIGCHLD and a quiet second.
    int idle_seconds = 0;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(from_debugger[0], &readable);
        struct timeval timeout = {1, 0};
        const int ready = select(FD_SETSIZE, &readable, nullptr, nullptr, &timeout);
        // Includes the interruption by SIGCHLD: select reports ready output
        // before a pending signal, so it fails only once the pipe is empty.
        if (ready < 0)
            break;
        if (ready > 0) {
            char byte;
            if (read(from_debugger[0], &byte, 1) == 1)
                stack_trace_filter_feed(&runner_filter, byte);
            continue;
        }
        if (child_exited)
            break;
        if (++idle_seconds == STACK_TRACE_TIMEOUT) {
            REPORT_ERROR("        Timeout. Could not create stacktrace.");
            printf("Killing PID = %d\n", (int)debugger);
            fflush(stdout); // _exit below does not flush
            kill(debugger, SIGKILL);
            break;
        }
    }

    close(to_debugger[0]);
    close(to_debugger[1]);
    close(from_debugger[0]);
    close(from_debugger[1]);
    _exit(0);
}
