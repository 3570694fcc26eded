// The XML data-packet form: FIELD descriptors with their fieldtype names,
// PARAMS for the packet properties, one ROW per record with absent = null.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <pugixml.hpp>
#include <unordered_map>

#include "platform/dataset/codec.h"
#include "platform/dataset/codec_internal.h"

namespace zel::ds {
namespace {

using detail::Kind;
constexpr int64_t kMsPerDay = 86400000;

struct TypeName {
    const char* name;
    Kind kind;
    uint16_t code;
    uint16_t size;
};
constexpr TypeName kTypeNames[] = {
    {"string", Kind::String, kString, 0}, {"string.uni", Kind::WString, kWString, 0},
    {"i1", Kind::Int, kInt, 1},           {"i2", Kind::Int, kInt, 2},
    {"i4", Kind::Int, kInt, 4},           {"i8", Kind::Int, kInt, 8},
    {"ui1", Kind::UInt, kUInt, 1},        {"ui2", Kind::UInt, kUInt, 2},
    {"ui4", Kind::UInt, kUInt, 4},        {"ui8", Kind::UInt, kUInt, 8},
    {"r8", Kind::Float, kFloat, 8},       {"fixed", Kind::Bcd, kBcd, 34},
    {"boolean", Kind::Bool, kBool, 2},    {"date", Kind::Date, kDate, 4},
    {"time", Kind::Time, kTime, 4},       {"dateTime", Kind::DateTime, kDateTime, 8},
    {"bin.hex", Kind::Bytes, kBytes, 4},
};

bool isMemo(const FieldDef& f) {
    std::string st = f.subtype();
    return st == "Text" || st == "FormattedText";
}

// ---- values -------------------------------------------------------------

std::string bcdToText(std::string_view raw, bool& ok) {
    ok = false;
    if (raw.size() < 2) return {};
    unsigned prec = static_cast<unsigned char>(raw[0]);
    unsigned places = static_cast<unsigned char>(raw[1]) & 0x3F;
    bool neg = (static_cast<unsigned char>(raw[1]) & 0x80) != 0;
    if (prec > 2 * (raw.size() - 2) || places > prec) return {};
    std::string digits;
    for (unsigned i = 0; i < prec; ++i) {
        unsigned char b = static_cast<unsigned char>(raw[2 + i / 2]);
        unsigned d = (i % 2 == 0) ? (b >> 4) : (b & 0x0F);
        if (d > 9) return {};
        digits += static_cast<char>('0' + d);
    }
    std::string ip = digits.substr(0, prec - places), fp = digits.substr(prec - places);
    size_t nz = ip.find_first_not_of('0');
    ip = nz == std::string::npos ? "0" : ip.substr(nz);
    while (!fp.empty() && fp.back() == '0') fp.pop_back();
    ok = true;
    std::string out = (neg && (ip != "0" || !fp.empty())) ? "-" : "";
    out += ip;
    if (!fp.empty()) out += "." + fp;
    return out;
}

bool textToBcd(std::string_view t, size_t size, std::string& out) {
    bool neg = !t.empty() && t[0] == '-';
    if (neg) t.remove_prefix(1);
    size_t dot = t.find('.');
    std::string_view ip = t.substr(0, dot), fp = dot == std::string_view::npos ? "" : t.substr(dot + 1);
    if (ip.empty() && fp.empty()) return false;
    for (char c : ip)
        if (c < '0' || c > '9') return false;
    for (char c : fp)
        if (c < '0' || c > '9') return false;
    while (!ip.empty() && ip[0] == '0') ip.remove_prefix(1);
    std::string digits = std::string(ip) + std::string(fp);
    if (digits.empty()) digits = "0";
    if (digits.size() > 2 * (size - 2) || fp.size() > 63) return false;
    out.assign(size, '\0');
    out[0] = static_cast<char>(digits.size());
    out[1] = static_cast<char>((neg ? 0x80 : 0) | fp.size());
    for (size_t i = 0; i < digits.size(); ++i) {
        unsigned d = static_cast<unsigned>(digits[i] - '0');
        out[2 + i / 2] = static_cast<char>(static_cast<unsigned char>(out[2 + i / 2]) | (i % 2 == 0 ? d << 4 : d));
    }
    return true;
}

template <class T>
bool parseNumber(std::string_view s, T& v) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

bool parseDigits(std::string_view s, size_t at, size_t n, unsigned& v) {
    v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

bool parseDate(std::string_view s, int64_t& day) {
    unsigned y, m, d;
    if (s.size() != 8 || !parseDigits(s, 0, 4, y) || !parseDigits(s, 4, 2, m) || !parseDigits(s, 6, 2, d) ||
        !detail::validCivil(y, m, d))
        return false;
    day = detail::dayNumberFromCivil(y, m, d);
    return true;
}

// "HH:MM:SSmmm", or "HH:MM:SS".
bool parseTime(std::string_view s, int64_t& ms) {
    unsigned h, mi, se, milli = 0;
    if ((s.size() != 11 && s.size() != 8) || s[2] != ':' || s[5] != ':' || !parseDigits(s, 0, 2, h) ||
        !parseDigits(s, 3, 2, mi) || !parseDigits(s, 6, 2, se) || (s.size() == 11 && !parseDigits(s, 8, 3, milli)) ||
        h > 23 || mi > 59 || se > 59)
        return false;
    ms = ((h * 60 + mi) * 60 + se) * 1000LL + milli;
    return true;
}

bool parseDateTime(std::string_view s, double& v) {
    int64_t day, ms = 0;
    if (s.size() < 8 || !parseDate(s.substr(0, 8), day)) return false;
    if (s.size() > 8 && (s[8] != 'T' || !parseTime(s.substr(9), ms))) return false;
    v = static_cast<double>(day * kMsPerDay + ms);
    return true;
}

// Numbers as the runtime writes them: the 18-digit decimal form (its
// extended-precision conversion) rounded half to even to 16 significant
// digits, trailing zeros dropped, an exponent only for very large or small
// magnitudes. The samples hold values that only this rule reproduces.
void putFloat(std::string& out, double d) {
    if (d == 0) {
        out += '0';
        return;
    }
    char buf[64];
    auto res = fmt::format_to_n(buf, sizeof buf - 1, "{:.17e}", d);
    std::string_view s(buf, res.size);
    bool neg = s[0] == '-';
    if (neg) s.remove_prefix(1);
    char digits[18];
    digits[0] = s[0];
    std::memcpy(digits + 1, s.data() + 2, 17);
    size_t e = s.find('e');
    int exp = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exp);
    int n = 16;
    int tail = (digits[16] - '0') * 10 + (digits[17] - '0');
    if (tail > 50 || (tail == 50 && ((digits[15] - '0') & 1))) {
        int i = 15;
        while (i >= 0 && digits[i] == '9') digits[i--] = '0';
        if (i < 0) {
            digits[0] = '1';
            ++exp;
        } else {
            ++digits[i];
        }
    }
    while (n > 1 && digits[n - 1] == '0') --n;
    if (neg) out += '-';
    if (exp >= 16 || exp < -5) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, n - 1);
        }
        fmt::format_to(std::back_inserter(out), "E{}", exp);
    } else if (exp < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exp - 1), '0');
        out.append(digits, n);
    } else {
        out.append(digits, std::min(n, exp + 1));
        if (n < exp + 1) out.append(static_cast<size_t>(exp + 1 - n), '0');
        if (n > exp + 1) {
            out += '.';
            out.append(digits + exp + 1, n - exp - 1);
        }
    }
}

