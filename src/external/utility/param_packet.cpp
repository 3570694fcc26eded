// Parameter packets of the device package.
#include "external/utility/param_packet.h"

#include <fmt/format.h>

#include "external/utility/args.h"
#include "platform/text.h"

namespace zel::ext {

namespace {

// The pairs of a packet, or an ArgumentError saying why it is not one.
const VariantArray& pairsOf(const Variant& packet, std::string_view operation) {
    if (!packet.isArray())
        throw ArgumentError(
            fmt::format("{}: expected a parameter packet, found a {}", operation, Variant::typeName(packet.type())));
    const VariantArray& pairs = packet.items();
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Variant& p = pairs[i];
        if (!p.isArray() || p.items().size() != 2 || !p.items()[0].isText())
            throw ArgumentError(
                fmt::format("{}: parameter packet position {} is not a [name, value] pair", operation, i));
    }
    if (pairs.empty() || !equalsIgnoringCase(pairs[0].items()[0].text(), kPacketKindKey) ||
        !pairs[0].items()[1].isText())
        throw ArgumentError(
            fmt::format("{}: the parameter packet does not start with its {} pair", operation, kPacketKindKey));
    return pairs;
}

}  // namespace

Variant makeParamPacket(std::string_view kind, const NamedValues& values) {
    VariantArray pairs;
    pairs.reserve(values.size() + 1);
    pairs.emplace_back(VariantArray{Variant(kPacketKindKey), Variant(std::string(kind))});
    for (const auto& [name, value] : values) pairs.emplace_back(VariantArray{Variant(name), value});
    return Variant(std::move(pairs));
}

void setParam(Variant& packet, std::string_view name, Variant value, std::string_view operation) {
    pairsOf(packet, operation);
    VariantArray& pairs = packet.items();
    for (Variant& p : pairs) {
        if (equalsIgnoringCase(p.items()[0].text(), name)) {
            p.items()[1] = std::move(value);
            return;
        }
    }
    pairs.emplace_back(VariantArray{Variant(std::string(name)), std::move(value)});
}

ParamPacketView::ParamPacketView(const Variant& packet, std::string_view operation, std::string_view expectedKind)
    : pairs_(&pairsOf(packet, operation)), operation_(operation) {
    const std::string& kind = (*pairs_)[0].items()[1].text();
    if (!expectedKind.empty() && kind != expectedKind)
        throw ArgumentError(
            fmt::format("{}: the parameter packet was built for {}, not for {}", operation, kind, expectedKind));
}

size_t ParamPacketView::position(std::string_view name) const {
    for (size_t i = 1; i < pairs_->size(); ++i)
        if (equalsIgnoringCase((*pairs_)[i].items()[0].text(), name)) return i;
    return 0;
}

bool ParamPacketView::has(std::string_view name) const { return position(name) != 0; }

void ParamPacketView::fail(size_t pos, std::string_view name, std::string_view problem) const {
    throw ArgumentError(fmt::format("{}: parameter packet position {} ({}): {}", operation_, pos, name, problem));
}

const Variant& ParamPacketView::value(std::string_view name) const {
    size_t pos = position(name);
    if (pos == 0) throw ArgumentError(fmt::format("{}: the parameter packet holds no value {}", operation_, name));
    return (*pairs_)[pos].items()[1];
}

const std::string& ParamPacketView::text(std::string_view name) const {
    const Variant& v = value(name);
    if (!v.isText())
        fail(position(name), name, fmt::format("expected a text, found a {}", Variant::typeName(v.type())));
    return v.text();
}

bool ParamPacketView::boolean(std::string_view name) const {
    const Variant& v = value(name);
    if (v.type() != Variant::Type::Boolean)
        fail(position(name), name, fmt::format("expected a Boolean, found a {}", Variant::typeName(v.type())));
    return v.toBool();
}

int64_t ParamPacketView::integer(std::string_view name) const {
    const Variant& v = value(name);
    if (v.type() != Variant::Type::Int32 && v.type() != Variant::Type::Int64)
        fail(position(name), name, fmt::format("expected an integer, found a {}", Variant::typeName(v.type())));
    return v.toInt(FormatSettings::invariant());
}

double ParamPacketView::number(std::string_view name) const {
    const Variant& v = value(name);
    if (!v.isNumber())
        fail(position(name), name, fmt::format("expected a number, found a {}", Variant::typeName(v.type())));
    return v.toDouble(FormatSettings::invariant());
}

}  // namespace zel::ext
