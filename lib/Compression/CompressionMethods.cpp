#include "Compression/CompressionMethods.h"
#include "Compression/DeflateStream.h"
#include "Compression/InflateStream.h"
#include "Foundation/CodePages.h"
#include "Foundation/Lists.h"

namespace {
// A class reference as a list entry's object.
template <class C>
class TClassEntry : public TRefObject {
public:
    explicit TClassEntry(const C* streamClass) : Class(streamClass) {}
    const C* Class;
};

TStringList* UnpackMethods = nullptr;
TStringList* PackMethods = nullptr;

template <class C>
void Register(TStringList*& registry, const AnsiString& name, const C* streamClass) {
    // Unsorted, so names keep their order and the first one is found.
    if (!registry) {
        registry = New<TStringList>();
        registry->SetIgnoreCase(true);
    }
    auto entry = MakeRef<TClassEntry<C>>(streamClass);
    if (registry->AddObject(Utf8ToWide(name), entry.Get()) < 0) return;
    // The registry holds it from now on.
    static_cast<void>(entry.Detach());
}

template <class C>
const C* Find(TStringList* registry, const AnsiString& name) {
    if (!registry) return nullptr;
    int index = registry->IndexOf(Utf8ToWide(name));
    if (index < 0) return nullptr;
    auto* entry = static_cast<TClassEntry<C>*>(registry->GetObject(index));
    return entry ? entry->Class : nullptr;
}

void FreeRegistry(TStringList*& registry) {
    if (!registry) return;
    registry->ClearWithObjects(true);
    Free(std::exchange(registry, nullptr));
}
}  // namespace

void RegisterUnpackMethod(const AnsiString& name, const TUnpackStreamClass* streamClass) {
    Register(UnpackMethods, name, streamClass);
}

void RegisterPackMethod(const AnsiString& name, const TPackStreamClass* streamClass) {
    Register(PackMethods, name, streamClass);
}

const TUnpackStreamClass* FindUnpackMethod(const AnsiString& name) {
    return Find<TUnpackStreamClass>(UnpackMethods, name);
}

const TPackStreamClass* FindPackMethod(const AnsiString& name) { return Find<TPackStreamClass>(PackMethods, name); }

void InitCompressionMethods() {
    RegisterUnpackMethod("ReStore", &TRestoreStream::Class);
    RegisterUnpackMethod("Inflate", &TInflateStream::Class);
    RegisterPackMethod("Store", &TStoreStream::Class);
    RegisterPackMethod("Deflate", &TDeflateStream::Class);
}

void DoneCompressionMethods() {
    FreeRegistry(PackMethods);
    FreeRegistry(UnpackMethods);
}
