// ByteBuffer: what an append keeps and what it refuses.
#include "ByteBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

struct Append {
    int n;
    bool fromNowhere; // a null pointer instead of bytes
    int result;
};

struct BufferCase {
    const char *name;
    std::vector<Append> appends;
    int size; // after all of them
};

std::ostream &operator<<(std::ostream &out, const BufferCase &c)
{
    return out << c.name;
}

const BufferCase kCases[] = {
    {"AppendsBackToBack", {{3, false, 0}, {4, false, 0}}, 7},
    {"HoldsOneByteLessThanItsCapacity", {{ByteBuffer::CAPACITY - 1, false, 0}}, ByteBuffer::CAPACITY - 1},
    {"RefusesAnAppendThatWouldFillItWhole", {{ByteBuffer::CAPACITY, false, -1}}, 0},
    {"ARefusalKeepsWhatCameBefore", {{200, false, 0}, {56, false, -1}, {55, false, 0}}, 255},
    {"AFullBufferTakesNothingMore", {{255, false, 0}, {0, false, 0}, {1, false, -1}}, 255},
    {"RefusesANegativeCount", {{5, false, 0}, {-1, false, -1}}, 5},
    {"RefusesAHugeCountWithoutOverflow", {{10, false, 0}, {INT_MAX, false, -1}}, 10},
    {"RefusesBytesFromNowhere", {{4, true, -1}}, 0},
    {"TakesNothingFromNowhere", {{0, true, 0}}, 0},
};

class ByteBufferTable : public ::testing::TestWithParam<BufferCase> {};

TEST_P(ByteBufferTable, KeepsTheAcceptedAppendsInOrder)
{
    const BufferCase &c = GetParam();
    ByteBuffer buffer;
    std::string kept;
    for (size_t i = 0; i < c.appends.size(); ++i) {
        const Append &a = c.appends[i];
        // Each append brings bytes of its own, so that a misplaced or
        // partial append shows in the copy. Enough for any count here.
        const std::string bytes(static_cast<size_t>(std::max(0, std::min(a.n, 512))), static_cast<char>('a' + i));
        EXPECT_EQ(a.result, buffer.append(a.fromNowhere ? nullptr : bytes.data(), a.n)) << "append " << i;
        if (a.result == 0)
            kept += bytes;
    }
    ASSERT_EQ(c.size, buffer.size());
    ASSERT_EQ(static_cast<size_t>(c.size), kept.size());
    const auto copy = buffer.copy();
    if (c.size == 0) {
        EXPECT_EQ(nullptr, copy) << "an empty buffer copies to nothing";
        return;
    }
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(kept, std::string(reinterpret_cast<const char *>(copy.get()), kept.size()));
}

INSTANTIATE_TEST_SUITE_P(Appends, ByteBufferTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BufferCase> &info) { return info.param.name; });

TEST(ByteBuffer, ACopyStaysAsItWasAndAClearedBufferTakesAFullLoadAgain)
{
    ByteBuffer buffer;
    ASSERT_EQ(0, buffer.append("frame", 5));
    const auto copy = buffer.copy();
    buffer.clear();
    EXPECT_EQ(0, buffer.size());
    EXPECT_EQ(nullptr, buffer.copy());
    const std::string full(ByteBuffer::CAPACITY - 1, 'x');
    EXPECT_EQ(0, buffer.append(full.data(), static_cast<int>(full.size())));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ("frame", std::string(reinterpret_cast<const char *>(copy.get()), 5));
}

} // namespace
