#include "Streams/Streams.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Streams/Resources.h"

int32_t TStream::Fit(size_t bufferSize, int32_t& offset, int32_t count) {
    if (offset < 0) offset = 0;
    return (int32_t)std::min<int64_t>(count, int64_t(bufferSize) - offset);
}

int64_t TStream::GetRemaining() { return GetSize() - GetPosition(); }

void TStream::Clear() {
    SetPosition(0);
    SetSize(0);
}

namespace {
TByteSpan Bytes(void* buffer, int32_t count) { return {static_cast<uint8_t*>(buffer), count > 0 ? size_t(count) : 0}; }
TConstByteSpan Bytes(const void* buffer, int32_t count) {
    return {static_cast<const uint8_t*>(buffer), count > 0 ? size_t(count) : 0};
}
}  // namespace

int32_t TStream::Read(void* buffer, int32_t count) { return Read(Bytes(buffer, count), 0, count); }

int32_t TStream::Write(const void* buffer, int32_t count) { return Write(Bytes(buffer, count), 0, count); }

void TStream::ReadBuffer(TByteSpan buffer, int32_t offset, int32_t count) {
    for (int32_t done = 0; done < count;) {
        int32_t n = Read(buffer, offset + done, count - done);
        if (n <= 0) throw EStreamReadError();
        done += n;
    }
}

void TStream::WriteBuffer(TConstByteSpan buffer, int32_t offset, int32_t count) {
    for (int32_t done = 0; done < count;) {
        int32_t n = Write(buffer, offset + done, count - done);
        if (n <= 0) throw EStreamWriteError();
        done += n;
    }
}

void TStream::ReadBuffer(void* buffer, int32_t count) { ReadBuffer(Bytes(buffer, count), 0, count); }

void TStream::WriteBuffer(const void* buffer, int32_t count) { WriteBuffer(Bytes(buffer, count), 0, count); }

bool TStream::CopyWithin(int64_t, int64_t, int64_t) { return false; }

int64_t TStream::CopyFrom(TStream* source, int64_t count) {
    uint8_t buffer[CopyBufferSize];
    int64_t result = 0;
    while (count > 0) {
        int32_t read = source->Read(buffer, (int32_t)std::min<int64_t>(count, CopyBufferSize));
        if (read <= 0) break;
        count -= read;
        int32_t written = Write(buffer, read);
        result += written;
        if (written != read) throw EStreamWriteError();
    }
    return result;
}

void TStream::LoadFromStream(TStream* source) {
    Clear();
    int64_t sourcePosition = source->GetPosition();
    auto restore = [&] {
        source->SetPosition(sourcePosition);
        SetPosition(0);
    };
    try {
        source->SetPosition(0);
        int64_t size = source->GetSize();
        if (size == -1) {
            CopyFrom(source, std::numeric_limits<int64_t>::max());
        } else {
            SetSize(size);
            if (CopyFrom(source, size) != size) throw EStreamError();
        }
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

void TMemoryStream::Dispose() {
    Clear();
    TStream::Dispose();
}

void TMemoryStream::Clear() {
    std::free(FMemory);
    FMemory = nullptr;
    FCapacity = 0;
    FSize = 0;
    FPosition = 0;
}

bool TMemoryStream::Reallocate(int64_t capacity) {
    if (capacity <= 0 || capacity > std::numeric_limits<int32_t>::max()) return false;
    void* memory = std::realloc(FMemory, size_t(capacity));
    if (!memory) return false;
    FMemory = static_cast<uint8_t*>(memory);
    FCapacity = (int32_t)capacity;
    return true;
}

bool TMemoryStream::Grow(int64_t needed) {
    if (needed >= GrowLimit) return false;
    if (needed > FCapacity) {
        int64_t capacity = FCapacity;
        while (capacity < needed) {
            if (capacity <= 32) capacity += 16;
            else if (capacity <= 256) capacity += 64;
            else capacity *= 2;
        }
        if (!Reallocate(capacity)) return false;
    }
    FSize = (int32_t)std::max<int64_t>(FSize, needed);
    return true;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size <= 0) {
        Clear();
        return;
    }
    // Sizes and positions are 32-bit; a larger size must not wrap around.
    if (size > std::numeric_limits<int32_t>::max()) throw EStreamError();
    if (size > FSize && !Reallocate(size)) throw EOutOfMemory(OutOfMemoryObject());
    FSize = (int32_t)size;
    if (FPosition > FSize) FPosition = FSize;
}

void TMemoryStream::SetPosition(int64_t position) {
    FPosition = position <= 0 ? 0 : (int32_t)std::min<int64_t>(position, FSize);
}

int32_t TMemoryStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    int64_t n = std::min<int64_t>(Fit(buffer.size(), offset, count), int64_t(FSize) - FPosition);
    if (n <= 0) return 0;
    std::memcpy(buffer.data() + offset, FMemory + FPosition, size_t(n));
    FPosition += (int32_t)n;
    return (int32_t)n;
}

