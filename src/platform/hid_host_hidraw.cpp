// The Linux HID host over hidraw. One hidraw node serves one HID interface, which may hold several
// top-level collections; each collection is presented as an interface entry of its own, as Windows does,
// with the collection's index in the device path: "/dev/hidraw3#1". All entries of a node share it.
//
// Listing and probing read sysfs only (/sys/class/hidraw/hidrawN, its HID device's uevent and
// report_descriptor), so they need no access to the device node, like a Windows probe. The write and read
// handles open /dev/hidrawN. A read delivers what Windows delivers on the collection alone: input reports
// of the node's other collections are dropped, a report shorter than the collection's input length is
// padded with zeros, and a device without report IDs gets a 0 byte in front. A report ID that belongs to
// no collection of the node fails the read, as does a read error (the device left: ENODEV, EIO).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/hid_host.h"
#include "platform/hid_report_descriptor.h"

namespace {
constexpr char kSysClassHidraw[] = "/sys/class/hidraw";
constexpr std::size_t kUeventMaxBytes = 16384;
// Largest input report a read handle is prepared for; hidraw itself never delivers more than 16 KiB.
constexpr std::uint32_t kMaxRawReportBytes = 65536;
// The signal that interrupts a blocked read for CancelRead; ignored by default, so a stray one is harmless.
constexpr int kCancelSignal = SIGURG;

// ---- Small file helpers (sysfs) -------------------------------------------------------------------------

// Reads at most szMax bytes of a file. False when it cannot be opened or read.
bool ReadSmallFile(const std::string& strPath, std::size_t szMax, std::vector<std::uint8_t>* pBytes) {
    pBytes->clear();
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    pBytes->resize(szMax);
    std::size_t szGot = 0;
    bool bOk = true;
    while (szGot < szMax) {
        ssize_t n = read(fd, pBytes->data() + szGot, szMax - szGot);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            bOk = false;
            break;
        }
        if (n == 0) {
            break;
        }
        szGot += static_cast<std::size_t>(n);
    }
    int err = errno;
    close(fd);
    errno = err;
    pBytes->resize(szGot);
    return bOk;
}

// The value of KEY=value in a uevent file; empty when absent.
std::string UeventValue(const std::string& strPath, const char* strKey) {
    std::vector<std::uint8_t> bytes;
    if (!ReadSmallFile(strPath, kUeventMaxBytes, &bytes)) {
        return std::string();
    }
    const std::string strText(bytes.begin(), bytes.end());
    const std::string strPrefix = std::string(strKey) + "=";
    std::size_t szPos = 0;
    while (szPos < strText.size()) {
        std::size_t szEnd = strText.find('\n', szPos);
        if (szEnd == std::string::npos) {
            szEnd = strText.size();
        }
        if (strText.compare(szPos, strPrefix.size(), strPrefix) == 0) {
            return strText.substr(szPos + strPrefix.size(), szEnd - szPos - strPrefix.size());
        }
        szPos = szEnd + 1;
    }
    return std::string();
}

// ---- What one hidraw node presents ------------------------------------------------------------------

struct NodeInfo {
    std::string strName;     // hidrawN
    std::string strDevNode;  // /dev/hidrawN
    bool bHaveIds = false;   // HID_ID was readable
    std::uint16_t usVid = 0;
    std::uint16_t usPid = 0;
    bool bHaveDescriptor = false;
    HidDescriptorInfo tDesc{};
};

// HID_ID=BBBB:VVVVVVVV:PPPPPPPP (bus, vendor, product in hex).
bool ParseHidId(const std::string& strValue, std::uint16_t* pusVid, std::uint16_t* pusPid) {
    unsigned uBus = 0;
    unsigned uVid = 0;
    unsigned uPid = 0;
    if (std::sscanf(strValue.c_str(), "%x:%x:%x", &uBus, &uVid, &uPid) != 3) {
        return false;
    }
    *pusVid = static_cast<std::uint16_t>(uVid);
    *pusPid = static_cast<std::uint16_t>(uPid);
    return true;
}

