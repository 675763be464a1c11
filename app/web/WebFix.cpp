// The page's way into the core: fixes a working copy of the archive the
// user picked, in place; no backup, since the picked file on the user's
// disk stays as it was. Runs in a Web Worker.
#include <emscripten.h>
#include <string>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "PayloadFacts.h"
#include "Startup.h"

// The page shows the text and moves its bar to done / total.
EM_JS(void, NvxReportProgress, (const char* text, double done, double total),
      { Module.onFixProgress(UTF8ToString(text), done, total); });

namespace {

// Paths in messages name the file as the user picked it, not where the
// worker keeps its copy.
AnsiString AsPicked(AnsiString text, const AnsiString& mounted, const AnsiString& picked) {
    for (size_t at = text.find(mounted); at != AnsiString::npos; at = text.find(mounted, at + picked.size()))
        text.replace(at, mounted.size(), picked);
    return text;
}

AnsiString Outcome(const char* kind, const AnsiString& text) { return AnsiString(kind) + "\n" + text; }

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void NvxWebStart() {
    LibraryStartup();
    // The page has no threads (UsableProcessorCount says 1); said once more
    // here so that no zipper ever tries to start one.
    SetDefaultZipWorkers(1);
}

// Fixes the working copy at path. Gives "<kind>\n<text>", kind one of
// done, refused, already, error; the text is the one the window shows.
EMSCRIPTEN_KEEPALIVE const char* NvxWebFix(const char* path) {
    static AnsiString result;
    const WideString archive = Utf8ToWide(path);
    const AnsiString picked = WideToUtf8(ExtractFileName(archive));
    WideString shown;
    TFixProgress progress = [&shown](const char* stage, uint64_t done, uint64_t total) {
        WideString text = ProgressText(stage, done, total);
        if (text == shown) return;  // a message per change, not per buffer
        shown = text;
        NvxReportProgress(WideToUtf8(text).c_str(), double(done), double(total));
    };
    try {
        TFixResult fix = FixBundleArchiveInPlace(archive, progress);
        const char* kind = fix == FixOutcome::Done ? "done" : fix == FixOutcome::AlreadyFixed ? "already" : "refused";
        result = Outcome(kind, WideToUtf8(DescribeFix(fix)));
    } catch (const std::exception& e) {
        result = Outcome("error", AsPicked(e.what(), path, picked));
    }
    return result.c_str();
}

// Whether the carried viewer is a stand-in rather than the real program;
// the page shows a banner then.
EMSCRIPTEN_KEEPALIVE int NvxWebIsPlaceholder() { return PayloadIsPlaceholder() ? 1 : 0; }
}
