#include "platform/money.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zel {

int64_t cutToCents(double amount) {
    if (!std::isfinite(amount)) return 0;
    // 15 significant digits in fixed notation: "46.9990000000000" (the
    // conversion of printf's %.15g, correctly rounded, without its cost).
    char s[400];
    auto r = std::to_chars(s, s + sizeof s - 1, std::fabs(amount), std::chars_format::general, 15);
    if (std::string_view(s, static_cast<size_t>(r.ptr - s)).find('e') != std::string_view::npos)
        r = std::to_chars(s, s + sizeof s - 1, std::fabs(amount), std::chars_format::fixed, 6);
    if (r.ec != std::errc()) return 0;
    std::string_view text(s, static_cast<size_t>(r.ptr - s));
    // The first six decimals, zeros where the text has fewer.
    char decimals[6] = {'0', '0', '0', '0', '0', '0'};
    size_t dot = text.find('.');
    if (dot != std::string_view::npos)
        for (size_t i = 0; i < 6 && dot + 1 + i < text.size(); ++i) decimals[i] = text[dot + 1 + i];
    *r.ptr = '\0';  // the whole part is read up to the point
    int64_t cents = 0;
    bool beyond = __builtin_mul_overflow(static_cast<int64_t>(std::strtoll(s, nullptr, 10)), 100, &cents) ||
                  __builtin_add_overflow(cents, (decimals[0] - '0') * 10 + (decimals[1] - '0'), &cents) ||
                  (std::string_view(decimals + 2, 4) == "9999" && __builtin_add_overflow(cents, 1, &cents));
    // An amount past what cents can count stays at the end of the scale.
    if (beyond) cents = INT64_MAX;
    return amount < 0 ? -cents : cents;
}

double centsToAmount(int64_t cents) { return static_cast<double>(cents) / 100.0; }

int64_t lineGrossCents(int64_t quantityMilli, int64_t unitPriceCents) { return quantityMilli * unitPriceCents / 1000; }

}  // namespace zel
