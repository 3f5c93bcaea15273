// The upgrade sequence's texts that belong to the program's message language. Each program links one
// message set (English or Chinese), which defines them.
#pragma once

struct UpgradeTexts {
    const char* strReady;       // preparation text, begins with "\r", no line end
    const char* strProgress;    // progress format: percentage (%6.02f) and state word (%s)
    const char* strFinish;      // state word after the last package
    const char* strProcessing;  // state word while packages remain
    // Ctrl-C stopped the transfer between two packages: the tablet waits in its boot loader, and running
    // the upgrade again completes it. A whole line.
    const char* strInterrupted;
};

extern const UpgradeTexts kUpgradeTexts;
