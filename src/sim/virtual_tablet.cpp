#include "sim/virtual_tablet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "device/device_table.h"
#include "drbd/drbd_frame.h"

namespace sim {

namespace {
constexpr std::uint8_t kOutputReportId = 0xFD;
constexpr std::uint8_t kInputReportId = 0xFC;
constexpr std::uint8_t kFaultReportId = 0xFB;
constexpr std::uint16_t kVendorUsage = 0x0007;
constexpr std::uint16_t kVendorUsagePage = 0xFF0C;
constexpr std::uint32_t kFlashPage = 1024;

std::uint16_t GetBe16(const std::uint8_t* puc) {
    return static_cast<std::uint16_t>((puc[0] << 8) | puc[1]);
}
std::uint32_t GetBe32(const std::uint8_t* puc) {
    return (static_cast<std::uint32_t>(puc[0]) << 24) | (static_cast<std::uint32_t>(puc[1]) << 16) |
           (static_cast<std::uint32_t>(puc[2]) << 8) | puc[3];
}
// Where a recorded departure comes back.
TabletFirmware BackIn(const RecordedEvent& t) {
    return t.bBackInBootLoader ? TabletFirmware::kBootLoader : TabletFirmware::kApplication;
}

// The command word of the frame in an output report, 0 when the report is too short to hold one.
std::uint16_t ReportCommand(const std::uint8_t* pucReport, std::uint32_t ulLen) {
    return ulLen >= 1u + kDrbdOffPara ? GetBe16(pucReport + 1 + kDrbdOffCmdCode + 4) : std::uint16_t{0};
}
void PushBe16(std::vector<std::uint8_t>& v, std::uint16_t us) {
    v.push_back(static_cast<std::uint8_t>(us >> 8));
    v.push_back(static_cast<std::uint8_t>(us & 0xFF));
}

bool IsVendor(const HidCaps& t) {
    return t.Usage == kVendorUsage && t.UsagePage == kVendorUsagePage;
}

// Report descriptor items (short items, little-endian data). bTwoBytes for values read as signed
// (logical limits), where one byte above 0x7F would turn negative.
void PutItem(std::vector<std::uint8_t>& v, std::uint8_t ucPrefix, std::uint32_t ulValue,
             bool bTwoBytes = false) {
    if (ulValue <= 0xFF && !bTwoBytes) {
        v.push_back(static_cast<std::uint8_t>(ucPrefix | 1));
        v.push_back(static_cast<std::uint8_t>(ulValue));
    } else {
        v.push_back(static_cast<std::uint8_t>(ucPrefix | 2));
        v.push_back(static_cast<std::uint8_t>(ulValue & 0xFF));
        v.push_back(static_cast<std::uint8_t>(ulValue >> 8));
    }
}
void PutReport(std::vector<std::uint8_t>& v, std::uint8_t ucMainPrefix, std::uint8_t ucId,
               std::uint16_t usBytes) {
    if (usBytes < 2) {
        return;
    }
    PutItem(v, 0x84, ucId);          // Report ID
    PutItem(v, 0x08, 0x01);          // Usage
    PutItem(v, 0x14, 0x00);          // Logical Minimum 0
    PutItem(v, 0x24, 0x00FF, true);  // Logical Maximum 255
    PutItem(v, 0x74, 8);             // Report Size 8
    PutItem(v, 0x94, usBytes - 1u);  // Report Count (report ID not counted)
    PutItem(v, ucMainPrefix, 0x02);  // Data, Variable, Absolute
}
}  // namespace

HidCaps VendorCollectionCaps(std::uint16_t usInputBytes, std::uint16_t usOutputBytes) {
    return HidCaps{kVendorUsage, kVendorUsagePage, usInputBytes, usOutputBytes, 0};
}
HidCaps DigitizerCollectionCaps() {
    return HidCaps{0x0002, 0x000D, 10, 0, 0};
}
HidCaps MouseCollectionCaps() {
    return HidCaps{0x0002, 0x0001, 8, 0, 0};
}

VirtualTablet::VirtualTablet(Config tConfig)
    : tConfig_(std::move(tConfig)),
      eRunning_(tConfig_.eStartIn),
      bAppBootable_(tConfig_.eStartIn == TabletFirmware::kApplication),
      usReplyCounter_(tConfig_.usReplyIdValue) {
    const DeviceEntry* ptRow = nullptr;
    GetDeviceEntry(&ptRow, tConfig_.iModelIndex);
    usVid_ = tConfig_.usVid != 0 ? tConfig_.usVid : (ptRow ? static_cast<std::uint16_t>(ptRow->ulVid) : 0);
    usPid_ = tConfig_.usPid != 0 ? tConfig_.usPid : (ptRow ? static_cast<std::uint16_t>(ptRow->ulPid) : 0);
    vtCollections_ = tConfig_.vtCollections;
    if (vtCollections_.empty()) {
        vtCollections_ = {DigitizerCollectionCaps(),
                          VendorCollectionCaps(tConfig_.usInputReportBytes, tConfig_.usOutputReportBytes)};
    }
    for (std::size_t i = 0; i < vtCollections_.size(); ++i) {
        if (IsVendor(vtCollections_[i])) {
            iVendorCollection_ = static_cast<int>(i);
            usInLen_ = vtCollections_[i].InputReportByteLength;
            usOutLen_ = vtCollections_[i].OutputReportByteLength;
            break;
        }
    }
    vucFlash_.assign(tConfig_.ulFlashBytes, tConfig_.ucFlashFill);
}

std::vector<std::uint8_t> VirtualTablet::ReportDescriptor() const {
    std::vector<std::uint8_t> v;
    std::uint8_t ucNextId = 1;
    for (const HidCaps& t : vtCollections_) {
        PutItem(v, 0x04, t.UsagePage);  // Usage Page
        PutItem(v, 0x08, t.Usage);      // Usage
        v.push_back(0xA1);              // Collection (Application)
        v.push_back(0x01);
        if (IsVendor(t)) {
            PutReport(v, 0x80, kInputReportId, t.InputReportByteLength);
            PutReport(v, 0x90, kOutputReportId, t.OutputReportByteLength);
        } else {
            std::uint8_t ucId = ucNextId++;
            PutReport(v, 0x80, ucId, t.InputReportByteLength);
            PutReport(v, 0x90, ucId, t.OutputReportByteLength);
        }
        PutReport(v, 0xB0, ucNextId++, t.FeatureReportByteLength);
        v.push_back(0xC0);  // End Collection
    }
    return v;
}

// ---- Bus --------------------------------------------------------------------------------------------

void VirtualTablet::ScheduleLeaveLocked(Clock::time_point tAt, std::uint32_t ulBackAfterMs,
                                        TabletFirmware eBackIn) {
    bLeaveScheduled_ = true;
    tLeaveAt_ = tAt;
    ulLeaveBackAfterMs_ = ulBackAfterMs;
    eLeaveBackIn_ = eBackIn;
}

void VirtualTablet::LeaveLocked(Clock::time_point tAt, std::uint32_t ulBackAfterMs, TabletFirmware eBackIn) {
    if (bRecording_) {
        RecordedEvent t;
        t.eKind = RecordedEvent::Kind::kLeave;
        t.ulRequest = ulFrames_ - ulRecordBase_;
        t.ulAfterMs = MsSince(ulFrames_ != ulRecordBase_ ? tLastArrival_ : tRecordStart_, tAt);
        t.ulBackAfterMs = ulBackAfterMs;
        t.bBackInBootLoader = eBackIn == TabletFirmware::kBootLoader;
        RecordLocked(std::move(t), tAt);
    }
    bPresent_ = false;
    bLeaveScheduled_ = false;
    // Reports the tablet sent before it left stay readable from the old generation; later ones never
    // existed.
    tInput_.erase(
        std::remove_if(tInput_.begin(), tInput_.end(), [&](const Pending& t) { return t.tDue > tAt; }),
        tInput_.end());
    bReturnScheduled_ = ulBackAfterMs != kNeverMs;
    if (bReturnScheduled_) {
        tReturnAt_ = tAt + std::chrono::milliseconds(ulBackAfterMs);
        eReturnIn_ = eBackIn;
    }
    tCv_.notify_all();
}

void VirtualTablet::AdvanceLocked(Clock::time_point tNow) {
    if (bLeaveScheduled_ && tNow >= tLeaveAt_) {
        LeaveLocked(tLeaveAt_, ulLeaveBackAfterMs_, eLeaveBackIn_);
    }
    if (!bPresent_ && bReturnScheduled_ && tNow >= tReturnAt_) {
        bPresent_ = true;
        bReturnScheduled_ = false;
        ++ulGeneration_;
        eRunning_ = eReturnIn_;
        bErased_ = false;
        bInfoKnown_ = false;
        usReplyCounter_ = tConfig_.usReplyIdValue;
        // Reports of the generation before stay readable by a host that has not taken them yet.
        tInput_.erase(std::remove_if(tInput_.begin(), tInput_.end(),
                                     [&](const Pending& t) { return t.ulGeneration + 1 < ulGeneration_; }),
                      tInput_.end());
        tCv_.notify_all();
    }
}

bool VirtualTablet::Present(std::uint32_t* pulGeneration) {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    if (pulGeneration != nullptr) {
        *pulGeneration = ulGeneration_;
    }
    return bPresent_;
}

void VirtualTablet::LeaveBus(std::uint32_t ulBackAfterMs, TabletFirmware eBackIn) {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    if (bPresent_) {
        LeaveLocked(Clock::now(), ulBackAfterMs, eBackIn);
    }
}

void VirtualTablet::LeaveBus(std::uint32_t ulBackAfterMs) {
    LeaveBus(ulBackAfterMs, Running());
}

void VirtualTablet::ComeBack() {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    if (!bPresent_) {
        if (!bReturnScheduled_) {
            eReturnIn_ = eRunning_;
        }
        bReturnScheduled_ = true;
        tReturnAt_ = Clock::now();
        AdvanceLocked(tReturnAt_);
    }
}

// ---- Host side --------------------------------------------------------------------------------------

int VirtualTablet::WriteOutputReport(std::uint32_t ulGeneration, std::size_t uCollection,
                                     const std::uint8_t* pucReport, std::uint32_t ulLen) {
    TimingHook fnTiming;
    std::function<void()> fnListener;
    ExchangeInfo tInfo{};
    {
        std::unique_lock<std::mutex> lk(tMutex_);
        AdvanceLocked(Clock::now());
        if (!bPresent_ || ulGeneration != ulGeneration_ ||
            static_cast<int>(uCollection) != iVendorCollection_ || ulLen != usOutLen_ || ulLen < 1 ||
            pucReport[0] != kOutputReportId) {
            return 0;
        }
        const std::uint16_t usCommand = ReportCommand(pucReport, ulLen);
        std::uint32_t ulStallMs = 0;
        if ((bReplay_ ? TakeReplayStallLocked(usCommand, &ulStallMs)
                      : TakeWriteStallLocked(usCommand, &ulStallMs))) {
            if (bRecording_) {
                RecordedEvent t;
                t.eKind = RecordedEvent::Kind::kStall;
                t.ulRequest = ulFrames_ - ulRecordBase_ + 1;
                t.usCommand = usCommand;
                t.ulAfterMs = ulStallMs;
                RecordLocked(std::move(t), Clock::now());
            }
            // The OUT endpoint accepts nothing until the host gives up; the tablet leaving the bus
            // ends the stall at once.
            const std::uint32_t ulStallGeneration = ulGeneration_;
            tCv_.wait_for(lk, std::chrono::milliseconds(ulStallMs), [&] {
                AdvanceLocked(Clock::now());
                return !bPresent_ || ulGeneration_ != ulStallGeneration;
            });
            return 0;
        }
        fnTiming = fnTiming_;
        tInfo.ulOutputReportBytes = ulLen;
        tInfo.ulInputReportBytes = usInLen_;
        if (ulLen >= 1u + kDrbdOffPara) {
            tInfo.usCommand = usCommand;
            tInfo.ulFrameBytes =
                std::min<std::uint32_t>(GetBe16(pucReport + 1 + kDrbdOffMsgLen) + 9u, ulLen - 1);
        }
    }
    ExchangeTiming tTiming;
    if (fnTiming) {
        tTiming = fnTiming(tInfo);
    }
    if (tTiming.tWrite.count() > 0) {
        std::this_thread::sleep_for(tTiming.tWrite);
    }
    {
        std::lock_guard<std::mutex> lk(tMutex_);
        Clock::time_point tNow = Clock::now();
        AdvanceLocked(tNow);
        if (!bPresent_ || ulGeneration != ulGeneration_) {
            return 0;  // left the bus while the report was on its way
        }
        HandleReportLocked(pucReport, ulLen, tNow + tTiming.tReply);
        fnListener = fnListener_;
    }
    tCv_.notify_all();
    if (fnListener) {
        fnListener();
    }
    return 1;
}

VirtualTablet::PollResult VirtualTablet::PollInputReport(std::uint32_t ulGeneration, std::size_t uCollection,
                                                         std::uint8_t* pucBuf, std::uint32_t ulCap,
                                                         std::uint32_t* pulGot,
                                                         Clock::time_point* ptNextDue) {
    std::lock_guard<std::mutex> lk(tMutex_);
    return PollLocked(ulGeneration, uCollection, pucBuf, ulCap, pulGot, ptNextDue);
}

VirtualTablet::PollResult VirtualTablet::PollLocked(std::uint32_t ulGeneration, std::size_t uCollection,
                                                    std::uint8_t* pucBuf, std::uint32_t ulCap,
                                                    std::uint32_t* pulGot, Clock::time_point* ptNextDue) {
    *pulGot = 0;
    *ptNextDue = Clock::time_point::max();
    Clock::time_point tNow = Clock::now();
    AdvanceLocked(tNow);
    if (static_cast<int>(uCollection) == iVendorCollection_) {
        for (auto it = tInput_.begin(); it != tInput_.end(); ++it) {
            if (it->ulGeneration != ulGeneration) {
                continue;
            }
            if (it->tDue > tNow) {
                *ptNextDue = it->tDue;
                break;
            }
            std::uint32_t ulN =
                std::min<std::uint32_t>(ulCap, static_cast<std::uint32_t>(it->vucReport.size()));
            std::memcpy(pucBuf, it->vucReport.data(), ulN);
            *pulGot = ulN;
            tInput_.erase(it);
            return PollResult::kReport;
        }
        if (*ptNextDue != Clock::time_point::max()) {
            return PollResult::kNothingYet;
        }
    }
    if (!bPresent_ || ulGeneration != ulGeneration_) {
        return PollResult::kGone;
    }
    if (bLeaveScheduled_) {
        *ptNextDue = tLeaveAt_;
    }
    return PollResult::kNothingYet;
}

int VirtualTablet::ReadInputReport(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* pucBuf,
                                   std::uint32_t ulCap, std::uint32_t* pulGot,
                                   const std::atomic<bool>& bCancel) {
    *pulGot = 0;
    std::unique_lock<std::mutex> lk(tMutex_);
    for (;;) {
        // Whoever sets bCancel wakes the readers under this mutex afterwards, so testing it here, with
        // the mutex held up to the wait, loses no wake-up.
        if (bCancel.load(std::memory_order_acquire)) {
            return 0;
        }
        Clock::time_point tNextDue;
        PollResult eResult = PollLocked(ulGeneration, uCollection, pucBuf, ulCap, pulGot, &tNextDue);
        if (eResult != PollResult::kNothingYet) {
            return eResult == PollResult::kReport ? 1 : 0;
        }
        if (tNextDue == Clock::time_point::max()) {
            tCv_.wait(lk);
        } else {
            tCv_.wait_until(lk, tNextDue);
        }
    }
}

void VirtualTablet::WakeReaders() {
    std::lock_guard<std::mutex> lk(tMutex_);
    tCv_.notify_all();
}

// ---- Frames -----------------------------------------------------------------------------------------

std::vector<TabletFault> VirtualTablet::TakeFaultsLocked(std::uint32_t ulFrame, std::uint16_t usCommand) {
    std::vector<TabletFault> vtFired;
    for (auto it = vtFaults_.begin(); it != vtFaults_.end();) {
        bool bMatch = it->eKind != TabletFault::Kind::kWriteStall &&
                      (it->ulAtFrame == 0 || it->ulAtFrame == ulFrame) &&
                      (it->usAtCommand == 0 || it->usAtCommand == usCommand);
        if (!bMatch) {
            ++it;
            continue;
        }
        vtFired.push_back(*it);
        if (it->ulTimes != 0 && --it->ulTimes == 0) {
            it = vtFaults_.erase(it);
        } else {
            ++it;
        }
    }
    return vtFired;
}

bool VirtualTablet::TakeWriteStallLocked(std::uint16_t usCommand, std::uint32_t* pulStallMs) {
    for (auto it = vtFaults_.begin(); it != vtFaults_.end(); ++it) {
        if (it->eKind != TabletFault::Kind::kWriteStall ||
            (it->ulAtFrame != 0 && it->ulAtFrame != ulFrames_ + 1) ||
            (it->usAtCommand != 0 && it->usAtCommand != usCommand)) {
            continue;
        }
        *pulStallMs = it->ulValue;
        if (it->ulTimes != 0 && --it->ulTimes == 0) {
            vtFaults_.erase(it);
        }
        return true;
    }
    return false;
}

void VirtualTablet::HandleReportLocked(const std::uint8_t* pucReport, std::uint32_t ulLen,
                                       Clock::time_point tAnswerAt) {
    ReceivedFrame tRec;
    tRec.ulNumber = ++ulFrames_;
    tRec.vucReport.assign(pucReport, pucReport + ulLen);
    const std::uint8_t* pucFrame = pucReport + 1;
    const std::uint32_t ulAvail = ulLen - 1;

    std::uint16_t usStatus = kStatusOk;
    std::uint16_t usWord0 = 0;
    std::uint16_t usWord1 = 0;
    std::uint32_t ulMsgLen = 0;
    if (ulAvail < kDrbdOffMsgLen + 2u) {
        usStatus = kStatusMsgLen;
    } else {
        tRec.usSeqNum = GetBe16(pucFrame + kDrbdOffSeqNum);
        ulMsgLen = GetBe16(pucFrame + kDrbdOffMsgLen);
        std::uint32_t ulTotal = ulMsgLen + kDrbdFrameOverhead;
        if (ulMsgLen < 6 || ulTotal > ulAvail) {
            usStatus = kStatusMsgLen;
        } else {
            tRec.vucFrame.assign(pucFrame, pucFrame + ulTotal);
            usWord0 = GetBe16(pucFrame + kDrbdOffCmdCode);
            usWord1 = GetBe16(pucFrame + kDrbdOffCmdCode + 2);
            tRec.usCommand = GetBe16(pucFrame + kDrbdOffCmdCode + 4);
            if (pucFrame[kDrbdOffPkgHeader] != 0x89) {
                usStatus = kStatusPkgHeader;
            } else if (DrbdCrc16(pucFrame, ulTotal - 2) != GetBe16(pucFrame + ulTotal - 2)) {
                usStatus = kStatusCrc;
            } else if (usWord0 != 0x0000 || usWord1 != 0x0301) {
                usStatus = kStatusCmdCode;
            } else {
                tRec.bFrameOk = true;
            }
        }
    }
    const std::uint16_t usCommand = tRec.usCommand;
    const std::uint16_t usSeqNum = tRec.usSeqNum;
    const bool bFrameOk = tRec.bFrameOk;
    vtFrames_.push_back(std::move(tRec));
    const ReceivedFrame& tLogged = vtFrames_.back();
    const Clock::time_point tArrival = Clock::now();
    if (bRecording_) {
        const std::vector<std::uint8_t>& v = tLogged.vucFrame.empty() ? tLogged.vucReport : tLogged.vucFrame;
        RecordLocked(RecordRequest(tLogged.ulNumber - ulRecordBase_, usCommand, ulLen, v.data(),
                                   static_cast<std::uint32_t>(v.size())),
                     tArrival);
    }
    tLastArrival_ = tArrival;
    if (bReplay_) {
        ReplayRequestLocked(tLogged, ulLen, tArrival);
        return;
    }

    // Faults first: some of them stop the request from being carried out.
    std::vector<TabletFault> vtFired = TakeFaultsLocked(ulFrames_, usCommand);
    bool bNoReply = false;
    bool bBadCrc = false;
    bool bStatusForced = false;
    std::uint16_t usForcedStatus = 0;
    const TabletFault* ptRaw = nullptr;
    const TabletFault* ptShort = nullptr;
    const TabletFault* ptWrongId = nullptr;
    const TabletFault* ptMsgLen = nullptr;
    const TabletFault* ptDuplicate = nullptr;
    const TabletFault* ptExtra = nullptr;
    const TabletFault* ptHang = nullptr;
    bool bAdded = false;
    bool bCorrupt = false;
    std::uint32_t ulDelayMs = ulReplyDelayMs_;
    for (const TabletFault& t : vtFired) {
        switch (t.eKind) {
            case TabletFault::Kind::kLeaveBus:
                LeaveLocked(Clock::now(), t.ulValue, eRunning_);
                return;
            case TabletFault::Kind::kNoReply:
                bNoReply = true;
                break;
            case TabletFault::Kind::kStatus:
                bStatusForced = true;
                usForcedStatus = static_cast<std::uint16_t>(t.ulValue);
                break;
            case TabletFault::Kind::kBadCrc:
                bBadCrc = true;
                break;
            case TabletFault::Kind::kRawReport:
                ptRaw = &t;
                break;
            case TabletFault::Kind::kShortReport:
                ptShort = &t;
                break;
            case TabletFault::Kind::kWrongReportId:
                ptWrongId = &t;
                break;
            case TabletFault::Kind::kMsgLen:
                ptMsgLen = &t;
                break;
            case TabletFault::Kind::kSlowReply:
                ulDelayMs += t.ulValue;
                break;
            case TabletFault::Kind::kDuplicateReply:
                ptDuplicate = &t;
                break;
            case TabletFault::Kind::kExtraReport:
                ptExtra = &t;
                break;
            case TabletFault::Kind::kHang:
                ptHang = &t;
                break;
            case TabletFault::Kind::kAddedSuccess:
                bAdded = true;
                break;
            case TabletFault::Kind::kCorruptPackage:
                bCorrupt = true;
                break;
            case TabletFault::Kind::kWriteStall:
                break;  // taken at the write, never here
        }
    }
    if (ptHang != nullptr) {
        ScheduleLeaveLocked(tArrival + std::chrono::milliseconds(ptHang->ulValue), tConfig_.ulRebootMs,
                            bAppBootable_ ? TabletFirmware::kApplication : TabletFirmware::kBootLoader);
        return;
    }
    if (bNoReply) {
        return;
    }
    // In order, the tablet starts on this request only once its previous reply is out, and its work
    // (an erase, say) takes as long from then.
    if (tConfig_.bInOrderReplies && tLastReplyDue_ > tArrival) {
        tAnswerAt += tLastReplyDue_ - tArrival;
    }
    Clock::time_point tDue = tAnswerAt + std::chrono::milliseconds(ulDelayMs);
    if (ptExtra != nullptr) {
        std::vector<std::uint8_t> vucExtra = ptExtra->vucReport;
        if (vucExtra.empty()) {
            vucExtra.assign(usInLen_, 0);
            vucExtra[0] = kFaultReportId;
        }
        const Clock::time_point tExtraDue = tArrival + std::chrono::milliseconds(ptExtra->ulValue);
        RecordReplyLocked(vucExtra, tArrival, tExtraDue);
        tInput_.push_back(Pending{ulGeneration_, tExtraDue, std::move(vucExtra)});
        if (tDue < tExtraDue) {
            tDue = tExtraDue;  // one IN endpoint: the reply comes behind it
        }
    }
    if (ptRaw != nullptr) {
        tInput_.push_back(Pending{ulGeneration_, tDue, ptRaw->vucReport});
        tLastReplyDue_ = tDue;
        RecordReplyLocked(ptRaw->vucReport, tArrival, tDue);
        return;
    }

    Reply tReply;
    if (bStatusForced) {
        tReply.usStatus = usForcedStatus;
    } else if (!bFrameOk) {
        tReply.usStatus = usStatus;
    } else {
        bCorruptPackage_ = bCorrupt;
        tReply = RunCommandLocked(usCommand, pucFrame + kDrbdOffPara, ulMsgLen - 6);
        bCorruptPackage_ = false;
    }

    if (bAdded) {
        std::vector<std::uint8_t> vucAdded =
            ReplyReportLocked(usSeqNum, usWord0, usWord1, usCommand, Reply{}, nullptr, false);
        RecordReplyLocked(vucAdded, tArrival, tDue);
        tInput_.push_back(Pending{ulGeneration_, tDue, std::move(vucAdded)});
    }
    std::vector<std::uint8_t> vucReport =
        ReplyReportLocked(usSeqNum, usWord0, usWord1, usCommand, tReply, ptMsgLen, bBadCrc);
    if (ptWrongId != nullptr && !vucReport.empty()) {
        vucReport[0] =
            ptWrongId->ulValue != 0 ? static_cast<std::uint8_t>(ptWrongId->ulValue) : kFaultReportId;
    }
    if (ptShort != nullptr) {
        std::size_t uLen =
            ptShort->ulValue != 0 ? ptShort->ulValue : (vucReport.empty() ? 0 : vucReport.size() - 1);
        vucReport.resize(std::min(uLen, vucReport.size()));
    }
    RecordReplyLocked(vucReport, tArrival, tDue);
    if (ptDuplicate != nullptr) {
        const Clock::time_point tCopyDue = tDue + std::chrono::milliseconds(ptDuplicate->ulValue);
        RecordReplyLocked(vucReport, tArrival, tCopyDue);
        tInput_.push_back(Pending{ulGeneration_, tDue, vucReport});
        tDue = tCopyDue;  // in order: what follows comes behind the copy
    }
    tInput_.push_back(Pending{ulGeneration_, tDue, std::move(vucReport)});
    tLastReplyDue_ = tDue;
    if (tReply.bLeaveAfter) {
        // The tablet restarts once its reply is out, in its own time.
        ScheduleLeaveLocked(tDue + std::chrono::milliseconds(tConfig_.ulRestartAfterMs), tConfig_.ulRebootMs,
                            tReply.eBackIn);
    }
}

std::vector<std::uint8_t> VirtualTablet::ReplyReportLocked(std::uint16_t usSeqNum, std::uint16_t usWord0,
                                                           std::uint16_t usWord1, std::uint16_t usCommand,
                                                           const Reply& tReply, const TabletFault* ptMsgLen,
                                                           bool bBadCrc) {
    using Ids = Config::ReplyIds;
    switch (tConfig_.eReplyIds) {
        case Ids::kEcho:
            break;
        case Ids::kSeqLowByte:
            usSeqNum = static_cast<std::uint16_t>(usSeqNum & 0xFF);
            break;
        case Ids::kConstant:
            usSeqNum = tConfig_.usReplyIdValue;
            break;
        case Ids::kCounter:
            usSeqNum = usReplyCounter_++;
            break;
        case Ids::kNothing:
            usSeqNum = usWord0 = usWord1 = usCommand = 0;
            break;
    }
    std::vector<std::uint8_t> vucParams = tReply.vucParams;
    if (tReply.usStatus == kStatusOk) {
        vucParams.insert(vucParams.end(), tConfig_.ucExtraParaBytes, 0xA5);
    }
    // The reply frame: header, SeqNum, MsgLen, command words, RspRet, parameters, CRC.
    std::vector<std::uint8_t> vucFrame = {0x89, 0xFF, 0xFF};
    PushBe16(vucFrame, usSeqNum);
    std::uint16_t usMsgLen = static_cast<std::uint16_t>(8 + vucParams.size());
    PushBe16(vucFrame, ptMsgLen != nullptr ? static_cast<std::uint16_t>(ptMsgLen->ulValue) : usMsgLen);
    PushBe16(vucFrame, usWord0);
    PushBe16(vucFrame, usWord1);
    PushBe16(vucFrame, usCommand);
    PushBe16(vucFrame, tReply.usStatus);
    vucFrame.insert(vucFrame.end(), vucParams.begin(), vucParams.end());
    std::uint16_t usCrc = DrbdCrc16(vucFrame.data(), static_cast<std::uint32_t>(vucFrame.size()));
    if (bBadCrc) {
        usCrc = static_cast<std::uint16_t>(usCrc ^ 0x5555);
    }
    PushBe16(vucFrame, usCrc);

    std::vector<std::uint8_t> vucReport(usInLen_, 0);
    if (!vucReport.empty()) {
        vucReport[0] = kInputReportId;
        std::size_t uN = std::min(vucFrame.size(), vucReport.size() - 1);
        std::memcpy(vucReport.data() + 1, vucFrame.data(), uN);
    }
    return vucReport;
}

VirtualTablet::Reply VirtualTablet::RunCommandLocked(std::uint16_t usCommand, const std::uint8_t* pucPara,
                                                     std::uint32_t ulParaLen) {
    Reply tReply;
    switch (usCommand) {
        case kCmdGetState:
            if (!tConfig_.bBareGetState) {
                tReply.vucParams.push_back(eRunning_ == TabletFirmware::kApplication ? 1 : 0);
            }
            break;
        case kCmdSetState:
            if (ulParaLen < 1) {
                tReply.usStatus = kStatusParaLen;
            } else if (pucPara[0] > 1) {
                tReply.usStatus = kStatusParaValue;
            } else {
                tReply.bLeaveAfter = true;
                tReply.eBackIn = pucPara[0] == 0 ? TabletFirmware::kBootLoader : TabletFirmware::kApplication;
            }
            break;
        case kCmdStart:
            if (eRunning_ != TabletFirmware::kBootLoader) {
                tReply.usStatus = kStatusNoCondition;
            } else {
                std::fill(vucFlash_.begin(), vucFlash_.end(), 0xFF);
                bErased_ = true;
                bAppBootable_ = false;
                bInfoKnown_ = false;
            }
            break;
        case kCmdSendVersionFileInfo:
            if (eRunning_ != TabletFirmware::kBootLoader || !bErased_) {
                tReply.usStatus = kStatusNoCondition;
            } else if (ulParaLen < 8) {
                tReply.usStatus = kStatusParaLen;
            } else if (GetBe32(pucPara) > vucFlash_.size()) {
                tReply.usStatus = kStatusParaValue;
            } else {
                ulImageLen_ = GetBe32(pucPara);
                ulImageCrc_ = GetBe32(pucPara + 4);
                bInfoKnown_ = true;
            }
            break;
        case kCmdSendPackage:
            return RunPackageLocked(pucPara, ulParaLen);
        case kCmdSetUpgradeTarget:
            if (ulParaLen < 1) {
                tReply.usStatus = kStatusParaLen;
            } else {
                ucTarget_ = pucPara[0];
            }
            break;
        case kCmdGetRunningRegion:
            PushBe16(tReply.vucParams, tConfig_.usBootPackageLength);
            break;
        default:
            tReply.usStatus = kStatusCmdCode;
            break;
    }
    return tReply;
}

VirtualTablet::Reply VirtualTablet::RunPackageLocked(const std::uint8_t* pucPara, std::uint32_t ulParaLen) {
    Reply tReply;
    if (eRunning_ != TabletFirmware::kBootLoader || !bErased_ || !bInfoKnown_) {
        tReply.usStatus = kStatusNoCondition;
        return tReply;
    }
    if (ulParaLen < 7) {
        tReply.usStatus = kStatusParaLen;
        return tReply;
    }
    // Header: last flag, LastPackageLen, index, length (big-endian); then the record: the scrambled
    // page and, as its last byte, the key it was scrambled with.
    const bool bLast = pucPara[0] != 0;
    const std::uint32_t ulIndex = GetBe16(pucPara + 3);
    const std::uint32_t ulRecordLen = GetBe16(pucPara + 5);
    const std::uint32_t ulPage = tConfig_.usBootPackageLength;
    if (ulRecordLen != ulParaLen - 7) {
        tReply.usStatus = kStatusParaLen;
        return tReply;
    }
    if (ulRecordLen != ulPage + 1 || ulPage == 0 ||
        static_cast<std::uint64_t>(ulIndex) * ulPage + ulPage > vucFlash_.size()) {
        tReply.usStatus = kStatusParaValue;
        return tReply;
    }
    const std::uint8_t* pucRecord = pucPara + 7;
    const std::uint8_t ucKey = pucRecord[ulPage];
    for (std::uint32_t k = 0; k < ulPage; ++k) {
        vucFlash_[ulIndex * ulPage + k] = static_cast<std::uint8_t>(pucRecord[k] ^ ucKey);
    }
    if (bCorruptPackage_) {
        vucFlash_[ulIndex * ulPage] ^= 0x01;
    }
    if (bLast) {
        std::uint16_t usCrc = DrbdCrc16(vucFlash_.data(), ulImageLen_);
        if (usCrc != ulImageCrc_) {
            tReply.usStatus = kStatusDevOpt;  // in the boot loader, on the bus or restarting into it
            tReply.bLeaveAfter = tConfig_.bLeavesAfterRefusedImage;
            tReply.eBackIn = TabletFirmware::kBootLoader;
            return tReply;
        }
        ++ulInstalls_;
        bErased_ = false;
        bAppBootable_ = true;
        tReply.bLeaveAfter = true;
        tReply.eBackIn = TabletFirmware::kApplication;
    }
    return tReply;
}

// ---- Observation and knobs --------------------------------------------------------------------------

TabletFirmware VirtualTablet::Running() {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    return eRunning_;
}

std::vector<std::uint8_t> VirtualTablet::Flash() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return vucFlash_;
}

