#include "failure.h"

#include <cstdio>

namespace kit {

namespace {

bool g_failed = false;
void (*g_report)(const std::string &) = nullptr;
bool (*g_check)() = nullptr;

} // namespace

void fail(const std::string &what)
{
    if (g_report != nullptr) {
        g_report(what);
        return;
    }
    g_failed = true;
    fprintf(stderr, "kit: %s\n", what.c_str());
}

bool failed()
{
    return g_check != nullptr ? g_check() : g_failed;
}

void setFailureHooks(void (*report)(const std::string &), bool (*check)())
{
    g_report = report;
    g_check = check;
}

} // namespace kit
