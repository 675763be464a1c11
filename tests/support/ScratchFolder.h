// A new empty folder for one test, deleted with everything in it afterwards.
#pragma once
#include "Types.h"

class TScratchFolder {
public:
    TScratchFolder();
    ~TScratchFolder();
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    const WideString& Path() const { return FPath; }
    // The path of name inside the folder.
    WideString operator/(const WideString& name) const;

private:
    WideString FPath;
};
