// Packs a fixed bundle folder back into the archive it came from.
#pragma once
#include "Archivers/Zip/EntryModes.h"
#include "FixProgress.h"
#include "Types.h"

// The new archive is written beside the picked one and moved over it only
// when complete; on failure the picked archive is unchanged. Entries named
// in modes keep their Unix modes; the viewer becomes a Unix program.
void RepackBundle(const WideString& bundleFolder, const WideString& archivePath, const TEntryModes& modes,
                  const TFixProgress& progress = {});
