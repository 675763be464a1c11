#include "Dialogs/DialogSetup.h"
#include "FileSystem/FileAPI.h"

namespace {

struct TFlagOfBit {
    int Bit;
    uint32_t Flag;
};

// Flags of the same value in both dialogs; the bits missing here and below
// have no counterpart.
constexpr TFlagOfBit SharedFlags[] = {
    {DialogOption::OverwritePrompt, 0x2},
    {DialogOption::NoChangeDir, 0x8},
    {DialogOption::NoValidate, 0x100},
    {DialogOption::AllowMultiSelect, 0x200},
    {DialogOption::PathMustExist, 0x800},
    {DialogOption::FileMustExist, 0x1000},
    {DialogOption::CreatePrompt, 0x2000},
    {DialogOption::ShareAware, 0x4000},
    {DialogOption::NoReadOnlyReturn, 0x8000},
    {DialogOption::NoTestFileCreate, 0x10000},
    {DialogOption::NoDereferenceLinks, 0x100000},
    {DialogOption::DontAddToRecent, 0x2000000},
    {DialogOption::ForceShowHidden, 0x10000000},
};
constexpr TFlagOfBit ItemFlags[] = {{DialogOption::StrictFileTypes, 0x4}};
constexpr uint32_t ItemPickFolders = 0x20;

// Help and include notifications need a hook the dialogs do not install,
// and strict file types has no classic form.
constexpr TFlagOfBit ClassicFlags[] = {
    {DialogOption::ReadOnly, 0x1},
    {DialogOption::HideReadOnly, 0x4},
    {DialogOption::NoNetworkButton, 0x20000},
    {DialogOption::NoLongNames, 0x40000},
    {DialogOption::EnableSizing, 0x800000},
};
constexpr uint32_t ClassicExplorer = 0x80000;

template <size_t N>
uint32_t FlagsOf(TDialogOptions options, const TFlagOfBit (&table)[N]) {
    uint32_t flags = 0;
    for (const TFlagOfBit& entry : table)
        if (options & OptionBit(entry.Bit)) flags |= entry.Flag;
    return flags;
}

}  // namespace

uint32_t ItemDialogFlags(TDialogOptions options, bool folderMode) {
    return FlagsOf(options, SharedFlags) | FlagsOf(options, ItemFlags) | (folderMode ? ItemPickFolders : 0);
}

uint32_t ClassicDialogFlags(TDialogOptions options) {
    return FlagsOf(options, SharedFlags) | FlagsOf(options, ClassicFlags) | ClassicExplorer;
}

std::vector<TFilterPair> SplitFilter(const WideString& filter) {
    std::vector<TFilterPair> pairs;
    if (filter.empty()) return pairs;
    std::vector<WideString> parts;
    for (size_t start = 0;;) {
        size_t bar = filter.find(u'|', start);
        parts.push_back(filter.substr(start, bar - start));  // to the end when there is no bar
        if (bar == WideString::npos) break;
        start = bar + 1;
    }
    for (size_t i = 0; i < parts.size(); i += 2)
        pairs.push_back({parts[i], i + 1 < parts.size() ? parts[i + 1] : WideString()});
    return pairs;
}

WideString ClassicFilter(const WideString& filter) {
    WideString text;
    for (const TFilterPair& pair : SplitFilter(filter)) {
        text += pair.Description;
        text += u'\0';
        text += pair.Pattern;
        text += u'\0';
    }
    if (!text.empty()) text += u'\0';
    return text;
}

WideString StartingFolder(const WideString& initialFolder, const WideString& fileName) {
    if (!initialFolder.empty()) return initialFolder;
    return ExtractFilePath(fileName, true);
}

std::vector<WideString> ClassicSelection(const WideString& buffer, bool several) {
    std::vector<WideString> texts;
    size_t start = 0;
    while (start < buffer.size() && buffer[start] != u'\0' && (several || texts.empty())) {
        size_t end = buffer.find(u'\0', start);
        if (end == WideString::npos) end = buffer.size();
        texts.push_back(buffer.substr(start, end - start));
        start = end + 1;
    }
    if (texts.size() <= 1) return texts;
    // With several texts the first is the folder of all the names after it.
    std::vector<WideString> paths;
    WideString folder = IncludeTrailingBackslash(texts[0]);
    for (size_t i = 1; i < texts.size(); ++i) paths.push_back(folder + texts[i]);
    return paths;
}
