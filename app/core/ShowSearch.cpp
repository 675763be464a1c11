#include "ShowSearch.h"
#include <algorithm>
#include <string>
#include "Backups.h"
#include "FileSystem/FileAPI.h"
#include "FileSystem/FileModes.h"
#include "FileSystem/StagedReplace.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Foundation/TextUtils.h"

namespace {

struct TEntry {
    WideString Name;
    bool Folder;
    bool Link;
    uint64_t Size;
};

bool HasExt(const WideString& name, const char16_t* ext) { return CompareText(ExtractFileExt(name), ext, true) == 0; }

// Whether path is folder or lies below it, as the same function resolved both.
bool Within(const WideString& path, const WideString& folder) {
    const WideString below = IncludeTrailingBackslash(folder);
    return path == folder || path.compare(0, below.size(), below) == 0;
}

class TShowSearch {
public:
    TShowSearch(TRunListener& listener, TRunTally& tally) : FListener(listener), FTally(tally) {}

    void Root(const WideString& root) {
        const WideString resolved = ResolveLinks(root);
        if (resolved.empty() || !DirectoryExists(resolved))
            return Add(root, !resolved.empty() && HasExt(root, u".zip"));
        if (LooksLikeBundle(root)) return Add(root, false);
        FRoot = ExcludeTrailingBackslash(resolved);
        Search(ExcludeTrailingBackslash(root), FRoot);
    }

    std::vector<TFoundShow> Shows;

private:
    // shown: the folder as the user names it; real: where it is, for links.
    void Search(const WideString& shown, const WideString& real) {
        std::vector<TEntry> entries;
        try {
            FindFiles(shown, u"*.*", [&](int32_t, TFileInfo* info, bool&) {
                entries.push_back({info->Name, info->IsFolder, IsLinkEntry(info->Attributes, info->ReparseTag),
                                   uint64_t(std::max<int64_t>(info->Size, 0))});
                return true;
            });
        } catch (const EFileError& e) {
            FTally.Unreadable++;
            FListener.PassedBy(shown, TPassedBy::Unreadable, u"cannot be read: " + Utf8ToWide(CauseOf(e)));
            return;
        }
        std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) { return a.Name < b.Name; });
        for (const TEntry& entry : entries) {
            const WideString path = JoinPath(shown, entry.Name);
            const bool archiveName = !entry.Folder && HasExt(entry.Name, u".zip");
            // Wine shows a Unix link to a file as the file.
            if (entry.Link || ((entry.Folder || archiveName) && LeadsElsewhere(path))) {
                Link(path, real);
            } else if (entry.Folder) {
                Folder(path, JoinPath(real, entry.Name), entry.Name);
            } else if (archiveName && !IsBackupName(entry.Name, false)) {
                Add(path, true, entry.Size);
            }
        }
    }

    void Folder(const WideString& path, const WideString& real, const WideString& name) {
        if (IsStagedName(name)) return;
        if (!LooksLikeBundle(path)) return Search(path, real);
        if (IsBackupName(name, true)) return;
        if (HoldsShowFiles(path)) return Add(path, false);
        FTally.WithoutPresentation++;
        FListener.PassedBy(path, TPassedBy::NoShow, u"holds no presentation");
    }

    // Links are never followed: what one leads to inside the tree is met
    // where it is, and what lies outside was not asked for. Only links that
    // could have led to a show are told of.
    void Link(const WideString& path, const WideString& realFolder) {
        const WideString target = ResolveLinks(path);
        const uint32_t code = GetLastErrorCode();
        TPassedBy why = TPassedBy::LinkInside;
        WideString text;
        if (target.empty()) {
            why = code == WinError::CantResolveFilename ? TPassedBy::LinkLoop : TPassedBy::LinkNowhere;
            text = why == TPassedBy::LinkLoop ? u"a link that leads round in a circle; not followed"
                                              : u"a link that leads nowhere; not followed";
        } else {
            if (!DirectoryExists(target) && !HasExt(target, u".zip") && !HasExt(path, u".zip")) return;
            why = Within(realFolder, target) ? TPassedBy::LinkLoop
                  : !Within(target, FRoot)   ? TPassedBy::LinkOut
                                             : TPassedBy::LinkInside;
            text = (why == TPassedBy::LinkLoop  ? u"a link loop: it leads back to "
                    : why == TPassedBy::LinkOut ? u"a link out of the folder searched, to "
                                                : u"a link to ") +
                   target + u"; not followed";
        }
        FTally.LinksPassed++;
        FListener.PassedBy(path, why, text);
    }

    static bool HoldsShowFiles(const WideString& folder) {
        return FileExists(MarkerPath(folder)) || FileExists(ViewerPath(folder));
    }
    static bool LooksLikeBundle(const WideString& folder) {
        return HasExt(ExcludeTrailingBackslash(folder), u".app") || HoldsShowFiles(folder);
    }

    void Add(const WideString& path, bool archive, uint64_t bytes = 0) {
        Shows.push_back({path, archive, archive ? bytes : TreeBytes(path)});
    }

    static AnsiString CauseOf(const EFileError& e) {
        return e.ErrorCode != WinError::Success ? SystemErrorText(e.ErrorCode) : e.Message();
    }

    TRunListener& FListener;
    TRunTally& FTally;
    WideString FRoot;
};

