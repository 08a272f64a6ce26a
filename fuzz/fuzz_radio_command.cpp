// Any bytes as radio command messages, as what the serial lines deliver and
// as the order of ticks and line changes: parsing, the frame readers and the
// two IC-706 objects must not fault, and what they hand on must keep its
// shape.
//
//   clang++ -std=c++17 -fsanitize=fuzzer,address,undefined \
//       -Ilib -Iframework -Iradio fuzz/fuzz_radio_command.cpp \
//       radio/*.cpp framework/*.cpp lib/*.cpp -o fuzz_radio_command
//   ./fuzz_radio_command -max_total_time=60 fuzz/corpus/radio_command
//
// An input is a list of records: one operation byte, one length byte, then
// that many bytes (cut short at the end of the input).
//   op % 8 == 0  parse the bytes as a command message and build it back
//   op % 8 == 1  the bytes as one read of the control link
//   op % 8 == 2  a tick of the control object; first byte: the lines
//   op % 8 == 3  the bytes as one read of the radio's link
//   op % 8 == 4  the bytes as a command to the radio
//   op % 8 == 5  a tick of the radio; first byte: the lines
//   op % 8 == 6  the bytes as one read of the CI-V bus, while idle
//   op % 8 == 7  the echo check of a CI-V frame: first byte splits the
//                bytes into payload and what was read back
// The objects live across inputs, on /dev/null, so that they open and write
// for real. The main loop never runs: ticks are handed in the way the timer
// hands them, and no timer is created while fuzzing, because timers are
// released only by the loop.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/ioctl.h>

#include "CiBusSerial.h"
#include "CiFrame.h"
#include "CsApplication.h"
#include "CsEventMsg.h"
#include "Icom706Ctrl.h"
#include "Icom706Radio.h"
#include "RadioCommand.h"
#include "SerialLines.h"

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

// Modem lines whose inputs come from the fuzz data.
class FuzzLines : public SerialLines {
public:
    int get(int, int *out) override
    {
        *out = bits;
        return 0;
    }
    int set(int, int value) override
    {
        const int outputs = TIOCM_DTR | TIOCM_RTS;
        bits = (bits & ~outputs) | (value & outputs);
        return 0;
    }
    // Carrier, CTS and DSR from the low bits of b; DTR and RTS stay.
    void inputs(unsigned char b)
    {
        const int inputsMask = TIOCM_CAR | TIOCM_CTS | TIOCM_DSR;
        int in = ((b & 1) ? TIOCM_CAR : 0) | ((b & 2) ? TIOCM_CTS : 0) | ((b & 4) ? TIOCM_DSR : 0);
        bits = (bits & ~inputsMask) | in;
    }
    int bits = 0;
};

// Checks everything the radio objects hand to their owner.
class Owner : public CsApplication {
public:
    int callback(CsApplication *sender, const CsEventMsg *msg) override
    {
        check(msg != nullptr, "event without message");
        const unsigned char *data = reinterpret_cast<const unsigned char *>(msg->getData());
        int length = msg->getLength();
        check(msg->getType() == -1 && msg->getHandle() == -1, "plain data message");
        check(length > 0 && data != nullptr, "message has bytes");
        RadioCommand cmd;
        if (ctrl && sender == ctrl.get()) {
            check(cmd.parse(data, length) == 0, "control message parses");
            int code = cmd.code();
            check(code == RadioCommand::RAW || code == RadioCommand::POWER_ON || code == RadioCommand::LEVEL,
                  "control message code");
            if (code == RadioCommand::LEVEL) {
                check(cmd.payloadLength() == 3, "level has three digits");
                int value = (data[3] - '0') * 100 + (data[4] - '0') * 10 + (data[5] - '0');
                check(value >= 0 && value <= 100, "level range");
            }
            if (code == RadioCommand::RAW)
                check(cmd.payloadLength() <= 255, "collected bytes fit their buffer");
        } else if (radio && sender == radio.get()) {
            check(cmd.parse(data, length) == 0, "radio message parses");
            if (cmd.isRaw()) {
                // Only display frames, whole.
                check(cmd.payloadLength() >= 2 && cmd.payload()[0] == 0xFE && cmd.payload()[1] == 0x60,
                      "display frame");
                check(cmd.payload()[cmd.payloadLength() - 1] == 0xFD, "frame end kept");
            } else {
                check(cmd.isPowerOn(), "radio sends displays and restart requests only");
            }
        } else if (bus && sender == bus.get()) {
            check(length <= maxBusRead - 2, "station frame within the read");
        } else {
            check(false, "unknown sender");
        }
        return 0;
    }

    static constexpr int maxBusRead = 64;
    FuzzLines lines;
    std::unique_ptr<Icom706Ctrl> ctrl;
    std::unique_ptr<CiBusSerial> bus;
    std::unique_ptr<Icom706Radio> radio;
};

Owner *owner = nullptr;

