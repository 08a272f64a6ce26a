#include "Icom706Radio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "CsTimer.h"
#include "CsEventMsg.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "radio_support.h"
#include "recorder.h"
#include "text.h"

using namespace kit;

namespace {

const Bytes pollFrame = {0xFE, 0x0B, 0x00, 0xFD};
const Bytes powerUpFrame = {0xFE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30,
                            0xFF, 0x0E, 0x85, 0x85, 0x80, 0x80, 0x00, 0xFD};

// The link stream cut into frames after each 0xFD and named: P for a poll,
// U for the power-up frame, the bytes in hexadecimal for anything else.
std::vector<std::string> framesOf(const Bytes& stream)
{
    std::vector<std::string> out;
    Bytes frame;
    for (unsigned char b : stream) {
        frame.push_back(b);
        if (b == 0xFD) {
            out.push_back(frame == pollFrame ? "P" : frame == powerUpFrame ? "U" : hex(frame));
            frame.clear();
        }
    }
    if (!frame.empty())
        out.push_back("partial " + hex(frame));
    return out;
}

std::string joined(const std::vector<std::string>& frames, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count && i < frames.size(); i++)
        out += frames[i] + (frames[i].size() == 1 ? "" : "|");
    return out;
}

// The printed lines without the link's dumps of written bytes, which a
// verbose radio's link prints too.
std::string statusLines(const std::string& out)
{
    std::string kept, line;
    for (char c : out) {
        line += c;
        if (c != '\n')
            continue;
        bool dump = line.size() > 1;
        for (char d : line)
            if (!(d == ' ' || d == '\n' || (d >= '0' && d <= '9') || (d >= 'a' && d <= 'f')))
                dump = false;
        if (!dump)
            kept += line;
        line.clear();
    }
    return kept + line;
}

int command(Icom706Radio& radio, const Bytes& text)
{
    CsEventMsg msg(text.data(), static_cast<int>(text.size()));
    return radio.command(&msg);
}

// Everything one radio test needs: the link's far end, its modem lines, the
// owner and the radio with a short tick.
struct Rig {
    explicit Rig(int tickMs = 5, int verbose = 1)
    {
        radio = std::make_unique<Icom706Radio>(&owner, pty.slavePath(), verbose, &lines, tickMs);
    }

    // Brings the radio to ON through a POWER_ON command, the carrier coming
    // up on the first tick; runs the loop until then.
    void switchOn()
    {
        lines.raise(TIOCM_CAR);
        ASSERT_EQ(command(*radio, text("101")), 0);
    }

    // Puts bytes on the line at the n-th tick of the radio while ON (its
    // carrier read), counting those ticks in onReads.
    void sendWhenOn(int n, const Bytes& bytes)
    {
        lines.beforeRead = [this, n, bytes](TestLines&) {
            if (radio->getState() == Icom706Radio::ON && ++onReads == n)
                pty.send(bytes);
        };
    }

    int displays() const
    {
        int n = 0;
        for (const auto& e : owner.events)
            if (e.data.size() > 3 && e.data[0] == '1' && e.data[1] == '0' && e.data[2] == '0')
                n++;
        return n;
    }

    Line pty;
    TestLines lines;
    Recorder owner;
    std::unique_ptr<Icom706Radio> radio;
    int onReads = 0;
};

// The power state machine, a transition per row, driven in this process:
// the test hands the radio its ticks (as its timer would) and its commands,
// and plays the carrier; no main loop runs.
enum Input { Tick, PowerOnCommand, PowerOffCommand, PowerOnCall, PowerOffCall };

struct TransitionCase {
    const char *name;
    int from;        // reached through POWER_ON and ticks with the carrier up, GO_OFF through POWER_OFF
    bool lost;       // GO_OFF reached through a carrier lost while ON instead
    int ticksBefore; // more ticks in the state before the event
    bool carrier;    // carrier detect at the event
    Input event;
    int to;
    int countdown;      // after the event
    bool dtr;           // DTR after the event
    const char *frames; // written by the event: P poll, U power-up
    const char *told;   // what the owner was sent
};

std::ostream &operator<<(std::ostream &out, const TransitionCase &c)
{
    return out << c.name;
}

using R = Icom706Radio;

