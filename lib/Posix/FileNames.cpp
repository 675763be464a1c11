#include "Posix/FileNames.h"
#include <sys/stat.h>

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string ParentOf(const std::string& path) {
    const std::string entry = WithoutTrailingSlashes(path);
    size_t slash = entry.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : entry.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
    const std::string entry = WithoutTrailingSlashes(path);
    size_t slash = entry.rfind('/');
    return slash == std::string::npos ? entry : entry.substr(slash + 1);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