// Reads a node's sysfs entries. False when the node is not (or no longer) there.
bool LoadNodeFromSysfs(const std::string& strName, NodeInfo* ptNode) {
    *ptNode = NodeInfo{};
    ptNode->strName = strName;
    const std::string strClassDir = std::string(kSysClassHidraw) + "/" + strName;
    if (access(strClassDir.c_str(), F_OK) != 0) {
        return false;
    }
    std::string strDevName = UeventValue(strClassDir + "/uevent", "DEVNAME");
    if (strDevName.empty()) {
        strDevName = strName;
    }
    ptNode->strDevNode = strDevName[0] == '/' ? strDevName : "/dev/" + strDevName;
    ptNode->bHaveIds =
        ParseHidId(UeventValue(strClassDir + "/device/uevent", "HID_ID"), &ptNode->usVid, &ptNode->usPid);
    std::vector<std::uint8_t> desc;
    if (ReadSmallFile(strClassDir + "/device/report_descriptor", HID_MAX_DESCRIPTOR_SIZE, &desc) &&
        !desc.empty()) {
        ptNode->bHaveDescriptor = true;
        ParseHidReportDescriptor(desc.data(), desc.size(), &ptNode->tDesc);
    }
    return true;
}

// Splits "/dev/hidraw3#1" into the device node, its sysfs name and the collection index.
bool SplitDevicePath(const char* strPath, std::string* pDevNode, std::string* pName,
                     std::size_t* pszCollection) {
    if (strPath == nullptr) {
        return false;
    }
    const std::string strFull(strPath);
    const std::size_t szHash = strFull.rfind('#');
    if (szHash == std::string::npos || szHash + 1 >= strFull.size() || szHash + 6 < strFull.size()) {
        return false;
    }
    std::size_t szIndex = 0;
    for (std::size_t i = szHash + 1; i < strFull.size(); ++i) {
        if (strFull[i] < '0' || strFull[i] > '9') {
            return false;
        }
        szIndex = szIndex * 10 + static_cast<std::size_t>(strFull[i] - '0');
    }
    *pDevNode = strFull.substr(0, szHash);
    const std::size_t szSlash = pDevNode->rfind('/');
    *pName = szSlash == std::string::npos ? *pDevNode : pDevNode->substr(szSlash + 1);
    *pszCollection = szIndex;
    return !pName->empty() && pName->find("..") == std::string::npos;
}

// hidraw0, hidraw2, hidraw10: in the kernel's numbering order.
bool NodeNameLess(const std::string& a, const std::string& b) {
    const unsigned long ulA = std::strtoul(a.c_str() + 6, nullptr, 10);
    const unsigned long ulB = std::strtoul(b.c_str() + 6, nullptr, 10);
    return ulA != ulB ? ulA < ulB : a < b;
}

// ---- Handles ------------------------------------------------------------------------------------------

struct OwnedFd {
    int fd;
    explicit OwnedFd(int iFd) : fd(iFd) {}
    ~OwnedFd() { close(fd); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
};

// The state of a read handle. A Read holds a reference while it runs, so the descriptor is closed only
// when both the handle is closed and no read is under way on it (no descriptor number is reused under a
// running read).
struct ReadState {
    std::shared_ptr<OwnedFd> pFd;
    std::size_t szCollection = 0;
    std::uint32_t ulInputBytes = 0;  // the collection's input report length (Windows' InputReportByteLength)
    bool bUsesReportIds = false;
    std::array<std::int16_t, 256> aiRoute{};  // input report ID -> collection of the node, -1 none
    std::vector<std::uint8_t> raw;            // one raw report as hidraw delivers it