const TransitionCase kTransitions[] = {
    {"OffTickPolls", R::OFF, false, 0, false, Tick, R::OFF, 0, false, "P", ""},
    {"OffPowerOnCommandRaisesDtrForTheWait", R::OFF, false, 0, false, PowerOnCommand, R::WAIT_PWR, 1000, true, "", ""},
    {"OffPowerOnCallRaisesDtrForTheWait", R::OFF, false, 0, false, PowerOnCall, R::WAIT_PWR, 1000, true, "", ""},
    {"OffPowerOffCommandIsIgnored", R::OFF, false, 0, false, PowerOffCommand, R::OFF, 0, false, "", ""},
    {"OffPowerOffCallIsIgnored", R::OFF, false, 0, false, PowerOffCall, R::OFF, 0, false, "", ""},
    {"WaitTickWithCarrierDropsDtrAndSendsPowerUp", R::WAIT_PWR, false, 0, true, Tick, R::ON_CHECK, 900, false, "PU", ""},
    {"WaitTickWithoutCarrierCountsDown", R::WAIT_PWR, false, 0, false, Tick, R::WAIT_PWR, 900, true, "P", ""},
    {"WaitTickAtZeroGivesUpAndDropsDtr", R::WAIT_PWR, false, 10, false, Tick, R::OFF, 0, false, "P", ""},
    {"WaitPowerOnCommandIsIgnored", R::WAIT_PWR, false, 0, false, PowerOnCommand, R::WAIT_PWR, 1000, true, "", ""},
    {"WaitPowerOffCommandIsIgnored", R::WAIT_PWR, false, 0, false, PowerOffCommand, R::WAIT_PWR, 1000, true, "", ""},
    {"WaitPowerOffCallGoesOffKeepingTheCountdown", R::WAIT_PWR, false, 0, false, PowerOffCall, R::GO_OFF, 1000, false,
     "", ""},
    {"CheckTickWithCarrierIsOnAndSendsPowerUpAgain", R::ON_CHECK, false, 0, true, Tick, R::ON, 900, false, "PU", ""},
    {"CheckTickWithoutCarrierIsOff", R::ON_CHECK, false, 0, false, Tick, R::OFF, 900, false, "P", ""},
    {"CheckPowerOffCallGoesOff", R::ON_CHECK, false, 0, true, PowerOffCall, R::GO_OFF, 900, false, "", ""},
    {"OnTickWithCarrierPolls", R::ON, false, 0, true, Tick, R::ON, 900, false, "P", ""},
    {"OnTickWithoutCarrierGoesOffAndStillPolls", R::ON, false, 0, false, Tick, R::GO_OFF, 5000, false, "P", ""},
    {"OnPowerOffCommandGoesOffForFiveSeconds", R::ON, false, 0, true, PowerOffCommand, R::GO_OFF, 5000, false, "", ""},
    {"OnPowerOnCommandIsIgnored", R::ON, false, 0, true, PowerOnCommand, R::ON, 900, false, "", ""},
    {"OnPowerOffCallKeepsTheCountdown", R::ON, false, 0, true, PowerOffCall, R::GO_OFF, 900, false, "", ""},
    {"GoOffTickCountsDownWithoutPolling", R::GO_OFF, false, 0, false, Tick, R::GO_OFF, 4900, false, "", ""},
    {"GoOffTickAtZeroIsOff", R::GO_OFF, false, 50, false, Tick, R::OFF, 0, false, "", ""},
    {"GoOffFirstTickAfterALossAsksTheOwnerForARestart", R::GO_OFF, true, 0, false, Tick, R::GO_OFF, 4900, false, "",
     "101"},
    {"GoOffLaterTicksAskNoMore", R::GO_OFF, true, 1, false, Tick, R::GO_OFF, 4800, false, "", ""},
    {"GoOffPowerOnCallWaitsForPowerAgain", R::GO_OFF, false, 0, false, PowerOnCall, R::WAIT_PWR, 1000, true, "", ""},
    {"GoOffPowerOnCommandIsIgnored", R::GO_OFF, false, 0, false, PowerOnCommand, R::GO_OFF, 5000, false, "", ""},
};

class Icom706RadioTransitions : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(Icom706RadioTransitions, FollowTheStateTable)
{
    const TransitionCase &c = GetParam();
    Rig rig(5, 0);
    Icom706Radio &radio = *rig.radio;
    auto tick = [&] { EXPECT_EQ(0, radio.callback(radio.getTimer(), nullptr)); };
    if (c.from != R::OFF) {
        if (c.from != R::WAIT_PWR)
            rig.lines.raise(TIOCM_CAR);
        ASSERT_EQ(0, command(radio, text("101")));
    }
    for (int i = 0; i < (c.from == R::ON_CHECK ? 1 : c.from == R::ON || c.from == R::GO_OFF ? 2 : 0); ++i)
        tick();
    if (c.from == R::GO_OFF && c.lost) {
        rig.lines.drop(TIOCM_CAR);
        tick();
    } else if (c.from == R::GO_OFF) {
        ASSERT_EQ(0, command(radio, text("102")));
    }
    for (int i = 0; i < c.ticksBefore; ++i)
        tick();
    ASSERT_EQ(c.from, radio.getState()) << "the state to start from";
    if (c.carrier)
        rig.lines.raise(TIOCM_CAR);
    else
        rig.lines.drop(TIOCM_CAR);
    rig.pty.take();
    rig.owner.events.clear();

