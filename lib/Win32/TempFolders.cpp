#include "FileSystem/TempFolders.h"
#include "FileSystem/FileAPI.h"

std::vector<WideString> TempFolderCandidates() { return {u"%TMP%", u"%TEMP%", u"%WINDIR%\\TEMP"}; }

// The system temporary folder is the user's own already.
WideString PrivateRootName(const WideString&, const WideString& name) { return name; }
bool MakePrivateFolder(const WideString&) { return true; }

bool IsPrivateFolder(const WideString& path) {
    uint32_t attributes = FileAPI->GetFileAttributes(path);
    return attributes != FileAttr::Invalid && (attributes & FileAttr::Directory) &&
           !(attributes & FileAttr::ReparsePoint);
}
