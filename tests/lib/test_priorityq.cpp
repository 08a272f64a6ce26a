// Priority queue: order of removal, tie order, tree shape after long random
// runs against a simple model, running out of memory, the debugging dump,
// and aborting on misuse.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "priorityq.h"

namespace {

struct Item {
    int rank; // higher rank, higher priority
    int seq;  // insertion sequence, to tell equal ranks apart
};

int compare_rank(const void *a, const void *b)
{
    const int ra = static_cast<const Item *>(a)->rank;
    const int rb = static_cast<const Item *>(b)->rank;
    return ra > rb ? 1 : ra < rb ? -1 : 0;
}

// Checks every structural invariant below node and appends the real items
// in reverse in-order (right, node, left), which is the order in which the
// queue will give them up. Returns the number of empty leaves.
int check_subtree(const priorityq *pq, const pq_node *node, const pq_node *parent,
                  std::vector<const Item *> &order)
{
    EXPECT_NE(node, nullptr);
    if (node == nullptr)
        return 0;
    EXPECT_EQ(node->parent, parent);
    if (node->item == nullptr) {
        EXPECT_EQ(node->left, nullptr);
        EXPECT_EQ(node->right, nullptr);
        return 1;
    }
    EXPECT_NE(node->left, nullptr);
    EXPECT_NE(node->right, nullptr);
    if (node->left == nullptr || node->right == nullptr)
        return 0;
    if (node->right->item != nullptr) {
        EXPECT_GE(pq->eqfunc(node->right->item, node->item), 0);
    }
    if (node->left->item != nullptr) {
        EXPECT_LE(pq->eqfunc(node->left->item, node->item), 0);
    }
    int leaves = check_subtree(pq, node->right, node, order);
    order.push_back(static_cast<const Item *>(node->item));
    leaves += check_subtree(pq, node->left, node, order);
    return leaves;
}

// Whole-queue check: shape, parent links, the top being the rightmost real
// node, and the order of removal that the tree implies.
std::vector<const Item *> check_queue(const priorityq *pq)
{
    std::vector<const Item *> order;
    const int leaves = check_subtree(pq, pq->root, nullptr, order);
    EXPECT_EQ(static_cast<size_t>(leaves), order.size() + 1);
    const pq_node *rightmost = nullptr;
    for (const pq_node *n = pq->root; n != nullptr && n->item != nullptr; n = n->right)
        rightmost = n;
    EXPECT_EQ(pq->top, rightmost);
    return order;
}

// A compact picture of the tree, to show that a failed insertion changed
// nothing: the items in pre-order with the empty leaves marked.
void shape_of(const pq_node *node, std::string &out)
{
    if (node->item == nullptr) {
        out += '.';
        return;
    }
    out += '(' + std::to_string(static_cast<const Item *>(node->item)->seq);
    shape_of(node->left, out);
    shape_of(node->right, out);
    out += ')';
}

std::string shape(const priorityq *pq)
{
    std::string out;
    shape_of(pq->root, out);
    if (pq->top != nullptr)
        out += " top " + std::to_string(static_cast<const Item *>(pq->top->item)->seq);
    return out;
}

class PriorityqTest : public ::testing::Test {
protected:
    void SetUp() override { pq = priorityq_create(compare_rank); }
    void TearDown() override
    {
        priorityq_alloc = calloc;
        if (pq != nullptr)
            priorityq_destroy(pq, nullptr);
    }

    // Items live in a deque-like stable store so pointers stay valid.
    Item *make(int rank)
    {
        items.push_back(std::make_unique<Item>(Item{rank, next_seq++}));
        return items.back().get();
    }
    Item *insert(int rank)
    {
        Item *it = make(rank);
        EXPECT_EQ(priorityq_insert(pq, it), 0);
        return it;
    }
    std::vector<const Item *> drain()
    {
        std::vector<const Item *> out;
        while (void *it = priorityq_remove(pq))
            out.push_back(static_cast<const Item *>(it));
        return out;
    }

