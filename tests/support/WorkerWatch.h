// A file system for watching the zipper's workers: it notes the spill files
// they make, and fails every read of a file whose name ends in Poison.
// Workers call it from their own threads.
#pragma once
#include <mutex>
#include <set>
#include <vector>
#include "FileSystem/FileAPI.h"
#include "Foundation/SysError.h"

class TWorkerWatch : public TFileAPI {
public:
    explicit TWorkerWatch(const WideString& poison = u"") : Poison(poison) {}

    const WideString Poison;

    TNativeHandle CreateFile(const WideString& path, uint32_t access, uint32_t share, void* security,
                             uint32_t disposition, uint32_t flags, TNativeHandle templateFile) override {
        TNativeHandle file = TFileAPI::CreateFile(path, access, share, security, disposition, flags, templateFile);
        std::lock_guard<std::mutex> guard(FLock);
        if (EndsWith(path, u".spill")) FSpills.push_back(path);
        if (!Poison.empty() && EndsWith(path, Poison) && file != InvalidNativeHandle) FPoisoned.insert(file);
        return file;
    }
    bool ReadFile(TNativeHandle file, void* buffer, uint32_t count, uint32_t& done) override {
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (FPoisoned.count(file)) {
                done = 0;
                SetLastErrorCode(WinError::IoDevice);
                return false;
            }
        }
        return TFileAPI::ReadFile(file, buffer, count, done);
    }
    bool CloseHandle(TNativeHandle handle) override {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FPoisoned.erase(handle);
        }
        return TFileAPI::CloseHandle(handle);
    }
    std::vector<WideString> Spills() {
        std::lock_guard<std::mutex> guard(FLock);
        return FSpills;
    }

private:
    static bool EndsWith(const WideString& text, const WideString& end) {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    }
    std::mutex FLock;
    std::vector<WideString> FSpills;
    std::set<TNativeHandle> FPoisoned;
};
