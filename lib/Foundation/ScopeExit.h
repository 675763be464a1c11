// Runs a clean-up step when a scope ends, however it ends. The step must
// not raise out of a destructor: a failure of it is dropped, because the
// error already on its way (if any) is the one the caller needs to see.
#pragma once
#include <utility>

template <class F>
class TScopeExit {
public:
    explicit TScopeExit(F step) : FStep(std::move(step)) {}
    ~TScopeExit() {
        if (!FArmed) return;
        try {
            FStep();
        } catch (...) {
        }
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

    // The scope ended well and the step is not wanted.
    void Dismiss() { FArmed = false; }

private:
    F FStep;
    bool FArmed = true;
};
