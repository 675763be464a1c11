#include <gtest/gtest.h>
#include <vector>
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/FileAPI.h"
#include "FixDispatch.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/SysError.h"
#include "ShowSearch.h"
#include "support/FaultyFileAPI.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"
#include "support/Shows.h"

namespace {

// The search takes bundles and archives, not their backups, staged files
// or what a bundle holds, searches a folder that only has a backup's name,
// and tells of a folder it cannot list; the run counts archives without a
// presentation apart, and a second run finds every show fixed.
TEST(ShowSearch, FindsEveryShowOnceAndNothingAFixLeftBesideIt) {
    TScratchFolder scratch;
    const WideString root = scratch / u"tree";
    const WideString bundle = MakeBundle(scratch / u"tree/a/Show.app");
    MakeBundle(bundle + u".bak");
    MakeBundle(bundle + u".bak (2)");
    WriteBytes(JoinPath(bundle, u"Contents/Resources/inner.zip"), "not searched");
    const std::string archive = ReadBytes(MakeArchive(scratch / u"made"));
    for (const char16_t* name : {u"Show.zip", u"Show.bak.zip", u"Show.bak (3).zip", u"Show.zip.nvxfix-new"})
        WriteBytes(scratch / (u"tree/a/" + WideString(name)), archive);
    WriteBytes(scratch / u"tree/b/Other.app/Contents/Info.plist", "<plist/>");
    const WideString deep = MakeBundle(scratch / u"tree/b/older.bak/Deep.app");
    WriteBytes(scratch / u"tree/b/photos/day.txt", "photos");
    MakeRef<TFileZipper>()->Zip(scratch / u"tree/b/photos.zip", scratch / u"tree/b/photos",
                                TFileZipper::WithFolderName);
    WriteBytes(scratch / u"tree/c/locked/Hidden.app/Contents/Info.plist", "<plist/>");

    class TLockedFolder : public TFileAPI {
    public:
        TNativeHandle FindFirst(const WideString& pattern, TFindData& data) override {
            if (pattern.find(u"locked") == WideString::npos) return TFileAPI::FindFirst(pattern, data);
            SetLastErrorCode(WinError::AccessDenied);
            return InvalidNativeHandle;
        }
    };
    struct TTold : TRunListener {
        std::vector<WideString> Lines;
        int32_t Done = 0, Found = 0;
        void Progress(TFixStage, uint64_t, uint64_t) override {}
        void Ended(const TPathEnd& end) override {
            Lines.push_back(end.Path.substr(end.Path.rfind(PathDelim) + 1) + u" " +
                            Utf8ToWide(end.Result ? OutcomeText(end.Result->Outcome) : "failed"));
        }
        void PassedBy(const WideString& path, TPassedBy why, const WideString& text) override {
            Lines.push_back(ExtractFileName(path) + u" " + text +
                            (why == TPassedBy::Unreadable ? u" (unreadable)" : u""));
        }
        void RunProgress(int32_t done, int32_t found, uint64_t, uint64_t) override { Done = done, Found = found; }
    };
    TRef<TLockedFolder> locked = MakeRef<TLockedFolder>();
    TFileAPIScope scope(locked.Get());
    for (TOutcome outcome : {TOutcome::Done, TOutcome::AlreadyFixed}) {
        TTold told;
        const TRunTally tally = FixTrees({root}, FixPicked, told);
        // Appended: a literal plus a string trips a false -Wrestrict of mingw.
        const WideString done = WideString(u" ").append(Utf8ToWide(OutcomeText(outcome)));
        // What holds no show is named, and leaves the bar's counts.
        EXPECT_EQ(told.Lines,
                  (std::vector<WideString>{u"Other.app holds no presentation",
                                           WideString(u"locked cannot be read: ")
                                               .append(Utf8ToWide(SystemErrorText(WinError::AccessDenied)))
                                               .append(u" (unreadable)"),
                                           WideString(u"Show.app").append(done), WideString(u"Show.zip").append(done),
                                           WideString(u"Deep.app").append(done), u"photos.zip holds no presentation"}));
        EXPECT_EQ((std::vector<int>{told.Done, told.Found, tally.Shows.Total(), tally.WithoutPresentation,
                                    tally.Unreadable, tally.Shows.Refused}),
                  (std::vector<int>{3, 3, 3, 2, 1, 0}));
    }
    EXPECT_EQ(ReadBytes(ViewerPath(deep)), Payload());
    EXPECT_EQ(ReadBytes(ViewerPath(bundle + u".bak")), "OLD VIEWER");
}

}  // namespace