    std::mutex mtx;  // guards bInRead and tThread (the reader is alive while bInRead is set)
    bool bInRead = false;
    pthread_t tThread{};
    std::atomic<bool> bCancel{false};
};

enum class Kind { kFree, kList, kProbe, kWrite, kRead, kEvent };

struct Slot {
    Kind eKind = Kind::kFree;
    std::uint32_t ulGeneration = 0;
    std::vector<std::string> paths;     // list
    NodeInfo tNode;                     // probe
    std::size_t szCollection = 0;       // probe
    std::shared_ptr<OwnedFd> pWriteFd;  // write
    std::shared_ptr<ReadState> pRead;   // read
};

constexpr std::size_t kSlots = 256;

struct HandleTable {
    std::mutex mtx;
    std::array<Slot, kSlots> slots;
};

HandleTable& Table() {
    static HandleTable* ptTable = new HandleTable();  // never destroyed: a reader may outlive main
    return *ptTable;
}

// Handle value: (generation << 8 | slot) + 1, so never kInvalidHandle and stale handles are refused.
PlatformHandle MakeHandle(std::size_t szSlot, std::uint32_t ulGeneration) {
    return static_cast<PlatformHandle>((static_cast<std::uint64_t>(ulGeneration) << 8 | szSlot) + 1);
}

// Takes a free slot for a new handle; call with the table locked. kSlots when all are taken.
std::size_t TakeSlot(HandleTable& t, Kind eKind) {
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (t.slots[i].eKind == Kind::kFree) {
            t.slots[i].eKind = eKind;
            t.slots[i].ulGeneration = (t.slots[i].ulGeneration + 1) & 0xFFFFFFu;
            return i;
        }
    }
    return kSlots;
}

// The slot of a live handle of this kind; call with the table locked. Null (last error EBADF) otherwise.
Slot* FindSlot(HandleTable& t, PlatformHandle h, Kind eKind) {
    if (h <= 0) {
        errno = EBADF;
        return nullptr;
    }
    const std::uint64_t ullValue = static_cast<std::uint64_t>(h) - 1;
    const std::size_t szSlot = static_cast<std::size_t>(ullValue & 0xFFu);
    const std::uint32_t ulGeneration = static_cast<std::uint32_t>(ullValue >> 8);
    Slot& tSlot = t.slots[szSlot];
    if (tSlot.eKind != eKind || tSlot.ulGeneration != ulGeneration) {
        errno = EBADF;
        return nullptr;
    }
    return &tSlot;
}

PlatformHandle StoreSlot(Kind eKind, Slot&& tFilled) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mtx);
    const std::size_t szSlot = TakeSlot(t, eKind);
    if (szSlot == kSlots) {
        errno = EMFILE;
        return kInvalidHandle;
    }
    Slot& tSlot = t.slots[szSlot];
    const std::uint32_t ulGeneration = tSlot.ulGeneration;
    tSlot = std::move(tFilled);
    tSlot.eKind = eKind;
    tSlot.ulGeneration = ulGeneration;
    return MakeHandle(szSlot, ulGeneration);
}

// ---- The permission line ----------------------------------------------------------------------------

// Tells the user once per node that a tablet's node exists but may not be opened, and how to fix it.
void WarnNoPermission(const std::string& strDevNode) {
    static std::mutex* ptMtxWarned = new std::mutex();  // never destroyed, as the table
    static std::set<std::string>* ptWarned = new std::set<std::string>();
    {
        std::lock_guard<std::mutex> lock(*ptMtxWarned);
        if (!ptWarned->insert(strDevNode).second) {
            return;
        }
    }
    PlatformPrintf(
        "\r\n[Tavelo IAP]: Permission denied: cannot open %s. Install the udev rule 70-taveloiap.rules "
        "(copy it to /etc/udev/rules.d/, run 'udevadm control --reload' and replug the tablet) or run as "
        "root.\r\n",
        strDevNode.c_str());
}

// Opens the node of a device path and checks that it is still the device sysfs showed (a node number can
// be taken by another device between listing and opening). Fills *ptNode from sysfs.
int OpenNode(const char* strPath, int iFlags, NodeInfo* ptNode, std::size_t* pszCollection) {
    std::string strDevNode;
    std::string strName;
    if (!SplitDevicePath(strPath, &strDevNode, &strName, pszCollection)) {
        errno = ENOENT;
        return -1;
    }
    if (!LoadNodeFromSysfs(strName, ptNode)) {
        errno = ENODEV;
        return -1;
    }
    int fd = open(strDevNode.c_str(), iFlags | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) {
            const int err = errno;
            WarnNoPermission(strDevNode);
            errno = err;
        }
        return -1;
    }
    struct hidraw_devinfo tInfo;
    std::memset(&tInfo, 0, sizeof(tInfo));
    if (ioctl(fd, HIDIOCGRAWINFO, &tInfo) != 0 ||
        (ptNode->bHaveIds && (static_cast<std::uint16_t>(tInfo.vendor) != ptNode->usVid ||
                              static_cast<std::uint16_t>(tInfo.product) != ptNode->usPid))) {
        close(fd);
        errno = ENODEV;
        return -1;
    }
    return fd;
}

