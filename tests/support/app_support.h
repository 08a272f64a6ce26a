// Test helpers of the terminal program's tests: a temporary directory, whole
// file reads and appends, a loopback peer that plays the log server at byte
// level, and a child process run on a pseudo-terminal as a user would run it.
#ifndef QUORVANE_TESTS_APP_SUPPORT_H
#define QUORVANE_TESTS_APP_SUPPORT_H

#include <string>
#include <vector>
#include <sys/types.h>

namespace apptest {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Whole contents of a file; "" when it cannot be read (see fileExists).
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Appends bytes (creating the file), as the operator program does.
void appendFile(const std::string& path, const std::string& bytes);
void writeFile(const std::string& path, const std::string& bytes);
// Removes a directory tree; missing entries are ignored.
void removeTree(const std::string& path);

// Milliseconds of a monotonic clock.
long long nowMs();

// The log server's side of the connection: a listener on 127.0.0.1 with an
// ephemeral port (or a given one) and at most one accepted peer. Every wait
// is bounded by its timeout.
class LoopbackServer {
public:
    explicit LoopbackServer(int port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return listenPort; }
    std::string portText() const { return std::to_string(listenPort); }
    bool listening() const { return listenFd >= 0; }

    // Waits for the client; true once one is connected.
    bool accept(int timeoutMs);
    bool connected() const { return peerFd >= 0; }
    // Sends all bytes to the peer; false on failure.
    bool send(const std::string& bytes);
    // Collects bytes until `count` have arrived or the time is up; returns
    // what arrived (the rest stays for the next call).
    std::string receive(size_t count, int timeoutMs);
    // Collects bytes until `needle` is among them or the time is up.
    std::string receiveUntil(const std::string& needle, int timeoutMs);
    // Collects whatever arrives within the time given.
    std::string drain(int timeoutMs);
    // Closes the accepted peer (the listener stays).
    void closePeer();
    // Whether the peer has closed its side (reads end of stream) within the time.
    bool peerClosed(int timeoutMs);

private:
    bool readSome(int timeoutMs);

    int listenFd;
    int peerFd;
    int listenPort;
    std::string pending;  // received but not yet handed out
};

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
int probeFreePort();

// A child process whose standard input, output and error are the slave side
// of a pseudo-terminal; the test writes and reads the master side like the
// person at the keyboard.
class PtyProcess {
public:
    // argv[0] is the program path; the child runs in `workDir` when not empty.
    // With stdinNull the child's standard input is /dev/null instead of the
    // terminal (its output still goes to the terminal).
    PtyProcess(const std::vector<std::string>& argv, const std::string& workDir = "",
               bool stdinNull = false);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    bool started() const { return pid > 0; }
    pid_t processId() const { return pid; }

    // Types bytes on the keyboard.
    void type(const std::string& bytes);
    // Everything the program has shown so far (carriage returns that the
    // terminal adds to line feeds removed).
    const std::string& screen();
    // Waits until the screen holds `needle` (after `from`); true when it does.
    bool waitFor(const std::string& needle, int timeoutMs, size_t from = 0);
    // Waits for the child to end; its exit status, or -1 when it did not end
    // in time (or ended on a signal).
    int waitExit(int timeoutMs);
    // The signal that ended the child (after waitExit), 0 when it exited or
    // has not ended.
    int endSignal() const { return termSignal; }
    // Closes the keyboard-and-screen side, as a closed terminal window does:
    // the terminal hangs up, the program gets SIGHUP and its console is gone.
    // The screen keeps what was shown before.
    void hangUp();
    // User plus system CPU time of the running child in clock ticks, -1 when unknown.
    long cpuTicks() const;

private:
    void pump(int timeoutMs);

    int master;
    pid_t pid;
    int exitStatus;
    int termSignal;
    bool reaped;
    std::string shown;
};

}  // namespace apptest

#endif
