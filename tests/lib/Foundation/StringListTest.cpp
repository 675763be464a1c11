#include <gtest/gtest.h>
#include <vector>
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
#include "support/CountedObject.h"
#include "support/MessageBoxes.h"

namespace {

using TCounted = TCountedObject;

class TCountedItem : public TStringItem {
public:
    static inline int Live = 0;
    TCountedItem() { ++Live; }
    ~TCountedItem() override { --Live; }
};

class TCountingList : public TStringList {
public:
    TStringItem* NewItem(int) override { return New<TCountedItem>(); }
};

class TVectorStrings : public IStrings {
public:
    std::vector<WideString> Texts;
    int GetCount() override { return (int)Texts.size(); }
    WideString GetString(int index) override { return Texts[index]; }
};

std::vector<WideString> Texts(TStringList* list) {
    std::vector<WideString> texts;
    for (int i = 0; i < list->GetCount(); ++i) texts.push_back(list->GetString(i));
    return texts;
}

using Strings = std::vector<WideString>;

class StringList : public testing::Test {
protected:
    void SetUp() override {
        TCounted::Disposed = 0;
        ShownBoxes().clear();
        List.Object = New<TStringList>();
    }
    void TearDown() override { Free(List.Object); }
    // The fixture's list, used like a holder.
    struct {
        TStringList* Object = nullptr;
        TStringList* Get() const { return Object; }
        TStringList* operator->() const { return Object; }
    } List;
};

TEST_F(StringList, UnsortedKeepsOrderAndFindsTheFirstMatch) {
    EXPECT_EQ(List->Add(u"b"), 0);
    EXPECT_EQ(List->Add(u"a"), 1);
    EXPECT_EQ(List->Add(u"b"), 2);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"b", u"a", u"b"}));
    EXPECT_EQ(List->IndexOf(u"b"), 0);
    EXPECT_EQ(List->IndexOf(u"B"), -1);
    EXPECT_EQ(List->IndexOf(u"c"), -1);
    List->SetIgnoreCase(true);
    EXPECT_EQ(List->IndexOf(u"B"), 0);
    EXPECT_EQ(List->IndexOf(u"A"), 1);
}

TEST_F(StringList, SortedInsertsInPlaceAndKeepsDuplicates) {
    List->SetSorted(true);
    EXPECT_EQ(List->Add(u"b"), 0);
    EXPECT_EQ(List->Add(u"a"), 0);
    int third = List->Add(u"b");
    EXPECT_TRUE(third == 1 || third == 2);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"a", u"b", u"b"}));
    int index = List->IndexOf(u"b");
    EXPECT_TRUE(index == 1 || index == 2) << index;
    EXPECT_EQ(List->IndexOf(u"c"), -1);
    int at = -1;
    EXPECT_FALSE(List->Find(u"ab", at));
    EXPECT_EQ(at, 1);
    EXPECT_FALSE(List->Find(u"c", at));
    EXPECT_EQ(at, 3);
}

TEST_F(StringList, CaseDecidesTheOrderUnlessIgnored) {
    for (const char16_t* text : {u"abc", u"ABD", u"ABC", u"abd"}) List->Add(text);
    List->SetSorted(true);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"ABC", u"ABD", u"abc", u"abd"}));
    EXPECT_FALSE(List->SameText(u"ABC", u"abc"));
    EXPECT_EQ(List->CompareText(u"ABC", u"abc"), -1);
    EXPECT_EQ(List->CompareText(u"b", u"a"), 1);
    List->SetIgnoreCase(true);
    EXPECT_TRUE(List->SameText(u"ABC", u"abc"));
    EXPECT_EQ(List->CompareText(u"ABC", u"abc"), 0);
    // Turning case off sorted the list again.
    Strings texts = Texts(List.Get());
    EXPECT_EQ(CompareText(texts[1], u"abc", true), 0);
    EXPECT_EQ(CompareText(texts[2], u"abd", true), 0);
    int index = -1;
    EXPECT_TRUE(List->Find(u"ABD", index));
    EXPECT_TRUE(index == 2 || index == 3);
}

TEST_F(StringList, EmptyTextInASortedListGoesFirstAndIsNotFound) {
    List->SetSorted(true);
    List->Add(u"m");
    EXPECT_EQ(List->Add(u""), 0);
    EXPECT_EQ(List->Add(u""), 0);
    EXPECT_EQ(List->IndexOf(u""), -1);
}

