// The virtual tablet on a real USB bus: a Linux USB HID gadget (configfs, usb_f_hid) that serves
// sim::VirtualTablet on /dev/hidgN, so that a host kernel's usbhid and hidraw drivers (dummy_hcd in the
// test guest) see a tablet with the model's VID:PID, a pen collection beside the vendor collection and the
// tablet's report lengths. Output reports arrive as packets of the endpoint size and are put together to the
// output report length; the tablet's input reports are written back one by one. When the tablet leaves the
// bus (reboot into the boot loader, a fault) the gadget unbinds from the device controller, a real USB
// disconnect, and binds again when the tablet is back: the host enumerates it anew.
//
// A test tool, run as root in the test guest. It ends on SIGINT/SIGTERM and prints what the tablet saw.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device/device_table.h"
#include "sim/virtual_tablet.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kPacketBytes = 64;  // report_length: the interrupt endpoints' wMaxPacketSize
const char kGadgetRoot[] = "/sys/kernel/config/usb_gadget/tavelo";

volatile sig_atomic_t g_bStop = 0;

void OnSignal(int) {
    g_bStop = 1;
}

[[noreturn]] void Die(const std::string& strWhat) {
    std::fprintf(stderr, "gadget_tablet: %s: %s\n", strWhat.c_str(), std::strerror(errno));
    std::exit(1);
}

void WriteText(const std::string& strPath, const std::string& strText, bool bMustWork = true) {
    const int fd = open(strPath.c_str(), O_WRONLY | O_CLOEXEC);
    const bool bOk =
        fd >= 0 && write(fd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size());
    if (fd >= 0) {
        close(fd);
    }
    if (!bOk && bMustWork) {
        Die("write " + strPath);
    }
}

void WriteBytes(const std::string& strPath, const std::vector<std::uint8_t>& bytes) {
    WriteText(strPath, std::string(bytes.begin(), bytes.end()));
}

std::string ReadLine(const std::string& strPath) {
    std::ifstream in(strPath);
    std::string s;
    std::getline(in, s);
    return s;
}

void MakeDir(const std::string& strPath) {
    if (mkdir(strPath.c_str(), 0755) != 0 && errno != EEXIST) {
        Die("mkdir " + strPath);
    }
}

// A boot keyboard's report descriptor: the foreign HID device beside the tablet.
const std::vector<std::uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x03, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x03, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// ---- Command line -------------------------------------------------------------------------------------

struct Options {
    sim::VirtualTablet::Config tConfig;
    std::vector<std::function<void(sim::VirtualTablet&)>> vfnKnobs;
    bool bKeyboard = false;
    bool bPenInterface = false;  // the pen on an interface of its own, the vendor collection on another
    std::string strImage;        // the plain image the flash should hold at the end
};

// "KIND[=VALUE][@FRAME]": VALUE and FRAME are numbers.
struct KnobArg {
    std::uint32_t ulValue = 0;
    bool bHasValue = false;
    std::uint32_t ulFrame = 0;
};

bool ParseKnobArg(const std::string& s, KnobArg* ptArg) {
    std::size_t uAt = s.find('@');
    std::string strValue = s.substr(0, uAt);
    char* pEnd = nullptr;
    if (uAt != std::string::npos) {
        ptArg->ulFrame = static_cast<std::uint32_t>(std::strtoul(s.c_str() + uAt + 1, &pEnd, 0));
        if (*pEnd != '\0') {
            return false;
        }
    }
    if (!strValue.empty()) {
        ptArg->ulValue = static_cast<std::uint32_t>(std::strtoul(strValue.c_str(), &pEnd, 0));
        ptArg->bHasValue = true;
        return *pEnd == '\0';
    }
    return true;
}

sim::TabletFault FaultAt(sim::TabletFault::Kind eKind, std::uint32_t ulFrame, std::uint32_t ulValue) {
    sim::TabletFault t;
    t.eKind = eKind;
    t.ulAtFrame = ulFrame;
    t.ulValue = ulValue;
    return t;
}

