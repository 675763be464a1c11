#include "support/Packing.h"
#include <gtest/gtest.h>
#include <zlib.h>
#include <algorithm>
#include "Compression/DeflateStream.h"

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& bytes, int level) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, bytes.size()));
    z.next_in = const_cast<Bytef*>(bytes.data());
    z.avail_in = (uInt)bytes.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<uint8_t> RawInflate(const std::vector<uint8_t>& packed, size_t size) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    std::vector<uint8_t> out(size);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = (uInt)packed.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflateEnd(&z);
    return out;
}

// Everything an unpack stream gives, read in pieces of piece bytes.
std::vector<uint8_t> ReadAll(TStream* stream, int32_t piece) {
    std::vector<uint8_t> out, buffer(piece);
    for (int32_t n; (n = stream->Read(buffer, 0, piece)) > 0;)
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    return out;
}

// Packs bytes with a deflate stream at level index level, placed after a
// prefix in the destination.
std::vector<uint8_t> Pack(const std::vector<uint8_t>& bytes, int8_t level, int32_t piece) {
    auto dest = MakeRef<TMemoryStream>();
    {
        auto pack = MakeRef<TDeflateStream>(dest.Get(), level);
        for (size_t at = 0; at < bytes.size(); at += piece)
            pack->Write(bytes, (int32_t)at, (int32_t)std::min<size_t>(piece, bytes.size() - at));
        EXPECT_EQ(pack->GetSize(), (int64_t)bytes.size());
        pack->Finish();
    }
    return ContentsOf(dest.Get());
}

// A source holding garbage, the packed item, then a tail, positioned at the item.
TRef<TShyStream> SourceWith(const std::vector<uint8_t>& packed, int64_t* start) {
    auto source = MakeRef<TShyStream>();
    std::vector<uint8_t> all = BytesOf("HEADER");
    all.insert(all.end(), packed.begin(), packed.end());
    for (const char* t = "TAIL BYTES"; *t; ++t) all.push_back(uint8_t(*t));
    FillStream(source.Get(), all);
    source->SetPosition(6);
    if (start) *start = 6;
    return source;
}
