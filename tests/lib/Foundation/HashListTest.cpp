#include <gtest/gtest.h>
#include <vector>
#include "Foundation/Exceptions.h"
#include "Foundation/HashList.h"
#include "support/CountedObject.h"
#include "support/MessageBoxes.h"

namespace {

using TCounted = TCountedObject;

class TCountedKeyItem : public TKeyItem {
public:
    static inline int Live = 0;
    TCountedKeyItem(THashItem* bucket, const WideString& key) : TKeyItem(bucket, key) { ++Live; }
    ~TCountedKeyItem() override { --Live; }
};

// Fails after its base part is built.
class TRefusingKeyItem : public TKeyItem {
public:
    TRefusingKeyItem(THashItem* bucket, const WideString& key) : TKeyItem(bucket, key) {
        throw EStreamReadError("refused");
    }
};

// Counts hashing and makes its own key items; refuses to make the key
// "refused".
class TProbeList : public THashList {
public:
    using THashList::THashList;
    int Hashes = 0;
    uint32_t Hash(const WideString& key) override {
        ++Hashes;
        return THashList::Hash(key);
    }
    TKeyItem* NewKeyItem(THashItem* bucket, const WideString& key) override {
        if (key == u"refused") return New<TRefusingKeyItem>(bucket, key);
        return New<TCountedKeyItem>(bucket, key);
    }
};

std::vector<WideString> Chain(THashItem* bucket) {
    std::vector<WideString> keys;
    for (TKeyItem* item = bucket->Oldest(); item; item = item->Newer()) keys.push_back(item->Key());
    std::vector<WideString> backwards;
    for (TKeyItem* item = bucket->Newest(); item; item = item->Older())
        backwards.insert(backwards.begin(), item->Key());
    EXPECT_EQ(keys, backwards);
    return keys;
}

class HashList : public testing::Test {
protected:
    void SetUp() override {
        TCounted::Disposed = 0;
        TCountedKeyItem::Live = 0;
        ShownBoxes().clear();
    }
};

TEST_F(HashList, ElfHashOverTheLowByteOfEachUnit) {
    EXPECT_EQ(ElfHash(u""), 0u);
    EXPECT_EQ(ElfHash(u"a"), 0x61u);
    EXPECT_EQ(ElfHash(u"ab"), 0x672u);
    EXPECT_EQ(ElfHash(u"printf"), 0x077905A6u);
    // Long keys fold the top nibble back in and keep 28 bits.
    EXPECT_EQ(ElfHash(u"abcdefghijklmnopqrstuvwxyz"), 0x08D1E00Au);
    EXPECT_EQ(ElfHash(u"\u0141\u0262"), ElfHash(u"Ab"));
}

TEST_F(HashList, CountZeroOrLessMeansOneBucket) {
    for (int count : {0, -7}) {
        TRef<TProbeList> list = MakeRef<TProbeList>(count);
        ASSERT_EQ(list->BucketCount(), 1);
        for (const char16_t* key : {u"alpha", u"beta", u"gamma", u"delta"}) list->Get(key)->Data = key[0];
        EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"alpha", u"beta", u"gamma", u"delta"}));
        for (const char16_t* key : {u"gamma", u"alpha", u"delta", u"beta"}) {
            TKeyItem* item = nullptr;
            ASSERT_TRUE(list->Find(key, item)) << (char)key[0];
            EXPECT_EQ(item->Key(), key);
            EXPECT_EQ(item->Data, key[0]);
        }
        EXPECT_FALSE(list->Exists(u"epsilon"));
    }
}

TEST_F(HashList, KeysThatDifferOnlyInTheHighByteShareABucketButNotAnItem) {
    TRef<THashList> list = MakeRef<THashList>(17);
    ASSERT_EQ(list->Hash(u"A"), list->Hash(u"\u0141"));
    TKeyItem* plain = list->Get(u"A");
    EXPECT_FALSE(list->Exists(u"\u0141"));
    TKeyItem* other = list->Get(u"\u0141");
    EXPECT_NE(plain, other);
    EXPECT_EQ(plain->Bucket(), other->Bucket());
    EXPECT_EQ(list->Get(u"A"), plain);
    EXPECT_EQ(list->Get(u"\u0141"), other);
    EXPECT_FALSE(list->SameKey(u"a", u"A"));
}

