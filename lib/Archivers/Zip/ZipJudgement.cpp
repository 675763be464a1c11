#include "Archivers/Zip/ZipJudgement.h"
#include <string>
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipArchiveParts.h"
#include "Archivers/Zip/ZipEntryChecks.h"

using namespace ZipArchiveParts;

namespace {

// Whether the end record at offset leads to a directory whose records fill
// it exactly, as many as it counts: a reading of its own.
bool LeadsToDirectory(TStream* stream, int64_t offset) {
    uint8_t bytes[ZipRecord::CentralHeaderSize];
    auto readAt = [stream, &bytes](int64_t at, int32_t count) {
        stream->SetPosition(at);
        return stream->Read(bytes, count) == count;
    };
    TZipEndRecord end;
    if (!readAt(offset, ZipRecord::EndRecordSize) || !DecodeRecord(bytes, end)) return false;
    // ZIP64 values: its place fitting the file is as far as it is judged.
    if (end.Count == 0xFFFF || end.DirectoryOffset == ZipRecord::Zip64Marker) return true;
    const int64_t first = offset - int64_t(end.DirectorySize);
    int64_t at = first;
    uint32_t count = 0;
    for (TZipCentralHeader header; at < offset; ++count) {
        if (!readAt(at, ZipRecord::CentralHeaderSize) || !DecodeRecord(bytes, header)) return false;
        at += ZipRecord::CentralHeaderSize + header.NameLength + header.ExtraLength + header.CommentLength;
    }
    return at == offset && uint16_t(count) == end.Count;
}

}  // namespace

AnsiString TZipFinding::Text() const {
    return (Entry ? "The entry " + QuotedName(Entry) : AnsiString("The archive")) + " is damaged: " + Cause;
}

TZipJudgement::TZipJudgement(TZipArchive* archive, TFileRecords files) {
    JudgeEnd(archive);
    TZipStructure* structure = archive->Structure();
    for (int32_t i = 0; i < structure->Count(); ++i) JudgeEntry(archive, structure->Entry(i), files);
}

void TZipJudgement::JudgeEnd(TZipArchive* archive) {
    const TZipStructure::TEndFacts& end = archive->Structure()->EndFacts;
    if (end.CommentCut) Damage.push_back({nullptr, "its comment runs past the end of the file"});
    if (end.Zip64Lost) Damage.push_back({nullptr, "no ZIP64 end record stands where its ZIP64 locator points"});
    if (end.OtherAt >= 0 && LeadsToDirectory(archive->GetStream(), end.OtherAt))
        OtherReading =
            "it ends in two end records that both fit the file, each with a central directory of its "
            "own, and other programs may read the other one";
}

void TZipJudgement::JudgeEntry(TZipArchive* archive, TZipItem* entry, TFileRecords files) {
    TArchItem* item = entry->Item;
    // Named by separators only: refused by its name.
    if (!item || item == archive) return;
    AnsiString cause;
    if (item->IsFolder() && item->Size > 0)
        cause = "it is a folder but records " + std::to_string(item->Size) + " bytes of data";
    else if (!ZipStructureParts::ExtraBlocksFit(TConstByteSpan(
                 reinterpret_cast<const uint8_t*>(entry->CentralExtra.data()), entry->CentralExtra.size())))
        cause = "a block of its extra field in the directory runs past the field";
    else if (files == TFileRecords::Judged || !EntryCheckReads(archive, entry))
        cause = LocalRecordsDamage(archive, entry);
    if (!cause.empty()) Damage.push_back({entry, cause});
}

AnsiString LocalRecordsDamage(TZipArchive* archive, TZipItem* entry) {
    try {
        archive->CheckRecords(entry);
        return {};
    } catch (const EArchiveDamaged& e) {
        // Extraction says it the same way: "The entry ... is damaged: <cause>".
        const AnsiString text = e.what(), said = TZipFinding{entry, ""}.Text();
        return text.compare(0, said.size(), said) == 0 ? text.substr(said.size()) : text;
    } catch (const EArchiveBroken&) {
        return "its local header is cut short";
    }
}

void CheckLocalRecords(TZipArchive* archive, TZipItem* entry) {
    if (const AnsiString damage = LocalRecordsDamage(archive, entry); !damage.empty())
        throw EArchiveDamaged(TZipFinding{entry, damage}.Text());
}

void CheckFileRecords(TZipArchive* archive) {
    const TZipStructure* structure = archive->Structure();
    for (int32_t i = 0; i < structure->Count(); ++i)
        if (EntryCheckReads(archive, structure->Entry(i))) CheckLocalRecords(archive, structure->Entry(i));
}

const TZipFinding* TZipJudgement::DamageOf(const TZipItem* entry) const {
    for (const TZipFinding& finding : Damage)
        if (finding.Entry == entry) return &finding;
    return nullptr;
}

AnsiString TZipJudgement::OtherReadingText() const {
    return OtherReading.empty() ? AnsiString() : "The archive can be read in two ways: " + OtherReading;
}

void TZipJudgement::RefuseDamage(const WideString& archiveName) const {
    if (Damage.empty()) return;
    const TZipFinding& first = Damage.front();
    if (first.Entry) throw EArchiveDamaged(first.Text());
    throw EArchiveBroken(TPathText{"The archive \"", archiveName, "\" is damaged: " + first.Cause});
}

void CheckArchiveSound(TZipArchive* archive, const WideString& zipPath, TFileRecords files) {
    CheckDirectorySound(archive, zipPath);
    TZipJudgement judgement(archive, files);
    judgement.RefuseDamage(zipPath);
    if (!judgement.OtherReading.empty())
        throw EArchiveBroken(
            TPathText{"The archive \"", zipPath, "\" can be read in two ways: " + judgement.OtherReading});
}