TEST_F(StringList, EmptyEntriesAreCreatedOnFirstTouchAndSortFirst) {
    List->Add(u"z");
    List->SetCount(3);
    EXPECT_EQ(List->Entry(1), nullptr);
    EXPECT_EQ(List->GetObject(1), nullptr);
    EXPECT_EQ(List->Entry(1), nullptr);
    EXPECT_EQ(List->IndexOf(u""), 1);
    EXPECT_EQ(List->GetString(1), u"");
    EXPECT_NE(List->Entry(1), nullptr);
    EXPECT_EQ(List->GetItem(3), nullptr);
    EXPECT_EQ(List->GetItem(-1), nullptr);
    EXPECT_EQ(List->GetString(7), u"");
    // Entry 1 now holds an item with empty text, entry 2 is still empty.
    EXPECT_EQ(List->Compare(1, 2), 1);
    EXPECT_EQ(List->Compare(2, 1), -1);
    EXPECT_EQ(List->Compare(2, 2), 0);
    List->Sort();
    EXPECT_EQ(List->Entry(0), nullptr);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"", u"", u"z"}));
    // An empty key matches an empty entry in a sorted search.
    List->SetCount(2);
    List->Add(u"z");
    List->SetCount(4);
    List->Exchange(0, 3);
    List->Exchange(1, 2);
    List->SetSorted(true);
    int index = -1;
    EXPECT_TRUE(List->Find(u"", index));
    EXPECT_EQ(List->Entry(index), nullptr);
}

TEST_F(StringList, DeleteAndExtractHandBackTheObject) {
    TRef<TCountingList> list = MakeRef<TCountingList>();
    TCounted* a = New<TCounted>();
    TCounted* b = New<TCounted>();
    list->AddObject(u"a", a);
    list->AddObject(u"b", b);
    list->Add(u"c");
    EXPECT_EQ(TCountedItem::Live, 3);
    EXPECT_EQ(list->Delete(0), a);
    EXPECT_EQ(list->Extract(0), b);
    EXPECT_EQ(list->Delete(0), nullptr);
    EXPECT_EQ(list->Delete(0), nullptr);
    EXPECT_EQ(TCountedItem::Live, 0);
    EXPECT_EQ(TCounted::Disposed, 0);
    EXPECT_EQ(a->RefCount(), 1);
    Free(a);
    Free(b);
}

TEST_F(StringList, ObjectsAreGivenBackOnlyWhenAsked) {
    TCounted* kept = New<TCounted>();
    {
        TRef<TCountingList> list = MakeRef<TCountingList>();
        list->AddObject(u"x", kept);
        list->Clear();
        EXPECT_EQ(TCountedItem::Live, 0);
        TCounted* other = New<TCounted>();
        list->AddObject(u"x", kept);
        list->AddObject(u"y", other);
        list->Add(u"z");
        list->SetCount(4);
        list->ClearWithObjects(false);
        EXPECT_EQ(TCounted::Disposed, 0);
        Free(other);
        AddRef(kept);
        list->AddObject(u"x", kept);
        list->AddObject(u"y", New<TCounted>());
        list->SetCount(3);
        list->ClearWithObjects(true);
        EXPECT_EQ(TCounted::Disposed, 2);
        EXPECT_EQ(list->GetCount(), 0);
        EXPECT_EQ(TCountedItem::Live, 0);
        list->AddObject(u"x", kept);
    }
    EXPECT_EQ(TCountedItem::Live, 0);
    EXPECT_EQ(kept->RefCount(), 1);
    Free(kept);
}

TEST_F(StringList, SetCountFreesTheDroppedItems) {
    TRef<TCountingList> list = MakeRef<TCountingList>();
    for (const char16_t* t : {u"a", u"b", u"c", u"d"}) list->Add(t);
    list->SetCount(1);
    EXPECT_EQ(TCountedItem::Live, 1);
    list->SetCount(-1);
    EXPECT_EQ(list->GetCount(), 1);
    list->SetCount(3);
    EXPECT_EQ(TCountedItem::Live, 1);
    EXPECT_EQ(Texts(list.Get()), (Strings{u"a", u"", u""}));
}

