#include "sim/sim_hid_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

// What the host needs of a device on its list.
struct SimHidHost::Device {
    virtual ~Device() = default;
    virtual std::uint16_t Vid() const = 0;
    virtual std::uint16_t Pid() const = 0;
    virtual std::vector<HidCaps> Collections() const = 0;
    virtual bool Present(std::uint32_t* pulGeneration) = 0;
    virtual int Write(std::uint32_t ulGeneration, std::size_t uCollection, const std::uint8_t* puc,
                      std::uint32_t ulLen) = 0;
    virtual int Read(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* puc,
                     std::uint32_t ulCap, std::uint32_t* pulGot, const std::atomic<bool>& bCancel) = 0;
    virtual void Wake() = 0;
    virtual void Remove() = 0;
};

struct SimHidHost::TabletDevice : SimHidHost::Device {
    explicit TabletDevice(std::shared_ptr<VirtualTablet> pt) : ptTablet(std::move(pt)) {}
    std::uint16_t Vid() const override { return ptTablet->VendorId(); }
    std::uint16_t Pid() const override { return ptTablet->ProductId(); }
    std::vector<HidCaps> Collections() const override { return ptTablet->Collections(); }
    bool Present(std::uint32_t* pulGeneration) override { return ptTablet->Present(pulGeneration); }
    int Write(std::uint32_t ulGeneration, std::size_t uCollection, const std::uint8_t* puc,
              std::uint32_t ulLen) override {
        return ptTablet->WriteOutputReport(ulGeneration, uCollection, puc, ulLen);
    }
    int Read(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* puc, std::uint32_t ulCap,
             std::uint32_t* pulGot, const std::atomic<bool>& bCancel) override {
        return ptTablet->ReadInputReport(ulGeneration, uCollection, puc, ulCap, pulGot, bCancel);
    }
    void Wake() override { ptTablet->WakeReaders(); }
    void Remove() override { ptTablet->LeaveBus(kNeverMs); }
    std::shared_ptr<VirtualTablet> ptTablet;
};

// Another maker's HID device: listed and probed like any other, never answers.
struct SimHidHost::ForeignDevice : SimHidHost::Device {
    ForeignDevice(std::uint16_t v, std::uint16_t p, std::vector<HidCaps> c)
        : usVid(v), usPid(p), vtCollections(std::move(c)) {}
    std::uint16_t Vid() const override { return usVid; }
    std::uint16_t Pid() const override { return usPid; }
    std::vector<HidCaps> Collections() const override { return vtCollections; }
    bool Present(std::uint32_t* pulGeneration) override {
        std::lock_guard<std::mutex> lk(tMutex);
        if (pulGeneration != nullptr) {
            *pulGeneration = 1;
        }
        return bPresent;
    }
    int Write(std::uint32_t, std::size_t uCollection, const std::uint8_t*, std::uint32_t ulLen) override {
        std::lock_guard<std::mutex> lk(tMutex);
        return bPresent && uCollection < vtCollections.size() &&
                       vtCollections[uCollection].OutputReportByteLength != 0 &&
                       ulLen == vtCollections[uCollection].OutputReportByteLength
                   ? 1
                   : 0;
    }
    int Read(std::uint32_t, std::size_t, std::uint8_t*, std::uint32_t, std::uint32_t* pulGot,
             const std::atomic<bool>& bCancel) override {
        *pulGot = 0;
        std::unique_lock<std::mutex> lk(tMutex);
        tCv.wait(lk, [&] { return !bPresent || bCancel.load(std::memory_order_acquire); });
        return 0;
    }
    void Wake() override {
        std::lock_guard<std::mutex> lk(tMutex);
        tCv.notify_all();
    }
    void Remove() override {
        std::lock_guard<std::mutex> lk(tMutex);
        bPresent = false;
        tCv.notify_all();
    }
    std::uint16_t usVid;
    std::uint16_t usPid;
    std::vector<HidCaps> vtCollections;
    std::mutex tMutex;
    std::condition_variable tCv;
    bool bPresent = true;
};

// The HidHost slots: each one finds the host behind pvCtx and works under its mutex, except for the
// blocking read and the device calls, which run with the host's mutex released.
struct SimHidHostCalls {
    using Host = SimHidHost;
    using Kind = SimHidHost::Kind;
    using Call = SimHidHost::Call;

    static Host& Of(void* pv) { return *static_cast<Host*>(pv); }

    static void BadHandle() { PlatformSetLastError(PlatformBadHandleError()); }