void parseAndRebuild(const uint8_t *data, int size)
{
    RadioCommand cmd;
    int result = cmd.parse(data, size);
    check(result <= 0 && result >= -6, "parse result");
    if (result != 0) {
        check(cmd.code() == 0 && cmd.payload() == nullptr, "failure keeps nothing");
        return;
    }
    check(cmd.code() >= RadioCommand::FIRST_CODE && cmd.code() <= RadioCommand::LAST_CODE, "code in range");
    check(cmd.payloadLength() == size - 3, "payload length");
    if (cmd.payloadLength() > 0)
        check(memcmp(cmd.payload(), data + 3, static_cast<size_t>(size - 3)) == 0, "payload copied");
    int tests = cmd.isRaw() + cmd.isPowerOn() + cmd.isPowerOff() + cmd.isRtsOn() + cmd.isRtsOff();
    check(tests <= 1, "at most one test matches");

    RadioCommand back;
    check(back.build(cmd.code(), cmd.payload(), cmd.payloadLength()) == 0, "parsed message builds");
    check(back.textLength() == size && memcmp(back.text(), data, static_cast<size_t>(size)) == 0, "round trip");
    check(back.text()[size] == 0, "built text 0-terminated");
}

void echoCheck(const uint8_t *data, int size)
{
    if (size < 2)
        return;
    int payloadLength = data[0] % size; // 0 .. size - 1 bytes after the first
    if (payloadLength < 1)
        return;
    const uint8_t *payload = data + 1;
    const uint8_t *read = payload + payloadLength;
    int readLength = size - 1 - payloadLength;
    CiFrame frame(payload, payloadLength);
    bool expected = readLength == payloadLength + 2 && read[0] == 0xFE && read[1] == 0xFE &&
                    memcmp(read + 2, payload, static_cast<size_t>(payloadLength)) == 0;
    check(frame.isEcho(read, readLength) == expected, "echo decision");
    check(frame.isEcho(frame.getBytes(), frame.getLength() - 1), "frame without its end byte is its echo");
    check(!frame.isEcho(frame.getBytes(), frame.getLength()), "the whole frame is not what a read gives");
}

void checkRadio(const Icom706Radio& radio)
{
    int s = radio.getState();
    check(s == Icom706Radio::OFF || s == Icom706Radio::WAIT_PWR || s == Icom706Radio::ON_CHECK ||
              s == Icom706Radio::ON || s == Icom706Radio::GO_OFF,
          "radio state");
    int c = radio.getCountdown();
    check(c >= 0 && c <= Icom706Radio::POWER_DOWN_MS && c % Icom706Radio::TICK_MS == 0, "countdown");
    check(radio.getRtsTicks() >= 0 && radio.getRtsTicks() <= Icom706Radio::RTS_HOLD_TICKS, "RTS count");
    if (s == Icom706Radio::OFF)
        check((owner->lines.bits & TIOCM_DTR) == 0, "DTR low while off");
}

void ensureObjects()
{
    if (owner)
        return;
    // The bus driver prints a line at construction; keep the fuzzer's
    // output readable.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    owner = new Owner;
    owner->ctrl = std::make_unique<Icom706Ctrl>(owner, "/dev/null", 0, &owner->lines);
    owner->bus = std::make_unique<CiBusSerial>(owner, "/dev/null", 0, Owner::maxBusRead);
    owner->radio = std::make_unique<Icom706Radio>(owner, "/dev/null", 0, &owner->lines);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ensureObjects();
    size_t at = 0;
    while (at + 2 <= size) {
        int op = data[at] % 8;
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        const uint8_t *bytes = data + at;
        int n = static_cast<int>(length);
        at += length;
        unsigned char first = n > 0 ? bytes[0] : 0;

        switch (op) {
        case 0:
            parseAndRebuild(bytes, n);
            break;
        case 1:
            owner->ctrl->getBus()->received(bytes, n);
            break;
        case 2:
            owner->lines.inputs(first);
            check(owner->ctrl->callback(owner->ctrl->getTimer(), nullptr) == 0, "tick taken");
            check(owner->ctrl->pendingBytes() == 0, "tick sends what was collected");
            break;
        case 3:
            owner->radio->getBus()->received(bytes, n);
            break;
        case 4: {
            CsEventMsg msg(bytes, n);
            check(owner->radio->command(&msg) == 0, "commands are taken");
            break;
        }
        case 5:
            owner->lines.inputs(first);
            check(owner->radio->callback(owner->radio->getTimer(), nullptr) == 0, "tick taken");
            break;
        case 6:
            // A read never exceeds the largest read.
            owner->bus->received(bytes, n < Owner::maxBusRead ? n : Owner::maxBusRead);
            break;
        case 7:
            echoCheck(bytes, n);
            break;
        }
        check(owner->ctrl->pendingBytes() <= 255, "collection bound");
        checkRadio(*owner->radio);
    }
    return 0;
}
