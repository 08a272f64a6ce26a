// CIniFile: line classification, folded lookups, numeric access, comments and
// the exact bytes that save writes, on real files in a temporary directory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "CIniFile.h"
#include "temp_dir.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void write(const std::string &bytes) const { kit::writeFile(file, bytes); }
    std::string read() const { return kit::readFile(file); }
    // Loads `bytes` into `ini` and returns what load printed.
    std::string loadPrinting(CIniFile &ini, const std::string &bytes, bool &result) const
    {
        write(bytes);
        testing::internal::CaptureStdout();
        result = ini.load();
        return testing::internal::GetCapturedStdout();
    }

    kit::TempDir dir;
    std::string file = dir.file("test.ini");
};

// What load makes of each kind of line: its result, what it printed and
// the content, written as "#c" for a header comment, "[name]" for a section,
// then ";c" for each of its comments and "name=value" for each entry, all
// joined by "|".
struct LinesCase {
    const char *name;
    std::string file;
    bool loaded;
    const char *printed;
    std::string content;
};

std::ostream &operator<<(std::ostream &out, const LinesCase &c)
{
    return out << c.name;
}

std::string contentOf(const CIniFile &ini)
{
    std::string out;
    auto put = [&out](const std::string &piece) { out += (out.empty() ? "" : "|") + piece; };
    for (unsigned h = 0; h < ini.headerCommentCount(); ++h)
        put("#" + ini.headerComment(h));
    for (unsigned s = 0; s < ini.sectionCount(); ++s) {
        put("[" + ini.sectionName(s) + "]");
        for (unsigned c = 0; c < ini.sectionCommentCount(s); ++c)
            put(";" + ini.sectionComment(s, c));
        for (unsigned e = 0; e < ini.entryCount(s); ++e)
            put(ini.entryName(s, e) + "=" + ini.getEntryAt(s, e));
    }
    return out;
}

const LinesCase kLinesCases[] = {
    {"EmptyLinesAreSkipped", "\n\n[s]\n\nk=v\n", true, "", "[s]|k=v"},
    {"ARepeatedEntryInAnyCaseReplacesTheValueUnderTheFirstName", "[net]\nport=8000\nPort=9000\n", true, "",
     "[net]|port=9000"},
    {"BlanksBelongToNamesAndValues", " a = b \n", true, "", "[]| a = b "},
    {"ALaterEqualsSignBelongsToTheValue", "a=b=c\n", true, "", "[]|a=b=c"},
    {"ACommentBehindAnEntryStaysInTheValue", "k=v ;x\n", true, "", "[]|k=v ;x"},
    {"MarksAfterTheEqualsSignAreValue", "h=#[no]\n", true, "", "[]|h=#[no]"},
    {"TextAroundAHeaderIsIgnored", "  [a]  ; note\n", true, "", "[a]"},
    {"AHeaderRunsToTheLastClosingBracket", "[b]c]\n", true, "", "[b]c]"},
    {"ABracketBeforeTheEqualsSignMakesAHeaderAndNoEntry", "x[1]=2\n", true, "", "[1]"},
    {"EmptyBracketsNameTheEmptySection", "[]\n", true, "", "[]"},
    {"AHeaderWithoutAClosingBracketIsSkipped", "[open\n[s]\n", true, "", "[s]"},
    {"AClosingBracketBeforeTheOpeningOneMakesNoHeader", "]x[y\n[s]\n", true, "", "[s]"},
    {"LinesWithoutAMarkAreSkipped", "plain words\n[s]\n", true, "", "[s]"},
    {"CommentsBeforeTheFirstSectionAreHeaderComments", ";top\n#second\n[s]\n", true, "", "#top|#second|[s]"},
    {"CommentsAfterAHeaderBelongToItsSection", "[s]\n# in s\nk=v\n[t]\n;; in t\n", true, "",
     "[s]|; in s|k=v|[t]|;; in t"},
    {"EntriesBeforeAnyHeaderGoToTheEmptyNamedSectionWithTheCommentsAfterThem", "k=v\n;after k\n[s]\nx=y\n", true,
     "", "[]|;after k|k=v|[s]|x=y"},
    {"ASecondHeaderOfANameAddsAnEmptySectionAndItsLinesGoToTheFirst", "[a]\nx=1\n[A]\n;c\ny=2\n", true, "",
     "[a]|;c|x=1|y=2|[A]"},
    {"OnlyCommentsLoadButAnswerFalse", ";one\n#two\n\n   \n", false, "", "#one|#two"},
    {"OneCarriageReturnBeforeTheLineFeedIsDropped", "[s]\r\na=1\r\nb=2\r\r\nlast=3\r", true, "",
     "[s]|a=1|b=2\r|last=3"},
    {"ATabFirstStopsTheLoadKeepingEarlierLines", "[s]\na=1\n\tb=2\nc=3\n[t]\n", false, "Failing on char 9\n",
     "[s]|a=1"},
    {"AByteOrderMarkStopsTheLoadPrintedAsASignedNumber", "[s]\n\xEFk=v\n", false, "Failing on char -17\n", "[s]"},
    {"TheLowestByteAboveAsciiPrintsAsMinus128", "[s]\n\x80k=v\n", false, "Failing on char -128\n", "[s]"},
    {"ByteFFPrintsAsMinus1", "[s]\n\xFFk=v\n", false, "Failing on char -1\n", "[s]"},
    {"AControlCharacterFirstStopsTheLoad", "[s]\n\x01k=v\n", false, "Failing on char 1\n", "[s]"},
    {"DeleteFirstStopsTheLoad", "[s]\n\x7Fk=v\n", false, "Failing on char 127\n", "[s]"},
};