std::vector<VirtualTablet::ReceivedFrame> VirtualTablet::Frames() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return vtFrames_;
}

std::uint32_t VirtualTablet::FramesReceived() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return ulFrames_;
}

std::uint32_t VirtualTablet::FirmwareInstalls() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return ulInstalls_;
}

Clock::time_point VirtualTablet::LastReplyDue() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return tLastReplyDue_;
}

bool VirtualTablet::WaitForFrames(std::uint32_t ulCount, std::uint32_t ulTimeoutMs) {
    std::unique_lock<std::mutex> lk(tMutex_);
    return tCv_.wait_for(lk, std::chrono::milliseconds(ulTimeoutMs), [&] { return ulFrames_ >= ulCount; });
}

bool VirtualTablet::WaitForPresence(bool bPresent, std::uint32_t ulTimeoutMs) {
    std::unique_lock<std::mutex> lk(tMutex_);
    const Clock::time_point tDeadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    for (;;) {
        Clock::time_point tNow = Clock::now();
        AdvanceLocked(tNow);
        if (bPresent_ == bPresent) {
            return true;
        }
        if (tNow >= tDeadline) {
            return false;
        }
        Clock::time_point tNext = tDeadline;
        if (bReturnScheduled_) {
            tNext = std::min(tNext, tReturnAt_);
        }
        if (bLeaveScheduled_) {
            tNext = std::min(tNext, tLeaveAt_);
        }
        tCv_.wait_until(lk, tNext);
    }
}