    static PlatformHandle ListOpen(void* pv) {
        Host& t = Of(pv);
        t.ApplyReplugs();
        std::lock_guard<std::mutex> lk(t.tMutex_);
        if (t.FailNowLocked(Call::kListOpen)) {
            return kInvalidHandle;
        }
        Host::HandleRec tRec{Kind::kList, nullptr, 0, 0, nullptr, {}};
        for (const auto& [iId, ptDevice] : t.vtDevices_) {
            std::uint32_t ulGeneration = 0;
            if (!ptDevice->Present(&ulGeneration)) {
                continue;
            }
            std::size_t uCount = ptDevice->Collections().size();
            for (std::size_t k = 0; k < uCount; ++k) {
                char acPath[64];
                std::snprintf(acPath, sizeof(acPath), "/sim/hid/%d.%u/col%02zu", iId, ulGeneration, k);
                tRec.vtList.push_back(Host::ListItem{acPath, ptDevice});
            }
        }
        ++t.tStats_.ulListOpens;
        PlatformHandle h = t.NewHandleLocked(std::move(tRec));
        t.tStats_.ulMaxListsAtOnce = std::max(t.tStats_.ulMaxListsAtOnce, t.tStats_.ulLiveLists);
        return h;
    }

    static int ListEntry(void* pv, PlatformHandle hList, std::uint32_t ulIndex) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        Host::HandleRec* pt = t.FindLocked(hList, Kind::kList);
        return pt != nullptr && ulIndex < pt->vtList.size() ? 1 : 0;
    }

    static std::uint32_t ListPathSize(void* pv, PlatformHandle hList, std::uint32_t ulIndex) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        Host::HandleRec* pt = t.FindLocked(hList, Kind::kList);
        if (pt == nullptr || ulIndex >= pt->vtList.size()) {
            return 0;
        }
        return static_cast<std::uint32_t>(pt->vtList[ulIndex].strPath.size() + 1);
    }

    static int ListPath(void* pv, PlatformHandle hList, std::uint32_t ulIndex, char* strPath,
                        std::uint32_t ulCap) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        Host::HandleRec* pt = t.FindLocked(hList, Kind::kList);
        if (pt == nullptr || ulIndex >= pt->vtList.size() || t.FailNowLocked(Call::kListPath)) {
            return 0;
        }
        const std::string& str = pt->vtList[ulIndex].strPath;
        if (strPath == nullptr || str.size() + 1 > ulCap) {
            return 0;
        }
        std::memcpy(strPath, str.c_str(), str.size() + 1);
        return 1;
    }

    static void ListClose(void* pv, PlatformHandle hList) { Close(pv, hList); }

    static PlatformHandle OpenOn(void* pv, const char* strPath, Kind eKind, Call eCall) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        if (t.FailNowLocked(eCall)) {
            return kInvalidHandle;
        }
        Host::HandleRec tRec{eKind, nullptr, 0, 0, nullptr, {}};
        if (!t.ResolveLocked(strPath, &tRec.ptDevice, &tRec.ulGeneration, &tRec.uCollection)) {
            PlatformSetLastError(Host::kNoDeviceError);
            return kInvalidHandle;
        }
        for (auto it = t.vtTakeOvers_.begin(); eKind == Kind::kWrite && it != t.vtTakeOvers_.end(); ++it) {
            if (it->first == tRec.ptDevice) {
                tRec.ptDevice = it->second;
                tRec.ptDevice->Present(&tRec.ulGeneration);
                t.vtTakeOvers_.erase(it);
                break;
            }
        }
        if (eKind == Kind::kRead) {
            tRec.pbCancel = std::make_shared<std::atomic<bool>>(false);
            ++t.tStats_.ulReadOpens;
        } else if (eKind == Kind::kWrite) {
            ++t.tStats_.ulWriteOpens;
        }
        return t.NewHandleLocked(std::move(tRec));
    }

    static PlatformHandle ProbeOpen(void* pv, const char* strPath) {
        return OpenOn(pv, strPath, Kind::kProbe, Call::kProbeOpen);
    }
    static PlatformHandle OpenWrite(void* pv, const char* strPath) {
        return OpenOn(pv, strPath, Kind::kWrite, Call::kOpenWrite);
    }
    static PlatformHandle OpenRead(void* pv, const char* strPath) {
        return OpenOn(pv, strPath, Kind::kRead, Call::kOpenRead);
    }

    // The record of an open probe handle, or null (bad handle, or a failure asked for by the test).
    static Host::HandleRec* ProbeLocked(Host& t, PlatformHandle hProbe, Call eCall) {
        Host::HandleRec* pt = t.FindLocked(hProbe, Kind::kProbe);
        if (pt == nullptr) {
            BadHandle();
            return nullptr;
        }
        return t.FailNowLocked(eCall) ? nullptr : pt;
    }

    static int ProbeAttributes(void* pv, PlatformHandle hProbe, std::uint16_t* pusVid,
                               std::uint16_t* pusPid) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        // A write or read handle names the device its open reached.
        Host::HandleRec* pt = t.FindLocked(hProbe, Kind::kWrite);
        pt = pt != nullptr ? pt : t.FindLocked(hProbe, Kind::kRead);
        pt = pt != nullptr ? pt : ProbeLocked(t, hProbe, Call::kProbeAttributes);
        if (pt == nullptr) {
            return 0;
        }
        *pusVid = pt->ptDevice->Vid();
        *pusPid = pt->ptDevice->Pid();
        return 1;
    }

    static int ProbeCaps(void* pv, PlatformHandle hProbe, HidCaps* ptCaps) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        *ptCaps = HidCaps{};
        Host::HandleRec* pt = ProbeLocked(t, hProbe, Call::kProbeCaps);
        if (pt == nullptr) {
            return 0;
        }
        *ptCaps = pt->ptDevice->Collections()[pt->uCollection];
        return 1;
    }

    static PlatformHandle EventCreate(void* pv) {
        Host& t = Of(pv);
        std::lock_guard<std::mutex> lk(t.tMutex_);
        if (t.FailNowLocked(Call::kEventCreate)) {
            return kInvalidHandle;
        }
        ++t.tStats_.ulEventCreates;
        return t.NewHandleLocked(Host::HandleRec{Kind::kEvent, nullptr, 0, 0, nullptr, {}});
    }

    static int Read(void* pv, PlatformHandle hRead, PlatformHandle hEvent, std::uint8_t* pucBuf,
                    std::uint32_t ulLen, std::uint32_t* pulGot) {
        Host& t = Of(pv);
        *pulGot = 0;
        std::shared_ptr<Host::Device> ptDevice;
        std::shared_ptr<std::atomic<bool>> pbCancel;
        std::uint32_t ulGeneration = 0;
        std::size_t uCollection = 0;
        {
            std::lock_guard<std::mutex> lk(t.tMutex_);
            Host::HandleRec* pt = t.FindLocked(hRead, Kind::kRead);
            if (pt == nullptr || t.FindLocked(hEvent, Kind::kEvent) == nullptr) {
                BadHandle();
                return 0;
            }
            if (t.FailNowLocked(Call::kRead)) {
                return 0;
            }
            ptDevice = pt->ptDevice;
            pbCancel = pt->pbCancel;
            ulGeneration = pt->ulGeneration;
            uCollection = pt->uCollection;
            ++t.tStats_.ulReadsInProgress;
            t.tCv_.notify_all();
        }
        int iOk = ptDevice->Read(ulGeneration, uCollection, pucBuf, ulLen, pulGot, *pbCancel);
        {
            std::lock_guard<std::mutex> lk(t.tMutex_);
            --t.tStats_.ulReadsInProgress;
            t.tCv_.notify_all();
        }
        if (iOk == 0) {
            PlatformSetLastError(Host::kNoDeviceError);
        }
        return iOk;
    }

    static void CancelRead(void* pv, PlatformHandle hRead) {
        Host& t = Of(pv);
        std::shared_ptr<Host::Device> ptDevice;
        {
            std::lock_guard<std::mutex> lk(t.tMutex_);
            Host::HandleRec* pt = t.FindLocked(hRead, Kind::kRead);
            if (pt == nullptr) {
                return;
            }
            pt->pbCancel->store(true, std::memory_order_release);
            ptDevice = pt->ptDevice;
            ++t.tStats_.ulCancelReads;
        }
        ptDevice->Wake();
    }

    static int Write(void* pv, PlatformHandle hWrite, const std::uint8_t* pucBuf, std::uint32_t ulLen,
                     std::uint32_t* pulWritten) {
        Host& t = Of(pv);
        *pulWritten = 0;
        std::shared_ptr<Host::Device> ptDevice;
        std::uint32_t ulGeneration = 0;
        std::size_t uCollection = 0;
        {
            std::lock_guard<std::mutex> lk(t.tMutex_);
            Host::HandleRec* pt = t.FindLocked(hWrite, Kind::kWrite);
            if (pt == nullptr) {
                BadHandle();
                return 0;
            }
            ptDevice = pt->ptDevice;
            ulGeneration = pt->ulGeneration;
            uCollection = pt->uCollection;
        }
        if (ptDevice->Write(ulGeneration, uCollection, pucBuf, ulLen) == 0) {
            PlatformSetLastError(Host::kNoDeviceError);
            return 0;
        }
        *pulWritten = ulLen;
        return 1;
    }

    static void Close(void* pv, PlatformHandle h) {
        Host& t = Of(pv);
        std::shared_ptr<Host::Device> ptWake;
        {
            std::lock_guard<std::mutex> lk(t.tMutex_);
            auto it = t.tHandles_.find(h);
            if (it == t.tHandles_.end()) {
                ++t.tStats_.ulBadCloses;
                return;
            }
            if (it->second.eKind == Kind::kRead) {
                // A read still blocked on this handle ends as failed.
                it->second.pbCancel->store(true, std::memory_order_release);
                ptWake = it->second.ptDevice;
            }
            t.CountLocked(it->second.eKind, -1);
            t.tHandles_.erase(it);
        }
        if (ptWake) {
            ptWake->Wake();
        }
    }
};

