// Texts for the tests: counting, reproducible random lines, and where two
// long texts differ.
#ifndef QUORVANE_TESTS_TEXT_H
#define QUORVANE_TESTS_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// Non-overlapping occurrences of needle in text.
int countOf(const std::string &text, const std::string &needle);

// bytes bytes of text lines (each ended by a line feed, the last one
// possibly cut short to hit the size) drawn from printable ASCII by a fixed
// generator, so that a failure can be replayed. Lines are 1 to maxLine
// characters long, and one line in longEvery (0 for none) is longLine to
// twice longLine long. Lines that contain a banned word are drawn again.
std::string randomLines(size_t bytes, uint64_t seed, size_t maxLine = 160, size_t longEvery = 0,
                        size_t longLine = 0, const std::vector<std::string> &banned = {});

// Where two texts first differ, for failure messages that would otherwise
// print megabytes.
std::string firstDifference(const std::string &expected, const std::string &actual);

// A report with the line numbers of its head lines replaced by "L", so that
// tests compare whole reports without depending on source lines:
// "(file.cpp, 123, func)" becomes "(file.cpp, L, func)".
std::string withoutLineNumbers(const std::string &text);

} // namespace kit

#endif
