#include "ZipFuzzEntry.h"
#include <cstdlib>
#include "ErrorReport.h"
#include "Streams.h"
#include "ZipListing.h"

void FuzzZipDirectory(const uint8_t* data, size_t size) {
    auto stream = MakeRef<TMemoryStream>();
    if (size > 0 && stream->Write(data, int32_t(size)) != int32_t(size)) return;
    stream->SetPosition(0);
    try {
        TZipListing listing = ListZipArchive(stream.Get());
        // Every entry gave a line.
        size_t lines = 0;
        for (char16_t c : listing.Text) lines += c == u'\n';
        if (lines < size_t(listing.Entries) + 1) std::abort();
    } catch (const EAbort&) {
        // A failed assertion: reported already, and a finding.
        std::abort();
    } catch (const Exception&) {
        // What damaged input may raise.
    }
}
