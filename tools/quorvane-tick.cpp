// quorvane-tick [N]: runs the Quorvane main loop with a one-second periodic
// timer, prints a line per tick and stops after N ticks (default 5).
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "connection.h"

namespace {

struct ticker {
    long wanted;   // ticks to print before stopping
    long done = 0; // ticks printed so far
};

int on_tick(int reason, void *arg)
{
    auto *t = static_cast<ticker *>(arg);
    if (reason != TIMER_EXPIRED)
        return 0;
    t->done++;
    printf("tick %ld of %ld\n", t->done, t->wanted);
    fflush(stdout);
    if (t->done < t->wanted)
        return 0;
    connection_stop_main_loop();
    return 1;
}

// The tick count from the command line: a positive decimal number, or -1.
long parse_count(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n <= 0)
        return -1;
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2) {
        fprintf(stderr, "usage: %s [ticks]\n", argv[0]);
        return 2;
    }
    ticker t{5};
    if (argc == 2 && (t.wanted = parse_count(argv[1])) < 0) {
        fprintf(stderr, "%s: the number of ticks must be a positive number, not \"%s\"\n", argv[0], argv[1]);
        return 2;
    }

    if (connection_init() != 0)
        return 1;
    if (connection_add_timer(1000, on_tick, &t) == nullptr) {
        fprintf(stderr, "%s: could not create the timer\n", argv[0]);
        return 1;
    }
    const int result = connection_main_loop();
    connection_shutdown();
    return result == 0 ? 0 : 1;
}
