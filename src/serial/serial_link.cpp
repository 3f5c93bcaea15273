#include "serial/serial_link.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/serial_port.h"

namespace {

constexpr std::uint32_t kComPortStringSize = 50;
constexpr std::uint32_t kPurgeAll =
    kSerialPurgeTxAbort | kSerialPurgeRxAbort | kSerialPurgeTxClear | kSerialPurgeRxClear;

// Reads a decimal number from standard input as a "%d" conversion does: white space skipped, an
// optional sign, digits. Returns 1 with the number in *pulNumber (a negative number as its 32-bit two's
// complement, a number beyond the int range as 0xFFFFFFFF, out of range for a port, rather than
// wrapped onto a valid one); 0 when no number is there (*pulNumber unchanged, the character that is no
// digit left unread); -1 at the end of input.
int ReadDecimal(std::uint32_t* pulNumber) {
    int c;
    do {
        c = std::getchar();
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f');
    bool bNegative = false;
    if (c == '+' || c == '-') {
        bNegative = c == '-';
        c = std::getchar();
    }
    if (c == EOF) {
        return -1;
    }
    if (c < '0' || c > '9') {
        std::ungetc(c, stdin);
        return 0;
    }
    long long llValue = 0;
    bool bTooLong = false;
    while (c >= '0' && c <= '9') {
        if (!bTooLong) {
            llValue = llValue * 10 + (c - '0');
            bTooLong = llValue > INT_MAX + 1LL;
        }
        c = std::getchar();
    }
    if (c != EOF) {
        std::ungetc(c, stdin);
    }
    if (bNegative) {
        llValue = -llValue;
    }
    *pulNumber = (bTooLong || llValue > INT_MAX || llValue < INT_MIN)
                     ? 0xFFFFFFFFu
                     : static_cast<std::uint32_t>(static_cast<int>(llValue));
    return 1;
}

// One reading of the port number: the number, then one further character (the line end). A failed
// conversion consumes that one character, so a word yields one new prompt per letter. False at the end
// of input.
bool ReadPortNumber(std::uint32_t* pulNumber) {
    std::fflush(stdout);  // the prompt has no line end
    if (ReadDecimal(pulNumber) < 0) {
        return false;
    }
    std::getchar();
    return true;
}

}  // namespace

std::uint8_t OpenSerialPort(PlatformHandle* phComPort, SerialDcb* ptDcb, SerialTimeouts* ptTimeouts,
                            const char* strRate) {
    auto* pucComPortString = static_cast<char*>(std::malloc(kComPortStringSize));
    if (pucComPortString == nullptr) {
        PlatformPrintf("pucComPortString申请失败\r\n");
        return 0;
    }
    std::memset(pucComPortString, 0, kComPortStringSize);
    std::strcpy(pucComPortString, "COM");

    std::uint32_t ulComPortNumber = 0xFFFFFFFFu;
    PlatformPrintf("请输入串口号：");
    bool bInput = ReadPortNumber(&ulComPortNumber);
    for (;;) {
        if (!bInput) {
            // Standard input has ended: nobody is left to answer the prompt.
            *phComPort = kInvalidHandle;
            std::free(pucComPortString);
            return 0;
        }
        if (ulComPortNumber >= kSerialPortCount) {
            PlatformPrintf("非法输入，请重新输入串口号：");
            bInput = ReadPortNumber(&ulComPortNumber);
            continue;
        }
        std::memset(pucComPortString, 0, kComPortStringSize);
        *phComPort = kInvalidHandle;
        if (PlatformSerialPortName(ulComPortNumber, pucComPortString, kComPortStringSize)) {
            *phComPort = PlatformSerialOpen(pucComPortString);
        }
        if (*phComPort != kInvalidHandle) {
            break;
        }
        PlatformPrintf("无效端口，请重新输入串口号：");
        bInput = ReadPortNumber(&ulComPortNumber);
    }
    PlatformPrintf("串口%s申请成功\r\n", pucComPortString);

    std::memset(ptDcb, 0, sizeof(*ptDcb));
    ptDcb->DCBlength = sizeof(SerialDcb);
    if (strRate != nullptr && std::strcmp(strRate, "115200") == 0) {
        if (!PlatformSerialBuildDcb("baud=115200 parity=N data=8 stop=1", ptDcb)) {
            PlatformSerialClose(phComPort);
            std::free(pucComPortString);
            return 0;
        }
    }
    if (!PlatformSerialSetState(*phComPort, ptDcb)) {
        PlatformPrintf("SetCommState失败：（%d）\r\n", static_cast<int>(PlatformLastError()));
        PlatformSerialClose(phComPort);
        std::free(pucComPortString);
        return 0;
    }
    ptTimeouts->ReadIntervalTimeout = 30;
    ptTimeouts->ReadTotalTimeoutMultiplier = 0;
    ptTimeouts->ReadTotalTimeoutConstant = 0;
    ptTimeouts->WriteTotalTimeoutMultiplier = 0;
    ptTimeouts->WriteTotalTimeoutConstant = 0;
    if (!PlatformSerialSetTimeouts(*phComPort, ptTimeouts)) {
        PlatformSerialClose(phComPort);
        std::free(pucComPortString);
        return 0;
    }
    PlatformSerialPurge(*phComPort, kPurgeAll);
    if (PlatformSerialGetState(*phComPort, ptDcb)) {
        PlatformPrintf("串口信息：BuardRate: %d，ByteSize: %d，Parity: %d，StopBits: %d\r\n",
                       static_cast<int>(ptDcb->BaudRate), static_cast<int>(ptDcb->ByteSize),
                       static_cast<int>(ptDcb->Parity), static_cast<int>(ptDcb->StopBits));
    }
    std::free(pucComPortString);
    return 1;
}
