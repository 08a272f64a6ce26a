#include "temp_dir.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "clock.h"

namespace kit {

namespace {

bool put(const std::string &path, const std::string &bytes, int flags, int mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
    size_t done = 0;
    for (ssize_t n = 1; fd >= 0 && done < bytes.size() && n > 0; done += n > 0 ? static_cast<size_t>(n) : 0)
        n = ::write(fd, bytes.data() + done, bytes.size() - done);
    return fd >= 0 && close(fd) == 0 && done == bytes.size();
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
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
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
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return out;
}

bool fileExists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
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

} // namespace kit
