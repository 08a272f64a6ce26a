// The built programs as the program-level tests run them, and the status
// lines of the terminal.
#ifndef QUORVANE_TESTS_TERMINAL_PROGRAM_H
#define QUORVANE_TESTS_TERMINAL_PROGRAM_H

#include <memory>
#include <string>
#include <vector>

#include "child.h"

namespace kit {

const std::string kBinaryDir = QUORVANE_BINARY_DIR;
const std::string kTerminal = kBinaryDir + "/quorvane";

const char kConnected[] = "Connected to server\n";
const char kDisconnected[] = "Disconnected from server\n";
const char kEnded[] = "The application ended\n";

// The terminal against host:port with its shared files in dir, its console
// a pipe of the test and its status lines watched.
struct TerminalRun {
    std::vector<std::string> argv;
    ChildOptions options;
};
inline TerminalRun terminalRun(const std::string &host, const std::string &port, const std::string &dir)
{
    TerminalRun r{{kTerminal, "-s", host, "-p", port, "-f" + dir}, ChildOptions()};
    r.options.watch = {kConnected, kDisconnected, kEnded};
    return r;
}
// A program on a pseudo-terminal, as a person runs it; with inputAtEnd its
// standard input is /dev/null instead (its output still goes to the terminal).
inline ChildOptions onTerminal(const std::string &workDir = "", bool inputAtEnd = false)
{
    ChildOptions o;
    o.io = ChildOptions::Pty;
    o.workDir = workDir;
    o.inputPipe = !inputAtEnd;
    return o;
}
inline std::unique_ptr<Child> startTerminal(const TerminalRun &r)
{
    return std::make_unique<Child>(r.argv, r.options);
}

} // namespace kit

#endif
