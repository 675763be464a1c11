#include <gtest/gtest.h>
#include "Archivers/Zip/ZipPasswordStream.h"
#include "Foundation/Exceptions.h"
#include "support/TestStreams.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TRef<TZipPasswordStream> Cipher(TStream* target, const WideString& password) {
    auto stream = MakeRef<TZipPasswordStream>(target);
    stream->SetPassword(password);
    stream->Reset();
    return stream;
}

std::vector<uint8_t> ReadAll(TStream* stream, int32_t piece) {
    std::vector<uint8_t> out, buffer(static_cast<size_t>(piece));
    for (int32_t n; (n = stream->Read(buffer, 0, piece)) > 0;)
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    return out;
}

TEST(ZipPasswordStream, AnEmptyPasswordLeavesTheInitialKeys) {
    auto stream = MakeRef<TZipPasswordStream>();
    stream->Key0 = stream->Key1 = stream->Key2 = 0;
    stream->HeaderDone = true;
    stream->Reset();
    EXPECT_EQ(stream->Key0, 305419896u);
    EXPECT_EQ(stream->Key1, 591751049u);
    EXPECT_EQ(stream->Key2, 878082192u);
    EXPECT_FALSE(stream->HeaderDone);
    stream->SetPassword(u"x");
    stream->Reset();
    EXPECT_NE(stream->Key0, 305419896u);
}

// An entry that Info-ZIP's zip -0 -P pass stored: data descriptor flag set,
// so the check byte is the high byte of its DOS time 0x1DAB.
TEST(ZipPasswordStream, DecryptsAnEntryMadeByAnotherTool) {
    auto source = MakeRef<TMemoryStream>();
    FillStream(source.Get(), FromHex("b652f53b9e979a2cd1fc4f2327426990f97c50ac0e31eca454393c3f049f8c33672074f5fa4dcde2"
                                     "dfcdb41578"));
    auto stream = Cipher(source.Get(), u"pass");
    stream->CheckValue = 0x1D;
    std::vector<uint8_t> plain = ReadAll(stream.Get(), 7);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "Secret data for the cipher test.\n");
    EXPECT_TRUE(stream->HeaderMatched());

    // A wrong password reads on and is found out by the CRC later.
    source->SetPosition(0);
    auto wrong = Cipher(source.Get(), u"past");
    wrong->CheckValue = 0x1D;
    EXPECT_EQ(ReadAll(wrong.Get(), 100).size(), 33u);
}

TEST(ZipPasswordStream, WhatIsWrittenReadsBackWithTheSamePassword) {
    std::vector<uint8_t> data = MixedBytes(3 * 1048576 + 17, 5);
    auto target = MakeRef<TMemoryStream>();
    auto writer = Cipher(target.Get(), u"s\u00E9same");
    writer->CheckValue = 0xA1B2;
    EXPECT_EQ(writer->Write(data.data(), 1000), 1000);
    EXPECT_EQ(writer->Write(data.data() + 1000, int32_t(data.size() - 1000)), int32_t(data.size() - 1000));
    EXPECT_TRUE(writer->WorkBuffer.empty());
    ASSERT_EQ(target->GetSize(), int64_t(data.size()) + 12);
    std::vector<uint8_t> stored = ContentsOf(target.Get());
    EXPECT_FALSE(std::equal(data.begin(), data.begin() + 1000, stored.begin() + 12));

    target->SetPosition(0);
    auto reader = Cipher(target.Get(), u"s\u00E9same");
    reader->CheckValue = 0xA1;
    EXPECT_EQ(ReadAll(reader.Get(), 65536), data);
    EXPECT_TRUE(reader->HeaderMatched());

    // Each Reset starts a new header: the same bytes encrypt differently.
    target->Clear();
    writer->Reset();
    writer->Write(data.data(), 64);
    std::vector<uint8_t> again = ContentsOf(target.Get());
    EXPECT_FALSE(std::equal(again.begin(), again.end(), stored.begin()));
}

TEST(ZipPasswordStream, TheHeaderIsWrittenEvenForNoData) {
    auto target = MakeRef<TMemoryStream>();
    auto writer = Cipher(target.Get(), u"pw");
    writer->CheckValue = 0x5A00;
    EXPECT_EQ(writer->Write(nullptr, 0), 0);
    EXPECT_EQ(target->GetSize(), 12);
    EXPECT_TRUE(writer->HeaderDone);
    EXPECT_EQ(writer->Write(nullptr, 0), 0);
    EXPECT_EQ(target->GetSize(), 12);

    target->SetPosition(0);
    auto reader = Cipher(target.Get(), u"pw");
    reader->CheckValue = 0x5A;
    uint8_t byte;
    EXPECT_EQ(reader->Read(&byte, 1), 0);
    EXPECT_TRUE(reader->HeaderMatched());
    EXPECT_TRUE(reader->HeaderDone);

    // Fewer than 12 bytes: no data, no match.
    auto shortSource = MakeRef<TMemoryStream>();
    FillStream(shortSource.Get(), BytesOf("tiny"));
    auto truncated = Cipher(shortSource.Get(), u"pw");
    EXPECT_EQ(truncated->Read(&byte, 1), 0);
    EXPECT_FALSE(truncated->HeaderMatched());
}

TEST(ZipPasswordStream, ShortTargetsAndTheInheritedChecksum) {
    auto target = MakeRef<TShortWriter>();
    auto writer = Cipher(target.Get(), u"pw");
    // Short writes are taken up again: the keys have moved on already.
    target->Limit = 5;
    EXPECT_EQ(writer->Write("abcdefgh", 8), 8);
    EXPECT_EQ(target->GetSize(), 20);

    target->Clear();
    writer->Reset();
    writer->Write("abc", 3);
    target->Limit = 0;
    EXPECT_THROW(writer->Write("defgh", 5), EStreamWriteError);
    // Nothing of what passes through counts in the CRC.
    EXPECT_EQ(writer->GetCrc(), 0u);

    auto source = MakeRef<TShyStream>();
    FillStream(source.Get(), std::vector<uint8_t>(40, 7));
    source->Limit = 5;
    auto reader = Cipher(source.Get(), u"pw");
    uint8_t buffer[40];
    EXPECT_EQ(reader->Read(buffer, 40), 5);
    EXPECT_EQ(reader->Read(buffer, 40), 5);
    EXPECT_EQ(reader->GetCrc(), 0u);
}

TEST(ZipPasswordStream, PasswordsAreEncodedAsTheArchiveSays) {
    bool utf8 = true;
    auto stream = MakeRef<TZipPasswordStream>(nullptr, &utf8);
    stream->SetPassword(u"\u00FC");
    EXPECT_EQ(stream->Password, "\xC3\xBC");
    utf8 = false;
    stream->SetPassword(u"\u00FC");
    EXPECT_EQ(stream->Password, WideToOem(u"\u00FC"));
    auto plain = MakeRef<TZipPasswordStream>();
    plain->SetPassword(u"\u00FC");
    EXPECT_EQ(plain->Password, WideToOem(u"\u00FC"));
}

}  // namespace
