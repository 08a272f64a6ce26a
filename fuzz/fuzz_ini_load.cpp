// Any bytes as a configuration file: loading must not fault, and what was
// loaded must come back unchanged through save and a second load.
//
//   clang++ -std=c++17 -fsanitize=fuzzer,address,undefined -Iconfig \
//       fuzz/fuzz_ini_load.cpp config/*.cpp -o fuzz_ini_load
//   ./fuzz_ini_load -max_total_time=60 fuzz/corpus/ini_load
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "CIniFile.h"

namespace {

std::string g_dir;

void removeScratch()
{
    for (const char *name : {"/in.ini", "/first.ini", "/second.ini"})
        unlink((g_dir + name).c_str());
    rmdir(g_dir.c_str());
}

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

std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_ini_load: %s\n", what);
    std::abort();
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
    char tmpl[] = "/tmp/quorvane-fuzz-ini-XXXXXX";
    if (!mkdtemp(tmpl))
        fail("no scratch directory");
    g_dir = tmpl;
    std::atexit(removeScratch);
    // load reports an unprintable line on standard output; libFuzzer's own
    // report goes to standard error and stays visible.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string source = g_dir + "/in.ini";
    const std::string firstSave = g_dir + "/first.ini";
    const std::string secondSave = g_dir + "/second.ini";
    {
        std::ofstream out(source, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        if (!out)
            fail("cannot write the input file");
    }

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
    if (readAll(firstSave) != readAll(secondSave))
        fail("saving the reloaded content gave different bytes");
    return 0;
}
