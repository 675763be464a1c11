#include "Archivers/Zip/FileUnzipper.h"
#include "Archivers/Zip/NameRules.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Compression/InflateStream.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CodePages.h"
#include "Foundation/Format.h"
#include "Foundation/ScopeExit.h"
#include "Foundation/SysError.h"
#include "Streams/FileStream.h"

namespace {

// Names are checked as the directory is read: the tree quietly drops names
// it cannot place (a leading separator), and those must be refused too.
class TCheckedZipArchive : public TZipArchive {
public:
    // Names equal but for case are apart where the file system keeps them
    // apart, and refused where it does not.
    TCheckedZipArchive() { IgnoreCase = false; }

    TArchItem* CreateItem(const WideString& path, bool isFolder) override {
        CheckEntryName(path);
        return TZipArchive::CreateItem(path, isFolder);
    }
};

// "The entry "<name>"", the name as the archive stores it.
AnsiString TheEntry(TArchItem* item) { return "The entry \"" + WideToAnsi(StoredPath(item->Path())) + "\""; }

// Methods other tools write, for a message a user can look up.
AnsiString MethodText(uint16_t method) {
    static const std::pair<uint16_t, const char*> names[] = {
        {1, "Shrink"},     {6, "Implode"}, {9, "Deflate64"}, {12, "BZip2"},   {14, "LZMA"},
        {93, "Zstandard"}, {95, "XZ"},     {96, "JPEG"},     {97, "WavPack"}, {98, "PPMd"}};
    AnsiString text = Format("compression method %d", (int)method);
    for (auto [number, name] : names)
        if (number == method) text += AnsiString(" (") + name + ")";
    return text;
}

// What makes an entry impossible to unpack, said before anything is written.
void CheckUnpackable(TZipArchive* archive, TZipItem* entry) {
    TArchItem* item = entry->Item;
    if (!item || item->IsFolder()) return;
    if (item->Attributes().Contains(TArchAttribute::Encrypted))
        throw EArchiveError(TheEntry(item) + " is password-protected and cannot be unpacked");
    if (!archive->Unpacker(entry->Method))
        throw EArchiveError(TheEntry(item) + " uses " + MethodText(entry->Method) + ", which cannot be unpacked");
}

void MakeFolder(const WideString& folder) {
    if (ForceDirectories(folder)) return;
    uint32_t code = GetLastErrorCode();
    throw EFileAccessError("Cannot create \"" + WideToAnsi(folder) + "\": " + SystemErrorText(code), code);
}

TRef<TFileStream> OpenForReading(const WideString& zipPath) {
    return MakeRef<TFileStream>(zipPath, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
}

// An unpack stream does not stop at the item's end by itself: the item's
// size is copied, and data that ends early or does not inflate is damage.
void CopyEntryData(TArchItem* item, TStream* stream, TStream* out) {
    int64_t copied = 0;
    try {
        copied = out->CopyFrom(stream, int64_t(item->Size));
    } catch (const EZDecompressionError& e) {
        // zlib's "buffer error": the input ran out before the data ended.
        if (e.Message() != zError(Z_BUF_ERROR))
            throw EArchiveBroken(TheEntry(item) + " is damaged: its compressed data is invalid");
    }
    if (copied != int64_t(item->Size)) throw EArchiveBroken(TheEntry(item) + " is truncated: its data ends early");
}

// Everything an entry carried over by a repack keeps.
TEntryForm FormOf(TZipArchive* archive, TZipItem* entry, int32_t order) {
    bool unix = entry->HostSystem == ZipHost::Unix;
    TEntryForm form{unix, (entry->Flags & ZipFlag::Utf8) != 0, entry->ExternalAttributes, entry->NameBytes};
    form.Order = order;
    form.HasHost = true;
    form.Host = entry->HostSystem;
    form.DataDescriptor = (entry->Flags & ZipFlag::DataDescriptor) != 0;
    form.HasDosTime = true;
    form.DosTime = SystemTimeToDos(entry->Item->ModifiedTime);
    form.SetStored(archive->LocalExtraField(entry), entry->CentralExtra, entry->CommentBytes);
    return form;
}

}  // namespace

TRef<TZipArchive> TFileUnzipper::OpenChecked(const WideString& zipPath, TStream* file) {
    EntryForms.Clear();
    TRef<TZipArchive> archive = MakeRef<TCheckedZipArchive>();
    FCallBack = MakeRef<TDefaultCallBack>();
    FCallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* stream) { ExtractItem(sender, stream); };
    FCallBack->OnError = [](TArchiveCallBack* sender, const AnsiString&) {
        throw EArchiveBroken(TheEntry(sender->CurrentItem) + " is damaged: its data does not match its checksum");
    };
    FCallBack->OnHeaderError = [](TArchiveCallBack* sender, const AnsiString&) {
        throw EArchiveBroken(TheEntry(sender->CurrentItem) + " is damaged: its local header is missing");
    };
    if (OnProgress) FCallBack->TotalProgress->OnChange = OnProgress;
    archive->CallBack = FCallBack.Get();
    archive->SetStream(file);
    archive->Open();
    DirectoryRecovered = archive->Structure->Offset < 0;
    if (DirectoryRecovered && RequireSoundDirectory)
        throw EArchiveBroken("The archive \"" + WideToAnsi(zipPath) +
                             "\" is damaged: its central directory is missing or unreadable");
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TZipItem* entry = archive->Structure->Entry(i);
        CheckEntryName(entry->Name());
        CheckUnpackable(archive.Get(), entry);
    }
    CheckNamesFitFileSystem(archive.Get(), zipPath);
    if (KeepEntryForms) {
        EntryForms.Reserve(size_t(archive->Structure->Count()));
        EntryForms.ArchiveComment = archive->Structure->CommentBytes;
        for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
            TZipItem* entry = archive->Structure->Entry(i);
            // A name of separators only belongs to no path.
            if (entry->Item && entry->Item != archive.Get())
                EntryForms.Add(entry->Item->Path(), FormOf(archive.Get(), entry, i));
        }
    }
    return archive;
}