// ---- Signal used to cancel a blocked read ---------------------------------------------------------------

void OnCancelSignal(int) {}

// Installs the no-op handler (without SA_RESTART, so a blocked read() returns EINTR) unless the program
// handles the signal itself. False when the signal cannot be used.
bool CancelSignalReady() {
    static const bool bReady = [] {
        struct sigaction tOld;
        std::memset(&tOld, 0, sizeof(tOld));
        if (sigaction(kCancelSignal, nullptr, &tOld) != 0 || tOld.sa_handler != SIG_DFL) {
            return false;
        }
        struct sigaction tAct;
        std::memset(&tAct, 0, sizeof(tAct));
        tAct.sa_handler = OnCancelSignal;
        sigemptyset(&tAct.sa_mask);
        tAct.sa_flags = 0;
        return sigaction(kCancelSignal, &tAct, nullptr) == 0;
    }();
    return bReady;
}

// ---- The host's slots ---------------------------------------------------------------------------------

PlatformHandle HidrawListOpen(void*) {
    Slot tList;
    DIR* ptDir = opendir(kSysClassHidraw);
    std::vector<std::string> names;
    if (ptDir != nullptr) {  // no hidraw class at all: an empty list
        while (struct dirent* ptEnt = readdir(ptDir)) {
            if (std::strncmp(ptEnt->d_name, "hidraw", 6) == 0) {
                names.emplace_back(ptEnt->d_name);
            }
        }
        closedir(ptDir);
    }
    std::sort(names.begin(), names.end(), NodeNameLess);
    for (const std::string& strName : names) {
        NodeInfo tNode;
        if (!LoadNodeFromSysfs(strName, &tNode)) {
            continue;  // gone meanwhile
        }
        // A node whose descriptor shows no collection is still listed once, so it is probed and passed over.
        const std::size_t szEntries = std::max<std::size_t>(1, tNode.tDesc.tCollections.size());
        for (std::size_t i = 0; i < szEntries; ++i) {
            tList.paths.push_back(tNode.strDevNode + "#" + std::to_string(i));
        }
    }
    return StoreSlot(Kind::kList, std::move(tList));
}

int HidrawListEntry(void*, PlatformHandle hList, std::uint32_t ulIndex) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mtx);
    Slot* ptSlot = FindSlot(t, hList, Kind::kList);
    return ptSlot != nullptr && ulIndex < ptSlot->paths.size() ? 1 : 0;
}

std::uint32_t HidrawListPathSize(void*, PlatformHandle hList, std::uint32_t ulIndex) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mtx);
    Slot* ptSlot = FindSlot(t, hList, Kind::kList);
    if (ptSlot == nullptr || ulIndex >= ptSlot->paths.size()) {
        return 0;
    }
    return static_cast<std::uint32_t>(ptSlot->paths[ulIndex].size() + 1);
}

int HidrawListPath(void*, PlatformHandle hList, std::uint32_t ulIndex, char* strPath, std::uint32_t ulCap) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mtx);
    Slot* ptSlot = FindSlot(t, hList, Kind::kList);
    if (ptSlot == nullptr || ulIndex >= ptSlot->paths.size() || strPath == nullptr ||
        ptSlot->paths[ulIndex].size() + 1 > ulCap) {
        return 0;
    }
    std::memcpy(strPath, ptSlot->paths[ulIndex].c_str(), ptSlot->paths[ulIndex].size() + 1);
    return 1;
}

void HidrawListClose(void* pvCtx, PlatformHandle hList);

PlatformHandle HidrawProbeOpen(void*, const char* strPath) {
    Slot tProbe;
    std::string strDevNode;
    std::string strName;
    if (!SplitDevicePath(strPath, &strDevNode, &strName, &tProbe.szCollection)) {
        errno = ENOENT;
        return kInvalidHandle;
    }
    if (!LoadNodeFromSysfs(strName, &tProbe.tNode)) {
        errno = ENODEV;
        return kInvalidHandle;
    }
    return StoreSlot(Kind::kProbe, std::move(tProbe));
}