class IniLinesTable : public ::testing::TestWithParam<LinesCase> {
protected:
    kit::TempDir dir;
};

TEST_P(IniLinesTable, LoadTakesEachLineByItsFirstMark)
{
    const LinesCase &c = GetParam();
    kit::writeFile(dir.file("test.ini"), c.file);
    CIniFile ini(dir.file("test.ini"));
    testing::internal::CaptureStdout();
    const bool loaded = ini.load();
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout());
    EXPECT_EQ(c.loaded, loaded);
    EXPECT_EQ(c.content, contentOf(ini));
}

INSTANTIATE_TEST_SUITE_P(Lines, IniLinesTable, ::testing::ValuesIn(kLinesCases),
                         [](const ::testing::TestParamInfo<LinesCase> &i) { return std::string(i.param.name); });

TEST_F(IniFileTest, RepeatedEntryInAnyCaseReplacesTheValueAndKeepsTheFirstName)
{
    write("[net]\nport=8000\nPort=9000\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    ASSERT_EQ(ini.sectionCount(), 1u);
    EXPECT_EQ(ini.sectionName(0), "net");
    ASSERT_EQ(ini.entryCount(0u), 1u);
    EXPECT_EQ(ini.entryName(0u, 0u), "port");
    EXPECT_EQ(ini.getEntryAt(0, 0), "9000");

    EXPECT_EQ(ini.getEntry("NET", "PORT"), "9000");
    EXPECT_EQ(ini.findSection("Net"), 0);
    EXPECT_EQ(ini.findEntry(0, "pORt"), 0);
    EXPECT_EQ(ini.entryCount("NeT"), 1u);
    EXPECT_EQ(ini.entryName("NET", 0), "port");
    EXPECT_EQ(ini.sectionName(0), "net");
    EXPECT_EQ(ini.foldCase("MiXeD 42"), "mixed 42");
}

TEST_F(IniFileTest, MissingFileAnswersFalseSilentlyAndKeepsTheContent)
{
    CIniFile ini(dir.file("absent.ini"));
    ini.setEntry("kept", "k", "v");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ini.load());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ini.sectionCount(), 1u);
    EXPECT_EQ(ini.getEntry("kept", "k"), "v");
}

TEST_F(IniFileTest, BytesAboveAsciiInsideALineAreKeptAndFoldedOnlyInAscii)
{
    const std::string name = "Gr\xC3\x96\xC3\x9F" "e"; // a name in UTF-8
    write("[S\xE9]\n" + name + "=\xFF\xEF\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.sectionName(0), "S\xE9");
    EXPECT_EQ(ini.getEntry("s\xE9", "gR\xC3\x96\xC3\x9F" "E"), "\xFF\xEF");
    EXPECT_EQ(ini.findEntry(0, "gr\xC3\xB6\xC3\x9F" "e"), -1) << "bytes above ASCII are not folded";
    EXPECT_EQ(ini.foldCase(name), "gr\xC3\x96\xC3\x9F" "e");
}

TEST_F(IniFileTest, LongLinesAndEmbeddedNulBytesLoadWhole)
{
    const std::string longValue(1 << 20, 'v');
    std::string bytes = "[s]\nlong=" + longValue + "\nnul=a";
    bytes += '\0';
    bytes += "b\n";
    write(bytes);
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.getEntry("s", "long"), longValue);
    EXPECT_EQ(ini.getEntry("s", "nul"), std::string("a\0b", 3));

    ASSERT_TRUE(ini.save());
    CIniFile again(file);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.getEntry("s", "nul"), std::string("a\0b", 3));
    EXPECT_EQ(again.getEntry("s", "long").size(), longValue.size());
}

