// POSIX keeps the Windows error code of the last failed call per thread;
// the platform layer maps errno into it.
#include "Foundation/SysError.h"
#include <cerrno>
#include <utility>
#include "Posix/FileNames.h"
#include "Posix/PosixErrors.h"

static thread_local uint32_t LastError = 0;

uint32_t GetLastErrorCode() { return LastError; }
void SetLastErrorCode(uint32_t code) { LastError = code; }

AnsiString RawSystemErrorText(uint32_t code) {
    // The Windows system texts of the codes the POSIX layer produces.
    static const std::pair<uint32_t, const char*> Texts[] = {
        {0, "The operation completed successfully.\r\n"},
        {1, "Incorrect function.\r\n"},
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {4, "The system cannot open the file.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {8, "Not enough memory resources are available to process this command.\r\n"},
        {17, "The system cannot move the file to a different disk drive.\r\n"},
        {18, "There are no more files.\r\n"},
        {19, "The media is write protected.\r\n"},
        {21, "The device is not ready.\r\n"},
        {23, "Data error (cyclic redundancy check).\r\n"},
        {25, "The drive cannot locate a specific area or track on the disk.\r\n"},
        {29, "The system cannot write to the specified device.\r\n"},
        {30, "The system cannot read from the specified device.\r\n"},
        {31, "A device attached to the system is not functioning.\r\n"},
        {32, "The process cannot access the file because it is being used by another process.\r\n"},
        {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
        {38, "Reached the end of the file.\r\n"},
        {50, "The request is not supported.\r\n"},
        {80, "The file exists.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {112, "There is not enough space on the disk.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
        {145, "The directory is not empty.\r\n"},
        {183, "Cannot create a file when that file already exists.\r\n"},
        {206, "The filename or extension is too long.\r\n"},
        {223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
        {267, "The directory name is invalid.\r\n"},
        {1117, "The request could not be performed because of an I/O device error.\r\n"},
        {1223, "The operation was canceled by the user.\r\n"},
        {1813, "The specified resource type cannot be found in the image file.\r\n"},
        {1920, "The file cannot be accessed by the system.\r\n"},
        {1921, "The name of the file cannot be resolved by the system.\r\n"},
        {4390, "The file or directory is not a reparse point.\r\n"},
    };
    for (const auto& [number, text] : Texts)
        if (number == code) return text;
    return AnsiString();
}

uint32_t MapErrno(int error, const std::string& path) {
    switch (error) {
    case 0: return WinError::Success;
    case ENOENT: return path.empty() || IsDirectory(ParentOf(path)) ? WinError::FileNotFound : WinError::PathNotFound;
    case ENOTDIR: return WinError::PathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return WinError::AccessDenied;
    case EEXIST: return WinError::AlreadyExists;
    case ENOTEMPTY: return WinError::DirNotEmpty;
    case ENOSPC:
    case EDQUOT: return WinError::DiskFull;
    case EFBIG: return WinError::FileTooLarge;
    case ENAMETOOLONG: return WinError::FilenameExcedRange;
    case EMFILE:
    case ENFILE: return WinError::TooManyOpenFiles;
    case EROFS: return WinError::WriteProtect;
    case EWOULDBLOCK: return WinError::SharingViolation;
    case EBADF: return WinError::InvalidHandle;
    case EINVAL: return WinError::InvalidParameter;
    case EXDEV: return WinError::NotSameDevice;
    case ELOOP: return WinError::CantResolveFilename;
    case ENOMEM: return WinError::NotEnoughMemory;
    case EIO: return WinError::IoDevice;
    default: return WinError::GenFailure;
    }
}
