// What the fix learns from an archive before it copies or unpacks
// anything: that it can be read, which bundle it holds, and whether that
// bundle is a presentation whose viewer is already the carried one.
#pragma once
#include <vector>
#include "Foundation/Types.h"
#include "Streams/Streams.h"

class TArchItem;
class TZipArchive;
class TZipItem;

struct TArchiveShow {
    // The bundle's top-level folder, named as the archive holds it; empty
    // when the archive holds no presentation.
    WideString Bundle;
    bool AlreadyFixed = false;
    // A link entry standing for one of the folders on the viewer's way
    // (Contents ... MacOS), as stored; empty when there is none.
    WideString LinkedViewerFolder;
};

// The bundle is <archive base>.app, the names compared as the user sees
// them (composed or decomposed alike); failing that, the one top-level
// ".app" folder that holds a presentation. Raises when the archive is
// damaged or could not be unpacked faithfully.
TArchiveShow InspectArchive(const WideString& archive, TResourceStream& payload);

// The viewer program below a bundle folder of an archive's tree; none when
// bundle is none or holds no viewer.
TArchItem* FindViewer(TArchItem* bundle);
// The directory entry of a tree item; none for the tree's own folders.
TZipItem* EntryOf(TZipArchive* archive, TArchItem* item);
// The other file entries at the viewer's path, its case aside: an unzip
// leaves the last of them, on a Mac whatever their case.
std::vector<TArchItem*> ViewerTwins(TZipArchive* archive, TArchItem* viewer);
