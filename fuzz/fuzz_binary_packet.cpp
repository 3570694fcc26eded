// libFuzzer target of the binary packet codec: any input decodes or is a
// zel::Error; what decodes encodes and decodes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/dataset/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zel::ds::Packet p;
    try {
        p = zel::ds::decodeBinary(bytes, "fuzz");
    } catch (const zel::Error&) {
        return 0;
    }
    std::string again;
    try {
        again = zel::ds::encodeBinary(p);
    } catch (const zel::Error&) {
        return 0;  // e.g. a first-record offset past 65535 after re-encoding names
    }
    zel::ds::Packet q = zel::ds::decodeBinary(again, "fuzz re-encoded");  // must not throw
    if (!(zel::ds::encodeBinary(q) == again)) std::abort();
    try {
        (void)zel::ds::decodeXml(zel::ds::encodeXml(p), "fuzz xml");
    } catch (const zel::Error&) {}
    return 0;
}
