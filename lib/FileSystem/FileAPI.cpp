#include "FileSystem/FileAPI.h"
#include <cstring>
#include <utility>
#include "Foundation/Clock.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"

TFileAPI* FileAPI = nullptr;

namespace {
TFileAPI* DefaultFileAPI = nullptr;
}

void InitFileAPI() {
    if (!DefaultFileAPI) DefaultFileAPI = New<TFileAPI>();
    FileAPI = DefaultFileAPI;
}

void DoneFileAPI() {
    if (FileAPI == DefaultFileAPI) FileAPI = nullptr;
    Free(std::exchange(DefaultFileAPI, nullptr));
}

TFileAPI* SetFileAPI(TFileAPI* api) {
    TFileAPI* previous = FileAPI;
    FileAPI = api;
    return previous;
}

namespace {
// The head of the kernel's reparse data for links.
struct TReparseHeader {
    uint32_t Tag;
    uint16_t DataLength;
    uint16_t Reserved;
    uint16_t SubstituteOffset;
    uint16_t SubstituteLength;
    uint16_t PrintOffset;
    uint16_t PrintLength;
};

// Sets the thread's last error; false, as the failed call answers.
bool Fail(uint32_t code) {
    SetLastErrorCode(code);
    return false;
}

// "\??\C:\x" is "C:\x" and "\??\UNC\server\share" is "\\server\share".
WideString WithoutKernelPrefix(const WideString& name) {
    if (name.rfind(u"\\??\\UNC\\", 0) == 0) return u'\\' + name.substr(7);
    if (name.rfind(u"\\??\\", 0) == 0) return name.substr(4);
    return RemoveLongPathPrefix(name);
}
}  // namespace

bool ParseReparseData(const void* data, size_t size, WideString& target, bool* isJunction) {
    if (isJunction) *isJunction = false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    TReparseHeader header;
    if (size < sizeof header) return Fail(WinError::NotAReparsePoint);
    std::memcpy(&header, bytes, sizeof header);
    // Symbolic links carry a flags word before the names; mount points do not.
    size_t names = sizeof header;
    if (header.Tag == IoReparseTag::SymLink) names += sizeof(uint32_t);
    else if (header.Tag != IoReparseTag::MountPoint) return Fail(WinError::NotAReparsePoint);
    if (names + header.SubstituteOffset + header.SubstituteLength > size ||
        names + header.PrintOffset + header.PrintLength > size)
        return Fail(WinError::NotAReparsePoint);
    auto text = [&](uint16_t offset, uint16_t length) {
        WideString result(length / sizeof(WideChar), u'\0');
        std::memcpy(result.data(), bytes + names + offset, result.size() * sizeof(WideChar));
        return result;
    };
    target = text(header.PrintOffset, header.PrintLength);
    // Some tools leave the print name empty.
    if (target.empty()) target = WithoutKernelPrefix(text(header.SubstituteOffset, header.SubstituteLength));
    if (isJunction) *isJunction = header.Tag == IoReparseTag::MountPoint;
    return true;
}

// ---- Raising handle wrappers ----

namespace {
// CreateFile through FileAPI; every failure, a raising descendant's too,
// becomes EFileOpenError naming the path.
TNativeHandle OpenRaising(const WideString& path, uint32_t access, uint32_t shareMode, void* security,
                          uint32_t disposition, uint32_t flags) {
    TNativeHandle handle = InvalidNativeHandle;
    try {
        handle = FileAPI->CreateFile(path, access, shareMode, security, disposition, flags, 0);
    } catch (const std::exception&) {
    }
    if (handle == InvalidNativeHandle) {
        uint32_t code = GetLastErrorCode();
        throw EFileOpenError(TPathText{"", path, ""}, code);
    }
    return handle;
}
}  // namespace

TNativeHandle FileOpen(const WideString& path, uint32_t access, TShareMode shareMode, TDisposition disposition,
                       void* security) {
    return OpenRaising(path, access, shareMode, security, disposition, FileAttr::Normal);
}

int64_t FileSeek(TNativeHandle file, int64_t distance, uint32_t origin) {
    int64_t position = FileAPI->FileSeek(file, distance, origin);
    if (position == -1) throw EFileSeekError();
    return position;
}

int64_t FileGetSize(TNativeHandle file) {
    int64_t size = FileAPI->GetFileSize(file);
    if (size == -1) throw EFileError();
    return size;
}

void FileSetSize(TNativeHandle file, int64_t size) {
    int64_t position = FileAPI->FileSeek(file, 0, SeekOrigin::Current);
    if (position == -1) throw EFileAccessError();
    FileSetSize(file, size, position);
}

