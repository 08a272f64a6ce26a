// Handle tables: rotation, staleness, the full-table warning, wrap-around
// of handle numbers past the largest int, and failed assertions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <syslog.h>
#include <vector>

#include "handle.h"
#include "log_capture.h"

namespace {

class HandleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        t = handle_create(4);
        ASSERT_NE(t, nullptr);
        kit::capturedLog().clear();
    }
    void TearDown() override { handle_destroy(t, nullptr); }

    void fill()
    {
        for (int i = 0; i < 4; i++)
            ASSERT_EQ(handle_add(t, &data[i]), i);
    }

    handle_table *t = nullptr;
    int data[8] = {};
};

TEST_F(HandleTest, NewTableHasEveryEntryFreeWithItsIndexAsHandle)
{
    EXPECT_EQ(t->size, 4);
    EXPECT_EQ(t->next, 0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(t->table[i].used, 0);
        EXPECT_EQ(t->table[i].handle, i);
        EXPECT_EQ(t->table[i].data, nullptr);
        EXPECT_EQ(handle_find(t, i), nullptr);
    }
}

TEST_F(HandleTest, IssuesHandlesInRotationAndRaisesAFreedEntryByTheSize)
{
    fill();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(handle_find(t, i), &data[i]);
    EXPECT_EQ(handle_remove(t, 1), 0);
    EXPECT_EQ(handle_add(t, &data[4]), 5);
    EXPECT_EQ(handle_find(t, 1), nullptr);
    EXPECT_EQ(handle_find(t, 5), &data[4]);
}

TEST_F(HandleTest, RotationMovesOnPastTheEntryJustUsed)
{
    // A freed entry is not reused at once while later ones are free.
    EXPECT_EQ(handle_add(t, &data[0]), 0);
    EXPECT_EQ(handle_remove(t, 0), 0);
    EXPECT_EQ(handle_add(t, &data[1]), 1);
    EXPECT_EQ(handle_add(t, &data[2]), 2);
    EXPECT_EQ(handle_add(t, &data[3]), 3);
    // Wraps to entry 0, whose number was raised once.
    EXPECT_EQ(handle_add(t, &data[4]), 4);
    EXPECT_EQ(t->next, 1);
}

TEST_F(HandleTest, FullTableWarnsAnswersMinusOneAndMovesTheSearchStart)
{
    fill();
    EXPECT_EQ(handle_remove(t, 2), 0);
    EXPECT_EQ(handle_add(t, &data[4]), 6); // search starts at 0, finds entry 2
    EXPECT_EQ(t->next, 3);

    testing::internal::CaptureStderr();
    EXPECT_EQ(handle_add(t, &data[5]), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, testing::MatchesRegex("\n\\*\\*\\* WARNING \\(handle.cpp, [0-9]+, handle_add\\):\n"
                                           "        There are no free handles\n\n"));
    ASSERT_FALSE(kit::capturedLog().empty());
    EXPECT_EQ(kit::capturedLog().front().priority, LOG_WARNING);

    EXPECT_EQ(t->next, 0); // the entry after the start entry 3, wrapped
    const int expected_handles[4] = {0, 1, 6, 3};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(t->table[i].used, 1);
        EXPECT_EQ(t->table[i].handle, expected_handles[i]);
    }
    EXPECT_EQ(handle_find(t, 6), &data[4]);

    // A second failure moves the start on again.
    testing::internal::CaptureStderr();
    EXPECT_EQ(handle_add(t, &data[5]), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(t->next, 1);
}

TEST_F(HandleTest, StaleHandleFindsNothingAndRemovingItWhileFreeAnswersMinusOne)
{
    fill();
    EXPECT_EQ(handle_remove(t, 1), 0);
    EXPECT_EQ(handle_find(t, 1), nullptr);
    EXPECT_EQ(handle_remove(t, 1), -1);
    EXPECT_EQ(t->table[1].handle, 5); // raised once only
    // Handles of entries that never held this number are strangers too.
    EXPECT_EQ(handle_find(t, 4 * 1000 + 2), nullptr);
    EXPECT_EQ(handle_find(t, 6), nullptr);
}

TEST_F(HandleTest, MinusOneHandleTouchesNothing)
{
    fill();
    const int next = t->next;
    EXPECT_EQ(handle_find(t, -1), nullptr);
    EXPECT_EQ(handle_remove(t, -1), -1);
    EXPECT_EQ(handle_remove(t, INT_MIN), -1);
    EXPECT_EQ(t->next, next);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(t->table[i].used, 1);
        EXPECT_EQ(t->table[i].handle, i);
        EXPECT_EQ(t->table[i].data, &data[i]);
    }
}

