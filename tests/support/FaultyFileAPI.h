// File systems that fail on purpose, installed with TFileAPIScope.
#pragma once
#include "FileSystem/FileAPI.h"
#include "Foundation/SysError.h"

// Data moves only through ReadFile and WriteFile, where tests can fail it.
class TBufferedFileAPI : public TFileAPI {
public:
    bool CopyFileData(TNativeHandle, TNativeHandle, uint32_t, uint32_t& done) override {
        done = 0;
        SetLastErrorCode(WinError::NotSupported);
        return false;
    }
};

// Every write fails, as on a full disk.
class TFullDisk : public TBufferedFileAPI {
public:
    bool WriteFile(TNativeHandle, const void*, uint32_t, uint32_t& done) override {
        done = 0;
        SetLastErrorCode(WinError::DiskFull);
        return false;
    }
};

// The FailAt-th write through this object (counting from 1) stores half of
// its bytes and fails as on a full disk; the others go through.
class TFailingWrite : public TFileAPI {
public:
    explicit TFailingWrite(int failAt) : FailAt(failAt) {}
    bool WriteFile(TNativeHandle file, const void* buffer, uint32_t count, uint32_t& done) override {
        if (++Writes != FailAt) return TFileAPI::WriteFile(file, buffer, count, done);
        TFileAPI::WriteFile(file, buffer, count / 2, done);
        SetLastErrorCode(WinError::DiskFull);
        return false;
    }
    int FailAt;
    int Writes = 0;
};
