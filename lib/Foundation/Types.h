// Basic types shared by the whole library.
#pragma once
#include <cstdint>
#include <string>

// UTF-16 text: every path, file name and archive name.
using WideString = std::u16string;
using WideChar = char16_t;
// 8-bit text in a code page; only at the edges (messages, ZIP names).
using AnsiString = std::string;

// An OS handle carried through portable code as an opaque integer.
using TNativeHandle = std::intptr_t;
constexpr TNativeHandle InvalidNativeHandle = -1;

// Calendar time in the Windows SYSTEMTIME layout.
struct TSystemTime {
    uint16_t Year = 0;
    uint16_t Month = 0;
    uint16_t DayOfWeek = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint16_t Milliseconds = 0;
    bool operator==(const TSystemTime&) const = default;
};

// 100-nanosecond intervals since 1601-01-01 UTC, as Windows FILETIME.
using TFileTime = uint64_t;

struct TGuid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
    bool operator==(const TGuid&) const = default;
};