SimHidHost::SimHidHost()
    : tHost_{this,
             SimHidHostCalls::ListOpen,
             SimHidHostCalls::ListEntry,
             SimHidHostCalls::ListPathSize,
             SimHidHostCalls::ListPath,
             SimHidHostCalls::ListClose,
             SimHidHostCalls::ProbeOpen,
             SimHidHostCalls::ProbeAttributes,
             SimHidHostCalls::ProbeCaps,
             SimHidHostCalls::OpenWrite,
             SimHidHostCalls::OpenRead,
             SimHidHostCalls::EventCreate,
             SimHidHostCalls::Read,
             SimHidHostCalls::CancelRead,
             SimHidHostCalls::Write,
             SimHidHostCalls::Close} {}

SimHidHost::~SimHidHost() = default;

int SimHidHost::AddDevice(std::shared_ptr<Device> ptDevice, Where eWhere) {
    std::lock_guard<std::mutex> lk(tMutex_);
    int iId = iNextId_++;
    if (eWhere == Where::kFront) {
        vtDevices_.insert(vtDevices_.begin(), {iId, std::move(ptDevice)});
    } else {
        vtDevices_.emplace_back(iId, std::move(ptDevice));
    }
    return iId;
}

int SimHidHost::AddTablet(std::shared_ptr<VirtualTablet> ptTablet, Where eWhere) {
    return AddDevice(std::make_shared<TabletDevice>(std::move(ptTablet)), eWhere);
}

