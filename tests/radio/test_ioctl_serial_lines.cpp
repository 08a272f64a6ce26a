// IoctlSerialLines: the modem-control lines of a real device. The tests have
// no serial port; a pseudo-terminal is a device without such lines.
#include "IoctlSerialLines.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "terminal.h"

namespace {

TEST(IoctlSerialLines, ADeviceWithoutModemLinesRefusesToReadOrSetThem)
{
    kit::Pty pty;
    const int slave = pty.openSlave();
    ASSERT_GE(slave, 0);
    IoctlSerialLines lines;
    int bits = 12345;
    EXPECT_EQ(-1, lines.get(slave, &bits));
    EXPECT_EQ(12345, bits) << "a failed read leaves the bits alone";
    EXPECT_EQ(-1, lines.set(slave, TIOCM_DTR));
    close(slave);
}

TEST(IoctlSerialLines, NoDeviceOrNoPlaceForTheBitsIsRefused)
{
    IoctlSerialLines lines;
    int bits = 7;
    EXPECT_EQ(-1, lines.get(-1, &bits));
    EXPECT_EQ(7, bits);
    EXPECT_EQ(-1, lines.set(-1, TIOCM_RTS));
    kit::Pty pty;
    EXPECT_EQ(-1, lines.get(pty.master(), nullptr));
}

} // namespace
