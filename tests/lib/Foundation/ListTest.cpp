#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <vector>
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
