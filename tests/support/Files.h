// Small file chores for tests, done with the standard library so that the
// code under test does not check itself.
#pragma once
#include <filesystem>
#include <string>
#include "Foundation/Types.h"

std::filesystem::path FsPath(const WideString& path);
void WriteBytes(const WideString& path, const std::string& bytes);
std::string ReadBytes(const WideString& path);
bool IsReadOnly(const WideString& path);
void SetReadOnly(const WideString& path, bool readOnly);
std::filesystem::file_time_type WriteTime(const WideString& path);
