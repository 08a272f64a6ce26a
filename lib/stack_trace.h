// Stack trace of the running process through an external gdb.
//
// stackTracePrint() forks a runner that starts "gdb <program> <pid>", feeds
// it "backtrace", "p trace_wait = 0" and "quit", and copies only the frame
// lines ("#...") of its output to standard error (and, in mode 2, to the
// system log at LOG_CRIT). The calling process sleeps until the debugger
// clears trace_wait, giving up after five seconds.
#ifndef QUORVANE_STACK_TRACE_H
#define QUORVANE_STACK_TRACE_H

// Modes of stackTracePrint().
#define STACK_TRACE_INTERACTIVE 0 // replace the child with an interactive gdb
#define STACK_TRACE_STDERR 1      // frame lines to standard error only
#define STACK_TRACE_SYSLOG 2      // frame lines to standard error and the system log

// Cleared by the debugger through "p trace_wait = 0"; read again after
// every sleep, hence volatile.
extern volatile int trace_wait;

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

// The debugger runner (in the forked child); never returns.
[[noreturn]] void stack_trace(char **argv, int copy_to_log);

// SIGCHLD handler of the runner.
void stack_trace_sigchld(int signum);

#endif
