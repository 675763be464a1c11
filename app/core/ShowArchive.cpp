#include "ShowArchive.h"
#include <algorithm>
#include <unordered_set>
#include <utility>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "Archivers/Zip/ZipStructure.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/ScopeExit.h"
#include "Payload.h"
#include "Streams/FileStream.h"
#include "Streams/FilterStream.h"

namespace {

bool IsBundleKey(const WideString& key) { return key.size() > 4 && key.compare(key.size() - 4, 4, u".app") == 0; }

WideString MacKey(const WideString& path) { return TZipNameIndex::MacKey(path); }

TCheckProgress CheckProgress(const TFixProgress& progress) {
    if (!progress) return {};
    return [&progress](uint64_t done, uint64_t total) { progress(TFixStage::Checking, done, total); };
}

}  // namespace

class TShowArchive::TBundleOfArchive : public TBundleView {
public:
    TBundleOfArchive(TShowArchive& show, const WideString& bundle)
        : FShow(show), FIndex(show.FIndex), FBundle(bundle), FPrefix(MacKey(bundle) + u"\\") {}

    int32_t FilesAt(const WideString& path) override { return int32_t(Files(path).size()); }
    bool LinkAt(const WideString& path) override { return FIndex.LinkAt(FPrefix + MacKey(path)); }
    bool HoldsPayload(const WideString& path, TResourceStream& payload) override {
        return FShow.EntryHoldsPayload(Files(path).front(), payload);
    }
    AnsiString Shown(const WideString& path) override { return WideToUtf8(StoredPath(FBundle + u"\\" + path)); }
    bool FolderAt(const WideString& path) override { return FIndex.FolderAt(FPrefix + MacKey(path)); }
    std::vector<WideString> FilesIn(const WideString& folder) override {
        std::vector<WideString> names;
        std::unordered_set<WideString> keys;
        for (TZipItem* entry : FIndex.FilesIn(FPrefix + MacKey(folder)))
            // Twins are one file.
            if (keys.insert(MacKey(entry->Item->Name)).second) names.push_back(entry->Item->Name);
        return names;
    }
    std::vector<WideString> FoldersIn(const WideString& folder) override {
        return FIndex.FoldersIn(FPrefix + MacKey(folder));
    }
    bool Read(const WideString& path, const std::function<void(TStream& data)>& read) override {
        const std::vector<TZipItem*> entries = Files(path);
        return !entries.empty() && FShow.ReadEntry(entries.back(), read, false);
    }

private:
    std::vector<TZipItem*> Files(const WideString& path) { return FIndex.FilesAt(FPrefix + MacKey(path)); }

    TShowArchive& FShow;
    const TZipNameIndex& FIndex;
    const WideString& FBundle;
    const WideString FPrefix;
};

TShowArchive::TShowArchive(TStream* stream, const WideString& path, int32_t workers, TArchiveReaderSource openReader)
    : FPath(path), FArchive(MakeRef<TZipArchive>()), FCallBack(MakeRef<TDefaultCallBack>()) {
    // The tree only carries the entries through the save: what they mean
    // is judged by the index below, so names are kept apart as stored.
    FArchive->IgnoreCase = false;
    FArchive->CallBack = FCallBack.Get();
    FArchive->SetStream(stream);
    FArchive->Open();
    CheckArchiveSound(FArchive.Get(), path, TFileRecords::LeftToEntryCheck);
    FModes = TShowModes(*FArchive->Structure());
    FCheck = std::make_unique<TEntryCheck>(FArchive.Get(), workers, std::move(openReader), FModes.Heads());
    // While the check runs.
    FIndex = TZipNameIndex(*FArchive);
    FModes.KeyEntries();
}

TShowArchive::TShowArchive(TStream* file, const WideString& path)
    : TShowArchive(file, path, DefaultZipWorkers(), [path] { return TRef<TStream>(OpenArchiveForReading(path)); }) {}

TShowArchive::~TShowArchive() = default;

TRef<TFileStream> OpenArchiveForReading(const WideString& path) {
    return MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
}

