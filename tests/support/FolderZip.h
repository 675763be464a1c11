// A small bundle folder and the ZIP file beside it where the zipper and
// unzipper tests put it.
#pragma once
#include <gtest/gtest.h>
#include <filesystem>
#include "FileSystem/Paths.h"
#include "support/Files.h"
#include "support/ScratchFolder.h"

class FolderZip : public testing::Test {
protected:
    FolderZip() {
        WriteBytes(JoinPath(Bundle, u"Contents/Info.plist"), "<plist/>");
        WriteBytes(JoinPath(Bundle, u"Contents/MacOS/Show"), "program");
        WriteBytes(JoinPath(Bundle, u"Contents/Resources/empty.txt"), "");
        std::filesystem::create_directories(FsPath(JoinPath(Bundle, u"Contents/Empty")));
    }
    TScratchFolder Scratch;
    WideString Bundle = Scratch / u"X.app";
    WideString ZipPath = Scratch / u"X.zip";
};
