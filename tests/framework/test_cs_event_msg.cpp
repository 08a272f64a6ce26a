#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CsEventMsg.h"

namespace {

TEST(CsEventMsg, KeepsAPrivateNulTerminatedCopyOfThePayload)
{
    char source[] = {'a', 'b', 'c', 'X'};
    CsEventMsg msg(source, 3, EVENT_DATA, 7);
    source[0] = 'z';

    ASSERT_NE(msg.getData(), nullptr);
    EXPECT_NE(msg.getData(), source);
    EXPECT_EQ(msg.getLength(), 3);
    EXPECT_EQ(std::string(msg.getData(), 4), std::string("abc\0", 4));
    EXPECT_EQ(msg.getType(), EVENT_DATA);
    EXPECT_EQ(msg.getHandle(), 7);
}

TEST(CsEventMsg, CarriesEmbeddedNulBytesByLength)
{
    const char bytes[] = {'\0', 'x', '\0', 'y'};
    CsEventMsg msg(bytes, 4);
    ASSERT_EQ(msg.getLength(), 4);
    EXPECT_EQ(std::memcmp(msg.getData(), bytes, 4), 0);
    EXPECT_EQ(msg.getData()[4], '\0');
    EXPECT_EQ(msg.getType(), -1);
    EXPECT_EQ(msg.getHandle(), -1);
}

TEST(CsEventMsg, EmptyMessageHasNoBufferWhateverItWasGiven)
{
    CsEventMsg fromText("ignored", 0, EVENT_CONNECTED, 2);
    EXPECT_EQ(fromText.getData(), nullptr);
    EXPECT_EQ(fromText.getLength(), 0);
    EXPECT_EQ(fromText.getType(), EVENT_CONNECTED);

    // Neither a negative length nor a missing source may be read from.
    CsEventMsg negative("abc", -5);
    EXPECT_EQ(negative.getData(), nullptr);
    EXPECT_EQ(negative.getLength(), 0);
    CsEventMsg missing(nullptr, 12);
    EXPECT_EQ(missing.getData(), nullptr);
    EXPECT_EQ(missing.getLength(), 0);
}

TEST(CsEventMsg, CopyOutlivesItsSource)
{
    auto *source = new CsEventMsg("login:", 6, EVENT_DATA, 3);
    CsEventMsg copy(*source);
    EXPECT_NE(copy.getData(), source->getData());
    delete source;

    ASSERT_NE(copy.getData(), nullptr);
    EXPECT_STREQ(copy.getData(), "login:");
    EXPECT_EQ(copy.getLength(), 6);
    EXPECT_EQ(copy.getType(), EVENT_DATA);
    EXPECT_EQ(copy.getHandle(), 3);
}

TEST(CsEventMsg, AssignmentReplacesTheTargetAndKeepsBothIndependent)
{
    // Run under the sanitizer build, a buffer released twice or never
    // fails this test.
    auto *target = new CsEventMsg("old payload", 11, 1, 1);
    auto *source = new CsEventMsg("new", 3, EVENT_DATA, 9);
    *target = *source;
    EXPECT_NE(target->getData(), source->getData());
    delete source;
    EXPECT_STREQ(target->getData(), "new");
    EXPECT_EQ(target->getLength(), 3);
    EXPECT_EQ(target->getType(), EVENT_DATA);
    EXPECT_EQ(target->getHandle(), 9);

    CsEventMsg empty(nullptr, 0);
    *target = empty;
    EXPECT_EQ(target->getData(), nullptr);
    EXPECT_EQ(target->getLength(), 0);
    delete target;
}

TEST(CsEventMsg, SelfAssignmentKeepsThePayload)
{
    CsEventMsg msg("same", 4);
    CsEventMsg &alias = msg;
    msg = alias;
    EXPECT_STREQ(msg.getData(), "same");
    EXPECT_EQ(msg.getLength(), 4);
}

TEST(CsEventMsg, QueuedCopiesSurviveGrowthOfTheQueue)
{
    std::vector<CsEventMsg> queue;
    for (int i = 0; i < 100; ++i) {
        std::string line = "line " + std::to_string(i) + "\n";
        CsEventMsg msg(line.data(), static_cast<int>(line.size()));
        queue.push_back(msg);
    }
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(std::string(queue[static_cast<size_t>(i)].getData()), "line " + std::to_string(i) + "\n");

    CsEventMsg moved(std::move(queue.front()));
    EXPECT_STREQ(moved.getData(), "line 0\n");
    EXPECT_EQ(queue.front().getData(), nullptr);
    EXPECT_EQ(queue.front().getLength(), 0);
}

} // namespace
