// The control side of an IC-706 set-up: a serial link to a control unit.
//
// Frames from the control unit are collected and passed to the owner as one
// RAW message per tick (100 ms); poll frames (FE 0B 00 ...) are left out. A
// frame beginning FE 05 carries a value in its third byte, reported at once
// as a LEVEL message of 0 to 100 (floor of 100 x byte / 255). A change of
// the CTS line becomes a fixed RAW frame (FE 00 01 FD up, FE 00 00 FD down),
// and carrier detect coming up after at least 6 ticks down sends POWER_ON.
//
// Per tick the owner receives, in this order: at most one RAW with the
// collected frames, at most one RAW with a CTS frame, at most one POWER_ON.
// The control object takes no commands and prints nothing.
#ifndef QUORVANE_ICOM706CTRL_H
#define QUORVANE_ICOM706CTRL_H

#include <memory>

#include "ByteBuffer.h"
#include "CsApplication.h"
#include "CsTimer.h"
#include "Icom706.h"

class RadioCommand;
class SerialLines;

class Icom706Ctrl : public CsApplication {
public:
    static constexpr int TICK_MS = 100;           // the collection period
    static constexpr int MAX_READ = 256;          // largest read of the link
    static constexpr int CARRIER_DROP_TICKS = 5;  // a drop this long or shorter sends nothing
    static constexpr int CARRIER_COUNT_LIMIT = 50; // carrierOffTicks stops counting here

    // The link is quiet; its modem lines go through lines (the device's own
    // ioctl calls when null). tickMs is the real period of the tick.
    Icom706Ctrl(CsApplication *owner, const char *device, int tag, SerialLines *lines = nullptr,
                int tickMs = TICK_MS);
    // Stops the timer, then closes the link, then drops what was collected:
    // nothing reaches this object afterwards.
    ~Icom706Ctrl() override;

    // 0 for a frame of the link or a tick of the timer, -1 for any other
    // sender (there are no commands).
    int callback(CsApplication *sender, const CsEventMsg *msg) override;

    // Writes the bytes to the control unit unchanged; nothing for length 0.
    void writeBus(const void *bytes, int length);

    int getTag() const { return tag; }
    int getDsrAtStart() const { return dsrAtStart; }
    int getCarrierOffTicks() const { return carrierOffTicks; }
    int getCtsTicks() const { return ctsTicks; }
    int pendingBytes() const { return pending->size(); }
    Icom706 *getBus() const { return bus.get(); }
    CsTimer *getTimer() const { return timer.get(); }

private:
    void frame(const CsEventMsg *msg);
    void tick();
    // Sends a RAW message; false when the owner destroyed this object meanwhile.
    bool sendRaw(const unsigned char *bytes, int length);
    bool send(const RadioCommand& cmd);

    int tag;             // value given at construction; kept, not consulted
    int carrierOffTicks; // ticks with carrier detect down, counted up to 50
    int dsrAtStart;      // DSR read once at construction
    int ctsTicks;        // 0 while CTS is down, else ticks it has been seen up
    std::unique_ptr<CsTimer> timer;      // the tick; owner: this object
    std::unique_ptr<Icom706> bus;        // the control link, quiet
    std::unique_ptr<ByteBuffer> pending; // frames collected since the last tick
};

#endif