void VirtualTablet::AddFault(const TabletFault& tFault) {
    std::lock_guard<std::mutex> lk(tMutex_);
    vtFaults_.push_back(tFault);
}

void VirtualTablet::ClearFaults() {
    std::lock_guard<std::mutex> lk(tMutex_);
    vtFaults_.clear();
}

void VirtualTablet::SetReplyDelayMs(std::uint32_t ulMs) {
    std::lock_guard<std::mutex> lk(tMutex_);
    ulReplyDelayMs_ = ulMs;
}

void VirtualTablet::SetReportListener(std::function<void()> fnListener) {
    std::lock_guard<std::mutex> lk(tMutex_);
    fnListener_ = std::move(fnListener);
}

void VirtualTablet::SetTimingHook(TimingHook fnHook) {
    std::lock_guard<std::mutex> lk(tMutex_);
    fnTiming_ = std::move(fnHook);
}

// ---- Recording and replay -----------------------------------------------------------------------------

std::uint32_t VirtualTablet::MsSince(Clock::time_point tFrom, Clock::time_point tTo) const {
    if (tTo <= tFrom) {
        return 0;
    }
    const auto ll = std::chrono::duration_cast<std::chrono::milliseconds>(tTo - tFrom).count();
    return ll >= 0xFFFFFFFELL ? 0xFFFFFFFEu : static_cast<std::uint32_t>(ll);
}

