// Root of the library's classes: an atomic reference count, one clean-up
// step (Dispose) and run-time checks of the lifetime rules (CONTRIBUTING.md).
#pragma once
#include <atomic>
#include <cstddef>
#include <utility>
#include "Foundation/ErrorReport.h"
#include "Foundation/Types.h"

constexpr int32_t E_NoInterface = (int32_t)0x80004002;
// {00000000-0000-0000-C000-000000000046}
constexpr TGuid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The result is the creator's reference: dropping it leaks the object.
template <class T, class... Args>
[[nodiscard]] T* New(Args&&... args);

// Passed to the base constructor by a class that must not count as having
// called the inherited Create (only tests of the checks need it).
struct TSkipCreate {};

class TRefObject {
public:
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;

    enum : uint8_t { CreateCalled = 1, Constructed = 2, DisposeCalled = 4 };

    // The platform's basic reference-counted interface over the same counter.
    virtual int32_t QueryInterface(const TGuid& iid, void** object);

    int32_t RefCount() const { return FRefCount.load(); }
    uint8_t StateFlags() const { return FFlags; }
    // The class name without namespaces, as the checks report it.
    AnsiString ClassName() const;

    friend int32_t AddRef(TRefObject* object);
    friend int32_t Release(TRefObject* object);
    friend void Free(TRefObject* object);
    template <class T, class... Args>
    friend T* New(Args&&... args);

protected:
    // The inherited Create: count 1, create-called.
    TRefObject() { Create(); }
    explicit TRefObject(TSkipCreate) {}
    virtual ~TRefObject() = default;

    void Create();
    // Gives back what the object holds. Overrides must call the inherited one.
    virtual void Dispose();
    // Runs once the outermost constructor has finished and the checks have
    // passed: the place to make the object known to others, since a
    // constructor that throws must leave nothing pointing at it.
    virtual void AfterConstruction() {}

    static void* operator new(size_t size) { return ::operator new(size); }
    static void operator delete(void* memory) { ::operator delete(memory); }

private:
    void FinishConstruction();
    void Destroy();
    // A release that takes a constructed object below zero is reported.
    void CheckNotOverReleased(int32_t count);

    std::atomic<int32_t> FRefCount{0};
    uint8_t FFlags = 0;
};

int32_t AddRef(TRefObject* object);
int32_t Release(TRefObject* object);
void Free(TRefObject* object);

template <class T, class... Args>
T* New(Args&&... args) {
    T* object = new T(std::forward<Args>(args)...);
    object->FinishConstruction();
    return object;
}

// Holds one reference and gives it back when it goes out of scope.
template <class T>
class TRef {
public:
    TRef() = default;
    static TRef Adopt(T* object) { return TRef(object); }
    static TRef Retain(T* object) {
        AddRef(object);
        return TRef(object);
    }

    TRef(const TRef& other) : FObject(other.FObject) { AddRef(FObject); }
    TRef(TRef&& other) noexcept : FObject(other.Detach()) {}
    template <class U>
    TRef(TRef<U>&& other) noexcept : FObject(other.Detach()) {}
    TRef& operator=(TRef other) noexcept {
        std::swap(FObject, other.FObject);
        return *this;
    }
    // A holder going out of scope cannot raise: a failed check has already
    // been reported by its assertion. Call Reset() where a failure of the
    // clean-up must reach the caller.
    ~TRef() {
        try {
            Reset();
        } catch (...) {
        }
    }

    T* Get() const { return FObject; }
    // An empty holder is a caller's fault, reported before it is used.
    T* operator->() const {
        NVX_ASSERT_MSG(FObject, "Access through an empty TRef");
        return FObject;
    }
    T& operator*() const { return *operator->(); }
    explicit operator bool() const { return FObject != nullptr; }

    // Hands the held reference to the caller.
    [[nodiscard]] T* Detach() { return std::exchange(FObject, nullptr); }
    void Reset() { Free(std::exchange(FObject, nullptr)); }

private:
    explicit TRef(T* object) : FObject(object) {}
    T* FObject = nullptr;
};

template <class T, class... Args>
TRef<T> MakeRef(Args&&... args) {
    return TRef<T>::Adopt(New<T>(std::forward<Args>(args)...));
}
