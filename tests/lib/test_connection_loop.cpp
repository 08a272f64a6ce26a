// Main loop, timers and watches on foreign descriptors.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "connection.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "wire.h"

namespace {

// A clock that stands still unless a test moves it: expiries then depend
// only on the order of the calls, and select() waits exactly the periods.
struct timeval fake_now = {1000, 0};
void fake_clock(struct timeval *now)
{
    *now = fake_now;
}

struct pipe_fds {
    int rd = -1;
    int wr = -1;
    pipe_fds()
    {
        int fds[2];
        if (pipe(fds) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return;
        }
        rd = fds[0];
        wr = fds[1];
    }
    ~pipe_fds()
    {
        if (rd >= 0)
            close(rd);
        if (wr >= 0)
            close(wr);
    }
    void fill() { ASSERT_EQ(write(wr, "x", 1), 1); }
};

// A timer that logs its calls under a name; expired_result decides whether
// it runs on.
struct logged_timer {
    std::vector<std::string> *log;
    std::string name;
    int expired_result;
    int expired = 0;
    int released = 0;
    bool stop_on_expiry = false;
    connection_timer *cancel_on_expiry = nullptr; // also cancel this one
    connection_timer *self = nullptr;
    bool cancel_self = false;
};

int logged_timer_cb(int reason, void *arg)
{
    auto *t = static_cast<logged_timer *>(arg);
    if (reason == TIMER_RELEASED) {
        t->released++;
        t->log->push_back(t->name + " released");
        return 0;
    }
    EXPECT_EQ(reason, TIMER_EXPIRED);
    t->expired++;
    t->log->push_back(t->name);
    if (t->cancel_on_expiry != nullptr)
        connection_cancel_timer(t->cancel_on_expiry);
    if (t->cancel_self)
        connection_cancel_timer(t->self);
    if (t->stop_on_expiry)
        connection_stop_main_loop();
    return t->expired_result;
}

struct counted_watch {
    int calls = 0;
    int fd = -1;
    std::function<void(counted_watch &)> on_call;
};

int counted_watch_cb(int desc, void *arg)
{
    auto *w = static_cast<counted_watch *>(arg);
    EXPECT_EQ(desc, w->fd);
    w->calls++;
    if (w->on_call)
        w->on_call(*w);
    return 0;
}

int ignore_message(void *, int, const char *, int)
{
    return 0;
}

void count_disconnect(void *arg)
{
    ++*static_cast<int *>(arg);
}

} // namespace

// ---- time arithmetic ----

TEST(TimeArithmetic, AddingMillisecondsCarriesMicrosecondsIntoSeconds)
{
    struct timeval t = {10, 600000};
    time_add_ms(&t, 1500);
    EXPECT_EQ(t.tv_sec, 12);
    EXPECT_EQ(t.tv_usec, 100000);

    t = {0, 999000};
    time_add_ms(&t, 1);
    EXPECT_EQ(t.tv_sec, 1);
    EXPECT_EQ(t.tv_usec, 0);

    t = {5, 0};
    time_add_ms(&t, 999);
    EXPECT_EQ(t.tv_sec, 5);
    EXPECT_EQ(t.tv_usec, 999000);
}

TEST(TimeArithmetic, StartsFromTheMonotonicClockNotTheTimeOfDay)
{
    struct timeval t = {-1, 0};
    const long long before = kit::nowMs();
    time_add_ms(&t, 250);
    const long long after = kit::nowMs();
    const long long got = static_cast<long long>(t.tv_sec) * 1000 + t.tv_usec / 1000;
    EXPECT_GE(got, before + 250 - 1);
    EXPECT_LE(got, after + 250);

    struct timeval wall;
    gettimeofday(&wall, nullptr);
    EXPECT_GT(std::llabs(static_cast<long long>(wall.tv_sec) - t.tv_sec), 86400)
        << "expiries must not follow the time of day";
}

