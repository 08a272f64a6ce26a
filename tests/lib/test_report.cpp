// Report blocks: exact bytes on standard error and one system-log entry per
// piece. syslog() is interposed here, in the test program, so production
// code needs no hook.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "report.h"

namespace {
struct LogEntry {
    int priority;
    std::string text;
};
std::vector<LogEntry> g_log;
} // namespace

extern "C" void syslog(int priority, const char *format, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    g_log.push_back({priority, buf});
}

namespace {

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
    EXPECT_EQ(g_log[1].text, "        There are no free handles");
    EXPECT_EQ(g_log[2].text, "\n\n");
}

TEST_F(ReportTest, ErrorWithArgumentsIsFormattedInBothPlaces)
{
    testing::internal::CaptureStderr();
    REPORT_ERROR("        Message with to large payload received (msg_type=%d, received=%d bytes, max=%d bytes). Terminating client!",
                 0, 8193, 8192);
    std::string err = testing::internal::GetCapturedStderr();
    const std::string body = "        Message with to large payload received (msg_type=0, received=8193 bytes, max=8192 bytes). Terminating client!";
    EXPECT_NE(err.find("\n*** ERROR (test_report.cpp, "), std::string::npos);
    EXPECT_EQ(err.substr(err.size() - body.size() - 2), body + "\n\n");
    ASSERT_EQ(g_log.size(), 3u);
    EXPECT_EQ(g_log[1].priority, LOG_ERR);
    EXPECT_EQ(g_log[1].text, body);
}

TEST_F(ReportTest, SystemErrorEndsWithOneNewlineAfterTheErrorText)
{
    testing::internal::CaptureStderr();
    errno = EBADF;
    REPORT_SYSERROR("        select");
    std::string err = testing::internal::GetCapturedStderr();
    const std::string tail = "        select: " + std::string(strerror(EBADF)) + "\n";
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_NE(err[err.size() - 2], '\n') << "no empty line after a system error";
    ASSERT_EQ(g_log.size(), 4u);
    EXPECT_EQ(g_log[2].text, ": " + std::string(strerror(EBADF)));
    EXPECT_EQ(g_log[3].text, "\n");
}

} // namespace