void FileSetSize(TNativeHandle file, int64_t size, int64_t newPosition) {
    if (FileAPI->FileSeek(file, size, SeekOrigin::Begin) == -1 || !FileAPI->SetEndOfFile(file) ||
        FileAPI->FileSeek(file, newPosition, SeekOrigin::Begin) == -1)
        throw EFileAccessError();
}

uint32_t FileRead(TNativeHandle file, void* buffer, size_t offset, uint32_t count) {
    uint32_t done = 0;
    if (!FileAPI->ReadFile(file, static_cast<uint8_t*>(buffer) + offset, count, done)) throw EFileReadError();
    return done;
}

uint32_t FileWrite(TNativeHandle file, const void* buffer, size_t offset, uint32_t count) {
    uint32_t done = 0;
    if (!FileAPI->WriteFile(file, static_cast<const uint8_t*>(buffer) + offset, count, done)) throw EFileWriteError();
    return done;
}

void FileClose(TNativeHandle file) {
    if (!FileAPI->CloseHandle(file)) throw EFileAccessError();
}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
        if (Valid()) FileAPI->CloseHandle(FHandle);
        FHandle = other.Detach();
    }
    return *this;
}

TFileHandle::~TFileHandle() {
    if (Valid()) FileAPI->CloseHandle(FHandle);
}

void TFileHandle::Close() {
    if (Valid()) FileClose(Detach());
}

void FlushFile(const WideString& path) {
    TFileHandle file(
        FileAPI->CreateFile(path, FileAccess::Write, FileShare::All, nullptr, FileDisposition::OpenExisting, 0));
    if (!file.Valid() || !FileAPI->FlushFileBuffers(file.Get())) {
        uint32_t code = GetLastErrorCode();
        throw EFileAccessError(TPathText{"Cannot write \"", path, "\" to the disk: " + SystemErrorText(code)}, code);
    }
    file.Close();
}

// ---- File and path helpers ----

bool FileExists(const WideString& path) {
    TNoErrorBoxes quiet;
    uint32_t attributes = FileAPI->GetFileAttributes(path);
    return attributes != FileAttr::Invalid && !(attributes & FileAttr::Directory);
}

bool DirectoryExists(const WideString& path) {
    TNoErrorBoxes quiet;
    uint32_t attributes = FileAPI->GetFileAttributes(path);
    return attributes != FileAttr::Invalid && (attributes & FileAttr::Directory);
}

void DeleteFile(const WideString& path) {
    if (FileAPI->DeleteFile(path)) return;
    if (!FileExists(path)) return;
    // Read-only files refuse deletion until the attribute is gone.
    uint32_t attributes = FileAPI->GetFileAttributes(path);
    FileAPI->SetFileAttributes(path, FileAttr::Normal);
    if (FileAPI->DeleteFile(path)) return;
    uint32_t code = GetLastErrorCode();
    FileAPI->SetFileAttributes(path, attributes);
    throw EFileAccessError(code);
}

bool ForceDirectories(const WideString& path) {
    if (path.empty()) return false;
    if (DirectoryExists(path)) return true;
    WideString folder = ExcludeTrailingBackslash(path);
    WideString parent = ExtractFilePath(folder, true);
    // A relative path's first folder has no parent to make.
    if (!parent.empty() && !ForceDirectories(parent)) return false;
    // Someone else may have made it meanwhile; that is success as well.
    if (FileAPI->CreateDirectory(folder)) return true;
    uint32_t code = GetLastErrorCode();  // the look that follows would replace it
    return DirectoryExists(folder) || Fail(code);
}

bool IsLinkEntry(uint32_t attributes, uint32_t reparseTag) {
    return (attributes & FileAttr::ReparsePoint) &&
           (reparseTag == IoReparseTag::SymLink || reparseTag == IoReparseTag::MountPoint || reparseTag == 0);
}

bool IsOpaqueLink(uint32_t attributes, uint32_t reparseTag) {
    return (attributes & FileAttr::ReparsePoint) && reparseTag == 0;
}