void putDate(std::string& out, int64_t day) {
    int64_t y;
    unsigned m, d;
    detail::civilFromDayNumber(day, y, m, d);
    fmt::format_to(std::back_inserter(out), "{:04}{:02}{:02}", y, m, d);
}

void putTime(std::string& out, int64_t ms) {
    fmt::format_to(std::back_inserter(out), "{:02}:{:02}:{:02}{:03}", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                   ms % 1000);
}

// Attribute text as the runtime writes it: the five entities, control
// characters as three-digit references.
void escape(std::string& out, std::string_view s) {
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        const char* rep = nullptr;
        char buf[8];
        switch (c) {
            case '&':
                rep = "&amp;";
                break;
            case '<':
                rep = "&lt;";
                break;
            case '>':
                rep = "&gt;";
                break;
            case '"':
                rep = "&quot;";
                break;
            case '\'':
                rep = "&apos;";
                break;
            default:
                if (c < 0x20) {
                    std::snprintf(buf, sizeof buf, "&#%03u;", c);
                    rep = buf;
                }
        }
        if (rep) {
            out.append(s.data() + start, i - start);
            out += rep;
            start = i + 1;
        }
    }
    out.append(s.data() + start, s.size() - start);
}

std::string xmlName(std::string_view n) {
    std::string out;
    for (size_t i = 0; i < n.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(n[i]);
        bool ok = c >= 0x80 || std::isalpha(c) || c == '_' || (i > 0 && (std::isdigit(c) || c == '.' || c == '-'));
        if (i == 0 && !ok && (std::isdigit(c) || c == '.' || c == '-')) out += '_', ok = true;
        out += ok ? static_cast<char>(c) : '_';
    }
    if (out.empty() || out == "RowState") out = "_" + out;
    return out;
}

