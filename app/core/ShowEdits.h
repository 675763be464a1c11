// What the fix changes in a show's archive, and the save that changes it:
// with a new viewer, its entry is written anew (kept in name, place and
// comment; a Unix program with a fresh time), its twins and its stale
// AppleDouble file go; where the show is signed again, its seal and
// launcher the same way. Entries without modes, and the bundle's programs
// without an execute bit, get modes in their directory records
// (ShowModes.h). Every other entry keeps its bytes and records.
#pragma once
#include <unordered_map>
#include <vector>
#include "ShowArchive.h"

class TShowEdits {
public:
    // The edits of show, which they take over: with a new viewer where it
    // needs a fix, else the modes alone. Where the show is signed again,
    // its launcher is read whole here, before a save writes over the
    // archive it lies in: raises EArchiveBroken where it cannot be.
    explicit TShowEdits(TJudgedShow&& show);
    // Not moved either: the new contents may lie in it.
    TShowEdits(const TShowEdits&) = delete;
    TShowEdits& operator=(const TShowEdits&) = delete;

    struct TReplacement {
        TZipItem* Entry;
        TConstByteSpan Contents;
        uint32_t Mode;
    };
    // Whether the viewer is written anew.
    bool NewViewer() const { return FNewViewer; }
    // The viewer's entry first, then the seal's and the launcher's.
    const std::vector<TReplacement>& Replaced() const { return FReplaced; }
    // Their twins and their AppleDouble files under __MACOSX.
    const std::vector<TZipItem*>& Removed() const { return FRemoved; }
    // Once the check is done (TJudgedShow::FinishCheck): the modes to set,
    // by the items they belong to.
    std::unordered_map<TArchItem*, uint32_t> Modes();

    // Saves the archive anew in stream, which holds the bytes it was read
    // from: the entries that change once the check is done with them, the
    // modes once it is done, just before the directory (what it finds fails
    // the save). The programs given a mode. The edits are spent by it, and
    // the archive with them: any later step fails its assertion at once.
    // The stream is a copy the caller throws away if the save fails, so the
    // save keeps nothing to put back.
    int32_t Save(TStream* stream, const TFixProgress& progress) &&;

private:
    // The entry at path below the bundle is to hold bytes, as a Unix file
    // of mode (0: the mode it has, else 0644).
    void Replace(const WideString& path, TConstByteSpan bytes, uint32_t mode);

    TJudgedShow FShow;
    const bool FNewViewer;
    // The launcher signed again.
    TRef<TResourceStream> FLauncher = MakeRef<TResourceStream>();
    std::vector<TReplacement> FReplaced;
    std::vector<TZipItem*> FRemoved;
};
