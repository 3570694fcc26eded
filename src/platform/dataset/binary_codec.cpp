// The binary data-packet form: header, field descriptors with their
// properties, packet properties, then the records with their field status bits.
#include <bit>
#include <cstring>
#include <functional>
#include <fmt/format.h>

#include "platform/dataset/codec.h"
#include "platform/dataset/codec_internal.h"

namespace zel::ds {

namespace detail {

bool fieldKind(const FieldDef& f, Kind& kind, std::string& why) {
    uint16_t code = f.type & kTypeMask;
    bool varying = (f.type & kVaryingBit) != 0;
    if (f.type & kArrayBit) {
        why = "array fields are not supported";
        return false;
    }
    if (f.type & ~(kTypeMask | kVaryingBit | kArrayBit)) {
        why = fmt::format("unknown bits in type word 0x{:04X}", f.type);
        return false;
    }
    auto fixed = [&](Kind k, std::initializer_list<uint16_t> sizes) {
        if (varying) {
            why = fmt::format("type code {} cannot be varying", code);
            return false;
        }
        for (uint16_t s : sizes)
            if (s == f.size) {
                kind = k;
                return true;
            }
        why = fmt::format("size {} is not valid for type code {}", f.size, code);
        return false;
    };
    auto prefixed = [&](Kind k) {
        if (!varying) {
            why = fmt::format("fixed-size values of type code {} are not supported", code);
            return false;
        }
        if (f.size != 1 && f.size != 2 && f.size != 4) {
            why = fmt::format("length prefix of {} bytes is not valid", f.size);
            return false;
        }
        kind = k;
        return true;
    };
    switch (code) {
        case kInt:
            return fixed(Kind::Int, {1, 2, 4, 8});
        case kUInt:
            return fixed(Kind::UInt, {1, 2, 4, 8});
        case kBool:
            return fixed(Kind::Bool, {1, 2, 4});
        case kFloat:
            return fixed(Kind::Float, {8});
        case kBcd:
            if (varying || f.size < 2 || f.size > 34) {
                why = fmt::format("BCD size {} is not valid", f.size);
                return false;
            }
            kind = Kind::Bcd;
            return true;
        case kDate:
            return fixed(Kind::Date, {4});
        case kTime:
            return fixed(Kind::Time, {4});
        case kDateTime:
            return fixed(Kind::DateTime, {8});
        case kString:
            return prefixed(Kind::String);
        case kWString:
            return prefixed(Kind::WString);
        case kBytes:
            return prefixed(Kind::Bytes);
        case kAdt:
            why = "ADT fields (type code 12) are not supported";
            return false;
        case kArrayType:
            why = "array fields (type code 13) are not supported";
            return false;
        case kNested:
            why = "nested tables (type code 14) are not supported";
            return false;
        case kReference:
            why = "reference fields (type code 15) are not supported";
            return false;
        default:
            why = fmt::format("unknown type code {}", code);
            return false;
    }
}

}  // namespace detail

namespace {

using detail::Kind;
constexpr unsigned char kMagic[4] = {0x96, 0x19, 0xE0, 0xBD};
constexpr size_t kHeaderSize = 24;

class Reader {
  public:
    Reader(std::string_view data, std::string_view source) : d_(data), src_(source) {}

    [[noreturn]] void fail(size_t at, std::string_view msg) const {
        throw PacketError(fmt::format("{}: byte offset {}: {}", src_, at, msg));
    }
    void need(size_t n, std::string_view what) const {
        if (n > d_.size() - pos)
            fail(pos, fmt::format("{} needs {} bytes but the packet ends after {}", what, n, d_.size() - pos));
    }
    uint64_t le(size_t n, std::string_view what) {
        need(n, what);
        uint64_t v = 0;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(d_.data() + pos);
        pos += n;
        if constexpr (std::endian::native == std::endian::little) {
            // The sizes values come in, each read at once.
            switch (n) {
                case 1:
                    return p[0];
                case 2: {
                    uint16_t x;
                    std::memcpy(&x, p, 2);
                    return x;
                }
                case 4: {
                    uint32_t x;
                    std::memcpy(&x, p, 4);
                    return x;
                }
                case 8:
                    std::memcpy(&v, p, 8);
                    return v;
                default:
                    break;
            }
        }
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
        return v;
    }
    uint8_t u8(std::string_view what) { return static_cast<uint8_t>(le(1, what)); }
    uint16_t u16(std::string_view what) { return static_cast<uint16_t>(le(2, what)); }
    uint32_t u32(std::string_view what) { return static_cast<uint32_t>(le(4, what)); }
    std::string_view bytes(size_t n, std::string_view what) {
        need(n, what);
        std::string_view v = d_.substr(pos, n);
        pos += n;
        return v;
    }
    std::string_view slice(size_t from, size_t to) const { return d_.substr(from, to - from); }
    size_t left() const { return d_.size() - pos; }
    size_t size() const { return d_.size(); }

