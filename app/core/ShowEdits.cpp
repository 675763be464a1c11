#include "ShowEdits.h"
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Foundation/Clock.h"
#include "Foundation/ScopeExit.h"

namespace {

// The level the zipper packs at.
constexpr int ViewerLevel = 3;

}  // namespace

TShowEdits::TShowEdits(TJudgedShow&& show)
    : FShow(std::move(show)), FNewViewer(FShow.State() == TBundleState::NeedsFix) {
    TShowArchive& archive = FShow.Archive();
    if (!FNewViewer) return;
    // The viewer entry first, then what goes with it: one viewer comes out,
    // whatever twins the archive held, and the Finder's note of the old
    // one's resource fork goes too. A show signed again gets its seal and
    // its launcher anew the same way.
    const TResealing& resealing = FShow.FResealing;
    TResourceStream& viewer = *resealing.Viewer;
    // A Mac starts the new one only with its program mode.
    Replace(ViewerInBundle, TConstByteSpan(viewer.Memory(), size_t(viewer.GetSize())), UnixMode::Program);
    if (resealing.Seal.empty()) return;
    Replace(SealInBundle,
            TConstByteSpan(reinterpret_cast<const uint8_t*>(resealing.Seal.data()), resealing.Seal.size()), 0);
    TZipItem* program =
        archive.FIndex.FilesAt(TZipNameIndex::MacKey(FShow.FBundle + u"\\" + resealing.Launcher)).front();
    const int64_t size = int64_t(program->Item->Size);
    if (!archive.ReadEntry(
            program, [&](TStream& data) { FLauncher->CopyFrom(&data, size); }, true) ||
        FLauncher->GetSize() != size)
        throw EArchiveBroken(
            TPathText{"The archive \"", archive.FPath, "\" is damaged: the show's program cannot be read"});
    ApplyPatches(*FLauncher, resealing.LauncherPatches);
    Replace(resealing.Launcher, TConstByteSpan(FLauncher->Memory(), size_t(FLauncher->GetSize())), 0);
}

void TShowEdits::Replace(const WideString& path, TConstByteSpan bytes, uint32_t mode) {
    const TZipNameIndex& index = FShow.Archive().FIndex;
    const WideString full = FShow.FBundle + u"\\" + path;
    const std::vector<TZipItem*> entries = index.FilesAt(TZipNameIndex::MacKey(full));
    NVX_ASSERT(!entries.empty());
    FRemoved.insert(FRemoved.end(), entries.begin() + 1, entries.end());
    const size_t name = full.rfind(u'\\') + 1;
    for (TZipItem* appleDouble :
         index.FilesAt(TZipNameIndex::MacKey(u"__MACOSX\\" + full.substr(0, name) + u"._" + full.substr(name))))
        FRemoved.push_back(appleDouble);
    if (mode == 0) mode = HasUnixMode(entries.front()) ? entries.front()->ExternalAttributes >> 16 : UnixMode::File;
    FReplaced.push_back({entries.front(), bytes, mode});
}

std::unordered_map<TArchItem*, uint32_t> TShowEdits::Modes() { return FShow.ModesToGive(FNewViewer); }

int32_t TShowEdits::Save(TStream* stream, const TFixProgress& progress) && {
    TShowArchive& archive = FShow.Archive();
    TZipArchive& zip = *archive.FArchive;
    TDefaultCallBack& callBack = *archive.FCallBack;
    // The check is done with these before they change, and goes on with the
    // rest while the save writes. The new contents by the items they are
    // for: those outlive the entries a save copies.
    std::vector<TZipItem*> changing;
    std::vector<std::pair<TArchItem*, TConstByteSpan>> contents;
    for (const TReplacement& replaced : FReplaced) {
        changing.push_back(replaced.Entry);
        contents.emplace_back(replaced.Entry->Item, replaced.Contents);
    }
    changing.insert(changing.end(), FRemoved.begin(), FRemoved.end());
    archive.WaitForCheck(changing, progress);
    zip.SetStream(stream);
    zip.KeepsRollback = false;
    const TScopeExit done([&] {
        archive.FStep = TShowArchive::TStep::Spent;
        zip.SetStream(nullptr);
        zip.KeepsRollback = true;
        zip.BeforeDirectory = nullptr;
        callBack.OnPackItem = nullptr;
        callBack.TotalProgress->OnChange = nullptr;
    });
    callBack.OnPackItem = [&contents](TArchiveCallBack* sender, TStream* out) {
        const auto found = std::find_if(contents.begin(), contents.end(),
                                        [sender](const auto& item) { return item.first == sender->CurrentItem; });
        NVX_ASSERT(found != contents.end());
        out->WriteBuffer(found->second.data(), int32_t(found->second.size()));
    };
    if (progress)
        callBack.TotalProgress->OnChange = [&progress](TArchiveProgress* p) {
            progress(TFixStage::Writing, p->Position, p->Total);
        };
    for (TZipItem* entry : FRemoved) entry->Item->MarkDelete();
    for (const TReplacement& replaced : FReplaced)
        zip.ReplaceEntry(replaced.Entry, int64_t(replaced.Contents.size()), LocalNow(), replaced.Mode);
    // What the check finds fails the save before its directory is written;
    // the modes it makes known go into the records written.
    int32_t programs = 0;
    zip.BeforeDirectory = [&](TZipStructure& written) {
        FShow.FinishCheck(progress);
        const std::unordered_map<TArchItem*, uint32_t> modes = Modes();
        for (int32_t i = 0; i < written.Count(); ++i) {
            TZipItem* entry = written.Entry(i);
            if (auto mode = modes.find(entry->Item); mode != modes.end()) {
                zip.SetEntryMode(entry, mode->second);
                programs += !entry->Item->IsFolder() && (mode->second & 0111) != 0;
            }
        }
    };
    // The index points into the directory the save replaces.
    archive.FIndex.Clear();
    zip.Save(ViewerLevel);
    archive.FModes.Clear();
    return programs;
}
