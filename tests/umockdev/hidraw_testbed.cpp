// The umockdev testbed of hidraw devices: sysfs layout, device nodes and their emulation.
#include "hidraw_testbed.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

namespace {
std::string Hex(const Bytes& bytes) {
    std::string s;
    char buf[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        s += buf;
    }
    return s;
}

std::string Fmt(const char* strFormat, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[256];
    std::snprintf(buf, sizeof(buf), strFormat, a, b, c);
    return buf;
}

// Hands one report to a read request: as many bytes as the reader asked for at most, like hidraw.
void CompleteRead(UMockdevIoctlClient* ptClient, const Bytes& report) {
    UMockdevIoctlData* ptArg = umockdev_ioctl_client_get_arg(ptClient);
    guint8* pucBuf = nullptr;
    gint iLen = 0;
    umockdev_ioctl_data_retrieve(ptArg, &pucBuf, &iLen);
    const gint iCopy = std::min<gint>(iLen, static_cast<gint>(report.size()));
    umockdev_ioctl_data_update(ptArg, 0, const_cast<guint8*>(report.data()), iCopy);
    umockdev_ioctl_client_complete(ptClient, iCopy, 0);
}
}  // namespace

struct Device {
    int iNode = 0;
    std::string strNode;  // /dev/hidrawN
    std::string strUsb, strIface, strHid, strHidraw;
    HidDeviceSpec tSpec;
    HidrawTestbed::WriteHandler fnOnWrite;
    UMockdevIoctlBase* ptHandler = nullptr;

    std::mutex mtx;
    std::deque<UMockdevIoctlClient*> pending;  // reads waiting for a report (a reference held on each)
    std::deque<Bytes> queue;                   // reports nobody read yet
    bool bGone = false;
};

struct HidrawTestbed::Impl {
    UMockdevTestbed* ptTestbed = nullptr;
    std::mutex mtx;
    std::map<int, std::shared_ptr<Device>> devices;  // present now
    std::vector<std::shared_ptr<Device>> removed;    // kept alive for late callbacks
    int iNextNode = 0;
    unsigned uNextHid = 1;

    std::shared_ptr<Device> Find(int iNode) {
        std::lock_guard<std::mutex> lock(mtx);
        auto it = devices.find(iNode);
        if (it == devices.end()) {
            throw std::runtime_error("no such hidraw node");
        }
        return it->second;
    }
};

