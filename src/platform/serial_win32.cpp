// Serial ports on Windows: COM names and the communications API.
#include <windows.h>

#include "platform/serial_port.h"

namespace {

HANDLE ToHandle(PlatformHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

// A cleared DCB carrying the four settings the program keeps.
DCB ToDcb(const SerialDcb* ptDcb) {
    DCB tDcb;
    ZeroMemory(&tDcb, sizeof(tDcb));
    tDcb.DCBlength = sizeof(DCB);
    tDcb.BaudRate = ptDcb->BaudRate;
    tDcb.ByteSize = ptDcb->ByteSize;
    tDcb.Parity = ptDcb->Parity;
    tDcb.StopBits = ptDcb->StopBits;
    return tDcb;
}

void FromDcb(const DCB& tDcb, SerialDcb* ptDcb) {
    ptDcb->BaudRate = tDcb.BaudRate;
    ptDcb->ByteSize = tDcb.ByteSize;
    ptDcb->Parity = tDcb.Parity;
    ptDcb->StopBits = tDcb.StopBits;
}

}  // namespace

int PlatformSerialPortName(std::uint32_t ulPort, char* pcOut, std::uint32_t ulCap) {
    return PlatformSerialComName(ulPort, pcOut, ulCap);
}

int PlatformSerialSetNodePattern(const char* strPattern) {
    return 0;
}

PlatformHandle PlatformSerialOpen(const char* strName) {
    HANDLE h = CreateFileA(strName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    return reinterpret_cast<PlatformHandle>(h);
}

int PlatformSerialBuildDcb(const char* strDef, SerialDcb* ptDcb) {
    DCB tDcb = ToDcb(ptDcb);
    if (!BuildCommDCBA(strDef, &tDcb)) {
        return 0;
    }
    FromDcb(tDcb, ptDcb);
    return 1;
}

int PlatformSerialSetState(PlatformHandle hPort, const SerialDcb* ptDcb) {
    // The port's own DCB is the start: SetCommState refuses one whose XonChar equals its XoffChar (a
    // cleared DCB), and many USB-serial adapters need DTR and RTS on. Over it go the four settings, raw
    // binary transfer and no flow control.
    DCB tDcb;
    ZeroMemory(&tDcb, sizeof(tDcb));
    tDcb.DCBlength = sizeof(DCB);
    if (!GetCommState(ToHandle(hPort), &tDcb)) {
        return 0;
    }
    tDcb.BaudRate = ptDcb->BaudRate;
    tDcb.ByteSize = ptDcb->ByteSize;
    tDcb.Parity = ptDcb->Parity;
    tDcb.StopBits = ptDcb->StopBits;
    tDcb.fBinary = TRUE;
    tDcb.fParity = ptDcb->Parity != NOPARITY ? TRUE : FALSE;
    tDcb.fOutxCtsFlow = FALSE;
    tDcb.fOutxDsrFlow = FALSE;
    tDcb.fDtrControl = DTR_CONTROL_ENABLE;
    tDcb.fDsrSensitivity = FALSE;
    tDcb.fOutX = FALSE;
    tDcb.fInX = FALSE;
    tDcb.fErrorChar = FALSE;
    tDcb.fNull = FALSE;
    tDcb.fRtsControl = RTS_CONTROL_ENABLE;
    tDcb.fAbortOnError = FALSE;
    tDcb.XonChar = 0x11;
    tDcb.XoffChar = 0x13;
    return SetCommState(ToHandle(hPort), &tDcb) ? 1 : 0;
}

int PlatformSerialGetState(PlatformHandle hPort, SerialDcb* ptDcb) {
    DCB tDcb;
    ZeroMemory(&tDcb, sizeof(tDcb));
    tDcb.DCBlength = sizeof(DCB);
    if (!GetCommState(ToHandle(hPort), &tDcb)) {
        return 0;
    }
    FromDcb(tDcb, ptDcb);
    return 1;
}

int PlatformSerialSetTimeouts(PlatformHandle hPort, const SerialTimeouts* ptTimeouts) {
    COMMTIMEOUTS tTimeouts;
    tTimeouts.ReadIntervalTimeout = ptTimeouts->ReadIntervalTimeout;
    tTimeouts.ReadTotalTimeoutMultiplier = ptTimeouts->ReadTotalTimeoutMultiplier;
    tTimeouts.ReadTotalTimeoutConstant = ptTimeouts->ReadTotalTimeoutConstant;
    tTimeouts.WriteTotalTimeoutMultiplier = ptTimeouts->WriteTotalTimeoutMultiplier;
    tTimeouts.WriteTotalTimeoutConstant = ptTimeouts->WriteTotalTimeoutConstant;
    return SetCommTimeouts(ToHandle(hPort), &tTimeouts) ? 1 : 0;
}

int PlatformSerialPurge(PlatformHandle hPort, std::uint32_t ulFlags) {
    return PurgeComm(ToHandle(hPort), ulFlags) ? 1 : 0;
}

void PlatformSerialClose(PlatformHandle* phPort) {
    if (phPort != nullptr && *phPort != kInvalidHandle) {
        CloseHandle(ToHandle(*phPort));
        *phPort = kInvalidHandle;
    }
}
