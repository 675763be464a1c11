// What the pick dialogs hand to the system's dialogs and read back, kept
// apart from the dialogs so that it can be checked without showing anything.
#pragma once
#include <cstdint>
#include <vector>
#include "Foundation/Types.h"

// Bit numbers of the dialogs' Options set.
namespace DialogOption {
enum : int {
    ReadOnly = 0,
    OverwritePrompt = 1,
    HideReadOnly = 2,
    NoChangeDir = 3,
    ShowHelp = 4,
    NoValidate = 5,
    AllowMultiSelect = 6,
    StrictFileTypes = 7,
    PathMustExist = 8,
    FileMustExist = 9,
    CreatePrompt = 10,
    ShareAware = 11,
    NoReadOnlyReturn = 12,
    NoTestFileCreate = 13,
    NoNetworkButton = 14,
    NoLongNames = 15,
    NoDereferenceLinks = 16,
    EnableIncludeNotify = 17,
    EnableSizing = 18,
    DontAddToRecent = 19,
    ForceShowHidden = 20,
    Count = 21
};
}  // namespace DialogOption

using TDialogOptions = uint32_t;
constexpr TDialogOptions OptionBit(int bit) { return (TDialogOptions)1 << bit; }
constexpr TDialogOptions AllDialogOptions = OptionBit(DialogOption::Count) - 1;
constexpr TDialogOptions DefaultDialogOptions =
    OptionBit(DialogOption::HideReadOnly) | OptionBit(DialogOption::EnableSizing);

// The common item dialog's option flags (FOS_ values) for an option set;
// folder mode adds the folder-picking flag.
uint32_t ItemDialogFlags(TDialogOptions options, bool folderMode);
// The classic dialog's flags (OFN_ values, explorer style) for an option set.
uint32_t ClassicDialogFlags(TDialogOptions options);

struct TFilterPair {
    WideString Description;
    WideString Pattern;
    bool operator==(const TFilterPair&) const = default;
};
// "Zip Files|*.zip|All|*.*" as description and pattern pairs; a description
// without a pattern ends the list with an empty pattern.
std::vector<TFilterPair> SplitFilter(const WideString& filter);
// The same pairs in the classic dialog's form: every text ended by a NUL,
// the list by one more. Empty for an empty filter.
WideString ClassicFilter(const WideString& filter);

// The folder an item dialog opens in: the initial folder when one is
// given, else the folder part of fileName with its trailing separator.
WideString StartingFolder(const WideString& initialFolder, const WideString& fileName);

// The paths a classic dialog wrote into its buffer: one full path, or, when
// several were chosen, the folder followed by the names chosen in it. What
// follows the first path otherwise is what is left of the seed text.
std::vector<WideString> ClassicSelection(const WideString& buffer, bool several);

// Releases what the dialogs started on this thread (the shell's COM
// apartment); called at library shutdown.
void DoneDialogs();
