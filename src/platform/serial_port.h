// Serial ports: the name of a port number, opening, settings and time-outs. One implementation per
// system (serial_posix.cpp with termios, serial_win32.cpp with the communications API); the COM name
// rule in serial_names.cpp is the same everywhere.
//
// Port numbers run from 0 to 31. On Windows a number names the COM port of that number. On Linux it
// names a device node, the tens digit choosing the kind of adapter and the ones digit its node:
//    0 ..  9  ->  /dev/ttyUSB0 .. /dev/ttyUSB9   (USB serial bridges)
//   10 .. 19  ->  /dev/ttyACM0 .. /dev/ttyACM9   (USB CDC-ACM devices)
//   20 .. 31  ->  /dev/ttyS0   .. /dev/ttyS11    (on-board UARTs)
// The mapping is fixed, so a number always means the same node whatever else is plugged in.
#pragma once

#include <cstdint>

#include "platform/os.h"
#include "platform/serial_types.h"

inline constexpr std::uint32_t kSerialPortCount = 32;

// What PlatformSerialPurge discards or aborts (the PurgeComm bits).
inline constexpr std::uint32_t kSerialPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kSerialPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kSerialPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kSerialPurgeRxClear = 0x0008;

// Parity and stop-bit codes of SerialDcb (the system's DCB coding).
inline constexpr std::uint8_t kSerialParityNone = 0;
inline constexpr std::uint8_t kSerialParityOdd = 1;
inline constexpr std::uint8_t kSerialParityEven = 2;
inline constexpr std::uint8_t kSerialParityMark = 3;
inline constexpr std::uint8_t kSerialParitySpace = 4;
inline constexpr std::uint8_t kSerialStopBitsOne = 0;
inline constexpr std::uint8_t kSerialStopBitsOneHalf = 1;
inline constexpr std::uint8_t kSerialStopBitsTwo = 2;

// The COM name of a port: "COM<n>" for 0..9, the device-namespace form "\\.\COM<n>" for 10..31.
// NUL-terminated into pcOut (capacity ulCap). 1, or 0 when the number is out of range or the name does
// not fit (pcOut is then empty when ulCap > 0).
int PlatformSerialComName(std::uint32_t ulPort, char* pcOut, std::uint32_t ulCap);

// The name under which port ulPort is opened and shown: the COM name on Windows, the device node on
// Linux (see above, or the node pattern in force). 1, or 0 as PlatformSerialComName.
int PlatformSerialPortName(std::uint32_t ulPort, char* pcOut, std::uint32_t ulCap);

// Replaces the Linux number-to-node mapping by a pattern in which the first "%u" stands for the port
// number in decimal (for example "/dev/ttyAMA%u"); the pattern is copied. Null restores the fixed
// mapping. Returns 1, or 0 when the pattern has no "%u" or is longer than 200 characters, or on Windows,
// whose COM names are fixed.
int PlatformSerialSetNodePattern(const char* strPattern);

// Opens a serial port for reading and writing, not shared, for plain blocking input and output.
// kInvalidHandle on failure (no such port, not a serial device, already in use), last error set.
PlatformHandle PlatformSerialOpen(const char* strName);

// Fills the DCB fields that a definition such as "baud=115200 parity=N data=8 stop=1" names (keys baud,
// parity N/O/E/M/S, data 5..8, stop 1/1.5/2); other fields are left as they are. 1 / 0.
int PlatformSerialBuildDcb(const char* strDef, SerialDcb* ptDcb);

// Applies rate, data bits, parity and stop bits in raw mode without flow control. Fails (0, last error
// set) when the system cannot apply every one of them, for example a rate of 0.
int PlatformSerialSetState(PlatformHandle hPort, const SerialDcb* ptDcb);

// Reads the settings in force into BaudRate, ByteSize, Parity and StopBits. 1 / 0.
int PlatformSerialGetState(PlatformHandle hPort, SerialDcb* ptDcb);

// Applies the read and write time-outs (milliseconds, as the Windows communications API defines them).
// On Linux reads are timed by VMIN/VTIME, whose unit is a tenth of a second: an interval time-out with no
// total time-out becomes VMIN 255 and VTIME = the interval rounded up to tenths (30 ms -> 100 ms), so a
// read still blocks for its first byte and then returns once the caller's buffer is full or the line
// has been quiet for that long; an interval of 0xFFFFFFFF with no total returns at once (VMIN 0,
// VTIME 0); a total time-out becomes VMIN 0 with VTIME = its constant part rounded up to tenths. Write
// time-outs are not applied there (writes block until the data is queued). 1 / 0.
int PlatformSerialSetTimeouts(PlatformHandle hPort, const SerialTimeouts* ptTimeouts);

// Discards the queued input and/or output named by ulFlags (kSerialPurge... bits). 1 / 0.
int PlatformSerialPurge(PlatformHandle hPort, std::uint32_t ulFlags);

// Closes *phPort if it is not kInvalidHandle and sets it to kInvalidHandle.
void PlatformSerialClose(PlatformHandle* phPort);
