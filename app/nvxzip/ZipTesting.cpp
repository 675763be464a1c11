#include "ZipTesting.h"
#include <vector>
#include "Archivers/Zip/ZipArchive.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/TextUtils.h"
#include "ZipListing.h"

namespace {
// Reads the entry's data as far as its size and drops it; the archive
// checks what is left.
void Discard(TStream* source) { MakeRef<TNullStream>()->CopyFrom(source, source->GetSize()); }

// Every file entry is extracted in one pass; what one entry raises stops
// only that entry, and each entry is reported as soon as it is done.
class TTestedArchive : public TZipArchive {
public:
    TZipTestReport Report;
    TLineWriter WriteLine;
    std::vector<AnsiString> Problems;  // of the entry being tested

protected:
    void ExtractMarkedEntry(TZipItem* entry) override {
        Problems.clear();
        AnsiString untested;
        try {
            TZipArchive::ExtractMarkedEntry(entry);
        } catch (const EArchiveAbort&) {
            throw;
        } catch (const EArchivePassword& e) {
            untested = e.what();
        } catch (const std::exception& e) {
            Problems.push_back(ExceptionMessage(e));
        }
        entry->Item->ClearMark(TArchState::Extract);
        ReportEntry(entry, untested);
    }

private:
    void ReportEntry(TZipItem* entry, const AnsiString& untested) {
        WideString name = Printable(entry->Name());
        if (!untested.empty() && Problems.empty()) {
            ++Report.Encrypted;
            WriteLine(u"ENCR " + name + u": " + AnsiToWide(untested) + u", not tested");
            return;
        }
        ++Report.Tested;
        if (Problems.empty()) {
            WriteLine(u"OK   " + name);
            return;
        }
        ++Report.Bad;
        WideString text;
        for (const AnsiString& problem : Problems) text += (text.empty() ? u"" : u"; ") + AnsiToWide(problem);
        WriteLine(u"BAD  " + name + u": " + text);
    }
};

void WriteSummary(const TZipTestReport& report, const TLineWriter& writeLine) {
    if (report.Recovered)
        writeLine(
            u"The central directory is missing or damaged; entries were found by scanning, and what "
            u"follows a cut or lies outside the entries found is not checked");
    if (report.Encrypted > 0)
        writeLine(IntToStr(report.Encrypted) + u" encrypted entries were not tested: no password was given");
    if (report.Bad == 0) writeLine(u"No errors in " + IntToStr(report.Tested) + u" entries");
    else writeLine(IntToStr(report.Bad) + u" of " + IntToStr(report.Tested) + u" entries are bad");
}
}  // namespace

TZipTestReport TestZipArchive(TStream* stream, const TLineWriter& output) {
    auto archive = MakeRef<TTestedArchive>();
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->CallBack = callBack.Get();
    archive->SetStream(stream);
    archive->Open();

    TZipTestReport& report = archive->Report;
    TLineWriter writeLine = output ? output : [&report](const WideString& line) { report.Text += line + u'\n'; };
    archive->WriteLine = writeLine;
    report.Recovered = archive->DirectoryRecovered();
    auto note = [&](TArchiveCallBack*, const AnsiString& message) { archive->Problems.push_back(message); };
    callBack->OnError = note;
    callBack->OnHeaderError = note;
    callBack->OnExtractItem = [](TArchiveCallBack*, TStream* source) { Discard(source); };
    archive->MarkExtract();
    archive->Extract();
    WriteSummary(report, writeLine);
    return report;
}