// ---- decoding -----------------------------------------------------------

class XmlDecoder {
  public:
    explicit XmlDecoder(std::string_view source) : src_(source) {}

    [[noreturn]] void fail(std::string_view msg) const { throw PacketError(fmt::format("{}: {}", src_, msg)); }

    Packet decode(std::string_view bytes) {
        std::string text;
        size_t bom = 0;
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bom = 3;
        bool singleByte = !bom && declaredSingleByte(bytes);
        if (singleByte) text = decodeCodePage(bytes);
        else text.assign(bytes.substr(bom));
        pugi::xml_document doc;
        pugi::xml_parse_result res = doc.load_buffer_inplace(
            text.data(), text.size(), pugi::parse_escapes | pugi::parse_declaration, pugi::encoding_utf8);
        if (!res) {
            size_t off = static_cast<size_t>(res.offset);
            if (singleByte) {  // back to a byte offset of the single-byte input
                size_t chars = 0;
                for (size_t i = 0; i < off && i < text.size(); ++i)
                    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++chars;
                off = chars;
            } else {
                off += bom;
            }
            fail(fmt::format("invalid XML at byte offset {}: {}", off, res.description()));
        }
        pugi::xml_node root = doc.document_element();
        if (std::strcmp(root.name(), "DATAPACKET") != 0)
            fail(fmt::format("root element is <{}>, not <DATAPACKET>", root.name()));
        pugi::xml_node meta = root.child("METADATA");
        if (!meta) fail("no METADATA element");
        pugi::xml_node fields = meta.child("FIELDS");
        if (!fields) fail("no FIELDS element");
        Packet p;
        for (pugi::xml_node f : fields.children()) {
            if (f.type() != pugi::node_element) continue;
            if (std::strcmp(f.name(), "FIELD") != 0) fail(fmt::format("unexpected <{}> in FIELDS", f.name()));
            readField(p, f);
        }
        if (p.fields.size() > 0xFFFF) fail("more than 65535 fields");
        for (pugi::xml_attribute a : meta.child("PARAMS").attributes()) p.props.push_back(readParam(a));

        std::unordered_map<std::string_view, size_t> byAttr;
        for (size_t i = 0; i < attrs_.size(); ++i)
            if (!byAttr.emplace(attrs_[i], i).second) fail(fmt::format("two fields named \"{}\"", attrs_[i]));
        size_t rowNo = 0;
        for (pugi::xml_node row : root.child("ROWDATA").children()) {
            if (row.type() != pugi::node_element) continue;
            ++rowNo;
            if (std::strcmp(row.name(), "ROW") != 0)
                fail(fmt::format("row {}: unexpected <{}> in ROWDATA", rowNo, row.name()));
            Record rec;
            rec.cells.resize(p.fields.size());
            size_t expect = 0;
            for (pugi::xml_attribute a : row.attributes()) {
                std::string_view name = a.name();
                size_t fi;
                if (expect < attrs_.size() && attrs_[expect] == name) {
                    fi = expect;
                } else if (auto it = byAttr.find(name); it != byAttr.end()) {
                    fi = it->second;
                } else if (name == "RowState") {
                    int v;
                    if (!parseNumber(std::string_view(a.value()), v) || v < 0 || v > 255)
                        fail(fmt::format("row {}: RowState \"{}\" is not a record status", rowNo, a.value()));
                    rec.status = static_cast<uint8_t>(v);
                    continue;
                } else {
                    fail(fmt::format("row {}: attribute \"{}\" names no field", rowNo, name));
                }
                expect = fi + 1;
                readValue(p.fields[fi], kinds_[fi], rec.cells[fi], a.value(), rowNo, fi);
            }
            p.records.push_back(std::move(rec));
        }
        return p;
    }

