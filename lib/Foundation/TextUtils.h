// The library's small text operations: number formatting, GUID text and
// environment expansion.
#pragma once
#include "Foundation/Types.h"

// Upper-case hexadecimal, zero-padded to at least digits, longer when the
// value needs it.
WideString IntToHex(uint64_t value, int digits);
WideString IntToStr(int64_t value);

// The text with control characters (C0, DEL, C1) shown as \xNN: names from
// an archive would otherwise move the cursor or worse on a terminal.
WideString Printable(const WideString& text);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
WideString GuidToString(const TGuid& guid);
// Accepts only the 38-character form GuidToString writes (digits of either case).
bool StringToGuid(const WideString& text, TGuid& guid);
// A new GUID from the system; random bytes when the system gives none.
TGuid CreateGuid();

// Replaces %NAME% references by the environment's values; empty on failure.
WideString ExpandEnvironment(const WideString& text);

// Platform side: the system's new GUID, false when it gives none.
bool NativeCreateGuid(TGuid& guid);
// Platform side: bytes from the system's random source.
void FillRandom(void* buffer, size_t size);
