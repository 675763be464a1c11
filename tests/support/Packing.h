// Packed data for the compression tests: zlib's own raw deflate and
// inflate beside the library's streams.
#pragma once
#include <cstdint>
#include <vector>
#include "Foundation/RefObject.h"
#include "Streams/Streams.h"
#include "support/TestStreams.h"

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& bytes, int level);
std::vector<uint8_t> RawInflate(const std::vector<uint8_t>& packed, size_t size);
// Everything an unpack stream gives, read in pieces of piece bytes.
std::vector<uint8_t> ReadAll(TStream* stream, int32_t piece);
// Packs bytes with a deflate stream at level index level, placed after a
// prefix in the destination.
std::vector<uint8_t> Pack(const std::vector<uint8_t>& bytes, int8_t level, int32_t piece = 65536);
// A source holding garbage, the packed item, then a tail, positioned at the item.
TRef<TShyStream> SourceWith(const std::vector<uint8_t>& packed, int64_t* start = nullptr);
