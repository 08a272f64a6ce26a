// quorvane-op, the operator command, on its own: what it appends to
// term.out (whole, also beside another send), where it takes the data from,
// and what it refuses. Its "follow"
// runs with the terminals in test_multi_operator.cpp.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "temp_dir.h"
#include "terminal_program.h"

namespace {

const std::string kOp = kit::kBinaryDir + "/tools/quorvane-op";

// Runs the command with input on its standard input.
kit::ChildResult op(std::vector<std::string> args, const std::string &input = "")
{
    args.insert(args.begin(), kOp);
    kit::ChildOptions o;
    o.capture = true;
    kit::Child child(args, o);
    EXPECT_TRUE(child.write(input));
    child.closeInput();
    return child.finish(5000);
}

TEST(OperatorCommandTest, RefusesTextItCannotEncodeAndAcceptsItInHex)
{
    kit::TempDir dir;
    const std::string out = dir.file("term.out");
    const std::string withSoh = std::string("a\x01") + "b";
    EXPECT_EQ(1, kit::runCommand({kOp, "send", "-n", dir.path(), withSoh}, 5000));
    EXPECT_EQ(0, kit::runCommand({kOp, "send", "-n", "-x", dir.path(), withSoh}, 5000));
    EXPECT_EQ(kit::readFile(out), "610162\n");
    EXPECT_EQ(2, kit::runCommand({kOp, "send"}, 5000));
    EXPECT_EQ(1, kit::runCommand({kOp, "send", dir.file("missing"), "x"}, 5000));
}

TEST(OperatorCommandTest, TakesTheRecordFromStandardInputForADash)
{
    kit::TempDir dir;
    kit::ChildResult r = op({"send", dir.path(), "-"}, "two\nlines");
    EXPECT_TRUE(r.passed()) << r.describe();
    EXPECT_EQ("two\x01lines\x01\n", kit::readFile(dir.file("term.out"))) << "one record, the line feed added";

    r = op({"send", dir.path(), "-"}, std::string("a\0b", 3));
    EXPECT_TRUE(r.exitedWith(1)) << r.describe();
    EXPECT_EQ("quorvane-op: a text record cannot carry a NUL byte; use -x\n", r.err);
    r = op({"send", "-x", "-n", dir.path(), "-"}, std::string("a\0b", 3));
    EXPECT_TRUE(r.passed()) << r.describe();
    r = op({"send", "-n", dir.path(), "-"}, "");
    EXPECT_TRUE(r.exitedWith(1)) << r.describe();
    EXPECT_EQ("quorvane-op: nothing to send\n", r.err);
    EXPECT_EQ("two\x01lines\x01\n610062\n", kit::readFile(dir.file("term.out"))) << "refusals append nothing";
}

// Two sends at once into a file that is missing or empty: a send that
// truncated, or wrote a record in pieces, would lose or mix bytes.
TEST(OperatorCommandTest, ConcurrentSendsIntoAMissingOrEmptyFileBothLandWhole)
{
    kit::TempDir dir;
    const std::string out = dir.file("term.out");
    const std::string a(3000, 'a'), b(3000, 'b');
    const std::string recordA = a + "\x01\n", recordB = b + "\x01\n"; // the added line feed, embedded
    for (int round = 0; round < 40; ++round) {
        unlink(out.c_str());
        if (round % 2 == 1) {
            ASSERT_TRUE(kit::writeFile(out, ""));
        }
        kit::Child first({kOp, "send", dir.path(), a}), second({kOp, "send", dir.path(), b});
        ASSERT_EQ(0, first.waitExit(5000));
        ASSERT_EQ(0, second.waitExit(5000));
        const std::string got = kit::readFile(out);
        EXPECT_TRUE(got == recordA + recordB || got == recordB + recordA)
            << "round " << round << ": " << got.size() << " bytes, starting " << got.substr(0, 20);
    }
}

TEST(OperatorCommandTest, AnswersUsageMistakesWithStatusTwoAndHelpWithZero)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    } const cases[] = {
        {{}, 2}, {{"fetch"}, 2}, {{"send", "-q", "dir", "x"}, 2}, {{"send", "dir"}, 2},
        {{"follow"}, 2}, {{"follow", "-q", "dir"}, 2}, {{"follow", "a", "b"}, 2},
    };
    for (const Case &c : cases) {
        const kit::ChildResult r = op(c.args);
        std::string line;
        for (const std::string &a : c.args)
            line += " " + a;
        EXPECT_TRUE(r.exitedWith(c.status)) << "quorvane-op" << line << ": " << r.describe();
        EXPECT_NE(std::string::npos, r.err.find("Usage: quorvane-op send")) << "quorvane-op" << line << ": the usage on standard error";
    }
    for (const char *help : {"-h", "--help"}) {
        const kit::ChildResult r = op({help});
        EXPECT_TRUE(r.passed()) << help;
        EXPECT_EQ(0u, r.out.find("Usage: quorvane-op send")) << help << ": the usage on standard output";
        EXPECT_EQ("", r.err) << help;
    }
}

} // namespace
