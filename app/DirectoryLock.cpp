#include "DirectoryLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

DirectoryLock::~DirectoryLock()
{
    if (fd >= 0)
        close(fd);
}

bool DirectoryLock::take(const std::string& dir)
{
    if (fd >= 0)
        return true;
    struct stat st;
    dirMissing = false;
    if (stat(dir.c_str(), &st) != 0) {
        dirMissing = errno == ENOENT || errno == ENOTDIR;
        reason = dirMissing ? "the directory " + dir + " does not exist"
                            : "the directory " + dir + " cannot be used: " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        reason = dir + " is not a directory";
        return false;
    }
    const std::string path = dir + "/" + kFileName;
    // Not through a link, and without waiting on a FIFO someone put there:
    // the directory may be writable by the operators' group.
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "the lock file " + path + " cannot be opened: " +
                 (fd < 0 ? strerror(errno) : "it is not a regular file");
        if (fd >= 0)
            close(fd);
        fd = -1;
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char text[24] = {0};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        holderPid = n > 0 ? static_cast<pid_t>(strtol(text, nullptr, 10)) : 0;
        if (error != EWOULDBLOCK)
            reason = "the lock file " + path + " cannot be locked: " + strerror(error);
        else if (holderPid > 0)
            reason = "another terminal (pid " + std::to_string(holderPid) + ") uses the directory " + dir;
        else
            reason = "another terminal uses the directory " + dir;
        close(fd);
        fd = -1;
        return false;
    }
    // The pid for a terminal that finds the lock taken; a file that cannot
    // be written (made by an administrator) still locks.
    char text[24];
    int length = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0) {
        ssize_t written = pwrite(fd, text, static_cast<size_t>(length), 0);
        (void)written;
    }
    return true;
}