TEST(TimeArithmetic, TimeLeftIsNeverNegative)
{
    struct timeval now;
    struct timeval left;

    now = {-1, 0};
    time_add_ms(&now, 0);
    struct timeval past = {now.tv_sec - 5, now.tv_usec};
    time_left(&left, &past);
    EXPECT_EQ(left.tv_sec, 0);
    EXPECT_EQ(left.tv_usec, 0);

    // Less than a second in the past: the borrow from the seconds makes
    // them negative, which must still come out as zero.
    struct timeval just_past = now;
    just_past.tv_usec -= 300000;
    if (just_past.tv_usec < 0) {
        just_past.tv_usec += 1000000;
        just_past.tv_sec -= 1;
    }
    time_left(&left, &just_past);
    EXPECT_EQ(left.tv_sec, 0);
    EXPECT_EQ(left.tv_usec, 0);

    struct timeval future = {-1, 0};
    time_add_ms(&future, 2000);
    time_left(&left, &future);
    const long long ms = static_cast<long long>(left.tv_sec) * 1000 + left.tv_usec / 1000;
    EXPECT_LE(ms, 2000);
    EXPECT_GE(ms, 1500);
    EXPECT_GE(left.tv_usec, 0);
    EXPECT_LT(left.tv_usec, 1000000);
}

TEST(TimeArithmetic, TimerCompareRanksTheEarlierExpiryHigher)
{
    kit::runLoopIsolated([] {
        connection_clock = fake_clock;
        std::vector<std::string> log;
        logged_timer l{&log, "t", 1};
        fake_now = {5, 999500};
        connection_timer *a = connection_add_timer(1, logged_timer_cb, &l); // 6 s 500 us
        connection_timer *b = connection_add_timer(2, logged_timer_cb, &l); // 6 s 1500 us
        connection_timer *c = connection_add_timer(1, logged_timer_cb, &l); // 6 s 500 us
        fake_now = {6, 400};
        connection_timer *d = connection_add_timer(0, logged_timer_cb, &l); // 6 s 400 us
        fake_now = {5, 0};
        connection_timer *e = connection_add_timer(2000, logged_timer_cb, &l); // 7 s
        ASSERT_TRUE(a && b && c && d && e);

        EXPECT_EQ(timer_compare(a, b), 1);
        EXPECT_EQ(timer_compare(b, a), -1);
        EXPECT_EQ(timer_compare(a, c), 0);
        EXPECT_EQ(timer_compare(d, a), 1);
        EXPECT_EQ(timer_compare(a, d), -1);
        EXPECT_EQ(timer_compare(e, b), -1);
        EXPECT_EQ(timer_compare(b, e), 1);
        connection_shutdown();
    });
}

// ---- timers in the loop ----

TEST(Timers, FireInExpiryOrderAndTiesInInsertionOrder)
{
    kit::runLoopIsolated([] {
        connection_clock = fake_clock;
        std::vector<std::string> log;
        logged_timer x{&log, "X", 1}, a{&log, "A", 1}, b{&log, "B", 1}, c{&log, "C", 1}, d{&log, "D", 1};
        x.stop_on_expiry = true;
        ASSERT_NE(connection_add_timer(40, logged_timer_cb, &x), nullptr);
        ASSERT_NE(connection_add_timer(10, logged_timer_cb, &a), nullptr);
        ASSERT_NE(connection_add_timer(10, logged_timer_cb, &b), nullptr);
        ASSERT_NE(connection_add_timer(5, logged_timer_cb, &c), nullptr);
        ASSERT_NE(connection_add_timer(10, logged_timer_cb, &d), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));

        // One-shot timers (non-zero result) are released at the start of
        // the following pass, before the next one fires.
        const std::vector<std::string> expected = {"C", "C released", "A", "A released", "B",
                                                   "B released", "D", "D released", "X"};
        EXPECT_EQ(log, expected);

        connection_shutdown();
        for (const logged_timer *t : {&x, &a, &b, &c, &d}) {
            EXPECT_EQ(t->expired, 1) << t->name;
            EXPECT_EQ(t->released, 1) << t->name;
        }
    });
}

