// libFuzzer target of the XML packet codec: any input decodes or is a
// zel::Error; what decodes encodes to XML and binary and decodes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/dataset/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zel::ds::Packet p;
    try {
        p = zel::ds::decodeXml(bytes, "fuzz");
    } catch (const zel::Error&) {
        return 0;
    }
    // What the XML form accepted, both forms must write and read back (the XML
    // form keeps 16 digits of a float, so only the binary trip is exact).
    zel::ds::Packet fromXml = zel::ds::decodeXml(zel::ds::encodeXml(p), "fuzz re-encoded");
    if (fromXml.records.size() != p.records.size() || fromXml.fields != p.fields) std::abort();
    std::string bin;
    try {
        bin = zel::ds::encodeBinary(p);
    } catch (const zel::Error&) {
        return 0;  // more metadata than the binary header can point past
    }
    zel::ds::Packet fromBin = zel::ds::decodeBinary(bin, "fuzz binary");
    if (!(fromBin.records == p.records)) std::abort();
    return 0;
}