namespace {
bool DeleteFolderContents(const WideString& folder, uint32_t attributes);

bool DeleteEntry(const WideString& path, uint32_t attributes, uint32_t tag) {
    if (!(attributes & FileAttr::Directory)) {
        if (attributes & FileAttr::ReadOnly) FileAPI->SetFileAttributes(path, FileAttr::Normal);
        return FileAPI->DeleteFile(path);
    }
    // Links to folders are removed as links; opaque ones are left alone.
    if (IsOpaqueLink(attributes, tag)) return Fail(WinError::CantAccessFile);
    if (IsLinkEntry(attributes, tag)) return FileAPI->RemoveDirectory(path);
    return DeleteFolderContents(path, attributes);
}

bool DeleteFolderContents(const WideString& folder, uint32_t attributes) {
    // A read-only folder loses the attribute first (on POSIX it also guards
    // the entries); it gets it back if something inside stays.
    bool readOnly = attributes & FileAttr::ReadOnly;
    if (readOnly && !FileAPI->SetFileAttributes(folder, FileAttr::Directory)) return false;
    bool ok = true;
    try {
        FindFiles(folder, u"*.*", [&](int32_t, TFileInfo* info, bool& stop) {
            ok = DeleteEntry(JoinPath(folder, info->Name), info->Attributes, info->ReparseTag);
            stop = !ok;
            return ok;
        });
    } catch (const EFileError& e) {
        SetLastErrorCode(e.ErrorCode);
        ok = false;
    }
    if (ok) ok = FileAPI->RemoveDirectory(folder);
    if (!ok && readOnly) {
        uint32_t code = GetLastErrorCode();
        FileAPI->SetFileAttributes(folder, attributes);
        SetLastErrorCode(code);
    }
    return ok;
}
}  // namespace

bool DeleteFolderTree(const WideString& path) {
    WideString folder = NormalizedPath(path);
    if (folder.empty()) return false;
    uint32_t attributes = FileAPI->GetFileAttributes(folder);
    if (attributes == FileAttr::Invalid) return false;
    if (!(attributes & FileAttr::Directory)) return Fail(WinError::Directory);
    uint32_t tag = 0;
    TFindData data;
    if ((attributes & FileAttr::ReparsePoint) && FileAPI->GetFileData(folder, data)) tag = data.ReparseTag;
    return DeleteEntry(folder, attributes, tag);
}

WideString GetCurrentFolder(bool withBackslash) {
    WideString folder = FileAPI->GetCurrentDirectory();
    return withBackslash ? IncludeTrailingBackslash(folder) : ExcludeTrailingBackslash(folder);
}

bool SetCurrentFolder(const WideString& path) { return FileAPI->SetCurrentDirectory(path); }

// ---- Listings ----

void TFileInfo::Assign(const WideString& folder, const TFindData& data, int32_t index) {
    Name = data.FileName;
    size_t dot = Name.rfind(u'.');
    ExtPos = (int32_t)(dot == WideString::npos ? Name.size() + 1 : dot + 1);
    ShortName = data.AlternateFileName.empty() ? Name : data.AlternateFileName;
    Attributes = (uint16_t)data.Attributes;
    IsFolder = data.Attributes & FileAttr::Directory;
    IsFile = !IsFolder;
    Size = IsFolder ? 0 : (int64_t)data.Size;
    SizeOnDisk = Size;
    if (IsFile && (data.Attributes & FileAttr::Compressed)) {
        int64_t compressed = FileAPI->GetCompressedFileSize(JoinPath(folder, Name));
        if (compressed != -1) SizeOnDisk = compressed;
    }
    CreationTime = FileTimeToLocal(data.CreationTime);
    LastAccessTime = FileTimeToLocal(data.LastAccessTime);
    LastWriteTime = FileTimeToLocal(data.LastWriteTime);
    CreationFileTime = data.CreationTime;
    LastAccessFileTime = data.LastAccessTime;
    LastWriteFileTime = data.LastWriteTime;
    Index = index;
    ReparseTag = data.ReparseTag;
}

