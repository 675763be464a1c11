#include <gtest/gtest.h>
#include <map>
#include "BundleRules.h"
#include "Formats/CodeSignature.h"
#include "Foundation/CodePages.h"
#include "Resealing.h"
#include "support/MachOFiles.h"

namespace {

// A bundle held in memory: files by their '\'-separated paths.
class TBundleInMemory : public TBundleView {
public:
    std::map<WideString, std::string> Files;

    int32_t FilesAt(const WideString& path) override { return int32_t(Files.count(path)); }
    bool LinkAt(const WideString&) override { return false; }
    bool HoldsPayload(const WideString& path, TResourceStream& payload) override {
        return Files[path] == std::string(reinterpret_cast<const char*>(payload.Memory()), size_t(payload.GetSize()));
    }
    AnsiString Shown(const WideString& path) override { return WideToUtf8(path); }
    bool FolderAt(const WideString& path) override { return !Below(path, true).empty() || !Below(path, false).empty(); }
    std::vector<WideString> FilesIn(const WideString& folder) override { return Below(folder, false); }
    std::vector<WideString> FoldersIn(const WideString& folder) override { return Below(folder, true); }
    bool Read(const WideString& path, const std::function<void(TStream& data)>& read) override {
        if (!Files.count(path)) return false;
        read(*Stream(Files[path]));
        return true;
    }

    static TRef<TResourceStream> Stream(const std::string& bytes) {
        TRef<TResourceStream> stream = MakeRef<TResourceStream>();
        stream->WriteBuffer(bytes.data(), int32_t(bytes.size()));
        stream->SetPosition(0);
        return stream;
    }

private:
    // The names right below folder: of folders, or of files.
    std::vector<WideString> Below(const WideString& folder, bool folders) {
        std::vector<WideString> names;
        const WideString prefix = folder + u"\\";
        for (const auto& [path, bytes] : Files) {
            if (path.compare(0, prefix.size(), prefix) != 0) continue;
            const size_t end = path.find(u'\\', prefix.size());
            const WideString name = path.substr(prefix.size(), end - prefix.size());
            if ((end != WideString::npos) == folders && (names.empty() || names.back() != name)) names.push_back(name);
        }
        return names;
    }
};

std::string Signed(const std::string& program) {
    TSignatureInputs linker;
    linker.Identifier = "viewer";
    linker.Requirements = false;
    std::string bytes = program;
    for (const TFilePatch& patch : PlanAdHocSignature(*TBundleInMemory::Stream(program), linker).Patches)
        bytes.replace(size_t(patch.Offset), patch.Bytes.size(), patch.Bytes);
    return bytes;
}

std::string Bytes(TResourceStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.GetSize()));
}

}  // namespace

// A signed show whose Viewer.app has no seal: a signed payload of Intel
// code only is written unsigned (a Mac runs it so, and a signature without
// a seal would be rejected), and is then the show's fixed viewer; one with
// code for Apple silicon, which runs only signed, is left as the payload
// is, with the cause.
TEST(BundleRules, AViewerAppWithoutASealTakesAnIntelViewerUnsigned) {
    TBundleInMemory show;
    show.Files[u"Contents\\Info.plist"] = "<plist/>";
    show.Files[u"Contents\\MacOS\\Show"] = Signed(Thin(MachOCpu::X86_64, true, false, 0x800));
    show.Files[MarkerInBundle] = "slides";
    show.Files[ViewerInBundle] = Thin(MachOCpu::X86_64, true, false, 0x800, false);

    const std::string intel = Signed(Thin(MachOCpu::X86_64, true, false, 0x800));
    TRef<TResourceStream> payload = TBundleInMemory::Stream(intel);
    TResealing resealing;
    ASSERT_EQ(JudgeBundle(show, *payload, resealing), TBundleState::NeedsFix);
    EXPECT_TRUE(resealing.Resealed && resealing.Signed && !resealing.SignedAgain && resealing.Failure.empty());
    const std::string viewer = Bytes(*resealing.Viewer);
    EXPECT_EQ(viewer.size(), intel.size());
    EXPECT_FALSE(ReadMachO(*TBundleInMemory::Stream(viewer)).Signed());
    show.Files[ViewerInBundle] = viewer;
    EXPECT_EQ(JudgeBundle(show, *payload, resealing), TBundleState::AlreadyFixed);

    payload =
        TBundleInMemory::Stream(Signed(Universal({{MachOCpu::X86_64, Thin(MachOCpu::X86_64, true, false, 0x800)},
                                                  {MachOCpu::Arm64, Thin(MachOCpu::Arm64, true, false, 0x800)}})));
    ASSERT_EQ(JudgeBundle(show, *payload, resealing), TBundleState::NeedsFix);
    EXPECT_NE(resealing.Failure.find("Apple silicon"), std::string::npos) << resealing.Failure;
    EXPECT_EQ(resealing.Viewer.Get(), payload.Get());
}
