// The modem-control lines of a serial device (DTR, RTS, carrier detect, CTS,
// DSR), reached through the descriptor of the open line.
//
// The IC-706 link reader goes through this interface instead of calling
// ioctl itself, so that a test can play the far end of the lines: the data
// of a pseudo-terminal behaves as on a real line, but a pseudo-terminal has
// no modem-control lines.
#ifndef QUORVANE_SERIALLINES_H
#define QUORVANE_SERIALLINES_H

#include <termios.h>

class SerialLines {
public:
    virtual ~SerialLines();

    // Stores the line bits of fd (TIOCM_* flags) in *bits: 0, or -1 when
    // they cannot be read, in which case *bits holds nothing of meaning.
    virtual int get(int fd, int *bits) = 0;
    // Makes bits the line bits of fd: 0, or -1 when they cannot be set.
    virtual int set(int fd, int bits) = 0;

    // The lines of real devices (TIOCMGET / TIOCMSET), shared by every user.
    static SerialLines *device();

    // True when a read on fd that returned count has nothing more to give,
    // ever: the device hung up or the descriptor is broken. Such a line
    // stays readable and every read returns at once, which would keep the
    // main loop from its timers, so its reader must stop watching it.
    // readErrno is the read's own errno, kept by the reader before anything
    // else ran: a print in between may change errno, and an interrupted read
    // taken for a hang-up would stop the reading for good.
    static bool isGone(int fd, long count, int readErrno);

    // Sets fd up as a raw 8-bit canonical line at the given speed whose
    // lines end at endByte (as well as at a line feed), so that one read
    // takes one frame. minBytes is VMIN. A descriptor without a line
    // discipline (a plain file, /dev/null) refuses this and is still read
    // and written as it is.
    static void setUpFrameLine(int fd, speed_t speed, unsigned char endByte, cc_t minBytes);
    // Opens path read-write, not as the controlling terminal, and sets it up
    // as above: the descriptor, or -1 for a null path or a failed open.
    static int openFrameLine(const char *path, speed_t speed, unsigned char endByte, cc_t minBytes);
};

#endif
