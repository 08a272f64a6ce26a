// quorvane-op: the operator side of a Quorvane terminal's shared files.
//
//   quorvane-op send [-x] [-n] DIR TEXT...   append one record to DIR/term.out
//   quorvane-op follow [-x] [-a] DIR         print what appears in DIR/term.in
//
// Records are encoded and read by the terminal's own FileShare, so both
// sides always agree on the format. A record is appended with one write()
// on a descriptor opened with O_APPEND, never truncating: sends that run at
// once (two operators, or one script in a hurry) each land whole, in some
// order. An empty record carries no data, so none is written before the
// first: the terminal needs none in term.out.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "CsApplication.h"
#include "CsTimer.h"
#include "FileShare.h"

namespace {

const char *const kUsage =
    "Usage: quorvane-op send [-x] [-n] DIR TEXT...\n"
    "       quorvane-op follow [-x] [-a] DIR\n"
    "\n"
    "send    appends one record to DIR/term.out: the TEXT words joined by\n"
    "        blanks and ended by a line feed; the terminal sends it to the\n"
    "        server at its next tick. TEXT \"-\" takes the data from standard\n"
    "        input instead. The record is appended whole, in one write,\n"
    "        also while other sends run.\n"
    "          -n  do not add the line feed\n"
    "follow  prints the data of the records that the terminal appends to\n"
    "        DIR/term.in, as they arrive, until interrupted.\n"
    "          -a  start with the records already in the file\n"
    "  -x    hexadecimal records (for a terminal in hex mode)\n"
    "\n"
    "Exit status: 0 done, 1 the record could not be written or encoded,\n"
    "2 usage.\n";

int usage()
{
    fputs(kUsage, stderr);
    return 2;
}

std::string readAll(FILE *in)
{
    std::string data;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        data.append(buf, n);
    return data;
}

// Appends one encoded record in one write(): with O_APPEND the system
// places it at the end as a whole, whoever else appends at the same time.
// 0, or 1 after a message.
int appendRecord(const std::string &path, const std::string &record)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fprintf(stderr, "quorvane-op: cannot append to %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    ssize_t n;
    do
        n = write(fd, record.data(), record.size());
    while (n < 0 && errno == EINTR);
    const int err = errno;
    // The rest is not written after a short write: it could land behind
    // another sender's record and corrupt both.
    const bool whole = n == static_cast<ssize_t>(record.size());
    if (close(fd) != 0 && whole) {
        fprintf(stderr, "quorvane-op: cannot append to %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    if (!whole) {
        if (n < 0)
            fprintf(stderr, "quorvane-op: cannot append to %s: %s\n", path.c_str(), strerror(err));
        else
            fprintf(stderr, "quorvane-op: only %zd of %zu bytes appended to %s; the record is cut\n", n,
                    record.size(), path.c_str());
        return 1;
    }
    return 0;
}

int send(int argc, char **argv)
{
    bool hex = false;
    bool newline = true;
    int c;
    while ((c = getopt(argc, argv, "+xn")) != -1) {
        if (c == 'x')
            hex = true;
        else if (c == 'n')
            newline = false;
        else
            return usage();
    }
    if (argc - optind < 2)
        return usage();
    const std::string dir = argv[optind++];

    std::string data;
    if (argc - optind == 1 && strcmp(argv[optind], "-") == 0) {
        data = readAll(stdin);
    } else {
        for (int i = optind; i < argc; ++i) {
            if (i > optind)
                data += ' ';
            data += argv[i];
        }
    }
    if (newline)
        data += '\n';

    if (data.empty()) {
        fprintf(stderr, "quorvane-op: nothing to send\n");
        return 1;
    }
    if (data.size() > 0x7fffffffu) {
        fprintf(stderr, "quorvane-op: record too large\n");
        return 1;
    }
    // A text record ends its data at a NUL byte and reads 0x01 back as a
    // line feed: data holding either would reach the server changed.
    if (!hex) {
        if (data.find('\0') != std::string::npos) {
            fprintf(stderr, "quorvane-op: a text record cannot carry a NUL byte; use -x\n");
            return 1;
        }
        if (data.find('\x01') != std::string::npos) {
            fprintf(stderr, "quorvane-op: a text record cannot carry the byte 0x01; use -x\n");
            return 1;
        }
    }

    // A coder without files: it neither creates nor resets anything.
    const FileShare coder(nullptr, nullptr, hex ? 1 : 0, 0, 0);
    std::string record;
    coder.encodeRecord(record, data.data(), static_cast<int>(data.size()));
    const std::string path = dir + "/term.out";
    return appendRecord(path, record);
}

// Polls term.in a few times a second and copies every decoded record to
// standard output; the records' concatenation is the server's stream.
class Follower : public CsApplication
{
public:
    Follower(const std::string &path, bool hex, bool fromStart)
        : share(path.c_str(), nullptr, hex ? 1 : 0, fromStart ? 0 : 1, 0)
    {
        timer = std::make_unique<CsTimer>(this, 100, 0);
    }

    int callback(CsApplication *sender, const CsEventMsg *) override
    {
        if (sender != timer.get())
            return -1;
        poll();
        return 0;
    }

    void poll()
    {
        char buffer[256];
        // Bounded so that a file that grows as fast as it is read still lets
        // the loop breathe.
        for (int i = 0; i < 4096 && share.hasInput(); ++i) {
            const int n = share.readLine(buffer, sizeof buffer);
            if (n > 0)
                fwrite(buffer, 1, static_cast<size_t>(n), stdout);
        }
        fflush(stdout);
    }

private:
    FileShare share;
    std::unique_ptr<CsTimer> timer;
};

int follow(int argc, char **argv)
{
    bool hex = false;
    bool fromStart = false;
    int c;
    while ((c = getopt(argc, argv, "+xa")) != -1) {
        if (c == 'x')
            hex = true;
        else if (c == 'a')
            fromStart = true;
        else
            return usage();
    }
    if (argc - optind != 1)
        return usage();
    Follower follower(std::string(argv[optind]) + "/term.in", hex, fromStart);
    if (fromStart)
        follower.poll();
    return CsApplication::run() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const std::string verb = argv[1];
    if (verb == "-h" || verb == "--help") {
        fputs(kUsage, stdout);
        return 0;
    }
    // The verb's own options start after it.
    if (verb == "send")
        return send(argc - 1, argv + 1);
    if (verb == "follow")
        return follow(argc - 1, argv + 1);
    return usage();
}
