#include "PathFixes.h"
#include <string>
#include "FileSystem/FileAPI.h"
#include "FixProcedure.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"

namespace {

WideString Count(int number) { return AnsiToWide(std::to_string(number)); }

// "Fixed 1 of 4, 1 already fixed, 1 damaged or made not in NVX 8.0, 1 failed"
WideString Summary(int fixed, int alreadyFixed, int refused, int failed) {
    WideString text = u"Fixed " + Count(fixed) + u" of " + Count(fixed + alreadyFixed + refused + failed);
    if (alreadyFixed) text += u", " + Count(alreadyFixed) + u" already fixed";
    // Deliberate spelling: the text stays as it has always been shown.
    if (refused) text += u", " + Count(refused) + u" damaged or made not in NVX 8.0";
    if (failed) text += u", " + Count(failed) + u" failed";
    return text;
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
    return FixOutcome::Refused;
}

TPathFixes FixGivenPaths(const std::vector<WideString>& paths, const TFixProgress& progress) {
    if (paths.size() == 1) return {DescribeFix(FixGivenPath(paths[0], progress)), WideString()};
    TPathFixes result;
    int fixed = 0, alreadyFixed = 0, refused = 0, failed = 0;
    for (const WideString& path : paths) {
        try {
            TFixResult fix = FixGivenPath(path, progress);
            (fix == FixOutcome::Done ? fixed : fix == FixOutcome::AlreadyFixed ? alreadyFixed : refused)++;
        } catch (const EAbort&) {
            throw;
        } catch (const std::exception& e) {
            failed++;
            result.Failures += path + u": " + FailureAbout(path, e.what()) + u"\r\n";
        }
    }
    result.Outcome = Summary(fixed, alreadyFixed, refused, failed);
    return result;
}
