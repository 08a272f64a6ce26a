#include "temp_dir.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clock.h"

namespace kit {

namespace {

bool put(const std::string &path, const std::string &bytes, int flags, int mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && done == bytes.size();
}

} // namespace

TempDir::TempDir()
{
    char pattern[] = "/tmp/quorvane-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        dir = pattern;
}

TempDir::~TempDir()
{
    if (!dir.empty())
        removeTree(dir);
}

void TempDir::write(const std::string &name, const std::string &bytes, bool executable) const
{
    writeFile(file(name), bytes, executable ? 0755 : 0644);
}

std::string TempDir::read(const std::string &name) const
{
    return readFile(file(name));
}

std::string readFile(const std::string &path)
{
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool writeFile(const std::string &path, const std::string &bytes, int mode)
{
    return put(path, bytes, O_TRUNC, mode);
}

bool appendFile(const std::string &path, const std::string &bytes)
{
    return put(path, bytes, O_APPEND, 0644);
}

std::string waitForFile(const std::string &path, const std::string &expected, int timeoutMs)
{
    std::string now;
    waitUntil([&] { return (now = readFile(path)) == expected; }, timeoutMs);
    return now;
}

void removeTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    removeTree(path + "/" + e->d_name);
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

} // namespace kit
