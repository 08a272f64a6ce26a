// The service unit's command line, built as systemd builds it: the unit's
// ExecStart with its specifiers and "$$" resolved, run with only the
// variables of an instance's configuration file, standard input at end of
// file. First with a stand-in program that shows the options it gets, then
// with the terminal itself against a loopback server.
#include "child.h"
#include "clock.h"
#include "loopback.h"
#include "temp_dir.h"
#include "term_records.h"
#include "terminal_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using kit::appendFile;
using kit::readFile;
using kit::TempDir;
using kit::writeFile;

namespace {

const std::string kBuildDir = QUORVANE_BINARY_DIR;
const std::string kUnit = std::string(QUORVANE_SOURCE_DIR) + "/packaging/quorvane@.service";
const std::string kExample = std::string(QUORVANE_SOURCE_DIR) + "/packaging/example.conf";
const char kInstance[] = "example";

// The value of the first "Key=" line of a unit file, "" when none.
std::string unitValue(const std::string& unit, const std::string& key)
{
    std::istringstream lines(unit);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    return "";
}

// A command line as systemd splits it: words apart at blanks, quotes (single
// or double) hold a word together; %i is the instance, %% a percent sign,
// $$ a dollar sign. A lone $ would be systemd's own variable expansion,
// which this unit does not use: it fails the test.
std::vector<std::string> commandWords(const std::string& line, const std::string& instance)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote == 0 && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (quote == 0 && (c == '\'' || c == '"')) {
            quote = c;
        } else if (c == quote) {
            quote = 0;
        } else if (c == '%' && i + 1 < line.size()) {
            char s = line[++i];
            if (s == 'i')
                word += instance;
            else if (s == '%')
                word += '%';
            else
                ADD_FAILURE() << "specifier %" << s << " not known to this test";
        } else if (c == '$') {
            if (i + 1 < line.size() && line[i + 1] == '$')
                ++i;
            else
                ADD_FAILURE() << "unescaped $ at " << i << ": " << line;
            word += '$';
        } else {
            word += c;
        }
    }
    EXPECT_EQ(0, quote) << "unbalanced quote: " << line;
    if (inWord)
        words.push_back(word);
    return words;
}

// KEY=value lines of an environment file, as systemd reads the simple
// forms: blank lines and lines starting with # or ; are skipped, a value in
// double or single quotes loses them.
std::vector<std::string> environmentLines(const std::string& text)
{
    std::vector<std::string> assignments;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#' || line[start] == ';')
            continue;
        size_t eq = line.find('=', start);
        EXPECT_NE(std::string::npos, eq) << "not KEY=value: " << line;
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(start, eq - start);
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        assignments.push_back(key + "=" + value);
    }
    return assignments;
}

// The example with each key's line (commented out or not) set to a value,
// or removed for a value of "-".
std::string configure(std::string text, const std::vector<std::pair<std::string, std::string>>& keys)
{
    for (const auto& [key, value] : keys) {
        size_t at = text.find("\n#" + key + "=");
        if (at == std::string::npos)
            at = text.find("\n" + key + "=");
        EXPECT_NE(std::string::npos, at) << "the example does not show " << key;
        if (at == std::string::npos)
            continue;
        size_t end = text.find('\n', at + 1);
        text.replace(at + 1, end - at - 1, value == "-" ? "" : key + "=" + value);
    }
    return text;
}

// The process that systemd would start for the instance: ExecStart run with
// the configuration's variables only, programs found first in `path`.
std::unique_ptr<kit::Child> startService(const std::string& config, const std::string& path)
{
    std::vector<std::string> argv = {"/usr/bin/env", "-i", "PATH=" + path};
    for (const std::string& assignment : environmentLines(config))
        argv.push_back(assignment);
    for (const std::string& word : commandWords(unitValue(readFile(kUnit), "ExecStart"), kInstance))
        argv.push_back(word);
    kit::ChildOptions o;
    o.input = false;  // StandardInput=null
    return std::make_unique<kit::Child>(argv, o);
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unit = readFile(kUnit);
        example = readFile(kExample);
        ASSERT_FALSE(unit.empty()) << kUnit;
        ASSERT_FALSE(example.empty()) << kExample;
        ASSERT_EQ("null", unitValue(unit, "StandardInput"));
        ASSERT_EQ("/etc/quorvane/%i.conf", unitValue(unit, "EnvironmentFile"));
    }

    std::string unit;
    std::string example;
};

