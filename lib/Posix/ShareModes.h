// Windows share modes on POSIX, held as advisory locks (ShareModes.cpp
// says how).
#pragma once
#include <string>

// What an open does with its file and what it denies other opens.
struct TShareClaim {
    bool Reads, Writes;
    bool DeniesRead, DeniesWrite, DeniesDelete;
};

// Checks the claim against the other opens of fd's file and holds it for
// this open; false with WinError::SharingViolation when another open is in
// the way. A file this open has just made exclusively has no other opens to
// probe.
bool TakeShareLock(int fd, const TShareClaim& claim, bool justMade = false);
// Whether another open of a regular file forbids deleting or renaming it.
bool HeldByOthers(const std::string& path);

// Writers hold their files open for reading too (read locks need it);
// these handles still refuse reads, as Windows refuses them.
void MarkWriteOnly(int fd, bool writeOnly);
bool IsWriteOnly(int fd);