    priorityq *pq = nullptr;
    std::vector<std::unique_ptr<Item>> items;
    int next_seq = 0;
};

TEST_F(PriorityqTest, LeavesInRankOrderWithEqualRanksInInsertionOrder)
{
    Item *five = insert(5);
    Item *three_a = insert(3);
    Item *eight = insert(8);
    Item *three_b = insert(3);
    check_queue(pq);
    EXPECT_EQ(drain(), (std::vector<const Item *>{eight, five, three_a, three_b}));
}

TEST_F(PriorityqTest, ItemEqualToTheTopStaysBehindIt)
{
    Item *first = insert(7);
    insert(2);
    Item *second = insert(7);
    EXPECT_EQ(priorityq_peek(pq), first);
    EXPECT_EQ(priorityq_remove(pq), first);
    EXPECT_EQ(priorityq_peek(pq), second);
    check_queue(pq);
}

TEST_F(PriorityqTest, EmptyQueueGivesNullAndStaysASingleLeaf)
{
    EXPECT_EQ(priorityq_peek(pq), nullptr);
    EXPECT_EQ(priorityq_remove(pq), nullptr);
    EXPECT_EQ(priorityq_remove(pq), nullptr);
    ASSERT_NE(pq->root, nullptr);
    EXPECT_EQ(pq->root->item, nullptr);
    EXPECT_EQ(pq->top, nullptr);
}

TEST_F(PriorityqTest, DrainedQueueIsASingleLeafAndCanBeFilledAgain)
{
    for (int r : {4, 9, 1, 9, 6})
        insert(r);
    EXPECT_EQ(drain().size(), 5u);
    ASSERT_NE(pq->root, nullptr);
    EXPECT_EQ(pq->root->item, nullptr);
    EXPECT_EQ(pq->root->left, nullptr);
    EXPECT_EQ(pq->root->right, nullptr);
    EXPECT_EQ(pq->root->parent, nullptr);
    EXPECT_EQ(pq->top, nullptr);

    Item *low = insert(1);
    Item *high = insert(2);
    check_queue(pq);
    EXPECT_EQ(drain(), (std::vector<const Item *>{high, low}));
}

// Removal order of the model: highest rank first, equal ranks oldest first.
std::vector<const Item *> model_order(const std::multimap<int, const Item *> &model)
{
    std::vector<const Item *> out;
    auto it = model.end();
    while (it != model.begin()) {
        auto group_end = it;
        const int rank = std::prev(it)->first;
        auto group_begin = model.lower_bound(rank);
        for (auto g = group_begin; g != group_end; ++g)
            out.push_back(g->second);
        it = group_begin;
    }
    return out;
}

TEST_F(PriorityqTest, KeepsShapeAndOrderThroughRandomInsertsAndRemovals)
{
    for (unsigned seed : {1u, 7u, 2024u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        // A small range of ranks makes ties common.
        std::uniform_int_distribution<int> rank(0, 9);
        std::uniform_int_distribution<int> coin(0, 99);
        std::multimap<int, const Item *> model; // equal keys keep insertion order
        for (int step = 0; step < 1500; step++) {
            if (model.empty() || coin(rng) < 60) {
                Item *it = insert(rank(rng));
                model.emplace(it->rank, it);
            } else {
                const Item *expect = model_order(model).front();
                ASSERT_EQ(priorityq_remove(pq), expect) << "step " << step;
                auto range = model.equal_range(expect->rank);
                for (auto m = range.first; m != range.second; ++m) {
                    if (m->second == expect) {
                        model.erase(m);
                        break;
                    }
                }
            }
            if (step % 25 == 0 || model.size() < 4) {
                ASSERT_EQ(check_queue(pq), model_order(model)) << "step " << step;
                ASSERT_FALSE(HasFailure()) << "step " << step;
            }
        }
        EXPECT_EQ(drain(), model_order(model));
    }
}

// Timers ranked earliest-first, as the library keeps them.
struct Expiry {
    long sec;
    long usec;
};

int earliest_first(const void *a, const void *b)
{
    const Expiry *x = static_cast<const Expiry *>(a);
    const Expiry *y = static_cast<const Expiry *>(b);
    if (x->sec != y->sec)
        return x->sec < y->sec ? 1 : -1;
    if (x->usec != y->usec)
        return x->usec < y->usec ? 1 : -1;
    return 0;
}

TEST(PriorityqTimers, ExpiriesAddedInTimeOrderFormALeftChainWithTheEarliestOnTop)
{
    priorityq *q = priorityq_create(earliest_first);
    ASSERT_NE(q, nullptr);
    std::vector<Expiry> expiries;
    for (int i = 0; i < 200; i++)
        expiries.push_back({100 + i / 3, (i % 3) * 1000});
    for (Expiry &e : expiries)
        ASSERT_EQ(priorityq_insert(q, &e), 0);
    EXPECT_EQ(q->top, q->root);
    for (const pq_node *n = q->root; n->item != nullptr; n = n->left)
        EXPECT_EQ(n->right->item, nullptr);
    for (Expiry &e : expiries)
        ASSERT_EQ(priorityq_remove(q), &e);
    EXPECT_EQ(priorityq_peek(q), nullptr);
    priorityq_destroy(q, nullptr);
}

// Allocation seam: fail the call with this number (1 = the next call).
int calls_until_failure = 0;
void *failing_alloc(size_t count, size_t size)
{
    if (--calls_until_failure == 0)
        return nullptr;
    return calloc(count, size);
}

TEST_F(PriorityqTest, FailedInsertionLeavesTheQueueExactlyAsItWas)
{
    // One insertion needs the item's node and one new empty leaf; failing
    // either allocation must change nothing, whether the item would have
    // gone into an empty leaf's place or next to an equal item.
    for (int r : {5, 3, 8, 3, 6})
        insert(r);
    for (int failing_call : {1, 2}) {
        for (int rank : {4, 3, 8, 9}) {
            SCOPED_TRACE("call " + std::to_string(failing_call) + " rank " + std::to_string(rank));
            const std::string before = shape(pq);
            Item *it = make(rank);
            calls_until_failure = failing_call;
            priorityq_alloc = failing_alloc;
            EXPECT_EQ(priorityq_insert(pq, it), -1);
            priorityq_alloc = calloc;
            EXPECT_EQ(shape(pq), before);
            check_queue(pq);
        }
    }
    // Still a working queue afterwards.
    Item *nine = insert(9);
    EXPECT_EQ(priorityq_peek(pq), nine);
    EXPECT_EQ(drain().size(), 6u);
}

TEST(PriorityqCreate, GivesNullWhenEitherAllocationFails)
{
    for (int failing_call : {1, 2}) {
        calls_until_failure = failing_call;
        priorityq_alloc = failing_alloc;
        priorityq *q = priorityq_create(compare_rank);
        priorityq_alloc = calloc;
        EXPECT_EQ(q, nullptr) << "call " << failing_call;
        if (q != nullptr)
            priorityq_destroy(q, nullptr);
    }
}

std::vector<int> destroyed;
void record_destroyed(void *item)
{
    destroyed.push_back(item != nullptr ? static_cast<Item *>(item)->rank : -1);
}

TEST_F(PriorityqTest, DestroyVisitsEveryNodeInPostOrderIncludingTheLeaves)
{
    insert(5);
    insert(3);
    insert(8);
    destroyed.clear();
    priorityq_destroy(pq, record_destroyed);
    pq = nullptr;
    EXPECT_EQ(destroyed, (std::vector<int>{-1, -1, 3, -1, -1, 8, 5}));
}

void print_rank(const void *item)
{
    printf("%d", static_cast<const Item *>(item)->rank);
}

TEST_F(PriorityqTest, PrintOfAnEmptyQueueShowsNoneBetweenTheRules)
{
    testing::internal::CaptureStdout();
    priorityq_print(pq, print_rank);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n--------- Priority tree -----------\n"
              "\nHighest priority node =  * None *\n"
              "-----------------------------------\n\n");
}

TEST_F(PriorityqTest, PrintShowsTheTreeOnItsSideHighestFirst)
{
    insert(5);
    insert(3);
    insert(8);
    insert(9);
    testing::internal::CaptureStdout();
    priorityq_print(pq, print_rank);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n--------- Priority tree -----------\n"
              "    9\n"
              "  8\n"
              "5\n"
              "  3\n"
              "\nHighest priority node = 9\n"
              "-----------------------------------\n\n");
}

