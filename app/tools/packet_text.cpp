// Packets rendered for people (aligned table) and programs (JSON, CSV), and the
// project's JSON form read back.
#include "tools/packet_text.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "platform/dataset/codec.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace zel::tools {
namespace {

using ds::Cell;
using ds::FieldDef;
using json = nlohmann::ordered_json;

std::string base64Decode(std::string_view in, const std::string& where) {
    std::string out;
    if (!ds::decodeBase64(in, out)) throw Error(fmt::format("{}: not base64", where));
    return out;
}

bool isMemo(const FieldDef& f) { return f.typeCode() == ds::kBytes && f.subtype() == "Text"; }

std::string isoDate(const CalendarFields& c) { return fmt::format("{:04}-{:02}-{:02}", c.year, c.month, c.day); }
std::string isoTime(const CalendarFields& c) {
    return fmt::format("{:02}:{:02}:{:02}.{:03}", c.hour, c.minute, c.second, c.millisecond);
}

// Reads "YYYY-MM-DD", "HH:MM:SS[.mmm]" or "YYYY-MM-DD[THH:MM:SS[.mmm]]".
bool parseIso(std::string_view s, bool wantDate, bool wantTime, CalendarFields& c) {
    auto num = [&](size_t pos, size_t len, int& out) {
        if (pos + len > s.size()) return false;
        out = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            if (s[i] < '0' || s[i] > '9') return false;
            out = out * 10 + (s[i] - '0');
        }
        return true;
    };
    size_t pos = 0;
    if (wantDate) {
        if (!num(0, 4, c.year) || s.size() < 10 || s[4] != '-' || !num(5, 2, c.month) || s[7] != '-' ||
            !num(8, 2, c.day))
            return false;
        pos = 10;
        if (pos == s.size()) return DateTime::isValidDate(c.year, c.month, c.day);
        if (!wantTime || s[pos] != 'T') return false;
        ++pos;
    }
    if (!num(pos, 2, c.hour) || pos + 2 >= s.size() || s[pos + 2] != ':' || !num(pos + 3, 2, c.minute) ||
        pos + 5 >= s.size() || s[pos + 5] != ':' || !num(pos + 6, 2, c.second))
        return false;
    pos += 8;
    c.millisecond = 0;
    if (pos < s.size()) {
        if (s[pos] != '.' || !num(pos + 1, 3, c.millisecond) || pos + 4 != s.size()) return false;
    }
    if (c.hour > 23 || c.minute > 59 || c.second > 59) return false;
    return !wantDate || DateTime::isValidDate(c.year, c.month, c.day);
}

}  // namespace

std::string typeName(const FieldDef& f) {
    switch (f.typeCode()) {
        case ds::kInt:
            return f.size == 1 ? "i1" : f.size == 2 ? "i2" : f.size == 8 ? "i8" : "i4";
        case ds::kUInt:
            return f.size == 1 ? "ui1" : f.size == 2 ? "ui2" : f.size == 8 ? "ui8" : "ui4";
        case ds::kBool:
            return "boolean";
        case ds::kFloat:
            return "r8";
        case ds::kBcd:
            return "fixed";
        case ds::kDate:
            return "date";
        case ds::kTime:
            return "time";
        case ds::kDateTime:
            return "dateTime";
        case ds::kString:
            return "string";
        case ds::kWString:
            return "string.uni";
        case ds::kBytes:
            return "bin.hex";
        default:
            return fmt::format("type{}", f.typeCode());
    }
}

std::string cellText(const FieldDef& f, const Cell& c) {
    if (ds::isNull(c) || std::holds_alternative<ds::Unchanged>(c)) return {};
    switch (f.typeCode()) {
        case ds::kBool:
            return std::get<bool>(c) ? "true" : "false";
        case ds::kInt:
        case ds::kUInt:
            return std::to_string(std::get<int64_t>(c));
        case ds::kFloat:
            return floatToStr(std::get<double>(c), FormatSettings::invariant());
        case ds::kDate:
            return isoDate(DateTime::fromPacketDate(int32_t(std::get<int64_t>(c))).fields());
        case ds::kTime:
            return isoTime(DateTime::fromPacketTime(int32_t(std::get<int64_t>(c))).fields());
        case ds::kDateTime: {
            CalendarFields cf = DateTime::fromPacketDateTime(std::get<double>(c)).fields();
            return isoDate(cf) + "T" + isoTime(cf);
        }
        case ds::kString:
        case ds::kWString:
            return std::get<std::string>(c);
        case ds::kBytes:
            if (isMemo(f)) return ds::decodeCodePage(std::get<std::string>(c));
            return ds::encodeBase64(std::get<std::string>(c));
        default:
            return ds::encodeBase64(std::get<std::string>(c));
    }
}

