// Packs a fixed bundle folder back into the archive it came from.
#pragma once
#include "Types.h"

void RepackBundle(const WideString& bundleFolder, const WideString& archivePath);
