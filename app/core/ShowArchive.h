// A ZIP archive as the fix sees it: read once, its entries known by their
// names as a Mac compares them (Archivers/Zip/ZipNameIndex.h), checked on
// workers meanwhile, and its show found and judged (TJudgedShow). What the
// fix changes in it is planned and saved by ShowEdits.h.
#pragma once
#include <memory>
#include <unordered_map>
#include <vector>
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Archivers/Zip/ZipNameIndex.h"
#include "BundleRules.h"
#include "FixProgress.h"
#include "Resealing.h"
#include "ShowModes.h"

class TFileStream;
class TJudgedShow;
class TZipArchive;
class TZipItem;

// An archive file opened for the fix to read: nobody changes it meanwhile,
// so that what is judged and checked holds for the bytes the fix copies.
TRef<TFileStream> OpenArchiveForReading(const WideString& path);

// Judged once (a second Judge fails its assertion at once, EAbort); what
// needs the judged bundle is the judged show's.
class TShowArchive {
public:
    // Reads the directory in stream (borrowed), refusing one that is
    // damaged (path names it; the entries' local records are left to the
    // check), and begins the check of every entry on
    // workers (ZipEntryChecks.h), which also takes the first bytes of the
    // entries whose modes it decides, while the judgement runs.
    TShowArchive(TStream* stream, const WideString& path, int32_t workers, TArchiveReaderSource openReader);
    // Checked on the zipper's number of workers, each with a handle of its own.
    TShowArchive(TStream* file, const WideString& path);
    ~TShowArchive();
    TShowArchive(const TShowArchive&) = delete;
    TShowArchive& operator=(const TShowArchive&) = delete;

    // The bundle is <archive base>.app; failing that, the one top-level
    // ".app" folder that holds a presentation; failing that, the one such
    // folder a top folder holds (an export folder zipped whole). Judged by
    // the bundle rules; where several hold one, none is judged. An archive
    // that holds a show but cannot be read whole raises (ZipEntryChecks.h).
    // Where it holds none, or raises, the entries' local records are judged
    // first: damage is said before anything else. The judged show borrows
    // this archive.
    TJudgedShow Judge(TResourceStream& payload);

private:
    friend class TJudgedShow;
    friend class TShowEdits;
    class TBundleOfArchive;
    enum class TStep { Read, Judged, Spent };
    bool HoldsPresentation(const WideString& bundleKey) const;
    std::vector<WideString> FindBundles() const;
    bool EntryHoldsPayload(TZipItem* entry, TResourceStream& payload);
    // Lets read take an entry's data as it unpacks; false when it fails.
    // With whole, the rest is unpacked too and checked against the checksum.
    bool ReadEntry(TZipItem* entry, const std::function<void(TStream& data)>& read, bool whole);
    // Once; later calls have nothing to wait for.
    void FinishCheck(const TFixProgress& progress);
    // The entries' local records, which the check judges as it reads
    // them, judged alone where it has not run: damage raised as the check
    // would raise it.
    void JudgeRecordsLeft();
    // Until the check is done with entries, so that they may change.
    void WaitForCheck(const std::vector<TZipItem*>& entries, const TFixProgress& progress);

    TStep FStep = TStep::Read;
    WideString FPath;
    TRef<TZipArchive> FArchive;
    TRef<TDefaultCallBack> FCallBack;
    TZipNameIndex FIndex;
    TShowModes FModes;
    // Last: its workers read the archive and fill the modes' heads, and
    // stop before they go.
    std::unique_ptr<TEntryCheck> FCheck;
};

// The show an archive holds, found and judged: what the steps after the
// judgement ask (notes, modes, the edits of ShowEdits.h). It borrows its
// archive; once handed on to its edits (moved), it serves no more, nor
// after the archive is saved: each step then fails its assertion at once.
class TJudgedShow {
public:
    TJudgedShow(TJudgedShow&& other) noexcept;
    TJudgedShow(const TJudgedShow&) = delete;
    TJudgedShow& operator=(const TJudgedShow&) = delete;

    TBundleState State() const { return FState; }
    // The bundle judged, as stored; empty when the archive holds none.
    const WideString& Bundle() const { return FBundle; }
    // Every bundle that holds a presentation where Judge found several.
    const std::vector<WideString>& Bundles() const { return FBundles; }
    // Of the bundle, before it changes (BundleRules.h).
    TBundleNotes Notes(bool viewerChanged);

    // Whether any entry may need an execute bit the check's first bytes
    // decide: entries without Unix modes anywhere, and the bundle's files
    // that someone may read but not run (not the viewer a new one replaces).
    bool ModesToJudge(bool newViewer) const;
    // Once; later calls have nothing to wait for.
    void FinishCheck(const TFixProgress& progress);
    // Where the fix ends without the check (already fixed): the entries'
    // local records judged alone.
    void JudgeRecordsLeft();
    // After the check: the programs that would get an execute bit
    // (ShowModes.h).
    int32_t ProgramsToMode(bool newViewer);

private:
    friend class TShowArchive;
    friend class TShowEdits;
    explicit TJudgedShow(TShowArchive& archive) : FArchive(&archive) {}
    // The archive, while this show serves.
    TShowArchive& Archive() const;
    WideString ViewerKey() const;
    // After the check: the modes to give, by the items they belong to.
    std::unordered_map<TArchItem*, uint32_t> ModesToGive(bool newViewer);

    TShowArchive* FArchive;
    TBundleState FState = TBundleState::NotAPresentation;
    WideString FBundle;
    std::vector<WideString> FBundles;
    // What the show's viewer, seal and launcher are to hold.
    TResealing FResealing;
};
