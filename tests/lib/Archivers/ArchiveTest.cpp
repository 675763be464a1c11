#include <gtest/gtest.h>
#include "Archivers/Archive.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"

namespace {

using Paths = std::vector<WideString>;

TEST(ArchiveTree, AddingAPathCreatesItsFoldersOnceAndTheFileEveryTime) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* first = archive->FindOrCreate(u"a\\b\\c.txt", FindMode::Add);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Name, u"c.txt");
    EXPECT_EQ(first->Path(), u"a\\b\\c.txt");
    EXPECT_FALSE(first->IsFolder());
    TArchItem* second = archive->FindOrCreate(u"a\\b\\c.txt", FindMode::Add);
    EXPECT_NE(second, first);
    EXPECT_EQ(archive->Paths(), (Paths{u"a\\", u"a\\b\\", u"a\\b\\c.txt", u"a\\b\\c.txt"}));

    TArchItem* a = archive->FindFolder(u"a", true);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Attributes(), TArchAttributes{TArchAttribute::Folder});
    EXPECT_EQ(a->GetParent(), archive.Get());
    EXPECT_EQ(first->GetParent()->Path(), u"a\\b");
    EXPECT_EQ(archive->FolderCount(), 1);
    EXPECT_EQ(a->FolderCount(), 1);
    EXPECT_EQ(a->Folder(0)->Count(), 2);
}

TEST(ArchiveTree, ItemTimesKeepEveryField) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* item = archive->FindOrCreate(u"a.txt", FindMode::Add);
    for (TSystemTime time : {TSystemTime{2107, 12, 6, 31, 23, 59, 59, 999}, TSystemTime{1601, 1, 0, 1, 0, 0, 0, 0}}) {
        item->ModifiedTime = time;
        EXPECT_EQ(TSystemTime(item->ModifiedTime), time);
    }
}

TEST(ArchiveTree, LookupsFindWhatExistsIgnoringCaseUnlessTold) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* file = archive->FindOrCreate(u"Docs\\Read Me.txt", FindMode::Add);
    EXPECT_EQ(archive->FindOrCreate(u"docs\\READ ME.TXT", FindMode::Find), file);
    // A different folder first, so the cached one is not used.
    archive->FindOrCreate(u"x\\y.txt", FindMode::Add);
    EXPECT_EQ(archive->FindOrCreate(u"DOCS\\read me.txt", FindMode::Find), file);
    EXPECT_EQ(archive->FindOrCreate(u"docs\\missing.txt", FindMode::Find), nullptr);
    EXPECT_EQ(archive->FindOrCreate(u"nowhere\\read me.txt", FindMode::Find), nullptr);
    EXPECT_EQ(archive->Paths().size(), 4u);

    archive->IgnoreCase = false;
    EXPECT_EQ(archive->FindOrCreate(u"docs\\Read Me.txt", FindMode::Find), nullptr);
    EXPECT_EQ(archive->FindOrCreate(u"Docs\\Read Me.txt", FindMode::Find), file);
    // The folder mode finds an existing folder in any case.
    archive->IgnoreCase = true;
    EXPECT_EQ(archive->FindOrCreate(u"DOCS", FindMode::Folder), file->GetParent());
    // A file of that name is not a folder: the folder is made beside it.
    TArchItem* folder = archive->FindOrCreate(u"docs\\read me.txt", FindMode::Folder);
    EXPECT_NE(folder, file);
    EXPECT_TRUE(folder->IsFolder());
}

// Fails after its base part is built.
class TRefusedItem : public TArchItem {
public:
    TRefusedItem(TArchItem* parent) : TArchItem(u"refused", parent) { throw EArchiveAbort(); }
};

TEST(ArchiveTree, AnItemThatFailsToConstructIsNotLeftInItsFolder) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"kept.txt", FindMode::Add);
    EXPECT_THROW(MakeRef<TRefusedItem>(archive.Get()), EArchiveAbort);
    EXPECT_EQ(archive->Paths(), (Paths{u"kept.txt"}));
}

TEST(ArchiveTree, NewItemsTakeTheirFoldersPathsAsStored) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"Folder\\one.txt", FindMode::Add);
    TArchItem* two = archive->FindOrCreate(u"FOLDER\\sub\\two.txt", FindMode::Add);
    EXPECT_EQ(two->Path(), u"Folder\\sub\\two.txt");
}

