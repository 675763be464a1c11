// Mach-O files made in memory, as small as the readers and the signer
// need them: thin ones of either width and byte order, universal ones.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

void Put(std::string& out, uint64_t value, int bytes, bool big);
uint32_t Get32(const std::string& in, size_t at, bool big = true);

// A thin executable: header, __TEXT over the first two pages, __LINKEDIT
// holding only the signature's room, LC_CODE_SIGNATURE naming it.
std::string Thin(uint32_t cpu, bool is64, bool big, uint32_t room, bool sign = true);
// The slices at page boundaries behind a 32-bit universal header.
std::string Universal(const std::vector<std::pair<uint32_t, std::string>>& slices);
