#include "RadioCommand.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
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

// What parse makes of a message: its result, the code and payload length
// it then answers, and which of the command tests match ("" for none).
const int kOwnLength = -99;

struct ParseCase {
    const char *name;
    int minCode, maxCode; // the range given to init
    const char *bytes;    // null for a missing message
    int length;           // kOwnLength: the text's own
    int result, code, payloadLength;
    std::string matches;
};

std::ostream &operator<<(std::ostream &out, const ParseCase &c)
{
    return out << c.name;
}

std::string matchesOf(const RadioCommand &cmd)
{
    std::string m;
    const std::pair<bool, const char *> tests[] = {{cmd.isRaw(), "Raw "}, {cmd.isPowerOn(), "PowerOn "},
                                                   {cmd.isPowerOff(), "PowerOff "}, {cmd.isRtsOn(), "RtsOn "},
                                                   {cmd.isRtsOff(), "RtsOff "}};
    for (const auto &t : tests)
        m += t.first ? t.second : "";
    return m;
}

const ParseCase kParseCases[] = {
    {"BarePowerOnHasNoPayload", 100, 107, "101", kOwnLength, 0, 101, 0, "PowerOn "},
    {"BarePowerOff", 100, 107, "102", kOwnLength, 0, 102, 0, "PowerOff "},
    {"BareRtsOn", 100, 107, "103", kOwnLength, 0, 103, 0, "RtsOn "},
    {"BareRtsOff", 100, 107, "104", kOwnLength, 0, 104, 0, "RtsOff "},
    {"RawWithoutPayloadIsNoRawCommand", 100, 107, "100", kOwnLength, 0, 100, 0, ""},
    {"RawWithPayloadBytes", 100, 107, "100\xFE\x60", kOwnLength, 0, 100, 2, "Raw "},
    {"PowerOnWithAPayloadMatchesNoTest", 100, 107, "101x", kOwnLength, 0, 101, 1, ""},
    {"PowerOffWithAPayloadMatchesNoTest", 100, 107, "102x", kOwnLength, 0, 102, 1, ""},
    {"RtsOnWithAPayloadMatchesNoTest", 100, 107, "103x", kOwnLength, 0, 103, 1, ""},
    {"RtsOffWithAPayloadMatchesNoTest", 100, 107, "104x", kOwnLength, 0, 104, 1, ""},
    {"ALevelParsesAndMatchesNoTest", 100, 107, "105042", kOwnLength, 0, 105, 3, ""},
    {"Code106PassesParsing", 100, 107, "106xyz", kOwnLength, 0, 106, 3, ""},
    {"Code107IsTheHighestInRange", 100, 107, "107", kOwnLength, 0, 107, 0, ""},
    {"AMissingMessage", 100, 107, nullptr, 5, RadioCommand::PARSE_NULL, 0, 0, ""},
    {"TwoBytesAreTooShort", 100, 107, "10", kOwnLength, RadioCommand::PARSE_SHORT, 0, 0, ""},
    {"ANegativeLengthIsTooShort", 100, 107, "101", -1, RadioCommand::PARSE_SHORT, 0, 0, ""},
    {"ALetterAmongTheDigits", 100, 107, "1a0", kOwnLength, RadioCommand::PARSE_NOT_DIGITS, 0, 0, ""},
    {"AControlByteAmongTheDigits", 100, 107, "10\x01", kOwnLength, RadioCommand::PARSE_NOT_DIGITS, 0, 0, ""},
    {"ThreeZerosAreNoCode", 100, 107, "000", kOwnLength, RadioCommand::PARSE_NOT_DIGITS, 0, 0, ""},
    {"BelowTheRange", 100, 107, "099", kOwnLength, RadioCommand::PARSE_BELOW_RANGE, 0, 0, ""},
    {"AboveTheRange", 100, 107, "108", kOwnLength, RadioCommand::PARSE_ABOVE_RANGE, 0, 0, ""},
    {"EqualBoundsTurnTheRangeCheckOffAbove", 5, 5, "999", kOwnLength, 0, 999, 0, ""},
    {"EqualBoundsTurnTheRangeCheckOffBelow", 5, 5, "001", kOwnLength, 0, 1, 0, ""},
    {"EqualBoundsStillRefuseThreeZeros", 5, 5, "000", kOwnLength, RadioCommand::PARSE_NOT_DIGITS, 0, 0, ""},
};

class RadioCommandParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RadioCommandParseTable, AnswersWhatTheMessageIs)
{
    const ParseCase &c = GetParam();
    RadioCommand cmd;
    cmd.init(c.minCode, c.maxCode);
    const int length = c.length == kOwnLength ? static_cast<int>(strlen(c.bytes)) : c.length;
    EXPECT_EQ(c.result, cmd.parse(c.bytes, length));
    EXPECT_EQ(c.code, cmd.code());
    EXPECT_EQ(c.payloadLength, cmd.payloadLength());
    EXPECT_EQ(c.payloadLength > 0, cmd.payload() != nullptr);
    EXPECT_EQ(c.matches, matchesOf(cmd));
}

INSTANTIATE_TEST_SUITE_P(Messages, RadioCommandParseTable, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase> &i) { return std::string(i.param.name); });

// What the builders make: their result and the text built ("" for none).
struct BuildCase {
    const char *name;
    int minCode, maxCode;
    std::function<int(RadioCommand &)> build;
    int result;
    std::string text;
};

std::ostream &operator<<(std::ostream &out, const BuildCase &c)
{
    return out << c.name;
}

const unsigned char kFrame[] = {0xFE, 0x00, 0x01, 0xFD};

const BuildCase kBuildCases[] = {
    {"PowerOnIsTheThreeDigitText", 100, 107, [](RadioCommand &c) { return c.buildPowerOn(); }, 0, "101"},
    {"ALevelIsSixDigits", 100, 107, [](RadioCommand &c) { return c.buildLevel(42); }, 0, "105042"},
    {"TheHighestLevel", 100, 107, [](RadioCommand &c) { return c.buildLevel(100); }, 0, "105100"},
    {"TheLowestLevel", 100, 107, [](RadioCommand &c) { return c.buildLevel(0); }, 0, "105000"},
    {"ALevelAbove100IsRefused", 100, 107, [](RadioCommand &c) { return c.buildLevel(101); }, -1, ""},
    {"ANegativeLevelIsRefused", 100, 107, [](RadioCommand &c) { return c.buildLevel(-1); }, -1, ""},
    {"RawCopiesBinaryBytesAfterTheCode", 100, 107, [](RadioCommand &c) { return c.buildRaw(kFrame, 4); }, 0,
     std::string("100\xFE\x00\x01\xFD", 7)},
    {"RawWithoutBytesIsRefused", 100, 107, [](RadioCommand &c) { return c.buildRaw(kFrame, 0); }, -1, ""},
    {"RawFromNothingIsRefused", 100, 107, [](RadioCommand &c) { return c.buildRaw(nullptr, 4); }, -1, ""},
    {"TheHighestCodeInRange", 100, 107, [](RadioCommand &c) { return c.build(107, nullptr, 0); }, 0, "107"},
    {"ACodeBelowTheRange", 100, 107, [](RadioCommand &c) { return c.build(99, nullptr, 0); }, -1, ""},
    {"ACodeAboveTheRange", 100, 107, [](RadioCommand &c) { return c.build(108, nullptr, 0); }, -1, ""},
    {"EqualBoundsStillCheckTheRangeOfBuild", 3, 3, [](RadioCommand &c) { return c.build(100, nullptr, 0); }, -1, ""},
    {"EqualBoundsOfZeroBuildCodeZero", 3, 3, [](RadioCommand &c) { return c.build(0, nullptr, 0); }, 0, "000"},
    {"ACodeWiderThanThreeDigitsIsRefused", 0, 5000, [](RadioCommand &c) { return c.build(1000, nullptr, 0); }, -1,
     ""},
    {"APayloadNotHandedOverIsRefused", 100, 107, [](RadioCommand &c) { return c.build(100, nullptr, 4); }, -1, ""},
    {"ANegativePayloadLengthIsRefused", 100, 107, [](RadioCommand &c) { return c.build(100, "abc", -1); }, -1, ""},
};

class RadioCommandBuildTable : public ::testing::TestWithParam<BuildCase> {};

TEST_P(RadioCommandBuildTable, BuildsTheTextOrNothing)
{
    const BuildCase &c = GetParam();
    RadioCommand cmd;
    cmd.init(c.minCode, c.maxCode);
    EXPECT_EQ(c.result, c.build(cmd));
    EXPECT_EQ(c.text, built(cmd));
    if (!c.text.empty()) {
        EXPECT_EQ('\0', cmd.text()[cmd.textLength()]) << "built texts are 0-terminated";
    } else {
        EXPECT_EQ(nullptr, cmd.text());
    }
}

INSTANTIATE_TEST_SUITE_P(Builders, RadioCommandBuildTable, ::testing::ValuesIn(kBuildCases),
                         [](const ::testing::TestParamInfo<BuildCase> &i) { return std::string(i.param.name); });

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
