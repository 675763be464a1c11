#include "Formats/CodeResources.h"
#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>
#include "Formats/PropertyList.h"

namespace {

// A value of the list with where its text lies: the text of a leaf, or a
// dictionary's entries by key.
struct TValue {
    std::string Tag;
    size_t Start = 0, End = 0;
    std::map<std::string, TValue> Entries;
};

// The XML form, as the signing tools write it: no mixed content, no
// attributes but the plist's version. Anything else is not read.
class TXmlList {
public:
    explicit TXmlList(const std::string& text) : FText(text) {}

    bool Read(TValue& top) {
        SkipMisc();
        std::string tag;
        if (!Open(tag) || tag != "plist") return false;
        SkipSpace();
        return Value(top, 0) && Close("plist");
    }

private:
    static constexpr int MaxDepth = 32;

    void SkipSpace() {
        while (FAt < FText.size() && std::string(" \t\r\n").find(FText[FAt]) != std::string::npos) ++FAt;
    }
    // The declaration, the document type and comments.
    void SkipMisc() {
        for (SkipSpace(); FAt < FText.size(); SkipSpace()) {
            const char* end = FText.compare(FAt, 2, "<?") == 0     ? "?>"
                              : FText.compare(FAt, 4, "<!--") == 0 ? "-->"
                              : FText.compare(FAt, 2, "<!") == 0   ? ">"
                                                                   : nullptr;
            if (!end) return;
            const size_t close = FText.find(end, FAt);
            FAt = close == std::string::npos ? FText.size() : close + std::char_traits<char>::length(end);
        }
    }
    // "<name ...>", or "<name/>" where empty is given: it then says which.
    bool Open(std::string& name, bool* empty = nullptr) {
        if (FAt >= FText.size() || FText[FAt] != '<' || FText.compare(FAt, 2, "</") == 0) return false;
        const size_t close = FText.find('>', FAt);
        if (close == std::string::npos) return false;
        std::string inside = FText.substr(FAt + 1, close - FAt - 1);
        const bool selfClosing = !inside.empty() && inside.back() == '/';
        if (selfClosing && !empty) return false;
        if (selfClosing) inside.pop_back();
        name = inside.substr(0, inside.find_first_of(" \t\r\n"));
        if (empty) *empty = selfClosing;
        FAt = close + 1;
        return !name.empty();
    }
    bool Close(const std::string& name) {
        SkipMisc();
        const std::string tag = "</" + name + ">";
        if (FText.compare(FAt, tag.size(), tag) != 0) return false;
        FAt += tag.size();
        SkipMisc();
        return true;
    }
    bool Value(TValue& value, int depth) {
        bool empty = false;
        if (depth > MaxDepth || !Open(value.Tag, &empty)) return false;
        value.Start = value.End = FAt;
        if (empty) return true;
        if (value.Tag == "dict") return Dictionary(value, depth);
        if (value.Tag == "array") {
            for (SkipMisc(); FText.compare(FAt, 2, "</") != 0; SkipMisc()) {
                TValue item;
                if (!Value(item, depth + 1)) return false;
            }
            return Close("array");
        }
        const size_t end = FText.find('<', FAt);
        if (end == std::string::npos) return false;
        value.End = FAt = end;
        return Close(value.Tag);
    }
    bool Dictionary(TValue& dict, int depth) {
        for (SkipMisc(); FText.compare(FAt, 2, "</") != 0; SkipMisc()) {
            TValue key, item;
            if (!Value(key, depth + 1) || key.Tag != "key") return false;
            SkipMisc();
            if (!Value(item, depth + 1)) return false;
            dict.Entries[XmlText(FText.substr(key.Start, key.End - key.Start))] = std::move(item);
        }
        return Close("dict");
    }

    const std::string& FText;
    size_t FAt = 0;
};

const TValue* Entry(const TValue& dict, const std::string& key, const char* tag) {
    auto found = dict.Entries.find(key);
    return found != dict.Entries.end() && found->second.Tag == tag ? &found->second : nullptr;
}

bool ReadTop(const std::string& seal, TValue& top) {
    return TXmlList(seal).Read(top) && top.Tag == "dict" && Entry(top, "files2", "dict");
}

std::string Base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (left > 1) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (left > 2) group |= uint8_t(bytes[i + 2]);
        text += digits[(group >> 18) & 63];
        text += digits[(group >> 12) & 63];
        text += left > 1 ? digits[(group >> 6) & 63] : '=';
        text += left > 2 ? digits[group & 63] : '=';
    }
    return text;
}

// A data value's text, and what replaces it: the surrounding white space
// stays as the seal's maker laid it out.
struct TReplacement {
    size_t Start, End;
    std::string Text;
};

bool Replace(const std::string& seal, const TValue* data, const std::string& digest,
             std::vector<TReplacement>& replacements) {
    if (!data) return false;
    size_t start = data->Start, end = data->End;
    while (start < end && std::string(" \t\r\n").find(seal[start]) != std::string::npos) ++start;
    while (end > start && std::string(" \t\r\n").find(seal[end - 1]) != std::string::npos) --end;
    replacements.push_back({start, end, Base64(digest)});
    return true;
}

}  // namespace

TSealKinds ReadSeal(const std::string& seal) {
    TSealKinds kinds;
    TValue top;
    if (!ReadTop(seal, top)) return kinds;
    kinds.Readable = true;
    // "files" is the older systems' list, SHA-1 whatever the signature's
    // hashes: only "files2" says which ones the seal was made for.
    for (const auto& [path, value] : Entry(top, "files2", "dict")->Entries) {
        kinds.Sha1 |= value.Tag == "dict" && Entry(value, "hash", "data");
        kinds.Sha256 |= value.Tag == "dict" && Entry(value, "hash2", "data");
    }
    return kinds;
}

bool ResealFile(std::string& seal, const std::string& path, const std::string& sha1, const std::string& sha256) {
    TValue top;
    if (!ReadTop(seal, top)) return false;
    std::vector<TReplacement> replacements;
    if (const TValue* files = Entry(top, "files", "dict")) {
        auto found = files->Entries.find(path);
        if (found == files->Entries.end()) return false;
        const TValue& value = found->second;
        if (!Replace(seal,
                     value.Tag == "data"   ? &value
                     : value.Tag == "dict" ? Entry(value, "hash", "data")
                                           : nullptr,
                     sha1, replacements))
            return false;
    }
    const TValue* entry = Entry(*Entry(top, "files2", "dict"), path, "dict");
    if (!entry) return false;
    const TValue *hash = Entry(*entry, "hash", "data"), *hash2 = Entry(*entry, "hash2", "data");
    if (!hash && !hash2) return false;
    if (hash) Replace(seal, hash, sha1, replacements);
    if (hash2) Replace(seal, hash2, sha256, replacements);
    // From the back, so that the places in front stay where they were read.
    std::sort(replacements.begin(), replacements.end(),
              [](const TReplacement& a, const TReplacement& b) { return a.Start > b.Start; });
    for (const TReplacement& r : replacements) seal.replace(r.Start, r.End - r.Start, r.Text);
    return true;
}
