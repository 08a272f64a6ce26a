// Report blocks: exact bytes on standard error and one system-log entry per
// piece. The kit's syslog() takes the C library's place in the test
// program (log_capture.h), so production code needs no hook. Forms that end the process run in a child.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <vector>

// Assertions must not depend on the build type: the reports are included as
// a release build would include them.
#ifndef NDEBUG
#define NDEBUG 1
#endif
#include "report.h"
#include "child.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "text.h"

using kit::ChildResult;
using kit::LogEntry;
using kit::withoutLineNumbers;

namespace {

// The kit's syslog(3) keeps every entry here (or sends it to the test).
std::vector<LogEntry> &g_log = kit::capturedLog();

const char k_no_program[] =
    "\n*** ERROR (stack_trace.cpp, L, stackTracePrint):\n"
    "        You have not specified the name of your program.\n"
    "\tI'm afraid I can't do a stack-dump for you then.\n"
    "\tYou probably have forgotten to call \"stack_trace_catch_fatal\""
    "\n\n";

// The system-log pieces of the error that stackTracePrint gives when no
// program name is registered.
void expectNoProgramEntries(const std::vector<LogEntry> &log, size_t first)
{
    ASSERT_EQ(log.size(), first + 3);
    for (size_t i = first; i < log.size(); i++)
        EXPECT_EQ(log[i].priority, LOG_ERR) << "entry " << i;
    EXPECT_EQ(withoutLineNumbers(log[first].text), "\n*** ERROR (stack_trace.cpp, L, stackTracePrint):\n");
    EXPECT_EQ(log[first + 1].text.substr(0, 56), "        You have not specified the name of your program.");
    EXPECT_EQ(log[first + 2].text, "\n\n");
}



// Named as the main loop so the head line reads as it does there.
void connection_main_loop(int error)
{
    errno = error;
    REPORT_SYSERROR("        select");
}

// Conditions print as written, with macros unexpanded.
#define QUEUE_LIMIT 3
void failAssertion(int value) { REPORT_ASSERT(value > QUEUE_LIMIT); }
void failFatal(int value) { REPORT_FATAL("        Could not create %d queues for timers.", value); }
void failAssertionWithoutTrace(const char *name) { REPORT_ASSERT_NOTRACE(name != NULL); }
void failFatalWithoutTrace() { REPORT_FATAL_NOTRACE("        This should not happen!\n"); }

// A helper that reports on behalf of the public function that called it.
void parse_helper(const char *func, int error)
{
    REPORT_WARNING_IN(func, "        Odd header (%d bytes).", 7);
    REPORT_ERROR_IN(func, "        Bad header.");
    errno = error;
    REPORT_SYSERROR_IN(func, "        read");
}
void message_parse(int error) { parse_helper(__func__, error); }
void failHelperAssertion(const char *func, const void *record) { REPORT_ASSERT_IN(func, record != NULL); }
void record_open() { failHelperAssertion(__func__, nullptr); }

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { g_log.clear(); }
};

TEST_F(ReportTest, WarningIsFourLinesOnStandardErrorAndThreeLogEntries)
{
    testing::internal::CaptureStderr();
    int line = __LINE__ + 1;
    REPORT_WARNING("        There are no free handles");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\n*** WARNING (test_report.cpp, " + std::to_string(line) +
                       ", TestBody):\n        There are no free handles\n\n");
    ASSERT_EQ(g_log.size(), 3u);
    for (const auto &e : g_log)
        EXPECT_EQ(e.priority, LOG_WARNING);
    EXPECT_EQ(g_log[0].text, "\n*** WARNING (test_report.cpp, " + std::to_string(line) + ", TestBody):\n");
    EXPECT_EQ(g_log[1].text, "        There are no free handles");
    EXPECT_EQ(g_log[2].text, "\n\n");
}

TEST_F(ReportTest, ErrorWithArgumentsIsFormattedInBothPlaces)
{
    // A call over two lines gets a different line number from each
    // compiler; the line itself is checked by the warning test.
    testing::internal::CaptureStderr();
    REPORT_ERROR("        Message with to large payload received (msg_type=%d, received=%d bytes, max=%d bytes). Terminating client!",
                 0, 8193, 8192);
    std::string err = testing::internal::GetCapturedStderr();
    const std::string head = "\n*** ERROR (test_report.cpp, L, TestBody):\n";
    const std::string body = "        Message with to large payload received (msg_type=0, received=8193 bytes, max=8192 bytes). Terminating client!";
    EXPECT_EQ(withoutLineNumbers(err), head + body + "\n\n");
    ASSERT_EQ(g_log.size(), 3u);
    for (const auto &e : g_log)
        EXPECT_EQ(e.priority, LOG_ERR);
    EXPECT_EQ(withoutLineNumbers(g_log[0].text), head);
    EXPECT_EQ(g_log[1].text, body);
}

TEST_F(ReportTest, MessageWithoutArgumentsIsWrittenUnformattedToStandardError)
{
    // A "%" in a message without arguments is not a conversion on standard
    // error; the system log formats it, as it formats every piece.
    testing::internal::CaptureStderr();
    REPORT_WARNING("        Load above 100%%\n");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(withoutLineNumbers(err), "\n*** WARNING (test_report.cpp, L, TestBody):\n        Load above 100%%\n\n\n");
    ASSERT_EQ(g_log.size(), 3u);
    EXPECT_EQ(g_log[1].text, "        Load above 100%\n");
}

