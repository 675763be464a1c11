#include "Streams/FileStream.h"
#include <algorithm>
#include <memory>
#include "FileSystem/FileAPI.h"
#include "Foundation/Exceptions.h"

namespace {
// Runs one file API step; its failures come out as the stream error E.
template <class E, class F>
auto Translated(F step) -> decltype(step()) {
    try {
        return step();
    } catch (const EFileError& e) {
        throw E(e.Message());
    } catch (...) {
        throw E();
    }
}
}  // namespace

TFileStream::TFileStream(const WideString& fileName)
    : TFileStream(fileName, FileAccess::ReadWrite, FileShare::Read, FileDisposition::OpenAlways) {}

TFileStream::TFileStream(const WideString& fileName, uint32_t access, TShareMode shareMode, TDisposition disposition) {
    Open(fileName, access, shareMode, disposition);
}

void TFileStream::Dispose() {
    Close();
    TStream::Dispose();
}

void TFileStream::Open(const WideString& fileName, uint32_t access, TShareMode shareMode, TDisposition disposition) {
    Close();
    FHandle = FileOpen(fileName, access, shareMode, disposition);
    FFileName = fileName;
    FAccess = access;
    FShareMode = shareMode;
}

void TFileStream::Close() {
    if (FHandle == InvalidNativeHandle) return;
    TNativeHandle handle = FHandle;
    // The last bytes start their way too, while the caller goes on.
    if (WriteBehind && FUnflushed > 0) FileAPI->StartFlushFileBuffers(handle);
    FHandle = InvalidNativeHandle;
    FFileName.clear();
    FileClose(handle);
}

int64_t TFileStream::GetPosition() {
    return Translated<EStreamError>([&] { return FileSeek(FHandle, 0, SeekOrigin::Current); });
}

void TFileStream::SetPosition(int64_t position) {
    Translated<EStreamSeekError>([&] { FileSeek(FHandle, position, SeekOrigin::Begin); });
}

int64_t TFileStream::GetSize() {
    return Translated<EStreamError>([&] { return FileGetSize(FHandle); });
}

void TFileStream::SetSize(int64_t size) {
    Translated<EStreamError>([&] { FileSetSize(FHandle, size); });
}

void TFileStream::Clear() {
    if (FHandle == InvalidNativeHandle) return;
    Translated<EStreamError>([&] { FileSetSize(FHandle, 0, 0); });
}

int32_t TFileStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    int32_t n = Fit(buffer.size(), offset, count);
    if (n <= 0) return 0;
    return Translated<EStreamReadError>(
        [&] { return (int32_t)FileRead(FHandle, buffer.data(), size_t(offset), uint32_t(n)); });
}

int32_t TFileStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    int32_t n = Fit(buffer.size(), offset, count);
    if (n <= 0) return 0;
    int32_t written = Translated<EStreamWriteError>(
        [&] { return (int32_t)FileWrite(FHandle, buffer.data(), size_t(offset), uint32_t(n)); });
    if (WriteBehind && (FUnflushed += std::max(written, 0)) >= WriteBehindSize) {
        FileAPI->StartFlushFileBuffers(FHandle);
        FUnflushed = 0;
    }
    return written;
}

int64_t TFileStream::CopyFrom(TStream* source, int64_t count) {
    if (FHandle == InvalidNativeHandle) return 0;
    int64_t sourceSize = source->GetSize();
    int64_t amount = sourceSize < 0 ? LargeCopyThreshold + 1 : std::min(count, sourceSize - source->GetPosition());
    uint8_t local[CopyBufferSize];
    std::unique_ptr<uint8_t[]> large;
    TByteSpan buffer(local, CopyBufferSize);
    if (amount > LargeCopyThreshold) {
        int32_t size = (int32_t)std::min<int64_t>(amount, LargeCopyBufferSize);
        large.reset(new uint8_t[size]);
        buffer = TByteSpan(large.get(), size_t(size));
    }
    int64_t result = 0;
    while (count > 0) {
        int32_t read = source->Read(buffer, 0, (int32_t)std::min<int64_t>(int64_t(buffer.size()), count));
        if (read <= 0) break;
        // A short write would lose data quietly.
        if (Write(buffer, 0, read) != read) throw EStreamWriteError();
        result += read;
        count -= read;
    }
    return result;
}

TRef<TFileStream> OpenFileForRead(const WideString& name) {
    if (!FileExists(name)) return {};
    try {
        return MakeRef<TFileStream>(name, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
    } catch (...) {
        return {};
    }
}

TRef<TFileStream> OpenFileForWrite(const WideString& name, bool create) {
    try {
        return MakeRef<TFileStream>(name, FileAccess::ReadWrite, FileShare::Read,
                                    (uint8_t)(create ? FileDisposition::CreateAlways : FileDisposition::OpenAlways));
    } catch (...) {
        return {};
    }
}

namespace {
bool HasResourcePrefix(const WideString& name) {
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    return name.size() >= 4 &&
           std::equal(name.begin(), name.begin() + 4, u"RES:", [&](char16_t c, char16_t p) { return upper(c) == p; });
}

// "RES:<name>[.<anything>]" opens the raw-data resource <name>; any other
// name is a file.
TRef<TStream> ReadFileOrResource(const WideString& name) {
    if (HasResourcePrefix(name)) {
        WideString resource = name.substr(4);
        size_t dot = resource.find(u'.', 1);
        if (dot != WideString::npos) resource.resize(dot);
        return OpenResourceStream(resource, RT_RCDATA);
    }
    return OpenFileForRead(name);
}

TRef<TStream> WriteFileStream(const WideString& name, bool create) { return OpenFileForWrite(name, create); }
}  // namespace

void InitFileStreams() {
    ReadFileHook = ReadFileOrResource;
    WriteFileHook = WriteFileStream;
}

void DoneFileStreams() { RestoreDefaultFileHooks(); }