TEST_F(IniFileTest, SaveWritesFiveLinesEndedByCarriageReturnLineFeed)
{
    write("#c\n[s]\nk=v\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    ASSERT_TRUE(ini.save());
    EXPECT_EQ(read(), ";c\r\n\r\n[s]\r\nk=v\r\n\r\n");
}

TEST_F(IniFileTest, SaveWritesCommentsBeforeEntriesAndTheEmptyNamedSectionAsBrackets)
{
    CIniFile ini(file);
    ini.setEntry("", "loose", "1");
    ini.addSectionComment("", "about loose");
    ini.addSection("empty");
    ini.setEntry("b", "x", "");
    ini.setEntry("b", "y", " 2 ");
    ini.addSectionComment("b", "note");
    ASSERT_TRUE(ini.save());
    EXPECT_EQ(read(), "[]\r\n;about loose\r\nloose=1\r\n\r\n"
                      "[empty]\r\n\r\n"
                      "[b]\r\n;note\r\nx=\r\ny= 2 \r\n\r\n");
}

TEST_F(IniFileTest, SaveOfNothingWritesAnEmptyFile)
{
    write("old content\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.save());
    EXPECT_EQ(read(), "");
}

TEST_F(IniFileTest, SaveAnswersFalseWhenTheFileCannotBeOpenedOrWritten)
{
    CIniFile ini(dir.file("no/such/dir/x.ini"));
    ini.setEntry("s", "k", "v");
    EXPECT_FALSE(ini.save());

    ini.setPath(dir.path());
    EXPECT_FALSE(ini.save()) << "a directory is not a file";

    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full on this machine to make a write fail";
    ini.setPath("/dev/full");
    EXPECT_FALSE(ini.save()) << "a failed write must not be reported as saved";
}

TEST_F(IniFileTest, LoadingTheSameFileTwiceDoublesHeadersButNotEntries)
{
    write(";head\n[s]\n;about s\nk=v\n[t]\nm=n\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    ini.setEntry("s", "k", "changed");
    ASSERT_TRUE(ini.load());

    ASSERT_EQ(ini.sectionCount(), 4u);
    EXPECT_EQ(ini.sectionName(0), "s");
    EXPECT_EQ(ini.sectionName(1), "t");
    EXPECT_EQ(ini.sectionName(2), "s");
    EXPECT_EQ(ini.sectionName(3), "t");
    EXPECT_EQ(ini.entryCount(0u), 1u);
    EXPECT_EQ(ini.getEntry("s", "k"), "v");
    EXPECT_EQ(ini.entryCount(1u), 1u);
    EXPECT_EQ(ini.entryCount(2u), 0u);
    EXPECT_EQ(ini.entryCount(3u), 0u);
    ASSERT_EQ(ini.sectionCommentCount(0u), 2u);
    EXPECT_EQ(ini.sectionComment(0u, 1u), "about s");
    EXPECT_EQ(ini.sectionCommentCount(2u), 0u);
    EXPECT_EQ(ini.headerCommentCount(), 1u) << "the second copy of ;head is dropped";
}

TEST_F(IniFileTest, SecondLoadPutsHeaderCommentsIntoAnEmptyNamedSection)
{
    write(";head\nk=v\n");
    CIniFile ini(file);
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.headerCommentCount(), 1u);
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.headerCommentCount(), 1u);
    ASSERT_EQ(ini.sectionCount(), 1u);
    EXPECT_EQ(ini.sectionComment("", 0), "head");
}

TEST_F(IniFileTest, RealGetterPrintsItsDefaultWithSixDecimals)
{
    CIniFile ini(file);
    ini.setEntry("s", "text", "2.5e3xyz");
    EXPECT_DOUBLE_EQ(ini.getEntryReal("s", "missing", 0.1234567), 0.123457);
    EXPECT_EQ(ini.getEntryReal("s", "missing", 1e-7), 0.0);
    EXPECT_EQ(ini.getEntryReal("nosuch", "missing", -2.0), -2.0);
    EXPECT_EQ(ini.getEntryReal("s", "text", 9.0), 2500.0);
}

TEST_F(IniFileTest, IntegerGetterUsesTheDefaultOnlyForAMissingEntry)
{
    CIniFile ini(file);
    ini.setEntry("s", "lead", " 42abc");
    ini.setEntry("s", "word", "abc");
    ini.setEntry("s", "empty", "");
    ini.setEntry("s", "neg", "-17");
    EXPECT_EQ(ini.getEntryInt("s", "lead", 7), 42);
    EXPECT_EQ(ini.getEntryInt("s", "word", 7), 0);
    EXPECT_EQ(ini.getEntryInt("s", "empty", 7), 0);
    EXPECT_EQ(ini.getEntryInt("s", "neg", 7), -17);
    EXPECT_EQ(ini.getEntryInt("s", "missing", 7), 7);
    EXPECT_EQ(ini.getEntryInt("nosuch", "missing", INT_MIN), INT_MIN);
}

TEST_F(IniFileTest, IntegerGetterHoldsNumbersBeyondIntAtTheLimits)
{
    CIniFile ini(file);
    ini.setEntry("s", "big", "99999999999999999999999");
    ini.setEntry("s", "wide", "4294967297"); // would wrap to 1 if narrowed
    ini.setEntry("s", "small", "-4294967297");
    EXPECT_EQ(ini.getEntryInt("s", "big"), INT_MAX);
    EXPECT_EQ(ini.getEntryInt("s", "wide"), INT_MAX);
    EXPECT_EQ(ini.getEntryInt("s", "small"), INT_MIN);
}

TEST_F(IniFileTest, NumericSettersStoreTheirPrintedFormAndCreateWhatIsMissing)
{
    CIniFile ini(file);
    EXPECT_TRUE(ini.setEntryInt("n", "i", -12));
    EXPECT_TRUE(ini.setEntryReal("n", "r", 2.5));
    EXPECT_TRUE(ini.setEntryReal("n", "max", -1.7976931348623157e308));
    EXPECT_TRUE(ini.setEntryFormat("n", "f", "%s-%03d", "id", 7));
    EXPECT_EQ(ini.getEntry("n", "i"), "-12");
    EXPECT_EQ(ini.getEntry("n", "r"), "2.500000");
    EXPECT_EQ(ini.getEntry("n", "max").size(), 1u + 309u + 7u);
    EXPECT_EQ(ini.getEntry("n", "f"), "id-007");
    EXPECT_TRUE(ini.setEntryInt("N", "I", 5));
    EXPECT_EQ(ini.entryCount("n"), 4u);
    EXPECT_EQ(ini.getEntryInt("n", "i"), 5);
}

TEST_F(IniFileTest, FormattedTextOfTheBufferSizeIsRefusedAndChangesNothing)
{
    CIniFile ini(file);
    ini.setEntry("s", "k", "old");
    const std::string fits(CIniFile::FORMAT_BUFFER_SIZE - 1, 'f');
    const std::string tooLong(CIniFile::FORMAT_BUFFER_SIZE, 'x');
    const std::string huge(100000, 'h');

    EXPECT_TRUE(ini.setEntryFormat("s", "fits", "%s", fits.c_str()));
    EXPECT_EQ(ini.getEntry("s", "fits"), fits);

    EXPECT_FALSE(ini.setEntryFormat("s", "k", "%s", tooLong.c_str()));
    EXPECT_FALSE(ini.setEntryFormat("s", "k", "%s%s", huge.c_str(), huge.c_str()));
    EXPECT_EQ(ini.getEntry("s", "k"), "old");
    EXPECT_FALSE(ini.setEntryFormat("s", "new", "%2048d", 1));
    EXPECT_EQ(ini.findEntry(0, "new"), -1);
    EXPECT_FALSE(ini.setEntryFormat("other", "k", "%s", tooLong.c_str()));
    EXPECT_EQ(ini.findSection("other"), -1);
    EXPECT_EQ(ini.sectionCount(), 1u);
}

TEST_F(IniFileTest, ScanEntryReturnsTheConversionCountOrZeroWithoutAValue)
{
    CIniFile ini(file);
    ini.setEntry("s", "pair", "3 4");
    ini.setEntry("s", "empty", "");
    ini.setEntry("s", "blank", "  ");
    int a = -1, b = -1;
    EXPECT_EQ(ini.scanEntry("S", "PAIR", "%d %d", &a, &b), 2);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 4);

    a = b = -1;
    EXPECT_EQ(ini.scanEntry("s", "missing", "%d %d", &a, &b), 0);
    EXPECT_EQ(ini.scanEntry("nosuch", "pair", "%d %d", &a, &b), 0);
    EXPECT_EQ(ini.scanEntry("s", "empty", "%d", &a), 0) << "an empty value is not scanned";
    EXPECT_EQ(ini.scanEntry("s", "blank", "%d", &a), EOF) << "a blank value is";
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
}

