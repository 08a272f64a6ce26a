// FrameSplitter: one block of received bytes cut into frames at each 0xFD
// byte, a case per row.
#include "FrameSplitter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Case {
    const char *name;
    std::string block;
    int length; // of the block given; -1: the block's own size
    bool missing; // a null block
    int capacity; // of the buffer
    std::vector<std::string> frames;
};

std::ostream &operator<<(std::ostream &out, const Case &c)
{
    return out << c.name;
}

const std::string kEnd = "\xfd";

const Case kCases[] = {
    {"CutsAtEachEndByteAndConsumesIt",
     std::string("\xfe\xfe\x00\xe0\x03", 5) + kEnd + std::string("\xfe\xfe\x00\xe0\x04", 5) + kEnd, -1, false, 256,
     {std::string("\xfe\xfe\x00\xe0\x03", 5), std::string("\xfe\xfe\x00\xe0\x04", 5)}},
    {"ARunOfEndBytesGivesAnEmptyFrame", "\x03" + kEnd + kEnd + "\x04", -1, false, 256, {"\x03", "", "\x04"}},
    {"TheBlocksEndEndsTheLastFrame", "ab", -1, false, 256, {"ab"}},
    {"OnlyEndBytesGiveEmptyFrames", kEnd + kEnd, -1, false, 256, {"", ""}},
    {"AFrameLongerThanTheBufferGoesOnInTheNextCall", std::string(300, 'a') + kEnd, -1, false, 256,
     {std::string(256, 'a'), std::string(44, 'a')}},
    {"AFrameAsLongAsTheBufferEndsAtItsEndByte", "abcd" + kEnd + "e", -1, false, 4, {"abcd", "", "e"}},
    {"TheLengthEndsTheBlock", "ab" + kEnd + "cd", 2, false, 256, {"ab"}},
    {"AnEmptyBlockHasNothing", "x", 0, false, 256, {}},
    {"ANegativeLengthHasNothing", "x", -5, false, 256, {}},
    {"AMissingBlockHasNothing", "", 5, true, 256, {}},
};

class FrameSplitterTable : public ::testing::TestWithParam<Case> {};

TEST_P(FrameSplitterTable, GivesTheFramesOfTheBlockInOrder)
{
    const Case &c = GetParam();
    const int length = c.length == -1 ? static_cast<int>(c.block.size()) : c.length;
    FrameSplitter splitter(c.missing ? nullptr : c.block.data(), length);
    std::vector<std::string> frames;
    std::vector<char> buffer(static_cast<size_t>(c.capacity) + 8);
    for (int guard = 0; guard < 100 && splitter.hasMore(); ++guard) {
        memset(buffer.data(), 0x5a, buffer.size());
        const int n = splitter.next(buffer.data(), c.capacity);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, c.capacity);
        for (size_t i = static_cast<size_t>(c.capacity); i < buffer.size(); ++i)
            ASSERT_EQ(0x5a, static_cast<unsigned char>(buffer[i])) << "written past the buffer";
        frames.emplace_back(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(c.frames, frames);
    EXPECT_FALSE(splitter.hasMore());
    EXPECT_EQ(0, splitter.next(buffer.data(), c.capacity)) << "nothing once the block is used up";
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameSplitterTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(FrameSplitter, TakesNothingIntoAMissingBuffer)
{
    FrameSplitter splitter("ab", 2);
    EXPECT_EQ(0, splitter.next(nullptr, 256));
    EXPECT_TRUE(splitter.hasMore()) << "a call without a buffer takes nothing";
    char frame[4];
    EXPECT_EQ(2, splitter.next(frame, sizeof frame));
}

} // namespace
