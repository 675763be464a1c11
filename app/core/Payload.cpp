#include "Payload.h"
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "Formats/CodeSignature.h"
#include "Formats/MachO.h"
#include "Foundation/Exceptions.h"

namespace {

constexpr size_t MostIdentifierBytes = 255;

TRef<TResourceStream> OpenEmbedded() {
    TRef<TResourceStream> payload = OpenResourceStream(u"ZUVORUDAD", RT_RCDATA);
    if (!payload) throw EStreamReadError("The viewer program is missing from this program");
    return payload;
}

// The embedded payload with the room a signature for any show needs (an
// identifier of up to MostIdentifierBytes), made once; empty where it has
// that room, or is no signed program.
const std::string& RoomyPayload() {
    static const std::string roomy = [] {
        TRef<TResourceStream> payload = OpenEmbedded();
        if (!ReadMachO(*payload).Signed()) return std::string();
        const TRoomyFile grown =
            WithSignatureRoom(std::string(reinterpret_cast<const char*>(payload->Memory()), size_t(payload->GetSize())),
                              MostIdentifierBytes);
        return grown.Grown ? grown.Bytes : std::string();
    }();
    return roomy;
}

}  // namespace

TRef<TResourceStream> OpenPayload() { return OpenEmbedded(); }

TRef<TResourceStream> OpenRoomyPayload() {
    const std::string& roomy = RoomyPayload();
    if (roomy.empty()) return TRef<TResourceStream>();
    TRef<TResourceStream> payload = MakeRef<TResourceStream>();
    payload->WriteBuffer(roomy.data(), int32_t(roomy.size()));
    payload->SetPosition(0);
    return payload;
}

uint64_t PayloadRoomAdded() {
    const std::string& roomy = RoomyPayload();
    return roomy.empty() ? 0 : uint64_t(roomy.size()) - OpenEmbedded()->GetSize();
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
