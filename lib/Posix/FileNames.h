// Names of files as the system keeps them (any bytes but NUL) and as the
// library keeps them (UTF-16). UTF-8 is read as such; every byte that is no
// part of valid UTF-8 becomes the lone surrogate U+DC00 + byte and turns
// back into that byte, so that any name survives the trip both ways.
#pragma once
#include <string>
#include "Foundation/Types.h"

WideString SystemNameToWide(const std::string& name);
std::string WideToSystemName(const WideString& name);

// The path of the entry itself: trailing '/' dropped ("/" stays), so that
// a link named "link/" is looked at, not followed.
std::string WithoutTrailingSlashes(std::string path);
// The folder a path names its entry in ("." for a bare name, "/" at the top).
std::string ParentOf(const std::string& path);
// The entry's own name ("" for "/").
std::string LastComponent(const std::string& path);
bool IsDirectory(const std::string& path);
