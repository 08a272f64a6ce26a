#include "FrameSplitter.h"

#include <cstring>

namespace {
const unsigned char kEndOfFrame = 0xFD;
}

FrameSplitter::FrameSplitter(const char* data, int length) : readPos(0), size(0)
{
    if (data == nullptr || length <= 0)
        return;
    copy.reset(new char[static_cast<size_t>(length)]);
    memcpy(copy.get(), data, static_cast<size_t>(length));
    size = length;
}

FrameSplitter::~FrameSplitter() = default;

bool FrameSplitter::hasMore() const
{
    return copy != nullptr && readPos < size;
}

int FrameSplitter::next(char* buffer, int capacity)
{
    if (buffer == nullptr || capacity <= 0 || !hasMore())
        return 0;
    int copied = 0;
    while (readPos < size && copied < capacity) {
        char c = copy[static_cast<size_t>(readPos++)];
        if (static_cast<unsigned char>(c) == kEndOfFrame)
            break;
        buffer[copied++] = c;
    }
    return copied;
}