// Passes each show's end on, but for archives that hold no presentation,
// which are no shows; tells how far the run is after each.
class TRunCounter : public TFixListener {
public:
    TRunCounter(TRunListener& listener, const std::vector<TFoundShow>& shows) : FListener(listener), FShows(shows) {
        for (const TFoundShow& show : shows) FTotal += show.Bytes;
    }
    void Progress(TFixStage stage, uint64_t done, uint64_t total) override { FListener.Progress(stage, done, total); }
    void Ended(const TPathEnd& end) override {
        const TFoundShow& show = FShows[size_t(FDone++)];
        if (show.Archive && end.Result && *end.Result == TOutcome::Refused && end.Result->Notes.empty()) {
            NoShows++;
            FTotal -= show.Bytes;
            FListener.PassedBy(end.Path, TPassedBy::NoShow, u"holds no presentation");
        } else {
            FBytes += show.Bytes;
            FListener.Ended(end);
        }
        Told();
    }
    void Told() { FListener.RunProgress(FDone - NoShows, int32_t(FShows.size()) - NoShows, FBytes, FTotal); }

    int32_t NoShows = 0;

private:
    TRunListener& FListener;
    const std::vector<TFoundShow>& FShows;
    int32_t FDone = 0;
    uint64_t FBytes = 0, FTotal = 0;
};

WideString Count(int32_t n, const char* one, const char* many = nullptr) {
    return IntToStr(n) + u" " + Utf8ToWide(n == 1 || !many ? one : many);
}

}  // namespace

std::vector<TFoundShow> FindShows(const std::vector<WideString>& roots, TRunListener& listener, TRunTally& tally) {
    TShowSearch search(listener, tally);
    for (const WideString& root : roots) search.Root(root);
    return std::move(search.Shows);
}

TRunTally FixTrees(const std::vector<WideString>& roots, const TPathFix& fix, TRunListener& listener) {
    TRunTally tally;
    const std::vector<TFoundShow> shows = FindShows(roots, listener, tally);
    std::vector<WideString> paths;
    for (const TFoundShow& show : shows) paths.push_back(show.Path);
    TRunCounter counter(listener, shows);
    counter.Told();
    tally.Shows = FixPaths(paths, fix, counter);
    tally.Shows.Refused -= counter.NoShows;
    tally.WithoutPresentation += counter.NoShows;
    return tally;
}

WideString DescribeRun(const TRunTally& tally, uint32_t milliseconds) {
    const TFixTally& shows = tally.Shows;
    WideString text =
        Count(shows.Total(), "show", "shows") + u": " + Count(shows.Fixed - shows.PermissionsOnly, "fixed");
    if (shows.NeedsFixing) text += u", " + Count(shows.NeedsFixing, "needs fixing", "need fixing");
    text += u", " + Count(shows.AlreadyFixed, "already fixed") + u", " +
            Count(shows.PermissionsOnly, "given execute permission only") + u", " + Count(shows.Refused, "refused") +
            u", " + Count(shows.Failed + shows.Missing, "failed");
    WideString passed;
    auto add = [&passed](const WideString& part) { passed += (passed.empty() ? u"; " : u", ") + part; };
    if (tally.WithoutPresentation) add(Count(tally.WithoutPresentation, "without a presentation"));
    if (tally.LinksPassed) add(Count(tally.LinksPassed, "link not followed", "links not followed"));
    if (tally.Unreadable) add(Count(tally.Unreadable, "folder unreadable", "folders unreadable"));
    const std::string seconds = std::to_string(milliseconds / 1000) + "." + std::to_string(milliseconds / 100 % 10);
    return text + passed + u"; " + Utf8ToWide(seconds) + u" s";
}
