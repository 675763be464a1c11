// The calling thread's last OS error, always as a Windows error code, and
// its system message text.
#pragma once
#include "Foundation/Types.h"

namespace WinError {
constexpr uint32_t Success = 0;
constexpr uint32_t InvalidFunction = 1;
constexpr uint32_t FileNotFound = 2;
constexpr uint32_t PathNotFound = 3;
constexpr uint32_t TooManyOpenFiles = 4;
constexpr uint32_t AccessDenied = 5;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t NotEnoughMemory = 8;
constexpr uint32_t NotSameDevice = 17;
constexpr uint32_t WriteProtect = 19;
constexpr uint32_t GenFailure = 31;
constexpr uint32_t SharingViolation = 32;
constexpr uint32_t HandleEof = 38;
constexpr uint32_t NotSupported = 50;
constexpr uint32_t FileExists = 80;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t InsufficientBuffer = 122;
constexpr uint32_t NegativeSeek = 131;
constexpr uint32_t DirNotEmpty = 145;
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t FilenameExcedRange = 206;
constexpr uint32_t FileTooLarge = 223;
constexpr uint32_t NoMoreFiles = 18;
constexpr uint32_t Directory = 267;
constexpr uint32_t IoDevice = 1117;
constexpr uint32_t ResourceTypeNotFound = 1813;
constexpr uint32_t Cancelled = 1223;
constexpr uint32_t CantAccessFile = 1920;
constexpr uint32_t CantResolveFilename = 1921;
constexpr uint32_t NotAReparsePoint = 4390;
}  // namespace WinError

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

// The system's text for an error code as the OS gives it (untrimmed);
// empty when the OS knows no text.
AnsiString RawSystemErrorText(uint32_t code);

// The text with trailing blanks, control characters and full stops removed.
AnsiString SystemErrorText(uint32_t code);
