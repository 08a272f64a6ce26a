#include "FileShare.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>
#include <sys/stat.h>

using kit::appendFile;
using kit::readFile;
using kit::TempDir;
using kit::writeFile;

namespace {

class FileShareTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string out = dir.file("term.out");
    std::string in = dir.file("term.in");

    // One record read through a 256-byte buffer, as the terminal reads it,
    // returned as the decoded bytes; the guard bytes after the buffer must
    // stay untouched.
    std::string readRecord(FileShare& files, int* count = nullptr)
    {
        char area[256 + 16];
        memset(area, 0x5a, sizeof area);
        int n = files.readLine(area, 256);
        for (size_t i = 256; i < sizeof area; ++i)
            EXPECT_EQ(0x5a, static_cast<unsigned char>(area[i])) << "written past the buffer";
        if (count != nullptr)
            *count = n;
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 255);
        if (n > 0) {
            EXPECT_EQ('\0', area[n]) << "decoded bytes are NUL-terminated";
        }
        return std::string(area, n > 0 ? static_cast<size_t>(n) : 0);
    }
};

// What readLine makes of the records appended to term.out: each read
// through a 256-byte buffer, as the terminal reads, until hasInput says
// nothing more is there.
struct ReadCase {
    const char *name;
    int hexMode;
    std::string appended;
    std::vector<std::string> reads;
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c)
{
    return out << c.name;
}

const ReadCase kReadCases[] = {
    {"TextLineFeedMarksBecomeLineFeeds", 0, "ab\x01\nx\x01y\x01\n", {"ab\n", "x\ny\n"}},
    {"TextEndsAtItsFirstNulAndTheNextRecordIsIntact", 0, std::string("ab\0cd\nef\n", 9), {"ab", "ef"}},
    {"AnEmptyRecordReadsAsNothingAndTheNextFollows", 0, "\nafter\n", {"", "after"}},
    {"AnUnterminatedLastRecordIsReadAsItIs", 0, "abc", {"abc"}},
    {"ATextRecordLongerThanOneReadComesInPieces", 0, std::string(300, 'L') + "\n",
     {std::string(255, 'L'), std::string(45, 'L')}},
    {"HexDigitsOfEitherCase", 1, "FFfe0a\n", {"\xff\xfe\n"}},
    {"AnOddHexDigitIsCarriedIntoTheNextRecord", 1, "41424\n3\n", {"AB", "C"}},
    {"HexDecodingStopsAtTheFirstNonDigit", 1, "41zz42\n", {"A"}},
    {"ASingleHexDigitBeforeANonDigitIsDroppedNotCarried", 1, "4z\nFFfe\n", {"", "\xff\xfe"}},
};

class ReadRecordsTable : public FileShareTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadRecordsTable, DecodeEachRecord)
{
    const ReadCase& c = GetParam();
    FileShare files(out.c_str(), in.c_str(), c.hexMode, 1, 1);
    appendFile(out, c.appended);
    std::vector<std::string> reads;
    for (int guard = 0; guard < 20 && files.hasInput(); ++guard)
        reads.push_back(readRecord(files));
    EXPECT_EQ(c.reads, reads);
}

INSTANTIATE_TEST_SUITE_P(Records, ReadRecordsTable, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& i) { return std::string(i.param.name); });

TEST_F(FileShareTest, SkipsRecordsPresentAtStartAndReadsTheOneAppendedAfter)
{
    writeFile(out, "old one\nold two\n");
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);

    // The size of the skipped file is remembered: nothing new, nothing to read.
    EXPECT_FALSE(files.hasInput());
    EXPECT_EQ("", readRecord(files));

    appendFile(out, "new\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("new", readRecord(files));
    EXPECT_FALSE(files.hasInput());
    EXPECT_EQ("", readRecord(files));
}

TEST_F(FileShareTest, WithoutSkippingReadsEveryRecordFromTheStart)
{
    writeFile(out, "one\ntwo\n");
    FileShare files(out.c_str(), nullptr, 0, 0, 0);
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("one", readRecord(files));
    ASSERT_TRUE(files.hasInput()) << "the first read left the second record behind";
    EXPECT_EQ("two", readRecord(files));
    EXPECT_FALSE(files.hasInput());
}

TEST_F(FileShareTest, ResetsTheWrittenFileToOneLineFeedWhateverItHeld)
{
    writeFile(in, "stale records\nfrom before\n");
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    EXPECT_EQ("\n", readFile(in));
    EXPECT_EQ(1, files.outputSize());
    EXPECT_TRUE(files.canWrite());
}