void VirtualTablet::RecordReplyLocked(const std::vector<std::uint8_t>& vucReport, Clock::time_point tArrival,
                                      Clock::time_point tDue) {
    if (!bRecording_) {
        return;
    }
    RecordedEvent t;
    t.eKind = RecordedEvent::Kind::kReply;
    t.ulRequest = ulFrames_ - ulRecordBase_;
    t.ulAfterMs = MsSince(tArrival, tDue);
    t.vucBytes = vucReport;
    RecordLocked(std::move(t), tArrival);
}

void VirtualTablet::RecordLocked(RecordedEvent tEvent, Clock::time_point tAt) {
    tEvent.ulAtMs = MsSince(tRecordStart_, tAt);
    if (tEvent.eKind == RecordedEvent::Kind::kReply) {
        tEvent.ulReportBytes = static_cast<std::uint32_t>(tEvent.vucBytes.size());
    }
    vtRecording_.push_back(std::move(tEvent));
}

void VirtualTablet::StartRecording() {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    bRecording_ = true;
    tRecordStart_ = Clock::now();
    ulRecordBase_ = ulFrames_;
    eRecordStartIn_ = eRunning_;
    vtRecording_.clear();
}

void VirtualTablet::FillRecord(ExchangeRecord* ptRecord) {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    ptRecord->iModelIndex = tConfig_.iModelIndex;
    ptRecord->usVid = usVid_;
    ptRecord->usPid = usPid_;
    ptRecord->bStartsInBootLoader = eRecordStartIn_ == TabletFirmware::kBootLoader;
    ptRecord->ulInputReportBytes = usInLen_;
    ptRecord->ulOutputReportBytes = usOutLen_;
    ptRecord->vtEvents = vtRecording_;
}

