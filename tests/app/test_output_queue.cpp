// The output queue's line stretches and its memory: what a burst leaves
// behind, what the next burst takes again.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "OutputQueue.h"

namespace {

std::string joined(const OutputQueue& q)
{
    std::string all;
    for (const FileShare::Record& r : q.records())
        all += "[" + std::string(r.data, static_cast<size_t>(r.length)) + "]";
    return all;
}

// Appends text as one reserved stretch of `lines` lines.
void addStretch(OutputQueue& q, const std::string& text, size_t lines)
{
    q.reserve(text.size());
    q.append(text.data(), text.size());
    q.endLines(text.size(), lines);
}

TEST(OutputQueueStretchTest, AStretchIsCutAtEachLineFeedWhileAMessageStaysWhole)
{
    OutputQueue q(64);
    q.add("x\ny", 3);                 // a frame that happens to hold a line feed
    addStretch(q, "a\nbb\nc", 3);     // the last line has no line feed yet
    addStretch(q, "\ndd\n", 2);       // its line feed, then a whole line
    q.add("z\n", 2);
    EXPECT_EQ(7u, q.count());
    EXPECT_EQ("[x\ny][a\n][bb\n][c][\n][dd\n][z\n]", joined(q));
}

TEST(OutputQueueStretchTest, StretchesInSeveralChunksComeBackInOrder)
{
    OutputQueue q(16, 32);
    std::string want;
    for (int i = 0; i < 40; ++i) {
        std::string text = "line" + std::to_string(i) + "\nnext" + std::to_string(i) + "\n";
        addStretch(q, text, 2);
        want += "[line" + std::to_string(i) + "\n][next" + std::to_string(i) + "\n]";
    }
    EXPECT_EQ(80u, q.count());
    EXPECT_EQ(want, joined(q));
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_TRUE(q.records().empty());
}

// ---------------------------------------------------------------- memory

TEST(OutputQueueMemoryTest, AQuietQueueHoldsOnlyItsFirstChunk)
{
    OutputQueue q;
    EXPECT_EQ(0u, q.capacity()) << "nothing is taken before the first message";
    q.add("one line\n", 9);
    EXPECT_EQ(OutputQueue::kFirstChunk, q.capacity());
    q.clear();
    q.add("another\n", 8);
    EXPECT_EQ(OutputQueue::kFirstChunk, q.capacity());
}

TEST(OutputQueueMemoryTest, ABurstTakesLittleMoreThanItsBytesAndGivesTheRestBackAtClear)
{
    OutputQueue q;
    const std::string block(8192, 'q');
    const size_t blocks = 2048;  // 16 MiB, as a fast server sends it
    for (size_t i = 0; i < blocks; ++i) {
        q.reserve(block.size());
        q.append(block.data(), block.size());
        q.endMessage(block.size());
    }
    const size_t held = block.size() * blocks;
    EXPECT_GE(q.capacity(), held);
    EXPECT_LE(q.capacity(), held + OutputQueue::kLargestChunk) << "chunks grew too far ahead of the burst";
    const std::vector<FileShare::Record> records = q.records();
    ASSERT_EQ(blocks, records.size());
    EXPECT_EQ(0, memcmp(records.back().data, block.data(), block.size()));

    q.clear();
    EXPECT_LE(q.capacity(), OutputQueue::kSpareBytes) << "a burst left the queue large";
    EXPECT_GT(q.capacity(), 0u) << "nothing kept for the next burst";
}

TEST(OutputQueueMemoryTest, KeptChunksAreFilledAgainWithoutTakingNewOnes)
{
    OutputQueue q(1024, 4096, 8192);  // chunks of 1, 2, 4 KiB: 7 KiB, within the bound
    const std::string text(100, 'm');
    const char* first = q.reserve(text.size());
    for (int i = 0; i < 60; ++i)
        q.add(text.data(), text.size());
    const size_t burst = q.capacity();
    EXPECT_EQ(7168u, burst);
    q.clear();
    EXPECT_EQ(burst, q.capacity());

    EXPECT_EQ(first, q.reserve(text.size())) << "the earliest chunk is taken first";
    for (int i = 0; i < 60; ++i)
        q.add(text.data(), text.size());
    EXPECT_EQ(burst, q.capacity());
    const std::vector<FileShare::Record> again = q.records();
    ASSERT_EQ(60u, again.size());
    EXPECT_EQ(text, std::string(again.back().data, static_cast<size_t>(again.back().length)));

    // A message too long for the smaller kept chunks goes to the one that
    // holds it, whole, and takes nothing new.
    q.clear();
    const std::string longer(3000, 'L');
    q.add(longer.data(), longer.size());
    q.add("after", 5);
    EXPECT_EQ(burst, q.capacity());
    EXPECT_EQ("[" + longer + "][after]", joined(q));
}

TEST(OutputQueueMemoryTest, ChunksBeyondTheBoundGoBackAndAMessageLongerThanAnyChunkStaysWhole)
{
    OutputQueue q(16, 64, 48);
    q.add("head", 4);
    const std::string big(1000, 'B');
    q.add(big.data(), big.size());
    // A run reserved beyond the largest chunk lies back to back in one piece.
    const std::string run = "r1\nr2\nr3";
    const std::string longRun = run + std::string(200, '-') + "\n";
    const char* at = q.reserve(longRun.size());
    q.append(longRun.data(), longRun.size());
    q.endLines(longRun.size(), 3);
    EXPECT_EQ(0, memcmp(at, longRun.data(), longRun.size()));
    EXPECT_EQ("[head][" + big + "][r1\n][r2\n][r3" + std::string(200, '-') + "\n]", joined(q));

    q.clear();
    EXPECT_LE(q.capacity(), 48u);
    q.add("tail", 4);
    EXPECT_EQ("[tail]", joined(q));
}

}  // namespace
