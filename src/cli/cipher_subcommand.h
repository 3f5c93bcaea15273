// The subcommands of taveloiap-cipher, the firmware engineers' tool. Each subcommand is one entry of
// kCipherSubcommands (cipher_subcommands.cpp); its handler lives in a source file of its own area.
// To add one: write the handler in a new source file, declare it below, add its entry to the table and
// the source file to CMakeLists.txt.
#pragma once

// Exit statuses of the tool.
inline constexpr int kCipherExitOk = 0;
inline constexpr int kCipherExitFailed = 1;  // the operation failed, or the file is not sound
inline constexpr int kCipherExitUsage = 2;   // wrong arguments

// A handler gets the operands that follow the subcommand's name (their count is already checked against
// the entry) and returns the exit status. For an argument error it prints its message on standard error
// and returns kCipherExitUsage; the tool then adds the usage line.
using CipherSubcommandFn = int (*)(int iOperandCount, char** ppcOperands);

struct CipherSubcommand {
    const char* strName;      // as typed: "encode"
    const char* strOperands;  // for the usage line and help: "PLAIN CIPHER"
    int iMinOperands;
    int iMaxOperands;
    const char* strSummary;  // one help line
    CipherSubcommandFn pfnRun;
};

extern const CipherSubcommand kCipherSubcommands[];
extern const int kCipherSubcommandCount;

// Runs the tool on the program's arguments; returns the exit status.
int RunCipherTool(int argc, char** argv);

// Writes an operand into a 256-byte path field. Returns 1, or 0 (after a message on standard error) when
// it does not fit; the handler then returns kCipherExitUsage.
int CopyPathOperand(char* strField, const char* strOperand);

// ---- Handlers (firmware_subcommands.cpp) ----
int RunEncodeSubcommand(int iOperandCount, char** ppcOperands);
int RunDecodeSubcommand(int iOperandCount, char** ppcOperands);
int RunInfoSubcommand(int iOperandCount, char** ppcOperands);
int RunVerifySubcommand(int iOperandCount, char** ppcOperands);

// ---- Handlers (diag_commands.cpp): the diagnostic utilities and the serial link, which the console
// program itself never calls ----
// hexdump FILE [N] [--offset O] [--length L]: FILE (L bytes of it from offset O) as hex dumps of N bytes
// each (default 16), each titled with its offset.
int RunHexdumpSubcommand(int iOperandCount, char** ppcOperands);
// serial-check [PATTERN]: the serial dialogue; opens the port named at 115200 8N1, shows the settings in
// force and closes it again. PATTERN (Linux) maps the numbers onto nodes, "%u" standing for the number.
int RunSerialCheckSubcommand(int iOperandCount, char** ppcOperands);
