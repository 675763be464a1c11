#include <gtest/gtest.h>
#include <functional>
#include <thread>
#include <vector>
#include "Foundation/Exceptions.h"
#include "Foundation/RefObject.h"
#include "support/MessageBoxes.h"

namespace {

int Disposals = 0;

class TCounted : public TRefObject {
public:
    TCounted() { ++Live; }
    ~TCounted() override { --Live; }
    static inline int Live = 0;

protected:
    void Dispose() override {
        ++Disposals;
        TRefObject::Dispose();
    }
};

// Objects whose checks failed keep their memory; tests give it back by hand.
class TForgetsDispose : public TRefObject {
public:
    void Discard() { delete this; }

protected:
    void Dispose() override {}
};

class TForgetsCreate : public TRefObject {
public:
    TForgetsCreate() : TRefObject(TSkipCreate{}) { Last = this; }
    void Discard() { delete this; }
    static inline TForgetsCreate* Last = nullptr;
};

// Counts itself by hand, so it passes the check after construction.
class TCountsWithoutCreate : public TRefObject {
public:
    TCountsWithoutCreate() : TRefObject(TSkipCreate{}) { AddRef(this); }
    void Discard() { delete this; }
};

class TFailingDispose : public TRefObject {
public:
    bool Fail = true;
    void Discard() { delete this; }

protected:
    void Dispose() override {
        TRefObject::Dispose();
        if (Fail) throw EStreamWriteError("disk full");
    }
};

// The report an assertion made, checked once per test.
std::string ExpectOneAssertion(const std::function<void()>& step) {
    ShownBoxes().clear();
    std::string raised;
    try {
        step();
    } catch (const EAbort& e) {
        raised = e.what();
    }
    EXPECT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(raised, ShownBoxes().empty() ? "" : ShownBoxes()[0].Text);
    return raised;
}

class RefObject : public testing::Test {
protected:
    void SetUp() override { Disposals = 0; }
};

TEST_F(RefObject, CreateThenFreeDisposesOnceAndReleasesMemory) {
    TCounted* object = New<TCounted>();
    EXPECT_EQ(object->RefCount(), 1);
    EXPECT_EQ(object->StateFlags(), TRefObject::CreateCalled | TRefObject::Constructed);
    Free(object);
    EXPECT_EQ(Disposals, 1);
    EXPECT_EQ(TCounted::Live, 0);
}

TEST_F(RefObject, SharedObjectLivesUntilTheLastRelease) {
    TCounted* object = New<TCounted>();
    EXPECT_EQ(AddRef(object), 2);
    Free(object);
    EXPECT_EQ(Disposals, 0);
    EXPECT_EQ(TCounted::Live, 1);
    EXPECT_EQ(Release(object), 0);
    EXPECT_EQ(Disposals, 1);
    EXPECT_EQ(TCounted::Live, 0);
}

TEST_F(RefObject, ReleaseReturnsTheCountLeft) {
    TCounted* object = New<TCounted>();
    AddRef(object);
    AddRef(object);
    EXPECT_EQ(Release(object), 2);
    EXPECT_EQ(Release(object), 1);
    EXPECT_EQ(Disposals, 0);
    EXPECT_EQ(Release(object), 0);
    EXPECT_EQ(Disposals, 1);
}

TEST_F(RefObject, EmptyReferencesAreIgnored) {
    EXPECT_EQ(AddRef(nullptr), 0);
    EXPECT_EQ(Release(nullptr), 0);
    Free(nullptr);
}

TEST_F(RefObject, CountsAreAtomicAcrossThreads) {
    TCounted* object = New<TCounted>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([object] {
            for (int i = 0; i < 10000; ++i) {
                AddRef(object);
                Release(object);
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(object->RefCount(), 1);
    Free(object);
    EXPECT_EQ(Disposals, 1);
}

TEST_F(RefObject, QueryInterfaceKnowsOnlyTheBasicInterface) {
    TCounted* object = New<TCounted>();
    void* out = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, &out), 0);
    EXPECT_EQ(out, object);
    EXPECT_EQ(object->RefCount(), 2);
    Release(object);
    TGuid other = IID_IUnknown;
    other.Data1 = 1;
    EXPECT_EQ(object->QueryInterface(other, &out), (int32_t)0x80004002);
    EXPECT_EQ(out, nullptr);
    Free(object);
}

TEST_F(RefObject, MissingInheritedDisposeIsReportedWithTheClassName) {
    TForgetsDispose* object = New<TForgetsDispose>();
    std::string text = ExpectOneAssertion([&] { Free(object); });
    EXPECT_NE(text.find("'Error: inherited TForgetsDispose.Dispose not called!'"), std::string::npos) << text;
    EXPECT_EQ(object->RefCount(), 0);
    object->Discard();
}

TEST_F(RefObject, MissingInheritedCreateIsReportedRightAfterConstruction) {
    std::string text = ExpectOneAssertion([] { static_cast<void>(New<TForgetsCreate>()); });
    EXPECT_NE(text.find("'No Inherited Create call at TForgetsCreate'"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Asseertion with message: '", 0), 0u);
    EXPECT_NE(text.find("(RefObject.cpp, line: "), std::string::npos) << text;
    TForgetsCreate::Last->Discard();
}

TEST_F(RefObject, MissingInheritedCreateIsReportedWhenTheObjectGoes) {
    TCountsWithoutCreate* object = New<TCountsWithoutCreate>();
    std::string text = ExpectOneAssertion([&] { Free(object); });
    EXPECT_NE(text.find("'Error: inherited TCountsWithoutCreate.Create not called!'"), std::string::npos) << text;
    object->Discard();
}

TEST_F(RefObject, DuplicateFreeOfAKeptObjectIsReported) {
    TFailingDispose* object = New<TFailingDispose>();
    std::string first = ExpectOneAssertion([&] { Free(object); });
    EXPECT_NE(first.find("'Unhandled Exception at \"TFailingDispose\" Disposing'"), std::string::npos) << first;
    // Dispose failed, so the object kept its memory; a second Free is a duplicate.
    std::string second = ExpectOneAssertion([&] { Free(object); });
    EXPECT_NE(second.find("'Dupliacte free or _release at TFailingDispose'"), std::string::npos) << second;
    // So is a Release that takes it further below zero.
    std::string third = ExpectOneAssertion([&] { Release(object); });
    EXPECT_NE(third.find("'Dupliacte free or _release at TFailingDispose'"), std::string::npos) << third;
    object->Discard();
}

TEST_F(RefObject, HolderGivesTheReferenceBackAlsoWhenAStepFails) {
    try {
        TRef<TCounted> held = MakeRef<TCounted>();
        throw EStreamReadError();
    } catch (const EStreamReadError&) {
    }
    EXPECT_EQ(Disposals, 1);
    EXPECT_EQ(TCounted::Live, 0);
}

TEST_F(RefObject, AccessThroughAnEmptyHolderIsReported) {
    TRef<TCounted> empty;
    std::string text = ExpectOneAssertion([&] { empty->RefCount(); });
    EXPECT_NE(text.find("'Access through an empty TRef'"), std::string::npos) << text;
}

TEST_F(RefObject, HolderRetainsBorrowedObjectsAndAdoptsNewOnes) {
    TCounted* object = New<TCounted>();
    {
        TRef<TCounted> borrowed = TRef<TCounted>::Retain(object);
        EXPECT_EQ(object->RefCount(), 2);
        TRef<TCounted> copy = borrowed;
        EXPECT_EQ(object->RefCount(), 3);
    }
    EXPECT_EQ(object->RefCount(), 1);
    TRef<TCounted> adopted = TRef<TCounted>::Adopt(object);
    EXPECT_EQ(object->RefCount(), 1);
    TCounted* detached = adopted.Detach();
    EXPECT_FALSE(adopted);
    Free(detached);
    EXPECT_EQ(Disposals, 1);
}

}  // namespace
