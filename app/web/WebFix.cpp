// The page's way into the core, in a Web Worker: fixes a working copy of
// the picked archive in place; the picked file itself stays as it was.
#include <emscripten.h>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixDispatch.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "PayloadFacts.h"
#include "Startup.h"

// The page shows the text and moves its bar to done / total.
EM_JS(void, NvxReportProgress, (const char* text, double done, double total),
      { Module.onFixProgress(UTF8ToString(text), done, total); });

namespace {

AnsiString Outcome(const char* kind, const AnsiString& text) { return AnsiString(kind) + "\n" + text; }

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

// Fixes the working copy at path. Gives "<kind>\n<text>", kind one of
// done, warning (fixed, but it cannot start), refused, already, damaged
// (the archive is), error; the text is the one the window shows.
namespace {
AnsiString LastCommands;
}

EMSCRIPTEN_KEEPALIVE const char* NvxWebFix(const char* path) {
    static AnsiString result;
    const WideString archive = Utf8ToWide(path);
    TPageListener listener(archive, ExtractFileName(archive));
    LastCommands.clear();
    try {
        FixPaths({archive}, FixBundleArchiveInPlace, listener);
        result = listener.Result;
        LastCommands = listener.Commands;
    } catch (const std::exception& e) {
        result = Outcome("error", e.what());
    }
    return result.c_str();
}

// The Terminal lines the last fix's notes call for, each ended by "\n",
// to run in the folder that holds the show; empty when there are none.
EMSCRIPTEN_KEEPALIVE const char* NvxWebCommands() { return LastCommands.c_str(); }

// Whether the carried viewer is a stand-in rather than the real program;
// the page shows a banner then.
EMSCRIPTEN_KEEPALIVE int NvxWebIsPlaceholder() { return PayloadIsPlaceholder() ? 1 : 0; }
}
