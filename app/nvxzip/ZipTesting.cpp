#include "ZipTesting.h"
#include <vector>
#include "Archivers/Zip/ZipArchive.h"
#include "CodePages.h"
#include "ErrorReport.h"
#include "TextUtils.h"
#include "ZipListing.h"

namespace {
// Reads the entry's data as far as its size and drops it.
void Discard(TStream* source) {
    std::vector<uint8_t> buffer(65536);
    for (int64_t left = source->GetSize(); left > 0;) {
        int32_t n = source->Read(buffer.data(), int32_t(std::min<int64_t>(left, int64_t(buffer.size()))));
        if (n <= 0) break;
        left -= n;
    }
}
}  // namespace

TZipTestReport TestZipArchive(TStream* stream) {
    auto archive = MakeRef<TZipArchive>();
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->CallBack = callBack.Get();
    archive->SetStream(stream);
    archive->Open();

    std::vector<AnsiString> problems;
    auto note = [&](TArchiveCallBack*, const AnsiString& message) { problems.push_back(message); };
    callBack->OnError = note;
    callBack->OnHeaderError = note;
    callBack->OnExtractItem = [](TArchiveCallBack*, TStream* source) { Discard(source); };

    TZipTestReport report;
    TZipStructure* structure = archive->Structure;
    report.Recovered = structure->Offset < 0;
    for (int32_t i = 0; i < structure->Count(); ++i) {
        TZipItem* entry = structure->Entry(i);
        TArchItem* item = entry->Item;
        if (!item || item->IsFolder()) continue;
        // One entry at a time, so that an entry that stops the extraction
        // (an unknown method, data that does not unpack) stops only itself.
        problems.clear();
        item->MarkExtract();
        try {
            archive->Extract();
        } catch (const std::exception& e) {
            problems.push_back(ExceptionMessage(e));
            item->ClearMark(TArchState::Extract);
        }
        ++report.Tested;
        WideString name = Printable(entry->Name);
        if (problems.empty()) {
            report.Text += u"OK   " + name + u'\n';
            continue;
        }
        ++report.Bad;
        WideString text;
        for (const AnsiString& problem : problems) text += (text.empty() ? u"" : u"; ") + AnsiToWide(problem);
        report.Text += u"BAD  " + name + u": " + text + u'\n';
    }
    if (report.Recovered)
        report.Text += u"The central directory is missing or damaged; entries were found by scanning\n";
    if (report.Bad == 0)
        report.Text += u"No errors in " + IntToStr(report.Tested) + u" entries\n";
    else
        report.Text += IntToStr(report.Bad) + u" of " + IntToStr(report.Tested) + u" entries are bad\n";
    return report;
}