TEST_F(FileShareTest, KeepsANonEmptyWrittenFileWhenNotAskedToReset)
{
    writeFile(in, "kept\n");
    { FileShare files(nullptr, in.c_str(), 0, 0, 0); }
    EXPECT_EQ("kept\n", readFile(in));

    writeFile(in, "");
    { FileShare files(nullptr, in.c_str(), 0, 0, 0); }
    EXPECT_EQ("\n", readFile(in)) << "an empty file still gets its empty record";
}

TEST_F(FileShareTest, ReadsALongTextRecordIn255CharacterPieces)
{
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    std::string record(300, 'r');
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<char>('a' + i % 26);
    appendFile(out, record + "\n" + "next\n");

    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ(record.substr(0, 255), readRecord(files));
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ(record.substr(255), readRecord(files));
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("next", readRecord(files));
    EXPECT_FALSE(files.hasInput());
}

TEST_F(FileShareTest, TextWriteStopsAtTheGivenLengthWhenTheDataHasNoNul)
{
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    // Four bytes without a terminating NUL, followed by bytes that are not
    // part of the record.
    const char data[8] = {'a', 'b', '\n', 'c', 'X', 'X', 'X', 'X'};
    EXPECT_EQ(0, files.writeLine(data, 4));
    EXPECT_EQ(std::string("\nab\x01" "c\n"), readFile(in));
}

TEST_F(FileShareTest, BinaryBytesAndOverlongRecordsStayInsideTheBuffer)
{
    FileShare text(out.c_str(), in.c_str(), 0, 1, 1);
    std::string junk;
    for (int i = 0; i < 2000; ++i)
        junk += static_cast<char>((i * 37 + 11) & 0xff);
    appendFile(out, junk + "\n");
    int total = 0;
    for (int guard = 0; guard < 100 && text.hasInput(); ++guard) {
        int n = 0;
        readRecord(text, &n);
        total += n;
    }
    EXPECT_FALSE(text.hasInput()) << "all of the record was consumed";
    EXPECT_GT(total, 0);

    FileShare hex(dir.file("hex.out").c_str(), nullptr, 1, 1, 0);
    appendFile(dir.file("hex.out"), std::string(1001, 'f') + "\n" + junk + "\n");
    int pieces = 0;
    for (int guard = 0; guard < 100 && hex.hasInput(); ++guard, ++pieces)
        readRecord(hex);
    EXPECT_FALSE(hex.hasInput());
    EXPECT_GT(pieces, 4);
}

TEST_F(FileShareTest, ATinyBufferReadsNothingAndWritesOnlyItsTerminator)
{
    appendFile(out, "abc\n");
    FileShare files(out.c_str(), nullptr, 0, 0, 0);
    char one[2] = {'x', 'y'};
    EXPECT_EQ(0, files.readLine(one, 1));
    EXPECT_EQ('\0', one[0]);
    EXPECT_EQ('y', one[1]);
    EXPECT_EQ(0, files.readLine(one, 0));
    EXPECT_EQ(0, files.readLine(nullptr, 256));
    // The record is still there for a proper buffer.
    char buf[256];
    EXPECT_EQ(3, files.readLine(buf, sizeof buf));
    EXPECT_STREQ("abc", buf);
}

TEST_F(FileShareTest, HexRecordLongerThanOneReadJoinsItsPiecesThroughTheCarriedDigit)
{
    FileShare files(out.c_str(), in.c_str(), 1, 1, 1);
    std::string bytes;
    std::string digits;
    char pair[3];
    for (int i = 0; i < 200; ++i) {
        bytes += static_cast<char>(i + 1);
        snprintf(pair, sizeof pair, i % 2 ? "%02X" : "%02x", i + 1);
        digits += pair;
    }
    appendFile(out, digits + "\n");
    std::string decoded;
    for (int guard = 0; guard < 10 && files.hasInput(); ++guard)
        decoded += readRecord(files);
    EXPECT_EQ(bytes, decoded) << "255 + 145 digits, the odd 255th digit carried";
}

