// The file API on Windows: the wide calls, paths of 260 characters or more
// passed in their long form.
#include <windows.h>
#include <winioctl.h>
#include <algorithm>
#include <vector>
#undef GetModuleFileName
#undef GetCommandLine
#undef GetCurrentDirectory
#undef SetCurrentDirectory
#undef GetFileAttributes
#undef SetFileAttributes
#undef CreateDirectory
#undef RemoveDirectory
#undef CreateFile
#undef MoveFile
#undef ReplaceFile
#undef DeleteFile
#undef CreateHardLink
#undef GetShortPathName
#undef GetCompressedFileSize
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"

extern const WideChar PathDelim = u'\\';

namespace {
LPCWSTR W(const WideString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
LPWSTR W(WideChar* text) { return reinterpret_cast<LPWSTR>(text); }
HANDLE H(TNativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

TFileTime FromFileTime(const FILETIME& t) { return ((TFileTime)t.dwHighDateTime << 32) | t.dwLowDateTime; }

FILETIME ToFileTime(TFileTime t) { return {(DWORD)t, (DWORD)(t >> 32)}; }

void FromFindData(const WIN32_FIND_DATAW& from, TFindData& to) {
    to.Attributes = from.dwFileAttributes;
    to.CreationTime = FromFileTime(from.ftCreationTime);
    to.LastAccessTime = FromFileTime(from.ftLastAccessTime);
    to.LastWriteTime = FromFileTime(from.ftLastWriteTime);
    to.Size = ((uint64_t)from.nFileSizeHigh << 32) | from.nFileSizeLow;
    to.ReparseTag = (from.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? from.dwReserved0 : 0;
    to.FileName = reinterpret_cast<const WideChar*>(from.cFileName);
    to.AlternateFileName = reinterpret_cast<const WideChar*>(from.cAlternateFileName);
}

constexpr size_t ReparseBufferSize = 16384;
constexpr DWORD SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD GetReparsePointControl = 0x000900A8;
constexpr DWORD OpenLinkFlags = 0x02200000;  // backup semantics, open reparse point
}  // namespace

WideString TFileAPI::GetModuleFileName(TNativeHandle module) {
    std::vector<WideChar> buffer(32767);
    DWORD n = ::GetModuleFileNameW(reinterpret_cast<HMODULE>(module), W(buffer.data()), (DWORD)buffer.size());
    return RemoveLongPathPrefix(WideString(buffer.data(), n));
}

WideString TFileAPI::GetCommandLine() { return reinterpret_cast<const WideChar*>(::GetCommandLineW()); }

WideString TFileAPI::GetCurrentDirectory() {
    std::vector<WideChar> buffer(32768);
    DWORD n = ::GetCurrentDirectoryW((DWORD)buffer.size(), W(buffer.data()));
    return RemoveLongPathPrefix(WideString(buffer.data(), std::min<DWORD>(n, 32767)));
}

bool TFileAPI::SetCurrentDirectory(const WideString& path) { return ::SetCurrentDirectoryW(W(LongPathName(path))); }

TNativeHandle TFileAPI::FindFirst(const WideString& pattern, TFindData& data) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(W(LongPathName(pattern)), &found);
    if (search != INVALID_HANDLE_VALUE) FromFindData(found, data);
    return reinterpret_cast<TNativeHandle>(search);
}

bool TFileAPI::FindNext(TNativeHandle search, TFindData& data) {
    WIN32_FIND_DATAW found;
    if (!::FindNextFileW(H(search), &found)) return false;
    FromFindData(found, data);
    return true;
}

bool TFileAPI::FindClose(TNativeHandle search) { return ::FindClose(H(search)); }

bool TFileAPI::GetFileData(const WideString& path, TFindData& data) {
    // No name holds a wildcard; a path with one names nothing. The search
    // takes '<', '>' and '"' as wildcards too.
    if (RemoveLongPathPrefix(path).find_first_of(u"*?<>\"") != WideString::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    TNativeHandle search = FindFirst(path, data);
    if (search == InvalidNativeHandle) return false;
    ::FindClose(H(search));
    return true;
}

uint32_t TFileAPI::GetFileAttributes(const WideString& path) { return ::GetFileAttributesW(W(LongPathName(path))); }

bool TFileAPI::SetFileAttributes(const WideString& path, uint32_t attributes) {
    return ::SetFileAttributesW(W(LongPathName(path)), attributes);
}

bool TFileAPI::CreateDirectory(const WideString& path, void* security) {
    return ::CreateDirectoryW(W(LongPathName(path)), static_cast<LPSECURITY_ATTRIBUTES>(security));
}

bool TFileAPI::RemoveDirectory(const WideString& path) { return ::RemoveDirectoryW(W(LongPathName(path))); }

TNativeHandle TFileAPI::CreateFile(const WideString& path, uint32_t access, uint32_t shareMode, void* security,
                                   uint32_t disposition, uint32_t flags, TNativeHandle templateFile) {
    HANDLE file = ::CreateFileW(W(LongPathName(path)), access, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(security),
                                disposition, flags, H(templateFile));
    return reinterpret_cast<TNativeHandle>(file);
}

int64_t TFileAPI::GetFileSize(TNativeHandle file) {
    DWORD high = 0;
    ::SetLastError(0);
    DWORD low = ::GetFileSize(H(file), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != 0) return -1;
    return ((int64_t)high << 32) | low;
}

bool TFileAPI::GetFileDataByHandle(TNativeHandle file, TFindData& data) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(H(file), &info)) return false;
    data = TFindData();
    data.Attributes = info.dwFileAttributes;
    data.CreationTime = FromFileTime(info.ftCreationTime);
    data.LastAccessTime = FromFileTime(info.ftLastAccessTime);
    data.LastWriteTime = FromFileTime(info.ftLastWriteTime);
    data.Size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        ::GetFileInformationByHandleEx(H(file), FileAttributeTagInfo, &tag, sizeof tag))
        data.ReparseTag = tag.ReparseTag;
    return true;
}

