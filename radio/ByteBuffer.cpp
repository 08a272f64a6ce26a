#include "ByteBuffer.h"

#include <cstring>

ByteBuffer::ByteBuffer()
    : bytes(new unsigned char[CAPACITY]),
      length(0)
{
}

ByteBuffer::~ByteBuffer() = default;

int ByteBuffer::append(const void *source, int n)
{
    if (n < 0 || (n > 0 && !source))
        return -1;
    // Compared as n >= CAPACITY - length so that a huge n cannot overflow.
    if (n >= CAPACITY - length)
        return -1;
    if (n > 0)
        memcpy(bytes.get() + length, source, static_cast<size_t>(n));
    length += n;
    return 0;
}

std::unique_ptr<unsigned char[]> ByteBuffer::copy() const
{
    if (length == 0)
        return nullptr;
    std::unique_ptr<unsigned char[]> result(new unsigned char[static_cast<size_t>(length)]);
    memcpy(result.get(), bytes.get(), static_cast<size_t>(length));
    return result;
}