void VirtualTablet::SetReplay(std::vector<RecordedEvent> vtEvents, ReplayOptions tOptions) {
    std::lock_guard<std::mutex> lk(tMutex_);
    AdvanceLocked(Clock::now());
    bReplay_ = true;
    tReplayOptions_ = tOptions;
    vtReplay_ = std::move(vtEvents);
    szReplayNext_ = 0;
    ulReplayBase_ = ulFrames_;
    strReplayDifference_.clear();
    // A departure recorded before the first request counts from now.
    const Clock::time_point tNow = Clock::now();
    while (szReplayNext_ < vtReplay_.size() &&
           vtReplay_[szReplayNext_].eKind == RecordedEvent::Kind::kLeave &&
           vtReplay_[szReplayNext_].ulRequest == 0) {
        const RecordedEvent& t = vtReplay_[szReplayNext_++];
        ScheduleLeaveLocked(tNow + ReplayDelay(t.ulAfterMs), t.ulBackAfterMs, BackIn(t));
    }
}

std::string VirtualTablet::ReplayDifference() {
    std::lock_guard<std::mutex> lk(tMutex_);
    return strReplayDifference_;
}

std::uint32_t VirtualTablet::ReplayLeft(std::string* pstrFirst) {
    std::lock_guard<std::mutex> lk(tMutex_);
    std::uint32_t ulLeft = 0;
    for (std::size_t i = szReplayNext_; i < vtReplay_.size(); ++i) {
        const RecordedEvent& t = vtReplay_[i];
        if (t.eKind != RecordedEvent::Kind::kRequest && t.eKind != RecordedEvent::Kind::kStall) {
            continue;
        }
        if (ulLeft++ == 0 && pstrFirst != nullptr) {
            *pstrFirst = (t.eKind == RecordedEvent::Kind::kStall ? "stalled write " : "request ") +
                         std::to_string(t.ulRequest) + ": " + DescribeRequest(t);
        }
    }
    return ulLeft;
}

