// Stack trace of the running process through an external gdb.
//
// stackTracePrint() forks a runner that starts "gdb <program> <pid>", feeds
// it "backtrace", "p trace_wait = 0" and "quit", and copies only the frame
// lines ("#...") of its output to standard error (and, in mode 2, to the
// system log at LOG_CRIT). The calling process sleeps until the debugger
// clears trace_wait, giving up after five seconds.
//
// Three processes take part: the dying process (waits in stackTracePrint),
// the runner (its child, in stack_trace) and the debugger (the runner's
// child). Each side gives up on the other after five seconds.
#ifndef QUORVANE_STACK_TRACE_H
#define QUORVANE_STACK_TRACE_H

#include <cstddef>

// Modes of stackTracePrint(); any other mode starts a child that exits at
// once, so the caller waits the full five seconds and reports the timeout.
#define STACK_TRACE_INTERACTIVE 0 // replace the child with an interactive gdb
#define STACK_TRACE_STDERR 1      // frame lines to standard error only
#define STACK_TRACE_SYSLOG 2      // frame lines to standard error and the system log

// Seconds the dying process and the runner wait for the debugger.
#define STACK_TRACE_TIMEOUT 5 // whole seconds, checked once a second

// Bytes of the runner's line buffer, terminating NUL included. A longer
// frame line is cut to its first STACK_TRACE_LINE_SIZE - 1 bytes.
#define STACK_TRACE_LINE_SIZE 8192

// States of the line filter.
#define STACK_TRACE_BETWEEN_LINES 0 // dropping everything up to a "#"
#define STACK_TRACE_IN_FRAME 1      // collecting a frame line
#define STACK_TRACE_AFTER_LINE_END 2 // a line end seen: continuation, next frame or end
#define STACK_TRACE_IN_INDENT 3     // skipping the indent of a continuation line

// Cleared by the debugger through "p trace_wait = 0"; read again after
// every sleep, hence volatile.
extern volatile int trace_wait;

// The line filter of the runner: keeps only the debugger's frame lines and
// joins the continuation lines of a wrapped frame line with one blank.
struct stack_trace_filter {
    int state;                        // one of STACK_TRACE_BETWEEN_LINES .. STACK_TRACE_IN_INDENT
    int copy_to_log;                  // non-zero: emitted lines also go to the system log
    size_t length;                    // bytes collected in line, NUL not counted
    char line[STACK_TRACE_LINE_SIZE]; // the frame line being collected
};

// Empties the buffer and starts between lines.
void stack_trace_filter_init(struct stack_trace_filter *filter, int copy_to_log);

// Feeds one byte of debugger output. A completed frame line is written with
// "%s\n" to standard error and, when copying to the log, to the system log
// at LOG_CRIT. A line still collected when feeding stops is never written.
void stack_trace_filter_feed(struct stack_trace_filter *filter, char byte);

// Registers the program (a copy of the name) and the mode of traces started
// by fatal signals, and installs fatal_signal_handler for SIGPIPE, SIGSEGV,
// SIGBUS, SIGILL and SIGFPE.
void stack_trace_catch_fatal(const char *program_name, int mode);

// The name registered by stack_trace_catch_fatal(), or null.
const char *stack_trace_program_name(void);

// Prints a trace of the calling process; returns unless name is null, in
// which case it reports an error and ends the process with exit(1).
void stackTracePrint(int mode, const char *program_name);

// Reports the signal, prints a trace in the registered mode, exit(1).
void fatal_signal_handler(int signum);

// The debugger runner (in the forked child): argv is the debugger's
// argument vector, argv[0] its name on the search path. Never returns.
[[noreturn]] void stack_trace(char **argv, int copy_to_log);

// SIGCHLD handler of the runner: notes that the debugger has ended.
void stack_trace_sigchld(int signum);

#endif
