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
    // The folder the program was started from is looked at, but its path is too long for strStartDir
    // (GetStartDirectory): a firmware file there cannot be taken.
    int bStartDirTooLong;
};

// Room for the path of the folder the program was started from, which may be longer than a path field.
inline constexpr std::uint32_t kStartDirLongBytes = 4096;

// Writes the full path of the current model's file of kind eKind into strDest (256 bytes). Nothing is
// written before a match or for an unknown kind; a path that does not fit, or an empty directory (the
// program's own could not be had), leaves strDest empty: a path is never relative.
void BuildFirmwarePath(int eKind, const char* strDir, char* strDest);
// Builds the four paths of ptConfgFile from its strExeDir for the current model and records that model
// in iPathModel, which it returns.
int BuildFirmwarePaths(ConfgFile* ptConfgFile);
// Fills strStartDir of ptConfgFile: the folder the program was started from, where the system has the
// program look for its McuCipherFile first (Linux), unless it is the program's own folder or the program's
// own folder could not be had (strExeDir empty: no firmware file is looked for anywhere then). A folder
// whose path does not fit strStartDir leaves it empty and sets bStartDirTooLong.
void GetStartDirectory(ConfgFile* ptConfgFile);
// Sets strMcuCipherFilePath to the McuCipherFile the next upgrade reads: the current model's file in
// the start folder when anything is there under its name, otherwise the one in the program's own folder.
// Returns kMcuCipherFromStartFolder when the file of the start folder was taken, kMcuCipherStartTooLong
// when the start folder holds it but its path does not fit a path field (strMcuCipherFilePath is then the
// one in the program's own folder, which must not be taken instead), else kMcuCipherFromOwnFolder.
inline constexpr int kMcuCipherFromOwnFolder = 0;
inline constexpr int kMcuCipherFromStartFolder = 1;
inline constexpr int kMcuCipherStartTooLong = 2;
int ChooseMcuCipherFilePath(ConfgFile* ptConfgFile);
// 1 when the start folder is looked at and the current model's file there has a path too long for a
// path field (the folder alone, or with the file name), else 0.
int StartPathTooLong(const ConfgFile* ptConfgFile);
// The folder the program was started from, whole, into pcOut (kStartDirLongBytes): strStartDir, or the
// longer path when it did not fit. Returns 0 with pcOut empty when no start folder is looked at.
int GetLongStartDirectory(const ConfgFile* ptConfgFile, char* pcOut);
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
