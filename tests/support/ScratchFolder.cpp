#include "support/ScratchFolder.h"
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include "FileSystem/FileAPI.h"
#include "Foundation/Clock.h"

namespace fs = std::filesystem;

namespace {
std::atomic<int> Counter{0};

fs::path ToFs(const WideString& path) { return fs::path(path); }

// Gives every entry its owner's write permission back, so that removal
// works whatever a test left read-only; never follows links.
void MakeWritable(const fs::path& root) {
    std::error_code error;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, error);
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->is_symlink(error)) continue;
        fs::permissions(it->path(), fs::perms::owner_write | fs::perms::owner_read,
                        fs::perm_options::add | fs::perm_options::nofollow, error);
    }
}
}  // namespace

WideString NativePath(const std::u16string& text) {
    WideString result = text;
    for (auto& c : result)
        if (c == u'/') c = PathDelim;
    return result;
}

std::string Narrow(const WideString& text) { return fs::path(text).string(); }
WideString Widen(const std::string& text) { return fs::path(text).u16string(); }

TScratchFolder::TScratchFolder() {
    // Tests of several processes run at once: time and chance keep names apart.
    std::random_device random;
    fs::path base = fs::temp_directory_path() / ("nvx-test-" + std::to_string(FileTimeNow() % 1000000000ULL) + "-" +
                                                 std::to_string(random() % 100000) + "-" + std::to_string(++Counter));
    fs::create_directories(base);
    FPath = base.u16string();
}

TScratchFolder::~TScratchFolder() {
    std::error_code error;
    MakeWritable(ToFs(FPath));
    fs::remove_all(ToFs(FPath), error);
}

WideString TScratchFolder::operator/(const std::u16string& name) const { return JoinPath(FPath, NativePath(name)); }

void TScratchFolder::Write(const WideString& path, const std::string& bytes) const {
    std::ofstream out(ToFs(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string TScratchFolder::Read(const WideString& path) const {
    std::ifstream in(ToFs(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TScratchFolder::Exists(const WideString& path) const {
    std::error_code error;
    return fs::exists(fs::symlink_status(ToFs(path), error));
}

void TScratchFolder::MakeFolder(const WideString& path) const { fs::create_directories(ToFs(path)); }
