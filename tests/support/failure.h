// How the kit reports a failure of its own (no pseudo-terminal, no socket
// pair, a loop that ran into its bound) and how a forked child learns that
// its body failed. Benchmarks and fuzz targets link the kit without
// GoogleTest: there a failure is printed on standard error and remembered.
// The test programs link gtest_failures.cpp as well, which hands both to
// GoogleTest, so that a kit failure fails the running test.
#ifndef QUORVANE_TESTS_FAILURE_H
#define QUORVANE_TESTS_FAILURE_H

#include <string>

namespace kit {

void fail(const std::string &what);
// Whether this process had a failure: fail() was called, or the test
// framework saw one.
bool failed();

// Where fail() and failed() go; nullptr gives back the standard error form.
void setFailureHooks(void (*report)(const std::string &what), bool (*check)());

} // namespace kit

#endif
