#include "temp_dir.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "clock.h"

namespace kit {

namespace {

bool put(const std::string &path, const std::string &bytes, int flags, int mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
    const bool whole = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return fd >= 0 && close(fd) == 0 && whole;
}

} // namespace

TempDir::TempDir(const std::string &parent)
{
    std::string pattern = parent + "/quorvane-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr)
        dir = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
