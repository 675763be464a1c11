#include "support/Shows.h"
#include "Archivers/Zip/FileZipper.h"
#include "FileSystem/Paths.h"
#include "FixProcedure.h"
#include "Streams/Streams.h"
#include "support/Files.h"

std::string Payload() {
    TRef<TResourceStream> payload = OpenResourceStream(u"ZUVORUDAD", RT_RCDATA);
    return std::string((const char*)payload->Memory(), (size_t)payload->GetSize());
}

WideString MakeBundle(const WideString& folder, bool marker, bool viewer) {
    WriteBytes(JoinPath(folder, u"Contents/Info.plist"), "<plist/>");
    if (marker) WriteBytes(MarkerPath(folder), "slides");
    if (viewer) WriteBytes(ViewerPath(folder), "OLD VIEWER");
    return folder;
}

WideString MakeArchive(const WideString& folder) {
    WideString source = MakeBundle(JoinPath(JoinPath(folder, u"src"), u"Show.app"));
    WideString archive = JoinPath(folder, u"Show.zip");
    TRef<TFileZipper> zipper = MakeRef<TFileZipper>();
    zipper->Zip(archive, source, true);
    return archive;
}