TEST_F(HandleTest, HandleNumberPastTheLargestIntRestartsAtTheEntryIndex)
{
    // INT_MAX is congruent to 3 modulo 4, so entry 3 can reach it exactly;
    // entry 0's number INT_MAX - 3 overflows on the next raise.
    ASSERT_EQ(INT_MAX % 4, 3);
    t->table[3].handle = INT_MAX - 4;
    t->table[0].handle = INT_MAX - 3;
    t->next = 3;

    EXPECT_EQ(handle_add(t, &data[0]), INT_MAX - 4);
    EXPECT_EQ(handle_remove(t, INT_MAX - 4), 0);
    EXPECT_EQ(t->table[3].handle, INT_MAX); // reaching INT_MAX is no overflow
    EXPECT_EQ(handle_add(t, &data[1]), INT_MAX - 3);
    EXPECT_EQ(handle_remove(t, INT_MAX - 3), 0);
    EXPECT_EQ(t->table[0].handle, 0);

    t->next = 3;
    EXPECT_EQ(handle_add(t, &data[2]), INT_MAX);
    EXPECT_EQ(handle_find(t, INT_MAX), &data[2]);
    EXPECT_EQ(handle_remove(t, INT_MAX), 0);
    EXPECT_EQ(t->table[3].handle, 3);
    t->next = 3;
    EXPECT_EQ(handle_add(t, &data[3]), 3);
    EXPECT_EQ(handle_find(t, 3), &data[3]);
}

TEST(HandleOddSize, WrapKeepsTheHandleCongruentToItsEntry)
{
    handle_table *t = handle_create(3);
    ASSERT_NE(t, nullptr);
    int d = 0;
    t->table[2].handle = INT_MAX - 2; // congruent to 2 modulo 3
    t->next = 2;
    ASSERT_EQ(handle_add(t, &d), INT_MAX - 2);
    ASSERT_EQ(handle_remove(t, INT_MAX - 2), 0);
    EXPECT_EQ(t->table[2].handle, 2);
    handle_destroy(t, nullptr);
}

std::vector<int> released;
void record_release(void *p) { released.push_back(*static_cast<int *>(p)); }

TEST(HandleDestroy, AppliesTheFunctionToStoredPointersInEntryOrder)
{
    handle_table *t = handle_create(4);
    ASSERT_NE(t, nullptr);
    int a = 1, b = 2, c = 3, d = 4, e = 5;
    handle_add(t, &a);
    handle_add(t, &b);
    handle_add(t, &c);
    handle_add(t, &d);
    handle_remove(t, 0);
    handle_remove(t, 2);
    handle_add(t, &e); // entry 0
    released.clear();
    handle_destroy(t, record_release);
    EXPECT_EQ(released, (std::vector<int>{5, 2, 4}));
}

TEST(HandleCreate, RefusesATableWithoutEntries)
{
    EXPECT_EQ(handle_create(0), nullptr);
    EXPECT_EQ(handle_create(-4), nullptr);
}

using HandleDeathTest = HandleTest;

// Failed assertions end the process through the stack-trace module, which
// has no program registered here and exits with status 1.
TEST_F(HandleDeathTest, RemovingAStaleHandleOfAReusedEntryIsAFailedAssertion)
{
    fill();
    handle_remove(t, 1);
    ASSERT_EQ(handle_add(t, &data[4]), 5);
    EXPECT_EXIT(handle_remove(t, 1), testing::ExitedWithCode(1),
                "\\*\\*\\* ASSERTION FAILED \\(handle.cpp, [0-9]+, handle_remove\\):\n"
                "        t->table\\[idx\\].handle == handle\n");
    EXPECT_EQ(handle_find(t, 5), &data[4]);
}

TEST_F(HandleDeathTest, NullTableIsAFailedAssertion)
{
    EXPECT_EXIT(handle_add(nullptr, &data[0]), testing::ExitedWithCode(1),
                "ASSERTION FAILED \\(handle.cpp, [0-9]+, handle_add\\):\n        t != NULL\n");
    EXPECT_EXIT(handle_remove(nullptr, 0), testing::ExitedWithCode(1), "        t != NULL\n");
    EXPECT_EXIT(handle_find(nullptr, 0), testing::ExitedWithCode(1), "        t != NULL\n");
    EXPECT_EXIT(handle_destroy(nullptr, nullptr), testing::ExitedWithCode(1), "        t != NULL\n");
}

} // namespace