    size_t pos = 0;

  private:
    std::string_view d_;
    std::string_view src_;
};

inline int64_t signExtend(uint64_t v, size_t n) {
    if (n >= 8) return static_cast<int64_t>(v);
    uint64_t sign = 1ULL << (8 * n - 1);
    return static_cast<int64_t>((v ^ sign) - sign);
}

Property readProperty(Reader& r) {
    Property p;
    size_t at = r.pos;
    uint8_t n = r.u8("property name length");
    p.name = decodeCodePage(r.bytes(n, "property name"));
    p.size = r.u16("property size");
    p.type = r.u16("property type");
    size_t valueAt = r.pos;
    if (p.type & kArrayBit) {
        size_t countAt = r.pos;
        uint32_t count = r.u32("property element count");
        if (p.size == 0 && count != 0) r.fail(at, fmt::format("property {} has elements of size 0", p.name));
        uint64_t total = static_cast<uint64_t>(count) * p.size;
        if (total > r.left())
            r.fail(countAt, fmt::format("property {}: {} elements of {} bytes run past the end of the packet", p.name,
                                        count, p.size));
        r.pos += static_cast<size_t>(total);
    } else if (p.type & kVaryingBit) {
        if (p.size != 1 && p.size != 2 && p.size != 4)
            r.fail(at, fmt::format("property {} has a length prefix of {} bytes", p.name, p.size));
        uint64_t len = r.le(p.size, "property length");
        if (len > r.left())
            r.fail(r.pos, fmt::format("property {}: value of {} bytes runs past the end of the packet", p.name, len));
        r.pos += static_cast<size_t>(len);
    } else {
        r.bytes(p.size, "property value");
    }
    p.value = std::string(r.slice(valueAt, r.pos));
    return p;
}

struct Column {
    Kind kind;
    uint16_t size;
};

std::vector<Column> columnsOf(const std::vector<FieldDef>& fields,
                              const std::function<void(size_t, std::string)>& fail) {
    std::vector<Column> cols;
    cols.reserve(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        Kind k;
        std::string why;
        if (!detail::fieldKind(fields[i], k, why)) fail(i, why);
        cols.push_back({k, fields[i].size});
    }
    return cols;
}

// The header, the field descriptors and the packet properties; `r` is left
// at the first record.
struct Layout {
    Packet header;  // without records
    std::vector<Column> columns;
    uint32_t recordCount = 0;
    size_t statusBytes = 0;
};

Layout readLayout(Reader& r, std::string_view bytes) {
    Layout l;
    Packet& p = l.header;
    r.need(kHeaderSize, "header");
    if (std::memcmp(bytes.data(), kMagic, 4) != 0) r.fail(0, "not a binary data packet (wrong magic bytes)");
    r.pos = 4;
    p.majorVersion = r.u16("version");
    p.minorVersion = r.u16("version");
    uint32_t headerSize = r.u32("header size");
    if (headerSize != kHeaderSize) r.fail(8, fmt::format("header size {} (expected 24)", headerSize));
    uint16_t fieldCount = r.u16("field count");
    l.recordCount = r.u32("record count");
    p.flags = r.u32("flags");
    uint16_t firstRecord = r.u16("first record offset");

    std::vector<size_t> fieldAt;
    p.fields.reserve(fieldCount);
    for (uint16_t i = 0; i < fieldCount; ++i) {
        fieldAt.push_back(r.pos);
        FieldDef f;
        uint8_t n = r.u8("field name length");
        f.name = decodeCodePage(r.bytes(n, "field name"));
        f.size = r.u16("field size");
        f.type = r.u16("field type");
        f.attributes = r.u16("field attributes");
        uint16_t propCount = r.u16("field property count");
        for (uint16_t k = 0; k < propCount; ++k) f.props.push_back(readProperty(r));
        p.fields.push_back(std::move(f));
    }
    l.columns = columnsOf(p.fields, [&](size_t i, std::string why) {
        r.fail(fieldAt[i], fmt::format("field {} \"{}\": {}", i + 1, p.fields[i].name, why));
    });
    uint16_t packetProps = r.u16("packet property count");
    for (uint16_t k = 0; k < packetProps; ++k) p.props.push_back(readProperty(r));
    if (r.pos != firstRecord)
        r.fail(22, fmt::format("header puts the first record at {}, but the field descriptors and properties end at {} "
                               "(field count {} may be wrong)",
                               firstRecord, r.pos, fieldCount));
    l.statusBytes = (fieldCount + 3) / 4;
    return l;
}

// A record count the input cannot hold is cut to what it can: a record takes
// at least its status bytes.
uint32_t plausibleRecords(const Layout& l, const Reader& r) {
    return static_cast<uint32_t>(std::min<size_t>(l.recordCount, r.left() / (1 + l.statusBytes)));
}

// The records, every check and message in one place for every form the
// values are kept in. `Out` takes them:
//   bool start(uint8_t status)         a record begins; false stops
//   bool null(fi), bool unchanged(fi)  false stops
//   void integer(fi, int64_t), boolean(fi, bool), real(fi, double), raw(fi, bytes)
//   void codePage(fi, bytes)           a single-byte text
//   bool utf16(fi, bytes)              false: not valid UTF-16
//   bool end()                         the record is complete; false stops
// Returns false when `Out` stopped the decoding.
template <class Out>
bool readRecords(Reader& r, const Layout& l, Out& out) {
    const std::vector<FieldDef>& fields = l.header.fields;
    const size_t fieldCount = fields.size();
    for (uint32_t ri = 0; ri < l.recordCount; ++ri) {
        size_t recAt = r.pos;
        uint8_t status = r.u8("record status");
        std::string_view st = r.bytes(l.statusBytes, "field status");
        if (!out.start(status)) return false;
        for (size_t fi = 0; fi < fieldCount; ++fi) {
            unsigned s = (static_cast<unsigned char>(st[fi >> 2]) >> ((fi & 3) * 2)) & 3;
            if (s == 1) {
                if (!out.null(fi)) return false;
                continue;
            }
            if (s == 2) {
                if (!out.unchanged(fi)) return false;
                continue;
            }
            if (s == 3)
                r.fail(recAt + 1 + (fi >> 2),
                       fmt::format("record {}, field \"{}\": field status 3 is not valid", ri + 1, fields[fi].name));
            const Column c = l.columns[fi];
            size_t valueAt = r.pos;
            switch (c.kind) {
                case Kind::Int:
                    out.integer(fi, signExtend(r.le(c.size, "integer value"), c.size));
                    break;
                case Kind::UInt:
                    out.integer(fi, static_cast<int64_t>(r.le(c.size, "integer value")));
                    break;
                case Kind::Bool:
                    out.boolean(fi, r.le(c.size, "Boolean value") != 0);
                    break;
                case Kind::Float:
                case Kind::DateTime:
                    out.real(fi, std::bit_cast<double>(r.le(8, "float value")));
                    break;
                case Kind::Date:
                case Kind::Time:
                    out.integer(fi, signExtend(r.le(4, "date or time value"), 4));
                    break;
                case Kind::Bcd:
                    out.raw(fi, r.bytes(c.size, "BCD value"));
                    break;
                case Kind::String: {
                    uint64_t len = r.le(c.size, "string length");
                    if (len > r.left())
                        r.fail(valueAt, fmt::format("record {}, field \"{}\": string of {} bytes runs past the end",
                                                    ri + 1, fields[fi].name, len));
                    out.codePage(fi, r.bytes(static_cast<size_t>(len), "string"));
                    break;
                }
                case Kind::WString: {
                    uint64_t len = r.le(c.size, "string length");
                    if (len > r.left())
                        r.fail(valueAt, fmt::format("record {}, field \"{}\": string of {} bytes runs past the end",
                                                    ri + 1, fields[fi].name, len));
                    if (!out.utf16(fi, r.bytes(static_cast<size_t>(len), "string")))
                        r.fail(valueAt,
                               fmt::format("record {}, field \"{}\": not valid UTF-16", ri + 1, fields[fi].name));
                    break;
                }
                case Kind::Bytes: {
                    uint64_t len = r.le(c.size, "blob length");
                    if (len > r.left())
                        r.fail(valueAt, fmt::format("record {}, field \"{}\": blob of {} bytes runs past the end",
                                                    ri + 1, fields[fi].name, len));
                    out.raw(fi, r.bytes(static_cast<size_t>(len), "blob"));
                    break;
                }
            }
        }
        if (!out.end()) return false;
    }
    if (r.left() != 0) r.fail(r.pos, fmt::format("{} bytes after the last of {} records", r.left(), l.recordCount));
    return true;
}

// Records as Record values, handed to a sink one by one.
class ToSink {
  public:
    ToSink(RecordSink& sink, size_t width) : sink_(sink), width_(width) {}
    bool start(uint8_t status) {
        rec_.status = status;
        // A record the sink kept is reused: its texts keep their room.
        rec_.cells.resize(width_);
        return true;
    }
    bool null(size_t fi) {
        rec_.cells[fi] = std::monostate{};
        return true;
    }
    bool unchanged(size_t fi) {
        rec_.cells[fi] = Unchanged{};
        return true;
    }
    void integer(size_t fi, int64_t v) { rec_.cells[fi] = v; }
    void boolean(size_t fi, bool v) { rec_.cells[fi] = v; }
    void real(size_t fi, double v) { rec_.cells[fi] = v; }
    void raw(size_t fi, std::string_view b) { rec_.cells[fi] = std::string(b); }
    void codePage(size_t fi, std::string_view b) {
        std::string& s = text(fi);
        s.reserve(b.size());
        detail::appendFromCodePage(s, b);
    }
    bool utf16(size_t fi, std::string_view b) { return detail::appendUtf16ToUtf8(text(fi), b); }
    bool end() { return sink_.record(rec_); }