TEST_F(StringList, SettingTextOrObjectKeepsASortedListSorted) {
    List->SetSorted(true);
    for (const char16_t* t : {u"b", u"d", u"f"}) List->Add(t);
    List->SetString(0, u"z");
    EXPECT_EQ(Texts(List.Get()), (Strings{u"d", u"f", u"z"}));
    TCounted* object = New<TCounted>();
    List->SetObject(1, object);
    EXPECT_EQ(List->GetObject(1), object);
    EXPECT_EQ(List->GetItem(1)->Object(), object);
    Free(object);
}

// Setting through an index outside the list must not touch memory.
TEST_F(StringList, SettingOutsideTheListIsAnAssertion) {
    List->Add(u"a");
    EXPECT_THROW(List->SetString(1, u"x"), EAbort);
    EXPECT_THROW(List->SetString(-1, u"x"), EAbort);
    EXPECT_THROW(List->SetObject(5, nullptr), EAbort);
    EXPECT_EQ(ShownBoxes().size(), 3u);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"a"}));
}

TEST_F(StringList, InsertAcceptsOnlyPositionsInsideOrAtTheEnd) {
    List->Add(u"b");
    EXPECT_TRUE(List->Insert(0, u"a"));
    EXPECT_TRUE(List->Insert(2, u"c"));
    EXPECT_FALSE(List->Insert(4, u"x"));
    EXPECT_FALSE(List->Insert(-1, u"x"));
    EXPECT_EQ(Texts(List.Get()), (Strings{u"a", u"b", u"c"}));
    List->SetSorted(true);
    EXPECT_TRUE(List->Insert(0, u"d"));
    EXPECT_EQ(Texts(List.Get()), (Strings{u"a", u"b", u"c", u"d"}));
}

TEST_F(StringList, CopiesFromListsAndSources) {
    TRef<TStringList> other = MakeRef<TStringList>();
    TCounted* object = New<TCounted>();
    other->AddObject(u"q", object);
    other->Add(u"c");
    List->Add(u"x");
    List->Add(u"y");
    List->Add(u"w");
    List->Assign(other.Get());
    EXPECT_EQ(Texts(List.Get()), (Strings{u"q", u"c"}));
    EXPECT_EQ(List->GetObject(0), object);
    List->AddList(other.Get());
    EXPECT_EQ(Texts(List.Get()), (Strings{u"q", u"c", u"q", u"c"}));
    EXPECT_EQ(List->GetObject(2), object);
    List->AddList(List.Get());
    EXPECT_EQ(List->GetCount(), 8);

    TVectorStrings source;
    source.Texts = {u"m", u"k"};
    List->SetSorted(true);
    List->AssignStrings(&source);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"k", u"m"}));
    List->AddStrings(&source);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"k", u"k", u"m", u"m"}));
    // A list is a source too.
    TRef<TStringList> copy = MakeRef<TStringList>();
    copy->AddStrings(List.Get());
    EXPECT_EQ(Texts(copy.Get()), Texts(List.Get()));
    EXPECT_EQ(object->RefCount(), 1);
    Free(object);
}

TEST_F(StringList, RangesAreClampedToTheList) {
    for (const char16_t* t : {u"e", u"d", u"c", u"b", u"a"}) List->Add(t);
    List->SortRange(-10, 1);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"d", u"e", u"c", u"b", u"a"}));
    List->SortRange(3, 100);
    EXPECT_EQ(Texts(List.Get()), (Strings{u"d", u"e", u"c", u"a", u"b"}));
    List->SortRange(4, 4);
    List->SortRange(3, 1);
    List->Sort();
    int index = -1;
    EXPECT_TRUE(List->FindRange(u"b", -5, index, 99));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(List->FindRange(u"b", 2, index, 99));
    EXPECT_EQ(index, 2);
    EXPECT_FALSE(List->FindRange(u"a", 9, index, 99));
    EXPECT_EQ(index, 9);
}

TEST_F(StringList, SubclassItemsAreCreatedThroughNewItem) {
    {
        TRef<TCountingList> list = MakeRef<TCountingList>();
        list->Add(u"a");
        list->SetCount(2);
        list->GetItem(1);
        EXPECT_EQ(TCountedItem::Live, 2);
        EXPECT_NE(dynamic_cast<TCountedItem*>(list->GetItem(0)), nullptr);
    }
    EXPECT_EQ(TCountedItem::Live, 0);
}

}  // namespace
