// A fixed collection buffer of 256 bytes for frames gathered between two
// ticks. It never holds more than 255 bytes: an append that would reach 256
// is refused whole, so earlier frames stay as they were.
#ifndef QUORVANE_BYTEBUFFER_H
#define QUORVANE_BYTEBUFFER_H

#include <memory>

class ByteBuffer {
public:
    static constexpr int CAPACITY = 256; // bytes of the array; at most CAPACITY - 1 are held

    ByteBuffer();
    virtual ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // 0 after appending n bytes; -1, appending nothing, when length + n
    // would reach CAPACITY or more, when n is negative or when n bytes are
    // asked for from a null pointer.
    int append(const void *bytes, int n);
    int size() const { return length; }
    // A new array with the collected bytes; none when empty.
    std::unique_ptr<unsigned char[]> copy() const;
    void clear() { length = 0; }

private:
    std::unique_ptr<unsigned char[]> bytes; // CAPACITY bytes
    int length;                             // bytes held, 0 to CAPACITY - 1
};

#endif