int SimHidHost::AddForeignDevice(std::uint16_t usVid, std::uint16_t usPid, std::vector<HidCaps> vtCollections,
                                 Where eWhere) {
    return AddDevice(std::make_shared<ForeignDevice>(usVid, usPid, std::move(vtCollections)), eWhere);
}

void SimHidHost::RemoveDevice(int iId) {
    std::shared_ptr<Device> ptDevice;
    {
        std::lock_guard<std::mutex> lk(tMutex_);
        auto it =
            std::find_if(vtDevices_.begin(), vtDevices_.end(), [&](const auto& t) { return t.first == iId; });
        if (it == vtDevices_.end()) {
            return;
        }
        ptDevice = it->second;
        vtDevices_.erase(it);
    }
    ptDevice->Remove();
}

void SimHidHost::TakeOverNextOpen(int iId, std::shared_ptr<VirtualTablet> ptOther) {
    std::lock_guard<std::mutex> lk(tMutex_);
    for (const auto& [iDevId, ptDevice] : vtDevices_) {
        if (iDevId == iId) {
            vtTakeOvers_.emplace_back(ptDevice, std::make_shared<TabletDevice>(std::move(ptOther)));
            return;
        }
    }
}

int SimHidHost::ReplugAs(int iId, std::shared_ptr<VirtualTablet> ptNext) {
    std::lock_guard<std::mutex> lk(tMutex_);
    std::uint32_t ulGeneration = 0;
    for (const auto& [iDevId, ptDevice] : vtDevices_) {
        if (iDevId == iId) {
            ptDevice->Present(&ulGeneration);
        }
    }
    const int iNextId = iNextId_++;
    vtReplugs_.push_back(
        Replug{iId, ulGeneration, iNextId, std::make_shared<TabletDevice>(std::move(ptNext))});
    return iNextId;
}

