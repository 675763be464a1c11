// File systems that fail on purpose, installed with TFileAPIScope.
#pragma once
#include "FileAPI.h"
#include "SysError.h"

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
