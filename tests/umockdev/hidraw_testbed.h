// A umockdev testbed that presents HID devices as the kernel does on a USB bus: USB device → USB
// interface → HID device (uevent with HID_ID, report_descriptor) → hidraw/hidrawN (dev, uevent, the
// device link) and /dev/hidrawN. The node answers HIDIOCGRAWINFO, HIDIOCGRDESCSIZE and HIDIOCGRDESC,
// hands every write to the device's handler and serves reads from the device's input queue: a read that
// finds the queue empty stays pending until a report is queued or the device is removed (ENODEV).
//
// The process must run under umockdev-wrapper. Child processes it starts see the same devices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct HidDeviceSpec {
    std::uint16_t usVid = 0;
    std::uint16_t usPid = 0;
    Bytes reportDescriptor;
    std::string strName = "Test HID device";
};

class HidrawTestbed {
  public:
    // Called on umockdev's worker thread for every write to the node; may queue input with QueueInput.
    using WriteHandler = std::function<void(int iNode, const Bytes& report)>;

    HidrawTestbed();
    ~HidrawTestbed();
    HidrawTestbed(const HidrawTestbed&) = delete;
    HidrawTestbed& operator=(const HidrawTestbed&) = delete;

    // Plugs a device in as the next hidraw node (numbers are not reused); returns N of /dev/hidrawN.
    int AddDevice(const HidDeviceSpec& tSpec, WriteHandler fnOnWrite);
    // Unplugs it: the node and its sysfs entries go first, then pending reads fail with ENODEV.
    void RemoveDevice(int iNode);
    // An input report as the node's read() delivers it (report ID first when the device uses them).
    void QueueInput(int iNode, const Bytes& report);
    // Reads waiting on the node right now (a reader blocked in read()).
    int PendingReads(int iNode);

    // Opens the testbed to users other than root, so that a program run as an unprivileged user sees the
    // devices; SetNodeOpenToUsers then takes the node from them (mode 000) or gives it back (mode 0666).
    void AllowTestbedToUsers();
    void SetNodeOpenToUsers(int iNode, bool bOpen);

    std::string RootDir() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> m_pImpl;
};

// The report descriptor of a tablet: a digitizer pen collection (report 0x0A, 10 bytes with ID) beside
// the vendor collection (Usage 7 on 0xFF0C: input 0xFC of ulIn bytes, output 0xFD of ulOut bytes, both
// with the report ID byte).
Bytes TabletReportDescriptor(std::uint32_t ulIn, std::uint32_t ulOut, bool bWithPen);
// A keyboard-like foreign device without report IDs.
Bytes KeyboardReportDescriptor();
