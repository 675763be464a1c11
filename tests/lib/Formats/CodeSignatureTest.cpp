#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "Formats/CodeSignature.h"
#include "Formats/MachO.h"
#include "Foundation/Sha.h"
#include "support/MachOFiles.h"
#include "support/ScratchFolder.h"

namespace {

TRef<TMemoryStream> StreamOf(const std::string& bytes) {
    TRef<TMemoryStream> stream = MakeRef<TMemoryStream>();
    stream->Write(bytes.data(), int32_t(bytes.size()));
    stream->SetPosition(0);
    return stream;
}
TSigningPlan Plan(const std::string& file, const TSignatureInputs& inputs) {
    return PlanAdHocSignature(*StreamOf(file), inputs);
}
std::string Applied(std::string file, const TSigningPlan& plan) {
    for (const TFilePatch& patch : plan.Patches) file.replace(size_t(patch.Offset), patch.Bytes.size(), patch.Bytes);
    return file;
}

// Each CodeDirectory of the slice's signature at sigAt, hashed again from
// the slice's bytes: page hashes, special slots, codeLimit. The primary
// CodeDirectory comes back for byte comparisons.
std::string CheckSignature(const std::string& slice, size_t sigAt, const TSignatureInputs& inputs) {
    std::string primary;
    const std::string sig = slice.substr(sigAt);
    EXPECT_EQ(Get32(sig, 0), 0xFADE0CC0u);
    for (uint32_t i = 0; i < Get32(sig, 8); ++i) {
        const uint32_t type = Get32(sig, 12 + 8 * i), at = Get32(sig, 16 + 8 * i);
        if (type != 0 && type < 0x1000) continue;
        if (type >= 0x10000) {
            EXPECT_EQ(sig.substr(at, 8), std::string("\xFA\xDE\x0B\x01\0\0\0\x08", 8));
            continue;
        }
        const std::string cd = sig.substr(at, Get32(sig, at + 4));
        if (type == 0) primary = cd;
        const bool sha1 = cd[37] == 1;
        auto hash = [sha1](const std::string& data) { return sha1 ? Sha1Of(data) : Sha256Of(data); };
        const size_t hashSize = sha1 ? 20 : 32, hashOffset = Get32(cd, 16), special = Get32(cd, 24);
        EXPECT_EQ(Get32(cd, 32), sigAt);
        EXPECT_EQ(Get32(cd, 28), (sigAt + 4095) / 4096);
        EXPECT_EQ(cd.substr(Get32(cd, 20)).c_str(), inputs.Identifier);
        for (size_t page = 0; page * 4096 < sigAt; ++page)
            EXPECT_EQ(cd.substr(hashOffset + page * hashSize, hashSize),
                      hash(slice.substr(page * 4096, std::min<size_t>(4096, sigAt - page * 4096))))
                << "page " << page;
        const std::string zero(hashSize, '\0');
        const std::string expected[] = {
            inputs.InfoPlist ? hash(*inputs.InfoPlist) : zero,
            inputs.Requirements ? hash(std::string("\xFA\xDE\x0C\x01\0\0\0\x0C\0\0\0\0", 12)) : zero,
            inputs.Resources ? hash(*inputs.Resources) : zero};
        for (size_t slot = 1; slot <= special; ++slot)
            EXPECT_EQ(cd.substr(hashOffset - slot * hashSize, hashSize), expected[slot - 1]) << "slot " << slot;
    }
    return primary;
}

TSignatureInputs BundleInputs(const std::string& info, const std::string& seal) {
    TSignatureInputs inputs;
    inputs.Identifier = "com.example.show.viewer";
    inputs.InfoPlist = &info;
    inputs.Resources = &seal;
    inputs.HashTypes = {TCodeHashType::Sha256, TCodeHashType::Sha1};
    return inputs;
}

// Every slice of a universal file, 32-bit, big-endian and 64-bit alike, is
// signed in its own room; a signature that holds is kept, one naming other
// resources is not.
TEST(CodeSignature, SignsEverySliceAndKeepsASignatureThatHolds) {
    const std::string file = Universal({{MachOCpu::X86, Thin(MachOCpu::X86, false, false, 0x800)},
                                        {MachOCpu::PowerPC, Thin(MachOCpu::PowerPC, false, true, 0x800)},
                                        {MachOCpu::X86_64, Thin(MachOCpu::X86_64, true, false, 0x800)}});
    const std::string info = "<plist/>", seal = "seal", otherSeal = "other seal";
    const TSignatureInputs inputs = BundleInputs(info, seal);
    const TSigningPlan plan = Plan(file, inputs);
    ASSERT_EQ(plan.Failure, TSigningFailure::None);
    ASSERT_EQ(plan.Patches.size(), 3u);
    const std::string is = Applied(file, plan);
    for (uint64_t slice : {0x1000, 0x4000, 0x7000}) {
        EXPECT_EQ(Get32(CheckSignature(is.substr(slice, 0x2800), 0x2000, inputs), 12), CodeSignFlags::Adhoc);
        EXPECT_EQ(is.substr(slice, 0x2000), file.substr(slice, 0x2000));
    }
    EXPECT_EQ(SignatureHashTypes(*StreamOf(is)), inputs.HashTypes);
    EXPECT_TRUE(Plan(is, inputs).Patches.empty());
    EXPECT_EQ(Plan(is, BundleInputs(info, otherSeal)).Patches.size(), 3u);
}

// Each reason a file cannot be signed in place has its failure.
TEST(CodeSignature, RefusesWhatCannotBeSignedInPlace) {
    EXPECT_EQ(Plan(Thin(MachOCpu::X86_64, true, false, 0x40), {}).Failure, TSigningFailure::NoRoom);
    EXPECT_EQ(Plan(Thin(MachOCpu::X86_64, true, false, 0x800, false), {}).Failure, TSigningFailure::NoSignature);
    EXPECT_EQ(Plan(Thin(MachOCpu::X86_64, true, false, 0x800) + "tail", {}).Failure, TSigningFailure::Layout);
    std::string inside = Thin(MachOCpu::X86_64, true, false, 0x800);
    inside[32 + 72 + 48] = 0x10;  // __LINKEDIT's filesize beyond the signature
    EXPECT_EQ(Plan(inside, {}).Failure, TSigningFailure::Layout);
    EXPECT_EQ(Plan("#!/bin/sh\n", {}).Failure, TSigningFailure::NotMachO);
    TSigningPlan unsigned_ = PlanUnsigned(*StreamOf(Thin(MachOCpu::Arm64, true, false, 0x800, false)));
    EXPECT_TRUE(unsigned_.Failure == TSigningFailure::None && unsigned_.Patches.empty());
}

// Cut at every length of its headers, or any header byte flipped: a
// failure or patches inside the file, never a read or write beyond it.
TEST(CodeSignature, HostileHeadersFailWithoutHarm) {
    const std::string file = Universal({{MachOCpu::X86, Thin(MachOCpu::X86, false, false, 0x800)},
                                        {MachOCpu::X86_64, Thin(MachOCpu::X86_64, true, false, 0x800)}});
    const std::string info = "<plist/>", seal = "seal";
    auto within = [](const std::string& bytes, const TSigningPlan& plan) {
        for (const TFilePatch& patch : plan.Patches)
            if (patch.Offset + patch.Bytes.size() > bytes.size()) return false;
        return true;
    };
    auto probe = [&](const std::string& bytes) {
        const TSigningPlan plan = Plan(bytes, BundleInputs(info, seal));
        EXPECT_TRUE(within(bytes, plan));
        EXPECT_TRUE(within(bytes, PlanUnsigned(*StreamOf(bytes))));
        SignatureHashTypes(*StreamOf(bytes));
        return WithSignatureRoom(bytes, 40).Failure;
    };
    std::vector<size_t> cuts{0x1000 + 0x2100, 0x4000 + 0x2800 - 1};
    for (size_t cut = 0; cut < 0x60; ++cut) cuts.insert(cuts.end(), {cut, 0x1000 + cut, 0x1060 + cut});
    for (size_t cut : cuts) {
        EXPECT_NE(Plan(file.substr(0, cut), {}).Failure, TSigningFailure::None) << cut;
        EXPECT_NE(probe(file.substr(0, cut)), TSigningFailure::None) << cut;
    }
    for (size_t at : std::vector<size_t>{0, 4, 8, 12, 16, 20, 28, 32, 36, 40, 44}) {
        for (size_t base : {size_t(0), size_t(0x1000)}) {
            for (char flip : {'\xFF', '\x7F', '\x01'}) {
                std::string bad = file;
                bad[base + at] ^= flip;
                probe(bad);
            }
        }
    }
    for (size_t at = 0x1000 + 28; at < 0x1000 + 28 + 2 * 56 + 16; at += 4) {
        std::string bad = file;
        bad[at + 3] ^= '\x80';
        bad[at] ^= '\x40';
        probe(bad);
    }
}

// Unsigning takes the command out and zeros the signature: size, segments
// and every other byte stay.
TEST(CodeSignature, UnsigningKeepsSizeAndLayout) {
    const std::string info, seal;
    const std::string file = Thin(MachOCpu::PowerPC, false, true, 0x800);
    const std::string is = Applied(file, PlanUnsigned(*StreamOf(Applied(file, Plan(file, BundleInputs(info, seal))))));
    ASSERT_EQ(is.size(), file.size());
    EXPECT_EQ(Get32(is, 16), 2u);
    EXPECT_EQ(Get32(is, 20), 2u * 56);
    EXPECT_EQ(is.substr(28 + 2 * 56, 16), std::string(16, '\0'));
    EXPECT_EQ(is.substr(0x2000), std::string(0x800, '\0'));
    EXPECT_EQ(is.substr(28, 2 * 56), file.substr(28, 2 * 56));
    EXPECT_EQ(is.substr(0x100, 0x1F00), file.substr(0x100, 0x1F00));
    EXPECT_FALSE(ReadMachO(*StreamOf(is)).Signed());
}

// A file without room grows where it may; a second time it has room.
TEST(CodeSignature, MakesRoomForTheLargestSignature) {
    const std::string info, seal;
    TSignatureInputs inputs = BundleInputs(info, seal);
    inputs.Identifier.assign(100, 'i');
    for (const std::string& file : {Thin(MachOCpu::Arm64, true, false, 0x10),
                                    Universal({{MachOCpu::X86, Thin(MachOCpu::X86, false, false, 0x10)},
                                               {MachOCpu::Arm64, Thin(MachOCpu::Arm64, true, false, 0x10)}})}) {
        const TRoomyFile roomy = WithSignatureRoom(file, 100);
        ASSERT_TRUE(roomy.Grown && roomy.Failure == TSigningFailure::None);
        EXPECT_EQ(ReadMachO(*StreamOf(roomy.Bytes)).Slices.size(), ReadMachO(*StreamOf(file)).Slices.size());
        EXPECT_EQ(Plan(roomy.Bytes, inputs).Failure, TSigningFailure::None);
        EXPECT_FALSE(WithSignatureRoom(roomy.Bytes, 100).Grown);
    }
    EXPECT_EQ(WithSignatureRoom(Thin(MachOCpu::X86, false, false, 0x10) + "x", 10).Failure, TSigningFailure::Layout);
}

// The linker's own ad-hoc signature, of x86_64 and arm64 programs and both
// in one universal file: the same CodeDirectory with its inputs, a
// consistent one with ours. The tools are Debian's clang-14 and lld-14.
TEST(CodeSignature, MatchesTheLinkersSignature) {
    if (std::system("command -v clang-14 ld64.lld-14 llvm-lipo-14 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "clang-14, lld-14 or llvm-14 missing";
    TScratchFolder scratch;
    const std::string dir = Narrow(scratch.Path());
    scratch.Write(scratch / u"t.c", "int main(void) { return 0; }\n");
    // lld pads the identifier to put the hashes 16-aligned: 15 bytes need none.
    const std::string name = "nvx-linked-prog";
    const std::string build =
        "cd '" + dir + "' && for a in x86_64:macos10.12:10.12 arm64:macos11:11.0; do arch=${a%%:*}; v=${a##*:}; " +
        "t=${a#*:}; t=${t%:*}; mkdir -p $arch && clang-14 -target $arch-apple-$t -c t.c -o $arch/t.o && " +
        "ld64.lld-14 -arch $arch -platform_version macos $v $v -adhoc_codesign -o $arch/" + name + " $arch/t.o " +
        "|| exit 1; done && llvm-lipo-14 -create x86_64/" + name + " arm64/" + name + " -output " + name;
    ASSERT_EQ(std::system(build.c_str()), 0);
    for (const char16_t* arch : {u"x86_64/", u"arm64/"}) {
        const std::string linked = scratch.Read(scratch / (arch + std::u16string(u"nvx-linked-prog")));
        TRef<TMemoryStream> stream = StreamOf(linked);
        TForwardReader reader(*stream);
        TMachOHeaders headers;
        ASSERT_TRUE(ReadMachOHeaders(reader, 0, headers));
        const size_t at = headers.SignatureOffset, cdAt = at + Get32(linked, at + 16);
        const std::string linkers = linked.substr(cdAt, Get32(linked, cdAt + 4));
        TSignatureInputs inputs;
        inputs.Identifier = linkers.substr(Get32(linkers, 20)).c_str();
        EXPECT_EQ(inputs.Identifier, name);
        inputs.Flags = CodeSignFlags::Adhoc | CodeSignFlags::LinkerSigned;
        inputs.Requirements = false;
        EXPECT_TRUE(Plan(linked, inputs).Patches.empty());
        const std::string blank = linked.substr(0, at) + std::string(linked.size() - at, '\0');
        const std::string ours = Applied(blank, Plan(blank, inputs));
        EXPECT_EQ(CheckSignature(ours, at, inputs), linkers);

        const TRoomyFile roomy = WithSignatureRoom(linked, 40);
        const TSigningPlan plan = Plan(roomy.Bytes, {});
        ASSERT_EQ(plan.Failure, TSigningFailure::None);
        CheckSignature(Applied(roomy.Bytes, plan), at, {});
    }
    const std::string universal = scratch.Read(scratch / u"nvx-linked-prog");
    const TRoomyFile roomy = WithSignatureRoom(universal, 40);
    ASSERT_TRUE(roomy.Grown);
    const std::string info = "<plist/>", seal = "seal";
    const std::string is = Applied(roomy.Bytes, Plan(roomy.Bytes, BundleInputs(info, seal)));
    EXPECT_EQ(SignatureHashTypes(*StreamOf(is)).size(), 2u);
    EXPECT_EQ(ReadMachO(*StreamOf(is)).Slices.size(), 2u);
}

}  // namespace
