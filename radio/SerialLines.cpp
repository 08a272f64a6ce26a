#include "SerialLines.h"

#include "IoctlSerialLines.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

SerialLines::~SerialLines() = default;

SerialLines *SerialLines::device()
{
    // Stateless, so one instance serves every link for the life of the
    // process; a function-local object avoids any order-of-construction
    // question between static objects.
    static IoctlSerialLines lines;
    return &lines;
}

bool SerialLines::isGone(int fd, long count, int readErrno)
{
    if (count < 0)
        return readErrno != EINTR && readErrno != EAGAIN && readErrno != EWOULDBLOCK;
    // A read of 0 is also what a lone end byte gives on a live canonical
    // line; only the poll result tells the two apart.
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void SerialLines::setUpFrameLine(int fd, speed_t speed, unsigned char endByte, cc_t minBytes)
{
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    tio.c_cflag = speed | CS8 | CREAD | CLOCAL;
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag = ICANON;
    tio.c_cc[VEOF] = endByte;
    tio.c_cc[VEOL] = endByte;
    tio.c_cc[VMIN] = minBytes;
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &tio);
}

int SerialLines::openFrameLine(const char *path, speed_t speed, unsigned char endByte, cc_t minBytes)
{
    if (!path)
        return -1;
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd >= 0)
        setUpFrameLine(fd, speed, endByte, minBytes);
    return fd;
}
