// Windows share modes on POSIX, held as advisory locks (ShareModes.cpp
// says how).
#pragma once
#include <string>

// What an open does with its file and what it denies other opens.
struct TShareClaim {
    bool Reads, Writes;
    bool DeniesRead, DeniesWrite, DeniesDelete;
};

// Holds the claim for this open and checks it against the other opens of
// fd's file; false with WinError::SharingViolation when another open is in
// the way (the caller closes fd, which gives the claim up).
bool TakeShareLock(int fd, const TShareClaim& claim);
// Whether another open of a regular file forbids deleting or renaming it.
bool HeldByOthers(const std::string& path);

// Writers hold their files open for reading too (read locks need it);
// these handles still refuse reads, as Windows refuses them.
void MarkWriteOnly(int fd, bool writeOnly);
bool IsWriteOnly(int fd);
