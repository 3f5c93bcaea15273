// The virtual tablet: the device side of the HID link, independent of any HID host. It takes output
// reports, answers DRBD requests with input reports, runs the tablet's IAP (application and boot loader,
// flash, package descrambling, image CRC check), leaves the bus and comes back, and keeps a log of every
// frame it received. Fault knobs make it misbehave on chosen frames. It can record a run as an exchange
// record and, instead of running its IAP, answer from one (exchange_record.h).
//
// Hosts reach it through WriteOutputReport / ReadInputReport (blocking) or PollInputReport (not
// blocking, for event-driven harnesses). Every method is thread-safe. The tablet starts no thread: time
// (delayed replies, coming back on the bus) is evaluated whenever a method is called.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/hid_host.h"
#include "sim/exchange_record.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Command words the tablet understands (third CmdCode word; the first two are 0x0000 and 0x0301).
inline constexpr std::uint16_t kCmdGetState = 0x0101;
inline constexpr std::uint16_t kCmdSetState = 0x0102;
inline constexpr std::uint16_t kCmdStart = 0x0103;
inline constexpr std::uint16_t kCmdSendPackage = 0x0104;
inline constexpr std::uint16_t kCmdSendVersionFileInfo = 0x0105;
inline constexpr std::uint16_t kCmdSetUpgradeTarget = 0x0106;
inline constexpr std::uint16_t kCmdGetRunningRegion = 0x0107;

// Statuses the tablet answers with (RspRet).
inline constexpr std::uint16_t kStatusOk = 0;
inline constexpr std::uint16_t kStatusPkgHeader = 1;
inline constexpr std::uint16_t kStatusMsgLen = 5;
inline constexpr std::uint16_t kStatusCmdCode = 6;
inline constexpr std::uint16_t kStatusParaLen = 7;
inline constexpr std::uint16_t kStatusCrc = 8;
inline constexpr std::uint16_t kStatusParaValue = 9;
inline constexpr std::uint16_t kStatusNoCondition = 11;
inline constexpr std::uint16_t kStatusDevOpt = 12;  // image CRC mismatch after the last package

inline constexpr std::uint32_t kNeverMs = 0xFFFFFFFFu;  // "does not come back"

enum class TabletFirmware { kApplication, kBootLoader };

// Collection presets.
HidCaps VendorCollectionCaps(std::uint16_t usInputBytes, std::uint16_t usOutputBytes);
HidCaps DigitizerCollectionCaps();  // pen input, no output report
HidCaps MouseCollectionCaps();

// A fault: what the tablet does wrong, and on which received frame.
struct TabletFault {
    enum class Kind {
        kBadCrc,         // answers with a corrupted frame CRC (the request is carried out)
        kStatus,         // answers with RspRet = ulValue and does nothing else
        kNoReply,        // swallows the request: no reply, nothing carried out
        kShortReport,    // the reply report is ulValue bytes long (0: one byte short)
        kWrongReportId,  // the reply report carries report ID ulValue (0: 0xFB)
        kLeaveBus,       // leaves the bus on receipt, no reply; back after ulValue ms (kNeverMs: never)
        kSlowReply,      // the reply comes ulValue ms late
        kMsgLen,         // the reply's MsgLen field says ulValue (frame bytes and CRC as for the real length)
        kRawReport,      // answers with vucReport as the whole input report, nothing carried out
        kWriteStall,     // the OUT endpoint stops accepting: the write blocks ulValue ms, then fails
                         // (the frame never arrives; ulAtFrame counts the frame it would have been)
        kDuplicateReply,  // the reply comes twice, the copy ulValue ms after it
        kExtraReport,     // besides its reply, an input report nobody asked for comes ulValue ms after
                          // the request, ahead of the reply: vucReport, or (empty) a full-length report
                          // of an ID the tablet does not declare (0xFB)
        kHang,            // hangs on the request: no reply, nothing carried out; its watchdog restarts it
                          // ulValue ms later (into its application if that is bootable)
        kAddedSuccess,    // ahead of its own reply, a success for the request in its own way of
                          // answering (an answer the tablet then contradicts, or repeats)
        kCorruptPackage,  // writes the package with one byte wrong, and answers as usual (the image's
                          // CRC then fails at the last package)
    };
    Kind eKind = Kind::kNoReply;
    std::uint32_t ulAtFrame = 0;    // fires on frame number ulAtFrame (1 = the first one received); 0: any
    std::uint16_t usAtCommand = 0;  // fires only on this command word; 0: any
    std::uint32_t ulTimes = 1;      // fires this often; 0: every time it matches
    std::uint32_t ulValue = 0;
    std::vector<std::uint8_t> vucReport;
};

