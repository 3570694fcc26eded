#include "platform/money.h"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace zel {

int64_t cutToCents(double amount) {
    if (!std::isfinite(amount)) return 0;
    // 15 significant digits in fixed notation: "46.9990000000000".
    fmt::memory_buffer s;
    fmt::format_to(std::back_inserter(s), "{:.15g}", std::fabs(amount));
    if (std::string_view(s.data(), s.size()).find('e') != std::string_view::npos) {
        s.clear();
        fmt::format_to(std::back_inserter(s), "{:.6f}", std::fabs(amount));
    }
    std::string_view text(s.data(), s.size());
    // The first six decimals, zeros where the text has fewer.
    char decimals[6] = {'0', '0', '0', '0', '0', '0'};
    size_t dot = text.find('.');
    if (dot != std::string_view::npos)
        for (size_t i = 0; i < 6 && dot + 1 + i < text.size(); ++i) decimals[i] = text[dot + 1 + i];
    s.push_back('\0');  // the whole part is read up to the point
    int64_t cents = std::strtoll(s.data(), nullptr, 10) * 100 + (decimals[0] - '0') * 10 + (decimals[1] - '0');
    if (std::string_view(decimals + 2, 4) == "9999") cents += 1;
    return amount < 0 ? -cents : cents;
}

double centsToAmount(int64_t cents) { return static_cast<double>(cents) / 100.0; }

int64_t lineGrossCents(int64_t quantityMilli, int64_t unitPriceCents) { return quantityMilli * unitPriceCents / 1000; }

}  // namespace zel
