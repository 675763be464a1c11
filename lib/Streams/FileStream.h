// A stream over a file of the file API, and the functions that open a
// stream by name (files, and resources named "RES:<name>").
#pragma once
#include "FileSystem/FileAPI.h"
#include "Streams/Streams.h"

class TFileStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    TFileStream() = default;
    // Read and write, others may read, the file made when missing.
    explicit TFileStream(const WideString& fileName);
    TFileStream(const WideString& fileName, uint32_t access, TShareMode shareMode, TDisposition disposition);

    // Closes first. Failures come through as the file API raises them
    // (EFileOpenError naming the file).
    void Open(const WideString& fileName, uint32_t access, TShareMode shareMode, TDisposition disposition);
    void Close();

    // Failures of the file API become stream errors with the same text:
    // EStreamSeekError for SetPosition, EStreamReadError for Read,
    // EStreamWriteError for Write, EStreamError for the rest.
    int64_t GetPosition() override;
    void SetPosition(int64_t position) override;
    int64_t GetSize() override;
    // Keeps the position.
    void SetSize(int64_t size) override;
    void Clear() override;
    int64_t CopyFrom(TStream* source, int64_t count) override;
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

    TNativeHandle Handle() const { return FHandle; }
    uint32_t Access() const { return FAccess; }
    TShareMode ShareMode() const { return FShareMode; }
    const WideString& FileName() const { return FFileName; }

    // Set for a file that is flushed once written: every WriteBehindSize
    // bytes written start their way to the disk while more are written, and
    // the rest as the file is closed.
    bool WriteBehind = false;
    static constexpr int64_t WriteBehindSize = 1048576;

    static constexpr int32_t LargeCopyThreshold = 1048576;
    static constexpr int32_t LargeCopyBufferSize = 8388608;

protected:
    void Dispose() override;

private:
    TNativeHandle FHandle = InvalidNativeHandle;
    uint32_t FAccess = 0;
    TShareMode FShareMode = 0;
    WideString FFileName;
    int64_t FUnflushed = 0;
};

// An existing file opened for reading (others may read too), or none; any
// failure yields none.
TRef<TFileStream> OpenFileForRead(const WideString& name);
// A file opened for reading and writing, made anew when create is set, else
// opened or made; none on any failure.
TRef<TFileStream> OpenFileForWrite(const WideString& name, bool create);

// Install and remove the file functions behind ReadFile and WriteFile.
void InitFileStreams();
void DoneFileStreams();
