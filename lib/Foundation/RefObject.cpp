#include "Foundation/RefObject.h"
#include <typeinfo>
#include "Foundation/ErrorReport.h"

AnsiString TRefObject::ClassName() const {
    AnsiString name = Demangle(typeid(*this).name());
    size_t colons = name.rfind("::");
    return colons == AnsiString::npos ? name : name.substr(colons + 2);
}

int32_t TRefObject::QueryInterface(const TGuid& iid, void** object) {
    if (iid == IID_IUnknown) {
        *object = this;
        AddRef(this);
        return 0;
    }
    *object = nullptr;
    return E_NoInterface;
}

void TRefObject::Create() {
    FRefCount.store(1);
    FFlags |= CreateCalled;
}

void TRefObject::Dispose() { FFlags |= DisposeCalled; }

void TRefObject::FinishConstruction() {
    if (FRefCount.load() <= 0) AssertionFailed("No Inherited Create call at " + ClassName(), __FILE_NAME__, __LINE__);
    FFlags |= Constructed;
    // A hook that fails leaves nothing behind, as a constructor that throws.
    try {
        AfterConstruction();
    } catch (...) {
        Free(this);
        throw;
    }
}

void TRefObject::CheckNotOverReleased(int32_t count) {
    if (count < 0 && (FFlags & Constructed))
        // Deliberate spelling: the text stays as it has always been shown.
        AssertionFailed("Dupliacte free or _release at " + ClassName(), __FILE_NAME__, __LINE__);
}

void TRefObject::Destroy() {
    int32_t n = --FRefCount;
    if (n >= 1) return;
    CheckNotOverReleased(n);
    try {
        Dispose();
    } catch (...) {
        AssertionFailed("Unhandled Exception at \"" + ClassName() + "\" Disposing", __FILE_NAME__, __LINE__);
    }
    if (!(FFlags & CreateCalled))
        AssertionFailed("Error: inherited " + ClassName() + ".Create not called!", __FILE_NAME__, __LINE__);
    if (!(FFlags & DisposeCalled))
        AssertionFailed("Error: inherited " + ClassName() + ".Dispose not called!", __FILE_NAME__, __LINE__);
    if (FRefCount.load() == 0) delete this;
}

int32_t AddRef(TRefObject* object) {
    if (!object) return 0;
    return ++object->FRefCount;
}

int32_t Release(TRefObject* object) {
    if (!object) return 0;
    int32_t n = --object->FRefCount;
    object->CheckNotOverReleased(n);
    if (n == 0) {
        ++object->FRefCount;
        object->Destroy();
    }
    return n;
}

void Free(TRefObject* object) {
    if (object) object->Destroy();
}