namespace {
// A removed node fails every call with ENODEV, as a kernel does for a device that went.
bool AnsweredAsGone(Device* ptDev, UMockdevIoctlClient* ptClient) {
    std::lock_guard<std::mutex> lock(ptDev->mtx);
    if (ptDev->bGone) {
        umockdev_ioctl_client_complete(ptClient, -1, ENODEV);
    }
    return ptDev->bGone;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* ptClient, gpointer pvDevice) {
    Device* ptDev = static_cast<Device*>(pvDevice);
    const gulong ulRequest = umockdev_ioctl_client_get_request(ptClient);
    UMockdevIoctlData* ptArg = umockdev_ioctl_client_get_arg(ptClient);
    if (AnsweredAsGone(ptDev, ptClient)) {
        return TRUE;
    }
    if (ulRequest == HIDIOCGRAWINFO) {
        UMockdevIoctlData* ptData =
            umockdev_ioctl_data_resolve(ptArg, 0, sizeof(struct hidraw_devinfo), nullptr);
        struct hidraw_devinfo tInfo;
        std::memset(&tInfo, 0, sizeof(tInfo));
        tInfo.bustype = 3;  // BUS_USB
        tInfo.vendor = static_cast<__s16>(ptDev->tSpec.usVid);
        tInfo.product = static_cast<__s16>(ptDev->tSpec.usPid);
        umockdev_ioctl_data_update(ptData, 0, reinterpret_cast<guint8*>(&tInfo), sizeof(tInfo));
        umockdev_ioctl_client_complete(ptClient, 0, 0);
    } else if (ulRequest == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* ptData = umockdev_ioctl_data_resolve(ptArg, 0, sizeof(int), nullptr);
        int iSize = static_cast<int>(ptDev->tSpec.reportDescriptor.size());
        umockdev_ioctl_data_update(ptData, 0, reinterpret_cast<guint8*>(&iSize), sizeof(iSize));
        umockdev_ioctl_client_complete(ptClient, 0, 0);
    } else if (ulRequest == HIDIOCGRDESC) {
        UMockdevIoctlData* ptData =
            umockdev_ioctl_data_resolve(ptArg, 0, sizeof(struct hidraw_report_descriptor), nullptr);
        guint8* pucBuf = nullptr;
        gint iLen = 0;
        umockdev_ioctl_data_retrieve(ptData, &pucBuf, &iLen);
        std::uint32_t ulAsked = 0;
        std::memcpy(&ulAsked, pucBuf, sizeof(ulAsked));
        Bytes& desc = ptDev->tSpec.reportDescriptor;
        if (ulAsked > HID_MAX_DESCRIPTOR_SIZE) {
            umockdev_ioctl_client_complete(ptClient, -1, EINVAL);
            return TRUE;
        }
        const gint iCopy = static_cast<gint>(std::min<std::size_t>(ulAsked, desc.size()));
        umockdev_ioctl_data_update(ptData, sizeof(std::uint32_t), desc.data(), iCopy);
        umockdev_ioctl_client_complete(ptClient, 0, 0);
    } else {
        umockdev_ioctl_client_complete(ptClient, -1, ENOTTY);
    }
    return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* ptClient, gpointer pvDevice) {
    Device* ptDev = static_cast<Device*>(pvDevice);
    std::lock_guard<std::mutex> lock(ptDev->mtx);
    if (ptDev->bGone) {
        umockdev_ioctl_client_complete(ptClient, -1, ENODEV);
    } else if (!ptDev->queue.empty()) {
        CompleteRead(ptClient, ptDev->queue.front());
        ptDev->queue.pop_front();
    } else {
        g_object_ref(ptClient);
        ptDev->pending.push_back(ptClient);
    }
    return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* ptClient, gpointer pvDevice) {
    Device* ptDev = static_cast<Device*>(pvDevice);
    UMockdevIoctlData* ptArg = umockdev_ioctl_client_get_arg(ptClient);
    guint8* pucBuf = nullptr;
    gint iLen = 0;
    umockdev_ioctl_data_retrieve(ptArg, &pucBuf, &iLen);
    Bytes report(pucBuf, pucBuf + iLen);
    if (AnsweredAsGone(ptDev, ptClient)) {
        return TRUE;
    }
    umockdev_ioctl_client_complete(ptClient, iLen, 0);
    if (ptDev->fnOnWrite) {
        ptDev->fnOnWrite(ptDev->iNode, report);
    }
    return TRUE;
}
}  // namespace

HidrawTestbed::HidrawTestbed() : m_pImpl(std::make_unique<Impl>()) {
    const char* strPreload = std::getenv("LD_PRELOAD");
    if (strPreload == nullptr || std::strstr(strPreload, "umockdev") == nullptr) {
        throw std::runtime_error("not running under umockdev-wrapper");
    }
    m_pImpl->ptTestbed = umockdev_testbed_new();
}

HidrawTestbed::~HidrawTestbed() {
    std::vector<int> nodes;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mtx);
        for (auto& [iNode, pDev] : m_pImpl->devices) {
            nodes.push_back(iNode);
        }
    }
    for (int iNode : nodes) {
        RemoveDevice(iNode);
    }
    g_object_unref(m_pImpl->ptTestbed);
}

