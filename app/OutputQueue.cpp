#include "OutputQueue.h"

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const size_t kLongestMessage = UINT32_MAX;

// Chunks from this size up are mapped from the system directly rather than
// taken from the heap: they come back whole on release (a heap may keep a
// freed block that something above it pins), and they can be mapped in at
// once, which spares one page fault per page as a burst fills them.
const size_t kMappedChunk = 64 * 1024;

size_t pageSize()
{
    static const size_t size = [] {
        long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : static_cast<size_t>(4096);
    }();
    return size;
}

}  // namespace

OutputQueue::OutputQueue(size_t chunkSize_, size_t largestChunk_, size_t spareBytes_)
    : firstChunk(chunkSize_ > 0 ? chunkSize_ : 1),
      largestChunk(largestChunk_ > firstChunk ? largestChunk_ : firstChunk),
      spareBytes(spareBytes_),
      messages(0)
{
}

OutputQueue::~OutputQueue()
{
    for (Chunk& c : chunks)
        freeChunk(c);
    for (Chunk& c : spare)
        freeChunk(c);
}

OutputQueue::Chunk OutputQueue::newChunk(size_t bytes)
{
    if (bytes >= kMappedChunk) {
        const size_t page = pageSize();
        size_t size = (bytes + page - 1) / page * page;
        // MAP_POPULATE: the chunk is about to be filled from its start, and a
        // burst fills chunk after chunk, so its pages are taken in one go.
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p != MAP_FAILED)
            return Chunk{static_cast<char*>(p), size, 0, true};
        // The heap may still have room where the system would not map more.
    }
    return Chunk{new char[bytes], bytes, 0, false};
}

void OutputQueue::freeChunk(Chunk& c)
{
    if (c.bytes == nullptr)
        return;
    if (c.mapped)
        munmap(c.bytes, c.size);
    else
        delete[] c.bytes;
    c.bytes = nullptr;
}

OutputQueue::Chunk& OutputQueue::room(size_t bytes)
{
    if (!chunks.empty() && chunks.back().size - chunks.back().used >= bytes)
        return chunks.back();

    // Each chunk doubles the last one, so that a burst needs few of them and
    // a quiet terminal keeps only a small one.
    size_t size = firstChunk;
    if (!chunks.empty()) {
        size_t last = chunks.back().size;
        size = last >= largestChunk / 2 ? largestChunk : last * 2;
        if (size < firstChunk)
            size = firstChunk;
    }
    if (size < bytes)
        size = bytes;

    // An empty last chunk that is too small holds nothing; it waits among
    // the spares for smaller messages.
    if (!chunks.empty() && chunks.back().used == 0) {
        if (spareCapacity() + chunks.back().size <= spareBytes)
            spare.push_back(chunks.back());
        else
            freeChunk(chunks.back());
        chunks.pop_back();
    }

    // A spare chunk large enough is filled again without new memory. The
    // search starts at the back, where clear leaves the earliest used.
    for (size_t i = spare.size(); i-- > 0;) {
        if (spare[i].size >= bytes) {
            Chunk c = spare[i];
            spare.erase(spare.begin() + static_cast<std::ptrdiff_t>(i));
            c.used = 0;
            chunks.push_back(c);
            return chunks.back();
        }
    }

    chunks.push_back(newChunk(size));
    return chunks.back();
}

const char* OutputQueue::reserve(size_t bytes)
{
    Chunk& c = room(bytes);
    return c.bytes + c.used;
}

void OutputQueue::add(const char* data, size_t length, bool addNewline)
{
    size_t total = length + (addNewline ? 1 : 0);
    if (total == 0 || total > kLongestMessage || (length > 0 && data == nullptr))
        return;
    Chunk& c = room(total);
    char* at = c.bytes + c.used;
    if (length > 0)
        memcpy(at, data, length);
    if (addNewline)
        at[length] = '\n';
    c.used += total;
    entries.push_back(Entry{static_cast<uint32_t>(total), 0});
    ++messages;
}

void OutputQueue::append(const char* data, size_t length)
{
    if (length == 0)
        return;
    Chunk& c = room(length);
    memcpy(c.bytes + c.used, data, length);
    c.used += length;
}

void OutputQueue::endMessage(size_t length)
{
    if (length > 0 && length <= kLongestMessage) {
        entries.push_back(Entry{static_cast<uint32_t>(length), 0});
        ++messages;
    }
}

void OutputQueue::endLines(size_t length, size_t lines)
{
    if (length == 0 || lines == 0 || length > kLongestMessage || lines > length)
        return;
    entries.push_back(Entry{static_cast<uint32_t>(length), static_cast<uint32_t>(lines)});
    messages += lines;
}

std::vector<FileShare::Record> OutputQueue::records() const
{
    std::vector<FileShare::Record> out;
    out.reserve(messages);
    // Entries never straddle chunks: walk each chunk's bytes in order.
    size_t chunk = 0;
    size_t offset = 0;
    for (const Entry& e : entries) {
        while (chunk < chunks.size() && offset + e.length > chunks[chunk].used) {
            ++chunk;
            offset = 0;
        }
        if (chunk == chunks.size())
            break;
        const char* at = chunks[chunk].bytes + offset;
        offset += e.length;
        if (e.lines == 0) {
            out.push_back(FileShare::Record{at, static_cast<int>(e.length)});
            continue;
        }
        const char* end = at + e.length;
        while (at < end) {
            const char* nl = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
            const char* next = nl != nullptr ? nl + 1 : end;
            out.push_back(FileShare::Record{at, static_cast<int>(next - at)});
            at = next;
        }
    }
    return out;
}

void OutputQueue::clear()
{
    // Chunks are kept in the order they were used while they fit the bound:
    // the small early ones, which the next messages take first.
    size_t kept = spareCapacity();
    std::vector<Chunk> keep;
    for (Chunk& c : chunks) {
        if (kept + c.size <= spareBytes) {
            kept += c.size;
            keep.push_back(c);
        } else {
            freeChunk(c);
        }
    }
    chunks.clear();
    for (size_t i = keep.size(); i-- > 0;)
        spare.push_back(keep[i]);

    // A burst of messages leaves a long index behind; let it go.
    if (entries.capacity() > 4096)
        std::vector<Entry>().swap(entries);
    else
        entries.clear();
    messages = 0;
}

size_t OutputQueue::spareCapacity() const
{
    size_t total = 0;
    for (const Chunk& c : spare)
        total += c.size;
    return total;
}

size_t OutputQueue::capacity() const
{
    size_t total = spareCapacity();
    for (const Chunk& c : chunks)
        total += c.size;
    return total;
}
