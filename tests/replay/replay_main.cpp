// Replays one exchange record: the whole program (TaveloIapMain) runs with the record's menu input and
// firmware file against a virtual tablet that answers from the record, and must send the recorded
// requests and print the recorded console output, byte for byte, and end with the recorded exit status.
// On a difference it names the first differing request with both frames, shows where the console
// output parts from the record, and exits 1; a record it cannot read exits 2.
//
//   replay_en|replay_zh RECORD
//
// Environment: TAVELO_REPLAY_TIMING=recorded keeps every recorded delay; otherwise replies that came
// within the link's reply limit come at once.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_main.h"
#include "device/confg_file.h"
#include "device/device_table.h"
#include "drbd/drbd_frame.h"
#include "hidlink/hidlink_control.h"
#include "platform/hid_host.h"
#include "platform/os.h"
#include "sim/exchange_record.h"
#include "sim/sim_hid_host.h"
#include "sim/virtual_tablet.h"
#include "support/capture_stdout.h"
#include "support/link_pause.h"
#include "support/stdin_feed.h"

namespace {

#ifdef TAVELO_TEST_ZH
constexpr const char* kLanguage = "zh";
#else
constexpr const char* kLanguage = "en";
#endif

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    for (std::size_t p = 0; p < s.size();) {
        std::size_t e = s.find('\n', p);
        e = e == std::string::npos ? s.size() : e + 1;
        v.push_back(s.substr(p, e - p));
        p = e;
    }
    return v;
}

// Where two console outputs part: the lines around the first difference, recorded ("-") and replayed
// ("+").
std::string ConsoleDiff(const std::string& strRecorded, const std::string& strReplayed) {
    const std::vector<std::string> a = Lines(strRecorded);
    const std::vector<std::string> b = Lines(strReplayed);
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    std::string s = "console output differs from the record at line " + std::to_string(i + 1) + ":\n";
    for (std::size_t k = i >= 3 ? i - 3 : 0; k < i; ++k) {
        s += "    " + sim::EscapeRecordText(a[k]) + "\n";
    }
    for (std::size_t k = i; k < a.size() && k < i + 6; ++k) {
        s += "  - " + sim::EscapeRecordText(a[k]) + "\n";
    }
    for (std::size_t k = i; k < b.size() && k < i + 6; ++k) {
        s += "  + " + sim::EscapeRecordText(b[k]) + "\n";
    }
    return s;
}

// Ends the process when the run outlives its deadline, saying what the tablet had seen by then.
class Deadline {
  public:
    Deadline(std::chrono::milliseconds tLimit, sim::VirtualTablet* ptTablet, std::string strName)
        : tThread_([this, tLimit, ptTablet, strName] {
              std::unique_lock<std::mutex> lk(tMutex_);
              if (!tCv_.wait_for(lk, tLimit, [this] { return bDone_; })) {
                  std::fprintf(stderr, "replay of %s: the program did not end within %lld s\n%s",
                               strName.c_str(), static_cast<long long>(tLimit.count() / 1000),
                               ptTablet->ReplayDifference().c_str());
                  std::fflush(stderr);
                  std::_Exit(1);
              }
          }) {}
    ~Deadline() {
        {
            std::lock_guard<std::mutex> lk(tMutex_);
            bDone_ = true;
        }
        tCv_.notify_all();
        tThread_.join();
    }

