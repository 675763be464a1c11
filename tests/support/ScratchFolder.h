// A fresh folder under the system's temporary folder for one test, removed
// with everything in it when the test ends.
#pragma once
#include <string>
#include "Foundation/Types.h"

class TScratchFolder {
public:
    TScratchFolder();
    ~TScratchFolder();
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    const WideString& Path() const { return FPath; }
    // Path of a name inside; '/' in name stands for the platform separator.
    WideString operator/(const std::u16string& name) const;

    // Small file access that does not go through the code under test.
    void Write(const WideString& path, const std::string& bytes) const;
    std::string Read(const WideString& path) const;
    bool Exists(const WideString& path) const;
    void MakeFolder(const WideString& path) const;

private:
    WideString FPath;
};

// '/' in text replaced by the platform separator.
WideString NativePath(const std::u16string& text);
// 8-bit form of an ASCII text and back, for test messages and arguments.
std::string Narrow(const WideString& text);
WideString Widen(const std::string& text);
