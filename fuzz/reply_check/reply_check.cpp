// The reply check on any bytes a tablet might send: it must never read past what was received.
#include <cstdint>
#include <cstring>
#include <vector>

#include "drbd/drbd_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pucData, std::size_t szLen) {
    if (szLen > 1199) {
        szLen = 1199;  // a reply never exceeds one report behind its report ID
    }
    std::vector<std::uint8_t> frame(pucData, pucData + szLen);  // exact size: overreads are caught
    DrbdCmdCode tCmd = {0x0000, 0x0301, 0x0101};
    std::uint32_t eErr = 0;
    const std::uint8_t* p =
        DrbdCheckReply(frame.data(), static_cast<std::uint16_t>(frame.size()), &tCmd, &eErr);
    if (p != nullptr && eErr == 0 && p > frame.data() + frame.size()) {
        __builtin_trap();
    }
    return 0;
}