TEST(ArchiveTree, AddUniqueRefusesExistingNamesAndFoldersBeingDeleted) {
    auto archive = MakeRef<TTestArchive>();
    ASSERT_NE(archive->FindOrCreate(u"a\\b.txt", FindMode::AddUnique), nullptr);
    try {
        archive->FindOrCreate(u"a\\B.TXT", FindMode::AddUnique);
        FAIL() << "no exception";
    } catch (const TCommonException& e) {
        EXPECT_STREQ(e.what(), "\"a\\B.TXT\" is already exsits, delete it first");
    }

    archive->FindOrCreate(u"a\\sub\\c.txt", FindMode::Add);
    archive->FindFolder(u"a", true)->MarkDelete();
    archive->FindOrCreate(u"elsewhere.txt", FindMode::Add);  // away from the cached folder
    try {
        archive->FindOrCreate(u"a\\sub\\d.txt", FindMode::AddUnique);
        FAIL() << "no exception";
    } catch (const TCommonException& e) {
        EXPECT_STREQ(e.what(), "cannot add the item to \"a\" folder  being deleted");
    }
    // The plain modes do not care.
    EXPECT_NE(archive->FindOrCreate(u"a\\sub\\d.txt", FindMode::Add), nullptr);
}

TEST(ArchiveTree, AddUniqueSeesTheDeletionMarkOfTheCachedFolder) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"a\\b.txt", FindMode::Add);
    archive->FindFolder(u"a", true)->MarkDelete();
    // The folder part equals the cached folder's path, so the walk that
    // would meet the mark is skipped.
    EXPECT_THROW(archive->FindOrCreate(u"a\\c.txt", FindMode::AddUnique), TCommonException);
}

TEST(ArchiveTree, PathsWithEmptyComponentsCannotBePlaced) {
    auto archive = MakeRef<TTestArchive>();
    for (WideString path : {u"", u"\\root.txt", u"a\\\\b.txt", u"a\\", u"\\"}) {
        EXPECT_EQ(archive->FindOrCreate(path, FindMode::Add), nullptr) << Narrow(path);
        EXPECT_EQ(archive->FindOrCreate(path, FindMode::Folder), nullptr) << Narrow(path);
    }
    EXPECT_EQ(archive->AddFile(u"", 5), nullptr);
    // Nothing was made on the way.
    EXPECT_TRUE(archive->Paths().empty());
}

TEST(ArchiveTree, AddFileMarksTheNewItemForAdding) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* item = archive->AddFile(u"d\\f.bin", 1234);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->Attributes().Contains(TArchAttribute::Added));
    EXPECT_FALSE(item->IsFolder());
    EXPECT_EQ(item->State, TArchStates{TArchState::Add});
    EXPECT_EQ(item->SourceSize, 1234);
}

TEST(ArchiveMarks, ExtractAndDeleteSpreadDownAddingStaysWithTheItem) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* deep = archive->FindOrCreate(u"a\\b\\c.txt", FindMode::Add);
    TArchItem* a = archive->FindFolder(u"a", true);
    TArchItem* b = a->FindFolder(u"b", true);

    a->MarkExtract();
    EXPECT_TRUE(deep->State.Contains(TArchState::Extract));
    b->ClearMark(TArchState::Extract);
    EXPECT_TRUE(a->State.Contains(TArchState::Extract));
    EXPECT_FALSE(deep->State.Contains(TArchState::Extract));

    b->SetSourceSize(10);
    deep->SetSourceSize(20);
    EXPECT_FALSE(a->State.Contains(TArchState::Add));
    a->ClearMark(TArchState::Add);
    EXPECT_TRUE(deep->State.Contains(TArchState::Add));

    a->MarkDelete();
    EXPECT_EQ(deep->State, (TArchStates{TArchState::Delete}));
    EXPECT_TRUE(a->State.Contains(TArchState::Extract));
    deep->SetSourceSize(30);
    EXPECT_EQ(deep->State, TArchStates{TArchState::Add});
    a->ClearMark(TArchState::Delete);
    EXPECT_FALSE(b->State.Contains(TArchState::Delete));
}