  private:
    bool declaredSingleByte(std::string_view bytes) {
        if (bytes.substr(0, 5) != "<?xml") return true;
        size_t end = bytes.find("?>");
        std::string_view decl = bytes.substr(0, end);
        size_t at = decl.find("encoding");
        if (at == std::string_view::npos) return true;
        size_t q = decl.find_first_of("\"'", at);
        if (q == std::string_view::npos) fail("unreadable encoding in the XML declaration");
        size_t q2 = decl.find(decl[q], q + 1);
        if (q2 == std::string_view::npos) fail("unreadable encoding in the XML declaration");
        std::string_view given = decl.substr(q + 1, q2 - q - 1);
        std::string enc(given);
        for (char& c : enc) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (enc == "utf-8" || enc == "utf8") return false;
        if (enc == "windows-1252" || enc == "cp1252" || enc == "iso-8859-1" || enc == "latin1") return true;
        fail(fmt::format("XML encoding \"{}\" is not supported", given));
    }

    void readField(Packet& p, pugi::xml_node node) {
        size_t no = p.fields.size() + 1;
        FieldDef f;
        std::string attr = node.attribute("attrname").value();
        if (attr.empty()) fail(fmt::format("field {} has no attrname", no));
        f.name = node.attribute("fieldname") ? node.attribute("fieldname").value() : attr;
        // A field's names are written back as they are read: they must be
        // UTF-8, as the text of a row must.
        for (const std::string& name : {attr, f.name})
            for (size_t k = 0; k < name.size();)
                if (detail::utf8CodePoint(name, k) < 0) fail(fmt::format("field {}: its name is not UTF-8", no));
        auto where = [&] { return fmt::format("field {} \"{}\"", no, f.name); };
        std::string_view tn = node.attribute("fieldtype").value();
        const TypeName* t = nullptr;
        for (const TypeName& cand : kTypeNames)
            if (tn == cand.name) t = &cand;
        if (!t) fail(fmt::format("{}: fieldtype \"{}\" is not supported", where(), tn));
        f.type = t->code;
        f.size = t->size;
        if (t->kind == Kind::String || t->kind == Kind::WString || t->kind == Kind::Bytes) f.type |= kVaryingBit;

        std::vector<Property> subtype, width, extra;
        for (pugi::xml_attribute a : node.attributes()) {
            std::string_view n = a.name(), v = a.value();
            if (n == "attrname" || n == "fieldname" || n == "fieldtype") continue;
            auto flag = [&](uint16_t bit) {
                if (v == "true") f.attributes |= bit;
                else if (v != "false") fail(fmt::format("{}: {}=\"{}\" is not true or false", where(), n, v));
            };
            if (n == "required") flag(kRequired);
            else if (n == "readonly") flag(kReadOnly);
            else if (n == "hidden") flag(kHidden);
            else if (n == "linkfield") flag(kLink);
            else if (n == "SUBTYPE") subtype.push_back(Property::text("SUBTYPE", v));
            else if (n == "WIDTH" || n == "DECIMALS") {
                uint16_t w;
                if (!parseNumber(v, w)) fail(fmt::format("{}: {}=\"{}\" is not a number", where(), n, v));
                (n == "WIDTH" ? width : extra).push_back(Property::uint16(std::string(n), w));
            } else {
                extra.push_back(paramProperty(n, v, where()));
            }
        }
        // Property order as the runtime stores it: strings WIDTH first, others SUBTYPE first.
        if (t->kind == Kind::String || t->kind == Kind::WString) {
            if (width.empty()) fail(fmt::format("{}: string field without WIDTH", where()));
            f.props = width;
            f.props.insert(f.props.end(), subtype.begin(), subtype.end());
            int w = f.width();
            size_t bytes = t->kind == Kind::WString ? 2 * static_cast<size_t>(w) : static_cast<size_t>(w);
            f.size = bytes <= 255 ? 1 : 2;
        } else {
            f.props = subtype;
            f.props.insert(f.props.end(), width.begin(), width.end());
        }
        f.props.insert(f.props.end(), extra.begin(), extra.end());
        p.fields.push_back(std::move(f));
        attrs_.push_back(attr);
        kinds_.push_back(t->kind);
    }