TEST_F(FileShareTest, ACarriedDigitDoesNotJoinTheFirstRecordOfAFileThatRestarted)
{
    FileShare files(out.c_str(), in.c_str(), 1, 1, 1);
    appendFile(out, "41424\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("AB", readRecord(files));
    writeFile(out, "43\n");
    EXPECT_FALSE(files.hasInput());
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("C", readRecord(files)) << "the old file's odd digit went with it";
}

TEST_F(FileShareTest, HexWriteGivesTwoLowercaseDigitsPerByte)
{
    FileShare files(out.c_str(), in.c_str(), 1, 1, 1);
    const char data[] = {0x00, static_cast<char>(0xAB)};
    EXPECT_EQ(0, files.writeLine(data, 2));
    std::string big(300, static_cast<char>(0xfe));
    EXPECT_EQ(0, files.writeLine(big.data(), static_cast<int>(big.size())));
    std::string expected = "\n00ab\n";
    for (int i = 0; i < 300; ++i)
        expected += "fe";
    expected += "\n";
    EXPECT_EQ(expected, readFile(in));
}

TEST_F(FileShareTest, WriteRefusesMissingPathNullDataAndEmptyLength)
{
    FileShare noWrite(out.c_str(), nullptr, 0, 1, 0);
    EXPECT_FALSE(noWrite.canWrite());
    EXPECT_EQ(-1, noWrite.writeLine("x", 1));

    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    EXPECT_EQ(-1, files.writeLine(nullptr, 3));
    EXPECT_EQ(-2, files.writeLine("x", 0));
    EXPECT_EQ(-2, files.writeLine("x", -5));
    EXPECT_EQ("\n", readFile(in)) << "nothing was written";
}

TEST_F(FileShareTest, EncodedRecordsAreAppendedExactlyAsWriteLineWritesThem)
{
    struct Case {
        int hexMode;
        std::string data;
        int length;
        std::string record;  // "" when nothing is encoded
    };
    const Case cases[] = {
        {0, "a\r\n", 3, "a\r\x01\n"},
        {0, "x\ny\nz", 5, "x\x01y\x01z\n"},
        {0, std::string("ab\0cd", 5), 5, "ab\n"},  // the text ends at its NUL
        {0, std::string("\0z", 2), 2, "\n"},
        {0, "abcdef", 3, "abc\n"},
        {0, "b", 0, ""},
        {0, "b", -1, ""},
        {1, std::string("\x00\xab\n", 3), 3, "00ab0a\n"},
        {1, "", 0, ""},
    };
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.hexMode) + ":" + c.data.substr(0, 3);
        TempDir d;
        const std::string a = d.file("a");
        const std::string b = d.file("b");
        FileShare byLine(nullptr, a.c_str(), c.hexMode, 0, 1);
        FileShare encoded(nullptr, b.c_str(), c.hexMode, 0, 1);
        std::string records = "kept";
        encoded.encodeRecord(records, c.data.data(), c.length);
        EXPECT_EQ("kept" + c.record, records) << label;
        EXPECT_EQ(0, encoded.appendRecords(records.data() + 4, records.size() - 4)) << label;
        byLine.writeLine(c.data.data(), c.length);
        EXPECT_EQ("\n" + c.record, readFile(b)) << label;
        EXPECT_EQ(readFile(a), readFile(b)) << label;
    }
    FileShare files(nullptr, in.c_str(), 0, 0, 1);
    std::string none;
    files.encodeRecord(none, nullptr, 4);
    EXPECT_EQ("", none);
}

TEST_F(FileShareTest, LinesOfABlockAreEncodedOneRecordEachAsRecordByRecord)
{
    struct Case {
        int hexMode;
        std::string text;
        size_t records;
    };
    const Case cases[] = {
        {0, "a\r\nb\r\nxyz", 3},
        {0, "one\ntwo\n", 2},
        {0, "\n", 1},
        {0, "\n\nz", 3},
        {0, "", 0},
        {0, std::string("ab\ncd\0ef\n", 9), 2},  // the text ends at its NUL
        {0, "\x01\x02\n", 1},
        {1, std::string("\x00\xfd\nq", 4), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.hexMode) + ":" + c.text);
        FileShare files(nullptr, in.c_str(), c.hexMode, 0, 1);
        std::string byRecord = "kept";
        const char* p = c.text.data();
        const char* end = p + (c.hexMode ? c.text.size() : strnlen(p, c.text.size()));
        while (p < end) {
            const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* next = lf != nullptr ? lf + 1 : end;
            files.encodeRecord(byRecord, p, static_cast<int>(next - p));
            p = next;
        }
        std::string byBlock = "kept";
        EXPECT_EQ(c.records, files.encodeLines(byBlock, c.text.data(), c.text.size()));
        EXPECT_EQ(byRecord, byBlock);
    }
    FileShare files(nullptr, in.c_str(), 0, 0, 1);
    std::string none;
    EXPECT_EQ(0u, files.encodeLines(none, nullptr, 4));
    EXPECT_EQ("", none);
}

