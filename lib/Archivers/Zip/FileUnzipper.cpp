#include "Archivers/Zip/FileUnzipper.h"
#include <algorithm>
#include <string>
#include <vector>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/NameRules.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/Paths.h"
#include "Foundation/SysError.h"
#include "Streams/FileStream.h"

namespace {

// Names are checked once the directory is read, as stored: refused while
// it is read, they would be taken for damage and send it to a scan.
class TCheckedZipArchive : public TZipArchive {
public:
    // Names equal but for case are apart where the file system keeps them
    // apart, and refused where it does not.
    explicit TCheckedZipArchive(WideString& writing) : FWriting(writing) { IgnoreCase = false; }

protected:
    // An entry refused once its file was begun (damaged data, a wrong
    // checksum) leaves no file; what was extracted before it stays.
    void ExtractMarkedEntry(TZipItem* entry) override {
        FWriting.clear();
        try {
            TZipArchive::ExtractMarkedEntry(entry);
        } catch (...) {
            if (!FWriting.empty()) FileAPI->DeleteFile(FWriting);
            FWriting.clear();
            throw;
        }
        FWriting.clear();
    }

private:
    WideString& FWriting;
};

// What the entries unpack to must fit where they go; checked on the
// nearest folder that exists, before anything is made.
void CheckFreeSpace(TZipArchive* archive, const WideString& destFolder) {
    uint64_t needed = 0;
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) {
        TArchItem* item = archive->Structure()->Entry(i)->Item;
        if (item && item != archive && !item->IsFolder()) needed += std::min<uint64_t>(item->Size, UINT64_MAX - needed);
    }
    WideString folder = ExcludeTrailingBackslash(destFolder);
    while (!folder.empty() && !DirectoryExists(folder)) {
        WideString parent = ExtractFilePath(folder, false);
        if (parent.size() >= folder.size()) break;
        folder = parent;
    }
    uint64_t available = 0;
    if (!FileAPI->GetAvailableSpace(folder.empty() ? WideString(u".") : folder, available) || needed <= available)
        return;
    throw EFileWriteError(TPathText{"Not enough space in \"", ExcludeTrailingBackslash(destFolder),
                                    "\": the archive unpacks to " + std::to_string(needed) + " bytes, and " +
                                        std::to_string(available) + " are free"},
                          WinError::DiskFull);
}

void MakeFolder(const WideString& folder) {
    if (ForceDirectories(folder)) return;
    uint32_t code = GetLastErrorCode();
    throw EFileAccessError(TPathText{"Cannot create \"", folder, "\": " + SystemErrorText(code)}, code);
}

// The times are a courtesy; the content is what counts.
template <class TFile>
void SetTimesOf(const TFile& file, TArchItem* item) {
    try {
        SetFileTimes(file, item->CreatedTime, item->AccessedTime, item->ModifiedTime);
    } catch (...) {
    }
}

}  // namespace

TRef<TZipArchive> TFileUnzipper::OpenChecked(const WideString& zipPath, TStream* file) {
    TRef<TZipArchive> archive = MakeRef<TCheckedZipArchive>(FWriting);
    FCallBack = MakeRef<TDefaultCallBack>();
    FCallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* stream) { ExtractItem(sender, stream); };
    RaiseOnEntryErrors(FCallBack.Get());
    if (OnProgress) FCallBack->TotalProgress->OnChange = OnProgress;
    archive->CallBack = FCallBack.Get();
    archive->SetStream(file);
    archive->Open();
    DirectoryRecovered = archive->DirectoryRecovered();
    CheckHoldsArchive(archive->Structure(), file, zipPath);
    const TZipJudgement judgement(archive.Get());
    judgement.RefuseDamage(zipPath);
    OtherReading = judgement.OtherReadingText();
    CheckArchiveReadable(archive.Get());
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) CheckEntryName(archive->Structure()->Entry(i)->Name());
    CheckNamesFitFileSystem(archive.Get(), zipPath);
    return archive;
}

void TFileUnzipper::Unzip(const WideString& zipPath, const WideString& destFolder) {
    DestFolder = IncludeTrailingBackslash(destFolder);
    FMadeFolders.clear();
    TRef<TFileStream> file =
        MakeRef<TFileStream>(zipPath, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
    TRef<TZipArchive> archive = OpenChecked(zipPath, file.Get());
    CheckFreeSpace(archive.Get(), DestFolder);
    MakeFolder(DestFolder);
    archive->MarkExtract();
    archive->Extract();
    MakeFolders(archive.Get());
}

// Folder entries become folders, empty ones too, with their times set once
// nothing more is written into them.
void TFileUnzipper::MakeFolders(TZipArchive* archive) {
    std::vector<TArchItem*> folders;
    for (int32_t i = 0; i < archive->Structure()->Count(); ++i) {
        TArchItem* item = archive->Structure()->Entry(i)->Item;
        if (item && item != archive && item->IsFolder()) folders.push_back(item);
    }
    for (TArchItem* folder : folders) MakeFolder(DestFolder + NativePath(folder->Path()));
    for (TArchItem* folder : folders) SetTimesOf(DestFolder + NativePath(folder->Path()), folder);
}

void TFileUnzipper::ExtractItem(TArchiveCallBack* callback, TStream* stream) {
    TArchItem* item = callback->CurrentItem;
    WideString target = DestFolder + NativePath(item->Path());
    WideString folder = ExtractFilePath(target, false);
    if (!FMadeFolders.count(folder)) {
        ForceDirectories(folder);
        FMadeFolders.insert(folder);
    }
    TRef<TFileStream> out =
        MakeRef<TFileStream>(target, FileAccess::Write, FileShare::Read, FileDisposition::CreateAlways);
    FWriting = target;
    CopyEntryData(item, stream, out.Get());
    // Set on the open file, after its last write, so that no write moves them.
    SetTimesOf(out->Handle(), item);
    out->Close();
}