    Property paramProperty(std::string_view n, std::string_view v, std::string_view where) {
        std::string name(n);
        std::vector<int64_t> list;
        bool numeric = !v.empty();
        size_t i = 0;
        while (numeric && i < v.size()) {
            size_t j = v.find(' ', i);
            if (j == std::string_view::npos) j = v.size();
            int64_t x;
            if (!parseNumber(v.substr(i, j - i), x)) numeric = false;
            else list.push_back(x);
            i = j + 1;
        }
        if (n == "DEFAULT_ORDER" || n == "PRIMARY_KEY" || n == "CHANGE_LOG") {
            if (!numeric) fail(fmt::format("{}: {}=\"{}\" is not a list of numbers", where, n, v));
            return Property::intList(name, list, n == "CHANGE_LOG" ? 4 : 2);
        }
        if (n == "LCID") {
            if (!numeric || list.size() != 1 || list[0] < INT32_MIN || list[0] > INT32_MAX)
                fail(fmt::format("{}: LCID=\"{}\" is not a number", where, v));
            return Property::int32(name, static_cast<int32_t>(list[0]));
        }
        if (numeric && list.size() == 1 && list[0] >= INT32_MIN && list[0] <= INT32_MAX)
            return Property::int32(name, static_cast<int32_t>(list[0]));
        if (numeric) return Property::intList(name, list, 4);
        // A text property is written back as it is read: it must be UTF-8, as
        // the text of a row must.
        for (size_t k = 0; k < v.size();)
            if (detail::utf8CodePoint(v, k) < 0) fail(fmt::format("{}: {} is not UTF-8", where, n));
        return Property::text(name, v);
    }

    Property readParam(pugi::xml_attribute a) { return paramProperty(a.name(), a.value(), "PARAMS"); }

