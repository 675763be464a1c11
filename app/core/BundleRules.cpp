#include "BundleRules.h"
#include "Foundation/Exceptions.h"
#include "Foundation/SysError.h"

TBundleState JudgeBundle(TBundleView& view, TResourceStream& payload) {
    const WideString viewer = ViewerInBundle;
    if (view.FilesAt(MarkerInBundle) == 0 || view.FilesAt(viewer) == 0) return TBundleState::NotAPresentation;
    for (size_t end = 0; (end = viewer.find(u'\\', end)) != WideString::npos; ++end)
        if (const WideString folder = viewer.substr(0, end); view.LinkAt(folder))
            throw EFileAccessError("The viewer's folder \"" + view.Shown(folder) +
                                       "\" is a link; the viewer is written only inside the bundle, so nothing was "
                                       "changed",
                                   WinError::AccessDenied);
    return view.FilesAt(viewer) == 1 && view.HoldsPayload(viewer, payload) ? TBundleState::AlreadyFixed
                                                                           : TBundleState::NeedsFix;
}
