#include "Streams/Resources.h"
#include <algorithm>
#include <string>

// Defined by the generated table that each program links; weak, so that a
// program without one links too and simply has no resources.
extern "C" const TEmbeddedResource* NvxEmbeddedResources(size_t* count) __attribute__((weak));

namespace {
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c; }

// Resource names compare without regard to case, as on Windows.
bool SameName(const char16_t* a, const WideString& b) {
    return std::equal(b.begin(), b.end(), a, a + std::char_traits<char16_t>::length(a),
                      [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}
}  // namespace

bool FindProgramResource(const WideString& name, uint16_t type, TResourceData& data) {
    if (!NvxEmbeddedResources) return false;
    size_t count = 0;
    const TEmbeddedResource* table = NvxEmbeddedResources(&count);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].Type != type || !SameName(table[i].Name, name)) continue;
        data.Data = table[i].Data;
        data.Size = table[i].Size;
        return true;
    }
    return false;
}