TEST(ArchiveMarks, PurgeFreesMarkedItemsAtEveryDepth) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"keep\\x.txt", FindMode::Add);
    archive->FindOrCreate(u"keep\\drop.txt", FindMode::Add)->MarkDelete();
    archive->FindOrCreate(u"gone\\sub\\y.txt", FindMode::Add);
    archive->FindOrCreate(u"top.txt", FindMode::Add);
    archive->FindFolder(u"gone", true)->MarkDelete();

    archive->PurgeDeleted();
    EXPECT_EQ(archive->Paths(), (Paths{u"keep\\", u"keep\\x.txt", u"top.txt"}));
    EXPECT_EQ(archive->FolderCount(), 1);
    EXPECT_EQ(archive->Folder(0)->Name, u"keep");
}

TEST(ArchiveMarks, RemoveDeletedChildrenTakesOnlyDirectChildren) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* inner = archive->FindOrCreate(u"f\\inner.txt", FindMode::Add);
    archive->FindOrCreate(u"g\\k.txt", FindMode::Add);
    inner->MarkDelete();
    archive->FindFolder(u"g", true)->MarkDelete();
    archive->RemoveDeletedChildren();
    EXPECT_EQ(archive->Paths(), (Paths{u"f\\", u"f\\inner.txt"}));
    EXPECT_EQ(archive->FolderCount(), 1);
}

TEST(ArchiveMarks, LookupsAfterAPurgeDoNotUseAFreedFolder) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"a\\b\\c.txt", FindMode::Add);  // caches a\b
    archive->FindFolder(u"a", true)->MarkDelete();
    archive->PurgeDeleted();
    EXPECT_EQ(archive->FindOrCreate(u"a\\b\\c.txt", FindMode::Find), nullptr);
    TArchItem* again = archive->FindOrCreate(u"a\\b\\d.txt", FindMode::Add);
    EXPECT_EQ(again->GetParent()->GetParent()->GetParent(), archive.Get());
    EXPECT_EQ(archive->Paths(), (Paths{u"a\\", u"a\\b\\", u"a\\b\\d.txt"}));
}

TEST(ArchiveRoot, ClearLeavesAnEmptyFolderThatIgnoresCase) {
    auto archive = MakeRef<TTestArchive>();
    archive->FindOrCreate(u"a\\b.txt", FindMode::Add);
    archive->IgnoreCase = false;
    archive->Clear();
    EXPECT_EQ(archive->Count(), 0);
    EXPECT_EQ(archive->FolderCount(), 0);
    EXPECT_TRUE(archive->IgnoreCase);
    EXPECT_TRUE(archive->IsFolder());
    EXPECT_EQ(archive->LastFolder, archive.Get());
    EXPECT_TRUE(archive->LastFolderPath.empty());
    // The root stays a folder whatever it is told.
    archive->SetAttributes({});
    EXPECT_TRUE(archive->IsFolder());
    EXPECT_NE(archive->FindOrCreate(u"a\\b.txt", FindMode::Add), nullptr);
}

TEST(ArchiveRoot, OperationsNeedACallBack) {
    auto archive = MakeRef<TTestArchive>();
    for (auto operation :
         {+[](TArchive* a) { a->Open(); }, +[](TArchive* a) { a->Extract(); }, +[](TArchive* a) { a->Save(3); }}) {
        try {
            operation(archive.Get());
            FAIL() << "no exception";
        } catch (const EArchiveError& e) {
            EXPECT_STREQ(e.what(), "CallBack must be assigned to perform the operation");
        }
    }
    auto callBack = MakeRef<TDefaultCallBack>();
    archive->CallBack = callBack.Get();
    EXPECT_NO_THROW(archive->Open());
}

TEST(ArchiveProgress, EventsFireOnStartAndMovesButNotOnAFinishedFinish) {
    auto progress = MakeRef<TArchiveProgress>();
    std::vector<uint64_t> seen;
    progress->OnChange = [&](TArchiveProgress* p) { seen.push_back(p->Position); };
    progress->Start(100);
    progress->SetPosition(40);
    progress->Finish();
    EXPECT_EQ(progress->Position, 100u);
    progress->Finish();
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 40, 100}));
    progress->SetPosition(7);
    progress->Start(5);
    EXPECT_EQ(progress->Position, 0u);
    EXPECT_EQ(progress->Total, 5u);
}

