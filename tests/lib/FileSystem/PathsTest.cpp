// Name handling: separators, extensions, roots and the long form of paths.
#include <gtest/gtest.h>
#include "FileSystem/FileAPI.h"
#include "support/ScratchFolder.h"

namespace {
WideString P(const std::u16string& text) { return NativePath(text); }
}  // namespace

TEST(PathHelpers, TrailingSeparatorIsAddedOrRemovedOnce) {
    EXPECT_EQ(IncludeTrailingBackslash(u""), u"");
    EXPECT_EQ(ExcludeTrailingBackslash(u""), u"");
    EXPECT_EQ(IncludeTrailingBackslash(P(u"C:/a")), P(u"C:/a/"));
    EXPECT_EQ(IncludeTrailingBackslash(P(u"C:/a/")), P(u"C:/a/"));
    EXPECT_EQ(ExcludeTrailingBackslash(P(u"C:/a/")), P(u"C:/a"));
    EXPECT_EQ(ExcludeTrailingBackslash(P(u"C:/a//")), P(u"C:/a/"));
    EXPECT_EQ(ExcludeTrailingBackslash(P(u"C:/a")), P(u"C:/a"));
}

TEST(PathHelpers, JoinPathPutsExactlyOneSeparatorBetween) {
    EXPECT_EQ(JoinPath(P(u"C:/a"), u"b"), P(u"C:/a/b"));
    EXPECT_EQ(JoinPath(P(u"C:/a/"), u"b"), P(u"C:/a/b"));
    EXPECT_EQ(JoinPath(P(u"C:/a"), P(u"/b")), P(u"C:/a/b"));
    EXPECT_EQ(JoinPath(P(u"C:/a/"), P(u"/b")), P(u"C:/a/b"));
    EXPECT_EQ(JoinPath(u"", P(u"/b")), P(u"/b"));
    EXPECT_EQ(JoinPath(u"", u"b"), u"b");
    EXPECT_EQ(JoinPath(P(u"C:/a"), P(u"b/c")), P(u"C:/a/b/c"));
}

TEST(PathHelpers, FileNameIgnoresOneTrailingSeparator) {
    EXPECT_EQ(ExtractFileName(P(u"C:/a/b.app/")), u"b.app");
    EXPECT_EQ(ExtractFileName(P(u"C:/a/b.app")), u"b.app");
    EXPECT_EQ(ExtractFileName(u"b.app"), u"b.app");
    EXPECT_EQ(ExtractFileName(u""), u"");
    EXPECT_EQ(ExtractFileName(P(u"/")), u"");
}

TEST(PathHelpers, FilePathWithAndWithoutSeparator) {
    EXPECT_EQ(ExtractFilePath(P(u"C:/a/b.app/"), true), P(u"C:/a/"));
    EXPECT_EQ(ExtractFilePath(P(u"C:/a/b.app/"), false), P(u"C:/a"));
    EXPECT_EQ(ExtractFilePath(P(u"C:/a/b.app"), false), P(u"C:/a"));
    EXPECT_EQ(ExtractFilePath(P(u"C:/file"), true), P(u"C:/"));
    EXPECT_EQ(ExtractFilePath(P(u"/file"), true), P(u"/"));
    EXPECT_EQ(ExtractFilePath(P(u"/file"), false), u"");
    EXPECT_EQ(ExtractFilePath(u"file", true), u"");
    EXPECT_EQ(ExtractFilePath(P(u"/"), true), u"");
}

TEST(PathHelpers, ExtensionBelongsToTheLastComponentOnly) {
    EXPECT_EQ(ExtractFileExt(P(u"C:/a.b/file")), u"");
    EXPECT_EQ(ExtractFileExt(P(u"C:/a.b/file.tar.gz")), u".gz");
    EXPECT_EQ(ExtractFileExt(P(u"C:/a/.hidden")), u".hidden");
    EXPECT_EQ(ExtractFileExt(P(u"C:/a/name.")), u".");
    EXPECT_EQ(ExtractFileExt(u""), u"");
}