void TFileUnzipper::Inspect(const WideString& zipPath, const std::function<void(TZipArchive* archive)>& look) {
    TRef<TFileStream> file = OpenForReading(zipPath);
    TRef<TZipArchive> archive = OpenChecked(zipPath, file.Get());
    look(archive.Get());
}

void TFileUnzipper::Verify(const WideString& zipPath) {
    TRef<TFileStream> file = OpenForReading(zipPath);
    TRef<TZipArchive> archive = OpenChecked(zipPath, file.Get());
    FVerifying = true;
    const TScopeExit done([this] { FVerifying = false; });
    archive->MarkExtract();
    archive->Extract();
}

void TFileUnzipper::Unzip(const WideString& zipPath, const WideString& destFolder) {
    DestFolder = IncludeTrailingBackslash(destFolder);
    FMadeFolders.clear();
    TRef<TFileStream> file = OpenForReading(zipPath);
    TRef<TZipArchive> archive = OpenChecked(zipPath, file.Get());
    MakeFolder(DestFolder);
    archive->MarkExtract();
    archive->Extract();
    MakeFolders(archive.Get());
}

// Folder entries become folders, empty ones too, with their times set once
// nothing more is written into them.
void TFileUnzipper::MakeFolders(TZipArchive* archive) {
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TArchItem* item = archive->Structure->Entry(i)->Item;
        if (!item || item == archive || !item->IsFolder()) continue;
        MakeFolder(DestFolder + NativePath(item->Path()));
    }
    for (int32_t i = 0; i < archive->Structure->Count(); ++i) {
        TArchItem* item = archive->Structure->Entry(i)->Item;
        if (!item || item == archive || !item->IsFolder()) continue;
        try {
            SetFileTimes(DestFolder + NativePath(item->Path()), item->CreatedTime, item->AccessedTime,
                         item->ModifiedTime);
        } catch (...) {
            // The times are a courtesy; the content is what counts.
        }
    }
}

void TFileUnzipper::ExtractItem(TArchiveCallBack* callback, TStream* stream) {
    TArchItem* item = callback->CurrentItem;
    if (FVerifying) {
        TRef<TNullStream> sink = MakeRef<TNullStream>();
        CopyEntryData(item, stream, sink.Get());
        return;
    }
    WideString target = DestFolder + NativePath(item->Path());
    WideString folder = ExtractFilePath(target, false);
    if (!FMadeFolders.count(folder)) {
        ForceDirectories(folder);
        FMadeFolders.insert(folder);
    }
    {
        TRef<TFileStream> out =
            MakeRef<TFileStream>(target, FileAccess::Write, FileShare::Read, FileDisposition::CreateAlways);
        CopyEntryData(item, stream, out.Get());
        // Set on the open file, after its last write, so that no write moves them.
        try {
            SetFileTimes(out->Handle(), item->CreatedTime, item->AccessedTime, item->ModifiedTime);
        } catch (...) {
            // The times are a courtesy; the content is what counts.
        }
        out->Close();
    }
}
