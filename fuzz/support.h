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

// Standard output to /dev/null from here on, for a target whose object
// under test prints what nothing checks; libFuzzer's own report goes to
// standard error and stays visible.
void silenceStandardOutput();

// The oracles' rule for a login prompt: a block that ends with "login:",
// NUL bytes, blanks and tabs after it aside.
bool isLoginPrompt(const std::string &block);

// The process's one listening loopback socket, on an ephemeral port: its
// descriptor, and its port as text in port.
int listenLoopback(std::string &port);

} // namespace fuzz

#endif
