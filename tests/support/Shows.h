// Presentations as the fix finds them, and the payload it writes.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include "Foundation/Types.h"
#include "support/ScratchFolder.h"

// The payload this build carries, as bytes.
std::string Payload();
// A bundle as the fix finds it; parts can be left out.
WideString MakeBundle(const WideString& folder, bool marker = true, bool viewer = true);
// A bundle packed into <folder>/Show.zip by the library's own zipper.
WideString MakeArchive(const WideString& folder);

class FixProcedure : public testing::Test {
protected:
    TScratchFolder Scratch;
    WideString Bundle = Scratch / u"Show.app";
};
