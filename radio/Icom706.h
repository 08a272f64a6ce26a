// The serial link of the IC-706 objects: a device at 19200 baud whose frames
// (0xFE ... 0xFD) are handed to the owner one by one, raw writes straight to
// the device, and the modem-control lines.
//
// The line is set up canonical, with 0xFD as its end-of-file character, so
// that every read returns one frame up to its 0xFD; the terminal layer takes
// that byte away and the reader puts it back, so the owner gets each frame
// whole. A 0x0A byte also ends a canonical read: a frame holding one arrives
// in two parts.
//
// Each delivered message is the bytes of one read plus the 0xFD, type and
// handle -1. There is no queue and no echo check.
#ifndef QUORVANE_ICOM706_H
#define QUORVANE_ICOM706_H

#include "CsExternalRead.h"

class SerialLines;

class Icom706 : public CsExternalRead {
public:
    static constexpr int FRAME_END = 0xFD; // last byte of every frame

    // Opens and sets up the device; without success the object stays with
    // no descriptor, reads nothing and writes nothing. maxRead is the
    // largest read (0 turns reading off). The modem lines go through lines,
    // or through the device's own ioctl calls when null; lines must outlive
    // the reader.
    Icom706(CsApplication *owner, const char *device, int verbose, int maxRead, SerialLines *lines = nullptr);
    // Withdraws the watch and closes the device.
    ~Icom706() override;

    int getFd() const { return fd; } // -1 when the device is not open

    // -1 when the device is not open or the bytes are not there (null with a
    // positive length, or a negative length); else 0 after one write call,
    // whatever it achieved. With verbose each byte is printed as "%02x ".
    int write(const void *bytes, int length);

    // Each changes one line and leaves the others as they were; nothing
    // changes when the line bits cannot be read.
    void dtrOn();
    void dtrOff();
    void rtsOn();
    void rtsOff();
    // 1 when the line is up; 0 when it is down, when the device is not open
    // or when the line bits cannot be read.
    int isCarrier();
    int isCts();
    int isDsr();

    // Reached only when an owner refused a frame: prints "IB:Invalid
    // callback !\n" with verbose and answers -1.
    int callback(CsApplication *sender, const CsEventMsg *msg) override;
    // Reads one frame and delivers it.
    void onReady() override;

    // What a read hands over: count bytes of one frame without its end byte.
    // Delivers them to the owner with the 0xFD put back. Nothing for a count
    // of 0 or less. Used by onReady and by callers that feed frames from
    // elsewhere.
    void received(const unsigned char *bytes, int count);

private:
    void open(const char *device);
    void changeLine(int bit, bool up);
    int testLine(int bit);

    int fd;             // descriptor of the open device, -1 when opening failed
    int verbose;        // print the diagnostics of the link
    int maxRead;        // largest number of bytes taken by one read; 0: no reading
    SerialLines *lines; // modem-control lines of fd; not owned
};

#endif
