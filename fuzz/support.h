// Set-up shared by the fuzz targets: one place for the scratch directory,
// whole-file reads and writes, failed checks and the loopback listener.
#ifndef QUORVANE_FUZZ_SUPPORT_H
#define QUORVANE_FUZZ_SUPPORT_H

#include <string>

namespace fuzz {

// Prints "<target>: <what>" straight to descriptor 2 (standard error may be
// a capture just then) and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char *what);

// The name failures are reported under; every target sets it once.
void setTarget(const char *name);

// A scratch directory in memory (/dev/shm, or /tmp without it), made once
// per process and removed with everything in it at exit. Files there cost
// no disk writes, so a target may rewrite them for every input.
const std::string &scratchDir();
std::string scratchFile(const std::string &name);

// The whole file, "" when it cannot be read; from: byte offset to start at.
std::string readFile(const std::string &path, size_t from = 0);
// Rewrites the file in place (created when missing) to hold exactly bytes.
void writeFile(const std::string &path, const std::string &bytes);
// Appends bytes to the file (created when missing).
void appendFile(const std::string &path, const std::string &bytes);

// Writes all of it to a descriptor, or fails.
void writeAll(int fd, const char *data, size_t size);
// Bytes waiting to be read on a socket or pipe.
int readable(int fd);

// Standard output dropped from here on (the stream into nothing, the
// descriptor onto /dev/null), for a target whose object under test prints
// what nothing checks; libFuzzer's own report goes to standard error and
// stays visible.
void silenceStandardOutput();

// The oracles' rule for a login prompt: a block that ends with "login:",
// NUL bytes, blanks and tabs after it aside.
bool isLoginPrompt(const std::string &block);

// The oracles' line rules for one block of server text: the lines back to
// back as the console shows them, and their count. The block without its
// NUL bytes is cut at its line feeds: every piece that is not empty is a
// line, with its line feed when it has one (a last piece without one stays
// unfinished). A line feed that starts the block ends the previous block's
// last line when that one ended inside a line (partial), as a line of its
// own. partial is updated for the next block.
struct Cut {
    std::string shown;
    size_t lines = 0;
};
Cut cutLines(const std::string &block, bool &partial);

// The process's one listening loopback socket, on an ephemeral port: its
// descriptor, and its port as text in port.
int listenLoopback(std::string &port);

// A scratch file that a target keeps open from input to input: rewriting it
// costs a pwrite and an ftruncate, cutting it one ftruncate, reading it one
// pread, instead of an open and a close around each. The file keeps its
// identity, so the object under test, opening path() itself, sees it
// rewritten in place.
class OpenScratchFile {
public:
    explicit OpenScratchFile(const std::string &name);
    ~OpenScratchFile();
    OpenScratchFile(const OpenScratchFile &) = delete;
    OpenScratchFile &operator=(const OpenScratchFile &) = delete;

    const std::string &path() const { return where; }
    // Holds exactly bytes from here on.
    void rewrite(const std::string &bytes);
    // Cut in place to its first size bytes.
    void cut(size_t size);
    // The whole file as it is now.
    std::string read() const;

private:
    std::string where;
    int fd = -1;
};

} // namespace fuzz

#endif