    switch (c.event) {
    case Tick:
        tick();
        break;
    case PowerOnCommand:
        EXPECT_EQ(0, command(radio, text("101")));
        break;
    case PowerOffCommand:
        EXPECT_EQ(0, command(radio, text("102")));
        break;
    case PowerOnCall:
        radio.powerOn();
        break;
    case PowerOffCall:
        radio.powerOff();
        break;
    }
    EXPECT_EQ(c.to, radio.getState());
    EXPECT_EQ(c.countdown, radio.getCountdown());
    EXPECT_EQ(c.dtr, rig.lines.up(TIOCM_DTR));
    EXPECT_EQ(c.frames, joined(framesOf(rig.pty.take()), 99));
    std::string told;
    for (const auto &e : rig.owner.events)
        told += e.data;
    EXPECT_EQ(c.told, told);
}

INSTANTIATE_TEST_SUITE_P(Rows, Icom706RadioTransitions, ::testing::ValuesIn(kTransitions),
                         [](const ::testing::TestParamInfo<TransitionCase> &i) { return std::string(i.param.name); });

TEST(Icom706RadioPower, StartsOffWithBothOutputsLowAndPollsEveryTick)
{
    runIsolated([] {
        testing::internal::CaptureStdout();
        Rig rig;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("radio--> OFF\n"), std::string::npos) << out;
        EXPECT_EQ(rig.radio->getState(), Icom706Radio::OFF);
        ASSERT_EQ(rig.lines.writes.size(), 2u);
        EXPECT_EQ(rig.lines.bits & (TIOCM_DTR | TIOCM_RTS), 0);

        runUntil([] { return false; }, 60);
        std::vector<std::string> frames = framesOf(rig.pty.take(12, 1000));
        ASSERT_GE(frames.size(), 3u);
        for (const auto& f : frames)
            EXPECT_EQ(f, "P");
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(Icom706RadioPower, CarrierOnTheThirdWaitTickIsConfirmedOnTheFourth)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        // The countdown loses 100 ms at the end of each wait tick, so it
        // reads 800 during the third one.
        rig.lines.beforeRead = [radio](TestLines& l) {
            if (radio->getState() == Icom706Radio::WAIT_PWR && radio->getCountdown() <= 800)
                l.raise(TIOCM_CAR);
        };
        testing::internal::CaptureStdout();
        ASSERT_EQ(command(*radio, text("101")), 0);
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        EXPECT_EQ(radio->getCountdown(), 1000);
        EXPECT_TRUE(rig.lines.up(TIOCM_DTR));
        int readsAtCommand = rig.lines.reads;

        ASSERT_TRUE(runUntil([&] { return radio->getState() == Icom706Radio::ON; }, 3000));
        std::string out = statusLines(testing::internal::GetCapturedStdout());
        EXPECT_EQ(out, "radio--> WAIT_PWR\nradio--> ON\nradio--> ON\n");
        // Three wait ticks, then the confirming tick: one read each, and the
        // read of the DTR drop on the third.
        EXPECT_EQ(rig.lines.readsWhenLast(TIOCM_DTR, false), readsAtCommand + 4);
        EXPECT_FALSE(rig.lines.up(TIOCM_DTR));
        EXPECT_EQ(radio->getCountdown(), 700);

        std::vector<std::string> frames = framesOf(rig.pty.take(40, 1000));
        EXPECT_EQ(joined(frames, 6), "PPPUPU");
        for (size_t i = 6; i < frames.size(); i++)
            EXPECT_EQ(frames[i], "P");
    });
}

TEST(Icom706RadioPower, CarrierThatNeverComesEndsTheWaitAfterElevenTicks)
{
    runIsolated([] {
        Rig rig;
        testing::internal::CaptureStdout();
        ASSERT_EQ(command(*rig.radio, text("101")), 0);
        int readsAtCommand = rig.lines.reads;
        ASSERT_TRUE(runUntil([&] { return rig.radio->getState() == Icom706Radio::OFF; }, 3000));
        std::string out = statusLines(testing::internal::GetCapturedStdout());
        EXPECT_EQ(out, "radio--> WAIT_PWR\nradio--> OFF\n");
        // Eleven carrier reads, then the read of the DTR drop.
        EXPECT_EQ(rig.lines.reads, readsAtCommand + 12);
        EXPECT_EQ(rig.lines.readsWhenLast(TIOCM_DTR, false), readsAtCommand + 12);
        EXPECT_FALSE(rig.lines.up(TIOCM_DTR));
        std::vector<std::string> frames = framesOf(rig.pty.take(44, 1000));
        ASSERT_GE(frames.size(), 11u);
        for (const auto& f : frames)
            EXPECT_EQ(f, "P");
    });
}

