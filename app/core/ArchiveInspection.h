// What the fix learns from an archive before it copies or unpacks
// anything: that it can be read, which bundle it holds, and whether that
// bundle is a presentation whose viewer is already the carried one.
#pragma once
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
