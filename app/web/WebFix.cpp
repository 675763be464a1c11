// The page's way into the core, in a Web Worker: fixes the picked archive
// without writing to it; the page puts the fixed one together.
#include <emscripten.h>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/FileZipper.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipStructure.h"
#include "BundleRules.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/TempFolders.h"
#include "FixDispatch.h"
#include "FixProcedure.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/ScopeExit.h"
#include "Payload.h"
#include "PayloadFacts.h"
#include "Resealing.h"
#include "SendArchive.h"
#include "ShowArchive.h"
#include "Startup.h"
#include "Streams/FileStream.h"

// The page shows the text and moves its bar to done / total.
EM_JS(void, NvxReportProgress, (const char* text, double done, double total),
      { Module.onFixProgress(UTF8ToString(text), done, total); });

namespace {

AnsiString Outcome(const char* kind, const AnsiString& text) { return AnsiString(kind) + "\n" + text; }

// The seal and the programs of any bundle, the viewer among them: what a
// fix may write anew.
bool MayBeReplaced(const WideString& path) {
    const WideString folded = FoldString(path);
    auto endsWith = [&folded](const WideString& tail, size_t end) {
        return end >= tail.size() && folded.compare(end - tail.size(), tail.size(), FoldString(tail)) == 0;
    };
    const size_t name = folded.rfind(u'\\');
    return endsWith(SealInBundle, folded.size()) ||
           (name != WideString::npos && endsWith(u".app\\Contents\\MacOS", name));
}

// Fixes the archive without writing to it, what the save writes going into
// the empty file at written; the listener hears how it went. Gives the
// fixed archive's layout.
std::vector<TOverlayStretch> FixOnTop(const WideString& archive, const WideString& written, TFixListener& listener) {
    TRef<TFileStream> fixed =
        MakeRef<TFileStream>(written, FileAccess::ReadWrite, FileShare::Read, FileDisposition::OpenExisting);
    std::vector<TOverlayStretch> layout;
    FixPaths(
        {archive},
        [&](const WideString& picked, const TFixProgress& progress) {
            return FixBundleArchiveOnTop(picked, fixed.Get(), layout, progress);
        },
        listener);
    return layout;
}

// Hears a fix that tells no one: the warm-up's.
class TQuietListener : public TFixListener {
public:
    void Progress(TFixStage, uint64_t, uint64_t) override {}
    void Ended(const TPathEnd&) override {}
};
}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void NvxWebStart() {
    LibraryStartup();
    // The page has no threads (UsableProcessorCount says 1); said once more
    // here so that no zipper ever tries to start one.
    SetDefaultZipWorkers(1);
}

namespace {

// The page's side of a fix: the stage goes to the page's bar, a message
// per change rather than per buffer, and the end becomes "<kind>\n<text>".
class TPageListener : public TFixListener {
public:
    TPageListener(const WideString& mounted, const WideString& picked) : FMounted(mounted), FPicked(picked) {}

    void Progress(TFixStage stage, uint64_t done, uint64_t total) override {
        WideString text = ProgressText(stage, done, total);
        if (text == FShown) return;
        FShown = text;
        NvxReportProgress(WideToUtf8(text).c_str(), double(done), double(total));
    }
    void Ended(const TPathEnd& end) override {
        if (!end.Result) {
            // Damage has advice of its own on the page.
            const bool damaged =
                dynamic_cast<const EArchiveBroken*>(end.Failure) || dynamic_cast<const EArchiveDamaged*>(end.Failure);
            Result =
                Outcome(damaged ? "damaged" : "error", end.Failure ? WideToUtf8(AsPicked(*end.Failure)) : "Not found");
            return;
        }
        const TFixResult& fix = *end.Result;
        // A show fixed that still cannot start is no success.
        const char* kind = "refused";
        switch (fix.Outcome) {
        case TOutcome::Done: kind = fix.CannotStart ? "warning" : "done"; break;
        case TOutcome::AlreadyFixed: kind = "already"; break;
        case TOutcome::Refused: kind = fix.SeveralShows ? "several" : "refused"; break;
        default: break;
        }
        // The Terminal lines go into the page's steps, not into the row.
        Result = Outcome(kind,
                         WideToUtf8(DescribeFixAndNotes(fix, TBackupMention::Always, u"\n", TCommandMention::LeftOut)));
        for (const AnsiString& command : fix.Commands) Commands += command + "\n";
    }

    AnsiString Result, Commands;

private:
    // A failure about the working copy names the file as the user picked
    // it, not where the worker keeps it.
    WideString AsPicked(const std::exception& failure) const {
        const Exception* own = LibraryException(&failure);
        return own && own->Path == FMounted ? own->MessageNaming(FPicked) : ShownMessage(failure);
    }

    const WideString FMounted, FPicked;
    WideString FShown;
};

}  // namespace

namespace {
AnsiString LastCommands;
// The last fix's layout, four numbers a stretch (TOverlayStretch: start,
// length, source as 0 written, 1 picked file, 2 zeros, and the offset in
// the picked file), as the page reads them out of the heap.
std::vector<double> LastLayout;
}  // namespace