TEST(Icom706RadioPower, CarrierGoneAtTheConfirmingTickMeansOff)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        rig.lines.beforeRead = [radio](TestLines& l) {
            if (radio->getState() == Icom706Radio::WAIT_PWR)
                l.raise(TIOCM_CAR);
            else
                l.drop(TIOCM_CAR);
        };
        testing::internal::CaptureStdout();
        command(*radio, text("101"));
        bool sawCheck = false;
        ASSERT_TRUE(runUntil([&] {
            sawCheck = sawCheck || radio->getState() == Icom706Radio::ON_CHECK;
            return sawCheck && radio->getState() == Icom706Radio::OFF;
        }, 3000));
        EXPECT_EQ(statusLines(testing::internal::GetCapturedStdout()),
                  "radio--> WAIT_PWR\nradio--> ON\nradio--> OFF\n");
        std::vector<std::string> frames = framesOf(rig.pty.take(24, 1000));
        EXPECT_EQ(joined(frames, 3), "PUP");
        for (size_t i = 3; i < frames.size(); i++)
            EXPECT_EQ(frames[i], "P");
    });
}

TEST(Icom706RadioPower, CarrierLostWhileOnAsksForRestartOnTheNextTickAndIsOffAfterFiftyOne)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        int onReads = 0;
        int lossWrites = -1;
        rig.lines.beforeRead = [&](TestLines& l) {
            if (radio->getState() == Icom706Radio::ON && ++onReads == 5) {
                l.drop(TIOCM_CAR);
                lossWrites = static_cast<int>(l.writes.size());
            }
        };
        size_t writesAtRequest = 0;
        int stateAtRequest = 0;
        rig.owner.onEvent = [&](const Event&) {
            writesAtRequest = rig.lines.writes.size();
            stateAtRequest = radio->getState();
        };
        rig.switchOn();
        testing::internal::CaptureStdout();
        bool wentOff = false;
        ASSERT_TRUE(runUntil([&] {
            wentOff = wentOff || radio->getState() == Icom706Radio::GO_OFF;
            return wentOff && radio->getState() == Icom706Radio::OFF;
        }, 5000));
        std::string out = statusLines(testing::internal::GetCapturedStdout());
        EXPECT_NE(out.find("radio--> GO_OFF\nTry to restart radio...\n"), std::string::npos) << out;
        EXPECT_NE(out.find("radio--> OFF\n"), std::string::npos) << out;

        // One request, three bytes 101, on the first tick after the loss:
        // by then that tick has written RTS low once.
        ASSERT_EQ(rig.owner.events.size(), 1u);
        EXPECT_EQ(rig.owner.events[0].sender, radio);
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(text("101")));
        ASSERT_GE(lossWrites, 0);
        EXPECT_EQ(writesAtRequest, static_cast<size_t>(lossWrites) + 1);
        EXPECT_EQ(stateAtRequest, Icom706Radio::GO_OFF);
        // RTS held low on 50 ticks; the 51st moves to OFF and writes nothing.
        EXPECT_EQ(rig.lines.writes.size(), static_cast<size_t>(lossWrites) + 50);
        for (size_t i = static_cast<size_t>(lossWrites); i < rig.lines.writes.size(); i++)
            EXPECT_EQ(rig.lines.writes[i].bits & TIOCM_RTS, 0);
        // The loss tick still polled: U, P (confirm), U, then the ON polls,
        // the loss tick's among them.
        std::vector<std::string> frames = framesOf(rig.pty.take(40, 1000));
        EXPECT_EQ(joined(frames, 9), "PUPUPPPPP");
        // No polls while going off: what follows is from OFF at most.
        EXPECT_LE(frames.size(), 12u);
    });
}

TEST(Icom706RadioPower, PowerOffCommandGoesOffWithoutRestartRequest)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        rig.switchOn();
        bool sent = false;
        size_t writesAtCommand = 0;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(runUntil([&] {
            if (!sent && radio->getState() == Icom706Radio::ON) {
                sent = true;
                EXPECT_EQ(command(*radio, text("102")), 0);
                EXPECT_EQ(radio->getState(), Icom706Radio::GO_OFF);
                EXPECT_EQ(radio->getCountdown(), 5000);
                writesAtCommand = rig.lines.writes.size();
            }
            return sent && radio->getState() == Icom706Radio::OFF;
        }, 5000));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("Try to restart"), std::string::npos) << out;
        EXPECT_TRUE(rig.owner.events.empty());
        EXPECT_EQ(rig.lines.writes.size(), writesAtCommand + 50);
    });
}

