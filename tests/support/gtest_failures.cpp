// The kit's failures, handed to GoogleTest. Nothing calls into this file:
// the test programs are linked with --undefined=quorvane_kit_gtest_failures
// (tests/CMakeLists.txt), which pulls it in so that its hooks are set
// before main.
#include <gtest/gtest.h>

#include "failure.h"

extern "C" {
extern const int quorvane_kit_gtest_failures;
const int quorvane_kit_gtest_failures = 1;
}

namespace {

void report(const std::string &what)
{
    ADD_FAILURE() << what;
}

bool check()
{
    return ::testing::Test::HasFailure();
}

const bool g_hooked = (kit::setFailureHooks(report, check), true);

} // namespace