json toJson(const ds::Packet& p) {
    json out;
    json fields = json::array();
    for (const FieldDef& f : p.fields) {
        json jf;
        jf["name"] = f.name;
        jf["type"] = typeName(f);
        if (int w = f.width()) jf["width"] = w;
        if (std::string st = f.subtype(); !st.empty()) jf["subtype"] = st;
        if (f.attributes & ds::kRequired) jf["required"] = true;
        if (f.attributes & ds::kReadOnly) jf["readonly"] = true;
        if (f.attributes & ds::kHidden) jf["hidden"] = true;
        if (f.attributes & ~(ds::kRequired | ds::kReadOnly | ds::kHidden)) jf["attributes"] = f.attributes;
        fields.push_back(jf);
    }
    out["fields"] = fields;
    json params = json::object();
    for (const ds::Property& pr : p.props) {
        if (pr.name == "CHANGE_LOG") continue;  // rows below are the live ones
        if (auto v = pr.asInt()) params[pr.name] = *v;
        else if (auto l = pr.asList()) params[pr.name] = *l;
        else if (auto t = pr.asText()) params[pr.name] = *t;
    }
    out["params"] = params;
    json rows = json::array();
    for (size_t r : p.liveRecordOrder()) {
        const ds::Record& rec = p.records[r];
        json row = json::object();
        for (size_t i = 0; i < p.fields.size() && i < rec.cells.size(); ++i) {
            const FieldDef& f = p.fields[i];
            const Cell& c = rec.cells[i];
            if (ds::isNull(c) || std::holds_alternative<ds::Unchanged>(c)) {
                row[f.name] = nullptr;
                continue;
            }
            switch (f.typeCode()) {
                case ds::kBool:
                    row[f.name] = std::get<bool>(c);
                    break;
                case ds::kInt:
                case ds::kUInt:
                    row[f.name] = std::get<int64_t>(c);
                    break;
                case ds::kFloat:
                    row[f.name] = std::get<double>(c);
                    break;
                default:
                    row[f.name] = cellText(f, c);
            }
        }
        rows.push_back(std::move(row));
    }
    out["rows"] = rows;
    return out;
}

