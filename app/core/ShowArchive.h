// A ZIP archive as the fix sees it: read once, its entries known by their
// names as a Mac compares them (case folded, decomposed), its bundle found,
// judged, checked and fixed.
#pragma once
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include "Archivers/Zip/ZipEntryChecks.h"
#include "BundleRules.h"
#include "FixProgress.h"
#include "Resealing.h"

class TFileStream;
class TZipArchive;
class TZipItem;

// An archive file opened for the fix to read: nobody changes it meanwhile,
// so that what is judged and checked holds for the bytes the fix copies.
TRef<TFileStream> OpenArchiveForReading(const WideString& path);

// Its steps go in one order: Judge once, then what needs the judged
// bundle (Notes, the check and its modes, Rewrite), then nothing; a step
// out of that order fails its assertion at once (EAbort).
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
    // first (JudgeRecordsLeft): damage is said before anything else.
    TBundleState Judge(TResourceStream& payload);
    // The bundle judged, as stored; empty when the archive holds none.
    const WideString& Bundle() const { return FBundle; }
    // Every bundle that holds a presentation where Judge found several.
    const std::vector<WideString>& Bundles() const { return FBundles; }
    // Of the judged bundle, before it changes (BundleRules.h).
    TBundleNotes Notes(bool viewerChanged);

    // Whether any entry may need an execute bit the check's first bytes
    // decide: entries without Unix modes anywhere, and the bundle's files
    // that someone may read but not run (not the viewer a new one replaces).
    bool ModesToJudge(bool newViewer) const;

    // Once; later calls have nothing to wait for.
    void FinishCheck(const TFixProgress& progress);
    // Where the fix ends without the check: the entries' local records,
    // which the check judges as it reads them, judged alone (the rest of
    // the archive's records were judged as it was read).
    void JudgeRecordsLeft();
    // After the check: the programs that would get an execute bit
    // (BundleRules.h). Entries without Unix modes get 0755 as programs and
    // folders, 0644 as other files; the bundle's programs with modes get x
    // wherever they have r. No bit is taken away.
    int32_t ProgramsToMode(bool newViewer);

    // Saves the archive anew in stream, which holds the bytes it was read
    // from: with newViewer, the viewer Judge found for this show in the
    // viewer entry (kept in name, place and comment; a Unix program with a
    // fresh time), its twins and its stale AppleDouble file gone; where the
    // show is signed again, its seal and launcher the same way. Other
    // entries keep their bytes and records, but for the modes above, given
    // once the check is done, just before the directory; the programs given
    // one. The check is waited for before the entries that change do. The
    // archive is spent after.
    int32_t Rewrite(TStream* stream, bool newViewer, const TFixProgress& progress);

private:
    class TBundleOfArchive;
    enum class TStep { Read, Judged, Spent };
    void Require(TStep step) const;
    TStep FStep = TStep::Read;
    // Names as a Mac compares them: folded, decomposed.
    static WideString MacKey(const WideString& path);
    // The hash of a key, or of an item's path's key: without a string where
    // its names are ASCII, as most are.
    static uint64_t KeyHash(const WideString& key);
    static uint64_t KeyHash(TArchItem* item);
    // The file entries at a key, in the directory's order.
    std::vector<TZipItem*> FilesAt(const WideString& key) const;
    // The folder at key, made with the folders above it when new.
    std::vector<TZipItem*>& AddFolder(const WideString& key);
    bool HoldsPresentation(const WideString& bundleKey) const;
    std::vector<WideString> FindBundles() const;
    // The modes to give, by the items they belong to: they outlive the
    // entries a save copies.
    std::unordered_map<TArchItem*, uint32_t> PlanModes(bool newViewer);
    bool EntryHoldsPayload(TZipItem* entry, TResourceStream& payload);
    // Lets read take an entry's data as it unpacks; false when it fails.
    // With whole, the rest is unpacked too and checked against the checksum.
    bool ReadEntry(TZipItem* entry, const std::function<void(TStream& data)>& read, bool whole);
    WideString ViewerKey() const;

    WideString FPath;
    TRef<TZipArchive> FArchive;
    TRef<TDefaultCallBack> FCallBack;
    // File entries (links included) by the hash of their path's key, which
    // a lookup compares the keys of; the keys of link entries.
    struct THashedEntry {
        uint64_t Hash;
        TZipItem* Entry;
    };
    std::vector<THashedEntry> FFiles;
    std::unordered_set<WideString> FLinks;
    // Every folder a file lies below, by key, with the files right in it.
    std::unordered_map<WideString, std::vector<TZipItem*>> FFolders;
    // Top-level names by key, as first stored.
    std::unordered_map<WideString, WideString> FTopNames;
    std::vector<WideString> FTopOrder;
    WideString FBundle;
    std::vector<WideString> FBundles;
    // What the judged show's viewer, seal and launcher are to hold.
    TResealing FResealing;
    // Entries without Unix modes, and files with modes someone may read but
    // not run, with their keys; the first bytes of the files among them
    // once verified.
    std::vector<std::pair<TZipItem*, WideString>> FModeless, FUnrunnable;
    TEntryHeads FHeads;
    // Last: its workers read the archive, and stop before it goes.
    std::unique_ptr<TEntryCheck> FCheck;
};
