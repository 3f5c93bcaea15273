// The file configuration record: firmware file handles, the executable's directory and the four
// firmware paths of the current model.
#pragma once

#include <cstdint>

#include "platform/os.h"

inline constexpr std::uint32_t kPathFieldBytes = 256;
inline constexpr std::uint32_t kWidePathFieldChars = 260;

// FirmwareFileKind
enum FirmwareFileKind : int {
    E_FirmwareFile_McuVer = 0,       // plain firmware image
    E_FirmwareFile_Checksum = 1,     // checksum file
    E_FirmwareFile_McuCipher = 2,    // scrambled firmware file
    E_FirmwareFile_McuClearVer = 3,  // de-scrambled copy
};

struct ConfgFile {
    PlatformHandle hMcuVerFile;
    PlatformHandle hChecksumFile;
    PlatformHandle hMcuCipherFile;
    PlatformHandle hMcuClearVerFile;
    char strExeDir[kPathFieldBytes];
    wchar_t wstrExeDir[kWidePathFieldChars];
    char strMcuVerFilePath[kPathFieldBytes];
    char strChecksumFilePath[kPathFieldBytes];
    char strMcuCipherFilePath[kPathFieldBytes];
    char strMcuClearVerFilePath[kPathFieldBytes];
    // The McuCipherFile as the whole-file check read it (HoldMcuCipherFile), or null: while it is held,
    // the header and every package are served from these bytes and the file is not opened again.
    std::uint8_t* pucMcuCipherFile;
    std::uint32_t ulMcuCipherFileBytes;
    // The model whose files the four paths name (BuildFirmwarePaths); kNoDeviceModel before.
    int iPathModel;
    // The folder the program was started from, ending with the separator, when the McuCipherFile is
    // looked for there before the program's own folder (GetStartDirectory); empty otherwise.
    char strStartDir[kPathFieldBytes];
};

// Writes the full path of the current model's file of kind eKind into strDest (256 bytes). Nothing is
// written before a match or for an unknown kind; a path that does not fit, or an empty directory (the
// program's own could not be had), leaves strDest empty: a path is never relative.
void BuildFirmwarePath(int eKind, const char* strDir, char* strDest);
// Builds the four paths of ptConfgFile from its strExeDir for the current model and records that model
// in iPathModel, which it returns.
int BuildFirmwarePaths(ConfgFile* ptConfgFile);
// Fills strStartDir of ptConfgFile: the folder the program was started from, where the system has the
// program look for its McuCipherFile first (Linux), unless it is the program's own folder or the program's
// own folder could not be had (strExeDir empty: no firmware file is looked for anywhere then).
void GetStartDirectory(ConfgFile* ptConfgFile);
// Sets strMcuCipherFilePath to the McuCipherFile the next upgrade reads: the current model's file in
// strStartDir when anything is there under its name, otherwise the one in the program's own folder.
// Returns 1 when the file of the start folder was taken, else 0.
int ChooseMcuCipherFilePath(ConfgFile* ptConfgFile);
// strDest (256 bytes) = strDir followed by strFileName. Returns 1, or 0 with strDest left empty when the
// whole path does not fit: a path is never cut short into another path.
int JoinDirAndFileName(const char* strDir, const char* strFileName, char* strDest);
// Fills strExeDir (256 bytes) and wstrExeDir (260 wide characters) with the running executable's
// directory, ending with the separator. Returns 1, or 0 with both fields empty when it cannot be had or
// does not fit.
int GetExeDirectory(char* strExeDir, wchar_t* wstrExeDir);
// Ends a full file path right after its last separator, keeping the separator (D:\\Tools\\x.exe gives
// D:\\Tools\\). Returns 1, or 0 with the text emptied when it holds no separator.
int TrimToDirectory(wchar_t* wstrPath, wchar_t wcSeparator);
// Wide text to the system's narrow path encoding into a field of ulCap bytes. Returns the bytes written,
// terminator included, or 0 on failure (the field is then empty).
std::uint32_t WideToAnsi(const wchar_t* wstrIn, char* strOut, std::uint32_t ulCap);
// Narrow text to wide characters into a field of ulCap wide characters. Returns the characters written,
// terminator included, or 0 on failure (the field is then empty).
std::uint32_t AnsiToWide(const char* strIn, wchar_t* wstrOut, std::uint32_t ulCap);
