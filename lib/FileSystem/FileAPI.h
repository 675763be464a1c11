// Wide-character file system services. Every file system call of the library
// goes through the object FileAPI points at, so that a descendant of TFileAPI
// can redirect or simulate the file system (tests inject failures this way).
// Path text is FileSystem/Paths.h, included here as nearly every caller needs it.
//
// Codes, flags and attributes have their Windows values on every platform;
// the POSIX side gives each operation its Windows meaning.
#pragma once
#include <cstddef>
#include <functional>
#include <utility>
#include "FileSystem/Paths.h"
#include "Foundation/CodePages.h"
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"

namespace FileAccess {
constexpr uint32_t None = 0;
constexpr uint32_t Read = 0x80000000;   // GENERIC_READ
constexpr uint32_t Write = 0x40000000;  // GENERIC_WRITE
constexpr uint32_t ReadWrite = Read | Write;
}  // namespace FileAccess

// What others may do with a file while it is open. One 8-bit type from the
// caller to the file stream; the system call widens it.
using TShareMode = uint8_t;
namespace FileShare {
constexpr TShareMode None = 0;
constexpr TShareMode Read = 1;
constexpr TShareMode Write = 2;
constexpr TShareMode Delete = 4;
constexpr TShareMode All = Read | Write | Delete;
}  // namespace FileShare

// What an open does when the file exists or not; 8 bits like the share mode.
using TDisposition = uint8_t;
namespace FileDisposition {
constexpr TDisposition CreateNew = 1;
constexpr TDisposition CreateAlways = 2;
constexpr TDisposition OpenExisting = 3;
constexpr TDisposition OpenAlways = 4;
constexpr TDisposition TruncateExisting = 5;
}  // namespace FileDisposition

namespace FileFlag {
constexpr uint32_t BackupSemantics = 0x02000000;
}  // namespace FileFlag

namespace FileAttr {
constexpr uint32_t ReadOnly = 0x01;
constexpr uint32_t Hidden = 0x02;
constexpr uint32_t System = 0x04;
constexpr uint32_t Directory = 0x10;
constexpr uint32_t Archive = 0x20;
constexpr uint32_t Normal = 0x80;
constexpr uint32_t ReparsePoint = 0x400;
constexpr uint32_t Compressed = 0x800;
constexpr uint32_t Invalid = 0xFFFFFFFF;  // GetFileAttributes failed
}  // namespace FileAttr

namespace SeekOrigin {
constexpr uint32_t Begin = 0;
constexpr uint32_t Current = 1;
constexpr uint32_t End = 2;
}  // namespace SeekOrigin

namespace MoveFlag {
constexpr uint32_t ReplaceExisting = 1;
}  // namespace MoveFlag

namespace IoReparseTag {
constexpr uint32_t MountPoint = 0xA0000003;
constexpr uint32_t SymLink = 0xA000000C;
}  // namespace IoReparseTag

// One entry of a search, in the layout of the system's find data.
struct TFindData {
    uint32_t Attributes = 0;
    TFileTime CreationTime = 0;
    TFileTime LastAccessTime = 0;
    TFileTime LastWriteTime = 0;
    uint64_t Size = 0;
    uint32_t ReparseTag = 0;  // IoReparseTag, for entries with FileAttr::ReparsePoint
    uint32_t UnixMode = 0;    // type and permission bits (POSIX); 0 on Windows
    WideString FileName;
    WideString AlternateFileName;  // 8.3 name; empty when there is none
};

