// Filter streams pass every operation on to a target stream, so that a
// subclass can look at or change the bytes on the way.
#pragma once
#include <array>
#include "Streams/Streams.h"

class TFilterStream : public TStream {
public:
    using TStream::Read;
    using TStream::Write;

    explicit TFilterStream(TStream* target = nullptr) : Target(target) {}

    int64_t GetPosition() override { return Target->GetPosition(); }
    void SetPosition(int64_t position) override { Target->SetPosition(position); }
    int64_t GetSize() override { return Target->GetSize(); }
    void SetSize(int64_t size) override { Target->SetSize(size); }
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override {
        return Target->Read(buffer, offset, count);
    }
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override {
        return Target->Write(buffer, offset, count);
    }
    virtual void Reset() = 0;

    // Borrowed, never freed by the filter; users switch it at any time.
    TStream* Target;
};

// CRC-32 as ZIP uses it: reflected polynomial 0xEDB88320, register preset to
// all ones, result inverted.
class TCrc32Stream : public TFilterStream {
public:
    using TStream::Read;
    using TStream::Write;
    using TCrcTable = std::array<uint32_t, 256>;

    explicit TCrc32Stream(TStream* target = nullptr);

    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    // Counts every requested byte, even ones the target does not take.
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;
    void Reset() override { FCrc = 0xFFFFFFFF; }
    // The finished CRC of everything since the last Reset.
    virtual uint32_t GetCrc() { return FCrc ^ 0xFFFFFFFF; }
    // Loads the register as it is, without the final inversion.
    virtual void SetCrc(uint32_t value) { FCrc = value; }

    // Folds bytes into the register; nothing for a count of 0 or less.
    void Update(TConstByteSpan buffer, int32_t offset, int32_t count);
    // The byte-wise table and step, for subclasses that need single steps.
    const TCrcTable& CrcTable() const { return FCrcTable; }
    uint32_t UpdateByte(uint32_t crc, uint8_t byte) const { return FCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

protected:
    uint32_t FCrc = 0xFFFFFFFF;

private:
    TCrcTable FCrcTable;
};
