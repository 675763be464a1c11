// The viewer program this build carries, and how it is told apart from
// what a show already holds.
#pragma once
#include "Streams/Streams.h"

// The embedded viewer; raises when the build carries none.
TRef<TResourceStream> OpenPayload();
// A signed payload whose signatures leave too little room for one made for
// a show: a copy with that room, made once; empty otherwise. Its own
// signature no longer holds, so it is written only signed anew.
TRef<TResourceStream> OpenRoomyPayload();
// How many bytes that room adds; 0 where none.
uint64_t PayloadRoomAdded();

// Whether the next bytes of stream are exactly the payload's. Reads no
// further than the payload's size: an entry's unpack stream does not stop
// at the entry's end.
bool StreamHoldsPayload(TStream& stream, TResourceStream& payload);