  private:
    std::mutex tMutex_;
    std::condition_variable tCv_;
    bool bDone_ = false;
    std::thread tThread_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORD\n", argv[0]);
        return 2;
    }
    const std::string strName = argv[1];
    std::ifstream in(strName, std::ios::binary);
    std::string strText;
    if (in) {
        strText.resize(sim::kRecordMaxBytes + 1);
        in.read(strText.data(), static_cast<std::streamsize>(strText.size()));
        strText.resize(static_cast<std::size_t>(in.gcount()));
    }
    sim::ExchangeRecord r;
    std::string strError;
    if (!in.is_open()) {
        strError = "cannot be read";
    } else if (sim::ParseExchangeRecord(strText, &r, &strError) && r.strLanguage != kLanguage) {
        strError =
            "is a record of the " + r.strLanguage + " build; this replayer runs the " + kLanguage + " build";
    } else if (strError.empty() && (r.iModelIndex < 0 || r.iModelIndex >= kDeviceTableRows ||
                                    r.strFirmwareName != DeviceTable[r.iModelIndex].strMcuCipherFileName)) {
        strError = "names a firmware file that is not the model's McuCipherFile";
    }
    if (!strError.empty()) {
        std::fprintf(stderr, "replay of %s: the record %s\n", strName.c_str(), strError.c_str());
        return 2;
    }

    // The firmware file beside the program, as the recorded run found it.
    char strDir[kPathFieldBytes];
    wchar_t wstrDir[kWidePathFieldChars];
    if (GetExeDirectory(strDir, wstrDir) != 1) {
        std::fprintf(stderr, "replay of %s: the replayer's directory cannot be used\n", strName.c_str());
        return 2;
    }
    const std::string strFirmware = std::string(strDir) + r.strFirmwareName;
    std::ofstream(strFirmware, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(r.vucFirmware.data()),
               static_cast<std::streamsize>(r.vucFirmware.size()));

    HidLinkTimeouts tTimeouts = HidLinkDefaultTimeouts();
    tTimeouts.ulReplyMs = r.ulReplyMs;
    tTimeouts.ulLinkIdleMs = r.ulLinkIdleMs;
    tTimeouts.ulRedetectWaitMs = r.ulRedetectWaitMs;
    tTimeouts.ulShutdownMs = r.ulShutdownMs;
    HidLinkSetTimeouts(tTimeouts);
    DivideLinkPauses(r.ulPauseDivisor);

    // The frame counter goes on from run to run in one process: it starts where the recorded run's did.
    for (const sim::RecordedEvent& t : r.vtEvents) {
        if (t.eKind == sim::RecordedEvent::Kind::kRequest) {
            if (t.vucBytes.size() >= kDrbdOffSeqNum + 2u) {
                DrbdSequenceCounterSet(static_cast<std::uint16_t>(t.vucBytes[kDrbdOffSeqNum] << 8 |
                                                                  t.vucBytes[kDrbdOffSeqNum + 1]));
            }
            break;
        }
    }

    sim::VirtualTablet::Config c;
    c.iModelIndex = r.iModelIndex;
    c.usVid = r.usVid;
    c.usPid = r.usPid;
    c.usInputReportBytes = static_cast<std::uint16_t>(r.ulInputReportBytes);
    c.usOutputReportBytes = static_cast<std::uint16_t>(r.ulOutputReportBytes);
    c.eStartIn = r.bStartsInBootLoader ? sim::TabletFirmware::kBootLoader : sim::TabletFirmware::kApplication;
    auto tablet = std::make_shared<sim::VirtualTablet>(c);
    sim::VirtualTablet::ReplayOptions tOptions;
    const char* strTiming = std::getenv("TAVELO_REPLAY_TIMING");
    tOptions.bRecordedTiming = strTiming != nullptr && std::strcmp(strTiming, "recorded") == 0;
    tOptions.ulFastBelowMs = r.ulReplyMs;
    tablet->SetReplay(r.vtEvents, tOptions);
    sim::SimHidHost host;
    host.AddTablet(tablet);
    SetHidHost(host.Host());

    // Bounded: the recorded run's length, twice, and a minute.
    const std::uint32_t ulRecordedMs = r.vtEvents.empty() ? 0 : r.vtEvents.back().ulAtMs;
    int iStatus = 0;
    std::string strOut;
    {
        Deadline tDeadline(std::chrono::milliseconds(2ull * ulRecordedMs + 60000), tablet.get(), strName);
        StdinFeed tFeed(r.strInput);
        StdoutCapture tCapture;
        iStatus = TaveloIapMain();
        strOut = tCapture.Finish();
    }
    SetHidHost(nullptr);
    HidLinkReset();
    std::remove(strFirmware.c_str());

    std::string strReport = tablet->ReplayDifference();
    std::string strFirst;
    if (strReport.empty()) {
        if (const std::uint32_t ulLeft = tablet->ReplayLeft(&strFirst); ulLeft != 0) {
            strReport += "the program sent fewer requests than the record holds: " + std::to_string(ulLeft) +
                         " never came, the first one " + strFirst + "\n";
        }
    }
    if (strOut != r.strConsole) {
        strReport += ConsoleDiff(r.strConsole, strOut);
    }
    if (iStatus != r.iExitStatus) {
        strReport +=
            "exit status " + std::to_string(iStatus) + ", recorded " + std::to_string(r.iExitStatus) + "\n";
    }
    if (!strReport.empty()) {
        std::fprintf(stderr, "replay of %s (%s): FAILED\n%s", strName.c_str(), r.strSource.c_str(),
                     strReport.c_str());
        return 1;
    }
    std::fprintf(stderr, "replay of %s: the same requests, console output and exit status\n",
                 strName.c_str());
    return 0;
}
