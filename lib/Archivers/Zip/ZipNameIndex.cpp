#include "Archivers/Zip/ZipNameIndex.h"
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipStructure.h"
#include "Foundation/CaseFolding.h"
#include "Foundation/Normalization.h"

namespace {

// FNV-1a over a key's UTF-16 units.
constexpr uint64_t HashStart = 14695981039346656037ull;
constexpr uint64_t HashStep(uint64_t hash, char16_t c) { return (hash ^ c) * 1099511628211ull; }

constexpr char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c; }

bool IsUnixLink(const TZipItem* entry) {
    return entry->HostSystem == ZipHost::Unix && UnixMode::IsLink(entry->ExternalAttributes >> 16);
}

}  // namespace

TZipNameIndex::TZipNameIndex(TZipArchive& archive) {
    const TZipStructure* structure = archive.Structure();
    FFiles.reserve(size_t(structure->Count()));
    // Most entries lie in the folders the last one did.
    TArchItem *lastTop = nullptr, *lastParent = nullptr;
    std::vector<TZipItem*>* lastFolder = nullptr;
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        TArchItem* item = entry->Item;
        // A name of separators only belongs to no path.
        if (!item || item == &archive) continue;
        TArchItem* top = item;
        while (top->GetParent() != &archive) top = top->GetParent();
        if (top != lastTop) {
            lastTop = top;
            WideString topKey = MacKey(top->Name);
            if (FTopNames.emplace(topKey, top->Name).second) FTopOrder.push_back(std::move(topKey));
        }
        if (IsUnixLink(entry)) FLinks.insert(MacKey(item->Path()));
        if (item->IsFolder()) continue;
        FFiles.push_back({KeyHash(item), entry});
        if (item->GetParent() == &archive) continue;
        if (item->GetParent() != lastParent) {
            lastParent = item->GetParent();
            lastFolder = &AddFolder(MacKey(lastParent->Path()));
        }
        lastFolder->push_back(entry);
    }
    // Twins stay in the directory's order.
    std::stable_sort(FFiles.begin(), FFiles.end(),
                     [](const THashedEntry& a, const THashedEntry& b) { return a.Hash < b.Hash; });
}

std::vector<TZipItem*>& TZipNameIndex::AddFolder(const WideString& key) {
    const auto [folder, fresh] = FFolders.try_emplace(key);
    if (fresh)
        for (size_t end = key.find(u'\\'); end != WideString::npos; end = key.find(u'\\', end + 1))
            FFolders.try_emplace(key.substr(0, end));
    return folder->second;
}

WideString TZipNameIndex::MacKey(const WideString& path) {
    // Most names are ASCII, which decomposes to itself and folds by letter.
    if (std::all_of(path.begin(), path.end(), [](char16_t c) { return c < 0x80; })) {
        WideString key = path;
        for (char16_t& c : key) c = FoldAscii(c);
        return key;
    }
    return FoldString(DecomposeCanonical(path));
}

uint64_t TZipNameIndex::KeyHash(const WideString& key) {
    uint64_t hash = HashStart;
    for (char16_t c : key) hash = HashStep(hash, c);
    return hash;
}

uint64_t TZipNameIndex::KeyHash(TArchItem* item) {
    // The item's folders from the top down, as its path names them.
    TArchItem* chain[64];
    size_t depth = 0;
    for (TArchItem* at = item; at->GetParent(); at = at->GetParent()) {
        if (depth == std::size(chain)) return KeyHash(MacKey(item->Path()));
        chain[depth++] = at;
    }
    uint64_t hash = HashStart;
    for (size_t i = depth; i-- > 0;) {
        if (i + 1 != depth) hash = HashStep(hash, u'\\');
        for (char16_t c : chain[i]->Name) {
            if (c >= 0x80) return KeyHash(MacKey(item->Path()));
            hash = HashStep(hash, FoldAscii(c));
        }
    }
    return hash;
}

std::vector<TZipItem*> TZipNameIndex::FilesAt(const WideString& key) const {
    std::vector<TZipItem*> files;
    const uint64_t hash = KeyHash(key);
    auto at = std::lower_bound(FFiles.begin(), FFiles.end(), hash,
                               [](const THashedEntry& entry, uint64_t value) { return entry.Hash < value; });
    for (; at != FFiles.end() && at->Hash == hash; ++at)
        if (MacKey(at->Entry->Item->Path()) == key) files.push_back(at->Entry);
    return files;
}

const std::vector<TZipItem*>& TZipNameIndex::FilesIn(const WideString& key) const {
    static const std::vector<TZipItem*> none;
    const auto found = FFolders.find(key);
    return found == FFolders.end() ? none : found->second;
}

std::vector<WideString> TZipNameIndex::FoldersIn(const WideString& key) const {
    const WideString parent = key + u"\\";
    std::vector<WideString> names;
    for (const auto& [folder, files] : FFolders)
        if (folder.size() > parent.size() && folder.compare(0, parent.size(), parent) == 0 &&
            folder.find(u'\\', parent.size()) == WideString::npos)
            names.push_back(folder.substr(parent.size()));
    return names;
}

const WideString* TZipNameIndex::TopName(const WideString& key) const {
    const auto found = FTopNames.find(key);
    return found == FTopNames.end() ? nullptr : &found->second;
}

void TZipNameIndex::Clear() {
    FFiles.clear();
    FLinks.clear();
    FFolders.clear();
    FTopNames.clear();
    FTopOrder.clear();
}