TEST(Timers, KeepTheirPhaseAfterALateFiring)
{
    kit::runLoopIsolated([] {
        struct state {
            long long t0;
            std::vector<long long> at;
        } s{kit::nowMs(), {}};
        auto cb = [](int reason, void *arg) -> int {
            auto *st = static_cast<state *>(arg);
            if (reason != TIMER_EXPIRED)
                return 0;
            st->at.push_back(kit::nowMs() - st->t0);
            if (st->at.size() == 1)
                usleep(700 * 1000); // past the second and third expiries
            if (st->at.size() == 4) {
                connection_stop_main_loop();
                return 1;
            }
            return 0;
        };
        ASSERT_NE(connection_add_timer(300, cb, &s), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));

        ASSERT_EQ(s.at.size(), 4u);
        EXPECT_GE(s.at[0], 300);
        // The expiries at 600 and 900 ms have passed: both are served at
        // once, one per pass, rather than one period after the late return.
        EXPECT_GE(s.at[1], s.at[0] + 700);
        EXPECT_LT(s.at[1], 1200);
        EXPECT_LT(s.at[2], 1200);
        // The next expiry keeps the phase of the first: 1200 ms.
        EXPECT_GE(s.at[3], 1200);
        EXPECT_LT(s.at[3], 1600);
        connection_shutdown();
    });
}

TEST(Timers, AreServedWhileADescriptorIsReadyInEveryPass)
{
    kit::runLoopIsolated(
        [] {
            pipe_fds p;
            p.fill(); // never drained: readable in every pass
            counted_watch w;
            w.fd = p.rd;
            ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
            std::vector<std::string> log;
            logged_timer tick{&log, "tick", 0}, stop{&log, "stop", 1};
            stop.stop_on_expiry = true;
            ASSERT_NE(connection_add_timer(50, logged_timer_cb, &tick), nullptr);
            ASSERT_NE(connection_add_timer(600, logged_timer_cb, &stop), nullptr);
            const long long t0 = kit::nowMs();

            EXPECT_EQ(connection_main_loop(), 0);

            EXPECT_EQ(stop.expired, 1);
            EXPECT_LT(kit::nowMs() - t0, 2000);
            // Due at 50, 100, ... 600 ms: the one at 600 ties with the stop
            // and, added first, goes first. Fewer means a firing was lost
            // or the phase slipped; more, that one pass served two.
            EXPECT_GE(tick.expired, 11);
            EXPECT_LE(tick.expired, 12);
            EXPECT_GT(w.calls, tick.expired);
            connection_shutdown();
        },
        5000);
}

TEST(Timers, CancelledFromCallbacksNeverFireAgainAndAreReleasedOnce)
{
    kit::runLoopIsolated([] {
        connection_clock = fake_clock;
        std::vector<std::string> log;
        logged_timer a{&log, "A", 0}, b{&log, "B", 0}, c{&log, "C", 1};
        c.stop_on_expiry = true;
        a.self = connection_add_timer(10, logged_timer_cb, &a);
        b.self = connection_add_timer(20, logged_timer_cb, &b);
        ASSERT_NE(connection_add_timer(50, logged_timer_cb, &c), nullptr);
        ASSERT_TRUE(a.self && b.self);
        // A cancels itself yet asks to run on, and cancels B before B is due.
        a.cancel_self = true;
        a.cancel_on_expiry = b.self;
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));

        // A was queued again behind B (both due at 20 ms) and both are
        // released when they reach the top, before C fires.
        const std::vector<std::string> expected = {"A", "B released", "A released", "C"};
        EXPECT_EQ(log, expected);
        EXPECT_EQ(a.expired, 1);
        EXPECT_EQ(b.expired, 0);

        connection_shutdown();
        EXPECT_EQ(a.released, 1);
        EXPECT_EQ(b.released, 1);
        EXPECT_EQ(c.released, 1);
    });
}

TEST(Timers, ShutdownReleasesLiveTimersEarliestFirst)
{
    kit::runLoopIsolated([] {
        connection_clock = fake_clock;
        std::vector<std::string> log;
        logged_timer a{&log, "A", 0}, b{&log, "B", 0};
        ASSERT_NE(connection_add_timer(50, logged_timer_cb, &a), nullptr);
        ASSERT_NE(connection_add_timer(10, logged_timer_cb, &b), nullptr);
        connection_shutdown();
        const std::vector<std::string> expected = {"B released", "A released"};
        EXPECT_EQ(log, expected);
    });
}

