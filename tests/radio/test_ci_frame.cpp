// CiFrame: a bus frame as it goes on the wire, and its echo as the line
// gives it back.
#include "CiFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const CiFrame &frame)
{
    return Bytes(frame.getBytes(), frame.getBytes() + frame.getLength());
}

TEST(CiFrame, WrapsThePayloadInTwoPreambleBytesAndTheEndByte)
{
    const Bytes payload = {0x58, 0xE0, 0x03, 0xFE};
    CiFrame frame(payload.data(), static_cast<int>(payload.size()));
    EXPECT_EQ((Bytes{0xFE, 0xFE, 0x58, 0xE0, 0x03, 0xFE, 0xFD}), bytesOf(frame));
    EXPECT_EQ(7, frame.getLength());

    // A copy is a frame of its own: assigning another frame to it leaves
    // the first alone.
    CiFrame copy = frame;
    const unsigned char other = 0x01;
    copy = CiFrame(&other, 1);
    EXPECT_EQ((Bytes{0xFE, 0xFE, 0x01, 0xFD}), bytesOf(copy));
    EXPECT_EQ((Bytes{0xFE, 0xFE, 0x58, 0xE0, 0x03, 0xFE, 0xFD}), bytesOf(frame));
}

struct EchoCase {
    const char *name;
    Bytes read; // as the line gave it back
    bool null;  // no bytes at all
    bool echo;
};

TEST(CiFrame, IsItsOwnEchoOnlyWithoutItsEndByteAndOtherwiseExact)
{
    const Bytes payload = {0x58, 0xE0, 0x03};
    const CiFrame frame(payload.data(), static_cast<int>(payload.size()));
    const EchoCase cases[] = {
        {"the frame without its end byte", {0xFE, 0xFE, 0x58, 0xE0, 0x03}, false, true},
        {"the whole frame, end byte included", {0xFE, 0xFE, 0x58, 0xE0, 0x03, 0xFD}, false, false},
        {"one byte short", {0xFE, 0xFE, 0x58, 0xE0}, false, false},
        {"one byte changed by a collision", {0xFE, 0xFE, 0x58, 0xE1, 0x03}, false, false},
        {"another frame of the same length", {0xFE, 0xFE, 0x03, 0xE0, 0x58}, false, false},
        {"nothing read", {}, false, false},
        {"no bytes at all", {}, true, false},
    };
    for (const EchoCase &c : cases)
        EXPECT_EQ(c.echo, frame.isEcho(c.null ? nullptr : c.read.data(), c.null ? 5 : static_cast<int>(c.read.size())))
            << c.name;
}

} // namespace