  private:
    std::string& text(size_t fi) {
        Cell& cell = rec_.cells[fi];
        if (std::string* s = std::get_if<std::string>(&cell)) {
            s->clear();
            return *s;
        }
        return cell.emplace<std::string>();
    }

    RecordSink& sink_;
    size_t width_;
    Record rec_;
};

// Records straight into compact rows, as long as every one is an original
// record with every value given.
class ToRows {
  public:
    explicit ToRows(RowStore& rows) : rows_(rows) {}
    bool start(uint8_t status) { return status == kUnchangedRecord; }
    bool null(size_t) {
        rows_.putNull();
        return true;
    }
    bool unchanged(size_t) { return false; }
    void integer(size_t, int64_t v) { rows_.putInt(v); }
    void boolean(size_t, bool v) { rows_.putBool(v); }
    void real(size_t, double v) { rows_.putFloat(v); }
    void raw(size_t, std::string_view b) { rows_.putText(b); }
    void codePage(size_t, std::string_view b) {
        if (b.size() <= 8) {  // codes, flags, units: in the slot, and mostly ASCII
            unsigned char any = 0;
            for (char ch : b) any |= static_cast<unsigned char>(ch);
            if (any < 0x80) {
                rows_.putShortText(b);
                return;
            }
        }
        char* room = rows_.textRoom(b.size() * detail::kMaxUtf8PerByte);
        rows_.putTextFromRoom(detail::fromCodePage(room, b));
    }
    bool utf16(size_t, std::string_view b) {
        scratch_.clear();
        if (!detail::appendUtf16ToUtf8(scratch_, b)) return false;
        rows_.putText(scratch_);
        return true;
    }
    bool end() {
        rows_.endRow();
        return true;
    }

