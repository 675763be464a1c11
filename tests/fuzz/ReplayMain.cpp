// Feeds every file of the fuzzing corpus (seeds and crash reproducers) to
// each of the fuzzers' entries, so that ordinary test runs keep them passing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>
#include "Startup.h"
#include "ZipFuzzEntry.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    TLibraryScope library;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path given(argv[i]);
        if (fs::is_directory(given)) {
            for (const auto& entry : fs::directory_iterator(given))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(given);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "nvx_fuzz_replay: no corpus files\n");
        return 2;
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FuzzZipDirectory(bytes.data(), bytes.size());
        FuzzZipExtract(bytes.data(), bytes.size());
        FuzzZipSave(bytes.data(), bytes.size());
    }
    std::printf("%zu corpus files replayed\n", files.size());
    return 0;
}
