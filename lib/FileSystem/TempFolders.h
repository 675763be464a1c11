// Working folders under one root shared by every process of the library.
// Each folder in use has an empty "<folder>.lock" file beside it, held open
// without sharing by its owner; the first use of the root in a process
// removes the folders whose lock nobody holds any more.
#pragma once
#include <vector>
#include "Foundation/Types.h"

// The root's folder name under the system temporary folder. Set at
// start-up; empty means the system temporary folder itself, without locks.
extern WideString TempSubFolderName;

// How many names CreateTempFolder tries before it gives up on the root.
constexpr int TempFolderAttempts = 100;

// The system temporary folder, ending in a separator: the first existing
// candidate folder, else "TEMP" beside the program (made when missing),
// else the program's folder.
WideString SystemTempFolder();

// The root, ending in a separator. Resolved, made and swept on first use;
// a root that cannot be made fails an assertion.
WideString GetTempRoot();
// A new empty folder "[GUID]" under the root, locked until deleted. Raises
// EFolderError naming the root when no attempt succeeds.
WideString CreateTempFolder(bool withTrailingBackslash);
// True when path (letter case and one trailing separator aside) is a folder
// this process made and it is gone now. Raises nothing for file system
// failures; a folder that stays gets an unlocked lock file for the next sweep.
bool DeleteTempFolder(const WideString& path);

// Owns one working folder: made by the constructor (raising as
// CreateTempFolder does), deleted with everything in it when the holder goes.
class TTempFolder {
public:
    explicit TTempFolder(bool withTrailingBackslash = false);
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    const WideString& Path() const { return FPath; }

private:
    WideString FPath;
};

void InitTempFolders();
// Releases every folder still handed out and forgets the root.
void DoneTempFolders();

// ---- Platform side ----

// The root's folder name under tempFolder; where other users share it
// (POSIX: writable by others) the name carries the user id.
WideString PrivateRootName(const WideString& tempFolder, const WideString& name);
// Makes a folder just created private to this user (POSIX: mode 0700).
bool MakePrivateFolder(const WideString& path);
// Whether path is a real folder (no link) of this user; one that others
// may read is made private first.
bool IsPrivateFolder(const WideString& path);
// The environment texts naming candidate temporary folders, in order of
// preference, before expansion ("%TMP%").
std::vector<WideString> TempFolderCandidates();
