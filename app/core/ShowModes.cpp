#include "ShowModes.h"
#include <algorithm>
#include "Archivers/Zip/EntryModes.h"
#include "Archivers/Zip/ZipNameIndex.h"
#include "Archivers/Zip/ZipStructure.h"

namespace {

// A Unix file someone may read but not run: a program among them cannot start.
bool IsUnrunnable(const TZipItem* entry) {
    const uint32_t mode = entry->ExternalAttributes >> 16;
    return HasUnixMode(entry) && !entry->Item->IsFolder() && UnixMode::IsRegularFile(mode) &&
           UnixMode::WithExecute(mode) != mode;
}

bool Below(const WideString& key, const WideString& folderKey) {
    return key.size() > folderKey.size() && key[folderKey.size()] == u'\\' &&
           key.compare(0, folderKey.size(), folderKey) == 0;
}

}  // namespace

bool HasUnixMode(const TZipItem* entry) {
    return entry->HostSystem == ZipHost::Unix && (entry->ExternalAttributes >> 16) != 0;
}

TShowModes::TShowModes(const TZipStructure& structure) {
    for (int32_t i = 0; i < structure.Count(); ++i) {
        TZipItem* entry = structure.Entry(i);
        TArchItem* item = entry->Item;
        // A name of separators only belongs to no path.
        if (!item || !item->GetParent()) continue;
        const bool modeless = !HasUnixMode(entry);
        if (!modeless && !IsUnrunnable(entry)) continue;
        (modeless ? FModeless : FUnrunnable).emplace_back(entry, WideString());
        if (!item->IsFolder()) FHeads[entry];
    }
}

void TShowModes::KeyEntries() {
    for (auto* entries : {&FModeless, &FUnrunnable})
        for (auto& [entry, key] : *entries) key = TZipNameIndex::MacKey(entry->Item->Path());
}

bool TShowModes::ToJudge(const WideString& bundleKey, const WideString& viewerKey, bool newViewer) const {
    return !FModeless.empty() || std::any_of(FUnrunnable.begin(), FUnrunnable.end(), [&](const auto& unrunnable) {
        const WideString& key = unrunnable.second;
        return Below(key, bundleKey) && !(newViewer && key == viewerKey);
    });
}

std::unordered_map<TArchItem*, uint32_t> TShowModes::Plan(const WideString& bundleKey, const WideString& viewerKey,
                                                          bool newViewer) {
    std::unordered_map<TArchItem*, uint32_t> modes;
    for (const auto& [entry, key] : FModeless) {
        if (newViewer && key == viewerKey) continue;
        modes[entry->Item] = entry->Item->IsFolder()                            ? UnixMode::Folder
                             : IsProgramFile(FHeads[entry], InMacOSFolder(key)) ? UnixMode::Program
                                                                                : UnixMode::File;
    }
    for (const auto& [entry, key] : FUnrunnable)
        if (Below(key, bundleKey) && !(newViewer && key == viewerKey) &&
            IsProgramFile(FHeads[entry], InMacOSFolder(key)))
            modes[entry->Item] = UnixMode::WithExecute(entry->ExternalAttributes >> 16);
    return modes;
}

void TShowModes::Clear() {
    FModeless.clear();
    FUnrunnable.clear();
    FHeads.clear();
}
