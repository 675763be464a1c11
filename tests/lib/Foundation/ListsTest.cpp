#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <vector>
#include "Foundation/CaseFolding.h"
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
#include "support/CountedObject.h"
#include "support/MessageBoxes.h"

namespace {

using TCounted = TCountedObject;

// Sorts plain integers and counts the comparisons it is asked for.
class TIntSorter : public TSorter {
public:
    std::vector<int> Values;
    int Comparisons = 0;

    int GetCount() override { return (int)Values.size(); }
    int Compare(int i, int j) override {
        ++Comparisons;
        return Values[i] - Values[j];
    }
    int CompareKey(const void* key, int index) override {
        ++Comparisons;
        return *static_cast<const int*>(key) - Values.at(index);
    }
    void Exchange(int i, int j) override { std::swap(Values[i], Values[j]); }
};

// Expects step to fail one assertion, reported once and raised silently.
template <class F>
void ExpectAssertion(F step) {
    ShownBoxes().clear();
    EXPECT_THROW(step(), EAbort);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_NE(ShownBoxes()[0].Text.find("'Assertion failure'"), std::string::npos) << ShownBoxes()[0].Text;
}

TEST(Sorter, NoComparisonForFewerThanTwoElements) {
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    sorter->Sort();
    sorter->Values = {7};
    sorter->Sort();
    EXPECT_EQ(sorter->Comparisons, 0);
}

TEST(Sorter, SortsLikeTheStandardSortIncludingDuplicates) {
    std::mt19937 random(42);
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    for (int size : {2, 3, 5, 16, 100, 1000}) {
        for (int round = 0; round < 20; ++round) {
            sorter->Values.clear();
            for (int k = 0; k < size; ++k) sorter->Values.push_back((int)(random() % (size / 2 + 1)));
            std::vector<int> expected = sorter->Values;
            std::sort(expected.begin(), expected.end());
            sorter->Sort();
            ASSERT_EQ(sorter->Values, expected) << "size " << size;
        }
    }
    // Already sorted and reversed input.
    sorter->Values = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    sorter->Sort();
    EXPECT_EQ(sorter->Values, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    sorter->Sort();
    EXPECT_EQ(sorter->Values, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(Sorter, SortRangeLeavesTheRestAlone) {
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    sorter->Values = {9, 5, 4, 3, 0};
    sorter->SortRange(1, 3);
    EXPECT_EQ(sorter->Values, (std::vector<int>{9, 3, 4, 5, 0}));
}

TEST(Sorter, FindGivesThePositionOrTheInsertionPoint) {
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    for (int size = 0; size <= 9; ++size) {
        sorter->Values.clear();
        for (int k = 0; k < size; ++k) sorter->Values.push_back(10 * k);
        for (int key = -5; key <= 10 * size; key += 5) {
            int index = -99;
            bool found = sorter->Find(&key, index);
            int expected =
                (int)(std::lower_bound(sorter->Values.begin(), sorter->Values.end(), key) - sorter->Values.begin());
            EXPECT_EQ(found, key >= 0 && key % 10 == 0 && key < 10 * size) << size << " " << key;
            EXPECT_EQ(index, expected) << size << " " << key;
        }
    }
}

TEST(Sorter, FindAmongDuplicatesLandsOnOneOfThem) {
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    sorter->Values = {1, 2, 2, 2, 2, 2, 3};
    int key = 2, index = -1;
    EXPECT_TRUE(sorter->Find(&key, index));
    EXPECT_EQ(sorter->Values[index], 2);
}

// A range that starts more than one past its end is empty too; it must not
// probe outside the collection.
TEST(Sorter, InvertedRangeIsEmpty) {
    TRef<TIntSorter> sorter = MakeRef<TIntSorter>();
    sorter->Values = {1, 2, 3};
    int key = 2, index = -1;
    EXPECT_FALSE(sorter->FindRange(&key, 3, index, 0));
    EXPECT_EQ(index, 3);
    EXPECT_EQ(sorter->Comparisons, 0);
}

TEST(List, CapacityGrowsInSteps) {
    TRef<TList> list = MakeRef<TList>();
    std::vector<int> seen;
    for (int i = 0; i < 153; ++i) {
        EXPECT_EQ(list->Add(nullptr), i);
        if (seen.empty() || seen.back() != list->Capacity()) seen.push_back(list->Capacity());
        if (i == 12) {
            EXPECT_EQ(list->Capacity(), 28);
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 152, 304}));
    // Shrinking keeps the array; Clear empties it.
    list->SetCount(3);
    EXPECT_EQ(list->Capacity(), 304);
    list->Clear();
    EXPECT_EQ(list->Count(), 0);
    EXPECT_EQ(list->Capacity(), 0);
}

TEST(List, SetCountGrowsExactlyAndEmptiesDroppedEntries) {
    TRef<TList> list = MakeRef<TList>();
    TRef<TCounted> a = MakeRef<TCounted>();
    list->SetCount(5);
    EXPECT_EQ(list->Capacity(), 5);
    list->Put(4, a.Get());
    list->SetCount(2);
    list->SetCount(5);
    EXPECT_EQ(list->Get(4), nullptr);
    // Refused counts change nothing.
    list->SetCount(-1);
    list->SetCount(TList::CountLimit);
    EXPECT_EQ(list->Count(), 5);
    EXPECT_EQ(a->RefCount(), 1);
}

TEST(List, SetItemPastTheEndGrowsWithEmptyEntries) {
    TRef<TList> list = MakeRef<TList>();
    TRef<TCounted> x = MakeRef<TCounted>();
    list->SetItem(10, x.Get());
    EXPECT_EQ(list->Count(), 11);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(list->Get(i), nullptr);
    EXPECT_EQ(list->Get(10), x.Get());
    EXPECT_EQ(list->Last(), x.Get());
}

TEST(List, OutOfRangeAccess) {
    TRef<TList> list = MakeRef<TList>();
    TRef<TCounted> x = MakeRef<TCounted>();
    list->Add(x.Get());
    EXPECT_EQ(list->Get(-1), nullptr);
    EXPECT_EQ(list->Get(1), nullptr);
    EXPECT_FALSE(list->Insert(2, x.Get()));
    EXPECT_FALSE(list->Insert(-1, x.Get()));
    list->Delete(1);
    list->Delete(-1);
    EXPECT_EQ(list->Count(), 1);
    ExpectAssertion([&] { list->Put(1, x.Get()); });
    ExpectAssertion([&] { list->Put(-1, x.Get()); });
    ExpectAssertion([&] { list->SetItem(-1, x.Get()); });
    ExpectAssertion([&] { list->SetItem(INT32_MAX, x.Get()); });
    EXPECT_EQ(list->Count(), 1);
    TRef<TList> empty = MakeRef<TList>();
    EXPECT_EQ(empty->Last(), nullptr);
}

TEST(List, InsertDeleteIndexOfAndPackKeepOrder) {
    TRef<TCounted> a = MakeRef<TCounted>(), b = MakeRef<TCounted>(), c = MakeRef<TCounted>();
    TRef<TList> list = MakeRef<TList>();
    list->Add(a.Get());
    list->Add(c.Get());
    EXPECT_TRUE(list->Insert(1, b.Get()));
    EXPECT_TRUE(list->Insert(3, nullptr));
    EXPECT_TRUE(list->Insert(0, nullptr));
    // null, a, b, c, null
    EXPECT_EQ(list->IndexOf(b.Get()), 2);
    EXPECT_EQ(list->IndexOf(nullptr), 0);
    list->Pack();
    ASSERT_EQ(list->Count(), 3);
    EXPECT_EQ(list->Get(0), a.Get());
    EXPECT_EQ(list->Get(1), b.Get());
    EXPECT_EQ(list->Get(2), c.Get());
    list->Exchange(0, 2);
    EXPECT_EQ(list->Get(0), c.Get());
    EXPECT_EQ(list->Get(2), a.Get());
    list->Delete(0);
    EXPECT_EQ(list->Count(), 2);
    EXPECT_EQ(list->Get(0), b.Get());
    EXPECT_EQ(list->IndexOf(c.Get()), -1);
    // The entry moved down must not linger past the count.
    list->SetCount(3);
    EXPECT_EQ(list->Get(2), nullptr);
    EXPECT_EQ(c->RefCount(), 1);
}

TEST(List, FreeAllGivesBackEveryEntryButDisposeDoesNot) {
    TCounted::Disposed = 0;
    TCounted* kept = New<TCounted>();
    {
        TRef<TList> list = MakeRef<TList>();
        list->Add(New<TCounted>());
        list->Add(nullptr);
        TCounted* shared = New<TCounted>();
        AddRef(shared);
        list->Add(shared);
        EXPECT_EQ(list->FreeAll(), 0);
        EXPECT_EQ(TCounted::Disposed, 1);
        EXPECT_EQ(shared->RefCount(), 1);
        EXPECT_EQ(list->Count(), 0);
        EXPECT_EQ(list->Capacity(), 0);
        Free(shared);
        list->Add(kept);
    }
    EXPECT_EQ(TCounted::Disposed, 2);
    EXPECT_EQ(kept->RefCount(), 1);
    Free(kept);
}

TEST(List, AnOwningListGivesBackWhatItStillHoldsWhenItGoes) {
    TCounted::Disposed = 0;
    TCounted* shared = New<TCounted>();
    {
        TRef<TObjectList> list = MakeRef<TObjectList>();
        list->Add(New<TCounted>());
        list->Add(nullptr);
        AddRef(shared);
        list->Add(shared);
    }
    EXPECT_EQ(TCounted::Disposed, 1);
    EXPECT_EQ(shared->RefCount(), 1);
    Free(shared);
}

}  // namespace

namespace {

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