TEST(Timers, NegativePeriodIsRefusedWithAReport)
{
    kit::runLoopIsolated([] {
        std::vector<std::string> log;
        logged_timer z{&log, "Z", 1};
        z.stop_on_expiry = true;
        testing::internal::CaptureStderr();
        connection_timer *bad = connection_add_timer(-5, logged_timer_cb, &z);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(bad, nullptr);
        EXPECT_NE(err.find("*** ERROR ("), std::string::npos) << err;
        EXPECT_NE(err.find("negative period (-5 ms)"), std::string::npos) << err;

        // A zero period is a timer due at once.
        ASSERT_NE(connection_add_timer(0, logged_timer_cb, &z), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(z.expired, 1);
        connection_shutdown();
        EXPECT_EQ(z.released, 1);
    });
}

// ---- watches ----

TEST(Watches, AreServedBeforeConnectionsInOnePass)
{
    kit::runLoopIsolated([] {
        std::vector<std::string> order;
        kit::SocketPair sp;
        pipe_fds p;
        auto on_message = [](void *arg, int, const char *, int) -> int {
            auto *o = static_cast<std::vector<std::string> *>(arg);
            o->push_back("connection");
            if (o->size() == 2)
                connection_stop_main_loop();
            return 0;
        };
        connection *con = connection_create(sp.lib, on_message, nullptr, &order);
        ASSERT_NE(con, nullptr);
        connection_set_flags(con, CS_FLAG_RAW);
        counted_watch w;
        w.fd = p.rd;
        w.on_call = [&order](counted_watch &self) {
            char c;
            EXPECT_EQ(read(self.fd, &c, 1), 1);
            order.push_back("watch");
            if (order.size() == 2)
                connection_stop_main_loop();
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
        EXPECT_TRUE(kit::sendAll(sp.peer, "data"));
        p.fill();
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        const std::vector<std::string> expected = {"watch", "connection"};
        EXPECT_EQ(order, expected);
    });
}

TEST(Watches, RemovedInItsOwnCallbackIsNotCalledAgain)
{
    kit::runLoopIsolated([] {
        pipe_fds p;
        p.fill(); // never drained: readable in every pass
        counted_watch w;
        w.fd = p.rd;
        w.on_call = [](counted_watch &self) {
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr), 0);
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
        kit::Loop().run(100);
        EXPECT_EQ(w.calls, 1);
        EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, p.rd, nullptr, nullptr), -1);
    });
}

TEST(Watches, RemovedByAnEarlierCallbackOfThePassIsSkipped)
{
    kit::runLoopIsolated([] {
        pipe_fds p1, p2;
        p1.fill();
        p2.fill();
        counted_watch first, second;
        first.fd = p1.rd;
        second.fd = p2.rd;
        first.on_call = [&second](counted_watch &self) {
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, second.fd, nullptr, nullptr), 0);
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr), 0);
            connection_stop_main_loop();
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, p1.rd, counted_watch_cb, &first), 0);
        ASSERT_EQ(connection_external_input(WATCH_READ, p2.rd, counted_watch_cb, &second), 0);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(first.calls, 1);
        EXPECT_EQ(second.calls, 0);
    });
}

TEST(Watches, OnlyTheFirstOfTwoOnOneDescriptorIsServedAndEachRemovalTakesOne)
{
    kit::runLoopIsolated([] {
        pipe_fds p, other;
        p.fill();
        other.fill();
        counted_watch a, b, c;
        a.fd = b.fd = p.rd;
        c.fd = other.rd;
        a.on_call = [](counted_watch &self) {
            if (self.calls < 3)
                return;
            // Two removals in one pass: the second must take the other
            // live watch, not the one just marked.
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr), 0);
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr), 0);
            EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr), -1);
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &a), 0);
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &b), 0);
        // A ready descriptor after them: the count of ready descriptors
        // alone would not keep b from being called. It is ready in every
        // pass, so no timer could end the loop; c does.
        c.on_call = [](counted_watch &self) {
            if (self.calls == 6)
                connection_stop_main_loop();
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, other.rd, counted_watch_cb, &c), 0);

        EXPECT_EQ(connection_main_loop(), 0);
        EXPECT_EQ(a.calls, 3);
        EXPECT_EQ(b.calls, 0);
        EXPECT_EQ(c.calls, 6);
    });
}

