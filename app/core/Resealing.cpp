#include "Resealing.h"
#include <cstring>
#include "Formats/CodeResources.h"
#include "Formats/PropertyList.h"
#include "Foundation/Sha.h"
#include "Payload.h"

namespace {

constexpr char16_t ViewerBundle[] = u"Contents\\Resources\\Viewer.app";
// The viewer as the show's seal names it: below Contents, '/'-separated.
constexpr char ViewerInSeal[] = "Resources/Viewer.app/Contents/MacOS/ZuvOrudad5";

WideString InViewerBundle(const char16_t* path) { return WideString(ViewerBundle) + u"\\" + path; }

// What a Windows archiver makes of a framework's links: files holding the
// link's target, which no seal or loader takes for the link.
bool FrameworkLinksFlattened(TBundleView& view) {
    for (const WideString& name : view.FoldersIn(u"Contents\\Frameworks")) {
        const WideString current = u"Contents\\Frameworks\\" + name + u"\\Versions\\Current";
        if (view.FilesAt(current) > 0 && !view.LinkAt(current)) return true;
    }
    return false;
}

// Where a _CodeSignature folder holds more than the seal, the code holds a
// signature of another kind (a detached one, say) that is not rewritten.
bool SealFolderHoldsMore(TBundleView& view, const WideString& folder) {
    if (!view.FolderAt(folder)) return false;
    const std::vector<WideString> files = view.FilesIn(folder);
    return files.size() != 1 || files.front() != u"CodeResources";
}

// The hash kinds a program's signature is to use under a seal: the seal's
// own, SHA-256 first; where it names no file by hash (a Viewer.app of
// nothing but code), those of the program's old signature.
std::vector<TCodeHashType> HashTypesFor(const TSealKinds& kinds, TBundleView& view, const WideString& program) {
    std::vector<TCodeHashType> types;
    if (kinds.Sha256) types.push_back(TCodeHashType::Sha256);
    if (kinds.Sha1) types.push_back(TCodeHashType::Sha1);
    if (types.empty()) view.Read(program, [&types](TStream& data) { types = SignatureHashTypes(data); });
    return types;
}

TRef<TResourceStream> Patched(TResourceStream& payload, const std::vector<TFilePatch>& patches) {
    if (patches.empty()) return TRef<TResourceStream>::Retain(&payload);
    TRef<TResourceStream> viewer = MakeRef<TResourceStream>();
    viewer->SetSize(payload.GetSize());
    std::memcpy(viewer->Memory(), payload.Memory(), size_t(payload.GetSize()));
    ApplyPatches(*viewer, patches);
    return viewer;
}

AnsiString SigningCause(TSigningFailure failure, const char* program) {
    switch (failure) {
    case TSigningFailure::NotMachO: return AnsiString(program) + " is not a Mac program this fix can sign";
    case TSigningFailure::NoSignature: return AnsiString(program) + " has no signature to replace";
    case TSigningFailure::Layout: return AnsiString(program) + "'s signature is not where this fix can replace it";
    case TSigningFailure::NoRoom: return "there is no room in " + AnsiString(program) + "'s signature";
    case TSigningFailure::None: break;
    }
    return AnsiString();
}

class TPlanner {
public:
    TPlanner(TBundleView& view, TResourceStream& payload) : FView(view), FPayload(payload) {}

    TResealing Plan() {
        FPlan.Viewer = TRef<TResourceStream>::Retain(&FPayload);
        const WideString launcher = LauncherPath(FView);
        FPlan.Signed = FView.FolderAt(u"Contents\\_CodeSignature") ||
                       FView.FolderAt(InViewerBundle(u"Contents\\_CodeSignature")) ||
                       ProgramAt(FView, launcher).Signed() || ProgramAt(FView, ViewerInBundle).Signed();
        FPayload.SetPosition(0);
        const TMachOFile payload = ReadMachO(FPayload);
        if (!FPlan.Signed && !payload.Signed()) return std::move(FPlan);
        if (SealFolderHoldsMore(FView, u"Contents\\_CodeSignature") ||
            SealFolderHoldsMore(FView, InViewerBundle(u"Contents\\_CodeSignature")))
            Failed("a _CodeSignature folder holds more than its seal");
        else if (FrameworkLinksFlattened(FView)) Failed("its frameworks' links were made files on the way");
        else FPlan.Resealed = SignViewer(payload) && SealShow(launcher);
        return std::move(FPlan);
    }

private:
    // Nothing beyond the payload as it is.
    void Failed(const AnsiString& cause) {
        FPlan.Failure = cause;
        FPlan.SignedAgain = false;
        FPlan.Viewer = TRef<TResourceStream>::Retain(&FPayload);
        FPlan.Seal.clear();
        FPlan.Launcher.clear();
        FPlan.LauncherPatches.clear();
    }

