// libFuzzer target of the binary packet codec: any input decodes or is a
// zel::Error; what decodes encodes and decodes again; decoding straight into
// compact rows refuses the same input with the same message and otherwise
// gives the same table, or stops at a record that is not an original one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/dataset/codec.h"
#include "platform/dataset/row_store.h"

namespace {

bool sameCell(const zel::ds::Cell& a, const zel::ds::Cell& b) {
    if (a.index() != b.index()) return false;
    if (auto* x = std::get_if<double>(&a)) return std::memcmp(x, &std::get<double>(b), sizeof(double)) == 0;
    return a == b;
}

bool plainPacket(const zel::ds::Packet& p) {
    if (p.prop("CHANGE_LOG")) return false;
    for (const zel::ds::Record& r : p.records) {
        if (r.status != zel::ds::kUnchangedRecord) return false;
        for (const zel::ds::Cell& c : r.cells)
            if (std::holds_alternative<zel::ds::Unchanged>(c)) return false;
    }
    return true;
}

// The rows road against the records road's packet `p`, or its message `error`.
void compareRows(std::string_view bytes, const zel::ds::Packet* p, const std::string& error) {
    zel::ds::Packet header;
    zel::ds::RowStore rows;
    bool plain;
    try {
        plain = zel::ds::decodeBinaryRows(bytes, "fuzz", header, rows);
    } catch (const zel::Error& e) {
        if (p || error != e.what()) std::abort();
        return;
    }
    if (!plain) {
        if ((p && plainPacket(*p)) || rows.size() != 0) std::abort();
        return;
    }
    if (!p || !plainPacket(*p) || rows.size() != p->records.size() || header.fields != p->fields ||
        header.props != p->props || header.flags != p->flags || header.majorVersion != p->majorVersion ||
        header.minorVersion != p->minorVersion)
        std::abort();
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t f = 0; f < header.fields.size(); ++f)
            if (!sameCell(rows.cell(r, f), p->records[r].cells[f])) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zel::ds::Packet p;
    try {
        p = zel::ds::decodeBinary(bytes, "fuzz");
    } catch (const zel::Error& e) {
        compareRows(bytes, nullptr, e.what());
        return 0;
    }
    compareRows(bytes, &p, {});
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
