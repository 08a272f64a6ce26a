#include "Icom706.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "SerialLines.h"

Icom706::Icom706(CsApplication *owner, const char *device, int verbose, int maxRead, SerialLines *lines)
    : CsExternalRead(owner, -1, 0),
      fd(-1),
      verbose(verbose),
      maxRead(maxRead > 0 ? maxRead : 0),
      lines(lines ? lines : SerialLines::device())
{
    open(device);
}

Icom706::~Icom706()
{
    // The watch goes first, so that the loop never serves a descriptor that
    // is closed (or already reused by another open).
    detach();
    if (fd >= 0)
        ::close(fd);
}

void Icom706::open(const char *device)
{
    if (verbose)
        printf("Init Icom Bus, try to open device %s\n", device ? device : "(null)");
    fd = SerialLines::openFrameLine(device, B19200, static_cast<unsigned char>(FRAME_END), 0);
    if (fd < 0)
        return;
    if (verbose) {
        printf("Init Icom Bus, setup of termios\n");
        printf("Init Icom Ctrl Bus, add fd (%d) application\n", fd);
    }
    // A reader that takes nothing must not watch: an unread line stays
    // readable, and the loop would serve it for ever instead of its timers.
    if (maxRead > 0)
        attach(fd);
}

int Icom706::write(const void *bytes, int length)
{
    if (fd < 0)
        return -1;
    if (length < 0 || (length > 0 && !bytes))
        return -1;
    ssize_t written = ::write(fd, bytes, static_cast<size_t>(length));
    (void)written; // a frame that does not get out is like one the radio did not hear
    if (verbose) {
        const unsigned char *b = static_cast<const unsigned char *>(bytes);
        for (int i = 0; i < length; i++)
            printf("%02x ", b[i]);
        printf("\n");
    }
    return 0;
}

void Icom706::changeLine(int bit, bool up)
{
    int bits = 0;
    // Writing back bits that were never read would change every other line.
    if (lines->get(fd, &bits) < 0)
        return;
    if (up)
        bits |= bit;
    else
        bits &= ~bit;
    lines->set(fd, bits);
}

int Icom706::testLine(int bit)
{
    int bits = 0;
    if (lines->get(fd, &bits) < 0)
        return 0;
    return (bits & bit) ? 1 : 0;
}

void Icom706::dtrOn()
{
    changeLine(TIOCM_DTR, true);
}

void Icom706::dtrOff()
{
    changeLine(TIOCM_DTR, false);
}

void Icom706::rtsOn()
{
    changeLine(TIOCM_RTS, true);
}

void Icom706::rtsOff()
{
    changeLine(TIOCM_RTS, false);
}

int Icom706::isCarrier()
{
    return testLine(TIOCM_CAR);
}

int Icom706::isCts()
{
    return testLine(TIOCM_CTS);
}

int Icom706::isDsr()
{
    return testLine(TIOCM_DSR);
}

int Icom706::callback(CsApplication *, const CsEventMsg *)
{
    if (verbose)
        printf("IB:Invalid callback !\n");
    return -1;
}

void Icom706::onReady()
{
    if (maxRead <= 0)
        return;
    // One byte for the end byte put back, one spare.
    std::vector<unsigned char> buffer(static_cast<size_t>(maxRead) + 2);
    ssize_t count = ::read(fd, buffer.data(), static_cast<size_t>(maxRead));
    const int readErrno = errno;
    if (verbose)
        printf("Read %d from %d\n", static_cast<int>(count), fd);
    if (count <= 0) {
        if (SerialLines::isGone(fd, count, readErrno))
            detach();
        return;
    }
    received(buffer.data(), static_cast<int>(count));
}

void Icom706::received(const unsigned char *bytes, int count)
{
    if (!bytes || count <= 0)
        return;
    std::vector<unsigned char> frame(bytes, bytes + count);
    frame.push_back(static_cast<unsigned char>(FRAME_END));
    deliver(std::make_unique<CsEventMsg>(frame.data(), static_cast<int>(frame.size())));
}
