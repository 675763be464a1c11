#include <gtest/gtest.h>
#include <vector>
#include "FixDispatch.h"
#include "FixProcedure.h"
#include "Foundation/CodePages.h"
#include "Foundation/Exceptions.h"
#include "support/Files.h"
#include "support/Shows.h"

namespace {

// Given paths: each in its mode (a .ZIP name is an archive too), each end
// told once and counted, a failure keeping none of the rest from their
// turn; a stop ends the batch.
TEST_F(FixProcedure, GivenPathsAreFixedInTheirModeToldAndCounted) {
    MakeBundle(Bundle);
    const WideString fixed = MakeBundle(Scratch / u"Fixed.app");
    WriteBytes(ViewerPath(fixed), Payload());
    const WideString notes = Scratch / u"notes.txt", damaged = Scratch / u"Damaged.ZIP";
    WriteBytes(notes, "not a show");
    WriteBytes(damaged, "PK not an archive");
    const WideString missing = Scratch / u"Gone.app";
    struct TTold : TFixListener {
        std::vector<WideString> Lines;
        void Progress(TFixStage, uint64_t, uint64_t) override {}
        void Ended(const TPathEnd& end) override {
            // Appended: a literal plus a string trips a false -Wrestrict of mingw.
            WideString line = end.Path;
            if (end.Result) line.append(u" ").append(Utf8ToWide(OutcomeText(end.Result->Outcome)));
            if (end.Failure) line.append(u" failed");
            Lines.push_back(line);
        }
    } listener;
    const TFixTally tally = FixPaths({Bundle, fixed, notes, missing, damaged}, FixPicked, listener);
    const std::vector<WideString>& told = listener.Lines;
    EXPECT_EQ(told, (std::vector<WideString>{Bundle + u" Done!", fixed + u" Already fixed",
                                             notes + u" " + Utf8ToWide(OutcomeText(TOutcome::Refused)), missing,
                                             damaged + u" failed"}));
    EXPECT_EQ((std::vector<int>{tally.Fixed, tally.AlreadyFixed, tally.Refused, tally.Missing, tally.Failed}),
              (std::vector<int>{1, 1, 1, 1, 1}));
    EXPECT_EQ(ReadBytes(ViewerPath(Bundle)), Payload());
    EXPECT_THROW(FixPicked(missing), EFileOpenError);
    int tried = 0;
    EXPECT_THROW(FixPaths(
                     {notes, notes},
                     [&](const WideString&, const TFixProgress&) -> TFixResult {
                         ++tried;
                         throw EAbort("The fix was stopped");
                     },
                     listener),
                 EAbort);
    EXPECT_EQ(tried, 1);
}

}  // namespace