TEST_F(ServiceTest, BuildsTheCommandLineFromTheKeysGivenAndLeavesOutWhatIsAbsentOrEmpty)
{
    // A stand-in for the terminal that shows the options it was given.
    TempDir bin;
    writeFile(bin.file("quorvane"), "#!/bin/sh\nprintf '<%s>' \"$@\"\n");
    ASSERT_EQ(0, chmod(bin.file("quorvane").c_str(), 0755));

    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> keys;
        std::string options;
    };
    const Case cases[] = {
        {"the example as it is", {}, "<-s><127.0.0.1><-p><8000><-f></run/quorvane/example>"},
        {"every key",
         {{"HOST", "log.station.invalid"}, {"PORT", "9000"}, {"LOGIN", "op1"}, {"SHARED_DIR", "/srv/station"}},
         "<-s><log.station.invalid><-p><9000><-l><op1><-f></srv/station>"},
        {"empty values take the defaults; an empty login gives no -l",
         {{"PORT", ""}, {"LOGIN", ""}, {"SHARED_DIR", ""}},
         "<-s><127.0.0.1><-p><8000><-f></run/quorvane/example>"},
        {"a quoted login with a blank stays one word",
         {{"LOGIN", "\"dl1abc secret\""}},
         "<-s><127.0.0.1><-p><8000><-l><dl1abc secret><-f></run/quorvane/example>"},
        {"a login that looks like a file pattern is not expanded",
         {{"LOGIN", "*"}},
         "<-s><127.0.0.1><-p><8000><-l><*><-f></run/quorvane/example>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = startService(configure(example, c.keys), bin.path() + ":/usr/bin:/bin");
        EXPECT_EQ(0, p->waitExit(5000));
        EXPECT_EQ(c.options, p->output());
    }
}

TEST_F(ServiceTest, WithoutAHostItEndsWithAStatusTheUnitDoesNotRetry)
{
    auto p = startService(configure(example, {{"HOST", "-"}}), kBuildDir + ":/usr/bin:/bin");
    int status = p->waitExit(5000);
    EXPECT_EQ(2, status);
    EXPECT_TRUE(p->waitFor("HOST: is not set in /etc/quorvane/example.conf", 2000)) << p->output();
    std::istringstream prevented(unitValue(unit, "RestartPreventExitStatus"));
    std::vector<int> statuses;
    for (int s; prevented >> s;)
        statuses.push_back(s);
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(), status))
        << "a missing host would be retried for ever";
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(), 255))
        << "the terminal's usage text would be retried for ever";
}

TEST_F(ServiceTest, TheExampleConfigurationServesTheSharedFilesWithInputAtEndOfFile)
{
    TempDir shared;
    kit::Listener server;
    const std::string config =
        configure(example, {{"PORT", server.portText()}, {"SHARED_DIR", shared.path()}});
    auto p = startService(config, kBuildDir + ":/usr/bin:/bin");
    const int peer = server.accept(5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(p->waitFor(kit::kConnected, 5000)) << p->output();

    // The example gives no login: the prompt is not answered at all.
    ASSERT_TRUE(kit::sendAll(peer, "station log server\r\nlogin: "));
    EXPECT_EQ("", kit::readFor(peer, 1500)) << "an absent login must not answer with a bare line end";

    appendFile(shared.file("term.out"), kit::encodeTextRecords("op1\n"));
    EXPECT_EQ("op1\n", kit::readExactly(peer, 4, 3000)) << "a term.out record reaches the server";

    ASSERT_TRUE(kit::sendAll(peer, "op2: 14025 CW\n"));
    std::string written;
    kit::waitUntil([&] {
        written = kit::decodeTextRecords(readFile(shared.file("term.in")));
        return written.find("op2: 14025 CW\n") != std::string::npos;
    }, 4000, 20);
    EXPECT_NE(std::string::npos, written.find("op2: 14025 CW\n")) << "server text reaches term.in";

    // systemctl stop.
    EXPECT_TRUE(p->running()) << "standard input at its end ended the terminal";
    p->signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, p->waitExit(5000));
    EXPECT_TRUE(p->waitFor(kit::kEnded, 2000)) << p->output();
}

TEST_F(ServiceTest, ALoginInTheConfigurationAnswersThePrompt)
{
    TempDir shared;
    kit::Listener server;
    const std::string config = configure(
        example, {{"PORT", server.portText()}, {"SHARED_DIR", shared.path()}, {"LOGIN", "\"dl1abc op\""}});
    auto p = startService(config, kBuildDir + ":/usr/bin:/bin");
    const int peer = server.accept(5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(kit::sendAll(peer, "login: "));
    EXPECT_EQ("dl1abc op\r\n", kit::readExactly(peer, 11, 3000));
}

}  // namespace
