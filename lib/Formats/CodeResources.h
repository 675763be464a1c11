// A bundle's seal, Contents/_CodeSignature/CodeResources: the XML property
// list that names every resource file of the bundle with its hashes. Read
// for the hash kinds it carries; one file's hashes rewritten in place,
// every other byte kept, so that the seal stays the one its maker wrote.
#pragma once
#include <string>

struct TSealKinds {
    bool Readable = false;  // an XML property list whose top dictionary holds "files2"
    bool Sha1 = false;      // entries carry SHA-1 hashes ("hash" in "files2")
    bool Sha256 = false;    // entries carry SHA-256 hashes ("hash2" in "files2")
};
TSealKinds ReadSeal(const std::string& seal);

// Writes the digests of the file at path (relative to Contents, separated
// by '/') over the ones the seal holds for it: "files" holds its SHA-1 as
// data, or a dictionary with "hash"; "files2" a dictionary with "hash"
// and "hash2". False, and the seal unchanged, where the seal does not list
// the file in each of its lists in one of these forms (a nested bundle
// sealed by its code's hash, say).
bool ResealFile(std::string& seal, const std::string& path, const std::string& sha1, const std::string& sha256);
