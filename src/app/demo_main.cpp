// TaveloIAP-demo: the console program against a virtual tablet instead of the system's HID devices.
// The tablet (a 'Tavelo K1 Plus V2' running its application) is plugged in a moment after start-up.
// When the program has ended, the demo tells on standard error what the tablet received and whether its
// flash now holds the plain image Tavelo-KT1.bin found next to the program (exit status 3 if not;
// otherwise the program's own exit status).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app_main.h"
#include "device/confg_file.h"
#include "device/device_table.h"
#include "platform/hid_host.h"
#include "sim/sim_hid_host.h"
#include "sim/virtual_tablet.h"

namespace {
constexpr int kDemoModel = 0;
constexpr unsigned kPlugInDelayMs = 800;
}  // namespace

int main() {
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = kDemoModel;
    auto ptTablet = std::make_shared<sim::VirtualTablet>(tConfig);
    sim::SimHidHost tHost;
    tHost.AddForeignDevice(0x046D, 0xC077, {sim::MouseCollectionCaps()});
    SetHidHost(tHost.Host());

    std::thread tPlugIn([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPlugInDelayMs));
        tHost.AddTablet(ptTablet);
    });
    const int iStatus = TaveloIapMain();
    tPlugIn.join();
    SetHidHost(nullptr);

    // What the tablet saw.
    char strDir[kPathFieldBytes];
    wchar_t wstrDir[kWidePathFieldChars];
    std::string strPlain;
    if (GetExeDirectory(strDir, wstrDir) == 1) {
        strPlain = std::string(strDir) + DeviceTable[kDemoModel].strMcuVerFileName;
    }
    std::ifstream tIn(strPlain, std::ios::binary);
    std::vector<std::uint8_t> vucImage((std::istreambuf_iterator<char>(tIn)),
                                       std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> vucFlash = ptTablet->Flash();
    std::fprintf(stderr, "[virtual tablet] frames received: %u, firmware images installed: %u\n",
                 static_cast<unsigned>(ptTablet->FramesReceived()),
                 static_cast<unsigned>(ptTablet->FirmwareInstalls()));
    if (!tIn.is_open()) {
        std::fprintf(stderr, "[virtual tablet] no plain image %s to compare the flash with\n",
                     strPlain.c_str());
        return iStatus;
    }
    bool bSame = vucImage.size() <= vucFlash.size() &&
                 std::memcmp(vucImage.data(), vucFlash.data(), vucImage.size()) == 0 &&
                 ptTablet->FirmwareInstalls() > 0;
    std::fprintf(stderr, "[virtual tablet] flash %s %s (%zu bytes)\n",
                 bSame ? "holds exactly" : "does NOT hold", strPlain.c_str(), vucImage.size());
    return bSame ? iStatus : 3;
}
