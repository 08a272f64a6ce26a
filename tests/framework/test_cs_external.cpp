#include <memory>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsExternal.h"
#include "CsExternalRead.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {

using kit::countOf;

// A read watch that counts its readiness and drains what it sees.
class CountingRead : public CsExternalRead
{
public:
    CountingRead(CsApplication *owner, int descriptor, int verbose, bool drain = true)
        : CsExternalRead(owner, descriptor, verbose), drain(drain) {}
    void onReady() override
    {
        ++ready;
        if (drain) {
            char buffer[256];
            if (read(getDescriptor(), buffer, sizeof buffer) <= 0)
                drain = false;
        }
    }
    int ready = 0;
    bool drain;
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        closeWriter();
        if (fds[0] >= 0)
            close(fds[0]);
    }
    int reader() const { return fds[0]; }
    void put(const char *text) { EXPECT_GT(write(fds[1], text, strlen(text)), 0); }
    void closeWriter()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

TEST(CsExternal, WatchWithoutDescriptorRegistersOnAttachOnly)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        Pipe first, second;
        CountingRead watch(&owner, -1, 1);
        EXPECT_EQ(watch.getWatchHandle(), -1);
        EXPECT_EQ(watch.getDescriptor(), -1);
        EXPECT_EQ(watch.getWatchType(), CsExternal::WATCH_READABLE);

        kit::Loop script;
        script.at(0, [&] { first.put("x"); });
        script.at(100, [&] {
            EXPECT_EQ(watch.ready, 0);
            watch.attach(first.reader());
            EXPECT_EQ(watch.getDescriptor(), first.reader());
            EXPECT_NE(watch.getWatchHandle(), -1);
            // A descriptor is set now: a second attach is ignored.
            watch.attach(second.reader());
            EXPECT_EQ(watch.getDescriptor(), first.reader());
            second.put("y");
        });
        script.until([&] { return watch.ready >= 1 && script.elapsedMs() > 300; });
        EXPECT_TRUE(script.run(3000));
        // The pending byte was read once; the second pipe was never watched.
        EXPECT_EQ(watch.ready, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, "Can't add external input"), 0) << run.out;
}

TEST(CsExternal, RefusedRegistrationIsReportedWithTypeAndDescriptor)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        CsExternalRead outOfRange(&owner, FD_SETSIZE, 1);
        EXPECT_EQ(outOfRange.getWatchHandle(), -1);
        // No watch kind 0 exists.
        CsExternal noKind(&owner, 0, 7, 1);
        EXPECT_EQ(noKind.getWatchHandle(), -1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, "Can't add external input, type 1, desc " + std::to_string(FD_SETSIZE) + "\n"), 1)
        << run.out;
    EXPECT_EQ(countOf(run.out, "Can't add external input, type 0, desc 7\n"), 1) << run.out;
    // The library's own report names the registration the design describes.
    EXPECT_NE(run.err.find(", connection_external_input):\n        Descriptor " + std::to_string(FD_SETSIZE) +
                           " cannot be watched"),
              std::string::npos)
        << run.err;
}

TEST(CsExternal, MostRecentlyConstructedWatchDecidesReportsForAll)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        CsExternalRead loud(&owner, -1, 1);
        EXPECT_EQ(CsExternal::getVerbose(), 1);
        CsExternalRead quiet(&owner, -1, 0);
        EXPECT_EQ(CsExternal::getVerbose(), 0);
        loud.attach(FD_SETSIZE);
        quiet.attach(FD_SETSIZE + 1);
        printf("--- louder ---\n");
        CsExternalRead later(&owner, -1, 1);
        quiet.attach(FD_SETSIZE + 2); // already has a descriptor: nothing
        later.attach(FD_SETSIZE + 3);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    size_t marker = run.out.find("--- louder ---");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_EQ(countOf(run.out.substr(0, marker), "Can't add external input"), 0) << run.out;
    EXPECT_EQ(countOf(run.out.substr(marker), "Can't add external input"), 1) << run.out;
    EXPECT_EQ(countOf(run.out, "desc " + std::to_string(FD_SETSIZE + 3) + "\n"), 1) << run.out;
}

// A watch that leaves its data unread, so its descriptor stays ready: while
// it is registered the main loop has a ready descriptor in every pass and
// serves no timer, so the scripted loop ends only once it is gone.
class Lingering : public CsExternalRead
{
public:
    Lingering(CsApplication *owner, int descriptor, int *calls, bool selfDestroy)
        : CsExternalRead(owner, descriptor, 1), calls(calls), selfDestroy(selfDestroy) {}
    void onReady() override
    {
        ++*calls;
        if (selfDestroy)
            delete this;
    }

private:
    int *calls;
    bool selfDestroy;
};

TEST(CsExternal, WatchDestroyedFromItsOwnHandlerIsNeverCalledAgain)
{
    // Under the sanitizer build a call into the destroyed object fails the
    // child.
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        Pipe pipe;
        int calls = 0;
        new Lingering(&owner, pipe.reader(), &calls, true);
        kit::Loop script;
        script.at(0, [&] { pipe.put("unread"); });
        script.until([&] { return script.elapsedMs() > 200; });
        EXPECT_TRUE(script.run(5000));
        EXPECT_EQ(calls, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsExternal, DestroyedWatchLeavesItsReadyDescriptorAlone)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        Pipe pipe, other;
        int calls = 0;
        auto *watch = new Lingering(&owner, pipe.reader(), &calls, false);
        CountingRead witness(&owner, other.reader(), 1);
        kit::Loop script;
        script.at(20, [&] {
            pipe.put("unread");
            delete watch;
        });
        script.at(100, [&] { other.put("z"); });
        script.until([&] { return witness.ready > 0 && script.elapsedMs() > 300; });
        EXPECT_TRUE(script.run(5000));
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(witness.ready, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsExternal, DestroyingOneOfSeveralWatchesOfADescriptorLeavesTheOthersServed)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        Pipe pipe;
        auto first = std::make_unique<CountingRead>(&owner, pipe.reader(), 1);
        auto second = std::make_unique<CountingRead>(&owner, pipe.reader(), 1);
        auto third = std::make_unique<CountingRead>(&owner, pipe.reader(), 1);
        int lastCalls = 0;
        kit::Loop script;
        // The last registered goes: the first one is still served.
        script.at(20, [&] {
            third.reset();
            pipe.put("a");
        });
        // The first registered goes: the one in between is served now.
        script.at(150, [&] {
            EXPECT_EQ(first->ready, 1);
            EXPECT_EQ(second->ready, 0);
            first.reset();
            pipe.put("b");
        });
        // With the last watch gone the descriptor is watched no more: data
        // left in it neither reaches anyone nor keeps the loop from its
        // timers.
        script.at(300, [&] {
            EXPECT_EQ(second->ready, 1);
            lastCalls = second->ready;
            second.reset();
            pipe.put("c");
        });
        script.until([&] { return script.elapsedMs() > 450; });
        EXPECT_TRUE(script.run(5000));
        EXPECT_EQ(lastCalls, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

} // namespace