// The fault knobs, one row each: --NAME=VALUE@FRAME (FRAME 1 is the first report received).
struct Knob {
    const char* strName;
    const char* strHelp;
    std::uint32_t ulDefault;
    std::function<void(sim::VirtualTablet&, const KnobArg&)> fnApply;
};

const std::vector<Knob>& Knobs() {
    using Kind = sim::TabletFault::Kind;
    static const std::vector<Knob> vtKnobs = {
        {"status", "=S@K: answer frame K with status S and do nothing else", 9,
         [](sim::VirtualTablet& t, const KnobArg& a) {
             t.AddFault(FaultAt(Kind::kStatus, a.ulFrame, a.ulValue));
         }},
        {"bad-crc", "@K: answer frame K with a corrupted CRC", 0,
         [](sim::VirtualTablet& t, const KnobArg& a) { t.AddFault(FaultAt(Kind::kBadCrc, a.ulFrame, 0)); }},
        {"silence", "@K: swallow frame K, no reply", 0,
         [](sim::VirtualTablet& t, const KnobArg& a) { t.AddFault(FaultAt(Kind::kNoReply, a.ulFrame, 0)); }},
        {"slow", "=MS@K: answer frame K MS late", 1000,
         [](sim::VirtualTablet& t, const KnobArg& a) {
             t.AddFault(FaultAt(Kind::kSlowReply, a.ulFrame, a.ulValue));
         }},
        {"reply-delay", "=MS: answer every frame MS late, in order", 100,
         [](sim::VirtualTablet& t, const KnobArg& a) { t.SetReplyDelayMs(a.ulValue); }},
        {"leave", "=MS@K: leave the bus on frame K, back after MS (0: never)", 500,
         [](sim::VirtualTablet& t, const KnobArg& a) {
             t.AddFault(FaultAt(Kind::kLeaveBus, a.ulFrame, a.ulValue == 0 ? sim::kNeverMs : a.ulValue));
         }},
    };
    return vtKnobs;
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: gadget_tablet [--model N] [--boot-loader] [--in-order] [--output-bytes N] [--reboot-ms N]\n"
        "                     [--keyboard] [--image PLAIN] [fault knobs]\n"
        "  --model N         DeviceTable row 0..%d (VID:PID and name)\n"
        "  --boot-loader     start in the boot loader instead of the application\n"
        "  --in-order        answer in one queue: a late reply delays every later one\n"
        "  --keyboard        a keyboard as a second HID function (a foreign device)\n"
        "  --pen-interface   the pen collection on an interface of its own, before the vendor one\n"
        "  --image PLAIN     at the end, say whether the flash holds exactly this image\n",
        kDeviceTableRows - 1);
    for (const Knob& k : Knobs()) {
        std::fprintf(stderr, "  --%s%s\n", k.strName, k.strHelp);
    }
}

