// The rules a presentation bundle is judged by, written once for a bundle
// folder on a disk and for a bundle inside an archive.
#pragma once
#include <functional>
#include <vector>
#include "Formats/MachO.h"
#include "Foundation/Types.h"
#include "Streams/Streams.h"

// Where a bundle keeps the files the fix looks at: paths below the bundle
// folder, '\'-separated as the archive tree names them.
inline constexpr char16_t ViewerInBundle[] = u"Contents\\Resources\\Viewer.app\\Contents\\MacOS\\ZuvOrudad5";
inline constexpr char16_t MarkerInBundle[] = u"Contents\\Resources\\slideshow.dat";
inline constexpr char16_t InfoInBundle[] = u"Contents\\Info.plist";

// What the rules ask of a bundle, wherever it is kept. Paths are below the
// bundle folder, '\'-separated.
class TBundleView {
public:
    virtual ~TBundleView() = default;
    // How many files stand at path: an archive may hold several whose names
    // a Mac takes for one.
    virtual int32_t FilesAt(const WideString& path) = 0;
    virtual bool LinkAt(const WideString& path) = 0;
    // Whether the one file at path holds exactly the payload.
    virtual bool HoldsPayload(const WideString& path, TResourceStream& payload) = 0;
    // path as a message shows it to the user.
    virtual AnsiString Shown(const WideString& path) = 0;
    // Whether anything stands below the folder at path.
    virtual bool FolderAt(const WideString& path) = 0;
    // The names of the files right in the folder at path.
    virtual std::vector<WideString> FilesIn(const WideString& folder) = 0;
    // The names of the folders right in the folder at path, as a Mac
    // compares them where the bundle is an archive's.
    virtual std::vector<WideString> FoldersIn(const WideString& folder) = 0;
    // Lets read take the file at path from its first byte; false when there
    // is none or it cannot be read.
    virtual bool Read(const WideString& path, const std::function<void(TStream& data)>& read) = 0;
};

// A property list of the bundle (an Info.plist, a seal), whole up to
// MostListBytes; empty when there is none or it cannot be read.
constexpr size_t MostListBytes = 16 << 20;
std::string ReadListFile(TBundleView& view, const WideString& path);
// The program the bundle starts: the one its Info.plist names, else the one
// file in Contents/MacOS; empty when there is none.
WideString LauncherPath(TBundleView& view);
// What the file's first bytes say of it as a Mac program; no program where
// path is empty or names no file.
TMachOFile ProgramAt(TBundleView& view, const WideString& path);

enum class TBundleState { NotAPresentation, NeedsFix, AlreadyFixed };

// NotAPresentation without both the marker and the viewer. A link on the
// viewer's way raises EFileAccessError: it could lead out of the bundle.
// Twins of the viewer need a fix, which leaves one.
// The viewer is judged against what it is to hold in this show, which
// resealing says (Resealing.h).
struct TResealing;
TBundleState JudgeBundle(TBundleView& view, TResourceStream& payload, TResealing& resealing);

// A line each for what the fix cannot mend: a launcher missing, or one no
// current Mac starts (or only through Rosetta), and how a signed show's
// signature fares as its viewer changes; and whether the show cannot start
// on a current Mac.
// Commands are Terminal lines the Mac user runs in the folder that holds
// the bundle, one command each, for the notes that call for them.
struct TBundleNotes {
    std::vector<AnsiString> Lines;
    std::vector<AnsiString> Commands;
    bool CannotStart = false;
};
TBundleNotes BundleNotes(TBundleView& view, const WideString& bundleName, bool viewerChanged,
                         const TResealing& resealing);

// Where several shows were found and none was taken.
enum class SeveralShowsIn { Folder, Archive };
// Names them (as stored, '/'-separated) and says what to do instead.
AnsiString SeveralShowsNote(const std::vector<WideString>& shows, SeveralShowsIn where);

// Which files need execute permission on a Mac: IsProgramFile, the
// library's rule (Formats/MachO.h), which the zipper follows too.