int HidrawTestbed::AddDevice(const HidDeviceSpec& tSpec, WriteHandler fnOnWrite) {
    auto pDev = std::make_shared<Device>();
    unsigned uHid = 0;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mtx);
        pDev->iNode = m_pImpl->iNextNode++;
        uHid = m_pImpl->uNextHid++;
    }
    const unsigned uNode = static_cast<unsigned>(pDev->iNode);
    pDev->tSpec = tSpec;
    pDev->fnOnWrite = std::move(fnOnWrite);
    pDev->strNode = Fmt("/dev/hidraw%u", uNode);
    // One USB port per device, as if each were plugged into its own port.
    pDev->strUsb = Fmt("/devices/pci0000:00/0000:00:14.0/usb1/1-%u", uNode + 1);
    pDev->strIface = pDev->strUsb + Fmt("/1-%u:1.0", uNode + 1);
    pDev->strHid = pDev->strIface + Fmt("/0003:%04X:%04X", tSpec.usVid, tSpec.usPid) + Fmt(".%04X", uHid);
    pDev->strHidraw = pDev->strHid + Fmt("/hidraw/hidraw%u", uNode);
    const std::string strHidName = pDev->strHid.substr(pDev->strHid.rfind('/') + 1);

    std::string strRecord;
    strRecord += "P: " + pDev->strUsb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    strRecord += Fmt("A: idVendor=%04x\nA: idProduct=%04x\n", tSpec.usVid, tSpec.usPid);
    strRecord += "A: product=" + tSpec.strName + "\n\n";
    strRecord += "P: " + pDev->strIface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n";
    strRecord += "A: bInterfaceClass=03\n\n";
    strRecord += "P: " + pDev->strHid + "\nE: DRIVER=hid-generic\n";
    strRecord += Fmt("E: HID_ID=0003:%08X:%08X\n", tSpec.usVid, tSpec.usPid);
    strRecord += "E: HID_NAME=" + tSpec.strName + "\nE: SUBSYSTEM=hid\n";
    strRecord += "H: report_descriptor=" + Hex(tSpec.reportDescriptor) + "\n\n";
    strRecord += "P: " + pDev->strHidraw + Fmt("\nN: hidraw%u\nE: DEVNAME=/dev/hidraw%u\n", uNode, uNode);
    strRecord += Fmt("E: MAJOR=242\nE: MINOR=%u\nE: SUBSYSTEM=hidraw\n", uNode);
    strRecord += "L: device=../../../" + strHidName + Fmt("\nA: dev=242:%u\n", uNode);

    // The node's handler listens before the node exists: a program that opens the node the moment it
    // appears is served. (The emulation ends a program whose node has no listening socket.)
    GError* ptErr = nullptr;
    pDev->ptHandler = umockdev_ioctl_base_new();
    g_signal_connect(pDev->ptHandler, "handle-ioctl", G_CALLBACK(OnIoctl), pDev.get());
    g_signal_connect(pDev->ptHandler, "handle-read", G_CALLBACK(OnRead), pDev.get());
    g_signal_connect(pDev->ptHandler, "handle-write", G_CALLBACK(OnWrite), pDev.get());
    if (!umockdev_testbed_attach_ioctl(m_pImpl->ptTestbed, pDev->strNode.c_str(), pDev->ptHandler, &ptErr)) {
        throw std::runtime_error(std::string("umockdev attach failed: ") + ptErr->message);
    }
    if (!umockdev_testbed_add_from_string(m_pImpl->ptTestbed, strRecord.c_str(), &ptErr)) {
        throw std::runtime_error(std::string("umockdev record refused: ") + ptErr->message);
    }
    std::lock_guard<std::mutex> lock(m_pImpl->mtx);
    m_pImpl->devices[pDev->iNode] = pDev;
    return pDev->iNode;
}

void HidrawTestbed::RemoveDevice(int iNode) {
    std::shared_ptr<Device> pDev = m_pImpl->Find(iNode);
    // The node and sysfs go first, so nobody can open the old node again; then the waiting reads fail.
    // The handler stays attached until the testbed goes (node numbers are never reused): a program that
    // opened the node just before it went still reaches a listener, and gets ENODEV like on a kernel.
    for (const std::string* pPath : {&pDev->strHidraw, &pDev->strHid, &pDev->strIface, &pDev->strUsb}) {
        umockdev_testbed_remove_device(m_pImpl->ptTestbed, ("/sys" + *pPath).c_str());
    }
    std::deque<UMockdevIoctlClient*> pending;
    {
        std::lock_guard<std::mutex> lock(pDev->mtx);
        pDev->bGone = true;
        pending.swap(pDev->pending);
        pDev->queue.clear();
    }
    for (UMockdevIoctlClient* ptClient : pending) {
        umockdev_ioctl_client_complete(ptClient, -1, ENODEV);
        g_object_unref(ptClient);
    }
    std::lock_guard<std::mutex> lock(m_pImpl->mtx);
    m_pImpl->devices.erase(iNode);
    m_pImpl->removed.push_back(pDev);
}

void HidrawTestbed::QueueInput(int iNode, const Bytes& report) {
    std::shared_ptr<Device> pDev;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mtx);
        auto it = m_pImpl->devices.find(iNode);
        if (it == m_pImpl->devices.end()) {
            return;  // gone: the report is lost, as on a real bus
        }
        pDev = it->second;
    }
    std::lock_guard<std::mutex> lock(pDev->mtx);
    if (pDev->bGone) {
        return;
    }
    // Every waiting read gets the report, as every open file of a hidraw node does. One of them may
    // belong to a program that has closed the node or ended (the emulation does not tell): served
    // alone, it would take the next program's first reply with it.
    if (!pDev->pending.empty()) {
        for (UMockdevIoctlClient* ptClient : pDev->pending) {
            CompleteRead(ptClient, report);
            g_object_unref(ptClient);
        }
        pDev->pending.clear();
        return;
    }
    if (pDev->queue.size() == 64) {
        pDev->queue.pop_front();  // hidraw keeps the newest 64 reports of a reader that does not read
    }
    pDev->queue.push_back(report);
}

