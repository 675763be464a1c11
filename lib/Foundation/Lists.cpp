#include "Foundation/Lists.h"
#include <algorithm>
#include <new>
#include "Foundation/CaseFolding.h"
#include "Foundation/ErrorReport.h"

void TSorter::Sort() {
    int count = GetCount();
    if (count >= 2) SortRange(0, count - 1);
}

// The pivot is tracked by index: it moves when an exchange touches it.
void TSorter::SortRange(int lo, int hi) {
    int i;
    do {
        i = lo;
        int j = hi;
        int p = (int)(((unsigned)lo + (unsigned)hi) >> 1);
        do {
            while (Compare(i, p) < 0) ++i;
            while (Compare(j, p) > 0) --j;
            if (i <= j) {
                if (i == p) p = j;
                else if (j == p) p = i;
                Exchange(i, j);
                ++i;
                --j;
            }
        } while (i <= j);
        if (lo < j) SortRange(lo, j);
        lo = i;
    } while (i < hi);
}

bool TSorter::Find(const void* key, int& index) { return FindRange(key, 0, index, GetCount() - 1); }

bool TSorter::FindRange(const void* key, int lo, int& index, int hi) {
    for (;;) {
        int d = hi - lo;
        // A range that ends before it starts is empty, however far.
        if (d < 0) {
            index = lo;
            return false;
        }
        if (d == 0) {
            int c = CompareKey(key, lo);
            index = c > 0 ? lo + 1 : lo;
            return c == 0;
        }
        if (d == 1) {
            int c = CompareKey(key, lo);
            if (c > 0) {
                c = CompareKey(key, hi);
                index = c > 0 ? hi + 1 : hi;
            } else {
                index = lo;
            }
            return c == 0;
        }
        int m = lo + d / 2;
        int c = CompareKey(key, m);
        if (c == 0) {
            index = m;
            return true;
        }
        if (c < 0) hi = m - 1;
        else lo = m + 1;
    }
}