class VirtualTablet {
  public:
    struct Config {
        int iModelIndex = 0;                    // DeviceTable row presented
        std::uint16_t usVid = 0;                // 0: the row's vendor ID
        std::uint16_t usPid = 0;                // 0: the row's product ID
        std::vector<HidCaps> vtCollections;     // empty: a digitizer collection, then the vendor collection
        std::uint16_t usInputReportBytes = 64;  // vendor collection, report ID included
        std::uint16_t usOutputReportBytes = 1056;  // vendor collection, report ID included
        TabletFirmware eStartIn = TabletFirmware::kApplication;
        std::uint32_t ulFlashBytes = 256 * 1024;
        std::uint32_t ulRebootMs = 50;  // time off the bus after IapSetState and after the last package
        std::uint16_t usBootPackageLength = 1024;  // answer to IapGetRunningRegion
        std::uint8_t ucFlashFill = 0x5A;           // flash content before the first erase
        // One queue, as a real tablet has: a request is worked on only once the reply before it is
        // out, so a slow reply delays every later one (replies are timed from the previous reply, not
        // from each write). Off: each reply is timed from its own write.
        bool bInOrderReplies = false;
        // How replies fill SeqNum and CmdCode: the request's (kEcho); SeqNum's low byte and the CmdCode
        // (kSeqLowByte); usReplyIdValue and the CmdCode (kConstant); a counter of the tablet's own, from
        // usReplyIdValue at each start, and the CmdCode (kCounter); zeros in both (kNothing).
        enum class ReplyIds { kEcho, kSeqLowByte, kConstant, kCounter, kNothing };
        ReplyIds eReplyIds = ReplyIds::kEcho;
        std::uint16_t usReplyIdValue = 0;
        std::uint8_t ucExtraParaBytes = 0;  // bytes every success carries behind its own parameters
        bool bBareGetState = false;         // IapGetState's success carries no state byte
        // Time from the reply that promises a restart (IapSetState's, the last package's) to leaving
        // the bus.
        std::uint32_t ulRestartAfterMs = 0;
        // A last package refused for the image's CRC restarts it into its boot loader; off: it stays.
        bool bLeavesAfterRefusedImage = false;
    };

    // One output report as the tablet received it.
    struct ReceivedFrame {
        std::uint32_t ulNumber = 0;           // 1 for the first report received
        std::vector<std::uint8_t> vucReport;  // the whole output report, report ID included
        std::vector<std::uint8_t> vucFrame;   // the frame inside it (MsgLen + 9 bytes), empty when unreadable
        std::uint16_t usCommand = 0;          // third command word, 0 when unreadable
        std::uint16_t usSeqNum = 0;
        bool bFrameOk = false;  // header, length and CRC valid
    };

    // What one exchange moves; handed to the timing hook.
    struct ExchangeInfo {
        std::uint16_t usCommand;
        std::uint32_t ulFrameBytes;
        std::uint32_t ulOutputReportBytes;
        std::uint32_t ulInputReportBytes;
    };
    // How long the write blocks, and how long after the write the reply report is readable.
    struct ExchangeTiming {
        std::chrono::microseconds tWrite{0};
        std::chrono::microseconds tReply{0};
    };
    using TimingHook = std::function<ExchangeTiming(const ExchangeInfo&)>;

    enum class PollResult { kReport, kNothingYet, kGone };

    explicit VirtualTablet(Config tConfig);
    VirtualTablet(const VirtualTablet&) = delete;
    VirtualTablet& operator=(const VirtualTablet&) = delete;

    // ---- Identity -------------------------------------------------------------------------------
    std::uint16_t VendorId() const { return usVid_; }
    std::uint16_t ProductId() const { return usPid_; }
    const std::vector<HidCaps>& Collections() const { return vtCollections_; }
    // Index of the vendor collection in Collections(), -1 when the tablet has none.
    int VendorCollection() const { return iVendorCollection_; }
    // A report descriptor with all collections (one interface), lengths as Collections() gives them.
    std::vector<std::uint8_t> ReportDescriptor() const;

    // ---- Bus --------------------------------------------------------------------------------------
    // 1 when on the bus; *pulGeneration counts the times it (re)appeared (handles of an earlier
    // generation are dead).
    bool Present(std::uint32_t* pulGeneration = nullptr);
    // Leaves the bus now; comes back after ulBackAfterMs in eBackIn (kNeverMs: stays away).
    void LeaveBus(std::uint32_t ulBackAfterMs, TabletFirmware eBackIn);
    void LeaveBus(std::uint32_t ulBackAfterMs = kNeverMs);
    // Comes back now, if away.
    void ComeBack();