TEST_F(IniFileTest, ScanEntryReadsAValueLongerThanAnyBuffer)
{
    CIniFile ini(file);
    std::string value = "12 ";
    value += std::string(300000, 'w');
    value += " 34";
    ini.setEntry("s", "long", value);
    int first = 0;
    char word[16] = {};
    EXPECT_EQ(ini.scanEntry("s", "long", "%d %15s", &first, word), 2);
    EXPECT_EQ(first, 12);
    EXPECT_EQ(std::string(word), std::string(15, 'w'));

    int last = 0;
    EXPECT_EQ(ini.scanEntry("s", "long", "%*d %*s %d", &last), 1);
    EXPECT_EQ(last, 34);
}

TEST_F(IniFileTest, SetEntryWithoutCreateChangesOnlyWhatExists)
{
    CIniFile ini(file);
    EXPECT_FALSE(ini.setEntry("s", "k", "v", false));
    EXPECT_EQ(ini.sectionCount(), 0u);
    ini.addSection("S");
    EXPECT_FALSE(ini.setEntry("s", "k", "v", false));
    EXPECT_EQ(ini.entryCount(0u), 0u);
    EXPECT_TRUE(ini.setEntry("s", "K", "1"));
    EXPECT_TRUE(ini.setEntry("s", "k", "2", false));
    EXPECT_EQ(ini.entryName(0u, 0u), "K");
    EXPECT_EQ(ini.getEntry("S", "K"), "2");
    EXPECT_EQ(ini.sectionCount(), 1u);
}

