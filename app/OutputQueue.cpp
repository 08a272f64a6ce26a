#include "OutputQueue.h"

#include <cstring>

namespace {
const size_t kLongestMessage = UINT32_MAX;
}

OutputQueue::OutputQueue(size_t chunkSize_) : chunkSize(chunkSize_ > 0 ? chunkSize_ : 1)
{
}

OutputQueue::~OutputQueue() = default;

OutputQueue::Chunk& OutputQueue::room(size_t bytes)
{
    if (chunks.empty() || chunks.back().size - chunks.back().used < bytes) {
        // An empty last chunk that is too small holds nothing worth keeping.
        if (!chunks.empty() && chunks.back().used == 0)
            chunks.pop_back();
        size_t size = bytes > chunkSize ? bytes : chunkSize;
        chunks.push_back(Chunk{std::unique_ptr<char[]>(new char[size]), size, 0});
    }
    return chunks.back();
}

const char* OutputQueue::reserve(size_t bytes)
{
    Chunk& c = room(bytes);
    return c.bytes.get() + c.used;
}

void OutputQueue::add(const char* data, size_t length, bool addNewline)
{
    size_t total = length + (addNewline ? 1 : 0);
    if (total == 0 || total > kLongestMessage || (length > 0 && data == nullptr))
        return;
    Chunk& c = room(total);
    char* at = c.bytes.get() + c.used;
    if (length > 0)
        memcpy(at, data, length);
    if (addNewline)
        at[length] = '\n';
    c.used += total;
    lengths.push_back(static_cast<uint32_t>(total));
}

void OutputQueue::append(const char* data, size_t length)
{
    Chunk& c = room(length);
    memcpy(c.bytes.get() + c.used, data, length);
    c.used += length;
}

void OutputQueue::endMessage(size_t length)
{
    if (length > 0 && length <= kLongestMessage)
        lengths.push_back(static_cast<uint32_t>(length));
}

std::vector<FileShare::Record> OutputQueue::records() const
{
    std::vector<FileShare::Record> out;
    out.reserve(lengths.size());
    // Messages never straddle chunks: walk each chunk's bytes in order.
    size_t chunk = 0;
    size_t offset = 0;
    for (uint32_t length : lengths) {
        while (chunk < chunks.size() && offset + length > chunks[chunk].used) {
            ++chunk;
            offset = 0;
        }
        if (chunk == chunks.size())
            break;
        out.push_back(FileShare::Record{chunks[chunk].bytes.get() + offset, static_cast<int>(length)});
        offset += length;
    }
    return out;
}

void OutputQueue::clear()
{
    if (chunks.size() > 1)
        chunks.erase(chunks.begin() + 1, chunks.end());
    if (!chunks.empty())
        chunks.front().used = 0;
    // A burst of lines leaves a long index behind; let it go.
    if (lengths.capacity() > 4096)
        std::vector<uint32_t>().swap(lengths);
    else
        lengths.clear();
}
