// Linked list: cursor moves and removal under the cursor, the cursor stack,
// sorting once, bisection over a sorted index with holes, and the fall-back
// to a walk after an insertion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "linked_list.h"

namespace {

int compare_calls = 0;

// Items are ints; keys too.
int compare_ints(const void *a, const void *b)
{
    compare_calls++;
    const int x = *static_cast<const int *>(a);
    const int y = *static_cast<const int *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

class LinkedListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        l = llCreate();
        compare_calls = 0;
    }
    void TearDown() override { llDestroy(l); }

    void append_all(std::initializer_list<int> values)
    {
        for (int v : values) {
            store.push_back(std::make_unique<int>(v));
            llAppend(l, store.back().get());
        }
    }
    int *item(size_t i) { return store[i].get(); }

    // The items from head to tail, checking the links both ways.
    std::vector<int> contents()
    {
        std::vector<int> out;
        const ll_node *prev = nullptr;
        for (const ll_node *n = l->head; n != nullptr; n = n->next) {
            EXPECT_EQ(n->prev, prev);
            out.push_back(*static_cast<int *>(n->item));
            prev = n;
        }
        EXPECT_EQ(l->tail, prev);
        EXPECT_EQ(static_cast<size_t>(llItemCount(l)), out.size());
        return out;
    }

    linked_list *l = nullptr;
    std::vector<std::unique_ptr<int>> store;
};

TEST_F(LinkedListTest, NewListIsEmptyWithoutCursor)
{
    EXPECT_EQ(llItemCount(l), 0);
    EXPECT_EQ(llCurrent(l), nullptr);
    EXPECT_EQ(llFirst(l), nullptr);
    EXPECT_EQ(llLast(l), nullptr);
    EXPECT_EQ(l->sorted_count, 0);
    EXPECT_EQ(l->stack_ptr, 0);
}

