#include <windows.h>
#include "Streams/Resources.h"

bool FindProgramResource(const WideString& name, uint16_t type, TResourceData& data) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC info = ::FindResourceW(module, reinterpret_cast<LPCWSTR>(name.c_str()), MAKEINTRESOURCEW(type));
    if (!info) return false;
    HGLOBAL loaded = ::LoadResource(module, info);
    if (!loaded) return false;
    const void* memory = ::LockResource(loaded);
    if (!memory) return false;
    data.Data = static_cast<const uint8_t*>(memory);
    data.Size = ::SizeofResource(module, info);
    return true;
}
