#include "FileShare.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kEmbeddedLineFeed = 0x01;  // stands for a line feed inside a text record

// An owned copy (released with free), null for null.
char* copyText(const char* text)
{
    return text != nullptr ? strdup(text) : nullptr;
}

// Value of one hexadecimal digit, -1 for any other character.
int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int clampSize(off_t size)
{
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

}  // namespace

FileShare::FileShare(const char* readPath_, const char* writePath_, int hexMode_, int skip, int reset)
    : readPos(0), readPath(nullptr), writePath(nullptr), hexMode(hexMode_), moreInput(0), carryDigit(0)
{
    memset(&lastStat, 0, sizeof lastStat);
    if (readPath_ != nullptr) {
        readPath = copyText(readPath_);
        if (skip)
            skipExisting();
    }
    if (writePath_ != nullptr) {
        writePath = copyText(writePath_);
        if (reset || outputSize() <= 0)
            resetOutput();
    }
}

FileShare::~FileShare()
{
    free(readPath);
    free(writePath);
}

void FileShare::skipExisting()
{
    readPos = 0;
    if (readPath == nullptr)
        return;
    FILE* f = fopen(readPath, "r");
    if (f == nullptr)
        return;
    struct stat st;
    if (fstat(fileno(f), &st) == 0) {
        readPos = st.st_size;
        // Remembering the size skipped lets hasInput notice a file that the
        // operator program truncates before anything new was read; otherwise
        // its new records would sit below readPos, unread, until the file grew
        // past the old end.
        lastStat = st;
    }
    fclose(f);
}

void FileShare::resetOutput()
{
    if (writePath == nullptr)
        return;
    FILE* f = fopen(writePath, "w");
    if (f == nullptr)
        return;
    fputc('\n', f);
    fclose(f);
}

bool FileShare::inputExists() const
{
    struct stat st;
    return readPath != nullptr && stat(readPath, &st) == 0;
}

bool FileShare::canWrite() const
{
    return writePath != nullptr;
}

int FileShare::inputSize() const
{
    struct stat st;
    if (readPath == nullptr || stat(readPath, &st) != 0)
        return -1;
    return clampSize(st.st_size);
}

int FileShare::outputSize() const
{
    struct stat st;
    if (writePath == nullptr || stat(writePath, &st) != 0)
        return -1;
    return clampSize(st.st_size);
}

bool FileShare::hasInput()
{
    if (readPath == nullptr)
        return false;
    if (moreInput)
        return true;
    // One stat answers both "does it exist" and "has it changed".
    struct stat st;
    if (stat(readPath, &st) != 0)
        return false;
    if (st.st_size > lastStat.st_size)
        return true;
    if (st.st_size < lastStat.st_size && lastStat.st_size != 0) {
        // Truncated or recreated: the next call reads from the start.
        lastStat = st;
        readPos = 0;
        moreInput = 1;
        carryDigit = 0;
    }
    return false;
}

int FileShare::readLine(char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = '\0';
    if (readPath == nullptr)
        return 0;
    FILE* f = fopen(readPath, "r");
    if (f == nullptr)
        return 0;

    bool gotLine = false;
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && st.st_size < readPos) {
        // Smaller than where we stand: truncated or replaced while moreInput
        // kept hasInput from looking. Taking its status now would hide the
        // shrink for good; its records start at 0.
        readPos = 0;
        carryDigit = 0;
    }
    if (fstat(fileno(f), &st) == 0 && st.st_size > readPos && size > 1
        && fseek(f, readPos, SEEK_SET) == 0 && fgets(buffer, size, f) != nullptr) {
        gotLine = true;
        long after = ftell(f);
        if (after > readPos)
            readPos = after;
        size_t n = strlen(buffer);
        if (n > 0 && buffer[n - 1] == '\n')
            buffer[n - 1] = '\0';
    }
    if (fstat(fileno(f), &st) == 0) {
        // A read that reaches the end clears moreInput, and so does finding
        // nothing to read: after a restart on an emptied file the flag would
        // otherwise keep every later tick opening the file for nothing.
        moreInput = st.st_size > readPos ? 1 : 0;
        lastStat = st;
    }
    fclose(f);

    if (!gotLine)
        return 0;
    if (hexMode)
        return decodeHex(buffer, size);
    size_t n = strlen(buffer);
    for (size_t i = 0; i < n; ++i)
        if (buffer[i] == kEmbeddedLineFeed)
            buffer[i] = '\n';
    return static_cast<int>(n);
}