int HidrawProbeAttributes(void*, PlatformHandle hProbe, std::uint16_t* pusVid, std::uint16_t* pusPid) {
    std::string strDevNode;
    std::shared_ptr<OwnedFd> pOpenFd;  // of a write or read handle: the node it opened
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mtx);
        Slot* ptSlot = FindSlot(t, hProbe, Kind::kProbe);
        if (ptSlot != nullptr && ptSlot->tNode.bHaveIds) {
            *pusVid = ptSlot->tNode.usVid;
            *pusPid = ptSlot->tNode.usPid;
            return 1;
        }
        if (ptSlot != nullptr) {
            strDevNode = ptSlot->tNode.strDevNode;
        } else if ((ptSlot = FindSlot(t, hProbe, Kind::kWrite)) != nullptr) {
            pOpenFd = ptSlot->pWriteFd;
        } else if ((ptSlot = FindSlot(t, hProbe, Kind::kRead)) != nullptr) {
            pOpenFd = ptSlot->pRead->pFd;
        } else {
            return 0;
        }
    }
    // No HID_ID in sysfs: ask the node itself, where it may be opened.
    int fd = pOpenFd ? pOpenFd->fd : open(strDevNode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct hidraw_devinfo tInfo;
    std::memset(&tInfo, 0, sizeof(tInfo));
    const int iRet = ioctl(fd, HIDIOCGRAWINFO, &tInfo);
    if (!pOpenFd) {
        close(fd);
    }
    if (iRet != 0) {
        return 0;
    }
    *pusVid = static_cast<std::uint16_t>(tInfo.vendor);
    *pusPid = static_cast<std::uint16_t>(tInfo.product);
    return 1;
}

int HidrawProbeCaps(void*, PlatformHandle hProbe, HidCaps* ptCaps) {
    *ptCaps = HidCaps{};
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mtx);
    Slot* ptSlot = FindSlot(t, hProbe, Kind::kProbe);
    if (ptSlot == nullptr || ptSlot->szCollection >= ptSlot->tNode.tDesc.tCollections.size()) {
        return 0;
    }
    const HidTopCollection& tColl = ptSlot->tNode.tDesc.tCollections[ptSlot->szCollection];
    if (tColl.ulInputBytes > 0xFFFF || tColl.ulOutputBytes > 0xFFFF || tColl.ulFeatureBytes > 0xFFFF) {
        errno = EINVAL;  // Windows refuses such a collection too
        return 0;
    }
    ptCaps->Usage = tColl.usUsage;
    ptCaps->UsagePage = tColl.usUsagePage;
    ptCaps->InputReportByteLength = static_cast<std::uint16_t>(tColl.ulInputBytes);
    ptCaps->OutputReportByteLength = static_cast<std::uint16_t>(tColl.ulOutputBytes);
    ptCaps->FeatureReportByteLength = static_cast<std::uint16_t>(tColl.ulFeatureBytes);
    return 1;
}

PlatformHandle HidrawOpenWrite(void*, const char* strPath) {
    NodeInfo tNode;
    std::size_t szCollection = 0;
    int fd = OpenNode(strPath, O_WRONLY, &tNode, &szCollection);
    if (fd < 0) {
        return kInvalidHandle;
    }
    Slot tWrite;
    tWrite.pWriteFd = std::make_shared<OwnedFd>(fd);
    return StoreSlot(Kind::kWrite, std::move(tWrite));
}

