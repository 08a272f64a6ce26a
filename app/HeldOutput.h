// HeldOutput: server output on its way to term.in, held as term.in's own
// records, and the one rule for when it is written.
//
// Output is written at the first tick that finds no new message since the
// previous tick, so that a burst reaches term.in whole; after kMaxHeldTicks
// ticks of steady output all the same; and at once when it reaches the byte
// bound, since a server that never pauses may fire no tick at all.
//
// A term.in that cannot take the output (a full disk, a quota, a read-only
// file, a path that is no regular file) leaves it held: it is tried again at
// each tick and follows in order once the file takes writes. While that
// lasts the bound holds too: the oldest held records are dropped and
// counted. Each such episode is reported on standard error when it starts,
// with what is held, and when it ends, with what was dropped.
#ifndef QUORVANE_APP_HELD_OUTPUT_H
#define QUORVANE_APP_HELD_OUTPUT_H

#include <cstddef>
#include <string>

class FileShare;

class HeldOutput {
public:
    explicit HeldOutput(size_t maxBytes);

    // One message as one record, and a block of lines as a record each.
    void add(const FileShare& files, const char* data, size_t length);
    void addLines(const FileShare& files, const char* text, size_t length);

    bool empty() const { return messages == 0; }
    size_t count() const { return messages; }
    // The held records, oldest first, each ending with its line feed.
    const std::string& records() const { return held; }

    // At the byte bound, output is written without waiting for a tick;
    // during a failed episode it waits for the tick's retry instead.
    bool dueNow() const { return messages > 0 && held.size() >= maxBytes && !failing; }
    // The tick's test: whether the held output is due now (a quiet tick,
    // the tick limit, or a retry after a failure); otherwise counts the tick.
    bool dueAtTick();

    // Appends everything held to term.in. True when all of it was written;
    // otherwise keeps what was not, within the bound, and reports.
    bool writeTo(FileShare& files);
    // A term.in that refused to be reset at start opens an episode, so that
    // its reason is told before any output waits on it.
    void noteRefused(const FileShare& files);
    // Reports what is still held as lost (the program ends without it).
    void reportLost(const FileShare& files) const;

    // Ticks a burst may be held while messages keep coming.
    static constexpr int kMaxHeldTicks = 5;

private:
    void dropBeyondBound();

    std::string held;   // records waiting for term.in, oldest first
    size_t messages;    // records in held
    size_t maxBytes;    // the byte bound
    int heldTicks;      // ticks the records have waited for a quiet one
    bool failing;       // term.in refused the latest write
    size_t dropped;     // records dropped beyond the bound in this episode

    // Messages seen at the previous tick: the output is written at the first
    // tick that finds this count unchanged. Class-wide, as the program has
    // one terminal object.
    static unsigned int lastPendingCount;
};

#endif