TEST_F(LinkedListTest, PrependAndAppendInsertAtTheEndsWithoutMovingTheCursor)
{
    append_all({2, 3});
    EXPECT_EQ(llFirst(l), item(0));
    store.push_back(std::make_unique<int>(1));
    llPrepend(l, item(2));
    store.push_back(std::make_unique<int>(4));
    llAppend(l, item(3));
    EXPECT_EQ(llCurrent(l), item(0));
    EXPECT_EQ(contents(), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(LinkedListTest, CursorStopsAtBothEnds)
{
    append_all({1, 2, 3});
    EXPECT_EQ(llLast(l), item(2));
    EXPECT_EQ(llNext(l), nullptr);
    EXPECT_EQ(llCurrent(l), item(2));
    EXPECT_EQ(llPrevious(l), item(1));
    EXPECT_EQ(llPrevious(l), item(0));
    EXPECT_EQ(llPrevious(l), nullptr);
    EXPECT_EQ(llCurrent(l), item(0));
    EXPECT_EQ(llNext(l), item(1));
}

TEST_F(LinkedListTest, RemovingTheCurrentItemMovesTheCursorOnOrBackAtTheEnd)
{
    append_all({1, 2, 3});
    llFirst(l);
    llNext(l);
    llRemove(l, item(1));
    EXPECT_EQ(llCurrent(l), item(2));
    llRemove(l, item(2));
    EXPECT_EQ(llCurrent(l), item(0));
    llRemove(l, item(0));
    EXPECT_EQ(llCurrent(l), nullptr);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    EXPECT_EQ(llItemCount(l), 0);
}

TEST_F(LinkedListTest, WalkThatRemovesItsCurrentItemsVisitsEveryNodeOnce)
{
    append_all({1, 2, 3, 4, 5, 6});
    std::vector<int> visited;
    for (void *it = llFirst(l); it != nullptr;) {
        const int v = *static_cast<int *>(it);
        visited.push_back(v);
        if (v % 2 == 0) {
            llRemove(l, it);
            // Removing the last node leaves the cursor on the one before,
            // which has been visited already.
            if (v == 6)
                break;
            it = llCurrent(l);
        } else {
            it = llNext(l);
        }
    }
    EXPECT_EQ(visited, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(contents(), (std::vector<int>{1, 3, 5}));
}

TEST_F(LinkedListTest, RemoveFindsItemsAwayFromTheCursorByIdentityAndIgnoresStrangers)
{
    append_all({1, 2, 3});
    llFirst(l);
    llRemove(l, item(2));
    EXPECT_EQ(contents(), (std::vector<int>{1, 2}));

    int equal_value = 1; // same value, different item
    llFirst(l);
    llRemove(l, &equal_value);
    EXPECT_EQ(contents(), (std::vector<int>{1, 2}));
    EXPECT_EQ(llCurrent(l), item(0)) << "a stranger leaves the cursor alone";
}

// The cursor follows the removed node whichever node that was, as it does
// when the removed node is the cursor's own.
TEST_F(LinkedListTest, RemovingAnItemAwayFromTheCursorMovesTheCursorToWhereThatItemWas)
{
    struct Case {
        size_t cursor;  // node under the cursor before the removal
        size_t removed; // node removed
        int expected;   // value under the cursor afterwards
    };
    const Case cases[] = {
        {0, 2, 4}, // from the head to the node after a middle one
        {4, 1, 3}, // from the tail back to the node after an earlier one
        {0, 4, 4}, // the tail removed: the node before it
        {3, 0, 2}, // the head removed: the new head
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("cursor on " + std::to_string(c.cursor + 1) + ", " + std::to_string(c.removed + 1) +
                     " removed");
        llDestroy(l);
        l = llCreate();
        store.clear();
        append_all({1, 2, 3, 4, 5});
        llFirst(l);
        for (size_t i = 0; i < c.cursor; i++)
            llNext(l);
        llRemove(l, item(c.removed));
        ASSERT_NE(llCurrent(l), nullptr);
        EXPECT_EQ(*static_cast<int *>(llCurrent(l)), c.expected);
    }
}

TEST_F(LinkedListTest, WalkThatRemovesOtherItemsKeepsItsPlaceOnTheCursorStack)
{
    append_all({1, 2, 3, 4, 5, 6});
    // Each visited odd item removes its even neighbour further on, as a
    // callback made from inside a walk would.
    std::vector<int> visited;
    for (void *it = llFirst(l); it != nullptr; it = llNext(l)) {
        const int v = *static_cast<int *>(it);
        visited.push_back(v);
        if (v % 2 == 1) {
            llCursorPush(l);
            llRemove(l, item(static_cast<size_t>(v)));
            llCursorPop(l);
        }
    }
    EXPECT_EQ(visited, (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(contents(), (std::vector<int>{1, 3, 5}));
}

TEST_F(LinkedListTest, RemoveOfADuplicatedItemTakesTheCursorNodeFirst)
{
    int shared = 7, other = 8;
    llAppend(l, &shared);
    llAppend(l, &other);
    llAppend(l, &shared);
    llLast(l);
    llRemove(l, &shared);
    EXPECT_EQ(contents(), (std::vector<int>{7, 8}));
    EXPECT_EQ(l->head->item, &shared);
    llRemove(l, &other); // cursor was on it
    llRemove(l, &shared);
    EXPECT_EQ(llItemCount(l), 0);
}

std::vector<int> applied;
void record_applied(void *it) { applied.push_back(*static_cast<int *>(it)); }

TEST_F(LinkedListTest, ApplyVisitsHeadToTail)
{
    append_all({3, 1, 2});
    applied.clear();
    llApply(l, record_applied);
    EXPECT_EQ(applied, (std::vector<int>{3, 1, 2}));
}

TEST_F(LinkedListTest, SortRelinksInOrderKeepsTheCursorNodeAndSortsOnlyOnce)
{
    append_all({5, 1, 4, 2, 3});
    llFirst(l); // on 5
    llSort(l, compare_ints);
    EXPECT_EQ(contents(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(llCurrent(l), item(0));
    EXPECT_EQ(llNext(l), nullptr); // 5 is now last
    ASSERT_NE(l->sorted_list, nullptr);
    EXPECT_EQ(l->sorted_count, 5);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(l->sorted_list[i]->index, i);
        EXPECT_EQ(*static_cast<int *>(l->sorted_list[i]->item), i + 1);
    }
    EXPECT_EQ(l->sorted_list[5], nullptr);

    EXPECT_GT(compare_calls, 0);
    compare_calls = 0;
    ll_node **index = l->sorted_list;
    llSort(l, compare_ints);
    EXPECT_EQ(compare_calls, 0);
    EXPECT_EQ(l->sorted_list, index);
}

TEST_F(LinkedListTest, SortedListFindsByBisectionAndMovesTheCursorToTheFind)
{
    append_all({9, 3, 7, 1, 5, 11, 13});
    llSort(l, compare_ints);
    llFirst(l);
    for (int v : {1, 3, 5, 7, 9, 11, 13}) {
        compare_calls = 0;
        void *found = llFind(l, compare_ints, &v);
        ASSERT_NE(found, nullptr) << v;
        EXPECT_EQ(*static_cast<int *>(found), v);
        EXPECT_EQ(llCurrent(l), found);
        EXPECT_LE(compare_calls, 3) << v; // 7 entries: at most three halvings
    }
    void *before = llCurrent(l);
    for (int v : {0, 2, 8, 14}) {
        EXPECT_EQ(llFind(l, compare_ints, &v), nullptr) << v;
        EXPECT_EQ(llCurrent(l), before);
    }
}

// Every way of removing items from sorted lists of up to ten items: each
// remaining item must still be found and each removed one not, with a
// number of comparisons that stays logarithmic.
TEST(LinkedListHoles, BisectionSkipsHolesWhereverTheyAre)
{
    for (int n = 1; n <= 10; n++) {
        std::vector<int> values(static_cast<size_t>(n));
        for (int i = 0; i < n; i++)
            values[static_cast<size_t>(i)] = 10 * (i + 1);
        for (unsigned mask = 0; mask < (1u << n); mask++) {
            linked_list *l = llCreate();
            for (int i = n - 1; i >= 0; i--) // reverse, so the sort has work
                llAppend(l, &values[static_cast<size_t>(i)]);
            llSort(l, compare_ints);
            for (int i = 0; i < n; i++)
                if (mask & (1u << i))
                    llRemove(l, &values[static_cast<size_t>(i)]);
            for (int i = 0; i < n; i++) {
                const bool removed = (mask & (1u << i)) != 0;
                compare_calls = 0;
                void *found = llFind(l, compare_ints, &values[static_cast<size_t>(i)]);
                ASSERT_EQ(found, removed ? nullptr : &values[static_cast<size_t>(i)])
                    << "n " << n << " mask " << mask << " value " << values[static_cast<size_t>(i)];
                ASSERT_LE(compare_calls, 5) << "n " << n << " mask " << mask;
                int between = values[static_cast<size_t>(i)] + 5;
                ASSERT_EQ(llFind(l, compare_ints, &between), nullptr);
            }
            llDestroy(l);
        }
    }
}

TEST_F(LinkedListTest, AppendAfterSortFallsBackToAWalkFromTheHead)
{
    append_all({30, 10, 20});
    llSort(l, compare_ints);
    store.push_back(std::make_unique<int>(5)); // out of order, at the tail
    llAppend(l, item(3));
    EXPECT_EQ(l->sorted_list, nullptr);
    EXPECT_EQ(l->sorted_count, 0);

    int key = 5;
    compare_calls = 0;
    EXPECT_EQ(llFind(l, compare_ints, &key), item(3));
    EXPECT_EQ(compare_calls, 4); // every node, head to tail

    // Sorting again brings back bisection, with the new item in place.
    llSort(l, compare_ints);
    EXPECT_EQ(contents(), (std::vector<int>{5, 10, 20, 30}));
    compare_calls = 0;
    key = 30;
    EXPECT_EQ(llFind(l, compare_ints, &key), item(0));
    EXPECT_LE(compare_calls, 3);
}

TEST_F(LinkedListTest, FindOnAnEmptyListNeverCompares)
{
    int key = 1;
    EXPECT_EQ(llFind(l, compare_ints, &key), nullptr);
    append_all({1, 2});
    llSort(l, compare_ints);
    llRemove(l, item(0));
    llRemove(l, item(1));
    compare_calls = 0;
    EXPECT_EQ(llFind(l, compare_ints, &key), nullptr);
    EXPECT_EQ(compare_calls, 0);
}

TEST_F(LinkedListTest, EmptiedSortedListSortsAndFillsAgain)
{
    append_all({2, 1});
    llSort(l, compare_ints);
    llRemove(l, item(0));
    llRemove(l, item(1));
    llSort(l, compare_ints);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    append_all({4, 3});
    llSort(l, compare_ints);
    EXPECT_EQ(contents(), (std::vector<int>{3, 4}));
}

TEST_F(LinkedListTest, CursorStackRestoresNestedWalks)
{
    append_all({1, 2, 3});
    llFirst(l);
    llCursorPush(l);
    llLast(l);
    llCursorPush(l);
    llFirst(l);
    llCursorPop(l);
    EXPECT_EQ(llCurrent(l), item(2));
    llCursorPop(l);
    EXPECT_EQ(llCurrent(l), item(0));
    EXPECT_EQ(l->stack_ptr, 0);
}

TEST_F(LinkedListTest, CursorStackHoldsAHundredCursors)
{
    append_all({1});
    for (int i = 0; i < CURSOR_STACK_SIZE; i++)
        llCursorPush(l);
    EXPECT_EQ(l->stack_ptr, CURSOR_STACK_SIZE);
    for (int i = 0; i < CURSOR_STACK_SIZE; i++)
        llCursorPop(l);
    EXPECT_EQ(l->stack_ptr, 0);
}

TEST_F(LinkedListTest, SavedCursorOnARemovedNodeMovesLikeTheLiveCursor)
{
    append_all({1, 2, 3});
    llFirst(l);
    llNext(l);
    llCursorPush(l); // saved on 2
    llFirst(l);
    llRemove(l, item(1));
    llCursorPop(l);
    EXPECT_EQ(llCurrent(l), item(2));

    llLast(l);
    llCursorPush(l); // saved on the last node
    llFirst(l);
    llRemove(l, item(2));
    llCursorPop(l);
    EXPECT_EQ(llCurrent(l), item(0));
}

using LinkedListDeathTest = LinkedListTest;

// Failed assertions end the process through the stack-trace module, which
// has no program registered here and exits with status 1.
TEST_F(LinkedListDeathTest, CursorStackOverflowAndUnderflowAreFailedAssertions)
{
    append_all({1});
    EXPECT_EXIT(
        {
            for (int i = 0; i <= CURSOR_STACK_SIZE; i++)
                llCursorPush(l);
        },
        testing::ExitedWithCode(1),
        "\\*\\*\\* ASSERTION FAILED \\(linked_list.cpp, [0-9]+, llCursorPush\\):\n"
        "        l->stack_ptr < CURSOR_STACK_SIZE\n");
    EXPECT_EXIT(llCursorPop(l), testing::ExitedWithCode(1),
                "ASSERTION FAILED \\(linked_list.cpp, [0-9]+, llCursorPop\\):\n        l->stack_ptr > 0\n");
}

TEST_F(LinkedListDeathTest, MovingWithoutACursorIsAFailedAssertion)
{
    append_all({1});
    EXPECT_EXIT(llNext(l), testing::ExitedWithCode(1), "ASSERTION FAILED.*\n        l->current != NULL\n");
    EXPECT_EXIT(llPrevious(l), testing::ExitedWithCode(1), "ASSERTION FAILED.*\n        l->current != NULL\n");
}

void *no_memory(size_t, size_t)
{
    return nullptr;
}

// The report of a node that cannot be allocated names the insertion asked
// for, not the allocation behind it.
TEST_F(LinkedListDeathTest, NodeWithoutMemoryIsAFailedAssertionOfTheInsertion)
{
    int v = 1;
    EXPECT_EXIT(
        {
            llAlloc = no_memory;
            llAppend(l, &v);
        },
        testing::ExitedWithCode(1),
        "\\*\\*\\* ASSERTION FAILED \\(linked_list.cpp, [0-9]+, llAppend\\):\n        node != NULL\n");
    EXPECT_EXIT(
        {
            llAlloc = no_memory;
            llPrepend(l, &v);
        },
        testing::ExitedWithCode(1),
        "\\*\\*\\* ASSERTION FAILED \\(linked_list.cpp, [0-9]+, llPrepend\\):\n        node != NULL\n");
    EXPECT_EQ(llItemCount(l), 0);
}

TEST_F(LinkedListDeathTest, NullListsAndFunctionsAreFailedAssertions)
{
    int v = 1;
    EXPECT_EXIT(llAppend(nullptr, &v), testing::ExitedWithCode(1), "ASSERTION FAILED.*llAppend.*\n        l != NULL\n");
    EXPECT_EXIT(llPrepend(nullptr, &v), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llFirst(nullptr), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llCurrent(nullptr), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llRemove(nullptr, &v), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llItemCount(nullptr), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llCursorPush(nullptr), testing::ExitedWithCode(1), "        l != NULL\n");
    EXPECT_EXIT(llApply(l, nullptr), testing::ExitedWithCode(1), "        f != NULL\n");
    EXPECT_EXIT(llSort(l, nullptr), testing::ExitedWithCode(1), "        cmp_func != NULL\n");
    EXPECT_EXIT(llFind(l, nullptr, &v), testing::ExitedWithCode(1), "        cmp_func != NULL\n");
    llDestroy(nullptr); // the one operation that accepts a null list
}

} // namespace
