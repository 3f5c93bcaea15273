// The serial link: a console dialogue that opens the serial port the user names and sets it to
// 115200 baud, 8 data bits, no parity, 1 stop bit.
#pragma once

#include <cstdint>

#include "platform/os.h"
#include "platform/serial_types.h"

// Asks on the console for a port number (0..31, see platform/serial_port.h for the names) until a port
// opens, stores its handle in *phComPort, applies the settings into *ptDcb and *ptTimeouts (read interval
// 30 ms, no other time-out), empties the port's queues and prints the settings read back.
//
// strRate "115200" gives 115200 8N1; with any other rate text the settings stay cleared (rate, byte size,
// parity and stop bits 0), and the port refuses them (the SetCommState line is printed). On Windows the
// settings go over the port's own DCB (GetCommState), which keeps valid XON/XOFF characters and DTR and
// RTS on, so the zero rate and byte size are what SetCommState refuses; the POSIX port refuses them
// before it changes anything.
//
// Returns 1 with the port open (the caller closes it). Returns 0 when standard input ends before a port
// opened, or when a setting cannot be applied (the port is closed again); *phComPort is then
// kInvalidHandle. When the name buffer cannot be obtained it returns 0 and leaves *phComPort untouched.
std::uint8_t OpenSerialPort(PlatformHandle* phComPort, SerialDcb* ptDcb, SerialTimeouts* ptTimeouts,
                            const char* strRate);