    void readValue(const FieldDef& f, Kind kind, Cell& cell, std::string_view v, size_t row, size_t fi) {
        auto bad = [&](std::string_view what) {
            fail(fmt::format("row {}, field \"{}\": \"{}\" is not {}", row, f.name, v.substr(0, 60), what));
        };
        switch (kind) {
            case Kind::Int: {
                int64_t x;
                if (!parseNumber(v, x)) bad("an integer");
                if (f.size < 8) {
                    int64_t lim = int64_t(1) << (8 * f.size - 1);
                    if (x < -lim || x >= lim) bad(fmt::format("an integer of {} bytes", f.size));
                }
                cell = x;
                break;
            }
            case Kind::UInt: {
                uint64_t x;
                if (!parseNumber(v, x)) bad("an unsigned integer");
                if (f.size < 8 && x >= (1ULL << (8 * f.size)))
                    bad(fmt::format("an unsigned integer of {} bytes", f.size));
                cell = static_cast<int64_t>(x);
                break;
            }
            case Kind::Float: {
                double x;
                if (!parseNumber(v, x) || !std::isfinite(x)) bad("a number");
                cell = x;
                break;
            }
            case Kind::Bool:
                if (v == "TRUE" || v == "true") cell = true;
                else if (v == "FALSE" || v == "false") cell = false;
                else bad("TRUE or FALSE");
                break;
            case Kind::Date: {
                int64_t d;
                if (!parseDate(v, d)) bad("a date YYYYMMDD");
                cell = d;
                break;
            }
            case Kind::Time: {
                int64_t t;
                if (!parseTime(v, t)) bad("a time HH:MM:SSmmm");
                cell = t;
                break;
            }
            case Kind::DateTime: {
                double d;
                if (!parseDateTime(v, d)) bad("a date-time YYYYMMDDTHH:MM:SSmmm");
                cell = d;
                break;
            }
            case Kind::String:
            case Kind::WString: {
                size_t n;
                if (kind == Kind::String) {
                    n = detail::codePageLength(v);
                    if (n == detail::kOk) bad("a text that Windows-1252 can hold");
                } else {
                    std::string tmp;
                    if (!detail::appendUtf8ToUtf16(tmp, v)) bad("UTF-8");
                    n = tmp.size() / 2;
                }
                int w = f.width();
                if (w > 0 && n > static_cast<size_t>(w)) bad(fmt::format("at most {} characters long", w));
                cell.emplace<std::string>(v);
                break;
            }
            case Kind::Bytes: {
                std::string& out = cell.emplace<std::string>();
                if (isMemo(f)) {
                    if (detail::appendToCodePage(out, v) != detail::kOk) bad("a text that Windows-1252 can hold");
                } else if (!detail::decodeBase64(v, out)) {
                    bad("base64");
                }
                break;
            }
            case Kind::Bcd: {
                std::string raw;
                if (!textToBcd(v, f.size, raw)) bad("a decimal number that fits the field");
                cell = std::move(raw);
                break;
            }
        }
        (void)fi;
    }

    std::string_view src_;
    std::vector<std::string> attrs_;
    std::vector<Kind> kinds_;
};

// ---- encoding -----------------------------------------------------------

class XmlEncoder {
  public:
    explicit XmlEncoder(const CodecOptions& o) : utf8_(o.xmlUtf8) {}

    [[noreturn]] static void fail(std::string_view msg) {
        throw PacketError("encoding an XML packet: " + std::string(msg));
    }