TEST(Watches, RemovalLeavesAnotherWatchOfTheSameDescriptorServed)
{
    kit::runLoopIsolated([] {
        pipe_fds p;
        counted_watch a, b;
        a.fd = b.fd = p.rd;
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &a), 0);
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &b), 0);
        // By descriptor and mode the first goes; the descriptor stays
        // watched for the second.
        EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, p.rd, nullptr, nullptr), 0);
        b.on_call = [](counted_watch &self) {
            char c;
            EXPECT_EQ(read(self.fd, &c, 1), 1);
            connection_stop_main_loop();
        };
        p.fill();
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(a.calls, 0);
        EXPECT_EQ(b.calls, 1);
    });
}

TEST(Watches, RemovalByIdTakesThatWatchAloneAndTheLastEndsTheInterest)
{
    kit::runLoopIsolated([] {
        pipe_fds p;
        p.fill(); // never drained
        counted_watch a, b;
        a.fd = b.fd = p.rd;
        const int first = connection_add_watch(WATCH_READ, p.rd, counted_watch_cb, &a);
        const int second = connection_add_watch(WATCH_READ, p.rd, counted_watch_cb, &b);
        ASSERT_GE(first, 0);
        ASSERT_GE(second, 0);
        EXPECT_NE(first, second);
        // The later one: a removal by descriptor and mode would take a.
        EXPECT_EQ(connection_remove_watch(second), 0);
        EXPECT_EQ(connection_remove_watch(second), -1);
        EXPECT_EQ(connection_remove_watch(-1), -1);
        // The last watch of the descriptor goes from its own callback; the
        // data stays unread. Had the descriptor stayed in the interest set,
        // the next pass would find it ready with no one to serve it.
        a.on_call = [first](counted_watch &) { EXPECT_EQ(connection_remove_watch(first), 0); };
        kit::Loop().run(150);
        EXPECT_EQ(a.calls, 1);
        EXPECT_EQ(b.calls, 0);
        EXPECT_EQ(connection_external_input(WATCH_REMOVE | WATCH_READ, p.rd, nullptr, nullptr), -1);
    });
}

TEST(Watches, ExceptionWatchIsServedOnlyForOutOfBandData)
{
    kit::runLoopIsolated([] {
        kit::Listener listener;
        const int sender = kit::connectLoopback(listener.port());
        const int receiver = listener.accept(2000);
        ASSERT_GE(sender, 0);
        ASSERT_GE(receiver, 0);

        struct state {
            int sender;
            bool oob_sent = false;
            bool served_after_oob = false;
            int calls = 0;
        } s{sender};
        auto on_except = [](int desc, void *arg) -> int {
            auto *st = static_cast<state *>(arg);
            st->calls++;
            st->served_after_oob = st->oob_sent;
            connection_external_input(WATCH_REMOVE | WATCH_EXCEPT, desc, nullptr, nullptr);
            connection_stop_main_loop();
            return 0;
        };
        auto send_oob = [](int reason, void *arg) -> int {
            auto *st = static_cast<state *>(arg);
            if (reason == TIMER_EXPIRED) {
                st->oob_sent = true;
                EXPECT_EQ(send(st->sender, "!", 1, MSG_OOB), 1);
            }
            return 1;
        };
        // Ordinary data is readable, not exceptional.
        ASSERT_EQ(send(sender, "abc", 3, 0), 3);
        ASSERT_EQ(connection_external_input(WATCH_EXCEPT, receiver, on_except, &s), 0);
        ASSERT_NE(connection_add_timer(80, send_oob, &s), nullptr);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(s.calls, 1);
        EXPECT_TRUE(s.served_after_oob);
        connection_shutdown();
        close(sender);
    });
}

