#include "Foundation/HashList.h"
#include "Foundation/ErrorReport.h"

uint32_t ElfHash(const WideString& key) {
    uint32_t h = 0;
    for (WideChar c : key) {
        h = (h << 4) + (c & 0xFF);
        uint32_t g = h & 0xF0000000;
        if (g) h = (h ^ (g >> 24)) & 0x0FFFFFFF;
    }
    return h;
}

TKeyItem::TKeyItem(THashItem* bucket, const WideString& key) : FBucket(bucket), FKey(key) { NVX_ASSERT(bucket); }

// Not in the constructor: a subclass constructor that throws would leave a
// freed item in the chain.
void TKeyItem::AfterConstruction() {
    TList::AfterConstruction();
    FOlder = FBucket->FNewest;
    if (FOlder) FOlder->FNewer = this;
    else FBucket->FOldest = this;
    FBucket->FNewest = this;
}

void TKeyItem::Unlink() {
    THashItem* bucket = FBucket;
    if (!bucket) return;
    NVX_ASSERT(FOlder ? FOlder->FNewer == this : bucket->FOldest == this);
    NVX_ASSERT(FNewer ? FNewer->FOlder == this : bucket->FNewest == this);
    if (FOlder) FOlder->FNewer = FNewer;
    else bucket->FOldest = FNewer;
    if (FNewer) FNewer->FOlder = FOlder;
    else bucket->FNewest = FOlder;
    FOlder = FNewer = nullptr;
    FBucket = nullptr;
    if (bucket->FOwner) bucket->FOwner->KeyItemRemoved(this);
}

void TKeyItem::Dispose() {
    Unlink();
    TList::Dispose();
}

// Each item leaves the chain before its reference is given back, so an item
// someone else still holds ends up detached instead of stuck in the chain.
void THashItem::DestroyKeyItems(bool releaseValues) {
    while (TKeyItem* item = FOldest) {
        if (releaseValues) item->FreeAll();
        item->Unlink();
        Free(item);
    }
}

void THashItem::Dispose() {
    DestroyKeyItems(false);
    TRefObject::Dispose();
}

THashList::THashList(int bucketCount) : FBuckets(bucketCount > 0 ? (size_t)bucketCount : 1, nullptr) {}

uint32_t THashList::Hash(const WideString& key) { return ElfHash(key); }

THashItem* THashList::GetBucket(uint32_t hash) {
    THashItem*& bucket = FBuckets[hash % (uint32_t)FBuckets.size()];
    if (!bucket) bucket = New<THashItem>(this);
    return bucket;
}

TKeyItem* THashList::NewKeyItem(THashItem* bucket, const WideString& key) { return New<TKeyItem>(bucket, key); }

void THashList::KeyItemRemoved(TKeyItem* item) {
    if (FCacheBucket && FCacheItem == item) {
        FCacheKey.clear();
        FCacheBucket = nullptr;
        FCacheItem = nullptr;
    }
}

bool THashList::SameKey(const WideString& a, const WideString& b) { return a == b; }

TKeyItem* THashList::Lookup(const WideString& key) {
    // The remembered key is compared exactly, whatever SameKey says.
    if (FCacheBucket && FCacheKey == key) return FCacheItem;
    FCacheBucket = nullptr;
    FCacheKey = key;
    THashItem* bucket = GetBucket(Hash(key));
    TKeyItem* found = bucket->Oldest();
    while (found && !SameKey(found->Key(), key)) found = found->Newer();
    FCacheItem = found;
    FCacheBucket = bucket;
    return found;
}

bool THashList::Exists(const WideString& key) { return Lookup(key) != nullptr; }

TKeyItem* THashList::Get(const WideString& key) {
    bool created;
    return GetEx(key, created);
}

TKeyItem* THashList::GetEx(const WideString& key, bool& created) {
    TKeyItem* item = Lookup(key);
    created = !item;
    if (!created) return item;
    FCacheItem = NewKeyItem(FCacheBucket, key);
    return FCacheItem;
}

bool THashList::Find(const WideString& key, TKeyItem*& item) {
    item = Lookup(key);
    return item != nullptr;
}

void THashList::Clear(bool releaseValues) {
    for (THashItem* bucket : FBuckets)
        if (bucket) bucket->DestroyKeyItems(releaseValues);
}

void THashList::Dispose() {
    for (size_t i = FBuckets.size(); i-- > 0;) Free(std::exchange(FBuckets[i], nullptr));
    FCacheKey.clear();
    FCacheBucket = nullptr;
    FCacheItem = nullptr;
    TRefObject::Dispose();
}