    std::string encode(const Packet& p) {
        out_.reserve(256 + p.records.size() * (p.fields.size() * 16 + 16));
        out_ += utf8_ ? "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                      : "<?xml version=\"1.0\" standalone=\"yes\"?>";
        out_ += "  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
        std::vector<std::string> attrs;
        std::vector<Kind> kinds;
        std::vector<bool> memo;
        for (size_t i = 0; i < p.fields.size(); ++i) {
            const FieldDef& f = p.fields[i];
            Kind k;
            std::string why;
            if (!detail::fieldKind(f, k, why)) fail(fmt::format("field {} \"{}\": {}", i + 1, f.name, why));
            std::string attr = xmlName(f.name);
            for (int n = 2; std::find(attrs.begin(), attrs.end(), attr) != attrs.end(); ++n)
                attr = xmlName(f.name) + "_" + std::to_string(n);
            out_ += "<FIELD ";
            if (attr != f.name) {
                out_ += "fieldname=\"";
                text(f.name, "field name");
                out_ += "\" ";
            }
            out_ += "attrname=\"";
            text(attr, "field name");
            out_ += "\" fieldtype=\"";
            out_ += typeName(f, k);
            out_ += '"';
            if (f.attributes & kRequired) out_ += " required=\"true\"";
            if (f.attributes & kReadOnly) out_ += " readonly=\"true\"";
            if (f.attributes & kHidden) out_ += " hidden=\"true\"";
            if (f.attributes & kLink) out_ += " linkfield=\"true\"";
            for (const Property& pr : f.props) property(pr);
            out_ += "/>";
            attrs.push_back(std::move(attr));
            kinds.push_back(k);
            memo.push_back(isMemo(f));
        }
        out_ += "</FIELDS><PARAMS";
        for (const Property& pr : p.props) property(pr);
        out_ += "/></METADATA><ROWDATA>";
        std::vector<int64_t> replaced;
        for (size_t ri = 0; ri < p.records.size(); ++ri) {
            const Record& rec = p.records[ri];
            if (rec.cells.size() != p.fields.size())
                fail(fmt::format("record {} has {} values for {} fields", ri + 1, rec.cells.size(), p.fields.size()));
            out_ += "<ROW";
            if (rec.status) fmt::format_to(std::back_inserter(out_), " RowState=\"{}\"", rec.status);
            for (size_t fi = 0; fi < rec.cells.size(); ++fi) {
                const Cell* c = &rec.cells[fi];
                if (std::holds_alternative<Unchanged>(*c)) {
                    // The XML form has no "not changed"; write the value it stands for.
                    if (replaced.empty()) replaced = p.replacedRecords();
                    c = &p.resolvedCell(ri, fi, replaced);
                }
                if (isNull(*c)) continue;
                out_ += ' ';
                out_ += attrs[fi];
                out_ += "=\"";
                value(p.fields[fi], kinds[fi], memo[fi], *c, ri + 1);
                out_ += '"';
            }
            out_ += "/>";
        }
        out_ += "</ROWDATA></DATAPACKET>";
        return std::move(out_);
    }

  private:
    [[noreturn]] static void badCell(const FieldDef& f, size_t row, std::string_view what) {
        fail(fmt::format("row {}, field \"{}\": {}", row, f.name, what));
    }

    static std::string typeName(const FieldDef& f, Kind k) {
        for (const TypeName& t : kTypeNames)
            if (t.kind == k && (t.size == 0 || t.size == f.size || k == Kind::Bytes || k == Kind::Bcd)) return t.name;
        return "?";
    }

    // UTF-8 text, escaped, in the output's encoding. In the single-byte form
    // a character the code page lacks (a Unicode string's) becomes a
    // character reference.
    void text(std::string_view s, std::string_view what, size_t row = 0) {
        scratch_.clear();
        escape(scratch_, s);
        std::string_view rest = scratch_;
        if (utf8_) {
            bool valid = detail::codePageLength(rest) != detail::kOk;  // the common case, cheaply
            for (size_t i = 0; !valid;) {
                if (i == rest.size()) valid = true;
                else if (detail::utf8CodePoint(rest, i) < 0) break;
            }
            if (valid) {
                out_ += rest;
                return;
            }
        } else {
            for (;;) {
                size_t bad = detail::appendToCodePage(out_, rest);
                if (bad == detail::kOk) return;
                size_t i = bad;
                int32_t cp = detail::utf8CodePoint(rest, i);
                if (cp < 0) break;
                fmt::format_to(std::back_inserter(out_), "&#{};", cp);
                rest.remove_prefix(i);
            }
        }
        fail(fmt::format("{}{}: \"{}\" is not UTF-8", row ? fmt::format("row {}, ", row) : "", what, s.substr(0, 60)));
    }