TEST_F(IniFileTest, OutOfRangeIndicesGiveEmptyResultsAndChangeNothing)
{
    CIniFile ini(file);
    ini.setEntry("s", "k", "v");
    ini.addSectionComment(0u, "c");
    const unsigned missing = static_cast<unsigned>(ini.findSection("nosuch"));

    EXPECT_EQ(ini.findSection("nosuch"), -1);
    EXPECT_EQ(ini.findEntry(0, "nosuch"), -1);
    EXPECT_EQ(ini.findEntry(1, "k"), -1);
    EXPECT_EQ(ini.findEntry(missing, "k"), -1);
    EXPECT_EQ(ini.sectionName(1), "");
    EXPECT_EQ(ini.sectionName(missing), "");
    EXPECT_EQ(ini.entryCount(missing), 0u);
    EXPECT_EQ(ini.entryCount("nosuch"), 0u);
    EXPECT_EQ(ini.entryName(0u, 1u), "");
    EXPECT_EQ(ini.entryName(missing, 0u), "");
    EXPECT_EQ(ini.entryName("nosuch", 0), "");
    EXPECT_EQ(ini.getEntryAt(0, 1, "def"), "def");
    EXPECT_EQ(ini.getEntryAt(missing, 0, "def"), "def");
    EXPECT_EQ(ini.getEntry("s", "nosuch", "def"), "def");
    EXPECT_EQ(ini.getEntry("nosuch", "k", "def"), "def");
    EXPECT_EQ(ini.headerComment(0), "");
    EXPECT_EQ(ini.sectionComment(0u, 1u), "");
    EXPECT_EQ(ini.sectionComment(missing, 0u), "");
    EXPECT_EQ(ini.sectionCommentCount(missing), 0u);
    EXPECT_EQ(ini.sectionCommentCount("nosuch"), 0u);

    ini.setEntryAt(0, 1, "x");
    ini.setEntryAt(missing, 0, "x");
    EXPECT_FALSE(ini.addSectionComment(missing, "x"));
    EXPECT_FALSE(ini.addSectionComment("nosuch", "x"));
    EXPECT_FALSE(ini.removeSectionComment(0u, 1u));
    EXPECT_FALSE(ini.removeSectionComment("nosuch", 0));
    EXPECT_FALSE(ini.clearSectionComments(missing));
    EXPECT_FALSE(ini.clearSectionComments("nosuch"));
    EXPECT_FALSE(ini.removeHeaderComment(0));
    EXPECT_FALSE(ini.removeEntry("s", "nosuch"));
    EXPECT_FALSE(ini.removeEntry("nosuch", "k"));
    EXPECT_FALSE(ini.removeSection("nosuch"));

    EXPECT_EQ(ini.sectionCount(), 1u);
    EXPECT_EQ(ini.entryCount(0u), 1u);
    EXPECT_EQ(ini.getEntryAt(0, 0), "v");
    EXPECT_EQ(ini.sectionCommentCount(0u), 1u);

    ini.setEntryAt(0, 0, "w");
    EXPECT_EQ(ini.getEntry("s", "k"), "w");
}

