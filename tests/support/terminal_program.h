// The built programs as the program-level tests run them, and the status
// lines of the terminal.
#ifndef QUORVANE_TESTS_TERMINAL_PROGRAM_H
#define QUORVANE_TESTS_TERMINAL_PROGRAM_H

#include <string>
#include <vector>

#include "child.h"

namespace kit {

const std::string kBinaryDir = QUORVANE_BINARY_DIR;
const std::string kTerminal = kBinaryDir + "/quorvane";

const char kConnected[] = "Connected to server\n";
const char kDisconnected[] = "Disconnected from server\n";
const char kEnded[] = "The application ended\n";

// The terminal's command line against host:port with its shared files in dir.
inline std::vector<std::string> terminalArgs(const std::string &host, const std::string &port, const std::string &dir)
{
    return {kTerminal, "-s", host, "-p", port, "-f" + dir};
}
// A program on a pseudo-terminal, as a person runs it; with inputAtEnd its
// standard input is /dev/null instead (its output still goes to the terminal).
inline ChildOptions onTerminal(const std::string &workDir = "", bool inputAtEnd = false)
{
    ChildOptions o;
    o.pty = true;
    o.workDir = workDir;
    o.input = !inputAtEnd;
    return o;
}

} // namespace kit

#endif