namespace {

FieldDef fieldFromJson(const json& jf, const std::string& where) {
    if (!jf.is_object() || !jf.contains("name") || !jf["name"].is_string() || !jf.contains("type") ||
        !jf["type"].is_string())
        throw Error(where + ": a field needs a \"name\" and a \"type\"");
    std::string name = jf["name"];
    std::string type = jf["type"];
    std::string subtype = jf.value("subtype", std::string());
    int width = jf.value("width", 0);
    FieldDef f;
    auto intField = [&](uint8_t code, uint16_t size) { return FieldDef{name, size, code, 0, {}}; };
    if (type == "string") {
        if (width <= 0) throw Error(fmt::format("{}: field {}: a string needs a positive \"width\"", where, name));
        f = FieldDef::string(name, width, subtype == "FixedChar");
        subtype.clear();
    } else if (type == "string.uni") {
        if (width <= 0) throw Error(fmt::format("{}: field {}: a string needs a positive \"width\"", where, name));
        f = FieldDef{
            name, 2, uint16_t(ds::kWString | ds::kVaryingBit), 0, {ds::Property::uint16("WIDTH", uint16_t(width))}};
    } else if (type == "i1") f = intField(ds::kInt, 1);
    else if (type == "i2") f = intField(ds::kInt, 2);
    else if (type == "i4") f = intField(ds::kInt, 4);
    else if (type == "i8") f = intField(ds::kInt, 8);
    else if (type == "ui1") f = intField(ds::kUInt, 1);
    else if (type == "ui2") f = intField(ds::kUInt, 2);
    else if (type == "ui4") f = intField(ds::kUInt, 4);
    else if (type == "ui8") f = intField(ds::kUInt, 8);
    else if (type == "r8") f = FieldDef::floatField(name);
    else if (type == "boolean") f = FieldDef::boolean(name);
    else if (type == "date") f = FieldDef::date(name);
    else if (type == "time") f = FieldDef::time(name);
    else if (type == "dateTime") f = FieldDef::dateTime(name);
    else if (type == "bin.hex") {
        f = FieldDef{name, 4, uint16_t(ds::kBytes | ds::kVaryingBit), 0, {}};
        if (subtype.empty()) subtype = "Binary";
    } else throw Error(fmt::format("{}: field {}: unknown type \"{}\"", where, name, type));
    if (!subtype.empty()) f.props.push_back(ds::Property::text("SUBTYPE", subtype));
    if (type == "bin.hex" && width > 0) f.props.push_back(ds::Property::uint16("WIDTH", uint16_t(width)));
    if (jf.value("required", false)) f.attributes |= ds::kRequired;
    if (jf.value("readonly", false)) f.attributes |= ds::kReadOnly;
    if (jf.value("hidden", false)) f.attributes |= ds::kHidden;
    if (jf.contains("attributes") && jf["attributes"].is_number_unsigned()) f.attributes = jf["attributes"];
    return f;
}

Cell cellFromJson(const FieldDef& f, const json& v, const std::string& where) {
    if (v.is_null()) return std::monostate{};
    auto bad = [&](const char* what) {
        return Error(fmt::format("{}: field {}: {} is not {}", where, f.name, v.dump(), what));
    };
    switch (f.typeCode()) {
        case ds::kBool:
            if (!v.is_boolean()) throw bad("a Boolean");
            return v.get<bool>();
        case ds::kInt:
        case ds::kUInt: {
            if (!v.is_number_integer()) throw bad("an integer");
            int64_t i = v.get<int64_t>();
            int bits = 8 * f.size;
            bool fits = f.typeCode() == ds::kInt
                            ? (bits >= 64 || (i >= -(int64_t(1) << (bits - 1)) && i < (int64_t(1) << (bits - 1))))
                            : (i >= 0 && (bits >= 64 || i < (int64_t(1) << bits)));
            if (!fits) throw bad("in the range of the field");
            return i;
        }
        case ds::kFloat:
            if (!v.is_number()) throw bad("a number");
            return v.get<double>();
        case ds::kDate:
        case ds::kTime:
        case ds::kDateTime: {
            if (!v.is_string()) throw bad("a date or time text");
            CalendarFields c;
            bool date = f.typeCode() != ds::kTime, time = f.typeCode() != ds::kDate;
            if (!parseIso(v.get<std::string>(), date, time, c)) throw bad("a date or time in ISO form");
            if (f.typeCode() == ds::kDate) return int64_t(DateTime::fromDate(c.year, c.month, c.day).packetDate());
            if (f.typeCode() == ds::kTime)
                return int64_t(DateTime::fromTime(c.hour, c.minute, c.second, c.millisecond).packetTime());
            return DateTime::fromFields(c).packetDateTime();
        }
        case ds::kString:
        case ds::kWString: {
            if (!v.is_string()) throw bad("a text");
            return v.get<std::string>();
        }
        case ds::kBytes:
            if (!v.is_string()) throw bad("a text");
            if (isMemo(f)) return ds::encodeCodePage(v.get<std::string>());
            return base64Decode(v.get<std::string>(), where + ": field " + f.name);
        default:
            throw bad("of a type this form can hold");
    }
}

}  // namespace

ds::Packet fromJson(const json& j, const std::string& source) {
    if (!j.is_object() || !j.contains("fields") || !j["fields"].is_array())
        throw Error(source + ": not a table: a JSON object with \"fields\" and \"rows\" is expected");
    ds::Packet p;
    for (size_t i = 0; i < j["fields"].size(); ++i)
        p.fields.push_back(fieldFromJson(j["fields"][i], fmt::format("{}: fields[{}]", source, i)));
    if (j.contains("params") && j["params"].is_object()) {
        for (auto& [k, v] : j["params"].items()) {
            if (v.is_number_integer()) p.props.push_back(ds::Property::int32(k, v.get<int32_t>()));
            else if (v.is_array()) p.props.push_back(ds::Property::intList(k, v.get<std::vector<int64_t>>()));
            else if (v.is_string()) p.props.push_back(ds::Property::text(k, v.get<std::string>()));
            else throw Error(fmt::format("{}: params.{}: unsupported value {}", source, k, v.dump()));
        }
    }
    if (j.contains("rows")) {
        if (!j["rows"].is_array()) throw Error(source + ": \"rows\" must be an array");
        const json& rows = j["rows"];
        for (size_t r = 0; r < rows.size(); ++r) {
            std::string where = fmt::format("{}: rows[{}]", source, r);
            if (!rows[r].is_object()) throw Error(where + ": a row must be an object");
            for (auto& [k, v] : rows[r].items())
                if (p.fieldIndex(k) < 0) throw Error(fmt::format("{}: no field named {}", where, k));
            ds::Record rec;
            rec.cells.reserve(p.fields.size());
            for (const FieldDef& f : p.fields) {
                auto it = rows[r].find(f.name);
                rec.cells.push_back(it == rows[r].end() ? Cell(std::monostate{}) : cellFromJson(f, *it, where));
            }
            p.records.push_back(std::move(rec));
        }
    }
    return p;
}

