#include "FileShare.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kEmbeddedLineFeed = 0x01;  // stands for a line feed inside a text record
const size_t kReadChunk = 64u << 10;  // bytes of term.out read at a time

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

// What a path that is no regular file is, for a report.
const char* kindOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFIFO:
        return "a FIFO";
    case S_IFDIR:
        return "a directory";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    case S_IFSOCK:
        return "a socket";
    default:
        return "not a regular file";
    }
}

// Opens path for writing when it is a regular file or missing (created).
// A FIFO would block the open until a reader came, a device or a directory
// would take records it cannot keep: they are refused, with problem set to
// what the path is. -1 on any failure, with problem set.
int openOutput(const char* path, int flags, std::string& problem)
{
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        problem = std::string("is ") + kindOf(st.st_mode) + ", not a regular file";
        return -1;
    }
    // Non-blocking all the same: the path may change between the two looks.
    int fd = open(path, flags | O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        problem = strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = std::string("is ") + kindOf(st.st_mode) + ", not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

char* FileShare::copyText(const char* text)
{
    return text != nullptr ? strdup(text) : nullptr;
}

FileShare::FileShare(const char* readPath_, const char* writePath_, int hexMode_, int skip, int reset)
    : readPos(0), readPath(nullptr), writePath(nullptr), hexMode(hexMode_), moreInput(0), carryDigit(0),
      reportedKind(0)
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
    struct stat st;
    int fd = openInput(st);
    if (fd < 0)
        return;
    readPos = st.st_size;
    // Remembering the file skipped lets hasInput notice one that the
    // operator program truncates or replaces before anything new was read;
    // otherwise its new records would sit below readPos, unread.
    lastStat = st;
    close(fd);
}

