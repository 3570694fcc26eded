#include "platform/money.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

namespace zel {

int64_t cutToCents(double amount) {
    if (!std::isfinite(amount)) return 0;
    // 15 significant digits in fixed notation: "46.9990000000000".
    std::string s = fmt::format("{:.15g}", std::fabs(amount));
    if (s.find('e') != std::string::npos) s = fmt::format("{:.6f}", std::fabs(amount));
    size_t dot = s.find('.');
    std::string whole = dot == std::string::npos ? s : s.substr(0, dot);
    std::string decimals = dot == std::string::npos ? std::string() : s.substr(dot + 1);
    decimals.resize(std::max<size_t>(decimals.size(), 6), '0');
    int64_t cents = std::strtoll(whole.c_str(), nullptr, 10) * 100 + (decimals[0] - '0') * 10 + (decimals[1] - '0');
    if (decimals.compare(2, 4, "9999") == 0) cents += 1;
    return amount < 0 ? -cents : cents;
}

double centsToAmount(int64_t cents) { return static_cast<double>(cents) / 100.0; }

int64_t lineGrossCents(int64_t quantityMilli, int64_t unitPriceCents) { return quantityMilli * unitPriceCents / 1000; }

}  // namespace zel