PlatformHandle HidrawOpenRead(void*, const char* strPath) {
    NodeInfo tNode;
    std::size_t szCollection = 0;
    int fd = OpenNode(strPath, O_RDONLY, &tNode, &szCollection);
    if (fd < 0) {
        return kInvalidHandle;
    }
    auto pState = std::make_shared<ReadState>();
    pState->pFd = std::make_shared<OwnedFd>(fd);
    // The routing comes from the descriptor of the open node itself; sysfs is the fallback.
    HidDescriptorInfo tDesc = tNode.tDesc;
    int iSize = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &iSize) == 0 && iSize > 0 && iSize <= HID_MAX_DESCRIPTOR_SIZE) {
        auto ptRaw = std::make_unique<struct hidraw_report_descriptor>();
        std::memset(ptRaw.get(), 0, sizeof(*ptRaw));
        ptRaw->size = static_cast<std::uint32_t>(iSize);
        if (ioctl(fd, HIDIOCGRDESC, ptRaw.get()) == 0) {
            ParseHidReportDescriptor(ptRaw->value, static_cast<std::size_t>(iSize), &tDesc);
        }
    }
    if (szCollection >= tDesc.tCollections.size()) {
        errno = ENODEV;
        return kInvalidHandle;
    }
    pState->szCollection = szCollection;
    pState->ulInputBytes = tDesc.tCollections[szCollection].ulInputBytes;
    pState->bUsesReportIds = tDesc.bUsesReportIds;
    pState->aiRoute.fill(-1);
    for (const HidReportBits& tReport : tDesc.tReports) {
        if (tReport.ullInputBits != 0 && pState->aiRoute[tReport.ucReportId] < 0) {
            pState->aiRoute[tReport.ucReportId] = static_cast<std::int16_t>(tReport.usCollection);
        }
    }
    const std::uint32_t ulMaxIn = std::min(HidMaxInputBytes(tDesc), kMaxRawReportBytes);
    pState->raw.resize(std::max<std::uint32_t>(ulMaxIn, 64));
    Slot tRead;
    tRead.pRead = std::move(pState);
    return StoreSlot(Kind::kRead, std::move(tRead));
}

PlatformHandle HidrawEventCreate(void*) {
    return StoreSlot(Kind::kEvent, Slot());
}

// Marks the calling thread as the one reading st, unless the read is already cancelled.
bool EnterRead(ReadState& st) {
    std::lock_guard<std::mutex> lock(st.mtx);
    if (st.bCancel.load()) {
        return false;
    }
    st.bInRead = true;
    st.tThread = pthread_self();
    return true;
}

void LeaveRead(ReadState& st) {
    std::lock_guard<std::mutex> lock(st.mtx);
    st.bInRead = false;
}

int FailRead(ReadState* ptState, int iErr) {
    if (ptState != nullptr) {
        LeaveRead(*ptState);
    }
    errno = iErr;
    return 0;
}

int HidrawRead(void*, PlatformHandle hRead, PlatformHandle, std::uint8_t* pucBuf, std::uint32_t ulLen,
               std::uint32_t* pulGot) {
    *pulGot = 0;
    std::shared_ptr<ReadState> pState;
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mtx);
        Slot* ptSlot = FindSlot(t, hRead, Kind::kRead);
        if (ptSlot == nullptr) {
            return 0;
        }
        pState = ptSlot->pRead;
    }
    ReadState& st = *pState;
    const std::uint32_t ulWant = st.ulInputBytes;
    if (ulWant == 0 || ulLen < ulWant || pucBuf == nullptr) {
        errno = EINVAL;  // Windows refuses a read buffer shorter than the report
        return 0;
    }
    if (!EnterRead(st)) {
        errno = ECANCELED;
        return 0;
    }
    while (true) {
        if (st.bCancel.load()) {
            return FailRead(&st, ECANCELED);
        }
        ssize_t n = read(st.pFd->fd, st.raw.data(), st.raw.size());
        if (n < 0 && errno == EINTR) {
            continue;  // a cancel is seen at the top of the loop
        }
        if (st.bCancel.load()) {
            return FailRead(&st, ECANCELED);  // cancelled while blocked: whatever came is not delivered
        }
        if (n < 0) {
            return FailRead(&st, errno);  // ENODEV / EIO: the device left
        }
        if (n == 0) {
            return FailRead(&st, EIO);
        }
        const std::uint8_t ucId = st.bUsesReportIds ? st.raw[0] : 0;
        const int iCollection = st.aiRoute[ucId];
        if (iCollection < 0) {
            return FailRead(&st, EPROTO);  // a report no collection of the node declares
        }
        if (static_cast<std::size_t>(iCollection) != st.szCollection) {
            continue;  // another collection's report (a pen hovering): not this interface's business
        }
        // Windows hands out the report ID (0 without IDs) and then the data, padded with zeros.
        std::memset(pucBuf, 0, ulWant);
        const std::uint8_t* pucData = st.raw.data();
        std::size_t szData = static_cast<std::size_t>(n);
        std::uint8_t* pucOut = pucBuf;
        std::size_t szRoom = ulWant;
        if (!st.bUsesReportIds) {
            *pucOut++ = 0;
            --szRoom;
        }
        std::memcpy(pucOut, pucData, std::min(szData, szRoom));
        LeaveRead(st);
        *pulGot = ulWant;
        return 1;
    }
}

