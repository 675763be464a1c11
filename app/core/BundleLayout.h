// Where a presentation bundle keeps the files the fix looks at: paths below
// the bundle folder, '\'-separated as the archive tree names them.
#pragma once

inline constexpr char16_t ViewerInBundle[] = u"Contents\\Resources\\Viewer.app\\Contents\\MacOS\\ZuvOrudad5";
inline constexpr char16_t MarkerInBundle[] = u"Contents\\Resources\\slideshow.dat";