TEST_F(FileShareTest, AppendingRecordsRefusesWhatItCannotWrite)
{
    FileShare noWrite(out.c_str(), nullptr, 0, 1, 0);
    EXPECT_EQ(-1, noWrite.appendRecords("x\n", 2));

    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    EXPECT_EQ(-1, files.appendRecords(nullptr, 2));
    EXPECT_EQ(0, files.appendRecords("x\n", 0));
    EXPECT_EQ("\n", readFile(in)) << "nothing was written";
    EXPECT_EQ(0, files.appendRecords("x\ny\n", 4));
    EXPECT_EQ("\nx\ny\n", readFile(in));

    const std::string gone = dir.file("no-such-dir/term.in");
    FileShare nowhere(nullptr, gone.c_str(), 0, 0, 1);
    EXPECT_EQ(-3, nowhere.appendRecords("x\n", 2));
    EXPECT_EQ(-3, nowhere.writeLine("x", 1));
}

TEST_F(FileShareTest, ShrunkenReadFileIsNoticedOnceAndReadFromTheStart)
{
    appendFile(out, "before start\n");
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    appendFile(out, "first\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("first", readRecord(files));

    writeFile(out, "");
    appendFile(out, "new\n");
    EXPECT_FALSE(files.hasInput()) << "the tick that notices the shrink reads nothing";
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("new", readRecord(files));
    EXPECT_FALSE(files.hasInput());
}

TEST_F(FileShareTest, TruncationBeforeTheFirstReadIsNoticedToo)
{
    appendFile(out, "a long record that was there at start\n");
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    writeFile(out, "short\n");
    EXPECT_FALSE(files.hasInput());
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("short", readRecord(files));
}

TEST_F(FileShareTest, ShrinkInTheMiddleOfALongRecordIsNotMaskedByTheUnreadRest)
{
    FileShare files(out.c_str(), in.c_str(), 0, 1, 1);
    appendFile(out, std::string(300, 'a') + "\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ(std::string(255, 'a'), readRecord(files));

    // Replaced while the rest of the long record waited: the file is now
    // smaller than the read position.
    writeFile(out, "new\n");
    EXPECT_FALSE(files.hasInput()) << "the shrink is noticed, the unread rest of the old file notwithstanding";
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("new", readRecord(files)) << "read from the start of the new file";
    appendFile(out, "more\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("more", readRecord(files));
}

TEST_F(FileShareTest, EmptiedReadFileDoesNotKeepReportingInput)
{
    appendFile(out, "x\n");
    FileShare files(out.c_str(), nullptr, 0, 1, 0);
    writeFile(out, "");
    EXPECT_FALSE(files.hasInput());  // notices the shrink
    EXPECT_TRUE(files.hasInput());   // one look at the empty file
    EXPECT_EQ("", readRecord(files));
    EXPECT_FALSE(files.hasInput()) << "nothing there, nothing to report";
    appendFile(out, "y\n");
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("y", readRecord(files));
}

TEST_F(FileShareTest, MissingDirectoryIsSilentAndRecoveredWhenItAppears)
{
    std::string sub = dir.file("later");
    std::string subOut = sub + "/term.out";
    std::string subIn = sub + "/term.in";
    FileShare files(subOut.c_str(), subIn.c_str(), 0, 1, 1);

    EXPECT_FALSE(files.inputExists());
    EXPECT_FALSE(files.hasInput());
    EXPECT_EQ(-1, files.inputSize());
    EXPECT_EQ(-1, files.outputSize());
    EXPECT_EQ("", readRecord(files));
    EXPECT_EQ(-3, files.writeLine("lost", 4));

    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    appendFile(subOut, "hello\n");
    EXPECT_TRUE(files.inputExists());
    EXPECT_EQ(6, files.inputSize());
    ASSERT_TRUE(files.hasInput());
    EXPECT_EQ("hello", readRecord(files));
    EXPECT_EQ(0, files.writeLine("back", 4));
    EXPECT_EQ("back\n", readFile(subIn));
    EXPECT_EQ(5, files.outputSize());
}

TEST_F(FileShareTest, ObjectWithoutPathsAnswersNothing)
{
    FileShare files(nullptr, nullptr, 0, 1, 1);
    EXPECT_FALSE(files.inputExists());
    EXPECT_FALSE(files.hasInput());
    EXPECT_FALSE(files.canWrite());
    char buf[16];
    EXPECT_EQ(0, files.readLine(buf, sizeof buf));
    EXPECT_EQ(-1, files.inputSize());
}

}  // namespace