void HidrawCancelRead(void*, PlatformHandle hRead) {
    std::shared_ptr<ReadState> pState;
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mtx);
        Slot* ptSlot = FindSlot(t, hRead, Kind::kRead);
        if (ptSlot == nullptr) {
            return;
        }
        pState = ptSlot->pRead;
    }
    pState->bCancel.store(true);
    if (!CancelSignalReady()) {
        return;
    }
    // The signal may reach the reader just before it enters read(); send it again a few times while the
    // reader is still inside. Under emulation a blocked read cannot be woken at all: give up after a while.
    for (int i = 0; i < 10; ++i) {
        {
            std::lock_guard<std::mutex> lock(pState->mtx);
            if (!pState->bInRead) {
                return;
            }
            pthread_kill(pState->tThread, kCancelSignal);
        }
        PlatformSleepMs(5);
    }
}

int HidrawWrite(void*, PlatformHandle hWrite, const std::uint8_t* pucBuf, std::uint32_t ulLen,
                std::uint32_t* pulWritten) {
    *pulWritten = 0;
    std::shared_ptr<OwnedFd> pFd;
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mtx);
        Slot* ptSlot = FindSlot(t, hWrite, Kind::kWrite);
        if (ptSlot == nullptr) {
            return 0;
        }
        pFd = ptSlot->pWriteFd;
    }
    // hidraw takes the report ID first (0 when the device uses none), as Windows does. The write is
    // bounded by the kernel: the USB HID driver gives up on an output report the tablet does not take
    // within 5 s, and the write then fails.
    ssize_t n;
    do {
        n = write(pFd->fd, pucBuf, ulLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return 0;
    }
    *pulWritten = static_cast<std::uint32_t>(n);
    if (static_cast<std::uint32_t>(n) != ulLen) {
        errno = EIO;
        return 0;
    }
    return 1;
}

void HidrawClose(void*, PlatformHandle h) {
    Slot tOld;  // released outside the lock
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mtx);
        for (Kind eKind : {Kind::kList, Kind::kProbe, Kind::kWrite, Kind::kRead, Kind::kEvent}) {
            Slot* ptSlot = FindSlot(t, h, eKind);
            if (ptSlot != nullptr) {
                const std::uint32_t ulGeneration = ptSlot->ulGeneration;
                tOld = std::move(*ptSlot);
                *ptSlot = Slot();
                ptSlot->ulGeneration = ulGeneration;
                break;
            }
        }
    }
    if (tOld.pRead) {
        tOld.pRead->bCancel.store(true);  // a read still under way ends with its next report
    }
}

void HidrawListClose(void* pvCtx, PlatformHandle hList) {
    HidrawClose(pvCtx, hList);
}

const HidHost kHidrawHost = {nullptr,         HidrawListOpen,   HidrawListEntry, HidrawListPathSize,
                             HidrawListPath,  HidrawListClose,  HidrawProbeOpen, HidrawProbeAttributes,
                             HidrawProbeCaps, HidrawOpenWrite,  HidrawOpenRead,  HidrawEventCreate,
                             HidrawRead,      HidrawCancelRead, HidrawWrite,     HidrawClose};
}  // namespace

const HidHost* PlatformDefaultHidHost() {
    return &kHidrawHost;
}

// hidraw needs no library of its own.
const char* PlatformHidHostLoad(std::uint32_t* pulErr) {
    *pulErr = 0;
    return nullptr;
}
