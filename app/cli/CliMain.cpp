// nvxfix-cli: fixes every bundle folder or ZIP archive named on the command
// line, with the same backups, checks and outcome texts as the window.
#include <algorithm>
#include <vector>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/Paths.h"
#include "FixDispatch.h"
#include "Formats/MachO.h"
#include "Foundation/Clock.h"
#include "Foundation/CodePages.h"
#include "Foundation/Console.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Format.h"
#include "Foundation/TextUtils.h"
#include "Payload.h"
#include "PayloadFacts.h"
#include "Restore.h"
#include "SendArchive.h"
#include "ShowSearch.h"
#include "Startup.h"

namespace {

enum ExitCode { AllDone = 0, SomeRefused = 1, Failed = 2 };

const char16_t Usage[] =
    u"Usage: nvxfix-cli [--help] [--version] [--check | --zip] [--json] [--jobs N] [--recursive] PATH...\n"
    u"       nvxfix-cli --restore [--json] PATH...\n"
    u"Fixes Mac presentations made with versions 8.0.x so that they start on macOS 10.12.2 and later.\n"
    u"  PATH        a presentation bundle folder (Show.app), or a ZIP archive holding one (Show.zip)\n"
    u"  --help      show this text\n"
    u"  --version   show the program's version and the viewer it carries\n"
    u"  --check     change nothing: tell whether each PATH needs fixing, and what it would note\n"
    u"  --zip       after a folder is fixed or found fixed, pack it into <name>.zip beside it (the next\n"
    u"              free name: <name> (2).zip), with the modes a Mac needs: the archive to send;\n"
    u"              an archive PATH is that already; not with --check or --restore\n"
    u"  --json      one JSON object per PATH on standard output (path, outcome, text, backup, to_send,\n"
    u"              kept, programs, notes, error)\n"
    u"  --jobs N    check archives with N threads (default: one per processor; 1 checks on one)\n"
    u"  --recursive each PATH is a folder: fix (or check) every show below it, then sum the run up;\n"
    u"              backups, links and what is inside a bundle are left alone\n"
    u"  --restore   put the newest backup that is not a fixed show back in PATH's place;\n"
    u"              the fixed show is kept as the next backup\n"
    u"A folder is backed up to <folder>.bak and an archive to <name>.bak.zip before it changes;\n"
    u"an earlier backup is kept and the new one is numbered (<name>.bak (2).zip).\n"
    u"How to open a fixed show on a Mac: see \"Opening a fixed show on a Mac\" in the README.\n"
    u"Exit status: 0 every PATH (every show) was fixed, already fixed, restored or (with --check) needs fixing,\n"
    u"1 some were not presentations, 2 something failed.\n";

// What this build writes into a show, so that anyone can compare it with
// a known viewer.
WideString PayloadLine() {
    const TPayloadFacts& payload = PayloadFacts();
    const TMachOFile program = ReadMachO(*OpenPayload());
    AnsiString kind = program.Only32Bit() || program.Has(MachOCpu::PowerPC64)
                          ? ", not a program current Macs run (" + program.Architectures() + ")"
                          : ", a Mac program (" + program.Architectures() + ")";
    if (payload.Placeholder && !program.IsProgram()) kind = ", a placeholder (test build): not a Mac program";
    if (const uint64_t room = PayloadRoomAdded())
        kind += "; " + std::to_string(room) + " bytes of room added to its signature, to sign it for each show";
    return u"viewer payload: " + Utf8ToWide(std::to_string(payload.Size)) + u" bytes, SHA-256 " +
           Utf8ToWide(payload.Sha256) + Utf8ToWide(kind);
}

// A string as JSON writes it.
AnsiString JsonText(const WideString& text) {
    AnsiString out = "\"";
    for (char c : WideToUtf8(text)) {
        if (c == '"' || c == '\\') out += '\\';
        if (uint8_t(c) < 0x20) out += Format("\\u%04x", uint8_t(c));
        else out += c;
    }
    return out + "\"";
}

AnsiString JsonOrNull(const WideString& text) { return text.empty() ? AnsiString("null") : JsonText(text); }

// The word a script reads for an outcome.
const char* OutcomeKind(const TFixResult& result) {
    switch (result.Outcome) {
    case TOutcome::Done: return "done";
    case TOutcome::AlreadyFixed: return "already fixed";
    case TOutcome::NeedsFixing: return "needs fixing";
    case TOutcome::Restored: return "restored";
    case TOutcome::NothingToRestore: return "nothing to restore";
    case TOutcome::BackupDamaged: return "backup damaged";
    case TOutcome::Refused:
    case TOutcome::Pending: break;
    }
    return "not a presentation";
}

void Report(const WideString& path, const WideString& text, TConsoleStream stream) {
    ConsoleWriteLine(stream, Printable(path + u": " + text));
}

// A failure's message for a line headed by the PATH it is about: that PATH
// is named once, by the head.
WideString FailureForLineOf(const WideString& given, const std::exception& failure) {
    const Exception* own = LibraryException(&failure);
    if (own && own->NamesPath() && !given.empty() && own->Path == ResolveLinks(given))
        return own->MessageCallingPathIt();
    return ShownMessage(failure);
}

// Tells the user on the console: the outcome of each PATH on standard
// output, a failure on standard error, and while a fix runs a one-line bar
// on standard error when that is a terminal; in a run over trees, what it
// passed by and, in the bar, how far the run is.
class TConsoleListener : public TRunListener {
public:
    // The stage texts the window shows, drawn at most ten times a second.
    void Progress(TFixStage stage, uint64_t done, uint64_t total) override {
        if (!FTerminal || !DrawDue(stage == FStage)) return;
        FStage = stage;
        const int width = 30;
        // Totals are estimates (a save learns its sizes as it packs).
        int filled = total ? (int)(std::min(done, total) * width / total) : 0;
        // Built by appending: a literal plus a string trips a false
        // -Wrestrict of the mingw compiler.
        FStageBar = ProgressText(stage, done, total);
        FStageBar.resize(std::max<size_t>(FStageBar.size(), 15), u' ');
        FStageBar += u" [";
        FStageBar.append(filled, u'#');
        FStageBar.append(width - filled, u' ');
        FStageBar += u"]   ";
        Draw();
    }

