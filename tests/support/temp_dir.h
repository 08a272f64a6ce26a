// A temporary directory, and whole-file reads and writes.
#ifndef QUORVANE_TESTS_TEMP_DIR_H
#define QUORVANE_TESTS_TEMP_DIR_H

#include <string>

namespace kit {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    // A new directory under parent, removed with everything in it at the end.
    explicit TempDir(const std::string &parent = "/tmp");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return dir; }
    std::string file(const std::string &name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Whole contents of a file; "" when it cannot be read.
std::string readFile(const std::string &path);
// Replaces the file's contents (0755 for a program); false when it cannot be written.
bool writeFile(const std::string &path, const std::string &bytes, int mode = 0644);
// Appends in one write, so that a reader sees a record whole or not at all,
// as from an operator program that appends a record at a time.
bool appendFile(const std::string &path, const std::string &bytes);
// Waits until the file holds exactly expected; what it holds last.
std::string waitForFile(const std::string &path, const std::string &expected, int timeoutMs);

} // namespace kit

#endif
