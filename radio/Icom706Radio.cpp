#include "Icom706Radio.h"

#include <cstdio>

#include "RadioCommand.h"

namespace {

const unsigned char pollFrame[] = {0xFE, 0x0B, 0x00, 0xFD};
const unsigned char powerUpFrame[] = {0xFE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30,
                                      0xFF, 0x0E, 0x85, 0x85, 0x80, 0x80, 0x00, 0xFD};

} // namespace

Icom706Radio::Icom706Radio(CsApplication *owner, const char *device, int verbose, SerialLines *lines, int tickMs)
    : CsApplication(owner, this),
      state(OFF),
      verbose(verbose),
      countdown(0),
      displayPending(0),
      rtsTicks(0),
      restartPending(0)
{
    timer = std::make_unique<CsTimer>(this, tickMs > 0 ? tickMs : TICK_MS, 0);
    bus = std::make_unique<Icom706>(this, device, verbose, MAX_READ, lines);
    bus->dtrOff();
    bus->rtsOff();
    if (verbose)
        printf("radio--> OFF\n");
}

Icom706Radio::~Icom706Radio()
{
    timer.reset();
    bus.reset();
    display.reset();
}

// A command given through here is always the owner's, even one that
// carries the very message being reported.
int Icom706Radio::command(const CsEventMsg *message)
{
    const CsEventMsg *reported = inFlight;
    inFlight = nullptr;
    const int result = callback(this, message);
    inFlight = reported;
    return result;
}

int Icom706Radio::callback(CsApplication *sender, const CsEventMsg *msg)
{
    if (!sender)
        return -1;
    if (sender == timer.get()) {
        tick();
        return 0;
    }
    if (sender == bus.get()) {
        if (state == ON && msg)
            frame(msg);
        return 0;
    }
    if (sender == this) {
        // A report that the owner refused comes back here through deliver;
        // taking it as a command would write a display frame back to the
        // radio or switch it on again. Any other message is a command, also
        // one sent while a report is out.
        if (msg && msg != inFlight)
            takeCommand(msg);
        return 0;
    }
    return -1;
}

void Icom706Radio::enter(int newState, const char *line)
{
    state = newState;
    if (verbose)
        printf("%s", line);
}

void Icom706Radio::writePoll()
{
    bus->write(pollFrame, sizeof pollFrame);
}

void Icom706Radio::writePowerUp()
{
    bus->write(powerUpFrame, sizeof powerUpFrame);
}

bool Icom706Radio::report(std::unique_ptr<CsEventMsg> msg)
{
    LifeGuard guard(this);
    // A report made from inside another one (the owner may call powerOn()
    // from its callback) is the one that can come back until it is done.
    const CsEventMsg *outer = inFlight;
    inFlight = msg.get();
    deliver(std::move(msg));
    if (!guard.alive())
        return false;
    inFlight = outer;
    return true;
}

void Icom706Radio::takeCommand(const CsEventMsg *msg)
{
    RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
    if (cmd.parse(msg->getData(), msg->getLength()) != 0)
        return;

    switch (state) {
    case OFF:
        if (cmd.isPowerOn()) {
            bus->dtrOn();
            countdown = POWER_UP_WAIT_MS;
            enter(WAIT_PWR, "radio--> WAIT_PWR\n");
        }
        break;
    case ON:
        if (cmd.isPowerOff()) {
            countdown = POWER_DOWN_MS;
            enter(GO_OFF, "radio--> GO_OFF\n");
        } else if (cmd.isRaw()) {
            bus->write(cmd.payload(), cmd.payloadLength());
        } else if (cmd.isRtsOn()) {
            bus->rtsOn();
            rtsTicks = 1;
        } else if (cmd.isRtsOff()) {
            bus->rtsOff();
            rtsTicks = 0;
        }
        break;
    default:
        // WAIT_PWR, ON_CHECK and GO_OFF take commands without action.
        break;
    }
}

void Icom706Radio::frame(const CsEventMsg *msg)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(msg->getData());
    int length = msg->getLength();
    if (length >= 2 && bytes[0] == 0xFE && bytes[1] == 0x60) {
        RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
        if (cmd.buildRaw(bytes, length) == 0) {
            display = std::make_unique<CsEventMsg>(cmd.text(), cmd.textLength());
            displayPending = 1;
            if (verbose)
                printf("Created new icom display message\n");
        }
        return;
    }
    if (verbose)
        printf("Other icom message [%02x:%02x] !\n", length > 0 ? bytes[0] : 0, length > 1 ? bytes[1] : 0);
}

void Icom706Radio::tick()
{
    switch (state) {
    case OFF:
        writePoll();
        break;

    case WAIT_PWR:
        writePoll();
        if (bus->isCarrier()) {
            bus->dtrOff();
            writePowerUp();
            enter(ON_CHECK, "radio--> ON\n");
        }
        // Also on the tick that just saw the carrier: a carrier that comes
        // with the last tick of the wait is not enough.
        if (countdown > 0) {
            countdown -= TICK_MS;
        } else {
            bus->dtrOff();
            enter(OFF, "radio--> OFF\n");
        }
        break;

    case ON_CHECK:
        writePoll();
        if (bus->isCarrier()) {
            writePowerUp();
            enter(ON, "radio--> ON\n");
        } else {
            enter(OFF, "radio--> OFF\n");
        }
        break;

    case ON:
        if (!bus->isCarrier()) {
            countdown = POWER_DOWN_MS;
            restartPending = 1;
            enter(GO_OFF, "radio--> GO_OFF\n");
        }
        writePoll();
        if (displayPending) {
            LifeGuard guard(this);
            update();
            if (!guard.alive())
                return;
        }
        if (rtsTicks != 0) {
            rtsTicks++;
            if (rtsTicks > RTS_HOLD_TICKS) {
                bus->rtsOff();
                rtsTicks = 0;
            }
        }
        break;

    case GO_OFF:
        if (countdown > 0) {
            countdown -= TICK_MS;
            bus->rtsOff();
            rtsTicks = 0;
        } else {
            enter(OFF, "radio--> OFF\n");
        }
        if (restartPending) {
            restartPending = 0;
            if (verbose)
                printf("Try to restart radio...\n");
            RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
            if (cmd.buildPowerOn() == 0)
                report(std::make_unique<CsEventMsg>(cmd.text(), cmd.textLength()));
        }
        break;

    default:
        break;
    }
}

void Icom706Radio::powerOn()
{
    if (state == OFF || state == GO_OFF) {
        bus->dtrOn();
        state = WAIT_PWR;
        countdown = POWER_UP_WAIT_MS;
    } else {
        update();
    }
}

void Icom706Radio::powerOff()
{
    if (state == OFF || state == GO_OFF)
        return;
    // DTR held up is what switches the radio on; left up after the wait it
    // would bring the radio on behind an object that believes it off.
    if (state == WAIT_PWR)
        bus->dtrOff();
    state = GO_OFF;
}

void Icom706Radio::update()
{
    if (!display)
        return;
    displayPending = 0;
    report(std::make_unique<CsEventMsg>(*display));
    // Printed whether or not the owner kept this object: the line is the
    // process's, not the object's.
    printf("Update-----\n");
}
