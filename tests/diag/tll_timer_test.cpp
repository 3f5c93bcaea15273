#include "diag/tll_timer.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/capture_stdout.h"

namespace {

const char kTllLine[] = "[Tavelo IAP]:  ->Tll超时事件\r\n";

long long WaitMs(std::uint32_t ulElapse) {
    auto t0 = std::chrono::steady_clock::now();
    TllTimerWait(ulElapse);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}

// The wait ends with the expiry that prints the line: not before the elapse, and well before a second
// expiry would come (the bound is loose enough for a loaded machine).
TEST(TllTimer, WaitPrintsOnceAndLastsItsElapse) {
    StdoutCapture cap;
    long long llMs = WaitMs(1000);
    EXPECT_EQ(cap.Finish(), kTllLine);
    EXPECT_EQ(TllTimedOut(), 1);
    EXPECT_GE(llMs, 1000);
    EXPECT_LT(llMs, 1900);
}

TEST(TllTimer, EachWaitStartsAfreshAndForeignTimersAreIgnored) {
    StdoutCapture cap;
    WaitMs(50);
    long long llMs = WaitMs(0);  // below the minimum period: runs as 10 ms
    EXPECT_GE(llMs, 10);
    EXPECT_EQ(TllTimedOut(), 1);
    // Between waits no timer is recognised: a late or foreign expiry prints nothing.
    TllTimerProc(kInvalidHandle, 0x0113, 12345, 0);
    TllTimerProc(kInvalidHandle, 0x0113, 0, 0);
    EXPECT_EQ(cap.Finish(), std::string(kTllLine) + kTllLine);
}

}  // namespace
