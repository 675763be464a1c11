// libFuzzer's side of the ZIP directory fuzzer.
#include "Startup.h"
#include "ZipFuzzEntry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LibraryStartup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzZipDirectory(data, size);
    return 0;
}
