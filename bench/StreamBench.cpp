// Throughput of the deflate, inflate and CRC-32 streams against zlib doing
// the same work on the same data, in one run. Each figure is the best
// processor time of several passes, ours and zlib's taking turns in both
// orders, so that a busy machine disturbs both alike.
#include <zlib.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>
#include "Compression/DeflateStream.h"
#include "Compression/InflateStream.h"
#include "Startup.h"
#include "Streams/FilterStream.h"
#include "support/TestStreams.h"

namespace {

constexpr size_t DataSize = 64u << 20;
constexpr int32_t Piece = 1 << 20;  // what the archive code moves at a time

// Appends what is written to a buffer sized in advance, so that neither side
// pays for growth.
class TSink : public TStream {
public:
    using TStream::Read;
    using TStream::Write;
    std::vector<uint8_t> Bytes;
    size_t Used = 0;
    bool Keep = true;  // false: count only (the CRC run)

    int64_t GetPosition() override { return (int64_t)Used; }
    void SetPosition(int64_t position) override { Used = (size_t)position; }
    int64_t GetSize() override { return (int64_t)Used; }
    void SetSize(int64_t) override {}
    int32_t Read(TByteSpan, int32_t, int32_t) override { return 0; }
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override {
        if (Keep) std::memcpy(Bytes.data() + Used, buffer.data() + offset, (size_t)count);
        Used += (size_t)count;
        return count;
    }
};

// A read-only view of bytes that hands them out as a stream.
class TSource : public TStream {
public:
    using TStream::Read;
    using TStream::Write;
    const uint8_t* Data = nullptr;
    size_t Size = 0, At = 0;

    int64_t GetPosition() override { return (int64_t)At; }
    void SetPosition(int64_t position) override { At = std::min((size_t)position, Size); }
    int64_t GetSize() override { return (int64_t)Size; }
    void SetSize(int64_t) override {}
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        size_t n = std::min((size_t)count, Size - At);
        std::memcpy(buffer.data() + offset, Data + At, n);
        At += n;
        return (int32_t)n;
    }
    int32_t Write(TConstByteSpan, int32_t, int32_t) override { return 0; }
};

// The thread's processor time: other processes on a shared machine disturb
// it far less than the wall clock.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double Seconds(const std::function<void()>& work) {
    double start = ThreadSeconds();
    work();
    return ThreadSeconds() - start;
}

struct TPair {
    double Ours = 1e30, Zlib = 1e30;
};

// Best times of passes of both, taking turns in both orders.
TPair Compare(int passes, const std::function<void()>& ours, const std::function<void()>& zlib) {
    TPair best;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass % 2) best.Ours = std::min(best.Ours, Seconds(ours));
        best.Zlib = std::min(best.Zlib, Seconds(zlib));
        if (pass % 2 == 0) best.Ours = std::min(best.Ours, Seconds(ours));
    }
    return best;
}

void Report(const char* what, const TPair& t) {
    double mib = double(DataSize) / (1 << 20);
    std::printf("%-34s ours %8.1f MiB/s   zlib %8.1f MiB/s   ratio %.3f\n", what, mib / t.Ours, mib / t.Zlib,
                t.Zlib / t.Ours);
}

}  // namespace

