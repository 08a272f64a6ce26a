// The system log, caught. A program that calls capturedLog() links the
// kit's own syslog(3), which takes the place of the C library's in the whole
// program, so that tests and fuzzing leave the machine's log alone. In a
// child that records the log (see capturing() in child.h) each entry
// travels back to the test; elsewhere it is kept here, in order.
//
// Like any output call, the real syslog may change errno; this one always
// does (ENOSPC), so that a report that reads errno late shows the wrong text.
#ifndef QUORVANE_TESTS_LOG_CAPTURE_H
#define QUORVANE_TESTS_LOG_CAPTURE_H

#include <vector>

#include "child.h"

namespace kit {

std::vector<LogEntry> &capturedLog();

} // namespace kit

#endif
