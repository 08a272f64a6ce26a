// The timer queue and the handle table beside standard-library baselines
// doing the same work in the same run; compare each pair as a ratio.
//
//   Priorityq*/StdPriorityQueue*: 128 timers (earliest expiry first) put in
//   in time order or shuffled, then all taken out from the top.
//   HandleTable/StdUnorderedMap: 128 pointers added, each looked up, each
//   removed, in a table of 128 entries.
#include <benchmark/benchmark.h>

#include <sys/time.h>

#include <algorithm>
#include <queue>
#include <random>
#include <unordered_map>
#include <vector>

#include "handle.h"
#include "priorityq.h"

namespace {

constexpr int kTimers = 128;

struct BenchTimer {
    struct timeval expiry;
    int id;
};

// Earliest expiry ranks highest, as in the library's timer queue.
int timer_rank(const void *a, const void *b)
{
    const struct timeval &x = static_cast<const BenchTimer *>(a)->expiry;
    const struct timeval &y = static_cast<const BenchTimer *>(b)->expiry;
    if (x.tv_sec != y.tv_sec)
        return x.tv_sec < y.tv_sec ? 1 : -1;
    if (x.tv_usec != y.tv_usec)
        return x.tv_usec < y.tv_usec ? 1 : -1;
    return 0;
}

// The same ordering for std::priority_queue, whose top is its greatest
// element: a timer is "less" when it expires later.
struct ExpiresLater {
    bool operator()(const BenchTimer *a, const BenchTimer *b) const { return timer_rank(a, b) < 0; }
};

// Timers 7.3 ms apart, as periodic timers of different phases would be.
std::vector<BenchTimer> make_timers()
{
    std::vector<BenchTimer> timers(kTimers);
    long usec = 0;
    for (int i = 0; i < kTimers; i++) {
        timers[static_cast<size_t>(i)] = {{1000 + usec / 1000000, usec % 1000000}, i};
        usec += 7300;
    }
    return timers;
}

std::vector<BenchTimer *> insertion_order(std::vector<BenchTimer> &timers, bool shuffled)
{
    std::vector<BenchTimer *> order;
    for (BenchTimer &t : timers)
        order.push_back(&t);
    if (shuffled) {
        std::mt19937 rng(12345);
        std::shuffle(order.begin(), order.end(), rng);
    }
    return order;
}

void run_priorityq(benchmark::State &state, bool shuffled)
{
    std::vector<BenchTimer> timers = make_timers();
    const std::vector<BenchTimer *> order = insertion_order(timers, shuffled);
    priorityq *pq = priorityq_create(timer_rank);
    if (pq == nullptr) {
        state.SkipWithError("priorityq_create failed");
        return;
    }
    for (auto _ : state) {
        for (BenchTimer *t : order)
            priorityq_insert(pq, t);
        while (void *t = priorityq_remove(pq))
            benchmark::DoNotOptimize(t);
    }
    priorityq_destroy(pq, nullptr);
    state.SetItemsProcessed(state.iterations() * kTimers);
}

void run_std_priority_queue(benchmark::State &state, bool shuffled)
{
    std::vector<BenchTimer> timers = make_timers();
    const std::vector<BenchTimer *> order = insertion_order(timers, shuffled);
    std::vector<BenchTimer *> storage;
    storage.reserve(kTimers);
    std::priority_queue<BenchTimer *, std::vector<BenchTimer *>, ExpiresLater> pq(ExpiresLater(), std::move(storage));
    for (auto _ : state) {
        for (BenchTimer *t : order)
            pq.push(t);
        while (!pq.empty()) {
            benchmark::DoNotOptimize(pq.top());
            pq.pop();
        }
    }
    state.SetItemsProcessed(state.iterations() * kTimers);
}

void BM_PriorityqTimersInTimeOrder(benchmark::State &state) { run_priorityq(state, false); }
void BM_StdPriorityQueueTimersInTimeOrder(benchmark::State &state) { run_std_priority_queue(state, false); }
void BM_PriorityqTimersShuffled(benchmark::State &state) { run_priorityq(state, true); }
void BM_StdPriorityQueueTimersShuffled(benchmark::State &state) { run_std_priority_queue(state, true); }

BENCHMARK(BM_PriorityqTimersInTimeOrder);
BENCHMARK(BM_StdPriorityQueueTimersInTimeOrder);
BENCHMARK(BM_PriorityqTimersShuffled);
BENCHMARK(BM_StdPriorityQueueTimersShuffled);

constexpr int kHandles = 128;

void BM_HandleTableAddFindRemove(benchmark::State &state)
{
    handle_table *t = handle_create(kHandles);
    if (t == nullptr) {
        state.SkipWithError("handle_create failed");
        return;
    }
    std::vector<int> records(kHandles);
    std::vector<int> handles(kHandles);
    for (auto _ : state) {
        for (int i = 0; i < kHandles; i++)
            handles[static_cast<size_t>(i)] = handle_add(t, &records[static_cast<size_t>(i)]);
        for (int h : handles)
            benchmark::DoNotOptimize(handle_find(t, h));
        for (int h : handles)
            handle_remove(t, h);
    }
    handle_destroy(t, nullptr);
    state.SetItemsProcessed(state.iterations() * kHandles);
}

// The baseline issues ever-growing keys the way the table issues ever-
// growing handle numbers.
void BM_StdUnorderedMapAddFindRemove(benchmark::State &state)
{
    std::unordered_map<int, void *> map;
    map.reserve(kHandles);
    std::vector<int> records(kHandles);
    std::vector<int> handles(kHandles);
    int next_key = 0;
    for (auto _ : state) {
        for (int i = 0; i < kHandles; i++) {
            const int key = next_key++;
            map.emplace(key, &records[static_cast<size_t>(i)]);
            handles[static_cast<size_t>(i)] = key;
        }
        for (int h : handles) {
            auto it = map.find(h);
            benchmark::DoNotOptimize(it != map.end() ? it->second : nullptr);
        }
        for (int h : handles)
            map.erase(h);
        if (next_key > (1 << 30))
            next_key = 0;
    }
    state.SetItemsProcessed(state.iterations() * kHandles);
}

BENCHMARK(BM_HandleTableAddFindRemove);
BENCHMARK(BM_StdUnorderedMapAddFindRemove);

} // namespace

BENCHMARK_MAIN();