int main() {
    TLibraryScope library;
    // The tests' mixed data: runs of text-like bytes and noise.
    std::vector<uint8_t> data = MixedBytes(DataSize);
    std::vector<uint8_t> buffer(Piece);

    // Deflate at level index 3 (zlib level 5): 1 MiB pieces in, 1 MiB out.
    auto sink = MakeRef<TSink>();
    sink->Bytes.resize(DataSize + DataSize / 8);
    std::vector<uint8_t> zlibPacked(DataSize + DataSize / 8);
    size_t zlibUsed = 0;
    TPair deflateTime = Compare(
        10,
        [&] {
            sink->Used = 0;
            auto pack = MakeRef<TDeflateStream>(sink.Get(), 3);
            for (size_t at = 0; at < DataSize; at += Piece) pack->Write(data.data() + at, Piece);
            pack->Finish();
        },
        [&] {
            zlibUsed = 0;
            z_stream z{};
            deflateInit2(&z, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            z.next_out = buffer.data();
            z.avail_out = Piece;
            for (size_t at = 0; at <= DataSize; at += Piece) {
                bool last = at == DataSize;
                z.next_in = data.data() + (last ? 0 : at);
                z.avail_in = last ? 0 : Piece;
                int result;
                do {
                    result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
                    if (z.avail_out == 0 || last) {
                        size_t n = Piece - z.avail_out;
                        std::memcpy(zlibPacked.data() + zlibUsed, buffer.data(), n);
                        zlibUsed += n;
                        z.next_out = buffer.data();
                        z.avail_out = Piece;
                    }
                } while (last ? result != Z_STREAM_END : z.avail_in > 0);
            }
            deflateEnd(&z);
        });
    std::vector<uint8_t> packed(sink->Bytes.begin(), sink->Bytes.begin() + (ptrdiff_t)sink->Used);
    if (zlibUsed != packed.size() || std::memcmp(zlibPacked.data(), packed.data(), zlibUsed) != 0) {
        std::printf("deflate output differs from zlib's\n");
        return 1;
    }

    // Inflate that data, read in 1 MiB pieces; compressed input is fetched
    // in 1 MiB pieces on both sides.
    std::vector<uint8_t> out(Piece), in(Piece);
    auto source = MakeRef<TSource>();
    source->Data = packed.data();
    source->Size = packed.size();
    size_t oursOut = 0, zlibOut = 0;
    TPair inflateTime = Compare(
        20,
        [&] {
            source->At = 0;
            oursOut = 0;
            auto unpack = MakeRef<TInflateStream>(source.Get(), (int64_t)DataSize);
            for (int32_t n; (n = unpack->Read(TByteSpan(out), 0, Piece)) > 0;) oursOut += (size_t)n;
        },
        [&] {
            z_stream z{};
            inflateInit2(&z, -15);
            size_t fetched = 0;
            zlibOut = 0;
            int result = Z_OK;
            while (result == Z_OK) {
                z.next_out = out.data();
                z.avail_out = Piece;
                while (z.avail_out > 0 && result == Z_OK) {
                    if (z.avail_in == 0) {
                        size_t n = std::min((size_t)Piece, packed.size() - fetched);
                        std::memcpy(in.data(), packed.data() + fetched, n);
                        fetched += n;
                        z.next_in = in.data();
                        z.avail_in = (uInt)n;
                    }
                    result = inflate(&z, Z_SYNC_FLUSH);
                }
                zlibOut += Piece - z.avail_out;
            }
            inflateEnd(&z);
        });
    if (oursOut != DataSize || zlibOut != DataSize) {
        std::printf("inflate gave %zu and %zu bytes\n", oursOut, zlibOut);
        return 1;
    }

    // CRC-32: the stream's writes (to a target that takes bytes without
    // copying) against zlib's crc32 over the same pieces.
    auto counter = MakeRef<TSink>();
    counter->Keep = false;
    auto crc = MakeRef<TCrc32Stream>(counter.Get());
    uint32_t oursCrc = 0, zlibCrc = 0;
    TPair crcTime = Compare(
        40,
        [&] {
            crc->Reset();
            for (size_t at = 0; at < DataSize; at += Piece) crc->Write(data.data() + at, Piece);
            oursCrc = crc->GetCrc();
        },
        [&] {
            uLong c = crc32(0, nullptr, 0);
            for (size_t at = 0; at < DataSize; at += Piece) c = crc32(c, data.data() + at, Piece);
            zlibCrc = (uint32_t)c;
        });
    if (oursCrc != zlibCrc) {
        std::printf("CRC differs from zlib's\n");
        return 1;
    }

    std::printf("%zu MiB of mixed data (packs to %.1f%%), 1 MiB pieces, best processor time of several passes\n",
                DataSize >> 20, 100.0 * double(packed.size()) / double(DataSize));
    std::printf("ratio = our throughput / zlib's (1.000 = as fast)\n");
    Report("TDeflateStream, level index 3", deflateTime);
    Report("TInflateStream", inflateTime);
    Report("TCrc32Stream", crcTime);
    return 0;
}
