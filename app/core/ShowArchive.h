// A ZIP archive as the fix sees it: opened and read once, its entries
// known by their names as a Mac compares them (without case, under
// canonical decomposition) on every host, its presentation bundle found,
// judged, checked and fixed.
#pragma once
#include <unordered_map>
#include <vector>
#include "Archivers/Zip/ZipEntryChecks.h"
#include "BundleRules.h"
#include "FixProgress.h"

class TZipArchive;
class TZipItem;

class TShowArchive {
public:
    // Reads the directory of the archive held in stream (borrowed) and
    // refuses an archive that cannot be read whole (ZipEntryChecks.h); path
    // names it in messages, and its base name is the bundle expected.
    TShowArchive(TStream* stream, const WideString& path);
    ~TShowArchive();
    TShowArchive(const TShowArchive&) = delete;
    TShowArchive& operator=(const TShowArchive&) = delete;

    // The bundle is <archive base>.app; failing that, the one top-level
    // ".app" folder that holds a presentation. Judged by the bundle rules.
    TBundleState Judge(TResourceStream& payload);
    // The bundle judged, as stored; empty when the archive holds none.
    const WideString& Bundle() const { return FBundle; }

    // Checks every entry against its checksum and size (ZipEntryChecks.h).
    void Verify(int32_t workers, const TArchiveReaderSource& openReader, const TFixProgress& progress);

    // Writes payload over the judged bundle's viewer entry in stream, which
    // holds the bytes the archive was read from (the archive itself, or a
    // copy). The archive's save cuts the old data out and adds the new at
    // the end, and puts stream back as it was on any failure. The entry
    // keeps its name, its place in the directory and its comment, and
    // becomes a Unix program with a fresh time; twins of it go. Every
    // other entry keeps its bytes.
    void ReplaceViewer(TStream* stream, TResourceStream& payload, const TFixProgress& progress);

private:
    class TBundleOfArchive;
    // Names as a Mac compares them: folded, decomposed.
    static WideString MacKey(const WideString& path);
    const std::vector<TZipItem*>& FilesAt(const WideString& key) const;
    bool LinkAt(const WideString& key) const;
    bool HoldsPresentation(const WideString& bundleKey) const;
    WideString ChooseBundle() const;
    bool EntryHoldsPayload(TZipItem* entry, TResourceStream& payload);

    WideString FPath;
    TRef<TZipArchive> FArchive;
    TRef<TDefaultCallBack> FCallBack;
    // File entries (links included) and link entries by the key of their path.
    std::unordered_map<WideString, std::vector<TZipItem*>> FFiles;
    std::unordered_map<WideString, bool> FLinks;
    // Top-level names by key, as first stored.
    std::unordered_map<WideString, WideString> FTopNames;
    std::vector<WideString> FTopOrder;
    WideString FBundle;
};