    void property(const Property& pr) {
        std::string v;
        if (auto list = pr.asList()) {
            for (size_t i = 0; i < list->size(); ++i) v += (i ? " " : "") + std::to_string((*list)[i]);
        } else if (auto n = pr.asInt()) {
            v = std::to_string(*n);
        } else if (auto t = pr.asText()) {
            v = *t;
        } else {
            return;  // a shape the XML form cannot carry
        }
        out_ += ' ';
        out_ += xmlName(pr.name);
        out_ += "=\"";
        text(v, "property " + pr.name);
        out_ += '"';
    }

    void value(const FieldDef& f, Kind k, bool memo, const Cell& c, size_t row) {
        auto bad = [&](std::string_view what) { badCell(f, row, what); };
        auto integer = [&]() -> int64_t {
            if (const int64_t* v = std::get_if<int64_t>(&c)) return *v;
            badCell(f, row, "value is not an integer");
        };
        auto number = [&]() -> double {
            if (const double* v = std::get_if<double>(&c)) return *v;
            if (const int64_t* v = std::get_if<int64_t>(&c)) return static_cast<double>(*v);
            badCell(f, row, "value is not a number");
        };
        auto bytes = [&]() -> const std::string& {
            if (const std::string* v = std::get_if<std::string>(&c)) return *v;
            badCell(f, row, "value is not a text");
        };
        auto it = std::back_inserter(out_);
        switch (k) {
            case Kind::Int:
                fmt::format_to(it, "{}", integer());
                break;
            case Kind::UInt:
                fmt::format_to(it, "{}", static_cast<uint64_t>(integer()));
                break;
            case Kind::Float: {
                double d = number();
                if (!std::isfinite(d)) bad("not a finite number");
                putFloat(out_, d);
                break;
            }
            case Kind::Bool:
                if (const bool* b = std::get_if<bool>(&c)) out_ += *b ? "TRUE" : "FALSE";
                else bad("value is not a Boolean");
                break;
            case Kind::Date: {
                int64_t d = integer();
                if (d < 1 || d > 3652059) bad(fmt::format("day number {} is not a date of years 1-9999", d));
                putDate(out_, d);
                break;
            }
            case Kind::Time: {
                int64_t t = integer();
                if (t < 0 || t >= kMsPerDay) bad(fmt::format("{} ms is not a time of day", t));
                putTime(out_, t);
                break;
            }
            case Kind::DateTime: {
                double v = number();
                if (!(v >= kMsPerDay && v < 3652060.0 * kMsPerDay)) bad("not a date-time of years 1-9999");
                int64_t ms = std::llround(v);
                putDate(out_, ms / kMsPerDay);
                if (ms % kMsPerDay) {
                    out_ += 'T';
                    putTime(out_, ms % kMsPerDay);
                }
                break;
            }
            case Kind::String:
                if (detail::codePageLength(bytes()) == detail::kOk)
                    bad("text is not UTF-8 or has a character Windows-1252 cannot hold");
                text(bytes(), fmt::format("field \"{}\"", f.name), row);
                break;
            case Kind::WString:
                text(bytes(), fmt::format("field \"{}\"", f.name), row);
                break;
            case Kind::Bytes:
                if (memo) {
                    std::string u;
                    detail::appendFromCodePage(u, bytes());
                    text(u, fmt::format("field \"{}\"", f.name), row);
                } else {
                    detail::appendBase64(out_, bytes());
                }
                break;
            case Kind::Bcd: {
                bool ok;
                std::string t = bcdToText(bytes(), ok);
                if (!ok) bad("not a valid BCD value");
                out_ += t;
                break;
            }
        }
    }

    bool utf8_;
    std::string out_;
    std::string scratch_;
};

}  // namespace

Packet decodeXml(std::string_view bytes, std::string_view source, const CodecOptions&) {
    return XmlDecoder(source).decode(bytes);
}

std::string encodeXml(const Packet& packet, const CodecOptions& opts) { return XmlEncoder(opts).encode(packet); }

}  // namespace zel::ds
