#include <gtest/gtest.h>
#include <stdexcept>
#include "FileSystem/FileAPI.h"
#include "Foundation/ErrorReport.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"
#include "Streams/FileStream.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"
#include "support/TestStreams.h"

namespace {

std::vector<uint8_t> FileBytes(const WideString& path) {
    auto stream = MakeRef<TFileStream>(path, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
    return ContentsOf(stream.Get());
}

void MakeFile(const WideString& path, const std::vector<uint8_t>& bytes) {
    auto stream = MakeRef<TFileStream>(path, FileAccess::ReadWrite, FileShare::None, FileDisposition::CreateAlways);
    if (!bytes.empty()) {
        ASSERT_EQ(stream->Write(bytes.data(), (int32_t)bytes.size()), (int32_t)bytes.size());
    }
}

// The file system with chosen handle operations failing.
class TFailingFileAPI : public TFileAPI {
public:
    enum class How { Code, Throw, Short } Mode = How::Code;
    bool FailSeek = false, FailSize = false, FailRead = false, FailWrite = false;

    int64_t FileSeek(TNativeHandle file, int64_t distance, uint32_t origin) override {
        if (FailSeek) return Fail(-1);
        return TFileAPI::FileSeek(file, distance, origin);
    }
    int64_t GetFileSize(TNativeHandle file) override {
        if (FailSize) return Fail(-1);
        return TFileAPI::GetFileSize(file);
    }
    bool ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) override {
        if (FailRead) return Fail(false);
        return TFileAPI::ReadFile(file, buffer, count, done);
    }
    bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
        if (FailWrite && Mode == How::Short) return TFileAPI::WriteFile(file, buffer, count / 2, done);
        if (FailWrite) return Fail(false);
        return TFileAPI::WriteFile(file, buffer, count, done);
    }

private:
    template <class T>
    T Fail(T result) {
        if (Mode == How::Throw) throw std::runtime_error("simulated");
        SetLastErrorCode(WinError::DiskFull);
        return result;
    }
};

class FileStreamTest : public testing::Test {
protected:
    TScratchFolder Folder;
    WideString Path = Folder / u"data.bin";
};

TEST_F(FileStreamTest, WritesReadsAndPositionsLikeAFile) {
    auto stream = MakeRef<TFileStream>(Path);
    EXPECT_EQ(stream->FileName(), Path);
    EXPECT_EQ(stream->Access(), FileAccess::ReadWrite);
    EXPECT_EQ(stream->ShareMode(), FileShare::Read);
    std::vector<uint8_t> bytes = MixedBytes(5000);
    EXPECT_EQ(stream->Write(bytes, 0, 5000), 5000);
    EXPECT_EQ(stream->GetPosition(), 5000);
    EXPECT_EQ(stream->GetSize(), 5000);
    stream->SetPosition(100);
    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(stream->Read(buffer, 2, 8), 8);
    EXPECT_TRUE(std::equal(buffer.begin() + 2, buffer.end(), bytes.begin() + 100));
    EXPECT_EQ(stream->GetRemaining(), 5000 - 108);
    // Read never fills past the caller's buffer.
    EXPECT_EQ(stream->Read(buffer, 4, 100), 6);
    EXPECT_EQ(stream->Read(buffer, 10, 1), 0);
    // SetSize keeps the position; Clear empties and rewinds.
    stream->SetSize(50);
    EXPECT_EQ(stream->GetSize(), 50);
    EXPECT_EQ(stream->GetPosition(), 114);
    stream->Clear();
    EXPECT_EQ(stream->GetSize(), 0);
    EXPECT_EQ(stream->GetPosition(), 0);
}

TEST_F(FileStreamTest, TheDefaultOpenMakesOrKeepsTheFile) {
    MakeFile(Path, BytesOf("kept"));
    {
        auto stream = MakeRef<TFileStream>(Path);
        EXPECT_EQ(stream->GetSize(), 4);
    }
    auto fresh = MakeRef<TFileStream>(Folder / u"new.bin");
    EXPECT_EQ(fresh->GetSize(), 0);
    EXPECT_TRUE(FileExists(Folder / u"new.bin"));
}

