// The Unix modes a fix gives the entries of a show's archive, in the
// directory only: entries without modes get what a Mac would give them
// (0755 programs and folders, 0644 other files), the bundle's programs with
// modes get x wherever they have r. No bit is taken away. Which files are
// programs their first bytes say, which the entry check takes
// (ZipEntryChecks.h).
#pragma once
#include <unordered_map>
#include <utility>
#include <vector>
#include "Archivers/Zip/ZipEntryChecks.h"

class TArchItem;
class TZipItem;
class TZipStructure;

// A Mac unpacks an entry without a mode (made elsewhere, or a Unix mode of
// 0) as 0644, or 0755 for a folder.
bool HasUnixMode(const TZipItem* entry);

class TShowModes {
public:
    TShowModes() = default;
    // Notes the entries without Unix modes, and the files with modes someone
    // may read but not run; Heads() names the files among them, for the
    // check to fill with their first bytes.
    explicit TShowModes(const TZipStructure& structure);
    TEntryHeads* Heads() { return &FHeads; }
    // Keys the entries noted (TZipNameIndex::MacKey): once, after the check
    // has begun, so that it need not wait for the keys.
    void KeyEntries();

    // Keys below are the bundle's and its viewer's; with newViewer the
    // viewer is left out, as a new one replaces it.
    // Whether any entry may need an execute bit the check's first bytes
    // decide: entries without Unix modes anywhere, and the bundle's files
    // that someone may read but not run.
    bool ToJudge(const WideString& bundleKey, const WideString& viewerKey, bool newViewer) const;
    // Once the check has filled the heads: the modes to give, by the items
    // they belong to (they outlive the entries a save copies).
    std::unordered_map<TArchItem*, uint32_t> Plan(const WideString& bundleKey, const WideString& viewerKey,
                                                  bool newViewer);

    // Forgets the entries, once the archive is saved.
    void Clear();

private:
    // The entries noted, with their keys once made.
    std::vector<std::pair<TZipItem*, WideString>> FModeless, FUnrunnable;
    TEntryHeads FHeads;
};
