#include "text.h"

#include <algorithm>
#include <cstdio>
#include <regex>

namespace kit {

int countOf(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string randomLines(size_t bytes, uint64_t seed, size_t maxLine, size_t longEvery, size_t longLine,
                        const std::vector<std::string> &banned)
{
    uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto next = [&state] {
        // xorshift64*: fast, and the same stream on every machine.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    };
    std::string out, line;
    out.reserve(bytes + 2 * (maxLine + longLine) + 2);
    while (out.size() < bytes) {
        size_t len = 1 + next() % maxLine;
        if (longEvery != 0 && next() % longEvery == 0)
            len = longLine + next() % (longLine + 1);
        line.clear();
        for (size_t i = 0; i < len; ++i)
            line += static_cast<char>(0x20 + next() % 95);
        if (std::none_of(banned.begin(), banned.end(), [&](const std::string &b) { return line.find(b) != std::string::npos; }))
            out += line + '\n';
    }
    out.resize(bytes);
    return out;
}

std::string firstDifference(const std::string &expected, const std::string &actual)
{
    const size_t n = std::min(expected.size(), actual.size());
    size_t at = 0;
    while (at < n && expected[at] == actual[at])
        ++at;
    if (at == expected.size() && at == actual.size())
        return "no difference";
    auto show = [at](const std::string &s) {
        std::string out;
        for (size_t i = at > 40 ? at - 40 : 0; i < s.size() && i < at + 40; ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            char esc[8];
            snprintf(esc, sizeof esc, c == '\n' ? "\\n" : c < 0x20 || c > 0x7e ? "\\x%02x" : "%c", c);
            out += esc;
            if (i + 1 == at)
                out += "|";
        }
        return out;
    };
    return "sizes " + std::to_string(expected.size()) + " expected, " + std::to_string(actual.size()) +
           " actual; first difference at byte " + std::to_string(at) + ": expected ..." + show(expected) +
           "... actual ..." + show(actual) + "...";
}

std::string withoutLineNumbers(const std::string &text)
{
    static const std::regex head(R"((\*\*\* [A-Z ]+ \([^,\n]+), [0-9]+, )");
    return std::regex_replace(text, head, "$1, L, ");
}

} // namespace kit
