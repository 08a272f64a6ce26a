// Any bytes as term.out, read record by record through FileShare, and any
// records written to term.in and read back.
//
// Reading: every result stays inside the buffer (at most size - 1 bytes,
// then a NUL) and equals a reference decoding of the same bytes: fgets-sized
// pieces up to a line feed, the data ending at a NUL byte, 0x01 standing for
// a line feed in text mode; hexadecimal pairs with one digit carried from
// piece to piece in hex mode. A read file cut shorter afterwards is noticed
// once and read again from its start.
// Writing: the written file holds exactly the encoded records behind the
// empty one of the reset, and reading it back returns every record.
//
// Input: byte 0 holds the mode (bit 0 hex, bits 1-3 the read buffer size,
// bit 4 encodeRecord and appendRecords instead of writeLine, bits 5-7 where the read file is cut
// afterwards); the rest is term.out and, read again as length-prefixed
// records, what is written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "FileShare.h"
#include "support.h"

using fuzz::fail;

namespace {

const size_t kMaxContent = 1024; // each record read costs six system calls: inputs stay short
const int kSizes[8] = {256, 2, 3, 16, 255, 257, 1024, 4097}; // 256: the terminal's buffer

// Kept open by the target from input to input (the objects under test open
// them by path, as they do the terminal's files).
fuzz::OpenScratchFile *g_out; // term.out: read
fuzz::OpenScratchFile *g_in;  // term.in: written

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The reader as described, on a copy of the file's bytes.
class Reference {
public:
    Reference(std::string file, bool hex) : file(std::move(file)), hex(hex) {}

    // One read with a buffer of size bytes: false when no line was read.
    bool read(int size, std::string &data)
    {
        data.clear();
        if (size <= 1 || pos >= file.size())
            return false;
        size_t k = 0;
        while (k < static_cast<size_t>(size - 1) && pos + k < file.size())
            if (file[pos + k++] == '\n')
                break;
        std::string line = file.substr(pos, k);
        pos += k;
        const size_t nul = line.find('\0');
        if (nul != std::string::npos)
            line.resize(nul);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!hex) {
            std::replace(line.begin(), line.end(), '\x01', '\n');
            data = line;
        } else {
            data = decode(line);
        }
        return true;
    }

    bool atEnd() const { return pos >= file.size(); }

    // The read file replaced by a shorter one: reading starts again, and
    // an odd digit of the old file never joins the new file's first pair.
    void restart(std::string shorter)
    {
        file = std::move(shorter);
        pos = 0;
        carry = -1;
    }

private:
    std::string decode(const std::string &text)
    {
        std::string out;
        size_t i = 0;
        for (;;) {
            int high;
            if (carry >= 0) {
                high = carry;
                carry = -1;
            } else {
                if (i >= text.size() || (high = hexValue(text[i])) < 0)
                    break;
                i++;
            }
            if (i >= text.size()) {
                carry = high;
                break;
            }
            const int low = hexValue(text[i]);
            if (low < 0)
                break;
            i++;
            out.push_back(static_cast<char>(high << 4 | low));
        }
        return out;
    }

    std::string file;
    bool hex;
    size_t pos = 0;
    int carry = -1; // value of the carried digit, -1 for none
};

// One readLine into a heap block of exactly size bytes, so that any write
// past it is caught; the result must stay inside and be NUL-terminated.
// The block is made once per size for the process (an allocation per read
// was a cost of its own) and filled anew before every read, so that no NUL
// of an earlier read can stand in for a missing one.
int readInto(FileShare &files, int size, std::string &data)
{
    static std::map<int, std::unique_ptr<char[]>> blocks;
    std::unique_ptr<char[]> &buffer = blocks[size];
    if (!buffer)
        buffer.reset(new char[static_cast<size_t>(size)]);
    std::memset(buffer.get(), 0x5a, static_cast<size_t>(size));
    const int n = files.readLine(buffer.get(), size);
    if (n < 0 || n > size - 1)
        fail("readLine answered more bytes than the buffer holds");
    if (buffer[static_cast<size_t>(n)] != '\0')
        fail("the decoded bytes are not NUL-terminated");
    data.assign(buffer.get(), static_cast<size_t>(n));
    return n;
}

// Reads everything the way the terminal's ticks do (hasInput, then
// readLine until it answers 0), checking each record against ref.
void readAll(FileShare &files, Reference &ref, int size, size_t bound)
{
    std::string got, want;
    size_t polls = 0;
    while (files.hasInput()) {
        if (++polls > bound)
            fail("hasInput keeps answering true with nothing left to read");
        for (;;) {
            const int n = readInto(files, size, got);
            const bool line = ref.read(size, want);
            if (got != want || (!line && n != 0))
                fail("a record differs from the reference decoding");
            if (n == 0)
                break;
        }
    }
    if (!ref.atEnd())
        fail("hasInput answered false with records left");
}

