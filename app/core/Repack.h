// Packs a fixed bundle folder back into the archive it came from.
#pragma once
#include "Archivers/Zip/EntryModes.h"
#include "FixProgress.h"
#include "Foundation/Types.h"

// What the entries of the picked archive keep through the repack.
using TKeptEntries = TEntryForms;

// The new archive is written beside the picked one, with its attributes and
// permissions, and moved over it only when complete; on failure the picked
// archive is unchanged. Entries named in kept keep their Unix modes and
// name bytes; the viewer becomes a Unix program.
void RepackBundle(const WideString& bundleFolder, const WideString& archivePath, TKeptEntries kept,
                  const TFixProgress& progress = {});
