// The HID host: how the HID link reaches the system's HID interfaces. A plain record of function
// pointers, one instance per backend (Win32, Linux hidraw, simulated). Start-up uses the platform's
// default host; tests and the demo install the simulated one with SetHidHost.
//
// Interfaces are presented as Windows presents them: one entry per top-level collection, each with
// its own device path, vendor and product ID and capabilities. Every slot is safe to call from any
// thread; a slot given kInvalidHandle fails and sets the last error to PlatformBadHandleError().
#pragma once

#include <cstdint>

#include "platform/os.h"

// The four capability fields the link reads (HIDP_CAPS), report ID byte included in the lengths.
struct HidCaps {
    std::uint16_t Usage;
    std::uint16_t UsagePage;
    std::uint16_t InputReportByteLength;
    std::uint16_t OutputReportByteLength;
    std::uint16_t FeatureReportByteLength;
};

struct HidHost {
    void* pvCtx;  // handed back to every slot

    // Takes a snapshot list of the HID interfaces present now. kInvalidHandle when none can be made.
    PlatformHandle (*ListOpen)(void* pvCtx);
    // Asks for the interface at ulIndex of the list: 1 when it exists, 0 at the end of the list.
    int (*ListEntry)(void* pvCtx, PlatformHandle hList, std::uint32_t ulIndex);
    // Size in bytes of the interface's device path, terminator included (the detail record's size
    // query); 0 when the query fails.
    std::uint32_t (*ListPathSize)(void* pvCtx, PlatformHandle hList, std::uint32_t ulIndex);
    // Writes the device path (NUL-terminated) into strPath of capacity ulCap; 1, or 0 on failure
    // (including a path that does not fit).
    int (*ListPath)(void* pvCtx, PlatformHandle hList, std::uint32_t ulIndex, char* strPath,
                    std::uint32_t ulCap);
    // Releases the list.
    void (*ListClose)(void* pvCtx, PlatformHandle hList);

    // Opens a probe handle without read or write access; good for the two queries below only.
    PlatformHandle (*ProbeOpen)(void* pvCtx, const char* strPath);
    // Vendor and product ID of the interface behind a probe, write or read handle; 1 / 0. Of a write or
    // read handle: the device the open reached, which the link checks against what the probe matched.
    int (*ProbeAttributes)(void* pvCtx, PlatformHandle hProbe, std::uint16_t* pusVid, std::uint16_t* pusPid);
    // Capabilities of the probed collection; 1 / 0 (on 0 *ptCaps is left zero).
    int (*ProbeCaps)(void* pvCtx, PlatformHandle hProbe, HidCaps* ptCaps);

    // Opens the interface for synchronous writes of whole output reports.
    PlatformHandle (*OpenWrite)(void* pvCtx, const char* strPath);
    // Opens the interface for reads of input reports.
    PlatformHandle (*OpenRead)(void* pvCtx, const char* strPath);
    // Creates the read-completion event used with Read (manual reset, not signalled). Backends that
    // need none return a token handle that Close accepts.
    PlatformHandle (*EventCreate)(void* pvCtx);

    // Reads one input report of at most ulLen bytes into pucBuf. Blocks until a report arrives, the
    // device is gone, or CancelRead is called for hRead. Returns 1 with *pulGot = bytes delivered, or 0
    // on a failed read (*pulGot then 0), with the last error set. A read that cannot even be started
    // counts as failed.
    int (*Read)(void* pvCtx, PlatformHandle hRead, PlatformHandle hEvent, std::uint8_t* pucBuf,
                std::uint32_t ulLen, std::uint32_t* pulGot);
    // Makes a Read blocked on hRead (now or later) return as failed. Used to stop the reader in order.
    // Backends that cannot wake a blocked read do what they can; callers never rely on it for safety.
    void (*CancelRead)(void* pvCtx, PlatformHandle hRead);
    // Writes one output report of exactly ulLen bytes synchronously; 1, or 0 with the last error set.
    int (*Write)(void* pvCtx, PlatformHandle hWrite, const std::uint8_t* pucBuf, std::uint32_t ulLen,
                 std::uint32_t* pulWritten);
    // Closes any handle this host gave out (probe, write, read, event). Each handle is closed once.
    void (*Close)(void* pvCtx, PlatformHandle h);
};

// The host the HID link uses. At program start this is PlatformDefaultHidHost().
const HidHost* GetHidHost();
// Installs another host (the simulated one in tests and in the demo). Call before discovery starts.
void SetHidHost(const HidHost* ptHost);
// The platform's own host: hidraw on Linux, the HID class driver on Windows.
const HidHost* PlatformDefaultHidHost();
// Loads what the platform's own host takes from the system at run time (Windows: hid.dll from the system
// directory and its five functions), once per process; later calls give the first result. nullptr when
// the host is ready, else what is missing ("hid.dll", "hid.dll HidP_GetCaps") with the system's error
// code in *pulErr. The host's slots fail (with that error) while it is missing.
const char* PlatformHidHostLoad(std::uint32_t* pulErr);
