// OutputQueue: the server output that waits for term.in, as a sequence of
// messages (lines or frames) kept oldest first.
//
// The bytes live in large chunks that never move, messages back to back,
// with only the length of each message beside them: a fast server costs one
// copy of its bytes rather than an allocation per line. The messages of one
// block can be reserved as one contiguous run, so that the console shows
// the block in one write.
#ifndef QUORVANE_APP_OUTPUT_QUEUE_H
#define QUORVANE_APP_OUTPUT_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FileShare.h"

class OutputQueue {
public:
    // chunkSize: bytes per chunk; a message longer than that gets a chunk of
    // its own size.
    explicit OutputQueue(size_t chunkSize = 256 * 1024);
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

    size_t count() const { return lengths.size(); }
    bool empty() const { return lengths.empty(); }

    // The queued messages in order, as records whose bytes stay valid until
    // the next add or clear.
    std::vector<FileShare::Record> records() const;

    // Drops every message. The first chunk is kept for the next messages;
    // the others go back.
    void clear();

private:
    struct Chunk {
        std::unique_ptr<char[]> bytes;  // storage, never moved
        size_t size;                    // capacity in bytes
        size_t used;                    // bytes taken by messages
    };

    Chunk& room(size_t bytes);

    size_t chunkSize;               // capacity of an ordinary chunk
    std::vector<Chunk> chunks;      // the last one takes new messages
    std::vector<uint32_t> lengths;  // each message's length, oldest first
};

#endif