TEST(Icom706RadioCommands, RawBytesReachTheLinkOnlyWhileOn)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        // A distinct frame per state, sent once in each state it meets.
        auto frameFor = [](int state) { return Bytes{0xFE, 0x77, static_cast<unsigned char>(state), 0xFD}; };
        std::vector<int> sentIn;
        auto sendIn = [&](int state) {
            if (radio->getState() == state && std::find(sentIn.begin(), sentIn.end(), state) == sentIn.end()) {
                sentIn.push_back(state);
                EXPECT_EQ(command(*radio, raw(frameFor(state))), 0);
            }
        };
        int onReads = 0;
        rig.lines.beforeRead = [&](TestLines& l) {
            if (radio->getState() == Icom706Radio::WAIT_PWR)
                l.raise(TIOCM_CAR);
            if (radio->getState() == Icom706Radio::ON && ++onReads == 4)
                l.drop(TIOCM_CAR);
        };
        sendIn(Icom706Radio::OFF);
        command(*radio, text("101"));
        ASSERT_TRUE(runUntil([&] {
            for (int s : {Icom706Radio::WAIT_PWR, Icom706Radio::ON_CHECK, Icom706Radio::ON, Icom706Radio::GO_OFF})
                sendIn(s);
            return sentIn.size() == 5;
        }, 5000));
        std::vector<std::string> frames = framesOf(rig.pty.take(60, 1000));
        int onFrames = 0;
        for (const auto& f : frames) {
            if (f == hex(frameFor(Icom706Radio::ON)))
                onFrames++;
            else
                EXPECT_TRUE(f == "P" || f == "U") << f;
        }
        EXPECT_EQ(onFrames, 1);
    });
}

TEST(Icom706RadioCommands, RawPollFrameWhileOnWritesExactlyItsFourBytes)
{
    runIsolated([] {
        Rig rig(20);
        Icom706Radio *radio = rig.radio.get();
        rig.switchOn();
        ASSERT_TRUE(runUntil([&] { return radio->getState() == Icom706Radio::ON; }, 5000));
        // The loop has stopped: no more ticks, so what comes now is the command's.
        rig.pty.take(40, 200);
        EXPECT_EQ(command(*radio, raw(pollFrame)), 0);
        EXPECT_EQ(hex(rig.pty.take(4, 500)), hex(pollFrame));
    });
}

TEST(Icom706RadioCommands, CommandsOutsideTheirStatesAreTakenWithoutAction)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        // OFF: only POWER_ON acts.
        size_t writes = rig.lines.writes.size();
        EXPECT_EQ(command(*radio, text("102")), 0);
        EXPECT_EQ(command(*radio, text("103")), 0);
        EXPECT_EQ(command(*radio, text("1")), 0);
        EXPECT_EQ(command(*radio, text("999")), 0);
        EXPECT_EQ(command(*radio, text("101x")), 0);
        EXPECT_EQ(radio->getState(), Icom706Radio::OFF);
        EXPECT_EQ(rig.lines.writes.size(), writes);
        EXPECT_EQ(radio->command(nullptr), 0);

        // WAIT_PWR: a second POWER_ON changes nothing.
        EXPECT_EQ(command(*radio, text("101")), 0);
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        writes = rig.lines.writes.size();
        EXPECT_EQ(command(*radio, text("101")), 0);
        EXPECT_EQ(command(*radio, text("102")), 0);
        EXPECT_EQ(command(*radio, text("103")), 0);
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        EXPECT_EQ(radio->getCountdown(), 1000);
        EXPECT_EQ(rig.lines.writes.size(), writes);

        // A sender that is neither link, timer nor the radio itself.
        Recorder stranger;
        CsEventMsg msg("101", 3);
        EXPECT_EQ(radio->callback(&stranger, &msg), -1);
        EXPECT_EQ(radio->callback(nullptr, &msg), -1);
    });
}