TEST_F(FileStreamTest, OpenFailureNamesTheFileAndLeavesNoHandle) {
    WideString missing = Folder / u"missing.bin";
    try {
        MakeRef<TFileStream>(missing, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting);
        FAIL() << "opened a missing file";
    } catch (const EFileOpenError& e) {
        EXPECT_EQ(e.ErrorCode, WinError::FileNotFound);
        EXPECT_NE(std::string(e.what()).find("missing.bin"), std::string::npos) << e.what();
    }
    // Reopening an open stream closes the first file; a failure leaves none.
    auto stream = MakeRef<TFileStream>(Path);
    EXPECT_THROW(stream->Open(missing, FileAccess::Read, FileShare::Read, FileDisposition::OpenExisting),
                 EFileOpenError);
    EXPECT_EQ(stream->Handle(), InvalidNativeHandle);
    EXPECT_EQ(stream->FileName(), u"");
}

TEST_F(FileStreamTest, AClosedStreamRaisesStreamErrorsAndCopiesNothing) {
    auto stream = MakeRef<TFileStream>();
    EXPECT_EQ(stream->Handle(), InvalidNativeHandle);
    EXPECT_THROW(stream->GetSize(), EStreamError);
    EXPECT_THROW(stream->GetPosition(), EStreamError);
    EXPECT_THROW(stream->SetPosition(3), EStreamSeekError);
    EXPECT_THROW(stream->Read(Path.data(), 2), EStreamReadError);
    EXPECT_NO_THROW(stream->Clear());
    auto source = MakeRef<TMemoryStream>();
    FillStream(source.Get(), BytesOf("abc"));
    EXPECT_EQ(stream->CopyFrom(source.Get(), 3), 0);
    stream->Close();
}

TEST_F(FileStreamTest, FileErrorsBecomeStreamErrorsWithTheSameText) {
    auto stream = MakeRef<TFileStream>(Path);
    stream->Write("abcdef", 6);
    auto api = MakeRef<TFailingFileAPI>();
    TFileAPIScope scope(api.Get());
    const std::string diskFull = SystemErrorText(WinError::DiskFull);
    auto expectText = [&](auto step, const char* what) {
        try {
            step();
            ADD_FAILURE() << what << " did not fail";
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), diskFull) << what;
        }
    };
    api->FailSeek = true;
    EXPECT_THROW(stream->SetPosition(1), EStreamSeekError);
    EXPECT_THROW(stream->GetPosition(), EStreamError);
    expectText([&] { stream->GetPosition(); }, "GetPosition");
    expectText([&] { stream->SetSize(2); }, "SetSize");
    expectText([&] { stream->Clear(); }, "Clear");
    api->FailSeek = false;
    api->FailSize = true;
    expectText([&] { stream->GetSize(); }, "GetSize");
    api->FailSize = false;
    api->FailRead = true;
    stream->SetPosition(0);
    EXPECT_THROW(stream->Read(Path.data(), 2), EStreamReadError);
    api->FailRead = false;
    api->FailWrite = true;
    EXPECT_THROW(stream->Write("x", 1), EStreamWriteError);
    expectText([&] { stream->Write("x", 1); }, "Write");
}

TEST_F(FileStreamTest, OtherFailuresBecomeStreamErrorsWithTheirDefaultText) {
    auto stream = MakeRef<TFileStream>(Path);
    auto api = MakeRef<TFailingFileAPI>();
    api->Mode = TFailingFileAPI::How::Throw;
    TFileAPIScope scope(api.Get());
    api->FailRead = true;
    try {
        stream->Read(Path.data(), 2);
        FAIL();
    } catch (const EStreamReadError& e) {
        EXPECT_STREQ(e.what(), "Tarvix Exception: \"EStreamReadError\"");
    }
    api->FailSeek = true;
    try {
        stream->SetPosition(0);
        FAIL();
    } catch (const EStreamSeekError& e) {
        EXPECT_STREQ(e.what(), "Tarvix Exception: \"EStreamSeekError\"");
    }
}

TEST_F(FileStreamTest, CopyFromMovesLargeAndUnsizedSourcesWhole) {
    auto stream = MakeRef<TFileStream>(Path);
    auto source = MakeRef<TShyStream>();
    std::vector<uint8_t> bytes = MixedBytes(3 * 1048576 + 17);
    FillStream(source.Get(), bytes);
    source->SetPosition(17);
    EXPECT_EQ(stream->CopyFrom(source.Get(), INT64_MAX), (int64_t)bytes.size() - 17);
    EXPECT_LE(source->Reads, 1 + 1);  // the 8 MiB buffer takes it in one piece
    // A count below the source's rest is honoured; unknown sizes read to the end.
    source->SetPosition(0);
    source->HideSize = true;
    source->Limit = 70000;
    stream->Clear();
    EXPECT_EQ(stream->CopyFrom(source.Get(), 100000), 100000);
    EXPECT_EQ(stream->CopyFrom(source.Get(), INT64_MAX), (int64_t)bytes.size() - 100000);
    stream.Reset();
    EXPECT_EQ(FileBytes(Path), bytes);
}