TEST(ArchiveCallBack, UnhandledErrorsStagesAndQueriesAskToStop) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* item = archive->FindOrCreate(u"x.txt", FindMode::Add);
    auto callBack = MakeRef<TDefaultCallBack>();
    ASSERT_NE(callBack->FileProgress, nullptr);
    ASSERT_NE(callBack->TotalProgress, nullptr);
    using Call = void (*)(TDefaultCallBack*, TArchItem*);
    for (Call call :
         {+[](TDefaultCallBack*c, TArchItem*i) { c->Error(i, "e"); },
          +[](TDefaultCallBack*c, TArchItem*i) { c->HeaderError(i, "h"); },
          +[](TDefaultCallBack*c, TArchItem*) { c->Stage(1); }, +[](TDefaultCallBack*c, TArchItem*) { c->Query(1); },
          +[](TDefaultCallBack*c, TArchItem*) { c->Query2(1); }}) {
        callBack->SetAborted(false);
        call(callBack.Get(), item);
        EXPECT_TRUE(callBack->Aborted);
    }
    // Notices, texts and data hand-overs have no default.
    callBack->SetAborted(false);
    callBack->Notice(item, 1);
    callBack->Notice2(item, 2);
    EXPECT_EQ(callBack->AskText(item), u"");
    EXPECT_EQ(callBack->AskText2(item), u"");
    callBack->PackItem(item, nullptr);
    callBack->ExtractItem(item, nullptr);
    EXPECT_FALSE(callBack->Aborted);
    EXPECT_EQ(callBack->CurrentItem, item);
    callBack->Stage(2);
    EXPECT_EQ(callBack->CurrentItem, nullptr);
}

TEST(ArchiveCallBack, EventsGetTheCallsWithTheItemSetAsCurrent) {
    auto archive = MakeRef<TTestArchive>();
    TArchItem* item = archive->FindOrCreate(u"x.txt", FindMode::Add);
    auto callBack = MakeRef<TDefaultCallBack>();
    std::vector<std::string> calls;
    auto log = [&](const std::string& what) { calls.push_back(what + (callBack->CurrentItem == item ? "@x" : "")); };
    callBack->OnError = [&](TArchiveCallBack*, const AnsiString& m) { log("error " + m); };
    callBack->OnHeaderError = [&](TArchiveCallBack*, const AnsiString& m) { log("header " + m); };
    callBack->OnNotice = [&](TArchiveCallBack*, int32_t v) { log("notice " + std::to_string(v)); };
    callBack->OnNotice2 = [&](TArchiveCallBack*, int32_t v) { log("notice2 " + std::to_string(v)); };
    callBack->OnAskText = [&](TArchiveCallBack*) -> WideString {
        log("ask");
        return u"one";
    };
    callBack->OnAskText2 = [&](TArchiveCallBack*) -> WideString {
        log("ask2");
        return u"two";
    };
    callBack->OnStage = [&](TArchiveCallBack*, int32_t v) { log("stage " + std::to_string(v)); };
    callBack->OnQuery = [&](TArchiveCallBack*, int32_t v) { log("query " + std::to_string(v)); };
    callBack->OnQuery2 = [&](TArchiveCallBack*, int32_t v) { log("query2 " + std::to_string(v)); };
    auto stream = MakeRef<TMemoryStream>();
    callBack->OnPackItem = [&](TArchiveCallBack*, TStream* s) { log(s == stream.Get() ? "pack" : "pack?"); };
    callBack->OnExtractItem = [&](TArchiveCallBack*, TStream* s) { log(s == stream.Get() ? "extract" : "extract?"); };

    callBack->Error(item, "bad");
    callBack->HeaderError(item, "worse");
    callBack->Notice(item, 3);
    callBack->Notice2(item, 4);
    EXPECT_EQ(callBack->AskText(item), u"one");
    EXPECT_EQ(callBack->AskText2(item), u"two");
    callBack->PackItem(item, stream.Get());
    callBack->ExtractItem(item, stream.Get());
    callBack->Stage(5);
    callBack->Query(6);
    callBack->Query2(7);
    EXPECT_FALSE(callBack->Aborted);
    EXPECT_EQ(calls, (std::vector<std::string>{"error bad@x", "header worse@x", "notice 3@x", "notice2 4@x", "ask@x",
                                               "ask2@x", "pack@x", "extract@x", "stage 5", "query 6", "query2 7"}));
}

}  // namespace