void SimHidHost::ApplyReplugs() {
    std::vector<std::shared_ptr<Device>> vtGone;
    {
        std::lock_guard<std::mutex> lk(tMutex_);
        for (auto itPlan = vtReplugs_.begin(); itPlan != vtReplugs_.end();) {
            auto it = std::find_if(vtDevices_.begin(), vtDevices_.end(),
                                   [&](const auto& t) { return t.first == itPlan->iId; });
            std::uint32_t ulGeneration = 0;
            if (it == vtDevices_.end() ||
                (it->second->Present(&ulGeneration) && ulGeneration == itPlan->ulGeneration)) {
                ++itPlan;
                continue;
            }
            vtGone.push_back(it->second);
            *it = {itPlan->iNextId, itPlan->ptNext};
            itPlan = vtReplugs_.erase(itPlan);
        }
    }
    // The unplugged tablets stay away even when their restart would have brought them back.
    for (const auto& ptDevice : vtGone) {
        ptDevice->Remove();
    }
}

void SimHidHost::FailCalls(Call eCall, std::uint32_t ulCount, std::uint32_t ulAfter, std::uint32_t ulError) {
    std::lock_guard<std::mutex> lk(tMutex_);
    tFailPlans_[eCall] = FailPlan{ulAfter, ulCount, ulError};
}

bool SimHidHost::FailNowLocked(Call eCall) {
    auto it = tFailPlans_.find(eCall);
    if (it == tFailPlans_.end() || it->second.ulCount == 0) {
        return false;
    }
    if (it->second.ulAfter > 0) {
        --it->second.ulAfter;
        return false;
    }
    --it->second.ulCount;
    PlatformSetLastError(it->second.ulError);
    return true;
}

void SimHidHost::CountLocked(Kind eKind, int iDelta) {
    std::uint32_t* pul = nullptr;
    switch (eKind) {
        case Kind::kList:
            pul = &tStats_.ulLiveLists;
            break;
        case Kind::kProbe:
            pul = &tStats_.ulLiveProbes;
            break;
        case Kind::kWrite:
            pul = &tStats_.ulLiveWrites;
            break;
        case Kind::kRead:
            pul = &tStats_.ulLiveReads;
            break;
        case Kind::kEvent:
            pul = &tStats_.ulLiveEvents;
            break;
    }
    *pul = static_cast<std::uint32_t>(static_cast<int>(*pul) + iDelta);
}

PlatformHandle SimHidHost::NewHandleLocked(HandleRec tRec) {
    PlatformHandle h = hNext_++;
    CountLocked(tRec.eKind, +1);
    tHandles_.emplace(h, std::move(tRec));
    return h;
}

SimHidHost::HandleRec* SimHidHost::FindLocked(PlatformHandle h, Kind eKind) {
    auto it = tHandles_.find(h);
    return it != tHandles_.end() && it->second.eKind == eKind ? &it->second : nullptr;
}

bool SimHidHost::ResolveLocked(const char* strPath, std::shared_ptr<Device>* pptDevice,
                               std::uint32_t* pulGeneration, std::size_t* puCollection) {
    int iId = 0;
    unsigned uGeneration = 0;
    unsigned uCollection = 0;
    int iEnd = 0;
    if (strPath == nullptr ||
        std::sscanf(strPath, "/sim/hid/%d.%u/col%u%n", &iId, &uGeneration, &uCollection, &iEnd) != 3 ||
        strPath[iEnd] != '\0') {
        return false;
    }
    for (const auto& [iDevId, ptDevice] : vtDevices_) {
        std::uint32_t ulNow = 0;
        if (iDevId != iId || !ptDevice->Present(&ulNow) || ulNow != uGeneration ||
            uCollection >= ptDevice->Collections().size()) {
            continue;
        }
        *pptDevice = ptDevice;
        *pulGeneration = uGeneration;
        *puCollection = uCollection;
        return true;
    }
    return false;
}

SimHidHost::Stats SimHidHost::GetStats() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return tStats_;
}

bool SimHidHost::WaitForReadsInProgress(std::uint32_t ulCount, std::uint32_t ulTimeoutMs) {
    std::unique_lock<std::mutex> lk(tMutex_);
    return tCv_.wait_for(lk, std::chrono::milliseconds(ulTimeoutMs),
                         [&] { return tStats_.ulReadsInProgress >= ulCount; });
}

}  // namespace sim
