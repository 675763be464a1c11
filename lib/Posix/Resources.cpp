#include "Streams/Resources.h"

// Defined by the generated table that each program links; weak, so that a
// program without one links too and simply has no resources.
extern "C" const TEmbeddedResource* NvxEmbeddedResources(size_t* count) __attribute__((weak));

namespace {
// Resource names compare without regard to case, as on Windows.
bool SameName(const char16_t* a, const WideString& b) {
    size_t i = 0;
    for (; a[i] != 0; ++i) {
        if (i >= b.size()) return false;
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x -= 32;
        if (y >= u'a' && y <= u'z') y -= 32;
        if (x != y) return false;
    }
    return i == b.size();
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
