#include "IoctlSerialLines.h"

#include <sys/ioctl.h>

IoctlSerialLines::~IoctlSerialLines() = default;

int IoctlSerialLines::get(int fd, int *bits)
{
    if (fd < 0 || !bits)
        return -1;
    int value = 0;
    if (ioctl(fd, TIOCMGET, &value) < 0)
        return -1;
    *bits = value;
    return 0;
}

int IoctlSerialLines::set(int fd, int bits)
{
    if (fd < 0)
        return -1;
    return ioctl(fd, TIOCMSET, &bits) < 0 ? -1 : 0;
}
