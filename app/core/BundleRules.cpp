#include "BundleRules.h"
#include "Archivers/Zip/EntryModes.h"
#include "Formats/MachO.h"
#include "Formats/PropertyList.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

namespace {

constexpr char16_t InfoInBundle[] = u"Contents\\Info.plist";
constexpr char16_t ProgramsInBundle[] = u"Contents\\MacOS";
// An Info.plist is a few kilobytes; more is not one.
constexpr size_t MostInfoBytes = 1 << 20;

// The program the bundle's Info.plist names; a name that would lead out of
// Contents/MacOS names none.
WideString NamedLauncher(TBundleView& view) {
    std::string info;
    view.Read(InfoInBundle, [&info](TStream& data) {
        char block[65536];
        for (int32_t n; info.size() < MostInfoBytes && (n = data.Read(block, int32_t(sizeof block))) > 0;)
            info.append(block, size_t(n));
    });
    const WideString named = Utf8ToWide(PropertyListString(info, "CFBundleExecutable"));
    return named.find_first_of(u"/\\") == WideString::npos ? named : WideString();
}

// The program the bundle starts, as a path in it: the named one, else the
// one file in Contents/MacOS; empty when there is none.
WideString Launcher(TBundleView& view, const WideString& named) {
    const WideString folder = WideString(ProgramsInBundle) + u"\\";
    if (!named.empty()) return view.FilesAt(folder + named) > 0 ? folder + named : WideString();
    const std::vector<WideString> programs = view.FilesIn(ProgramsInBundle);
    return programs.size() == 1 ? folder + programs[0] : WideString();
}

TMachOFile ProgramAt(TBundleView& view, const WideString& path) {
    TMachOFile program;
    if (!path.empty()) view.Read(path, [&program](TStream& data) { program = ReadMachO(data); });
    return program;
}

// A name as the Terminal takes it.
AnsiString Quoted(const AnsiString& name) {
    return name.find_first_of(" '\"$`\\!&;()") == AnsiString::npos ? name : "'" + name + "'";
}

}  // namespace

TBundleState JudgeBundle(TBundleView& view, TResourceStream& payload) {
    const WideString viewer = ViewerInBundle;
    if (view.FilesAt(MarkerInBundle) == 0 || view.FilesAt(viewer) == 0) return TBundleState::NotAPresentation;
    for (size_t end = 0; (end = viewer.find(u'\\', end)) != WideString::npos; ++end)
        if (const WideString folder = viewer.substr(0, end); view.LinkAt(folder))
            throw EFileAccessError("The viewer's folder \"" + view.Shown(folder) +
                                       "\" is a link; the viewer is written only inside the bundle, so nothing was "
                                       "changed",
                                   WinError::AccessDenied);
    return view.FilesAt(viewer) == 1 && view.HoldsPayload(viewer, payload) ? TBundleState::AlreadyFixed
                                                                           : TBundleState::NeedsFix;
}

TBundleNotes BundleNotes(TBundleView& view, const WideString& bundleName, bool viewerChanged) {
    TBundleNotes found;
    std::vector<AnsiString>& notes = found.Lines;
    const WideString named = NamedLauncher(view);
    const WideString launcherPath = Launcher(view, named);
    const TMachOFile launcher = ProgramAt(view, launcherPath);
    const AnsiString name = WideToUtf8(launcherPath.substr(launcherPath.rfind(u'\\') + 1));
    if (launcherPath.empty())
        notes.push_back((named.empty() ? AnsiString("the show has no program in \"Contents/MacOS\"")
                                       : "the show's program \"Contents/MacOS/" + WideToUtf8(named) + "\" is missing") +
                        ": it cannot start on a Mac, whatever the viewer; ask whoever made the show for a new export");
    else if (launcher.Only32Bit())
        notes.push_back("the show's program \"" + name + "\" holds 32-bit code only (" + launcher.Architectures() +
                        "): it cannot start on macOS 10.15 or later, whatever the viewer");
    else if (launcher.IntelOnly())
        notes.push_back("the show's program \"" + name +
                        "\" holds Intel code only: on a Mac with Apple silicon it needs Rosetta");
    // Rosetta starts Intel code.
    found.CannotStart = launcherPath.empty() || launcher.Only32Bit();
    if (!viewerChanged) return found;
    const bool signedShow = view.FolderAt(u"Contents\\_CodeSignature") ||
                            view.FolderAt(u"Contents\\Resources\\Viewer.app\\Contents\\_CodeSignature") ||
                            launcher.Signed() || ProgramAt(view, ViewerInBundle).Signed();
    if (signedShow) {
        const AnsiString bundle = Quoted(WideToUtf8(bundleName));
        const AnsiString viewer = Quoted(WideToUtf8(bundleName) + "/Contents/Resources/Viewer.app");
        notes.push_back(
            "the show is signed, and its signature no longer matches the new viewer: macOS will call "
            "it damaged until it is signed again on the Mac, with the Terminal lines given");
        found.Commands = {"xattr -cr " + bundle, "codesign --force --sign - " + viewer,
                          "codesign --force --sign - " + bundle};
    }
    return found;
}

AnsiString SeveralShowsNote(const std::vector<WideString>& shows, SeveralShowsIn where) {
    AnsiString names;
    for (size_t i = 0; i < shows.size(); ++i)
        names += (i == 0 ? "\"" : i + 1 == shows.size() ? " and \"" : ", \"") + WideToUtf8(StoredPath(shows[i])) + "\"";
    return where == SeveralShowsIn::Folder
               ? "this folder holds " + std::to_string(shows.size()) + " shows, " + names + ": pick one of them"
               : "this archive holds " + std::to_string(shows.size()) + " shows, " + names +
                     ": only an archive of one show can be fixed; zip each on its own";
}