// Misuse aborts at once: the signal, not exit status 1, shows that no stack
// trace was attempted.
TEST(PriorityqDeathTest, MisuseAbortsWithoutATrace)
{
    EXPECT_EXIT(priorityq_create(nullptr), testing::KilledBySignal(SIGABRT),
                "\\*\\*\\* ASSERTION FAILED \\(priorityq.cpp, [0-9]+, priorityq_create\\):\n        eqfunc != NULL\n");
    EXPECT_EXIT(priorityq_insert(nullptr, &destroyed), testing::KilledBySignal(SIGABRT), "        pq != NULL\n");
    EXPECT_EXIT(priorityq_peek(nullptr), testing::KilledBySignal(SIGABRT), "        pq != NULL\n");
    EXPECT_EXIT(priorityq_remove(nullptr), testing::KilledBySignal(SIGABRT), "        pq != NULL\n");
    EXPECT_EXIT(priorityq_print(nullptr, nullptr), testing::KilledBySignal(SIGABRT), "        pq != NULL\n");
    EXPECT_EXIT(priorityq_destroy(nullptr, nullptr), testing::KilledBySignal(SIGABRT), "        pq != NULL\n");
    priorityq *q = priorityq_create(compare_rank);
    ASSERT_NE(q, nullptr);
    EXPECT_EXIT(priorityq_insert(q, nullptr), testing::KilledBySignal(SIGABRT), "        item != NULL\n");
    priorityq_destroy(q, nullptr);
}

TEST(PriorityqDeathTest, TopDisownedByItsParentIsAFatalError)
{
    priorityq *q = priorityq_create(compare_rank);
    ASSERT_NE(q, nullptr);
    Item a{1, 0}, b{2, 1}, c{0, 2};
    ASSERT_EQ(priorityq_insert(q, &a), 0);
    ASSERT_EQ(priorityq_insert(q, &b), 0);
    ASSERT_EQ(priorityq_insert(q, &c), 0);
    EXPECT_EXIT(
        {
            // Point the top at a parent that does not hold it.
            q->top->parent = q->root->left;
            priorityq_remove(q);
        },
        testing::KilledBySignal(SIGABRT),
        "\\*\\*\\* FATAL ERROR \\(priorityq.cpp, [0-9]+, priorityq_remove\\):\n"
        "        The parent don't want to know about his child. Shoot the programmer.\n\n");
    priorityq_destroy(q, nullptr);
}

} // namespace
