// The library's containers: a sorter over any indexed collection, a
// growable list of object references and a list of strings with objects.
#pragma once
#include <vector>
#include "RefObject.h"
#include "Types.h"

// Sorts and binary-searches an indexed collection through four operations.
// A search key is whatever CompareKey of the subclass expects.
class TSorter : public TRefObject {
public:
    virtual int GetCount() = 0;
    virtual int Compare(int i, int j) = 0;
    // Negative when key sorts before the element at index.
    virtual int CompareKey(const void* key, int index) = 0;
    virtual void Exchange(int i, int j) = 0;
    // Quicksort; not stable.
    virtual void Sort();
    virtual void SortRange(int lo, int hi);
    // True when found; index gets the position found or the insertion point.
    virtual bool Find(const void* key, int& index);
    virtual bool FindRange(const void* key, int lo, int& index, int hi);
};

// A growable array of object references. The list does not count its
// references: Add and Insert take the caller's, Clear and Delete drop them
// without touching the objects, FreeAll gives them back.
class TList : public TRefObject {
public:
    // Counts at or above this are refused.
    static constexpr int32_t CountLimit = 0x7FFFFFF;

    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return (int32_t)FItems.size(); }

    void Clear();
    int FreeAll();
    void SetCount(int32_t count);
    TRefObject* Get(int32_t index) const;
    template <class T>
    T* Item(int32_t index) const { return static_cast<T*>(Get(index)); }
    void Put(int32_t index, TRefObject* item);
    // The new index, or -1 when the list cannot grow.
    int32_t Add(TRefObject* item);
    bool Insert(int32_t index, TRefObject* item);
    void Delete(int32_t index);
    int32_t IndexOf(const TRefObject* item) const;
    TRefObject* Last() const { return Get(FCount - 1); }
    void Pack();
    void Exchange(int32_t i, int32_t j);
    // Put that first grows the list to index + 1 when index is past the end.
    virtual void SetItem(int32_t index, TRefObject* item);

protected:
    void Dispose() override;

private:
    bool Grow(int32_t needed);

    std::vector<TRefObject*> FItems;  // its size is the capacity
    int32_t FCount = 0;
};