int32_t TMemoryStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    count = Fit(buffer.size(), offset, count);
    if (count <= 0) return 0;
    if (!Grow(int64_t(FPosition) + count)) return 0;
    std::memcpy(FMemory + FPosition, buffer.data() + offset, size_t(count));
    FPosition += count;
    if (FPosition > FSize) FSize = FPosition;
    return count;
}

int64_t TMemoryStream::CopyFrom(TStream* source, int64_t count) {
    int64_t sourceSize = source->GetSize();
    if (sourceSize < 0) return TStream::CopyFrom(source, count);
    count = std::min(count, sourceSize - source->GetPosition());
    if (count <= 0) return 0;
    Grow(int64_t(FPosition) + count);
    // When Grow failed the room is short; the count check below catches it.
    int32_t room = FCapacity - FPosition;
    int32_t asked = (int32_t)std::min<int64_t>(count, room);
    int32_t read = asked > 0 ? source->Read(TByteSpan(FMemory, size_t(FCapacity)), FPosition, asked) : 0;
    if (read != count) throw EStreamReadError();
    FPosition += read;
    return read;
}

TRef<TResourceStream> OpenResourceStream(const WideString& name, uint16_t type) {
    TResourceData resource;
    if (!FindProgramResource(name, type, resource) || resource.Size == 0) return {};
    auto stream = MakeRef<TResourceStream>();
    stream->SetSize((int64_t)resource.Size);
    std::memcpy(stream->Memory(), resource.Data, resource.Size);
    stream->SetPosition(0);
    return stream;
}

int32_t ReadIntoString(TStream* stream, AnsiString& text, int32_t start, int32_t count) {
    if (start < 1) start = 1;
    int64_t left = std::min<int64_t>(count, int64_t(text.size()) - start + 1);
    int32_t total = 0;
    TByteSpan bytes(reinterpret_cast<uint8_t*>(text.data()), text.size());
    int32_t offset = start - 1;
    while (left > 0) {
        int32_t piece = (int32_t)std::min<int64_t>(left, 2048);
        int32_t read = stream->Read(bytes, offset, piece);
        if (read <= 0) break;
        total += read;
        offset += read;
        left -= read;
        if (read < piece) break;
    }
    return total;
}

namespace {
TRef<TStream> UnassignedReadFile(const WideString&) {
    AssertionFailed("ReadFile is not assigned: the file stream module (FileStream) installs it at start-up",
                    __FILE_NAME__, __LINE__);
}
TRef<TStream> UnassignedWriteFile(const WideString&, bool) {
    AssertionFailed("WriteFile is not assigned: the file stream module (FileStream) installs it at start-up",
                    __FILE_NAME__, __LINE__);
}
}  // namespace

TReadFileFunc ReadFileHook = UnassignedReadFile;
TWriteFileFunc WriteFileHook = UnassignedWriteFile;

void RestoreDefaultFileHooks() {
    ReadFileHook = UnassignedReadFile;
    WriteFileHook = UnassignedWriteFile;
}
