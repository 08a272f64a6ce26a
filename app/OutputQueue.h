// OutputQueue: the server output that waits for term.in, as a sequence of
// messages (lines or frames) kept oldest first.
//
// The bytes live in large chunks that never move, messages back to back: a
// fast server costs one copy of its bytes rather than an allocation per
// line. The messages of one block can be reserved as one contiguous run, so
// that the console shows blocks from where they are queued.
//
// A burst is held whole until the server is quiet, so its memory is the
// main cost of a fast stream. Chunks therefore grow from a small first one
// (an idle terminal stays small) to a largest size, come from the system
// already mapped in, and are kept for the next burst after a flush up to a
// bound (a spare chunk costs nothing to fill again; beyond the bound the
// memory goes back, so a burst does not leave the program large).
//
// A stretch of text lines is indexed as one entry with its line count, not
// one entry per line: the lines are cut at their line feeds again only when
// the queue is written out.
#ifndef QUORVANE_APP_OUTPUT_QUEUE_H
#define QUORVANE_APP_OUTPUT_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileShare.h"

class OutputQueue {
public:
    static constexpr size_t kFirstChunk = 64 * 1024;     // default size of the first chunk
    static constexpr size_t kLargestChunk = 1024 * 1024;  // default size that chunks grow to
    static constexpr size_t kSpareBytes = 512 * 1024;  // default bytes of chunks kept by clear

    // chunkSize: bytes of the first chunk; each further chunk doubles the
    // last one up to largestChunk (never below chunkSize). A message longer
    // than that gets a chunk of its own size. spareBytes: chunk capacity
    // that clear keeps for the next messages, the earliest used first.
    explicit OutputQueue(size_t chunkSize = kFirstChunk, size_t largestChunk = kLargestChunk,
                         size_t spareBytes = kSpareBytes);
    virtual ~OutputQueue();

    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Makes room for `bytes` contiguous bytes, so that the messages added
    // next, up to that many bytes together, lie back to back; returns where
    // the first of them will start.
    const char* reserve(size_t bytes);

    // Appends one message of `length` bytes, followed by a line feed when
    // addNewline is set (the line feed is part of the message). An empty
    // message is not queued.
    void add(const char* data, size_t length, bool addNewline = false);

    // For a run of messages reserved together: appends bytes to the run
    // without ending a message (they must fit in what was reserved), and
    // ends a message made of the last `length` bytes appended.
    void append(const char* data, size_t length);
    void endMessage(size_t length);

    // Ends `lines` messages made of the last `length` bytes appended, each
    // ending just after a line feed, except the last, which may end without
    // one. `lines` must be that count: it is what count() reports, and the
    // bytes are cut again by their line feeds when records() is called.
    void endLines(size_t length, size_t lines);

    size_t count() const { return messages; }
    bool empty() const { return messages == 0; }

    // The queued messages in order, as records whose bytes stay valid until
    // the next add or clear.
    std::vector<FileShare::Record> records() const;

    // Drops every message. Chunks up to the spare bound are kept for the
    // next messages; the others go back to the system (or the heap, for
    // small ones).
    void clear();

    // Chunk bytes held, in use or spare.
    size_t capacity() const;

private:
    struct Chunk {
        char* bytes;    // storage, never moved
        size_t size;    // capacity in bytes
        size_t used;    // bytes taken by messages
        bool mapped;    // from the system directly, else from the heap
    };

    // One index entry: either one message of any bytes, or a stretch of
    // text lines cut after each line feed.
    struct Entry {
        uint32_t length;  // bytes
        uint32_t lines;   // 0: one message; else the number of lines
    };

    Chunk& room(size_t bytes);
    Chunk newChunk(size_t bytes);
    static void freeChunk(Chunk& c);
    size_t spareCapacity() const;

    size_t firstChunk;            // size of the first chunk
    size_t largestChunk;          // size that chunks grow to
    size_t spareBytes;            // chunk capacity kept by clear
    std::vector<Chunk> chunks;    // the last one takes new messages
    std::vector<Chunk> spare;     // emptied chunks, searched from the back
    std::vector<Entry> entries;   // oldest first
    size_t messages;              // messages in entries
};

#endif
