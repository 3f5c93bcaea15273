// Two subcommands of the firmware engineers' tool that reach the diagnostic utilities and the serial link,
// which the console program itself never calls. Handlers in the tool's shape: they get the operands that
// follow the subcommand's name and return the exit status (0 success, 1 failed, 2 wrong arguments).
#pragma once

inline constexpr int kDiagExitOk = 0;
inline constexpr int kDiagExitFailed = 1;
inline constexpr int kDiagExitUsage = 2;

// hexdump FILE [N]: shows FILE as hex dumps of N bytes each (default 16, at most as many as one dump
// holds), each titled with its offset. 1 operand or 2.
int RunHexdumpSubcommand(int iOperandCount, char** ppcOperands);

// serial-check [PATTERN]: asks for a port number on the console, opens that port at 115200 8N1, shows
// the settings in force and closes it again; exit status 0 once a port was opened and set. PATTERN
// (Linux only) replaces the number-to-node mapping, "%u" standing for the number. 0 operands or 1.
int RunSerialCheckSubcommand(int iOperandCount, char** ppcOperands);
