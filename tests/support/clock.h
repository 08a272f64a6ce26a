// The tests' clock, and their one way to wait for a condition.
#ifndef QUORVANE_TESTS_CLOCK_H
#define QUORVANE_TESTS_CLOCK_H

#include <chrono>
#include <functional>
#include <unistd.h>

namespace kit {

// Milliseconds of the monotonic clock.
inline long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Checks condition every pollMs until it holds (true) or timeoutMs have
// passed (false); the condition is checked once more at the end.
inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int pollMs = 5)
{
    const long long deadline = nowMs() + timeoutMs;
    while (!condition()) {
        if (nowMs() >= deadline)
            return condition();
        usleep(static_cast<useconds_t>(pollMs) * 1000);
    }
    return true;
}

} // namespace kit

#endif
