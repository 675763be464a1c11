// File systems that fail on purpose, installed with TFileAPIScope.
#pragma once
#include "FileAPI.h"
#include "SysError.h"

// Every write fails, as on a full disk.
class TFullDisk : public TFileAPI {
public:
    bool WriteFile(TNativeHandle, const void*, uint32_t, uint32_t& done) override {
        done = 0;
        SetLastErrorCode(WinError::DiskFull);
        return false;
    }
};
