#include "FileSystem/TempFolders.h"
#include <sys/stat.h>
#include <unistd.h>
#include "Foundation/TextUtils.h"
#include "Posix/FileNames.h"

std::vector<WideString> TempFolderCandidates() { return {u"%TMPDIR%", u"%TMP%", u"%TEMP%", u"/tmp"}; }

WideString PrivateRootName(const WideString& tempFolder, const WideString& name) {
    struct stat st {};
    bool shared = ::stat(WideToSystemName(tempFolder).c_str(), &st) == 0 && (st.st_mode & S_IWOTH);
    return shared ? name + u"-" + IntToStr((int64_t)::geteuid()) : name;
}

bool MakePrivateFolder(const WideString& path) { return ::chmod(WideToSystemName(path).c_str(), 0700) == 0; }

bool IsPrivateFolder(const WideString& path) {
    std::string p = WithoutTrailingSlashes(WideToSystemName(path));
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    return (st.st_mode & 077) == 0 || ::chmod(p.c_str(), 0700) == 0;
}