TEST_F(ReportTest, FailedSelectIsReportedInFivePiecesEndingRightAfterTheErrorText)
{
    testing::internal::CaptureStderr();
    connection_main_loop(EBADF);
    std::string err = testing::internal::GetCapturedStderr();
    const std::string text = strerror(EBADF);
    EXPECT_EQ(withoutLineNumbers(err),
              "\n*** ERROR (test_report.cpp, L, connection_main_loop):\n        select: " + text + "\n");
    ASSERT_EQ(g_log.size(), 4u);
    for (const auto &e : g_log)
        EXPECT_EQ(e.priority, LOG_ERR);
    EXPECT_EQ(withoutLineNumbers(g_log[0].text), "\n*** ERROR (test_report.cpp, L, connection_main_loop):\n");
    EXPECT_EQ(g_log[1].text, "        select");
    EXPECT_EQ(g_log[2].text, ": " + text) << "the error text is the one of the failed call, not of a later write";
    EXPECT_EQ(g_log[3].text, "\n");
}

TEST_F(ReportTest, HelperReportsNameTheFunctionThatTheirCallerGives)
{
    testing::internal::CaptureStderr();
    message_parse(EIO);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(withoutLineNumbers(err), "\n*** WARNING (test_report.cpp, L, message_parse):\n        Odd header (7 bytes).\n\n"
                                       "\n*** ERROR (test_report.cpp, L, message_parse):\n        Bad header.\n\n"
                                       "\n*** ERROR (test_report.cpp, L, message_parse):\n        read: " +
                                           std::string(strerror(EIO)) + "\n");
    ASSERT_EQ(g_log.size(), 10u);
    EXPECT_EQ(g_log[0].priority, LOG_WARNING);
    EXPECT_EQ(g_log[3].priority, LOG_ERR);
    EXPECT_EQ(withoutLineNumbers(g_log[6].text), "\n*** ERROR (test_report.cpp, L, message_parse):\n");

    const ChildResult r = kit::runCaptured([] { record_open(); });
    EXPECT_TRUE(r.exitedWith(1)) << "status " << r.status;
    EXPECT_EQ(withoutLineNumbers(r.err),
              std::string("\n*** ASSERTION FAILED (test_report.cpp, L, record_open):\n        record != NULL\n") +
                  k_no_program);
}

TEST_F(ReportTest, AssertionThatHoldsReportsNothingAndEvaluatesItsConditionOnce)
{
    int evaluations = 0;
    testing::internal::CaptureStderr();
    REPORT_ASSERT(++evaluations == 1);
    REPORT_ASSERT_NOTRACE(++evaluations == 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(evaluations, 2);
}

TEST(ReportEndTest, FailedAssertionWithoutProgramNameEndsWithStatusOneAfterTheTraceError)
{
    const ChildResult r = kit::runCaptured([] { failAssertion(2); });
    EXPECT_TRUE(r.exitedWith(1)) << "status " << r.status;
    EXPECT_EQ(withoutLineNumbers(r.err),
              std::string("\n*** ASSERTION FAILED (test_report.cpp, L, failAssertion):\n"
                          "        value > QUEUE_LIMIT\n") +
                  k_no_program);
    EXPECT_EQ(r.out, "");
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ(r.log[0].priority, LOG_CRIT);
    EXPECT_EQ(withoutLineNumbers(r.log[0].text), "\n*** ASSERTION FAILED (test_report.cpp, L, failAssertion):\n");
    EXPECT_EQ(r.log[1].priority, LOG_CRIT);
    EXPECT_EQ(r.log[1].text, "        value > QUEUE_LIMIT\n");
    expectNoProgramEntries(r.log, 2);
}

TEST(ReportEndTest, FatalErrorWithoutProgramNameEndsWithStatusOneAfterTheTraceError)
{
    const ChildResult r = kit::runCaptured([] { failFatal(2); });
    EXPECT_TRUE(r.exitedWith(1)) << "status " << r.status;
    EXPECT_EQ(withoutLineNumbers(r.err),
              std::string("\n*** FATAL ERROR (test_report.cpp, L, failFatal):\n"
                          "        Could not create 2 queues for timers.\n\n") +
                  k_no_program);
    ASSERT_GE(r.log.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(r.log[i].priority, LOG_CRIT) << "entry " << i;
    EXPECT_EQ(r.log[1].text, "        Could not create 2 queues for timers.");
    EXPECT_EQ(r.log[2].text, "\n\n");
    expectNoProgramEntries(r.log, 3);
}

TEST(ReportEndTest, FormsWithoutTraceAbortAtOnce)
{
    const ChildResult assertion = kit::runCaptured([] { failAssertionWithoutTrace(nullptr); });
    EXPECT_TRUE(assertion.killedBy(SIGABRT)) << "status " << assertion.status;
    EXPECT_EQ(withoutLineNumbers(assertion.err),
              "\n*** ASSERTION FAILED (test_report.cpp, L, failAssertionWithoutTrace):\n        name != NULL\n");
    ASSERT_EQ(assertion.log.size(), 2u);
    EXPECT_EQ(assertion.log[0].priority, LOG_CRIT);
    EXPECT_EQ(assertion.log[1].priority, LOG_CRIT);

    const ChildResult fatal = kit::runCaptured([] { failFatalWithoutTrace(); });
    EXPECT_TRUE(fatal.killedBy(SIGABRT)) << "status " << fatal.status;
    EXPECT_EQ(withoutLineNumbers(fatal.err),
              "\n*** FATAL ERROR (test_report.cpp, L, failFatalWithoutTrace):\n        This should not happen!\n\n\n");
    ASSERT_EQ(fatal.log.size(), 3u);
    for (const auto &e : fatal.log)
        EXPECT_EQ(e.priority, LOG_CRIT);
}

} // namespace
