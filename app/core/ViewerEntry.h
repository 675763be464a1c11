// The fix made inside an archive without unpacking it: the viewer entry
// alone is written anew.
#pragma once
#include "FixProgress.h"
#include "Foundation/Types.h"
#include "Streams/Streams.h"

// Writes payload over the viewer entry of the bundle folder named bundle
// at the top of archive, in place: the archive's own save cuts the old
// entry's data out and adds the new data at the end, and puts the archive
// back as it was on any failure. The entry keeps its name, its place in the
// directory and its comment, and becomes a Unix program with a fresh time;
// every other entry keeps its bytes.
void ReplaceViewerEntry(const WideString& archive, const WideString& bundle, TResourceStream& payload,
                        const TFixProgress& progress = {});
