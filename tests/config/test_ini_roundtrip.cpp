// Load, save and load again must keep every section, entry and comment of a
// file. Checked on INI-style files that other software installed on this
// machine (found at run time, never copied here) and on written extremes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "CIniFile.h"
#include "temp_dir.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// Everything a reader can see of the content, in order, with each text
// length-prefixed so that no two different contents give the same dump.
std::string dump(const CIniFile &ini)
{
    std::string out;
    auto put = [&out](const char *tag, const std::string &text) {
        out += tag;
        out += std::to_string(text.size());
        out += ':';
        out += text;
        out += '\n';
    };
    for (unsigned h = 0; h < ini.headerCommentCount(); ++h)
        put("header ", ini.headerComment(h));
    for (unsigned s = 0; s < ini.sectionCount(); ++s) {
        put("section ", ini.sectionName(s));
        for (unsigned c = 0; c < ini.sectionCommentCount(s); ++c)
            put("  comment ", ini.sectionComment(s, c));
        for (unsigned e = 0; e < ini.entryCount(s); ++e) {
            put("  name ", ini.entryName(s, e));
            put("  value ", ini.getEntryAt(s, e));
        }
    }
    return out;
}

// A few installed files of each INI-style kind. The walk is bounded in
// entries visited, so a large /usr/share costs a fixed, short time.
std::vector<std::string> installedIniFiles()
{
    const std::vector<std::string> kinds = {".ini", ".desktop", ".service", ".theme", ".conf"};
    const unsigned perKind = 10;
    const unsigned maxVisited = 200000;
    const std::uintmax_t maxSize = 4u << 20;

    std::map<std::string, std::vector<std::string>> found;
    unsigned visited = 0;
    for (const char *root : {"/etc", "/usr/share"}) {
        std::error_code ec;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end && visited < maxVisited; it.increment(ec), ++visited) {
            std::error_code fileEc;
            if (!it->is_regular_file(fileEc) || fileEc)
                continue;
            const std::string ext = it->path().extension().string();
            bool wanted = false;
            for (const std::string &k : kinds)
                wanted = wanted || k == ext;
            if (!wanted || found[ext].size() >= perKind)
                continue;
            const std::uintmax_t size = it->file_size(fileEc);
            if (fileEc || size > maxSize || access(it->path().c_str(), R_OK) != 0)
                continue;
            found[ext].push_back(it->path().string());
        }
    }
    std::vector<std::string> files;
    for (const std::string &k : kinds)
        files.insert(files.end(), found[k].begin(), found[k].end());
    return files;
}

class IniRoundTripTest : public ::testing::Test {
protected:
    // Loads `source`, saves it to a scratch file, loads that, and checks the
    // two contents and the two saved files are the same. Returns the first
    // load's content; `complete` tells whether that load read every line.
    std::string roundTrip(const std::string &source, bool &complete)
    {
        const std::string firstSave = dir.file("first.ini");
        const std::string secondSave = dir.file("second.ini");

        CIniFile first(source);
        testing::internal::CaptureStdout();
        first.load();
        complete = testing::internal::GetCapturedStdout().empty();
        first.setPath(firstSave);
        EXPECT_TRUE(first.save()) << source;

        CIniFile second(firstSave);
        testing::internal::CaptureStdout();
        second.load();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a saved file always loads whole: " << source;

        const std::string a = dump(first);
        const std::string b = dump(second);
        EXPECT_TRUE(a == b) << source << " " << kit::firstDifference(a, b);

        second.setPath(secondSave);
        EXPECT_TRUE(second.save()) << source;
        EXPECT_TRUE(kit::readFile(firstSave) == kit::readFile(secondSave)) << "saving is not stable for " << source;
        return a;
    }

    void writeSource(const std::string &bytes) { kit::writeFile(dir.file("source.ini"), bytes); }

    kit::TempDir dir;
};

TEST_F(IniRoundTripTest, InstalledIniStyleFilesKeepTheirContentThroughSaveAndLoad)
{
    const std::vector<std::string> files = installedIniFiles();
    if (files.empty())
        GTEST_SKIP() << "no *.ini, *.desktop, *.service, *.theme or *.conf file under /etc or /usr/share";

    unsigned wholeLoads = 0;
    unsigned entries = 0;
    for (const std::string &f : files) {
        bool complete = false;
        const std::string content = roundTrip(f, complete);
        if (complete && content.find("section ") != std::string::npos)
            ++wholeLoads;
        for (std::string::size_type p = content.find("  name "); p != std::string::npos;
             p = content.find("  name ", p + 1))
            ++entries;
        if (HasFailure())
            break; // one file's differences are enough to read
    }
    RecordProperty("files", static_cast<int>(files.size()));
    RecordProperty("wholeLoads", static_cast<int>(wholeLoads));
    RecordProperty("entries", static_cast<int>(entries));
    // A reader that loaded nothing would pass every comparison above.
    EXPECT_GT(wholeLoads, 0u) << "none of " << files.size() << " files loaded into a section";
    EXPECT_GT(entries, 0u);
}

TEST_F(IniRoundTripTest, AwkwardButValidLinesSurviveSaveAndLoad)
{
    std::string bytes = "#hash header\n"
                        ";semi header\n"
                        "loose=before any header\n"
                        "=empty name\n"
                        "empty value=\n"
                        " spaced = both sides \n"
                        "a=b=c;d#e[f]\n"
                        "[s]tail ignored\n"
                        "  [t]  ; ignored comment\n"
                        "[u]v]\n"
                        "[]\n"
                        "[S]\n"
                        "K=after second S\n"
                        "#comment of S\n"
                        "cr=ends in cr\r\r\n"
                        "x[1]=2\n"
                        "high=\xEF\xBB\xBF\xFF\n"
                        "nul=";
    bytes += '\0';
    bytes += "after nul\n";
    bytes += "last=no line feed";
    writeSource(bytes);

    bool complete = false;
    const std::string content = roundTrip(dir.file("source.ini"), complete);
    EXPECT_TRUE(complete);
    EXPECT_NE(content.find("name 8: spaced \n  value 12: both sides \n"), std::string::npos) << content;
    EXPECT_NE(content.find("value 11:ends in cr\r\n"), std::string::npos) << content;
    EXPECT_NE(content.find("section 3:u]v\n"), std::string::npos) << content;
}

TEST_F(IniRoundTripTest, PartlyLoadedFileSavesWhatWasRead)
{
    writeSource("[s]\nk=v\n\tindented=stops here\n[t]\n");
    bool complete = true;
    const std::string content = roundTrip(dir.file("source.ini"), complete);
    EXPECT_FALSE(complete);
    EXPECT_EQ(content, "section 1:s\n  name 1:k\n  value 1:v\n");
}

} // namespace
