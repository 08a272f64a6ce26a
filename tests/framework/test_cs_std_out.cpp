#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CsStdOut.h"
#include "child.h"
#include "loopback.h"

namespace {

// Standard output on a pipe of one page that the test reads when it likes,
// through a console of 16 KiB: what the pipe cannot take waits, in order, up
// to the bound; beyond it text is dropped, and once the console has taken
// half of what waited, a line tells how much is missing and text is taken
// again behind it.
TEST(CsStdOut, HoldsWhatTheConsoleCannotTakeUpToItsBoundInOrderAndMarksTheGap)
{
    kit::runIsolated([] {
        int ends[2];
        ASSERT_EQ(0, pipe(ends));
        ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
        fflush(stdout);
        const int saved = dup(1);
        dup2(ends[1], 1);
        close(ends[1]);
        const int sharedFlags = fcntl(1, F_GETFL);

        auto line = [](int i) { return std::to_string(100000 + i) + std::string(993, 'a' + i % 26) + "\n"; };
        std::string printed;
        std::string got;
        {
            CsStdOut console(nullptr, 16 * 1024);
            ASSERT_TRUE(console.active());
            EXPECT_EQ(sharedFlags, fcntl(1, F_GETFL)) << "the description others share was changed";
            EXPECT_EQ(-1, console.getWatchHandle()) << "watched with nothing to write: a busy loop";

            for (int i = 0; i < 10; ++i) {
                printed += line(i);
                printf("%s", line(i).c_str());
            }
            EXPECT_GE(console.held(), printed.size() - 4096) << "the pipe holds one page";
            EXPECT_LT(console.held(), printed.size()) << "nothing was written at once";
            EXPECT_NE(-1, console.getWatchHandle());
            printed += "Connected to server\n";
            fputs("Connected to server\n", stdout);
            for (int i = 10; i < 30; ++i) {
                printed += line(i);
                printf("%s", line(i).c_str());
            }
            EXPECT_LE(console.held(), 16u * 1024);
            EXPECT_GT(console.held(), 15u * 1024);

            // The main loop's part: the console is written whenever the
            // pipe has room.
            for (int round = 0; round < 100 && console.held() > 0; ++round) {
                got += kit::readAvailable(ends[0]);
                console.onReady();
            }
            printf("after the gap\n");
            for (int round = 0; round < 100 && console.held() > 0; ++round) {
                got += kit::readAvailable(ends[0]);
                console.onReady();
            }
            got += kit::readAvailable(ends[0]);
            EXPECT_EQ(-1, console.getWatchHandle()) << "still watched with nothing left";
        }
        dup2(saved, 1);
        close(saved);
        close(ends[0]);

        const std::string head = "*** Console output dropped: ";
        const size_t notice = got.find(head);
        ASSERT_NE(std::string::npos, notice) << got.size() << " bytes shown";
        const std::string kept = got.substr(0, notice);
        EXPECT_EQ(printed.substr(0, kept.size()), kept) << "kept text in the order it was printed";
        EXPECT_GT(kept.size(), 10u * 1000 + 20) << "the status line was kept after the text before it";
        EXPECT_EQ(head + std::to_string(printed.size() - kept.size()) +
                      " bytes the console did not take\nafter the gap\n",
                  got.substr(notice));
    });
}

}  // namespace
