// A concrete archive for tests of the archive model and the ZIP directory:
// the tree plus a ZIP structure that builds it, without any data handling.
#pragma once
#include "Archivers/Zip/ZipStructure.h"

class TTestArchive : public TArchive {
public:
    TTestArchive() : Structure(MakeRef<TZipStructure>()) {
        Structure->CreateItem = [this](const WideString& path, bool isFolder) -> TArchItem* {
            ++Created;
            // As the archives do: a name of only separators belongs to the root.
            if (path.empty()) return this;
            return FindOrCreate(path, isFolder ? FindMode::Folder : FindMode::Add);
        };
    }

    TRef<TZipStructure> Structure;
    int Created = 0;  // calls of the item factory

    TStream* GetStream() override { return FStream; }
    void SetStream(TStream* stream) override { FStream = stream; }
    WideString GetFileName() override { return FFileName; }
    void SetFileName(const WideString& name) override { FFileName = name; }

    // The tree's paths, depth first, folders marked with a trailing '\'.
    std::vector<WideString> Paths() {
        std::vector<WideString> paths;
        Collect(this, paths);
        return paths;
    }

protected:
    void Dispose() override {
        TArchive::Dispose();
        Structure.Reset();
    }

private:
    static void Collect(TArchItem* folder, std::vector<WideString>& paths) {
        for (int32_t i = 0; i < folder->Count(); ++i) {
            TArchItem* item = folder->Item(i);
            paths.push_back(item->Path() + (item->IsFolder() ? u"\\" : u""));
            if (item->IsFolder()) Collect(item, paths);
        }
    }

    TStream* FStream = nullptr;
    WideString FFileName;
};
