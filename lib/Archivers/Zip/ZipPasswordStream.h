// The traditional ZIP encryption as a filter stream: reads decrypt, writes
// encrypt, behind a 12-byte header. Reset before each entry.
#pragma once
#include <vector>
#include "Foundation/CodePages.h"
#include "Streams/FilterStream.h"

class TZipPasswordStream : public TCrc32Stream {
public:
    using TStream::Read;
    using TStream::Write;
    static constexpr int32_t HeaderSize = 12;

    // SetPassword encodes in UTF-8 where *passwordUtf8 (borrowed, may be
    // null) is true, else in the OEM code page.
    explicit TZipPasswordStream(TStream* target = nullptr, const bool* passwordUtf8 = nullptr);

    uint32_t Key0 = 0, Key1 = 0, Key2 = 0;
    // Reading: what byte 11 of the decrypted header should be. Writing:
    // stored as header bytes 10 (low) and 11 (high).
    uint16_t CheckValue = 0;
    TByteString Password;
    bool HeaderDone = false;
    std::vector<uint8_t> WorkBuffer;  // only while a write is under way
    const bool* PasswordUtf8;

    // The initial keys with the password fed through; the next read or
    // write starts with the header.
    void Reset() override;
    void SetPassword(const WideString& text);
    // The data bytes delivered; the first read also takes in the header.
    int32_t Read(TByteSpan buffer, int32_t offset, int32_t count) override;
    // The data bytes the target accepted, without the header.
    int32_t Write(TConstByteSpan buffer, int32_t offset, int32_t count) override;

    // Whether byte 11 of the last header read matched CheckValue. Nothing
    // in reading depends on it: a wrong password shows in the entry's CRC.
    bool HeaderMatched() const { return FHeaderMatched; }

    void UpdateKeys(uint8_t plain);
    uint8_t KeyStreamByte() const;
    uint8_t DecryptByte(uint8_t cipher);
    uint8_t EncryptByte(uint8_t plain);

protected:
    void Dispose() override;

private:
    bool FHeaderMatched = false;
};
