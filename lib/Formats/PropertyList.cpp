#include "Formats/PropertyList.h"
#include <cstdint>
#include <vector>

namespace {

// <key>key</key> followed by <string>...</string>; keys of nested
// dictionaries count too, which a bundle's own keys never are.
std::string FromXml(const std::string& list, const std::string& key) {
    const std::string wanted = "<key>" + key + "</key>";
    size_t at = list.find(wanted);
    if (at == std::string::npos) return std::string();
    at = list.find_first_not_of(" \t\r\n", at + wanted.size());
    if (at == std::string::npos || list.compare(at, 8, "<string>") != 0) return std::string();
    const size_t end = list.find("</string>", at + 8);
    return end == std::string::npos ? std::string() : XmlText(list.substr(at + 8, end - at - 8));
}

// The binary form: objects addressed through an offset table, found from
// the 32-byte trailer at the end.
class TBinaryList {
public:
    explicit TBinaryList(const std::string& list) : FList(list) {
        if (list.size() < 40 || list.compare(0, 8, "bplist00") != 0) return;
        const size_t trailer = list.size() - 32;
        FOffsetSize = uint8_t(list[trailer + 6]);
        FRefSize = uint8_t(list[trailer + 7]);
        FCount = Number(trailer + 8, 8);
        FTop = Number(trailer + 16, 8);
        FTable = Number(trailer + 24, 8);
        FValid = FOffsetSize >= 1 && FOffsetSize <= 8 && FRefSize >= 1 && FRefSize <= 8 && FTop < FCount &&
                 FTable < trailer && FCount <= (trailer - FTable) / FOffsetSize;
    }

    std::string Lookup(const std::string& key) {
        if (!FValid) return std::string();
        size_t at = 0, count = 0;
        if (!Object(FTop, 0xD, at, count) || count > FList.size() / (2 * FRefSize)) return std::string();
        for (size_t i = 0; i < count; ++i) {
            if (!Inside(at + (count + i + 1) * FRefSize)) return std::string();
            if (String(Number(at + i * FRefSize, FRefSize)) == key)
                return String(Number(at + (count + i) * FRefSize, FRefSize));
        }
        return std::string();
    }

private:
    bool Inside(uint64_t end) const { return end <= FList.size(); }

    uint64_t Number(uint64_t at, unsigned size) const {
        uint64_t value = 0;
        for (unsigned i = 0; i < size && Inside(at + i + 1); ++i) value = value << 8 | uint8_t(FList[at + i]);
        return value;
    }

    // The object's contents and length, when it is of that kind.
    bool Object(uint64_t index, unsigned kind, size_t& at, size_t& length) const {
        if (index >= FCount) return false;
        const uint64_t start = Number(FTable + index * FOffsetSize, FOffsetSize);
        if (!Inside(start + 1) || (uint8_t(FList[start]) >> 4) != kind) return false;
        length = uint8_t(FList[start]) & 0xF;
        at = start + 1;
        if (length == 0xF) {
            // A longer length follows as an integer object of 2^n bytes.
            if (!Inside(at + 1) || (uint8_t(FList[at]) >> 4) != 1) return false;
            const unsigned size = 1u << (uint8_t(FList[at]) & 0xF);
            if (size > 8) return false;
            length = size_t(Number(at + 1, size));
            at += 1 + size;
        }
        return Inside(uint64_t(at) + length);
    }

    // An ASCII or UTF-16 string object in UTF-8; empty for anything else.
    std::string String(uint64_t index) const {
        size_t at = 0, length = 0;
        if (Object(index, 0x5, at, length)) return FList.substr(at, length);
        if (!Object(index, 0x6, at, length) || !Inside(uint64_t(at) + 2 * uint64_t(length))) return std::string();
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            uint32_t c = uint32_t(Number(at + 2 * i, 2));
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
                uint32_t low = uint32_t(Number(at + 2 * ++i, 2));
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            if (c < 0x80) text += char(c);
            else if (c < 0x800) text += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
            else if (c < 0x10000) text += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
            else
                text += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)), char(0x80 | (c >> 6 & 0x3F)),
                         char(0x80 | (c & 0x3F))};
        }
        return text;
    }

    const std::string& FList;
    bool FValid = false;
    unsigned FOffsetSize = 0, FRefSize = 0;
    uint64_t FCount = 0, FTop = 0, FTable = 0;
};

}  // namespace

std::string XmlText(const std::string& text) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string plain;
    for (size_t at = 0; at < text.size();) {
        bool replaced = false;
        for (auto [entity, c] : entities)
            if (text.compare(at, std::char_traits<char>::length(entity), entity) == 0) {
                plain += c;
                at += std::char_traits<char>::length(entity);
                replaced = true;
                break;
            }
        if (!replaced) plain += text[at++];
    }
    return plain;
}

std::string PropertyListString(const std::string& list, const std::string& key) {
    if (list.compare(0, 8, "bplist00") == 0) return TBinaryList(list).Lookup(key);
    return FromXml(list, key);
}