int HidrawTestbed::PendingReads(int iNode) {
    std::shared_ptr<Device> pDev = m_pImpl->Find(iNode);
    std::lock_guard<std::mutex> lock(pDev->mtx);
    return static_cast<int>(pDev->pending.size());
}

std::string HidrawTestbed::RootDir() const {
    gchar* strRoot = umockdev_testbed_get_root_dir(m_pImpl->ptTestbed);
    std::string s(strRoot);
    g_free(strRoot);
    return s;
}

void HidrawTestbed::AllowTestbedToUsers() {
    const std::string strRoot = RootDir();
    chmod(strRoot.c_str(), 0755);
    // The sockets through which emulated nodes are served.
    const std::string strCmd = "chmod -R a+rwX '" + strRoot + "/ioctl'";
    if (std::system(strCmd.c_str()) != 0) {
        throw std::runtime_error("chmod of the testbed failed");
    }
}

void HidrawTestbed::SetNodeOpenToUsers(int iNode, bool bOpen) {
    std::shared_ptr<Device> pDev = m_pImpl->Find(iNode);
    // The node in the testbed is a link to the pseudo terminal that stands for the device.
    const std::string strLink = RootDir() + pDev->strNode;
    char strTarget[512] = {0};
    ssize_t n = readlink(strLink.c_str(), strTarget, sizeof(strTarget) - 1);
    const std::string strPath = n > 0 ? std::string(strTarget, static_cast<std::size_t>(n)) : strLink;
    if (chmod(strPath.c_str(), bOpen ? 0666 : 0) != 0) {
        throw std::runtime_error("chmod of the node failed");
    }
}

// ---- Report descriptors -----------------------------------------------------------------------------

namespace {
void Item(Bytes* p, std::uint8_t ucPrefix, std::uint32_t v) {
    // Prefix given with size code 0; the shortest size that holds v is added.
    if (v <= 0xFF) {
        p->insert(p->end(), {static_cast<std::uint8_t>(ucPrefix | 1), static_cast<std::uint8_t>(v)});
    } else {
        p->insert(p->end(), {static_cast<std::uint8_t>(ucPrefix | 2), static_cast<std::uint8_t>(v),
                             static_cast<std::uint8_t>(v >> 8)});
    }
}
}  // namespace

Bytes TabletReportDescriptor(std::uint32_t ulIn, std::uint32_t ulOut, bool bWithPen) {
    Bytes d;
    if (bWithPen) {
        Item(&d, 0x04, 0x0D);  // Usage Page (Digitizer)
        Item(&d, 0x08, 0x02);  // Usage (Pen)
        Item(&d, 0xA0, 0x01);  // Collection (Application)
        Item(&d, 0x84, 0x0A);  // Report ID 0x0A
        Item(&d, 0x08, 0x20);  // Usage (Stylus)
        Item(&d, 0xA0, 0x00);  // Collection (Physical)
        Item(&d, 0x74, 0x01);  // Report Size 1
        Item(&d, 0x94, 0x08);  // Report Count 8
        Item(&d, 0x80, 0x02);  // Input (Data, Var, Abs)
        Item(&d, 0x74, 0x10);  // Report Size 16
        Item(&d, 0x94, 0x04);  // Report Count 4
        Item(&d, 0x80, 0x02);  // Input
        d.push_back(0xC0);
        d.push_back(0xC0);
    }
    Item(&d, 0x04, 0xFF0C);    // Usage Page (vendor)
    Item(&d, 0x08, 0x07);      // Usage 7
    Item(&d, 0xA0, 0x01);      // Collection (Application)
    Item(&d, 0x84, 0xFC);      // Report ID 0xFC
    Item(&d, 0x74, 0x08);      // Report Size 8
    Item(&d, 0x94, ulIn - 1);  // Report Count
    Item(&d, 0x08, 0x01);
    Item(&d, 0x80, 0x02);  // Input
    Item(&d, 0x84, 0xFD);  // Report ID 0xFD
    Item(&d, 0x94, ulOut - 1);
    Item(&d, 0x08, 0x01);
    Item(&d, 0x90, 0x02);  // Output
    d.push_back(0xC0);
    return d;
}

Bytes KeyboardReportDescriptor() {
    return Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
                 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x03, 0x95, 0x06,
                 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
}
