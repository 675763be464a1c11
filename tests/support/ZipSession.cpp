#include "support/ZipSession.h"
#include <gtest/gtest.h>
#include <algorithm>
#include "support/ZipBuilder.h"

TZipSession::TZipSession(TStream* stream) {
    Archive->CallBack = CallBack.Get();
    Archive->SetStream(stream);
    CallBack->OnPackItem = [this](TArchiveCallBack* sender, TStream* target) {
        const std::string& data = Sources.at(sender->CurrentItem->Path());
        for (size_t done = 0; done < data.size();) {
            int32_t piece = int32_t(std::min<size_t>(data.size() - done, 65536));
            int32_t n = target->Write(data.data() + done, piece);
            if (n <= 0) throw EStreamWriteError();
            done += size_t(n);
        }
    };
    CallBack->OnExtractItem = [this](TArchiveCallBack* sender, TStream* source) {
        std::string& data = Extracted[sender->CurrentItem->Path()];
        data.clear();
        // Unpack streams may go on past the entry's data: its size is the limit.
        char buffer[65536];
        for (int64_t left = source->GetSize(); left > 0;) {
            int32_t n = source->Read(buffer, int32_t(std::min<int64_t>(left, sizeof buffer)));
            if (n <= 0) break;
            data.append(buffer, size_t(n));
            left -= n;
        }
    };
}

TArchItem* TZipSession::Add(const WideString& path, const std::string& data) {
    Sources[path] = data;
    return Archive->AddFile(path, int64_t(data.size()));
}

TArchItem* TZipSession::Find(const WideString& path) { return Archive->FindOrCreate(path, FindMode::Find); }

std::map<WideString, std::string> TZipSession::ExtractAll() {
    Extracted.clear();
    Archive->MarkExtract();
    Archive->Extract();
    return Extracted;
}

void TZipSession::CollectErrors() {
    auto collect = [this](TArchiveCallBack* sender, const AnsiString& message) {
        std::string path;
        for (WideChar c : sender->CurrentItem->Path()) path += char(c);
        Errors.push_back(path + ": " + message);
    };
    CallBack->OnError = collect;
    CallBack->OnHeaderError = collect;
}

TParsedZip ParseZip(const std::vector<uint8_t>& bytes) {
    TParsedZip zip;
    if (bytes.size() < 22) {
        ADD_FAILURE() << "no room for an end record";
        return zip;
    }
    size_t end = bytes.size() - 22;
    EXPECT_EQ(Get32At(bytes, end), 0x06054B50u) << "end record not in the last 22 bytes";
    uint16_t count = Get16At(bytes, end + 10);
    EXPECT_EQ(Get16At(bytes, end + 8), count);
    zip.DirectorySize = Get32At(bytes, end + 12);
    zip.DirectoryOffset = Get32At(bytes, end + 16);
    EXPECT_EQ(size_t(zip.DirectoryOffset) + zip.DirectorySize, end) << "directory not right before the end record";
    size_t at = zip.DirectoryOffset;
    uint32_t dataEnd = 0;
    for (uint16_t i = 0; i < count && at + 46 <= end; ++i) {
        EXPECT_EQ(Get32At(bytes, at), 0x02014B50u) << "central header " << i;
        TParsedEntry e;
        e.Host = bytes[at + 5];
        e.Flags = Get16At(bytes, at + 8);
        e.Method = Get16At(bytes, at + 10);
        e.Crc = Get32At(bytes, at + 16);
        e.PackedSize = Get32At(bytes, at + 20);
        e.Size = Get32At(bytes, at + 24);
        uint16_t nameLength = Get16At(bytes, at + 28);
        size_t extraAndComment = size_t(Get16At(bytes, at + 30)) + Get16At(bytes, at + 32);
        e.External = Get32At(bytes, at + 38);
        e.LocalOffset = Get32At(bytes, at + 42);
        e.Name.assign(bytes.begin() + long(at + 46), bytes.begin() + long(at + 46 + nameLength));
        at += 46 + nameLength + extraAndComment;

        size_t local = e.LocalOffset;
        EXPECT_EQ(Get32At(bytes, local), 0x04034B50u) << e.Name;
        EXPECT_EQ(Get16At(bytes, local + 6), e.Flags) << e.Name;
        EXPECT_EQ(Get16At(bytes, local + 8), e.Method) << e.Name;
        uint16_t localName = Get16At(bytes, local + 26);
        EXPECT_EQ(std::string(bytes.begin() + long(local + 30), bytes.begin() + long(local + 30 + localName)), e.Name);
        uint32_t block = 30 + localName + Get16At(bytes, local + 28) + e.PackedSize;
        if (e.Flags & 8) {
            size_t descriptor = local + block;
            EXPECT_EQ(Get32At(bytes, descriptor), 0x08074B50u) << e.Name;
            EXPECT_EQ(Get32At(bytes, descriptor + 4), e.Crc) << e.Name;
            EXPECT_EQ(Get32At(bytes, descriptor + 8), e.PackedSize) << e.Name;
            EXPECT_EQ(Get32At(bytes, descriptor + 12), e.Size) << e.Name;
            block += 16;
        } else {
            EXPECT_EQ(Get32At(bytes, local + 14), e.Crc) << e.Name;
            EXPECT_EQ(Get32At(bytes, local + 18), e.PackedSize) << e.Name;
            EXPECT_EQ(Get32At(bytes, local + 22), e.Size) << e.Name;
        }
        dataEnd = std::max(dataEnd, uint32_t(local + block));
        zip.BlockLengths.push_back(block);
        zip.Entries.push_back(e);
    }
    EXPECT_EQ(zip.Entries.size(), count);
    EXPECT_EQ(at, end) << "directory size disagrees with its records";
    EXPECT_EQ(dataEnd, zip.DirectoryOffset) << "gap between the data and the directory";
    return zip;
}
