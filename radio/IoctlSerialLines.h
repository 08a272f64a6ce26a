// Modem-control lines of a real serial device, through TIOCMGET and
// TIOCMSET. A descriptor that is not open, or a device without such lines
// (a pseudo-terminal, /dev/null), makes both calls fail with -1.
#ifndef QUORVANE_IOCTLSERIALLINES_H
#define QUORVANE_IOCTLSERIALLINES_H

#include "SerialLines.h"

class IoctlSerialLines : public SerialLines {
public:
    ~IoctlSerialLines() override;

    int get(int fd, int *bits) override;
    int set(int fd, int bits) override;
};

#endif
