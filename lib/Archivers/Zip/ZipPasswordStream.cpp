#include "Archivers/Zip/ZipPasswordStream.h"
#include <algorithm>
#include <random>
#include "Foundation/Exceptions.h"

namespace {

constexpr int32_t PieceSize = 1048576;

// The bytes of buffer[offset, offset + count) that exist.
int32_t Clamp(size_t size, int32_t offset, int32_t count) {
    if (offset < 0 || count <= 0 || size_t(offset) >= size) return 0;
    return int32_t(std::min(size_t(count), size - size_t(offset)));
}

uint8_t RandomByte() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return uint8_t(std::uniform_int_distribution<int>(0, 255)(generator));
}

}  // namespace

TZipPasswordStream::TZipPasswordStream(TStream* target, const bool* passwordUtf8)
    : TCrc32Stream(target), PasswordUtf8(passwordUtf8) {
    Reset();
}

void TZipPasswordStream::Dispose() {
    std::vector<uint8_t>().swap(WorkBuffer);
    TCrc32Stream::Dispose();
}

void TZipPasswordStream::Reset() {
    TCrc32Stream::Reset();
    Key0 = 305419896;
    Key1 = 591751049;
    Key2 = 878082192;
    for (char c : Password) UpdateKeys(uint8_t(c));
    HeaderDone = false;
    FHeaderMatched = false;
}

void TZipPasswordStream::SetPassword(const WideString& text) {
    Password = WideToBytes(text, PasswordUtf8 && *PasswordUtf8 ? CodePage::Utf8 : CodePage::Oem);
}

void TZipPasswordStream::UpdateKeys(uint8_t plain) {
    Key0 = UpdateByte(Key0, plain);
    Key1 = (Key1 + (Key0 & 255)) * 134775813u + 1;
    Key2 = UpdateByte(Key2, uint8_t(Key1 >> 24));
}

uint8_t TZipPasswordStream::KeyStreamByte() const {
    uint32_t t = (Key2 | 2) & 65535;
    return uint8_t((t * (t ^ 1)) >> 8);
}

uint8_t TZipPasswordStream::DecryptByte(uint8_t cipher) {
    uint8_t plain = cipher ^ KeyStreamByte();
    UpdateKeys(plain);
    return plain;
}

uint8_t TZipPasswordStream::EncryptByte(uint8_t plain) {
    uint8_t key = KeyStreamByte();
    UpdateKeys(plain);
    return plain ^ key;
}

int32_t TZipPasswordStream::Read(TByteSpan buffer, int32_t offset, int32_t count) {
    if (!HeaderDone) {
        uint8_t header[HeaderSize];
        int32_t got = 0;
        while (got < HeaderSize) {
            int32_t n = Target->Read(header + got, HeaderSize - got);
            if (n <= 0) break;
            got += n;
        }
        for (int32_t i = 0; i < got; ++i) header[i] = DecryptByte(header[i]);
        HeaderDone = true;
        FHeaderMatched = got == HeaderSize && header[HeaderSize - 1] == CheckValue;
        // No header, no data.
        if (got < HeaderSize) return 0;
    }
    count = Clamp(buffer.size(), offset, count);
    if (count == 0) return 0;
    int32_t n = Target->Read(buffer, offset, count);
    for (int32_t i = 0; i < n; ++i) buffer[size_t(offset + i)] = DecryptByte(buffer[size_t(offset + i)]);
    return std::max(n, 0);
}

int32_t TZipPasswordStream::Write(TConstByteSpan buffer, int32_t offset, int32_t count) {
    count = Clamp(buffer.size(), offset, count);
    if (!HeaderDone) {
        uint8_t header[HeaderSize];
        for (int32_t i = 0; i < HeaderSize - 2; ++i) header[i] = RandomByte();
        header[HeaderSize - 2] = uint8_t(CheckValue);
        header[HeaderSize - 1] = uint8_t(CheckValue >> 8);
        for (uint8_t& b : header) b = EncryptByte(b);
        // A header cut short would make the whole entry undecryptable.
        Target->WriteBuffer(header, HeaderSize);
        HeaderDone = true;
    }
    int32_t total = 0;
    if (count > 0) WorkBuffer.resize(size_t(std::min(count, PieceSize)));
    while (total < count) {
        int32_t piece = std::min(count - total, PieceSize);
        const uint8_t* source = buffer.data() + offset + total;
        for (int32_t i = 0; i < piece; ++i) WorkBuffer[size_t(i)] = EncryptByte(source[i]);
        // The keys have moved on: the piece goes whole or not at all.
        Target->WriteBuffer(WorkBuffer, 0, piece);
        total += piece;
    }
    std::vector<uint8_t>().swap(WorkBuffer);
    return total;
}
