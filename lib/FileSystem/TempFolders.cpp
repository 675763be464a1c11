#include "FileSystem/TempFolders.h"
#include <utility>
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"

WideString TempSubFolderName;

namespace {
const WideString LockExt = u".lock";

// One entry per folder handed out: text = the folder path without trailing
// separator (found again whatever its letter case), object = its open lock
// file or none. Null until the root is resolved.
TStringList* Registry = nullptr;
WideString Root;

bool LocksInUse() { return !TempSubFolderName.empty(); }

// The lock file beside a folder, held open without sharing while the folder
// is in use, so that another process's sweep cannot delete it.
class TLockFile : public TRefObject {
public:
    explicit TLockFile(const WideString& path)
        : FFile(FileOpen(path, FileAccess::ReadWrite, FileShare::None, FileDisposition::CreateAlways)) {}

protected:
    void Dispose() override {
        FFile.Close();
        TRefObject::Dispose();
    }

private:
    TFileHandle FFile;
};

// An empty lock file that nobody holds, so that the next sweep removes the
// folder beside it.
void LeaveUnlockedLock(const WideString& lockPath) {
    try {
        FileClose(FileOpen(lockPath, FileAccess::ReadWrite, FileShare::None, FileDisposition::CreateAlways));
    } catch (const Exception&) {
    }
}

bool DeleteTree(const WideString& folder) {
    try {
        return DeleteFolderTree(folder);
    } catch (const Exception&) {
        return false;
    }
}

// Removes the folders whose lock file nobody holds. The sweep holds the
// lock itself meanwhile: a process that is just making that lock file then
// fails to take it and makes another folder, and the sweep never takes one
// its owner holds. A folder that stays keeps its lock for the next sweep.
void Sweep(const WideString& root) {
    std::vector<WideString> locks;
    try {
        FindFiles(root, u"*" + LockExt, [&](int32_t, TFileInfo* info, bool&) {
            if (!info->IsFolder) locks.push_back(info->Name);
            return true;
        });
    } catch (const Exception&) {
        return;
    }
    for (const WideString& name : locks) {
        const WideString lockPath = root + name;
        TFileHandle claim(FileAPI->CreateFile(lockPath, FileAccess::Read, FileShare::Delete, nullptr,
                                              FileDisposition::OpenExisting, 0));
        if (!claim.Valid()) continue;  // its owner is still running
        const WideString folder = lockPath.substr(0, lockPath.size() - LockExt.size());
        if (!DirectoryExists(folder) || DeleteTree(folder)) FileAPI->DeleteFile(lockPath);
    }
}

// Closes the entry's lock and removes its folder. False when the lock file
// or the folder stays, or the folder was already gone.
bool ReleaseEntry(int index) {
    TStringItem* item = Registry->GetItem(index);
    WideString folder = item->Text();
    WideString lockPath = folder + LockExt;
    if (TRefObject* lock = item->Object()) {
        item->SetObject(nullptr);
        try {
            Free(lock);
        } catch (const Exception&) {
        }
        try {
            DeleteFile(lockPath);
        } catch (const Exception&) {
            if (FileExists(lockPath)) return false;
        }
    }
    if (!DirectoryExists(folder)) return false;
    if (DeleteTree(folder)) return true;
    if (LocksInUse()) LeaveUnlockedLock(lockPath);
    return false;
}
}  // namespace

WideString SystemTempFolder() {
    for (const WideString& candidate : TempFolderCandidates()) {
        WideString folder = ExpandEnvironment(candidate);
        // An unset variable stays unexpanded and names no folder; a set one
        // may hold a '%' of its own ("/tmp/50%off").
        bool unexpanded = folder == candidate && candidate.find(u'%') != WideString::npos;
        if (folder.empty() || unexpanded) continue;
        if (DirectoryExists(folder)) return IncludeTrailingBackslash(folder);
    }
    WideString programFolder = ExtractFilePath(FileAPI->GetModuleFileName(0), true);
    WideString temp = programFolder + u"TEMP";
    if (ForceDirectories(temp)) return IncludeTrailingBackslash(temp);
    return programFolder;
}

WideString GetTempRoot() {
    if (Registry) return Root;
    WideString root = SystemTempFolder();
    if (LocksInUse()) {
        root = IncludeTrailingBackslash(root + PrivateRootName(root, TempSubFolderName));
        // A root that is a link, no folder, or someone else's is never used.
        bool made = DirectoryExists(root) || (ForceDirectories(root) && MakePrivateFolder(root));
        // Deliberate spelling: the text stays as it has always been shown.
        NVX_ASSERT_MSG(made && IsPrivateFolder(root), "ZizureDado Create Error: " + WideToUtf8(root));
        Sweep(root);
    }
    // Deliberate spelling: the text stays as it has always been shown.
    NVX_ASSERT_MSG(DirectoryExists(root), "Temp Path not Found");
    // Remembered only once it stands, so that a failed first use is tried
    // again rather than leaving an empty root behind.
    TStringList* registry = New<TStringList>();
    registry->SetIgnoreCase(true);
    registry->SetSorted(true);
    Registry = registry;
    Root = root;
    return Root;
}

WideString CreateTempFolder(bool withTrailingBackslash) {
    WideString root = GetTempRoot();
    uint32_t lastError = WinError::Success;
    for (int attempt = 0; attempt < TempFolderAttempts; ++attempt) {
        WideString guid = GuidToString(CreateGuid());
        WideString folder = root + u"[" + guid.substr(1, guid.size() - 2) + u"]";
        // The root exists, so one level is all there is to make; failing on
        // an existing name keeps two processes from sharing a folder.
        if (!FileAPI->CreateDirectory(folder)) {
            lastError = GetLastErrorCode();
            continue;
        }
        MakePrivateFolder(folder);
        TLockFile* lock = nullptr;
        if (LocksInUse()) {
            try {
                lock = New<TLockFile>(folder + LockExt);
            } catch (const EFileError& e) {
                lastError = e.ErrorCode;
                continue;
            } catch (const Exception&) {
                lastError = GetLastErrorCode();
                continue;
            }
        }
        Registry->AddObject(folder, lock);
        return withTrailingBackslash ? IncludeTrailingBackslash(folder) : folder;
    }
    throw EFolderError(
        TPathText{"Cannot create a temporary folder in ", root, Format(" (%d attempts)", TempFolderAttempts)},
        lastError);
}

bool DeleteTempFolder(const WideString& path) {
    int index;
    if (!Registry || !Registry->Find(ExcludeTrailingBackslash(path), index) || !ReleaseEntry(index)) return false;
    Registry->Delete(index);
    return true;
}

TTempFolder::TTempFolder(bool withTrailingBackslash) : FPath(CreateTempFolder(withTrailingBackslash)) {}

TTempFolder::~TTempFolder() { DeleteTempFolder(FPath); }

void InitTempFolders() { TempSubFolderName = u"TARVIX_TEMP_ROOT"; }

void DoneTempFolders() {
    if (Registry) {
        for (int i = 0; i < Registry->GetCount(); ++i) ReleaseEntry(i);
        Free(std::exchange(Registry, nullptr));
    }
    Root.clear();
}
