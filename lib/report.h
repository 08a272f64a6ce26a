// Diagnostic reports of the communication and support library.
//
// Every report is one block on the standard error stream: an empty line, a
// head line naming the source file, line and function of the report site,
// the message (message literals carry their own eight-space indent), and a
// trailer. Each piece is also handed to syslog(3) on its own, with the
// priority of the form, so every piece is a separate system-log entry. The
// system log is never opened explicitly: default identity and facility.
//
//   REPORT_WARNING(msg, ...)   LOG_WARNING  caller continues (answers -1)
//   REPORT_ERROR(msg, ...)     LOG_ERR      caller continues (answers -1)
//   REPORT_SYSERROR(call)      LOG_ERR      "<call>: <strerror(errno)>\n"
//   REPORT_SYSERROR_ERRNO(call) LOG_ERR     "<call> (errno=<n>): <strerror(errno)>\n"
//   REPORT_ASSERT(cond)        LOG_CRIT     stack trace, then abort()
//   REPORT_FATAL(msg, ...)     LOG_CRIT     stack trace, then abort()
//
// REPORT_ASSERT_NOTRACE and REPORT_FATAL_NOTRACE skip the stack trace and
// abort at once; the priority queue uses them, since the timers it holds
// may be what the trace machinery would need.
//
// The head line names the function the report is made from. A static
// helper that reports on behalf of a public function uses the _IN forms,
// which take that name from the helper's caller, so the block names the
// function a reader of the interface knows:
//
//   REPORT_WARNING_IN(func, msg, ...)   REPORT_ERROR_IN(func, msg, ...)
//   REPORT_SYSERROR_IN(func, call)      REPORT_ASSERT_IN(func, cond)
//
// Assertions are always compiled in, whatever NDEBUG says.
#ifndef QUORVANE_REPORT_H
#define QUORVANE_REPORT_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "stack_trace.h"

// Writes one piece of a report to standard error and then to the system log.
// A piece without arguments is written unformatted to standard error; the
// system log gets the same format and arguments in both cases. Pieces are
// always literals of this library (never received text), so the format
// handed to syslog is trusted.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
template <typename... Args>
inline void report_piece(int priority, const char *format, Args... args)
{
    if constexpr (sizeof...(Args) == 0)
        fputs(format, stderr);
    else
        fprintf(stderr, format, args...);
    syslog(priority, format, args...);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Head line of a block; the three arguments are always file, line, function.
inline void report_head(int priority, const char *head, const char *file, int line, const char *func)
{
    report_piece(priority, head, file, line, func);
}

// Assertion and fatal-error tail: try for a trace of the dying process, then
// abort. With no program registered stackTracePrint() itself ends the
// process with status 1 (after its own error report).
[[noreturn]] inline void report_die(int with_trace)
{
    if (with_trace)
        stackTracePrint(2, stack_trace_program_name());
    abort();
}

#if defined(__FILE_NAME__)
#define REPORT_FILE __FILE_NAME__
#else
#define REPORT_FILE __FILE__
#endif

#define REPORT_BLOCK_(prio, head, func, ...)                                  \
    do {                                                                      \
        report_head((prio), (head), REPORT_FILE, __LINE__, (func));           \
        report_piece((prio), __VA_ARGS__);                                    \
        report_piece((prio), "\n\n");                                         \
    } while (0)

#define REPORT_WARNING_IN(func, ...) REPORT_BLOCK_(LOG_WARNING, "\n*** WARNING (%s, %d, %s):\n", (func), __VA_ARGS__)
#define REPORT_ERROR_IN(func, ...) REPORT_BLOCK_(LOG_ERR, "\n*** ERROR (%s, %d, %s):\n", (func), __VA_ARGS__)
#define REPORT_WARNING(...) REPORT_WARNING_IN(__func__, __VA_ARGS__)
#define REPORT_ERROR(...) REPORT_ERROR_IN(__func__, __VA_ARGS__)

// The system's text is taken before anything is written, since the writes
// themselves may change errno.
#define REPORT_SYSERROR_IN(func, call)                                        \
    do {                                                                      \
        const char *report_err_text_ = strerror(errno);                      \
        report_head(LOG_ERR, "\n*** ERROR (%s, %d, %s):\n", REPORT_FILE, __LINE__, (func)); \
        report_piece(LOG_ERR, (call));                                        \
        report_piece(LOG_ERR, ": %s", report_err_text_);                     \
        report_piece(LOG_ERR, "\n");                                          \
    } while (0)
#define REPORT_SYSERROR(call) REPORT_SYSERROR_IN(__func__, call)
// With the error number beside the call, where the number tells more than
// the text (a write that failed on a connection).
#define REPORT_SYSERROR_ERRNO(call)                                           \
    do {                                                                      \
        const int report_errno_ = errno;                                      \
        const char *report_err_text_ = strerror(report_errno_);               \
        report_head(LOG_ERR, "\n*** ERROR (%s, %d, %s):\n", REPORT_FILE, __LINE__, __func__); \
        report_piece(LOG_ERR, "%s (errno=%d)", (call), report_errno_);        \
        report_piece(LOG_ERR, ": %s", report_err_text_);                      \
        report_piece(LOG_ERR, "\n");                                          \
    } while (0)

// The condition's text is taken by the outer macro, before its operands are
// expanded, so "l != NULL" is printed as written and not as "l != __null".
#define REPORT_ASSERT_(cond, text, trace, func)                               \
    do {                                                                      \
        if (!(cond)) {                                                        \
            report_head(LOG_CRIT, "\n*** ASSERTION FAILED (%s, %d, %s):\n", REPORT_FILE, __LINE__, (func)); \
            report_piece(LOG_CRIT, "        %s\n", (text));                  \
            report_die(trace);                                                \
        }                                                                     \
    } while (0)

#define REPORT_FATAL_(trace, ...)                                             \
    do {                                                                      \
        REPORT_BLOCK_(LOG_CRIT, "\n*** FATAL ERROR (%s, %d, %s):\n", __func__, __VA_ARGS__); \
        report_die(trace);                                                    \
    } while (0)

#define REPORT_ASSERT(cond) REPORT_ASSERT_(cond, #cond, 1, __func__)
#define REPORT_ASSERT_IN(func, cond) REPORT_ASSERT_(cond, #cond, 1, (func))
#define REPORT_ASSERT_NOTRACE(cond) REPORT_ASSERT_(cond, #cond, 0, __func__)
#define REPORT_FATAL(...) REPORT_FATAL_(1, __VA_ARGS__)
#define REPORT_FATAL_NOTRACE(...) REPORT_FATAL_(0, __VA_ARGS__)

#endif