bool TShowArchive::HoldsPresentation(const WideString& bundleKey) const {
    return !FIndex.FilesAt(bundleKey + u"\\" + MacKey(MarkerInBundle)).empty() &&
           !FIndex.FilesAt(bundleKey + u"\\" + MacKey(ViewerInBundle)).empty();
}

std::vector<WideString> TShowArchive::FindBundles() const {
    const WideString wanted = MacKey(ChangeFileExt(ExtractFileName(FPath), WideString()) + u".app");
    if (const WideString* found = FIndex.TopName(wanted)) return {*found};
    // A browser saves a second download as "Show (1).zip".
    std::vector<WideString> bundles;
    for (const WideString& key : FIndex.TopKeys())
        if (IsBundleKey(key) && HoldsPresentation(key)) bundles.push_back(*FIndex.TopName(key));
    if (!bundles.empty()) return bundles;
    // Zipping the folder a show was exported to puts the show one down.
    for (const auto& [key, files] : FIndex.Folders()) {
        const size_t top = key.find(u'\\');
        if (top == WideString::npos || key.find(u'\\', top + 1) != WideString::npos || !IsBundleKey(key) ||
            key.compare(0, top, u"__macosx") == 0 || !HoldsPresentation(key))
            continue;
        // Contents\Resources\slideshow.dat: three up is the bundle, as stored.
        TArchItem* bundle = FIndex.FilesAt(key + u"\\" + MacKey(MarkerInBundle)).front()->Item;
        for (int up = 0; up < 3; ++up) bundle = bundle->GetParent();
        bundles.push_back(bundle->Path());
    }
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

TJudgedShow TShowArchive::Judge(TResourceStream& payload) {
    NVX_ASSERT_MSG(FStep == TStep::Read, FStep == TStep::Spent ? "The show archive is spent: it was saved"
                                                               : "The show archive is judged once");
    FStep = TStep::Judged;
    TJudgedShow show(*this);
    try {
        show.FBundles = FindBundles();
        if (show.FBundles.size() != 1) {
            JudgeRecordsLeft();
            return show;
        }
        show.FBundle = show.FBundles.front();
        show.FBundles.clear();
        TBundleOfArchive view(*this, show.FBundle);
        show.FState = JudgeBundle(view, payload, show.FResealing);
        if (show.FState == TBundleState::NotAPresentation) {
            show.FBundle.clear();
            JudgeRecordsLeft();
        } else {
            // What cannot be read whole matters only to a show: other
            // archives are passed by whatever their entries.
            CheckArchiveReadable(FArchive.Get());
        }
        return show;
    } catch (const EAbort&) {
        throw;
    } catch (const Exception&) {
        // Damage is what every reader says first.
        JudgeRecordsLeft();
        throw;
    }
}

void TShowArchive::JudgeRecordsLeft() {
    if (FCheck) CheckFileRecords(FArchive.Get());
}

// Size and checksum first; when both match, the entry is unpacked and
// compared byte for byte, so that a checksum collision fixes nothing wrongly.
bool TShowArchive::EntryHoldsPayload(TZipItem* entry, TResourceStream& payload) {
    const int64_t size = payload.GetSize();
    if (!entry->SizesKnown || int64_t(entry->Item->Size) != size) return false;
    TRef<TCrc32Stream> crc = MakeRef<TCrc32Stream>();
    crc->Update(TConstByteSpan(static_cast<const uint8_t*>(payload.Memory()), size_t(size)), 0, int32_t(size));
    if (crc->GetCrc() != entry->Crc32) return false;
    bool same = false;
    // A damaged viewer is no fixed one: the check of every entry meets the damage.
    return ReadEntry(
               entry, [&](TStream& data) { same = StreamHoldsPayload(data, payload); }, true) &&
           same;
}

bool TShowArchive::ReadEntry(TZipItem* entry, const std::function<void(TStream& data)>& read, bool whole) {
    bool sound = true;
    const TScopeExit quiet([this] {
        FCallBack->OnExtractItem = nullptr;
        FCallBack->OnError = FCallBack->OnHeaderError = nullptr;
        FCallBack->Aborted = false;
    });
    FCallBack->OnExtractItem = [&read, whole](TArchiveCallBack* sender, TStream* stream) {
        read(*stream);
        // What is left of a large program need not be unpacked to read its headers.
        if (!whole) sender->SetAborted(true);
    };
    FCallBack->OnError = [&sound](TArchiveCallBack*, const AnsiString&) { sound = false; };
    FCallBack->OnHeaderError = FCallBack->OnError;
    try {
        FArchive->ExtractEntries({entry});
    } catch (const EArchiveAbort&) {
        sound = sound && !whole;
    } catch (const Exception&) {
        sound = false;
    }
    return sound;
}

void TShowArchive::FinishCheck(const TFixProgress& progress) {
    if (!FCheck) return;
    FCheck->Finish(CheckProgress(progress));
    FCheck.reset();
}

void TShowArchive::WaitForCheck(const std::vector<TZipItem*>& entries, const TFixProgress& progress) {
    if (FCheck) FCheck->WaitFor(entries, CheckProgress(progress));
}

TJudgedShow::TJudgedShow(TJudgedShow&& other) noexcept
    : FArchive(std::exchange(other.FArchive, nullptr)),
      FState(other.FState),
      FBundle(std::move(other.FBundle)),
      FBundles(std::move(other.FBundles)),
      FResealing(std::move(other.FResealing)) {}

TShowArchive& TJudgedShow::Archive() const {
    NVX_ASSERT_MSG(FArchive, "The judged show was handed on to its edits");
    NVX_ASSERT_MSG(FArchive->FStep == TShowArchive::TStep::Judged, "The show archive is spent: it was saved");
    return *FArchive;
}

WideString TJudgedShow::ViewerKey() const { return MacKey(FBundle + u"\\" + ViewerInBundle); }

TBundleNotes TJudgedShow::Notes(bool viewerChanged) {
    TShowArchive& archive = Archive();
    TShowArchive::TBundleOfArchive view(archive, FBundle);
    TBundleNotes notes = BundleNotes(view, StoredPath(FBundle), viewerChanged, FResealing);
    // The save keeps the first of the viewer's entries; the user hears of the others.
    const std::vector<TZipItem*> viewers = archive.FIndex.FilesAt(ViewerKey());
    if (viewerChanged && viewers.size() > 1) {
        AnsiString names;
        for (size_t i = 1; i < viewers.size(); ++i)
            names += (i > 1 ? ", \"" : "\"") + WideToUtf8(viewers[i]->Name()) + "\"";
        const size_t others = viewers.size() - 1;
        notes.Lines.push_back((others == 1 ? AnsiString("another copy") : std::to_string(others) + " other copies") +
                              " of the viewer, differing only in case or Unicode form, " +
                              (others == 1 ? "is" : "are") + " removed: " + names);
    }
    return notes;
}

bool TJudgedShow::ModesToJudge(bool newViewer) const {
    return Archive().FModes.ToJudge(MacKey(FBundle), ViewerKey(), newViewer);
}

void TJudgedShow::FinishCheck(const TFixProgress& progress) { Archive().FinishCheck(progress); }

void TJudgedShow::JudgeRecordsLeft() { Archive().JudgeRecordsLeft(); }

std::unordered_map<TArchItem*, uint32_t> TJudgedShow::ModesToGive(bool newViewer) {
    TShowArchive& archive = Archive();
    NVX_ASSERT_MSG(!archive.FCheck, "The modes to give are known once the check is done");
    return archive.FModes.Plan(MacKey(FBundle), ViewerKey(), newViewer);
}

int32_t TJudgedShow::ProgramsToMode(bool newViewer) {
    int32_t programs = 0;
    for (const auto& [item, mode] : ModesToGive(newViewer)) programs += !item->IsFolder() && (mode & 0111) != 0;
    return programs;
}
