// Variant conversions.
#include "platform/variant.h"

#include <cmath>

#include <fmt/format.h>

#include "platform/dataset/packet.h"
#include "platform/error.h"

namespace zel {

Variant Variant::packet(ds::Packet p) { return Variant(std::make_shared<const ds::Packet>(std::move(p))); }

const char* Variant::typeName(Type t) {
    switch (t) {
        case Type::Empty:
            return "empty";
        case Type::Null:
            return "null";
        case Type::Boolean:
            return "Boolean";
        case Type::Int32:
            return "32-bit integer";
        case Type::Int64:
            return "64-bit integer";
        case Type::Double:
            return "float";
        case Type::DateTime:
            return "date-time";
        case Type::Text:
            return "text";
        case Type::DataPacket:
            return "data packet";
        case Type::Array:
            return "array";
    }
    return "?";
}

std::string Variant::toText(const FormatSettings& fs) const {
    switch (type()) {
        case Type::Empty:
        case Type::Null:
            return {};
        case Type::Boolean:
            return std::get<bool>(v_) ? "True" : "False";
        case Type::Int32:
            return std::to_string(std::get<int32_t>(v_));
        case Type::Int64:
            return std::to_string(std::get<int64_t>(v_));
        case Type::Double:
            return floatToStr(std::get<double>(v_), fs);
        case Type::DateTime:
            return dateTimeToStr(std::get<DateTime>(v_), fs);
        case Type::Text:
            return std::get<std::string>(v_);
        case Type::DataPacket:
        case Type::Array:
            break;
    }
    throw Error(fmt::format("a {} cannot be read as text", typeName(type())));
}

double Variant::toDouble(const FormatSettings& fs) const {
    switch (type()) {
        case Type::Empty:
        case Type::Null:
            return 0;
        case Type::Boolean:
            return std::get<bool>(v_) ? -1 : 0;
        case Type::Int32:
            return std::get<int32_t>(v_);
        case Type::Int64:
            return static_cast<double>(std::get<int64_t>(v_));
        case Type::Double:
            return std::get<double>(v_);
        case Type::DateTime:
            return std::get<DateTime>(v_).value();
        case Type::Text:
            return strToFloat(std::get<std::string>(v_), fs);
        case Type::DataPacket:
        case Type::Array:
            break;
    }
    throw Error(fmt::format("a {} cannot be read as a number", typeName(type())));
}

int64_t Variant::toInt(const FormatSettings& fs) const {
    switch (type()) {
        case Type::Int32:
            return std::get<int32_t>(v_);
        case Type::Int64:
            return std::get<int64_t>(v_);
        case Type::Text: {
            long long v;
            if (tryStrToInt(std::get<std::string>(v_), v)) return v;
            return std::llround(toDouble(fs));
        }
        default:
            return std::llround(toDouble(fs));
    }
}

bool Variant::toBool() const {
    switch (type()) {
        case Type::Boolean:
            return std::get<bool>(v_);
        case Type::Empty:
        case Type::Null:
            return false;
        case Type::Text: {
            const std::string& s = std::get<std::string>(v_);
            if (s == "True" || s == "TRUE" || s == "true") return true;
            if (s == "False" || s == "FALSE" || s == "false" || s.empty()) return false;
            long long v;
            if (tryStrToInt(s, v)) return v != 0;
            throw ConvertError(fmt::format("'{}' is not a valid Boolean value", s));
        }
        default:
            return toDouble(FormatSettings::invariant()) != 0;
    }
}

DateTime Variant::toDateTime(const FormatSettings& fs) const {
    switch (type()) {
        case Type::DateTime:
            return std::get<DateTime>(v_);
        case Type::Text:
            return strToDateTime(std::get<std::string>(v_), fs);
        default:
            return DateTime(toDouble(fs));
    }
}

const std::string& Variant::text() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    throw Error(fmt::format("expected a text, found a {}", typeName(type())));
}

const PacketPtr& Variant::packetPtr() const {
    if (auto* p = std::get_if<PacketPtr>(&v_); p && *p) return *p;
    throw Error(fmt::format("expected a data packet, found a {}", typeName(type())));
}

const ds::Packet& Variant::asPacket() const { return *packetPtr(); }

const VariantArray& Variant::items() const {
    if (auto* a = std::get_if<std::shared_ptr<VariantArray>>(&v_)) return **a;
    throw Error(fmt::format("expected an array, found a {}", typeName(type())));
}

VariantArray& Variant::items() {
    if (auto* a = std::get_if<std::shared_ptr<VariantArray>>(&v_)) {
        if (a->use_count() > 1) *a = std::make_shared<VariantArray>(**a);  // copy on write
        return **a;
    }
    throw Error(fmt::format("expected an array, found a {}", typeName(type())));
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.v_.index() != b.v_.index()) return false;
    if (a.isArray()) return a.items() == b.items();
    if (a.isPacket()) return a.packetPtr() == b.packetPtr() || *a.packetPtr() == *b.packetPtr();
    return a.v_ == b.v_;
}

VariantArray valueList(size_t count) { return VariantArray(count, Variant(std::string())); }

VariantArray answerList() { return VariantArray(10); }

}  // namespace zel
