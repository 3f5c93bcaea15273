// A timing model of the USB link under the virtual tablet, and the physical bound of an upgrade that
// follows from it.
//
// The vendor interface moves its reports over interrupt endpoints:
// - full speed: at most 64 bytes a packet and one packet per 1 ms frame, in each direction;
// - high speed: at most 1024 bytes a packet and one packet per 125 us microframe, in each direction;
// - high speed, high-bandwidth endpoints: up to three 1024-byte packets per microframe.
// A report of n bytes (report ID included) thus takes ceil(ceil(n / packet) / packets per interval)
// intervals on the wire. On top of
// the wire time the tablet programs its flash for each package before it answers.
//
// The model gives each exchange its write time (the output report on the wire) and its reply time (flash
// programming for a package, then the input report on the wire). Nothing else is modelled: no frame
// alignment, no bus sharing, no host scheduling, so the times are a lower bound of what real hardware
// can do, and a virtual tablet run with this model shows what the program adds on top of that bound.
#pragma once

#include <chrono>
#include <cstdint>

#include "sim/virtual_tablet.h"

namespace sim {

enum class UsbSpeed { kFull, kHigh, kHighBandwidth };

struct UsbLinkModel {
    UsbSpeed eSpeed = UsbSpeed::kFull;
    // Time the tablet takes to program one package (1 KiB of flash) before it answers.
    std::chrono::microseconds tFlashPerPackage{0};
};

// The flash programming time the benchmarks and the documentation use: 1 KiB written as 256 words of
// about 16 us each, the order of a common microcontroller flash.
inline constexpr std::chrono::microseconds kDefaultFlashPerPackage{4000};

// Largest packet of an interrupt endpoint, and the interval between two packets in one direction.
std::uint32_t UsbMaxPacketBytes(UsbSpeed eSpeed);
std::chrono::microseconds UsbPacketInterval(UsbSpeed eSpeed);

// Packets an endpoint moves in one interval, in one direction.
std::uint32_t UsbPacketsPerInterval(UsbSpeed eSpeed);

// Packets one report of ulReportBytes needs (at least one), and its time on the wire.
std::uint32_t UsbPacketsPerReport(UsbSpeed eSpeed, std::uint32_t ulReportBytes);
std::chrono::microseconds UsbReportTime(UsbSpeed eSpeed, std::uint32_t ulReportBytes);

// What one exchange costs at the least: output report on the wire, flash time when it carries a
// package, input report on the wire.
std::chrono::microseconds UsbExchangeBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                           std::uint32_t ulInputReportBytes, bool bPackage);

// The physical bound of an upgrade's package transfer: ulPackages exchanges of package requests.
std::chrono::microseconds UpgradeTransferBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                               std::uint32_t ulInputReportBytes, std::uint32_t ulPackages);

// The bound of all exchanges of one upgrade: ulOtherCommands short commands (state, start, version
// information) beside the packages. Pauses the program makes on purpose are not included.
std::chrono::microseconds UpgradeExchangesBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                                std::uint32_t ulInputReportBytes, std::uint32_t ulPackages,
                                                std::uint32_t ulOtherCommands);

// A timing hook for VirtualTablet::SetTimingHook that applies the model to every exchange.
VirtualTablet::TimingHook UsbTimingHook(const UsbLinkModel& tModel);

}  // namespace sim
