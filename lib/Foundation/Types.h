// Basic types shared by the whole library.
#pragma once
#include <cstdint>
#include <string>

// UTF-16 text: every path, file name and archive name.
using WideString = std::u16string;
using WideChar = char16_t;
// 8-bit text, always UTF-8: messages, notes, reports. Bytes in another
// code page (ZIP names without the UTF-8 flag, 8-bit system calls) are
// TByteString, converted where they are met (Foundation/CodePages.h).
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

// A TSystemTime in 8 bytes, for what is held per archive item; each field
// keeps the values of its calendar range (seconds up to 63, milliseconds up
// to 1023).
class TCompactTime {
public:
    TCompactTime() = default;
    TCompactTime(const TSystemTime& time)
        : FBits(uint64_t(time.Year) | uint64_t(time.Month & 15) << 16 | uint64_t(time.DayOfWeek & 7) << 20 |
                uint64_t(time.Day & 31) << 23 | uint64_t(time.Hour & 31) << 28 | uint64_t(time.Minute & 63) << 33 |
                uint64_t(time.Second & 63) << 39 | uint64_t(time.Milliseconds & 1023) << 45) {}
    operator TSystemTime() const {
        auto field = [this](int shift, uint64_t mask) { return uint16_t(FBits >> shift & mask); };
        return {field(0, 0xFFFF), field(16, 15), field(20, 7),  field(23, 31),
                field(28, 31),    field(33, 63), field(39, 63), field(45, 1023)};
    }
    bool operator==(const TCompactTime&) const = default;
    bool operator==(const TSystemTime& time) const { return TSystemTime(*this) == time; }

private:
    uint64_t FBits = 0;
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
