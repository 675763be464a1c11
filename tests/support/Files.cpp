#include "support/Files.h"
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

fs::path FsPath(const WideString& path) { return fs::path(path); }

void WriteBytes(const WideString& path, const std::string& bytes) {
    fs::create_directories(FsPath(path).parent_path());
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadBytes(const WideString& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsReadOnly(const WideString& path) {
    return (fs::status(FsPath(path)).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void SetReadOnly(const WideString& path, bool readOnly) {
    fs::permissions(FsPath(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

fs::file_time_type WriteTime(const WideString& path) { return fs::last_write_time(FsPath(path)); }
