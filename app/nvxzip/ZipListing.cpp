#include "ZipListing.h"
#include <cstdio>
#include <string>
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "Foundation/TextUtils.h"

namespace {

WideString Ascii(const std::string& text) { return WideString(text.begin(), text.end()); }

// Numbers without a name show as "#<number>".
// (Appended: a literal plus a string trips a false -Wrestrict of mingw.)
std::string Numbered(unsigned number) { return std::string("#").append(std::to_string(number)); }

std::string MethodName(uint16_t method) {
    if (method == ZipMethod::Stored) return "Stored";
    return method == ZipMethod::Deflated ? "Deflated" : Numbered(method);
}

// The host systems of the format's version-made-by byte.
std::string HostName(uint8_t host) {
    static const char* const names[] = {"FAT",  "Amiga", "VMS",  "Unix",   "VM/CMS", "Atari", "HPFS",
                                        "Mac",  "Z-Sys", "CP/M", "NTFS",   "MVS",    "VSE",   "Acorn",
                                        "VFAT", "MVS2",  "BeOS", "Tandem", "OS/400", "OSX"};
    return host < std::size(names) ? names[host] : Numbered(host);
}

WideString EntryLine(TZipItem* entry) {
    TArchItem* item = entry->Item;
    TSystemTime t = item->ModifiedTime;
    char text[160];
    std::snprintf(text, sizeof text, "%-8s %10llu %10llu %08X %04u-%02u-%02u %02u:%02u:%02u %-6s %08X %04X ",
                  MethodName(entry->Method).c_str(), (unsigned long long)item->PackedSize,
                  (unsigned long long)item->Size, unsigned(entry->Crc32), unsigned(t.Year), unsigned(t.Month),
                  unsigned(t.Day), unsigned(t.Hour), unsigned(t.Minute), unsigned(t.Second),
                  HostName(entry->HostSystem).c_str(), unsigned(entry->ExternalAttributes), unsigned(entry->Flags));
    WideString line = Ascii(text) + Printable(entry->Name());
    if (!item->Comment.empty()) line += u"\n  comment: " + Printable(item->Comment);
    return line;
}

WideString ListingHeader() {
    char text[120];
    std::snprintf(text, sizeof text, "%-8s %10s %10s %-8s %-19s %-6s %-8s %-4s %s", "Method", "Packed", "Size",
                  "CRC-32", "Modified", "Host", "Attrs", "Flag", "Name");
    return Ascii(text);
}

}  // namespace

TZipListing ListZipArchive(TStream* stream, const TLineWriter& output) {
    auto archive = MakeRef<TZipArchive>();
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->CallBack = callBack.Get();
    archive->SetStream(stream);
    archive->Open();
    CheckHoldsArchive(archive->Structure(), stream, WideString());

    TZipStructure* structure = archive->Structure();
    TZipListing listing;
    const TZipJudgement judgement(archive.Get());
    for (const TZipFinding& damage : judgement.Damage) listing.Judged.push_back(damage.Text());
    if (!judgement.OtherReading.empty()) listing.Judged.push_back(judgement.OtherReadingText());
    TLineWriter writeLine = output ? output : [&listing](const WideString& line) { listing.Text += line + u'\n'; };
    listing.Recovered = structure->Recovered();
    listing.Entries = structure->Count();
    writeLine(ListingHeader());
    for (int32_t i = 0; i < structure->Count(); ++i) writeLine(EntryLine(structure->Entry(i)));
    if (!structure->Comment.empty()) writeLine(u"Archive comment: " + Printable(structure->Comment));
    if (structure->BytesInFront > 0)
        writeLine(u"Other data in front of the archive: " + IntToStr(structure->BytesInFront) + u" bytes");
    return listing;
}