  private:
    RowStore& rows_;
    std::string scratch_;
};

}  // namespace

Packet decodeBinary(std::string_view bytes, std::string_view source, const CodecOptions& opts) {
    // The records are kept as they come.
    class Keep final : public RecordSink {
      public:
        Packet p;
        void begin(const Packet& header, uint32_t records, size_t bytes) override {
            p = header;
            (void)bytes;
            p.records.reserve(records);
        }
        bool record(Record& rec) override {
            p.records.push_back(std::move(rec));
            return true;
        }
    } keep;
    decodeBinary(bytes, source, keep, opts);
    return std::move(keep.p);
}

void decodeBinary(std::string_view bytes, std::string_view source, RecordSink& sink, const CodecOptions&) {
    Reader r(bytes, source);
    Layout l = readLayout(r, bytes);
    sink.begin(l.header, plausibleRecords(l, r), r.left());
    ToSink out(sink, l.header.fields.size());
    readRecords(r, l, out);
}

bool decodeBinaryRows(std::string_view bytes, std::string_view source, Packet& header, RowStore& rows,
                      const CodecOptions&) {
    Reader r(bytes, source);
    Layout l = readLayout(r, bytes);
    header = l.header;
    rows.reset(header.fields.size());
    for (const Property& prop : header.props)
        if (prop.name == "CHANGE_LOG") return false;
    uint32_t records = plausibleRecords(l, r);
    // Status bytes are not texts; whatever else the records hold may be. The
    // estimate is generous only in memory that is never touched, and what it
    // leaves unused is given back in place by shrink().
    rows.reserve(records, r.left() - static_cast<size_t>(records) * (1 + l.statusBytes));
    ToRows out(rows);
    if (readRecords(r, l, out)) return true;
    rows.reset(header.fields.size());
    return false;
}

namespace {

inline void putLE(std::string& out, uint64_t v, size_t n) {
    char b[8];
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, n);
}

inline void patchLE(std::string& out, size_t at, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

[[noreturn]] void encodeFail(std::string_view msg) {
    throw PacketError("encoding a binary packet: " + std::string(msg));
}

void putName(std::string& out, std::string_view name, std::string_view what) {
    std::string raw;
    if (detail::appendToCodePage(raw, name) != detail::kOk)
        encodeFail(fmt::format("{} \"{}\" has a character Windows-1252 cannot hold", what, name));
    if (raw.size() > 255) encodeFail(fmt::format("{} \"{}\" is longer than 255 bytes", what, name));
    out += static_cast<char>(raw.size());
    out += raw;
}

void putProperty(std::string& out, const Property& p) {
    putName(out, p.name, "property name");
    putLE(out, p.size, 2);
    putLE(out, p.type, 2);
    out += p.value;
}

}  // namespace

std::string encodeBinary(const Packet& p, const CodecOptions&) {
    if (p.fields.size() > 0xFFFF) encodeFail("more than 65535 fields");
    if (p.records.size() > 0xFFFFFFFFu) encodeFail("too many records");
    auto columns = columnsOf(p.fields, [&](size_t i, std::string why) {
        encodeFail(fmt::format("field {} \"{}\": {}", i + 1, p.fields[i].name, why));
    });
    const size_t fieldCount = p.fields.size();
    const size_t statusBytes = (fieldCount + 3) / 4;

    std::string out;
    size_t estimate = kHeaderSize + 64 * fieldCount;
    size_t perRecord = 1 + statusBytes;
    for (const Column& c : columns)
        perRecord +=
            (c.kind == Kind::String || c.kind == Kind::WString || c.kind == Kind::Bytes) ? c.size + 12 : c.size;
    out.reserve(estimate + perRecord * p.records.size());

    out.append(reinterpret_cast<const char*>(kMagic), 4);
    putLE(out, p.majorVersion, 2);
    putLE(out, p.minorVersion, 2);
    putLE(out, kHeaderSize, 4);
    putLE(out, fieldCount, 2);
    putLE(out, p.records.size(), 4);
    putLE(out, p.flags, 4);
    putLE(out, 0, 2);  // first record offset, patched below
    for (const FieldDef& f : p.fields) {
        putName(out, f.name, "field name");
        putLE(out, f.size, 2);
        putLE(out, f.type, 2);
        putLE(out, f.attributes, 2);
        if (f.props.size() > 0xFFFF) encodeFail("too many field properties");
        putLE(out, f.props.size(), 2);
        for (const Property& pr : f.props) putProperty(out, pr);
    }
    if (p.props.size() > 0xFFFF) encodeFail("too many packet properties");
    putLE(out, p.props.size(), 2);
    for (const Property& pr : p.props) putProperty(out, pr);
    if (out.size() > 0xFFFF)
        encodeFail(fmt::format("field descriptors and properties take {} bytes (at most 65535)", out.size()));
    patchLE(out, 22, out.size(), 2);

    for (size_t ri = 0; ri < p.records.size(); ++ri) {
        const Record& rec = p.records[ri];
        if (rec.cells.size() != fieldCount)
            encodeFail(fmt::format("record {} has {} values for {} fields", ri + 1, rec.cells.size(), fieldCount));
        out += static_cast<char>(rec.status);
        size_t stAt = out.size();
        out.append(statusBytes, '\0');
        for (size_t fi = 0; fi < fieldCount; ++fi) {
            const Cell& cell = rec.cells[fi];
            unsigned s = 0;
            if (cell.index() == 0) s = 1;
            else if (cell.index() == 1) s = 2;
            if (s) {
                out[stAt + (fi >> 2)] = static_cast<char>(out[stAt + (fi >> 2)] | (s << ((fi & 3) * 2)));
                continue;
            }
            const Column c = columns[fi];
            auto bad = [&](std::string_view what) {
                encodeFail(fmt::format("record {}, field \"{}\": {}", ri + 1, p.fields[fi].name, what));
            };
            switch (c.kind) {
                case Kind::Int:
                case Kind::UInt:
                case Kind::Date:
                case Kind::Time: {
                    const int64_t* v = std::get_if<int64_t>(&cell);
                    if (!v) bad("value is not an integer");
                    if (c.size < 8) {
                        int64_t lo, hi;
                        if (c.kind == Kind::UInt) lo = 0, hi = static_cast<int64_t>((1ULL << (8 * c.size)) - 1);
                        else lo = -(int64_t(1) << (8 * c.size - 1)), hi = (int64_t(1) << (8 * c.size - 1)) - 1;
                        if (*v < lo || *v > hi) bad(fmt::format("{} does not fit in {} bytes", *v, c.size));
                    }
                    putLE(out, static_cast<uint64_t>(*v), c.size);
                    break;
                }
                case Kind::Bool: {
                    const bool* v = std::get_if<bool>(&cell);
                    if (!v) bad("value is not a Boolean");
                    putLE(out, *v ? 1 : 0, c.size);
                    break;
                }
                case Kind::Float:
                case Kind::DateTime: {
                    double d;
                    if (const double* v = std::get_if<double>(&cell)) d = *v;
                    else if (const int64_t* i = std::get_if<int64_t>(&cell)) d = static_cast<double>(*i);
                    else bad("value is not a number");
                    putLE(out, std::bit_cast<uint64_t>(d), 8);
                    break;
                }
                case Kind::Bcd: {
                    const std::string* v = std::get_if<std::string>(&cell);
                    if (!v || v->size() != c.size) bad(fmt::format("BCD value is not {} raw bytes", c.size));
                    out += *v;
                    break;
                }
                case Kind::String:
                case Kind::WString:
                case Kind::Bytes: {
                    const std::string* v = std::get_if<std::string>(&cell);
                    if (!v) bad("value is not a text");
                    size_t lenAt = out.size();
                    putLE(out, 0, c.size);
                    if (c.kind == Kind::String) {
                        size_t badAt = detail::appendToCodePage(out, *v);
                        if (badAt != detail::kOk)
                            bad(fmt::format("character at byte {} of \"{}\" is not UTF-8 or has no Windows-1252 form",
                                            badAt, *v));
                    } else if (c.kind == Kind::WString) {
                        if (!detail::appendUtf8ToUtf16(out, *v)) bad("text is not UTF-8");
                    } else {
                        out += *v;
                    }
                    uint64_t len = out.size() - lenAt - c.size;
                    if (c.size < 8 && len >= (1ULL << (8 * c.size)))
                        bad(fmt::format("{} bytes do not fit a {}-byte length", len, c.size));
                    patchLE(out, lenAt, len, c.size);
                    break;
                }
            }
        }
    }
    return out;
}

}  // namespace zel::ds