TEST(Icom706RadioCommands, RtsRaisedByCommandDropsOnTheTwoHundredthTick)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        rig.switchOn();
        int readsAtRtsOn = -1;
        ASSERT_TRUE(runUntil([&] {
            if (readsAtRtsOn < 0 && radio->getState() == Icom706Radio::ON) {
                EXPECT_EQ(command(*radio, text("103")), 0);
                EXPECT_TRUE(rig.lines.up(TIOCM_RTS));
                EXPECT_EQ(radio->getRtsTicks(), 1);
                readsAtRtsOn = rig.lines.reads;
            }
            return readsAtRtsOn >= 0 && !rig.lines.up(TIOCM_RTS);
        }, 10000));
        // One carrier read per ON tick; the drop's own read comes after the
        // 200th.
        EXPECT_EQ(rig.lines.readsWhenLast(TIOCM_RTS, false), readsAtRtsOn + 201);
        EXPECT_EQ(radio->getRtsTicks(), 0);
        EXPECT_EQ(radio->getState(), Icom706Radio::ON);
    });
}

TEST(Icom706RadioCommands, SecondRtsOnRestartsTheCountAndRtsOffEndsIt)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        rig.switchOn();
        int first = -1, second = -1, dropped = -1;
        size_t writesAfterOff = 0;
        ASSERT_TRUE(runUntil([&] {
            if (first < 0 && radio->getState() == Icom706Radio::ON) {
                command(*radio, text("103"));
                first = rig.lines.reads;
            }
            if (first >= 0 && second < 0 && rig.lines.reads >= first + 100) {
                EXPECT_TRUE(rig.lines.up(TIOCM_RTS));
                command(*radio, text("103"));
                second = rig.lines.reads;
            }
            if (second >= 0 && dropped < 0 && !rig.lines.up(TIOCM_RTS)) {
                dropped = rig.lines.readsWhenLast(TIOCM_RTS, false);
                // Raised again and dropped by command: nothing later.
                command(*radio, text("103"));
                command(*radio, text("104"));
                EXPECT_FALSE(rig.lines.up(TIOCM_RTS));
                EXPECT_EQ(radio->getRtsTicks(), 0);
                writesAfterOff = rig.lines.writes.size();
            }
            return dropped >= 0 && rig.lines.reads >= dropped + 250;
        }, 15000));
        EXPECT_EQ(dropped, second + 201);
        EXPECT_EQ(rig.lines.writes.size(), writesAfterOff);
    });
}

TEST(Icom706RadioDisplay, OwnerGetsOnlyTheLatestFrameOncePerTick)
{
    runIsolated([] {
        Rig rig(50);
        Icom706Radio *radio = rig.radio.get();
        int readsAtDisplay = -1;
        // Two display frames on the line during the second ON tick: both
        // are read before the third.
        rig.sendWhenOn(2, {0xFE, 0x60, 0x01, 0xFD, 0xFE, 0x60, 0x02, 0x0B, 0xFD});
        rig.owner.onEvent = [&](const Event&) { readsAtDisplay = rig.lines.reads; };
        rig.switchOn();
        testing::internal::CaptureStdout();
        ASSERT_TRUE(runUntil([&] { return rig.onReads >= 6; }, 5000));
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rig.owner.events.size(), 1u) << out;
        EXPECT_EQ(hex(rig.owner.events[0].data), hex(raw({0xFE, 0x60, 0x02, 0x0B, 0xFD})));
        EXPECT_EQ(rig.owner.events[0].sender, radio);
        // Sent at the third ON tick, after that tick's carrier read.
        EXPECT_EQ(readsAtDisplay, rig.lines.reads - (rig.onReads - 3));
        EXPECT_EQ(countOf(out, "Created new icom display message\n"), 2) << out;
        EXPECT_EQ(countOf(out, "Update-----\n"), 1) << out;
        EXPECT_TRUE(radio->hasDisplay());
    });
}