    void Ended(const TPathEnd& end) override {
        ClearBar();
        const WideString cause = end.Failure        ? FailureForLineOf(end.Path, *end.Failure)
                                 : end.Path.empty() ? u"An empty path was given"
                                                    : u"No such file or folder";
        if (Json) return WriteJson(end, cause);
        if (!end.Result) return Report(end.Path, u"error: " + cause, TConsoleStream::Error);
        Report(end.Path, DescribeFix(*end.Result), TConsoleStream::Output);
        for (const AnsiString& note : end.Result->Notes)
            Report(end.Path, u"note: " + Utf8ToWide(note), TConsoleStream::Output);
        // Each Terminal line whole on a line of its own, to copy as it stands.
        for (const AnsiString& command : end.Result->Commands)
            Report(end.Path, u"terminal: " + Utf8ToWide(command), TConsoleStream::Output);
    }

    void PassedBy(const WideString& path, TPassedBy why, const WideString& text) override {
        ClearBar();
        if (Json) {
            const char* reason = why == TPassedBy::Unreadable ? "unreadable"
                                 : why == TPassedBy::NoShow   ? "no presentation"
                                                              : "link";
            FPassed += AnsiString(FPassed.empty() ? "" : ", ") + "{\"path\": " + JsonText(path) + ", \"reason\": \"" +
                       reason + "\", \"text\": " + JsonText(text) + "}";
        } else if (why == TPassedBy::Unreadable) {
            Report(path, u"error: " + text, TConsoleStream::Error);
        } else {
            Report(path, u"skipped: " + text, TConsoleStream::Output);
        }
    }

    void RunProgress(int32_t done, int32_t found, uint64_t bytesDone, uint64_t bytesTotal) override {
        FRun = Utf8ToWide(std::to_string(done) + " of " + std::to_string(found) + " shows, " + Megabytes(bytesDone) +
                          " of " + Megabytes(bytesTotal) + " MB  ");
        // The stage was the last show's.
        FStageBar.clear();
        if (FTerminal && DrawDue(true)) Draw();
    }

