#include "ShowArchive.h"
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "Archivers/Zip/ZipStructure.h"
#include "FileSystem/FileAPI.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Clock.h"
#include "Foundation/Normalization.h"
#include "Foundation/ScopeExit.h"
#include "Payload.h"
#include "Streams/FileStream.h"
#include "Streams/FilterStream.h"

namespace {

// The level the zipper packs at.
constexpr int ViewerLevel = 3;

// FNV-1a over a key's UTF-16 units.
constexpr uint64_t HashStart = 14695981039346656037ull;
constexpr uint64_t HashStep(uint64_t hash, char16_t c) { return (hash ^ c) * 1099511628211ull; }

constexpr char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c; }

bool IsUnixLink(const TZipItem* entry) {
    return entry->HostSystem == ZipHost::Unix && UnixMode::IsLink(entry->ExternalAttributes >> 16);
}

// A Mac unpacks an entry without a mode (made elsewhere, or a Unix mode of
// 0) as 0644, or 0755 for a folder.
bool HasUnixMode(const TZipItem* entry) {
    return entry->HostSystem == ZipHost::Unix && (entry->ExternalAttributes >> 16) != 0;
}

// A Unix file someone may read but not run: a program among them cannot start.
bool IsUnrunnable(const TZipItem* entry) {
    const uint32_t mode = entry->ExternalAttributes >> 16;
    return HasUnixMode(entry) && !entry->Item->IsFolder() && UnixMode::IsRegularFile(mode) &&
           UnixMode::WithExecute(mode) != mode;
}

bool IsBundleKey(const WideString& key) { return key.size() > 4 && key.compare(key.size() - 4, 4, u".app") == 0; }

}  // namespace

class TShowArchive::TBundleOfArchive : public TBundleView {
public:
    TBundleOfArchive(TShowArchive& show) : FShow(show), FPrefix(MacKey(show.FBundle) + u"\\") {}

    int32_t FilesAt(const WideString& path) override { return int32_t(Files(path).size()); }
    bool LinkAt(const WideString& path) override { return FShow.FLinks.count(FPrefix + MacKey(path)) != 0; }
    bool HoldsPayload(const WideString& path, TResourceStream& payload) override {
        return FShow.EntryHoldsPayload(Files(path).front(), payload);
    }
    AnsiString Shown(const WideString& path) override { return WideToUtf8(StoredPath(FShow.FBundle + u"\\" + path)); }
    bool FolderAt(const WideString& path) override { return FShow.FFolders.count(FPrefix + MacKey(path)) != 0; }
    std::vector<WideString> FilesIn(const WideString& folder) override {
        std::vector<WideString> names;
        std::unordered_set<WideString> keys;
        if (auto found = FShow.FFolders.find(FPrefix + MacKey(folder)); found != FShow.FFolders.end())
            for (TZipItem* entry : found->second)
                // Twins are one file.
                if (keys.insert(MacKey(entry->Item->Name)).second) names.push_back(entry->Item->Name);
        return names;
    }
    std::vector<WideString> FoldersIn(const WideString& folder) override {
        const WideString parent = FPrefix + MacKey(folder) + u"\\";
        std::vector<WideString> names;
        for (const auto& [key, files] : FShow.FFolders)
            if (key.size() > parent.size() && key.compare(0, parent.size(), parent) == 0 &&
                key.find(u'\\', parent.size()) == WideString::npos)
                names.push_back(key.substr(parent.size()));
        return names;
    }
    bool Read(const WideString& path, const std::function<void(TStream& data)>& read) override {
        const std::vector<TZipItem*> entries = Files(path);
        return !entries.empty() && FShow.ReadEntry(entries.back(), read, false);
    }

private:
    std::vector<TZipItem*> Files(const WideString& path) { return FShow.FilesAt(FPrefix + MacKey(path)); }