std::string toCsv(const ds::Packet& p) {
    auto quote = [](const std::string& s) {
        if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
        std::string q = "\"";
        for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
        return q + "\"";
    };
    std::string out;
    for (size_t i = 0; i < p.fields.size(); ++i) out += (i ? "," : "") + quote(p.fields[i].name);
    out += "\r\n";
    for (size_t r : p.liveRecordOrder()) {
        const ds::Record& rec = p.records[r];
        for (size_t i = 0; i < p.fields.size(); ++i)
            out += (i ? "," : "") + quote(i < rec.cells.size() ? cellText(p.fields[i], rec.cells[i]) : "");
        out += "\r\n";
    }
    return out;
}

namespace {

std::string cut(const std::string& s, size_t max) {
    if (utf8Length(s) <= max) return s;
    std::string out;
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) != 0x80 && ++n > max - 3) break;
        out += s[i];
    }
    return out + "...";
}

}  // namespace

std::string toAlignedTable(const ds::Packet& p, size_t maxCell) {
    std::string out;
    out += fmt::format("{} fields, {} rows\n", p.fields.size(), p.liveRecordOrder().size());
    for (size_t i = 0; i < p.fields.size(); ++i) {
        const FieldDef& f = p.fields[i];
        std::string extra;
        if (int w = f.width()) extra += fmt::format("({})", w);
        if (std::string st = f.subtype(); !st.empty()) extra += " " + st;
        if (f.attributes & ds::kRequired) extra += " required";
        if (f.attributes & ds::kReadOnly) extra += " readonly";
        out += fmt::format("  {:>3} {} {}{}\n", i + 1, f.name, typeName(f), extra);
    }
    std::vector<std::vector<std::string>> cells;
    std::vector<size_t> widths(p.fields.size());
    for (size_t i = 0; i < p.fields.size(); ++i) widths[i] = utf8Length(p.fields[i].name);
    for (size_t r : p.liveRecordOrder()) {
        std::vector<std::string> row;
        for (size_t i = 0; i < p.fields.size(); ++i) {
            const FieldDef& f = p.fields[i];
            const Cell& c = p.records[r].cells[i];
            std::string t;
            if (ds::isNull(c)) t = "(null)";
            else if (f.typeCode() == ds::kBytes && !isMemo(f))
                t = fmt::format("<{} bytes>", std::get<std::string>(c).size());
            else t = cellText(f, c);
            for (char& ch : t)
                if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
            t = cut(t, maxCell);
            widths[i] = std::max(widths[i], utf8Length(t));
            row.push_back(std::move(t));
        }
        cells.push_back(std::move(row));
    }
    auto line = [&](const std::vector<std::string>& row) {
        std::string l;
        for (size_t i = 0; i < row.size(); ++i) {
            bool right = p.fields[i].typeCode() == ds::kInt || p.fields[i].typeCode() == ds::kUInt ||
                         p.fields[i].typeCode() == ds::kFloat;
            std::string pad(widths[i] - utf8Length(row[i]), ' ');
            l += (i ? " | " : "") + (right ? pad + row[i] : row[i] + pad);
        }
        while (!l.empty() && l.back() == ' ') l.pop_back();
        return l + "\n";
    };
    std::vector<std::string> header;
    for (const FieldDef& f : p.fields) header.push_back(f.name);
    out += "\n" + line(header);
    std::string rule;
    for (size_t i = 0; i < widths.size(); ++i) rule += (i ? "-+-" : "") + std::string(widths[i], '-');
    out += rule + "\n";
    for (auto& row : cells) out += line(row);
    return out;
}

}  // namespace zel::tools