bool ParseOptions(int argc, char** argv, Options* ptOpt) {
    ptOpt->tConfig.usOutputReportBytes = 1088;
    ptOpt->tConfig.ulRebootMs = 300;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto fnNext = [&](std::uint32_t* pul) {
            if (i + 1 >= argc) {
                return false;
            }
            *pul = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
            return true;
        };
        std::uint32_t ul = 0;
        if (a == "--model" && fnNext(&ul) && ul < kDeviceTableRows) {
            ptOpt->tConfig.iModelIndex = static_cast<int>(ul);
        } else if (a == "--output-bytes" && fnNext(&ul) && ul >= 2 && ul <= 4096) {
            ptOpt->tConfig.usOutputReportBytes = static_cast<std::uint16_t>(ul);
        } else if (a == "--reboot-ms" && fnNext(&ul)) {
            ptOpt->tConfig.ulRebootMs = ul;
        } else if (a == "--boot-loader") {
            ptOpt->tConfig.eStartIn = sim::TabletFirmware::kBootLoader;
        } else if (a == "--in-order") {
            ptOpt->tConfig.bInOrderReplies = true;
        } else if (a == "--keyboard") {
            ptOpt->bKeyboard = true;
        } else if (a == "--pen-interface") {
            ptOpt->bPenInterface = true;
            ptOpt->tConfig.vtCollections = {sim::VendorCollectionCaps(ptOpt->tConfig.usInputReportBytes,
                                                                      ptOpt->tConfig.usOutputReportBytes)};
        } else if (a == "--image" && i + 1 < argc) {
            ptOpt->strImage = argv[++i];
        } else {
            bool bKnob = false;
            for (const Knob& k : Knobs()) {
                const std::string strPrefix = std::string("--") + k.strName;
                KnobArg tArg;
                if (a.rfind(strPrefix, 0) != 0 ||
                    (a.size() > strPrefix.size() && a[strPrefix.size()] != '=' &&
                     a[strPrefix.size()] != '@')) {
                    continue;
                }
                std::string strRest = a.substr(strPrefix.size());
                if (!strRest.empty() && strRest[0] == '=') {
                    strRest.erase(0, 1);
                }
                if (!ParseKnobArg(strRest, &tArg)) {
                    return false;
                }
                if (!tArg.bHasValue) {
                    tArg.ulValue = k.ulDefault;
                }
                auto fnApply = k.fnApply;
                ptOpt->vfnKnobs.push_back([fnApply, tArg](sim::VirtualTablet& t) { fnApply(t, tArg); });
                bKnob = true;
                break;
            }
            if (!bKnob) {
                return false;
            }
        }
    }
    return true;
}

// ---- The gadget in configfs -------------------------------------------------------------------------------

