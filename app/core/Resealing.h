// A signed show stays openable after the fix: the new viewer is signed ad
// hoc for this show's Viewer.app, the show's seal names the new viewer, and
// the launcher is signed again for that seal. A Mac then treats the show as
// any downloaded program (Open Anyway once) rather than as damaged.
#pragma once
#include <string>
#include <vector>
#include "BundleRules.h"
#include "Formats/CodeSignature.h"

// Where a bundle keeps its seal, below the bundle folder.
inline constexpr char16_t SealInBundle[] = u"Contents\\_CodeSignature\\CodeResources";

struct TResealing {
    // What the viewer is to hold in this show: the payload, signed for it
    // where the show or the payload is signed, or the payload unsigned where
    // Viewer.app has no seal to sign it against.
    TRef<TResourceStream> Viewer;
    // The show carries a signature of its own somewhere.
    bool Signed = false;
    // Its seals are made consistent with the new viewer, and whether that
    // takes a signature made here (rather than an Intel viewer unsigned).
    bool Resealed = false;
    bool SignedAgain = false;
    // Why they cannot be: the viewer is then the payload as it is, and
    // nothing else changes.
    AnsiString Failure;
    // The show's seal anew, and the launcher's signature patches; empty
    // where the show has no seal.
    std::string Seal;
    WideString Launcher;
    std::vector<TFilePatch> LauncherPatches;
};

// Reads the bundle's Info.plists, seals and launcher; the payload as the
// build carries it.
TResealing PlanResealing(TBundleView& view, TResourceStream& payload);

// The file's contents with the patches written over them.
void ApplyPatches(TStream& file, const std::vector<TFilePatch>& patches);
