// SerialLines: when a read means the line is gone for good, and the frame
// line set-up that gives one frame per read. Run on a pseudo-terminal,
// which has the line discipline of a real serial line.
#include "SerialLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "loopback.h"
#include "terminal.h"

namespace {

const unsigned char kEnd = 0xFD;

// One read of the slave side, waiting up to a second for it.
long readOnce(int fd, std::string &got)
{
    char buf[64];
    for (int i = 0; i < 100; ++i) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) {
            got.assign(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            return n;
        }
        usleep(10000);
    }
    return -1;
}

// The slave side set up as a frame line, non-blocking; -1 when it cannot be opened.
int openFrameLine(const kit::Pty &pty)
{
    const int slave = pty.openSlave();
    if (slave >= 0) {
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        SerialLines::setUpFrameLine(slave, B19200, kEnd, 1);
    }
    return slave;
}

TEST(SerialLines, AFailedReadIsAHangUpUnlessItWasInterruptedOrHadNothingYet)
{
    kit::Pty pty;
    const int slave = pty.openSlave();
    ASSERT_GE(slave, 0);
    const struct {
        int error;
        bool gone;
    } cases[] = {{EINTR, false}, {EAGAIN, false}, {EWOULDBLOCK, false}, {EIO, true}, {EBADF, true}};
    for (const auto &c : cases)
        EXPECT_EQ(c.gone, SerialLines::isGone(slave, -1, c.error)) << strerror(c.error);
    close(slave);
}

TEST(SerialLines, AReadOfNothingIsAHangUpOnlyWhenTheFarEndIsGone)
{
    kit::Pty pty;
    const int slave = openFrameLine(pty);
    ASSERT_GE(slave, 0);

    // A lone end byte reads as nothing on a live line.
    ASSERT_TRUE(kit::sendAll(pty.master(), std::string(1, static_cast<char>(kEnd))));
    std::string got;
    ASSERT_EQ(0, readOnce(slave, got));
    EXPECT_FALSE(SerialLines::isGone(slave, 0, 0)) << "a live line with a lone end byte";

    pty.hangUp();
    EXPECT_TRUE(SerialLines::isGone(slave, 0, 0)) << "the far end closed";
    close(slave);
}

TEST(SerialLines, AFrameLineGivesOneFramePerReadWithoutItsEndByte)
{
    kit::Pty pty;
    const int slave = openFrameLine(pty);
    ASSERT_GE(slave, 0);

    // Two frames in one burst, then a text line: a line feed ends a read too
    // and stays in it. Bytes of all eight bits pass unchanged.
    const std::string burst = "\xFE\xFE\x58\x80\xFD" "\xFE\x60\xFF\xFD" "text\n";
    ASSERT_TRUE(kit::sendAll(pty.master(), burst));
    const char *expected[] = {"\xFE\xFE\x58\x80", "\xFE\x60\xFF", "text\n"};
    for (const char *frame : expected) {
        std::string got;
        EXPECT_EQ(static_cast<long>(strlen(frame)), readOnce(slave, got));
        EXPECT_EQ(frame, got);
    }
    close(slave);
}

TEST(SerialLines, ADescriptorWithoutALineDisciplineIsLeftAsItIs)
{
    const int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    SerialLines::setUpFrameLine(null, B19200, kEnd, 1);
    EXPECT_EQ(3, write(null, "abc", 3)) << "still written as it is";
    close(null);
}

} // namespace