    TShowArchive& FShow;
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
    CheckArchiveSound(FArchive.Get(), path);
    const TZipStructure* structure = FArchive->Structure();
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        if (entry->Item && !entry->Item->IsFolder() && (!HasUnixMode(entry) || IsUnrunnable(entry))) FHeads[entry];
    }
    FCheck = std::make_unique<TEntryCheck>(FArchive.Get(), workers, std::move(openReader), &FHeads);
    FFiles.reserve(size_t(structure->Count()));
    // Most entries lie in the folders the last one did.
    TArchItem *lastTop = nullptr, *lastParent = nullptr;
    std::vector<TZipItem*>* lastFolder = nullptr;
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        TArchItem* item = entry->Item;
        // A name of separators only belongs to no path.
        if (!item || item == FArchive.Get()) continue;
        TArchItem* top = item;
        while (top->GetParent() != FArchive.Get()) top = top->GetParent();
        if (top != lastTop) {
            lastTop = top;
            WideString topKey = MacKey(top->Name);
            if (FTopNames.emplace(topKey, top->Name).second) FTopOrder.push_back(std::move(topKey));
        }
        if (IsUnixLink(entry)) FLinks.insert(MacKey(item->Path()));
        if (!HasUnixMode(entry)) FModeless.emplace_back(entry, MacKey(item->Path()));
        else if (IsUnrunnable(entry)) FUnrunnable.emplace_back(entry, MacKey(item->Path()));
        if (item->IsFolder()) continue;
        FFiles.push_back({KeyHash(item), entry});
        if (item->GetParent() == FArchive.Get()) continue;
        if (item->GetParent() != lastParent) {
            lastParent = item->GetParent();
            lastFolder = &AddFolder(MacKey(lastParent->Path()));
        }
        lastFolder->push_back(entry);
    }
    // Twins stay in the directory's order.
    std::stable_sort(FFiles.begin(), FFiles.end(),
                     [](const THashedEntry& a, const THashedEntry& b) { return a.Hash < b.Hash; });
}

std::vector<TZipItem*>& TShowArchive::AddFolder(const WideString& key) {
    const auto [folder, fresh] = FFolders.try_emplace(key);
    if (fresh)
        for (size_t end = key.find(u'\\'); end != WideString::npos; end = key.find(u'\\', end + 1))
            FFolders.try_emplace(key.substr(0, end));
    return folder->second;
}

TShowArchive::TShowArchive(TStream* file, const WideString& path)
    : TShowArchive(file, path, DefaultZipWorkers(), [path] { return TRef<TStream>(OpenArchiveForReading(path)); }) {}

TShowArchive::~TShowArchive() = default;

TRef<TFileStream> OpenArchiveForReading(const WideString& path) {
    return MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
}

WideString TShowArchive::MacKey(const WideString& path) {
    // Most names are ASCII, which decomposes to itself and folds by letter.
    if (std::all_of(path.begin(), path.end(), [](char16_t c) { return c < 0x80; })) {
        WideString key = path;
        for (char16_t& c : key) c = FoldAscii(c);
        return key;
    }
    return FoldString(DecomposeCanonical(path));
}

uint64_t TShowArchive::KeyHash(const WideString& key) {
    uint64_t hash = HashStart;
    for (char16_t c : key) hash = HashStep(hash, c);
    return hash;
}

uint64_t TShowArchive::KeyHash(TArchItem* item) {
    // The item's folders from the top down, as its path names them.
    TArchItem* chain[64];
    size_t depth = 0;
    for (TArchItem* at = item; at->GetParent(); at = at->GetParent()) {
        if (depth == std::size(chain)) return KeyHash(MacKey(item->Path()));
        chain[depth++] = at;
    }
    uint64_t hash = HashStart;
    for (size_t i = depth; i-- > 0;) {
        if (i + 1 != depth) hash = HashStep(hash, u'\\');
        for (char16_t c : chain[i]->Name) {
            if (c >= 0x80) return KeyHash(MacKey(item->Path()));
            hash = HashStep(hash, FoldAscii(c));
        }
    }
    return hash;
}

std::vector<TZipItem*> TShowArchive::FilesAt(const WideString& key) const {
    std::vector<TZipItem*> files;
    const uint64_t hash = KeyHash(key);
    auto at = std::lower_bound(FFiles.begin(), FFiles.end(), hash,
                               [](const THashedEntry& entry, uint64_t value) { return entry.Hash < value; });
    for (; at != FFiles.end() && at->Hash == hash; ++at)
        if (MacKey(at->Entry->Item->Path()) == key) files.push_back(at->Entry);
    return files;
}

bool TShowArchive::HoldsPresentation(const WideString& bundleKey) const {
    return !FilesAt(bundleKey + u"\\" + MacKey(MarkerInBundle)).empty() &&
           !FilesAt(bundleKey + u"\\" + MacKey(ViewerInBundle)).empty();
}

