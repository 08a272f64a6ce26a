#include "RadioCommand.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

// The codec asks for its copies with nothrow array new; this test program
// replaces that allocation function so that a test can make it fail.
static bool failNothrowArrays = false;

void *operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (failNothrowArrays)
        return nullptr;
    // The ordinary allocation, so that the default delete[] (and a
    // sanitizer's bookkeeping) fit the block.
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

std::string built(const RadioCommand& cmd)
{
    return std::string(cmd.text() ? cmd.text() : "", static_cast<size_t>(cmd.textLength()));
}

TEST(RadioCommandParse, AcceptsBarePowerOnWithoutPayload)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.parse("101", 3), 0);
    EXPECT_EQ(cmd.code(), RadioCommand::POWER_ON);
    EXPECT_TRUE(cmd.isPowerOn());
    EXPECT_EQ(cmd.payloadLength(), 0);
    EXPECT_EQ(cmd.payload(), nullptr);
    EXPECT_FALSE(cmd.isRaw());
    EXPECT_FALSE(cmd.isPowerOff());
}

TEST(RadioCommandParse, RawNeedsAtLeastOnePayloadByte)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.parse("100", 3), 0);
    EXPECT_FALSE(cmd.isRaw());

    const unsigned char frame[] = {'1', '0', '0', 0xFE, 0x60};
    ASSERT_EQ(cmd.parse(frame, 5), 0);
    EXPECT_TRUE(cmd.isRaw());
    ASSERT_EQ(cmd.payloadLength(), 2);
    EXPECT_EQ(cmd.payload()[0], 0xFE);
    EXPECT_EQ(cmd.payload()[1], 0x60);
}

TEST(RadioCommandParse, KeepsPayloadBytesOfAnyValueIncludingZero)
{
    const unsigned char frame[] = {'1', '0', '0', 0x00, 0xFD, 0x00};
    const unsigned char *source = frame;
    RadioCommand cmd;
    ASSERT_EQ(cmd.parse(source, 6), 0);
    ASSERT_EQ(cmd.payloadLength(), 3);
    // A copy, not the caller's buffer: the message it came in is destroyed
    // when the callback returns.
    EXPECT_NE(cmd.payload(), source + 3);
    EXPECT_EQ(memcmp(cmd.payload(), frame + 3, 3), 0);
    EXPECT_EQ(cmd.payload()[3], 0) << "copy is 0-terminated";
}

TEST(RadioCommandParse, AnswersEachFailureWithItsOwnResult)
{
    RadioCommand cmd;
    EXPECT_EQ(cmd.parse(nullptr, 5), RadioCommand::PARSE_NULL);
    EXPECT_EQ(cmd.parse("10", 2), RadioCommand::PARSE_SHORT);
    EXPECT_EQ(cmd.parse("101", -1), RadioCommand::PARSE_SHORT);
    EXPECT_EQ(cmd.parse("1a0", 3), RadioCommand::PARSE_NOT_DIGITS);
    EXPECT_EQ(cmd.parse("000", 3), RadioCommand::PARSE_NOT_DIGITS);
    EXPECT_EQ(cmd.parse("10\x01", 3), RadioCommand::PARSE_NOT_DIGITS);
    EXPECT_EQ(cmd.parse("099", 3), RadioCommand::PARSE_BELOW_RANGE);
    EXPECT_EQ(cmd.parse("108", 3), RadioCommand::PARSE_ABOVE_RANGE);
    EXPECT_EQ(cmd.parse("107", 3), 0);
    EXPECT_EQ(cmd.parse("106xyz", 6), 0);
}

TEST(RadioCommandParse, ReportsExhaustedMemoryAndKeepsNothing)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.parse("102", 3), 0);
    failNothrowArrays = true;
    int result = cmd.parse("101", 3);
    failNothrowArrays = false;
    EXPECT_EQ(result, RadioCommand::PARSE_NO_MEMORY);
    EXPECT_EQ(cmd.code(), 0);
    EXPECT_FALSE(cmd.isPowerOff());
}

TEST(RadioCommandParse, FailureAfterSuccessLeavesNothingParsed)
{
    RadioCommand cmd;
    const unsigned char frame[] = {'1', '0', '0', 0xFE};
    ASSERT_EQ(cmd.parse(frame, 4), 0);
    ASSERT_TRUE(cmd.isRaw());
    EXPECT_EQ(cmd.parse("10", 2), RadioCommand::PARSE_SHORT);
    EXPECT_EQ(cmd.code(), 0);
    EXPECT_EQ(cmd.payloadLength(), 0);
    EXPECT_EQ(cmd.payload(), nullptr);
    EXPECT_FALSE(cmd.isRaw());
}

TEST(RadioCommandParse, EqualBoundsTurnRangeChecksOff)
{
    RadioCommand cmd;
    cmd.init(5, 5);
    EXPECT_EQ(cmd.parse("999", 3), 0);
    EXPECT_EQ(cmd.code(), 999);
    EXPECT_EQ(cmd.parse("001", 3), 0);
    EXPECT_EQ(cmd.code(), 1);
    EXPECT_EQ(cmd.parse("000", 3), RadioCommand::PARSE_NOT_DIGITS);
}