class TFileAPI : public TRefObject {
public:
    // Module 0 is the running program.
    virtual WideString GetModuleFileName(TNativeHandle module);
    virtual WideString GetCommandLine();
    virtual WideString GetCurrentDirectory();
    virtual bool SetCurrentDirectory(const WideString& path);
    // InvalidNativeHandle on failure (last error set).
    virtual TNativeHandle FindFirst(const WideString& pattern, TFindData& data);
    virtual bool FindNext(TNativeHandle search, TFindData& data);
    virtual bool FindClose(TNativeHandle search);
    // FileAttr::Invalid on failure.
    virtual uint32_t GetFileAttributes(const WideString& path);
    virtual bool SetFileAttributes(const WideString& path, uint32_t attributes);
    virtual bool CreateDirectory(const WideString& path, void* security = nullptr);
    virtual bool RemoveDirectory(const WideString& path);
    // InvalidNativeHandle on failure (last error set).
    virtual TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t shareMode, void* security,
                                     uint32_t disposition, uint32_t flags, TNativeHandle templateFile = 0);
    // -1 on failure.
    virtual int64_t GetFileSize(TNativeHandle file);
    // The find data of an open file: what was opened, whatever its name
    // leads to meanwhile. The names stay empty, and so does what the system
    // reads from a name (POSIX: Hidden).
    virtual bool GetFileDataByHandle(TNativeHandle file, TFindData& data);
    virtual bool CloseHandle(TNativeHandle handle);
    virtual bool MoveFile(const WideString& oldPath, const WideString& newPath, uint32_t flags);
    // Moves replacement over target, keeping the target's owner and group
    // (POSIX, as far as the user may give them) or security descriptor and
    // attributes (Windows). A missing target is simply moved to.
    virtual bool ReplaceFile(const WideString& replacement, const WideString& target);
    virtual bool DeleteFile(const WideString& path);
    // A second name for an existing file, never one that exists already;
    // false (last error set) where the file system has no such names.
    virtual bool CreateHardLink(const WideString& existing, const WideString& newName);
    // Major version in the high 16 bits, minor in the low 16; 0xFFFFFFFF when
    // the file has no version.
    virtual uint32_t GetFileVersion(const WideString& path);
    // True with the system's short form when it has one of at most 260
    // characters; otherwise false and the path unchanged. Either way in the
    // system's ANSI code page, for an 8-bit system call (not UTF-8 text).
    virtual bool GetShortPathName(const WideString& path, TByteString& shortPath);

    // Handle operations. Kept virtual as well, so that a descendant can
    // simulate read, write and seek failures.
    // New position, or -1 on failure.
    virtual int64_t FileSeek(TNativeHandle file, int64_t distance, uint32_t origin);
    virtual bool SetEndOfFile(TNativeHandle file);
    // Room for size bytes of a new, empty file before they are written from
    // its start, where the system allocates a set size at once (Windows: one
    // allocation instead of one per write). Nothing where a set size is a
    // hole that allocates nothing (POSIX).
    virtual bool ReserveFileSize(TNativeHandle file, int64_t size);
    // Puts what was written to file on the disk before returning.
    virtual bool FlushFileBuffers(TNativeHandle file);
    // Starts putting what was written to file on the disk and returns at
    // once, so that a later flush waits for little; only a hint.
    virtual void StartFlushFileBuffers(TNativeHandle file);
    // Puts a folder's entries (names moved in or out) on the disk. Where
    // the system does that with the move itself, it does nothing.
    virtual bool FlushFolder(const WideString& path);
    // Whether FlushVolume puts everything written to a volume on the disk
    // in one call, so that writers need not flush file by file.
    virtual bool FlushesVolumes();
    // Puts every file's data and every folder's entries on the volume that
    // holds folder on the disk; false where the system cannot (see above).
    virtual bool FlushVolume(const WideString& folder);
    // The bytes this user may still write on the volume that holds folder.
    virtual bool GetAvailableSpace(const WideString& folder, uint64_t& bytes);
    virtual bool ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done);
    virtual bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done);
    // Copies count bytes from source's position to target's inside the
    // system (a file system may even share the blocks); false with
    // WinError::NotSupported where it cannot, and the caller copies itself.
    virtual bool CopyFileData(TNativeHandle source, TNativeHandle target, uint32_t count, uint32_t& done);
    // Gives a file open for writing the attributes in from, and on POSIX
    // the permission bits of from.UnixMode, set-id bits too, where it is
    // known: no look-up by name.
    virtual bool SetFileAttributesByHandle(TNativeHandle file, const TFindData& from);
    // Null times are left unchanged.
    virtual bool SetFileTime(TNativeHandle file, const TFileTime* creation, const TFileTime* lastAccess,
                             const TFileTime* lastWrite);
    // The size a compressed file takes on disk; -1 on failure.
    virtual int64_t GetCompressedFileSize(const WideString& path);
    // The target of a junction or symbolic link as meant for display. False
    // when path is no link the system understands.
    virtual bool GetReparseTarget(const WideString& path, WideString& target, bool* isJunction = nullptr);
    // The find data of the one entry path names ("?" and "*" are no
    // wildcards here); false (last error set) when there is none.
    virtual bool GetFileData(const WideString& path, TFindData& data);
};

