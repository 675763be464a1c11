#include "BundleRules.h"
#include "Archivers/Zip/EntryModes.h"
#include "Formats/MachO.h"
#include "Formats/PropertyList.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Resealing.h"

namespace {

constexpr char16_t ProgramsInBundle[] = u"Contents\\MacOS";

// The program the bundle's Info.plist names; a name that would lead out of
// Contents/MacOS names none.
WideString NamedLauncher(TBundleView& view) {
    const std::string info = ReadListFile(view, InfoInBundle);
    const WideString named = Utf8ToWide(PropertyListString(info, "CFBundleExecutable"));
    return named.find_first_of(u"/\\") == WideString::npos ? named : WideString();
}

// The program the bundle starts, as a path in it: the named one, else the
// one file in Contents/MacOS; empty when there is none.
WideString LauncherOf(TBundleView& view, const WideString& named) {
    const WideString folder = WideString(ProgramsInBundle) + u"\\";
    if (!named.empty()) return view.FilesAt(folder + named) > 0 ? folder + named : WideString();
    const std::vector<WideString> programs = view.FilesIn(ProgramsInBundle);
    return programs.size() == 1 ? folder + programs[0] : WideString();
}

// A name as the Terminal takes it.
AnsiString Quoted(const AnsiString& name) {
    return name.find_first_of(" '\"$`\\!&;()") == AnsiString::npos ? name : "'" + name + "'";
}

}  // namespace

std::string ReadListFile(TBundleView& view, const WideString& path) {
    std::string list;
    view.Read(path, [&list](TStream& data) {
        char block[65536];
        for (int32_t n; list.size() < MostListBytes && (n = data.Read(block, int32_t(sizeof block))) > 0;)
            list.append(block, size_t(n));
    });
    return list;
}

WideString LauncherPath(TBundleView& view) { return LauncherOf(view, NamedLauncher(view)); }

TMachOFile ProgramAt(TBundleView& view, const WideString& path) {
    TMachOFile program;
    if (!path.empty()) view.Read(path, [&program](TStream& data) { program = ReadMachO(data); });
    return program;
}

TBundleState JudgeBundle(TBundleView& view, TResourceStream& payload, TResealing& resealing) {
    const WideString viewer = ViewerInBundle;
    if (view.FilesAt(MarkerInBundle) == 0 || view.FilesAt(viewer) == 0) return TBundleState::NotAPresentation;
    for (size_t end = 0; (end = viewer.find(u'\\', end)) != WideString::npos; ++end)
        if (const WideString folder = viewer.substr(0, end); view.LinkAt(folder))
            throw EFileAccessError("The viewer's folder \"" + view.Shown(folder) +
                                       "\" is a link; the viewer is written only inside the bundle, so nothing was "
                                       "changed",
                                   WinError::AccessDenied);
    resealing = PlanResealing(view, payload);
    return view.FilesAt(viewer) == 1 && view.HoldsPayload(viewer, *resealing.Viewer) ? TBundleState::AlreadyFixed
                                                                                     : TBundleState::NeedsFix;
}

TBundleNotes BundleNotes(TBundleView& view, const WideString& bundleName, bool viewerChanged,
                         const TResealing& resealing) {
    TBundleNotes found;
    std::vector<AnsiString>& notes = found.Lines;
    const WideString named = NamedLauncher(view);
    const WideString launcherPath = LauncherOf(view, named);
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
    if (resealing.Resealed && resealing.SignedAgain)
        notes.push_back("signed again ad hoc; the first start needs Open Anyway (see the steps)");
    if (!resealing.Failure.empty()) {
        const AnsiString bundle = Quoted(WideToUtf8(bundleName));
        const AnsiString viewer = Quoted(WideToUtf8(bundleName) + "/Contents/Resources/Viewer.app");
        notes.push_back(AnsiString(resealing.Signed ? "the show is signed, and its signature"
                                                    : "the new viewer is signed, and its signature") +
                        " cannot be made to match here (" + resealing.Failure +
                        "): macOS will call it damaged until it is signed again on the Mac, with the Terminal "
                        "lines given");
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
