#include "Lists.h"
#include <algorithm>
#include <new>
#include "ErrorReport.h"

// ---- TSorter

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

// ---- TList

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
    if (index >= FCount) SetCount(index + 1);
    Put(index, item);
}

void TList::Dispose() {
    TRefObject::Dispose();
    Clear();
}