int FileShare::decodeHex(char* buffer, int size)
{
    // Decoding in place is safe: every byte written lies before the digits
    // still to be read, since each byte consumes at least one new digit (the
    // first pair may start with the carried digit) and all later pairs two.
    int in = 0;
    int out = 0;
    for (;;) {
        int high;
        if (carryDigit != 0) {
            high = hexValue(static_cast<unsigned char>(carryDigit));
            carryDigit = 0;
        } else {
            if (in >= size || buffer[in] == '\0')
                break;
            high = hexValue(static_cast<unsigned char>(buffer[in]));
            if (high < 0)
                break;
            ++in;
        }
        if (in >= size || buffer[in] == '\0') {
            // The record ends inside a pair: its first digit opens the next
            // record's first pair (a long record arrives in 255-character
            // pieces).
            static const char digits[] = "0123456789abcdef";
            carryDigit = digits[high];
            break;
        }
        int low = hexValue(static_cast<unsigned char>(buffer[in]));
        if (low < 0)
            break;
        ++in;
        buffer[out++] = static_cast<char>(high << 4 | low);
    }
    buffer[out] = '\0';
    return out;
}

int FileShare::writeLine(const char* data, int length)
{
    if (writePath == nullptr || data == nullptr)
        return -1;
    if (length <= 0)
        return -2;
    std::string record;
    encodeRecord(record, data, length);
    return appendRecords(record.data(), record.size()) == 0 ? 0 : -3;
}

void FileShare::encodeRecord(std::string& records, const char* data, int length) const
{
    if (data == nullptr || length <= 0)
        return;
    if (hexMode) {
        static const char digits[] = "0123456789abcdef";
        size_t at = records.size();
        records.resize(at + 2 * static_cast<size_t>(length));
        for (int i = 0; i < length; ++i) {
            unsigned char b = static_cast<unsigned char>(data[i]);
            records[at++] = digits[b >> 4];
            records[at++] = digits[b & 0x0f];
        }
    } else {
        // The text between line feeds is copied in one piece each.
        const char* p = data;
        const char* end = data + strnlen(data, static_cast<size_t>(length));
        while (const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)))) {
            records.append(p, lf);
            records += kEmbeddedLineFeed;
            p = lf + 1;
        }
        records.append(p, end);
    }
    records += '\n';
}

size_t FileShare::encodeLines(std::string& records, const char* text, size_t length) const
{
    if (text == nullptr)
        return 0;
    const char* p = text;
    const char* end = text + (hexMode ? length : strnlen(text, length));
    size_t lines = 0;
    if (hexMode) {
        for (; p < end; ++lines) {
            const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* next = lf != nullptr ? lf + 1 : end;
            encodeRecord(records, p, static_cast<int>(next - p));
            p = next;
        }
        return lines;
    }
    // A line's own line feed is the last byte of its record's data: it
    // becomes the embedded line feed, and the record's end follows it.
    while (const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)))) {
        records.append(p, lf);
        records += kEmbeddedLineFeed;
        records += '\n';
        p = lf + 1;
        ++lines;
    }
    if (p < end) {
        records.append(p, end);
        records += '\n';
        ++lines;
    }
    return lines;
}

int FileShare::appendRecords(const char* records, size_t length)
{
    if (writePath == nullptr || records == nullptr)
        return -1;
    if (length == 0)
        return 0;
    // One write for the whole flush: the operator program never finds a
    // record cut by a buffer boundary of ours.
    int fd = open(writePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -3;
    int result = 0;
    while (length > 0) {
        ssize_t n = write(fd, records, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = -3;
            break;
        }
        records += n;
        length -= static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        result = -3;
    return result;
}