bool TFileAPI::CloseHandle(TNativeHandle handle) { return ::CloseHandle(H(handle)); }

bool TFileAPI::MoveFile(const WideString& oldPath, const WideString& newPath, uint32_t flags) {
    return ::MoveFileExW(W(LongPathName(oldPath)), W(LongPathName(newPath)), flags);
}

bool TFileAPI::CreateHardLink(const WideString& existing, const WideString& newName) {
    return ::CreateHardLinkW(W(LongPathName(newName)), W(LongPathName(existing)), nullptr);
}

// The system's replace keeps the replaced file's security descriptor,
// attributes and creation time; a target that is gone is simply moved to.
bool TFileAPI::ReplaceFile(const WideString& replacement, const WideString& target) {
    if (::ReplaceFileW(W(LongPathName(target)), W(LongPathName(replacement)), nullptr,
                       REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr))
        return true;
    DWORD error = ::GetLastError();
    // In the last two the target is still there or already gone, and the
    // replacement is where it was.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_REMOVE_REPLACED &&
        error != ERROR_UNABLE_TO_MOVE_REPLACEMENT)
        return false;
    return MoveFile(replacement, target, MoveFlag::ReplaceExisting);
}

bool TFileAPI::DeleteFile(const WideString& path) { return ::DeleteFileW(W(LongPathName(path))); }

uint32_t TFileAPI::GetFileVersion(const WideString& path) {
    WideString name = LongPathName(path);
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(W(name), &ignored);
    if (size == 0) return 0xFFFFFFFF;
    std::vector<uint8_t> data(size);
    if (!::GetFileVersionInfoW(W(name), 0, size, data.data())) return 0xFFFFFFFF;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return 0xFFFFFFFF;
    return info->dwFileVersionMS;
}

bool TFileAPI::GetShortPathName(const WideString& path, TByteString& shortPath) {
    WideChar buffer[MAX_PATH];
    DWORD n = ::GetShortPathNameW(W(LongPathName(path)), W(buffer), MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        shortPath = WideToAnsiCodePage(path);
        return false;
    }
    WideString result = RemoveLongPathPrefix(WideString(buffer, n));
    bool ascii = std::all_of(result.begin(), result.end(), [](WideChar c) { return c < 128; });
    shortPath = ascii ? TByteString(result.begin(), result.end()) : WideToAnsiCodePage(result);
    return true;
}

int64_t TFileAPI::FileSeek(TNativeHandle file, int64_t distance, uint32_t origin) {
    LARGE_INTEGER move, position;
    move.QuadPart = distance;
    if (!::SetFilePointerEx(H(file), move, &position, origin)) return -1;
    return position.QuadPart;
}

bool TFileAPI::SetEndOfFile(TNativeHandle file) { return ::SetEndOfFile(H(file)); }

