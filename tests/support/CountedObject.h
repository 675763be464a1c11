// An object that counts its disposals, for tests of who gives back what.
#pragma once
#include "Foundation/RefObject.h"

class TCountedObject : public TRefObject {
public:
    static inline int Disposed = 0;

protected:
    void Dispose() override {
        ++Disposed;
        TRefObject::Dispose();
    }
};
