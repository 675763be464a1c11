// The viewer program this build carries, and how it is told apart from
// what a show already holds.
#pragma once
#include "Streams/Streams.h"

// The embedded viewer; raises when the build carries none.
TRef<TResourceStream> OpenPayload();

// Whether the next bytes of stream are exactly the payload's. Reads no
// further than the payload's size: an entry's unpack stream does not stop
// at the entry's end.
bool StreamHoldsPayload(TStream& stream, TResourceStream& payload);
