// Builders and views of the data-packet model.
#include "platform/dataset/packet.h"

#include <algorithm>
#include <cstring>
#include "platform/text.h"

namespace zel::ds {
namespace {

void putLE(std::string& out, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t getLE(std::string_view in, size_t pos, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(in[pos + i])) << (8 * i);
    return v;
}

int64_t signExtend(uint64_t v, size_t n) {
    if (n >= 8) return static_cast<int64_t>(v);
    uint64_t sign = 1ULL << (8 * n - 1);
    return static_cast<int64_t>((v ^ sign) - sign);
}

}  // namespace

Property Property::uint16(std::string name, uint16_t v) {
    Property p{std::move(name), 2, kUInt, {}};
    putLE(p.value, v, 2);
    return p;
}

Property Property::int32(std::string name, int32_t v) {
    Property p{std::move(name), 4, kInt, {}};
    putLE(p.value, static_cast<uint32_t>(v), 4);
    return p;
}

Property Property::text(std::string name, std::string_view s) {
    // A 2-byte length that counts the terminating NUL, then the text and the NUL.
    Property p{std::move(name), 2, static_cast<uint16_t>(kString | kVaryingBit), {}};
    putLE(p.value, s.size() + 1, 2);
    p.value.append(s);
    p.value += '\0';
    return p;
}

Property Property::intList(std::string name, const std::vector<int64_t>& list, uint16_t elementSize) {
    Property p{std::move(name), elementSize, static_cast<uint16_t>(kUInt | kArrayBit), {}};
    putLE(p.value, list.size(), 4);
    for (int64_t v : list) putLE(p.value, static_cast<uint64_t>(v), elementSize);
    return p;
}

std::optional<int64_t> Property::asInt() const {
    uint16_t code = type & kTypeMask;
    if ((type & (kArrayBit | kVaryingBit)) || (code != kInt && code != kUInt) || size == 0 || size > 8 ||
        value.size() != size)
        return std::nullopt;
    uint64_t v = getLE(value, 0, size);
    return code == kInt ? signExtend(v, size) : static_cast<int64_t>(v);
}

std::optional<std::string> Property::asText() const {
    if (!(type & kVaryingBit) || (type & kArrayBit) || size == 0 || size > 4 || value.size() < size)
        return std::nullopt;
    uint64_t len = getLE(value, 0, size);
    if (len > value.size() - size) return std::nullopt;
    std::string s = value.substr(size, len);
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

std::optional<std::vector<int64_t>> Property::asList() const {
    uint16_t code = type & kTypeMask;
    if (!(type & kArrayBit) || (code != kInt && code != kUInt) || size == 0 || size > 8 || value.size() < 4)
        return std::nullopt;
    uint64_t count = getLE(value, 0, 4);
    if (count > (value.size() - 4) / size || value.size() != 4 + count * size) return std::nullopt;
    std::vector<int64_t> out;
    out.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t v = getLE(value, 4 + i * size, size);
        out.push_back(code == kInt ? signExtend(v, size) : static_cast<int64_t>(v));
    }
    return out;
}

const Property* FieldDef::prop(std::string_view propName) const {
    for (const Property& p : props)
        if (p.name == propName) return &p;
    return nullptr;
}

int FieldDef::width() const {
    const Property* p = prop("WIDTH");
    if (!p) return 0;
    auto v = p->asInt();
    return v ? static_cast<int>(*v) : 0;
}

std::string FieldDef::subtype() const {
    const Property* p = prop("SUBTYPE");
    if (!p) return {};
    return p->asText().value_or(std::string());
}

FieldDef FieldDef::string(std::string name, int width, bool fixedLength) {
    FieldDef f{std::move(name),
               static_cast<uint16_t>(width <= 255 ? 1 : 2),
               static_cast<uint16_t>(kString | kVaryingBit),
               0,
               {}};
    f.props.push_back(Property::uint16("WIDTH", static_cast<uint16_t>(width)));
    if (fixedLength) f.props.push_back(Property::text("SUBTYPE", "FixedChar"));
    return f;
}

FieldDef FieldDef::floatField(std::string name, bool money) {
    FieldDef f{std::move(name), 8, kFloat, 0, {}};
    if (money) f.props.push_back(Property::text("SUBTYPE", "Money"));
    return f;
}

FieldDef FieldDef::int32(std::string name) { return {std::move(name), 4, kInt, 0, {}}; }
FieldDef FieldDef::int16(std::string name) { return {std::move(name), 2, kInt, 0, {}}; }
FieldDef FieldDef::boolean(std::string name) { return {std::move(name), 2, kBool, 0, {}}; }
FieldDef FieldDef::date(std::string name) { return {std::move(name), 4, kDate, 0, {}}; }
FieldDef FieldDef::time(std::string name) { return {std::move(name), 4, kTime, 0, {}}; }
FieldDef FieldDef::dateTime(std::string name) { return {std::move(name), 8, kDateTime, 0, {}}; }

FieldDef FieldDef::memo(std::string name) {
    FieldDef f{std::move(name), 4, static_cast<uint16_t>(kBytes | kVaryingBit), 0, {}};
    f.props.push_back(Property::text("SUBTYPE", "Text"));
    return f;
}

int Packet::fieldIndex(std::string_view name) const {
    for (size_t i = 0; i < fields.size(); ++i)
        if (equalsIgnoringCase(fields[i].name, name)) return static_cast<int>(i);
    return -1;
}

const Property* Packet::prop(std::string_view propName) const {
    for (const Property& p : props)
        if (p.name == propName) return &p;
    return nullptr;
}

std::vector<size_t> Packet::liveRecordOrder() const {
    // Walk in storage order; a record that replaces another takes its place.
    std::vector<int64_t> replaces(records.size(), 0);
    if (const Property* log = prop("CHANGE_LOG")) {
        if (auto list = log->asList()) {
            for (size_t i = 0; i + 2 < list->size(); i += 3) {
                int64_t rec = (*list)[i], old = (*list)[i + 1];
                if (rec >= 1 && static_cast<size_t>(rec) <= records.size() && old >= 1 &&
                    static_cast<size_t>(old) <= records.size())
                    replaces[static_cast<size_t>(rec - 1)] = old;
            }
        }
    }
    // Position of each record: its own, or (following the chain) the place of
    // the first record it replaces.
    std::vector<std::pair<size_t, size_t>> order;  // (position, record)
    for (size_t i = 0; i < records.size(); ++i) {
        uint8_t st = records[i].status;
        if (st & (kOriginal | kDeleted)) continue;
        size_t pos = i;
        size_t guard = 0;
        while (replaces[pos] != 0 && guard++ < records.size()) pos = static_cast<size_t>(replaces[pos] - 1);
        order.emplace_back(pos, i);
    }
    std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<size_t> out;
    out.reserve(order.size());
    for (auto& [pos, rec] : order) out.push_back(rec);
    return out;
}

std::vector<int64_t> Packet::replacedRecords() const {
    std::vector<int64_t> out(records.size(), -1);
    if (const Property* log = prop("CHANGE_LOG")) {
        if (auto list = log->asList()) {
            for (size_t i = 0; i + 2 < list->size(); i += 3) {
                int64_t rec = (*list)[i], old = (*list)[i + 1];
                if (rec >= 1 && static_cast<size_t>(rec) <= records.size() && old >= 1 &&
                    static_cast<size_t>(old) <= records.size() && old != rec)
                    out[static_cast<size_t>(rec - 1)] = old - 1;
            }
        }
    }
    return out;
}

const Cell& Packet::resolvedCell(size_t record, size_t field, const std::vector<int64_t>& replaced) const {
    static const Cell kNull;
    size_t r = record;
    for (size_t guard = 0; guard <= records.size(); ++guard) {
        if (r >= records.size() || field >= records[r].cells.size()) return kNull;
        const Cell& c = records[r].cells[field];
        if (!std::holds_alternative<Unchanged>(c)) return c;
        if (r >= replaced.size() || replaced[r] < 0) return kNull;
        r = static_cast<size_t>(replaced[r]);
    }
    return kNull;
}

std::vector<Record> Packet::liveRecords() const {
    std::vector<int64_t> replaced = replacedRecords();
    std::vector<Record> out;
    for (size_t i : liveRecordOrder()) {
        Record rec = records[i];
        for (size_t f = 0; f < rec.cells.size(); ++f)
            if (std::holds_alternative<Unchanged>(rec.cells[f])) rec.cells[f] = resolvedCell(i, f, replaced);
        out.push_back(std::move(rec));
    }
    return out;
}

}  // namespace zel::ds
