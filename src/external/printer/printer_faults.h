// Faults of the simulated printer for tests and rehearsals: an operation set to
// answer false, or to raise an error, on its n-th call or on every call. They
// come from the station's configuration, lines such as
//   printer.fault.VendaItem = false@3
//   printer.fault.AbreCupom = error@always
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace zel {
class StationConfig;
}

namespace zel::ext {

enum class FaultAction { AnswerFalse, RaiseError };

struct FaultRule {
    FaultAction action = FaultAction::AnswerFalse;
    uint32_t onCall = 0;  // 1 for the first call; 0 for every call

    bool operator==(const FaultRule&) const = default;
};

// The printer's operations by name, as the faults name them.
bool isPrinterOperation(std::string_view name);
// Operations that answer true or false (the others can only raise).
bool printerOperationAnswers(std::string_view name);

class PrinterFaults {
  public:
    inline static constexpr std::string_view kKeyPrefix = "printer.fault.";

    // Sets the rule of `operation` from a value "false", "error", "false@N",
    // "error@N", "false@always", "error@always", or "off". Throws zel::Error
    // naming `where` (file and line) for an unknown operation or a bad value,
    // and for "false" on an operation that gives no true-or-false answer.
    void set(std::string_view operation, std::string_view value, std::string_view where = "printer faults");

    // Takes every "printer.fault.<operation> = value" line of a configuration
    // text ("key = value" lines; blank lines and lines starting with # are
    // skipped; other keys are left to their readers).
    static PrinterFaults fromConfigText(std::string_view text, std::string_view source);
    // The same from the station's configuration (geracupom.conf); the key's
    // prefix is matched without regard to letter case, the operation exactly.
    static PrinterFaults fromStationConfig(const StationConfig& config);

    // Counts the call of `operation` and gives the rule that strikes it, if any.
    const FaultRule* strike(std::string_view operation);

    uint32_t calls(std::string_view operation) const;
    const std::map<std::string, FaultRule, std::less<>>& rules() const { return rules_; }
    bool empty() const { return rules_.empty(); }

  private:
    std::map<std::string, FaultRule, std::less<>> rules_;
    std::map<std::string, uint32_t, std::less<>> calls_;
};

// The error a fault raises.
class SimulatedFault : public Error {
  public:
    using Error::Error;
};

}  // namespace zel::ext
