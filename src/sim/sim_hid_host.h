// A simulated HID host: presents virtual tablets and foreign HID devices through the HidHost record, so
// that the HID link runs unchanged against them in-process. Interfaces are listed as Windows lists
// them, one entry per top-level collection, in the order the devices were added (each device's
// collections in its own order). A device that left the bus is not listed; its handles fail from then
// on, and it gets new device paths when it comes back.
//
// Install with SetHidHost(host.Host()); uninstall (SetHidHost(nullptr)) before the host is destroyed.
// Thread-safe; starts no thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_host.h"
#include "sim/virtual_tablet.h"

namespace sim {

class SimHidHost {
  public:
    // Host calls that can be made to fail on purpose.
    enum class Call {
        kListOpen,
        kListPath,
        kProbeOpen,
        kProbeAttributes,
        kProbeCaps,
        kOpenWrite,
        kOpenRead,
        kEventCreate,
        kRead
    };
    enum class Where { kBack, kFront };

    struct Stats {
        std::uint32_t ulListOpens = 0;       // discovery passes that got a list
        std::uint32_t ulMaxListsAtOnce = 0;  // most lists open at the same time
        std::uint32_t ulWriteOpens = 0;      // successful OpenWrite
        std::uint32_t ulReadOpens = 0;       // successful OpenRead
        std::uint32_t ulEventCreates = 0;
        std::uint32_t ulCancelReads = 0;
        std::uint32_t ulBadCloses = 0;  // Close of a handle that was not open (closed twice, or never given)
        std::uint32_t ulLiveLists = 0;  // handles open now, by kind
        std::uint32_t ulLiveProbes = 0;
        std::uint32_t ulLiveWrites = 0;
        std::uint32_t ulLiveReads = 0;
        std::uint32_t ulLiveEvents = 0;
        std::uint32_t ulReadsInProgress = 0;  // Read calls now blocked or running
    };

    // Error code the host leaves behind for a path or device that is not there.
    static constexpr std::uint32_t kNoDeviceError = 2;
    // Error code of a call made to fail with FailCalls.
    static constexpr std::uint32_t kInjectedError = 5;

    SimHidHost();
    ~SimHidHost();
    SimHidHost(const SimHidHost&) = delete;
    SimHidHost& operator=(const SimHidHost&) = delete;

    const HidHost* Host() const { return &tHost_; }

    // Adds a device; returns its id. Devices can be added at any time (a device plugged in).
    int AddTablet(std::shared_ptr<VirtualTablet> ptTablet, Where eWhere = Where::kBack);
    int AddForeignDevice(std::uint16_t usVid, std::uint16_t usPid, std::vector<HidCaps> vtCollections,
                         Where eWhere = Where::kBack);
    // Unplugs a device for good: it is no longer listed and its handles fail.
    void RemoveDevice(int iId);
    // Another tablet in the same port: once device iId has left the bus after this call (it restarted,
    // or was pulled), the next listing finds ptNext at its place instead, and iId is unplugged for good,
    // as when the user swaps tablets (another model, say) between two plug-ins. Returns ptNext's id.
    int ReplugAs(int iId, std::shared_ptr<VirtualTablet> ptNext);

    // Another tablet takes device iId's path between probe and open (as when a hidraw node number is
    // reused): the next write open of one of iId's paths reaches ptOther instead.
    void TakeOverNextOpen(int iId, std::shared_ptr<VirtualTablet> ptOther);

    // Makes calls of one kind fail: after ulAfter more calls succeed, the next ulCount calls fail with
    // the error code ulError.
    void FailCalls(Call eCall, std::uint32_t ulCount, std::uint32_t ulAfter = 0,
                   std::uint32_t ulError = kInjectedError);

    Stats GetStats();
    // Waits until ulCount Read calls are in progress (a reader is blocked); false after ulTimeoutMs.
    bool WaitForReadsInProgress(std::uint32_t ulCount, std::uint32_t ulTimeoutMs);

  private:
    struct Device;
    struct TabletDevice;
    struct ForeignDevice;
    struct ListItem {
        std::string strPath;
        std::shared_ptr<Device> ptDevice;
    };
    enum class Kind { kList, kProbe, kWrite, kRead, kEvent };
    struct HandleRec {
        Kind eKind;
        std::shared_ptr<Device> ptDevice;
        std::uint32_t ulGeneration = 0;
        std::size_t uCollection = 0;
        std::shared_ptr<std::atomic<bool>> pbCancel;
        std::vector<ListItem> vtList;
    };
    struct FailPlan {
        std::uint32_t ulAfter = 0;
        std::uint32_t ulCount = 0;
        std::uint32_t ulError = kInjectedError;
    };
    friend struct SimHidHostCalls;

    int AddDevice(std::shared_ptr<Device> ptDevice, Where eWhere);
    // Carries out the swaps of ReplugAs whose device is off the bus.
    void ApplyReplugs();
    bool FailNowLocked(Call eCall);
    PlatformHandle NewHandleLocked(HandleRec tRec);
    HandleRec* FindLocked(PlatformHandle h, Kind eKind);
    // Resolves a device path of a present device: the device, its generation and collection.
    bool ResolveLocked(const char* strPath, std::shared_ptr<Device>* pptDevice, std::uint32_t* pulGeneration,
                       std::size_t* puCollection);
    void CountLocked(Kind eKind, int iDelta);

    HidHost tHost_;
    std::mutex tMutex_;
    std::condition_variable tCv_;
    std::vector<std::pair<int, std::shared_ptr<Device>>> vtDevices_;
    int iNextId_ = 1;
    std::map<PlatformHandle, HandleRec> tHandles_;
    PlatformHandle hNext_ = 0x5100;
    std::map<Call, FailPlan> tFailPlans_;
    struct Replug {
        int iId;
        std::uint32_t ulGeneration;  // iId's generation when the swap was asked for
        int iNextId;
        std::shared_ptr<Device> ptNext;
    };
    std::vector<Replug> vtReplugs_;
    std::vector<std::pair<std::shared_ptr<Device>, std::shared_ptr<Device>>>
        vtTakeOvers_;  // (device, the other)
    Stats tStats_;
};

}  // namespace sim