class Gadget {
  public:
    Gadget(const sim::VirtualTablet& tTablet, const DeviceEntry* ptRow, bool bKeyboard, bool bPenInterface)
        : m_strRoot(kGadgetRoot) {
        char str[16];
        MakeDir(m_strRoot);
        std::snprintf(str, sizeof(str), "0x%04x", tTablet.VendorId());
        WriteText(m_strRoot + "/idVendor", str);
        std::snprintf(str, sizeof(str), "0x%04x", tTablet.ProductId());
        WriteText(m_strRoot + "/idProduct", str);
        WriteText(m_strRoot + "/bcdUSB", "0x0200");
        WriteText(m_strRoot + "/bcdDevice", "0x0100");
        MakeDir(m_strRoot + "/strings/0x409");
        WriteText(m_strRoot + "/strings/0x409/manufacturer", "Tavelo");
        WriteText(m_strRoot + "/strings/0x409/product", ptRow != nullptr ? ptRow->strModelName : "tablet");
        WriteText(m_strRoot + "/strings/0x409/serialnumber", "VM0001");
        MakeDir(m_strRoot + "/configs/c.1");
        MakeDir(m_strRoot + "/configs/c.1/strings/0x409");
        WriteText(m_strRoot + "/configs/c.1/strings/0x409/configuration", "tablet");
        WriteText(m_strRoot + "/configs/c.1/MaxPower", "100");
        if (bPenInterface) {
            // A tablet presenting only its digitizer collection gives the pen's report descriptor.
            sim::VirtualTablet::Config tPen;
            tPen.vtCollections = {sim::DigitizerCollectionCaps()};
            AddFunction("hid.pen", sim::VirtualTablet(tPen).ReportDescriptor(), kPacketBytes, 0);
        }
        m_strTabletDev = AddFunction("hid.tablet", tTablet.ReportDescriptor(), kPacketBytes, 0);
        if (bKeyboard) {
            AddFunction("hid.keyboard", kKeyboardDescriptor, 8, 1);
        }
        std::string strUdc = ReadFirstEntry("/sys/class/udc");
        if (strUdc.empty()) {
            Die("no USB device controller in /sys/class/udc");
        }
        m_strUdc = strUdc;
    }
    ~Gadget() {
        Unbind();
        for (const std::string& f : m_vstrFunctions) {
            unlink((m_strRoot + "/configs/c.1/" + f).c_str());
            rmdir((m_strRoot + "/functions/" + f).c_str());
        }
        rmdir((m_strRoot + "/configs/c.1/strings/0x409").c_str());
        rmdir((m_strRoot + "/configs/c.1").c_str());
        rmdir((m_strRoot + "/strings/0x409").c_str());
        rmdir(m_strRoot.c_str());
    }
    // Attaches to the bus and opens the tablet function's node; -1 when it did not come up.
    int Bind() {
        WriteText(m_strRoot + "/UDC", m_strUdc);
        for (int i = 0; i < 500; ++i) {
            const int fd = open(m_strTabletDev.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                return fd;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    // A USB disconnect: the host sees the device go.
    void Unbind() { WriteText(m_strRoot + "/UDC", "\n", false); }

  private:
    static std::string ReadFirstEntry(const std::string& strDir) {
        std::string strCmd = "ls " + strDir + " 2>/dev/null";
        std::string s;
        if (FILE* p = popen(strCmd.c_str(), "r")) {
            char line[256];
            if (std::fgets(line, sizeof(line), p) != nullptr) {
                s = line;
                while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
                    s.pop_back();
                }
            }
            pclose(p);
        }
        return s;
    }
    // One HID function (an interface of its own); returns its gadget-side node, /dev/hidgN.
    std::string AddFunction(const std::string& strName, const std::vector<std::uint8_t>& desc,
                            std::uint16_t usReportLength, int iProtocol) {
        const std::string f = m_strRoot + "/functions/" + strName;
        MakeDir(f);
        WriteText(f + "/protocol", std::to_string(iProtocol));
        WriteText(f + "/subclass", std::to_string(iProtocol != 0 ? 1 : 0));
        WriteText(f + "/report_length", std::to_string(usReportLength));
        WriteBytes(f + "/report_desc", desc);
        if (symlink(f.c_str(), (m_strRoot + "/configs/c.1/" + strName).c_str()) != 0 && errno != EEXIST) {
            Die("link " + strName);
        }
        m_vstrFunctions.push_back(strName);
        // "major:minor"; the node is /dev/hidg<minor>.
        const std::string strDev = ReadLine(f + "/dev");
        const std::size_t uColon = strDev.find(':');
        return "/dev/hidg" + (uColon == std::string::npos ? std::string("0") : strDev.substr(uColon + 1));
    }

    std::string m_strRoot;
    std::string m_strUdc;
    std::string m_strTabletDev;
    std::vector<std::string> m_vstrFunctions;
};

// ---- Serving the tablet --------------------------------------------------------------------------------

struct Counters {
    std::uint32_t ulBinds = 0;
    std::uint32_t ulReportsOut = 0;
    std::uint32_t ulReportsIn = 0;
};

// Writes the queued input reports; waits at most iLimitMs for the host to take them (a host that does
// not read, such as one without the node open, must not keep the tablet from leaving the bus).
void FlushInput(int fd, std::deque<std::vector<std::uint8_t>>* ptQueue, Counters* ptCount, int iLimitMs) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iLimitMs);
    while (!ptQueue->empty() && std::chrono::steady_clock::now() < tEnd) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 5) == 1 && (p.revents & POLLOUT) != 0) {
            const std::vector<std::uint8_t>& r = ptQueue->front();
            if (write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size())) {
                ++ptCount->ulReportsIn;
                ptQueue->pop_front();
            }
        }
    }
    // write() only queues the report; POLLOUT comes back when the host has taken it.
    while (std::chrono::steady_clock::now() < tEnd) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 5) == 1 && (p.revents & POLLOUT) != 0) {
            break;
        }
    }
    std::this_thread::sleep_for(20ms);  // the host's driver passes it on before the device goes
}

