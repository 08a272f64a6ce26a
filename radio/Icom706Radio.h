// Looks after an IC-706 transceiver on its serial link: switches it on by
// raising DTR until the radio raises carrier detect, notices when it goes
// off, polls it every tick, forwards its latest display frame to the owner
// and carries out the owner's commands.
//
// Every input arrives through callback, told apart by sender: the link
// reader (one frame, 0xFD included), the timer (a tick, no message) or the
// radio itself (a command from the owner, see command()). Commands and
// reports are radio command messages.
//
// Power states and what moves them (one tick = 100 ms):
//
//   OFF       tick: poll. POWER_ON command: DTR up -> WAIT_PWR, 1000 ms.
//   WAIT_PWR  tick: poll; carrier up: DTR down, power-up frame -> ON_CHECK.
//             Then the countdown loses 100 ms, or, already at 0, DTR down
//             -> OFF: the radio has 11 ticks to raise its carrier.
//   ON_CHECK  tick: poll; carrier up: power-up frame again -> ON, else OFF.
//   ON        tick: carrier down -> GO_OFF, 5000 ms, owner to be told; poll;
//             pending display to the owner; RTS raised by a command is
//             dropped on the 200th tick. Commands: POWER_OFF -> GO_OFF
//             5000 ms; RAW bytes to the link; RTS_ON; RTS_OFF.
//   GO_OFF    tick: RTS held low while the countdown runs, then OFF. On the
//             first tick after an unexpected loss the owner gets POWER_ON.
//
// The owner gets at most one display message per tick, always the latest,
// and only while ON. A report refused by the owner is not taken back as a
// command; commands that the owner sends while a report is out are.
#ifndef QUORVANE_ICOM706RADIO_H
#define QUORVANE_ICOM706RADIO_H

#include <memory>

#include "CsApplication.h"
#include "CsTimer.h"
#include "Icom706.h"

class SerialLines;

class Icom706Radio : public CsApplication {
public:
    // Values of the power state (0 and 2 are not used).
    enum State {
        OFF = 1,      // radio off; DTR low
        WAIT_PWR = 3, // DTR raised, waiting for carrier detect
        ON_CHECK = 4, // carrier seen once; one tick to confirm
        ON = 5,       // radio on
        GO_OFF = 6    // switching off; RTS held low until the countdown runs out
    };

    static constexpr int TICK_MS = 100;          // nominal tick; countdowns lose this per tick
    static constexpr int POWER_UP_WAIT_MS = 1000; // WAIT_PWR countdown
    static constexpr int POWER_DOWN_MS = 5000;   // GO_OFF countdown
    static constexpr int RTS_HOLD_TICKS = 200;   // RTS raised by RTS_ON is dropped after this many ticks
    static constexpr int MAX_READ = 256;         // largest read of the link

    // Starts OFF with DTR and RTS low. The link's modem lines go through
    // lines (the device's ioctl calls when null). tickMs is the real period
    // of the tick; countdowns are counted in ticks of TICK_MS whatever it is.
    Icom706Radio(CsApplication *owner, const char *device, int verbose, SerialLines *lines = nullptr,
                 int tickMs = TICK_MS);
    // Stops the timer, then closes the link, then drops the display message:
    // nothing reaches this object afterwards.
    ~Icom706Radio() override;

    // 0 when the input was taken (also without action), -1 for a sender
    // that is neither the link, the timer nor this object.
    int callback(CsApplication *sender, const CsEventMsg *msg) override;

    // Gives the radio a command; the caller keeps the message.
    int command(const CsEventMsg *message);

    // From OFF or GO_OFF: DTR up, WAIT_PWR with 1000 ms. In any other state
    // it sends the display to the owner (update()).
    void powerOn();
    // From WAIT_PWR, ON_CHECK or ON: GO_OFF, countdown unchanged. A DTR
    // still raised for the wait is dropped.
    void powerOff();
    // Sends a copy of the latest display message to the owner and prints
    // "Update-----\n"; nothing without one.
    void update();

    int getState() const { return state; }
    int getCountdown() const { return countdown; }
    int getRtsTicks() const { return rtsTicks; }
    bool hasDisplay() const { return display != nullptr; }
    Icom706 *getBus() const { return bus.get(); }
    CsTimer *getTimer() const { return timer.get(); }

private:
    void tick();
    void frame(const CsEventMsg *msg);
    void takeCommand(const CsEventMsg *msg);
    void writePoll();
    void writePowerUp();
    void enter(int newState, const char *line);
    // Delivers a report; false when the owner destroyed this object meanwhile.
    bool report(std::unique_ptr<CsEventMsg> msg);

    int state;          // power state
    int verbose;        // print the state messages
    int countdown;      // milliseconds left in WAIT_PWR or GO_OFF; TICK_MS less per tick
    int displayPending; // 1 when a display frame arrived since the owner was last sent one
    int rtsTicks;       // 0 while RTS was not raised by a command, else ticks since, plus 1
    int restartPending; // 1 when the radio went off by itself and the owner was not told yet
    std::unique_ptr<CsEventMsg> display; // latest display frame as a RAW message, or none
    std::unique_ptr<CsTimer> timer;      // the tick; owner: this object
    std::unique_ptr<Icom706> bus;        // the radio's link; owner: this object
    const CsEventMsg *inFlight = nullptr; // report being delivered: when it comes back refused it is no command
};

#endif
