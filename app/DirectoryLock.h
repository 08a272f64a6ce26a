// DirectoryLock: one terminal per shared directory.
//
// Two terminals on one directory would each reset term.in (losing what the
// operator program had not read yet) and each send every term.out record.
// The terminal therefore holds an flock on the file term.lock in the
// directory for as long as it runs, taken before anything there is touched;
// the lock goes with the process, so a crash leaves none behind. The file
// holds the holder's process id as text, for the message of a terminal that
// finds the lock taken. The file stays after the end: removing it would let
// a third terminal lock a new file while a second still holds the old one.
//
// The directory is not made (a terminal used at its console alone needs
// none): when it does not exist, take() says so through missing(), and the
// terminal takes the lock once the directory appears, before it touches a
// file there.
#ifndef QUORVANE_APP_DIRECTORY_LOCK_H
#define QUORVANE_APP_DIRECTORY_LOCK_H

#include <string>
#include <sys/types.h>

class DirectoryLock {
public:
    DirectoryLock() = default;
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Takes the lock of directory dir. True when held; false with why() set
    // when another process holds it (holder() its pid when known, else 0),
    // when the directory does not exist, or when the lock file cannot be
    // opened (a directory where the file cannot be made and is not there:
    // an administrator may make it once, any user that may read it can lock
    // it).
    bool take(const std::string& dir);

    const std::string& why() const { return reason; }
    bool held() const { return fd >= 0; }
    // The latest take() failed because the directory does not exist.
    bool missing() const { return dirMissing; }
    pid_t holder() const { return holderPid; }

    static constexpr const char* kFileName = "term.lock";

private:
    int fd = -1;
    pid_t holderPid = 0;
    std::string reason;
    bool dirMissing = false;
};

#endif
