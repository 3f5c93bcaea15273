// The console program: start-up, tablet wait, menu loop and shutdown.
#pragma once

#include <cstddef>
#include <cstdint>

// The 36-byte debug-parameter block of the current run (kept reachable until the process ends).
extern void* g_ptPresDbgPara;

// The whole program. Returns the exit status: 0 when the last upgrade succeeded or none was tried, 1
// when the last upgrade failed, was refused or was interrupted, or when a working record could not be
// allocated at start-up (the program did not run).
int TaveloIapMain();

// Shows the menu and reads lines until the user chooses 1 or 2. The end of standard input counts as 2.
int ShowMenu();

// Which working record an allocation is for, in the order main acquires them.
enum AppRecord {
    E_AppRecord_ComResource,
    E_AppRecord_ConfgFile,
    E_AppRecord_CmdUnion,
    E_AppRecord_PresDbgPara
};
// Allocation used for the working records; tests replace it to make one allocation fail.
using AppAllocFn = void* (*)(AppRecord eRecord, std::size_t szBytes);
void SetAppAllocator(AppAllocFn pfnAlloc);
// How long the program waits for a supported tablet before its hint line (tests shorten it; 0 restores
// the ten seconds).
void SetDetectingHintMs(std::uint32_t ulMs);
