// Fault settings of the simulated printer.
#include "external/printer/printer_faults.h"

#include <strings.h>

#include <array>

#include <fmt/format.h>

#include "platform/station_config.h"
#include "platform/text.h"

namespace zel::ext {

namespace {

constexpr std::array<std::string_view, 12> kOperations = {"Params_AbreCupom_Kva00000",
                                                          "Params_VendaItem_Kva00000",
                                                          "Params_Atu_TotGeral_Kva00000",
                                                          "Params_VerificaSerialImp_Kva00000",
                                                          "AbreCupom",
                                                          "VendaItem",
                                                          "FechaCupom",
                                                          "Atu_TotGeral",
                                                          "VerificaData",
                                                          "VerificaSerialImp",
                                                          "Cancela_Cupom_Imp",
                                                          "DataMoviFiscal"};

}  // namespace

bool isPrinterOperation(std::string_view name) {
    for (std::string_view op : kOperations)
        if (op == name) return true;
    return false;
}

bool printerOperationAnswers(std::string_view name) {
    return isPrinterOperation(name) && !name.starts_with("Params_") && name != "DataMoviFiscal";
}

void PrinterFaults::set(std::string_view operation, std::string_view value, std::string_view where) {
    if (!isPrinterOperation(operation))
        throw Error(fmt::format("{}: '{}' is not an operation of the printer", where, operation));
    std::string_view v = trimWhitespace(value);
    if (v == "off") {
        rules_.erase(std::string(operation));
        return;
    }
    std::string_view action = v.substr(0, v.find('@'));
    std::string_view when = v.find('@') == std::string_view::npos ? "always" : v.substr(v.find('@') + 1);
    FaultRule rule;
    if (action == "false") rule.action = FaultAction::AnswerFalse;
    else if (action == "error") rule.action = FaultAction::RaiseError;
    else
        throw Error(fmt::format("{}: fault '{}' of {} must be false, error or off, optionally with @N or @always",
                                where, v, operation));
    if (rule.action == FaultAction::AnswerFalse && !printerOperationAnswers(operation))
        throw Error(fmt::format("{}: {} gives no true-or-false answer; its fault can only be error", where, operation));
    if (when == "always") {
        rule.onCall = 0;
    } else {
        uint32_t n = 0;
        bool ok = !when.empty() && when.size() <= 9;
        for (char c : when) {
            if (c < '0' || c > '9') ok = false;
            else n = n * 10 + static_cast<uint32_t>(c - '0');
        }
        if (!ok || n == 0)
            throw Error(fmt::format("{}: in fault '{}' of {}, the call must be a number from 1 or 'always'", where, v,
                                    operation));
        rule.onCall = n;
    }
    rules_[std::string(operation)] = rule;
}

PrinterFaults PrinterFaults::fromConfigText(std::string_view text, std::string_view source) {
    PrinterFaults faults;
    size_t lineNo = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = trimWhitespace(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNo;
        if (line.empty() || line.front() == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;  // not ours to judge
        std::string_view key = trimWhitespace(line.substr(0, eq));
        if (key.size() <= kKeyPrefix.size() || strncasecmp(key.data(), kKeyPrefix.data(), kKeyPrefix.size()) != 0)
            continue;
        faults.set(key.substr(kKeyPrefix.size()), line.substr(eq + 1), fmt::format("{}:{}", source, lineNo));
    }
    return faults;
}

PrinterFaults PrinterFaults::fromStationConfig(const StationConfig& config) {
    PrinterFaults faults;
    for (const StationConfig::Entry& e : config.entries()) {
        std::string_view key = e.key;
        if (key.size() <= kKeyPrefix.size() || strncasecmp(key.data(), kKeyPrefix.data(), kKeyPrefix.size()) != 0)
            continue;
        faults.set(key.substr(kKeyPrefix.size()), e.value, fmt::format("{}:{}", config.source(), e.line));
    }
    return faults;
}

const FaultRule* PrinterFaults::strike(std::string_view operation) {
    auto c = calls_.find(operation);
    if (c == calls_.end()) c = calls_.emplace(std::string(operation), 0).first;
    uint32_t n = ++c->second;
    auto r = rules_.find(operation);
    if (r == rules_.end()) return nullptr;
    if (r->second.onCall == 0 || r->second.onCall == n) return &r->second;
    return nullptr;
}

uint32_t PrinterFaults::calls(std::string_view operation) const {
    auto c = calls_.find(operation);
    return c == calls_.end() ? 0 : c->second;
}

}  // namespace zel::ext