TEST_F(FileStreamTest, CopyFromRaisesWhenTheFileTakesLess) {
    auto stream = MakeRef<TFileStream>(Path);
    auto source = MakeRef<TMemoryStream>();
    FillStream(source.Get(), MixedBytes(1000));
    auto api = MakeRef<TFailingFileAPI>();
    api->Mode = TFailingFileAPI::How::Short;
    api->FailWrite = true;
    TFileAPIScope scope(api.Get());
    EXPECT_THROW(stream->CopyFrom(source.Get(), 1000), EStreamWriteError);
}

TEST_F(FileStreamTest, OpenFileForReadGivesNoneInsteadOfErrors) {
    EXPECT_FALSE(OpenFileForRead(Folder / u"missing.bin"));
    EXPECT_FALSE(OpenFileForRead(Folder.Path()));
    MakeFile(Path, BytesOf("hello"));
    {
        auto locked = MakeRef<TFileStream>(Path, FileAccess::ReadWrite, FileShare::None, FileDisposition::OpenExisting);
        EXPECT_FALSE(OpenFileForRead(Path));
    }
    TRef<TFileStream> stream = OpenFileForRead(Path);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->Access(), FileAccess::Read);
    EXPECT_EQ(ContentsOf(stream.Get()), BytesOf("hello"));
    // Opened for reading only.
    EXPECT_THROW(stream->Write("x", 1), EStreamWriteError);
}

TEST_F(FileStreamTest, OpenFileForWriteMakesAnewOrKeeps) {
    MakeFile(Path, BytesOf("hello"));
    {
        TRef<TFileStream> kept = OpenFileForWrite(Path, false);
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->GetSize(), 5);
        EXPECT_EQ(kept->GetPosition(), 0);
        kept->Write("J", 1);
    }
    EXPECT_EQ(FileBytes(Path), BytesOf("Jello"));
    {
        TRef<TFileStream> fresh = OpenFileForWrite(Path, true);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(fresh->GetSize(), 0);
    }
    EXPECT_FALSE(OpenFileForWrite(JoinPath(Folder / u"no-such-folder", u"x.bin"), true));
}

TEST_F(FileStreamTest, ReadFileOpensResourcesByPrefixAndFilesOtherwise) {
    TRef<TStream> resource = ReadFile(u"RES:ZUVORUDAD.bin");
    ASSERT_TRUE(resource);
    TRef<TStream> same = ReadFile(u"res:ZUVORUDAD");
    ASSERT_TRUE(same);
    EXPECT_EQ(ContentsOf(resource.Get()), ContentsOf(same.Get()));
    EXPECT_GT(resource->GetSize(), 0);
    EXPECT_FALSE(ReadFile(u"RES:MISSING.bin"));
    EXPECT_FALSE(ReadFile(u"RES:"));
    EXPECT_FALSE(ReadFile(Folder / u"missing.bin"));

    MakeFile(Path, BytesOf("file"));
    TRef<TStream> file = ReadFile(Path);
    ASSERT_TRUE(file);
    EXPECT_EQ(ContentsOf(file.Get()), BytesOf("file"));

    TRef<TStream> written = WriteFile(Folder / u"out.bin", true);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->Write("xyz", 3), 3);
}

TEST(FileHooks, UnassignedHooksFailWithAnAssertionNamingThem) {
    RestoreDefaultFileHooks();
    ShownBoxes().clear();
    try {
        ReadFile(u"anything");
        ADD_FAILURE();
    } catch (const EAbort& e) {
        EXPECT_NE(std::string(e.what()).find("ReadFile"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("FileStream"), std::string::npos) << e.what();
    }
    EXPECT_THROW(WriteFile(u"anything", true), EAbort);
    EXPECT_EQ(ShownBoxes().size(), 2u);
    InitFileStreams();
    EXPECT_FALSE(ReadFile(u"RES:MISSING"));
}

}  // namespace
