// The menu and the allocation failures of start-up: console text in, console text out, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include "app/app_main.h"
#include "support/capture_stdout.h"
#include "support/stdin_feed.h"

namespace {

#ifdef TAVELO_TEST_ZH
const std::string kMenu =
    "\r\n[Tavelo IAP]: 此版本支持以下操作：[1]固件升级 Or [2]退出\r\n[Tavelo IAP]: 请选择操作类型：";
#else
const std::string kMenu =
    "\r\n[Tavelo IAP]: Function list：【1】Firmware Upgrade 【2】Exit\r\n[Tavelo IAP]: Please choose：";
#endif

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) {
        r += s;
    }
    return r;
}

TEST(ShowMenu, EveryWayOfWritingOneStartsTheUpgrade) {
    StdinFeed feed("1\n+1\n01\n1abc\n 1\n\t1\n");
    StdoutCapture cap;
    for (int k = 0; k < 6; ++k) {
        ASSERT_EQ(ShowMenu(), 1) << "line " << k;
    }
    EXPECT_EQ(cap.Finish(), Repeat(kMenu, 6));
}

TEST(ShowMenu, OtherLinesShowTheMenuAgainUntilTwo) {
    StdinFeed feed("0\n3\n-2\n12\nabc\n\n99999999999999999999\n2x\n");
    StdoutCapture cap;
    EXPECT_EQ(ShowMenu(), 2);
    EXPECT_EQ(cap.Finish(), Repeat(kMenu, 8) + "\r\n");
}

TEST(ShowMenu, TwoFollowedBySpacesEndsAndLastLineWithoutLineEndCounts) {
    {
        StdinFeed feed("2   \n");
        StdoutCapture cap;
        EXPECT_EQ(ShowMenu(), 2);
        EXPECT_EQ(cap.Finish(), kMenu + "\r\n");
    }
    {
        StdinFeed feed("1");
        StdoutCapture cap;
        EXPECT_EQ(ShowMenu(), 1);
        EXPECT_EQ(cap.Finish(), kMenu);
    }
}

TEST(ShowMenu, EndOfInputEndsLikeChoiceTwo) {
    StdinFeed feed("3\n");
    StdoutCapture cap;
    EXPECT_EQ(ShowMenu(), 2);
    EXPECT_EQ(cap.Finish(), Repeat(kMenu, 2) + "\r\n");
}

TEST(ShowMenu, OverLongLineIsOneChoice) {
    // 29 characters are kept; the rest of the line is dropped, not taken as a further choice.
    StdinFeed feed("1" + std::string(40, ' ') + "2\n" + "5" + std::string(40, ' ') + "1\n2\n");
    StdoutCapture cap;
    EXPECT_EQ(ShowMenu(), 1);
    EXPECT_EQ(ShowMenu(), 2);  // the "5 ... 1" line shows the menu again; "2" ends
    EXPECT_EQ(cap.Finish(), Repeat(kMenu, 3) + "\r\n");
}

#ifndef _WIN32
// Bytes waiting in a terminal's input, polled until they are iWant (for at most 5 s).
bool WaitForTerminalInput(int iFd, int iWant) {
    for (int k = 0; k < 500; ++k) {
        int iHeld = -1;
        if (ioctl(iFd, FIONREAD, &iHeld) == 0 && iHeld == iWant) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A "1" and Enter typed on the terminal before the menu is shown (while the program detects the tablet
// or runs an upgrade) is discarded: only what is typed to the menu chooses. Input from a file or pipe is
// read whole (the cases above).
TEST(ShowMenu, KeysTypedAheadOnATerminalAreNoChoice) {
    const int iMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(iMaster, 0);
    ASSERT_EQ(grantpt(iMaster), 0);
    ASSERT_EQ(unlockpt(iMaster), 0);
    const int iTerminal = open(ptsname(iMaster), O_RDWR | O_NOCTTY);
    ASSERT_GE(iTerminal, 0);
    ASSERT_EQ(write(iMaster, "1\n", 2), 2);
    ASSERT_TRUE(WaitForTerminalInput(iTerminal, 2));
    const int iSavedStdin = dup(0);
    dup2(iTerminal, 0);
    clearerr(stdin);
    int iChoice = 0;
    {
        StdoutCapture cap;
        std::thread tMenu([&] { iChoice = ShowMenu(); });
        // Once the typed line is gone (discarded, or read without the discarding), "2" is typed.
        EXPECT_TRUE(WaitForTerminalInput(iTerminal, 0));
        EXPECT_EQ(write(iMaster, "2\n", 2), 2);
        tMenu.join();
        EXPECT_EQ(cap.Finish(), kMenu + "\r\n");
    }
    EXPECT_EQ(iChoice, 2);
    dup2(iSavedStdin, 0);
    close(iSavedStdin);
    clearerr(stdin);
    close(iTerminal);
    close(iMaster);
}
#endif

// Start-up with one working record refused: exactly one line, no banner, exit status 1 (nothing ran).
int g_iFailRecord = -1;
void* FailingAlloc(AppRecord eRecord, std::size_t szBytes) {
    return static_cast<int>(eRecord) == g_iFailRecord ? nullptr : std::malloc(szBytes);
}

TEST(StartUp, EachFailedAllocationPrintsItsLineAndEndsWithStatusOne) {
    const char* lines[4] = {"[Tavelo IAP]: Error -> ptComResource Malloc\r\n",
                            "[Tavelo IAP]: Error -> ptConfgFile Malloc\r\n",
                            "[Tavelo IAP]: Error -> punPrtcDRBDCmdUnion Malloc\r\n",
                            "[Tavelo IAP]: Error -> ptPresDbgPara Malloc\r\n"};
    SetAppAllocator(FailingAlloc);
    for (int k = 0; k < 4; ++k) {
        g_iFailRecord = k;
        StdoutCapture cap;
        EXPECT_EQ(TaveloIapMain(), 1);
        EXPECT_EQ(cap.Finish(), lines[k]);
    }
    SetAppAllocator(nullptr);
}

}  // namespace
