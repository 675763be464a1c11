#include "Payload.h"
#include <algorithm>
#include <cstring>
#include <vector>
#include "Foundation/Exceptions.h"

TRef<TResourceStream> OpenPayload() {
    TRef<TResourceStream> payload = OpenResourceStream(u"ZUVORUDAD", RT_RCDATA);
    if (!payload) throw EStreamReadError("The viewer program is missing from this program");
    return payload;
}

bool StreamHoldsPayload(TStream& stream, TResourceStream& payload) {
    const auto* expected = static_cast<const uint8_t*>(payload.Memory());
    const int64_t size = payload.GetSize();
    std::vector<uint8_t> block(65536);
    for (int64_t done = 0; done < size;) {
        int32_t read = stream.Read(block.data(), int32_t(std::min<int64_t>(int64_t(block.size()), size - done)));
        if (read <= 0 || std::memcmp(block.data(), expected + done, size_t(read)) != 0) return false;
        done += read;
    }
    return true;
}