// The object every file system call goes through; set by the library's
// start-up to a TFileAPI.
extern TFileAPI* FileAPI;
void InitFileAPI();
void DoneFileAPI();
// Installs api (borrowed) and returns the previous object.
TFileAPI* SetFileAPI(TFileAPI* api);

// Routes every call through api (borrowed) for the lifetime of a scope.
class TFileAPIScope {
public:
    explicit TFileAPIScope(TFileAPI* api) : FPrevious(SetFileAPI(api)) {}
    ~TFileAPIScope() { SetFileAPI(FPrevious); }
    TFileAPIScope(const TFileAPIScope&) = delete;
    TFileAPIScope& operator=(const TFileAPIScope&) = delete;

private:
    TFileAPI* FPrevious;
};

// The target of a link from its reparse data as the system returns it: the
// print name, or the substitute name without its kernel prefix when the
// print name is empty. False (last error "not a reparse point") for other
// kinds and for data too short for the names it announces.
bool ParseReparseData(const void* data, size_t size, WideString& target, bool* isJunction);

// While alive, the system shows no error boxes for critical errors (an
// empty card drive) on this thread.
class TNoErrorBoxes {
public:
    TNoErrorBoxes();
    ~TNoErrorBoxes();
    TNoErrorBoxes(const TNoErrorBoxes&) = delete;
    TNoErrorBoxes& operator=(const TNoErrorBoxes&) = delete;

private:
    [[maybe_unused]] uint32_t FOldMode;  // POSIX has no such mode
};

// ---- Raising handle wrappers ----

// CreateFile through FileAPI with attributes "normal"; raises EFileOpenError
// whose message is the path.
TNativeHandle FileOpen(const WideString& path, uint32_t access, TShareMode shareMode, TDisposition disposition,
                       void* security = nullptr);
// Returns the new position; raises EFileSeekError.
int64_t FileSeek(TNativeHandle file, int64_t distance, uint32_t origin);
// Raises EFileError.
int64_t FileGetSize(TNativeHandle file);
// Sets the end of file at size and moves back to the position before the
// call, or to newPosition. Raises EFileAccessError.
void FileSetSize(TNativeHandle file, int64_t size);
void FileSetSize(TNativeHandle file, int64_t size, int64_t newPosition);
// Transfer count bytes at buffer + offset; return the bytes moved. Raise
// EFileReadError / EFileWriteError.
uint32_t FileRead(TNativeHandle file, void* buffer, size_t offset, uint32_t count);
uint32_t FileWrite(TNativeHandle file, const void* buffer, size_t offset, uint32_t count);
// Raises EFileAccessError.
void FileClose(TNativeHandle file);
// Puts a written file's data on the disk; raises EFileAccessError naming it.
void FlushFile(const WideString& path);

// Owns one file handle: closes it when the holder goes, quietly if that
// fails; Close() reports the failure.
class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(TNativeHandle handle) : FHandle(handle) {}
    TFileHandle(TFileHandle&& other) noexcept : FHandle(other.Detach()) {}
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    ~TFileHandle();
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    TNativeHandle Get() const { return FHandle; }
    bool Valid() const { return FHandle != InvalidNativeHandle; }
    TNativeHandle Detach() { return std::exchange(FHandle, InvalidNativeHandle); }
    // Raises EFileAccessError.
    void Close();

