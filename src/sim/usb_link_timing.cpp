#include "sim/usb_link_timing.h"

namespace sim {

std::uint32_t UsbMaxPacketBytes(UsbSpeed eSpeed) {
    return eSpeed == UsbSpeed::kFull ? 64u : 1024u;
}

std::chrono::microseconds UsbPacketInterval(UsbSpeed eSpeed) {
    return eSpeed == UsbSpeed::kFull ? std::chrono::microseconds(1000) : std::chrono::microseconds(125);
}

std::uint32_t UsbPacketsPerInterval(UsbSpeed eSpeed) {
    return eSpeed == UsbSpeed::kHighBandwidth ? 3u : 1u;
}

std::uint32_t UsbPacketsPerReport(UsbSpeed eSpeed, std::uint32_t ulReportBytes) {
    const std::uint32_t ulMax = UsbMaxPacketBytes(eSpeed);
    const std::uint32_t ulPackets = ulReportBytes / ulMax + (ulReportBytes % ulMax != 0 ? 1u : 0u);
    return ulPackets > 0 ? ulPackets : 1u;
}

std::chrono::microseconds UsbReportTime(UsbSpeed eSpeed, std::uint32_t ulReportBytes) {
    const std::uint32_t ulPackets = UsbPacketsPerReport(eSpeed, ulReportBytes);
    const std::uint32_t ulPerInterval = UsbPacketsPerInterval(eSpeed);
    return UsbPacketInterval(eSpeed) * ((ulPackets + ulPerInterval - 1) / ulPerInterval);
}

std::chrono::microseconds UsbExchangeBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                           std::uint32_t ulInputReportBytes, bool bPackage) {
    return UsbReportTime(tModel.eSpeed, ulOutputReportBytes) +
           (bPackage ? tModel.tFlashPerPackage : std::chrono::microseconds(0)) +
           UsbReportTime(tModel.eSpeed, ulInputReportBytes);
}

std::chrono::microseconds UpgradeTransferBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                               std::uint32_t ulInputReportBytes, std::uint32_t ulPackages) {
    return UsbExchangeBound(tModel, ulOutputReportBytes, ulInputReportBytes, true) * ulPackages;
}

std::chrono::microseconds UpgradeExchangesBound(const UsbLinkModel& tModel, std::uint32_t ulOutputReportBytes,
                                                std::uint32_t ulInputReportBytes, std::uint32_t ulPackages,
                                                std::uint32_t ulOtherCommands) {
    return UpgradeTransferBound(tModel, ulOutputReportBytes, ulInputReportBytes, ulPackages) +
           UsbExchangeBound(tModel, ulOutputReportBytes, ulInputReportBytes, false) * ulOtherCommands;
}

VirtualTablet::TimingHook UsbTimingHook(const UsbLinkModel& tModel) {
    return [tModel](const VirtualTablet::ExchangeInfo& tInfo) {
        VirtualTablet::ExchangeTiming t;
        t.tWrite = UsbReportTime(tModel.eSpeed, tInfo.ulOutputReportBytes);
        t.tReply = UsbReportTime(tModel.eSpeed, tInfo.ulInputReportBytes);
        if (tInfo.usCommand == kCmdSendPackage) {
            t.tReply += tModel.tFlashPerPackage;
        }
        return t;
    };
}

}  // namespace sim