bool TList::Grow(int32_t needed) {
    if (needed >= CountLimit) return false;
    size_t capacity = FItems.size();
    if ((size_t)needed <= capacity) return true;
    while (capacity < (size_t)needed) {
        if (capacity <= 8) capacity += 4;
        else if (capacity <= 64) capacity += 16;
        else capacity *= 2;
    }
    try {
        FItems.resize(capacity, nullptr);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void TList::Clear() {
    std::vector<TRefObject*>().swap(FItems);
    FCount = 0;
}

int TList::FreeAll() {
    // Each entry is emptied before its object goes, so a failing release
    // cannot leave a freed object in the list.
    for (int32_t i = 0; i < FCount; ++i)
        if (TRefObject* item = std::exchange(FItems[i], nullptr)) Release(item);
    Clear();
    return 0;
}

void TList::SetCount(int32_t count) {
    if (count == FCount || count < 0 || count >= CountLimit) return;
    if ((size_t)count > FItems.size()) {
        try {
            FItems.resize((size_t)count, nullptr);
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    for (int32_t i = count; i < FCount; ++i) FItems[i] = nullptr;
    FCount = count;
}

TRefObject* TList::Get(int32_t index) const { return index >= 0 && index < FCount ? FItems[index] : nullptr; }

void TList::Put(int32_t index, TRefObject* item) {
    NVX_ASSERT(index >= 0 && index < FCount);
    FItems[index] = item;
}

int32_t TList::Add(TRefObject* item) {
    if (!Grow(FCount + 1)) return -1;
    FItems[FCount] = item;
    return FCount++;
}

bool TList::Insert(int32_t index, TRefObject* item) {
    if (index < 0 || index > FCount || !Grow(FCount + 1)) return false;
    std::move_backward(FItems.begin() + index, FItems.begin() + FCount, FItems.begin() + FCount + 1);
    FItems[index] = item;
    ++FCount;
    return true;
}

void TList::Delete(int32_t index) {
    if (index < 0 || index >= FCount) return;
    std::move(FItems.begin() + index + 1, FItems.begin() + FCount, FItems.begin() + index);
    FItems[--FCount] = nullptr;
}

int32_t TList::IndexOf(const TRefObject* item) const {
    for (int32_t i = 0; i < FCount; ++i)
        if (FItems[i] == item) return i;
    return -1;
}

void TList::Pack() {
    auto end = std::remove(FItems.begin(), FItems.begin() + FCount, nullptr);
    int32_t count = (int32_t)(end - FItems.begin());
    std::fill(end, FItems.begin() + FCount, nullptr);
    FCount = count;
}

void TList::Exchange(int32_t i, int32_t j) {
    TRefObject* item = Get(i);
    Put(i, Get(j));
    Put(j, item);
}

void TList::SetItem(int32_t index, TRefObject* item) {
    NVX_ASSERT(index >= 0);
    // Beyond the limit the count stays and Put refuses the index; index + 1
    // would overflow at the top of the range.
    if (index >= FCount && index < CountLimit) SetCount(index + 1);
    Put(index, item);
}

void TList::Dispose() {
    Clear();
    TRefObject::Dispose();
}

void TObjectList::Dispose() {
    FreeAll();
    TList::Dispose();
}

void TStringItem::Assign(const TStringItem* other) {
    SetText(other ? other->Text() : WideString());
    SetObject(other ? other->Object() : nullptr);
}

TStringList::TStringList() : FItems(MakeRef<TObjectList>()) {}

void TStringList::Dispose() {
    Clear();
    FItems.Reset();
    TSorter::Dispose();
}

int TStringList::GetCount() { return FItems->Count(); }

TStringItem* TStringList::NewItem(int) { return New<TStringItem>(); }

bool TStringList::SameText(const WideString& a, const WideString& b) { return CompareText(a, b) == 0; }

int TStringList::CompareText(const WideString& a, const WideString& b) {
    if (FIgnoreCase) return ::CompareText(a, b, true);
    int c = ::CompareText(a, b, false);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int TStringList::Compare(int i, int j) {
    if (i == j) return 0;
    TStringItem* a = Entry(i);
    TStringItem* b = Entry(j);
    if (a && b) return CompareText(a->Text(), b->Text());
    // Empty entries sort first.
    return (a ? 1 : 0) - (b ? 1 : 0);
}

int TStringList::CompareKey(const void* key, int index) {
    const WideString& text = *static_cast<const WideString*>(key);
    TStringItem* item = Entry(index);
    if (text.empty()) return item ? -1 : 0;
    if (!item) return 1;
    return CompareText(text, item->Text());
}

void TStringList::Exchange(int i, int j) { FItems->Exchange(i, j); }

bool TStringList::ClampRange(int& lo, int& hi) {
    if (lo < 0) lo = 0;
    if (hi > GetCount() - 1) hi = GetCount() - 1;
    return lo < hi;
}

void TStringList::SortRange(int lo, int hi) {
    if (ClampRange(lo, hi)) TSorter::SortRange(lo, hi);
}

bool TStringList::FindRange(const void* key, int lo, int& index, int hi) {
    ClampRange(lo, hi);
    return TSorter::FindRange(key, lo, index, hi);
}

bool TStringList::Find(const WideString& text, int& index) { return Find(static_cast<const void*>(&text), index); }

bool TStringList::FindRange(const WideString& text, int lo, int& index, int hi) {
    return FindRange(static_cast<const void*>(&text), lo, index, hi);
}

void TStringList::SortIfSorted() {
    if (FSorted) Sort();
}

void TStringList::SetCount(int count) {
    if (count < 0 || count >= TList::CountLimit) return;
    for (int i = count; i < GetCount(); ++i) {
        TRefObject* item = FItems->Get(i);
        FItems->Put(i, nullptr);
        Free(item);
    }
    FItems->SetCount(count);
}

TStringItem* TStringList::GetItem(int index) {
    if (index < 0 || index >= GetCount()) return nullptr;
    TStringItem* item = Entry(index);
    if (!item) {
        item = NewItem(index);
        FItems->Put(index, item);
    }
    return item;
}

// Setting through an index outside the list is the caller's error.
TStringItem* TStringList::ItemToTouch(int index) {
    NVX_ASSERT(index >= 0 && index < GetCount());
    return GetItem(index);
}

WideString TStringList::GetString(int index) {
    TStringItem* item = GetItem(index);
    return item ? item->Text() : WideString();
}

void TStringList::SetString(int index, const WideString& text) {
    ItemToTouch(index)->SetText(text);
    SortIfSorted();
}

TRefObject* TStringList::GetObject(int index) {
    TStringItem* item = Entry(index);
    return item ? item->Object() : nullptr;
}

void TStringList::SetObject(int index, TRefObject* object) { ItemToTouch(index)->SetObject(object); }

void TStringList::Clear() { FItems->FreeAll(); }

void TStringList::ClearWithObjects(bool freeObjects) {
    for (int i = 0; freeObjects && i < GetCount(); ++i) {
        TStringItem* item = Entry(i);
        if (TRefObject* object = item ? item->Object() : nullptr) {
            item->SetObject(nullptr);
            Release(object);
        }
    }
    Clear();
}

namespace {

// Sets the list's count to base + count and fills items base.. from source.
template <class TFill>
void FillItems(TStringList* list, int base, int count, TFill fill) {
    list->SetCount(base + count);
    for (int i = 0; i < count; ++i) fill(list->GetItem(base + i), i);
    if (list->Sorted()) list->Sort();
}

}  // namespace

void TStringList::Assign(TStringList* list) {
    if (list == this) return;
    FillItems(this, 0, list->GetCount(), [list](TStringItem* item, int i) { item->Assign(list->GetItem(i)); });
}

void TStringList::AssignStrings(IStrings* source) {
    if (source == static_cast<IStrings*>(this)) return;
    FillItems(this, 0, source->GetCount(), [source](TStringItem* item, int i) { item->SetText(source->GetString(i)); });
}

void TStringList::AddList(TStringList* list) {
    FillItems(this, GetCount(), list->GetCount(), [list](TStringItem* item, int i) { item->Assign(list->GetItem(i)); });
}

void TStringList::AddStrings(IStrings* source) {
    FillItems(this, GetCount(), source->GetCount(),
              [source](TStringItem* item, int i) { item->SetText(source->GetString(i)); });
}

int TStringList::Add(const WideString& text) { return AddObject(text, nullptr); }

int TStringList::AddObject(const WideString& text, TRefObject* object) {
    int index = GetCount();
    if (FSorted) Find(text, index);
    if (!FItems->Insert(index, nullptr)) return -1;
    TStringItem* item = GetItem(index);
    item->SetText(text);
    item->SetObject(object);
    return index;
}

bool TStringList::Insert(int index, const WideString& text) {
    if (index < 0 || index > GetCount() || !FItems->Insert(index, nullptr)) return false;
    GetItem(index)->SetText(text);
    SortIfSorted();
    return true;
}

TRefObject* TStringList::Delete(int index) {
    if (index < 0 || index >= GetCount()) return nullptr;
    TStringItem* item = Entry(index);
    FItems->Delete(index);
    if (!item) return nullptr;
    TRefObject* object = item->Object();
    Free(item);
    return object;
}

TRefObject* TStringList::Extract(int index) { return Delete(index); }

int TStringList::IndexOf(const WideString& text) {
    if (FSorted) {
        int index;
        return Find(text, index) ? index : -1;
    }
    for (int i = 0; i < GetCount(); ++i) {
        TStringItem* item = Entry(i);
        if (item ? SameText(text, item->Text()) : text.empty()) return i;
    }
    return -1;
}

void TStringList::SetSorted(bool sorted) {
    if (sorted == FSorted) return;
    FSorted = sorted;
    SortIfSorted();
}

void TStringList::SetIgnoreCase(bool ignoreCase) {
    if (ignoreCase == FIgnoreCase) return;
    FIgnoreCase = ignoreCase;
    SortIfSorted();
}
