#include "Foundation/CaseFolding.h"
#include <algorithm>
#include "Foundation/CaseFoldingTables.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"

namespace {

TCharPage* Directory[TCharPage::LastPage + 1] = {};
TCharPage* NewestPage = nullptr;
size_t FoldedCount = 0;

TCharPage* PageFor(uint32_t codePoint) {
    uint32_t page = codePoint >> 8;
    if (page <= TCharPage::LastPage && Directory[page]) return Directory[page];
    return New<TCharPage>(page);
}

void ApplyRecords(const TFoldRecord* records, size_t count) {
    uint32_t running = 0;
    for (size_t r = 0; r < count; ++r) {
        const TFoldRecord& record = records[r];
        int n = record.Count < 0 ? -record.Count : record.Count;
        for (int k = 0; k < n; ++k) {
            running += record.Step;
            uint16_t target = (uint16_t)(record.Count > 0 ? running + record.Distance : running - record.Distance);
            TCharPage* page = PageFor(running);
            uint16_t& slot = page->Targets[running & 0xFF];
            if (slot == (uint16_t)running && target != slot) ++FoldedCount;
            slot = target;
        }
    }
}

void ApplyFullEntries() {
    for (size_t e = 0; e < FullFoldEntryCount; ++e) {
        uint32_t codePoint = FullFoldEntries[e].CodePoint;
        TCharPage* page = PageFor(codePoint);
        uint32_t low = codePoint & 0xFF;
        if (page->FullCount == 0) page->FullFirst = low;
        // The generator writes the entries in code-point order.
        NVX_ASSERT(low >= page->FullFirst);
        uint32_t slot = low - page->FullFirst;
        if (slot >= page->FullCount) {
            page->FullCount = slot + 1;
            page->Full.resize(page->FullCount);
        }
        page->Full[slot] = FullFoldEntries[e].Folded;
    }
}

bool IsHigh(WideChar c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(WideChar c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

uint32_t NextCodePoint(const WideChar* text, size_t& i, size_t end) {
    WideChar c = text[i++];
    if (IsHigh(c) && i < end && IsLow(text[i])) return 0x10000 + ((uint32_t)(c - 0xD800) << 10) + (text[i++] - 0xDC00);
    return c;
}

void AppendCodePoint(WideString& text, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        text += (WideChar)codePoint;
        return;
    }
    NVX_ASSERT_MSG(codePoint <= 0x10FFFF, "Illegal char range for surrogates");
    codePoint -= 0x10000;
    text += (WideChar)(0xD800 + (codePoint >> 10));
    text += (WideChar)(0xDC00 + (codePoint & 0x3FF));
}

TCharPage::TCharPage(uint32_t pageNumber) : PageNumber(pageNumber), HighPart((pageNumber << 8) & 0xFF0000) {
    NVX_ASSERT(pageNumber <= LastPage);
    for (uint32_t i = 0; i < 256; ++i) Targets[i] = (uint16_t)((pageNumber << 8) + i);
    Previous = NewestPage;
    NewestPage = this;
    Directory[pageNumber] = this;
}

void InitCaseFolding() {
    if (NewestPage) return;
    ApplyRecords(SimpleFoldRecords, SimpleFoldRecordsCount);
    ApplyRecords(SimpleFoldRecords2, SimpleFoldRecords2Count);
    ApplyFullEntries();
}

void DoneCaseFolding() {
    while (TCharPage* page = NewestPage) {
        NewestPage = page->Previous;
        Directory[page->PageNumber] = nullptr;
        Free(page);
    }
    FoldedCount = 0;
}

uint32_t Fold(uint32_t codePoint) {
    uint32_t page = codePoint >> 8;
    if (page > TCharPage::LastPage || !Directory[page]) return codePoint;
    const TCharPage* p = Directory[page];
    return p->HighPart + p->Targets[codePoint & 0xFF];
}

WideString FullFold(uint32_t codePoint) {
    uint32_t page = codePoint >> 8;
    if (page <= TCharPage::LastPage && Directory[page]) {
        const TCharPage* p = Directory[page];
        uint32_t low = codePoint & 0xFF;
        if (low >= p->FullFirst && low - p->FullFirst < p->FullCount && !p->Full[low - p->FullFirst].empty())
            return p->Full[low - p->FullFirst];
    }
    WideString folded;
    AppendCodePoint(folded, Fold(codePoint));
    return folded;
}

size_t FoldedCodePointCount() { return FoldedCount; }

WideString FoldString(const WideString& text, int start, int count) {
    size_t offset, length;
    ClampSubstring(text.size(), start, count, offset, length);
    WideString result;
    result.reserve(length);
    const WideChar* s = text.data() + offset;
    for (size_t i = 0; i < length;) AppendCodePoint(result, Fold(NextCodePoint(s, i, length)));
    return result;
}

int CompareFolded(const WideString& a, int startA, int countA, const WideString& b, int startB, int countB) {
    size_t offsetA, lengthA, offsetB, lengthB;
    ClampSubstring(a.size(), startA, countA, offsetA, lengthA);
    ClampSubstring(b.size(), startB, countB, offsetB, lengthB);
    const WideChar* sa = a.data() + offsetA;
    const WideChar* sb = b.data() + offsetB;
    int lengthDifference = (int)((long long)lengthA - (long long)lengthB);
    size_t common = std::min(lengthA, lengthB);
    size_t i = 0;
    while (i < common && sa[i] == sb[i]) ++i;
    if (i == common) return lengthDifference;
    // A pair split by the first difference is compared whole.
    if (i > 0 && IsHigh(sa[i - 1])) --i;
    size_t ia = i, ib = i;
    while (ia < lengthA && ib < lengthB) {
        uint32_t fa = Fold(NextCodePoint(sa, ia, lengthA));
        uint32_t fb = Fold(NextCodePoint(sb, ib, lengthB));
        if (fa != fb) return (int)fa - (int)fb;
    }
    if (lengthDifference != 0) return lengthDifference;
    // Equal lengths that ran out at different points.
    return (int)((long long)(lengthA - ia) - (long long)(lengthB - ib));
}

int CompareText(const WideString& a, const WideString& b, bool ignoreCase) {
    if (ignoreCase) return CompareFolded(a, 1, INT_MAX, b, 1, INT_MAX);
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i]) return (int)a[i] - (int)b[i];
    return (int)((long long)a.size() - (long long)b.size());
}
