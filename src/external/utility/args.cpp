// Positional value checks for the outside packages.
#include "external/utility/args.h"

#include <fmt/format.h>

#include "platform/dataset/packet.h"

namespace zel::ext {

ArgReader::ArgReader(const VariantArray& values, std::string_view operation, std::string_view what)
    : values_(values), operation_(operation), what_(what) {}

const ArgReader& ArgReader::expectCount(size_t count) const {
    if (values_.size() != count)
        throw ArgumentError(
            fmt::format("{}: the {} must hold {} values, it holds {}", operation_, what_, count, values_.size()));
    return *this;
}

void ArgReader::fail(size_t pos, std::string_view role, std::string_view problem) const {
    if (role.empty()) throw ArgumentError(fmt::format("{}: {} position {}: {}", operation_, what_, pos, problem));
    throw ArgumentError(fmt::format("{}: {} position {} ({}): {}", operation_, what_, pos, role, problem));
}

const Variant& ArgReader::at(size_t pos) const {
    if (pos >= values_.size())
        throw ArgumentError(
            fmt::format("{}: the {} has no position {} (it holds {} values)", operation_, what_, pos, values_.size()));
    return values_[pos];
}

namespace {
std::string found(const Variant& v) { return fmt::format("found a {}", Variant::typeName(v.type())); }
}  // namespace

const std::string& ArgReader::text(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (!v.isText()) fail(pos, role, "expected a text, " + found(v));
    return v.text();
}

bool ArgReader::boolean(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (v.type() != Variant::Type::Boolean) fail(pos, role, "expected a Boolean, " + found(v));
    return v.toBool();
}

int64_t ArgReader::integer(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (v.type() != Variant::Type::Int32 && v.type() != Variant::Type::Int64)
        fail(pos, role, "expected an integer, " + found(v));
    return v.toInt(FormatSettings::invariant());
}

double ArgReader::number(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (!v.isNumber()) fail(pos, role, "expected a number, " + found(v));
    return v.toDouble(FormatSettings::invariant());
}

const ds::Packet& ArgReader::packet(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (!v.isPacket()) fail(pos, role, "expected a data packet, " + found(v));
    return v.asPacket();
}

DateTime ArgReader::dateTime(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (v.type() != Variant::Type::DateTime) fail(pos, role, "expected a date-time, " + found(v));
    return v.toDateTime(FormatSettings::invariant());
}

void ArgReader::nothing(size_t pos, std::string_view role) const {
    const Variant& v = at(pos);
    if (v.isEmptyOrNull() || (v.isText() && v.text().empty())) return;
    fail(pos, role, "expected no value, " + found(v));
}

}  // namespace zel::ext
