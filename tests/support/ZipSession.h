// A ZIP archive over a stream with a callback that packs from and extracts
// into strings, and an independent reading of what an archive wrote.
#pragma once
#include <map>
#include <string>
#include <vector>
#include "Archivers/Zip/ZipArchive.h"

class TZipSession {
public:
    // stream borrowed.
    explicit TZipSession(TStream* stream);

    TRef<TDefaultCallBack> CallBack = MakeRef<TDefaultCallBack>();
    TRef<TZipArchive> Archive = MakeRef<TZipArchive>();
    // Source data of items to add, and data extracted, by item path.
    std::map<WideString, std::string> Sources;
    std::map<WideString, std::string> Extracted;
    // "<path>: <message>" of every Error and HeaderError, once events are on.
    std::vector<std::string> Errors;

    TArchItem* Add(const WideString& path, const std::string& data);
    // The item of that path, or none.
    TArchItem* Find(const WideString& path);
    // Marks everything, extracts, and returns the data by path.
    std::map<WideString, std::string> ExtractAll();
    // Errors go to Errors instead of stopping the extraction.
    void CollectErrors();
};

// A written archive as its bytes say, read without the library.
struct TParsedEntry {
    std::string Name;
    uint16_t Method = 0;
    uint16_t Flags = 0;
    uint32_t Crc = 0;
    uint32_t PackedSize = 0;
    uint32_t Size = 0;
    uint32_t LocalOffset = 0;
    uint8_t Host = 0;
    uint32_t External = 0;
};

struct TParsedZip {
    std::vector<TParsedEntry> Entries;
    uint32_t DirectoryOffset = 0;
    uint32_t DirectorySize = 0;
    // Bytes from each local header to the end of its data.
    std::vector<uint32_t> BlockLengths;
};

// Reports test failures for anything out of place: signatures, local
// headers that disagree with the directory, a directory not right after
// the data, bytes after the end record.
TParsedZip ParseZip(const std::vector<uint8_t>& bytes);