    void Summary(const TRunTally& tally, uint32_t milliseconds) {
        ClearBar();
        if (!Json) return ConsoleWriteLine(TConsoleStream::Output, DescribeRun(tally, milliseconds));
        const TFixTally& shows = tally.Shows;
        auto field = [](const char* name, int64_t n) { return ", \"" + AnsiString(name) + "\": " + std::to_string(n); };
        ConsoleWriteLine(
            TConsoleStream::Output,
            Utf8ToWide("{\"outcome\": \"summary\"" + field("shows", shows.Total()) +
                       field("fixed", shows.Fixed - shows.PermissionsOnly) + field("needs_fixing", shows.NeedsFixing) +
                       field("already_fixed", shows.AlreadyFixed) +
                       field("restored_permissions", shows.PermissionsOnly) + field("refused", shows.Refused) +
                       field("failed", shows.Failed + shows.Missing) +
                       field("without_presentation", tally.WithoutPresentation) +
                       field("links_not_followed", tally.LinksPassed) + field("unreadable", tally.Unreadable) +
                       field("milliseconds", milliseconds) + ", \"passed_by\": [" + FPassed + "]}"));
    }

    bool Json = false;

private:
    static std::string Megabytes(uint64_t bytes) {
        const uint64_t tenths = (bytes + 50000) / 100000;
        return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    }

    // {"path": ..., "outcome": ..., "text": ..., "backup": ..., "to_send": ..., "kept": ...,
    // "programs": N, "notes": [...], "commands": [...], "error": ...}, the same fields whatever
    // the outcome ("error" as outcome, text and error for a failure); files
    // the fix made are named as path names its folder. One line each.
    void WriteJson(const TPathEnd& end, const WideString& cause) {
        static const TFixResult failed;
        const TFixResult& result = end.Result ? *end.Result : failed;
        auto named = [&end](const WideString& made) {
            return JsonOrNull(made.empty() ? made : AsGiven(end.Path, made));
        };
        AnsiString line = "{\"path\": " + JsonText(end.Path) + ", \"outcome\": \"" +
                          (end.Result ? OutcomeKind(result) : "error") +
                          "\", \"text\": " + JsonText(end.Result ? DescribeFix(result) : cause) +
                          ", \"backup\": " + named(result.Backup) + ", \"to_send\": " + named(result.ToSend) +
                          ", \"kept\": " + named(result.Kept) + ", \"programs\": " + std::to_string(result.Programs) +
                          ", \"notes\": [";
        for (size_t i = 0; i < result.Notes.size(); ++i)
            line += (i ? ", " : "") + JsonText(Utf8ToWide(result.Notes[i]));
        line += "], \"commands\": [";
        for (size_t i = 0; i < result.Commands.size(); ++i)
            line += (i ? ", " : "") + JsonText(Utf8ToWide(result.Commands[i]));
        line += "], \"error\": " + (end.Result ? AnsiString("null") : JsonText(cause)) + "}";
        ConsoleWriteLine(TConsoleStream::Output, Utf8ToWide(line));
    }

    // A file made beside what the user named, as the user named that: the
    // same folder spelt the same way; elsewhere (beside where a link leads)
    // in full.
    static WideString AsGiven(const WideString& given, const WideString& made) {
        const WideString folder = ExtractFilePath(ExcludeTrailingBackslash(FullPathName(given)), false);
        if (ExtractFilePath(made, false) != folder) return made;
        return ExtractFilePath(ExcludeTrailingBackslash(given), true) + ExtractFileName(made);
    }

    // At most ten times a second while the text stays the same kind.
    bool DrawDue(bool sameKind) {
        const uint32_t now = TickCount();
        if (FDrawn && sameKind && uint32_t(now - FLastDrawn) < 100) return false;
        FLastDrawn = now;
        return true;
    }

    void Draw() {
        WideString line(1, u'\r');
        line += FRun;
        line += FStageBar;
        ConsoleWrite(TConsoleStream::Error, line);
        FDrawn = true;
        FWidth = line.size();
    }

    void ClearBar() {
        if (!FDrawn) return;
        FDrawn = false;
        WideString blank(1, u'\r');
        blank.append(FWidth, u' ');
        blank += u'\r';
        ConsoleWrite(TConsoleStream::Error, blank);
    }