TEST(Watches, WithoutModeAreRefusedAndNeverReachTheLoop)
{
    kit::runLoopIsolated([] {
        pipe_fds p;
        p.fill();
        counted_watch w;
        w.fd = p.rd;
        testing::internal::CaptureStderr();
        const int added = connection_external_input(0, p.rd, counted_watch_cb, &w);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(added, -1);
        EXPECT_NE(err.find("*** ERROR ("), std::string::npos) << err;
        EXPECT_NE(err.find("Watch without a mode"), std::string::npos) << err;
        EXPECT_EQ(connection_external_input(WATCH_REMOVE, p.rd, nullptr, nullptr), -1);

        kit::Loop().run(50);
        EXPECT_EQ(w.calls, 0);
    });
}

TEST(Watches, DescriptorsBeyondTheSetSizeAreRefused)
{
    // The descriptor numbers must exist, or the refusal would prove nothing.
    const rlim_t wanted = FD_SETSIZE + 8;
    struct rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < wanted) {
        struct rlimit raised = lim;
        raised.rlim_cur = wanted;
        if (raised.rlim_max < wanted)
            raised.rlim_max = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot raise the descriptor limit to " << wanted << ": " << strerror(errno);
    }

    kit::runLoopIsolated([] {
        pipe_fds p;
        ASSERT_EQ(dup2(p.rd, FD_SETSIZE), FD_SETSIZE);
        ASSERT_EQ(dup2(p.rd, FD_SETSIZE + 5), FD_SETSIZE + 5);
        counted_watch w;
        w.fd = p.rd;

        testing::internal::CaptureStderr();
        const int watched = connection_external_input(WATCH_READ, FD_SETSIZE, counted_watch_cb, &w);
        const int watched_far = connection_external_input(WATCH_WRITE, FD_SETSIZE + 5, counted_watch_cb, &w);
        const int watched_negative = connection_external_input(WATCH_READ, -1, counted_watch_cb, &w);
        connection *con = connection_create(FD_SETSIZE, ignore_message, nullptr, nullptr);
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_EQ(watched, -1);
        EXPECT_EQ(watched_far, -1);
        EXPECT_EQ(watched_negative, -1);
        EXPECT_EQ(con, nullptr);
        EXPECT_NE(err.find("Descriptor 1024 cannot be watched"), std::string::npos) << err;
        EXPECT_NE(err.find("Descriptor 1029 cannot be watched"), std::string::npos) << err;
        EXPECT_NE(err.find("Descriptor 1024 cannot be served"), std::string::npos) << err;
        close(FD_SETSIZE);
        close(FD_SETSIZE + 5);

        // The loop still works on the descriptors it can hold.
        w.on_call = [](counted_watch &) { connection_stop_main_loop(); };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
        p.fill();
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(w.calls, 1);
    });
}

// ---- the loop itself ----

TEST(MainLoop, StopFromACallbackEndsThePassWithPurgesDoneAndStaysStopped)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        int disconnects = 0;
        connection *con = connection_create(sp.lib, ignore_message, count_disconnect, &disconnects);
        ASSERT_NE(con, nullptr);
        pipe_fds p;
        p.fill();
        counted_watch w;
        w.fd = p.rd;
        w.on_call = [con](counted_watch &self) {
            terminate_connection(con);
            connection_stop_main_loop();
            connection_external_input(WATCH_REMOVE | WATCH_READ, self.fd, nullptr, nullptr);
        };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(w.calls, 1);
        EXPECT_EQ(disconnects, 1);
        EXPECT_TRUE(kit::peerEnded(sp.peer, 2000));

        // A stopped loop stays stopped: not even a due timer runs.
        std::vector<std::string> log;
        logged_timer t{&log, "T", 1};
        ASSERT_NE(connection_add_timer(0, logged_timer_cb, &t), nullptr);
        EXPECT_EQ(connection_main_loop(), 0);
        EXPECT_EQ(t.expired, 0);
        connection_shutdown();
        EXPECT_EQ(t.released, 1);
    });
}

namespace {
volatile sig_atomic_t alarms = 0;
void on_alarm(int)
{
    alarms = alarms + 1;
}
} // namespace