TEST(PathHelpers, ChangeFileExtCutsAtTheLastDotOfTheName) {
    EXPECT_EQ(ChangeFileExt(P(u"C:/a.b/file"), u".x"), P(u"C:/a.b/file.x"));
    EXPECT_EQ(ChangeFileExt(P(u"C:/a.b/file.zip"), u".bak.zip"), P(u"C:/a.b/file.bak.zip"));
    EXPECT_EQ(ChangeFileExt(P(u"C:/a/file.zip"), u"x"), P(u"C:/a/file.x"));
    EXPECT_EQ(ChangeFileExt(P(u"C:/a/file.zip"), u""), P(u"C:/a/file"));
    EXPECT_EQ(ChangeFileExt(P(u"C:/a/Show.app"), u".app.bak"), P(u"C:/a/Show.app.bak"));
    EXPECT_EQ(ChangeFileExt(u"file.tar.gz", u".tgz"), u"file.tar.tgz");
}

// Windows takes '/' as a separator as well; the helpers do everywhere.
TEST(PathHelpers, ForwardSlashIsASeparatorEverywhere) {
    EXPECT_TRUE(IsPathDelimiter(u'/'));
    EXPECT_EQ(IsPathDelimiter(u'\\'), PathDelim == u'\\');
    EXPECT_EQ(ExtractFileName(u"wz3/Show.zip"), u"Show.zip");
    EXPECT_EQ(ExtractFilePath(u"Z:/shows/Show.zip", false), u"Z:/shows");
    EXPECT_EQ(ChangeFileExt(u"a.b/Show", u".bak.zip"), u"a.b/Show.bak.zip");
    EXPECT_EQ(JoinPath(u"a/", u"b"), u"a/b");
    EXPECT_EQ(IncludeTrailingBackslash(u"a/"), u"a/");
}

// A root has no parent to hold a backup; drives and shares are roots only
// where the system has them, and "C:x" is a name elsewhere.
TEST(PathHelpers, RootsAreToldWithOrWithoutTrailingSeparators) {
    for (const WideString& root : {WideString(), P(u"/"), P(u"//")}) EXPECT_TRUE(IsRootFolder(root)) << Narrow(root);
    for (const WideString& folder : {P(u"/a"), P(u"/a/"), WideString(u"a"), P(u"C:/a")})
        EXPECT_FALSE(IsRootFolder(folder)) << Narrow(folder);
    const bool windows = PathDelim == u'\\';
    for (const WideString name : {u"C:", u"C:\\", u"C:/", u"\\\\server", u"\\\\server\\share\\", u"//server/share"})
        EXPECT_EQ(IsRootFolder(name), windows) << Narrow(name);
    EXPECT_FALSE(IsRootFolder(u"\\\\server\\share\\Show.app"));
    EXPECT_TRUE(IsAbsolutePath(P(u"/a")));
    EXPECT_FALSE(IsAbsolutePath(u"a"));
    EXPECT_EQ(IsAbsolutePath(u"C:a"), windows);
}

TEST(LongPaths, OnlyPathsOf260CharactersOrMoreGetThePrefix) {
    WideString short259 = u"C:\\" + WideString(256, u'a');
    WideString long260 = short259 + u"b";
    EXPECT_EQ(LongPathName(short259), short259);
    EXPECT_EQ(LongPathName(long260), u"\\\\?\\" + long260);
    // Already long: untouched.
    EXPECT_EQ(LongPathName(u"\\\\?\\" + long260), u"\\\\?\\" + long260);
}

TEST(LongPaths, NetworkPathsTakeTheUncForm) {
    WideString network = u"\\\\server\\share\\" + WideString(300, u'n');
    EXPECT_EQ(LongPathName(network), u"\\\\?\\UNC\\server\\share\\" + WideString(300, u'n'));
    EXPECT_EQ(RemoveLongPathPrefix(LongPathName(network)), network);
}

TEST(LongPaths, PrefixIsRemovedFromResults) {
    EXPECT_EQ(RemoveLongPathPrefix(u"\\\\?\\UNC\\server\\share"), u"\\\\server\\share");
    EXPECT_EQ(RemoveLongPathPrefix(u"\\\\?\\C:\\x"), u"C:\\x");
    EXPECT_EQ(RemoveLongPathPrefix(u"C:\\x"), u"C:\\x");
    EXPECT_EQ(RemoveLongPathPrefix(u"\\\\server\\share"), u"\\\\server\\share");
}
