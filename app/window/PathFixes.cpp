#include "PathFixes.h"
#include <string>
#include "FailureAdvice.h"
#include "FileSystem/FileAPI.h"
#include "FixDispatch.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "SendArchive.h"

namespace {

WideString Count(int number) { return Utf8ToWide(std::to_string(number)); }

// "Fixed 1 of 5, 1 already fixed, 1 damaged or made not in NVX 8.0, 1 not found, 1 failed"
WideString Summary(const TFixTally& tally) {
    WideString text = u"Fixed " + Count(tally.Fixed) + u" of " + Count(tally.Total());
    if (tally.AlreadyFixed) text += u", " + Count(tally.AlreadyFixed) + u" already fixed";
    // Deliberate spelling: the text stays as it has always been shown.
    if (tally.Refused) text += u", " + Count(tally.Refused) + u" damaged or made not in NVX 8.0";
    if (tally.Missing) text += u", " + Count(tally.Missing) + u" not found";
    if (tally.Failed) text += u", " + Count(tally.Failed) + u" failed";
    return text;
}

// One line of the failure list: the path once, then why and what to do.
WideString FailureLine(const WideString& path, const std::exception& failure) {
    const Exception* own = LibraryException(&failure);
    const bool named = own && own->NamesPath() && own->Path == path;
    return (named ? ShownMessage(failure) : path + u": " + ShownMessage(failure)) + u" " + FailureAdvice(failure) +
           u"\r\n";
}

// The window's side of several fixes: progress goes on to the outcome
// line, and every failure and missing path goes into the list the window
// shows once they have all ended.
class TWindowListener : public TFixListener {
public:
    explicit TWindowListener(const TFixProgress& progress) : FProgress(progress) {}

    void Progress(TFixStage stage, uint64_t done, uint64_t total) override {
        if (FProgress) FProgress(stage, done, total);
    }
    void Ended(const TPathEnd& end) override {
        if (end.Failure) Failures += FailureLine(end.Path, *end.Failure);
        else if (!end.Result) Failures += end.Path + u": not found\r\n";
        else if (*end.Result == TOutcome::Refused)
            Refused += (Refused.empty() ? u"" : u", ") + ExtractFileName(end.Path);
        if (!end.Result) return;
        const WideString name = ExtractFileName(end.Path);
        for (const AnsiString& note : end.Result->Notes)
            Notes.append(u"\r\n").append(name).append(u": Note: ").append(Utf8ToWide(note));
        if (!end.Result->Commands.empty())
            Notes.append(u"\r\n").append(name).append(u": ").append(DescribeCommands(*end.Result, u"\r\n"));
    }

    WideString Failures;
    // The names of the paths refused, and the notes: said under the summary.
    WideString Refused, Notes;

private:
    const TFixProgress& FProgress;
};

}  // namespace

TPathFixes FixGivenPaths(const std::vector<WideString>& paths, const TFixProgress& progress) {
    if (paths.size() == 1) {
        TFixResult result = FixPicked(paths[0], progress);
        result.ToSend = ArchiveToSend(paths[0], result);
        return {DescribeFixAndNotes(result, TBackupMention::WhenUnusual, u"\r\n"), WideString(), result};
    }
    TWindowListener listener(progress);
    const TFixTally tally = FixPaths(paths, FixPicked, listener);
    const WideString refused = listener.Refused.empty() ? WideString() : u"\r\nRefused: " + listener.Refused;
    return {Summary(tally) + refused + listener.Notes, listener.Failures};
}