namespace {
bool IsDotEntry(const WideString& name) { return name == u"." || name == u".."; }

template <class E>
[[noreturn]] void RaiseNaming(uint32_t code, const WideString& path) {
    E error(code);
    error.Path = path;
    throw error;
}

// The error names the entry the listing stopped at where the system tells
// it (one that could not be looked at), else the folder.
[[noreturn]] void RaiseFolderError(uint32_t code, const WideString& folder, const TFindData& failed) {
    WideString path = failed.FileName.empty() ? ExcludeTrailingBackslash(folder) : JoinPath(folder, failed.FileName);
    if (code == WinError::PathNotFound) RaiseNaming<EFolderNotFound>(code, path);
    if (code == WinError::AccessDenied) RaiseNaming<EFolderAccessDenied>(code, path);
    RaiseNaming<EFolderError>(code, path);
}

// The next entry of a search into a fresh record: a failure leaves no name
// of the entry before it.
bool NextEntry(TNativeHandle search, TFindData& data) {
    data = TFindData();
    return FileAPI->FindNext(search, data);
}

// A chain of links that all deny listing ends here instead of looping.
constexpr int MaxLinkHops = 8;

int32_t FindFilesIn(const WideString& folder, const WideString& pattern, const TFindFilesCallback& callback, int hops) {
    TFindData data;
    TNativeHandle handle = FileAPI->FindFirst(JoinPath(folder, pattern), data);
    if (handle == InvalidNativeHandle) {
        uint32_t code = GetLastErrorCode();
        if (code == WinError::FileNotFound) return 0;
        if (code == WinError::AccessDenied && hops < MaxLinkHops) {
            WideString link = ExcludeTrailingBackslash(folder);
            uint32_t attributes = FileAPI->GetFileAttributes(link);
            WideString target;
            if (attributes != FileAttr::Invalid && (attributes & FileAttr::ReparsePoint) &&
                FileAPI->GetReparseTarget(link, target) && !target.empty()) {
                // A relative link target is relative to the link's own folder.
                if (!IsAbsolutePath(target)) target = JoinPath(ExtractFilePath(link, true), target);
                return FindFilesIn(target, pattern, callback, hops + 1);
            }
        }
        RaiseFolderError(code, folder, data);
    }
    TScopeExit close([handle] { FileAPI->FindClose(handle); });
    int32_t accepted = 0;
    int32_t index = 0;
    bool stop = false;
    for (bool more = true; more; more = NextEntry(handle, data)) {
        if (IsDotEntry(data.FileName)) continue;
        TRef<TFileInfo> info = MakeRef<TFileInfo>();
        info->Assign(folder, data, index);
        if (callback(index, info.Get(), stop)) ++accepted;
        ++index;
        if (stop) return accepted;
    }
    uint32_t code = GetLastErrorCode();
    if (code != WinError::NoMoreFiles && code != WinError::Success) RaiseFolderError(code, folder, data);
    return accepted;
}
}  // namespace

int32_t FindFiles(const WideString& folder, const WideString& pattern, const TFindFilesCallback& callback) {
    return FindFilesIn(folder, pattern, callback, 0);
}

TFindFilesCallback FileInfoCollector(TList* list) {
    return [list](int32_t, TFileInfo* info, bool&) {
        AddRef(info);
        if (list->Add(info) >= 0) return true;
        Release(info);
        return false;
    };
}

TRef<TFileInfo> GetFileInfo(const WideString& path) {
    WideString target = ExcludeTrailingBackslash(path);
    TFindData data;
    if (!FileAPI->GetFileData(target, data)) throw EFileError();
    TRef<TFileInfo> info = MakeRef<TFileInfo>();
    info->Assign(ExtractFilePath(target, false), data, 0);
    return info;
}

namespace {
void SetHandleTimes(TNativeHandle file, TFileTime creation, TFileTime lastAccess, TFileTime lastWrite) {
    if (!FileAPI->SetFileTime(file, creation ? &creation : nullptr, lastAccess ? &lastAccess : nullptr,
                              lastWrite ? &lastWrite : nullptr))
        throw EFileAccessError();
}

TFileTime ToFileTime(const TSystemTime& time) { return time.Year == 0 ? TFileTime(0) : LocalToFileTime(time); }
}  // namespace

void SetFileTimes(const WideString& path, TFileTime creation, TFileTime lastAccess, TFileTime lastWrite) {
    TFileHandle file(OpenRaising(path, FileAccess::Write, FileShare::All, nullptr, FileDisposition::OpenExisting,
                                 FileFlag::BackupSemantics));
    SetHandleTimes(file.Get(), creation, lastAccess, lastWrite);
    file.Close();
}

void SetFileTimes(const WideString& path, const TSystemTime& creation, const TSystemTime& lastAccess,
                  const TSystemTime& lastWrite) {
    SetFileTimes(path, ToFileTime(creation), ToFileTime(lastAccess), ToFileTime(lastWrite));
}

void SetFileTimes(TNativeHandle file, const TSystemTime& creation, const TSystemTime& lastAccess,
                  const TSystemTime& lastWrite) {
    // Each conversion consults the time zone; entries mostly carry one time.
    TFileTime written = ToFileTime(lastWrite);
    auto same = [&](const TSystemTime& time) { return time == lastWrite ? written : ToFileTime(time); };
    SetHandleTimes(file, same(creation), same(lastAccess), written);
}