std::vector<WideString> TShowArchive::FindBundles() const {
    const WideString wanted = MacKey(ChangeFileExt(ExtractFileName(FPath), WideString()) + u".app");
    if (auto found = FTopNames.find(wanted); found != FTopNames.end()) return {found->second};
    // A browser saves a second download as "Show (1).zip".
    std::vector<WideString> bundles;
    for (const WideString& key : FTopOrder)
        if (IsBundleKey(key) && HoldsPresentation(key)) bundles.push_back(FTopNames.at(key));
    if (!bundles.empty()) return bundles;
    // Zipping the folder a show was exported to puts the show one down.
    for (const auto& [key, files] : FFolders) {
        const size_t top = key.find(u'\\');
        if (top == WideString::npos || key.find(u'\\', top + 1) != WideString::npos || !IsBundleKey(key) ||
            key.compare(0, top, u"__macosx") == 0 || !HoldsPresentation(key))
            continue;
        // Contents\Resources\slideshow.dat: three up is the bundle, as stored.
        TArchItem* bundle = FilesAt(key + u"\\" + MacKey(MarkerInBundle)).front()->Item;
        for (int up = 0; up < 3; ++up) bundle = bundle->GetParent();
        bundles.push_back(bundle->Path());
    }
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

void TShowArchive::Require(TStep step) const {
    NVX_ASSERT_MSG(FStep == step, FStep == TStep::Spent ? "The show archive is spent: it was saved"
                                  : step == TStep::Read ? "The show archive is judged once"
                                                        : "The show archive is not judged yet");
}

TBundleState TShowArchive::Judge(TResourceStream& payload) {
    Require(TStep::Read);
    FStep = TStep::Judged;
    FBundles = FindBundles();
    if (FBundles.size() != 1) return TBundleState::NotAPresentation;
    FBundle = FBundles.front();
    FBundles.clear();
    TBundleOfArchive view(*this);
    TBundleState state = JudgeBundle(view, payload, FResealing);
    if (state == TBundleState::NotAPresentation) FBundle.clear();
    // What cannot be read whole matters only to a show: other archives are
    // passed by whatever their entries.
    else CheckArchiveReadable(FArchive.Get());
    return state;
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

TBundleNotes TShowArchive::Notes(bool viewerChanged) {
    Require(TStep::Judged);
    TBundleOfArchive view(*this);
    TBundleNotes notes = BundleNotes(view, StoredPath(FBundle), viewerChanged, FResealing);
    // Rewrite keeps the first of the viewer's entries; the user hears of the others.
    const std::vector<TZipItem*> viewers = FilesAt(ViewerKey());
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

namespace {
TCheckProgress CheckProgress(const TFixProgress& progress) {
    if (!progress) return {};
    return [&progress](uint64_t done, uint64_t total) { progress(TFixStage::Checking, done, total); };
}
}  // namespace

void TShowArchive::FinishCheck(const TFixProgress& progress) {
    Require(TStep::Judged);
    if (!FCheck) return;
    FCheck->Finish(CheckProgress(progress));
    FCheck.reset();
}

WideString TShowArchive::ViewerKey() const { return MacKey(FBundle + u"\\" + ViewerInBundle); }

bool TShowArchive::ModesToJudge(bool newViewer) const {
    Require(TStep::Judged);
    const WideString bundle = MacKey(FBundle) + u"\\", viewer = ViewerKey();
    return !FModeless.empty() || std::any_of(FUnrunnable.begin(), FUnrunnable.end(), [&](const auto& unrunnable) {
        const WideString& key = unrunnable.second;
        return key.compare(0, bundle.size(), bundle) == 0 && !(newViewer && key == viewer);
    });
}

std::unordered_map<TArchItem*, uint32_t> TShowArchive::PlanModes(bool newViewer) {
    const WideString bundle = MacKey(FBundle) + u"\\", viewer = ViewerKey();
    std::unordered_map<TArchItem*, uint32_t> modes;
    for (const auto& [entry, key] : FModeless) {
        if (newViewer && key == viewer) continue;
        modes[entry->Item] = entry->Item->IsFolder()                            ? 0040755
                             : IsProgramFile(FHeads[entry], InMacOSFolder(key)) ? UnixMode::Program
                                                                                : UnixMode::RegularFile | 0644;
    }
    for (const auto& [entry, key] : FUnrunnable)
        if (key.compare(0, bundle.size(), bundle) == 0 && !(newViewer && key == viewer) &&
            IsProgramFile(FHeads[entry], InMacOSFolder(key)))
            modes[entry->Item] = UnixMode::WithExecute(entry->ExternalAttributes >> 16);
    return modes;
}

int32_t TShowArchive::ProgramsToMode(bool newViewer) {
    Require(TStep::Judged);
    int32_t programs = 0;
    for (const auto& [item, mode] : PlanModes(newViewer)) programs += !item->IsFolder() && (mode & 0111) != 0;
    return programs;
}

int32_t TShowArchive::Rewrite(TStream* stream, bool newViewer, const TFixProgress& progress) {
    Require(TStep::Judged);
    // The viewer entry first, then what goes with it: one viewer comes out,
    // whatever twins the archive held, and the Finder's note of the old
    // one's resource fork goes too. A show signed again gets its seal and
    // its launcher anew the same way.
    std::vector<TZipItem*> changing, stale;
    // The new contents of the entries that change, by their items.
    std::unordered_map<TArchItem*, TConstByteSpan> contents;
    TRef<TResourceStream> launcher = MakeRef<TResourceStream>();
    auto change = [&](const WideString& path, const uint8_t* bytes, int64_t size, uint32_t mode) {
        const std::vector<TZipItem*> entries = FilesAt(MacKey(FBundle + u"\\" + path));
        NVX_ASSERT(!entries.empty());
        changing.push_back(entries.front());
        stale.insert(stale.end(), entries.begin() + 1, entries.end());
        const WideString full = FBundle + u"\\" + path;
        const size_t name = full.rfind(u'\\') + 1;
        for (TZipItem* appleDouble : FilesAt(MacKey(u"__MACOSX\\" + full.substr(0, name) + u"._" + full.substr(name))))
            stale.push_back(appleDouble);
        contents[entries.front()->Item] = TConstByteSpan(bytes, size_t(size));
        if (mode == 0) mode = HasUnixMode(entries.front()) ? entries.front()->ExternalAttributes >> 16 : 0100644;
        return std::make_pair(entries.front(), mode);
    };
    std::vector<std::pair<TZipItem*, uint32_t>> replaced;
    if (newViewer) {
        NVX_ASSERT(!FBundle.empty());
        TResourceStream& viewer = *FResealing.Viewer;
        // A Mac starts the new one only with its program mode.
        replaced.push_back(change(ViewerInBundle, viewer.Memory(), viewer.GetSize(), UnixMode::Program));
        if (!FResealing.Seal.empty()) {
            replaced.push_back(change(SealInBundle, reinterpret_cast<const uint8_t*>(FResealing.Seal.data()),
                                      int64_t(FResealing.Seal.size()), 0));
            // Read whole before the save writes over the archive it lies in.
            TZipItem* program = FilesAt(MacKey(FBundle + u"\\" + FResealing.Launcher)).front();
            const int64_t size = int64_t(program->Item->Size);
            if (!ReadEntry(
                    program, [&](TStream& data) { launcher->CopyFrom(&data, size); }, true) ||
                launcher->GetSize() != size)
                throw EArchiveBroken(
                    TPathText{"The archive \"", FPath, "\" is damaged: the show's program cannot be read"});
            ApplyPatches(*launcher, FResealing.LauncherPatches);
            replaced.push_back(change(FResealing.Launcher, launcher->Memory(), launcher->GetSize(), 0));
        }
    }
    // The check is done with these before they change, and goes on with the
    // rest while the save writes.
    changing.insert(changing.end(), stale.begin(), stale.end());
    if (FCheck) FCheck->WaitFor(changing, CheckProgress(progress));
    FArchive->SetStream(stream);
    const TScopeExit done([this] {
        FStep = TStep::Spent;
        FArchive->SetStream(nullptr);
        FArchive->BeforeDirectory = nullptr;
        FCallBack->OnPackItem = nullptr;
        FCallBack->TotalProgress->OnChange = nullptr;
    });
    FCallBack->OnPackItem = [&](TArchiveCallBack* callBack, TStream* out) {
        TArchItem* item = callBack->CurrentItem;
        const TConstByteSpan bytes = contents.at(item);
        out->WriteBuffer(bytes.data(), int32_t(bytes.size()));
    };
    if (progress)
        FCallBack->TotalProgress->OnChange = [&progress](TArchiveProgress* p) {
            progress(TFixStage::Writing, p->Position, p->Total);
        };
    for (TZipItem* entry : stale) entry->Item->MarkDelete();
    for (const auto& [entry, mode] : replaced)
        FArchive->ReplaceEntry(entry, int64_t(contents.at(entry->Item).size()), LocalNow(), mode);
    // What the check finds fails the save before its directory is written;
    // the modes it makes known go into the records written.
    int32_t programs = 0;
    FArchive->BeforeDirectory = [&](TZipStructure& written) {
        FinishCheck(progress);
        const std::unordered_map<TArchItem*, uint32_t> modes = PlanModes(newViewer);
        for (int32_t i = 0; i < written.Count(); ++i) {
            TZipItem* entry = written.Entry(i);
            if (auto mode = modes.find(entry->Item); mode != modes.end()) {
                FArchive->SetEntryMode(entry, mode->second);
                programs += !entry->Item->IsFolder() && (mode->second & 0111) != 0;
            }
        }
    };
    // The index points into the directory the save replaces.
    FFiles.clear();
    FFolders.clear();
    FLinks.clear();
    FArchive->Save(ViewerLevel);
    FModeless.clear();
    FUnrunnable.clear();
    FHeads.clear();
    return programs;
}
