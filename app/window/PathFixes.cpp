#include "PathFixes.h"
#include <string>
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

namespace {

WideString Count(int number) { return AnsiToWide(std::to_string(number)); }

// "Fixed 1 of 5, 1 already fixed, 1 damaged or made not in NVX 8.0, 1 not found, 1 failed"
WideString Summary(int fixed, int alreadyFixed, int refused, int missing, int failed) {
    WideString text = u"Fixed " + Count(fixed) + u" of " + Count(fixed + alreadyFixed + refused + missing + failed);
    if (alreadyFixed) text += u", " + Count(alreadyFixed) + u" already fixed";
    // Deliberate spelling: the text stays as it has always been shown.
    if (refused) text += u", " + Count(refused) + u" damaged or made not in NVX 8.0";
    if (missing) text += u", " + Count(missing) + u" not found";
    if (failed) text += u", " + Count(failed) + u" failed";
    return text;
}

// Dropped paths are full paths; one can be gone by the time its turn comes.
bool PathExists(const WideString& path) { return DirectoryExists(path) || FileExists(path); }

// One line of the failure list: the path once, then why.
WideString FailureLine(const WideString& path, const WideString& cause) {
    const bool named = cause.find(u"\"" + path + u"\"") != WideString::npos;
    return (named ? cause : path + u": " + cause) + u"\r\n";
}

}  // namespace

WideString FailureAbout(const WideString& path, const char* message) {
    WideString text = AnsiToWide(message);
    const WideString asBuilt = AnsiToWide(WideToAnsi(path));
    if (asBuilt == path || asBuilt.empty()) return text;
    for (size_t at = text.find(asBuilt); at != WideString::npos; at = text.find(asBuilt, at + path.size()))
        text.replace(at, asBuilt.size(), path);
    return text;
}

TFixResult FixGivenPath(const WideString& path, const TFixProgress& progress) {
    if (DirectoryExists(path)) return FixBundleFolder(path, progress);
    if (FileExists(path) && CompareText(ExtractFileExt(path), u".zip", true) == 0)
        return FixBundleArchive(path, progress);
    if (!PathExists(path)) throw EFileOpenError("\"" + WideToAnsi(path) + "\" was not found", WinError::FileNotFound);
    return FixOutcome::Refused;
}

TPathFixes FixGivenPaths(const std::vector<WideString>& paths, const TFixProgress& progress) {
    if (paths.size() == 1)
        return {DescribeFix(FixGivenPath(paths[0], progress), TBackupMention::WhenUnusual), WideString()};
    TPathFixes result;
    int fixed = 0, alreadyFixed = 0, refused = 0, missing = 0, failed = 0;
    for (const WideString& path : paths) {
        if (!PathExists(path)) {
            missing++;
            result.Failures += FailureLine(path, u"not found");
            continue;
        }
        try {
            TFixResult fix = FixGivenPath(path, progress);
            (fix == FixOutcome::Done ? fixed : fix == FixOutcome::AlreadyFixed ? alreadyFixed : refused)++;
        } catch (const EAbort&) {
            throw;
        } catch (const std::exception& e) {
            failed++;
            result.Failures += FailureLine(path, FailureAbout(path, e.what()));
        }
    }
    result.Outcome = Summary(fixed, alreadyFixed, refused, missing, failed);
    return result;
}
