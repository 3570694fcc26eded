// The parameter packet: the value a device-package builder makes from its
// arguments and a driver operation consumes. It is an array variant of
// [name, value] pairs; the first pair is ["PACOTE", <operation it was built for>].
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/variant.h"

namespace zel::ext {

inline constexpr const char* kPacketKindKey = "PACOTE";

using NamedValues = std::vector<std::pair<std::string, Variant>>;

// Builds a packet for the driver operation `kind` ("AbreCupom", "VendaItem",
// "Atu_TotGeral", "VerificaSerialImp") holding `values` in their order.
Variant makeParamPacket(std::string_view kind, const NamedValues& values);

// Sets the value under `name` (letter case ignored), adding the pair when absent.
// Throws ArgumentError when `packet` is not a parameter packet.
void setParam(Variant& packet, std::string_view name, Variant value, std::string_view operation);

// A checked view of a packet handed to `operation`: the shape, the kind and
// every typed read are checked, and a fault names the operation, the position
// in the packet and the name. An empty `expectedKind` takes a packet of any kind.
class ParamPacketView {
  public:
    ParamPacketView(const Variant& packet, std::string_view operation, std::string_view expectedKind);

    bool has(std::string_view name) const;
    const Variant& value(std::string_view name) const;  // throws when absent
    const std::string& text(std::string_view name) const;
    bool boolean(std::string_view name) const;
    int64_t integer(std::string_view name) const;
    double number(std::string_view name) const;

  private:
    size_t position(std::string_view name) const;
    [[noreturn]] void fail(size_t pos, std::string_view name, std::string_view problem) const;

    const VariantArray* pairs_ = nullptr;
    std::string operation_;
};

}  // namespace zel::ext
