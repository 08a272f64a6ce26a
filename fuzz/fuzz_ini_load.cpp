// Any bytes as a configuration file: loading must not fault, and what was
// loaded must come back unchanged through save and a second load.
// The three files live in the memory-backed scratch directory.
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "CIniFile.h"
#include "support.h"

using fuzz::fail;

namespace {

std::string g_source;
std::string g_firstSave;
std::string g_secondSave;

// Every text a reader can see, in order, each one length-prefixed.
std::string dump(const CIniFile &ini)
{
    std::string out;
    auto put = [&out](char tag, const std::string &text) {
        out += tag;
        out += std::to_string(text.size());
        out += ':';
        out += text;
    };
    for (unsigned h = 0; h < ini.headerCommentCount(); ++h)
        put('h', ini.headerComment(h));
    for (unsigned s = 0; s < ini.sectionCount(); ++s) {
        put('s', ini.sectionName(s));
        for (unsigned c = 0; c < ini.sectionCommentCount(s); ++c)
            put('c', ini.sectionComment(s, c));
        for (unsigned e = 0; e < ini.entryCount(s); ++e) {
            put('n', ini.entryName(s, e));
            put('v', ini.getEntryAt(s, e));
        }
    }
    return out;
}

// Lookups by a stored name must land on that name or an earlier one of the
// same folded spelling, and the getters must cope with any stored value.
void probe(const CIniFile &ini)
{
    for (unsigned s = 0; s < ini.sectionCount() && s < 8; ++s) {
        const std::string name = ini.sectionName(s);
        const int found = ini.findSection(name);
        if (found < 0 || static_cast<unsigned>(found) > s)
            fail("a section is not found by its own name");
        for (unsigned e = 0; e < ini.entryCount(s) && e < 8; ++e) {
            const std::string entry = ini.entryName(s, e);
            if (ini.findEntry(s, entry) != static_cast<int>(e))
                fail("an entry is not found by its own name");
            int i = 0;
            double d = 0;
            char word[16];
            (void)ini.getEntryInt(name, entry, 1);
            (void)ini.getEntryReal(name, entry, 1.0);
            (void)ini.scanEntry(name, entry, "%d %lf %15s", &i, &d, word);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setTarget("fuzz_ini_load");
    g_source = fuzz::scratchFile("in.ini");
    g_firstSave = fuzz::scratchFile("first.ini");
    g_secondSave = fuzz::scratchFile("second.ini");
    // load reports an unprintable line on standard output; libFuzzer's own
    // report goes to standard error and stays visible.
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string &source = g_source;
    const std::string &firstSave = g_firstSave;
    const std::string &secondSave = g_secondSave;
    fuzz::writeFile(source, std::string(reinterpret_cast<const char *>(data), size));

    CIniFile first(source);
    first.load(); // a partial load is fine: what it read must still survive
    probe(first);
    first.setPath(firstSave);
    if (!first.save())
        fail("first save failed");

    CIniFile second(firstSave);
    second.load();
    if (dump(first) != dump(second))
        fail("the second load differs from the first");

    second.setPath(secondSave);
    if (!second.save())
        fail("second save failed");
    if (fuzz::readFile(firstSave) != fuzz::readFile(secondSave))
        fail("saving the reloaded content gave different bytes");
    return 0;
}