TEST(MainLoop, RetriesASelectInterruptedByASignal)
{
    kit::runLoopIsolated([] {
        struct sigaction sa = {};
        sa.sa_handler = on_alarm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: select() fails with EINTR
        ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);

        kit::SocketPair sp;
        int disconnects = 0;
        connection *con = connection_create(sp.lib, ignore_message, count_disconnect, &disconnects);
        ASSERT_NE(con, nullptr);
        std::vector<std::string> log;
        logged_timer stop{&log, "stop", 1};
        stop.stop_on_expiry = true;
        ASSERT_NE(connection_add_timer(200, logged_timer_cb, &stop), nullptr);

        struct itimerval every = {{0, 5000}, {0, 5000}};
        ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
        testing::internal::CaptureStderr();
        const int result = connection_main_loop();
        const std::string err = testing::internal::GetCapturedStderr();
        struct itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);

        EXPECT_EQ(result, 0);
        EXPECT_GT(alarms, 0);
        EXPECT_EQ(stop.expired, 1);
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
        EXPECT_EQ(disconnects, 0);
        EXPECT_EQ(err.find("select"), std::string::npos) << err;
        connection_shutdown();
    });
}

TEST(MainLoop, OtherSelectFailuresTerminateEveryConnectionAndEndTheLoop)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        int disconnects = 0;
        connection *con = connection_create(sp.lib, ignore_message, count_disconnect, &disconnects);
        ASSERT_NE(con, nullptr);
        // Capturing opens descriptors of its own: before the pipe, so that
        // the closed number is not handed out again.
        testing::internal::CaptureStderr();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        counted_watch w;
        w.fd = fds[0];
        ASSERT_EQ(connection_external_input(WATCH_READ, fds[0], counted_watch_cb, &w), 0);
        close(fds[0]); // select() now fails with EBADF
        close(fds[1]);
        EXPECT_TRUE(kit::Loop().stopsItself().returning(-1).run(5000));
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_NE(err.find("        select: Bad file descriptor"), std::string::npos) << err;
        EXPECT_EQ(connection_state(con), CONNECTION_CLOSED);
        EXPECT_EQ(disconnects, 0);
        EXPECT_TRUE(kit::peerEnded(sp.peer, 2000));
    });
}

// ---- raw connections under a fast peer ----

namespace {

// What a raw connection delivered, and the passes of an always-ready watch
// in between ("W" in the log, "M" for a message).
struct raw_log {
    std::string received;
    std::string order;
    size_t expect = 0;  // bytes after which the loop is stopped
    std::function<void()> on_message;
};

int log_raw(void *arg, int msg_type, const char *data, int len)
{
    auto *l = static_cast<raw_log *>(arg);
    EXPECT_EQ(msg_type, MSG_RAW);
    EXPECT_GT(len, 0);
    EXPECT_LE(len, MSGBUFSIZE);
    l->received.append(data, static_cast<size_t>(len));
    l->order += 'M';
    if (l->on_message)
        l->on_message();
    if (l->expect > 0 && l->received.size() >= l->expect)
        connection_stop_main_loop();
    return 0;
}

} // namespace

TEST(RawReading, AFastPeerIsReadOneBlockPerPassWithTheOtherDescriptorsBetween)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        int big = 1 << 20;
        setsockopt(sp.peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        fcntl(sp.peer, F_SETFL, fcntl(sp.peer, F_GETFL) | O_NONBLOCK);
        std::string sent;
        for (int i = 0; i < 16; i++) {
            const std::string block = kit::pattern(MSGBUFSIZE, i);
            ssize_t n = write(sp.peer, block.data(), block.size());
            if (n <= 0)
                break;
            sent.append(block, 0, static_cast<size_t>(n));
        }
        if (sent.size() < static_cast<size_t>(8 * MSGBUFSIZE))
            GTEST_SKIP() << "the socket pair takes only " << sent.size() << " bytes at once";

        raw_log l;
        l.expect = sent.size();
        connection *con = connection_create(sp.lib, log_raw, nullptr, &l);
        ASSERT_NE(con, nullptr);
        connection_set_flags(con, CS_FLAG_RAW);
        pipe_fds p;
        p.fill();  // never read: the watch is served on every pass
        counted_watch w;
        w.fd = p.rd;
        w.on_call = [&l](counted_watch &) { l.order += 'W'; };
        ASSERT_EQ(connection_external_input(WATCH_READ, p.rd, counted_watch_cb, &w), 0);
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_TRUE(l.received == sent) << "first difference at " << l.received.size();
        // Watches first, then one read of the connection: a pass per block.
        std::string passes;
        for (size_t i = 0; i < l.order.size() / 2; i++)
            passes += "WM";
        EXPECT_EQ(l.order, passes);
        EXPECT_GE(l.order.size(), 2 * sent.size() / MSGBUFSIZE);
    });
}

