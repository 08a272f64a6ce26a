#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <gtest/gtest.h>

#include "CsApplication.h"
#include "CsClient.h"
#include "CsExternalRead.h"
#include "CsServer.h"
#include "CsStdIn.h"
#include "CsTimer.h"
#include "client_server.h"
#include "child.h"
#include "clock.h"
#include "loop.h"
#include "loopback.h"
#include "recorder.h"
#include "text.h"

namespace {

using kit::countOf;

const char *const unprocessedLine = "CsApplication catch unprocessed class callback!\n";

// A message that counts its destructions.
class CountedMsg : public CsEventMsg
{
public:
    CountedMsg(const char *text, int *destroyed)
        : CsEventMsg(text, static_cast<int>(strlen(text))), destroyed(destroyed) {}
    ~CountedMsg() override { ++*destroyed; }

private:
    int *destroyed;
};

// A child that can post events, keeping the default callback.
class Child : public CsApplication
{
public:
    explicit Child(CsApplication *owner) : CsApplication(owner, this) {}
    int post(std::unique_ptr<CsEventMsg> msg) { return deliver(std::move(msg)); }
};

// A child whose own callback counts the events its owner turned away.
class FallbackChild : public Child
{
public:
    using Child::Child;
    int callback(CsApplication *, const CsEventMsg *) override
    {
        ++fallbacks;
        return 0;
    }
    int fallbacks = 0;
};

TEST(CsApplication, OwnerReceivesEventsWithTheSendersIdentity)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        Child first(&owner), second(&owner);
        int destroyed = 0;
        EXPECT_EQ(first.post(std::make_unique<CountedMsg>("one", &destroyed)), 1);
        EXPECT_EQ(second.post(nullptr), 1);
        EXPECT_EQ(destroyed, 1);
        ASSERT_EQ(owner.events.size(), 2u);
        EXPECT_EQ(owner.events[0].sender, &first);
        EXPECT_EQ(owner.events[0].data, "one");
        EXPECT_EQ(owner.events[1].sender, &second);
        EXPECT_FALSE(owner.events[1].hasMessage);
        EXPECT_EQ(first.getOwner(), &owner);
        EXPECT_EQ(first.getSender(), &first);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, unprocessedLine), 0);
}

TEST(CsApplication, DeliverWithoutOwnerDestroysTheMessageSilently)
{
    auto run = kit::runCaptured([] {
        Child orphan(nullptr);
        int destroyed = 0;
        EXPECT_EQ(orphan.post(std::make_unique<CountedMsg>("lost", &destroyed)), 0);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(orphan.post(nullptr), 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, unprocessedLine), 0);
}

TEST(CsApplication, RejectedEventFallsBackToTheSendersDefaultCallbackOnce)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        owner.answer = -1;
        Child child(&owner);
        int destroyed = 0;
        EXPECT_EQ(child.post(std::make_unique<CountedMsg>("stray", &destroyed)), 1);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(owner.events.size(), 1u);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, unprocessedLine), 1) << run.out;
}

TEST(CsApplication, RejectedEventReachesAnOverriddenSenderCallback)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        owner.answer = 1;
        FallbackChild child(&owner);
        child.post(nullptr);
        child.post(std::make_unique<CsEventMsg>("x", 1));
        EXPECT_EQ(child.fallbacks, 2);
        owner.answer = 0;
        child.post(nullptr);
        EXPECT_EQ(child.fallbacks, 2);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.out, unprocessedLine), 0);
}

