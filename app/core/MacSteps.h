// What the Mac user does with a fixed show, as text to hand on with it.
#pragma once
#include "FixProcedure.h"
#include "Foundation/Types.h"

// The steps that open the show in archive (its bundle named bundle) on a
// Mac past the first-start block, then the fix's notes; lines end in
// lineBreak.
WideString MacSteps(const WideString& archive, const WideString& bundle, const TFixResult& result,
                    const WideString& lineBreak);
