#include "support/ScratchFolder.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <random>
#include "FileAPI.h"

TScratchFolder::TScratchFolder() {
    std::random_device random;
    std::u16string base = std::filesystem::temp_directory_path().u16string();
    for (int attempt = 0; attempt < 100 && FPath.empty(); ++attempt) {
        std::string name = "nvx-test-" + std::to_string(random());
        WideString path = JoinPath(base, WideString(name.begin(), name.end()));
        if (!DirectoryExists(path) && ForceDirectories(path)) FPath = path;
    }
    if (FPath.empty()) ADD_FAILURE() << "no scratch folder could be made";
}

TScratchFolder::~TScratchFolder() {
    if (!FPath.empty()) DeleteFolderTree(FPath);
}

WideString TScratchFolder::operator/(const WideString& name) const { return JoinPath(FPath, name); }