    const bool FTerminal = IsTerminal(TConsoleStream::Error);
    bool FDrawn = false;
    TFixStage FStage = TFixStage::Checking;
    uint32_t FLastDrawn = 0;
    size_t FWidth = 0;
    WideString FStageBar;
    WideString FRun;     // how far a run over trees is, before the stage
    AnsiString FPassed;  // what it passed by, as JSON objects
};

// --jobs takes a whole number from 1 to 64.
bool SetJobs(const WideString& text) {
    int32_t jobs = 0;
    for (char16_t c : text) jobs = c >= u'0' && c <= u'9' && jobs <= 64 ? jobs * 10 + (c - u'0') : 1000;
    if (jobs < 1 || jobs > 64) {
        ConsoleWriteLine(TConsoleStream::Error, u"nvxfix-cli: --jobs takes a number from 1 to 64, not " + text);
        return false;
    }
    SetDefaultZipWorkers(jobs);
    return true;
}

// With --zip, a folder fixed or found fixed is packed into the archive to
// send. A failure then still says what the fix did.
void AddArchiveToSend(const TFixProgress& progress, TFixResult& result) {
    if (!ReadyToSend(result)) return;
    try {
        result.ToSend = MakeArchiveToSend(result.BundleFolder, progress);
    } catch (const Exception& e) {
        throw EFileError(WideToUtf8(DescribeFix(result)) + ", but the archive to send was not made: " + e.Message(),
                         e.SystemCode());
    }
}

// Fixes (or restores) one PATH and returns what it did; raises on failure. The path goes
// to the fix as given: the system resolves it, links and ".." included.
TFixResult FixOnePath(const WideString& path, const TFixProgress& progress, TFixMode mode, bool restore, bool zip) {
    try {
        if (restore) return RestorePicked(path, progress);
        TFixResult result = FixOrCheckPicked(path, progress, mode);
        if (zip) AddArchiveToSend(progress, result);
        return result;
    } catch (const EAbort& e) {
        // Nobody stops a console run: an abort here is an assertion that
        // failed in this path's fix, a failure of this path like any other.
        throw Exception(e.Message());
    }
}

int Run(int argc, char** argv) {
    TLibraryScope library;
    if (PayloadIsPlaceholder())
        ConsoleWriteLine(TConsoleStream::Error, u"note: this build carries a placeholder viewer; see README");
    std::vector<WideString> paths;
    bool optionsEnded = false, jobsNext = false, check = false, recursive = false, restore = false, zip = false;
    TConsoleListener listener;
    const std::pair<WideString, bool*> switches[] = {{u"--check", &check},        {u"--recursive", &recursive},
                                                     {u"--restore", &restore},    {u"--zip", &zip},
                                                     {u"--json", &listener.Json}, {u"--", &optionsEnded}};
    for (const WideString& argument : CommandLineArguments(argc, argv)) {
        auto named = std::find_if(std::begin(switches), std::end(switches),
                                  [&](const auto& entry) { return entry.first == argument; });
        if (jobsNext) {
            jobsNext = false;
            if (!SetJobs(argument)) return Failed;
        } else if (optionsEnded || argument.size() < 2 || argument[0] != u'-') {
            paths.push_back(argument);
        } else if (argument == u"--jobs") {
            jobsNext = true;
        } else if (named != std::end(switches)) {
            *named->second = true;
        } else if (argument == u"--help") {
            ConsoleWrite(TConsoleStream::Output, Usage);
            return AllDone;
        } else if (argument == u"--version") {
            ConsoleWriteLine(TConsoleStream::Output, u"nvxfix-cli " NVXFIX_VERSION_TEXT);
            ConsoleWriteLine(TConsoleStream::Output, PayloadLine());
            return AllDone;
        } else {
            ConsoleWriteLine(TConsoleStream::Error, u"nvxfix-cli: unknown option " + argument);
            ConsoleWrite(TConsoleStream::Error, Usage);
            return Failed;
        }
    }
    if (paths.empty() || jobsNext || (restore && (check || recursive || zip)) || (zip && check)) {
        ConsoleWrite(TConsoleStream::Error, Usage);
        return Failed;
    }

    const TFixMode mode = check ? TFixMode::Check : TFixMode::Fix;
    const TPathFix fix = [mode, restore, zip](const WideString& path, const TFixProgress& progress) {
        return FixOnePath(path, progress, mode, restore, zip);
    };
    if (!recursive) {
        const TFixTally tally = FixPaths(paths, fix, listener);
        return tally.Failed || tally.Missing ? Failed : tally.Refused ? SomeRefused : AllDone;
    }
    const uint32_t start = TickCount();
    const TRunTally tally = FixTrees(paths, fix, listener);
    listener.Summary(tally, TickCount() - start);
    return tally.Shows.Failed || tally.Shows.Missing || tally.Unreadable ? Failed
           : tally.Shows.Refused                                         ? SomeRefused
                                                                         : AllDone;
}

}  // namespace

int main(int argc, char** argv) { return RunGuarded(Run, argc, argv); }
