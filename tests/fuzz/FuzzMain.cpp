// libFuzzer's side of the ZIP fuzzers; NVX_FUZZ_ENTRY names the entry
// this program feeds.
#include "Startup.h"
#include "ZipFuzzEntry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LibraryStartup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NVX_FUZZ_ENTRY(data, size);
    return 0;
}
