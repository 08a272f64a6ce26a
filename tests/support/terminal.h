// A pseudo-terminal pair: the test holds the master side and plays the far
// end (a keyboard, a radio, a bus); the code under test opens the slave side
// by its path, or is a child process that has it as its terminal.
#ifndef QUORVANE_TESTS_TERMINAL_H
#define QUORVANE_TESTS_TERMINAL_H

#include <string>

namespace kit {

class Pty {
public:
    Pty(); // the master side non-blocking
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return fd; }
    const char *slavePath() const { return path.c_str(); }
    // The slave side, opened without becoming the controlling terminal;
    // with lineMode, set to canonical input without echo. The caller closes it.
    int openSlave(bool lineMode = false) const;
    // Closes the master: the slave side hangs up.
    void hangUp();

private:
    int fd = -1;
    std::string path;
};

} // namespace kit

#endif
