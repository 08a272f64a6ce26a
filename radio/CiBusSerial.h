// Driver of an Icom CI-V bus on a serial device at 9600 baud.
//
// Frames are sent one at a time from a first-in first-out queue. The bus
// echoes everything sent, so each sent frame is confirmed by reading it back.
// A mismatching echo (a collision) makes the frame go out once more 100 ms
// later, however many mismatches come in between; a frame not confirmed
// 1000 ms after its first transmission is given up, and the next one goes
// out at once. Frames of other stations read while no echo is awaited are
// handed to the owner without preamble and end byte (type and handle -1).
//
// The driver does not look inside payloads: addresses, commands and data
// are the caller's business.
//
//   Idle --write--> Sending --matching echo--> Idle, or Sending the next
//   Sending --mismatch--> Resend pending --100 ms--> Sending (same frame)
//   Sending / Resend pending --1000 ms after first send--> frame dropped
#ifndef QUORVANE_CIBUSSERIAL_H
#define QUORVANE_CIBUSSERIAL_H

#include <deque>
#include <memory>

#include "CiFrame.h"
#include "CsExternalRead.h"
#include "CsTimer.h"

class CiBusSerial : public CsExternalRead {
public:
    static constexpr int RETRY_MS = 100;        // resend delay after a mismatching echo
    static constexpr int NO_RESPONSE_MS = 1000; // a frame unconfirmed this long after its first send is dropped

    // Opens and sets up the device (prints "fifo size is [%d]\n" always);
    // without success the object stays with no descriptor and every write
    // is refused. maxRead is the largest read. retryMs and noResponseMs
    // replace the two delays above.
    CiBusSerial(CsApplication *owner, const char *device, int verbose, int maxRead, int retryMs = RETRY_MS,
                int noResponseMs = NO_RESPONSE_MS);
    // Drops the frame on the line and its timers, closes the device, drops
    // the queue, then the watch goes.
    ~CiBusSerial() override;

    // -1 when the device is not open; -2 for a null payload or a length of
    // 0 or less; else 0 once 0xFE 0xFE payload 0xFD is queued. On an idle
    // line the frame goes out at once.
    int write(const unsigned char *payload, int length);
    // 0 when the device is open, -1 otherwise.
    int checkOpen() const;

    // Ticks of the two timers: 0 for either, -1 for any other sender.
    int callback(CsApplication *sender, const CsEventMsg *msg) override;
    // Reads what the line gives and handles it (received()).
    void onReady() override;

    // What one read handed over: count bytes, the end byte taken away by the
    // line. An echo while a frame awaits one, else a frame of another station.
    void received(const unsigned char *bytes, int count);

    int getFd() const { return fd; }
    int queued() const { return static_cast<int>(fifo.size()); } // the frame on the line included
    bool isWriting() const { return writing != 0; }
    bool isResendPending() const { return retryTimer != nullptr; }

private:
    void open(const char *device);
    void startWrite();
    void finishWrite();

    std::deque<CiFrame> fifo; // frames waiting to be sent; the head is the frame on the line
    int fd;                   // descriptor of the open device, -1 when opening failed
    int verbose;              // print the diagnostics
    int writing;              // 1 while the head frame has been written and its echo is awaited
    int maxRead;              // largest number of bytes taken by one read
    std::unique_ptr<CsTimer> noResponseTimer; // running while the head frame is unconfirmed
    std::unique_ptr<CsTimer> retryTimer;      // running while a resend of the head frame is pending
    int retryMs;              // resend delay
    int noResponseMs;         // confirmation limit from the first transmission
};

#endif
