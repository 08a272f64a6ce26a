#include "Icom706Ctrl.h"

#include "RadioCommand.h"

namespace {

const unsigned char ctsUpFrame[] = {0xFE, 0x00, 0x01, 0xFD};
const unsigned char ctsDownFrame[] = {0xFE, 0x00, 0x00, 0xFD};

bool begins(const unsigned char *bytes, int length, const unsigned char *prefix, int prefixLength)
{
    if (length < prefixLength)
        return false;
    for (int i = 0; i < prefixLength; i++)
        if (bytes[i] != prefix[i])
            return false;
    return true;
}

const unsigned char levelPrefix[] = {0xFE, 0x05};
const unsigned char pollPrefix[] = {0xFE, 0x0B, 0x00};

} // namespace

Icom706Ctrl::Icom706Ctrl(CsApplication *owner, const char *device, int tag, SerialLines *lines, int tickMs)
    : CsApplication(owner, this),
      tag(tag),
      carrierOffTicks(0),
      dsrAtStart(0),
      ctsTicks(0)
{
    bus = std::make_unique<Icom706>(this, device, 0, MAX_READ, lines);
    timer = std::make_unique<CsTimer>(this, tickMs > 0 ? tickMs : TICK_MS, 0);
    pending = std::make_unique<ByteBuffer>();
    dsrAtStart = bus->isDsr();
}

Icom706Ctrl::~Icom706Ctrl()
{
    timer.reset();
    bus.reset();
    pending.reset();
}

int Icom706Ctrl::callback(CsApplication *sender, const CsEventMsg *msg)
{
    if (!sender)
        return -1;
    if (sender == bus.get()) {
        if (msg)
            frame(msg);
        return 0;
    }
    if (sender == timer.get()) {
        tick();
        return 0;
    }
    return -1;
}

void Icom706Ctrl::writeBus(const void *bytes, int length)
{
    if (length != 0)
        bus->write(bytes, length);
}

bool Icom706Ctrl::send(const RadioCommand& cmd)
{
    LifeGuard guard(this);
    deliver(std::make_unique<CsEventMsg>(cmd.text(), cmd.textLength()));
    return guard.alive();
}

bool Icom706Ctrl::sendRaw(const unsigned char *bytes, int length)
{
    RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
    if (cmd.buildRaw(bytes, length) != 0)
        return true;
    return send(cmd);
}

void Icom706Ctrl::frame(const CsEventMsg *msg)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(msg->getData());
    int length = msg->getLength();

    // A frame too short to hold the value byte carries no level.
    if (length >= 3 && begins(bytes, length, levelPrefix, 2)) {
        RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
        if (cmd.buildLevel(100 * bytes[2] / 255) == 0 && !send(cmd))
            return;
    }
    if (!begins(bytes, length, pollPrefix, 3))
        pending->append(bytes, length);
}

void Icom706Ctrl::tick()
{
    if (pending->size() > 0) {
        std::unique_ptr<unsigned char[]> collected = pending->copy();
        int length = pending->size();
        pending->clear();
        if (!sendRaw(collected.get(), length))
            return;
    }

    if (bus->isCts()) {
        bool changed = ctsTicks == 0;
        ctsTicks++;
        if (changed && !sendRaw(ctsUpFrame, sizeof ctsUpFrame))
            return;
    } else {
        bool changed = ctsTicks != 0;
        ctsTicks = 0;
        if (changed && !sendRaw(ctsDownFrame, sizeof ctsDownFrame))
            return;
    }

    if (bus->isCarrier()) {
        bool wasDown = carrierOffTicks > CARRIER_DROP_TICKS;
        carrierOffTicks = 0;
        if (wasDown) {
            RadioCommand cmd(RadioCommand::FIRST_CODE, RadioCommand::LAST_CODE);
            if (cmd.buildPowerOn() == 0)
                send(cmd);
        }
    } else if (carrierOffTicks < CARRIER_COUNT_LIMIT) {
        carrierOffTicks++;
    }
}
