#include <gtest/gtest.h>
#include "Foundation/Exceptions.h"
#include "Streams/FileStream.h"
#include "Streams/StreamUtil.h"
#include "support/FaultyFileAPI.h"
#include "support/ScratchFolder.h"
#include "support/TestStreams.h"

namespace {
using TBytes = std::vector<uint8_t>;

// The bytes outside the blocks, or those inside, worked out independently.
TBytes Select(const TBytes& bytes, const std::vector<TStreamBlock>& blocks, bool inside) {
    std::vector<bool> removed(bytes.size());
    for (const auto& b : blocks)
        for (int64_t i = b.Offset; i < b.Offset + b.Length; ++i) removed[(size_t)i] = true;
    TBytes result;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (removed[i] == inside) result.push_back(bytes[i]);
    return result;
}
TBytes WithoutBlocks(const TBytes& bytes, const std::vector<TStreamBlock>& blocks) {
    return Select(bytes, blocks, false);
}

// A memory stream of mixed bytes with a utility and a memory store.
struct TCut {
    TBytes Original;
    TRef<TMemoryStream> Stream = MakeRef<TMemoryStream>();
    TRef<TMemoryStream> Store = MakeRef<TMemoryStream>();
    TRef<TStreamUtil> Util;

    TCut(size_t size, uint32_t seed) : Original(MixedBytes(size, seed)) {
        FillStream(Stream.Get(), Original);
        Util = MakeRef<TStreamUtil>(Stream.Get(), Store.Get());
    }
    TBytes Contents() const { return ContentsOf(Stream.Get()); }
};

constexpr int64_t MiB = TStreamUtil::PieceSize;

// Blocks small and large, out of order, two of them overlapping, so that
// moves cross piece boundaries and overlap their own sources.
const std::vector<TStreamBlock> MixedBlocks = {
    {3 * MiB + 5, 100}, {10, 7}, {MiB - 3, MiB + 20}, {MiB + 10, 40}, {3 * MiB + 90, 1000}};
}  // namespace

TEST(StreamUtil, RemovesBlocksAndKeepsTheirBytesInOffsetOrder) {
    TCut cut(size_t(3 * MiB + 4000), 7);
    auto& util = cut.Util;
    const TBytes& original = cut.Original;
    util->RemoveBlocks(MixedBlocks);

    TBytes expected = WithoutBlocks(original, MixedBlocks);
    EXPECT_EQ(cut.Contents(), expected);
    EXPECT_EQ(util->OriginalSize(), (int64_t)original.size());
    EXPECT_EQ(util->CutSize(), (int64_t)expected.size());
    EXPECT_EQ(util->RemovedBytes(), (int64_t)(original.size() - expected.size()));
    // Each overlapping pair became one record.
    ASSERT_EQ(util->BlockCount(), 3);
    EXPECT_EQ(util->Block(1)->Offset, MiB - 3);
    EXPECT_EQ(util->Block(1)->Length, MiB + 20);
    EXPECT_EQ(util->Block(2)->Offset, 3 * MiB + 5);
    EXPECT_EQ(util->Block(2)->Length, 1085);
    EXPECT_EQ(util->Block(2)->StoreOffset, 7 + MiB + 20);
    EXPECT_EQ(ContentsOf(cut.Store.Get()), Select(original, MixedBlocks, true));
}

TEST(StreamUtil, EdgeBlocksAndEmptyLists) {
    TCut cut(5000, 3);
    auto& util = cut.Util;
    auto& stream = cut.Stream;
    const TBytes& original = cut.Original;

    util->RemoveBlocks({});
    util->RemoveBlocks({{100, 0}});
    EXPECT_EQ(ContentsOf(stream.Get()), original);
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);

    std::vector<TStreamBlock> edges = {{0, 10}, {4000, 1000}};
    util->RemoveBlocks(edges);
    EXPECT_EQ(ContentsOf(stream.Get()), WithoutBlocks(original, edges));
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);

    util->RemoveBlocks({{0, 5000}});
    EXPECT_EQ(stream->GetSize(), 0);
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

TEST(StreamUtil, RollBackRestoresBytesAndLengthAfterLaterWrites) {
    TCut cut(size_t(3 * MiB + 4000), 11);
    auto& util = cut.Util;
    auto& stream = cut.Stream;
    const TBytes& original = cut.Original;
    util->RemoveBlocks(MixedBlocks);

    // What an archive appends after the cut, longer than what was cut.
    stream->SetPosition(stream->GetSize());
    TBytes appended = MixedBytes(size_t(MiB + 5000), 12);
    stream->Write(appended.data(), (int32_t)appended.size());
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);

    // Done once: a second rollback leaves the stream alone.
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