void checkReading(uint8_t mode, const std::string &whole)
{
    const bool hex = mode & 0x01;
    const int size = kSizes[(mode >> 1) & 7];
    // Every read opens the file: tiny buffers get a short file, which
    // reaches the same code as a long one.
    const std::string content = whole.substr(0, std::max<size_t>(32, 8 * static_cast<size_t>(size - 1)));
    g_out->rewrite(content);

    {
        // Records present at the start are never read.
        FileShare skipping(g_out->path().c_str(), nullptr, hex, 1, 0);
        std::string got;
        if (skipping.hasInput() || readInto(skipping, 256, got) != 0)
            fail("a record present at the start was read");
    }

    FileShare files(g_out->path().c_str(), nullptr, hex, 0, 0);
    Reference ref(content, hex);
    std::string got;
    // A buffer with room for the NUL alone reads nothing and moves nothing.
    if (readInto(files, 1, got) != 0)
        fail("a one-byte buffer read something");
    const size_t bound = content.size() + 2;
    readAll(files, ref, size, bound);

    // Cut shorter by the operator program: noticed once, read from the start.
    const size_t cut = content.size() * ((mode >> 5) & 7) / 8;
    if (cut < content.size()) {
        const std::string shorter = content.substr(0, cut);
        g_out->cut(cut); // in place: what is left is exactly shorter
        if (files.hasInput())
            fail("a shrunken read file was not noticed");
        ref.restart(shorter);
        readAll(files, ref, size, bound);
    }
}

// Length-prefixed records: a byte b gives b + 1 bytes; 0xfe an empty
// record; 0xff then c gives 256 + 8 c bytes (hex records longer than one
// read).
std::vector<std::string> cutRecords(const std::string &bytes)
{
    std::vector<std::string> records;
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t b = static_cast<uint8_t>(bytes[i++]);
        size_t length;
        if (b == 0xfe) {
            length = 0;
        } else if (b == 0xff) {
            if (i >= bytes.size())
                break;
            length = 256 + 8 * static_cast<size_t>(static_cast<uint8_t>(bytes[i++]));
        } else {
            length = b + 1u;
        }
        length = std::min(length, bytes.size() - i);
        records.push_back(bytes.substr(i, length));
        i += length;
    }
    return records;
}

std::string encode(const std::string &data, bool hex)
{
    std::string out;
    if (hex) {
        static const char digits[] = "0123456789abcdef";
        for (unsigned char c : data) {
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0f]);
        }
    } else {
        out = data.substr(0, data.find('\0'));
        std::replace(out.begin(), out.end(), '\n', '\x01');
    }
    return out + '\n';
}

void checkRoundTrip(uint8_t mode, const std::string &content)
{
    const bool hex = mode & 0x01;
    const std::vector<std::string> records = cutRecords(content);
    std::string expected = "\n"; // the reset leaves one empty record
    {
        FileShare writer(nullptr, g_in->path().c_str(), hex, 0, 1);
        if (mode & 0x10) {
            // Encoded as a flush encodes them, appended in one go.
            std::string batch;
            for (const std::string &r : records) {
                writer.encodeRecord(batch, r.data(), static_cast<int>(r.size()));
                if (!r.empty())
                    expected += encode(r, hex);
            }
            if (batch != expected.substr(1))
                fail("encodeRecord did not encode every non-empty record");
            if (writer.appendRecords(batch.data(), batch.size()) != 0)
                fail("appendRecords failed");
        } else {
            for (const std::string &r : records) {
                const int result = writer.writeLine(r.data(), static_cast<int>(r.size()));
                if (result != (r.empty() ? -2 : 0))
                    fail("writeLine answered the wrong result");
                if (!r.empty())
                    expected += encode(r, hex);
            }
        }
    }
    if (g_in->read() != expected)
        fail("the written file is not the encoded records");

    // Back through a buffer that holds any record whole: one record per
    // read; text ends at its first NUL and 0x01 comes back as a line feed.
    FileShare reader(g_in->path().c_str(), nullptr, hex, 0, 0);
    std::string got;
    const int big = static_cast<int>(2 * kMaxContent + 2);
    if (!reader.hasInput() || readInto(reader, big, got) != 0)
        fail("the empty record of the reset did not come first");
    for (const std::string &r : records) {
        if (r.empty())
            continue;
        std::string want = r;
        if (!hex) {
            want.resize(std::min(want.find('\0'), want.size()));
            std::replace(want.begin(), want.end(), '\x01', '\n');
        }
        if (!reader.hasInput())
            fail("a written record is missing");
        readInto(reader, big, got);
        if (got != want)
            fail("a record did not come back as written");
    }
    if (reader.hasInput())
        fail("more records came back than were written");

    // Through the terminal's buffer every record is read in pieces; in hex
    // mode the carried digit joins them to the bytes written.
    if (hex) {
        FileShare pieces(g_in->path().c_str(), nullptr, hex, 0, 0);
        std::string joined, all;
        for (const std::string &r : records)
            all += r;
        size_t polls = 0;
        while (pieces.hasInput() && ++polls <= expected.size() + 2)
            while (readInto(pieces, 256, got) != 0)
                joined += got;
        if (joined != all)
            fail("hex records read in pieces do not join to the bytes written");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setTarget("fuzz_file_share");
    g_out = new fuzz::OpenScratchFile("term.out");
    g_in = new fuzz::OpenScratchFile("term.in");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const std::string content(reinterpret_cast<const char *>(data + 1), std::min(size - 1, kMaxContent));
    checkReading(mode, content);
    checkRoundTrip(mode, content);
    return 0;
}