private:
    TNativeHandle FHandle = InvalidNativeHandle;
};

// ---- File and path helpers ----

bool FileExists(const WideString& path);
bool DirectoryExists(const WideString& path);
// Deletes a file, read-only ones too; a missing file is no error. Raises
// EFileAccessError (attributes left as they were) when the file stays.
void DeleteFile(const WideString& path);
// Makes path and every missing folder above it.
bool ForceDirectories(const WideString& path);
// Deletes a folder with everything in it. Links are removed as links, never
// followed; a link of unknown kind ends the walk with false. The path is
// normalised first ("a//b/./" is "a/b"), so a link named by a longer
// spelling is removed as a link as well.
bool DeleteFolderTree(const WideString& path);
// Whether an entry is a link: a symbolic link or junction, or a reparse
// point of unknown kind (tag 0). Other reparse points (cloud placeholders,
// deduplicated files) are the files and folders they look like.
bool IsLinkEntry(uint32_t attributes, uint32_t reparseTag);
// Whether an entry is a reparse point whose kind the system does not tell
// (tag 0: a Unix link seen through wine). Every way of removing or
// replacing it would reach what it leads to; it is left alone.
bool IsOpaqueLink(uint32_t attributes, uint32_t reparseTag);
// Whether both paths lead to one file or folder (links followed): same
// device and inode, or same volume and file index. False when either is
// missing.
bool IsSameFile(const WideString& a, const WideString& b);

WideString GetCurrentFolder(bool withBackslash);
bool SetCurrentFolder(const WideString& path);

// ---- Listings ----

class TFileInfo : public TRefObject {
public:
    WideString Name;
    int32_t ExtPos = 1;  // 1-based position of the last "." in Name, or length + 1
    WideString ShortName;
    uint16_t Attributes = 0;
    bool IsFolder = false;
    int64_t Size = 0;
    int64_t SizeOnDisk = 0;
    TSystemTime CreationTime;  // local time
    TSystemTime LastAccessTime;
    TSystemTime LastWriteTime;
    // The same three times as the system keeps them, for copies: local
    // calendar times are ambiguous in the hour that repeats in autumn.
    TFileTime CreationFileTime = 0;
    TFileTime LastAccessFileTime = 0;
    TFileTime LastWriteFileTime = 0;
    int32_t Index = 0;
    bool IsFile = true;
    // The kind of reparse point (IoReparseTag::...); 0 for other entries.
    uint32_t ReparseTag = 0;

    // Fills the record from one search entry found in folder.
    void Assign(const WideString& folder, const TFindData& data, int32_t index);
};

// The TFileInfo of one path; raises EFileError when it cannot be read.
TRef<TFileInfo> GetFileInfo(const WideString& path);

// Sets the three times (local calendar times) of a file or folder; a time
// whose year is 0 stays as it is. Raises EFileOpenError / EFileAccessError.
void SetFileTimes(const WideString& path, const TSystemTime& creation, const TSystemTime& lastAccess,
                  const TSystemTime& lastWrite);

// The same with the times as the system keeps them; a time of 0 stays as it is.
void SetFileTimes(const WideString& path, TFileTime creation, TFileTime lastAccess, TFileTime lastWrite);

// The same on a file already open for writing: no second open by name.
void SetFileTimes(TNativeHandle file, const TSystemTime& creation, const TSystemTime& lastAccess,
                  const TSystemTime& lastWrite);

// Called for every entry of a listing but "." and ".."; the record is
// borrowed for the call. True counts the entry; setting stop ends the walk.
using TFindFilesCallback = std::function<bool(int32_t index, TFileInfo* info, bool& stop)>;

// Lists folder with pattern and returns the number of accepted entries.
// Raises EFolderNotFound, EFolderAccessDenied or EFolderError.
int32_t FindFiles(const WideString& folder, const WideString& pattern, const TFindFilesCallback& callback);

class TList;
// The standard callback: appends every entry's TFileInfo to list (borrowed),
// which holds one reference to each; give them back with FreeAll.
TFindFilesCallback FileInfoCollector(TList* list);