TEST(StreamUtil, RollBackAfterAFailedWriteAtAnyPoint) {
    // Small removals make every move overlap its own source, so half-done
    // writes clobber bytes not yet moved.
    TBytes original = MixedBytes(size_t(3 * MiB + 777), 5);
    const std::vector<TStreamBlock> blocks = {{20, 3}, {MiB + 1, 9}, {2 * MiB, 4}};
    for (int failAt = 1;; ++failAt) {
        auto stream = MakeRef<TFaultyStream>();
        FillStream(stream.Get(), original);
        stream->FailAt = failAt;
        stream->Writes = 0;
        auto store = MakeRef<TMemoryStream>();
        auto util = MakeRef<TStreamUtil>(stream.Get(), store.Get());
        try {
            util->RemoveBlocks(blocks);
        } catch (const EStreamWriteError&) {
            util->RollBack();
            EXPECT_EQ(ContentsOf(stream.Get()), original) << "write " << failAt;
            continue;
        }
        // Past the last write of the cut: it finished.
        EXPECT_EQ(ContentsOf(stream.Get()), WithoutBlocks(original, blocks));
        EXPECT_GT(failAt, 3);
        break;
    }
}

TEST(StreamUtil, RollBackAfterStoreOrFileFailures) {
    TScratchFolder scratch;
    TBytes original = MixedBytes(size_t(2 * MiB + 300), 9);
    const std::vector<TStreamBlock> blocks = {{50, 1000}, {MiB + 7, 20}};
    std::string originalText(original.begin(), original.end());
    for (int failAt = 1;; ++failAt) {
        scratch.Write(scratch / u"archive", originalText);
        auto api = MakeRef<TFailingWrite>(failAt);
        bool failed = false;
        {
            TFileAPIScope scope(api.Get());
            auto stream = MakeRef<TFileStream>(scratch / u"archive");
            auto store = MakeRef<TFileStream>(scratch / u"store");
            auto util = MakeRef<TStreamUtil>(stream.Get(), store.Get());
            try {
                util->RemoveBlocks(blocks);
            } catch (const EStreamWriteError&) {
                failed = true;
                util->RollBack();
            }
        }
        std::string contents = scratch.Read(scratch / u"archive");
        if (!failed) {
            TBytes cut = WithoutBlocks(original, blocks);
            EXPECT_EQ(contents, std::string(cut.begin(), cut.end()));
            break;
        }
        EXPECT_EQ(contents.size(), originalText.size()) << "write " << failAt;
        EXPECT_TRUE(contents == originalText) << "write " << failAt;
    }
}

TEST(StreamUtil, ProgressEventsAndStop) {
    TCut cut(size_t(2 * MiB + 10), 4);
    auto& util = cut.Util;
    auto& stream = cut.Stream;
    const TBytes& original = cut.Original;
    std::vector<int64_t> saved, moved;
    util->OnProgress = [&](int64_t position) {
        saved.push_back(position);
        return false;
    };
    util->OnProgress2 = [&](int64_t position) { moved.push_back(position); };
    util->RemoveBlocks({{5, MiB + 5}});
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved.back(), MiB + 5);
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(moved.back(), (int64_t)original.size() - 5 - (MiB + 5));
    EXPECT_TRUE(std::is_sorted(moved.begin(), moved.end()));
    util->RollBack();

    // A stop comes before anything in the stream changed.
    util->OnProgress = [](int64_t) { return true; };
    EXPECT_THROW(util->RemoveBlocks({{5, 10}}), EStreamUtilAbort);
    EXPECT_EQ(ContentsOf(stream.Get()), original);
    util->RollBack();
    EXPECT_EQ(ContentsOf(stream.Get()), original);
}

TEST(StreamUtil, Refusals) {
    auto stream = MakeRef<TMemoryStream>();
    FillStream(stream.Get(), BytesOf("0123456789"));
    auto util = MakeRef<TStreamUtil>(stream.Get(), nullptr);
    // Without a store blocks still go, but nothing comes back.
    util->RemoveBlocks({{2, 3}});
    EXPECT_EQ(ContentsOf(stream.Get()), BytesOf("0156789"));
    try {
        util->RollBack();
        FAIL();
    } catch (const TCommonException& e) {
        EXPECT_STREQ(e.what(), "Rollback stream is not created");
    }

    auto store = MakeRef<TMemoryStream>();
    auto checked = MakeRef<TStreamUtil>(stream.Get(), store.Get());
    for (TStreamBlock bad : {TStreamBlock{0, 8}, TStreamBlock{5, 3}, TStreamBlock{-1, 2}, TStreamBlock{8, 0}}) {
        try {
            checked->RemoveBlocks({bad});
            FAIL();
        } catch (const EAbort& e) {
            EXPECT_NE(std::string(e.what()).find("size of blocks is large than stream"), std::string::npos);
        }
    }
    EXPECT_EQ(ContentsOf(stream.Get()), BytesOf("0156789"));
}