// Fixes the picked file at path without writing to it; what the save
// writes goes into the empty file at written. Gives "<kind>\n<text>", kind
// one of done, warning (fixed, but it cannot start), refused (no show),
// several (shows), already, damaged (the archive is), error; the text is
// the one the window shows.
EMSCRIPTEN_KEEPALIVE const char* NvxWebFix(const char* path, const char* written) {
    static AnsiString result;
    const WideString archive = Utf8ToWide(path);
    TPageListener listener(archive, ExtractFileName(archive));
    LastCommands.clear();
    LastLayout.clear();
    try {
        const std::vector<TOverlayStretch> layout = FixOnTop(archive, Utf8ToWide(written), listener);
        result = listener.Result;
        LastCommands = listener.Commands;
        for (const TOverlayStretch& stretch : layout)
            LastLayout.insert(LastLayout.end(), {double(stretch.Start), double(stretch.Length),
                                                 double(int(stretch.Source)), double(stretch.From)});
    } catch (const std::exception& e) {
        result = Outcome("error", e.what());
    }
    return result.c_str();
}

// Makes a small show, packs it as a Mac user sends one and fixes the
// archive once, quietly, leaving nothing behind: an engine compiles the
// code a fix runs when it first runs it, and tunes what runs most later,
// which cost the first fix of a tab a third of its time. The page calls
// it before it takes files.
EMSCRIPTEN_KEEPALIVE void NvxWebWarmUp() {
    try {
        const WideString folder = CreateTempFolder(true);
        TScopeExit removed([&] { DeleteTempFolder(folder); });
        const WideString bundle = folder + u"Show.app" + PathDelim;
        auto put = [&](const WideString& path, const std::string& bytes) {
            const WideString file = JoinPath(bundle, NativePath(path));
            ForceDirectories(ExtractFilePath(file, true));
            MakeRef<TFileStream>(file, FileAccess::Write, FileShare::None, FileDisposition::CreateAlways)
                ->Write(bytes.data(), int32_t(bytes.size()));
        };
        // Text that packs as a show's files do, with runs of bytes that do not.
        std::string viewer = "OLD VIEWER 8.0.10\n";
        for (uint32_t n = 1; viewer.size() < (512 << 10); n = n * 1103515245u + 12345u)
            viewer += (n >> 28) < 12 ? std::to_string(n >> 8) + " slide " : std::string(1, char(n >> 16));
        put(InfoInBundle,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleExecutable</key><string>Show</string></dict></plist>\n");
        put(u"Contents\\MacOS\\Show", viewer.substr(0, 4096));
        put(MarkerInBundle, viewer.substr(4096, 65536));
        put(ViewerInBundle, viewer);
        const WideString archive = MakeArchiveToSend(bundle), written = archive + u".fixed";
        MakeRef<TFileStream>(written, FileAccess::Write, FileShare::None, FileDisposition::CreateAlways);
        TQuietListener quiet;
        FixOnTop(archive, written, quiet);
    } catch (const std::exception&) {
        // A fix not warmed up is only slower.
    }
}

EMSCRIPTEN_KEEPALIVE const double* NvxWebLayout() { return LastLayout.data(); }
EMSCRIPTEN_KEEPALIVE int NvxWebLayoutLength() { return int(LastLayout.size()); }

// About what a fix of the archive at path holds besides the picked file:
// the new viewer and a signed copy of it, the entries it may replace (the
// viewer, a seal, a launcher) packed and unpacked, the directory twice (as
// read, as written) and the blocks of the picked file read at a time. 0
// where the directory cannot be read: the fix says why.
EMSCRIPTEN_KEEPALIVE double NvxWebNeeds(const char* path) {
    constexpr double ReadBlocks = 16 * 1048576;
    try {
        TRef<TFileStream> file = OpenArchiveForReading(Utf8ToWide(path));
        TRef<TZipArchive> archive = MakeRef<TZipArchive>();
        TRef<TDefaultCallBack> callBack = MakeRef<TDefaultCallBack>();
        archive->CallBack = callBack.Get();
        archive->SetStream(file.Get());
        archive->Open();
        const TZipStructure* structure = archive->Structure();
        double needs = 2 * double(OpenPayload()->GetSize()) + ReadBlocks +
                       2 * double(file->GetSize() - std::max<int64_t>(0, structure->Offset));
        for (int32_t i = 0; i < structure->Count(); ++i) {
            const TZipItem* entry = structure->Entry(i);
            if (entry->Item && MayBeReplaced(entry->Item->Path()))
                needs += double(entry->Item->PackedSize) + double(entry->Item->Size);
        }
        return needs;
    } catch (const std::exception&) {
        return 0;
    }
}

// The Terminal lines the last fix's notes call for, each ended by "\n",
// to run in the folder that holds the show; empty when there are none.
EMSCRIPTEN_KEEPALIVE const char* NvxWebCommands() { return LastCommands.c_str(); }

// Whether the carried viewer is a stand-in rather than the real program;
// the page shows a banner then.
EMSCRIPTEN_KEEPALIVE int NvxWebIsPlaceholder() { return PayloadIsPlaceholder() ? 1 : 0; }
}