TEST(RawReading, AFullLastBlockOnABlockingSocketDoesNotHoldUpTheLoop)
{
    kit::runLoopIsolated([] {
        kit::SocketPair sp(false);  // as an accepted socket is
        raw_log l;
        connection *con = connection_create(sp.lib, log_raw, nullptr, &l);
        ASSERT_NE(con, nullptr);
        connection_set_flags(con, CS_FLAG_RAW);
        const std::string block = kit::pattern(2 * MSGBUFSIZE, 3);
        EXPECT_TRUE(kit::sendAll(sp.peer, block));
        std::vector<std::string> log;
        logged_timer stop{&log, "stop", 1};
        stop.stop_on_expiry = true;
        ASSERT_NE(connection_add_timer(100, logged_timer_cb, &stop), nullptr);

        EXPECT_EQ(connection_main_loop(), 0);
        EXPECT_EQ(stop.expired, 1);
        EXPECT_TRUE(l.received == block);
        EXPECT_EQ(l.order, "MM");
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
        connection_shutdown();
    }, 5000);
}

TEST(RawReading, AClosingOrStoppingCallbackEndsTheReadingAtItsBlock)
{
    // Closed: nothing more is read from the descriptor, which may already
    // be closed or serve something else.
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        raw_log l;
        connection *con = connection_create(sp.lib, log_raw, nullptr, &l);
        ASSERT_NE(con, nullptr);
        connection_set_flags(con, CS_FLAG_RAW);
        l.on_message = [con] { terminate_connection(con); };
        EXPECT_TRUE(kit::sendAll(sp.peer, kit::pattern(3 * MSGBUFSIZE, 4)));
        testing::internal::CaptureStderr();
        kit::Loop().run(200);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(l.order, "M");
        EXPECT_TRUE(kit::peerEnded(sp.peer, 2000));
        EXPECT_EQ(err, "");
    });
    // Stopped: the rest stays in the socket for whoever reads on.
    kit::runLoopIsolated([] {
        kit::SocketPair sp;
        raw_log l;
        connection *con = connection_create(sp.lib, log_raw, nullptr, &l);
        ASSERT_NE(con, nullptr);
        connection_set_flags(con, CS_FLAG_RAW);
        l.on_message = [] { connection_stop_main_loop(); };
        const std::string sent = kit::pattern(3 * MSGBUFSIZE, 5);
        EXPECT_TRUE(kit::sendAll(sp.peer, sent));
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        EXPECT_EQ(l.order, "M");
        l.on_message = nullptr;
        EXPECT_EQ(connection_data_received(con), 0);
        EXPECT_EQ(connection_data_received(con), 0);
        EXPECT_TRUE(l.received == sent);
    });
}

TEST(RawReading, ARawConnectionOnAPipeIsReadWholeThroughSelect)
{
    kit::runLoopIsolated([] {
        pipe_fds p;
        raw_log l;
        const std::string sent = kit::pattern(2 * MSGBUFSIZE + 10, 6);
        l.expect = sent.size();
        connection *con = connection_create(p.rd, log_raw, nullptr, &l);
        ASSERT_NE(con, nullptr);
        p.rd = -1;  // the library's now
        connection_set_flags(con, CS_FLAG_RAW);
        EXPECT_TRUE(kit::sendAll(p.wr, sent));
        testing::internal::CaptureStderr();
        EXPECT_TRUE(kit::Loop().stopsItself().run(5000));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(l.received == sent);
        EXPECT_EQ(connection_state(con), CONNECTION_OPEN);
        EXPECT_EQ(err, "");
    });
}