TEST_F(IniFileTest, AddSectionAppendsEvenWhenTheNameExistsAndLookupsFindTheFirst)
{
    CIniFile ini(file);
    EXPECT_EQ(ini.addSection("dup"), 0u);
    EXPECT_EQ(ini.addSection("DUP"), 1u);
    ini.setEntry("dup", "k", "v");
    EXPECT_EQ(ini.entryCount(0u), 1u);
    EXPECT_EQ(ini.entryCount(1u), 0u);
    EXPECT_EQ(ini.findSection("Dup"), 0);

    ini.addSectionComment("dup", "first");
    EXPECT_TRUE(ini.removeSection("dUp"));
    ASSERT_EQ(ini.sectionCount(), 1u);
    EXPECT_EQ(ini.sectionName(0), "DUP");
    EXPECT_EQ(ini.entryCount(0u), 0u);
    EXPECT_EQ(ini.sectionCommentCount(0u), 0u) << "comments leave with their section";
}

TEST_F(IniFileTest, RemovingAnEntryKeepsNamesAndValuesPaired)
{
    CIniFile ini(file);
    ini.setEntry("s", "a", "1");
    ini.setEntry("s", "b", "2");
    ini.setEntry("s", "c", "3");
    EXPECT_TRUE(ini.removeEntry("S", "B"));
    ASSERT_EQ(ini.entryCount("s"), 2u);
    EXPECT_EQ(ini.entryName("s", 1), "c");
    EXPECT_EQ(ini.getEntryAt(0, 1), "3");
    EXPECT_EQ(ini.getEntry("s", "a"), "1");
    EXPECT_EQ(ini.findEntry(0, "b"), -1);
}

TEST_F(IniFileTest, CommentsAreAddedReadRemovedAndClearedByIndexOrName)
{
    CIniFile ini(file);
    ini.addHeaderComment("h0");
    ini.addHeaderComment("h1");
    EXPECT_TRUE(ini.removeHeaderComment(0));
    ASSERT_EQ(ini.headerCommentCount(), 1u);
    EXPECT_EQ(ini.headerComment(0), "h1");

    ini.addSection("s");
    EXPECT_TRUE(ini.addSectionComment(0u, "c0"));
    EXPECT_TRUE(ini.addSectionComment("S", "c1"));
    EXPECT_TRUE(ini.addSectionComment("s", "c2"));
    EXPECT_EQ(ini.sectionCommentCount("s"), 3u);
    EXPECT_TRUE(ini.removeSectionComment("s", 1));
    EXPECT_EQ(ini.sectionComment("s", 1), "c2");
    EXPECT_TRUE(ini.removeSectionComment(0u, 0u));
    EXPECT_EQ(ini.sectionComment(0u, 0u), "c2");
    EXPECT_TRUE(ini.clearSectionComments("s"));
    EXPECT_EQ(ini.sectionCommentCount(0u), 0u);
    EXPECT_TRUE(ini.clearSectionComments(0u)) << "clearing nothing is still a section found";

    ini.setEntry("s", "k", "v");
    ini.clearAll();
    EXPECT_EQ(ini.sectionCount(), 0u);
    EXPECT_EQ(ini.headerCommentCount(), 0u);
    EXPECT_EQ(ini.findSection("s"), -1);
}

TEST_F(IniFileTest, LoadAddsToTheContentAlreadyHeld)
{
    write("[file]\nk=from file\nnew=1\n");
    CIniFile ini(file);
    ini.setEntry("file", "k", "before");
    ini.setEntry("mine", "m", "1");
    ASSERT_TRUE(ini.load());
    ASSERT_EQ(ini.sectionCount(), 3u);
    EXPECT_EQ(ini.getEntry("file", "k"), "from file");
    EXPECT_EQ(ini.getEntry("file", "new"), "1");
    EXPECT_EQ(ini.getEntry("mine", "m"), "1");
    EXPECT_EQ(ini.sectionName(2), "file");
    EXPECT_EQ(ini.entryCount(2u), 0u);
}

} // namespace