void FileShare::resetOutput()
{
    if (writePath == nullptr)
        return;
    // Truncated through the descriptor, once it is known to be a regular
    // file: opening with O_TRUNC would act on whatever the path is.
    int fd = openOutput(writePath, 0, writeError);
    if (fd < 0)
        return;
    if (ftruncate(fd, 0) != 0 || write(fd, "\n", 1) != 1)
        writeError = strerror(errno);
    else
        writeError.clear();
    close(fd);
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

bool FileShare::regularInput(const struct stat& st)
{
    if (S_ISREG(st.st_mode)) {
        reportedKind = 0;
        return true;
    }
    if (reportedKind != static_cast<int>(st.st_mode & S_IFMT)) {
        reportedKind = static_cast<int>(st.st_mode & S_IFMT);
        fprintf(stderr, "%s is %s, not a regular file: not read until it is one\n", readPath, kindOf(st.st_mode));
    }
    return false;
}

bool FileShare::sameFile(const struct stat& st) const
{
    // Nothing known yet (the file was missing): any file is the one.
    return lastStat.st_ino == 0 || (st.st_dev == lastStat.st_dev && st.st_ino == lastStat.st_ino);
}

int FileShare::openInput(struct stat& st)
{
    // A look before the open: opening a device can act on it.
    if (stat(readPath, &st) != 0) {
        reportedKind = 0;
        return -1;
    }
    if (!regularInput(st))
        return -1;
    // Non-blocking: the path may have become a FIFO since the look.
    int fd = open(readPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !regularInput(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool FileShare::hasInput()
{
    std::string why;
    if (readPath == nullptr || (filesGate && !filesGate(why)))
        return false;
    // One stat answers "does it exist", "is it a file" and "has it changed".
    struct stat st;
    if (stat(readPath, &st) != 0) {
        reportedKind = 0;
        return false;
    }
    if (!regularInput(st))
        return false;
    if (!sameFile(st)) {
        // Another file in its place, whatever its size: read from its start.
        lastStat = st;
        readPos = 0;
        carryDigit = 0;
        moreInput = st.st_size > 0 ? 1 : 0;
        return moreInput != 0;
    }
    // A shrink is looked for first: records still waiting (moreInput) must
    // not hide a file cut in place, or the records appended after the cut
    // would be read from the old position once they reach it.
    if (st.st_size < lastStat.st_size && lastStat.st_size != 0) {
        // Truncated: the next call reads from the start.
        lastStat = st;
        readPos = 0;
        moreInput = 1;
        carryDigit = 0;
        return false;
    }
    return moreInput || st.st_size > lastStat.st_size;
}

size_t FileShare::takeRecords(const Take& take, int pieceChars)
{
    std::string why;
    if (readPath == nullptr || pieceChars < 1 || (filesGate && !filesGate(why)))
        return 0;
    struct stat st;
    int fd = openInput(st);
    if (fd < 0)
        return 0;
    if (!sameFile(st) || st.st_size < readPos) {
        // Replaced, or smaller than where we stand, while moreInput kept
        // hasInput from looking: its records start at 0.
        readPos = 0;
        carryDigit = 0;
    }

    // The file is read in chunks; a piece (at most pieceChars characters,
    // up to and with its line feed) always lies within one. The buffer is
    // kept: a tick that takes a record or two costs no allocation.
    size_t chunkLength = 0;
    off_t chunkAt = 0;
    std::string piece;
    size_t taken = 0;
    while (readPos < st.st_size) {
        const size_t want = static_cast<size_t>(std::min<off_t>(pieceChars, st.st_size - readPos));
        if (readPos < chunkAt || readPos + static_cast<off_t>(want) > chunkAt + static_cast<off_t>(chunkLength)) {
            // No larger than what the file holds past here: a short
            // term.out needs no 64 KiB buffer.
            const size_t size = std::max(want, std::min(kReadChunk, static_cast<size_t>(st.st_size - readPos)));
            if (readChunk.size() < size)
                readChunk.resize(size);
            ssize_t n = pread(fd, readChunk.data(), size, readPos);
            if (n <= 0) {
                chunkLength = 0;
                break;
            }
            chunkLength = static_cast<size_t>(n);
            chunkAt = readPos;
        }
        const char* from = readChunk.data() + (readPos - chunkAt);
        const size_t have = std::min(want, chunkLength - static_cast<size_t>(readPos - chunkAt));
        const char* lf = static_cast<const char*>(memchr(from, '\n', have));
        const size_t length = lf != nullptr ? static_cast<size_t>(lf - from) + 1 : have;

        piece.assign(from, lf != nullptr ? length - 1 : length);
        const char carryBefore = carryDigit;
        int n;
        if (hexMode) {
            n = decodeHex(&piece[0], static_cast<int>(piece.size()), carryDigit);
            piece.resize(static_cast<size_t>(n));
        } else {
            // The data ends at its first NUL, as any text does.
            piece.resize(strnlen(piece.c_str(), piece.size()));
            for (char& c : piece)
                if (c == kEmbeddedLineFeed)
                    c = '\n';
            n = static_cast<int>(piece.size());
        }
        if (!take(piece.c_str(), n)) {
            carryDigit = carryBefore;
            break;
        }
        readPos += static_cast<off_t>(length);
        ++taken;
    }
    // A call that reaches the end clears moreInput, and so does finding
    // nothing to read: after a restart on an emptied file the flag would
    // otherwise keep every later call opening the file for nothing.
    moreInput = st.st_size > readPos ? 1 : 0;
    lastStat = st;
    close(fd);
    return taken;
}

int FileShare::readLine(char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = '\0';
    int got = -1;
    takeRecords(
        [&](const char* data, int n) {
            if (got >= 0)
                return false;
            memcpy(buffer, data, static_cast<size_t>(n) + 1);
            got = n;
            return true;
        },
        size - 1);
    return got > 0 ? got : 0;
}

void FileShare::unread(size_t& records, size_t& bytes)
{
    records = 0;
    bytes = 0;
    std::string why;
    if (readPath == nullptr || (filesGate && !filesGate(why)))
        return;
    struct stat st;
    int fd = openInput(st);
    if (fd < 0)
        return;
    off_t at = sameFile(st) && st.st_size >= readPos ? readPos : 0;
    bytes = static_cast<size_t>(st.st_size - at);
    char buffer[kReadChunk];
    bool unterminated = false;  // the last byte read was no line feed
    ssize_t n;
    while (at < st.st_size && (n = pread(fd, buffer, sizeof buffer, at)) > 0) {
        for (const char* p = buffer; (p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(buffer + n - p)))) != nullptr; ++p)
            ++records;
        unterminated = buffer[n - 1] != '\n';
        at += n;
    }
    if (unterminated)
        ++records;
    close(fd);
}

std::string FileShare::decodeRecord(const char* record, size_t length) const
{
    std::string data(record != nullptr ? record : "", record != nullptr ? length : 0);
    if (hexMode) {
        char carry = 0;
        data.resize(static_cast<size_t>(decodeHex(&data[0], static_cast<int>(data.size()), carry)));
    } else {
        for (char& c : data)
            if (c == kEmbeddedLineFeed)
                c = '\n';
    }
    return data;
}

int FileShare::decodeHex(char* buffer, int size, char& carry)
{
    // Decoding in place is safe: every byte written lies before the digits
    // still to be read, since each byte consumes at least one new digit (the
    // first pair may start with the carried digit) and all later pairs two.
    int in = 0;
    int out = 0;
    for (;;) {
        int high;
        if (carry != 0) {
            high = hexValue(static_cast<unsigned char>(carry));
            carry = 0;
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
            carry = kHexDigits[high];
            break;
        }
        int low = hexValue(static_cast<unsigned char>(buffer[in]));
        if (low < 0)
            break;
        ++in;
        buffer[out++] = static_cast<char>(high << 4 | low);
    }
    if (out < size)
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
        size_t at = records.size();
        records.resize(at + 2 * static_cast<size_t>(length));
        for (int i = 0; i < length; ++i) {
            unsigned char b = static_cast<unsigned char>(data[i]);
            records[at++] = kHexDigits[b >> 4];
            records[at++] = kHexDigits[b & 0x0f];
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

int FileShare::appendRecords(const char* records, size_t length, size_t* written)
{
    if (written != nullptr)
        *written = 0;
    if (writePath == nullptr || records == nullptr)
        return -1;
    if (length == 0)
        return 0;
    if (filesGate && !filesGate(writeError))
        return -3;
    // One write for the whole flush: the operator program never finds a
    // record cut by a buffer boundary of ours.
    int fd = openOutput(writePath, O_APPEND, writeError);
    if (fd < 0)
        return -3;
    struct stat st;
    const off_t start = fstat(fd, &st) == 0 ? st.st_size : -1;
    size_t done = 0;
    int error = 0;
    while (done < length) {
        ssize_t n = write(fd, records + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error != 0) {
        // A full disk takes part of the flush: the cut record goes again,
        // so that the operator program never reads it glued to the next.
        size_t whole = done;
        while (whole > 0 && records[whole - 1] != '\n')
            --whole;
        if (whole < done && (start < 0 || ftruncate(fd, start + static_cast<off_t>(whole)) != 0)) {
            // Cannot be taken back: end the cut record instead; its rest
            // follows as a record of its own.
            if (write(fd, "\n", 1) == 1)
                whole = done;
        }
        done = whole;
        writeError = strerror(error);
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
        writeError = strerror(error);
    }
    if (error == 0)
        writeError.clear();
    if (written != nullptr)
        *written = done;
    return error == 0 ? 0 : -3;
}
