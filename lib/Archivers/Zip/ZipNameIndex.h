// The entries of a ZIP archive by their names as a Mac compares them: case
// folded and canonically decomposed, so that names apart only by case or
// Unicode form are one name ("twins"). Read from the archive's directory in
// one pass; it points into that directory, so it serves until the archive
// is saved or closed.
#pragma once
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include "Foundation/Types.h"

class TArchItem;
class TZipArchive;
class TZipItem;

class TZipNameIndex {
public:
    // Folders by key, each with the files right in it in the directory's order.
    using TFolders = std::unordered_map<WideString, std::vector<TZipItem*>>;

    TZipNameIndex() = default;
    // Indexes the entries archive has read (its tree names them).
    explicit TZipNameIndex(TZipArchive& archive);

    // A '\'-separated path as a Mac compares it: folded, decomposed.
    static WideString MacKey(const WideString& path);
    // The hash of a key, or of an item's path's key: without a string where
    // its names are ASCII, as most are.
    static uint64_t KeyHash(const WideString& key);
    static uint64_t KeyHash(TArchItem* item);

    // The file entries (links included) at a key, twins in the directory's order.
    std::vector<TZipItem*> FilesAt(const WideString& key) const;
    // Whether a Unix link entry stands at key.
    bool LinkAt(const WideString& key) const { return FLinks.count(key) != 0; }
    // Whether a file lies below the folder at key, how deep soever.
    bool FolderAt(const WideString& key) const { return FFolders.count(key) != 0; }
    // The file entries right in the folder at key; none for the top level.
    const std::vector<TZipItem*>& FilesIn(const WideString& key) const;
    // The keys of the folders right in the folder at key (their last
    // component), in no order.
    std::vector<WideString> FoldersIn(const WideString& key) const;
    // Every folder a file lies below.
    const TFolders& Folders() const { return FFolders; }
    // The keys of the top-level names (files and folders), each once, in
    // the order they first appear in the directory.
    const std::vector<WideString>& TopKeys() const { return FTopOrder; }
    // A top-level name as first stored; none where nothing stands at key.
    const WideString* TopName(const WideString& key) const;

    // Forgets the entries, before the directory they point into goes.
    void Clear();

private:
    // The folder at key, made with the folders above it when new.
    std::vector<TZipItem*>& AddFolder(const WideString& key);

    // File entries by the hash of their path's key, which a lookup compares
    // the keys of; twins stay in the directory's order.
    struct THashedEntry {
        uint64_t Hash;
        TZipItem* Entry;
    };
    std::vector<THashedEntry> FFiles;
    std::unordered_set<WideString> FLinks;
    TFolders FFolders;
    std::unordered_map<WideString, WideString> FTopNames;
    std::vector<WideString> FTopOrder;
};