TEST_F(HashList, RepeatedLookupsHashOnce) {
    TRef<TProbeList> list = MakeRef<TProbeList>(8);
    EXPECT_FALSE(list->Exists(u"key"));
    EXPECT_FALSE(list->Exists(u"key"));
    EXPECT_EQ(list->Hashes, 1);
    bool created = false;
    TKeyItem* item = list->GetEx(u"key", created);
    EXPECT_TRUE(created);
    EXPECT_EQ(list->GetEx(u"key", created), item);
    EXPECT_FALSE(created);
    TKeyItem* found = nullptr;
    EXPECT_TRUE(list->Find(u"key", found));
    EXPECT_EQ(found, item);
    EXPECT_EQ(list->Hashes, 1);
    list->Exists(u"other");
    list->Exists(u"key");
    EXPECT_EQ(list->Hashes, 3);
}

TEST_F(HashList, DestroyedItemsAreNotFoundAndTheChainStaysWhole) {
    TRef<TProbeList> list = MakeRef<TProbeList>(1);
    TKeyItem* a = list->Get(u"a");
    TKeyItem* b = list->Get(u"b");
    TKeyItem* c = list->Get(u"c");
    (void)a;
    // b is the remembered lookup now.
    EXPECT_TRUE(list->Exists(u"b"));
    Free(b);
    EXPECT_FALSE(list->Exists(u"b"));
    EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"a", u"c"}));
    Free(c);
    EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"a"}));
    EXPECT_EQ(list->Get(u"c")->Key(), u"c");
    EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"a", u"c"}));
    EXPECT_EQ(TCountedKeyItem::Live, 2);
}

TEST_F(HashList, ClearGivesBackValuesOnlyWhenAsked) {
    TRef<TProbeList> list = MakeRef<TProbeList>(4);
    TCounted* kept = New<TCounted>();
    list->Get(u"x")->Add(kept);
    list->Get(u"y")->Add(kept);
    list->Clear(false);
    EXPECT_EQ(TCountedKeyItem::Live, 0);
    EXPECT_EQ(TCounted::Disposed, 0);
    EXPECT_FALSE(list->Exists(u"x"));
    EXPECT_FALSE(list->Exists(u"y"));
    // The buckets stay: the list works after a clear.
    list->Get(u"z")->Add(New<TCounted>());
    list->Get(u"z")->Add(nullptr);
    AddRef(kept);
    list->Get(u"w")->Add(kept);
    list->Clear(true);
    EXPECT_EQ(TCountedKeyItem::Live, 0);
    EXPECT_EQ(TCounted::Disposed, 1);
    EXPECT_EQ(kept->RefCount(), 1);
    Free(kept);
}

TEST_F(HashList, DisposeDestroysItemsButNotValues) {
    TCounted* value = New<TCounted>();
    {
        TRef<TProbeList> list = MakeRef<TProbeList>(3);
        for (const char16_t* key : {u"a", u"b", u"c", u"d", u"e"}) list->Get(key)->Add(value);
        EXPECT_EQ(TCountedKeyItem::Live, 5);
    }
    EXPECT_EQ(TCountedKeyItem::Live, 0);
    EXPECT_EQ(TCounted::Disposed, 0);
    Free(value);
}

// An item someone still holds leaves the list with Clear and outlives it safely.
TEST_F(HashList, HeldItemsAreDetachedNotLeftBehind) {
    TKeyItem* held;
    {
        TRef<TProbeList> list = MakeRef<TProbeList>(2);
        held = list->Get(u"held");
        list->Get(u"other");
        AddRef(held);
        list->Clear(false);
        EXPECT_EQ(held->Bucket(), nullptr);
        EXPECT_FALSE(list->Exists(u"held"));
        EXPECT_EQ(TCountedKeyItem::Live, 1);
    }
    Release(held);
    EXPECT_EQ(TCountedKeyItem::Live, 0);
}

TEST_F(HashList, AKeyItemThatFailsToConstructLeavesTheChainAlone) {
    TRef<TProbeList> list = MakeRef<TProbeList>(1);
    list->Get(u"a");
    EXPECT_THROW(list->Get(u"refused"), EStreamReadError);
    EXPECT_FALSE(list->Exists(u"b"));
    EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"a"}));
    list->Get(u"b");
    EXPECT_EQ(Chain(list->Bucket(0)), (std::vector<WideString>{u"a", u"b"}));
}

TEST_F(HashList, KeyItemNeedsABucket) {
    EXPECT_THROW(MakeRef<TKeyItem>(nullptr, u"k"), EAbort);
    EXPECT_EQ(ShownBoxes().size(), 1u);
}

}  // namespace