TEST(RadioCommandParse, OnlyPayloadFreeCommandsMatchTheirTests)
{
    RadioCommand cmd;
    const char *codes[] = {"102", "103", "104"};
    for (const char *c : codes) {
        std::string withPayload = std::string(c) + "x";
        ASSERT_EQ(cmd.parse(withPayload.data(), 4), 0);
        EXPECT_FALSE(cmd.isPowerOff() || cmd.isRtsOn() || cmd.isRtsOff()) << withPayload;
    }
    ASSERT_EQ(cmd.parse("103", 3), 0);
    EXPECT_TRUE(cmd.isRtsOn());
    EXPECT_FALSE(cmd.isRtsOff());
    ASSERT_EQ(cmd.parse("104", 3), 0);
    EXPECT_TRUE(cmd.isRtsOff());
    ASSERT_EQ(cmd.parse("102", 3), 0);
    EXPECT_TRUE(cmd.isPowerOff());
    ASSERT_EQ(cmd.parse("101x", 4), 0);
    EXPECT_FALSE(cmd.isPowerOn());
}

TEST(RadioCommandBuild, LevelIsSixDigitsAndRefusesValuesOutOfRange)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.buildLevel(42), 0);
    EXPECT_EQ(built(cmd), "105042");
    EXPECT_EQ(cmd.text()[6], '\0');
    ASSERT_EQ(cmd.buildLevel(100), 0);
    EXPECT_EQ(built(cmd), "105100");
    ASSERT_EQ(cmd.buildLevel(0), 0);
    EXPECT_EQ(built(cmd), "105000");

    RadioCommand fresh;
    EXPECT_EQ(fresh.buildLevel(101), -1);
    EXPECT_EQ(fresh.text(), nullptr);
    EXPECT_EQ(fresh.textLength(), 0);
    EXPECT_EQ(fresh.buildLevel(-1), -1);
    EXPECT_EQ(fresh.text(), nullptr);
}

TEST(RadioCommandBuild, PowerOnIsTheThreeDigitText)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.buildPowerOn(), 0);
    EXPECT_EQ(built(cmd), "101");
    EXPECT_STREQ(cmd.text(), "101");
}

TEST(RadioCommandBuild, RawCopiesBinaryPayloadAfterTheCode)
{
    const unsigned char frame[] = {0xFE, 0x00, 0x01, 0xFD};
    RadioCommand cmd;
    ASSERT_EQ(cmd.buildRaw(frame, 4), 0);
    ASSERT_EQ(cmd.textLength(), 7);
    EXPECT_EQ(memcmp(cmd.text(), "100", 3), 0);
    EXPECT_EQ(memcmp(cmd.text() + 3, frame, 4), 0);

    // What was built parses back to the same bytes.
    RadioCommand back;
    ASSERT_EQ(back.parse(cmd.text(), cmd.textLength()), 0);
    ASSERT_TRUE(back.isRaw());
    ASSERT_EQ(back.payloadLength(), 4);
    EXPECT_EQ(memcmp(back.payload(), frame, 4), 0);

    RadioCommand fresh;
    EXPECT_EQ(fresh.buildRaw(nullptr, 4), -1);
    EXPECT_EQ(fresh.buildRaw(frame, 0), -1);
    EXPECT_EQ(fresh.text(), nullptr);
}

TEST(RadioCommandBuild, RefusesCodesOutsideTheRangeWhateverTheBounds)
{
    RadioCommand cmd;
    EXPECT_EQ(cmd.build(99, nullptr, 0), -1);
    EXPECT_EQ(cmd.build(108, nullptr, 0), -1);
    EXPECT_EQ(cmd.build(107, nullptr, 0), 0);
    EXPECT_EQ(built(cmd), "107");

    // Equal bounds switch off the checks of parse only.
    cmd.init(3, 3);
    EXPECT_EQ(cmd.build(100, nullptr, 0), -1);
    EXPECT_EQ(cmd.build(0, nullptr, 0), 0);
    EXPECT_EQ(built(cmd), "000");

    // A code wider than three digits would not fit the text.
    cmd.init(0, 5000);
    EXPECT_EQ(cmd.build(1000, nullptr, 0), -1);
}

TEST(RadioCommandBuild, RefusesPayloadThatWasNotHandedOver)
{
    RadioCommand cmd;
    EXPECT_EQ(cmd.build(100, nullptr, 4), -1);
    EXPECT_EQ(cmd.build(100, "abc", -1), -1);
    EXPECT_EQ(cmd.text(), nullptr);
}

TEST(RadioCommandBuild, FailedBuildDropsThePreviousText)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.buildPowerOn(), 0);
    failNothrowArrays = true;
    int result = cmd.buildLevel(7);
    failNothrowArrays = false;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(cmd.text(), nullptr);
    EXPECT_EQ(cmd.textLength(), 0);
}

TEST(RadioCommandInit, ForgetsParsedAndBuiltMessages)
{
    RadioCommand cmd;
    ASSERT_EQ(cmd.parse("103", 3), 0);
    ASSERT_EQ(cmd.buildPowerOn(), 0);
    cmd.init(100, 107);
    EXPECT_EQ(cmd.code(), 0);
    EXPECT_EQ(cmd.text(), nullptr);
    EXPECT_FALSE(cmd.isRtsOn());
}

} // namespace
