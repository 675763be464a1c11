#include "Repack.h"
#include "Exceptions.h"

void RepackBundle(const WideString&, const WideString&) { throw EArchiveError("ZIP archives are not supported yet"); }
