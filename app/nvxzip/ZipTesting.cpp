#include "ZipTesting.h"
#include <vector>
#include "Archivers/Zip/ZipArchive.h"
#include "Archivers/Zip/ZipEntryChecks.h"
#include "Archivers/Zip/ZipJudgement.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/TextUtils.h"
#include "ZipListing.h"

namespace {
// Every entry with data is extracted in one pass; what one entry raises
// stops only that entry, and each entry is reported as soon as it is done.
class TTestedArchive : public TZipArchive {
public:
    TZipTestReport Report;
    TLineWriter WriteLine;
    std::vector<AnsiString> Problems;  // of the entry being tested

    // A name made only of separators (or none) has no place in the tree;
    // its entry gets an item of its own, so that its data is tested too.
    TArchItem* CreateItem(const WideString& path, bool isFolder) override {
        if (!path.empty()) return TZipArchive::CreateItem(path, isFolder);
        FNameless.push_back(MakeRef<TArchItem>(WideString(), nullptr));
        return FNameless.back().Get();
    }

    const TZipJudgement* Judgement = nullptr;

    // File entries, and any other entry the judgement finds damaged.
    std::vector<TZipItem*> EntriesToTest() {
        std::vector<TZipItem*> entries;
        for (int32_t i = 0; i < Structure()->Count(); ++i) {
            TZipItem* entry = Structure()->Entry(i);
            TArchItem* item = entry->Item;
            if (item && (!item->IsFolder() || Judgement->DamageOf(entry))) entries.push_back(entry);
        }
        return entries;
    }

protected:
    void Dispose() override {
        TZipArchive::Dispose();
        FNameless.clear();
    }

    void ExtractMarkedEntry(TZipItem* entry) override {
        Problems.clear();
        AnsiString untested;
        try {
            // Its data is not read where its records are wrong.
            if (const TZipFinding* damage = Judgement->DamageOf(entry)) Problems.push_back(damage->Text());
            else TZipArchive::ExtractMarkedEntry(entry);
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
    std::vector<TRef<TArchItem>> FNameless;

    void ReportEntry(TZipItem* entry, const AnsiString& untested) {
        WideString name = Printable(entry->Name());
        if (!untested.empty() && Problems.empty()) {
            ++Report.Encrypted;
            WriteLine(u"ENCR " + name + u": " + Utf8ToWide(untested) + u", not tested");
            return;
        }
        ++Report.Tested;
        if (Problems.empty()) {
            WriteLine(u"OK   " + name);
            return;
        }
        ++Report.Bad;
        WideString text;
        for (const AnsiString& problem : Problems) text += (text.empty() ? u"" : u"; ") + Utf8ToWide(problem);
        WriteLine(u"BAD  " + name + u": " + text);
    }
};

void WriteSummary(const TZipTestReport& report, const TLineWriter& writeLine) {
    for (const AnsiString& text : report.ArchiveProblems) writeLine(Utf8ToWide(text));
    if (report.Recovered)
        writeLine(
            u"The central directory is missing or damaged; entries were found by scanning, and what "
            u"follows a cut or lies outside the entries found is not checked");
    if (report.Encrypted > 0)
        writeLine(IntToStr(report.Encrypted) + u" encrypted entries were not tested: no password was given");
    // "No errors" would contradict the archive's own problems above.
    if (report.Bad == 0 && !report.ArchiveProblems.empty())
        writeLine(u"None of " + IntToStr(report.Tested) + u" entries is bad, but the archive is not sound");
    else if (report.Bad == 0) writeLine(u"No errors in " + IntToStr(report.Tested) + u" entries");
    else writeLine(IntToStr(report.Bad) + u" of " + IntToStr(report.Tested) + u" entries are bad");
}
}  // namespace

TZipTestReport TestZipArchive(TStream* stream, const TLineWriter& output) {
    auto archive = MakeRef<TTestedArchive>();
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->CallBack = callBack.Get();
    archive->SetStream(stream);
    archive->Open();
    CheckHoldsArchive(archive->Structure(), stream, WideString());

    TZipTestReport& report = archive->Report;
    TLineWriter writeLine = output ? output : [&report](const WideString& line) { report.Text += line + u'\n'; };
    archive->WriteLine = writeLine;
    report.Recovered = archive->DirectoryRecovered();
    const TZipJudgement judgement(archive.Get());
    archive->Judgement = &judgement;
    for (const TZipFinding& damage : judgement.Damage)
        if (!damage.Entry) report.ArchiveProblems.push_back(damage.Text());
    if (!judgement.OtherReading.empty()) report.ArchiveProblems.push_back(judgement.OtherReadingText());
    auto note = [&](TArchiveCallBack*, const AnsiString& message) { archive->Problems.push_back(message); };
    callBack->OnError = note;
    callBack->OnHeaderError = note;
    // Read as extraction reads, so that what it refuses is BAD here.
    TRef<TNullStream> nowhere = MakeRef<TNullStream>();
    callBack->OnExtractItem = [&nowhere](TArchiveCallBack* sender, TStream* source) {
        CopyEntryData(sender->CurrentItem, source, nowhere.Get());
    };
    archive->ExtractEntries(archive->EntriesToTest());
    WriteSummary(report, writeLine);
    return report;
}
