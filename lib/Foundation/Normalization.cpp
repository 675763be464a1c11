#include "Foundation/Normalization.h"
#include <algorithm>
#include <vector>
#include "Foundation/CaseFolding.h"
#include "Foundation/NormalizationTables.h"

namespace {

// Hangul syllables decompose by arithmetic, not by table.
constexpr char32_t HangulBase = 0xAC00, LeadBase = 0x1100, VowelBase = 0x1161, TrailBase = 0x11A7;
constexpr char32_t VowelCount = 21, TrailCount = 28, HangulCount = 19 * VowelCount * TrailCount;

unsigned CombiningClass(char32_t c) {
    const TCombiningRun* end = CombiningRuns + CombiningRunCount;
    const TCombiningRun* run =
        std::upper_bound(CombiningRuns, end, c, [](char32_t value, const TCombiningRun& r) { return value < r.First; });
    if (run == CombiningRuns) return 0;
    --run;
    return c <= run->Last ? run->Class : 0;
}

const TDecomposition* FindDecomposition(char32_t c) {
    const TDecomposition* end = CanonicalDecompositions + CanonicalDecompositionCount;
    const TDecomposition* found = std::lower_bound(
        CanonicalDecompositions, end, c, [](const TDecomposition& d, char32_t value) { return d.CodePoint < value; });
    return found != end && found->CodePoint == c ? found : nullptr;
}

void Decompose(char32_t c, std::vector<char32_t>& out) {
    if (c >= HangulBase && c < HangulBase + HangulCount) {
        char32_t index = c - HangulBase;
        out.push_back(LeadBase + index / (VowelCount * TrailCount));
        out.push_back(VowelBase + index % (VowelCount * TrailCount) / TrailCount);
        if (index % TrailCount) out.push_back(TrailBase + index % TrailCount);
        return;
    }
    if (const TDecomposition* d = FindDecomposition(c)) {
        Decompose(d->First, out);
        if (d->Second) Decompose(d->Second, out);
        return;
    }
    out.push_back(c);
}

}  // namespace

WideString DecomposeCanonical(const WideString& text) {
    std::vector<char32_t> points;
    points.reserve(text.size());
    for (size_t i = 0; i < text.size();) Decompose(NextCodePoint(text.data(), i, text.size()), points);
    // Canonical order: a stable sort of each run of marks by class.
    for (size_t start = 0; start < points.size();) {
        if (!CombiningClass(points[start])) {
            ++start;
            continue;
        }
        size_t end = start;
        while (end < points.size() && CombiningClass(points[end])) ++end;
        std::stable_sort(points.begin() + start, points.begin() + end,
                         [](char32_t a, char32_t b) { return CombiningClass(a) < CombiningClass(b); });
        start = end;
    }
    WideString result;
    result.reserve(points.size());
    for (char32_t c : points) AppendCodePoint(result, c);
    return result;
}

bool SameCanonicalText(const WideString& a, const WideString& b) {
    return a == b || DecomposeCanonical(a) == DecomposeCanonical(b);
}