Clock::duration VirtualTablet::ReplayDelay(std::uint32_t ulMs) const {
    if (!tReplayOptions_.bRecordedTiming && ulMs < tReplayOptions_.ulFastBelowMs) {
        return Clock::duration::zero();
    }
    return std::chrono::milliseconds(ulMs);
}

bool VirtualTablet::TakeReplayStallLocked(std::uint16_t usCommand, std::uint32_t* pulStallMs) {
    if (!strReplayDifference_.empty() || szReplayNext_ >= vtReplay_.size() ||
        vtReplay_[szReplayNext_].eKind != RecordedEvent::Kind::kStall) {
        return false;
    }
    const RecordedEvent& t = vtReplay_[szReplayNext_];
    if (usCommand != t.usCommand) {
        char acBuf[160];
        std::snprintf(acBuf, sizeof(acBuf),
                      "request %u differs from the record:\n  recorded: a stalled write of command %04x\n"
                      "  received: command %04x\n",
                      t.ulRequest, t.usCommand, usCommand);
        strReplayDifference_ = acBuf;
        return false;
    }
    ++szReplayNext_;
    *pulStallMs = t.ulAfterMs;
    return true;
}

void VirtualTablet::ReplayRequestLocked(const ReceivedFrame& tFrame, std::uint32_t ulReportBytes,
                                        Clock::time_point tArrival) {
    if (!strReplayDifference_.empty()) {
        return;  // the run has left the record: nothing more is answered
    }
    const std::vector<std::uint8_t>& v = tFrame.vucFrame.empty() ? tFrame.vucReport : tFrame.vucFrame;
    const std::uint32_t ulNumber = tFrame.ulNumber - ulReplayBase_;
    const RecordedEvent tGot = RecordRequest(ulNumber, tFrame.usCommand, ulReportBytes, v.data(),
                                             static_cast<std::uint32_t>(v.size()));
    if (szReplayNext_ >= vtReplay_.size()) {
        strReplayDifference_ =
            "request " + std::to_string(ulNumber) +
            " is not in the record (it ends before):\n  received: " + DescribeRequest(tGot) + "\n";
        return;
    }
    const RecordedEvent& tWant = vtReplay_[szReplayNext_];
    if (tWant.eKind != RecordedEvent::Kind::kRequest || tWant.usCommand != tGot.usCommand ||
        tWant.ulReportBytes != tGot.ulReportBytes || tWant.ulFrameBytes != tGot.ulFrameBytes ||
        tWant.ulFrameCrc32 != tGot.ulFrameCrc32) {
        strReplayDifference_ = "request " + std::to_string(ulNumber) +
                               " differs from the record:\n  recorded: " +
                               (tWant.eKind == RecordedEvent::Kind::kStall ? "a stalled write: " : "") +
                               DescribeRequest(tWant) + "\n  received: " + DescribeRequest(tGot) + "\n";
        return;
    }
    // What followed the request in the record: its reply and a departure from the bus.
    for (++szReplayNext_; szReplayNext_ < vtReplay_.size(); ++szReplayNext_) {
        const RecordedEvent& t = vtReplay_[szReplayNext_];
        if (t.eKind == RecordedEvent::Kind::kRequest || t.eKind == RecordedEvent::Kind::kStall) {
            break;
        }
        const Clock::time_point tAt = tArrival + ReplayDelay(t.ulAfterMs);
        if (t.eKind == RecordedEvent::Kind::kReply) {
            tInput_.push_back(Pending{ulGeneration_, tAt, t.vucBytes});
            tLastReplyDue_ = tAt;
        } else {
            ScheduleLeaveLocked(tAt, t.ulBackAfterMs, BackIn(t));
        }
    }
}

}  // namespace sim