bool TFileAPI::ReserveFileSize(TNativeHandle file, int64_t size) {
    return FileSeek(file, size, SeekOrigin::Begin) != -1 && SetEndOfFile(file) &&
           FileSeek(file, 0, SeekOrigin::Begin) != -1;
}

bool TFileAPI::FlushFileBuffers(TNativeHandle file) { return ::FlushFileBuffers(H(file)); }

// The system's lazy writer is already at work on what was written.
void TFileAPI::StartFlushFileBuffers(TNativeHandle) {}

// NTFS journals a rename together with the folder's entries.
bool TFileAPI::FlushFolder(const WideString&) { return true; }

// A volume is flushed whole only by an administrator: files flush one by one.
bool TFileAPI::FlushesVolumes() { return false; }

bool TFileAPI::FlushVolume(const WideString&) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool TFileAPI::GetAvailableSpace(const WideString& folder, uint64_t& bytes) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(W(folder), &available, nullptr, nullptr)) return false;
    bytes = available.QuadPart;
    return true;
}

bool TFileAPI::ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) {
    DWORD n = 0;
    BOOL ok = ::ReadFile(H(file), buffer, count, &n, nullptr);
    done = n;
    return ok;
}

bool TFileAPI::WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) {
    DWORD n = 0;
    BOOL ok = ::WriteFile(H(file), buffer, count, &n, nullptr);
    done = n;
    return ok;
}

bool TFileAPI::CopyFileData(TNativeHandle, TNativeHandle, uint32_t, uint32_t& done) {
    done = 0;
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool TFileAPI::SetFileAttributesByHandle(TNativeHandle file, const TFindData& from) {
    // What SetFileAttributes takes (directory, reparse and compression bits
    // are no attributes to set), never 0, which leaves them as they are, as
    // it leaves the times of 0.
    FILE_BASIC_INFO info{};
    info.FileAttributes = from.Attributes & SettableAttributes;
    if (!info.FileAttributes) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(H(file), FileBasicInfo, &info, sizeof info);
}

bool TFileAPI::SetFileTime(TNativeHandle file, const TFileTime* creation, const TFileTime* lastAccess,
                           const TFileTime* lastWrite) {
    FILETIME times[3];
    if (creation) times[0] = ToFileTime(*creation);
    if (lastAccess) times[1] = ToFileTime(*lastAccess);
    if (lastWrite) times[2] = ToFileTime(*lastWrite);
    return ::SetFileTime(H(file), creation ? &times[0] : nullptr, lastAccess ? &times[1] : nullptr,
                         lastWrite ? &times[2] : nullptr);
}

int64_t TFileAPI::GetCompressedFileSize(const WideString& path) {
    DWORD high = 0;
    ::SetLastError(0);
    DWORD low = ::GetCompressedFileSizeW(W(LongPathName(path)), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != 0) return -1;
    return ((int64_t)high << 32) | low;
}

bool TFileAPI::GetReparseTarget(const WideString& path, WideString& target, bool* isJunction) {
    if (isJunction) *isJunction = false;
    WideString name = LongPathName(ExcludeTrailingBackslash(path));
    DWORD attributes = ::GetFileAttributesW(W(name));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(WinError::NotAReparsePoint);
        return false;
    }
    HANDLE link =
        ::CreateFileW(W(name), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, OpenLinkFlags, nullptr);
    if (link == INVALID_HANDLE_VALUE) return false;
    TScopeExit close([link] { ::CloseHandle(link); });
    std::vector<uint8_t> buffer(ReparseBufferSize);
    DWORD size = 0;
    if (!::DeviceIoControl(link, GetReparsePointControl, nullptr, 0, buffer.data(), (DWORD)buffer.size(), &size,
                           nullptr))
        return false;
    return ParseReparseData(buffer.data(), size, target, isJunction);
}

TNoErrorBoxes::TNoErrorBoxes() : FOldMode(0) {
    DWORD old = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old);
    FOldMode = old;
}

TNoErrorBoxes::~TNoErrorBoxes() { ::SetThreadErrorMode(FOldMode, nullptr); }

namespace {
bool GetFileIdentity(const WideString& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE file = ::CreateFileW(W(LongPathName(path)), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    TScopeExit close([file] { ::CloseHandle(file); });
    return ::GetFileInformationByHandle(file, &info);
}
}  // namespace

bool IsSameFile(const WideString& a, const WideString& b) {
    BY_HANDLE_FILE_INFORMATION first, second;
    return GetFileIdentity(a, first) && GetFileIdentity(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}
