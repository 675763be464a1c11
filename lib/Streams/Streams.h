// The library's byte streams, and the hooks that open one by name.
#pragma once
#include <functional>
#include <span>
#include "Foundation/RefObject.h"
#include "Foundation/Types.h"

// A byte array passed with its bounds; operations work from an offset in it.
using TByteSpan = std::span<uint8_t>;
using TConstByteSpan = std::span<const uint8_t>;

class TStream : public TRefObject {
public:
    virtual int64_t GetPosition() = 0;
    virtual void SetPosition(int64_t position) = 0;
    // -1 means the size is unknown.
    virtual int64_t GetSize() = 0;
    virtual void SetSize(int64_t size) = 0;
    virtual int64_t GetRemaining();
    // Replaces the contents with all of source; source keeps its position.
    virtual void LoadFromStream(TStream* source);
    virtual void Clear();
    virtual int64_t CopyFrom(TStream* source, int64_t count);
    // Every read and write may move fewer bytes than asked: callers compare.
    virtual int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) = 0;
    virtual int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) = 0;
    // Copies count bytes at from to to (the ranges may overlap) where the
    // stream can do so without them passing through the caller; false,
    // with nothing changed, where it cannot, and the caller copies them.
    // The position is left anywhere.
    virtual bool CopyWithin(int64_t from, int64_t to, int64_t count);

    int32_t Read(void* buffer, int32_t count);
    int32_t Write(const void* buffer, int32_t count);
    // The whole count or an exception: a write that takes nothing raises
    // EStreamWriteError, a read that ends first EStreamReadError.
    void ReadBuffer(TByteSpan buffer, int32_t offset, int32_t count);
    void WriteBuffer(TConstByteSpan buffer, int32_t offset, int32_t count);
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);

protected:
    static constexpr int32_t CopyBufferSize = 32768;

    // count cut to what a buffer of bufferSize holds from offset (a negative
    // offset counts as 0), whatever count says; 0 or less: nothing to move.
    static int32_t Fit(size_t bufferSize, int32_t& offset, int32_t count);
};

using TProgressEvent = std::function<void(TStream* sender)>;

// A class reference: makes streams of one class from the arguments that
// every class of its family takes (the virtual constructor).
template <class TBase, class... Args>
struct TStreamClass {
    TBase* (*NewStream)(Args... args);

    TRef<TBase> Create(Args... args) const { return TRef<TBase>::Adopt(NewStream(args...)); }
    template <class T>
    static constexpr TStreamClass Of() {
        return {[](Args... args) -> TBase* { return New<T>(args...); }};
    }
};

class TMemoryStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t size) override;
    void Clear() override;
    int64_t CopyFrom(TStream* source, int64_t count) override;
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

    // The buffer itself; Capacity bytes long, of which Size are contents.
    uint8_t* Memory() { return FMemory; }
    int32_t Capacity() const { return FCapacity; }

    // Writing stops short of this many bytes.
    static constexpr int64_t GrowLimit = 0x1FFFFFFF;

protected:
    void Dispose() override;
    // Makes room for needed bytes in capacity steps and raises Size to it.
    bool Grow(int64_t needed);

private:
    bool Reallocate(int64_t capacity);

    int32_t FSize = 0;
    int32_t FPosition = 0;
    uint8_t* FMemory = nullptr;
    int32_t FCapacity = 0;
};

class TResourceStream : public TMemoryStream {};

// Takes every write and keeps nothing: data read only to be checked on
// the way goes here.
class TNullStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    int64_t GetPosition() override { return FSize; }
    void SetPosition(int64_t) override {}
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t size) override { FSize = size; }
    int32_t Read(TByteSpan, int32_t, int32_t) override { return 0; }
    int32_t Write(TConstByteSpan, int32_t, int32_t count) override {
        FSize += count;
        return count;
    }

private:
    int64_t FSize = 0;
};

// Windows' numbered resource type for raw data.
#ifndef RT_RCDATA
inline constexpr uint16_t RT_RCDATA = 10;
#endif

// The program's resource of that name and type, or none when it is missing
// or empty.
TRef<TResourceStream> OpenResourceStream(const WideString& name, uint16_t type);

// Reads up to count bytes into text from the 1-based index start (below 1
// counts as 1), never past the text's end, in pieces of at most 2048 bytes;
// stops at a short piece. Returns the bytes read.
int32_t ReadIntoString(TStream* stream, AnsiString& text, int32_t start, int32_t count);

// Opening a stream by name. The file-stream module installs the real
// functions at start-up; until then both fail with an assertion.
using TReadFileFunc = TRef<TStream> (*)(const WideString& name);
using TWriteFileFunc = TRef<TStream> (*)(const WideString& name, bool create);
extern TReadFileFunc ReadFileHook;
extern TWriteFileFunc WriteFileHook;
void RestoreDefaultFileHooks();

// A stream over the file or resource of that name, or none.
inline TRef<TStream> ReadFile(const WideString& name) { return ReadFileHook(name); }
inline TRef<TStream> WriteFile(const WideString& name, bool create) { return WriteFileHook(name, create); }