void Serve(sim::VirtualTablet& tTablet, Gadget& tGadget, Counters* ptCount) {
    const std::size_t uVendor = static_cast<std::size_t>(tTablet.VendorCollection());
    const std::size_t uOutLen = tTablet.Collections()[uVendor].OutputReportByteLength;
    int fd = -1;
    std::uint32_t ulGeneration = 0;
    std::vector<std::uint8_t> vucOut;  // the output report being put together
    std::deque<std::vector<std::uint8_t>> tQueue;
    std::vector<std::uint8_t> buf(4096);
    while (g_bStop == 0) {
        if (fd < 0) {
            std::uint32_t ulNow = 0;
            if (tTablet.Present(&ulNow) && ulNow != ulGeneration) {
                fd = tGadget.Bind();
                if (fd < 0) {
                    Die("gadget node did not appear");
                }
                ulGeneration = ulNow;
                ++ptCount->ulBinds;
                std::printf("gadget: on the bus (%s)\n", tTablet.Running() == sim::TabletFirmware::kBootLoader
                                                             ? "boot loader"
                                                             : "application");
                std::fflush(stdout);
            } else {
                std::this_thread::sleep_for(2ms);
            }
            continue;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (tQueue.empty() ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 2) == 1) {
            if ((p.revents & POLLIN) != 0) {
                const ssize_t n = read(fd, buf.data(), buf.size());
                if (n > 0) {
                    // Every report starts with its ID; a packet that does not fit is dropped.
                    if (vucOut.empty() && buf[0] != 0xFD) {
                        continue;
                    }
                    vucOut.insert(vucOut.end(), buf.begin(), buf.begin() + n);
                    if (vucOut.size() >= uOutLen) {
                        tTablet.WriteOutputReport(ulGeneration, uVendor, vucOut.data(),
                                                  static_cast<std::uint32_t>(uOutLen));
                        ++ptCount->ulReportsOut;
                        vucOut.clear();
                    }
                }
            }
            if ((p.revents & POLLOUT) != 0 && !tQueue.empty()) {
                const std::vector<std::uint8_t>& r = tQueue.front();
                if (write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size())) {
                    ++ptCount->ulReportsIn;
                    tQueue.pop_front();
                }
            }
        }
        std::uint32_t ulGot = 0;
        sim::Clock::time_point tDue;
        sim::VirtualTablet::PollResult e = tTablet.PollInputReport(
            ulGeneration, uVendor, buf.data(), static_cast<std::uint32_t>(buf.size()), &ulGot, &tDue);
        if (e == sim::VirtualTablet::PollResult::kReport) {
            tQueue.emplace_back(buf.begin(), buf.begin() + ulGot);
        } else if (e == sim::VirtualTablet::PollResult::kGone) {
            // The last replies reach the host before the tablet drops off the bus.
            FlushInput(fd, &tQueue, ptCount, 1000);
            tQueue.clear();
            vucOut.clear();
            close(fd);
            fd = -1;
            tGadget.Unbind();
            std::printf("gadget: off the bus\n");
            std::fflush(stdout);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options tOpt;
    if (!ParseOptions(argc, argv, &tOpt)) {
        Usage();
        return 2;
    }
    sim::VirtualTablet tTablet(tOpt.tConfig);
    for (auto& fn : tOpt.vfnKnobs) {
        fn(tTablet);
    }
    const DeviceEntry* ptRow = nullptr;
    GetDeviceEntry(&ptRow, tOpt.tConfig.iModelIndex);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    Counters tCount;
    {
        Gadget tGadget(tTablet, ptRow, tOpt.bKeyboard, tOpt.bPenInterface);
        Serve(tTablet, tGadget, &tCount);
    }
    std::printf("gadget: frames %u, reports out %u in %u, on the bus %u times, installs %u, running %s\n",
                tTablet.FramesReceived(), tCount.ulReportsOut, tCount.ulReportsIn, tCount.ulBinds,
                tTablet.FirmwareInstalls(),
                tTablet.Running() == sim::TabletFirmware::kBootLoader ? "boot loader" : "application");
    if (!tOpt.strImage.empty()) {
        std::ifstream in(tOpt.strImage, std::ios::binary);
        std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        std::vector<std::uint8_t> flash = tTablet.Flash();
        const bool bSame = !image.empty() && flash.size() >= image.size() &&
                           std::equal(image.begin(), image.end(), flash.begin());
        std::printf("gadget: the flash %s the image\n", bSame ? "holds exactly" : "does NOT hold");
    }
    return 0;
}
