// Wide-string keys mapped to key items through a fixed number of buckets.
// Each key item is a list, so a key can collect several values. The last
// lookup is remembered: asking for the same key again costs no hashing.
#pragma once
#include <vector>
#include "Foundation/Lists.h"

class THashList;
class THashItem;

// The items of one key, newest last in its bucket's chain. The values are
// the caller's unless the list is cleared with release-values.
class TKeyItem : public TList {
public:
    TKeyItem(THashItem* bucket, const WideString& key);

    THashItem* Bucket() const { return FBucket; }
    TKeyItem* Older() const { return FOlder; }
    TKeyItem* Newer() const { return FNewer; }
    const WideString& Key() const { return FKey; }
    // A word for the user of the class; the hash list never reads it.
    intptr_t Data = 0;

protected:
    void AfterConstruction() override;
    void Dispose() override;

private:
    friend class THashItem;
    void Unlink();

    THashItem* FBucket;
    TKeyItem* FOlder = nullptr;
    TKeyItem* FNewer = nullptr;
    WideString FKey;
};

// A bucket: the chain of its key items from oldest to newest. It owns them.
class THashItem : public TRefObject {
public:
    explicit THashItem(THashList* owner) : FOwner(owner) {}

    THashList* Owner() const { return FOwner; }
    TKeyItem* Oldest() const { return FOldest; }
    TKeyItem* Newest() const { return FNewest; }
    // Oldest first, giving back their values first when asked.
    void DestroyKeyItems(bool releaseValues);

protected:
    void Dispose() override;

private:
    friend class TKeyItem;
    THashList* FOwner;
    TKeyItem* FOldest = nullptr;
    TKeyItem* FNewest = nullptr;
};

class THashList : public TRefObject {
public:
    // A count of 0 or less is taken as 1.
    explicit THashList(int bucketCount);

    int BucketCount() const { return (int)FBuckets.size(); }
    // The bucket at index, null until first used.
    THashItem* Bucket(int index) const { return FBuckets.at((size_t)index); }

    virtual uint32_t Hash(const WideString& key);
    // The bucket for hash (as unsigned, modulo the count), created on first use.
    virtual THashItem* GetBucket(uint32_t hash);
    virtual TKeyItem* NewKeyItem(THashItem* bucket, const WideString& key);
    // Forgets the remembered lookup when it found item.
    virtual void KeyItemRemoved(TKeyItem* item);
    virtual bool SameKey(const WideString& a, const WideString& b);
    virtual bool Exists(const WideString& key);
    // The key item for key, created when absent.
    virtual TKeyItem* Get(const WideString& key);
    virtual TKeyItem* GetEx(const WideString& key, bool& created);
    virtual bool Find(const WideString& key, TKeyItem*& item);
    void Clear(bool releaseValues);

protected:
    void Dispose() override;

private:
    TKeyItem* Lookup(const WideString& key);

    std::vector<THashItem*> FBuckets;
    WideString FCacheKey;
    THashItem* FCacheBucket = nullptr;  // null: nothing remembered
    TKeyItem* FCacheItem = nullptr;     // null: the key was absent
};

// The ELF hash of the System V object file format over the low 8 bits of
// each UTF-16 unit (28 bits).
uint32_t ElfHash(const WideString& key);
