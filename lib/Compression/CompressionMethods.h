// Pack and unpack stream classes found by method name, so that an archive
// format maps its method numbers to whatever methods the program contains.
// Names compare without regard to case; a name's first registration wins.
#pragma once
#include "Compression/PackStream.h"
#include "Compression/UnpackStream.h"

void RegisterUnpackMethod(const AnsiString& name, const TUnpackStreamClass* streamClass);
void RegisterPackMethod(const AnsiString& name, const TPackStreamClass* streamClass);
// Null for a name nobody registered.
const TUnpackStreamClass* FindUnpackMethod(const AnsiString& name);
const TPackStreamClass* FindPackMethod(const AnsiString& name);

// Start-up makes the registries with "ReStore" and "Inflate" for unpacking,
// "Store" and "Deflate" for packing; shutdown frees them.
void InitCompressionMethods();
void DoneCompressionMethods();