TEST(CsApplication, OwnerMayDestroyTheSenderWhileRejectingItsEvent)
{
    // The fallback must not run on the destroyed sender; under the
    // sanitizer build a use after free fails the child.
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        owner.answer = -1;
        auto *child = new FallbackChild(&owner);
        owner.onEvent = [&](const kit::Event &) { delete child; };
        int destroyed = 0;
        EXPECT_EQ(child->post(std::make_unique<CountedMsg>("bye", &destroyed)), 1);
        EXPECT_EQ(destroyed, 1);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsApplication, FirstObjectInitialisesTheLibraryOnceForAll)
{
    auto run = kit::runCaptured([] {
        EXPECT_EQ(CsApplication::status(), -1);
        {
            kit::Recorder top;
            EXPECT_EQ(CsApplication::status(), 0);
            std::vector<std::unique_ptr<CsApplication>> objects;
            for (int i = 0; i < 5; ++i) {
                objects.push_back(std::make_unique<Child>(&top));
                objects.push_back(std::make_unique<CsTimer>(&top, 1000, 0));
                objects.push_back(std::make_unique<CsExternalRead>(&top, -1, 0));
            }
            EXPECT_EQ(top.status(), 0);
        }
        // Destroying every object leaves the library ready.
        EXPECT_EQ(CsApplication::status(), 0);
        EXPECT_GE(client_server_add_timer(1000, [](void *) { return 1; }, nullptr), 0);
        fprintf(stderr, "--- direct initialisation ---\n");
        // The library counts itself initialised: a direct call only warns.
        EXPECT_EQ(client_server_init(), 0);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    size_t marker = run.err.find("--- direct initialisation ---");
    ASSERT_NE(marker, std::string::npos) << run.err;
    EXPECT_EQ(countOf(run.err.substr(0, marker), "already been initialized"), 0) << run.err;
    EXPECT_EQ(countOf(run.err.substr(marker), "already been initialized"), 1) << run.err;
}

TEST(CsApplication, RunReturnsAtOnceWhenStopWasAskedBeforeAndAfterTheLoop)
{
    auto run = kit::runCaptured([] {
        kit::Recorder top;
        CsApplication::stop();
        const long long start = kit::nowMs();
        EXPECT_EQ(top.run(), 0);
        EXPECT_EQ(CsApplication::run(), 0);
        EXPECT_LT(kit::nowMs() - start, 1000);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

TEST(CsApplication, StopFromACallbackEndsTheLoopAfterThePass)
{
    auto run = kit::runCaptured([] {
        kit::Recorder owner;
        int ticks = 0;
        owner.onEvent = [&](const kit::Event &) {
            if (++ticks == 3)
                owner.stop();
        };
        CsTimer tick(&owner, 20, 0);
        CsTimer safety(nullptr, 5000, 1); // never reached when stop works
        const long long start = kit::nowMs();
        EXPECT_EQ(CsApplication::run(), 0);
        EXPECT_EQ(ticks, 3);
        EXPECT_LT(kit::nowMs() - start, 4000);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
}

// Every heap block this process can still get, kept in a chain through the
// blocks themselves so that nothing else needs memory.
struct Hoard {
    void *chain = nullptr;
    void grab()
    {
        for (size_t size = 1 << 20; size >= sizeof(void *); size /= 2)
            grabAll(size);
        // Small blocks of every size class, so no free list has one left.
        for (size_t size = 2048; size >= sizeof(void *); size -= 8)
            grabAll(size);
    }
    void grabAll(size_t size)
    {
        for (;;) {
            void *block = malloc(size);
            if (block == nullptr)
                return;
            *static_cast<void **>(block) = chain;
            chain = block;
        }
    }
    void release()
    {
        while (chain != nullptr) {
            void *next = *static_cast<void **>(chain);
            free(chain);
            chain = next;
        }
    }
};

// Touches stack pages now, so that later calls still have stack under an
// address-space limit.
__attribute__((noinline)) void touchStack()
{
    volatile char pages[512 * 1024];
    for (size_t i = 0; i < sizeof pages; i += 4096)
        pages[i] = 1;
}

TEST(CsApplication, FailedInitialisationIsRecordedAndNeverRetried)
{
#ifdef QUORVANE_SANITIZE
    GTEST_SKIP() << "the sanitizer's allocator does not run dry under an address-space limit";
#endif
    auto run = kit::runCaptured([] {
        touchStack();
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        ASSERT_NE(statm, nullptr);
        ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
        fclose(statm);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * 4096 + (2 << 20);
        ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
        Hoard hoard;
        hoard.grab();
        int status;
        {
            // The library's tables cannot be allocated now.
            Child first(nullptr);
            status = CsApplication::status();
        }
        hoard.release();
        EXPECT_EQ(status, -2);
        // With memory back, later objects still do not initialise again.
        Child second(nullptr);
        EXPECT_EQ(CsApplication::status(), -2);
        const long long start = kit::nowMs();
        EXPECT_EQ(CsApplication::run(), -1);
        EXPECT_LT(kit::nowMs() - start, 1000);
        CsApplication::stop();
        EXPECT_EQ(second.status(), -2);
    });
    EXPECT_TRUE(run.passed()) << run.describe();
    EXPECT_EQ(countOf(run.err, "Could not create handle"), 1) << run.err;
}

} // namespace
