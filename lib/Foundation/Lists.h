// The library's containers: a sorter over any indexed collection, a
// growable list of object references and a list of strings with objects.
#pragma once
#include <vector>
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"

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

// A growable array of object references it does not count: Add and Insert
// take the caller's, Clear and Delete drop them, FreeAll gives them back.
// A list that owns its entries is a TObjectList.
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
    T* Item(int32_t index) const {
        return static_cast<T*>(Get(index));
    }
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

// A list that owns its entries: whatever it still holds when it goes is
// given back, as FreeAll does.
class TObjectList : public TList {
protected:
    void Dispose() override;
};

// A read-only source of strings.
class IStrings {
public:
    virtual int GetCount() = 0;
    virtual WideString GetString(int index) = 0;

protected:
    ~IStrings() = default;
};

// A text with an attached object. The item does not own the object.
class TStringItem : public TRefObject {
public:
    const WideString& Text() const { return FText; }
    TRefObject* Object() const { return FObject; }
    virtual void SetText(const WideString& text) { FText = text; }
    virtual void SetObject(TRefObject* object) { FObject = object; }
    // Copies text and object reference.
    virtual void Assign(const TStringItem* other);

private:
    WideString FText;
    TRefObject* FObject = nullptr;
};

// A list of string items, optionally kept sorted, with or without regard to
// case. Entries are created on first touch; attached objects belong to the
// caller unless ClearWithObjects is told to give them back.
class TStringList : public TSorter, public IStrings {
public:
    TStringList();

    int GetCount() override;
    int Compare(int i, int j) override;
    void Exchange(int i, int j) override;
    void SortRange(int lo, int hi) override;

    virtual TStringItem* NewItem(int index);
    virtual bool SameText(const WideString& a, const WideString& b);
    virtual int CompareText(const WideString& a, const WideString& b);
    virtual void SetCount(int count);
    // The item at index, created when the entry is still empty; null
    // outside the list.
    virtual TStringItem* GetItem(int index);
    WideString GetString(int index) override;
    virtual void SetString(int index, const WideString& text);
    virtual void Clear();
    virtual void ClearWithObjects(bool freeObjects);
    virtual void Assign(TStringList* list);
    virtual void AssignStrings(IStrings* source);
    virtual void AddList(TStringList* list);
    virtual void AddStrings(IStrings* source);
    // The index of the new item, -1 when the list cannot grow.
    virtual int Add(const WideString& text);
    virtual int AddObject(const WideString& text, TRefObject* object);
    virtual bool Insert(int index, const WideString& text);
    // Both remove the entry, free its item and hand its object to the caller.
    virtual TRefObject* Delete(int index);
    virtual TRefObject* Extract(int index);
    virtual int IndexOf(const WideString& text);
    virtual bool Find(const WideString& text, int& index);
    virtual bool FindRange(const WideString& text, int lo, int& index, int hi);
    // Literals go to the string search, never to the untyped one.
    bool Find(const WideChar* text, int& index) { return Find(WideString(text), index); }
    bool FindRange(const WideChar* text, int lo, int& index, int hi) {
        return FindRange(WideString(text), lo, index, hi);
    }

    TRefObject* GetObject(int index);
    void SetObject(int index, TRefObject* object);
    bool Sorted() const { return FSorted; }
    void SetSorted(bool sorted);
    bool IgnoreCase() const { return FIgnoreCase; }
    void SetIgnoreCase(bool ignoreCase);
    // The entry as it is, without creating an item.
    TStringItem* Entry(int index) const { return FItems->Item<TStringItem>(index); }

protected:
    void Dispose() override;
    // The key is a const WideString*.
    int CompareKey(const void* key, int index) override;
    using TSorter::Find;
    bool FindRange(const void* key, int lo, int& index, int hi) override;

private:
    bool ClampRange(int& lo, int& hi);
    TStringItem* ItemToTouch(int index);
    void SortIfSorted();

    TRef<TObjectList> FItems;
    bool FIgnoreCase = false;
    bool FSorted = false;
};