    // ---- Host side --------------------------------------------------------------------------------
    // One output report on collection uCollection of generation ulGeneration. 1 when accepted: the
    // report has exactly the collection's output length and report ID 0xFD, and the tablet is present
    // in that generation. Blocks for the timing hook's write time.
    int WriteOutputReport(std::uint32_t ulGeneration, std::size_t uCollection, const std::uint8_t* pucReport,
                          std::uint32_t ulLen);
    // Takes the next input report due on collection uCollection: copies at most ulCap bytes.
    PollResult PollInputReport(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* pucBuf,
                               std::uint32_t ulCap, std::uint32_t* pulGot, Clock::time_point* ptNextDue);
    // Blocks until a report is due (1), or the tablet left that generation or bCancel is set (0).
    int ReadInputReport(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* pucBuf,
                        std::uint32_t ulCap, std::uint32_t* pulGot, const std::atomic<bool>& bCancel);
    // Wakes blocked readers so that they look at their cancel flag again.
    void WakeReaders();
    // Called (without the tablet's lock) after each accepted output report, for hosts that do not
    // block in ReadInputReport: poll then, and again at the due time PollInputReport gives.
    void SetReportListener(std::function<void()> fnListener);

    // ---- What tests look at -------------------------------------------------------------------------
    TabletFirmware Running();
    std::vector<std::uint8_t> Flash();
    std::vector<ReceivedFrame> Frames();
    std::uint32_t FramesReceived();
    std::uint32_t FirmwareInstalls();  // images accepted with a matching CRC
    // When the last input report the tablet queued becomes readable by the host (its arrival on the
    // host side); a default time point before the first one.
    Clock::time_point LastReplyDue();
    // Waits until at least ulCount frames were received; false after ulTimeoutMs.
    bool WaitForFrames(std::uint32_t ulCount, std::uint32_t ulTimeoutMs);
    // Waits until Present() is bPresent; false after ulTimeoutMs.
    bool WaitForPresence(bool bPresent, std::uint32_t ulTimeoutMs);

    // ---- Knobs ----------------------------------------------------------------------------------------
    void AddFault(const TabletFault& tFault);
    void ClearFaults();
    void SetReplyDelayMs(std::uint32_t ulMs);  // every reply, on top of the timing hook
    void SetTimingHook(TimingHook fnHook);

    // ---- Recording and replay ---------------------------------------------------------------------
    // Starts an account of every request, reply, departure from the bus and stalled write (see
    // exchange_record.h); its times count from this call.
    void StartRecording();
    // Puts the tablet into a record: its model row, IDs, report lengths, the state it was in when the
    // recording started, and the recording.
    void FillRecord(ExchangeRecord* ptRecord);

    struct ReplayOptions {
        // Every delay as recorded. Otherwise a reply (or a departure) recorded sooner than ulFastBelowMs
        // after its request comes at once; later ones keep their delay, since a host that gave up
        // waiting takes another path.
        bool bRecordedTiming = false;
        std::uint32_t ulFastBelowMs = 0;
    };
    // From now on the tablet answers from a record instead of running its IAP: each request must be the
    // recorded one at its position (command, length and CRC-32 of the frame); it gets the recorded reply
    // and the recorded departure from the bus, and a recorded stall stalls the write. From the first
    // request that differs the tablet answers nothing more.
    void SetReplay(std::vector<RecordedEvent> vtEvents, ReplayOptions tOptions);
    // The difference met, with the recorded and the received request; empty while there is none.
    std::string ReplayDifference();
    // The recorded requests and stalls that have not come yet, and a description of the first one.
    std::uint32_t ReplayLeft(std::string* pstrFirst);

  private:
    struct Pending {
        std::uint32_t ulGeneration;
        Clock::time_point tDue;
        std::vector<std::uint8_t> vucReport;
    };
    struct Reply {
        bool bSend = false;
        std::uint16_t usStatus = kStatusOk;
        std::vector<std::uint8_t> vucParams;
        bool bLeaveAfter = false;
        TabletFirmware eBackIn = TabletFirmware::kApplication;
    };