    // The viewer signed against Viewer.app's Info.plist and seal; where
    // Viewer.app has none, unsigned, which a Mac takes only of Intel code.
    bool SignViewer(const TMachOFile& payload) {
        const WideString sealPath = InViewerBundle(SealInBundle);
        if (FView.FilesAt(sealPath) == 0) {
            if (!payload.Signed()) return true;
            if (payload.Has(MachOCpu::Arm64)) {
                Failed("Viewer.app has no seal, and the new viewer's code for Apple silicon starts only signed");
                return false;
            }
            FPayload.SetPosition(0);
            FPlan.Viewer = Patched(FPayload, PlanUnsigned(FPayload).Patches);
            return true;
        }
        const std::string info = ReadListFile(FView, InViewerBundle(InfoInBundle));
        const std::string seal = ReadListFile(FView, sealPath);
        const TSealKinds kinds = ReadSeal(seal);
        if (!kinds.Readable) {
            Failed("Viewer.app's seal is not in a form this fix reads");
            return false;
        }
        TSignatureInputs inputs;
        inputs.Identifier = PropertyListString(info, "CFBundleIdentifier");
        inputs.InfoPlist = &info;
        inputs.Resources = &seal;
        inputs.HashTypes = HashTypesFor(kinds, FView, ViewerInBundle);
        FPayload.SetPosition(0);
        TSigningPlan signing = PlanAdHocSignature(FPayload, inputs);
        TRef<TResourceStream> base = TRef<TResourceStream>::Retain(&FPayload);
        if (signing.Failure == TSigningFailure::NoRoom)
            if (TRef<TResourceStream> roomy = OpenRoomyPayload()) {
                base = roomy;
                signing = PlanAdHocSignature(*base, inputs);
            }
        if (signing.Failure != TSigningFailure::None) {
            Failed(SigningCause(signing.Failure, "the new viewer"));
            return false;
        }
        FPlan.Viewer = Patched(*base, signing.Patches);
        FPlan.SignedAgain = true;
        return true;
    }

    // The show's seal names the new viewer, and the launcher is signed for
    // the seal anew; a show without a seal keeps its launcher.
    bool SealShow(const WideString& launcher) {
        if (FView.FilesAt(SealInBundle) == 0) return true;
        // Which of two the Mac keeps is not known here.
        if (FView.FilesAt(SealInBundle) > 1 || FView.FilesAt(launcher) > 1) {
            Failed("its seal or program is stored twice, the names differing only in case or Unicode form");
            return false;
        }
        std::string seal = ReadListFile(FView, SealInBundle);
        const TSealKinds kinds = ReadSeal(seal);
        if (!kinds.Readable) {
            Failed("the show's seal is not in a form this fix reads");
            return false;
        }
        TSha1 sha1;
        TSha256 sha256;
        sha1.Update(FPlan.Viewer->Memory(), size_t(FPlan.Viewer->GetSize()));
        sha256.Update(FPlan.Viewer->Memory(), size_t(FPlan.Viewer->GetSize()));
        const auto digest1 = sha1.Final();
        const auto digest256 = sha256.Final();
        if (!ResealFile(seal, ViewerInSeal, std::string(digest1.begin(), digest1.end()),
                        std::string(digest256.begin(), digest256.end()))) {
            Failed("the show's seal names the viewer in a way this fix does not rewrite");
            return false;
        }
        if (launcher.empty()) {
            Failed("the show has no program to sign");
            return false;
        }
        const std::string info = ReadListFile(FView, InfoInBundle);
        TSignatureInputs inputs;
        inputs.Identifier = PropertyListString(info, "CFBundleIdentifier");
        inputs.InfoPlist = &info;
        inputs.Resources = &seal;
        inputs.HashTypes = HashTypesFor(kinds, FView, launcher);
        TSigningPlan signing;
        signing.Failure = TSigningFailure::NotMachO;
        FView.Read(launcher, [&](TStream& data) { signing = PlanAdHocSignature(data, inputs); });
        if (signing.Failure != TSigningFailure::None) {
            Failed(SigningCause(signing.Failure, "the show's program"));
            return false;
        }
        FPlan.Seal = std::move(seal);
        FPlan.Launcher = launcher;
        FPlan.LauncherPatches = signing.Patches;
        FPlan.SignedAgain = true;
        return true;
    }

    TBundleView& FView;
    TResourceStream& FPayload;
    TResealing FPlan;
};

}  // namespace

TResealing PlanResealing(TBundleView& view, TResourceStream& payload) { return TPlanner(view, payload).Plan(); }

void ApplyPatches(TStream& file, const std::vector<TFilePatch>& patches) {
    for (const TFilePatch& patch : patches) {
        file.SetPosition(int64_t(patch.Offset));
        file.WriteBuffer(patch.Bytes.data(), int32_t(patch.Bytes.size()));
    }
}
