// Variant: the value that every outside call carries (texts, numbers, dates,
// data packets and arrays of variants).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/datetime.h"
#include "platform/locale.h"

namespace zel {
namespace ds {
struct Packet;
}

class Variant;
using VariantArray = std::vector<Variant>;
using PacketPtr = std::shared_ptr<const ds::Packet>;

class Variant {
  public:
    enum class Type { Empty, Null, Boolean, Int32, Int64, Double, DateTime, Text, DataPacket, Array };
    struct NullTag {};

    Variant() = default;  // empty: no value at all
    Variant(NullTag) : v_(Null{}) {}
    Variant(bool b) : v_(b) {}
    Variant(int32_t i) : v_(i) {}
    Variant(int64_t i) : v_(i) {}
    Variant(double d) : v_(d) {}
    Variant(DateTime dt) : v_(dt) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(PacketPtr p) : v_(std::move(p)) {}
    Variant(VariantArray items) : v_(std::make_shared<VariantArray>(std::move(items))) {}

    static Variant null() { return Variant(NullTag{}); }
    static Variant packet(ds::Packet p);

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isEmpty() const { return type() == Type::Empty; }
    bool isNull() const { return type() == Type::Null; }
    bool isEmptyOrNull() const { return isEmpty() || isNull(); }
    bool isText() const { return type() == Type::Text; }
    bool isNumber() const { return type() == Type::Int32 || type() == Type::Int64 || type() == Type::Double; }
    bool isPacket() const { return type() == Type::DataPacket; }
    bool isArray() const { return type() == Type::Array; }

    // Conversions as the runtime makes them. Empty and null read as "" and 0;
    // a text that is not a number in the given format throws ConvertError.
    // Each caller names the format it means: texts of the station read in the
    // station's settings, values of the tools and XML packets in the invariant.
    std::string toText(const FormatSettings& fs) const;
    double toDouble(const FormatSettings& fs) const;
    int64_t toInt(const FormatSettings& fs) const;
    bool toBool() const;
    DateTime toDateTime(const FormatSettings& fs) const;

    // Direct access; throws zel::Error naming the expected and actual type.
    const std::string& text() const;
    const PacketPtr& packetPtr() const;
    const ds::Packet& asPacket() const;
    const VariantArray& items() const;
    VariantArray& items();

    static const char* typeName(Type t);

    friend bool operator==(const Variant& a, const Variant& b);

  private:
    struct Empty {
        bool operator==(const Empty&) const = default;
    };
    struct Null {
        bool operator==(const Null&) const = default;
    };
    std::variant<Empty, Null, bool, int32_t, int64_t, double, DateTime, std::string, PacketPtr,
                 std::shared_ptr<VariantArray>>
        v_;
};

// The list of values handed to an outside call: a value not supplied is an
// empty text, never an empty variant.
VariantArray valueList(size_t count);
// The answer list the caller creates before a call: ten empty variants.
VariantArray answerList();

}  // namespace zel