    void AdvanceLocked(Clock::time_point tNow);
    void LeaveLocked(Clock::time_point tAt, std::uint32_t ulBackAfterMs, TabletFirmware eBackIn);
    // Leaves the bus at tAt (a restart once a reply is out, or a recorded departure).
    void ScheduleLeaveLocked(Clock::time_point tAt, std::uint32_t ulBackAfterMs, TabletFirmware eBackIn);
    PollResult PollLocked(std::uint32_t ulGeneration, std::size_t uCollection, std::uint8_t* pucBuf,
                          std::uint32_t ulCap, std::uint32_t* pulGot, Clock::time_point* ptNextDue);
    // Logs the report, applies the faults, runs the request and queues the reply, due at tAnswerAt
    // plus the reply delays.
    void HandleReportLocked(const std::uint8_t* pucReport, std::uint32_t ulLen, Clock::time_point tAnswerAt);
    // A write-stall fault that matches the report about to arrive: takes it and gives its length.
    bool TakeWriteStallLocked(std::uint16_t usCommand, std::uint32_t* pulStallMs);
    Reply RunCommandLocked(std::uint16_t usCommand, const std::uint8_t* pucPara, std::uint32_t ulParaLen);
    Reply RunPackageLocked(const std::uint8_t* pucPara, std::uint32_t ulParaLen);
    // A reply report to the request (usSeqNum, command words), in the tablet's way of answering.
    std::vector<std::uint8_t> ReplyReportLocked(std::uint16_t usSeqNum, std::uint16_t usWord0, std::uint16_t usWord1,
                                                std::uint16_t usCommand, const Reply& tReply,
                                                const TabletFault* ptMsgLen, bool bBadCrc);
    std::vector<TabletFault> TakeFaultsLocked(std::uint32_t ulFrame, std::uint16_t usCommand);

    const Config tConfig_;
    std::uint16_t usVid_ = 0;
    std::uint16_t usPid_ = 0;
    std::vector<HidCaps> vtCollections_;
    int iVendorCollection_ = -1;
    std::uint16_t usInLen_ = 0;
    std::uint16_t usOutLen_ = 0;

    std::mutex tMutex_;
    std::condition_variable tCv_;
    // Bus
    bool bPresent_ = true;
    std::uint32_t ulGeneration_ = 1;
    bool bLeaveScheduled_ = false;
    Clock::time_point tLeaveAt_;
    std::uint32_t ulLeaveBackAfterMs_ = kNeverMs;
    TabletFirmware eLeaveBackIn_ = TabletFirmware::kApplication;
    bool bReturnScheduled_ = false;
    Clock::time_point tReturnAt_;
    TabletFirmware eReturnIn_ = TabletFirmware::kApplication;
    std::deque<Pending> tInput_;
    Clock::time_point tLastReplyDue_{};
    // IAP
    TabletFirmware eRunning_;
    bool bAppBootable_ = false;  // a restart may come back in the application
    bool bCorruptPackage_ = false;  // the package being run is written with one byte wrong
    std::uint16_t usReplyCounter_ = 0;
    std::vector<std::uint8_t> vucFlash_;
    bool bErased_ = false;
    bool bInfoKnown_ = false;
    std::uint32_t ulImageLen_ = 0;
    std::uint32_t ulImageCrc_ = 0;
    std::uint8_t ucTarget_ = 0;
    std::uint32_t ulInstalls_ = 0;
    // Log and knobs
    std::vector<ReceivedFrame> vtFrames_;
    std::uint32_t ulFrames_ = 0;
    std::vector<TabletFault> vtFaults_;
    std::uint32_t ulReplyDelayMs_ = 0;
    TimingHook fnTiming_;
    std::function<void()> fnListener_;
    // Recording and replay
    void RecordLocked(RecordedEvent tEvent, Clock::time_point tAt);
    void RecordReplyLocked(const std::vector<std::uint8_t>& vucReport, Clock::time_point tArrival,
                           Clock::time_point tDue);
    std::uint32_t MsSince(Clock::time_point tFrom, Clock::time_point tTo) const;
    // A replayed request: checks it against the record and queues what the record says followed it.
    void ReplayRequestLocked(const ReceivedFrame& tFrame, std::uint32_t ulReportBytes,
                             Clock::time_point tArrival);
    // A recorded stall of the write about to arrive: takes it and gives its length.
    bool TakeReplayStallLocked(std::uint16_t usCommand, std::uint32_t* pulStallMs);
    Clock::duration ReplayDelay(std::uint32_t ulMs) const;
    bool bRecording_ = false;
    Clock::time_point tRecordStart_;
    Clock::time_point tLastArrival_;
    std::uint32_t ulRecordBase_ = 0;  // frames received before the recording started
    TabletFirmware eRecordStartIn_ = TabletFirmware::kApplication;
    std::uint32_t ulReplayBase_ = 0;  // frames received before the replay started
    std::vector<RecordedEvent> vtRecording_;
    bool bReplay_ = false;
    ReplayOptions tReplayOptions_;
    std::vector<RecordedEvent> vtReplay_;
    std::size_t szReplayNext_ = 0;
    std::string strReplayDifference_;
};

}  // namespace sim