TEST(Icom706RadioDisplay, FramesOutsideOnAreNotKeptAndOtherFramesOnlyPrinted)
{
    runIsolated([] {
        Rig rig(50);
        Icom706Radio *radio = rig.radio.get();
        int onReads = 0;
        rig.lines.beforeRead = [&](TestLines& l) {
            if (radio->getState() == Icom706Radio::WAIT_PWR)
                l.raise(TIOCM_CAR);
            if (radio->getState() == Icom706Radio::ON && ++onReads == 1)
                rig.pty.send({0xFE, 0x61, 0x09, 0xFD});
        };
        // While OFF.
        rig.pty.send({0xFE, 0x60, 0x05, 0xFD});
        testing::internal::CaptureStdout();
        bool started = false;
        ASSERT_TRUE(runUntil([&] {
            if (!started) {
                started = true;
                command(*radio, text("101"));
            }
            return onReads >= 4;
        }, 5000));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(radio->hasDisplay());
        EXPECT_TRUE(rig.owner.events.empty());
        EXPECT_NE(out.find("Other icom message [fe:61] !\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("Created new icom display"), std::string::npos) << out;
    });
}

TEST(Icom706RadioDisplay, RefusedDisplayReportIsNotWrittenBackToTheRadio)
{
    runIsolated([] {
        Rig rig(50, 0);
        Icom706Radio *radio = rig.radio.get();
        rig.owner.answer = -1;
        rig.sendWhenOn(1, {0xFE, 0x60, 0x03, 0xFD});
        rig.switchOn();
        testing::internal::CaptureStdout();
        ASSERT_TRUE(runUntil([&] { return rig.onReads >= 4; }, 5000));
        radio->update();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rig.owner.events.size(), 2u);
        EXPECT_EQ(countOf(out, "Update-----\n"), 2) << out;
        for (const auto& f : framesOf(rig.pty.take(60, 500)))
            EXPECT_TRUE(f == "P" || f == "U") << "written back: " << f;
    });
}

TEST(Icom706RadioDisplay, CommandsSentWhileAReportIsOutAreCarriedOut)
{
    runIsolated([] {
        Rig rig(50, 0);
        Icom706Radio *radio = rig.radio.get();
        // Refused, so the display also comes back to the radio: that one
        // message is still no command.
        rig.owner.answer = -1;
        rig.sendWhenOn(1, {0xFE, 0x60, 0x03, 0xFD});
        int rtsOn = -2, powerOff = -2;
        rig.owner.onEvent = [&](const Event&) {
            if (rtsOn != -2)
                return;
            rtsOn = command(*radio, text("103"));
            powerOff = command(*radio, text("102"));
        };
        rig.switchOn();
        ASSERT_TRUE(runUntil([&] { return !rig.owner.events.empty(); }, 5000));
        EXPECT_EQ(rtsOn, 0);
        EXPECT_EQ(powerOff, 0);
        EXPECT_GE(rig.lines.readsWhenLast(TIOCM_RTS, true), 0) << "RTS_ON had no effect";
        EXPECT_EQ(radio->getState(), Icom706Radio::GO_OFF) << "POWER_OFF had no effect";
        for (const auto& f : framesOf(rig.pty.take(60, 300)))
            EXPECT_TRUE(f == "P" || f == "U") << "written back: " << f;
    });
}

TEST(Icom706RadioDisplay, RefusedRestartRequestDoesNotSwitchTheRadioOn)
{
    runIsolated([] {
        Rig rig(5, 0);
        Icom706Radio *radio = rig.radio.get();
        rig.owner.answer = -1;
        rig.lines.beforeRead = [&](TestLines& l) {
            if (radio->getState() == Icom706Radio::ON)
                l.drop(TIOCM_CAR);
        };
        rig.switchOn();
        bool wentOff = false;
        ASSERT_TRUE(runUntil([&] {
            wentOff = wentOff || radio->getState() == Icom706Radio::GO_OFF;
            return wentOff && radio->getState() == Icom706Radio::OFF;
        }, 5000));
        EXPECT_EQ(rig.owner.events.size(), 1u);
        EXPECT_FALSE(rig.lines.up(TIOCM_DTR));
    });
}

TEST(Icom706RadioMethods, PowerOnAndPowerOffFollowTheTable)
{
    runIsolated([] {
        Rig rig;
        Icom706Radio *radio = rig.radio.get();
        testing::internal::CaptureStdout();
        radio->powerOff();
        EXPECT_EQ(radio->getState(), Icom706Radio::OFF);
        radio->powerOn();
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        EXPECT_EQ(radio->getCountdown(), 1000);
        EXPECT_TRUE(rig.lines.up(TIOCM_DTR));
        radio->powerOn(); // not OFF or GO_OFF: only an update, and no display yet
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        radio->powerOff();
        EXPECT_EQ(radio->getState(), Icom706Radio::GO_OFF);
        EXPECT_EQ(radio->getCountdown(), 1000);
        // Switched off while waiting: the line that switches the radio on
        // does not stay up.
        EXPECT_FALSE(rig.lines.up(TIOCM_DTR));
        radio->powerOff();
        EXPECT_EQ(radio->getState(), Icom706Radio::GO_OFF);
        radio->powerOn();
        EXPECT_EQ(radio->getState(), Icom706Radio::WAIT_PWR);
        EXPECT_TRUE(rig.lines.up(TIOCM_DTR));
        radio->update();
        // The methods print nothing of their own.
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(rig.owner.events.empty());
    });
}

TEST(Icom706RadioMethods, PowerOnWhileOnSendsTheDisplay)
{
    runIsolated([] {
        Rig rig(20);
        Icom706Radio *radio = rig.radio.get();
        rig.switchOn();
        ASSERT_TRUE(runUntil([&] { return radio->getState() == Icom706Radio::ON; }, 5000));
        CsEventMsg frame("\xFE\x60\x07\xFD", 4);
        EXPECT_EQ(radio->callback(radio->getBus(), &frame), 0);
        testing::internal::CaptureStdout();
        radio->powerOn();
        radio->powerOn();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Update-----\nUpdate-----\n");
        ASSERT_EQ(rig.owner.events.size(), 2u);
        EXPECT_EQ(hex(rig.owner.events[1].data), hex(raw({0xFE, 0x60, 0x07, 0xFD})));
    });
}

TEST(Icom706RadioMethods, LinkThatDoesNotOpenNeverGetsPastTheWait)
{
    runIsolated([] {
        Recorder owner;
        Icom706Radio radio(&owner, "/nonexistent/quorvane-tty", 0, nullptr, 5);
        EXPECT_EQ(radio.getBus()->getFd(), -1);
        command(radio, text("101"));
        bool waited = radio.getState() == Icom706Radio::WAIT_PWR;
        EXPECT_TRUE(waited);
        ASSERT_TRUE(runUntil([&] { return radio.getState() == Icom706Radio::OFF; }, 3000));
        EXPECT_TRUE(owner.events.empty());
    });
}

// The radio is destroyed from another object's timer, in the given state;
// the loop goes on a while and nothing may reach the dead radio or come
// from it.
void destroyIn(int wantedState, bool withDisplay)
{
    runIsolated([=] {
        Rig rig(5, 0);
        Icom706Radio *radio = rig.radio.get();
        int onReads = 0;
        rig.lines.beforeRead = [&](TestLines& l) {
            if (!rig.radio) {
                ADD_FAILURE() << "line read after destruction";
                return;
            }
            if (radio->getState() == Icom706Radio::WAIT_PWR && radio->getCountdown() <= 900)
                l.raise(TIOCM_CAR);
            if (radio->getState() == Icom706Radio::ON && ++onReads == 3) {
                if (withDisplay)
                    rig.pty.send({0xFE, 0x60, 0x01, 0xFD});
                else
                    l.drop(TIOCM_CAR);
            }
        };
        if (wantedState != Icom706Radio::OFF)
            command(*radio, text("101"));
        long long destroyedAt = 0;
        size_t eventsAtDestruction = 0, writesAtDestruction = 0;
        runUntil([&] {
            if (rig.radio && rig.radio->getState() == wantedState &&
                (!withDisplay || rig.radio->hasDisplay())) {
                rig.radio.reset();
                destroyedAt = nowMs();
                eventsAtDestruction = rig.owner.events.size();
                writesAtDestruction = rig.lines.writes.size();
                rig.pty.send({0xFE, 0x60, 0x02, 0xFD});
            }
            return destroyedAt != 0 && nowMs() > destroyedAt + 60;
        }, 5000);
        ASSERT_NE(destroyedAt, 0) << "state " << wantedState << " never reached";
        EXPECT_EQ(rig.owner.events.size(), eventsAtDestruction);
        EXPECT_EQ(rig.lines.writes.size(), writesAtDestruction);
    });
}

TEST(Icom706RadioLifetime, DestructionFromEveryStateIsSafe)
{
    destroyIn(Icom706Radio::OFF, false);
    destroyIn(Icom706Radio::WAIT_PWR, false);
    destroyIn(Icom706Radio::ON_CHECK, false);
    destroyIn(Icom706Radio::ON, true);
    destroyIn(Icom706Radio::GO_OFF, false);
}

TEST(Icom706RadioLifetime, OwnerMayDestroyTheRadioFromItsReports)
{
    // The restart request and the display come from inside the radio's
    // tick; the owner deleting the radio there ends the tick cleanly.
    for (bool display : {false, true}) {
        runIsolated([display] {
            Rig rig(5, 1);
            Icom706Radio *radio = rig.radio.get();
            int onReads = 0;
            rig.lines.beforeRead = [&](TestLines& l) {
                if (radio->getState() == Icom706Radio::ON && ++onReads == 2) {
                    if (display)
                        rig.pty.send({0xFE, 0x60, 0x01, 0xFD});
                    else
                        l.drop(TIOCM_CAR);
                }
            };
            rig.owner.onEvent = [&](const Event&) { rig.radio.reset(); };
            rig.switchOn();
            testing::internal::CaptureStdout();
            long long goneAt = 0;
            runUntil([&] {
                if (!rig.radio && goneAt == 0)
                    goneAt = nowMs();
                return goneAt != 0 && nowMs() > goneAt + 50;
            }, 5000);
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(rig.radio, nullptr);
            EXPECT_EQ(rig.owner.events.size(), 1u);
            if (display) {
                EXPECT_NE(out.find("Update-----\n"), std::string::npos) << out;
            }
        });
    }
}

} // namespace
